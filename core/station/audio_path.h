#pragma once

#include "signal/mixing.h"
#include "signal/voice_ring.h"
#include "station/shared.h"
#include "stream/aac_encoder.h"
#include "stream/fanout.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
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

    AudioPath(std::shared_ptr<Shared> shared, std::shared_ptr<Fanout> fanout, Voice voice,
              int bitrate);

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

    static constexpr std::chrono::duration<double> publishPeriod{publishEvery};

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Fanout> fanout_;
    Voice voice_;
    const int bitrate_;
    std::unique_ptr<AACEncoder> encoder_;
    double rate_ = 0; // the rate `encoder_` was made for
    double micRate_ = 0;
    Ducker ducker_;
    Bytes pending_;             // encoded, not yet published
    double pendingSeconds_ = 0; // of audio fed since the last publish
    std::chrono::steady_clock::time_point lastPublish_ = std::chrono::steady_clock::now();
    std::atomic<int> encodersMade_{0}; // read from other threads
};

} // namespace lantern
