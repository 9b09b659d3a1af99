#pragma once

#include "core/nowplaying/now_playing.h"
#include "core/signal/silence.h"
#include "core/stream/access.h"
#include "core/system/guarded.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lantern {

// What the capture, server and reader threads share with the station.
struct SharedState {
    NowPlayingHistory history;
    std::optional<Cover> coverData;
    SilenceHint silence;
    bool silentNow = false;
    bool heardEver = false;
    Access access;
    bool talking = false;
    float gain = 1.0f;
    std::string name;
    // How many listeners the uplink carries, once it was full this broadcast.
    std::optional<std::size_t> room;
};

// The shared state behind one lock, taken for each read, write or step below
// and never held while calling out.
class Shared : public Guarded<SharedState> {
public:
    void record(NowPlaying value, std::optional<Cover> cover) {
        with([&](SharedState& state) {
            state.history.record(std::move(value), NowPlayingHistory::Clock::now());
            state.coverData = std::move(cover);
        });
    }
    std::optional<NowPlaying> playingAt(NowPlayingHistory::Clock::time_point at) const {
        return with([&](const SharedState& state) { return state.history.at(at); });
    }
    bool hasCover() const {
        return with([](const SharedState& state) { return state.coverData.has_value(); });
    }
    void resetSilence() {
        with([](SharedState& state) {
            state.silence = SilenceHint();
            state.silentNow = false;
        });
    }
    void feedSilence(float peak, double seconds) {
        with([&](SharedState& state) {
            state.silentNow = state.silence.feed(peak, seconds);
            if (peak != 0) state.heardEver = true;
        });
    }

    // The now route's body: what the listener `lag` seconds behind is hearing,
    // and, when given, the seconds of audio a listener joining now gets at
    // once (the page adds them to how long it has played to know its lag).
    std::string nowJSON(double lag, std::size_t listeners,
                        std::optional<double> burst = std::nullopt) const {
        auto name = get(&SharedState::name);
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
        if (const auto room = get(&SharedState::room)) body["room"] = *room;
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
};

} // namespace lantern
