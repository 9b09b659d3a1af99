// Load on the stream server: a server process publishes encoder-sized chunks
// at the encoder's pace while a separate client process holds N listeners over
// loopback. For each N it prints the server's CPU use and memory, how many
// listeners received (almost) every published byte, how long a new listener
// waits for the whole burst, and what one publish() costs.
//
//   fanout_load [seconds per round = 30] [N ... = 100 1000 5000]
//
// WINDOW_MINUTES=M keeps M minutes of audio for listeners behind live, filled
// before the round with chunks stamped as if published over those minutes;
// BEHIND=1 then spreads the listeners evenly over the window (listener i of
// N asks for behind=i*M*60/N).
//
// LIGHT=1 publishes the light stream beside the full one, as the station
// does (a chunk of each every interval, the light one a third the size, the
// publish timed for both), and every other listener asks for it
// (light=1): the server's cost of N listeners split between the two forms,
// against N on the full stream without it.

#include "core/config/station_config.h"
#include "core/station/audio_path.h"
#include "core/stream/fanout.h"
#include "core/stream/http.h"
#include "core/stream/stream_server.h"

#include <algorithm>
#include <array>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace lantern;
using Clock = std::chrono::steady_clock;

namespace {

// Chunks as the station publishes them: whole AAC frames (560 bytes, 1024
// samples at 48 kHz, at 192 kbit/s) gathered for AudioPath::publishEvery.
constexpr std::size_t framesPerChunk =
    static_cast<std::size_t>(AudioPath::publishEvery * 48000 / 1024) + 1;
constexpr std::size_t chunkBytes = 560 * framesPerChunk;
// The light stream's chunks: the same frames at a third of the bit rate.
constexpr std::size_t lightChunkBytes =
    chunkBytes * StationConfig::lightBitrate / StationConfig::bitrate;
constexpr int lightBurstBytes =
    static_cast<int>(StationConfig::lightBitrate / 8.0 * StationConfig::burstSeconds);
constexpr std::chrono::nanoseconds chunkInterval{21'333'333 * framesPerChunk};
constexpr std::size_t maxConnectsInFlight = 256;

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

double seconds(timeval t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double kernelCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_stime);
}

double residentMiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field))
            return std::strtod(line.c_str() + std::strlen(field), nullptr) / 1024;
    return 0;
}

void raiseOpenFileLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

std::string readLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

void writeLine(int fd, const std::string& line) {
    const auto text = line + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::exit(3);
}

Chunk makeChunk(std::uint64_t sequence, Clock::time_point at = Clock::now(),
                std::size_t size = chunkBytes) {
    Bytes bytes(size, static_cast<std::uint8_t>(sequence));
    bytes[0] = 0xFF; // looks like the start of an ADTS frame; content is irrelevant here
    return Chunk(std::move(bytes), at);
}

int windowMinutes() {
    const char* value = std::getenv("WINDOW_MINUTES");
    return value ? std::atoi(value) : 0;
}

bool lightToo() {
    const char* value = std::getenv("LIGHT");
    return value && std::string_view(value) == "1";
}

// Every other listener asks for the light stream when it is published.
bool asksLight(std::size_t listener) {
    return lightToo() && listener % 2 == 1;
}

// The server process: serve, publish at the encoder's pace, and measure the
// window between "go" and "stop" from the client.
[[noreturn]] void runServer(int commands, int results) {
    const auto forms =
        Renditions::make(StationConfig::burstSeconds, StationConfig::bitrate,
                         StationConfig::lightBitrate, StationConfig::perListenerLimit);
    const auto& fanout = forms.full;
    const bool light = lightToo();
    StreamServer server(
        fanout, "<html></html>", [](double) { return std::string("{}"); },
        [] { return std::optional<Cover>(); }, [] { return Access{}; });
    if (light)
        server.setLight(forms.light, nullptr,
                        double(StationConfig::lightBitrate) / StationConfig::bitrate);
    const auto port = server.start(asio::use_future).get();

    // A chunk of each form being made, as the audio path publishes them together.
    std::uint64_t sequence = 0;
    const auto publish = [&](Clock::time_point at) {
        fanout->publish(makeChunk(sequence, at));
        if (light) forms.light->publish(makeChunk(sequence, at, lightChunkBytes));
        ++sequence;
    };
    const auto window = std::chrono::minutes(windowMinutes());
    forms.setWindow(window);
    const auto filledFrom = Clock::now() - window;
    for (auto at = filledFrom; at < Clock::now(); at += chunkInterval)
        publish(at);
    while (static_cast<int>(sequence * chunkBytes) < StationConfig::burstBytes)
        publish(Clock::now());

    std::atomic<int> phase{0}; // 0 warming, 1 measuring, 2 stopped
    std::atomic<std::uint64_t> published{0}, lightPublished{0};
    std::vector<double> publishMicros;
    publishMicros.reserve(4096);
    std::thread publisher([&] {
        auto due = Clock::now();
        while (phase.load() < 2) {
            due += chunkInterval;
            std::this_thread::sleep_until(due);
            auto chunk = makeChunk(sequence);
            std::optional<Chunk> lightChunk;
            if (light) lightChunk = makeChunk(sequence, Clock::now(), lightChunkBytes);
            ++sequence;
            const auto before = Clock::now();
            fanout->publish(std::move(chunk));
            if (lightChunk) forms.light->publish(std::move(*lightChunk));
            const auto took = std::chrono::duration<double, std::micro>(Clock::now() - before);
            if (phase.load() == 1) {
                publishMicros.push_back(took.count());
                published += chunkBytes;
                if (light) lightPublished += lightChunkBytes;
            }
        }
    });

    writeLine(results, std::to_string(port));
    readLine(commands); // go
    const auto cpuAtGo = cpuSeconds();
    const auto kernelAtGo = kernelCpuSeconds();
    const auto wallAtGo = Clock::now();
    phase = 1;
    readLine(commands); // stop
    phase = 2;
    publisher.join();
    const auto wall = std::chrono::duration<double>(Clock::now() - wallAtGo).count();
    const auto cpu = cpuSeconds() - cpuAtGo;
    const auto kernel = kernelCpuSeconds() - kernelAtGo;
    std::ostringstream report;
    report << published.load() << ' ' << cpu / wall << ' ' << kernel / wall << ' '
           << residentMiB("VmRSS:") << ' ' << residentMiB("VmHWM:") << ' '
           << percentile(publishMicros, 0.5) << ' ' << percentile(publishMicros, 0.99) << ' '
           << lightPublished.load();
    writeLine(results, report.str());
    readLine(commands); // exit
    forms.closeAll();
    std::_Exit(0);
}

// One listener as the client sees it.
struct Stream {
    explicit Stream(asio::io_context& io) : socket(io) {}
    asio::ip::tcp::socket socket;
    std::string head;
    bool inBody = false;
    std::uint64_t bodyBytes = 0;
    Clock::time_point connectStarted;
    bool light = false;           // it asked for the light stream
    std::uint64_t burstBytes = 0; // its form's burst
    double burstMillis = -1;
    double firstByteMillis = -1;
    std::string request;
};

class Client {
public:
    Client(std::uint16_t port, std::size_t count)
        : endpoint_(asio::ip::address_v4::loopback(), port) {
        const bool behind = std::getenv("BEHIND") != nullptr;
        const double window = windowMinutes() * 60.0;
        for (std::size_t i = 0; i < count; ++i) {
            auto& stream = *streams_.emplace_back(std::make_unique<Stream>(io_));
            const auto seconds = behind ? window * double(i) / double(count) : 0.0;
            stream.light = asksLight(i);
            stream.burstBytes = static_cast<std::uint64_t>(
                stream.light ? lightBurstBytes : StationConfig::burstBytes);
            stream.request = "GET /stream?behind=" + std::to_string(int(seconds)) +
                             (stream.light ? "&light=1" : "") + " HTTP/1.1\r\nHost: bench\r\n\r\n";
        }
    }

    // Connects every listener and returns once each has its whole burst.
    bool connectAll(std::chrono::seconds wait) {
        for (std::size_t i = 0; i < std::min(maxConnectsInFlight, streams_.size()); ++i)
            connectNext();
        const auto deadline = Clock::now() + wait;
        while (withBurst_ < streams_.size() && Clock::now() < deadline)
            io_.run_for(std::chrono::milliseconds(50));
        return withBurst_ == streams_.size();
    }

    void runFor(std::chrono::duration<double> span) {
        io_.run_for(std::chrono::duration_cast<std::chrono::nanoseconds>(span));
    }

    std::vector<std::uint64_t> received() const {
        std::vector<std::uint64_t> bytes;
        for (const auto& stream : streams_)
            bytes.push_back(stream->bodyBytes);
        return bytes;
    }

    // Which listeners asked for the light stream.
    std::vector<bool> light() const {
        std::vector<bool> asked;
        for (const auto& stream : streams_)
            asked.push_back(stream->light);
        return asked;
    }

    std::vector<double> burstMillis(bool first = false) const {
        std::vector<double> millis;
        for (const auto& stream : streams_)
            if (const auto took = first ? stream->firstByteMillis : stream->burstMillis; took >= 0)
                millis.push_back(took);
        return millis;
    }

    std::size_t failed() const { return failed_; }

private:
    void connectNext() {
        if (nextToConnect_ == streams_.size()) return;
        auto* stream = streams_[nextToConnect_++].get();
        stream->connectStarted = Clock::now();
        stream->socket.async_connect(endpoint_, [this, stream](std::error_code error) {
            if (error) return fail();
            asio::async_write(stream->socket, asio::buffer(stream->request),
                              [this, stream](std::error_code written, std::size_t) {
                                  if (written) return fail();
                                  stream->socket.non_blocking(true);
                                  read(stream);
                              });
        });
    }

    void fail() {
        ++failed_;
        connectNext();
    }

    void read(Stream* stream) {
        stream->socket.async_wait(
            asio::ip::tcp::socket::wait_read, [this, stream](std::error_code error) {
                for (;;) {
                    if (error) return;
                    const auto got = stream->socket.read_some(asio::buffer(buffer_), error);
                    if (error == asio::error::would_block) break;
                    if (error) return;
                    consume(*stream, std::string_view(buffer_.data(), got));
                }
                read(stream);
            });
    }

    void consume(Stream& stream, std::string_view bytes) {
        if (!stream.inBody) {
            stream.head.append(bytes);
            const auto end = stream.head.find("\r\n\r\n");
            if (end == std::string::npos) return;
            stream.inBody = true;
            bytes = std::string_view(stream.head).substr(end + 4);
            stream.bodyBytes += bytes.size();
            stream.head.clear();
            stream.firstByteMillis =
                std::chrono::duration<double, std::milli>(Clock::now() - stream.connectStarted)
                    .count();
        } else {
            stream.bodyBytes += bytes.size();
        }
        if (stream.burstMillis < 0 && stream.bodyBytes >= stream.burstBytes) {
            stream.burstMillis =
                std::chrono::duration<double, std::milli>(Clock::now() - stream.connectStarted)
                    .count();
            ++withBurst_;
            connectNext();
        }
    }

    asio::io_context io_{1};
    asio::ip::tcp::endpoint endpoint_;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::size_t nextToConnect_ = 0;
    std::size_t withBurst_ = 0;
    std::size_t failed_ = 0;
    std::array<char, 65536> buffer_{};
};

// Milliseconds from connecting to the first byte of audio for `count`
// listeners joining one at a time while the crowd plays, each asking for a
// place behind live as the crowd's do; every one leaves at once.
std::vector<double> singleJoins(std::uint16_t port, int count) {
    std::vector<double> millis;
    asio::io_context io;
    const double window = windowMinutes() * 60.0;
    for (int i = 0; i < count; ++i) {
        const auto behind = std::getenv("BEHIND") ? window * (i + 0.5) / count : 0.0;
        const auto request = "GET /stream?behind=" + std::to_string(int(behind)) +
                             (asksLight(static_cast<std::size_t>(i)) ? "&light=1" : "") +
                             " HTTP/1.1\r\nHost: bench\r\n\r\n";
        const auto start = Clock::now();
        asio::ip::tcp::socket socket(io);
        socket.connect({asio::ip::address_v4::loopback(), port});
        asio::write(socket, asio::buffer(request));
        std::string got;
        std::array<char, 4096> buffer{};
        for (std::size_t end = std::string::npos; end == std::string::npos || got.size() <= end + 4;
             end = got.find("\r\n\r\n"))
            got.append(buffer.data(), socket.read_some(asio::buffer(buffer)));
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return millis;
}

void runRound(std::size_t listeners, double seconds) {
    int toServer[2], fromServer[2];
    if (pipe(toServer) != 0 || pipe(fromServer) != 0) std::exit(2);
    const pid_t child = fork();
    if (child == 0) {
        close(toServer[1]);
        close(fromServer[0]);
        runServer(toServer[0], fromServer[1]);
    }
    close(toServer[0]);
    close(fromServer[1]);
    const auto port = static_cast<std::uint16_t>(std::stoi(readLine(fromServer[0])));

    Client client(port, listeners);
    const bool allJoined = client.connectAll(std::chrono::seconds(120));
    const auto before = client.received();
    const auto clientCpuAtGo = cpuSeconds();
    writeLine(toServer[1], "go");
    client.runFor(std::chrono::duration<double>(seconds / 2));
    const auto joins = singleJoins(port, 100);
    client.runFor(std::chrono::duration<double>(seconds / 2));
    const auto clientCpuPerSecond = (cpuSeconds() - clientCpuAtGo) / seconds;
    writeLine(toServer[1], "stop");
    client.runFor(std::chrono::seconds(2)); // let queued chunks drain
    const auto after = client.received();

    std::istringstream report(readLine(fromServer[0]));
    std::uint64_t published = 0, lightPublished = 0;
    double cpuPerSecond = 0, kernelPerSecond = 0, rss = 0, peak = 0, publishP50 = 0, publishP99 = 0;
    report >> published >> cpuPerSecond >> kernelPerSecond >> rss >> peak >> publishP50 >>
        publishP99 >> lightPublished;
    writeLine(toServer[1], "exit");
    waitpid(child, nullptr, 0);

    // Each listener against what its form published.
    const auto light = client.light();
    std::size_t complete = 0, notLight = 0;
    for (std::size_t i = 0; i < after.size(); ++i) {
        const auto got = static_cast<double>(after[i] - before[i]);
        if (got >= 0.99 * static_cast<double>(light[i] ? lightPublished : published)) ++complete;
        // One that asked for the light stream and got the full one would
        // make the comparison meaningless.
        if (light[i] && got > 1.5 * static_cast<double>(lightPublished)) ++notLight;
    }
    const auto burst = client.burstMillis();
    std::printf(
        "N=%-5zu server CPU %.3f s/s (%.0f%% in the kernel)  RSS %.1f MiB (peak %.1f)  >=99%% of "
        "bytes: %.1f%% of "
        "listeners  burst p50 %.1f ms p99 %.1f ms (first byte p99 %.1f ms)  publish p50 %.1f us "
        "p99 %.1f us  (client CPU %.3f s/s)%s\n",
        listeners, cpuPerSecond, 100 * kernelPerSecond / std::max(cpuPerSecond, 1e-9), rss, peak,
        100.0 * static_cast<double>(complete) / static_cast<double>(listeners),
        percentile(burst, 0.5), percentile(burst, 0.99), percentile(client.burstMillis(true), 0.99),
        publishP50, publishP99, clientCpuPerSecond,
        allJoined ? "" : "  (not every listener got its burst)");
    if (notLight > 0)
        std::printf("        %zu listeners asked for the light stream and got more than it\n",
                    notLight);
    std::printf(
        "        one listener joining the crowd: first audio byte p50 %.1f ms p99 %.1f ms\n",
        percentile(joins, 0.5), percentile(joins, 0.99));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    raiseOpenFileLimit();
    const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 30;
    std::vector<std::size_t> counts;
    for (int i = 2; i < argc; ++i)
        counts.push_back(std::strtoul(argv[i], nullptr, 10));
    if (counts.empty()) counts = {100, 1000, 5000};
    std::printf("%.0f s per round, %zu-byte chunks every %.3f ms\n", seconds, chunkBytes,
                std::chrono::duration<double, std::milli>(chunkInterval).count());
    if (lightToo())
        std::printf("mode: full and light (LIGHT=1): %zu-byte light chunks published with each "
                    "full one (publish times are for both), every other listener on the light "
                    "stream\n",
                    lightChunkBytes);
    else
        std::printf("mode: full stream only\n");
    for (const auto n : counts)
        runRound(n, seconds);
}
