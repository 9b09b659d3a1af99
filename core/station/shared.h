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
    double delay =
        0; // seconds between capturing audio and publishing it (the limiter's look-ahead)
    std::string name;
    // How many listeners the uplink carries, once it was full this broadcast.
    std::optional<std::size_t> room;
    // Where listeners play the station from an Icecast server while it is
    // relayed there, and how many do.
    std::optional<std::string> relay;
    std::size_t relayListeners = 0;
    std::optional<double> relayBurst; // seconds its server gives a listener at once
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

    // The station's name as listeners see it: "Lantern FM" when it has none.
    static std::string shownName(const std::string& name) {
        return name.empty() ? "Lantern FM" : name;
    }
    std::string stationName() const { return shownName(get(&SharedState::name)); }

    // The now route's body: what the listener `lag` seconds behind is hearing,
    // and, when given, the seconds of audio a listener joining now gets at
    // once (the page adds them to how long it has played to know its lag).
    // Read in one hold of the lock, so that a track never goes out with
    // another one's cover.
    std::string nowJSON(double lag, std::size_t listeners,
                        std::optional<double> burst = std::nullopt) const {
        // The route gives lags of 0 to 60 s; other callers are bounded alike.
        const double behind = std::clamp(std::isfinite(lag) ? lag : 0.0, 0.0, 60.0);
        const auto at = NowPlayingHistory::Clock::now() -
                        std::chrono::duration_cast<NowPlayingHistory::Clock::duration>(
                            std::chrono::duration<double>(behind));
        struct Seen {
            std::string name;
            std::optional<NowPlaying> entry;
            bool hasCover;
            std::optional<std::size_t> room;
            std::optional<std::string> relay;
            std::size_t relayListeners;
            std::optional<double> relayBurst;
        };
        const auto seen = with([&](const SharedState& state) {
            // What is heard now was captured the audio path's delay earlier still.
            const auto heard = at - std::chrono::duration_cast<NowPlayingHistory::Clock::duration>(
                                        std::chrono::duration<double>(state.delay));
            return Seen{state.name,
                        state.history.at(heard),
                        state.coverData.has_value(),
                        state.room,
                        state.relay,
                        state.relay ? state.relayListeners : 0,
                        state.relayBurst};
        });
        const auto& entry = seen.entry;
        nlohmann::json body;
        body["listeners"] = listeners + seen.relayListeners;
        if (seen.relay) body["relay"] = *seen.relay;
        if (seen.relay && seen.relayBurst)
            body["relayBurst"] = std::round(*seen.relayBurst * 10) / 10;
        body["station"] = shownName(seen.name);
        body["playing"] = entry ? entry->playing : true;
        if (burst) body["burst"] = std::round(*burst * 10) / 10;
        if (seen.room) body["room"] = *seen.room;
        if (entry) {
            body["title"] = entry->title;
            body["artist"] = entry->artist;
            body["album"] = entry->album;
            body["source"] = entry->source;
            if (entry->coverURL) body["coverURL"] = *entry->coverURL;
            body["hasCover"] = seen.hasCover;
        }
        // Text that is not UTF-8 is repaired, as the record's own JSON is.
        return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
};

} // namespace lantern
