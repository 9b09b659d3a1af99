#pragma once

#include "core/nowplaying/now_playing.h"
#include "core/signal/silence.h"
#include "core/stream/access.h"
#include "core/stream/audience.h"
#include "core/system/guarded.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lantern {

// What the capture, server and reader threads share with the station.
struct SharedState {
    NowPlayingHistory history;
    std::optional<Cover> coverData;
    // The covers of the broadcast's recent tracks, oldest first, by track.
    std::deque<std::pair<std::uint64_t, Cover>> covers;
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
    // A track that began with the broadcast is dated a moment before its
    // first kept audio, and still starts from the top.
    static constexpr double replaySlack = 2;
    // Covers of earlier tracks kept at most.
    static constexpr std::size_t keptCovers = 30;

    void record(NowPlaying value, std::optional<Cover> cover) {
        with([&](SharedState& state) {
            state.history.record(std::move(value), NowPlayingHistory::Clock::now());
            state.coverData = std::move(cover);
            const auto track = state.history.entries().back().track;
            auto& covers = state.covers;
            if (!state.coverData || track == 0) return;
            if (!covers.empty() && covers.back().first == track) covers.pop_back();
            covers.emplace_back(track, *state.coverData);
            if (covers.size() > keptCovers) covers.pop_front();
        });
    }
    std::optional<Cover> coverOf(std::uint64_t track) const {
        return with([&](const SharedState& state) -> std::optional<Cover> {
            if (const auto* cover = keptCover(state, track)) return *cover;
            return std::nullopt;
        });
    }
    // How far back look-ups reach: the rewind window, and at least a minute.
    void setWindow(std::chrono::seconds window) {
        with([&](SharedState& state) { state.history.setKeep(window + std::chrono::seconds(60)); });
    }
    // A new broadcast: the tracks and covers of the last are forgotten.
    void restart() {
        with([](SharedState& state) {
            state.history.restart(NowPlayingHistory::Clock::now());
            const auto track =
                state.history.count() ? state.history.entries().back().track : std::uint64_t{0};
            std::erase_if(state.covers, [&](const auto& kept) { return kept.first != track; });
        });
    }
    // The broadcast's tracks for /history, newest first: when each started
    // and ended in seconds before now, and whether its start is within
    // `reach` seconds (a listener can start it from the top).
    std::string historyJSON(double reach) const {
        const auto now = NowPlayingHistory::Clock::now();
        const auto ago = [&](NowPlayingHistory::Clock::time_point at) {
            return std::round(std::chrono::duration<double>(now - at).count() * 10) / 10;
        };
        auto tracks = nlohmann::json::array();
        with([&](const SharedState& state) {
            const auto& entries = state.history.entries();
            for (std::size_t i = 0; i < entries.size();) {
                auto end = i + 1;
                while (end < entries.size() && entries[end].track == entries[i].track)
                    ++end;
                const auto& entry = entries[i];
                if (entry.track != 0) {
                    const auto& value = entries[end - 1].value;
                    tracks.push_back(
                        {{"id", entry.track},
                         {"title", value.title},
                         {"artist", value.artist},
                         {"album", value.album},
                         {"startedAgo", ago(entry.at)},
                         {"endedAgo", end < entries.size() ? ago(entries[end].at) : 0.0},
                         {"hasCover", keptCover(state, entry.track) != nullptr},
                         {"replayable", ago(entry.at) <= reach + replaySlack}});
                }
                i = end;
            }
        });
        std::reverse(tracks.begin(), tracks.end());
        return nlohmann::json{{"tracks", tracks}}.dump(-1, ' ', false,
                                                       nlohmann::json::error_handler_t::replace);
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
    // once (the page adds them to how long it has played to know its lag)
    // and how far back a listener can start. Read in one hold of the lock,
    // so that a track never goes out with another one's cover.
    // The audience, when given, adds who listens and their recent reactions.
    std::string nowJSON(double lag, std::size_t listeners,
                        std::optional<double> burst = std::nullopt,
                        std::optional<double> rewind = std::nullopt,
                        Audience* audience = nullptr) const {
        const auto now = NowPlayingHistory::Clock::now();
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
            // What is heard `lag` seconds behind, within the kept history, was
            // captured the audio path's delay earlier still.
            const auto keep = double(state.history.keep().count());
            const double behind = std::clamp(std::isfinite(lag) ? lag : 0.0, 0.0, keep);
            const auto heard = now - std::chrono::duration_cast<NowPlayingHistory::Clock::duration>(
                                         std::chrono::duration<double>(behind + state.delay));
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
        if (rewind) body["rewind"] = std::floor(*rewind);
        if (seen.room) body["room"] = *seen.room;
        if (entry) {
            body["title"] = entry->title;
            body["artist"] = entry->artist;
            body["album"] = entry->album;
            body["source"] = entry->source;
            if (entry->coverURL) body["coverURL"] = *entry->coverURL;
            body["hasCover"] = seen.hasCover;
        }
        if (audience) audience->describe(body, std::chrono::steady_clock::now());
        // Text that is not UTF-8 is repaired, as the record's own JSON is.
        return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }

private:
    static const Cover* keptCover(const SharedState& state, std::uint64_t track) {
        const auto kept =
            std::ranges::find(state.covers, track, &decltype(state.covers)::value_type::first);
        return kept == state.covers.end() ? nullptr : &kept->second;
    }
};

} // namespace lantern
