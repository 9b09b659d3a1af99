#include "core/stream/guess_limit.h"

#include <algorithm>
#include <utility>

namespace lantern {

GuessLimit::Visitor& GuessLimit::find(const std::string& visitor, Clock::time_point now) {
    auto found = visitors_.find(visitor);
    if (found != visitors_.end()) {
        ages_.splice(ages_.begin(), ages_, found->second.age);
    } else {
        if (visitors_.size() >= rules_.visitors) {
            // The one heard from longest ago goes, unless they are refused
            // now: a crowd of newcomers must not set a guesser free.
            auto leaving = std::prev(ages_.end());
            for (int looked = 0; looked < 64 && leaving != ages_.begin(); ++looked, --leaving)
                if (visitors_.at(*leaving).refusedUntil <= now) break;
            if (visitors_.at(*leaving).refusedUntil > now) leaving = std::prev(ages_.end());
            visitors_.erase(*leaving);
            ages_.erase(leaving);
        }
        ages_.push_front(visitor);
        found = visitors_.emplace(visitor, Visitor{{}, {}, ages_.begin()}).first;
    }
    auto& tries = found->second.tries;
    tries.erase(tries.begin(), std::find_if(tries.begin(), tries.end(), [&](Clock::time_point at) {
                    return at > now - rules_.window;
                }));
    return found->second;
}

GuessLimit::Clock::duration GuessLimit::refused(const std::string& visitor, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    const auto found = visitors_.find(visitor);
    if (found == visitors_.end() || found->second.refusedUntil <= now) return {};
    return found->second.refusedUntil - now;
}

void GuessLimit::wrong(const std::string& visitor, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    ++wrongCount_;
    auto& entry = find(visitor, now);
    entry.tries.push_back(now);
    if (static_cast<int>(entry.tries.size()) >= rules_.tries) {
        entry.refusedUntil = now + rules_.lockout;
        entry.tries.clear();
    }
}

std::size_t GuessLimit::takeWrongCount() {
    std::lock_guard lock(mutex_);
    return std::exchange(wrongCount_, 0);
}

std::size_t GuessLimit::remembered() const {
    std::lock_guard lock(mutex_);
    return visitors_.size();
}

} // namespace lantern
