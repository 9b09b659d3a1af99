#pragma once

#include "core/stream/fanout.h"

#include <memory>
#include <optional>
#include <span>
#include <string>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;

namespace lantern {

// Encodes interleaved float PCM to Opus in an Ogg stream for browsers
// (libavcodec's libopus encoder, libavformat's Ogg muxer). Opus runs at
// 48 kHz: another capture rate is converted first. A listener needs the
// header pages, then pages from any page boundary on: flush() always ends
// what it returns at one. Not thread-safe: one thread (the capture
// callback) uses it.
class OggOpusEncoder {
public:
    static constexpr int opusRate = 48000;

    // An encoder, or why there is none (in words, for the status line).
    struct Made {
        std::unique_ptr<OggOpusEncoder> encoder;
        std::optional<std::string> error;
    };
    static Made make(double sampleRate, int channels, int bitrate);
    ~OggOpusEncoder();
    OggOpusEncoder(const OggOpusEncoder&) = delete;
    OggOpusEncoder& operator=(const OggOpusEncoder&) = delete;

    // The identification and comment pages every listener gets first.
    const Bytes& header() const { return header_; }
    // Takes any number of interleaved samples at the capture's rate. A block
    // the library fails on is lost; the encoder stays usable. Never throws.
    void encode(std::span<const float> samples) noexcept;
    // Appends every page of the audio encoded so far to `out`, ending with
    // a whole page (nothing while too little was encoded for one packet).
    void flush(Bytes& out) noexcept;

private:
    OggOpusEncoder(double sampleRate, int channels);
    std::optional<std::string> open(int bitrate);
    void encodeFrame() noexcept;
    void writePackets() noexcept;
    static int written(void* self, std::uint8_t* bytes, int size);

    const double sampleRate_;
    const int channels_;
    AVCodecContext* codec_ = nullptr;
    AVFormatContext* muxer_ = nullptr;
    AVIOContext* io_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwrContext* resampler_ = nullptr;
    std::int64_t nextPts_ = 0;
    Bytes header_;
    Bytes* sink_ = nullptr;        // where the muxer's bytes go now
    Bytes pages_;                  // written since the last flush
    std::vector<float> converted_; // at 48 kHz, reused from block to block
    std::vector<float> pending_;   // waiting for a whole Opus frame
    int frameSize_ = 0;            // frames per Opus packet
    bool wrote_ = false;           // packets went to the muxer since the last flush
};

} // namespace lantern
