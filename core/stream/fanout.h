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

    // Hands a chunk to the waiting consumer at once, or queues it; drops it
    // when the queue is full (the oldest audio stays) or the listener has ended.
    void push(Chunk chunk);
    // Ends the listener for good: queued chunks are discarded and a waiting
    // consumer completes with nothing. Later calls do nothing.
    void end();

    std::size_t queued() const;
    // When the audio it was last handed was published.
    std::optional<Chunk::Clock::time_point> lastAt() const;
    // Appends every queued chunk to `into`, oldest first, at once and without
    // waiting (none when the queue is empty): the consumer sends them in one
    // gathered write.
    void takeAll(std::vector<Chunk>& into);

private:
    friend class Fanout;

    struct Waiter;
    using Wakeup = std::pair<std::unique_ptr<Waiter>, std::optional<Chunk>>;
    // A consumer suspended in next().
    struct Waiter {
        virtual ~Waiter() = default;
        // Whether `other` completes on the same executor as this one.
        virtual bool sharesExecutor(const Waiter& other) const = 0;
        // Posts one job to this waiter's executor that completes every waiter of
        // `group` (this one among them, all sharing its executor), each with its chunk.
        virtual void postAll(std::vector<Wakeup> group) = 0;
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
        void postAll(std::vector<Wakeup> group) override {
            auto executor = target;
            asio::post(executor, [group = std::move(group)]() mutable {
                for (auto& [waiter, chunk] : group)
                    waiter->complete(std::move(chunk));
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
        void add(Wakeup wakeup) { waiters_.push_back(std::move(wakeup)); }
        void post();

    private:
        std::vector<Wakeup> waiters_;
    };

    static void post(Wakeup wakeup);
    void wait(std::unique_ptr<Waiter> waiter);
    // push() for a publish. A waiting listener is woken (joining `wakeups`)
    // only every `batch`, or sooner once a few chunks wait: each wake costs
    // it a write, so one write then carries what it is owed. An uncounted
    // consumer (the recorder, the relay) is woken for every chunk: there are
    // few, and what waits in a queue is lost when the broadcast ends.
    void push(const Chunk& chunk, Wakeups& wakeups, Chunk::Clock::time_point now);
    // The waiting consumer with the oldest queued chunk, taken off the
    // queue; under mutex_.
    Wakeup wake();

    static constexpr auto batch = std::chrono::milliseconds(250);
    static constexpr std::size_t wakeAt = 3; // queued chunks that wake a consumer sooner

    mutable std::mutex mutex_;
    // A vector rather than a deque: it holds a few chunks at most while the
    // listener keeps up, and a deque's first block alone would cost every
    // listener half a kilobyte.
    std::vector<Chunk> queue_;
    // A consumer suspended in next(); chunks may be queued meanwhile until
    // the next wake is due.
    std::unique_ptr<Waiter> waiting_;
    Chunk::Clock::time_point woken_; // when the consumer last got chunks
    bool ended_ = false;
    // Behind live: the number of the window's chunk it gets next (the fan-out's, under its lock).
    std::optional<std::uint64_t> cursor_;
    std::optional<Chunk::Clock::time_point> lastAt_; // see lastAt()
    // When it was moved to another form. For a moment after, a chunk of
    // either form published no later than the last it got is the same audio
    // again (a publish of the old form may still be on its way), and is skipped.
    std::optional<Chunk::Clock::time_point> movedAt_;
    const std::size_t limit_;
    const std::optional<std::string> tag_;
    const bool counted_;
};

// Who listens, across the fan-outs of every form of the stream: listeners
// without a tag count once each, tagged ones once per distinct tag however
// many streams of any form the tag has open. Safe to call from any thread.
class TagRoster {
public:
    void add(const std::optional<std::string>& tag);
    void remove(const std::optional<std::string>& tag);
    std::size_t count() const;
    // Whether a stream of any form is open under the tag.
    bool has(const std::string& tag) const;

private:
    mutable std::mutex mutex_;
    std::size_t untagged_ = 0;
    std::unordered_map<std::string, std::size_t> tags_; // streams per tag
};

// Distributes published chunks to every joined listener, and keeps the
// recent ones: the burst a listener joining live receives first, and the
// rewind window from which a listener may start behind live. Safe to call
// from any thread.
class Fanout {
public:
    using Clock = Chunk::Clock;

    // `roster`, when given, is shared with the fan-outs of the stream's other
    // forms, so that count() counts a listener once across them.
    Fanout(std::ptrdiff_t burstBytes, std::size_t perListenerLimit,
           std::shared_ptr<TagRoster> roster = nullptr);
    Fanout(const Fanout&) = delete;
    Fanout& operator=(const Fanout&) = delete;

    // How far back listeners may start (0: only the burst is kept). A smaller
    // window lets the older chunks go at once, and a listener whose place
    // goes with them continues live.
    void setWindow(std::chrono::seconds window);
    // Keeps the chunk and hands it (or, to a listener behind live, the one
    // its place has reached) to every listener. Never waits on a consumer;
    // empty chunks are ignored. `audio`: the seconds of audio it carries,
    // when the publisher knows (an encoder's delay may leave a chunk empty).
    void publish(const Chunk& chunk, double audio = 0);
    // A new registered listener whose first chunk is the burst; `counts`
    // says whether count() includes it. With `behind` > 0 it starts at the
    // first chunk published that many seconds ago or later (at the oldest
    // one kept for more), gets the burst from there, and then one kept chunk
    // per chunk published, so it stays as far behind.
    std::shared_ptr<Listener> join(std::optional<std::string> tag, bool counts = true,
                                   double behind = 0);
    void leave(const std::shared_ptr<Listener>& listener);
    // Bytes every listener gets before its burst (a container's header
    // pages): from now on, for listeners joining later.
    void setHeader(Bytes header);
    // Moves a listener to `to`, the same audio in another form, with its
    // queue and its waiting consumer, so that its connection carries on:
    // from the chunks `to` publishes after the last it was handed, or,
    // behind live, from the same moment in `to`'s window. False when it is
    // not here.
    bool moveTo(const std::shared_ptr<Listener>& listener, Fanout& to);
    // Ends every listener; what is kept stays.
    void closeAll();
    // Lets every kept chunk go: a new broadcast starts from nothing.
    void forget();
    // Listeners without a tag count once each; tagged ones once per distinct
    // tag, across every fan-out sharing the roster. Constant time: the
    // counts are kept as listeners join and leave.
    std::size_t count() const;
    // The same for this fan-out's listeners alone.
    std::size_t ownCount() const;
    // Whether a stream of any form is open under `tag`.
    bool listensAs(const std::string& tag) const { return roster_->has(tag); }
    // Listeners behind live.
    std::size_t behindCount() const;
    // Seconds of audio kept before the newest chunk: how far back a listener
    // can start now (0 without a window).
    double reach() const;
    // Bytes a listener joining now (`behind` seconds back) gets at once.
    std::size_t burstSize(double behind = 0) const;
    // Up to `count` of those bytes from `from` on.
    Bytes burstBytes(std::size_t from, std::size_t count, double behind = 0) const;
    // Whether this form of the stream is being made (its encoder runs):
    // set by whoever publishes, read by whoever offers it to listeners.
    void setOffered(bool offered) { offered_.store(offered, std::memory_order_relaxed); }
    bool offered() const { return offered_.load(std::memory_order_relaxed); }
    // Bytes published so far.
    std::uint64_t published() const { return published_.load(std::memory_order_relaxed); }
    // Seconds of audio published so far, once a publisher said how much.
    std::optional<double> publishedAudio() const;
    // Bytes kept.
    std::size_t keptBytes() const;

    // A listener's place: joined when made, left when destroyed, so a
    // connection that goes away by any path (an error, an exception) never
    // leaves a listener behind that is still counted and fed.
    class Seat {
    public:
        Seat() = default;
        Seat(std::shared_ptr<Fanout> fanout, std::optional<std::string> tag, bool counts = true,
             double behind = 0)
            : fanout_(std::move(fanout)), listener_(fanout_->join(std::move(tag), counts, behind)) {
        }
        Seat(Seat&& other) noexcept = default;
        Seat& operator=(Seat&& other) noexcept {
            leave();
            fanout_ = std::move(other.fanout_);
            listener_ = std::move(other.listener_);
            return *this;
        }
        ~Seat() { leave(); }

        Listener* operator->() const { return listener_.get(); }
        // Carries on in `to` (see Fanout::moveTo).
        void moveTo(std::shared_ptr<Fanout> to) {
            if (listener_ && fanout_->moveTo(listener_, *to)) fanout_ = std::move(to);
        }
        const Fanout* fanout() const { return fanout_.get(); }
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
    struct Kept {
        Chunk chunk;
        Clock::time_point at; // when it was published
    };
    // The kept chunks [first, last) a listener `behind` seconds back gets at
    // once: whole chunks holding at least the burst's bytes (all there are
    // when they hold less).
    std::pair<std::size_t, std::size_t> burst(double behind) const;
    // Where a listener `behind` seconds back starts, as an index into kept_;
    // kept_.size() for live.
    std::size_t startOf(double behind) const;
    // Kept chunks [first, last) as one chunk, after the header.
    Chunk joined(std::size_t first, std::size_t last) const;
    // Lets go of the kept chunks the window no longer needs; under both locks.
    void trim();
    // Lets go of every kept chunk; under both locks.
    void dropKept();
    // Counts a listener joining or leaving, here and in the roster.
    void counted(const Listener& listener, bool joined);
    // The same here alone.
    void countOwn(const Listener& listener, bool joined);

    mutable std::mutex mutex_;
    // Held by publish() while it delivers outside mutex_, and by whatever
    // lets kept chunks go, so that those being delivered stay.
    std::mutex deliveryMutex_;
    // The listeners a publish delivers to and what each gets, copied under
    // mutex_; kept between publishes (under deliveryMutex_) so that a publish
    // allocates nothing.
    std::vector<std::pair<std::shared_ptr<Listener>, const Chunk*>> snapshot_;
    // The window, oldest first: the chunks as published (shared, not copied).
    // The oldest is chunk number first_ of the broadcast.
    std::deque<Kept> kept_;
    std::uint64_t first_ = 0;
    std::size_t keptBytes_ = 0;
    const std::size_t burstBytes_;
    Clock::duration window_{0};
    // The live burst as a chunk, built by the first live join after a
    // publish and shared by every one that joins before the next.
    std::optional<Chunk> burstChunk_;
    Bytes header_;
    std::unordered_map<const Listener*, std::shared_ptr<Listener>> listeners_;
    std::size_t untagged_ = 0;
    std::size_t behind_ = 0;                            // listeners with a place in the window
    std::unordered_map<std::string, std::size_t> tags_; // listeners per tag
    const std::shared_ptr<TagRoster> roster_;
    const std::size_t perListenerLimit_;
    std::atomic<std::uint64_t> published_{0};
    std::atomic<std::uint64_t> audioMicros_{0};
    std::atomic<bool> audioKnown_{false};
    std::atomic<bool> offered_{true};
};

// The stream in every form it is sent in: the full one, and the light one
// as AAC and as Opus in Ogg. A listener counts once across them.
struct Renditions {
    std::shared_ptr<Fanout> full, light, opus;

    // Each form with a burst of `burstSeconds` at its bit rate.
    static Renditions make(double burstSeconds, int bitrate, int lightBitrate,
                           std::size_t perListenerLimit);
    // Listeners of the light stream, in either form.
    std::size_t lightCount() const;
    // Listeners behind live, in any form.
    std::size_t behindCount() const;
    // For each form, as Fanout's.
    void setWindow(std::chrono::seconds window) const;
    void closeAll() const;
    void forget() const;
};

} // namespace lantern
