#include "support/sound_daemon.h"

#include "support/child_process.h"
#include "support/eventually.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <ranges>
#include <sstream>
#include <sys/wait.h>

namespace lantern::test {

namespace {

// Each module and its arguments.
const std::pair<std::string, std::string> modules[] = {
    {"module-null-sink", "sink_name=speakers rate=44100"},
    {"module-null-sink", "sink_name=other rate=48000"},
    {"module-null-sink", "sink_name=mic rate=48000"},
    {"module-remap-source", "master=mic.monitor source_name=fakemic"},
};

// "index name ..." lines of `pactl list short`, as (first, second) pairs.
using Row = std::pair<std::string, std::string>;
std::vector<Row> rows(const std::string& listing) {
    std::vector<Row> out;
    std::istringstream lines(listing);
    for (std::string first, second, rest; lines >> first >> second; std::getline(lines, rest))
        out.emplace_back(first, second);
    return out;
}

const auto answers = [] { return runProgram({"pactl", "info"}, 5s).status == 0; };

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
    std::ranges::for_each(players_, endProgram);
    std::ranges::for_each(servers_ | std::views::reverse, endProgram);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool SoundDaemon::launch(const std::vector<std::string>& command) {
    const auto pid =
        startProgram(command, {"XDG_RUNTIME_DIR=" + folder_, "PIPEWIRE_RUNTIME_DIR=" + folder_,
                               "HOME=" + folder_, "XDG_CONFIG_HOME=" + folder_ + "/config",
                               "XDG_STATE_HOME=" + folder_ + "/state"});
    if (pid > 0) servers_.push_back(pid);
    return pid > 0;
}

bool SoundDaemon::start() {
    std::filesystem::create_directories(folder_ + "/pulse");
    ready_ = kind_ == Kind::pipewire ? startPipeWire() : startPulseAudio();
    if (ready_) pactl({"set-default-sink", "speakers"}), pactl({"set-default-source", "fakemic"});
    return ready_;
}

bool SoundDaemon::startPulseAudio() {
    std::vector<std::string> command{
        "pulseaudio",        "-n", "--daemonize=no", "--use-pid-file=no", "--exit-idle-time=-1",
        "--log-level=error", "-L"};
    command.push_back("module-native-protocol-unix auth-anonymous=1 socket=" + folder_ +
                      "/pulse/native");
    for (const auto& [module, arguments] : modules)
        command.insert(command.end(), {"-L", module + " " + arguments});
    if (!launch(command) || !eventually([&] { return answers(); })) return false;
    // PulseAudio's null sink renders in blocks of up to two seconds unless
    // someone asks for low latency, and notices a new request only after its
    // current block: a sound card does neither. A quiet low-latency reader on
    // each sink, and a suspend and resume that ends the first long block, make
    // them keep time as sound cards do.
    for (const std::string sink : {"speakers", "other", "mic"})
        launch({"parec", "--raw", "--latency-msec=10", "--device=" + sink + ".monitor"});
    eventually([&] { return rows(pactl({"list", "short", "source-outputs"})).size() >= 4; });
    for (const char* sink : {"speakers", "other", "mic"})
        for (const char* suspended : {"1", "0"})
            pactl({"suspend-sink", sink, suspended});
    return true;
}

bool SoundDaemon::startPipeWire() {
    if (!launch({"pipewire"}) ||
        !eventually([&] { return std::filesystem::exists(folder_ + "/pipewire-0"); }))
        return false;
    if (!launch({"wireplumber"}) || !launch({"pipewire-pulse"}) ||
        !eventually([&] { return answers(); }))
        return false;
    for (const auto& [module, arguments] : modules)
        pactl({"load-module", module, arguments});
    // The session manager makes the new nodes known; wait for the microphone.
    return eventually([&] {
        return pactl({"list", "short", "sources"}).find("fakemic") != std::string::npos;
    });
}

void SoundDaemon::kill() {
    for (const auto server : std::exchange(servers_, {}))
        ::kill(server, SIGKILL), ::waitpid(server, nullptr, 0);
    std::ranges::for_each(std::exchange(players_, {}), endProgram);
    ready_ = false;
    for (const char* file : {"/pulse/native", "/pipewire-0", "/pipewire-0.lock"})
        std::filesystem::remove(folder_ + file);
}

void SoundDaemon::freeze(bool frozen) const {
    for (const auto server : servers_)
        ::kill(server, frozen ? SIGSTOP : SIGCONT);
}

void SoundDaemon::unload(const std::string& module) const {
    const auto loaded = rows(pactl({"list", "short", "modules"}));
    for (auto row = loaded.rbegin(); row != loaded.rend(); ++row)
        if (row->second == module) pactl({"unload-module", row->first});
}

int SoundDaemon::recordStreamsOn(const std::string& source) const {
    const auto outputs = rows(pactl({"list", "short", "source-outputs"}));
    for (const auto& [number, name] : rows(pactl({"list", "short", "sources"})))
        if (name == source)
            return static_cast<int>(std::ranges::count(outputs, number, &Row::second));
    return 0;
}

std::string SoundDaemon::pactl(const std::vector<std::string>& arguments) const {
    auto command = arguments;
    command.insert(command.begin(), "pactl");
    return runProgram(command, 10s).output;
}

pid_t SoundDaemon::play(const std::string& id, double hertz, const Play& how) {
    std::vector<std::string> command{TONE_PLAYER, std::to_string(hertz)};
    if (how.corked) command.push_back("--corked");
    if (how.seconds > 0) // then it closes its stream, as a notification sound does
        command.insert(command.begin(), {"timeout", std::to_string(how.seconds)});
    std::vector<std::string> environment{"PULSE_PROP=application.process.binary=" + id +
                                         " application.name=" + id};
    if (!how.sink.empty()) environment.push_back("PULSE_SINK=" + how.sink);
    const auto pid = startProgram(command, environment);
    players_.push_back(pid);
    return pid;
}

void SoundDaemon::end(pid_t player) {
    endProgram(player);
    std::erase(players_, player);
}

} // namespace lantern::test
