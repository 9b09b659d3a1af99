#include "support/raw_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace lantern::test {

RawClient::RawClient(std::uint16_t port, int receiveBufferBytes) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (receiveBufferBytes > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    const sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) reset();
}

RawClient::~RawClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void RawClient::finishSending() {
    ::shutdown(fd_, SHUT_WR);
}

void RawClient::reset() {
    if (fd_ < 0) return;
    const linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd_);
    fd_ = -1;
}

void RawClient::receive(const std::function<bool()>& enough, std::chrono::milliseconds wait) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + wait;
    char buffer[65536];
    while (!enough() && !peerClosed_ && fd_ >= 0) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) break;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        const auto got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        peerClosed_ = got <= 0;
        if (got > 0) pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string RawClient::readAtLeast(std::size_t count, std::chrono::milliseconds wait) {
    receive([&] { return pending_.size() >= count; }, wait);
    return std::exchange(pending_, {});
}

std::string RawClient::readHead(std::chrono::milliseconds wait) {
    receive([&] { return pending_.find("\r\n\r\n") != std::string::npos; }, wait);
    const auto end = pending_.find("\r\n\r\n");
    auto head = pending_.substr(0, end == std::string::npos ? end : end + 4);
    pending_.erase(0, head.size());
    return head;
}

std::string fetch(std::uint16_t port, std::string_view target, std::string_view method,
                  std::string_view headers) {
    RawClient client(port);
    if (!client.connected()) return "<refused>";
    client.send(std::string(method) + " " + std::string(target) +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + std::string(headers) + "\r\n");
    return client.readUntilClosed();
}

} // namespace lantern::test
