#include "core/system/sockets.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace lantern::Sockets {

std::vector<Listener> tcpListeners() {
    std::vector<Listener> found;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        const auto colon = local.find(':');
        if (state != "0A" || colon == std::string::npos) continue; // 0A: listening
        found.push_back(
            {local.substr(0, colon),
             static_cast<std::uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16)), inode});
    }
    return found;
}

std::set<std::string> heldBy(pid_t pid) {
    std::set<std::string> inodes;
    std::error_code error;
    for (std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error),
         end;
         !error && fds != end; fds.increment(error)) {
        std::error_code unreadable;
        const auto target = std::filesystem::read_symlink(fds->path(), unreadable).native();
        if (target.starts_with("socket:[") && target.ends_with(']'))
            inodes.insert(target.substr(8, target.size() - 9));
    }
    return inodes;
}

} // namespace lantern::Sockets
