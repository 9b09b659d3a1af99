#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

namespace lantern {

// The one connection to the sound server (PulseAudio, or PipeWire's pulse
// server) on libpulse's threaded main loop, shared by the process list, the
// taps and the microphone. Its thread is the "tap thread": every stream
// callback runs there, with the loop's lock held.
//
// Callers hold the lock (std::lock_guard lock{SoundServer::shared()}) around
// every use of context() and of their streams; operations are awaited with
// await(), which waits on the loop and is woken by the callbacks' signal().
class SoundServer {
public:
    using Subscriber = std::function<void(pa_subscription_event_type_t, std::uint32_t index)>;

    static SoundServer& shared();

    void lock();
    void unlock();
    bool inLoopThread() const;

    // The context once it is ready, waiting for it (under the lock) at most
    // `wait`; nullptr when the server cannot be reached by then.
    pa_context* context(std::chrono::milliseconds wait = std::chrono::milliseconds(3000));
    // Waits, under the lock, until the operation is done; takes it over.
    void await(pa_operation* operation);
    // Wakes whoever waits in await() or context(); for the callbacks.
    void signal();

    // Called on the loop thread for every sink-input, client, sink, source and
    // server event; returns a handle for unsubscribe(). Under the lock.
    int subscribe(Subscriber subscriber);
    void unsubscribe(int handle);

    // Runs `work` on the loop thread after `delay` (with the lock held).
    void after(std::chrono::milliseconds delay, std::function<void()> work);

    pa_threaded_mainloop* loop() const { return loop_; }

private:
    SoundServer();
    ~SoundServer();

    void connect();
    static void onState(pa_context* context, void* self);
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                        void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::map<int, Subscriber> subscribers_;
    int nextHandle_ = 0;
};

// RAII for a pa_operation that nobody waits for.
inline void forget(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}

} // namespace lantern
