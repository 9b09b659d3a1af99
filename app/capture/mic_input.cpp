#include "capture/mic_input.h"

#include "capture/sound_server.h"

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

struct SourceListing {
    SoundServer* server;
    std::vector<AudioInput> inputs;
};

void onSourceListed(pa_context*, const pa_source_info* info, int last, void* data) {
    auto* listing = static_cast<SourceListing*>(data);
    if (last || !info) return listing->server->signal();
    if (info->monitor_of_sink != PA_INVALID_INDEX || !info->name) return;
    listing->inputs.push_back(
        {QString::fromUtf8(info->name),
         QString::fromUtf8(info->description ? info->description : info->name), info->index});
}

struct SwrFree {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

} // namespace

std::vector<AudioInput> AudioInputs::list() {
    auto& server = SoundServer::shared();
    std::lock_guard lock(server);
    SourceListing listing{&server, {}};
    auto* context = server.context();
    if (!context) return {};
    server.await(pa_context_get_source_info_list(context, &onSourceListed, &listing));
    return std::move(listing.inputs);
}

std::optional<std::uint32_t> AudioInputs::device(const QString& uid) {
    for (const auto& input : list())
        if (input.uid == uid) return input.id;
    return std::nullopt;
}

std::optional<QString> AudioInputs::defaultName() {
    auto& server = SoundServer::shared();
    std::string name;
    {
        std::lock_guard lock(server);
        auto* context = server.context();
        if (!context) return std::nullopt;
        struct Query {
            SoundServer* server;
            std::string name;
        } query{&server, {}};
        server.await(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* query = static_cast<Query*>(data);
                if (info && info->default_source_name) query->name = info->default_source_name;
                query->server->signal();
            },
            &query));
        name = query.name;
    }
    for (const auto& input : list())
        if (input.uid.toStdString() == name) return input.name;
    return std::nullopt;
}

// One record stream and its conversion. Lives on the loop thread once
// opened; the owner reaches it only under the loop's lock.
class MicInput::Stream : public std::enable_shared_from_this<Stream> {
public:
    Stream(MicInput* owner, std::function<void(std::optional<QString>)> opened,
           std::function<void()> lost)
        : owner_(owner), opened_(std::move(opened)), lost_(std::move(lost)) {}

    // Under the lock, on the owner's thread. Step 1: the source and its format.
    void open(const std::optional<QString>& uid) {
        auto& server = SoundServer::shared();
        auto* context = server.context(server.inLoopThread() ? std::chrono::milliseconds(0)
                                                             : std::chrono::milliseconds(3000));
        if (!context) return finish(noMicrophone);
        chosen_ = uid.has_value();
        source_ = uid ? uid->toStdString() : std::string("@DEFAULT_SOURCE@");
        pending_ =
            pa_context_get_source_info_by_name(context, source_.c_str(), &Stream::onSource, this);
        if (!pending_) finish(chosen_ ? notConnected : noMicrophone);
    }

    // Under the lock. An open still under way completes (with nothing).
    void close() {
        closed_ = true;
        finish(std::nullopt);
        if (pending_) {
            pa_operation_cancel(pending_);
            pa_operation_unref(pending_);
            pending_ = nullptr;
        }
        if (stream_) {
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
    }

    // From setRate(), under the owner's mutex.
    void dropConverter() { converter_.reset(); }

private:
    static void onSource(pa_context* context, const pa_source_info* info, int last, void* data) {
        auto* self = static_cast<Stream*>(data);
        if (last < 0 || (last && !self->found_)) {
            pa_operation_unref(self->pending_);
            self->pending_ = nullptr;
            return self->finish(self->chosen_ ? notConnected : noMicrophone);
        }
        if (!last) {
            self->found_ = true;
            self->spec_ = info->sample_spec;
            self->source_ = info->name;
            return;
        }
        pa_operation_unref(self->pending_);
        self->pending_ = nullptr;
        if (self->spec_.rate == 0 || self->spec_.channels == 0) return self->finish(noMicrophone);
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, self->spec_.rate, self->spec_.channels};
        self->stream_ = pa_stream_new(context, "Lantern FM microphone", &format, nullptr);
        if (!self->stream_) return self->finish(failedToStart(pa_context_errno(context)));
        pa_stream_set_state_callback(self->stream_, &Stream::onState, self);
        pa_stream_set_read_callback(self->stream_, &Stream::onRead, self);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize =
            static_cast<std::uint32_t>(fragmentFrames * format.channels * sizeof(float));
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(self->stream_, self->source_.c_str(), &attributes, flags) < 0)
            self->finish(failedToStart(pa_context_errno(context)));
    }

    static QString failedToStart(int error) {
        if (error == PA_ERR_ACCESS) return refused;
        return QStringLiteral("The microphone didn't start (%1)")
            .arg(QString::fromUtf8(pa_strerror(error)));
    }

    static void onState(pa_stream* stream, void* data) {
        auto* self = static_cast<Stream*>(data);
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            self->finish(std::nullopt);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            if (self->opened_) {
                const int error = pa_context_errno(pa_stream_get_context(stream));
                // A source that vanished while we connected is not there.
                self->finish(error == PA_ERR_NOENTITY && self->chosen_ ? notConnected
                                                                       : failedToStart(error));
            } else if (!self->closed_) {
                self->closed_ = true;
                self->post([lost = self->lost_] { lost(); });
            }
            break;
        default:
            break;
        }
    }

    void finish(std::optional<QString> message) {
        auto opened = std::move(opened_);
        opened_ = nullptr;
        if (opened) post([opened, message] { opened(message); });
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
        float peak = 0;
        for (float sample : samples)
            peak = std::max(peak, std::fabs(sample));
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
    std::function<void(std::optional<QString>)> opened_; // until the first outcome
    std::function<void()> lost_;
    bool chosen_ = false;
    bool found_ = false;
    bool closed_ = false;
    std::string source_;
    pa_sample_spec spec_{};
    pa_operation* pending_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::shared_ptr<SwrContext> converter_; // guarded by the owner's mutex
    std::vector<float> output_;
};

MicInput::MicInput() = default;

MicInput::~MicInput() {
    stop();
}

void MicInput::start(std::function<void(QString)> onLost,
                     std::function<void(std::optional<QString>)> done) {
    if (running_ || starting_) {
        QMetaObject::invokeMethod(
            this, [done] { done(std::nullopt); }, Qt::QueuedConnection);
        return;
    }
    onLost_ = std::move(onLost);
    starting_ = true;
    const auto attempt = ++attempts_;
    open([this, attempt, done = std::move(done)](std::optional<QString> message) {
        // stop() while starting wins: the microphone stays off.
        if (attempt != attempts_) return done(std::nullopt);
        starting_ = false;
        running_ = !message;
        done(message);
    });
}

void MicInput::open(std::function<void(std::optional<QString>)> done) {
    std::lock_guard lock(SoundServer::shared());
    if (stream_) stream_->close();
    auto stream = std::make_shared<Stream>(
        this,
        [this, done = std::move(done)](std::optional<QString> message) {
            if (message) release();
            done(message);
        },
        [this] { lost(); });
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

// The source went away while running: try it again once, as a device change
// would; if it cannot be opened, the microphone is lost.
void MicInput::lost() {
    if (!running_) return;
    open([this](std::optional<QString> message) {
        if (!message) return;
        running_ = false;
        if (onLost_) onLost_(*message);
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
