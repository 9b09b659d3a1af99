// A narrow uplink: fifteen visitors join one a second through a stand-in
// tunnel whose uplink carries about ten streams (2 Mbit/s shared in turn, at
// most 256 KiB held per visitor, as a tunnel stream allows), while a tone is
// encoded and published in real time. Prints, for the last 10 of 40 s, how
// each visitor fared (refused, let go, or carried at what share of real
// time), the room the station measured, and whether a listener on this
// computer kept its stream. Exits 1 when a carried visitor fell below 0.97 of
// real time, fewer than 8 were carried, or the room is outside 8 to 11.
//
//   narrow_uplink
#include "core/config/station_config.h"
#include "core/stream/aac_encoder.h"
#include "core/stream/stream_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <asio/use_future.hpp>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace lantern;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A reading client of the station on 127.0.0.1, not blocking; through the
// tunnel when it carries the tunnel's header for a visitor.
int connectTo(std::uint16_t port, const std::string& fields) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 16 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const auto request = "GET /stream HTTP/1.1\r\n" + fields + "\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// Stands where the tunnel stands on a narrow uplink: each visitor's stream
// is read from the station into a buffer of at most 256 KiB (as a tunnel
// stream allows), and one uplink of 2 Mbit/s carries all the buffers to
// their visitors in turn.
class NarrowTunnel {
public:
    static constexpr double uplink = 250'000; // bytes per second
    static constexpr std::size_t buffered = 256 * 1024;

    struct Visitor {
        int fd = -1;
        std::string head, buffer, delivered;
        std::vector<std::pair<Clock::time_point, std::size_t>> deliveries; // when, total so far
        bool refused = false, letGo = false;
    };

    explicit NarrowTunnel(std::uint16_t port) : port_(port) {}
    ~NarrowTunnel() {
        for (auto& visitor : visitors_)
            ::close(visitor.fd);
    }

    void visit(int number) {
        Visitor visitor;
        visitor.fd =
            connectTo(port_, "Cf-Connecting-IP: 198.51.100." + std::to_string(number) + "\r\n");
        visitors_.push_back(std::move(visitor));
    }

    // One step: reads what the buffers have room for, then sends what the
    // uplink carries in `elapsed`, a slice of each visitor's buffer in turn.
    void step(std::chrono::duration<double> elapsed) {
        std::array<char, 16384> bytes{};
        for (auto& visitor : visitors_) {
            // A stream the station reset is dropped, with what is held of it.
            pollfd reset{visitor.fd, 0, 0};
            if (::poll(&reset, 1, 0) > 0 && (reset.revents & POLLERR)) {
                visitor.letGo = true;
                visitor.buffer.clear();
            }
            while (!visitor.letGo && visitor.buffer.size() < buffered) {
                const auto room = std::min(bytes.size(), buffered - visitor.buffer.size());
                const auto got = ::recv(visitor.fd, bytes.data(), room, 0);
                if (got == 0 || (got < 0 && errno != EAGAIN)) visitor.letGo = !visitor.refused;
                if (got <= 0) break;
                visitor.buffer.append(bytes.data(), static_cast<std::size_t>(got));
                if (visitor.head.empty() && visitor.buffer.find("\r\n\r\n") != std::string::npos) {
                    const auto end = visitor.buffer.find("\r\n\r\n") + 4;
                    visitor.head = visitor.buffer.substr(0, end);
                    visitor.buffer.erase(0, end);
                    visitor.refused = !visitor.head.starts_with("HTTP/1.1 200");
                }
            }
        }
        budget_ += uplink * elapsed.count();
        const auto now = Clock::now();
        for (std::size_t idle = 0; idle < visitors_.size() && budget_ >= 1;) {
            auto& visitor = visitors_[turn_++ % visitors_.size()];
            const auto slice = std::min<std::size_t>(
                {visitor.buffer.size(), 1460, static_cast<std::size_t>(budget_)});
            if (visitor.head.empty() || slice == 0) {
                ++idle;
                continue;
            }
            idle = 0;
            visitor.delivered.append(visitor.buffer, 0, slice);
            visitor.buffer.erase(0, slice);
            visitor.deliveries.emplace_back(now, visitor.delivered.size());
            budget_ -= static_cast<double>(slice);
        }
        budget_ = std::min(budget_, uplink / 10); // an idle uplink saves nothing up
    }

    // Seconds of audio a visitor got per second between `from` and `to`,
    // counted in the whole ADTS frames delivered meanwhile.
    static double pace(const Visitor& visitor, Clock::time_point from, Clock::time_point to) {
        const auto at = [&](Clock::time_point moment) {
            std::size_t total = 0;
            for (const auto& [when, size] : visitor.deliveries)
                if (when <= moment) total = size;
            return total;
        };
        const auto begin = at(from), end = at(to);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(visitor.delivered.data());
        double seconds = 0;
        for (std::size_t offset = 0;;) {
            const auto frame = adtsFrameAt({bytes + offset, visitor.delivered.size() - offset});
            if (!frame || offset + frame->length > end) break;
            if (offset >= begin) seconds += 1024 / frame->sampleRate;
            offset += frame->length;
        }
        return seconds / std::chrono::duration<double>(to - from).count();
    }

    const std::vector<Visitor>& visitors() const { return visitors_; }

private:
    std::uint16_t port_;
    std::vector<Visitor> visitors_;
    double budget_ = 0;
    std::size_t turn_ = 0; // whose slice the uplink carries next
};

} // namespace

int main() {
    auto fanout = std::make_shared<Fanout>(StationConfig::burstBytes, 256);
    StreamServer server(
        fanout, "", [](double) { return std::string("{}"); }, [] { return std::nullopt; },
        [] { return Access{}; });
    server.trustTunnel([](int) { return true; }); // every visitor stands for one through the tunnel
    auto started = server.start(asio::use_future);
    if (started.wait_for(5s) != std::future_status::ready) return 1;
    const auto port = started.get();

    std::atomic<bool> publishing{true};
    std::vector<Clock::time_point> published; // when each 4096-sample block went out
    std::thread publisher([&] {               // a tone, encoded as the station does, in real time
        auto made = AACEncoder::make(48000, 2, StationConfig::bitrate);
        std::vector<float> block(2 * 4096);
        double phase = 0;
        for (auto next = Clock::now(); publishing; next += std::chrono::microseconds(85333)) {
            for (std::size_t i = 0; i < block.size(); i += 2, phase += 2 * M_PI * 440 / 48000)
                block[i] = block[i + 1] = static_cast<float>(0.4 * std::sin(phase));
            const auto encoded = made.encoder->encode(block);
            fanout->publish(Chunk(Bytes(encoded.begin(), encoded.end())));
            published.push_back(Clock::now());
            std::this_thread::sleep_until(next);
        }
    });
    const int local = connectTo(port, "");
    NarrowTunnel tunnel(port);
    const auto start = Clock::now();
    std::array<char, 65536> drained{};
    for (auto last = start; Clock::now() - start < 40s; std::this_thread::sleep_for(5ms)) {
        const auto now = Clock::now();
        if (tunnel.visitors().size() < 15 && now - start >= tunnel.visitors().size() * 1s)
            tunnel.visit(static_cast<int>(tunnel.visitors().size()));
        tunnel.step(now - last);
        while (::recv(local, drained.data(), drained.size(), 0) > 0) {
        }
        last = now;
    }
    publishing = false;
    publisher.join();

    // Measured against what was published: a machine too busy to publish in
    // real time slows the source, not the uplink.
    const auto source =
        static_cast<double>(std::count_if(published.begin(), published.end(),
                                          [&](auto at) { return at >= start + 30s; })) *
        4096 / 48000 / 10;
    std::printf("the source published at %.3f of real time\n", source);
    int inRealTime = 0;
    bool slowCarried = false;
    for (const auto& visitor : tunnel.visitors()) {
        const auto pace = NarrowTunnel::pace(visitor, start + 30s, start + 40s) / source;
        // Let go: the station closed the stream, though the tunnel may still
        // hold some of it for the visitor.
        pollfd closed{visitor.fd, POLLRDHUP, 0};
        const bool letGo =
            visitor.letGo || (::poll(&closed, 1, 0) > 0 && closed.revents & POLLRDHUP);
        const bool carried = !visitor.refused && !letGo;
        inRealTime += carried && pace >= 0.97;
        slowCarried = slowCarried || (carried && pace < 0.97);
        if (carried)
            std::printf("carried at %.3f\n", pace);
        else
            std::printf("%s\n", visitor.refused ? "refused" : "let go");
    }
    pollfd localClosed{local, POLLRDHUP, 0};
    const bool localKept = !(::poll(&localClosed, 1, 0) > 0 && localClosed.revents & POLLRDHUP);
    const auto room = server.room();
    std::printf("%d in real time, room %zu, the listener on this computer %s\n", inRealTime,
                room.value_or(0), localKept ? "kept" : "LET GO");
    ::close(local);
    return !slowCarried && inRealTime >= 8 && localKept && room && *room >= 8 && *room <= 11 ? 0
                                                                                             : 1;
}
