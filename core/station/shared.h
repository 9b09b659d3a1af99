#pragma once

#include "nowplaying/now_playing.h"
#include "signal/silence.h"
#include "stream/access.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lantern {

// State that the capture, server and reader threads share with the station.
// Every access takes the lock for that one read or write; it is never held
// while calling out.
class Shared {
public:
    template <typename T> T get(T Shared::*field) const {
        std::lock_guard lock(lock_);
        return this->*field;
    }
    template <typename T> void set(T Shared::*field, T value) {
        std::lock_guard lock(lock_);
        this->*field = std::move(value);
    }

    void record(NowPlaying value, std::optional<Cover> cover) {
        std::lock_guard lock(lock_);
        history.record(std::move(value), NowPlayingHistory::Clock::now());
        coverData = std::move(cover);
    }
    std::optional<NowPlaying> playingAt(NowPlayingHistory::Clock::time_point at) const {
        std::lock_guard lock(lock_);
        return history.at(at);
    }
    bool hasCover() const {
        std::lock_guard lock(lock_);
        return coverData.has_value();
    }
    void resetSilence() {
        std::lock_guard lock(lock_);
        silence = SilenceHint();
        silentNow = false;
    }
    void feedSilence(float peak, double seconds) {
        std::lock_guard lock(lock_);
        silentNow = silence.feed(peak, seconds);
        if (peak != 0) heardEver = true;
    }

    // The now route's body: what the listener `lag` seconds behind is hearing,
    // and, when given, the seconds of audio a listener joining now gets at
    // once (the page adds them to how long it has played to know its lag).
    std::string nowJSON(double lag, std::size_t listeners,
                        std::optional<double> burst = std::nullopt) const {
        auto name = get(&Shared::name);
        if (name.empty()) name = "Lantern FM";
        // The route gives lags of 0 to 60 s; other callers are bounded alike.
        const double behind = std::clamp(std::isfinite(lag) ? lag : 0.0, 0.0, 60.0);
        const auto entry = playingAt(NowPlayingHistory::Clock::now() -
                                     std::chrono::duration_cast<NowPlayingHistory::Clock::duration>(
                                         std::chrono::duration<double>(behind)));
        nlohmann::json body;
        body["listeners"] = listeners;
        body["station"] = name;
        body["playing"] = entry ? entry->playing : true;
        if (burst) body["burst"] = std::round(*burst * 10) / 10;
        if (entry) {
            body["title"] = entry->title;
            body["artist"] = entry->artist;
            body["album"] = entry->album;
            body["source"] = entry->source;
            if (entry->coverURL) body["coverURL"] = *entry->coverURL;
            body["hasCover"] = hasCover();
        }
        try {
            return body.dump();
        } catch (const nlohmann::json::exception&) {
            return "{}"; // text that is not UTF-8
        }
    }

    NowPlayingHistory history;
    std::optional<Cover> coverData;
    SilenceHint silence;
    bool silentNow = false;
    bool heardEver = false;
    Access access;
    bool talking = false;
    float gain = 1.0f;
    std::string name;

private:
    mutable std::mutex lock_;
};

} // namespace lantern
