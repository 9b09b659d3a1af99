#include "link/tunnel_supervisor.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace lantern;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string quickURL = "https://quiet-river-4821.trycloudflare.com";
const std::string logPrefix = "2026-12-06T10:00:01Z INF |  ";

struct URLRow {
    const char* name;
    std::string line;
    std::optional<std::string> expected;
};

const URLRow urlRows[] = {
    {"framedBlock", logPrefix + quickURL + "                                 |", quickURL},
    {"bareURL", quickURL, quickURL},
    {"twoGroups", "https://a-b.trycloudflare.com", "https://a-b.trycloudflare.com"},
    {"digitsOnly", "https://12-34-56.trycloudflare.com", "https://12-34-56.trycloudflare.com"},
    {"twiceOnOneLineGivesTheFirst",
     "https://one-a.trycloudflare.com https://two-b.trycloudflare.com",
     "https://one-a.trycloudflare.com"},
    {"sentenceEnd", "Visit it at " + quickURL + ".", quickURL},
    {"insideQuotes", "url=\"" + quickURL + "\"", quickURL},
    {"oneGroup", "https://quiet.trycloudflare.com", std::nullopt},
    {"uppercaseLabel", "https://Quiet-river-4821.trycloudflare.com", std::nullopt},
    {"uppercaseDomain", "https://quiet-river-4821.TryCloudflare.com", std::nullopt},
    {"plainHttp", "http://quiet-river-4821.trycloudflare.com", std::nullopt},
    {"otherDomain", "https://quiet-river-4821.example.com", std::nullopt},
    {"doubleDash", "https://quiet--river.trycloudflare.com", std::nullopt},
    {"trailingDash", "https://quiet-river-.trycloudflare.com", std::nullopt},
    {"withPath", quickURL + "/listen", std::nullopt},
    {"withTrailingSlash", quickURL + "/", std::nullopt},
    {"withPort", quickURL + ":8443", std::nullopt},
    {"longerHost", quickURL + ".evil.example", std::nullopt},
    {"badThenGood", quickURL + "/x then https://good-one.trycloudflare.com",
     "https://good-one.trycloudflare.com"},
    {"metricsLine", "INF Starting metrics server on 127.0.0.1:20241/metrics", std::nullopt},
    {"empty", "", std::nullopt},
};

class TunnelURLTable : public testing::TestWithParam<URLRow> {};

TEST_P(TunnelURLTable, FindsTheQuickTunnelURL) {
    EXPECT_EQ(tunnelURL(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, TunnelURLTable, testing::ValuesIn(urlRows),
                         [](const auto& info) { return std::string(info.param.name); });

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator()));
}

bool processGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    return !stat; // a zombie would still be listed (state Z)
}

template <typename Predicate> bool eventually(Predicate done, std::chrono::milliseconds wait = 5s) {
    const auto deadline = Clock::now() + wait;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A supervisor over the fake tool with what it reports recorded. The tool's
// behaviour comes from the environment, set before start().
class Tunnel {
public:
    explicit Tunnel(std::vector<TunnelSupervisor::Seconds> backoff = {0.05s},
                    std::string executable = FAKE_CLOUDFLARED)
        : record_(testing::TempDir() + "tunnel-launches-" + std::to_string(::getpid())) {
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
            });
    }
    ~Tunnel() {
        if (supervisor) supervisor->stop();
        for (auto pid : launches())
            ::kill(pid, SIGKILL);
        std::filesystem::remove(record_);
    }

    std::vector<std::string> urls() {
        std::lock_guard lock(mutex_);
        return urls_;
    }
    std::vector<Clock::time_point> downs() {
        std::lock_guard lock(mutex_);
        return downs_;
    }
    std::vector<pid_t> launches() const {
        std::vector<pid_t> pids;
        std::ifstream file(record_);
        for (pid_t pid = 0; file >> pid;)
            pids.push_back(pid);
        return pids;
    }

    std::unique_ptr<TunnelSupervisor> supervisor;

private:
    std::string record_;
    std::mutex mutex_;
    std::vector<std::string> urls_;
    std::vector<Clock::time_point> downs_;
};

void toolBehaviour(const char* url, const char* exit, const char* split = "0",
                   const char* trailer = "") {
    ::setenv("FAKE_TUNNEL_URL", url, 1);
    ::setenv("FAKE_TUNNEL_EXIT", exit, 1);
    ::setenv("FAKE_TUNNEL_SPLIT", split, 1);
    ::setenv("FAKE_TUNNEL_TRAILER", trailer, 1);
}

TEST(TunnelSupervisor, ReportsTheURLFromALineSplitAcrossWrites) {
    toolBehaviour(quickURL.c_str(), "stay", "1");
    Tunnel tunnel;
    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return !tunnel.urls().empty(); }));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(tunnel.urls(), std::vector<std::string>{quickURL});
    EXPECT_TRUE(tunnel.downs().empty());
}

TEST(TunnelSupervisor, SearchesLinesThatAreNotUTF8) {
    const std::string line = "\xFF\xFE garbage " + quickURL;
    toolBehaviour(line.c_str(), "stay");
    Tunnel tunnel;
    tunnel.supervisor->start();
    EXPECT_TRUE(eventually([&] { return tunnel.urls() == std::vector<std::string>{quickURL}; }));
}

TEST(TunnelSupervisor, UnterminatedLastLineYieldsNothing) {
    toolBehaviour("none", "now", "0", "https://late-line-1.trycloudflare.com");
    Tunnel tunnel({10s});
    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.downs().size() == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(tunnel.urls().empty());
}

// A line with no line feed keeps at most 64 KiB: a URL beyond that is lost,
// one within it is still found when the line ends.
TEST(TunnelSupervisor, KeepsAtMost64KiBOfALine) {
    const std::string late = std::string(70000, 'x') + " " + quickURL;
    toolBehaviour(late.c_str(), "stay");
    {
        Tunnel tunnel;
        tunnel.supervisor->start();
        ASSERT_TRUE(eventually([&] { return !tunnel.launches().empty(); }));
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(tunnel.urls().empty());
    }
    const std::string early = quickURL + " " + std::string(70000, 'x');
    toolBehaviour(early.c_str(), "stay");
    Tunnel tunnel;
    tunnel.supervisor->start();
    EXPECT_TRUE(eventually([&] { return tunnel.urls() == std::vector<std::string>{quickURL}; }));
}

std::vector<double> intervals(const std::vector<Clock::time_point>& times) {
    std::vector<double> gaps;
    for (std::size_t i = 1; i < times.size(); ++i)
        gaps.push_back(std::chrono::duration<double>(times[i] - times[i - 1]).count());
    return gaps;
}

TEST(TunnelSupervisor, RestartsWalkTheBackoffAndStayOnItsLast) {
    toolBehaviour("none", "now");
    Tunnel tunnel({0.05s, 0.1s, 0.2s});
    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.downs().size() >= 5; }));
    tunnel.supervisor->stop();
    const auto gaps = intervals(tunnel.downs());
    const double expected[] = {0.05, 0.1, 0.2, 0.2};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_GE(gaps[i], expected[i]) << "restart " << i + 1;
        EXPECT_LT(gaps[i], expected[i] + 0.8) << "restart " << i + 1;
    }
    EXPECT_TRUE(tunnel.urls().empty());
}

TEST(TunnelSupervisor, AURLResetsTheBackoff) {
    toolBehaviour(quickURL.c_str(), "now");
    Tunnel tunnel({0.05s, 2s});
    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.downs().size() >= 4; }, 3s))
        << "restarts waited the later delays: the URL did not reset the count";
    EXPECT_GE(tunnel.urls().size(), 3u);
}

TEST(TunnelSupervisor, EmptyBackoffWaitsOneSecond) {
    toolBehaviour("none", "now");
    Tunnel tunnel(std::vector<TunnelSupervisor::Seconds>{});
    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.downs().size() >= 2; }, 4s));
    const auto gap = intervals(tunnel.downs()).front();
    EXPECT_GE(gap, 1.0);
    EXPECT_LT(gap, 1.8);
}

TEST(TunnelSupervisor, MissingExecutableIsDownOncePerAttempt) {
    Tunnel tunnel({0.2s}, "/nonexistent/cloudflared");
    tunnel.supervisor->start();
    std::this_thread::sleep_for(1000ms);
    tunnel.supervisor->stop();
    const auto downs = tunnel.downs();
    EXPECT_GE(downs.size(), 3u);
    EXPECT_LE(downs.size(), 6u);
    for (const auto gap : intervals(downs))
        EXPECT_GE(gap, 0.2);
}

TEST(TunnelSupervisor, StopEndsTheChildAndEverythingAfterIt) {
    const auto descriptorsBefore = openDescriptors();
    toolBehaviour(quickURL.c_str(), "stay");
    std::vector<pid_t> launched;
    {
        Tunnel tunnel({0.05s});
        tunnel.supervisor->start();
        ASSERT_TRUE(eventually([&] { return tunnel.urls().size() == 1; }));
        tunnel.supervisor->stop();
        launched = tunnel.launches();
        ASSERT_EQ(launched.size(), 1u);
        EXPECT_TRUE(eventually([&] { return processGone(launched[0]); })) << "child left a zombie";
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(tunnel.launches().size(), 1u) << "relaunched after stop()";
        EXPECT_TRUE(tunnel.downs().empty());
        EXPECT_EQ(tunnel.urls().size(), 1u);

        // A new start begins afresh.
        tunnel.supervisor->start();
        EXPECT_TRUE(eventually([&] { return tunnel.urls().size() == 2; }));
        tunnel.supervisor->stop();
        tunnel.supervisor.reset();
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

TEST(TunnelSupervisor, StopRightAfterStartReportsNothing) {
    toolBehaviour(quickURL.c_str(), "stay", "1");
    Tunnel tunnel({0.05s});
    tunnel.supervisor->start();
    tunnel.supervisor->stop();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(tunnel.urls().empty());
    EXPECT_TRUE(tunnel.downs().empty());
    for (auto pid : tunnel.launches())
        EXPECT_TRUE(eventually([&] { return processGone(pid); }));
}

// Releasing a supervisor whose child still runs closes our descriptors; the
// child, once it ends, is reaped rather than left a zombie.
TEST(TunnelSupervisor, ReleasingWithoutStopLeaksNothing) {
    const auto descriptorsBefore = openDescriptors();
    toolBehaviour(quickURL.c_str(), "stay");
    Tunnel tunnel({0.05s});
    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.urls().size() == 1; }));
    const auto launched = tunnel.launches();
    tunnel.supervisor.reset();
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    ASSERT_EQ(launched.size(), 1u);
    EXPECT_FALSE(processGone(launched[0])) << "releasing must not end the child";
    ::kill(launched[0], SIGTERM);
    EXPECT_TRUE(eventually([&] { return processGone(launched[0]); }));
}

} // namespace
