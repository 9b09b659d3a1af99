#include "support/sound_daemon.h"

#include "support/child_process.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace lantern::test {

namespace {

// Sinks and sources every test sees; module arguments as for pactl load-module.
const std::vector<std::vector<std::string>> modules = {
    {"module-null-sink", "sink_name=speakers", "rate=44100"},
    {"module-null-sink", "sink_name=other", "rate=48000"},
    {"module-null-sink", "sink_name=mic", "rate=48000"},
    {"module-remap-source", "master=mic.monitor", "source_name=fakemic"},
};

} // namespace

SoundDaemon::SoundDaemon() {
    const char* wanted = std::getenv("LANTERN_TEST_SOUND_SERVER");
    kind_ = wanted && std::string(wanted) == "pipewire" ? Kind::pipewire : Kind::pulseaudio;
    char pattern[] = "/tmp/lantern-sound-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    ::setenv("PULSE_SERVER", ("unix:" + folder_ + "/pulse/native").c_str(), 1);
    if (kind_ == Kind::pipewire && !std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        bus_ = std::make_unique<SessionBus>();
    start();
}

SoundDaemon::~SoundDaemon() {
    for (const auto player : players_)
        endProgram(player);
    for (auto server = servers_.rbegin(); server != servers_.rend(); ++server)
        endProgram(*server);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool SoundDaemon::answers() const {
    return runProgram({"pactl", "info"}, std::chrono::seconds(5)).status == 0;
}

bool SoundDaemon::start() {
    ready_ = kind_ == Kind::pipewire ? startPipeWire() : startPulseAudio();
    if (!ready_) return false;
    pactl({"set-default-sink", "speakers"});
    pactl({"set-default-source", "fakemic"});
    return true;
}

bool SoundDaemon::startPulseAudio() {
    std::filesystem::create_directories(folder_ + "/pulse");
    std::vector<std::string> command{"pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no",
                                     "--exit-idle-time=-1", "--log-target=stderr",
                                     "--log-level=error", "-L",
                                     "module-native-protocol-unix socket=" + folder_ +
                                         "/pulse/native auth-anonymous=1"};
    for (const auto& module : modules) {
        std::string line;
        for (const auto& word : module)
            line += (line.empty() ? "" : " ") + word;
        command.insert(command.end(), {"-L", line});
    }
    const auto pid = startProgram(command, {"XDG_RUNTIME_DIR=" + folder_, "HOME=" + folder_});
    if (pid < 0) return false;
    servers_.push_back(pid);
    bool up = false;
    for (int attempt = 0; attempt < 100 && !up; ++attempt) {
        up = answers();
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!up) return false;
    // PulseAudio's null sink renders in blocks of up to two seconds unless
    // someone asks for low latency, and notices a new request only after its
    // current block: a sound card does neither. A quiet low-latency reader on
    // each sink, and a suspend and resume that ends the first long block, make
    // them keep time as sound cards do.
    for (const char* sink : {"speakers", "other", "mic"}) {
        servers_.push_back(startProgram({"parec", "--raw", "--latency-msec=10",
                                         std::string("--device=") + sink + ".monitor"}));
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto outputs = pactl({"list", "short", "source-outputs"});
        if (std::count(outputs.begin(), outputs.end(), '\n') >= 4) break; // and fakemic's feed
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (const char* sink : {"speakers", "other", "mic"}) {
        pactl({"suspend-sink", sink, "1"});
        pactl({"suspend-sink", sink, "0"});
    }
    return true;
}

bool SoundDaemon::startPipeWire() {
    const std::vector<std::string> environment{
        "XDG_RUNTIME_DIR=" + folder_, "PIPEWIRE_RUNTIME_DIR=" + folder_, "HOME=" + folder_,
        "XDG_CONFIG_HOME=" + folder_ + "/config", "XDG_STATE_HOME=" + folder_ + "/state"};
    const auto pipewire = startProgram({"pipewire"}, environment);
    if (pipewire < 0) return false;
    servers_.push_back(pipewire);
    for (int i = 0; i < 200 && !std::filesystem::exists(folder_ + "/pipewire-0"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const char* program : {"wireplumber", "pipewire-pulse"}) {
        const auto pid = startProgram({program}, environment);
        if (pid < 0) return false;
        servers_.push_back(pid);
    }
    bool up = false;
    for (int attempt = 0; attempt < 100 && !up; ++attempt) {
        up = answers();
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!up) return false;
    for (const auto& module : modules) {
        std::vector<std::string> load{"load-module"};
        load.insert(load.end(), module.begin(), module.end());
        pactl(load);
    }
    // The session manager makes the new nodes known; wait for the microphone.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (pactl({"list", "short", "sources"}).find("fakemic") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void SoundDaemon::kill() {
    for (const auto server : servers_) {
        ::kill(server, SIGKILL);
        int status = 0;
        ::waitpid(server, &status, 0);
    }
    servers_.clear();
    for (const auto player : players_)
        endProgram(player);
    players_.clear();
    ready_ = false;
    std::error_code ignored;
    std::filesystem::remove(folder_ + "/pulse/native", ignored);
    std::filesystem::remove(folder_ + "/pipewire-0", ignored);
    std::filesystem::remove(folder_ + "/pipewire-0.lock", ignored);
}

void SoundDaemon::freeze(bool frozen) const {
    for (const auto server : servers_)
        ::kill(server, frozen ? SIGSTOP : SIGCONT);
}

void SoundDaemon::unload(const std::string& module) const {
    std::vector<std::string> indices;
    std::istringstream listed(pactl({"list", "short", "modules"}));
    for (std::string line; std::getline(listed, line);) {
        std::istringstream fields(line);
        std::string index, name;
        fields >> index >> name;
        if (name == module) indices.push_back(index);
    }
    for (auto index = indices.rbegin(); index != indices.rend(); ++index)
        pactl({"unload-module", *index});
}

int SoundDaemon::recordStreamsOn(const std::string& source) const {
    std::string index;
    std::istringstream sources(pactl({"list", "short", "sources"}));
    for (std::string line; std::getline(sources, line);) {
        std::istringstream fields(line);
        std::string number, name;
        fields >> number >> name;
        if (name == source) index = number;
    }
    int count = 0;
    std::istringstream outputs(pactl({"list", "short", "source-outputs"}));
    for (std::string line; std::getline(outputs, line);) {
        std::istringstream fields(line);
        std::string number, on;
        fields >> number >> on;
        if (!index.empty() && on == index) ++count;
    }
    return count;
}

std::string SoundDaemon::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProgram(command, std::chrono::seconds(10)).output;
}

pid_t SoundDaemon::play(const std::string& id, double hertz, const Play& how) {
    std::vector<std::string> command{TONE_PLAYER, std::to_string(hertz)};
    if (!how.sink.empty()) command.push_back("--sink=" + how.sink);
    if (how.corked) command.push_back("--corked");
    if (how.seconds > 0) command.push_back("--seconds=" + std::to_string(how.seconds));
    const auto pid = startProgram(command, {"PULSE_PROP=application.process.binary=" + id +
                                            " application.name=" + id});
    players_.push_back(pid);
    return pid;
}

void SoundDaemon::pause(pid_t player) const {
    ::kill(player, SIGUSR1);
}

void SoundDaemon::end(pid_t player) {
    endProgram(player);
    std::erase(players_, player);
}

} // namespace lantern::test
