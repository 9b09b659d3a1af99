#include "capture/sound_server.h"

#include "system/audio_priority.h"

#include <QCoreApplication>
#include <charconv>
#include <cstdio>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop-api.h>
#include <pulse/proplist.h>
#include <pulse/timeval.h>
#include <unistd.h>

namespace lantern {

namespace {

constexpr auto reconnectDelay = std::chrono::milliseconds(1000);

std::optional<std::string> property(const pa_proplist* properties, const char* key) {
    const char* value = pa_proplist_gets(properties, key);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

std::int32_t pidOf(const pa_proplist* properties) {
    std::int32_t pid = 0;
    if (const auto text = property(properties, PA_PROP_APPLICATION_PROCESS_ID))
        std::from_chars(text->data(), text->data() + text->size(), pid);
    return pid;
}

} // namespace

// A question on its way to the server, and the replies' way back into the
// model: each reply is handed to the model, and what it changed is published.
struct SoundServer::Query {
    SoundServer* server;
    ServerModel::Question question;

    void changed(const std::optional<ServerModel::Change>& change) const {
        if (change) server->changed(*change);
    }
    // The last reply (or the failure) ends the question.
    void finish() {
        auto* owner = server;
        const auto change = owner->model_.finished(question);
        owner->queries_.erase(this); // `this` is gone from here
        if (change) owner->changed(*change);
    }

    static void onServer(pa_context*, const pa_server_info* info, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info)
            q->changed(q->server->model_.replyServer(
                q->question, info->default_sink_name ? info->default_sink_name : "",
                info->default_source_name ? info->default_source_name : ""));
        q->finish();
    }
    static void onSink(pa_context*, const pa_sink_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last) return q->finish();
        q->changed(q->server->model_.reply(
            q->question,
            ServerState::Sink{info->index, info->name ? info->name : "",
                              info->monitor_source_name ? info->monitor_source_name : "",
                              info->sample_spec.rate}));
    }
    static void onSource(pa_context*, const pa_source_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last) return q->finish();
        q->changed(q->server->model_.reply(
            q->question, ServerState::Source{info->index, info->name ? info->name : "",
                                             info->description ? info->description
                                                               : (info->name ? info->name : ""),
                                             info->monitor_of_sink != PA_INVALID_INDEX,
                                             info->sample_spec.rate, info->sample_spec.channels}));
    }
    static void onClient(pa_context*, const pa_client_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last) return q->finish();
        q->changed(q->server->model_.reply(
            q->question,
            ServerState::Client{
                info->index, property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
                pidOf(info->proplist), property(info->proplist, PA_PROP_APPLICATION_NAME),
                property(info->proplist, PA_PROP_APPLICATION_ICON_NAME)}));
    }
    static void onStream(pa_context*, const pa_sink_input_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last) return q->finish();
        q->changed(q->server->model_.reply(
            q->question,
            ServerState::Stream{info->index, info->sink, info->corked != 0,
                                property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
                                pidOf(info->proplist),
                                property(info->proplist, PA_PROP_APPLICATION_NAME),
                                property(info->proplist, PA_PROP_APPLICATION_ICON_NAME)}));
    }
};

SoundServer::Query* SoundServer::query(const ServerModel::Question& question) {
    auto owned = std::make_unique<Query>(Query{this, question});
    auto* raw = owned.get();
    queries_.emplace(raw, std::move(owned));
    return raw;
}

// Asks about `facility` (the object `index`, or all of them when loading).
void SoundServer::ask(pa_context* context, const ServerModel::Question& question,
                      std::uint32_t index) {
    auto* q = query(question);
    const bool all = question.initial;
    pa_operation* operation = nullptr;
    switch (question.facility) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
        operation = pa_context_get_server_info(context, &Query::onServer, q);
        break;
    case PA_SUBSCRIPTION_EVENT_SINK:
        operation = all ? pa_context_get_sink_info_list(context, &Query::onSink, q)
                        : pa_context_get_sink_info_by_index(context, index, &Query::onSink, q);
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
        operation = all ? pa_context_get_source_info_list(context, &Query::onSource, q)
                        : pa_context_get_source_info_by_index(context, index, &Query::onSource, q);
        break;
    case PA_SUBSCRIPTION_EVENT_CLIENT:
        operation = all ? pa_context_get_client_info_list(context, &Query::onClient, q)
                        : pa_context_get_client_info(context, index, &Query::onClient, q);
        break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        operation = all ? pa_context_get_sink_input_info_list(context, &Query::onStream, q)
                        : pa_context_get_sink_input_info(context, index, &Query::onStream, q);
        break;
    default:
        break;
    }
    // A refused request means the context is failing; its state change brings
    // a reconnect.
    if (!operation) queries_.erase(q);
    forget(operation);
}

void SoundServer::changed(const ServerModel::Change& change) {
    publish(model_.state());
    using From = ServerModel::Change::Kind;
    using To = Event::Kind;
    const auto kind = change.kind == From::connected ? To::connected
                      : change.kind == From::added   ? To::added
                      : change.kind == From::removed ? To::removed
                                                     : To::changed;
    notify({kind, change.facility, change.index});
}

void closeStream(pa_stream* stream) {
    if (!stream) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_CREATING:
        pa_stream_set_state_callback(
            stream,
            [](pa_stream* made, void*) {
                const auto state = pa_stream_get_state(made);
                if (state == PA_STREAM_CREATING) return;
                pa_stream_set_state_callback(made, nullptr, nullptr);
                if (state == PA_STREAM_READY) pa_stream_disconnect(made);
                pa_stream_unref(made);
            },
            nullptr);
        return;
    case PA_STREAM_READY:
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        break;
    default:
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        break;
    }
    pa_stream_unref(stream);
}

SoundServer& SoundServer::shared() {
    // Lives until the process ends: streams of any owner may use it until then.
    static auto* server = new SoundServer();
    return *server;
}

SoundServer::SoundServer() : state_(std::make_shared<ServerState>()) {
    loop_ = pa_threaded_mainloop_new();
    pa_threaded_mainloop_set_name(loop_, "lantern.tap");
    pa_threaded_mainloop_lock(loop_);
    connect();
    pa_mainloop_api_once(pa_threaded_mainloop_get_api(loop_), &SoundServer::raise, this);
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_start(loop_);
}

// On the loop thread, once: learns its id and has the main thread ask for the
// priority, since the answer comes from the bus.
void SoundServer::raise(pa_mainloop_api*, void* self) {
    auto* server = static_cast<SoundServer*>(self);
    const pid_t thread = ::gettid();
    auto record = [server, thread](std::string granted) {
        std::lock_guard lock(server->priorityMutex_);
        server->priority_ = {thread, std::move(granted)};
    };
    auto* app = QCoreApplication::instance();
    if (!app) return raiseAudioThread(thread, record);
    QMetaObject::invokeMethod(
        app, [thread, record] { raiseAudioThread(thread, record); }, Qt::QueuedConnection);
}

SoundServer::Priority SoundServer::priority() const {
    std::lock_guard lock(priorityMutex_);
    return priority_;
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

pa_context* SoundServer::context() const {
    return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY ? context_ : nullptr;
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
    // No NOFAIL: a server that is not there fails at once and is tried again
    // every second, whichever way the server is found.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        onState(context_, this);
}

void SoundServer::onState(pa_context* context, void* self) {
    auto* server = static_cast<SoundServer*>(self);
    if (context != server->context_) return;
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        const auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_CLIENT |
            PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
        forget(pa_context_subscribe(context, mask, nullptr, nullptr));
        server->model_.reset();
        server->queries_.clear();
        for (const auto& question : server->model_.load())
            server->ask(context, question, PA_INVALID_INDEX);
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
        // The server went away or was never there. Streams of this context
        // fail and tell their owners; a context cannot reconnect, so a new one
        // is made in a second.
        const bool wasConnected = server->model_.state().connected;
        server->model_.reset();
        server->queries_.clear();
        server->publish(ServerState());
        if (wasConnected) server->notify({Event::Kind::disconnected});
        server->after(reconnectDelay, [server, context] {
            if (server->context_ != context) return;
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_unref(context);
            server->context_ = nullptr;
            server->connect();
        });
        break;
    }
    default:
        break;
    }
}

void SoundServer::onEvent(pa_context* context, pa_subscription_event_type_t type,
                          std::uint32_t index, void* self) {
    auto* server = static_cast<SoundServer*>(self);
    if (context != server->context_) return;
    const auto facility =
        static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
    const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    const auto told = server->model_.event(facility, removed, index);
    if (told.change) server->changed(*told.change);
    if (told.ask) server->ask(context, *told.ask, index);
}

void SoundServer::publish(ServerState state) {
    {
        std::lock_guard lock(stateMutex_);
        state_ = std::make_shared<const ServerState>(std::move(state));
    }
    stateChanged_.notify_all();
}

void SoundServer::notify(const Event& event) {
    // A subscriber may unsubscribe (or subscribe) while being called: walk a copy.
    const auto subscribers = subscribers_;
    for (const auto& [handle, subscriber] : subscribers)
        if (subscribers_.contains(handle)) subscriber(event);
}

std::shared_ptr<const ServerState> SoundServer::state() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

bool SoundServer::waitConnected(std::chrono::milliseconds bound) const {
    std::unique_lock lock(stateMutex_);
    return stateChanged_.wait_for(lock, bound, [this] { return state_->connected; });
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
        [](pa_mainloop_api* loopAPI, pa_time_event* event, const timeval*, void* data) {
            auto* due = static_cast<std::function<void()>*>(data);
            loopAPI->time_free(event);
            (*due)();
            delete due;
        },
        job);
}

} // namespace lantern
