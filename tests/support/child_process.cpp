#include "support/child_process.h"

#include "core/system/child_process.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace lantern::test {

ProgramResult runProgram(const std::vector<std::string>& arguments, std::chrono::seconds limit) {
    ChildOptions options;
    options.searchPath = true;
    auto result = runChild(arguments, limit, options);
    return {result.status, std::move(result.output), std::move(result.error)};
}

pid_t startProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, const std::string* input,
                   int* output) {
    ChildOptions options;
    options.searchPath = true;
    options.pipeOutput = output != nullptr;
    if (input) options.input = *input;
    options.environment = environment;
    const auto child = startChild(arguments, options);
    if (output) *output = child.output;
    return child.pid;
}

void endProgram(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::set<int> listeningPorts() {
    // The inodes of this process's sockets, then the listening entries among them.
    std::set<std::string> sockets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        const auto target = std::filesystem::read_symlink(entry.path(), ignored).string();
        if (target.starts_with("socket:[")) sockets.insert(target.substr(8, target.size() - 9));
    }
    std::set<int> ports;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && sockets.contains(inode))
            ports.insert(std::stoi(local.substr(local.find(':') + 1), nullptr, 16));
    }
    return ports;
}

bool processGone(pid_t pid) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto state = line.rfind(") ");
    return state == std::string::npos || line.compare(state + 2, 1, "Z") == 0;
}

} // namespace lantern::test
