#include "core/config/station_config.h"
#include "core/station/audio_path.h"
#include "core/stream/audience.h"
#include "core/stream/guess_limit.h"
#include "core/stream/http.h"
#include "core/stream/stream_server.h"
#include "core/stream/text.h"
#include "core/stream/uplink_watch.h"
#include "core/system/sockets.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"

#include <array>
#include <asio/bind_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>
#include <charconv>
#include <clocale>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <numeric>

using namespace lantern;
using namespace lantern::test;
using Clock = std::chrono::steady_clock;
using Limits = StreamServer::Limits;

namespace {

// Routing: the version is optional, the method case-sensitive, runs of spaces
// one separator, paths not decoded, empty pieces dropped. The lag parses with
// a "." alone, here in a locale whose decimal separator is a comma; "+" in it
// is a space, that is leading white space.
TEST(HTTP, RoutesRequestLines) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    ASSERT_TRUE(std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "de_DE.utf8") ||
                std::setlocale(LC_ALL, "fr_FR.UTF-8"))
        << "no locale with a decimal comma is installed (the test command makes one)";
    const std::pair<Route, std::vector<std::string>> rows[] = {
        {Route::page(), {"GET / HTTP/1.1", "GET /"}},
        {Route::notFound(),
         {"get / HTTP/1.1", "POST /stream HTTP/1.1", "HEAD / HTTP/1.1", "", "GET /stream/ HTTP/1.1",
          "GET /%73tream HTTP/1.1"}},
        {Route::stream(), {"GET  /stream  HTTP/1.1", "GET ?/stream HTTP/1.1"}},
        {Route::streamCheck(), {"HEAD /stream?k=x HTTP/1.1"}},
        {Route::cover(), {"GET /cover?k=x HTTP/1.1"}},
        {{.kind = Route::Kind::cover, .track = 7}, {"GET /cover?track=7&k=x HTTP/1.1"}},
        {{.kind = Route::Kind::history}, {"GET /history?k=x HTTP/1.1"}},
        {{.kind = Route::Kind::stream, .behind = 90},
         {"GET /stream?behind=90", "GET /stream?behind=90.0"}},
        {Route::stream(), {"GET /stream?behind=-5 HTTP/1.1"}}, // negative: live
        {{.kind = Route::Kind::stream, .behind = 30, .form = Form::opus},
         {"GET /stream?light=opus&behind=30"}},
        {{.kind = Route::Kind::stream, .form = Form::light}, {"GET /stream?light=1&k=x"}},
        {{.kind = Route::Kind::playlist, .form = Form::light}, {"GET /light.m3u?k=x"}},
        {Route::badRequest(),
         {"GET /stream?behind=1e3", "GET /stream?behind=0x10", "GET /stream?behind=9999999999",
          "GET /stream?behind=", "GET /stream?behind=%205", "GET /stream?behind=+5",
          "GET /stream?behind=5.", "GET /stream?behind=.5", "GET /stream?behind=nan",
          "GET /stream?behind=1%00", "GET /cover?track=-1", "GET /cover?track=1.5",
          "GET /cover?track=x", "GET /stream?light=0",
          "GET /stream?light=", "GET /stream?light=OPUS", "GET /stream?light=1%00"}},
        {Route::playlist(), {"GET /listen.m3u?k=x HTTP/1.1"}},
        {Route::now(0),
         {"GET /now HTTP/1.1", "GET /now?lag=12,5", "GET /now?lag=-3", "GET /now?lag=abc",
          "GET /now?lag=+5", "GET /now?ahead=-2", "GET /now?ahead=inf"}},
        {Route::now(12.5), {"GET /now?lag=12.5 HTTP/1.1", "GET /now?lag=12.5&ahead=nan"}},
        {Route::now(12.5, 4), {"GET /now?lag=12.5&ahead=4&l=t HTTP/1.1"}},
        {Route::now(500), {"GET /now?lag=500 HTTP/1.1"}},
        {Route::now(7), {"GET /now?lag=1&lag=7 HTTP/1.1"}},
        {Route::now(8), {"GET /now?lag=0x1p3 HTTP/1.1"}}};
    for (const auto& [expected, lines] : rows)
        for (const auto& line : lines)
            EXPECT_TRUE(route(line) == expected) << line << " gave lag " << route(line).lag;
    std::setlocale(LC_ALL, saved.c_str());
}

// A malformed escape stays, with "+" still a space; bytes that are not UTF-8
// stay escaped.
TEST(HTTP, DecodesQueries) {
    const std::pair<std::string, Query> rows[] = {{"/x?a+b=c%20d", {{"a b", "c d"}}},
                                                  {"/x?x=%zz", {{"x", "%zz"}}},
                                                  {"/x?x=a+%2", {{"x", "a %2"}}},
                                                  {"/x?x=%FF+a", {{"x", "%FF a"}}},
                                                  {"/x?x=%C3%A9", {{"x", "\xC3\xA9"}}},
                                                  {"/x?", {}},
                                                  {"/x", {}},
                                                  {"/x?k", {{"k", ""}}},
                                                  {"/x?k=a=b", {{"k", "a=b"}}},
                                                  {"/x?=v", {{"v", ""}}},
                                                  {"/x?a=1&&b=2&", {{"a", "1"}, {"b", "2"}}},
                                                  {"/x?a=1&a=2", {{"a", "2"}}}};
    for (const auto& [target, expected] : rows)
        EXPECT_EQ(query(target), expected) << target;
}

// Byte for byte: not normalised, not case-folded, no NUL-terminated prefix.
TEST(HTTP, ComparesPasscodesByteForByte) {
    const std::tuple<std::string_view, std::optional<std::string_view>, bool> rows[] = {
        {"open sesame", "open sesame", true},
        {"abc", std::nullopt, false},
        {"", std::nullopt, false},
        {"", "", true},
        {"abc", "", false},
        {"abc", std::string_view("abc\0", 4), false},
        {"abcd", "abc", false},
        {"abc", "ABC", false},
        {"\xC3\xA9", "e\xCC\x81", false}};
    for (const auto& [station, given, matches] : rows)
        EXPECT_EQ(passcodeMatches(station, given), matches)
            << station << " / " << given.value_or("<none>");
}

// Who a request comes from: the tunnel's header when it holds an address,
// an IPv6 address by its /64, the peer otherwise; header names in any case.
TEST(HTTP, VisitorsAndHeaderFields) {
    const std::string head = "GET /now HTTP/1.1\r\nHost: x\r\ncf-connecting-ip:  198.51.100.7 "
                             "\r\nCf-Connecting-IP: 203.0.113.1\r\nX-Empty:";
    EXPECT_EQ(headerField(head, "Cf-Connecting-IP"), "198.51.100.7");
    EXPECT_EQ(headerField(head, "x-empty"), "");
    EXPECT_EQ(headerField(head, "GET /now HTTP/1.1"), std::nullopt);
    EXPECT_EQ(headerField("GET / HTTP/1.1", "Host"), std::nullopt);
    const std::tuple<std::optional<std::string_view>, std::string_view, std::string> rows[] = {
        {"198.51.100.7", "127.0.0.1", "198.51.100.7"},
        {"2001:db8:aa:bb:1:2:3:4", "127.0.0.1", "2001:db8:aa:bb::/64"},
        {"::ffff:198.51.100.7", "127.0.0.1", "198.51.100.7"},
        {std::nullopt, "127.0.0.1", "127.0.0.1"},
        {"198.51.100.7, 10.0.0.1", "127.0.0.1", "127.0.0.1"},
        {"", "::1", "::/64"}};
    for (const auto& [header, peer, expected] : rows)
        EXPECT_EQ(visitorKey(header, peer), expected) << header.value_or("<none>");
}

// Every answer carries its reason and the fields that keep a browser from
// sniffing, framing or leaking it, in one order; the tests of the server
// compare with this function, so it is written out here once.
TEST(HTTP, AResponseHeadIsWrittenOutWhole) {
    EXPECT_EQ(responseHead(206, "audio/aac", 2, {{"Content-Range", "bytes 0-1/*"}}),
              "HTTP/1.1 206 Partial Content\r\nAccess-Control-Allow-Origin: *\r\nConnection: "
              "close\r\nReferrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n"
              "Content-Type: audio/aac\r\nContent-Length: 2\r\nContent-Range: bytes 0-1/*\r\n\r\n");
    EXPECT_TRUE(responseHead(400, std::nullopt, 0).starts_with("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_TRUE(responseHead(416, {}, 0).starts_with("HTTP/1.1 416 Range Not Satisfiable\r\n"));
}

// The page may run only its own script and style: each by its hash.
TEST(HTTP, ThePagePolicyAllowsItsOwnInlineCodeAlone) {
    const auto policy = pagePolicy("<style>a{}</style><script>go()</script><script>x</script>");
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(policy.find("script-src 'sha256-" + sha256Base64("go()") + "' 'sha256-" +
                          sha256Base64("x") + "';"),
              std::string::npos)
        << policy;
    EXPECT_NE(policy.find("style-src 'sha256-" + sha256Base64("a{}") + "';"), std::string::npos);
    EXPECT_EQ(sha256Base64(""), "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
    EXPECT_NE(pagePolicy("<p>no code</p>").find("script-src 'none'"), std::string::npos);
}

// A player's title block: whole 16-byte units after a length byte, the title
// whole and unable to end its field early (a quote, a line break), a long
// one cut at a character's start; ranges a probe may ask for; the origin a
// playlist names, only from a Host that is one.
TEST(HTTP, TitleBlocksRangesAndOrigins) {
    const auto text = [](const std::string& block) {
        EXPECT_EQ(block.size(), 1 + 16 * static_cast<unsigned char>(block[0]));
        return std::string(block.c_str() + 1); // up to the zero padding
    };
    const std::string emoji = "\xF0\x9F\x8E\xB5";
    EXPECT_EQ(text(Icy::block("Guns N' Roses - Don't Cry; Live " + emoji + "\n")),
              "StreamTitle='Guns N\xE2\x80\x99 Roses - Don\xE2\x80\x99t Cry; Live " + emoji +
                  " ';");
    EXPECT_EQ(Icy::block(""), std::string(1, '\1') + "StreamTitle='';" + std::string(1, '\0'));
    const std::string long300(300, 'a');
    EXPECT_EQ(text(Icy::block(long300)), "StreamTitle='" + long300 + "';");
    std::string huge;
    for (int i = 0; i < 3000; ++i)
        huge += "\xC3\xA9"; // é, two bytes each: more than a block holds
    const auto cut = text(Icy::block(huge));
    EXPECT_LE(cut.size(), 255u * 16);
    EXPECT_TRUE(cut.ends_with("\xC3\xA9';")) << "cut inside a character";

    const std::pair<std::string, std::optional<std::pair<std::uint64_t, std::uint64_t>>> ranges[] =
        {{"bytes=0-1", std::pair(0, 1)},    {"bytes=100-199", std::pair(100, 199)},
         {"bytes=0-", std::nullopt},        {"bytes=-500", std::nullopt},
         {"bytes=5-4", std::nullopt},       {"bytes=0-1,4-5", std::nullopt},
         {"bytes=0-9999999", std::nullopt}, {"items=0-1", std::nullopt}};
    for (const auto& [range, expected] : ranges)
        EXPECT_EQ(boundedRange("GET /stream HTTP/1.1\r\nRange: " + range), expected) << range;

    const std::pair<std::string, std::optional<std::string>> hosts[] = {
        {"Host: quiet-river.trycloudflare.com\r\nX-Forwarded-Proto: https",
         "https://quiet-river.trycloudflare.com"},
        {"Host: 127.0.0.1:8471", "http://127.0.0.1:8471"},
        {"Host: [::1]:8471", "http://[::1]:8471"},
        {"Host: evil.example/x?", std::nullopt},
        {"Host: a\"><script>", std::nullopt},
        {"Host: ", std::nullopt},
        {"X-Forwarded-Proto: https", std::nullopt}};
    for (const auto& [fields, expected] : hosts)
        EXPECT_EQ(visitedOrigin("GET /listen.m3u HTTP/1.1\r\n" + fields), expected) << fields;
}

const auto chunkOf = [](std::string_view text) { return Chunk(Bytes(text.begin(), text.end())); };

// The listener's next chunk; "<end>" for end of data, "<none>" when nothing comes.
std::string nextText(Listener& listener, std::chrono::milliseconds wait = 2s) {
    auto future = listener.next(asio::use_future);
    if (future.wait_for(wait) != std::future_status::ready) return "<none>";
    const auto chunk = future.get();
    return chunk ? std::string(chunk->bytes().begin(), chunk->bytes().end()) : "<end>";
}

TEST(Fanout, TheBurstKeepsTheLastWholeChunksAndComesFirstAsOneChunk) {
    Fanout empty(0, 256);
    empty.publish(chunkOf("lost"));
    auto nobody = empty.join(std::nullopt);
    empty.publish(chunkOf("live"));
    EXPECT_EQ(nextText(*nobody), "live"); // no burst: the next publish comes first

    Fanout fanout(10, 256);
    for (const auto* text : {"abcd", "efgh", "ijkl"})
        fanout.publish(chunkOf(text));
    auto listener = fanout.join(std::nullopt);
    fanout.publish(chunkOf("next"));
    // Whole chunks (each is whole audio frames), so a decoder starts on a
    // frame, and at least the burst's size of them.
    EXPECT_EQ(nextText(*listener), "abcdefghijkl");
    EXPECT_EQ(nextText(*listener), "next");
    EXPECT_EQ(fanout.burstSize(), 12u); // "efghijklnext"
    fanout.publish(chunkOf("a chunk larger than the burst"));
    EXPECT_EQ(fanout.burstSize(), 29u);
    fanout.publish(chunkOf("x"));
    fanout.closeAll();
    EXPECT_EQ(nextText(*fanout.join(std::nullopt)), "a chunk larger than the burstx")
        << "the burst outlives closeAll";
}

// A listener behind live starts at the first chunk published that long ago
// with at least a burst of whole chunks, then gets one kept chunk per chunk
// published, so it stays as far behind; the window holds its length and no
// more, and going shorter sends those whose place went with it to live.
TEST(Fanout, AListenerBehindLiveStaysAsFarBehindInABoundedWindow) {
    Fanout fanout(8, 256); // a burst of two chunks
    fanout.setWindow(10s);
    const auto start = Chunk::Clock::now() - 20s;
    const auto at = [&](int second) { return start + std::chrono::seconds(second); };
    for (int second = 0; second <= 20; ++second) { // a chunk a second, the last one now
        const auto text = "s" + std::to_string(100 + second);
        fanout.publish(Chunk(Bytes(text.begin(), text.end()), at(second)));
    }
    EXPECT_TRUE(fanout.keptBytes() == 11u * 4 && fanout.reach() == 10)
        << "the window is ten seconds and the newest chunk";

    auto ninety = fanout.join("far", true, 5.5), oldest = fanout.join("old", true, 3600);
    auto live = fanout.join("live");
    EXPECT_EQ(fanout.behindCount(), 2u);
    EXPECT_EQ(nextText(*ninety), "s115s116") << "from the first chunk 5.5 s old on";
    EXPECT_EQ(nextText(*oldest), "s110s111") << "past the window: its oldest chunk";
    EXPECT_EQ(nextText(*live), "s119s120");
    EXPECT_EQ(fanout.burstBytes(1, 99, 5.5), Bytes({'1', '1', '5', 's', '1', '1', '6'}));
    fanout.publish(Chunk(Bytes{'n', 'e', 'w', '!'}, Chunk::Clock::now()));
    EXPECT_EQ(nextText(*ninety), "s117");
    EXPECT_EQ(nextText(*live), "new!");

    fanout.setWindow(0s); // only the burst stays: the places behind go with the rest
    fanout.publish(Chunk(Bytes{'n', 'e', 'x', 't'}, Chunk::Clock::now()));
    EXPECT_EQ(nextText(*oldest), "s112");
    EXPECT_EQ(nextText(*oldest), "next") << "continues live";
    EXPECT_EQ(fanout.behindCount(), 0u);
    EXPECT_EQ(fanout.keptBytes(), 8u);
    fanout.forget();
    EXPECT_EQ(fanout.burstSize(), 0u) << "a new broadcast starts from nothing";
}

// Every publish waking every listener costs each a write per chunk; a
// listener is woken at most every quarter second, or once a few chunks wait,
// and then gets them all. The recorder and the relay get each chunk at once:
// one waiting when the broadcast ends would be lost.
TEST(Fanout, AWaitingListenerIsWokenForSeveralChunksAtOnce) {
    Fanout fanout(0, 256);
    auto listener = fanout.join(std::nullopt), recorder = fanout.join(std::nullopt, false);
    fanout.publish(chunkOf("a"));
    EXPECT_EQ(nextText(*listener), "a") << "the first goes at once";
    EXPECT_EQ(nextText(*recorder), "a");
    auto woken = listener->next(asio::use_future), written = recorder->next(asio::use_future);
    fanout.publish(chunkOf("b"));
    EXPECT_EQ(written.wait_for(2s), std::future_status::ready) << "the recorder was kept waiting";
    fanout.publish(chunkOf("c"));
    EXPECT_EQ(woken.wait_for(100ms), std::future_status::timeout) << "woken for one chunk";
    fanout.publish(chunkOf("d"));
    ASSERT_EQ(woken.wait_for(2s), std::future_status::ready);
    std::vector<Chunk> rest;
    listener->takeAll(rest);
    EXPECT_EQ(woken.get()->size() + rest.size(), 3u);
}

TEST(Fanout, CountsTagsOnceAndSeatsLeaveWhenTheirOwnerUnwinds) {
    auto fanout = std::make_shared<Fanout>(0, 256);
    auto x1 = fanout->join("x"), x2 = fanout->join("x"), y = fanout->join("y");
    auto a = fanout->join(std::nullopt), b = fanout->join(std::nullopt);
    EXPECT_EQ(fanout->count(), 4u);
    fanout->leave(x1);
    fanout->leave(x1); // twice counts once
    EXPECT_EQ(fanout->count(), 4u) << "x is still there through x2";
    fanout->leave(x2);
    EXPECT_EQ(fanout->count(), 3u);
    fanout->closeAll();
    EXPECT_EQ(fanout->count(), 0u);
    EXPECT_ANY_THROW(Fanout::Seat seat(fanout, "page-42"); ASSERT_EQ(fanout->count(), 1u);
                     throw std::runtime_error("a handler failed"));
    EXPECT_EQ(fanout->count(), 0u) << "a seat outlived its owner";

    // A tag counts once across the stream's forms, and moves with its listener.
    const auto forms = Renditions::make(1, 8000, 8000, 256);
    auto full = forms.full->join("z"), light = forms.opus->join("z");
    forms.full->join(std::nullopt);
    ASSERT_TRUE(forms.full->moveTo(full, *forms.light));
    EXPECT_EQ(forms.full->count(), 2u);
    EXPECT_EQ(forms.lightCount(), 2u) << "z on each light form";
    forms.closeAll();
    EXPECT_EQ(forms.light->count(), 0u);
}

// The consumer runs on its own executor exactly once, never on the thread
// that publishes (the audio thread) and never inside push().
TEST(Fanout, ConsumersAreResumedOnTheirOwnExecutors) {
    Fanout fanout(0, 256);
    asio::io_context executors[2];
    std::vector<std::thread::id> ran[2];
    std::vector<std::shared_ptr<Listener>> listeners;
    for (int i = 0; i < 6; ++i)
        listeners.emplace_back(fanout.join(std::nullopt))
            ->next(asio::bind_executor(executors[i % 2], [&ran, i](std::optional<Chunk>) {
                ran[i % 2].push_back(std::this_thread::get_id());
            }));
    fanout.publish(chunkOf("x"));
    fanout.publish(chunkOf("y")); // queued, not a second resumption
    fanout.settle();
    for (const int k : {0, 1}) {
        std::thread runner([&] { executors[k].run(); });
        const auto id = runner.get_id();
        runner.join();
        EXPECT_EQ(ran[k], std::vector(3, id)) << k;
    }
}

// Chunks carry increasing sequence numbers and the burst holds whole chunks:
// every listener sees the burst first, then exactly the chunks after it,
// however its join interleaves with the publisher.
TEST(Fanout, TheBurstComesFirstWhilePublishersRaceJoins) {
    constexpr std::size_t size = 7; // bytes of a chunk: its number plus a million, in digits
    constexpr std::uint64_t published = 2000;
    Fanout fanout(size * 16, 1 << 20);
    const auto encode = [](std::uint64_t s) { return chunkOf(std::to_string(1000000 + s)); };
    const auto decode = [](const Chunk& chunk, std::size_t at) {
        return std::stoull(std::string(&chunk.bytes()[at], &chunk.bytes()[at] + size)) - 1000000;
    };
    fanout.publish(encode(0));
    std::thread publisher([&] {
        for (std::uint64_t s = 1; s < published; ++s)
            fanout.publish(encode(s));
    });
    std::vector<std::shared_ptr<Listener>> joined;
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(20us))
        joined.push_back(fanout.join(std::nullopt));
    publisher.join();

    for (const auto& listener : joined) {
        std::vector<Chunk> chunks;
        listener->takeAll(chunks);
        ASSERT_FALSE(chunks.empty());
        std::uint64_t expected = decode(chunks.front(), 0);
        for (std::size_t at = 0; at < chunks.front().bytes().size(); at += size)
            ASSERT_EQ(decode(chunks.front(), at), expected++) << "the burst is not consecutive";
        ASSERT_EQ(chunks.size(), 1 + published - expected) << "chunks lost or repeated";
        for (std::size_t i = 1; i < chunks.size(); ++i)
            ASSERT_EQ(decode(chunks[i], 0), expected++);
    }
}

const std::string page = "<!doctype html><title>listen</title>";
const std::string notHere = responseHead(404, "text/plain; charset=utf-8", 9) + "Not here\n";
const std::string streamHead =
    responseHead(200, "audio/aac", std::nullopt, {{"Cache-Control", "no-store"}});
const std::string pageAnswer = responseHead(200, "text/html; charset=utf-8", page.size(),
                                            {{"Content-Security-Policy", pagePolicy(page)}}) +
                               page;
const std::string full = "The station is full right now\n";
const auto fullHead =
    responseHead(503, "text/plain; charset=utf-8", full.size(), {{"Retry-After", "10"}});

// What the test's station writes for /now, and the answer that carries it.
const auto lagBody = [](double lag) {
    char text[32];
    return "{\"lag\":" + std::string(text, std::to_chars(text, text + 32, lag).ptr) + "}";
};
const auto json = [](double lag) {
    return responseHead(200, "application/json", lagBody(lag).size(),
                        {{"Cache-Control", "no-store"}}) +
           lagBody(lag);
};

// A started server over its own fan-out, with a passcode and a cover that the
// test can change while it runs, as the station does.
class Station {
public:
    // With `streams`, the full stream is theirs and the light one is offered too.
    explicit Station(Limits limits = Limits::forDescriptors(4096), StreamServer::Titles titles = {},
                     const std::optional<Renditions>& streams = std::nullopt)
        : fanout(streams ? streams->full
                         : std::make_shared<Fanout>(StationConfig::burstBytes, 256)),
          server(std::make_unique<StreamServer>(
              fanout, page,
              [this](double lag) { return nowThread = std::this_thread::get_id(), lagBody(lag); },
              [this] { return std::scoped_lock(mutex), cover; }, // copied under the lock
              [this] { return std::scoped_lock(mutex), access; }, limits)) {
        server->setTitles(std::move(titles));
        server->setAudience(audience);
        if (streams) server->setLight(streams->light, streams->opus, 1.0 / 3);
        server->trustTunnel([this](int) { return viaTunnel.load(); });
        auto started = server->start(asio::use_future);
        if (started.wait_for(5s) == std::future_status::ready) port = started.get();
    }
    void set(std::optional<std::string> code, std::optional<Cover> image, bool heldBack = false) {
        std::lock_guard lock(mutex);
        access = {heldBack, std::move(code)};
        cover = std::move(image);
    }
    // A listener whose head is answered; what follows it is still to be read.
    std::unique_ptr<RawClient> listen(const std::string& target = "/stream", int buffer = 0,
                                      const std::string& fields = "") {
        auto client = std::make_unique<RawClient>(port, buffer);
        client->send("GET " + target + " HTTP/1.1\r\n" + fields + "\r\n");
        EXPECT_EQ(client->readHead(), streamHead) << target;
        return client;
    }

    std::shared_ptr<Fanout> fanout;
    std::shared_ptr<Audience> audience = std::make_shared<Audience>();
    std::unique_ptr<StreamServer> server;
    std::uint16_t port = 0;
    std::thread::id nowThread;
    std::atomic<bool> viaTunnel{false}; // whether connections come from the tunnel tool

private:
    std::mutex mutex;
    Access access;
    std::optional<Cover> cover;
};

TEST(StreamServer, ListensOnLoopbackOnlyAndStopBeforeReadyCancelsTheStart) {
    Station station;
    ASSERT_NE(station.port, 0);
    std::set<std::string> addresses;
    for (const auto& listener : Sockets::tcpListeners())
        if (listener.port == station.port) addresses.insert(listener.address);
    EXPECT_EQ(addresses, std::set<std::string>{"0100007F"}) << "not on 127.0.0.1 alone";

    // The server's thread is held while start() and stop() are called, so
    // that the stop surely comes before the start is ready.
    std::promise<void> release;
    asio::post(station.server->executor(), [held = release.get_future().share()] { held.wait(); });
    auto started = station.server->start(asio::use_future);
    station.server->stop();
    release.set_value();
    ASSERT_EQ(started.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(started.get(), std::system_error);
    EXPECT_TRUE(eventually([&] { return fetch(station.port, "/") == "<refused>"; }));
}

TEST(StreamServer, ThePasscodeGuardsEveryRouteButThePageAndAnUnknownOneLetsNobodyIn) {
    Station station;
    station.set(std::nullopt, Cover{{0x89, 'P', 'N', 'G'}, "image/png"});
    const std::pair<std::string, std::string> open[] = {
        {"/", pageAnswer},
        {"/now?lag=900&k=anything", json(900)},
        {"/cover", responseHead(200, "image/png", 4, {{"Cache-Control", "no-store"}}) + "\x89PNG"},
    };
    for (const auto& [target, expected] : open)
        EXPECT_EQ(fetch(station.port, target), expected) << target;
    EXPECT_NE(station.nowThread, std::thread::id());
    EXPECT_NE(station.nowThread, std::this_thread::get_id()) << "not on the server's thread";

    station.set("s3 cret", std::nullopt);
    const std::pair<std::string, std::string> guarded[] = {
        {"/index.html", pageAnswer},   {"/now", notHere},
        {"/now?k=S3+CRET", notHere},   {"/now?lag=2.5&k=s3%20cret", json(2.5)},
        {"/cover?k=s3+cret", notHere}, // no cover: as if not served
        {"/stream?k=nope", notHere},
    };
    for (const auto& [target, expected] : guarded)
        EXPECT_EQ(fetch(station.port, target), expected) << target;
    EXPECT_EQ(fetch(station.port, "/stream?k=nope", "HEAD"), notHere);
    auto listener = station.listen("/stream?k=s3+cret");
    EXPECT_EQ(station.fanout->count(), 1u);

    // A passcode in use but not known (the keyring did not answer) lets nobody
    // in: streams under way are let go at once, the page loads, everything
    // else says to come back later.
    station.set(std::nullopt, Cover{{0x89, 'P', 'N', 'G'}, "image/png"}, true);
    station.server->recheckStreams();
    EXPECT_TRUE(listener->closedByPeer(2s));
    const std::string held = "The station isn't letting listeners in right now\n";
    const auto heldAnswer =
        responseHead(503, "text/plain; charset=utf-8", held.size(), {{"Retry-After", "30"}}) + held;
    for (const char* target : {"/stream", "/now", "/cover", "/stream?k=s3+cret"})
        EXPECT_EQ(fetch(station.port, target), heldAnswer) << target;
    EXPECT_EQ(fetch(station.port, "/"), pageAnswer);
}

// A name is plain text whatever a visitor sends: markup stays text; control,
// format and direction characters go (a line break cannot forge a console
// line); white space is one space; 24 characters, and bytes to match.
// Reactions come from a tag's own visitor while it listens, at most one a
// second and 20 a minute per tag and 60 a minute per visitor, and no flood
// of tags grows the tables.
TEST(Audience, NamesArePlainTextAndReactionsAreLimitedAndBounded) {
    const std::pair<std::string, std::string> names[] = {
        {"  Sam \n\t Smith ", "Sam Smith"},
        {"<img src=x onerror=alert(1)>", "<img src=x onerror=alert"},
        {"Cafe\u0301", "Caf\u00e9"},
        {"\u202eevil\u202c\u200dname\u2066\u200b", "evilname"},
        {"Sam\r\nlantern: off air", "Sam lantern: off air"},
        {std::string(10000, 'x'), std::string(24, 'x')},
        {"\xff\xfeok", "\ufffd\ufffdok"},
        {"\u2028\u00a0", ""},
    };
    for (const auto& [given, shown] : names)
        EXPECT_EQ(cleanName(given), shown) << given;
    std::string heaped = "e";
    for (int i = 0; i < 400; ++i)
        heaped += "\u0301";
    EXPECT_LE(cleanName(heaped).size(), 24u * 8) << "one character heaped with marks";
    EXPECT_EQ(listeningLine({"Sam", "Alex", "Kim"}, 5), "Sam, Alex and 3 more listening");
    EXPECT_EQ(reactionCounts({7, 24, 0, 1, 0}), "24 hearts, 7 claps, 1 laugh");

    using A = Audience::Answer;
    auto audience = std::make_shared<Audience>(Audience::Rules{.tags = 3, .perVisitorMinute = 30});
    const auto t = Audience::Clock::now();
    EXPECT_EQ(audience->react("a", "me", Reaction::clap, t), A::notListening) << "no stream open";
    auto a = audience->stay("a", "me"), again = audience->stay("a", "you");
    EXPECT_EQ(audience->react("a", "you", Reaction::clap, t), A::notListening)
        << "a reaction for another visitor's tag";
    int taken = 0;
    for (int i = 0; i < 80; ++i) { // every half second for 40 s
        taken += audience->react("a", "me", Reaction::fire, t + i * 500ms) == A::taken;
        if (i == 19) {
            EXPECT_EQ(taken, 10) << "more than one a second";
        }
    }
    EXPECT_EQ(taken, 20) << "more than 20 a minute per tag";
    auto b = audience->stay("b", "me");
    for (int i = 0; i < 20; ++i)
        taken += audience->react("b", "me", Reaction::heart, t + 40s + i * 1s) == A::taken;
    EXPECT_EQ(taken, 30) << "30 a minute per visitor, as set";
    EXPECT_EQ(audience->snapshot(t + 55s).recent[1], 4u) << "not the last 10 s";
    EXPECT_EQ(audience->name("b", "me", "Sam", t + 70s), A::taken);
    EXPECT_EQ(audience->name("a", "me", "Alex", t + 70s), A::taken);
    std::vector<Audience::Stay> flood;
    for (int i = 0; i < 1000; ++i)
        flood.push_back(audience->stay("flood" + std::to_string(i), "them"));
    EXPECT_EQ(audience->known(), 3u) << "a flood of tags grew the table";
    auto seen = audience->snapshot(t + 70s);
    ASSERT_EQ(seen.named.size(), 2u);
    EXPECT_EQ(seen.named[0].name, "Alex") << "not in order of joining";
    EXPECT_EQ(seen.totals[2], 20u);
    EXPECT_EQ(seen.recent[1], 0u) << "reactions older than 10 s still counted as recent";
    a = {};
    EXPECT_EQ(audience->snapshot(t + 70s).named.size(), 2u) << "gone while a stream of it is open";
    again = {};
    EXPECT_EQ(audience->snapshot(t + 70s).named.size(), 1u) << "kept after its last stream";
    // Relayed, the page plays from the relay server: its polls hold its tag for 10 s.
    audience->setRelayed(true);
    audience->polled("b", "me", t + 70s);
    b = {};
    EXPECT_EQ(audience->react("b", "me", Reaction::music, t + 79s), A::taken);
    EXPECT_EQ(audience->react("b", "me", Reaction::music, t + 81s), A::notListening);
    audience->setShown(false);
    EXPECT_TRUE(audience->snapshot(t + 70s).named.empty()) << "kept while turned off";
    EXPECT_EQ(audience->name("b", "me", "Sam", t + 90s), A::notListening);
}

// Names and reactions come by POST with a JSON body, read whole (at most
// 1 KiB, within the head's time), only from a listener with its stream open
// and the passcode; anything else is refused clearly and changes nothing.
TEST(StreamServer, NamesAndReactionsArePostedAsJSONByTheirOwnListener) {
    Station station({.headTimeout = 2s});
    station.set("pw", std::nullopt);
    const auto post = [&](const std::string& line, const std::string& body,
                          const std::string& fields = "Content-Type: application/json\r\n") {
        RawClient client(station.port);
        client.send(line + " HTTP/1.1\r\n" + fields +
                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        return client.readUntilClosed().substr(0, 12);
    };
    const std::string clap = R"({"l":"t","r":"clap"})";
    auto listener = station.listen("/stream?k=pw&l=t");
    const std::tuple<std::string, std::string, std::string, std::string> rows[] = {
        {"POST /react", clap, "Content-Type: text/plain\r\n", "415"},
        {"POST /react", clap, "Content-Type: application/x-www-form-urlencoded\r\n", "415"},
        {"POST /react", clap, "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n",
         "411"},
        {"POST /react", std::string(1025, ' '), "Content-Type: application/json\r\n", "413"},
        {"POST /react", "not json", "Content-Type: application/json\r\n", "400"},
        {"POST /react", R"({"l":"t","r":"boo"})", "Content-Type: application/json\r\n", "400"},
        {"POST /react", R"(["t","clap"])", "Content-Type: application/json\r\n", "400"},
        {"POST /name", R"({"l":"t","name":7})", "Content-Type: application/json\r\n", "400"},
        {"POST /react", R"({"l":"nobody","r":"clap"})", "Content-Type: application/json\r\n",
         "403"},
        {"POST /stream", clap, "Content-Type: application/json\r\n", "404"},
        {"PUT /react", clap, "Content-Type: application/json\r\n", "404"},
        {"GET /react", clap, "Content-Type: application/json\r\n", "404"},
        {"POST /react", clap, "Content-Type: application/json\r\nCf-Connecting-IP: 1.2.3.4\r\n",
         "204"}, // believed from the tunnel alone: this is the listener's own peer
        {"POST /react", clap, "Content-Type: application/json\r\n", "429"}, // a second within 1 s
    };
    EXPECT_EQ(post("POST /react", clap), "HTTP/1.1 404") << "taken without the passcode";
    for (const auto& [line, body, fields, status] : rows)
        EXPECT_EQ(post(line.starts_with("GET") ? line : line + "?k=pw", body, fields),
                  "HTTP/1.1 " + status)
            << line << " " << body << " " << fields;
    RawClient unsized(station.port);
    unsized.send("POST /name?k=pw HTTP/1.1\r\nContent-Type: application/json\r\n\r\n{}");
    EXPECT_EQ(unsized.readUntilClosed().substr(0, 12), "HTTP/1.1 411");
    // A body that comes in pieces is read whole; one that never ends is cut off.
    RawClient pieces(station.port), stalled(station.port);
    const std::string named = R"({"l":"t","name":"Sam"})";
    for (auto* client : {&pieces, &stalled})
        client->send("POST /name?k=pw HTTP/1.1\r\nContent-Type: Application/JSON; charset=utf-8\r\n"
                     "Content-Length: " +
                     std::to_string(named.size()) + "\r\n\r\n" + named.substr(0, 9));
    EXPECT_EQ(pieces.readAtLeast(1, 100ms), "");
    pieces.send(named.substr(9));
    EXPECT_EQ(pieces.readUntilClosed().substr(0, 12), "HTTP/1.1 204");
    EXPECT_TRUE(stalled.closedByPeer(3s)) << "a body that never came held the connection";
    const auto seen = station.audience->snapshot(Audience::Clock::now());
    ASSERT_EQ(seen.named.size(), 1u);
    EXPECT_EQ(seen.named[0].name, "Sam");
    EXPECT_EQ(seen.totals[0], 1u) << "a refused reaction was counted";
    station.audience->setShown(false);
    EXPECT_EQ(post("POST /react?k=pw", clap), "HTTP/1.1 404") << "taken while turned off";
}

// The tunnel is told from everyone else by whose socket is at the other end
// of a connection: the child's own connection is the child's, the test's is not.
TEST(Sockets, APeerIsOwnedByTheProcessHoldingItsSocket) {
    asio::io_context io;
    asio::ip::tcp::acceptor server(io, {asio::ip::address_v4::loopback(), 0});
    server.non_blocking(true);
    const auto acceptOne = [&] {
        asio::ip::tcp::socket socket(io);
        std::error_code error;
        eventually([&] { return (socket = server.accept(error)).is_open(); });
        return socket;
    };
    const pid_t child = startProgram(
        {"python3", "-c",
         "import socket,sys,time; s=socket.create_connection(('127.0.0.1',int(sys.argv[1]))); "
         "time.sleep(30)",
         std::to_string(server.local_endpoint().port())});
    auto fromChild = acceptOne();
    RawClient own(server.local_endpoint().port());
    auto fromUs = acceptOne();
    ASSERT_TRUE(fromChild.is_open() && fromUs.is_open());
    Sockets::PeerOwner owner;
    EXPECT_TRUE(owner.owns(child, fromChild.native_handle()));
    EXPECT_FALSE(owner.owns(child, fromUs.native_handle())) << "a local peer passed for the tunnel";
    EXPECT_FALSE(owner.owns(0, fromChild.native_handle()));
    endProgram(child);
}

// Guessing the passcode: a visitor (the tunnel's Cf-Connecting-IP, else the
// peer; an IPv6 /64 as one) gets ten wrong tries a minute, then 429 for a
// minute whatever they send; a missing passcode is not a guess, and nobody
// else is slowed by it. A local peer that names visitors of its own is
// counted by its own address.
TEST(StreamServer, AGuesserIsRefusedForAMinuteAndNobodyElseIsSlowed) {
    Station station;
    station.set("right", std::nullopt);
    station.viaTunnel = true;
    const auto from = [&](const std::string& address, const std::string& target) {
        return fetch(station.port, target, "GET", "Cf-Connecting-IP: " + address + "\r\n");
    };
    for (const char* guesser : {"203.0.113.5", "2001:db8:1:2::1"}) {
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(from(guesser, "/now"), notHere) << "a missing passcode counted";
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(from(guesser, "/now?k=guess" + std::to_string(i)), notHere) << guesser;
        const auto refused = from(guesser, "/now?k=right");
        EXPECT_TRUE(refused.starts_with("HTTP/1.1 429 Too Many Requests\r\n")) << refused;
        EXPECT_EQ(headerField(refused, "Retry-After"), "60") << refused;
        EXPECT_EQ(from(guesser, "/"), pageAnswer);
    }
    EXPECT_TRUE(from("2001:db8:1:2:ffff::9", "/now?k=right").starts_with("HTTP/1.1 429"))
        << "another address of the same /64 was let in";
    for (const char* other : {"198.51.100.9", "2001:db8:1:3::1", "not an address"}) {
        const auto start = Clock::now();
        EXPECT_EQ(from(other, "/now?k=right"), json(0)) << other;
        EXPECT_LT(Clock::now() - start, 500ms) << other;
    }
    EXPECT_EQ(fetch(station.port, "/now?k=right"), json(0));
    station.viaTunnel = false;
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(from("192.0.2." + std::to_string(i), "/now?k=wrong"), notHere);
    EXPECT_TRUE(from("192.0.2.99", "/now?k=right").starts_with("HTTP/1.1 429"))
        << "a local peer escaped the limit by naming other visitors";

    GuessLimit limit({.tries = 2, .visitors = 3}); // the table keeps the latest visitors
    const auto now = GuessLimit::Clock::now();
    for (const char* visitor : {"a", "a", "b", "c", "d"})
        limit.wrong(visitor, now);
    EXPECT_EQ(limit.remembered(), 3u);
    EXPECT_GT(limit.refused("a", now), 59s) << "a visitor refused was forgotten too early";
    EXPECT_EQ(limit.refused("a", now + 61s), GuessLimit::Clock::duration::zero());
    EXPECT_EQ(limit.takeWrongCount(), 5u);
}

TEST(StreamServer, HeadsAreReadInPiecesBoundedInSizeAndTime) {
    Station station({.headTimeout = 300ms});
    RawClient trickle(station.port);
    for (char c : std::string("GET /now?lag=3 HTTP/1.1\r\nHost: x\r\n\r\n")) {
        EXPECT_EQ(trickle.readAtLeast(1, 2ms), "") << "answered before the blank line";
        trickle.send(std::string_view(&c, 1));
    }
    EXPECT_EQ(trickle.readUntilClosed(), json(3));

    RawClient over(station.port);
    over.send("GET / HTTP/1.1\r\nX-Fill: " + std::string(20000, 'a'));
    EXPECT_EQ(over.readUntilClosed(3s), "") << "answered a head over the limit";
    EXPECT_TRUE(over.peerClosed());

    const auto start = Clock::now();
    RawClient silent(station.port), partial(station.port);
    partial.send("GET /now HTTP/1.1\r\n");
    auto streaming = station.listen();
    EXPECT_TRUE(silent.closedByPeer(3s));
    EXPECT_TRUE(partial.closedByPeer(3s));
    EXPECT_GE(Clock::now() - start, 290ms);
    // Its head's deadline passes and the stream plays on.
    EXPECT_FALSE(streaming->closedByPeer(400ms)) << "the head's deadline cut off a stream";
    station.fanout->publish(chunkOf("still here"));
    EXPECT_EQ(streaming->readAtLeast(10), "still here");
}

// Connections beyond the caps are closed at once: those still reading their
// head, and all the server holds (so listeners never take the process's own
// descriptors). A place that frees up is taken again.
TEST(StreamServer, ConnectionsBeyondTheCapsAreClosedAtAccept) {
    for (const bool streaming : {false, true}) {
        Station station(streaming ? Limits{.maxConnections = 8} : Limits{.maxReadingHeads = 8});
        std::vector<std::unique_ptr<RawClient>> held;
        for (int i = 0; i < 8; ++i)
            held.push_back(streaming ? station.listen()
                                     : std::make_unique<RawClient>(station.port));
        RawClient refused(station.port);
        EXPECT_EQ(refused.readUntilClosed(3s), "") << streaming;
        EXPECT_TRUE(refused.peerClosed()) << streaming;
        for (auto& client : held)
            EXPECT_FALSE(client->closedByPeer(1ms));
        held.front().reset(); // a stream leaves on its next chunk
        EXPECT_TRUE(eventually([&] {
            station.fanout->publish(chunkOf("x"));
            return fetch(station.port, "/x") == notHere;
        })) << streaming;
    }
}

// A full station says so (503, try again in 10 s) instead of taking one more
// listener; the page still loads, and a place that frees up is taken again.
TEST(StreamServer, AFullStationAnswers503AndStillServesThePage) {
    Station station({.maxListeners = 3});
    std::vector<std::unique_ptr<RawClient>> listeners;
    for (int i = 0; i < 3; ++i) { // HEAD tells whether a listener would get in, taking no place
        EXPECT_EQ(fetch(station.port, "/stream", "HEAD"), streamHead);
        listeners.push_back(station.listen());
    }
    EXPECT_EQ(station.fanout->count(), 3u);
    EXPECT_EQ(fetch(station.port, "/stream"), fullHead + full);
    EXPECT_EQ(fetch(station.port, "/stream", "HEAD"), fullHead);
    EXPECT_EQ(fetch(station.port, "/"), pageAnswer);
    listeners.pop_back();
    ASSERT_TRUE(eventually([&] {
        station.fanout->publish(chunkOf("x"));
        return station.fanout->count() == 2;
    }));
    station.listen();
}

// A server whose sending thread has fallen behind (more listeners than it
// can feed) refuses newcomers at once with 503, rather than letting every
// listener fall behind further, and admits them again once it has caught up.
TEST(StreamServer, ASendingThreadThatFallsBehindTakesNoNewcomersUntilItCatchesUp) {
    Station station({.lanes = 1});
    auto listener = station.listen();
    std::promise<void> release;
    asio::post(station.server->executor(), [held = release.get_future().share()] { held.wait(); });
    std::this_thread::sleep_for(1500ms); // the thread is busy for a second and a half
    release.set_value();

    EXPECT_TRUE(eventually([&] { return fetch(station.port, "/stream", "HEAD") == fullHead; }));
    const auto asked = Clock::now();
    EXPECT_EQ(fetch(station.port, "/stream"), fullHead + full);
    EXPECT_LT(Clock::now() - asked, 1s) << "refused, but not at once";
    station.fanout->publish(chunkOf("live"));
    EXPECT_TRUE(listener->readAtLeast(4, 2s).ends_with("live")) << "the listener was dropped";
    EXPECT_TRUE(eventually([&] { return fetch(station.port, "/stream", "HEAD") == streamHead; }));
    station.listen();
}

// A client that asks and never reads holds nothing for long: a complete
// response is cut off after the send time-out, a stream whose socket takes
// no byte for the stall time-out is closed and leaves the count. Listeners
// that read are not touched.
TEST(StreamServer, ClientsThatNeverReadAreCutOff) {
    Station station({.sendTimeout = 300ms, .stallTimeout = 500ms, .streamSendBuffer = 4096});
    station.set(std::nullopt, Cover{Bytes(8 << 20, 0x42), "image/png"}); // more than any buffer
    RawClient coverReader(station.port, 4096);
    coverReader.send("GET /cover HTTP/1.1\r\n\r\n");
    auto stalled = station.listen("/stream?l=stalled", 4096);
    auto reader = station.listen("/stream?l=reader");

    const auto start = Clock::now();
    while (Clock::now() - start < 3s && station.fanout->count() == 2) {
        station.fanout->publish(chunkOf(std::string(16384, 's')));
        reader->readAtLeast(16384, 1s);
    }
    EXPECT_EQ(station.fanout->count(), 1u) << "the stalled listener is still counted";
    EXPECT_GE(Clock::now() - start, 500ms);
    EXPECT_TRUE(stalled->closedByPeer(3s));
    // The cover's reader, reading only now, gets what was sent before the cut.
    EXPECT_LT(coverReader.readUntilClosed(10s).size(), 8u << 20) << "the unread cover was not cut";
    EXPECT_TRUE(coverReader.peerClosed());
    EXPECT_FALSE(reader->peerClosed());
}

// The burst, then live chunks until the fan-out closes. A client that only
// shut its sending side (nc -N) keeps its stream; one that hangs up leaves
// once audio to it fails.
TEST(StreamServer, StreamsTheBurstThenLiveChunksUntilTheyEnd) {
    Station station;
    auto client = station.listen(), halfClosed = station.listen();
    halfClosed->finishSending();
    client.reset();
    // The hang-up shows only once a write to it has failed, which the sending
    // thread may not have tried yet however fast the publishes came.
    EXPECT_TRUE(eventually([&] {
        station.fanout->publish(chunkOf("still streaming"));
        halfClosed->readAtLeast(1, 10ms);
        return station.fanout->count() == 1u;
    })) << "the listener who hung up is still counted";
    EXPECT_FALSE(halfClosed->closedByPeer(500ms)) << "a half-closed client lost its stream";
    station.fanout->publish(chunkOf("tail"));
    std::string heard;
    EXPECT_TRUE(
        eventually([&] { return (heard += halfClosed->readAtLeast(1, 10ms)).ends_with("tail"); }));
    station.fanout->closeAll();
    EXPECT_TRUE(halfClosed->closedByPeer(3s));
}

// Safari first asks for two bytes of the stream, then streams beside that
// request: a bounded range gets exactly those bytes of the stream as it would
// start and is no listener; an open range streams. A probe holds a place while
// it is answered, so a full station refuses a flood of them.
TEST(StreamServer, ARangeProbeGetsItsBytesButNotPastAFullStation) {
    Station station({.maxListeners = 2});
    station.fanout->publish(chunkOf("0123456789"));
    auto phone = station.listen("/stream?l=phone", 0, "Range: bytes=0-\r\n");
    EXPECT_EQ(phone->readAtLeast(10), "0123456789");
    station.fanout->publish(chunkOf("live"));
    EXPECT_EQ(phone->readAtLeast(4), "live");

    const auto probe = [&](const std::string& target, const std::string& range) {
        return fetch(station.port, target, "GET",
                     "Range: " + range + "\r\nX-Playback-Session-Id: 5C0A\r\n");
    };
    EXPECT_EQ(probe("/stream?l=phone", "bytes=0-1"),
              responseHead(206, "audio/aac", 2,
                           {{"Cache-Control", "no-store"}, {"Content-Range", "bytes 0-1/*"}}) +
                  "01");
    EXPECT_TRUE(probe("/stream", "bytes=4-400").ends_with("bytes 4-13/*\r\n\r\n456789live"));
    EXPECT_TRUE(probe("/stream", "bytes=14-15").starts_with("HTTP/1.1 416 "));
    EXPECT_EQ(station.fanout->count(), 1u) << "a probe was counted as a listener";
    const auto second = station.listen("/stream?l=second");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(probe("/stream", "bytes=0-1"), fullHead + full) << "a probe past a full station";
    phone->reset();
    EXPECT_TRUE(eventually([&] { return probe("/stream", "bytes=0-1").ends_with("01"); }))
        << "a place freed is not found by a probe";
}

// A player's playlist names the stream at the address the visitor used, with
// the passcode in its query; a Host that is not a host name, or a station
// name with a line break, cannot add an address of someone else's.
TEST(StreamServer, APlaylistNamesTheStreamWhereTheVisitorReachedIt) {
    Station station(Limits::forDescriptors(4096),
                    {[] { return std::string("Attic\nhttp://evil.example/"); }, {}});
    station.set("s3 cret", std::nullopt);
    const auto playlist = [&](const std::string& target, const std::string& fields) {
        RawClient client(station.port);
        client.send("GET " + target + " HTTP/1.1\r\n" + fields + "\r\n");
        return client.readHead(), client.readUntilClosed();
    };
    const std::string tunnel =
        "Host: quiet-river.trycloudflare.com\r\nX-Forwarded-Proto: https\r\n";
    EXPECT_EQ(playlist("/listen.m3u?k=s3%20cret", tunnel),
              "#EXTM3U\n#EXTINF:-1,Attic http://evil.example/\n"
              "https://quiet-river.trycloudflare.com/stream?k=s3%20cret\n");
    EXPECT_EQ(playlist("/light.m3u?k=s3%20cret", tunnel),
              "#EXTM3U\n#EXTINF:-1,Attic http://evil.example/\n"
              "https://quiet-river.trycloudflare.com/stream?light=1&k=s3%20cret\n");
    EXPECT_EQ(playlist("/listen.m3u", tunnel), "Not here\n");
    EXPECT_EQ(playlist("/listen.m3u?k=s3+cret", "Host: evil.example/x?\r\n"), "Bad request\n");
    station.set(std::nullopt, std::nullopt);
    EXPECT_TRUE(playlist("/listen.m3u", "Host: 127.0.0.1:8471\r\n")
                    .ends_with("\nhttp://127.0.0.1:8471/stream\n"));
}

// A player that asks for titles gets a block after every 16,000 bytes of
// audio, burst included, naming what the audio after it carries, and an empty
// one while that is unchanged; one that does not ask gets the audio alone.
TEST(StreamServer, PlayersThatAskForTitlesGetEachWhereItsAudioBegins) {
    const auto start = Clock::now();
    const auto at = [&](int chunk) { return start + chunk * 10ms; };
    Station station(Limits::forDescriptors(4096),
                    {[] { return std::string("Attic\r\nWaves"); },
                     [&](Clock::time_point when) -> std::optional<std::string> {
                         if (when < at(5)) return std::nullopt;
                         return when < at(20) ? "The Gulls - Harbour Lights" : "Night Ferry";
                     }});
    std::string audio;
    const auto publish = [&](int chunk) {
        const std::string bytes(1000, static_cast<char>('A' + chunk % 26));
        audio += bytes;
        station.fanout->publish(Chunk(Bytes(bytes.begin(), bytes.end()), at(chunk)));
    };
    for (int chunk = 0; chunk < 24; ++chunk)
        publish(chunk);
    RawClient player(station.port);
    player.send("GET /stream HTTP/1.1\r\nIcy-MetaData: 1\r\n\r\n");
    auto plain = station.listen("/stream", 0, "Icy-MetaData: 0\r\n");
    const auto head = player.readHead();
    for (const auto& [name, value] :
         {std::pair("icy-metaint", "16000"), std::pair("icy-name", "Attic  Waves"),
          std::pair("icy-br", "192"), std::pair("icy-pub", "0")})
        EXPECT_EQ(headerField(head, name), value) << head;
    for (int chunk = 24; chunk < 50; ++chunk)
        publish(chunk);
    const auto expected = audio.substr(0, 16000) + Icy::block("The Gulls - Harbour Lights") +
                          audio.substr(16000, 16000) + Icy::block("Night Ferry") +
                          audio.substr(32000, 16000) + '\0' + audio.substr(48000);
    const auto sent = audio;
    for (int chunk = 50; chunk < 53; ++chunk) // on air, publishing goes on and wakes the last
        publish(chunk);
    EXPECT_TRUE(player.readAtLeast(expected.size()).starts_with(expected))
        << "the blocks are not where their audio begins";
    EXPECT_TRUE(plain->readAtLeast(sent.size()).starts_with(sent))
        << "a client that did not ask got more than the audio";
}

// The tag is the listener's first 64 user-perceived characters: flags and
// letters with combining marks are one character each.
TEST(StreamServer, ListenersAreCountedByTheFirst64CharactersOfTheirTag) {
    Station station;
    const auto tag = [](int characters) {
        std::string text = "/stream?l=";
        for (int i = 0; i < characters; ++i) // a flag, an e with its accent, an a
            text += std::array{"%F0%9F%87%AB%F0%9F%87%B7", "e%CC%81", "a"}[i % 3];
        return text;
    };
    auto a = station.listen(tag(100)), b = station.listen(tag(64));
    EXPECT_EQ(station.fanout->count(), 1u) << "100 characters were not cut to the first 64";
    auto c = station.listen(tag(63)), d = station.listen();
    EXPECT_EQ(station.fanout->count(), 3u);
}

// A listener that stops reading keeps its connection and loses only its own
// newest audio; a listener that reads gets every byte, in order, meanwhile.
TEST(StreamServer, AStalledListenerDoesNotSlowAnother) {
    Station station;
    auto stalled = station.listen("/stream", 4096);
    auto reader = station.listen();
    std::string published, read;
    for (std::size_t i = 0; i < 1000; ++i) { // 16 MB: more than any socket buffer
        std::string chunk(16384, static_cast<char>('A' + i % 26));
        std::memcpy(chunk.data(), &i, sizeof i);
        published += chunk;
        station.fanout->publish(chunkOf(chunk));
        // A listener is woken for every few chunks, not for each.
        if (const auto owed = published.size() - read.size(); owed > 2 * chunk.size())
            read += reader->readAtLeast(owed - 2 * chunk.size(), 5s);
        ASSERT_GE(read.size() + 2 * chunk.size(), published.size())
            << "reader fell behind at " << i;
    }
    EXPECT_EQ(read, published.substr(0, read.size())) << "the reader lost or reordered audio";
    const auto late = stalled->readAtLeast(published.size(), 1500ms);
    EXPECT_FALSE(stalled->peerClosed());
    EXPECT_LT(late.size(), published.size()) << "nothing was dropped for the stalled listener";
    EXPECT_EQ(late, published.substr(0, late.size())) << "the stalled listener lost older audio";
}

// A crowd of listeners resetting their connections while audio is being
// written to them (many clients killed at once) leaves the server serving:
// a write that completes after its stream was finished sends nothing more.
TEST(StreamServer, ListenersResettingMidStreamLeaveItServing) {
    Station station;
    std::jthread publisher([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            station.fanout->publish(chunkOf(std::string(2400, 'a')));
            std::this_thread::sleep_for(2ms);
        }
    });
    for (int round = 0; round < 10; ++round) {
        std::vector<std::unique_ptr<RawClient>> crowd;
        for (int i = 0; i < 100; ++i)
            crowd.push_back(station.listen("/stream", 4096));
        for (auto& listener : crowd)
            listener->reset();
    }
    EXPECT_TRUE(eventually([&] { return station.fanout->count() == 0; }));
    auto fresh = station.listen();
    EXPECT_GE(fresh->readAtLeast(StationConfig::burstBytes, 3s).size(), 100000u);
}

// A listener whose network takes less than the full stream (its socket
// backs up while nobody else's does) is moved to the light AAC inside its
// own connection within seconds: its page is told, and what it got decodes
// across the switch without an error. The Ogg form starts with its header
// pages.
TEST(StreamServer, ASlowListenerIsMovedToTheLightStreamInsideItsConnection) {
    const auto streams = Renditions::make(StationConfig::burstSeconds, StationConfig::bitrate,
                                          StationConfig::lightBitrate, 256);
    Station station(Limits::forDescriptors(4096), {}, streams);
    VoiceRing ring{38400};
    AudioPath path(std::make_shared<Shared>(), streams.full, {ring, [](double) {}},
                   StationConfig::bitrate, {}, AACEncoder::make, {},
                   {.aac = streams.light, .opus = streams.opus, .onFailure = {}});
    std::atomic<bool> playing{true};
    std::thread capture([&] { // a tone in real time, a block of 1024 frames at a time
        std::vector<float> block(2048);
        double phase = 0;
        for (auto next = std::chrono::steady_clock::now(); playing;
             next += std::chrono::microseconds(21333)) {
            for (std::size_t i = 0; i < block.size(); i += 2)
                block[i] = block[i + 1] = float(0.3 * std::sin(phase += 0.0576)); // 440 Hz
            path(block, 48000);
            std::this_thread::sleep_until(next);
        }
    });
    const auto stop = std::shared_ptr<void>(nullptr, [&](void*) {
        playing = false;
        capture.join();
    });

    auto slow = station.listen("/stream?l=slow", 4096);
    std::string heard;
    const auto told = [&] {
        return fetch(station.port, "/now?lag=1&l=slow").find("\"lighter\":true") !=
               std::string::npos;
    };
    const auto start = std::chrono::steady_clock::now();
    while (!told() && std::chrono::steady_clock::now() - start < 20s) {
        heard += slow->readAtLeast(1, 1s); // about 10 KB a second: under half the full stream
        std::this_thread::sleep_for(400ms);
    }
    EXPECT_TRUE(told()) << "not moved after " << heard.size() << " bytes";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 12s);
    heard += slow->readUntilClosed(4s); // what waited, then the stream as it goes now
    std::vector<std::size_t> frames;
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(heard.data()), heard.size());
    for (std::size_t at = 0; const auto frame = adtsFrameAt(bytes.subspan(at));) {
        frames.push_back(frame->length);
        at += frame->length;
        if (at > bytes.size()) break;
    }
    ASSERT_GT(frames.size(), 100u);
    EXPECT_LT(std::accumulate(frames.end() - 20, frames.end(), std::size_t{0}) / 20, 300u)
        << "its last frames are not the light stream's";
    const auto file = testing::TempDir() + "lantern-moved-" + std::to_string(::getpid()) + ".aac";
    std::ofstream(file, std::ios::binary) << heard;
    const auto decoded =
        runProgram({"ffmpeg", "-v", "error", "-f", "aac", "-i", file, "-f", "null", "-"});
    std::remove(file.c_str());
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.error, "") << "the switch broke the stream";

    RawClient ogg(station.port);
    ogg.send("GET /stream?light=opus HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ogg.readHead(),
              responseHead(200, "audio/ogg", std::nullopt, {{"Cache-Control", "no-store"}}));
    const auto pages = ogg.readAtLeast(64);
    EXPECT_TRUE(pages.starts_with("OggS") && pages.find("OpusHead") < 64)
        << "no header pages first";
}

// Fifteen listeners join one a second behind an uplink shared in turn among
// them (one needing less takes only that). Where it carries ten streams,
// the watch lets the newest go until the rest are carried at the stream's
// rate, knows the room and admits nobody more; with a light stream it moves
// the newest to it instead and lets nobody go, seen from the sockets or,
// through a tunnel that takes everything at once, from the pages' growing
// lags alone. Where the uplink carries them all, one listener slow on their
// own (a phone on a poor network) is never let go: with a light stream it
// alone is moved to it. Pages held back by a stalled capture, or one that
// steps back, move nobody. Newcomers are let in while moving the rest to
// the light stream makes room; a crowd that grows fast is not mistaken for a
// wider uplink.
// (bench/narrow_uplink and bench/light_uplink measure this through the server.)
TEST(UplinkWatch, AFullUplinkMovesTheNewestToLightThenLetsGoButOneSlowListenerStays) {
    constexpr double rate = 24000; // bytes per second of the full stream
    struct Member {
        bool light = false;
        std::uint64_t taken = 0;
        double lag = 0;
        double worst = 1; // the lowest share of its own rate it got in the last 10 s
    };
    struct Outcome {
        std::optional<std::size_t> room, firstRoom;
        std::map<std::uint64_t, Member> members; // those still here
        std::vector<std::uint64_t> letGo;
        bool admits = true, joinLight = false;
    };
    const auto run = [&](double uplink, std::optional<std::uint64_t> slow, double lightShare,
                         bool lagOnly, bool captureStalls = false, std::uint64_t perSecond = 1) {
        // Pages held back by a stalled capture, or a listener stepping back 13 s: no uplink.
        UplinkWatch watch(lightShare);
        const auto start = UplinkWatch::Clock::now();
        Outcome outcome;
        auto& members = outcome.members;
        double audio = 0; // published; a stalled capture publishes nothing for 5 s
        for (int second = 0; second <= 90; ++second) {
            const auto now = start + std::chrono::seconds(second);
            const bool stalled = captureStalls && second >= 40 && second < 45;
            if (captureStalls && second == 60) members.at(3).lag += 13;
            audio += stalled ? 0 : 1;
            for (std::uint64_t k = 0; second < 15 && k < perSecond; ++k)
                members[std::uint64_t(second) * perSecond + k + 1] = {};
            const auto need = [&](const auto& entry) {
                const auto& [id, member] = entry;
                const double own = member.light ? rate * lightShare : rate;
                return id == slow ? std::min(own, rate / 2) : own;
            };
            std::vector<double> needs;
            for (const auto& entry : members)
                needs.push_back(need(entry));
            std::ranges::sort(needs);
            double left = uplink, each = 0;
            for (std::size_t i = 0; i < needs.size(); left -= std::min(needs[i], each), ++i)
                each = left / double(needs.size() - i);
            std::vector<UplinkWatch::Listener> listeners;
            for (auto& entry : members) {
                auto& [id, member] = entry;
                const double own = member.light ? rate * lightShare : rate;
                const double got = std::min(need(entry), each);
                member.lag += stalled ? 1 : 1 - got / own;
                if (second > 80) member.worst = std::min(member.worst, got / own);
                member.taken += stalled ? 0 : std::uint64_t(lagOnly ? own : got);
                UplinkWatch::Listener listener{
                    .id = id,
                    .joined = start + std::chrono::seconds((id - 1) / perSecond),
                    .taken = member.taken,
                    .waiting = !lagOnly && got < own - 1 ? 64 * 1024U : 0U,
                    .light = member.light,
                    .remote = true,
                    .heard = {}};
                if (second % 3 == 0) listener.heard = {{now, member.lag}};
                listeners.push_back(listener);
            }
            const auto verdict = watch.update(
                now, {.bytes = std::uint64_t(rate * audio), .audio = audio}, listeners);
            if (!outcome.firstRoom) outcome.firstRoom = watch.room();
            outcome.admits = verdict.admit;
            outcome.joinLight = verdict.light;
            for (const auto id : verdict.lighten)
                members.at(id).light = true;
            for (const auto id : verdict.letGo)
                members.erase(id), outcome.letGo.push_back(id);
        }
        outcome.room = watch.room();
        return outcome;
    };
    const auto lightened = [](const Outcome& outcome) {
        std::vector<std::uint64_t> ids;
        for (const auto& [id, member] : outcome.members)
            if (member.light) ids.push_back(id);
        return ids;
    };
    const auto carried = [](const Outcome& outcome) {
        return std::ranges::all_of(outcome.members,
                                   [](const auto& entry) { return entry.second.worst > 0.97; });
    };

    const auto narrow = run(10 * rate, std::nullopt, 0, false);
    ASSERT_TRUE(narrow.room >= 8u && narrow.room <= 10u) << narrow.room.value_or(0);
    EXPECT_EQ(narrow.members.size(), *narrow.room) << "the rest are not carried";
    EXPECT_TRUE(carried(narrow));
    EXPECT_FALSE(narrow.admits);
    for (const auto id : narrow.letGo)
        EXPECT_GT(id, narrow.members.rbegin()->first) << "an older listener was let go";

    for (const bool lagOnly : {false, true}) {
        const auto light = run(10 * rate, std::nullopt, 1.0 / 3, lagOnly);
        EXPECT_TRUE(light.letGo.empty() && light.members.size() == 15) << lagOnly;
        EXPECT_TRUE(carried(light)) << "not everyone is carried at their own rate " << lagOnly;
        const auto moved = lightened(light);
        EXPECT_TRUE(!moved.empty() && moved.size() < 15 && moved.front() == 16 - moved.size())
            << "not the newest were moved " << lagOnly;
        EXPECT_TRUE(light.room >= 8u && light.room <= 10u)
            << "room in full streams, not light ones";
        EXPECT_TRUE(light.joinLight) << "newcomers would join on the full stream";
        EXPECT_TRUE(light.admits) << "nobody let in, though moving the full ones makes room";
    }
    // Thirty joining two a second: the pages' shortfall tells of the crowd
    // they fell short under, not of the larger one by the time it is heard.
    const auto crowd = run(10 * rate, std::nullopt, 1.0 / 3, true, false, 2);
    EXPECT_TRUE(crowd.firstRoom >= 8u && crowd.firstRoom <= 10u) << crowd.firstRoom.value_or(0);

    const auto roomy = run(20 * rate, 6, 0, false);
    EXPECT_TRUE(!roomy.room && roomy.letGo.empty() && roomy.admits) << "one slow listener let go";
    const auto roomyLight = run(20 * rate, 6, 1.0 / 3, false);
    EXPECT_TRUE(roomyLight.letGo.empty() && roomyLight.admits && !roomyLight.joinLight);
    EXPECT_EQ(lightened(roomyLight), std::vector<std::uint64_t>{6});
    EXPECT_TRUE(carried(roomyLight));
    const auto stall = run(20 * rate, std::nullopt, 1.0 / 3, true, true);
    EXPECT_TRUE(lightened(stall).empty() && stall.letGo.empty() && !stall.room);

    // A tunnel still passing on what it held of the full stream: the light
    // listeners' pages fall behind and their sockets back up, yet it takes
    // more than they need. Nobody is let go.
    UplinkWatch draining(1.0 / 3);
    const auto start = UplinkWatch::Clock::now();
    std::vector<UplinkWatch::Listener> held(6);
    for (int second = 0; second <= 40; ++second) {
        const auto now = start + std::chrono::seconds(second);
        for (std::uint64_t id = 1; id <= held.size(); ++id)
            held[id - 1] = {.id = id,
                            .joined = start,
                            .taken = std::uint64_t(1.1 * rate / 3 * second),
                            .waiting = 64 * 1024U,
                            .light = true,
                            .remote = true,
                            .heard = {{now, 10 + 0.3 * second}}};
        const auto verdict = draining.update(
            now, {.bytes = std::uint64_t(rate * second), .audio = double(second)}, held);
        EXPECT_TRUE(verdict.letGo.empty()) << second;
    }
}

} // namespace
