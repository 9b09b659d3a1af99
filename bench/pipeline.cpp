// The whole on-air pipeline under load: a private sound server plays a
// music-like signal with a click every two seconds; the station captures the
// whole computer, encodes and serves it on its local server to N listeners
// held by a separate process. Prints, per N, what the audio path costs per
// captured block, the station process's CPU share and memory, and how long a
// click takes from the sound server's output to a listener (after the burst),
// found by decoding one listener's stream.
//
//   pipeline [seconds per round = 60] [N ... = 1 10 100]
//
// With PIPELINE_RECORD=1 in the environment the station also keeps the show
// as a file (in a temporary folder), as with "Record" on; with PIPELINE_EVEN=0
// it leaves loudness as it comes ("Even Out Loudness" off).
//
// Each round runs in a fresh process (this program started again with
// --round), so rounds do not share threads, sockets or memory.

#include "core/stream/aac_encoder.h"
#include "settings/settings.h"
#include "station/station.h"
#include "support/sound_daemon.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <numbers>
#include <numeric>
#include <poll.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

extern char** environ;

using namespace lantern;
using namespace std::chrono_literals;

namespace {

constexpr int rate = 48000;
constexpr int blockFrames = 480; // 10 ms
constexpr int clickEvery = 200;  // blocks: every 2 s
constexpr float clickThreshold = 0.6f;

std::int64_t monotonicNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Shared between the three processes of a round (station, player, listeners).
struct Board {
    std::atomic<int> clicks{0};
    std::int64_t clickAt[4096]{}; // when each click reaches the sink (monotonic ns)
    std::atomic<int> delays{0};
    std::int64_t delay[4096]{};
    std::atomic<int> connected{0};
    std::atomic<std::int64_t> bytes{0};
    std::atomic<bool> stop{false};
};

// Plays into the default sink, paced by it, with a small buffer so a written
// click sounds soon; records when each click will be played.
void player(Board& board) {
    pa_sample_spec format{PA_SAMPLE_FLOAT32LE, rate, 2};
    pa_buffer_attr buffer{};
    buffer.maxlength = std::uint32_t(-1);
    buffer.tlength = blockFrames * 2 * 4 * 3; // 30 ms
    buffer.prebuf = std::uint32_t(-1);
    buffer.minreq = std::uint32_t(-1);
    buffer.fragsize = std::uint32_t(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "pipeline-player", PA_STREAM_PLAYBACK, nullptr,
                                      "music", &format, nullptr, &buffer, &error);
    if (!stream) {
        std::fprintf(stderr, "player: %s\n", pa_strerror(error));
        std::_Exit(1);
    }
    std::mt19937 noise(7);
    std::uniform_real_distribution<float> hiss(-0.02f, 0.02f);
    std::vector<float> block(blockFrames * 2);
    std::int64_t frame = 0;
    for (int index = 0; !board.stop; ++index) {
        const bool click = index > 0 && index % clickEvery == 0;
        for (int i = 0; i < blockFrames; ++i, ++frame) {
            const double t = double(frame) / rate;
            float music = float(0.08 * std::sin(2 * std::numbers::pi * 220 * t) +
                                0.06 * std::sin(2 * std::numbers::pi * 330 * t + 1) +
                                0.04 * std::sin(2 * std::numbers::pi * 1210 * t)) +
                          hiss(noise);
            if (click && i < 240) music = float(0.95 * std::sin(2 * std::numbers::pi * 1000 * t));
            block[2 * i] = block[2 * i + 1] = music;
        }
        if (pa_simple_write(stream, block.data(), block.size() * sizeof(float), &error) < 0) break;
        if (click) {
            const auto latency = std::int64_t(pa_simple_get_latency(stream, &error)) * 1000;
            // The block just written is the last one out: it starts that much later.
            const int n = board.clicks.load();
            if (n < 4096) {
                board.clickAt[n] = monotonicNanos() + latency - 10'000'000;
                board.clicks = n + 1;
            }
        }
    }
    pa_simple_free(stream);
}

// Holds `count` listeners on the station's port; the first decodes its stream
// and reports each click's delay.
void listeners(Board& board, int port, int count) {
    struct Connection {
        int fd = -1;
        bool headDone = false;
        std::string pending;
    };
    std::vector<Connection> connections(count);
    for (int i = 0; i < count; ++i) {
        auto& connection = connections[i];
        connection.fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(connection.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("connect");
            std::_Exit(1);
        }
        const auto request =
            "GET /stream?l=bench-" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n\r\n";
        [[maybe_unused]] auto sent = ::send(connection.fd, request.data(), request.size(), 0);
        ::fcntl(connection.fd, F_SETFL, O_NONBLOCK);
        board.connected++;
    }
    const auto connectedAt = monotonicNanos();

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    avcodec_open2(decoder, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::int64_t lastDetection = 0;

    const auto decode = [&](const std::uint8_t* data, int size, std::int64_t arrived) {
        av_new_packet(packet, size);
        std::memcpy(packet->data, data, std::size_t(size));
        if (avcodec_send_packet(decoder, packet) < 0) return;
        while (avcodec_receive_frame(decoder, frame) == 0) {
            const auto* samples = reinterpret_cast<const float*>(frame->data[0]);
            float peak = 0;
            for (int i = 0; i < frame->nb_samples; ++i)
                peak = std::max(peak, std::fabs(samples[i]));
            // Clicks in the burst are old news: only those heard live count.
            if (peak < clickThreshold || arrived - connectedAt < 1'000'000'000 ||
                arrived - lastDetection < 1'000'000'000)
                continue;
            lastDetection = arrived;
            std::int64_t played = 0;
            for (int c = 0; c < board.clicks.load(); ++c)
                if (board.clickAt[c] <= arrived) played = board.clickAt[c];
            const int n = board.delays.load();
            if (played && n < 4096) {
                board.delay[n] = arrived - played;
                board.delays = n + 1;
            }
        }
    };

    std::vector<pollfd> ready(connections.size());
    char buffer[65536];
    while (!board.stop) {
        for (std::size_t i = 0; i < connections.size(); ++i)
            ready[i] = {connections[i].fd, POLLIN, 0};
        if (::poll(ready.data(), ready.size(), 200) <= 0) continue;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (!(ready[i].revents & POLLIN)) continue;
            const auto got = ::recv(connections[i].fd, buffer, sizeof buffer, 0);
            if (got <= 0) continue;
            board.bytes += got;
            if (i != 0) continue;
            const auto arrived = monotonicNanos();
            auto& probe = connections[0];
            probe.pending.append(buffer, std::size_t(got));
            if (!probe.headDone) {
                const auto end = probe.pending.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                probe.pending.erase(0, end + 4);
                probe.headDone = true;
            }
            // Whole ADTS frames.
            std::size_t at = 0;
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(probe.pending.data());
            while (const auto header = adtsFrameAt({bytes + at, probe.pending.size() - at})) {
                if (probe.pending.size() - at < header->length) break;
                decode(bytes + at, int(header->length), arrived);
                at += header->length;
            }
            probe.pending.erase(0, at);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
}

template <typename T> T percentile(std::vector<T> values, double p) {
    if (values.empty()) return T{};
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}

long statusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
    return 0;
}

int round(int seconds, int count, int argc, char** argv) {
    auto* board = static_cast<Board*>(
        ::mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (board) Board();
    lantern::test::SoundDaemon pulse;
    if (!pulse.running()) {
        std::fprintf(stderr, "could not start a private PulseAudio daemon\n");
        return 1;
    }
    pulse.pactl({"set-default-sink", "other"}); // the 48 kHz sink

    // Children first, before this process has threads of its own.
    const pid_t playing = ::fork();
    if (playing == 0) {
        player(*board);
        std::_Exit(0);
    }
    int portPipe[2];
    if (::pipe(portPipe) != 0) return 1;
    const pid_t listening = ::fork();
    if (listening == 0) {
        ::close(portPipe[1]);
        int port = 0;
        if (::read(portPipe[0], &port, sizeof port) != sizeof port) std::_Exit(1);
        listeners(*board, port, count);
        std::_Exit(0);
    }
    ::close(portPipe[0]);

    QCoreApplication application(argc, argv);
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    qputenv("LANTERN_CLOUDFLARED", home.filePath("no-tunnel").toUtf8()); // local listeners only
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lantern-bench-bus");
    Settings settings(home.filePath("settings.ini"));
    const bool recording = qEnvironmentVariableIntValue("PIPELINE_RECORD") == 1;
    const bool even = qgetenv("PIPELINE_EVEN") != "0";
    settings.setValue("evenLoudness", even);
    if (recording) {
        settings.setValue("recordShows", true);
        settings.setValue("recordingsFolder", home.filePath("shows"));
    }
    AddressClient addresses(QUrl("http://127.0.0.1:9"), 1s);

    std::mutex costsMutex;
    std::vector<double> costs; // µs per block
    costs.reserve(std::size_t(seconds) * 200);
    std::atomic<bool> measuring{false};
    Station::Environment environment;
    environment.settings = &settings;
    environment.addresses = &addresses;
    environment.watchSystem = false;
    environment.blockCost = [&](std::chrono::nanoseconds cost) {
        if (!measuring) return;
        std::lock_guard lock(costsMutex);
        costs.push_back(double(cost.count()) / 1000.0);
    };
    Station station(environment);
    QSignalSpy ports(&station, &Station::listening);
    station.choose(AudioSource::wholeMac());
    station.goOnAir();
    while (ports.isEmpty())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    int port = ports.front().front().value<quint16>();
    [[maybe_unused]] auto written = ::write(portPipe[1], &port, sizeof port);

    // Let the listeners connect and take their burst, then measure.
    const auto settle = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < settle)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    const auto bytesBefore = board->bytes.load();
    measuring = true;
    QTimer::singleShot(std::chrono::seconds(seconds), &application, &QCoreApplication::quit);
    application.exec();
    measuring = false;
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long rss = statusKiB("VmRSS:");
    const auto bytes = board->bytes.load() - bytesBefore;
    const int connected = board->connected.load();

    station.goOffAir();
    board->stop = true;
    ::kill(listening, SIGTERM);
    ::waitpid(listening, nullptr, 0);
    ::waitpid(playing, nullptr, 0);

    const auto seconds_of = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    const double user = seconds_of(after.ru_utime) - seconds_of(before.ru_utime);
    const double system = seconds_of(after.ru_stime) - seconds_of(before.ru_stime);
    std::vector<double> delays;
    for (int i = 0; i < board->delays.load(); ++i)
        delays.push_back(double(board->delay[i]) / 1e6);
    std::lock_guard lock(costsMutex);
    const double mean =
        costs.empty() ? 0.0
                      : std::accumulate(costs.begin(), costs.end(), 0.0) / double(costs.size());
    std::printf("N=%-4d %s, %s blocks %zu  callback mean %.1f µs  p50 %.1f µs  p99 %.1f µs  "
                "max %.1f µs | "
                "CPU %.3f s/s (user %.3f, system %.3f) | RSS %.1f MiB | "
                "click→listener p50 %.0f ms  p99 %.0f ms (%zu clicks) | "
                "%.1f kbit/s per listener, %d connected\n",
                count, recording ? "recording" : "no recording",
                even ? "even loudness" : "loudness as it comes", costs.size(), mean,
                percentile(costs, 0.5), percentile(costs, 0.99),
                costs.empty() ? 0.0 : *std::max_element(costs.begin(), costs.end()),
                (user + system) / wall, user / wall, system / wall, double(rss) / 1024.0,
                percentile(delays, 0.5), percentile(delays, 0.99), delays.size(),
                double(bytes) * 8 / 1000 / wall / std::max(1, connected), connected);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--round")
        return round(std::atoi(argv[2]), std::atoi(argv[3]), argc, argv);
    int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {1, 10, 100};
    std::printf("pipeline: %d s per round, 48 kHz music-like signal, a click every 2 s\n", seconds);
    std::fflush(stdout);
    for (const int count : counts) {
        const auto s = std::to_string(seconds), n = std::to_string(count);
        const char* child[] = {"/proc/self/exe", "--round", s.c_str(), n.c_str(), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, child[0], nullptr, nullptr, const_cast<char**>(child), environ) != 0)
            return 1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    }
    return 0;
}
