// lantern-fm --headless as a user runs it: a player's tone on the private
// sound server, through the station to ffmpeg; its output to a pipe or a
// terminal; signals; the descriptors a crowd of listeners may take.
#include "core/link/tunnel_metrics.h"
#include "core/system/child_process.h"
#include "station/station_fixture.h"
#include "support/lantern_run.h"

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

std::pair<int, nlohmann::json> now(std::uint16_t port, const std::string& query = "") {
    const auto answer = fetch(port, "/now?lag=0" + query);
    const auto body = answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object()) json = nlohmann::json::object(); // no answer (yet): nothing known
    return {answer.size() > 12 ? std::stoi(answer.substr(9, 3)) : 0, json};
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
    LanternRun station(withPasscode(home, "open sesame"),
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
    const auto decoded = decodeMono(
        "http://127.0.0.1:" + std::to_string(port) + "/stream?l=porch&k=open%20sesame", 8000, 4);
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

// On a terminal the link carries the passcode; without the tool the station
// stays local; a link that never answers from the outside is not shared.
TEST(HeadlessRun, ThePasscodeIsShownOnATerminalAndNoToolOrNoAnswerKeepsItLocal) {
    QTemporaryDir home;
    LanternRun::Options onTerminal;
    onTerminal.terminal = true;
    LanternRun station(withPasscode(home, "open sesame"), {"--source=all"}, onTerminal);
    EXPECT_EQ(station.line("share: "),
              "https://quiet-river-4821.trycloudflare.com#k=open%20sesame");
    EXPECT_EQ(station.stop(SIGINT), 0);

    QTemporaryDir other;
    LanternRun::Options noTool;
    noTool.cloudflared = other.filePath("missing").toStdString();
    QTemporaryDir neverHome;
    LanternRun::Options never;
    never.linkCheck = "http://127.0.0.1:9"; // nothing listens there
    LanternRun local(other, {}, noTool), closed(neverHome, {}, never);
    EXPECT_EQ(now(local.port()).first, 200);
    EXPECT_TRUE(local.line("To share a link, Lantern FM needs cloudflared: https://"));
    EXPECT_EQ(closed.line("link not reachable yet: ", 45s),
              "https://quiet-river-4821.trycloudflare.com");
    EXPECT_TRUE(closed.lines("share: ").empty());
}

// A tunnel of the user's own: set once with its token on standard input
// (a token or host that is not one is refused, and a token on the command line
// too), run with the token in the program's environment, never on its command
// line or in a line of output, and shared at the user's own address once it
// answers.
TEST(HeadlessRun, TheUsersOwnTunnelKeepsItsTokenSecret) {
    QTemporaryDir home;
    const std::string token = "eyJhIjoiNWFiNGU5Z-lantern-test-token";
    const auto setTunnel = [&](const std::string& host, const std::string& input) {
        ChildOptions options;
        options.input = input + "\n";
        options.pipeOutput = options.pipeError = true;
        options.environment = {"XDG_DATA_HOME=" + home.filePath("data").toStdString(),
                               "XDG_CONFIG_HOME=" + home.filePath("config").toStdString(),
                               "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"};
        return runChild({LANTERN_FM, "--set-tunnel=" + host}, 20s, options);
    };
    EXPECT_EQ(setTunnel("radio.example.com", "not a token").status, 1);
    EXPECT_EQ(setTunnel("radio.example.com/x?y", token).status, 1);
    EXPECT_EQ(runProgram({LANTERN_FM, "--tunnelToken=" + token}).status, 2);
    const auto set = setTunnel("Radio.Example.com", token);
    ASSERT_EQ(set.status, 0) << set.error;
    EXPECT_NE(set.output.find("https://radio.example.com"), std::string::npos) << set.output;

    const auto port = std::to_string(TunnelMetrics::freePort().value_or(0));
    LanternRun::Options own;
    own.terminal = true; // standard output and error, every line the user could see
    own.environment = {"FAKE_TUNNEL_ORIGIN=" + port};
    LanternRun station(home, {"--linkMode=own", "--tunnelPort=" + port}, own);
    EXPECT_EQ(station.line("share: "), "https://radio.example.com");
    EXPECT_EQ(station.port(), std::stoi(port));
    std::ifstream launches(home.filePath("launches").toStdString());
    std::string tunnel, how;
    launches >> tunnel >> how;
    ASSERT_EQ(how, "run");
    const auto read = [&](const char* what) {
        std::ifstream file("/proc/" + tunnel + "/" + what);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    EXPECT_EQ(read("cmdline").find(token), std::string::npos) << "the token is in the process list";
    EXPECT_NE(read("environ").find("TUNNEL_TOKEN=" + token + '\0'), std::string::npos);
    EXPECT_EQ(station.stop(SIGTERM), 0);
    for (const auto& line : station.lines(""))
        EXPECT_EQ(line.find(token), std::string::npos) << line;
}

// A log line written after its reader went away (a closed terminal, a log
// collector that stopped) is a failed write, not the end of the station. A
// station killed outright takes its tunnel tool with it.
TEST(HeadlessRun, OutputThatGoesAwayDoesNotEndTheStationButAKillEndsItsTunnel) {
    QTemporaryDir home;
    LanternRun station(home, {});
    const auto port = station.port();
    station.closeOutput();
    RawClient listener(port); // "listeners: 1" is printed to nobody
    listener.send("GET /stream HTTP/1.1\r\n\r\n");
    listener.readAtLeast(1000);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(::waitpid(station.pid(), nullptr, WNOHANG), 0) << "the station ended";
    EXPECT_EQ(now(port).first, 200);

    std::ifstream launches(home.filePath("launches").toStdString());
    std::string tunnel;
    ASSERT_TRUE(launches >> tunnel);
    ::kill(station.pid(), SIGKILL);
    EXPECT_TRUE(eventually([&] { return processGone(std::stoi(tunnel)); }, 1s))
        << "the tunnel tool outlived a killed station";
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
    LanternRun::Options limited;
    limited.under = {"prlimit", "--nofile=1024:" + std::to_string(own.rlim_max)};
    LanternRun station(home, {"--maxListeners=1500"}, limited);
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
