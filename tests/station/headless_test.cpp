// lantern-fm --headless end to end: a player's tone on the private sound
// server, through the station and the tunnel stand-in's forward, decoded by
// ffmpeg; then a signal ends it all.
#include "support/child_process.h"
#include "support/qt_wait.h"
#include "support/sound_daemon.h"
#include "support/raw_client.h"
#include "support/tone.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
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

// A running lantern-fm whose standard output is read line by line.
class Headless {
public:
    Headless(const QTemporaryDir& home, std::vector<std::string> extra,
             const std::string& cloudflared) {
        std::vector<std::string> arguments{LANTERN_FM, "--headless"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto path = [&](const char* name) { return home.filePath(name).toStdString(); };
        pid_ = startProgram(arguments,
                            {"XDG_DATA_HOME=" + path("data"), "XDG_CONFIG_HOME=" + path("config"),
                             "LANTERN_CLOUDFLARED=" + cloudflared,
                             "FAKE_TUNNEL_FORWARD=" + path("forward"),
                             "FAKE_TUNNEL_RECORD=" + path("launches"),
                             "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/lantern-test-bus"},
                            nullptr, &output_);
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
            lines_.push_back(pending_.substr(0, end));
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

TEST(HeadlessRun, BroadcastsAPlayerThroughTheTunnelWithItsPasscodeAndEndsOnSigterm) {
    QTemporaryDir home;
    QDir().mkpath(home.filePath("data/lantern-fm"));
    {
        QFile secret(home.filePath("data/lantern-fm/passcode"));
        ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
        secret.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        secret.write("open sesame");
    }
    sound->play("e2e-player", 1000);
    Headless station(home, {"--source=e2e-player", "--stationName=Porch Radio"}, FAKE_CLOUDFLARED);

    const auto local = station.line("listen locally: ");
    ASSERT_TRUE(local);
    const auto localPort = portFrom(*local);
    const auto share = station.line("share: ");
    ASSERT_TRUE(share);
    EXPECT_EQ(*share, "https://quiet-river-4821.trycloudflare.com#k=open%20sesame");

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
    EXPECT_TRUE(eventually([&] { return ::kill(tunnel, 0) != 0; }, 3s))
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

} // namespace
} // namespace lantern::test
