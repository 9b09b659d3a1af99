#include "capture/audio_tap.h"

#include "capture/audio_processes.h"
#include "capture/sound_server.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/stream.h>

namespace lantern {

AudioTapError::AudioTapError(Kind kind, int status) : kind_(kind), status_(status) {
    static const char* const steps[] = {"tap", "aggregate", "ioProc", "start"};
    message_ = std::string("audio tap failed at ") + steps[static_cast<int>(kind)] + " (" +
               std::to_string(status) +
               (status > 0 ? std::string(": ") + pa_strerror(status) : "") + ")";
}

namespace {
constexpr std::size_t framesPerFragment = 1024;
}

// Everything the tap does after creation happens on the loop thread, with the
// loop's lock held; the owner's thread takes that lock to create and to stop.
class AudioTap::Core : public std::enable_shared_from_this<Core> {
public:
    Core(std::string id, std::string name, OnFailure onFailure, OnAudio onAudio)
        : id_(std::move(id)), name_(std::move(name)), onFailure_(std::move(onFailure)),
          onAudio_(std::move(onAudio)), server_(SoundServer::shared()) {}

    ~Core() { stopLocked(); }

    // Under the lock, from the owner's thread.
    void create() {
        if (!server_.context())
            throw AudioTapError(AudioTapError::Kind::aggregate, PA_ERR_CONNECTIONREFUSED);
        std::optional<std::optional<AudioTapError>> result;
        build([&](std::optional<AudioTapError> error) {
            result = error;
            server_.signal();
        });
        while (!result)
            pa_threaded_mainloop_wait(server_.loop());
        if (*result) {
            stopLocked();
            throw **result;
        }
        std::weak_ptr<Core> weak = shared_from_this();
        subscription_ = server_.subscribe([weak](pa_subscription_event_type_t type, std::uint32_t) {
            const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
            if (auto core = weak.lock(); core && facility == PA_SUBSCRIPTION_EVENT_SERVER)
                core->checkDefaultSink();
        });
    }

    void stopLocked() {
        stopped_ = true;
        if (subscription_) server_.unsubscribe(*subscription_);
        subscription_.reset();
        if (pending_) {
            pa_operation_cancel(pending_);
            pa_operation_unref(pending_);
            pending_ = nullptr;
        }
        releaseStreams();
    }

private:
    struct Capture {
        Core* core = nullptr;
        pa_stream* stream = nullptr;
        std::vector<float> fifo; // only when several streams are summed
        bool ready = false;
    };

    using Done = std::function<void(std::optional<AudioTapError>)>;

    // Step 1 of a build: which sink is the default now.
    void build(Done done) {
        done_ = std::move(done);
        auto* context = server_.context(std::chrono::milliseconds(0));
        if (!context)
            return finish(AudioTapError(AudioTapError::Kind::aggregate, PA_ERR_CONNECTIONREFUSED));
        track(pa_context_get_server_info(context, &Core::onServerInfo, this));
    }

    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self) {
        auto* core = static_cast<Core*>(self);
        core->untrack();
        if (!info || !info->default_sink_name || !*info->default_sink_name)
            return core->finish(AudioTapError(AudioTapError::Kind::aggregate, -1));
        core->defaultSink_ = info->default_sink_name;
        core->track(pa_context_get_sink_info_by_name(context, info->default_sink_name,
                                                     &Core::onSink, core));
    }

    // Step 2: the default sink's monitor and rate.
    static void onSink(pa_context* context, const pa_sink_info* info, int last, void* self) {
        auto* core = static_cast<Core*>(self);
        if (last < 0 || (last && !core->sinkFound_)) {
            core->untrack();
            return core->finish(AudioTapError(AudioTapError::Kind::aggregate, -1));
        }
        if (last) {
            core->untrack();
            core->sinkFound_ = false;
            if (core->id_ == "whole-mac") return core->connect({std::nullopt});
            core->inputs_.clear();
            return core->track(pa_context_get_sink_input_info_list(context, &Core::onInput, core));
        }
        core->sinkFound_ = true;
        core->monitor_ = info->monitor_source_name ? info->monitor_source_name : "";
        core->rate_ = info->sample_spec.rate;
    }

    // Step 3 (an application): its playback streams.
    static void onInput(pa_context*, const pa_sink_input_info* info, int last, void* self) {
        auto* core = static_cast<Core*>(self);
        if (!last && info) {
            const char* binary =
                pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
            if (binary && *binary && AudioProcesses::belongsTo(binary, core->id_))
                core->inputs_.push_back(info->index);
            return;
        }
        core->untrack();
        if (core->inputs_.empty())
            return core->finish(AudioTapError(AudioTapError::Kind::tap, PA_ERR_NOENTITY));
        std::vector<std::optional<std::uint32_t>> inputs(core->inputs_.begin(),
                                                         core->inputs_.end());
        core->connect(inputs);
    }

    // Step 4: one record stream per input (or one on the monitor), then wait
    // until all are ready.
    void connect(const std::vector<std::optional<std::uint32_t>>& inputs) {
        auto* context = server_.context(std::chrono::milliseconds(0));
        if (!context)
            return finish(AudioTapError(AudioTapError::Kind::ioProc, PA_ERR_CONNECTIONREFUSED));
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, rate_, 2};
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(framesPerFragment * 2 * sizeof(float));
        for (const auto& input : inputs) {
            auto capture = std::make_unique<Capture>();
            capture->core = this;
            capture->stream = pa_stream_new(context, "Lantern FM", &format, nullptr);
            if (!capture->stream)
                return finish(
                    AudioTapError(AudioTapError::Kind::ioProc, pa_context_errno(context)));
            pa_stream_set_state_callback(capture->stream, &Core::onStreamState, capture.get());
            pa_stream_set_read_callback(capture->stream, &Core::onRead, capture.get());
            const char* device = monitor_.c_str();
            if (input) {
                pa_stream_set_monitor_stream(capture->stream, *input);
                device = nullptr; // the server records from that input's own sink monitor
            }
            const auto flags =
                static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
            auto* raw = capture.get();
            captures_.push_back(std::move(capture));
            if (pa_stream_connect_record(raw->stream, device, &attributes, flags) < 0)
                return finish(AudioTapError(AudioTapError::Kind::start, pa_context_errno(context)));
        }
    }

    static void onStreamState(pa_stream* stream, void* data) {
        auto* capture = static_cast<Capture*>(data);
        auto* core = capture->core;
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            capture->ready = true;
            if (core->done_ && std::all_of(core->captures_.begin(), core->captures_.end(),
                                           [](const auto& c) { return c->ready; }))
                core->finish(std::nullopt);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            if (core->done_) {
                core->finish(AudioTapError(AudioTapError::Kind::start,
                                           pa_context_errno(pa_stream_get_context(stream))));
            } else if (!core->stopped_) {
                // The stream went while running: its input moved with a new
                // default sink, or the sink went away. Capture anew.
                core->server_.after(std::chrono::milliseconds(0), [weak = core->weak_from_this()] {
                    if (auto self = weak.lock()) self->rebuild();
                });
            }
            break;
        default:
            break;
        }
    }

    void finish(std::optional<AudioTapError> error) {
        auto done = std::move(done_);
        done_ = nullptr;
        if (error) releaseStreams();
        if (done) done(error);
    }

    void checkDefaultSink() {
        if (stopped_ || done_) return;
        auto* context = server_.context(std::chrono::milliseconds(0));
        if (!context) return;
        forget(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* weak = static_cast<std::weak_ptr<Core>*>(data);
                if (auto core = weak->lock(); core && info && info->default_sink_name &&
                                              core->defaultSink_ != info->default_sink_name)
                    core->rebuild();
                delete weak;
            },
            new std::weak_ptr<Core>(weak_from_this())));
    }

    // Tear down and build on the (new) default sink; one retry after a second.
    void rebuild() {
        if (stopped_ || done_) return;
        releaseStreams();
        build([this](std::optional<AudioTapError> error) {
            if (!error || stopped_) return;
            server_.after(std::chrono::milliseconds(1000), [weak = weak_from_this()] {
                auto core = weak.lock();
                if (!core || core->stopped_ || !core->captures_.empty() || core->done_) return;
                core->build([core = core.get()](std::optional<AudioTapError> again) {
                    if (again && !core->stopped_)
                        core->onFailure_("Couldn't hear " + core->name_ +
                                         " after the output changed");
                });
            });
        });
    }

    static void onRead(pa_stream* stream, std::size_t, void* data) {
        auto* capture = static_cast<Capture*>(data);
        auto* core = capture->core;
        const void* bytes = nullptr;
        std::size_t size = 0;
        while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &bytes, &size) == 0 &&
               size > 0) {
            const auto count = size / sizeof(float);
            if (!bytes) {
                // A hole in the recording: keep the timing with silence.
                core->silence_.assign(count, 0.0f);
                core->deliver(*capture, core->silence_);
            } else {
                core->deliver(*capture, std::span(static_cast<const float*>(bytes), count));
            }
            pa_stream_drop(stream);
        }
    }

    void deliver(Capture& capture, std::span<const float> samples) {
        if (stopped_) return;
        if (captures_.size() == 1) return onAudio_(samples, rate_);
        // Several streams of one application: sum them once any has a fragment.
        capture.fifo.insert(capture.fifo.end(), samples.begin(), samples.end());
        std::size_t most = 0;
        for (const auto& c : captures_)
            most = std::max(most, c->fifo.size());
        if (most < framesPerFragment * 2) return;
        mixed_.assign(most, 0.0f);
        for (auto& c : captures_) {
            const auto take = std::min(c->fifo.size(), most);
            for (std::size_t i = 0; i < take; ++i)
                mixed_[i] += c->fifo[i];
            c->fifo.erase(c->fifo.begin(), c->fifo.begin() + static_cast<std::ptrdiff_t>(take));
        }
        onAudio_(mixed_, rate_);
    }

    void releaseStreams() {
        for (auto& capture : captures_) {
            pa_stream_set_state_callback(capture->stream, nullptr, nullptr);
            pa_stream_set_read_callback(capture->stream, nullptr, nullptr);
            if (pa_stream_get_state(capture->stream) != PA_STREAM_UNCONNECTED)
                pa_stream_disconnect(capture->stream);
            pa_stream_unref(capture->stream);
        }
        captures_.clear();
    }

    void track(pa_operation* operation) {
        pending_ = operation;
        if (!operation) finish(AudioTapError(AudioTapError::Kind::aggregate, PA_ERR_INTERNAL));
    }
    void untrack() {
        if (pending_) pa_operation_unref(pending_);
        pending_ = nullptr;
    }

    const std::string id_;
    const std::string name_;
    const OnFailure onFailure_;
    const OnAudio onAudio_;
    SoundServer& server_;

    bool stopped_ = false;
    Done done_; // set while a build is under way
    pa_operation* pending_ = nullptr;
    std::optional<int> subscription_;
    std::string defaultSink_;
    std::string monitor_;
    std::uint32_t rate_ = 48000;
    bool sinkFound_ = false;
    std::vector<std::uint32_t> inputs_;
    std::vector<std::unique_ptr<Capture>> captures_;
    std::vector<float> mixed_;
    std::vector<float> silence_;
};

AudioTap::AudioTap(const AudioSource& source, OnFailure onFailure, OnAudio onAudio)
    : core_(std::make_shared<Core>(source.id.toStdString(), source.name.toStdString(),
                                   std::move(onFailure), std::move(onAudio))) {
    std::lock_guard lock(SoundServer::shared());
    core_->create();
}

AudioTap::~AudioTap() {
    stop();
}

void AudioTap::stop() {
    if (!core_) return;
    {
        std::lock_guard lock(SoundServer::shared());
        core_->stopLocked();
    }
    core_.reset();
}

} // namespace lantern
