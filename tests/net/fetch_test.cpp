// Fetching an address someone else named (a player's artwork): bounded in
// size, time and where it may lead, against a hostile server on loopback.
#include "core/net/fetch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace lantern;
using namespace std::chrono_literals;

namespace {

// A web server on 127.0.0.1 that hands each connection's request head to
// `answer`, which writes what it likes; connections are taken one at a time.
class WebServer {
public:
    using Answer = std::function<void(int fd, const std::string& head)>;
    explicit WebServer(Answer answer) : answer_(std::move(answer)) {
        listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(listening_, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(listening_, 8);
        ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (!stopping) {
                pollfd ready{listening_, POLLIN, 0};
                if (::poll(&ready, 1, 100) != 1) continue;
                const int fd = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
                ++connections;
                std::string head(4096, '\0');
                head.resize(std::max<ssize_t>(::read(fd, head.data(), head.size()), 0));
                answer_(fd, head);
                ::close(fd);
            }
        });
    }
    ~WebServer() {
        stopping = true;
        thread_.join();
        ::close(listening_);
    }
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "http://" + host + ":" + std::to_string(port) + path;
    }
    // Writes `bytes` whole; false once the client has gone.
    static bool write(int fd, std::string_view bytes) {
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }

    std::uint16_t port = 0;
    std::atomic<int> connections{0};
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> sent{0};

private:
    Answer answer_;
    int listening_ = -1;
    std::thread thread_;
};

FetchLimits loopbackToo() {
    FetchLimits limits;
    limits.allowed = [](const sockaddr&) { return true; };
    return limits;
}

std::string failure(const std::variant<std::string, FetchFailure>& result) {
    const auto* failed = std::get_if<FetchFailure>(&result);
    return failed ? failed->why : "fetched " + std::to_string(std::get<std::string>(result).size());
}

// A body without end is dropped at 10 MiB, a trickle at the time limit; a
// redirect is followed on the same host only; and by default nothing on this
// computer or its network is asked at all.
TEST(Fetch, AHostileAddressGetsNoFurtherThanItsLimits) {
    WebServer server([&server](int fd, const std::string& head) {
        if (head.starts_with("GET /endless ")) {
            WebServer::write(fd, "HTTP/1.0 200 OK\r\nContent-Type: image/png\r\n\r\n");
            const std::string piece(65536, 'x');
            while (!server.stopping && WebServer::write(fd, piece))
                server.sent += piece.size();
        } else if (head.starts_with("GET /trickle ")) {
            WebServer::write(fd, "HTTP/1.0 200 OK\r\n\r\n");
            while (!server.stopping && WebServer::write(fd, "x"))
                std::this_thread::sleep_for(50ms);
        } else if (head.starts_with("GET /elsewhere ")) {
            WebServer::write(fd, "HTTP/1.0 302 Found\r\nLocation: " +
                                     server.url("/image", "localhost") + "\r\n\r\n");
        } else if (head.starts_with("GET /moved ")) {
            WebServer::write(fd, "HTTP/1.0 301 Moved\r\nLocation: /image\r\n\r\n");
        } else if (head.starts_with("GET /image ")) {
            WebServer::write(fd, "HTTP/1.0 200 OK\r\n\r\nPNG");
        } else {
            WebServer::write(fd, "HTTP/1.0 404 Not Found\r\n\r\n");
        }
    });
    const std::atomic<bool> going{false};

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(fetch(server.url("/endless"), loopbackToo(), going)), "too large");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
    EXPECT_LT(server.sent.load(), 16u << 20) << "it read on past the limit";

    auto quick = loopbackToo();
    quick.time = 1s;
    const auto trickling = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(fetch(server.url("/trickle"), quick, going)), "too slow");
    EXPECT_LT(std::chrono::steady_clock::now() - trickling, 3s);

    EXPECT_EQ(failure(fetch(server.url("/elsewhere"), loopbackToo(), going)),
              "a redirect to another host");
    const auto moved = fetch(server.url("/moved"), loopbackToo(), going);
    EXPECT_EQ(std::get_if<std::string>(&moved) ? std::get<std::string>(moved) : failure(moved),
              "PNG");
    EXPECT_EQ(failure(fetch(server.url("/nothing"), loopbackToo(), going)), "answered 404");
    EXPECT_EQ(failure(fetch("file:///etc/passwd", loopbackToo(), going)), "not http or https");

    const auto asked = server.connections.load();
    for (const char* host : {"127.0.0.1", "localhost", "[::ffff:127.0.0.1]"})
        EXPECT_NE(failure(fetch(server.url("/image", host), {}, going)), "fetched 3") << host;
    EXPECT_EQ(server.connections.load(), asked) << "an address on this computer was asked";
}

TEST(Fetch, OnlyPublicAddressesArePublic) {
    const std::pair<const char*, bool> rows[] = {
        {"93.184.216.34", true},
        {"127.0.0.1", false},
        {"10.1.2.3", false},
        {"172.16.0.1", false},
        {"172.32.0.1", true},
        {"192.168.1.1", false},
        {"169.254.169.254", false},
        {"100.64.0.1", false},
        {"0.0.0.0", false},
        {"224.0.0.1", false},
        {"255.255.255.255", false},
        {"2606:4700::1111", true},
        {"::1", false},
        {"::", false},
        {"fe80::1", false},
        {"fd00::1", false},
        {"ff02::1", false},
        {"::ffff:10.0.0.1", false},
        {"::ffff:93.184.216.34", true},
        {"64:ff9b::7f00:1", false},
        {"2002:0a00:0001::1", false},
        {"2001:db8::1", false},
    };
    for (const auto& [text, expected] : rows) {
        sockaddr_storage address{};
        if (::inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(address).sin_addr) == 1)
            address.ss_family = AF_INET;
        else if (::inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(address).sin6_addr) ==
                 1)
            address.ss_family = AF_INET6;
        EXPECT_EQ(isPublicAddress(reinterpret_cast<const sockaddr&>(address)), expected) << text;
    }
}

} // namespace
