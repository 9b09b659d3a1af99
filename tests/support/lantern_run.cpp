#include "support/lantern_run.h"

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"
#include "support/world.h"

#include <QDir>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lantern::test {

// Its settings and data under `home`; off the bus unless it is to use the test's.
static std::vector<std::string> homeIn(const QTemporaryDir& home, bool offTheBus) {
    std::vector<std::string> environment{"XDG_DATA_HOME=" + home.filePath("data").toStdString(),
                                         "XDG_CONFIG_HOME=" +
                                             home.filePath("config").toStdString()};
    if (offTheBus) environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus");
    return environment;
}

LanternRun::LanternRun(const QTemporaryDir& home, std::vector<std::string> arguments,
                       Options options)
    : launches_(home.filePath("launches").toStdString()) {
    World::sound();
    if (!options.passcode.empty()) {
        QDir().mkpath(home.filePath("data/lantern-fm"));
        std::ofstream(home.filePath("data/lantern-fm/passcode").toStdString()) << options.passcode;
    }
    if (options.prepare) options.prepare(home);
    if (options.headless) arguments.insert(arguments.begin(), "--headless");
    arguments.insert(arguments.begin(), LANTERN_FM);
    arguments.insert(arguments.begin(), options.under.begin(), options.under.end());
    const auto edge = "http://127.0.0.1:" + std::to_string(edgePort());
    auto environment = homeIn(home, options.headless && !options.sessionBus);
    environment.insert(
        environment.end(),
        {"LANTERN_CLOUDFLARED=" + options.cloudflared, "FAKE_TUNNEL_RECORD=" + launches_,
         "FAKE_TUNNEL_EDGE=" + std::to_string(edgePort()), "FAKE_TUNNEL_EDGE_AFTER=0",
         "LANTERN_LINK_CHECK=" + (options.linkCheck.empty() ? edge : options.linkCheck)});
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    start(arguments, std::move(environment), options.terminal);
}

ChildResult LanternRun::once(const QTemporaryDir& home, const std::string& argument,
                             const std::string& input) {
    return runChild({LANTERN_FM, argument}, 20s,
                    {.pipeOutput = true,
                     .pipeError = true,
                     .input = input + "\n",
                     .environment = homeIn(home, true)});
}

void ProgramRun::start(const std::vector<std::string>& arguments,
                       std::vector<std::string> environment, bool terminal) {
    int terminalSide = -1;
    if (terminal) {
        output_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(output_);
        ::unlockpt(output_);
        terminalSide = ::open(::ptsname(output_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    const auto started = startChild(arguments, {.searchPath = true,
                                                .pipeOutput = !terminal,
                                                .outputTo = terminalSide,
                                                .input = {},
                                                .environment = std::move(environment)});
    pid_ = started.pid;
    if (!terminal) output_ = started.output;
    ::close(terminalSide); // -1 without a terminal
}

ProgramRun::~ProgramRun() {
    end();
    if (output_ >= 0) ::close(output_);
}

void ProgramRun::end() {
    if (pid_ > 0) endProgram(std::exchange(pid_, -1));
}

LanternRun::~LanternRun() {
    end();
    for (const auto& [pid, what] : tunnels()) {
        std::ifstream command("/proc/" + std::to_string(pid) + "/cmdline");
        const std::string line(std::istreambuf_iterator<char>(command), {});
        if (line.find("fake-cloudflared") != std::string::npos) ::kill(pid, SIGTERM);
    }
}

std::vector<std::pair<pid_t, std::string>> LanternRun::tunnels() const {
    std::vector<std::pair<pid_t, std::string>> started;
    std::ifstream launches(launches_);
    for (std::string pid, what; launches >> pid >> what;)
        started.emplace_back(std::stoi(pid), what);
    return started;
}

void ProgramRun::closeOutput() {
    ::close(std::exchange(output_, -1));
}

std::vector<std::string> ProgramRun::lines(const std::string& prefix, std::size_t atLeast,
                                           std::chrono::seconds wait) {
    char bytes[4096];
    for (const auto deadline = std::chrono::steady_clock::now() + wait;;) {
        std::vector<std::string> found;
        for (const auto& seen : lines_)
            if (seen.starts_with(prefix)) found.push_back(seen.substr(prefix.size()));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{output_, POLLIN, 0};
        if (found.size() >= atLeast || output_ < 0 || left.count() <= 0 ||
            ::poll(&ready, 1, int(left.count())) <= 0)
            return found;
        const auto got = ::read(output_, bytes, sizeof bytes);
        for (auto& text : pending_.add({bytes, std::size_t(std::max<ssize_t>(got, 0))})) {
            if (text.ends_with('\r')) text.pop_back(); // a terminal ends lines with CR LF
            lines_.push_back(std::move(text));
        }
        if (got <= 0) return found;
    }
}

std::optional<std::string> ProgramRun::line(const std::string& prefix, std::chrono::seconds wait) {
    auto found = lines(prefix, 1, wait);
    return found.empty() ? std::nullopt : std::optional(std::move(found.front()));
}

std::uint16_t LanternRun::port() {
    const auto local = line("listen locally: ").value_or(""); // http://127.0.0.1:PORT/
    return local.empty() ? 0 : std::atoi(local.c_str() + local.rfind(':') + 1);
}

std::pair<int, nlohmann::json> fetchJSON(std::uint16_t port, const std::string& target) {
    const auto answer = fetch(port, target);
    auto json = nlohmann::json::parse(
        answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4)), nullptr, false);
    if (!json.is_object()) json = nlohmann::json::object();
    return {answer.size() > 12 ? std::atoi(answer.substr(9, 3).c_str()) : 0, json};
}

int ProgramRun::exitStatus(std::chrono::seconds wait) {
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, wait)) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ProgramRun::stop(int signal) {
    ::kill(pid_, signal);
    return exitStatus(std::chrono::seconds(10));
}

AddressDaemon::AddressDaemon(const QTemporaryDir& folder, std::vector<std::string> options) {
    options.insert(options.begin(),
                   {LANTERN_ADDRESSD, "--listen=127.0.0.1:0",
                    "--database=" + folder.filePath("addresses.db").toStdString()});
    start(options, {});
}

std::string AddressDaemon::base() {
    const auto at = line("listening on ", std::chrono::seconds(10));
    return at ? "http://" + *at : std::string();
}

} // namespace lantern::test
