#pragma once

#include "core/config/station_config.h"
#include "core/signal/loudness.h"
#include "core/signal/mixing.h"
#include "core/signal/voice_ring.h"
#include "core/station/shared.h"
#include "core/stream/aac_encoder.h"
#include "core/stream/fanout.h"
#include "core/stream/ogg_opus.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace lantern {

// The light stream: the same mix at a low bit rate, as AAC (same rate and
// channels as the full stream, so a listener can be moved to it between two
// frames) and as Opus in Ogg. Either fan-out may be missing.
struct LightOutputs {
    std::shared_ptr<Fanout> aac, opus;
    int bitrate = StationConfig::lightBitrate;
    std::function<OggOpusEncoder::Made(double rate, int channels, int bitrate)> makeOpus =
        OggOpusEncoder::make;
    // Told on the capture thread, once for each encoder that cannot start,
    // why (in words).
    std::function<void(const std::string& why)> onFailure;
};

// Every captured block on its way to the listeners: the voice mixed in while
// the user talks, the music dipped by the ducker, encoded and published, the
// silence detector fed. With even loudness on, the music and the voice are
// each levelled first, and the mix goes through a true-peak limiter instead
// of the soft one. One per capture; called on the capture's thread only, it
// never waits for the network or for the main thread, and allocates only
// when the capture's rate changes.
class AudioPath {
public:
    // Where the voice comes from: the microphone's ring, and how to tell the
    // microphone the capture's rate so that it converts to it.
    struct Voice {
        VoiceRing& ring;
        std::function<void(double rate)> setRate;
    };

    // Makes the encoder for a capture rate.
    using MakeEncoder = std::function<AACEncoder::Made(double rate, int channels, int bitrate)>;
    // Told on the capture thread when the encoder fails (why) and when audio
    // is encoded again after a failure (nullopt).
    using OnEncoder = std::function<void(const std::optional<AACEncoderError>& failure)>;

    using Light = LightOutputs;

    // `evenLoudness`, when given, switches the levellers and the limiter on
    // and off from any thread; without it they are off.
    AudioPath(std::shared_ptr<Shared> shared, std::shared_ptr<Fanout> fanout, Voice voice,
              int bitrate, OnEncoder onEncoder = {}, MakeEncoder makeEncoder = AACEncoder::make,
              std::shared_ptr<const std::atomic<bool>> evenLoudness = {}, Light light = {});

    // The true peak the limiter lets through, before the encoder: AAC's own
    // overshoot stays under -1 dBTP as listeners decode it.
    static constexpr double ceiling = -3.0; // dBTP

    void operator()(std::span<const float> samples, double rate);

    // Encoded audio is published in chunks of about this many seconds: each
    // publish wakes every listener and costs each a write, so one per AAC
    // frame (21 ms) would cost thousands of listeners four times as much,
    // while chunks much longer than this leave a listener's player waiting
    // between them for longer than a tenth of a second.
    static constexpr double publishEvery = 0.075;

    // Encoders made so far: one per capture rate, a new one when the rate
    // changes (a failed one is not tried again at the same rate).
    int encodersMade() const { return encodersMade_.load(); }

private:
    // Takes the block's voice into voiceBlock_ while talking (empty otherwise)
    // and returns the music's gain under it.
    float duck(std::size_t count, double seconds, bool talking, float& voicePeak);
    // The block evened out into mixed_; the music's and voice's peaks as
    // they came, for the ducker and the silence detector.
    void even(std::span<const float> samples, double seconds, bool talking, float& voicePeak);
    // Today's path: the block, or mixed_ when the voice or the ducker changed it.
    std::span<const float> plain(std::span<const float> samples, double seconds, bool talking,
                                 float& voicePeak);
    void publish(std::chrono::steady_clock::time_point now);
    // Makes the light encoders for a capture rate.
    void makeLight(double rate);
    void report(const std::optional<AACEncoderError>& failure);

    static constexpr std::chrono::duration<double> publishPeriod{publishEvery};

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Fanout> fanout_;
    Voice voice_;
    const int bitrate_;
    OnEncoder onEncoder_;
    MakeEncoder makeEncoder_;
    std::unique_ptr<AACEncoder> encoder_;
    std::optional<AACEncoderError> failure_; // as last reported
    double rate_ = 0;                        // the rate `encoder_` was made for
    double micRate_ = 0;
    Ducker ducker_;
    const std::shared_ptr<const std::atomic<bool>> evenLoudness_;
    // The levellers and the limiter for the capture's rate, made with its encoder.
    struct Evening {
        Evening(double rate) : music(rate, 2), voice(rate, 2), limiter(rate, 2, ceiling) {}
        Leveller music, voice;
        PeakLimiter limiter;
    };
    std::unique_ptr<Evening> evening_;
    bool evened_ = false; // the last block went through them
    // How long ago the audio now leaving was captured: the limiter's look-ahead.
    std::chrono::steady_clock::duration delay_{};
    // Reused from block to block: the capture thread does not allocate for them.
    std::vector<float> voiceBlock_, mixed_;
    Light light_;
    std::unique_ptr<AACEncoder> lightEncoder_;
    std::unique_ptr<OggOpusEncoder> opusEncoder_;
    bool lightReported_ = false, opusReported_ = false; // failures said once
    Bytes pending_, lightPending_, opusPending_;        // encoded, not yet published
    double pendingSeconds_ = 0;                         // of audio fed since the last publish
    std::chrono::steady_clock::time_point lastPublish_ = std::chrono::steady_clock::now();
    std::atomic<int> encodersMade_{0}; // read from other threads
};

} // namespace lantern
