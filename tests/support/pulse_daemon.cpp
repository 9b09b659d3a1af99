#include "support/pulse_daemon.h"

#include "support/child_process.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <thread>

namespace lantern::test {

PulseDaemon::PulseDaemon() {
    char pattern[] = "/tmp/lantern-pulse-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    const auto socket = folder_ + "/native";
    pid_ = startProgram({"pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no",
                         "--exit-idle-time=-1", "--log-target=stderr", "--log-level=error", "-L",
                         "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L",
                         "module-null-sink sink_name=speakers rate=44100", "-L",
                         "module-null-sink sink_name=other rate=48000", "-L",
                         "module-null-sink sink_name=mic rate=48000", "-L",
                         "module-remap-source master=mic.monitor source_name=fakemic"},
                        {"XDG_RUNTIME_DIR=" + folder_, "HOME=" + folder_});
    ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    for (int attempt = 0; attempt < 100 && pid_ > 0; ++attempt) {
        if (runProgram({"pactl", "info"}, std::chrono::seconds(5)).status == 0) {
            ready_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (ready_) pactl({"set-default-sink", "speakers"});
}

PulseDaemon::~PulseDaemon() {
    for (const auto player : players_)
        endProgram(player);
    endProgram(pid_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string PulseDaemon::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProgram(command, std::chrono::seconds(10)).output;
}

pid_t PulseDaemon::play(const std::string& id, double hertz, const std::string& sink) {
    // Thirty seconds of a stereo 16-bit sine, looped by nobody: tests are shorter.
    const auto path = folder_ + "/tone-" + std::to_string(static_cast<int>(hertz)) + ".raw";
    if (!std::filesystem::exists(path)) {
        std::ofstream file(path, std::ios::binary);
        constexpr int rate = 44100;
        for (int i = 0; i < rate * 30; ++i) {
            const auto value = static_cast<std::int16_t>(
                12000 * std::sin(2 * std::numbers::pi * hertz * i / rate));
            file.write(reinterpret_cast<const char*>(&value), 2);
            file.write(reinterpret_cast<const char*>(&value), 2);
        }
    }
    std::vector<std::string> command{"pacat",
                                     "--playback",
                                     "--raw",
                                     "--format=s16le",
                                     "--rate=44100",
                                     "--channels=2",
                                     "--client-name=" + id + " player"};
    if (!sink.empty()) command.push_back("--device=" + sink);
    command.push_back(path);
    const auto pid = startProgram(command, {"PULSE_PROP=application.process.binary=" + id});
    players_.push_back(pid);
    return pid;
}

pid_t PulseDaemon::pause(const std::string& id, const std::string& program) {
    const auto pid = startProgram({program}, {"PULSE_PROP=application.process.binary=" + id});
    players_.push_back(pid);
    return pid;
}

} // namespace lantern::test
