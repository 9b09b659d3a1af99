#include "capture/mic_input.h"

#include "capture/sound_server.h"
#include "core/signal/mixing.h"

#include <QMetaObject>
#include <QPointer>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/stream.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>

namespace lantern {

namespace {

const QString notConnected = QStringLiteral("That microphone isn't connected");
const QString noMicrophone = QStringLiteral("No microphone found");
const QString refused = QStringLiteral("Lantern FM can't use the microphone \u2014 allow it in "
                                       "Settings \u203A Privacy \u203A Microphone");

struct SwrFree {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

} // namespace

std::vector<AudioInput> AudioInputs::list() {
    std::vector<AudioInput> inputs;
    // Hold the snapshot: the sound server's thread may publish a new one meanwhile.
    const auto state = SoundServer::shared().state();
    for (const auto& [index, source] : state->sources)
        if (!source.monitor)
            inputs.push_back({QString::fromStdString(source.name),
                              QString::fromStdString(source.description), index});
    return inputs;
}

std::optional<std::uint32_t> AudioInputs::device(const QString& uid) {
    for (const auto& input : list())
        if (input.uid == uid) return input.id;
    return std::nullopt;
}

std::optional<QString> AudioInputs::defaultName() {
    const auto state = SoundServer::shared().state();
    const auto* source = state->sourceNamed(state->defaultSource);
    if (!source || source->monitor) return std::nullopt;
    return QString::fromStdString(source->description);
}

// One record stream and its conversion. Lives on the loop thread once
// opened; the owner reaches it only under the loop's lock.
class MicInput::Stream : public std::enable_shared_from_this<Stream> {
public:
    Stream(MicInput* owner, std::function<void(Started)> opened, std::function<void(QString)> lost)
        : owner_(owner), opened_(std::move(opened)), lost_(std::move(lost)) {}

    // Under the lock, on the owner's thread.
    void open(const std::optional<QString>& uid) {
        chosen_ = uid.has_value();
        if (uid) source_ = uid->toStdString();
        if (SoundServer::shared().state()->connected) return connect();
        // The server is not there (yet): wait a little for it.
        waitForServer();
        SoundServer::shared().after(serverWait, [weak = weak_from_this()] {
            if (auto self = weak.lock(); self && !self->stream_ && self->opened_)
                self->fail(noMicrophone);
        });
    }

    // Under the lock. An open still under way ends as cancelled.
    void close() {
        closed_ = true;
        finish({Started::Outcome::cancelled, {}});
        stopWaiting();
        disconnect();
    }

    // From setRate(), under the owner's mutex.
    void dropConverter() { converter_.reset(); }

private:
    static constexpr auto serverWait = std::chrono::seconds(5);

    // The chosen source, or the default one when it is a real input, from
    // what the server last reported.
    void connect() {
        auto& server = SoundServer::shared();
        auto* context = server.context();
        const auto state = server.state();
        const auto* source =
            state->sourceNamed(chosen_ ? std::string_view(source_) : state->defaultSource);
        if (!context || !source || source->monitor || source->rate == 0 || source->channels == 0)
            return fail(chosen_ ? notConnected : noMicrophone);
        spec_ = {PA_SAMPLE_FLOAT32NE, source->rate, source->channels};
        {
            std::lock_guard lock(owner_->mutex_);
            converter_.reset(); // the input format may differ from the last one
        }
        stream_ = pa_stream_new(context, "Lantern FM microphone", &spec_, nullptr);
        if (!stream_) return fail(failedToStart(pa_context_errno(context)));
        pa_stream_set_state_callback(stream_, &Stream::onState, this);
        pa_stream_set_read_callback(stream_, &Stream::onRead, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize =
            static_cast<std::uint32_t>(fragmentFrames * spec_.channels * sizeof(float));
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream_, source->name.c_str(), &attributes, flags) < 0)
            fail(failedToStart(pa_context_errno(context)));
    }

    void disconnect() {
        closeStream(stream_);
        stream_ = nullptr;
    }

    void waitForServer() {
        if (subscription_) return;
        subscription_ = SoundServer::shared().subscribe(
            [weak = weak_from_this()](const SoundServer::Event& event) {
                auto self = weak.lock();
                if (!self || self->closed_ || event.kind != SoundServer::Event::Kind::connected)
                    return;
                self->stopWaiting();
                self->connect();
            });
    }

    void stopWaiting() {
        if (subscription_) SoundServer::shared().unsubscribe(*subscription_);
        subscription_.reset();
    }

    static QString failedToStart(int error) {
        if (error == PA_ERR_ACCESS) return refused;
        return QStringLiteral("The microphone didn't start (%1)")
            .arg(QString::fromUtf8(pa_strerror(error)));
    }

    // A start fails with `message`; a running microphone is lost with it.
    void fail(const QString& message) {
        disconnect();
        if (opened_) return finish({Started::Outcome::failed, message});
        if (!closed_) {
            closed_ = true;
            post([lost = lost_, message] { lost(message); });
        }
    }

    static void onState(pa_stream* stream, void* data) {
        auto* self = static_cast<Stream*>(data);
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            self->finish({Started::Outcome::started, {}});
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED: {
            const int error = pa_context_errno(pa_stream_get_context(stream));
            if (!SoundServer::shared().context() && !self->opened_) {
                // The sound server went away: carry on once it is back.
                self->disconnect();
                self->waitForServer();
                break;
            }
            // A source that vanished is not there.
            self->fail(self->chosen_ && (error == PA_ERR_NOENTITY || !self->opened_)
                           ? notConnected
                           : failedToStart(error));
            break;
        }
        default:
            break;
        }
    }

    void finish(Started result) {
        auto opened = std::move(opened_);
        opened_ = nullptr;
        if (opened) post([opened, result] { opened(result); });
    }

    // Runs `work` on the owner's thread, unless the owner is gone by then.
    void post(std::function<void()> work) {
        QMetaObject::invokeMethod(
            owner_,
            [owner = QPointer<MicInput>(owner_), work = std::move(work)] {
                if (owner) work();
            },
            Qt::QueuedConnection);
    }

    static void onRead(pa_stream* stream, std::size_t, void* data) {
        auto* self = static_cast<Stream*>(data);
        const void* bytes = nullptr;
        std::size_t size = 0;
        while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &bytes, &size) == 0 &&
               size > 0) {
            if (bytes)
                self->convert(static_cast<const float*>(bytes),
                              size / sizeof(float) / self->spec_.channels);
            pa_stream_drop(stream); // a hole (no data) is simply skipped
        }
    }

    void convert(const float* input, std::size_t frames) {
        std::shared_ptr<SwrContext> converter;
        double rate = 0;
        {
            std::lock_guard lock(owner_->mutex_);
            rate = owner_->rate_;
            if (!converter_) converter_ = makeConverter(rate);
            converter = converter_;
        }
        if (!converter) return;
        const auto capacity =
            static_cast<int>(std::floor(rate * static_cast<double>(frames) / spec_.rate)) + 32;
        output_.resize(static_cast<std::size_t>(capacity) * 2);
        auto* out = reinterpret_cast<std::uint8_t*>(output_.data());
        const auto* in = reinterpret_cast<const std::uint8_t*>(input);
        const int converted =
            swr_convert(converter.get(), &out, capacity, &in, static_cast<int>(frames));
        if (converted <= 0) return;
        const auto samples =
            std::span<const float>(output_.data(), static_cast<std::size_t>(converted) * 2);
        const float peak = peakOf(samples);
        {
            std::lock_guard lock(owner_->mutex_);
            owner_->peak_ = std::max(owner_->peak_, peak);
        }
        owner_->ring.push(samples);
    }

    std::shared_ptr<SwrContext> makeConverter(double rate) const {
        AVChannelLayout in{}, out{};
        av_channel_layout_default(&in, spec_.channels);
        av_channel_layout_default(&out, 2);
        SwrContext* context = nullptr;
        const int made =
            swr_alloc_set_opts2(&context, &out, AV_SAMPLE_FMT_FLT, static_cast<int>(rate), &in,
                                AV_SAMPLE_FMT_FLT, static_cast<int>(spec_.rate), 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (made < 0 || swr_init(context) < 0) {
            swr_free(&context);
            return nullptr;
        }
        return std::shared_ptr<SwrContext>(context, SwrFree{});
    }

    MicInput* owner_;
    std::function<void(Started)> opened_; // until the first outcome
    std::function<void(QString)> lost_;
    bool chosen_ = false;
    bool closed_ = false;
    std::string source_;
    pa_sample_spec spec_{};
    pa_stream* stream_ = nullptr;
    std::optional<int> subscription_;       // while waiting for the server
    std::shared_ptr<SwrContext> converter_; // guarded by the owner's mutex
    std::vector<float> output_;
};

MicInput::MicInput() = default;

MicInput::~MicInput() {
    stop();
}

void MicInput::start(std::function<void(QString)> onLost, std::function<void(Started)> done) {
    if (running_ || starting_) {
        QMetaObject::invokeMethod(
            this, [done] { done({}); }, Qt::QueuedConnection);
        return;
    }
    onLost_ = std::move(onLost);
    starting_ = true;
    const auto attempt = ++attempts_;
    open([this, attempt, done = std::move(done)](Started result) {
        // stop() while starting wins: the microphone stays off.
        if (attempt != attempts_) return done({Started::Outcome::cancelled, {}});
        starting_ = false;
        running_ = result.ok();
        done(result);
    });
}

void MicInput::open(std::function<void(Started)> done) {
    std::lock_guard lock(SoundServer::shared());
    if (stream_) stream_->close();
    auto stream = std::make_shared<Stream>(
        this,
        [this, done = std::move(done)](Started result) {
            if (result.outcome == Started::Outcome::failed) release();
            done(result);
        },
        [this](QString message) { lost(message); });
    {
        std::lock_guard guard(mutex_);
        stream_ = stream;
    }
    stream->open(deviceUID);
}

void MicInput::release() {
    std::lock_guard lock(SoundServer::shared());
    if (stream_) stream_->close();
    std::lock_guard guard(mutex_);
    stream_.reset();
}

// The source went away while running: open it again once (the default input
// may now be another one); if that fails, the microphone is lost.
void MicInput::lost(const QString& message) {
    if (!running_) return;
    open([this, message](Started result) {
        if (result.outcome != Started::Outcome::failed) return;
        running_ = false;
        if (onLost_) onLost_(result.message.isEmpty() ? message : result.message);
    });
}

void MicInput::stop() {
    release();
    {
        std::lock_guard guard(mutex_);
        peak_ = 0;
    }
    starting_ = false;
    ++attempts_;
    if (!running_) return;
    running_ = false;
    ring.clear();
}

void MicInput::setRate(double rate) {
    {
        std::lock_guard lock(mutex_);
        if (rate != rate_) {
            rate_ = rate;
            if (stream_) stream_->dropConverter();
        }
    }
    ring.clear();
}

double MicInput::rate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

float MicInput::takePeak() {
    std::lock_guard lock(mutex_);
    return std::exchange(peak_, 0.0f);
}

} // namespace lantern
