#pragma once

#include "address_service.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <memory>
#include <string>

namespace lantern::addressd {

// Serves an AddressService over HTTP/1.1 on one listening socket. Requests are
// handled one at a time on the io_context's thread, so the service needs no
// lock; each answer's database write is on disk before it is sent.
class HttpFront {
public:
    // Binds `host`:`port` (port 0: one the system chooses); throws
    // boost::system::system_error when it cannot.
    HttpFront(boost::asio::io_context& io, AddressService& service, const std::string& host,
              std::uint16_t port, int maxConnections = 1024);
    std::uint16_t port() const;

private:
    void accept();

    boost::asio::io_context& io_;
    AddressService& service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer pause_;
    const int maxConnections_;
    std::shared_ptr<int> connections_ = std::make_shared<int>(0); // on the io_context's thread
};

} // namespace lantern::addressd
