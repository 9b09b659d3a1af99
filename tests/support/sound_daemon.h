#pragma once

#include "support/session_bus.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lantern::test {

// A private sound server with no hardware, in its own runtime folder:
// PulseAudio, or PipeWire with its pulse server (LANTERN_TEST_SOUND_SERVER=
// pipewire), holding
//   "speakers" (null sink, 44100 Hz, the default sink), "other" (null sink,
//   48000 Hz), "mic" (null sink, 48000 Hz) and "fakemic", a source fed by the
//   mic sink's monitor, which serves as the microphone (the default source).
// Sets PULSE_SERVER for this process; stops what it started by pid.
class SoundDaemon {
public:
    enum class Kind { pulseaudio, pipewire };

    SoundDaemon();
    ~SoundDaemon();
    SoundDaemon(const SoundDaemon&) = delete;
    SoundDaemon& operator=(const SoundDaemon&) = delete;

    Kind kind() const { return kind_; }
    const char* name() const { return kind_ == Kind::pipewire ? "PipeWire" : "PulseAudio"; }
    bool running() const { return ready_; }
    // Runs pactl against the daemon; its standard output.
    std::string pactl(const std::vector<std::string>& arguments) const;

    // Kills the server as a crash would (its players die with it), and starts
    // it again with the same sinks and socket.
    void kill();
    bool start();
    // Stops the server's processes (SIGSTOP) as a hung server, or lets them go on.
    void freeze(bool frozen) const;
    // Unloads every loaded module named `module` (newest first).
    void unload(const std::string& module) const;
    // Record streams open on the named source.
    int recordStreamsOn(const std::string& source) const;

    struct Play {
        std::string sink;    // the default when empty
        bool corked = false; // starts paused
        double seconds = 0;  // closes its stream after this, when not 0

        static Play on(std::string sink) {
            Play play;
            play.sink = std::move(sink);
            return play;
        }
        static Play paused() {
            Play play;
            play.corked = true;
            return play;
        }
        static Play lasting(double seconds) {
            Play play;
            play.seconds = seconds;
            return play;
        }
    };
    // Plays a sine of `hertz` as a program whose id (process binary) is `id`.
    // Returns its pid.
    pid_t play(const std::string& id, double hertz, const Play& how);
    pid_t play(const std::string& id, double hertz) { return play(id, hertz, Play{}); }
    // Pauses a playing player, or resumes a paused one.
    void pause(pid_t player) const;
    // Ends one player (its stream closes).
    void end(pid_t player);

private:
    bool startPulseAudio();
    bool startPipeWire();
    bool answers() const;

    Kind kind_;
    std::string folder_;
    std::unique_ptr<SessionBus> bus_; // PipeWire's, when the process has none
    std::vector<pid_t> servers_;
    bool ready_ = false;
    std::vector<pid_t> players_;
};

} // namespace lantern::test
