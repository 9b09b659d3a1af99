#pragma once

#include "support/session_bus.h"

#include <csignal>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lantern::test {

// How SoundDaemon::play plays.
struct PlayOptions {
    std::string sink;    // the default when empty
    bool corked = false; // starts paused
    double seconds = 0;  // closes its stream after this, when not 0
    static PlayOptions on(std::string sink) { return {std::move(sink), false, 0}; }
    static PlayOptions paused() { return {{}, true, 0}; }
    static PlayOptions lasting(double seconds) { return {{}, false, seconds}; }
};

// A private sound server with no hardware, in its own runtime folder:
// PulseAudio, or PipeWire with its pulse server (LANTERN_TEST_SOUND_SERVER=
// pipewire), holding "speakers" (null sink, 44100 Hz, the default), "other"
// (null sink, 48000 Hz), "mic" (null sink, 48000 Hz) and "fakemic", a source
// fed by the mic sink's monitor (the default source). Sets PULSE_SERVER for
// this process; stops what it started by pid. Not copied (it owns processes).
class SoundDaemon {
public:
    enum class Kind { pulseaudio, pipewire };

    SoundDaemon();
    ~SoundDaemon();

    Kind kind() const { return kind_; }
    const char* name() const { return kind_ == Kind::pipewire ? "PipeWire" : "PulseAudio"; }
    bool running() const { return ready_; }
    std::string pactl(const std::vector<std::string>& arguments) const;

    // Kills the server as a crash would (its players die with it); start()
    // brings it back with the same sinks and socket.
    void kill();
    bool start();
    // Stops the server's processes (SIGSTOP), as a hung server, or lets them go on.
    void freeze(bool frozen) const;
    void unload(const std::string& module) const;
    int recordStreamsOn(const std::string& source) const;

    using Play = PlayOptions;
    // Plays a sine of `hertz` as the program whose id (process binary) is `id`.
    pid_t play(const std::string& id, double hertz, const Play& how = {});
    // Pauses a playing player, or resumes a paused one.
    void pause(pid_t player) const { ::kill(player, SIGUSR1); }
    void end(pid_t player);

private:
    bool startPulseAudio();
    bool startPipeWire();
    // Starts a server process with this daemon's folders.
    bool launch(const std::vector<std::string>& command);

    Kind kind_;
    std::string folder_;
    std::unique_ptr<SessionBus> bus_; // PipeWire's, when the process has none
    std::vector<pid_t> servers_;
    bool ready_ = false;
    std::vector<pid_t> players_;
};

} // namespace lantern::test
