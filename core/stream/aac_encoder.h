#pragma once

#include "core/stream/fanout.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace lantern {

// Why there is no encoder, or why it stopped, with the library's error code
// (0 when the library gave none).
struct AACEncoderError {
    enum class Kind { create, bitrate, encode };
    Kind kind = Kind::create;
    int status = 0;

    // In words, for the status line: "the AAC encoder …".
    std::string message() const;
    bool operator==(const AACEncoderError&) const = default;
};

// The 7-byte ADTS header (no checksum) for an AAC-LC payload of `frameLength`
// bytes. A sample rate outside the MPEG-4 table is written as 44100 Hz.
std::array<std::uint8_t, 7> adtsHeader(std::size_t frameLength, double sampleRate, int channels);

// What the ADTS header at the start of `bytes` says of its frame, when it is
// one: the frame's whole length and its sample rate.
struct ADTSFrame {
    std::size_t length = 0;
    double sampleRate = 0;
};
std::optional<ADTSFrame> adtsFrameAt(std::span<const std::uint8_t> bytes);

// Encodes interleaved float PCM to AAC-LC, one ADTS frame per 1024 frames of
// input. Not thread-safe: one thread (the capture callback) uses it.
class AACEncoder {
public:
    static constexpr int framesPerPacket = 1024;

    // An encoder, or why there is none: `create` when the codec is missing or
    // will not open with these parameters, `bitrate` when the bit rate is not
    // one AAC-LC can carry at this rate and channel count.
    struct Made {
        std::unique_ptr<AACEncoder> encoder; // set exactly when `error` is not
        std::optional<AACEncoderError> error;
    };
    static Made make(double sampleRate, int channels, int bitrate);
    ~AACEncoder();
    AACEncoder(const AACEncoder&) = delete;
    AACEncoder& operator=(const AACEncoder&) = delete;

    // Takes any number of interleaved samples and returns the ADTS frames of
    // every whole block of 1024 frames now complete, in order; keeps the rest
    // for the next call. A block the library fails on is lost; the encoder
    // stays usable. Never throws.
    Bytes encode(std::span<const float> samples) noexcept;
    // The same, appended to `out`.
    void encode(std::span<const float> samples, Bytes& out) noexcept;
    // Set while every block of the last second of audio failed: the encoder
    // has stopped producing anything.
    std::optional<AACEncoderError> stopped() const;

    double sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    // Samples waiting for a whole block; always fewer than channels × 1024.
    std::size_t pending() const { return pendingCount_; }

private:
    AACEncoder(double sampleRate, int channels);
    std::optional<AACEncoderError> open(int bitrate);
    void encodeBlock(const float* block, Bytes& out) noexcept;
    void receivePackets(Bytes& out) noexcept;

    double sampleRate_;
    int channels_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::int64_t nextPts_ = 0;
    int failedInARow_ = 0; // blocks the library refused since the last it took
    int lastFailure_ = 0;
    // Room for exactly one block; the first pendingCount_ samples are waiting.
    std::vector<float> pending_;
    std::size_t pendingCount_ = 0;
};

} // namespace lantern
