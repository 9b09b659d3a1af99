#pragma once

#include "capture/audio_source.h"

#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace lantern {

// Why a tap could not be made, with the libpulse error code (-1: there is
// no default sink).
class AudioTapError : public std::exception {
public:
    enum class Kind { tap, aggregate, ioProc, start };

    AudioTapError(Kind kind, int status);
    Kind kind() const { return kind_; }
    int status() const { return status_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Kind kind_;
    int status_;
    std::string message_;
};

// Captures what the whole computer, or one application, plays: blocks of
// interleaved stereo float samples at the monitored sink's rate.
//
// The whole computer is the default sink's monitor. An application is each
// of its playback streams, recorded on its own (it keeps playing on its own
// output) and summed. When the default sink changes the capture is rebuilt on
// the new one; if that fails, once more a second later, then `onFailure`.
// Both callbacks run on the sound server's loop thread, never the main thread.
class AudioTap {
public:
    using OnAudio = std::function<void(std::span<const float> samples, double rate)>;
    using OnFailure = std::function<void(const std::string& message)>;

    // Returns with audio flowing, or throws AudioTapError. Not on the loop thread.
    AudioTap(const AudioSource& source, OnFailure onFailure, OnAudio onAudio);
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
