#include "core/system/sockets.h"

#include <arpa/inet.h>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace lantern::Sockets {

namespace {

// A row of /proc/net/tcp: addresses as "HEXADDR:HEXPORT", the state in hex.
struct TcpRow {
    std::string local, remote, state, inode;
};

std::vector<TcpRow> tcpTable() {
    std::vector<TcpRow> rows;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, queues, timer, retransmits, uid, timeout;
        auto& row = rows.emplace_back();
        fields >> slot >> row.local >> row.remote >> row.state >> queues >> timer >> retransmits >>
            uid >> timeout >> row.inode;
    }
    return rows;
}

} // namespace

std::vector<Listener> tcpListeners() {
    std::vector<Listener> found;
    for (const auto& row : tcpTable()) {
        const auto colon = row.local.find(':');
        if (row.state != "0A" || colon == std::string::npos) continue; // 0A: listening
        found.push_back(
            {row.local.substr(0, colon),
             static_cast<std::uint16_t>(std::stoul(row.local.substr(colon + 1), nullptr, 16)),
             row.inode});
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

namespace {

// "0100007F:1F90" for 127.0.0.1:8080, as /proc/net/tcp writes an address.
std::string tableAddress(const sockaddr_in& address) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%08X:%04X", address.sin_addr.s_addr,
                  ntohs(address.sin_port));
    return text.data();
}

// One exact lookup of the socket whose own end is `self` and other end `other`.
std::optional<std::string> diagnosedInode(const sockaddr_in& self, const sockaddr_in& other) {
    const int link = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (link < 0) return std::nullopt;
    struct {
        nlmsghdr head;
        inet_diag_req_v2 request;
    } ask{};
    ask.head.nlmsg_len = sizeof ask;
    ask.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.head.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = AF_INET;
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0U;
    ask.request.id.idiag_sport = self.sin_port;
    ask.request.id.idiag_dport = other.sin_port;
    ask.request.id.idiag_src[0] = self.sin_addr.s_addr;
    ask.request.id.idiag_dst[0] = other.sin_addr.s_addr;
    ask.request.id.idiag_cookie[0] = ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    std::optional<std::string> inode;
    alignas(nlmsghdr) std::array<char, 8192> answer{};
    if (::send(link, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask)) {
        const auto got = ::recv(link, answer.data(), answer.size(), 0);
        const auto* head = reinterpret_cast<const nlmsghdr*>(answer.data());
        if (got >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg))) &&
            NLMSG_OK(head, static_cast<unsigned>(got)) && head->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(head));
            inode = std::to_string(found->idiag_inode);
        }
    }
    ::close(link);
    return inode;
}

// The same from /proc/net/tcp, where the diagnostics are not offered.
std::optional<std::string> tabledInode(const sockaddr_in& self, const sockaddr_in& other) {
    const auto local = tableAddress(self), remote = tableAddress(other);
    for (const auto& row : tcpTable())
        if (row.local == local && row.remote == remote) return row.inode;
    return std::nullopt;
}

} // namespace

std::optional<std::string> peerInode(int fd) {
    sockaddr_in mine{}, theirs{};
    socklen_t mineSize = sizeof mine, theirsSize = sizeof theirs;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &mineSize) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirsSize) != 0 ||
        mine.sin_family != AF_INET || theirs.sin_family != AF_INET)
        return std::nullopt;
    if (auto inode = diagnosedInode(theirs, mine)) return inode;
    return tabledInode(theirs, mine);
}

bool PeerOwner::owns(pid_t pid, int fd) {
    if (pid <= 0) return false;
    const auto inode = peerInode(fd);
    if (!inode || *inode == "0") return false;
    std::lock_guard lock(mutex_);
    if (pid != pid_ || !inodes_.contains(*inode)) {
        pid_ = pid;
        inodes_ = heldBy(pid);
    }
    return inodes_.contains(*inode);
}

} // namespace lantern::Sockets
