#include "capture/audio_tap.h"

#include "capture/audio_processes.h"
#include "capture/sound_server.h"
#include "core/signal/stream_mix.h"

#include <map>
#include <mutex>
#include <pulse/stream.h>
#include <pulse/timeval.h>

namespace lantern {

namespace {

// Blocks of about 46 ms at 44.1 kHz: a capture that costs few wake-ups.
constexpr std::size_t framesPerFragment = 2048;
// How often the clock looks whether silence is due.
constexpr auto clockPeriod = std::chrono::milliseconds(20);
// A sound server still not there this long after the tap began is reported.
constexpr auto serverGrace = std::chrono::milliseconds(1000);
// After an output change: the one retry of the whole-computer capture, and how
// long stream failures are blamed on the change.
constexpr auto outputRetry = std::chrono::milliseconds(1000);
constexpr auto outputBlame = std::chrono::seconds(5);
// A stream of the application that failed but still exists is attached again
// after this, once.
constexpr auto reattachDelay = std::chrono::milliseconds(100);
// The key of the whole computer's one stream (sink-input indices never take it).
constexpr std::uint32_t monitorKey = PA_INVALID_INDEX;

} // namespace

// Everything the tap does happens on the loop thread with the loop's lock
// held; the owner's thread takes that lock to begin and to stop.
class AudioTap::Core : public std::enable_shared_from_this<Core> {
public:
    Core(std::string id, std::string name, OnProblem onProblem, OnAudio onAudio)
        : id_(std::move(id)), name_(std::move(name)),
          whole_(id_ == AudioSource::wholeMac().id.toStdString()), onProblem_(std::move(onProblem)),
          onAudio_(std::move(onAudio)), server_(SoundServer::shared()), mix_(48000) {}

    ~Core() { stopLocked(); }

    // Under the lock, from the owner's thread.
    void begin() {
        std::weak_ptr<Core> weak = weak_from_this();
        subscription_ = server_.subscribe([weak](const SoundServer::Event& event) {
            if (auto core = weak.lock()) core->onServer(event);
        });
        startClock();
        if (server_.state()->connected) return build(false);
        server_.after(serverGrace, [weak] {
            if (auto core = weak.lock();
                core && !core->stopped_ && !core->server_.state()->connected)
                core->setProblem(Problem::serverGone);
        });
    }

    void stopLocked() {
        if (stopped_) return;
        stopped_ = true;
        if (subscription_) server_.unsubscribe(*subscription_);
        subscription_.reset();
        if (clock_) pa_threaded_mainloop_get_api(server_.loop())->time_free(clock_);
        clock_ = nullptr;
        detachAll();
    }

private:
    struct Capture {
        Core* core = nullptr;
        std::uint32_t key = 0;
        pa_stream* stream = nullptr;
    };

    // ---- building ----

    void build(bool afterOutputChange) {
        if (stopped_ || !server_.state()->connected) return;
        defaultSink_ = server_.state()->defaultSink;
        if (whole_)
            buildWhole(afterOutputChange);
        else
            buildApplication();
    }

    // The default sink's monitor, at that sink's rate.
    void buildWhole(bool afterOutputChange) {
        detachAll();
        const auto state = server_.state();
        const auto* sink = state->sinkNamed(state->defaultSink);
        if (!sink || sink->monitor.empty() || sink->rate == 0)
            return wholeFailed(afterOutputChange);
        sinkIndex_ = sink->index;
        useRate(sink->rate);
        if (!attach(monitorKey, sink->monitor)) wholeFailed(afterOutputChange);
    }

    // After an output change the capture is tried once more a second later;
    // then the user is told.
    void wholeFailed(bool afterOutputChange) {
        detachAll();
        if (!afterOutputChange) return setProblem(Problem::cannotHear);
        if (retried_) return setProblem(Problem::outputChanged);
        retried_ = true;
        server_.after(outputRetry, [weak = weak_from_this()] {
            if (auto core = weak.lock(); core && !core->stopped_ && core->captures_.empty())
                core->build(true);
        });
    }

    // Every playback stream of the application, at the rate of the sink it
    // plays on (the default sink's while it plays nothing).
    void buildApplication() {
        detachAll();
        const auto state = server_.state();
        const auto streams = mine(*state);
        std::uint32_t rate = 0;
        if (!streams.empty())
            if (const auto sink = state->sinks.find(streams.front().sink);
                sink != state->sinks.end())
                rate = sink->second.rate;
        if (rate == 0)
            if (const auto* sink = state->sinkNamed(state->defaultSink)) rate = sink->rate;
        useRate(rate == 0 ? 48000 : rate);
        for (const auto& stream : streams)
            attach(stream.index, {});
        if (streams.empty()) setProblem(Problem::none);
    }

    std::vector<ServerState::Stream> mine(const ServerState& state) const {
        std::vector<ServerState::Stream> streams;
        for (const auto& [index, stream] : state.streams)
            if (stream.binary && AudioProcesses::belongsTo(*stream.binary, id_))
                streams.push_back(stream);
        return streams;
    }

    void useRate(std::uint32_t rate) {
        if (mix_.rate() != rate) mix_.reset(rate);
    }

    // One record stream: the monitor `device`, or (an application) the
    // playback stream `key` alone. Whether it could be started.
    bool attach(std::uint32_t key, const std::string& device) {
        auto* context = server_.context();
        if (!context) return false;
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(mix_.rate()),
                                    2};
        auto capture = std::make_unique<Capture>(Capture{this, key, nullptr});
        capture->stream = pa_stream_new(context, "Lantern FM", &format, nullptr);
        if (!capture->stream) return false;
        pa_stream_set_state_callback(capture->stream, &Core::onStreamState, capture.get());
        pa_stream_set_read_callback(capture->stream, &Core::onRead, capture.get());
        if (key != monitorKey) pa_stream_set_monitor_stream(capture->stream, key);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(framesPerFragment * 2 * sizeof(float));
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        // A stream's own monitor needs no device: the server records from the
        // sink it plays on.
        if (pa_stream_connect_record(capture->stream, device.empty() ? nullptr : device.c_str(),
                                     &attributes, flags) < 0) {
            release(*capture);
            return false;
        }
        mix_.add(key);
        captures_[key] = std::move(capture);
        return true;
    }

    void detach(std::uint32_t key) {
        if (const auto found = captures_.find(key); found != captures_.end()) {
            release(*found->second);
            captures_.erase(found);
        }
        mix_.remove(key);
    }

    void detachAll() {
        while (!captures_.empty())
            detach(captures_.begin()->first);
    }

    static void release(Capture& capture) { closeStream(capture.stream); }

    // ---- what the server tells ----

    void onServer(const SoundServer::Event& event) {
        if (stopped_) return;
        using Kind = SoundServer::Event::Kind;
        switch (event.kind) {
        case Kind::connected:
            retried_ = false;
            return build(false);
        case Kind::disconnected:
            detachAll();
            return setProblem(Problem::serverGone);
        default:
            break;
        }
        if (event.facility == PA_SUBSCRIPTION_EVENT_SERVER ||
            event.facility == PA_SUBSCRIPTION_EVENT_SINK)
            return outputEvent();
        if (event.facility != PA_SUBSCRIPTION_EVENT_SINK_INPUT || whole_) return;
        if (event.kind == Kind::removed) return detach(event.index);
        // A stream we capture that now plays elsewhere (new streams may name
        // their sink only once it is linked) may bring another rate.
        if (captures_.contains(event.index)) return followRate();
        // A new stream of the application, or one that moved (the server ends
        // the recording of a stream that moves to another sink).
        const auto state = server_.state();
        if (const auto stream = state->streams.find(event.index);
            stream != state->streams.end() && stream->second.binary &&
            AudioProcesses::belongsTo(*stream->second.binary, id_))
            attach(event.index, {});
    }

    // The default sink changed, or sinks came or went.
    void outputEvent() {
        const auto state = server_.state();
        // A sink removed and added again under the same name is another sink:
        // the capture must not stay with whatever took the old one's place.
        const auto* current = state->sinkNamed(state->defaultSink);
        const bool same = current && current->index == sinkIndex_;
        if (state->defaultSink == defaultSink_ && (!whole_ || (same && !captures_.empty()))) return;
        const bool changed = !defaultSink_.empty() && state->defaultSink != defaultSink_;
        defaultSink_ = state->defaultSink;
        if (changed) outputChangedAt_ = std::chrono::steady_clock::now();
        if (whole_) {
            if (same && !captures_.empty()) return;
            retried_ = false;
            // Once the capture has worked, losing it is the output changing.
            return buildWhole(changed || heard_);
        }
        // The application's streams follow the new output.
        server_.after(std::chrono::milliseconds(300), [weak = weak_from_this()] {
            if (auto core = weak.lock(); core && !core->stopped_) core->followRate();
        });
    }

    // When every stream of the application plays on one sink of another
    // rate, the capture moves to that rate.
    void followRate() {
        const auto state = server_.state();
        const auto streams = mine(*state);
        if (streams.empty()) return;
        const auto sink = state->sinks.find(streams.front().sink);
        if (sink == state->sinks.end() || sink->second.rate == mix_.rate()) return;
        for (const auto& stream : streams)
            if (stream.sink != streams.front().sink) return;
        buildApplication();
    }

    static void onStreamState(pa_stream* stream, void* data) {
        auto* capture = static_cast<Capture*>(data);
        auto* core = capture->core;
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            core->attempts_.erase(capture->key);
            core->retried_ = false;
            core->heard_ = true;
            core->setProblem(Problem::none);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            // Releases `capture`; a failing server is handled by its own event.
            core->streamEnded(capture->key);
            break;
        default:
            break;
        }
    }

    void streamEnded(std::uint32_t key) {
        detach(key);
        if (stopped_ || !server_.context()) return;
        if (whole_) return buildWhole(true);
        const auto state = server_.state();
        if (!state->streams.contains(key)) return; // it ended: nothing to follow
        const bool blamed =
            outputChangedAt_ && std::chrono::steady_clock::now() - *outputChangedAt_ < outputBlame;
        if (++attempts_[key] > 2) {
            if (blamed) setProblem(Problem::outputChanged);
            return;
        }
        server_.after(reattachDelay, [weak = weak_from_this(), key] {
            auto core = weak.lock();
            if (!core || core->stopped_ || core->captures_.contains(key)) return;
            if (core->server_.state()->streams.contains(key)) core->attach(key, {});
        });
    }

    // ---- audio ----

    static void onRead(pa_stream* stream, std::size_t, void* data) {
        auto* capture = static_cast<Capture*>(data);
        auto* core = capture->core;
        const auto key = capture->key;
        const auto now = StreamMix::Clock::now();
        const void* bytes = nullptr;
        std::size_t size = 0;
        while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &bytes, &size) == 0 &&
               size > 0) {
            const auto count = size / sizeof(float);
            if (!bytes) {
                // A hole in the recording: keep the timing with silence.
                core->silence_.assign(count, 0.0f);
                core->mix_.push(key, core->silence_, now, core->emit());
            } else {
                core->mix_.push(key, std::span(static_cast<const float*>(bytes), count), now,
                                core->emit());
            }
            pa_stream_drop(stream);
        }
    }

    const StreamMix::Emit& emit() {
        if (!emit_)
            emit_ = [this](std::span<const float> samples) {
                if (!stopped_) onAudio_(samples, mix_.rate());
            };
        return emit_;
    }

    void startClock() {
        auto* api = pa_threaded_mainloop_get_api(server_.loop());
        timeval when{};
        clock_ = api->time_new(api, pa_gettimeofday(&when), &Core::onClock, this);
    }

    static void onClock(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
        auto* core = static_cast<Core*>(data);
        // While streams deliver they keep the time: the clock only needs to
        // look again when one of them could have gone quiet.
        const std::chrono::microseconds period =
            core->mix_.tick(StreamMix::Clock::now(), core->emit()) ? StreamMix::staleAfter
                                                                   : clockPeriod;
        timeval when{};
        pa_timeval_add(pa_gettimeofday(&when), period.count());
        api->time_restart(event, &when);
    }

    void setProblem(Problem problem) {
        if (problem == problem_ || stopped_) return;
        problem_ = problem;
        onProblem_(problem);
    }

    const std::string id_;
    const std::string name_;
    const bool whole_;
    const OnProblem onProblem_;
    const OnAudio onAudio_;
    SoundServer& server_;

    bool stopped_ = false;
    Problem problem_ = Problem::none;
    std::optional<int> subscription_;
    pa_time_event* clock_ = nullptr;
    std::uint32_t sinkIndex_ = PA_INVALID_INDEX; // the sink the whole computer is captured from
    std::string defaultSink_;                    // the default sink as last seen
    std::optional<std::chrono::steady_clock::time_point> outputChangedAt_;
    bool retried_ = false;
    bool heard_ = false;                    // a stream has been recording at some point
    std::map<std::uint32_t, int> attempts_; // failures in a row per stream
    std::map<std::uint32_t, std::unique_ptr<Capture>> captures_;
    StreamMix mix_;
    StreamMix::Emit emit_;
    std::vector<float> silence_;
};

AudioTap::AudioTap(const AudioSource& source, OnProblem onProblem, OnAudio onAudio)
    : core_(std::make_shared<Core>(source.id.toStdString(), source.name.toStdString(),
                                   std::move(onProblem), std::move(onAudio))) {
    std::lock_guard lock(SoundServer::shared());
    core_->begin();
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
