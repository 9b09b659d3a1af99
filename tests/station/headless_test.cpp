// lantern-fm --headless as a user runs it: a player's tone on the private
// sound server, through the station to ffmpeg; its output to a pipe or a
// terminal; signals; the descriptors a crowd of listeners may take.
#include "station/station_fixture.h"
#include "system/child_process.h"

#include <QDir>
#include <csignal>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <regex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lantern::test {
namespace {

// A running lantern-fm whose standard output is read line by line: a pipe,
// or a terminal of its own.
class Headless {
public:
    Headless(const QTemporaryDir& home, std::vector<std::string> arguments, bool terminal = false,
             std::vector<std::string> under = {}, std::string cloudflared = FAKE_CLOUDFLARED) {
        World::sound();
        arguments.insert(arguments.begin(), {LANTERN_FM, "--headless"});
        arguments.insert(arguments.begin(), under.begin(), under.end());
        const auto path = [&](const char* name) { return home.filePath(name).toStdString(); };
        ChildOptions options;
        options.searchPath = true;
        options.environment = {"XDG_DATA_HOME=" + path("data"), "XDG_CONFIG_HOME=" + path("config"),
                               "LANTERN_CLOUDFLARED=" + cloudflared,
                               "FAKE_TUNNEL_RECORD=" + path("launches"),
                               "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"};
        int terminalEnd = -1;
        if (terminal) {
            output_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ::grantpt(output_);
            ::unlockpt(output_);
            terminalEnd = ::open(::ptsname(output_), O_RDWR | O_NOCTTY | O_CLOEXEC);
            options.outputTo = terminalEnd;
        } else {
            options.pipeOutput = true;
        }
        const auto child = startChild(arguments, options);
        pid_ = child.pid;
        if (!terminal) output_ = child.output;
        if (terminalEnd >= 0) ::close(terminalEnd);
    }
    ~Headless() {
        if (pid_ > 0) endProgram(pid_);
        if (output_ >= 0) ::close(output_);
    }
    pid_t pid() const { return pid_; }
    void closeOutput() { ::close(std::exchange(output_, -1)); }

    // The first line beginning with `prefix` (without it), waiting at most `wait`.
    std::optional<std::string> line(const std::string& prefix, std::chrono::seconds wait = 20s) {
        for (const auto deadline = std::chrono::steady_clock::now() + wait;;) {
            for (const auto& seen : lines_)
                if (seen.starts_with(prefix)) return seen.substr(prefix.size());
            pollfd ready{output_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            char buffer[4096];
            if (left.count() <= 0 || ::poll(&ready, 1, int(left.count())) <= 0) return std::nullopt;
            const auto got = ::read(output_, buffer, sizeof buffer);
            if (got <= 0) return std::nullopt;
            pending_.append(buffer, std::size_t(got));
            for (auto end = pending_.find('\n'); end != std::string::npos;
                 end = pending_.find('\n')) {
                auto text = pending_.substr(0, end);
                if (text.ends_with('\r')) text.pop_back(); // a terminal ends lines with CR LF
                lines_.push_back(std::move(text));
                pending_.erase(0, end + 1);
            }
        }
    }
    // The local port from "listen locally: http://127.0.0.1:PORT/".
    std::uint16_t port() {
        std::smatch match;
        const auto local = line("listen locally: ").value_or("");
        return std::regex_search(local, match, std::regex(R"(:(\d+)/)")) ? std::stoi(match[1]) : 0;
    }
    // Sends `signal` and waits for the exit status (-1 when it did not exit).
    int stop(int signal) {
        ::kill(pid_, signal);
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(50ms)) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
};

std::pair<int, nlohmann::json> now(std::uint16_t port, const std::string& query = "") {
    const auto answer = fetch(port, "/now?lag=0" + query);
    const auto body = answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
    return {answer.size() > 12 ? std::stoi(answer.substr(9, 3)) : 0,
            nlohmann::json::parse(body, nullptr, false)};
}

QTemporaryDir& withPasscode(QTemporaryDir& home, const char* passcode) {
    QDir().mkpath(home.filePath("data/lantern-fm"));
    QFile secret(home.filePath("data/lantern-fm/passcode"));
    if (secret.open(QIODevice::WriteOnly)) secret.write(passcode);
    return home;
}

TEST(HeadlessRun, BroadcastsAPlayerWithItsPasscodeAndEndsOnSigterm) {
    QTemporaryDir home;
    World::sound().play("e2e-player", 1000);
    Headless station(withPasscode(home, "open sesame"),
                     {"--source=e2e-player", "--stationName=Porch Radio"});
    const auto port = station.port();
    ASSERT_NE(port, 0);
    // Its output is not a terminal, so the link is shown without the passcode.
    EXPECT_EQ(station.line("share: "), "https://quiet-river-4821.trycloudflare.com");
    std::ifstream launches(home.filePath("launches").toStdString());
    std::string tunnel, target;
    launches >> tunnel >> target;
    EXPECT_EQ(target, "http://127.0.0.1:" + std::to_string(port)); // the tunnel forwards here

    EXPECT_EQ(now(port).first, 404);
    const auto [status, record] = now(port, "&k=open%20sesame");
    ASSERT_EQ(status, 200);
    EXPECT_EQ(record["station"], "Porch Radio");
    const auto heard =
        runProgram({"ffmpeg", "-v", "error", "-i",
                    "http://127.0.0.1:" + std::to_string(port) + "/stream?l=porch&k=open%20sesame",
                    "-t", "4", "-ac", "1", "-ar", "8000", "-f", "f32le", "-"},
                   30s);
    std::vector<float> decoded(heard.output.size() / sizeof(float));
    std::memcpy(decoded.data(), heard.output.data(), decoded.size() * sizeof(float));
    ASSERT_GE(decoded.size(), 8000u * 3) << "ffmpeg decoded too little";
    EXPECT_TRUE(sounds(std::span(decoded).subspan(8000), 8000, 1000));
    EXPECT_TRUE(station.line("listeners: 1", 5s));

    RawClient late(port); // a listener still there when the signal comes sees its stream end
    late.send("GET /stream?k=open%20sesame HTTP/1.1\r\n\r\n");
    ASSERT_FALSE(late.readAtLeast(200).empty());
    EXPECT_EQ(station.stop(SIGTERM), 0);
    EXPECT_TRUE(late.closedByPeer(3s));
    EXPECT_TRUE(eventually([&] { return processGone(std::stoi(tunnel)); }, 3s))
        << "the tunnel tool outlived the station";
}

TEST(HeadlessRun, ThePasscodeIsShownOnATerminalAndNoToolKeepsItLocal) {
    QTemporaryDir home;
    Headless station(withPasscode(home, "open sesame"), {"--source=all"}, true);
    EXPECT_EQ(station.line("share: "),
              "https://quiet-river-4821.trycloudflare.com#k=open%20sesame");
    EXPECT_EQ(station.stop(SIGINT), 0);

    QTemporaryDir other;
    Headless local(other, {}, false, {}, other.filePath("missing").toStdString());
    EXPECT_EQ(now(local.port()).first, 200);
    EXPECT_TRUE(local.line("cloudflared isn't installed"));
}

// A log line written after its reader went away (a closed terminal, a log
// collector that stopped) is a failed write, not the end of the station.
TEST(HeadlessRun, OutputThatGoesAwayDoesNotEndTheStation) {
    QTemporaryDir home;
    Headless station(home, {});
    const auto port = station.port();
    station.closeOutput();
    RawClient listener(port); // "listeners: 1" is printed to nobody
    listener.send("GET /stream HTTP/1.1\r\n\r\n");
    listener.readAtLeast(1000);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(::waitpid(station.pid(), nullptr, WNOHANG), 0) << "the station ended";
    EXPECT_EQ(now(port).first, 200);
}

// Listeners cannot take the descriptors the station needs for itself: with
// the 1024 a desktop starts programs with, 1,500 listeners that never read
// leave a fresh listener its full stream and the now-playing record its
// answers; the 1,501st past "maxListeners" hears that the station is full.
TEST(HeadlessRun, IdleListenersCannotExhaustItsDescriptors) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_GE(limit.rlim_max, 4000u) << "this test needs a hard limit of 4000 open files";
    const auto own = limit;
    limit.rlim_cur = limit.rlim_max; // the clients below are ours
    ::setrlimit(RLIMIT_NOFILE, &limit);
    QTemporaryDir home;
    // prlimit starts it with the soft limit of a desktop session.
    Headless station(home, {"--maxListeners=1500"}, false,
                     {"prlimit", "--nofile=1024:" + std::to_string(own.rlim_max)});
    const auto port = station.port();
    ASSERT_NE(port, 0);

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 1500; ++i) {
        idle.push_back(std::make_unique<RawClient>(port, 2048));
        ASSERT_TRUE(idle.back()->connected()) << "connection " << i << " refused";
        idle.back()->send("GET /stream HTTP/1.1\r\n\r\n");
    }
    const auto counted = [&](int listeners) {
        return eventually([&] { return now(port).second.value("listeners", -1) == listeners; },
                          10s);
    };
    ASSERT_TRUE(counted(1500));
    const auto full = fetch(port, "/stream");
    EXPECT_TRUE(full.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << full.substr(0, 40);
    EXPECT_NE(full.find("Retry-After: 10\r\n"), std::string::npos);
    idle.pop_back(); // one place frees up for a fresh listener
    ASSERT_TRUE(counted(1499));
    StreamEar fresh(port);
    ASSERT_TRUE(fresh.waitForAudio());
    fresh.listen(1s); // past its burst
    const auto from = StreamEar::now();
    fresh.listen(4s);
    // Real time, within what a loaded machine's scheduling jitter allows.
    EXPECT_NEAR(fresh.pace(from, StreamEar::now()), 1.0, 0.15);
    EXPECT_EQ(now(port).first, 200);
    idle.clear();
    EXPECT_TRUE(counted(1));
    ::setrlimit(RLIMIT_NOFILE, &own);
}

} // namespace
} // namespace lantern::test
