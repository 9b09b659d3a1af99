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

namespace {

const std::string quickURL = "https://quiet-river-4821.trycloudflare.com";

TEST(ShareLink, CarriesThePasscodeInTheFragment) {
    const std::tuple<std::string, std::optional<std::string>, std::string> rows[] = {
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
        EXPECT_EQ(
            shareLink(url, passcode ? std::optional<std::string_view>(*passcode) : std::nullopt),
            expected)
            << url;
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
    const std::string visitor = at +
                                "ERR  error=\"Unable to reach the origin service\" connIndex=0 "
                                "dest=https://" +
                                "quiet-river-4821.trycloudflare.com/stream?https://evil-tunnel-1."
                                "trycloudflare.com event=0 ip=198.51.100.7 type=http";
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

// A supervisor over the fake tool, with what it reports recorded; the tool's
// behaviour comes from the environment, set before start().
class Tunnel {
public:
    explicit Tunnel(
        std::vector<TunnelSupervisor::Seconds> backoff = {TunnelSupervisor::Seconds(0.05)},
        std::string executable = FAKE_CLOUDFLARED, TunnelSupervisor::Options options = {})
        : record_(testing::TempDir() + "tunnel-" + std::to_string(::getpid())) {
        std::filesystem::remove(record_);
        ::setenv("FAKE_TUNNEL_RECORD", record_.c_str(), 1);
        supervisor = std::make_unique<TunnelSupervisor>(
            std::move(executable),
            std::vector<std::string>{"tunnel", "--no-autoupdate", "--url", "http://127.0.0.1:8080"},
            std::move(backoff),
            [this](std::string url) {
                std::lock_guard lock(mutex_);
                urls_.push_back(std::move(url));
            },
            [this] {
                std::lock_guard lock(mutex_);
                downs_.push_back(Clock::now());
            },
            options);
    }
    ~Tunnel() {
        if (supervisor) supervisor->stop();
        for (auto pid : launches())
            ::kill(pid, SIGKILL);
    }
    static void behave(const std::string& url, const char* exit, const char* split = "0",
                       const std::string& trailer = "", const std::string& later = "",
                       const char* metrics = "") {
        ::setenv("FAKE_TUNNEL_URL", url.c_str(), 1);
        ::setenv("FAKE_TUNNEL_EXIT", exit, 1);
        ::setenv("FAKE_TUNNEL_SPLIT", split, 1);
        ::setenv("FAKE_TUNNEL_TRAILER", trailer.c_str(), 1);
        ::setenv("FAKE_TUNNEL_LATER", later.c_str(), 1);
        ::setenv("FAKE_TUNNEL_METRICS", metrics, 1);
    }
    std::vector<std::string> urls() {
        std::lock_guard lock(mutex_);
        return urls_;
    }
    // Seconds between one failure and the next.
    std::vector<double> gaps() {
        std::lock_guard lock(mutex_);
        std::vector<double> out;
        for (std::size_t i = 1; i < downs_.size(); ++i)
            out.push_back(std::chrono::duration<double>(downs_[i] - downs_[i - 1]).count());
        return out;
    }
    std::size_t downs() {
        std::lock_guard lock(mutex_);
        return downs_.size();
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
    std::string record_;
    std::mutex mutex_;
    std::vector<std::string> urls_;
    std::vector<Clock::time_point> downs_;
};

// One launch, one URL: the announcement's, however its line is cut into
// writes (what visitors write to the log afterwards is the announcement's
// table's and the station's to test). A last line without its line feed is
// never read.
TEST(TunnelSupervisor, ALaunchGivesOneURLFromTheAnnouncementAlone) {
    const auto found = [](const std::string& url, const char* split, const std::string& trailer) {
        Tunnel::behave(url, "stay", split, trailer);
        Tunnel tunnel;
        tunnel.supervisor->start();
        eventually([&] { return !tunnel.urls().empty(); }, 1500ms);
        return tunnel.urls();
    };
    EXPECT_EQ(found(quickURL, "1", ""), std::vector<std::string>{quickURL});
    EXPECT_TRUE(found("none", "0", "|  https://late-line-1.trycloudflare.com  |").empty());
}

// Where the tool offers a metrics server, its answer names the tunnel: it
// wins over the log, a tool that answers 404 leaves the log's URL at once,
// and one that never answers leaves it after the grace.
TEST(TunnelSupervisor, TheMetricsServerNamesTheTunnel) {
    const auto found = [](const char* metrics) {
        Tunnel::behave(quickURL, "stay", "0", "", "", metrics);
        TunnelSupervisor::Options options;
        options.metrics = true;
        options.metricsGrace = 600ms;
        Tunnel tunnel({TunnelSupervisor::Seconds(0.05)}, FAKE_CLOUDFLARED, options);
        const auto start = Clock::now();
        tunnel.supervisor->start();
        eventually([&] { return !tunnel.urls().empty(); }, 3s);
        const auto took = Clock::now() - start;
        settle(300ms);
        return std::pair(tunnel.urls(), took);
    };
    const auto [named, namedTook] = found("metrics-name-7.trycloudflare.com");
    EXPECT_EQ(named, std::vector<std::string>{"https://metrics-name-7.trycloudflare.com"});
    const auto [old, oldTook] = found("404");
    EXPECT_EQ(old, std::vector<std::string>{quickURL});
    EXPECT_LT(oldTook, 500ms);
    const auto [silent, silentTook] = found("none");
    EXPECT_EQ(silent, std::vector<std::string>{quickURL});
    EXPECT_GE(silentTook, 600ms);
    const auto [foreign, foreignTook] = found("evil.example");
    EXPECT_EQ(foreign, std::vector<std::string>{quickURL});
}

// Restarts wait the back-off's delays in turn and then its last; a URL seen
// resets the walk; an empty back-off waits a second; a tool that cannot start
// is down once per attempt.
TEST(TunnelSupervisor, RestartsAfterTheBackOff) {
    using Seconds = TunnelSupervisor::Seconds;
    Tunnel::behave("none", "now");
    {
        Tunnel tunnel({Seconds(0.05), Seconds(0.1), Seconds(0.2)});
        tunnel.supervisor->start();
        ASSERT_TRUE(eventually([&] { return tunnel.downs() >= 5; }));
        const auto gaps = tunnel.gaps();
        const double expected[] = {0.05, 0.1, 0.2, 0.2};
        for (std::size_t i = 0; i < 4; ++i)
            EXPECT_NEAR(gaps[i], expected[i] + 0.2, 0.2) << "restart " << i + 1;
    }
    {
        Tunnel tunnel(std::vector<Seconds>{});
        tunnel.supervisor->start();
        ASSERT_TRUE(eventually([&] { return tunnel.downs() >= 2; }));
        EXPECT_NEAR(tunnel.gaps().front(), 1.3, 0.3);
    }
    {
        Tunnel tunnel({Seconds(0.2)}, "/nonexistent/cloudflared");
        tunnel.supervisor->start();
        settle(1000ms);
        tunnel.supervisor->stop();
        EXPECT_GE(tunnel.downs(), 3u);
        EXPECT_LE(tunnel.downs(), 6u);
    }
    Tunnel::behave(quickURL, "now");
    Tunnel tunnel({Seconds(0.05), Seconds(2)});
    tunnel.supervisor->start();
    EXPECT_TRUE(eventually([&] { return tunnel.downs() >= 4; }, 3s))
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
    Tunnel::behave(quickURL, "stay", "1");
    {
        Tunnel quick;
        quick.supervisor->start();
        quick.supervisor->stop();
        settle(300ms);
        EXPECT_TRUE(quick.urls().empty()) << "a URL was reported after stop()";
    }
    Tunnel::behave(quickURL, "stay");
    Tunnel tunnel;
    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.urls().size() == 1; }));
    tunnel.supervisor->stop();
    const auto first = tunnel.launches();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(eventually([&] { return processGone(first[0]); }));
    settle(300ms);
    EXPECT_EQ(tunnel.launches().size(), 1u) << "relaunched after stop()";
    EXPECT_EQ(tunnel.downs(), 0u);

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
