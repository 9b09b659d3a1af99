#include "core/stream/fanout.h"

#include <algorithm>

namespace lantern {

std::optional<Chunk::Clock::time_point> Chunk::publishedAt(std::size_t offset) const {
    if (!marks_) return at_;
    std::optional<Clock::time_point> at;
    for (const auto& mark : *marks_)
        if (mark.offset <= offset) at = mark.at;
    return at;
}

void Listener::post(Wakeup wakeup) {
    auto* poster = wakeup.first.get();
    std::vector<Wakeup> alone;
    alone.push_back(std::move(wakeup));
    poster->postAll(std::move(alone));
}

void Listener::Wakeups::post() {
    while (!waiters_.empty()) {
        // Nearly always a single executor (the stream server's); group by it anyway.
        auto* first = waiters_.front().first.get();
        std::vector<Wakeup> group;
        std::erase_if(waiters_, [&](Wakeup& wakeup) {
            if (wakeup.first.get() != first && !first->sharesExecutor(*wakeup.first)) return false;
            group.push_back(std::move(wakeup));
            return true;
        });
        first->postAll(std::move(group));
    }
}

Listener::Wakeup Listener::wake() {
    Wakeup wakeup{std::move(waiting_), std::move(queue_.front())};
    queue_.erase(queue_.begin());
    woken_ = Chunk::Clock::now();
    return wakeup;
}

void Listener::wait(std::unique_ptr<Waiter> waiter) {
    std::lock_guard lock(mutex_);
    waiting_ = std::move(waiter);
    if (!queue_.empty())
        post(wake());
    else if (ended_)
        post({std::move(waiting_), std::nullopt});
}

// Completions are posted while the lock is held: posting only queues them on
// the consumer's executor (they run later, on that executor, without our
// lock), and doing it here means that once end() has returned no completion
// can still be on its way to that executor, so its owner may tear it down.
void Listener::push(Chunk chunk) {
    std::lock_guard lock(mutex_);
    if (ended_ || queue_.size() >= limit_) return;
    if (chunk.size() > 0) lastAt_ = chunk.publishedAt(chunk.size() - 1);
    queue_.push_back(std::move(chunk));
    if (waiting_) post(wake());
}

void Listener::push(const Chunk& chunk, Wakeups& wakeups, Chunk::Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (ended_ || queue_.size() >= limit_) return;
    const auto at = chunk.publishedAt(0);
    if (movedAt_) {
        if (at && lastAt_ && *at <= *lastAt_) return;
        if (now - *movedAt_ > std::chrono::seconds(1)) movedAt_.reset();
    }
    lastAt_ = at;
    queue_.push_back(chunk);
    if (waiting_ && (!counted_ || now - woken_ >= batch || queue_.size() >= wakeAt))
        wakeups.add(wake());
}

void Listener::end() {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    queue_.clear();
    if (waiting_) post({std::move(waiting_), std::nullopt});
}

std::size_t Listener::queued() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::optional<Chunk::Clock::time_point> Listener::lastAt() const {
    std::lock_guard lock(mutex_);
    return lastAt_;
}

void Listener::takeAll(std::vector<Chunk>& into) {
    std::lock_guard lock(mutex_);
    into.insert(into.end(), std::make_move_iterator(queue_.begin()),
                std::make_move_iterator(queue_.end()));
    queue_.clear();
}

void TagRoster::add(const std::optional<std::string>& tag) {
    std::lock_guard lock(mutex_);
    if (tag)
        tags_[*tag] += 1;
    else
        ++untagged_;
}

void TagRoster::remove(const std::optional<std::string>& tag) {
    std::lock_guard lock(mutex_);
    if (!tag) {
        untagged_ -= untagged_ > 0 ? 1 : 0;
    } else if (const auto found = tags_.find(*tag); found != tags_.end() && --found->second == 0) {
        tags_.erase(found);
    }
}

std::size_t TagRoster::count() const {
    std::lock_guard lock(mutex_);
    return untagged_ + tags_.size();
}

bool TagRoster::has(const std::string& tag) const {
    std::lock_guard lock(mutex_);
    return tags_.contains(tag);
}

Fanout::Fanout(std::ptrdiff_t burstBytes, std::size_t perListenerLimit,
               std::shared_ptr<TagRoster> roster)
    : burstBytes_(static_cast<std::size_t>(std::max<std::ptrdiff_t>(burstBytes, 0))),
      roster_(roster ? std::move(roster) : std::make_shared<TagRoster>()),
      perListenerLimit_(perListenerLimit) {}

void Fanout::setHeader(Bytes header) {
    std::lock_guard lock(mutex_);
    header_ = std::move(header);
    burstChunk_.reset();
}

bool Fanout::moveTo(const std::shared_ptr<Listener>& listener, Fanout& to) {
    if (!listener || &to == this) return false;
    bool wasBehind = false;
    {
        std::lock_guard lock(mutex_);
        if (!listeners_.erase(listener.get())) return false;
        wasBehind = listener->cursor_.has_value();
        if (wasBehind) --behind_;
        listener->cursor_.reset();
        countOwn(*listener, false);
    }
    std::lock_guard lock(to.mutex_);
    to.listeners_.emplace(listener.get(), listener);
    to.countOwn(*listener, true);
    std::lock_guard listening(listener->mutex_);
    listener->movedAt_ = Clock::now();
    // What still waits in its queue goes in the other form instead: a
    // listener moved because its network cannot carry this form must not
    // first be sent seconds more of it. It continues from the first moment
    // it was not handed yet, or after the last it was.
    const auto queued = listener->queue_.size();
    const auto from = queued > 0 ? listener->queue_.front().publishedAt(0) : std::nullopt;
    const auto last = listener->lastAt_;
    auto next = to.kept_.end();
    if (from)
        next = std::lower_bound(to.kept_.begin(), to.kept_.end(), *from,
                                [](const Kept& kept, auto at) { return kept.at < at; });
    else if (wasBehind && last)
        next = std::upper_bound(to.kept_.begin(), to.kept_.end(), *last,
                                [](auto at, const Kept& kept) { return at < kept.at; });
    const auto first = static_cast<std::size_t>(next - to.kept_.begin());
    if (first == to.kept_.size()) return true; // live, from the next publish
    const auto end = std::min(to.kept_.size(), first + std::max<std::size_t>(queued, 1));
    if (from) {
        listener->queue_.clear();
        Bytes bytes;
        for (auto i = first; i < end; ++i) {
            const auto piece = to.kept_[i].chunk.bytes();
            bytes.insert(bytes.end(), piece.begin(), piece.end());
        }
        listener->queue_.emplace_back(std::move(bytes), to.kept_[first].at);
        listener->lastAt_ = to.kept_[end - 1].at;
    }
    if (!from || end < to.kept_.size()) {
        // Behind live, it keeps its place in the other form's window.
        listener->cursor_ = to.first_ + (from ? end : first);
        ++to.behind_;
    }
    return true;
}

void Fanout::setWindow(std::chrono::seconds window) {
    std::lock_guard delivering(deliveryMutex_);
    std::lock_guard lock(mutex_);
    window_ = std::max(window, std::chrono::seconds(0));
    trim();
}

void Fanout::forget() {
    std::lock_guard delivering(deliveryMutex_);
    std::lock_guard lock(mutex_);
    dropKept();
    burstChunk_.reset();
}

void Fanout::dropKept() {
    first_ += kept_.size();
    kept_.clear();
    keptBytes_ = 0;
}

void Fanout::trim() {
    // The burst always begins where a chunk (whole audio frames) began, and
    // holds at least its size; the window holds whatever is newer than its
    // length before the newest chunk.
    const auto newest = kept_.empty() ? Clock::time_point() : kept_.back().at;
    while (kept_.size() > 1 && keptBytes_ - kept_.front().chunk.size() >= burstBytes_ &&
           (window_ == Clock::duration::zero() || kept_.front().at < newest - window_)) {
        keptBytes_ -= kept_.front().chunk.size();
        kept_.pop_front();
        ++first_;
    }
    if (burstBytes_ == 0 && window_ == Clock::duration::zero()) dropKept();
}

std::optional<double> Fanout::publishedAudio() const {
    if (!audioKnown_.load(std::memory_order_relaxed)) return std::nullopt;
    return static_cast<double>(audioMicros_.load(std::memory_order_relaxed)) / 1e6;
}

void Fanout::publish(const Chunk& chunk, double audio) {
    if (audio > 0) {
        audioMicros_.fetch_add(static_cast<std::uint64_t>(audio * 1e6), std::memory_order_relaxed);
        audioKnown_.store(true, std::memory_order_relaxed);
    }
    if (chunk.size() == 0) return;
    published_.fetch_add(chunk.size(), std::memory_order_relaxed);
    const auto now = Clock::now();
    std::lock_guard delivering(deliveryMutex_);
    {
        std::lock_guard lock(mutex_);
        kept_.push_back({chunk, chunk.publishedAt(0).value_or(now)});
        keptBytes_ += chunk.size();
        trim();
        burstChunk_.reset();
        snapshot_.reserve(listeners_.size());
        for (const auto& [key, listener] : listeners_) {
            auto& cursor = listener->cursor_;
            if (cursor && *cursor < first_) {
                // Its place went with the window: it continues live.
                cursor.reset();
                --behind_;
            }
            if (!cursor) {
                snapshot_.emplace_back(listener, &chunk);
            } else if (*cursor - first_ < kept_.size()) {
                snapshot_.emplace_back(listener, &kept_[*cursor - first_].chunk);
                ++*cursor;
            }
        }
    }
    Listener::Wakeups wakeups;
    for (const auto& [listener, handed] : snapshot_)
        listener->push(*handed, wakeups, now);
    wakeups.post();
    snapshot_.clear();
}

void Fanout::settle() {
    std::lock_guard waitForDelivery(deliveryMutex_);
}

std::pair<std::size_t, std::size_t> Fanout::burst(double behind) const {
    const auto start = startOf(behind);
    std::size_t first = start, last = start, bytes = 0;
    if (start < kept_.size()) {
        // Whole chunks from the start on, at least the burst's size of them.
        while (last < kept_.size() && (last == start || bytes < burstBytes_))
            bytes += kept_[last++].chunk.size();
    } else {
        // Live: the fewest newest chunks that hold the burst's size.
        while (first > 0 && bytes < burstBytes_)
            bytes += kept_[--first].chunk.size();
        last = kept_.size();
    }
    return {first, last};
}

std::size_t Fanout::startOf(double behind) const {
    if (!(behind > 0) || kept_.empty() || window_ == Clock::duration::zero()) return kept_.size();
    const auto since = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(std::min(behind, 1e7)));
    const auto found = std::lower_bound(kept_.begin(), kept_.end(), since,
                                        [](const Kept& kept, auto at) { return kept.at < at; });
    return static_cast<std::size_t>(found - kept_.begin());
}

Chunk Fanout::joined(std::size_t first, std::size_t last) const {
    Bytes bytes = header_;
    std::vector<Chunk::Mark> marks;
    for (auto i = first; i < last; ++i) {
        marks.push_back({bytes.size(), kept_[i].chunk.publishedAt(0).value_or(kept_[i].at)});
        const auto piece = kept_[i].chunk.bytes();
        bytes.insert(bytes.end(), piece.begin(), piece.end());
    }
    return {std::move(bytes), std::move(marks)};
}

std::shared_ptr<Listener> Fanout::join(std::optional<std::string> tag, bool counts, double behind) {
    auto listener = std::make_shared<Listener>(perListenerLimit_, std::move(tag), counts);
    std::lock_guard lock(mutex_);
    listeners_.emplace(listener.get(), listener);
    counted(*listener, true);
    const auto [first, last] = burst(behind);
    // Pushed before the lock is released, so that no chunk published after
    // the registration can reach the listener ahead of the burst.
    if (first == last) return listener;
    if (last < kept_.size()) {
        listener->push(joined(first, last));
        listener->cursor_ = first_ + last;
        ++behind_;
        return listener;
    }
    // Live, or so near it that its burst reaches the newest chunk.
    if (startOf(behind) < kept_.size()) {
        listener->push(joined(first, last));
    } else {
        if (!burstChunk_) burstChunk_ = joined(first, last);
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
        for (const auto& entry : taken)
            counted(*entry.second, false);
        behind_ = 0;
    }
    for (const auto& entry : taken)
        entry.second->end();
}

std::size_t Fanout::count() const {
    return roster_->count();
}

std::size_t Fanout::ownCount() const {
    std::lock_guard lock(mutex_);
    return untagged_ + tags_.size();
}

std::size_t Fanout::behindCount() const {
    std::lock_guard lock(mutex_);
    return behind_;
}

double Fanout::reach() const {
    std::lock_guard lock(mutex_);
    if (window_ == Clock::duration::zero() || kept_.empty()) return 0;
    return std::chrono::duration<double>(kept_.back().at - kept_.front().at).count();
}

std::size_t Fanout::keptBytes() const {
    std::lock_guard lock(mutex_);
    return keptBytes_;
}

std::size_t Fanout::burstSize(double behind) const {
    std::lock_guard lock(mutex_);
    const auto [first, last] = burst(behind);
    std::size_t bytes = 0;
    for (auto i = first; i < last; ++i)
        bytes += kept_[i].chunk.size();
    return bytes;
}

Bytes Fanout::burstBytes(std::size_t from, std::size_t count, double behind) const {
    std::lock_guard lock(mutex_);
    const auto [first, last] = burst(behind);
    Bytes bytes;
    std::size_t at = 0;
    for (auto i = first; i < last && bytes.size() < count; ++i) {
        const auto piece = kept_[i].chunk.bytes();
        const auto skip = std::min(piece.size(), from > at ? from - at : 0);
        const auto take = std::min(piece.size() - skip, count - bytes.size());
        bytes.insert(bytes.end(), piece.begin() + static_cast<std::ptrdiff_t>(skip),
                     piece.begin() + static_cast<std::ptrdiff_t>(skip + take));
        at += piece.size();
    }
    return bytes;
}

// Under mutex_.
void Fanout::counted(const Listener& listener, bool joined) {
    if (!joined && listener.cursor_) --behind_;
    if (!listener.counted()) return;
    if (joined)
        roster_->add(listener.tag());
    else
        roster_->remove(listener.tag());
    countOwn(listener, joined);
}

// Under mutex_.
void Fanout::countOwn(const Listener& listener, bool joined) {
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

Renditions Renditions::make(double burstSeconds, int bitrate, int lightBitrate,
                            std::size_t perListenerLimit) {
    const auto roster = std::make_shared<TagRoster>();
    const auto burst = [&](int rate) {
        return static_cast<std::ptrdiff_t>(rate / 8.0 * burstSeconds);
    };
    return {std::make_shared<Fanout>(burst(bitrate), perListenerLimit, roster),
            std::make_shared<Fanout>(burst(lightBitrate), perListenerLimit, roster),
            std::make_shared<Fanout>(burst(lightBitrate), perListenerLimit, roster)};
}

std::size_t Renditions::lightCount() const {
    return light->ownCount() + opus->ownCount();
}

std::size_t Renditions::behindCount() const {
    return full->behindCount() + light->behindCount() + opus->behindCount();
}

void Renditions::setWindow(std::chrono::seconds window) const {
    for (const auto& form : {full, light, opus})
        form->setWindow(window);
}

void Renditions::closeAll() const {
    for (const auto& form : {full, light, opus})
        form->closeAll();
}

void Renditions::forget() const {
    for (const auto& form : {full, light, opus})
        form->forget();
}

} // namespace lantern
