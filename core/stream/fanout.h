#pragma once

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/buffer.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lantern {

using Bytes = std::vector<std::uint8_t>;

// One piece of encoded audio as published: an immutable buffer shared by every
// listener it is handed to, so publishing to many listeners copies no audio.
// It knows when its audio was published (the burst, when each of its pieces
// was), which tells what was playing in it.
class Chunk {
public:
    using Clock = std::chrono::steady_clock;
    // From `offset` on, the audio was published `at`.
    struct Mark {
        std::size_t offset = 0;
        Clock::time_point at;
    };

    explicit Chunk(Bytes bytes) : bytes_(std::make_shared<const Bytes>(std::move(bytes))) {}
    Chunk(Bytes bytes, Clock::time_point at)
        : bytes_(std::make_shared<const Bytes>(std::move(bytes))), at_(at) {}
    Chunk(Bytes bytes, std::vector<Mark> marks)
        : bytes_(std::make_shared<const Bytes>(std::move(bytes))),
          marks_(std::make_shared<const std::vector<Mark>>(std::move(marks))) {}

    std::span<const std::uint8_t> bytes() const { return *bytes_; }
    std::size_t size() const { return bytes_->size(); }
    asio::const_buffer buffer() const { return asio::buffer(*bytes_); }
    // When the audio at `offset` was published; nothing for a chunk made
    // without a time.
    std::optional<Clock::time_point> publishedAt(std::size_t offset) const;

private:
    std::shared_ptr<const Bytes> bytes_;
    std::optional<Clock::time_point> at_;
    std::shared_ptr<const std::vector<Mark>> marks_;
};

// The most recent encoded bytes, oldest first: `capacity` of them and less
// than one chunk more.
class BurstBuffer {
public:
    explicit BurstBuffer(std::ptrdiff_t capacity);

    // Appends one chunk and keeps the fewest most recent whole chunks that
    // hold at least `capacity` bytes (all of them while they hold less): the
    // burst starts where a chunk (whole audio frames) starts.
    void append(std::span<const std::uint8_t> bytes, std::optional<Chunk::Clock::time_point> at);
    Bytes contents() const;
    // Up to `count` bytes of contents() from `from` on.
    Bytes slice(std::size_t from, std::size_t count) const;
    // When each kept chunk was published, by its offset in contents().
    std::vector<Chunk::Mark> marks() const;
    std::size_t size() const { return store_.size() - start_; }
    std::size_t capacity() const { return capacity_; }

private:
    std::size_t capacity_;
    // Kept bytes are store_[start_, end). Trimming moves start_; the dead
    // prefix is compacted away once it is as large as the capacity, so an
    // append costs amortised O(its size) however full the burst is.
    Bytes store_;
    std::size_t start_ = 0;
    std::deque<std::size_t> starts_; // where each kept chunk starts in store_
    std::deque<std::optional<Chunk::Clock::time_point>> times_; // and when it was published
};

// One connected listener's bounded queue of chunks, drained by exactly one
// consumer through next().
class Listener {
public:
    // Completion signature of next(): a chunk, or nothing once the listener ended.
    using NextSignature = void(std::optional<Chunk>);

    Listener(std::size_t limit, std::optional<std::string> tag, bool counted = true)
        : limit_(limit), tag_(std::move(tag)), counted_(counted) {}
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::optional<std::string>& tag() const { return tag_; }
    // Whether it counts among the listeners (a relay to a server does not).
    bool counted() const { return counted_; }

    // Completes with the oldest queued chunk, waiting for one if none is queued,
    // or with nothing once the listener has ended. The completion always runs on
    // the handler's associated executor, never inside push() or end(), so the
    // audio thread that publishes never runs a consumer. One consumer at a time.
    template <typename CompletionToken> auto next(CompletionToken&& token) {
        return asio::async_initiate<CompletionToken, NextSignature>(
            [this](auto handler) {
                wait(std::make_unique<HandlerWaiter<decltype(handler)>>(std::move(handler)));
            },
            token);
    }

    // Hands a chunk to the waiting consumer, or queues it; drops it when the
    // queue is full (the oldest audio stays) or the listener has ended.
    void push(Chunk chunk);
    // Ends the listener for good: queued chunks are discarded and a waiting
    // consumer completes with nothing. Later calls do nothing.
    void end();

    std::size_t queued() const;
    // Appends every queued chunk to `into`, oldest first, at once and without
    // waiting (none when the queue is empty): the consumer sends them in one
    // gathered write.
    void takeAll(std::vector<Chunk>& into);

private:
    friend class Fanout;

    // A consumer suspended in next().
    struct Waiter {
        virtual ~Waiter() = default;
        // Whether `other` completes on the same executor as this one.
        virtual bool sharesExecutor(const Waiter& other) const = 0;
        // Posts one job to this waiter's executor that completes every waiter of
        // `group` (this one among them, all sharing its executor) with `chunk`.
        virtual void postAll(std::vector<std::unique_ptr<Waiter>> group,
                             std::optional<Chunk> chunk) = 0;
        // Runs the completion; only ever called on the waiter's executor.
        virtual void complete(std::optional<Chunk> chunk) = 0;
        virtual const std::type_info& executorType() const = 0;
        virtual const void* executorAddress() const = 0;
    };

    template <typename Handler> struct HandlerWaiter final : Waiter {
        // The handler's executor, told that work is outstanding while we wait.
        using Executor = std::decay_t<decltype(asio::prefer(
            asio::get_associated_executor(std::declval<Handler&>()),
            asio::execution::outstanding_work.tracked))>;

        explicit HandlerWaiter(Handler h)
            : handler(std::move(h)),
              target(asio::prefer(asio::get_associated_executor(handler),
                                  asio::execution::outstanding_work.tracked)) {}

        bool sharesExecutor(const Waiter& other) const override {
            return other.executorType() == typeid(Executor) &&
                   *static_cast<const Executor*>(other.executorAddress()) == target;
        }
        void postAll(std::vector<std::unique_ptr<Waiter>> group,
                     std::optional<Chunk> chunk) override {
            auto executor = target;
            asio::post(executor, [group = std::move(group), chunk = std::move(chunk)]() mutable {
                for (auto& waiter : group)
                    waiter->complete(chunk);
            });
        }
        void complete(std::optional<Chunk> chunk) override {
            auto work = std::move(target); // released once the handler has run
            std::move(handler)(std::move(chunk));
        }

        const std::type_info& executorType() const override { return typeid(Executor); }
        const void* executorAddress() const override { return &target; }

        Handler handler;
        Executor target;
    };

    // Consumers woken by one publish, resumed together: one post per executor
    // rather than one per listener keeps the audio thread's work small.
    class Wakeups {
    public:
        explicit Wakeups(Chunk chunk) : chunk_(std::move(chunk)) {}
        void add(std::unique_ptr<Waiter> waiter) { waiters_.push_back(std::move(waiter)); }
        void post();

    private:
        Chunk chunk_;
        std::vector<std::unique_ptr<Waiter>> waiters_;
    };

    static void post(std::unique_ptr<Waiter> waiter, std::optional<Chunk> chunk);
    void wait(std::unique_ptr<Waiter> waiter);
    // push() for a publish: a waiting consumer joins `wakeups` instead of being
    // posted on its own.
    void push(const Chunk& chunk, Wakeups& wakeups);

    mutable std::mutex mutex_;
    // A vector rather than a deque: it holds a few chunks at most while the
    // listener keeps up, and a deque's first block alone would cost every
    // listener half a kilobyte.
    std::vector<Chunk> queue_;
    std::unique_ptr<Waiter> waiting_; // present only while queue_ is empty and not ended_
    bool ended_ = false;
    const std::size_t limit_;
    const std::optional<std::string> tag_;
    const bool counted_;
};

// Distributes published chunks to every joined listener and keeps the burst
// that a newly joined listener receives first. Safe to call from any thread.
class Fanout {
public:
    Fanout(std::ptrdiff_t burstBytes, std::size_t perListenerLimit);
    Fanout(const Fanout&) = delete;
    Fanout& operator=(const Fanout&) = delete;

    // Appends to the burst and hands the chunk to every listener. Never waits on
    // a consumer; empty chunks are ignored.
    void publish(const Chunk& chunk);
    // A new registered listener whose first chunk is the current burst;
    // `counts` says whether count() includes it.
    std::shared_ptr<Listener> join(std::optional<std::string> tag, bool counts = true);
    void leave(const std::shared_ptr<Listener>& listener);
    void closeAll();
    // Listeners without a tag count once each; tagged ones once per distinct
    // tag. Constant time: the counts are kept as listeners join and leave.
    std::size_t count() const;
    // Bytes a listener joining now gets at once.
    std::size_t burstSize() const;
    // Up to `count` of those bytes from `from` on.
    Bytes burstBytes(std::size_t from, std::size_t count) const;
    // Bytes published so far.
    std::uint64_t published() const { return published_.load(std::memory_order_relaxed); }

    // A listener's place: joined when made, left when destroyed, so a
    // connection that goes away by any path (an error, an exception) never
    // leaves a listener behind that is still counted and fed.
    class Seat {
    public:
        Seat() = default;
        Seat(std::shared_ptr<Fanout> fanout, std::optional<std::string> tag, bool counts = true)
            : fanout_(std::move(fanout)), listener_(fanout_->join(std::move(tag), counts)) {}
        Seat(Seat&& other) noexcept = default;
        Seat& operator=(Seat&& other) noexcept {
            leave();
            fanout_ = std::move(other.fanout_);
            listener_ = std::move(other.listener_);
            return *this;
        }
        ~Seat() { leave(); }

        Listener* operator->() const { return listener_.get(); }
        explicit operator bool() const { return listener_ != nullptr; }
        void leave() {
            if (listener_) fanout_->leave(std::exchange(listener_, nullptr));
        }

    private:
        std::shared_ptr<Fanout> fanout_;
        std::shared_ptr<Listener> listener_;
    };
    // Returns once every publish that had started before the call has handed
    // over all its chunks and completions. After leave() or closeAll() and then
    // settle(), nothing more will be posted for those listeners' consumers, so
    // their executors can be torn down.
    void settle();

private:
    mutable std::mutex mutex_;
    // Held by publish() while it delivers outside mutex_; only settle() waits for it.
    std::mutex deliveryMutex_;
    // The listeners a publish delivers to, copied under mutex_; kept between
    // publishes (under deliveryMutex_) so that a publish allocates nothing.
    std::vector<std::shared_ptr<Listener>> snapshot_;
    BurstBuffer burst_;
    // The burst as a chunk, built by the first join after a publish and shared
    // by every listener that joins before the next one.
    std::optional<Chunk> burstChunk_;
    std::unordered_map<const Listener*, std::shared_ptr<Listener>> listeners_;
    std::size_t untagged_ = 0;
    std::unordered_map<std::string, std::size_t> tags_; // listeners per tag
    const std::size_t perListenerLimit_;
    std::atomic<std::uint64_t> published_{0};

    void counted(const Listener& listener, bool joined);
};

} // namespace lantern
