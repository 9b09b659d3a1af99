#pragma once

#include "core/signal/mixing.h"
#include "core/signal/voice_ring.h"
#include "core/station/shared.h"
#include "core/stream/aac_encoder.h"
#include "core/stream/fanout.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace lantern {

// Every captured block on its way to the listeners: the voice mixed in while
// the user talks, the music dipped by the ducker, encoded and published, the
// silence detector fed. One per capture; called on the capture's thread only,
// it never waits for the network or for the main thread.
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

    AudioPath(std::shared_ptr<Shared> shared, std::shared_ptr<Fanout> fanout, Voice voice,
              int bitrate, OnEncoder onEncoder = {}, MakeEncoder makeEncoder = AACEncoder::make);

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
    void publish(std::chrono::steady_clock::time_point now);
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
    // Reused from block to block: the capture thread does not allocate for them.
    std::vector<float> voiceBlock_, mixed_;
    Bytes pending_;             // encoded, not yet published
    double pendingSeconds_ = 0; // of audio fed since the last publish
    std::chrono::steady_clock::time_point lastPublish_ = std::chrono::steady_clock::now();
    std::atomic<int> encodersMade_{0}; // read from other threads
};

} // namespace lantern
