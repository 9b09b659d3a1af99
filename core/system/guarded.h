#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

namespace lantern {

// A value shared between threads, behind its own lock. Each call takes the
// lock for that one read, write or piece of work; nothing else is done while
// holding it, so callers never wait on each other for long.
template <typename T> class Guarded {
public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}

    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

    // One field of a structured value.
    template <typename M, typename U = T>
    requires std::is_class_v<U> M get(M U::*field)
    const {
        std::lock_guard lock(mutex_);
        return value_.*field;
    }
    template <typename M, typename U = T>
    requires std::is_class_v<U>
    void set(M U::*field, M value) {
        std::lock_guard lock(mutex_);
        value_.*field = std::move(value);
    }

    // Runs `work` on the value under the lock; `work` must not call out.
    template <typename F> decltype(auto) with(F&& work) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(work)(value_);
    }
    template <typename F> decltype(auto) with(F&& work) const {
        std::lock_guard lock(mutex_);
        return std::forward<F>(work)(value_);
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

} // namespace lantern
