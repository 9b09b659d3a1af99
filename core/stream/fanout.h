#pragma once

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/buffer.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace lantern {

using Bytes = std::vector<std::uint8_t>;

// One piece of encoded audio as published: an immutable buffer shared by every
// listener it is handed to, so publishing to many listeners copies no audio.
class Chunk {
public:
    explicit Chunk(Bytes bytes) : bytes_(std::make_shared<const Bytes>(std::move(bytes))) {}

    std::span<const std::uint8_t> bytes() const { return *bytes_; }
    std::size_t size() const { return bytes_->size(); }
    asio::const_buffer buffer() const { return asio::buffer(*bytes_); }

private:
    std::shared_ptr<const Bytes> bytes_;
};

// The most recent encoded bytes, oldest first, at most `capacity` of them.
class BurstBuffer {
public:
    explicit BurstBuffer(std::ptrdiff_t capacity);

    // Appends the bytes and keeps only the last `capacity`; the cut ignores
    // frame boundaries.
    void append(std::span<const std::uint8_t> bytes);
    Bytes contents() const;
    std::size_t size() const { return store_.size() - start_; }
    std::size_t capacity() const { return capacity_; }

private:
    std::size_t capacity_;
    // Kept bytes are store_[start_, end). Trimming moves start_; the dead
    // prefix is compacted away once it is as large as the capacity, so an
    // append costs amortised O(its size) however full the burst is.
    Bytes store_;
    std::size_t start_ = 0;
};

// One connected listener's bounded queue of chunks, drained by exactly one
// consumer through next().
class Listener {
public:
    // Completion signature of next(): a chunk, or nothing once the listener ended.
    using NextSignature = void(std::optional<Chunk>);

    Listener(std::size_t limit, std::optional<std::string> tag)
        : limit_(limit), tag_(std::move(tag)) {}
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::optional<std::string>& tag() const { return tag_; }

    // Completes with the oldest queued chunk, waiting for one if none is queued,
    // or with nothing once the listener has ended. The completion always runs on
    // the handler's associated executor, never inside push() or end(), so the
    // audio thread that publishes never runs a consumer. One consumer at a time.
    template <typename CompletionToken>
    auto next(CompletionToken&& token) {
        return asio::async_initiate<CompletionToken, NextSignature>(
            [this](auto handler) { wait(makeWaiter(std::move(handler))); }, token);
    }

    // Hands a chunk to the waiting consumer, or queues it; drops it when the
    // queue is full (the oldest audio stays) or the listener has ended.
    void push(Chunk chunk);
    // Ends the listener for good: queued chunks are discarded and a waiting
    // consumer completes with nothing. Later calls do nothing.
    void end();

    bool ended() const;
    std::size_t queued() const;

private:
    struct Waiter {
        virtual ~Waiter() = default;
        // Posts the completion to the consumer's executor; never runs it inline.
        virtual void resume(std::optional<Chunk> chunk) = 0;
    };

    template <typename Handler>
    struct HandlerWaiter final : Waiter {
        explicit HandlerWaiter(Handler h)
            : handler(std::move(h)), work(asio::get_associated_executor(handler)) {}
        void resume(std::optional<Chunk> chunk) override {
            auto executor = work.get_executor();
            asio::post(executor, [h = std::move(handler), w = std::move(work),
                                  c = std::move(chunk)]() mutable { std::move(h)(std::move(c)); });
        }
        Handler handler;
        asio::executor_work_guard<asio::associated_executor_t<Handler>> work;
    };

    template <typename Handler>
    static std::unique_ptr<Waiter> makeWaiter(Handler handler) {
        return std::make_unique<HandlerWaiter<Handler>>(std::move(handler));
    }

    void wait(std::unique_ptr<Waiter> waiter);

    mutable std::mutex mutex_;
    std::deque<Chunk> queue_;
    std::unique_ptr<Waiter> waiting_; // present only while queue_ is empty and not ended_
    bool ended_ = false;
    const std::size_t limit_;
    const std::optional<std::string> tag_;
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
    void publish(Chunk chunk);
    // A new registered listener whose first chunk is the current burst.
    std::shared_ptr<Listener> join(std::optional<std::string> tag);
    void leave(const std::shared_ptr<Listener>& listener);
    void closeAll();
    // Listeners without a tag count once each; tagged ones once per distinct tag.
    std::size_t count() const;

private:
    mutable std::mutex mutex_;
    BurstBuffer burst_;
    // The burst as a chunk, built by the first join after a publish and shared
    // by every listener that joins before the next one.
    std::optional<Chunk> burstChunk_;
    std::unordered_map<const Listener*, std::shared_ptr<Listener>> listeners_;
    const std::size_t perListenerLimit_;
};

} // namespace lantern
