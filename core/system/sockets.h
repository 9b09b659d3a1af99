#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

// Who listens where, from the kernel's own tables.
namespace lantern::Sockets {

// A TCP socket (IPv4) in the listening state.
struct Listener {
    std::string address; // as the kernel writes it: "0100007F" is 127.0.0.1
    std::uint16_t port = 0;
    std::string inode; // "0" for a socket no process holds any more
};

std::vector<Listener> tcpListeners();

// The inodes of the sockets process `pid` holds (empty when it cannot be read).
std::set<std::string> heldBy(pid_t pid);

// The inode of the socket at the other end of the IPv4 TCP connection `fd`,
// when both ends are on this machine: from the kernel's socket diagnostics,
// else its table. Nothing when it is not found.
std::optional<std::string> peerInode(int fd);

// Whether a connection's other end is a socket of one process (the tunnel
// tool's), remembering that process's sockets between questions: a socket
// not among them is looked up afresh. Any thread.
class PeerOwner {
public:
    bool owns(pid_t pid, int fd);

private:
    std::mutex mutex_;
    pid_t pid_ = 0;
    std::set<std::string> inodes_;
};

} // namespace lantern::Sockets
