#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lantern {

// What a listener can send back: five reactions, by the names the page and
// /now use.
enum class Reaction : std::uint8_t { clap, heart, fire, laugh, music };
inline constexpr std::array<std::string_view, 5> reactionNames{"clap", "heart", "fire", "laugh",
                                                               "music"};
std::optional<Reaction> reactionNamed(std::string_view name);

// A listener's name as shown anywhere: NFC; control, format and
// bidirectional characters removed; runs of white space one space, none at
// either end; at most `longestName` characters. Empty: no name.
inline constexpr std::size_t longestName = 24;
std::string cleanName(std::string_view text);

// "24 claps, 7 hearts": counts above zero, most first.
std::string reactionCounts(const std::array<std::uint64_t, 5>& counts);

// "Sam is listening", "Sam and Alex listening", "Sam, Alex and 3 more
// listening": the first names of the named listeners among `listeners`.
std::string listeningLine(const std::vector<std::string>& names, std::size_t listeners);

// Who is listening to one broadcast, by tag, and what they react: names and
// reactions live here only, bounded by the rules, and only while a stream of
// the tag is open (or, while the station is relayed, while the tag polls).
// Any thread.
class Audience : public std::enable_shared_from_this<Audience> {
public:
    using Clock = std::chrono::steady_clock;
    struct Rules {
        std::size_t tags = 900;      // tags known at once: the listener limit
        std::size_t visitors = 4096; // visitors whose reactions are counted at once
        int perTagMinute = 20;
        int perVisitorMinute = 60;
        Clock::duration perTagGap = std::chrono::seconds(1);
        Clock::duration recent = std::chrono::seconds(10); // what /now counts
        Clock::duration pollHolds = std::chrono::seconds(10);
    };
    enum class Answer { taken, notListening, tooMany };

    Audience() : Audience(Rules{}) {}
    explicit Audience(Rules rules) : rules_(rules), tagLimit_(rules.tags) {}

    // Holds a tag as listening while it lives: one per open stream.
    class Stay {
    public:
        Stay() = default;
        Stay(Stay&& other) noexcept = default;
        Stay& operator=(Stay&& other) noexcept;
        Stay(const Stay&) = delete;
        Stay& operator=(const Stay&) = delete;
        ~Stay();

    private:
        friend class Audience;
        std::shared_ptr<Audience> audience_;
        std::string tag_;
    };
    // A stream of `tag` from `visitor` opened. The tag is the first visitor's
    // while any stream of it is open; a tag beyond the bound holds nothing.
    Stay stay(const std::string& tag, const std::string& visitor);
    // While relayed, the page plays from the relay server: a tag that asked
    // for /now within pollHolds counts as listening.
    void setRelayed(bool relayed);
    void polled(const std::string& tag, const std::string& visitor, Clock::time_point now);

    // Takes a name (empty withdraws it) or a reaction from `visitor` for `tag`.
    Answer name(const std::string& tag, const std::string& visitor, std::string_view text,
                Clock::time_point now);
    Answer react(const std::string& tag, const std::string& visitor, Reaction reaction,
                 Clock::time_point now);

    struct Named {
        std::uint64_t id; // unique for the broadcast: who joined when
        std::string name;
    };
    struct Snapshot {
        std::vector<Named> named; // in order of joining
        std::array<std::uint64_t, 5> recent{};
        std::array<std::uint64_t, 5> totals{}; // the broadcast's
    };
    Snapshot snapshot(Clock::time_point now);
    // Adds `names` (at most 20) and `reactions` (the last `recent`) to /now's body.
    void describe(nlohmann::json& body, Clock::time_point now);

    // At most `tags` tags known at once (the listener limit).
    void limitTags(std::size_t tags);
    // Whether names and reactions are taken at all; off forgets them.
    bool shown() const;
    void setShown(bool shown);
    // Tags known, for the bound.
    std::size_t known() const;

private:
    struct Entry {
        std::string visitor;
        std::size_t streams = 0;
        std::optional<Clock::time_point> polledAt;
        std::uint64_t id = 0;
        std::string name;
        // Reactions and names taken within the last minute, each limited alike.
        std::deque<Clock::time_point> reactions, names;
    };
    void left(const std::string& tag);
    bool listening(const Entry& entry, Clock::time_point now) const;
    // The entry for `tag`, made for `visitor` when there is room; under mutex_.
    Entry* place(const std::string& tag, const std::string& visitor, Clock::time_point now);
    // Whether `visitor` may react (or name) for `tag` now, counting it if so.
    Answer act(const std::string& tag, const std::string& visitor, Clock::time_point now,
               Entry*& entry, bool reaction);
    void prune(Clock::time_point now);

    const Rules rules_;
    mutable std::mutex mutex_;
    std::size_t tagLimit_;
    bool shown_ = true;
    bool relayed_ = false;
    std::uint64_t joined_ = 0;
    std::unordered_map<std::string, Entry> tags_;
    std::unordered_map<std::string, std::deque<Clock::time_point>> visitors_;
    std::deque<std::pair<Clock::time_point, Reaction>> recent_;
    std::array<std::uint64_t, 5> totals_{};
};

} // namespace lantern
