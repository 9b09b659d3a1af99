#include "core/stream/ogg_opus.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace lantern {

namespace {

std::string failed(const char* what, int status) {
    std::string text = std::string("the Opus encoder could not start (") + what;
    if (status != 0) {
        std::array<char, AV_ERROR_MAX_STRING_SIZE> reason{};
        av_strerror(status, reason.data(), reason.size());
        text += std::string(": ") + reason.data();
    }
    return text + ")";
}

} // namespace

OggOpusEncoder::OggOpusEncoder(double sampleRate, int channels)
    : sampleRate_(sampleRate), channels_(channels) {}

OggOpusEncoder::Made OggOpusEncoder::make(double sampleRate, int channels, int bitrate) {
    std::unique_ptr<OggOpusEncoder> encoder(new OggOpusEncoder(sampleRate, channels));
    if (auto error = encoder->open(bitrate)) return {nullptr, error};
    return {std::move(encoder), std::nullopt};
}

std::optional<std::string> OggOpusEncoder::open(int bitrate) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libopus");
    if (!codec) return failed("no libopus in libavcodec", 0);
    if (channels_ < 1 || channels_ > 2 || !(sampleRate_ > 0) ||
        sampleRate_ != std::floor(sampleRate_) || bitrate <= 0)
        return failed("unusable format", AVERROR(EINVAL));
    codec_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!codec_ || !frame_ || !packet_) return failed("memory", AVERROR(ENOMEM));
    codec_->sample_fmt = AV_SAMPLE_FMT_FLT;
    codec_->sample_rate = opusRate;
    av_channel_layout_default(&codec_->ch_layout, channels_);
    codec_->bit_rate = bitrate;
    codec_->time_base = AVRational{1, opusRate};
    // The lowest complexity costs a third less than any other, which the
    // capture thread, already running two AAC encoders, needs more than
    // the small gain in quality at this bit rate.
    codec_->compression_level = 0;
    // Long frames: a stream is not a call, and each frame costs its own
    // analysis and packet overhead.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "frame_duration", "60", 0);
    const int opened = avcodec_open2(codec_, codec, &options);
    av_dict_free(&options);
    if (opened < 0) return failed("codec", opened);
    frameSize_ = codec_->frame_size;
    if (frameSize_ <= 0) return failed("frame size", AVERROR(EINVAL));

    frame_->format = AV_SAMPLE_FMT_FLT;
    frame_->nb_samples = frameSize_;
    frame_->sample_rate = opusRate;
    if (av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout) < 0 ||
        av_frame_get_buffer(frame_, 0) < 0)
        return failed("frame", AVERROR(ENOMEM));

    if (sampleRate_ != opusRate) {
        AVChannelLayout layout{};
        av_channel_layout_default(&layout, channels_);
        const int status =
            swr_alloc_set_opts2(&resampler_, &layout, AV_SAMPLE_FMT_FLT, opusRate, &layout,
                                AV_SAMPLE_FMT_FLT, static_cast<int>(sampleRate_), 0, nullptr);
        av_channel_layout_uninit(&layout);
        if (status < 0 || swr_init(resampler_) < 0) return failed("resampler", status);
    }

    if (const int status = avformat_alloc_output_context2(&muxer_, nullptr, "ogg", nullptr);
        status < 0 || !muxer_)
        return failed("Ogg muxer", status);
    constexpr int ioSize = 4096;
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioSize));
    if (!buffer) return failed("memory", AVERROR(ENOMEM));
    io_ = avio_alloc_context(buffer, ioSize, 1, this, nullptr, &OggOpusEncoder::written, nullptr);
    if (!io_) {
        av_free(buffer);
        return failed("memory", AVERROR(ENOMEM));
    }
    muxer_->pb = io_;
    muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVStream* stream = avformat_new_stream(muxer_, nullptr);
    if (!stream) return failed("Ogg stream", AVERROR(ENOMEM));
    if (const int status = avcodec_parameters_from_context(stream->codecpar, codec_); status < 0)
        return failed("Ogg stream", status);
    stream->time_base = codec_->time_base;
    sink_ = &header_;
    if (const int status = avformat_write_header(muxer_, nullptr); status < 0)
        return failed("Ogg header", status);
    avio_flush(io_);
    sink_ = &pages_;
    if (header_.empty()) return failed("Ogg header", AVERROR(EINVAL));
    return std::nullopt;
}

OggOpusEncoder::~OggOpusEncoder() {
    // Unfinished pages are dropped on purpose: the stream simply ends.
    if (muxer_) avformat_free_context(muxer_);
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    swr_free(&resampler_);
    avcodec_free_context(&codec_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
}

int OggOpusEncoder::written(void* self, std::uint8_t* bytes, int size) {
    auto& encoder = *static_cast<OggOpusEncoder*>(self);
    if (encoder.sink_ && size > 0) encoder.sink_->insert(encoder.sink_->end(), bytes, bytes + size);
    return size;
}

void OggOpusEncoder::encode(std::span<const float> samples) noexcept {
    const auto channels = static_cast<std::size_t>(channels_);
    if (resampler_) {
        const auto frames = static_cast<int>(samples.size() / channels);
        const int room = swr_get_out_samples(resampler_, frames);
        if (room < 0) return;
        converted_.resize(static_cast<std::size_t>(room) * channels);
        auto* out = reinterpret_cast<std::uint8_t*>(converted_.data());
        const auto* in = reinterpret_cast<const std::uint8_t*>(samples.data());
        const int made = swr_convert(resampler_, &out, room, &in, frames);
        if (made <= 0) return;
        pending_.insert(pending_.end(), converted_.begin(),
                        converted_.begin() + static_cast<std::ptrdiff_t>(made) *
                                                 static_cast<std::ptrdiff_t>(channels));
    } else {
        pending_.insert(pending_.end(), samples.begin(), samples.end());
    }
    const auto block = static_cast<std::size_t>(frameSize_) * channels;
    std::size_t used = 0;
    for (; pending_.size() - used >= block; used += block) {
        if (av_frame_make_writable(frame_) < 0) continue; // this block is lost
        auto* plane = reinterpret_cast<float*>(frame_->data[0]);
        for (std::size_t i = 0; i < block; ++i) {
            const float sample = pending_[used + i];
            plane[i] = std::isfinite(sample) ? sample : 0.0f;
        }
        encodeFrame();
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
}

void OggOpusEncoder::encodeFrame() noexcept {
    frame_->pts = nextPts_;
    nextPts_ += frameSize_;
    if (avcodec_send_frame(codec_, frame_) < 0) return; // this block is lost
    writePackets();
}

void OggOpusEncoder::writePackets() noexcept {
    while (avcodec_receive_packet(codec_, packet_) == 0) {
        packet_->stream_index = 0;
        av_packet_rescale_ts(packet_, codec_->time_base, muxer_->streams[0]->time_base);
        if (av_write_frame(muxer_, packet_) >= 0) wrote_ = true;
        av_packet_unref(packet_);
    }
}

void OggOpusEncoder::flush(Bytes& out) noexcept {
    if (!wrote_) return;
    wrote_ = false;
    av_write_frame(muxer_, nullptr); // ends the page under way
    avio_flush(io_);
    out.insert(out.end(), pages_.begin(), pages_.end());
    pages_.clear();
}

} // namespace lantern
