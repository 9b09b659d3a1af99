#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct ssl_ctx_st;
struct ssl_st;
struct sockaddr;

namespace lantern {

// A TLS client context that trusts the system's authorities, TLS 1.2 and
// later; null when OpenSSL cannot make one.
using TLSContext = std::unique_ptr<ssl_ctx_st, void (*)(ssl_ctx_st*)>;
TLSContext clientTLS();

// Whether an address is one of the public internet's: not loopback, link-local,
// private, unique-local, shared (carrier-grade NAT), multicast or reserved.
bool isPublicAddress(const sockaddr& address);

// One outgoing TCP connection, plain or over TLS, on a non-blocking socket:
// every wait is bounded and ends early when `stopping` turns true.
class Connection {
public:
    struct Target {
        std::string host;
        std::uint16_t port = 0;
        // Over TLS, the certificate checked against `host`, when given.
        ssl_ctx_st* tls = nullptr;
        // The addresses `host` resolves to that may be connected to; any when empty.
        std::function<bool(const sockaddr&)> allowed;
    };
    // Connected (and through a handshake whose certificate names the host)
    // within `timeout` each, or null with `error` (and `untrusted` set when
    // the failure was the certificate).
    static std::unique_ptr<Connection> open(const Target& target, const std::atomic<bool>& stopping,
                                            std::chrono::milliseconds timeout, std::string& error,
                                            bool* untrusted = nullptr);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Each write in a segment of its own.
    void sendPromptly();
    // Sends all of `bytes`; false when the peer is gone, takes nothing for
    // `quiet`, or the connection's user stops.
    bool sendAll(std::string_view bytes,
                 std::chrono::milliseconds quiet = std::chrono::seconds(10));
    // What arrives within `wait` (at most `buffer`'s size): the count, 0 when
    // nothing came in time or the user stops, -1 when the peer is gone.
    std::ptrdiff_t receive(std::span<char> buffer, std::chrono::milliseconds wait);

private:
    Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
    bool secure(ssl_ctx_st* context, const std::string& host, std::chrono::milliseconds timeout,
                std::string& error, bool* untrusted);
    std::ptrdiff_t write(std::string_view bytes, short& want);
    std::ptrdiff_t read(std::span<char> buffer, short& want);
    std::ptrdiff_t waitFor(int why, short& want);

    int fd_;
    ssl_st* tls_ = nullptr;
    const std::atomic<bool>& stopping_;
};

} // namespace lantern
