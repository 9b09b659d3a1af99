// lantern-fm --headless end to end: a player's tone on the private sound
// server, through the station and the tunnel stand-in's forward, decoded by
// ffmpeg; then a signal ends it all.
#include "station/station_fixture.h"
#include "support/child_process.h"
#include "system/child_process.h"
#include "support/qt_wait.h"
#include "support/sound_daemon.h"
#include "support/raw_client.h"
#include "support/tone.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern lantern::test::SoundDaemon* sound;

namespace lantern::test {
namespace {

using namespace std::chrono_literals;

// How a station is started: its output to a terminal, or under another program.
struct How {
    bool terminal = false;
    std::vector<std::string> before; // a program it runs under (prlimit, say)

    static How onTerminal() {
        How how;
        how.terminal = true;
        return how;
    }
    static How under(std::vector<std::string> program) {
        How how;
        how.before = std::move(program);
        return how;
    }
};

// A running lantern-fm whose standard output is read line by line: a pipe,
// or a terminal of its own.
class Headless {
public:
    Headless(const QTemporaryDir& home, std::vector<std::string> extra,
             const std::string& cloudflared, const How& how = How()) {
        std::vector<std::string> arguments = how.before;
        arguments.insert(arguments.end(), {LANTERN_FM, "--headless"});
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto path = [&](const char* name) { return home.filePath(name).toStdString(); };
        ChildOptions options;
        options.searchPath = true;
        options.environment = {"XDG_DATA_HOME=" + path("data"),
                               "XDG_CONFIG_HOME=" + path("config"),
                               "LANTERN_CLOUDFLARED=" + cloudflared,
                               "FAKE_TUNNEL_FORWARD=" + path("forward"),
                               "FAKE_TUNNEL_RECORD=" + path("launches"),
                               "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/lantern-test-bus"};
        int terminal = -1;
        if (how.terminal) {
            output_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ::grantpt(output_);
            ::unlockpt(output_);
            terminal = ::open(::ptsname(output_), O_RDWR | O_NOCTTY | O_CLOEXEC);
            options.outputTo = terminal;
        } else {
            options.pipeOutput = true;
        }
        const auto child = startChild(arguments, options);
        pid_ = child.pid;
        if (!how.terminal) output_ = child.output;
        if (terminal >= 0) ::close(terminal);
    }
    pid_t pid() const { return pid_; }
    // Stops reading: the station's output now goes nowhere.
    void closeOutput() {
        ::close(output_);
        output_ = -1;
    }
    ~Headless() {
        if (pid_ > 0) endProgram(pid_);
        if (output_ >= 0) ::close(output_);
    }

    // The first line beginning with `prefix` (without it), waiting at most `wait`.
    std::optional<std::string> line(const std::string& prefix, std::chrono::seconds wait = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            for (const auto& seen : lines_)
                if (seen.starts_with(prefix)) return seen.substr(prefix.size());
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(left)) return std::nullopt;
        }
    }

    // Sends `signal` and waits for the exit status (-1 when it did not exit).
    int stop(int signal) {
        ::kill(pid_, signal);
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }

    const std::vector<std::string>& lines() const { return lines_; }

private:
    bool readSome(std::chrono::milliseconds wait) {
        pollfd ready{output_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return false;
        char buffer[4096];
        const auto got = ::read(output_, buffer, sizeof buffer);
        if (got <= 0) return false;
        pending_.append(buffer, static_cast<std::size_t>(got));
        for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
            auto line = pending_.substr(0, end);
            if (line.ends_with('\r')) line.pop_back(); // a terminal ends lines with CR LF
            lines_.push_back(std::move(line));
            pending_.erase(0, end + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
};

std::uint16_t portFrom(const std::string& text) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(R"(127\.0\.0\.1:(\d+))"))) return 0;
    return static_cast<std::uint16_t>(std::stoi(match[1]));
}

std::pair<int, nlohmann::json> now(std::uint16_t port, const std::string& query) {
    const auto answer = fetch(port, "/now?lag=0" + query);
    const auto status = answer.size() > 12 ? std::stoi(answer.substr(9, 3)) : 0;
    const auto body = answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
    return {status, nlohmann::json::parse(body, nullptr, false)};
}

QTemporaryDir& withPasscode(QTemporaryDir& home, const char* passcode) {
    QDir().mkpath(home.filePath("data/lantern-fm"));
    QFile secret(home.filePath("data/lantern-fm/passcode"));
    if (secret.open(QIODevice::WriteOnly)) {
        secret.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        secret.write(passcode);
    }
    return home;
}

TEST(HeadlessRun, BroadcastsAPlayerThroughTheTunnelWithItsPasscodeAndEndsOnSigterm) {
    QTemporaryDir home;
    sound->play("e2e-player", 1000);
    Headless station(withPasscode(home, "open sesame"),
                     {"--source=e2e-player", "--stationName=Porch Radio"}, FAKE_CLOUDFLARED);

    const auto local = station.line("listen locally: ");
    ASSERT_TRUE(local);
    const auto localPort = portFrom(*local);
    // Its output is not a terminal, so the link is shown without the passcode.
    const auto share = station.line("share: ");
    ASSERT_TRUE(share);
    EXPECT_EQ(*share, "https://quiet-river-4821.trycloudflare.com");

    std::uint16_t forward = 0;
    for (int i = 0; i < 100 && !forward; ++i, std::this_thread::sleep_for(50ms))
        std::ifstream(home.filePath("forward").toStdString()) >> forward;
    ASSERT_NE(forward, 0);

    // Through the forward, as a listener would come: the passcode guards the record.
    EXPECT_EQ(now(forward, "").first, 404);
    EXPECT_EQ(now(forward, "&k=wrong").first, 404);
    const auto [status, record] = now(forward, "&k=open%20sesame");
    ASSERT_EQ(status, 200);
    EXPECT_EQ(record["station"], "Porch Radio");
    EXPECT_EQ(record["listeners"], 0);

    const auto heard = home.filePath("heard.f32").toStdString();
    std::thread listener([&] {
        runProgram({"ffmpeg", "-v", "error", "-y", "-i",
                    "http://127.0.0.1:" + std::to_string(forward) +
                        "/stream?l=porch-listener&k=open%20sesame",
                    "-t", "5", "-ac", "1", "-ar", "8000", "-f", "f32le", heard},
                   30s);
    });
    bool counted = false;
    for (int i = 0; i < 60 && !counted; ++i, std::this_thread::sleep_for(100ms))
        counted = now(localPort, "&k=open%20sesame").second.value("listeners", 0) == 1;
    listener.join();
    EXPECT_TRUE(counted);
    EXPECT_TRUE(station.line("listeners: 1", 5s));

    std::ifstream file(heard, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    std::vector<float> decoded(bytes.size() / sizeof(float));
    std::memcpy(decoded.data(), bytes.data(), decoded.size() * sizeof(float));
    ASSERT_GE(decoded.size(), 8000u * 4) << "ffmpeg decoded too little";
    EXPECT_NEAR(dominantFrequency(std::span<const float>(decoded).subspan(8000, 8000), 8000), 1000,
                20);

    // A listener still connected when the signal comes sees its stream end.
    RawClient late(localPort);
    ASSERT_TRUE(late.send("GET /stream?k=open%20sesame HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_FALSE(late.readAtLeast(200).empty());
    pid_t tunnel = 0;
    std::ifstream(home.filePath("launches").toStdString()) >> tunnel;
    ASSERT_GT(tunnel, 0);

    EXPECT_EQ(station.stop(SIGTERM), 0);
    EXPECT_TRUE(late.closedByPeer(3s));
    EXPECT_TRUE(eventually([&] { return processGone(tunnel); }, 3s))
        << "the tunnel tool outlived the station";
}

TEST(HeadlessRun, WithoutTheTunnelToolItStaysOnAirLocally) {
    QTemporaryDir home;
    Headless station(home, {}, home.filePath("missing-cloudflared").toStdString());
    const auto local = station.line("listen locally: ");
    ASSERT_TRUE(local);
    EXPECT_TRUE(station.line("cloudflared isn't installed"));
    const auto [status, record] = now(portFrom(*local), "");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(record["station"], "Lantern FM");
    EXPECT_EQ(station.stop(SIGINT), 0);
    for (const auto& line : station.lines())
        EXPECT_FALSE(line.starts_with("share: ")) << line;
}

// The passcode in the link is for the user's eyes: on a terminal it is shown.
TEST(HeadlessRun, ThePasscodeIsShownOnATerminal) {
    QTemporaryDir home;
    Headless station(withPasscode(home, "open sesame"), {}, FAKE_CLOUDFLARED, How::onTerminal());
    const auto share = station.line("share: ");
    ASSERT_TRUE(share);
    EXPECT_EQ(*share, "https://quiet-river-4821.trycloudflare.com#k=open%20sesame");
    EXPECT_EQ(station.stop(SIGTERM), 0);
}

// A log line written after its reader went away (a closed terminal, a log
// collector that stopped) is a failed write, not the end of the station.
TEST(HeadlessRun, OutputThatGoesAwayDoesNotEndTheStation) {
    QTemporaryDir home;
    Headless station(home, {}, FAKE_CLOUDFLARED);
    const auto local = station.line("listen locally: ");
    ASSERT_TRUE(local);
    const auto port = portFrom(*local);
    station.closeOutput();
    RawClient listener(port); // "listeners: 1" is printed to nobody
    listener.send("GET /stream HTTP/1.1\r\n\r\n");
    listener.readAtLeast(1000);
    std::this_thread::sleep_for(2500ms);
    int status = 0;
    EXPECT_EQ(::waitpid(station.pid(), &status, WNOHANG), 0) << "the station ended";
    EXPECT_EQ(now(port, "").first, 200);
}

// Listeners cannot take the descriptors the station needs for itself: with
// the 1024 a desktop starts programs with, 1,500 listeners that never read
// leave a fresh listener its full stream and the now-playing record its
// answers; the 1,501st past "maxListeners" hears that the station is full.
TEST(HeadlessRun, IdleListenersCannotExhaustItsDescriptors) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_GE(limit.rlim_max, 4000u) << "this test needs a hard limit of 4000 open files";
    const auto ownLimit = limit;
    limit.rlim_cur = limit.rlim_max; // the clients below are ours
    ::setrlimit(RLIMIT_NOFILE, &limit);

    QTemporaryDir home;
    Headless station(home, {"--maxListeners=1500"}, FAKE_CLOUDFLARED,
                     How::under(
                         {"prlimit", "--nofile=1024:" + std::to_string(ownLimit.rlim_max)}));
    const auto local = station.line("listen locally: ");
    ASSERT_TRUE(local);
    const auto port = portFrom(*local);

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 1500; ++i) {
        idle.push_back(std::make_unique<RawClient>(port, 2048));
        ASSERT_TRUE(idle.back()->connected()) << "connection " << i << " refused";
        idle.back()->send("GET /stream HTTP/1.1\r\n\r\n");
    }
    const auto counted = [&](int listeners) {
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(100ms))
            if (now(port, "").second.value("listeners", -1) == listeners) return true;
        return false;
    };
    ASSERT_TRUE(counted(1500));
    const auto full = fetch(port, "/stream");
    EXPECT_TRUE(full.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << full.substr(0, 40);
    EXPECT_NE(full.find("Retry-After: 10\r\n"), std::string::npos);

    idle.pop_back(); // one place frees up for a fresh listener
    ASSERT_TRUE(counted(1499));
    StreamEar fresh(port);
    ASSERT_TRUE(fresh.waitForAudio());
    const auto from = std::chrono::steady_clock::now();
    fresh.listen(3s);
    EXPECT_NEAR(fresh.pace(from, std::chrono::steady_clock::now()), 1.0, 0.05);
    EXPECT_EQ(now(port, "").first, 200);

    idle.clear();
    EXPECT_TRUE(counted(1));
    EXPECT_EQ(station.stop(SIGTERM), 0);
    ::setrlimit(RLIMIT_NOFILE, &ownLimit);
}

} // namespace
} // namespace lantern::test
