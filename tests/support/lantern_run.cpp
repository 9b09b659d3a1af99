#include "support/lantern_run.h"

#include "core/link/tunnel_metrics.h"
#include "core/system/child_process.h"
#include "support/child_process.h"
#include "support/world.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace lantern::test {

LanternRun::LanternRun(const QTemporaryDir& home, std::vector<std::string> arguments,
                       Options options) {
    World::sound();
    if (options.headless) arguments.insert(arguments.begin(), "--headless");
    arguments.insert(arguments.begin(), LANTERN_FM);
    arguments.insert(arguments.begin(), options.under.begin(), options.under.end());
    const auto path = [&](const char* name) { return home.filePath(name).toStdString(); };
    std::vector<std::string> environment = {
        "XDG_DATA_HOME=" + path("data"), "XDG_CONFIG_HOME=" + path("config"),
        "LANTERN_CLOUDFLARED=" + options.cloudflared, "FAKE_TUNNEL_RECORD=" + path("launches")};
    launches_ = path("launches");
    edge_ = TunnelMetrics::freePort().value_or(0);
    const auto edge = "http://127.0.0.1:" + std::to_string(edge_);
    environment.push_back("FAKE_TUNNEL_EDGE=" + std::to_string(edge_));
    environment.push_back("FAKE_TUNNEL_EDGE_AFTER=0");
    environment.push_back("LANTERN_LINK_CHECK=" +
                          (options.linkCheck.empty() ? edge : options.linkCheck));
    if (options.headless && !options.sessionBus)
        environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus");
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    start(arguments, std::move(environment), options.terminal);
}

void ProgramRun::start(const std::vector<std::string>& arguments,
                       std::vector<std::string> environment, bool terminal) {
    ChildOptions child;
    child.searchPath = true;
    child.environment = std::move(environment);
    int terminalEnd = -1;
    if (terminal) {
        output_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(output_);
        ::unlockpt(output_);
        terminalEnd = ::open(::ptsname(output_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        child.outputTo = terminalEnd;
    } else {
        child.pipeOutput = true;
    }
    const auto started = startChild(arguments, child);
    pid_ = started.pid;
    if (!terminal) output_ = started.output;
    if (terminalEnd >= 0) ::close(terminalEnd);
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
    std::ifstream launches(launches_);
    for (std::string pid, rest; launches >> pid && std::getline(launches, rest);) {
        std::ifstream command("/proc/" + pid + "/cmdline");
        const std::string line(std::istreambuf_iterator<char>(command), {});
        if (line.find("fake-cloudflared") != std::string::npos) ::kill(std::stoi(pid), SIGTERM);
    }
}

void ProgramRun::closeOutput() {
    ::close(std::exchange(output_, -1));
}

bool ProgramRun::readMore(std::chrono::milliseconds wait) {
    pollfd ready{output_, POLLIN, 0};
    char buffer[4096];
    if (output_ < 0 || wait.count() <= 0 || ::poll(&ready, 1, int(wait.count())) <= 0) return false;
    const auto got = ::read(output_, buffer, sizeof buffer);
    if (got <= 0) return false;
    pending_.append(buffer, std::size_t(got));
    for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        auto text = pending_.substr(0, end);
        if (text.ends_with('\r')) text.pop_back(); // a terminal ends lines with CR LF
        lines_.push_back(std::move(text));
        pending_.erase(0, end + 1);
    }
    return true;
}

std::optional<std::string> ProgramRun::line(const std::string& prefix, std::chrono::seconds wait) {
    auto found = lines(prefix, 1, wait);
    if (found.empty()) return std::nullopt;
    return std::move(found.front());
}

std::vector<std::string> ProgramRun::lines(const std::string& prefix, std::size_t atLeast,
                                           std::chrono::seconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        std::vector<std::string> found;
        for (const auto& seen : lines_)
            if (seen.starts_with(prefix)) found.push_back(seen.substr(prefix.size()));
        if (found.size() >= atLeast ||
            !readMore(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now())))
            return found;
    }
}

std::uint16_t LanternRun::port() {
    std::smatch match;
    const auto local = line("listen locally: ").value_or("");
    return std::regex_search(local, match, std::regex(R"(:(\d+)/)")) ? std::stoi(match[1]) : 0;
}

int ProgramRun::exitStatus(std::chrono::seconds wait) {
    for (const auto deadline = std::chrono::steady_clock::now() + wait;
         std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    }
    return -1;
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
