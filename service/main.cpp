// lantern-addressd: stable addresses for Lantern FM stations.
#include "http_front.h"
#include "options.h"

#include <boost/asio/signal_set.hpp>
#include <charconv>
#include <cstdio>
#include <iostream>

using namespace lantern::addressd;

namespace {

// "HOST:PORT" or "[V6]:PORT".
bool splitListen(const std::string& listen, std::string& host, std::uint16_t& port) {
    const auto colon = listen.rfind(':');
    host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const auto digits = listen.substr(colon + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return !host.empty() && error == std::errc() && end == digits.data() + digits.size();
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    Config config;
    try {
        bool help = false;
        config = parseOptions({argv + 1, argv + argc}, &help);
        if (help) {
            std::cout << usage;
            return 0;
        }
    } catch (const std::invalid_argument& error) {
        std::cerr << "lantern-addressd: " << error.what() << "\n";
        return 2;
    }
    std::string host;
    std::uint16_t port = 0;
    if (!splitListen(config.listen, host, port)) {
        std::cerr << "lantern-addressd: listen needs HOST:PORT, not \"" << config.listen << "\"\n";
        return 2;
    }
    try {
        AddressService service(config);
        boost::asio::io_context io(1);
        HttpFront front(io, service, host, port, config.maxConnections);
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });
        std::cout << "listening on " << host << ":" << front.port() << "\n"
                  << "database " << config.database << std::endl;
        io.run();
    } catch (const std::exception& error) {
        std::cerr << "lantern-addressd: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
