#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace lantern::test {

// A private PulseAudio daemon with no hardware, in its own runtime folder:
//   "speakers" (null sink, 44100 Hz, the default sink), "other" (null sink,
//   48000 Hz), "mic" (null sink, 48000 Hz) and "fakemic", a source fed by the
//   mic sink's monitor, which serves as the microphone.
// Sets PULSE_SERVER for this process; stops the daemon by its pid.
class PulseDaemon {
public:
    PulseDaemon();
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    bool running() const { return pid_ > 0 && ready_; }
    // Runs pactl against the daemon; its standard output.
    std::string pactl(const std::vector<std::string>& arguments) const;

    // Plays a sine of `hertz` until stopped, as a program whose id (process
    // binary) is `id`, on `sink` (the default when empty). Returns its pid.
    pid_t play(const std::string& id, double hertz, const std::string& sink = "");
    // Opens a paused (corked) playback stream as the program `id`.
    pid_t pause(const std::string& id, const std::string& program);

private:
    std::string folder_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::vector<pid_t> players_;
};

} // namespace lantern::test
