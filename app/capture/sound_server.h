#pragma once

#include "capture/server_model.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <string>
#include <sys/types.h>

namespace lantern {

// The one connection to the sound server (PulseAudio, or PipeWire's pulse
// server) on libpulse's threaded main loop, shared by the taps, the
// microphone and the lists of applications and inputs. Its thread is the
// "tap thread": every stream callback runs there, with the loop's lock held.
//
// It keeps a model of the server's streams, clients, sinks and sources,
// updated from subscription events, and publishes a fresh ServerState after
// every change; readers on any thread take the latest copy and never wait
// on the server. When the server goes away (restarted, crashed) it connects
// again every second until it is back.
//
// Callers hold the lock (std::lock_guard lock{SoundServer::shared()}) around
// every use of context() and of their streams.
class SoundServer {
public:
    // What changed, told to subscribers on the loop thread after the state
    // already shows it. `connected` and `disconnected` concern the server
    // itself; the rest name the facility and index of a changed object.
    struct Event {
        enum class Kind { connected, disconnected, added, changed, removed };
        Kind kind;
        pa_subscription_event_type_t facility = PA_SUBSCRIPTION_EVENT_SERVER;
        std::uint32_t index = PA_INVALID_INDEX;
    };
    using Subscriber = std::function<void(const Event&)>;

    static SoundServer& shared();

    void lock();
    void unlock();
    bool inLoopThread() const;

    // The context while it is ready, else nullptr. Never waits. Under the lock.
    pa_context* context() const;

    // The latest state; any thread, never waits on the server.
    std::shared_ptr<const ServerState> state() const;
    // Waits (off the loop thread) at most `bound` for the first complete state;
    // whether the server is connected by then. For start-up and tests.
    bool waitConnected(std::chrono::milliseconds bound) const;

    // Called on the loop thread for every change; returns a handle for
    // unsubscribe(). Under the lock.
    int subscribe(Subscriber subscriber);
    void unsubscribe(int handle);

    // Runs `work` on the loop thread after `delay` (with the lock held).
    void after(std::chrono::milliseconds delay, std::function<void()> work);

    pa_threaded_mainloop* loop() const { return loop_; }

    // The loop thread captures and encodes, so it is raised above every other
    // thread of the process once it runs (see raiseAudioThread). Its id, and
    // what was granted: both empty until the request has been answered.
    struct Priority {
        pid_t thread = 0;
        std::string granted;
    };
    Priority priority() const;

private:
    SoundServer();
    ~SoundServer();

    struct Query;
    Query* query(const ServerModel::Question& question);
    void ask(pa_context* context, const ServerModel::Question& question, std::uint32_t index);
    void changed(const ServerModel::Change& change);

    void connect();
    void publish(ServerState state);
    void notify(const Event& event);
    static void onState(pa_context* context, void* self);
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                        void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    ServerModel model_;
    std::map<Query*, std::unique_ptr<Query>> queries_;
    std::map<int, Subscriber> subscribers_;
    int nextHandle_ = 0;

    static void raise(pa_mainloop_api* api, void* self);
    mutable std::mutex priorityMutex_;
    Priority priority_;

    mutable std::mutex stateMutex_;
    mutable std::condition_variable stateChanged_;
    std::shared_ptr<const ServerState> state_;
};

// Ends a record or playback stream and drops our reference, whatever state it
// is in. One still being created cannot be disconnected yet: it is
// disconnected as soon as the server has made it, so it never lingers there.
// Under the loop's lock.
void closeStream(pa_stream* stream);

// Releases a pa_operation that nobody waits for.
inline void forget(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}

} // namespace lantern
