#include "core/stream/aac_encoder.h"

#include <algorithm>
#include <cmath>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace lantern {

namespace {

// Sampling frequencies of ISO/IEC 14496-3, by index.
constexpr std::array<double, 13> adtsRates{96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                           22050, 16000, 12000, 11025, 8000,  7350};

// Bit rates up to this one are encoded with the fast coder.
constexpr int fastCoderUpTo = 96000;

// The most an AAC-LC channel may spend on one 1024-frame block.
constexpr double maxBitsPerChannelPerBlock = 6144;

} // namespace

std::string AACEncoderError::message() const {
    std::string text;
    switch (kind) {
    case Kind::create:
        text = "the AAC encoder could not start";
        break;
    case Kind::bitrate:
        text = "the AAC encoder can't carry this bit rate";
        break;
    case Kind::encode:
        text = "the AAC encoder refuses the audio";
        break;
    }
    if (status != 0) {
        std::array<char, AV_ERROR_MAX_STRING_SIZE> reason{};
        av_strerror(status, reason.data(), reason.size());
        text += std::string(" (") + reason.data() + ")";
    }
    return text;
}

std::optional<ADTSFrame> adtsFrameAt(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 7 || bytes[0] != 0xFF || (bytes[1] & 0xF6) != 0xF0) return std::nullopt;
    const std::size_t length = ((bytes[3] & 3U) << 11) | (bytes[4] << 3) | (bytes[5] >> 5);
    const unsigned index = (bytes[2] >> 2) & 0x0F;
    if (length < 7 || index >= adtsRates.size()) return std::nullopt;
    return ADTSFrame{length, adtsRates[index]};
}

std::array<std::uint8_t, 7> adtsHeader(std::size_t frameLength, double sampleRate, int channels) {
    const auto found = std::find(adtsRates.begin(), adtsRates.end(), sampleRate);
    const unsigned index =
        found == adtsRates.end() ? 4u : static_cast<unsigned>(found - adtsRates.begin());
    const auto length = static_cast<unsigned>(frameLength + 7);
    const auto layout = static_cast<unsigned>(channels);
    return {
        0xFF,
        0xF1,
        static_cast<std::uint8_t>(0x40 | (index * 4) | ((layout / 4) & 1)),
        static_cast<std::uint8_t>(((layout * 64) & 0xFF) | ((length / 2048) & 3)),
        static_cast<std::uint8_t>((length / 8) & 0xFF),
        static_cast<std::uint8_t>(((length * 32) | 0x1F) & 0xFF),
        0xFC,
    };
}

AACEncoder::AACEncoder(double sampleRate, int channels)
    : sampleRate_(sampleRate), channels_(channels) {}

AACEncoder::Made AACEncoder::make(double sampleRate, int channels, int bitrate) {
    std::unique_ptr<AACEncoder> encoder(new AACEncoder(sampleRate, channels));
    if (auto error = encoder->open(bitrate)) return {nullptr, error};
    return {std::move(encoder), std::nullopt};
}

std::optional<AACEncoderError> AACEncoder::open(int bitrate) {
    using Kind = AACEncoderError::Kind;
    // The library's statistics and notices would otherwise go to standard
    // error on every encoder's close; its errors still do.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec || channels_ <= 0 || sampleRate_ <= 0 || sampleRate_ != std::floor(sampleRate_))
        return AACEncoderError{Kind::create, 0};
    const double ceiling = maxBitsPerChannelPerBlock * channels_ * sampleRate_ / framesPerPacket;
    if (bitrate <= 0 || bitrate > ceiling) return AACEncoderError{Kind::bitrate, AVERROR(EINVAL)};

    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!context_ || !frame_ || !packet_) return AACEncoderError{Kind::create, AVERROR(ENOMEM)};

    context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context_->sample_rate = static_cast<int>(sampleRate_);
    av_channel_layout_default(&context_->ch_layout, channels_);
    context_->bit_rate = bitrate;
    context_->profile = FF_PROFILE_AAC_LOW;
    context_->time_base = AVRational{1, context_->sample_rate};
    // At a low bit rate (the light stream) the fast coder: a third of the
    // default's time, and at that rate the default's search gains little.
    AVDictionary* options = nullptr;
    if (bitrate <= fastCoderUpTo) av_dict_set(&options, "aac_coder", "fast", 0);
    const int opened = avcodec_open2(context_, codec, &options);
    av_dict_free(&options);
    if (opened < 0) return AACEncoderError{Kind::create, opened};
    if (context_->frame_size != framesPerPacket)
        return AACEncoderError{Kind::create, AVERROR(EINVAL)};

    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->nb_samples = framesPerPacket;
    frame_->sample_rate = context_->sample_rate;
    if (av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout) < 0)
        return AACEncoderError{Kind::create, AVERROR(ENOMEM)};
    if (const int status = av_frame_get_buffer(frame_, 0); status < 0)
        return AACEncoderError{Kind::create, status};

    pending_.resize(static_cast<std::size_t>(channels_) * framesPerPacket);
    return std::nullopt;
}

std::optional<AACEncoderError> AACEncoder::stopped() const {
    // About a second of blocks, at any rate the table holds.
    const double blocksPerSecond = sampleRate_ / framesPerPacket;
    if (failedInARow_ == 0 || failedInARow_ < blocksPerSecond) return std::nullopt;
    return AACEncoderError{AACEncoderError::Kind::encode, lastFailure_};
}

AACEncoder::~AACEncoder() {
    // Pending samples are dropped on purpose: the stream simply ends.
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
}

Bytes AACEncoder::encode(std::span<const float> samples) noexcept {
    Bytes out;
    encode(samples, out);
    return out;
}

void AACEncoder::encode(std::span<const float> samples, Bytes& out) noexcept {
    const auto block = pending_.size();
    // One allocation for the result: room for the largest packet AAC-LC allows
    // (6144 bits per channel) for every block this call completes.
    const auto blocks = (pendingCount_ + samples.size()) / block;
    // Growth is geometric, so appending block by block reallocates rarely.
    if (const auto needed = out.size() + blocks * (7 + 768 * static_cast<std::size_t>(channels_));
        blocks > 0 && needed > out.capacity())
        out.reserve(std::max(needed, 2 * out.capacity()));
    // Fill the partial block first, then encode whole blocks straight from the
    // input, and keep what is left.
    if (pendingCount_ > 0) {
        const auto taken = std::min(block - pendingCount_, samples.size());
        std::copy_n(samples.begin(), taken,
                    pending_.begin() + static_cast<std::ptrdiff_t>(pendingCount_));
        pendingCount_ += taken;
        samples = samples.subspan(taken);
        if (pendingCount_ < block) return;
        encodeBlock(pending_.data(), out);
        pendingCount_ = 0;
    }
    for (; samples.size() >= block; samples = samples.subspan(block))
        encodeBlock(samples.data(), out);
    std::copy(samples.begin(), samples.end(), pending_.begin());
    pendingCount_ = samples.size();
}

void AACEncoder::encodeBlock(const float* block, Bytes& out) noexcept {
    // The encoder copies each frame's samples, so this one frame is reused; the
    // check only allocates if the library ever kept a reference to it.
    if (const int status = av_frame_make_writable(frame_); status < 0) {
        ++failedInARow_;
        lastFailure_ = status;
        return;
    }
    const auto channels = static_cast<std::size_t>(channels_);
    // The library rejects a whole block that holds a NaN or an infinity; such
    // samples (a faulty source) become silence so the rest of the block plays.
    for (std::size_t c = 0; c < channels; ++c) {
        auto* plane = reinterpret_cast<float*>(frame_->extended_data[c]);
        for (std::size_t i = 0; i < framesPerPacket; ++i) {
            const float sample = block[i * channels + c];
            plane[i] = std::isfinite(sample) ? sample : 0.0f;
        }
    }
    frame_->pts = nextPts_;
    nextPts_ += framesPerPacket;
    if (const int status = avcodec_send_frame(context_, frame_); status < 0) {
        ++failedInARow_; // this block is lost
        lastFailure_ = status;
        return;
    }
    failedInARow_ = 0;
    receivePackets(out);
}

void AACEncoder::receivePackets(Bytes& out) noexcept {
    // While the encoder primes, a block yields no packet; later ones catch up.
    while (avcodec_receive_packet(context_, packet_) == 0) {
        const auto size = static_cast<std::size_t>(packet_->size);
        const auto header = adtsHeader(size, sampleRate_, channels_);
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), packet_->data, packet_->data + size);
        av_packet_unref(packet_);
    }
}

} // namespace lantern
