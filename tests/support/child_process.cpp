#include "support/child_process.h"

#include "core/system/sockets.h"
#include "support/eventually.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>

namespace lantern::test {

ChildResult runProgram(const std::vector<std::string>& arguments, std::chrono::seconds limit) {
    return runChild(arguments, limit, {.searchPath = true, .input = {}, .environment = {}});
}

pid_t startProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, const std::string* input) {
    return startChild(arguments, {.searchPath = true,
                                  .input = input ? std::optional(*input) : std::nullopt,
                                  .environment = environment})
        .pid;
}

void endProgram(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    // A program that does not end holds the test until its time-out, which
    // says nothing of why: it is named, then killed.
    if (eventually([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 20s)) return;
    std::string program;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), program);
    std::fprintf(stderr, "%s (pid %d) did not end 20 s after SIGTERM: killed\n", program.c_str(),
                 pid);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
        continue;
}

std::set<int> listeningPorts(pid_t pid) {
    const auto mine = Sockets::heldBy(pid > 0 ? pid : ::getpid());
    std::set<int> ports;
    for (const auto& listener : Sockets::tcpListeners())
        if (mine.contains(listener.inode)) ports.insert(listener.port);
    return ports;
}

bool processGone(pid_t pid) {
    if (::kill(pid, 0) != 0) return true;
    std::string line;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line);
    const auto state = line.rfind(") ");
    return state == std::string::npos || line.compare(state + 2, 1, "Z") == 0;
}

} // namespace lantern::test
