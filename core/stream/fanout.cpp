#include "core/stream/fanout.h"

#include <algorithm>

namespace lantern {

BurstBuffer::BurstBuffer(std::ptrdiff_t capacity)
    : capacity_(static_cast<std::size_t>(std::max<std::ptrdiff_t>(capacity, 0))) {}

std::optional<Chunk::Clock::time_point> Chunk::publishedAt(std::size_t offset) const {
    if (!marks_) return at_;
    std::optional<Clock::time_point> at;
    for (const auto& mark : *marks_)
        if (mark.offset <= offset) at = mark.at;
    return at;
}

void BurstBuffer::append(std::span<const std::uint8_t> bytes,
                         std::optional<Chunk::Clock::time_point> at) {
    if (capacity_ == 0 || bytes.empty()) return;
    starts_.push_back(store_.size());
    times_.push_back(at);
    store_.insert(store_.end(), bytes.begin(), bytes.end());
    // Whole chunks go, as long as what stays still fills the capacity: the
    // burst always begins where a chunk (whole audio frames) began, and a
    // listener gets at least `capacity` bytes of it.
    while (starts_.size() > 1 && store_.size() - starts_[1] >= capacity_) {
        starts_.pop_front();
        times_.pop_front();
        start_ = starts_.front();
    }
    if (start_ >= capacity_) {
        store_.erase(store_.begin(), store_.begin() + static_cast<std::ptrdiff_t>(start_));
        for (auto& start : starts_)
            start -= start_;
        start_ = 0;
    }
}

Bytes BurstBuffer::contents() const {
    return {store_.begin() + static_cast<std::ptrdiff_t>(start_), store_.end()};
}

Bytes BurstBuffer::slice(std::size_t from, std::size_t count) const {
    from = std::min(from, size());
    count = std::min(count, size() - from);
    const auto begin = store_.begin() + static_cast<std::ptrdiff_t>(start_ + from);
    return {begin, begin + static_cast<std::ptrdiff_t>(count)};
}

std::vector<Chunk::Mark> BurstBuffer::marks() const {
    std::vector<Chunk::Mark> marks;
    for (std::size_t i = 0; i < starts_.size(); ++i)
        if (times_[i]) marks.push_back({starts_[i] - start_, *times_[i]});
    return marks;
}

void Listener::post(std::unique_ptr<Waiter> waiter, std::optional<Chunk> chunk) {
    auto* poster = waiter.get();
    std::vector<std::unique_ptr<Waiter>> alone;
    alone.push_back(std::move(waiter));
    poster->postAll(std::move(alone), std::move(chunk));
}

void Listener::Wakeups::post() {
    while (!waiters_.empty()) {
        // Nearly always a single executor (the stream server's); group by it anyway.
        auto* first = waiters_.front().get();
        std::vector<std::unique_ptr<Waiter>> group;
        std::erase_if(waiters_, [&](std::unique_ptr<Waiter>& waiter) {
            if (waiter.get() != first && !first->sharesExecutor(*waiter)) return false;
            group.push_back(std::move(waiter));
            return true;
        });
        first->postAll(std::move(group), chunk_);
    }
}

void Listener::wait(std::unique_ptr<Waiter> waiter) {
    std::optional<Chunk> chunk;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty() && !ended_) {
            waiting_ = std::move(waiter);
            return;
        }
        if (!queue_.empty()) {
            chunk = std::move(queue_.front());
            queue_.erase(queue_.begin());
        }
    }
    post(std::move(waiter), std::move(chunk));
}

// The completion is posted while the lock is held: posting only queues it on
// the consumer's executor (it runs later, on that executor, without our lock),
// and doing it here means that once end() has returned no completion can still
// be on its way to that executor, so its owner may tear it down.
void Listener::push(Chunk chunk) {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    if (waiting_)
        post(std::move(waiting_), std::move(chunk));
    else if (queue_.size() < limit_)
        queue_.push_back(std::move(chunk));
}

void Listener::push(const Chunk& chunk, Wakeups& wakeups) {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    if (waiting_)
        wakeups.add(std::move(waiting_));
    else if (queue_.size() < limit_)
        queue_.push_back(chunk);
}

void Listener::end() {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    queue_.clear();
    if (waiting_) post(std::move(waiting_), std::nullopt);
}

std::size_t Listener::queued() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void Listener::takeAll(std::vector<Chunk>& into) {
    std::lock_guard lock(mutex_);
    into.insert(into.end(), std::make_move_iterator(queue_.begin()),
                std::make_move_iterator(queue_.end()));
    queue_.clear();
}

Fanout::Fanout(std::ptrdiff_t burstBytes, std::size_t perListenerLimit)
    : burst_(burstBytes), perListenerLimit_(perListenerLimit) {}

void Fanout::publish(const Chunk& chunk) {
    if (chunk.size() == 0) return;
    published_.fetch_add(chunk.size(), std::memory_order_relaxed);
    std::lock_guard delivering(deliveryMutex_);
    {
        std::lock_guard lock(mutex_);
        burst_.append(chunk.bytes(), chunk.publishedAt(0));
        burstChunk_.reset();
        snapshot_.reserve(listeners_.size());
        for (const auto& entry : listeners_)
            snapshot_.push_back(entry.second);
    }
    Listener::Wakeups wakeups(chunk);
    for (const auto& listener : snapshot_)
        listener->push(chunk, wakeups);
    wakeups.post();
    snapshot_.clear();
}

void Fanout::settle() {
    std::lock_guard waitForDelivery(deliveryMutex_);
}

std::shared_ptr<Listener> Fanout::join(std::optional<std::string> tag, bool counts) {
    auto listener = std::make_shared<Listener>(perListenerLimit_, std::move(tag), counts);
    std::lock_guard lock(mutex_);
    listeners_.emplace(listener.get(), listener);
    counted(*listener, true);
    if (burst_.size() > 0) {
        if (!burstChunk_) burstChunk_.emplace(burst_.contents(), burst_.marks());
        // Pushed before the lock is released, so that no chunk published after
        // the registration can reach the listener ahead of the burst.
        listener->push(*burstChunk_);
    }
    return listener;
}

void Fanout::leave(const std::shared_ptr<Listener>& listener) {
    if (!listener) return;
    {
        std::lock_guard lock(mutex_);
        if (listeners_.erase(listener.get())) counted(*listener, false);
    }
    listener->end();
}

void Fanout::closeAll() {
    std::unordered_map<const Listener*, std::shared_ptr<Listener>> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(listeners_);
        untagged_ = 0;
        tags_.clear();
    }
    for (const auto& entry : taken)
        entry.second->end();
}

std::size_t Fanout::count() const {
    std::lock_guard lock(mutex_);
    return untagged_ + tags_.size();
}

std::size_t Fanout::burstSize() const {
    std::lock_guard lock(mutex_);
    return burst_.size();
}

Bytes Fanout::burstBytes(std::size_t from, std::size_t count) const {
    std::lock_guard lock(mutex_);
    return burst_.slice(from, count);
}

// Under mutex_.
void Fanout::counted(const Listener& listener, bool joined) {
    const auto& tag = listener.tag();
    if (!listener.counted()) return;
    if (!tag) {
        untagged_ = joined ? untagged_ + 1 : untagged_ - 1;
    } else if (joined) {
        ++tags_[*tag];
    } else if (const auto found = tags_.find(*tag); found != tags_.end() && --found->second == 0) {
        tags_.erase(found);
    }
}

} // namespace lantern
