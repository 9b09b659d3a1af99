// What a player says is playing, and fetching its artwork from an address
// someone else named: bounded in size, time and where it may lead.
#include "core/net/fetch.h"
#include "core/nowplaying/now_playing.h"
#include "core/station/shared.h"
#include "core/stream/http.h"

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>
#include <thread>

using namespace lantern;
using namespace std::chrono_literals;
using asio::ip::tcp;

namespace {

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

TEST(NowPlaying, JSONLeavesOutAnAbsentCoverAndNeedsEveryOtherKey) {
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
}

// The history holds every change of the last minute plus the one current a
// minute ago, so a listener up to 60 s behind is always answered.
TEST(NowPlaying, HistoryAnswersForTheMomentAListenerHears) {
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
}

// The broadcast's tracks: a pause or a resume is no new track; each says
// when it started and ended before now and whether its start is still kept;
// the covers of the last 30 stay for /cover?track=, and a new broadcast
// starts with what plays now.
TEST(NowPlaying, TheBroadcastsTracksWithTheirTimesAndCovers) {
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
