#pragma once

#include "core/nowplaying/cover.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lantern {

// What is playing, as read from one source.
struct NowPlaying {
    std::string title; // empty: nothing is known
    std::string artist;
    std::string album;
    std::optional<std::string> coverURL;
    bool playing = false;
    std::string source; // display name of the source it was read from

    friend bool operator==(const NowPlaying&, const NowPlaying&) = default;
};

// What plays, as players and chapters name it: "Artist - Title", or the
// title alone; nothing when no title is known.
std::optional<std::string> heardAs(const std::optional<NowPlaying>& entry);

// JSON object with "title", "artist", "album", "coverURL" (left out when
// absent), "playing" and "source".
std::string toJSON(const NowPlaying& record);
nlohmann::ordered_json toJSONValue(const NowPlaying& record);
// Nothing when a key other than "coverURL" is missing or of the wrong type.
std::optional<NowPlaying> nowPlayingFromJSON(std::string_view text);

// Records of the last minute or longer, so that each listener can be told
// what was playing when its audio was played, and the tracks they formed.
// Not locked: its owner guards it.
class NowPlayingHistory {
public:
    using Clock = std::chrono::steady_clock;

    struct Entry {
        Clock::time_point at;
        NowPlaying value;
        // The track it belongs to: a run of records with one title, artist
        // and album (a pause or a resume is no new track); 0 without a title.
        std::uint64_t track = 0;
    };

    // How far back look-ups reach: `keep`, and never less than a minute.
    void setKeep(std::chrono::seconds keep) { keep_ = std::max(keep, std::chrono::seconds(60)); }
    std::chrono::seconds keep() const { return keep_; }
    // Adds a record read at `at` (times only go forward), unless it equals
    // the newest one, and forgets what no look-up within keep() can need.
    void record(NowPlaying value, Clock::time_point at);
    // A new broadcast: only the newest record stays, as read at `at`.
    void restart(Clock::time_point at);
    // The record current at `time`, if the history reaches back that far.
    std::optional<NowPlaying> at(Clock::time_point time) const;

    std::size_t count() const { return entries_.size(); }
    const std::vector<Entry>& entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
    std::chrono::seconds keep_{60};
    std::uint64_t tracks_ = 0; // tracks numbered so far
};

// A record and its cover from the companion player's JSON note. Nothing when
// the note does not decode or has no title; a cover that is not strict
// Base64 or holds 8 bytes or fewer is left out.
std::optional<std::pair<NowPlaying, std::optional<Cover>>>
parseLanternNote(std::string_view text, std::string_view source);

} // namespace lantern
