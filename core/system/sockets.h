#pragma once

#include <cstdint>
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

} // namespace lantern::Sockets
