#include "http_front.h"

#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>

namespace lantern::addressd {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

constexpr auto idleTimeout = std::chrono::seconds(30);

// One connection: reads requests, answers each, until the peer closes, the
// request asks to close, or it idles past the time-out.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, AddressService& service, std::shared_ptr<int> connections)
        : stream_(std::move(socket)), service_(service), connections_(std::move(connections)) {
        ++*connections_;
        boost::system::error_code ignored;
        const auto remote = stream_.socket().remote_endpoint(ignored);
        peer_ = ignored ? std::string() : remote.address().to_string();
    }

    void read() {
        parser_.emplace();
        parser_->header_limit(8 * 1024);
        parser_->body_limit(AddressService::maxBody);
        stream_.expires_after(idleTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->onRead(error);
                         });
    }

    ~Session() { --*connections_; }

private:
    void onRead(beast::error_code error) {
        if (error == http::error::body_limit) {
            Response tooLarge{413, "text/plain; charset=utf-8", "Request body too large.\n", {}};
            return send(tooLarge, 11, false);
        }
        if (error) return close();
        const auto& request = parser_->get();
        Request asked{std::string(request.method_string()), std::string(request.target()),
                      request.body(), std::string(request["X-Forwarded-For"]), peer_};
        const auto answer = service_.handle(asked);
        send(answer, request.version(), request.keep_alive());
    }

    void send(const Response& answer, unsigned version, bool keepAlive) {
        auto response = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(answer.status), version);
        response->set(http::field::server, "lantern-addressd");
        if (!answer.contentType.empty())
            response->set(http::field::content_type, answer.contentType);
        for (const auto& [name, value] : answer.headers)
            response->set(name, value);
        response->body() = answer.body;
        response->keep_alive(keepAlive);
        response->prepare_payload();
        http::async_write(
            stream_, *response,
            [self = shared_from_this(), response](beast::error_code error, std::size_t) {
                if (error || !response->keep_alive()) return self->close();
                self->read();
            });
    }

    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
    }

    beast::tcp_stream stream_;
    AddressService& service_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string peer_;
    std::shared_ptr<int> connections_;
};

} // namespace

HttpFront::HttpFront(boost::asio::io_context& io, AddressService& service, const std::string& host,
                     std::uint16_t port, int maxConnections)
    : io_(io), service_(service), acceptor_(io), pause_(io), maxConnections_(maxConnections) {
    const tcp::endpoint endpoint(boost::asio::ip::make_address(host), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(boost::asio::socket_base::max_listen_connections);
    accept();
}

std::uint16_t HttpFront::port() const {
    return acceptor_.local_endpoint().port();
}

void HttpFront::accept() {
    acceptor_.async_accept(io_, [this](beast::error_code error, tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted) return;
        if (!error) {
            // Beyond the cap a connection is closed at once, before it holds
            // a buffer or a time-out.
            if (*connections_ < maxConnections_)
                std::make_shared<Session>(std::move(socket), service_, connections_)->read();
            return accept();
        }
        // Out of descriptors, say: try again shortly instead of spinning.
        pause_.expires_after(std::chrono::milliseconds(100));
        pause_.async_wait([this](beast::error_code) { accept(); });
    });
}

} // namespace lantern::addressd
