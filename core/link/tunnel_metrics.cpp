#include "core/link/tunnel_metrics.h"

#include "core/link/tunnel_log.h"
#include "core/system/sockets.h"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <memory>
#include <nlohmann/json.hpp>

namespace lantern::TunnelMetrics {

using asio::ip::tcp;

namespace {

constexpr std::size_t largestAnswer = std::size_t{16} * 1024;

struct Asking {
    Asking(asio::io_context& io, std::function<void(Answer)> onDone)
        : socket(io), timer(io), done(std::move(onDone)) {}
    void finish(Answer answer) {
        if (!done) return;
        timer.cancel();
        std::error_code ignored;
        socket.close(ignored);
        std::exchange(done, nullptr)(std::move(answer));
    }

    tcp::socket socket;
    asio::steady_timer timer;
    std::function<void(Answer)> done;
    std::string request;
    std::string reply;
};

Answer answerOf(const std::string& reply) {
    const auto lineEnd = reply.find("\r\n");
    const auto headEnd = reply.find("\r\n\r\n");
    if (lineEnd == std::string::npos || headEnd == std::string::npos) return {};
    const std::string_view status(reply.data(), lineEnd);
    const auto space = status.find(' ');
    if (space == std::string_view::npos || status.substr(space + 1, 3) != "200")
        return {Answer::Kind::notOffered, {}};
    const std::string_view body = std::string_view(reply).substr(headEnd + 4);
    if (auto url = urlOf(body)) return {Answer::Kind::url, std::move(*url)};
    // Before the tunnel exists the name is empty: ask again later.
    const auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_object() && parsed.value("hostname", nlohmann::json()) == "") return {};
    return {Answer::Kind::notOffered, {}};
}

} // namespace

std::optional<std::uint16_t> freePort() {
    asio::io_context io;
    tcp::acceptor probe(io);
    std::error_code error;
    probe.open(tcp::v4(), error);
    if (!error) probe.bind({asio::ip::address_v4::loopback(), 0}, error);
    if (error) return std::nullopt;
    const auto port = probe.local_endpoint(error).port();
    if (error) return std::nullopt;
    return port;
}

std::optional<std::string> urlOf(std::string_view body) {
    const auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (!parsed.is_object()) return std::nullopt;
    const auto hostname = parsed.find("hostname");
    if (hostname == parsed.end() || !hostname->is_string()) return std::nullopt;
    const auto url = "https://" + hostname->get<std::string>();
    if (tunnelURL(url) != url) return std::nullopt;
    return url;
}

bool listenerBelongsTo(pid_t pid, std::uint16_t port) {
    for (const auto& listener : Sockets::tcpListeners())
        if (listener.address == "0100007F" && listener.port == port)
            return listener.inode != "0" && Sockets::heldBy(pid).contains(listener.inode);
    return false;
}

void ask(asio::io_context& io, std::uint16_t port, pid_t pid, std::chrono::milliseconds limit,
         std::function<void(Answer)> done) {
    auto asking = std::make_shared<Asking>(io, std::move(done));
    asking->timer.expires_after(limit);
    asking->timer.async_wait([asking](std::error_code error) {
        if (!error) asking->finish({});
    });
    const tcp::endpoint server(asio::ip::address_v4::loopback(), port);
    asking->socket.async_connect(server, [asking, port, pid](std::error_code error) {
        if (error) return asking->finish({});
        if (!listenerBelongsTo(pid, port)) return asking->finish({Answer::Kind::notOffered, {}});
        asking->request = "GET /quicktunnel HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n\r\n";
        asio::async_write(
            asking->socket, asio::buffer(asking->request),
            [asking](std::error_code sent, std::size_t) {
                if (sent) return asking->finish({});
                asio::async_read(asking->socket, asio::dynamic_buffer(asking->reply, largestAnswer),
                                 [asking](std::error_code received, std::size_t) {
                                     // The answer ends where the server closes.
                                     if (received && received != asio::error::eof)
                                         return asking->finish(
                                             asking->reply.size() >= largestAnswer
                                                 ? Answer{Answer::Kind::notOffered, {}}
                                                 : Answer{});
                                     asking->finish(answerOf(asking->reply));
                                 });
            });
    });
}

} // namespace lantern::TunnelMetrics
