#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lantern {

// Wrong passcodes, counted per visitor: one who gets it wrong `tries` times
// within `window` is refused for `lockout`, whatever they send meanwhile (a
// right guess included, or refusals would tell which guess was right). Other
// visitors are never slowed by it. At most `visitors` are remembered; the one
// heard from longest ago goes first, those refused last. Any thread.
class GuessLimit {
public:
    using Clock = std::chrono::steady_clock;
    struct Rules {
        int tries = 10;
        Clock::duration window = std::chrono::minutes(1);
        Clock::duration lockout = std::chrono::minutes(1);
        std::size_t visitors = 10000;
    };

    GuessLimit() : GuessLimit(Rules{}) {}
    explicit GuessLimit(Rules rules) : rules_(rules) {}

    // How long `visitor` must still wait; zero when they may try now.
    Clock::duration refused(const std::string& visitor, Clock::time_point now);
    // Counts one wrong passcode from `visitor`.
    void wrong(const std::string& visitor, Clock::time_point now);
    // Wrong passcodes counted since the last call (never which they were).
    std::size_t takeWrongCount();
    std::size_t remembered() const;

private:
    struct Visitor {
        std::vector<Clock::time_point> tries; // within the window, oldest first
        Clock::time_point refusedUntil{};
        std::list<std::string>::iterator age; // place in `ages_`
    };
    Visitor& find(const std::string& visitor, Clock::time_point now);

    const Rules rules_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Visitor> visitors_;
    std::list<std::string> ages_; // most recently heard from first
    std::size_t wrongCount_ = 0;
};

} // namespace lantern
