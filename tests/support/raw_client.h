#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace lantern::test {

// A blocking TCP client on 127.0.0.1 for talking raw bytes to a server under
// test, with every wait bounded.
class RawClient {
public:
    explicit RawClient(std::uint16_t port, int receiveBufferBytes = 0);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Sends everything; false when the connection refused it.
    bool send(std::string_view bytes);
    // Tells the peer that nothing more will be sent.
    void finishSending();
    // Drops the connection with a reset, as a crowd of clients killed at once does.
    void reset();
    // Reads until at least `count` bytes arrived, the peer closed or `wait` passes.
    std::string readAtLeast(std::size_t count,
                            std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Reads until the peer closes or `wait` passes; what arrived.
    std::string readUntilClosed(std::chrono::milliseconds wait = std::chrono::seconds(5)) {
        return readAtLeast(std::string::npos, wait);
    }
    // A response head through its blank line; what follows it stays to be read.
    std::string readHead(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // True when the peer has closed (or reset) the connection within `wait`.
    bool closedByPeer(std::chrono::milliseconds wait) {
        pending_ += readUntilClosed(wait);
        return peerClosed_;
    }
    bool peerClosed() const { return peerClosed_; }

private:
    // Receives into pending_ until `enough()`, the peer closes or `wait` passes.
    void receive(const std::function<bool()>& enough, std::chrono::milliseconds wait);

    int fd_ = -1;
    bool peerClosed_ = false;
    std::string pending_;
};

// One request and its whole answer (the server closes after answering);
// `headers` are further head lines, each ending in CR LF.
std::string fetch(std::uint16_t port, std::string_view target, std::string_view method = "GET",
                  std::string_view headers = "");

} // namespace lantern::test
