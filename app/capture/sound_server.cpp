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

const ServerState::Sink* ServerState::sinkNamed(std::string_view name) const {
    for (const auto& [index, sink] : sinks)
        if (sink.name == name) return &sink;
    return nullptr;
}

const ServerState::Source* ServerState::sourceNamed(std::string_view name) const {
    for (const auto& [index, source] : sources)
        if (source.name == name) return &source;
    return nullptr;
}

// The server's objects as the loop thread learns them. A reply is applied only
// if no later event for the same object came in meanwhile (that event's own
// query brings the newer facts; a removal wins over a reply still on its way,
// which matters on PipeWire, where indices are reused).
class SoundServer::Model {
public:
    explicit Model(SoundServer& server) : server_(server) {}

    void reset() {
        state_ = ServerState();
        events_.clear();
        queries_.clear();
        loading_ = 0;
    }

    const ServerState& state() const { return state_; }

    // Loads everything anew on a fresh connection; `connected` is published
    // once all five replies are in.
    void load(pa_context* context) {
        loading_ = 5;
        ask(pa_context_get_server_info(context, &Model::onServer,
                                       query(PA_SUBSCRIPTION_EVENT_SERVER)));
        ask(pa_context_get_sink_info_list(context, &Model::onSink,
                                          query(PA_SUBSCRIPTION_EVENT_SINK)));
        ask(pa_context_get_source_info_list(context, &Model::onSource,
                                            query(PA_SUBSCRIPTION_EVENT_SOURCE)));
        ask(pa_context_get_client_info_list(context, &Model::onClient,
                                            query(PA_SUBSCRIPTION_EVENT_CLIENT)));
        ask(pa_context_get_sink_input_info_list(context, &Model::onStream,
                                                query(PA_SUBSCRIPTION_EVENT_SINK_INPUT)));
    }

    void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index) {
        const auto facility =
            static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) index = PA_INVALID_INDEX; // there is one
        const auto seq = ++events_[{facility, index}];
        if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
            if (erase(facility, index)) changed({Event::Kind::removed, facility, index});
            return;
        }
        auto* q = query(facility, seq);
        switch (facility) {
        case PA_SUBSCRIPTION_EVENT_SERVER:
            return ask(pa_context_get_server_info(context, &Model::onServer, q));
        case PA_SUBSCRIPTION_EVENT_SINK:
            return ask(pa_context_get_sink_info_by_index(context, index, &Model::onSink, q));
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            return ask(pa_context_get_source_info_by_index(context, index, &Model::onSource, q));
        case PA_SUBSCRIPTION_EVENT_CLIENT:
            return ask(pa_context_get_client_info(context, index, &Model::onClient, q));
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            return ask(pa_context_get_sink_input_info(context, index, &Model::onStream, q));
        default:
            queries_.erase(q);
        }
    }

private:
    struct Query {
        Model* model;
        pa_subscription_event_type_t facility;
        std::uint64_t seq; // events seen for the object when asked
        bool initial;      // part of the load on connecting
    };

    // The first load asks with `initial`; an event's query with its sequence number.
    Query* query(pa_subscription_event_type_t facility, std::uint64_t seq = 0) {
        auto owned = std::make_unique<Query>(Query{this, facility, seq, seq == 0});
        auto* raw = owned.get();
        queries_.emplace(raw, std::move(owned));
        return raw;
    }

    void ask(pa_operation* operation) {
        // A refused request means the context is failing; its state change
        // brings a reconnect.
        forget(operation);
    }

    // Whether a reply about `index` is still news: no event about it came
    // after the question was asked.
    bool current(const Query& q, std::uint32_t index) const {
        const auto found = events_.find({q.facility, index});
        return (found == events_.end() ? 0 : found->second) == q.seq;
    }

    // A reply's last call (or its failure): the load's replies count down.
    void done(Query* q) {
        const bool initial = q->initial;
        queries_.erase(q);
        if (initial && loading_ > 0 && --loading_ == 0) {
            state_.connected = true;
            server_.publish(state_);
            server_.notify({Event::Kind::connected});
        }
    }

    template <typename Map> bool applyTo(Map& map, Query& q, typename Map::mapped_type value) {
        const auto index = value.index;
        if (!current(q, index)) return false;
        const bool added = !map.contains(index);
        map[index] = std::move(value);
        if (!q.initial)
            changed({added ? Event::Kind::added : Event::Kind::changed, q.facility, index});
        return true;
    }

    bool erase(pa_subscription_event_type_t facility, std::uint32_t index) {
        switch (facility) {
        case PA_SUBSCRIPTION_EVENT_SINK:
            return state_.sinks.erase(index) > 0;
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            return state_.sources.erase(index) > 0;
        case PA_SUBSCRIPTION_EVENT_CLIENT:
            return state_.clients.erase(index) > 0;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            return state_.streams.erase(index) > 0;
        default:
            return false;
        }
    }

    // Publishes a change once the first load is complete.
    void changed(const Event& event) {
        if (!state_.connected) return;
        server_.publish(state_);
        server_.notify(event);
    }

    static void onServer(pa_context*, const pa_server_info* info, void* data) {
        auto* q = static_cast<Query*>(data);
        auto& model = *q->model;
        if (info && model.current(*q, PA_INVALID_INDEX)) {
            model.state_.defaultSink = info->default_sink_name ? info->default_sink_name : "";
            model.state_.defaultSource = info->default_source_name ? info->default_source_name : "";
            if (!q->initial) model.changed({Event::Kind::changed, PA_SUBSCRIPTION_EVENT_SERVER});
        }
        model.done(q);
    }

    static void onSink(pa_context*, const pa_sink_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last) return q->model->done(q);
        q->model->applyTo(q->model->state_.sinks, *q,
                          {info->index, info->name ? info->name : "",
                           info->monitor_source_name ? info->monitor_source_name : "",
                           info->sample_spec.rate});
    }

    static void onSource(pa_context*, const pa_source_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last) return q->model->done(q);
        q->model->applyTo(q->model->state_.sources, *q,
                          {info->index, info->name ? info->name : "",
                           info->description ? info->description : (info->name ? info->name : ""),
                           info->monitor_of_sink != PA_INVALID_INDEX, info->sample_spec.rate,
                           info->sample_spec.channels});
    }

    static void onClient(pa_context*, const pa_client_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last) return q->model->done(q);
        q->model->applyTo(
            q->model->state_.clients, *q,
            {info->index, property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
             pidOf(info->proplist), property(info->proplist, PA_PROP_APPLICATION_NAME),
             property(info->proplist, PA_PROP_APPLICATION_ICON_NAME)});
    }

    static void onStream(pa_context*, const pa_sink_input_info* info, int last, void* data) {
        auto* q = static_cast<Query*>(data);
        if (last) return q->model->done(q);
        q->model->applyTo(q->model->state_.streams, *q,
                          {info->index, info->sink, info->corked != 0,
                           property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
                           pidOf(info->proplist),
                           property(info->proplist, PA_PROP_APPLICATION_NAME),
                           property(info->proplist, PA_PROP_APPLICATION_ICON_NAME)});
    }

    SoundServer& server_;
    ServerState state_;
    std::map<std::pair<int, std::uint32_t>, std::uint64_t> events_;
    std::map<Query*, std::unique_ptr<Query>> queries_;
    int loading_ = 0;
};

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

SoundServer::SoundServer()
    : model_(std::make_unique<Model>(*this)), state_(std::make_shared<ServerState>()) {
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
        server->model_->reset();
        server->model_->load(context);
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
        // The server went away or was never there. Streams of this context
        // fail and tell their owners; a context cannot reconnect, so a new one
        // is made in a second.
        const bool wasConnected = server->model_->state().connected;
        server->model_->reset();
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
    if (context == server->context_) server->model_->onEvent(context, type, index);
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
