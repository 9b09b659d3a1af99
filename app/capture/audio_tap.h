#pragma once

#include "capture/audio_source.h"

#include <functional>
#include <memory>
#include <span>
#include <string>

namespace lantern {

// Captures what the whole computer, or one application, plays: one
// continuous run of interleaved stereo float blocks at the monitored sink's
// rate, for as long as the tap lives.
//
// The whole computer is the default sink's monitor. An application is each of
// its playback streams, recorded on its own (it keeps playing on its own
// output) and mixed sample-aligned; streams that appear or end are added or
// dropped in place. With nothing to hear (no stream, a paused one, the sound
// server restarting) silence flows at the same pace, so listeners keep a live
// stream and the silence detector sees silence.
//
// When the default sink changes the whole-computer capture moves to it (once
// more a second later if that fails). When the sound server goes away the
// tap waits for it and captures again once it is back.
//
// Both callbacks run on the sound server's loop thread, never the main thread.
class AudioTap {
public:
    // What stands between the tap and the sound, told whenever it changes.
    enum class Problem {
        none,          // capturing
        cannotHear,    // there is nothing to capture from (no output device)
        outputChanged, // the output changed and the capture could not follow
        serverGone,    // the sound server is not there; waiting for it
    };
    using OnAudio = std::function<void(std::span<const float> samples, double rate)>;
    using OnProblem = std::function<void(Problem problem)>;

    // Returns at once, without waiting on the sound server; audio follows.
    AudioTap(const AudioSource& source, OnProblem onProblem, OnAudio onAudio);
    ~AudioTap();
    AudioTap(const AudioTap&) = delete;
    AudioTap& operator=(const AudioTap&) = delete;

    // Ends the capture; once this returns no callback runs. Idempotent; not
    // from inside a callback.
    void stop();

private:
    class Core;
    std::shared_ptr<Core> core_;
};

} // namespace lantern
