#include "core/net/connection.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lantern {

namespace {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

bool isAddress(const std::string& host) {
    in6_addr bytes{};
    return ::inet_pton(AF_INET, host.c_str(), &bytes) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &bytes) == 1;
}

bool publicV4(std::uint32_t address) {
    const auto in = [&](std::uint32_t network, int bits) {
        return (address >> (32 - bits)) == (network >> (32 - bits));
    };
    return !(in(0x00000000, 8) ||  // "this network"
             in(0x0A000000, 8) ||  // private
             in(0x64400000, 10) || // shared (carrier-grade NAT)
             in(0x7F000000, 8) ||  // loopback
             in(0xA9FE0000, 16) || // link-local
             in(0xAC100000, 12) || // private
             in(0xC0000000, 24) || // protocol assignments
             in(0xC0000200, 24) || // documentation
             in(0xC0A80000, 16) || // private
             in(0xC6120000, 15) || // benchmarking
             in(0xC6336400, 24) || // documentation
             in(0xCB007100, 24) || // documentation
             in(0xE0000000, 4) ||  // multicast
             in(0xF0000000, 4));   // reserved, broadcast
}

// A socket connected to one of the addresses `target.host` resolves to that
// `target.allowed` lets through, within `timeout`; -1 with `error`.
int connectTo(const Connection::Target& target, Milliseconds timeout, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int failed =
            ::getaddrinfo(target.host.c_str(), std::to_string(target.port).c_str(), &hints, &found);
        failed != 0) {
        error = ::gai_strerror(failed);
        return -1;
    }
    int fd = -1;
    error = "no address it may be reached at";
    for (const auto* address = found; address && fd < 0; address = address->ai_next) {
        if (target.allowed && !target.allowed(*address->ai_addr)) continue;
        fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      address->ai_protocol);
        if (fd < 0) continue;
        int problem = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            problem = errno;
            if (problem == EINPROGRESS) {
                pollfd ready{fd, POLLOUT, 0};
                socklen_t size = sizeof problem;
                problem = ::poll(&ready, 1, static_cast<int>(timeout.count())) == 1 &&
                                  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &problem, &size) == 0
                              ? problem
                              : ETIMEDOUT;
            }
        }
        if (problem != 0) {
            error = std::strerror(problem);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

} // namespace

TLSContext clientTLS() {
    TLSContext context(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
    if (context) {
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(context.get());
        SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    }
    return context;
}

bool isPublicAddress(const sockaddr& address) {
    if (address.sa_family == AF_INET)
        return publicV4(ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr));
    if (address.sa_family != AF_INET6) return false;
    const auto& bytes = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr.s6_addr;
    // An IPv4 address written as IPv6 (mapped, or the translation prefix) is judged as IPv4.
    static constexpr std::array<std::uint8_t, 12> mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    static constexpr std::array<std::uint8_t, 12> translated{0, 0x64, 0xFF, 0x9B};
    const auto v4 = [&](int at) {
        return static_cast<std::uint32_t>(bytes[at]) << 24 | bytes[at + 1] << 16 |
               bytes[at + 2] << 8 | bytes[at + 3];
    };
    if (std::equal(mapped.begin(), mapped.end(), bytes) ||
        std::equal(translated.begin(), translated.end(), bytes))
        return publicV4(v4(12));
    if (bytes[0] == 0x20 && bytes[1] == 0x02) return publicV4(v4(2)); // 6to4
    // Only the global unicast range, less documentation and the old site-local
    // (which lies outside it anyway); that leaves out loopback, unspecified,
    // link-local, unique-local and multicast.
    if ((bytes[0] & 0xE0) != 0x20) return false;
    return !(bytes[0] == 0x20 && bytes[1] == 0x01 && bytes[2] == 0x0D && bytes[3] == 0xB8);
}

std::unique_ptr<Connection> Connection::open(const Target& target,
                                             const std::atomic<bool>& stopping,
                                             Milliseconds timeout, std::string& error,
                                             bool* untrusted) {
    const int fd = connectTo(target, timeout, error);
    if (fd < 0) return nullptr;
    auto connection = std::unique_ptr<Connection>(new Connection(fd, stopping));
    if (target.tls && !connection->secure(target.tls, target.host, timeout, error, untrusted))
        return nullptr;
    return connection;
}

Connection::~Connection() {
    if (tls_) SSL_free(tls_);
    ::close(fd_);
}

void Connection::sendPromptly() {
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool Connection::sendAll(std::string_view bytes, Milliseconds quiet) {
    auto waited = Milliseconds::zero();
    while (!bytes.empty() && !stopping_) {
        short want = POLLOUT;
        const auto sent = write(bytes, want);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            waited = Milliseconds::zero();
            continue;
        }
        if (sent < 0) return false;
        pollfd ready{fd_, want, 0};
        if (::poll(&ready, 1, 200) == 0 && (waited += 200ms) >= quiet) return false;
    }
    return bytes.empty();
}

std::ptrdiff_t Connection::receive(std::span<char> buffer, Milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (!stopping_) {
        short want = POLLIN;
        const auto got = read(buffer, want);
        if (got != 0) return got;
        const auto left =
            std::chrono::duration_cast<Milliseconds>(until - std::chrono::steady_clock::now());
        if (left <= Milliseconds::zero()) return 0;
        pollfd ready{fd_, want, 0};
        ::poll(&ready, 1, static_cast<int>(std::min<Milliseconds>(left, 200ms).count()));
    }
    return 0;
}

bool Connection::secure(SSL_CTX* context, const std::string& host, Milliseconds timeout,
                        std::string& error, bool* untrusted) {
    tls_ = SSL_new(context);
    if (!tls_ || SSL_set_fd(tls_, fd_) != 1) {
        error = "TLS could not start";
        return false;
    }
    // The certificate must name the host asked for, by name or address.
    if (isAddress(host))
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls_), host.c_str());
    else if (SSL_set_tlsext_host_name(tls_, host.c_str()) != 1 ||
             SSL_set1_host(tls_, host.c_str()) != 1) {
        error = "TLS could not start";
        return false;
    }
    for (auto waited = Milliseconds::zero(); waited < timeout && !stopping_;) {
        const int done = SSL_connect(tls_);
        if (done == 1) return true;
        const int why = SSL_get_error(tls_, done);
        if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) break;
        pollfd ready{fd_, static_cast<short>(why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        if (::poll(&ready, 1, 200) == 0) waited += 200ms;
    }
    const auto verified = SSL_get_verify_result(tls_);
    if (verified != X509_V_OK) {
        error = std::string("its certificate can't be trusted: ") +
                X509_verify_cert_error_string(verified);
        if (untrusted) *untrusted = true;
    } else
        error = "the secure connection failed";
    ERR_clear_error();
    return false;
}

std::ptrdiff_t Connection::write(std::string_view bytes, short& want) {
    if (!tls_) {
        const auto sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent >= 0) return sent;
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    std::size_t sent = 0;
    if (SSL_write_ex(tls_, bytes.data(), bytes.size(), &sent) == 1)
        return static_cast<std::ptrdiff_t>(sent);
    return waitFor(SSL_get_error(tls_, 0), want);
}

std::ptrdiff_t Connection::read(std::span<char> buffer, short& want) {
    if (!tls_) {
        const auto got = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (got > 0) return got;
        return got < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }
    std::size_t got = 0;
    if (SSL_read_ex(tls_, buffer.data(), buffer.size(), &got) == 1)
        return static_cast<std::ptrdiff_t>(got);
    return waitFor(SSL_get_error(tls_, 0), want);
}

std::ptrdiff_t Connection::waitFor(int why, short& want) {
    if (why == SSL_ERROR_WANT_READ)
        want = POLLIN;
    else if (why == SSL_ERROR_WANT_WRITE)
        want = POLLOUT;
    else {
        ERR_clear_error();
        return -1;
    }
    return 0;
}

} // namespace lantern
