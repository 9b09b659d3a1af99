#include "core/link/share_link.h"
#include "core/link/tunnel_log.h"
#include "core/link/tunnel_metrics.h"
#include "core/link/tunnel_supervisor.h"
#include "support/child_process.h"
#include "support/eventually.h"

#include <asio/ip/tcp.hpp>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <unistd.h>

using namespace lantern;
using namespace lantern::test;
using Clock = std::chrono::steady_clock;
using Seconds = TunnelSupervisor::Seconds;

namespace {

const std::string quickURL = "https://quiet-river-4821.trycloudflare.com";

TEST(ShareLink, CarriesThePasscodeInTheFragment) {
    const std::tuple<std::string, std::optional<std::string_view>, std::string> rows[] = {
        {quickURL, std::nullopt, quickURL},
        {quickURL, "", quickURL},
        {quickURL, "Az09-_.~", quickURL + "#k=Az09-_.~"},
        {quickURL + "/", "a b#/+%", quickURL + "/#k=a%20b%23%2F%2B%25"},
        {quickURL, "\xC3\xA9t\xC3\xA9", quickURL + "#k=%C3%A9t%C3%A9"},
        {quickURL + "/x#old", "p", quickURL + "/x#k=p"},
        {"https://a.example/s/abc?x=1", "p", "https://a.example/s/abc?x=1#k=p"},
        {"ht tp://bad url", "p", "ht tp://bad url"},
    };
    for (const auto& [url, passcode, expected] : rows)
        EXPECT_EQ(shareLink(url, passcode), expected) << url;
    for (const char* path : {"/s/abc", "s/abc", "//s/abc"}) {
        EXPECT_EQ(keptLinkAddress("https://address.example", path),
                  "https://address.example/s/abc");
        EXPECT_EQ(keptLinkAddress("https://a.example/base/", path), "https://a.example/base/s/abc");
    }
    EXPECT_EQ(keptLinkAddress("https://a.example", "my station?#%"),
              "https://a.example/my%20station%3F%23%25");
}

TEST(TunnelURL, FindsTheQuickTunnelsAddressInALogLine) {
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"INF |  " + quickURL + "    |", quickURL},
        {"https://a-b.trycloudflare.com", "https://a-b.trycloudflare.com"},
        {"https://one-a.trycloudflare.com https://two-b.trycloudflare.com",
         "https://one-a.trycloudflare.com"},
        {"Visit it at " + quickURL + ".", quickURL},
        {"https://quiet.trycloudflare.com", std::nullopt}, // one group
        {"https://Quiet-river-4821.trycloudflare.com", std::nullopt},
        {"http://quiet-river-4821.trycloudflare.com", std::nullopt},
        {"https://quiet-river-4821.example.com", std::nullopt},
        {"https://quiet--river.trycloudflare.com", std::nullopt},
        {quickURL + "/listen", std::nullopt},
        {quickURL + ":8443", std::nullopt},
        {quickURL + ".evil.example", std::nullopt},
        {"INF Starting metrics server on 127.0.0.1:20241/metrics", std::nullopt},
    };
    for (const auto& [line, expected] : rows)
        EXPECT_EQ(tunnelURL(line), expected) << line;
}

// A visitor's request is logged with its URL (dest=https://HOST/PATH?QUERY);
// whatever a visitor puts there, or the tool says after its announcement,
// never becomes the station's link.
TEST(TunnelAnnouncement, OnlyTheToolsOwnBoxGivesTheURL) {
    const std::string at = "2026-12-06T10:00:01Z ";
    const std::string heading =
        at + "INF |  Your quick Tunnel has been created! Visit it at (it may take some time to be "
             "reachable):  |";
    const std::string box = at + "INF |  " + quickURL + "      |";
    const std::string visitor =
        at + "ERR  error=\"Unable to reach the origin service\" dest=" + quickURL +
        "/stream?https://evil-tunnel-1.trycloudflare.com";
    const std::string spoofedBox = at + "INF |  https://evil-tunnel-2.trycloudflare.com  |";
    const std::pair<std::vector<std::string>, std::vector<std::string>> rows[] = {
        {{at + "INF +-----+", heading, box, at + "INF +-----+"}, {quickURL}},
        {{"|  Your quick Tunnel has been created!  |", "|  " + quickURL + "  |"}, {quickURL}},
        {{heading, box, visitor, heading, spoofedBox}, {quickURL}},
        {{visitor, spoofedBox, heading, box}, {quickURL}},
        {{box}, {}},
        {{at + "ERR |  Your quick Tunnel has been created!  |", box}, {}},
        {{at + "WRN |  Your quick Tunnel has been created!  |", box}, {}},
        {{heading, at + "INF |  " + quickURL + " dest=x  |", box}, {}},
        {{heading, at + "INF |  " + quickURL + "/path  |"}, {}},
        {{heading, visitor, box}, {}},
        {{heading, at + "INF level=x |  " + quickURL + "  |"}, {}},
    };
    for (const auto& [lines, expected] : rows) {
        TunnelAnnouncement announcement;
        std::vector<std::string> urls;
        for (const auto& line : lines)
            if (auto url = announcement.read(line)) urls.push_back(*url);
        EXPECT_EQ(urls, expected) << lines.front();
    }

    LineBuffer buffer; // a line that never ends keeps only its first 64 KiB
    EXPECT_TRUE(buffer.add(std::string(70000, 'x')).empty());
    const auto lines = buffer.add("y\nnext\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), LineBuffer::limit);
    EXPECT_EQ(lines[1], "next");
    EXPECT_EQ(LineBuffer().add("\xFF ok\n"), std::vector<std::string>{"\xEF\xBF\xBD ok"});
}

// The metrics server's answer names the tunnel only when it is a quick
// tunnel's name, and only when it comes from the tool itself.
TEST(TunnelMetrics, TheAnswerMustBeAQuickTunnelFromTheTool) {
    const std::pair<const char*, std::optional<std::string>> bodies[] = {
        {R"({"hostname":"quiet-river-4821.trycloudflare.com"})", quickURL},
        {R"({"hostname":"evil.example/x.trycloudflare.com"})", std::nullopt},
        {R"({"hostname":"quiet-river-4821.trycloudflare.com:1"})", std::nullopt},
        {R"({"hostname":""})", std::nullopt},
        {R"({"hostname":7})", std::nullopt},
        {"404 page not found", std::nullopt},
    };
    for (const auto& [body, expected] : bodies)
        EXPECT_EQ(TunnelMetrics::urlOf(body), expected) << body;

    asio::io_context io;
    asio::ip::tcp::acceptor mine(io, {asio::ip::address_v4::loopback(), 0});
    const auto port = mine.local_endpoint().port();
    EXPECT_TRUE(TunnelMetrics::listenerBelongsTo(::getpid(), port));
    const auto other = startProgram({"sleep", "5"});
    EXPECT_FALSE(TunnelMetrics::listenerBelongsTo(other, port));
    endProgram(other);
}

// A supervisor over the fake tool, with what it reports recorded; `behaviour`
// holds the tool's FAKE_TUNNEL_* settings (see fake-cloudflared.py).
class Tunnel {
public:
    explicit Tunnel(std::vector<std::string> behaviour = {},
                    std::vector<Seconds> backoff = {Seconds(0.05)},
                    std::string executable = FAKE_CLOUDFLARED,
                    TunnelSupervisor::Options options = {}) {
        std::filesystem::remove(record_);
        options.environment = std::move(behaviour);
        options.environment.push_back("FAKE_TUNNEL_RECORD=" + record_);
        supervisor = std::make_unique<TunnelSupervisor>(
            std::move(executable),
            std::vector<std::string>{"tunnel", "--no-autoupdate", "--url", "http://127.0.0.1:8080"},
            std::move(backoff), [this](std::string url) { locked([&] { urls_.push_back(url); }); },
            [this] { locked([&] { downs_.push_back(Clock::now()); }); }, std::move(options));
    }
    ~Tunnel() {
        if (supervisor) supervisor->stop();
        for (auto pid : launches())
            ::kill(pid, SIGKILL);
    }
    std::vector<std::string> urls() {
        return locked([&] { return urls_; });
    }
    std::vector<Clock::time_point> downs() {
        return locked([&] { return downs_; });
    }
    std::vector<pid_t> launches() const {
        std::vector<pid_t> pids;
        std::ifstream file(record_);
        for (std::string line; std::getline(file, line);)
            pids.push_back(std::stoi(line));
        return pids;
    }

    std::unique_ptr<TunnelSupervisor> supervisor;

private:
    template <typename F> auto locked(F f) -> decltype(f()) {
        std::lock_guard lock(mutex_);
        return f();
    }

    std::string record_ = testing::TempDir() + "tunnel-" + std::to_string(::getpid());
    std::mutex mutex_;
    std::vector<std::string> urls_;
    std::vector<Clock::time_point> downs_;
};

// What one launch of the tool, behaving as told, reports within a wait for
// its first URL and 300 ms more, and how long that first URL took.
std::pair<std::vector<std::string>, Clock::duration>
launch(std::vector<std::string> behaviour, TunnelSupervisor::Options options = {}) {
    Tunnel tunnel(std::move(behaviour), {Seconds(0.05)}, FAKE_CLOUDFLARED, std::move(options));
    const auto start = Clock::now();
    tunnel.supervisor->start();
    eventually([&] { return !tunnel.urls().empty(); }, 3s);
    const auto took = Clock::now() - start;
    settle(300ms);
    return {tunnel.urls(), took};
}

// One launch, one URL: the announcement's, however its line is cut into
// writes (what visitors write to the log afterwards is the announcement's
// table's and the station's to test). A last line without its line feed is
// never read.
TEST(TunnelSupervisor, ALaunchGivesOneURLFromTheAnnouncementAlone) {
    EXPECT_EQ(launch({"FAKE_TUNNEL_SPLIT=1"}).first, std::vector<std::string>{quickURL});
    EXPECT_TRUE(launch({"FAKE_TUNNEL_URL=none",
                        "FAKE_TUNNEL_TRAILER=|  https://late-line-1.trycloudflare.com  |"})
                    .first.empty());
}

// Where the tool offers a metrics server, its answer names the tunnel: it
// wins over the log, a tool that answers 404 leaves the log's URL at once,
// and one that never answers leaves it after the grace; a name that is not a
// quick tunnel's is not taken.
TEST(TunnelSupervisor, TheMetricsServerNamesTheTunnel) {
    TunnelSupervisor::Options options;
    options.metrics = true;
    options.metricsGrace = 600ms;
    // {what it answers, the URL taken, how long that takes at least and at most (1h: no bound)}
    const std::tuple<const char*, std::string, Clock::duration, Clock::duration> rows[] = {
        {"metrics-name-7.trycloudflare.com", "https://metrics-name-7.trycloudflare.com", 0ms, 1h},
        {"404", quickURL, 0ms, 500ms},
        {"none", quickURL, 600ms, 1h},
        {"evil.example", quickURL, 0ms, 1h},
    };
    for (const auto& [metrics, url, least, most] : rows) {
        const auto [urls, took] = launch({"FAKE_TUNNEL_METRICS=" + std::string(metrics)}, options);
        EXPECT_EQ(urls, std::vector<std::string>{url}) << metrics;
        EXPECT_GE(took, least) << metrics;
        EXPECT_LT(took, most) << metrics;
    }
}

// Restarts wait the back-off's delays in turn and then its last; a URL seen
// resets the walk; an empty back-off waits a second; a tool that cannot start
// is down once per attempt.
TEST(TunnelSupervisor, RestartsAfterTheBackOff) {
    // The delays between failures, each with the fake tool's start-up.
    const auto gaps = [](std::vector<Seconds> backoff, std::vector<double> expected,
                         double within) {
        Tunnel tunnel({"FAKE_TUNNEL_URL=none", "FAKE_TUNNEL_EXIT=now"}, std::move(backoff));
        tunnel.supervisor->start();
        ASSERT_TRUE(eventually([&] { return tunnel.downs().size() > expected.size(); }));
        const auto downs = tunnel.downs();
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_NEAR(Seconds(downs[i + 1] - downs[i]).count(), expected[i], within)
                << "restart " << i + 1;
    };
    gaps({Seconds(0.05), Seconds(0.1), Seconds(0.2)}, {0.25, 0.3, 0.4, 0.4}, 0.2);
    gaps({}, {1.3}, 0.3);
    {
        Tunnel tunnel({}, {Seconds(0.2)}, "/nonexistent/cloudflared");
        tunnel.supervisor->start();
        settle(1000ms);
        tunnel.supervisor->stop();
        EXPECT_GE(tunnel.downs().size(), 3u);
        EXPECT_LE(tunnel.downs().size(), 6u);
    }
    Tunnel tunnel({"FAKE_TUNNEL_EXIT=now"}, {Seconds(0.05), Seconds(2)});
    tunnel.supervisor->start();
    EXPECT_TRUE(eventually([&] { return tunnel.downs().size() >= 4; }, 3s))
        << "restarts waited the later delays: the URL did not reset the walk";
}

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator()));
}

// Stopping ends the child, reports nothing more and starts nothing after it;
// a new start begins afresh. Releasing without stopping leaves the child
// running but leaks no descriptor and reaps it once it ends.
TEST(TunnelSupervisor, StopEndsTheChildAndEverythingAfterIt) {
    const auto descriptors = openDescriptors();
    {
        Tunnel quick({"FAKE_TUNNEL_SPLIT=1"});
        quick.supervisor->start();
        quick.supervisor->stop();
        settle(300ms);
        EXPECT_TRUE(quick.urls().empty()) << "a URL was reported after stop()";
    }
    Tunnel tunnel;
    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.urls().size() == 1; }));
    tunnel.supervisor->stop();
    const auto first = tunnel.launches();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(eventually([&] { return processGone(first[0]); }));
    settle(300ms);
    EXPECT_EQ(tunnel.launches().size(), 1u) << "relaunched after stop()";
    EXPECT_TRUE(tunnel.downs().empty());

    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.urls().size() == 2; }));
    const auto second = tunnel.launches().back();
    tunnel.supervisor.reset();
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_FALSE(processGone(second)) << "releasing must not end the child";
    ::kill(second, SIGTERM);
    EXPECT_TRUE(eventually([&] { return processGone(second); }));
}

} // namespace
