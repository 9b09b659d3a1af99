#include "address_service.h"
#include "core/link/share_link.h"
#include "core/link/tunnel_log.h"
#include "core/link/tunnel_metrics.h"
#include "core/link/tunnel_supervisor.h"
#include "core/net/fetch.h"
#include "core/nowplaying/now_playing.h"
#include "core/station/shared.h"
#include "core/stream/http.h"
#include "core/system/guarded.h"
#include "http_front.h"
#include "options.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <thread>
#include <unistd.h>

using namespace lantern;
using namespace lantern::test;
using namespace lantern::addressd;
using asio::ip::tcp;
using nlohmann::json;
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
    EXPECT_TRUE(buffer.add("y\nnext\n") ==
                (std::vector<std::string>{std::string(LineBuffer::limit, 'x'), "next"}));
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

// A supervisor over the fake tool, started, with what it reports recorded; `behaviour`
// holds the tool's FAKE_TUNNEL_* settings (see fake-cloudflared.py).
struct Tunnel {
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
            std::move(backoff),
            [this](std::string url) { urls.with([&](auto& all) { all.push_back(url); }); },
            [this] { downs.with([](auto& all) { all.push_back(Clock::now()); }); },
            std::move(options));
        supervisor->start();
    }
    ~Tunnel() {
        if (supervisor) supervisor->stop();
        for (auto pid : launches())
            ::kill(pid, SIGKILL);
    }
    std::vector<pid_t> launches() const {
        std::ifstream file(record_);
        return {std::istream_iterator<pid_t>(file), {}};
    }

    std::unique_ptr<TunnelSupervisor> supervisor;
    std::string record_ = testing::TempDir() + "tunnel-" + std::to_string(::getpid());
    Guarded<std::vector<std::string>> urls;
    Guarded<std::vector<Clock::time_point>> downs;
};

// What one launch of the tool, behaving as told, reports within a wait for
// its first URL and 300 ms more, and how long that first URL took.
std::pair<std::vector<std::string>, Clock::duration>
launch(std::vector<std::string> behaviour, TunnelSupervisor::Options options = {}) {
    const auto start = Clock::now();
    Tunnel tunnel(std::move(behaviour), {Seconds(0.05)}, FAKE_CLOUDFLARED, std::move(options));
    eventually([&] { return !tunnel.urls.get().empty(); }, 3s);
    const auto took = Clock::now() - start;
    settle(300ms);
    return {tunnel.urls.get(), took};
}

// One launch, one URL: the announcement's, however its line is cut into
// writes (what visitors write to the log afterwards is the announcement's
// table's and the station's to test). A last line without its line feed is
// never read. Where the tool offers a metrics server, its answer names the tunnel: it
// wins over the log, a tool that answers 404 leaves the log's URL at once,
// and one that never answers leaves it after the grace; a name that is not a
// quick tunnel's is not taken.
TEST(TunnelSupervisor, ALaunchGivesOneURLFromTheAnnouncementOrTheMetrics) {
    EXPECT_EQ(launch({"FAKE_TUNNEL_SPLIT=1"}).first, std::vector<std::string>{quickURL});
    EXPECT_TRUE(launch({"FAKE_TUNNEL_URL=none",
                        "FAKE_TUNNEL_TRAILER=|  https://late-line-1.trycloudflare.com  |"})
                    .first.empty());
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
        ASSERT_TRUE(eventually([&] { return tunnel.downs.get().size() > expected.size(); }));
        const auto downs = tunnel.downs.get();
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_NEAR(Seconds(downs[i + 1] - downs[i]).count(), expected[i], within)
                << "restart " << i + 1;
    };
    gaps({Seconds(0.05), Seconds(0.1), Seconds(0.2)}, {0.25, 0.3, 0.4, 0.4}, 0.2);
    gaps({}, {1.3}, 0.3);
    Tunnel missing({}, {Seconds(0.2)}, "/nonexistent/cloudflared");
    settle(1000ms);
    missing.supervisor->stop();
    const auto downs = missing.downs.get().size();
    EXPECT_TRUE(downs >= 3 && downs <= 6) << downs;
    Tunnel tunnel({"FAKE_TUNNEL_EXIT=now"}, {Seconds(0.05), Seconds(2)});
    EXPECT_TRUE(eventually([&] { return tunnel.downs.get().size() >= 4; }, 3s))
        << "restarts waited the later delays: the URL did not reset the walk";
}

// Stopping ends the child, reports nothing more and starts nothing after it;
// a new start begins afresh. Releasing without stopping leaves the child
// running but leaks no descriptor and reaps it once it ends.
TEST(TunnelSupervisor, StopEndsTheChildAndEverythingAfterIt) {
    const auto openDescriptors = [] {
        return std::ranges::distance(std::filesystem::directory_iterator("/proc/self/fd"));
    };
    const auto descriptors = openDescriptors();
    {
        Tunnel quick({"FAKE_TUNNEL_SPLIT=1"});
        quick.supervisor->stop();
        settle(300ms);
        EXPECT_TRUE(quick.urls.get().empty()) << "a URL was reported after stop()";
    }
    Tunnel tunnel;
    ASSERT_TRUE(eventually([&] { return tunnel.urls.get().size() == 1; }));
    tunnel.supervisor->stop();
    const auto first = tunnel.launches();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(eventually([&] { return processGone(first[0]); }));
    settle(300ms);
    EXPECT_EQ(tunnel.launches().size(), 1u) << "relaunched after stop()";
    EXPECT_TRUE(tunnel.downs.get().empty());

    tunnel.supervisor->start();
    ASSERT_TRUE(eventually([&] { return tunnel.urls.get().size() == 2; }));
    const auto second = tunnel.launches().back();
    tunnel.supervisor.reset();
    EXPECT_EQ(openDescriptors(), descriptors);
    // Its death signal follows the thread that started it.
    EXPECT_TRUE(eventually([&] { return processGone(second); }, 1s)) << "a child outlived it";
}

// ---- The address service's answers, without sockets: its rules as tables, the
// claim/announce/withdraw cycle as a visitor sees it, limits on a clock of
// the test's own, and secrets at rest.

struct Folder {
    std::filesystem::path path = ::mkdtemp((testing::TempDir() + "addressd-XXXXXX").data());
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path / name; }
};

// `body` with the keys of `more` set.
const auto with = [](json body, const json& more) { return body.update(more), body; };

struct AddressServiceTest : testing::Test {
    Config config() {
        return {.database = folder.file("addresses.db"),
                .claimsPerHour = 3,
                .claimsPerHourTotal = 14,
                .updatesPerHour = 6,
                .trustedProxies = {"10.0.0.1"},
                .allowedOrigins = {"http://127.0.0.1:8000"}};
    }
    Response ask(const std::string& method, const std::string& target, const json& body = {},
                 const std::string& peer = "192.0.2.1", const std::string& forwardedFor = "") {
        return service.handle(
            {method, target, body.is_null() ? std::string() : body.dump(), forwardedFor, peer});
    }
    json claim(const json& body, const std::string& peer = "192.0.2.1") {
        const auto response = ask("POST", "/api/claim", body, peer);
        EXPECT_EQ(response.status, 201) << response.body;
        return json::parse(response.body, nullptr, false);
    }
    int claimStatus(const std::string& peer, const std::string& forwardedFor = "") {
        return ask("POST", "/api/claim", {{"showLast", false}}, peer, forwardedFor).status;
    }
    // Announces a claimed address; the status.
    int live(const json& claimed) {
        return ask("PUT", "/api/live",
                   with(claimed, {{"url", "http://127.0.0.1:8000"}, {"name", "P"}}))
            .status;
    }
    static std::string header(const Response& response, const std::string& name) {
        const auto at =
            std::ranges::find_if(response.headers, [&](auto& h) { return h.first == name; });
        return at == response.headers.end() ? std::string() : at->second;
    }

    Folder folder;
    std::int64_t now = 1'800'000'000;
    AddressService service{config(), [this] { return now; }};
};

using AddressRules = AddressServiceTest;

TEST_F(AddressRules, NamesAndAnnouncedAddresses) {
    const std::string longest(30, 'a'), tooLong(31, 'a');
    const std::pair<std::string, bool> names[] = {
        {"abc", true},   {longest, true}, {tooLong, false}, {"ab", false},         {"-abc", false},
        {"abc-", false}, {"Abc", false},  {"a_b", false},   {"caf\xC3\xA9", false}};
    for (const auto& [name, valid] : names)
        EXPECT_EQ(AddressService::validName(name), valid) << name;

    for (const char* url : {"https://quiet-river-4821.trycloudflare.com",
                            "https://quiet-river-4821.trycloudflare.com/",
                            "https://QUIET-river.TryCloudflare.com", "http://127.0.0.1:8000"})
        EXPECT_TRUE(service.allowedURL(url)) << url;
    for (const char* url :
         {"http://quiet-river-4821.trycloudflare.com", "https://trycloudflare.com",
          "https://quiet.trycloudflare.com.evil.example", "https://eviltrycloudflare.com",
          "https://user@quiet-river.trycloudflare.com",
          "https://quiet-river.trycloudflare.com:8443",
          "https://quiet-river.trycloudflare.com/elsewhere",
          "https://quiet-river.trycloudflare.com/?next=x", "javascript:alert(1)",
          "http://127.0.0.1:8001", "not a url"})
        EXPECT_FALSE(service.allowedURL(url)) << url;
}

// Claimed, announced, visited, gone stale, withdrawn: what visitors get at
// each step, and what the station gets for mistakes.
TEST_F(AddressServiceTest, AnAddressFromClaimToVisitors) {
    const auto kept = claim({{"showLast", true}, {"passcode", "pw"}});
    const std::string path = kept["path"];
    EXPECT_TRUE(path.starts_with("/s/") && path.size() == 13) << path;
    EXPECT_EQ(path.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789", 3), std::string::npos);
    EXPECT_EQ(kept["secret"].get<std::string>().size(), 43u); // 32 bytes, base64url
    EXPECT_NE(claim({{"showLast", true}})["path"], path);

    const auto before = ask("GET", path);
    EXPECT_EQ(before.status, 200);
    EXPECT_NE(before.body.find("This station is off air"), std::string::npos);
    EXPECT_NE(before.body.find("http-equiv=\"refresh\" content=\"30\""), std::string::npos);

    const auto announce = with(kept, {{"url", "https://quiet-river-4821.trycloudflare.com"},
                                      {"name", "<Porch> & \"Co\""}});
    EXPECT_EQ(ask("PUT", "/api/live", announce).status, 204);
    for (const auto& visited : {path, path + "?from=qr", std::string("/S/") + path.substr(3)}) {
        const auto live = ask("GET", visited);
        EXPECT_EQ(live.status, 302) << visited;
        EXPECT_EQ(header(live, "Location"), "https://quiet-river-4821.trycloudflare.com");
        EXPECT_EQ(header(live, "Cache-Control"), "no-store");
    }
    now += AddressService::liveFor + 1; // a station that stopped announcing
    const auto stale = ask("GET", path);
    EXPECT_EQ(stale.status, 200);
    EXPECT_NE(stale.body.find("<h1>&lt;Porch&gt; &amp; &quot;Co&quot;</h1>"), std::string::npos);
    EXPECT_EQ(stale.body.find("<Porch>"), std::string::npos);
    EXPECT_EQ(ask("PUT", "/api/live", announce).status, 204);
    EXPECT_EQ(ask("GET", path).status, 302);
    EXPECT_EQ(ask("DELETE", "/api/live", kept).status, 204);
    EXPECT_EQ(ask("GET", path).status, 200);
    EXPECT_EQ(ask("GET", "/s/nobodyhere").status, 404);
    EXPECT_EQ(json::parse(ask("GET", "/api").body)["service"], "lantern-addressd");

    const auto forged = with(announce, {{"secret", "not-the-secret"}}).dump();
    const std::tuple<std::string, std::string, std::string, int> mistakes[] = {
        {"PUT", "/api/live", forged, 403},
        {"DELETE", "/api/live", forged, 403},
        {"PATCH", "/api/settings",
         with(kept, {{"secret", "x"}, {"passcode", ""}, {"showLast", true}}).dump(), 403},
        {"PUT", "/api/live", with(announce, {{"url", "https://phishing.example"}}).dump(), 400},
        {"PUT", "/api/live", with(announce, {{"path", "/s/nobodyhere"}}).dump(), 404},
        {"PUT", "/api/live", "{\"path\":", 400},
        {"PUT", "/api/live", "[1,2]", 400},
        {"PATCH", "/api/settings", kept.dump(), 400},
        {"POST", "/api/claim", R"({"showLast":"yes"})", 400},
        {"POST", "/api/claim", R"({"hasPasscode":"yes"})", 400},
        {"PATCH", "/api/settings", with(kept, {{"hasPasscode", 1}, {"showLast", true}}).dump(),
         400},
        {"POST", "/api/claim", std::string(AddressService::maxBody + 1, ' '), 413},
        {"POST", "/api/nothing", "{}", 404},
        {"GET", "/api/claim", "", 405},
        {"PATCH", "/api/settings", // the one right request
         with(kept, {{"hasPasscode", true}, {"showLast", false}}).dump(), 204},
    };
    for (const auto& [method, target, body, status] : mistakes)
        EXPECT_EQ(service.handle({method, target, body, "", "192.0.2.9"}).status, status)
            << method << " " << target << " " << body.substr(0, 60);
    EXPECT_EQ(ask("GET", path).status, 200) << "a refused request changed the address";
}

TEST_F(AddressServiceTest, NamesAreClaimedOnce) {
    EXPECT_EQ(claim({{"showLast", false}, {"name", "porch-radio"}})["path"], "/porch-radio");
    const std::pair<json, int> rows[] = {
        {"porch-radio", 409}, {"api", 409},   {"www", 409}, {"admin", 409},
        {"status", 409},      {"Porch", 400}, {"", 400},    {7, 400}};
    int client = 0; // each from a client of its own
    const auto named = [&](const json& name) {
        return ask("POST", "/api/claim", {{"showLast", false}, {"name", name}},
                   "192.0.2." + std::to_string(++client))
            .status;
    };
    for (const auto& [name, status] : rows)
        EXPECT_EQ(named(name), status) << name;

    // A name nobody has announced for 180 days goes to whoever claims it
    // next; the old secret proves nothing then. One announced stays taken.
    const auto busy = claim({{"showLast", false}, {"name", "busy-radio"}}, "192.0.2.50");
    now += 100 * 24 * 3600;
    ASSERT_EQ(live(busy), 204);
    now += 100 * 24 * 3600;
    EXPECT_EQ(named("busy-radio"), 409);
    const auto again = claim({{"showLast", false}, {"name", "porch-radio"}}, "192.0.2.52");
    EXPECT_EQ(ask("DELETE", "/api/live", with(again, {{"secret", "x"}})).status, 403);
    EXPECT_EQ(ask("DELETE", "/api/live", again).status, 204);
}

// Claims are limited per client (the proxy's word counts only for a trusted
// proxy; an IPv6 /64 is one client) and from everyone together, updates per
// address; all come back after an hour.
TEST_F(AddressServiceTest, LimitsPerClientAndPerAddress) {
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(claimStatus("192.0.2.7"), 201);
    EXPECT_EQ(claimStatus("192.0.2.7"), 429);
    EXPECT_EQ(claimStatus("192.0.2.8"), 201);
    // Behind the trusted proxy each client is counted apart; an untrusted
    // peer cannot dodge its limit with the header.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(claimStatus("10.0.0.1", "198.51.100." + std::to_string(i) + ", 10.0.0.1"), 201);
    EXPECT_EQ(claimStatus("192.0.2.7", "198.51.100.99"), 429);
    now += 3600;
    EXPECT_EQ(claimStatus("192.0.2.7"), 201);

    const auto kept = claim({{"showLast", false}}, "192.0.2.60");
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(live(kept), 204);
    EXPECT_EQ(live(kept), 429);
    now += 3600;
    EXPECT_EQ(live(kept), 204);
    // One IPv6 subscriber (a /64) is one client; everyone together has a budget.
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(claimStatus("2001:db8:1:2::" + std::to_string(i)), 201);
    EXPECT_EQ(claimStatus("2001:db8:1:2:ffff::9"), 429);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(claimStatus("198.51.101." + std::to_string(i)), 201);
    EXPECT_EQ(claimStatus("198.51.102.1"), 429)
        << "the claims of many clients together are not bounded";
    RateLimit flood(1, 100); // a flood of clients is remembered within a bound
    for (int i = 0; i < 1000; ++i)
        flood.allow(std::to_string(i), now);
    EXPECT_EQ(flood.remembered(), 100u);
}

// The database holds neither a secret nor a passcode in any form a reader of
// the file could use; the secret still proves ownership after a restart.
// Another connection holding the write lock fails that request alone, with
// 503, after a short wait; visitors are still sent on and the next request
// once the lock is free succeeds.
TEST_F(AddressServiceTest, SecretsAreNotKeptInTheClear) {
    const auto kept = claim({{"showLast", true}, {"passcode", "porch-passcode-123"}});
    const std::string secret = kept["secret"];
    std::string bytes;
    for (const auto* name : {"addresses.db", "addresses.db-wal"}) {
        std::ifstream in(folder.file(name), std::ios::binary);
        bytes.append(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_NE(bytes.find(kept["path"].get<std::string>()), std::string::npos) << "nothing written";
    for (const auto& clear : {secret, secret.substr(0, 16), std::string("porch-passcode-123")})
        EXPECT_EQ(bytes.find(clear), std::string::npos) << clear;
    ASSERT_EQ(live(kept), 204);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(folder.file("addresses.db").c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto busy = ask("POST", "/api/claim", {{"showLast", false}}, "192.0.2.30");
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(header(busy, "Retry-After"), "5");
    EXPECT_EQ(ask("GET", kept["path"]).status, 302);
    sqlite3_close(holder); // rolls back, freeing the lock
    EXPECT_EQ(claimStatus("192.0.2.30"), 201);
    AddressService again(config(), [this] { return now; });
    EXPECT_EQ(again.handle({"DELETE", "/api/live", kept.dump(), "", "x"}).status, 204);
}

// Connections beyond the cap are closed at accept; a place that frees up is
// taken again.
TEST_F(AddressServiceTest, ConnectionsBeyondTheCapAreClosed) {
    boost::asio::io_context io(1);
    HttpFront front(io, service, "127.0.0.1", 0, 2);
    std::thread serving([&] { io.run(); });
    {
        auto first = std::make_unique<RawClient>(front.port());
        RawClient second(front.port()), third(front.port());
        EXPECT_TRUE(third.closedByPeer(2s));
        EXPECT_FALSE(second.closedByPeer(100ms));
        first.reset();
        EXPECT_TRUE(eventually([&] {
            return fetch(front.port(), "/nobody", "GET", "Connection: close\r\n")
                .starts_with("HTTP/1.1 404");
        }));
    }
    io.stop();
    serving.join();
}

TEST(AddressOptions, CommandLineOverConfigFile) {
    Folder folder;
    std::ofstream(folder.file("conf"))
        << "# hosted\nlisten = 0.0.0.0:9000\n"
           "claims-per-hour = 5\ntrusted-proxy = 10.0.0.1, 10.0.0.2\n";
    bool help = false;
    const auto config = parseOptions(
        {"--config=" + folder.file("conf"), "--claims-per-hour=7", "--database=/x.db"}, &help);
    EXPECT_EQ(
        std::tie(config.listen, config.claimsPerHour, config.database, config.trustedProxies),
        std::tuple("0.0.0.0:9000", 7, "/x.db", std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    for (const auto& bad :
         {"--claims-per-hour=0", "--claims-per-hour=x", "--nope=1", "listen", "--listen=8470"})
        EXPECT_THROW(parseOptions({bad}, &help), std::invalid_argument) << bad;
    std::ofstream(folder.file("broken")) << "listen 0.0.0.0:1\n";
    try {
        parseOptions({"--config=" + folder.file("broken")}, &help);
        ADD_FAILURE() << "a broken line was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("broken:1:"), std::string::npos) << error.what();
    }
    parseOptions({"--help"}, &help);
    EXPECT_TRUE(help);
}

// ---- What a player says is playing, and fetching its artwork from an address
// someone else named: bounded in size, time and where it may lead.

// A hostile web server on 127.0.0.1, one connection at a time: /endless is a
// body without end, /trickle one that comes a byte every 50 ms, /elsewhere a
// redirect to another host, /moved one to /image on this host; else 404.
struct WebServer {
    WebServer() : thread_([this] { serve(); }) {}
    ~WebServer() {
        stopping_ = true;
        tcp::socket(io_).connect(acceptor_.local_endpoint()); // wakes the accept
        thread_.join();
    }
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "http://" + host + ":" + std::to_string(acceptor_.local_endpoint().port()) + path;
    }

    std::atomic<int> connections{0};
    std::atomic<std::size_t> sent{0}; // bytes of body without end sent

    void serve() {
        while (true) {
            tcp::socket client(io_);
            acceptor_.accept(client);
            if (stopping_) return;
            ++connections;
            asio::error_code error;
            std::string head(4096, '\0');
            head.resize(client.read_some(asio::buffer(head), error));
            const auto path = requestTarget(std::string_view(head).substr(0, head.find('\r')));
            // False once the client has gone.
            const auto send = [&](std::string_view bytes) {
                return asio::write(client, asio::buffer(bytes), error) == bytes.size();
            };
            if (path == "/endless" || path == "/trickle") {
                send("HTTP/1.0 200 OK\r\n\r\n");
                const std::string piece(path == "/endless" ? 65536 : 1, 'x');
                while (!stopping_ && send(piece)) {
                    sent += piece.size();
                    if (path == "/trickle") std::this_thread::sleep_for(50ms);
                }
            } else {
                send(path == "/elsewhere" ? "HTTP/1.0 302 Found\r\nLocation: " +
                                                url("/image", "localhost") + "\r\n\r\n"
                     : path == "/moved" ? "HTTP/1.0 301 Moved\r\nLocation: /image\r\n\r\n"
                     : path == "/image" ? "HTTP/1.0 200 OK\r\n\r\nPNG"
                                        : "HTTP/1.0 404 Not Found\r\n\r\n");
            }
        }
    }

    asio::io_context io_;
    tcp::acceptor acceptor_{io_, {asio::ip::address_v4::loopback(), 0}};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The body fetched, or why there is none.
std::string fetched(const std::string& url, const FetchLimits& limits) {
    const std::atomic<bool> going{false};
    const auto result = fetch(url, limits, going);
    const auto* failed = std::get_if<FetchFailure>(&result);
    return failed ? failed->why : std::get<std::string>(result);
}

// A body without end is dropped at 10 MiB, a trickle at the time limit; a
// redirect is followed on the same host only; and by default nothing on this
// computer or its network is asked at all.
TEST(Fetch, AHostileAddressGetsNoFurtherThanItsLimits) {
    WebServer server;
    const std::tuple<std::string, std::chrono::milliseconds, std::string> rows[] = {
        {server.url("/endless"), 6s, "too large"},
        {server.url("/trickle"), 1s, "too slow"},
        {server.url("/elsewhere"), 6s, "a redirect to another host"},
        {server.url("/moved"), 6s, "PNG"},
        {server.url("/nothing"), 6s, "answered 404"},
        {"file:///etc/passwd", 6s, "not http or https"},
    };
    for (const auto& [url, time, expected] : rows) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(fetched(url, {.time = time, .allowed = [](const sockaddr&) { return true; }}),
                  expected);
        EXPECT_LT(std::chrono::steady_clock::now() - started, time + 2s) << url;
    }
    EXPECT_LT(server.sent.load(), 16u << 20) << "it read on past the limit";

    const auto asked = server.connections.load();
    for (const char* host : {"127.0.0.1", "localhost", "[::ffff:127.0.0.1]"})
        EXPECT_NE(fetched(server.url("/image", host), {}), "PNG") << host;
    EXPECT_EQ(server.connections.load(), asked) << "an address on this computer was asked";
}

TEST(Fetch, OnlyPublicAddressesArePublic) {
    const auto isPublic = [](const char* text) {
        return isPublicAddress(*tcp::endpoint(asio::ip::make_address(text), 0).data());
    };
    for (const char* text :
         {"93.184.216.34", "172.32.0.1", "2606:4700::1111", "::ffff:93.184.216.34"})
        EXPECT_TRUE(isPublic(text)) << text;
    for (const char* text :
         {"127.0.0.1", "10.1.2.3", "172.16.0.1", "192.168.1.1", "169.254.169.254", "100.64.0.1",
          "0.0.0.0", "224.0.0.1", "255.255.255.255", "::1", "::", "fe80::1", "fd00::1", "ff02::1",
          "::ffff:10.0.0.1", "64:ff9b::7f00:1", "2002:0a00:0001::1", "2001:db8::1"})
        EXPECT_FALSE(isPublic(text)) << text;
}

NowPlaying song(std::string title, bool playing = true) {
    return NowPlaying{std::move(title), "Artist", "Album", std::nullopt, playing, "Music"};
}

// The broadcast's tracks: a pause or a resume is no new track; each says
// when it started and ended before now and whether its start is still kept;
// the covers of the last 30 stay for /cover?track=, and a new broadcast
// starts with what plays now.
TEST(NowPlaying, TheBroadcastsTracksWithTheirTimesAndCovers) {
    // The history holds every change of the last minute plus the one current a
    // minute ago, so a listener up to 60 s behind is always answered.
    NowPlayingHistory history;
    const NowPlayingHistory::Clock::time_point start{};
    EXPECT_FALSE(history.at(start));
    history.record(song("zero"), start);
    history.record(song("zero"), start + 5s); // the same record keeps its first time
    history.record(song("thirty"), start + 30s);
    history.record(song("ninety"), start + 90s);
    ASSERT_EQ(history.count(), 2u);
    EXPECT_EQ(history.at(start + 100s), song("ninety"));
    EXPECT_EQ(history.at(start + 50s), song("thirty"));
    EXPECT_FALSE(history.at(start + 10s));

    Shared shared;
    const auto now = NowPlayingHistory::Clock::now();
    shared.setWindow(600s);
    shared.with([&](SharedState& state) {
        for (const auto& [title, playing, ago] : {std::tuple{"one", true, 300s},
                                                  {"one", false, 250s},
                                                  {"one", true, 240s},
                                                  {"two", true, 100s}})
            state.history.record(song(title, playing), now - ago);
    });
    const Cover cover{{1, 2, 3}, "image/png"};
    shared.record(song("three"), cover);
    const auto tracks = nlohmann::json::parse(shared.historyJSON(200))["tracks"];
    ASSERT_EQ(tracks.size(), 3u) << tracks;
    const std::tuple<const char*, double, double, bool, bool> rows[] = {
        {"three", 0, 0, true, true}, {"two", 100, 0, false, true}, {"one", 300, 100, false, false}};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& [title, started, ended, hasCover, replayable] = rows[i];
        EXPECT_EQ(tracks[i]["title"], title);
        EXPECT_NEAR(tracks[i]["startedAgo"].get<double>(), started, 0.5) << title;
        EXPECT_NEAR(tracks[i]["endedAgo"].get<double>(), ended, 0.5) << title;
        EXPECT_EQ(tracks[i]["hasCover"], hasCover) << title;
        EXPECT_EQ(tracks[i]["replayable"], replayable) << title;
    }
    const auto first = tracks[0]["id"].get<std::uint64_t>();
    EXPECT_TRUE(shared.coverOf(first) == cover && !shared.coverOf(tracks[1]["id"]));
    for (int i = 0; i < 30; ++i)
        shared.record(song("more " + std::to_string(i)), cover);
    EXPECT_FALSE(shared.coverOf(first)) << "more than 30 covers kept";
    EXPECT_TRUE(shared.coverOf(first + 30));
    shared.restart();
    const auto after = nlohmann::json::parse(shared.historyJSON(200))["tracks"];
    EXPECT_TRUE(after.size() == 1 && after[0]["title"] == "more 29") << after;
}

// The companion player's note: every key but the cover required, a title
// needed; a cover only when strict Base64 of more than 8 bytes, PNG by its
// signature and anything else JPEG.
TEST(NowPlaying, ParsesTheCompanionsNote) {
    // A record as JSON: an absent cover left out, every other key needed.
    EXPECT_EQ(toJSON(song("T")),
              R"({"title":"T","artist":"Artist","album":"Album","playing":true,"source":"Music"})");
    auto record = song("Ünïcode \"quoted\"", false);
    record.coverURL = "https://img.example/c.jpg";
    EXPECT_EQ(nowPlayingFromJSON(toJSON(record)), record);
    for (const char* broken :
         {R"({"artist":"A","album":"B","playing":true,"source":"S"})",
          R"({"title":"T","artist":"A","album":"B","playing":"yes","source":"S"})", R"(["T"])",
          "not json"})
        EXPECT_FALSE(nowPlayingFromJSON(broken)) << broken;

    const auto note = [](const std::string& extra) {
        return R"({"title":"Song","artist":"Singer","album":"Record","playing":true)" + extra + "}";
    };
    EXPECT_EQ(parseLanternNote(note(""), "Hearken"),
              std::pair(NowPlaying{"Song", "Singer", "Record", {}, true, "Hearken"},
                        std::optional<Cover>()));
    for (const char* broken : {R"({"title":"Song","album":"Record","playing":true})",
                               R"({"title":"","artist":"S","album":"R","playing":true})", "{"})
        EXPECT_FALSE(parseLanternNote(broken, "H")) << broken;

    const std::pair<std::string, std::optional<Cover>> covers[] = {
        {"iVBORw0KGgoA", Cover{{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0x00}, "image/png"}},
        {"R0lGODlhAAAA", Cover{{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0}, "image/jpeg"}},
        {"iVBORw0KGgo=", std::nullopt},    // 8 bytes
        {"iVBORw0K\\nGgoA", std::nullopt}, // a line feed is not Base64
        {"iVBORw0KGgoAAA", std::nullopt},  // unpadded
        {"iVBORw0KGgo-", std::nullopt},    // the URL-safe alphabet
    };
    for (const auto& [base64, expected] : covers) {
        const auto parsed = parseLanternNote(note(R"(,"cover":")" + base64 + "\""), "H");
        ASSERT_TRUE(parsed) << "a bad cover lost the record: " << base64;
        EXPECT_EQ(parsed->second, expected) << base64;
    }
}

} // namespace
