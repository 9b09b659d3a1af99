#include "capture/sound_server.h"

#include <cstdio>
#include <pulse/error.h>
#include <pulse/mainloop-api.h>
#include <pulse/proplist.h>
#include <pulse/timeval.h>

namespace lantern {

SoundServer& SoundServer::shared() {
    // Lives until the process ends: streams of any owner may use it until then.
    static auto* server = new SoundServer();
    return *server;
}

SoundServer::SoundServer() {
    loop_ = pa_threaded_mainloop_new();
    pa_threaded_mainloop_set_name(loop_, "lantern.tap");
    pa_threaded_mainloop_lock(loop_);
    connect();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_start(loop_);
}

SoundServer::~SoundServer() {
    pa_threaded_mainloop_stop(loop_);
    if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
}

void SoundServer::lock() {
    pa_threaded_mainloop_lock(loop_);
}
void SoundServer::unlock() {
    pa_threaded_mainloop_unlock(loop_);
}
bool SoundServer::inLoopThread() const {
    return pa_threaded_mainloop_in_thread(loop_) != 0;
}

void SoundServer::connect() {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Lantern FM");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.brindle.lanternfm");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "lantern-fm");
    context_ =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Lantern FM", properties);
    pa_proplist_free(properties);
    pa_context_set_state_callback(context_, &SoundServer::onState, this);
    pa_context_set_subscribe_callback(context_, &SoundServer::onEvent, this);
    // NOFAIL: keep waiting for a server that is not there yet, rather than failing.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFAIL, nullptr) < 0)
        std::printf("sound server: %s\n", pa_strerror(pa_context_errno(context_)));
}

void SoundServer::onState(pa_context* context, void* self) {
    auto* server = static_cast<SoundServer*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        const auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_CLIENT |
            PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
        forget(pa_context_subscribe(context, mask, nullptr, nullptr));
        break;
    }
    case PA_CONTEXT_FAILED:
        // The server went away: a context cannot reconnect, so make a new one
        // in a second. Streams of the old one have failed and told their owners.
        server->after(std::chrono::milliseconds(1000), [server, context] {
            if (server->context_ != context) return;
            pa_context_unref(context);
            server->connect();
        });
        break;
    default:
        break;
    }
    server->signal();
}

void SoundServer::onEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                          void* self) {
    auto* server = static_cast<SoundServer*>(self);
    // A subscriber may unsubscribe (or subscribe) while being called: walk a copy.
    const auto subscribers = server->subscribers_;
    for (const auto& [handle, subscriber] : subscribers)
        if (server->subscribers_.contains(handle)) subscriber(type, index);
}

pa_context* SoundServer::context(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    struct Timeout {
        pa_threaded_mainloop* loop;
        bool fired = false;
    } timeout{loop_};
    pa_time_event* timer = nullptr;
    for (;;) {
        const auto state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) break;
        if (timeout.fired || std::chrono::steady_clock::now() >= deadline || inLoopThread()) {
            if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
            return nullptr;
        }
        if (!timer) {
            timeval when{};
            pa_timeval_add(
                pa_gettimeofday(&when),
                static_cast<pa_usec_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(wait).count()));
            timer = pa_threaded_mainloop_get_api(loop_)->time_new(
                pa_threaded_mainloop_get_api(loop_), &when,
                [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
                    auto* timeout = static_cast<Timeout*>(data);
                    timeout->fired = true;
                    pa_threaded_mainloop_signal(timeout->loop, 0);
                },
                &timeout);
        }
        pa_threaded_mainloop_wait(loop_);
    }
    if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    return context_;
}

void SoundServer::await(pa_operation* operation) {
    if (!operation) return;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
        pa_threaded_mainloop_wait(loop_);
    pa_operation_unref(operation);
}

void SoundServer::signal() {
    pa_threaded_mainloop_signal(loop_, 0);
}

int SoundServer::subscribe(Subscriber subscriber) {
    subscribers_.emplace(++nextHandle_, std::move(subscriber));
    return nextHandle_;
}

void SoundServer::unsubscribe(int handle) {
    subscribers_.erase(handle);
}

void SoundServer::after(std::chrono::milliseconds delay, std::function<void()> work) {
    auto* job = new std::function<void()>(std::move(work));
    timeval when{};
    pa_timeval_add(pa_gettimeofday(&when), static_cast<pa_usec_t>(delay.count()) * 1000);
    auto* api = pa_threaded_mainloop_get_api(loop_);
    api->time_new(
        api, &when,
        [](pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
            auto* job = static_cast<std::function<void()>*>(data);
            api->time_free(event);
            (*job)();
            delete job;
        },
        job);
}

} // namespace lantern
