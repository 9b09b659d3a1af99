#include "core/config/station_config.h"
#include "core/stream/guess_limit.h"
#include "core/stream/http.h"
#include "core/stream/stream_server.h"
#include "core/stream/uplink_watch.h"
#include "core/system/sockets.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>

using namespace lantern;
using namespace lantern::test;
using Clock = std::chrono::steady_clock;

namespace {

const std::string page = "<!doctype html><title>listen</title>";
const std::string notHere = responseHead(404, "text/plain; charset=utf-8", 9) + "Not here\n";
const std::string streamHead =
    responseHead(200, "audio/aac", std::nullopt, {{"Cache-Control", "no-store"}});
const std::string pageAnswer = responseHead(200, "text/html; charset=utf-8", page.size(),
                                            {{"Content-Security-Policy", pagePolicy(page)}}) +
                               page;

Chunk chunkOf(std::string_view text) {
    return Chunk(Bytes(text.begin(), text.end()));
}

const std::string full = "The station is full right now\n";
const auto fullHead =
    responseHead(503, "text/plain; charset=utf-8", full.size(), {{"Retry-After", "10"}});

std::string json(std::string_view body) {
    return responseHead(200, "application/json", body.size(), {{"Cache-Control", "no-store"}}) +
           std::string(body);
}

// A started server over its own fan-out, with a passcode and a cover that the
// test can change while it runs, as the station does.
class Station {
public:
    explicit Station(StreamServer::Limits limits = StreamServer::Limits::forDescriptors(4096),
                     StreamServer::Titles titles = {})
        : fanout(std::make_shared<Fanout>(StationConfig::burstBytes, 256)),
          server(std::make_unique<StreamServer>(
              fanout, page,
              [this](double lag) {
                  nowThread = std::this_thread::get_id();
                  std::ostringstream body;
                  body << "{\"lag\":" << lag << '}';
                  return body.str();
              },
              [this] {
                  std::lock_guard lock(mutex);
                  return cover;
              },
              [this] {
                  std::lock_guard lock(mutex);
                  return access;
              },
              limits)) {
        server->setTitles(std::move(titles));
        server->trustTunnel([this](int) { return viaTunnel.load(); });
        auto started = server->start(asio::use_future);
        if (started.wait_for(5s) == std::future_status::ready) port = started.get();
    }
    void set(std::optional<std::string> code, std::optional<Cover> image, bool heldBack = false) {
        std::lock_guard lock(mutex);
        access = {heldBack, std::move(code)};
        cover = std::move(image);
    }
    // A listener whose head is answered.
    std::unique_ptr<RawClient> listen(const std::string& target = "/stream", int buffer = 0) {
        auto client = std::make_unique<RawClient>(port, buffer);
        client->send("GET " + target + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(client->readAtLeast(streamHead.size()).starts_with(streamHead)) << target;
        return client;
    }

    std::shared_ptr<Fanout> fanout;
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
    bool onLoopback = false, elsewhere = false;
    for (const auto& listener : Sockets::tcpListeners())
        if (listener.port == station.port)
            (listener.address == "0100007F" ? onLoopback : elsewhere) = true;
    EXPECT_TRUE(onLoopback);
    EXPECT_FALSE(elsewhere);

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
        {"/now?lag=900&k=anything", json("{\"lag\":60}")},
        {"/cover", responseHead(200, "image/png", 4, {{"Cache-Control", "no-store"}}) + "\x89PNG"},
        {"/stream/", notHere},
    };
    for (const auto& [target, expected] : open)
        EXPECT_EQ(fetch(station.port, target), expected) << target;
    EXPECT_NE(station.nowThread, std::thread::id());
    EXPECT_NE(station.nowThread, std::this_thread::get_id()) << "not on the server's thread";

    station.set("s3 cret", std::nullopt);
    const std::pair<std::string, std::string> guarded[] = {
        {"/index.html", pageAnswer},   {"/now", notHere},
        {"/now?k=S3+CRET", notHere},   {"/now?lag=2&k=s3%20cret", json("{\"lag\":2}")},
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

// The tunnel is told from everyone else by whose socket is at the other end
// of a connection: the child's own connection is the child's, the test's is not.
TEST(Sockets, APeerIsOwnedByTheProcessHoldingItsSocket) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), size), 0);
    ::listen(server, 4);
    ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
    const auto port = ntohs(address.sin_port);
    const auto acceptOne = [&] {
        pollfd ready{server, POLLIN, 0};
        return ::poll(&ready, 1, 5000) == 1 ? ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC)
                                            : -1;
    };
    const pid_t child = startProgram(
        {"python3", "-c",
         "import socket,sys,time; s=socket.create_connection(('127.0.0.1',int(sys.argv[1]))); "
         "time.sleep(30)",
         std::to_string(port)});
    const int fromChild = acceptOne();
    RawClient own(port);
    const int fromUs = acceptOne();
    ASSERT_GE(fromChild, 0);
    ASSERT_GE(fromUs, 0);
    Sockets::PeerOwner owner;
    EXPECT_TRUE(owner.owns(child, fromChild));
    EXPECT_FALSE(owner.owns(child, fromUs)) << "a local peer passed for the tunnel tool";
    EXPECT_FALSE(owner.owns(0, fromChild));
    endProgram(child);
    for (const int fd : {fromChild, fromUs, server})
        ::close(fd);
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
        EXPECT_NE(refused.find("Retry-After: 60\r\n"), std::string::npos) << refused;
        EXPECT_EQ(from(guesser, "/"), pageAnswer);
    }
    EXPECT_TRUE(from("2001:db8:1:2:ffff::9", "/now?k=right").starts_with("HTTP/1.1 429"))
        << "another address of the same /64 was let in";
    for (const char* other : {"198.51.100.9", "2001:db8:1:3::1", "not an address"}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(from(other, "/now?k=right"), json("{\"lag\":0}")) << other;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << other;
    }
    EXPECT_EQ(fetch(station.port, "/now?k=right"), json("{\"lag\":0}"));
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
    StreamServer::Limits limits = StreamServer::Limits::forDescriptors(4096);
    limits.headTimeout = 300ms;
    Station station(limits);
    RawClient trickle(station.port);
    for (char c : std::string("GET /now?lag=3 HTTP/1.1\r\nHost: x\r\n\r\n")) {
        EXPECT_EQ(trickle.readAtLeast(1, 2ms), "") << "answered before the blank line";
        trickle.send(std::string_view(&c, 1));
    }
    EXPECT_EQ(trickle.readUntilClosed(), json("{\"lag\":3}"));

    RawClient over(station.port);
    over.send("GET / HTTP/1.1\r\nX-Fill: " + std::string(20000, 'a'));
    EXPECT_TRUE(over.closedByPeer(3s));
    EXPECT_EQ(over.readUntilClosed(10ms), "") << "answered a head over the limit";

    const auto start = std::chrono::steady_clock::now();
    RawClient silent(station.port), partial(station.port);
    partial.send("GET /now HTTP/1.1\r\n");
    auto streaming = station.listen();
    EXPECT_TRUE(silent.closedByPeer(3s));
    EXPECT_TRUE(partial.closedByPeer(3s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
    std::this_thread::sleep_for(400ms); // a stream is not cut off by its head's deadline
    station.fanout->publish(chunkOf("still here"));
    EXPECT_EQ(streaming->readAtLeast(10), "still here");
}

// Connections beyond the caps are closed at once: those still reading their
// head, and all the server holds (so listeners never take the process's own
// descriptors). A place that frees up is taken again.
TEST(StreamServer, ConnectionsBeyondTheCapsAreClosedAtAccept) {
    for (const bool streaming : {false, true}) {
        auto limits = StreamServer::Limits::forDescriptors(4096);
        (streaming ? limits.maxConnections : limits.maxReadingHeads) = 8;
        Station station(limits);
        std::vector<std::unique_ptr<RawClient>> held;
        for (int i = 0; i < 8; ++i)
            held.push_back(streaming ? station.listen()
                                     : std::make_unique<RawClient>(station.port));
        RawClient refused(station.port);
        EXPECT_TRUE(refused.closedByPeer(3s)) << streaming;
        EXPECT_EQ(refused.readUntilClosed(10ms), "");
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
    auto limits = StreamServer::Limits::forDescriptors(4096);
    limits.maxListeners = 3;
    Station station(limits);
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
    auto limits = StreamServer::Limits::forDescriptors(4096);
    limits.lanes = 1;
    Station station(limits);
    auto listener = station.listen();
    std::promise<void> release;
    asio::post(station.server->executor(), [held = release.get_future().share()] { held.wait(); });
    std::this_thread::sleep_for(1500ms); // the thread is busy for a second and a half
    release.set_value();
    std::this_thread::sleep_for(100ms);

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch(station.port, "/stream"), fullHead + full);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << "refused, but not at once";
    EXPECT_EQ(fetch(station.port, "/stream", "HEAD"), fullHead);
    station.fanout->publish(chunkOf("live"));
    EXPECT_TRUE(listener->readAtLeast(4, 2s).ends_with("live")) << "the listener was dropped";
    EXPECT_TRUE(eventually(
        [&] { return fetch(station.port, "/stream", "HEAD").starts_with("HTTP/1.1 200"); }));
    station.listen();
}

// A client that asks and never reads holds nothing for long: a complete
// response is cut off after the send time-out, a stream whose socket takes
// no byte for the stall time-out is closed and leaves the count. Listeners
// that read are not touched.
TEST(StreamServer, ClientsThatNeverReadAreCutOff) {
    auto limits = StreamServer::Limits::forDescriptors(4096);
    limits.sendTimeout = 300ms;
    limits.stallTimeout = 500ms;
    limits.streamSendBuffer = 4096;
    Station station(limits);
    station.set(std::nullopt, Cover{Bytes(8 << 20, 0x42), "image/png"}); // more than any buffer
    RawClient coverReader(station.port, 4096);
    coverReader.send("GET /cover HTTP/1.1\r\n\r\n");
    auto stalled = station.listen("/stream?l=stalled", 4096);
    auto reader = station.listen("/stream?l=reader");

    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 3s && station.fanout->count() == 2) {
        station.fanout->publish(chunkOf(std::string(16384, 's')));
        reader->readAtLeast(16384, 1s);
    }
    EXPECT_EQ(station.fanout->count(), 1u) << "the stalled listener is still counted";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(stalled->closedByPeer(3s));
    // The cover's reader, reading only now, gets what was sent before the cut.
    EXPECT_LT(coverReader.readUntilClosed(10s).size(), 8u << 20) << "the unread cover was not cut";
    EXPECT_TRUE(coverReader.peerClosed());
    EXPECT_FALSE(reader->peerClosed());
}

TEST(StreamServer, StreamsTheBurstThenLiveChunksUntilTheyEnd) {
    Station station;
    station.fanout->publish(chunkOf("burst-"));
    auto client = std::make_unique<RawClient>(station.port);
    client->send("GET /stream HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client->readAtLeast(streamHead.size() + 6), streamHead + "burst-");
    station.fanout->publish(chunkOf("live"));
    EXPECT_EQ(client->readAtLeast(4), "live");

    // A client that only shut its sending side (nc -N) keeps its stream; one
    // that hangs up leaves once audio to it fails.
    auto halfClosed = station.listen();
    halfClosed->finishSending();
    client.reset();
    std::size_t received = 0;
    for (int i = 0; i < 60; ++i) {
        station.fanout->publish(chunkOf("still streaming"));
        received += halfClosed->readAtLeast(1, 50ms).size();
    }
    EXPECT_FALSE(halfClosed->peerClosed());
    EXPECT_GT(received, 15u * 50);
    // The hang-up shows only once a write to it has failed, which the sending
    // thread may not have tried yet however fast the publishes came.
    EXPECT_TRUE(eventually([&] {
        station.fanout->publish(chunkOf("still streaming"));
        halfClosed->readAtLeast(1, 10ms);
        return station.fanout->count() == 1u;
    })) << "the listener who hung up is still counted";

    station.fanout->closeAll();
    EXPECT_TRUE(halfClosed->closedByPeer(3s));
}

// Safari first asks for two bytes of the stream, then streams beside that
// request: a bounded range gets exactly those bytes of the stream as it would
// start and is no listener; an open range streams. A probe holds a place while
// it is answered, so a full station refuses a flood of them.
TEST(StreamServer, ARangeProbeGetsItsBytesButNotPastAFullStation) {
    StreamServer::Limits two = StreamServer::Limits::forDescriptors(4096);
    two.maxListeners = 2;
    Station station(two);
    station.fanout->publish(chunkOf("0123456789"));
    RawClient phone(station.port);
    phone.send("GET /stream?l=phone HTTP/1.1\r\nRange: bytes=0-\r\n\r\n");
    EXPECT_EQ(phone.readAtLeast(streamHead.size() + 10), streamHead + "0123456789");
    station.fanout->publish(chunkOf("live"));
    EXPECT_EQ(phone.readAtLeast(4), "live");

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
    phone.reset();
    EXPECT_TRUE(eventually([&] { return probe("/stream", "bytes=0-1").ends_with("01"); }))
        << "a place freed is not found by a probe";
}

// A player's playlist names the stream at the address the visitor used, with
// the passcode in its query; a Host that is not a host name, or a station
// name with a line break, cannot add an address of someone else's.
TEST(StreamServer, APlaylistNamesTheStreamWhereTheVisitorReachedIt) {
    Station station(StreamServer::Limits::forDescriptors(4096),
                    {[] { return std::string("Attic\nhttp://evil.example/"); }, {}});
    station.set("s3 cret", std::nullopt);
    const auto playlist = [&](const std::string& target, const std::string& fields) {
        RawClient client(station.port);
        client.send("GET " + target + " HTTP/1.1\r\n" + fields + "\r\n");
        const auto answer = client.readUntilClosed();
        return answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
    };
    const std::string tunnel =
        "Host: quiet-river.trycloudflare.com\r\nX-Forwarded-Proto: https\r\n";
    EXPECT_EQ(playlist("/listen.m3u?k=s3%20cret", tunnel),
              "#EXTM3U\n#EXTINF:-1,Attic http://evil.example/\n"
              "https://quiet-river.trycloudflare.com/stream?k=s3%20cret\n");
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
    Station station(StreamServer::Limits::forDescriptors(4096),
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
    RawClient player(station.port), plain(station.port);
    player.send("GET /stream HTTP/1.1\r\nIcy-MetaData: 1\r\n\r\n");
    plain.send("GET /stream HTTP/1.1\r\nIcy-MetaData: 0\r\n\r\n");
    const auto head = player.readAtLeast(streamHead.size());
    for (const char* field : {"icy-metaint: 16000\r\n", "icy-name: Attic  Waves\r\n",
                              "icy-br: 192\r\n", "icy-pub: 0\r\n"})
        EXPECT_NE(head.find(field), std::string::npos) << field << " missing from\n" << head;
    for (int chunk = 24; chunk < 50; ++chunk)
        publish(chunk);
    const auto expected = audio.substr(0, 16000) + Icy::block("The Gulls - Harbour Lights") +
                          audio.substr(16000, 16000) + Icy::block("Night Ferry") +
                          audio.substr(32000, 16000) + '\0' + audio.substr(48000);
    auto titled = head.substr(head.find("\r\n\r\n") + 4);
    titled += player.readAtLeast(expected.size() - titled.size());
    EXPECT_TRUE(titled == expected) << "the blocks are not where their audio begins";
    EXPECT_TRUE(plain.readAtLeast(streamHead.size() + audio.size()) == streamHead + audio)
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
    std::string published;
    for (std::size_t i = 0; i < 1000; ++i) { // 16 MB: more than any socket buffer
        std::string chunk(16384, static_cast<char>('A' + i % 26));
        std::memcpy(chunk.data(), &i, sizeof i);
        published += chunk;
        station.fanout->publish(chunkOf(chunk));
        ASSERT_EQ(reader->readAtLeast(chunk.size(), 5s), chunk) << "reader fell behind at " << i;
    }
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
    std::atomic<bool> publishing{true};
    std::thread publisher([&] {
        while (publishing) {
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
    publishing = false;
    publisher.join();
}

} // namespace

namespace {

// Fifteen listeners join one a second behind an uplink shared evenly among
// them. Where it carries ten streams, the watch lets the newest go until the
// rest are carried at the stream's rate, knows the room and admits nobody
// more; where it carries them all, one listener slow on their own (a phone on
// a poor network) falls behind alone: nobody is let go for it.
// (bench/narrow_uplink measures this through the server and a shaped tunnel.)
TEST(UplinkWatch, AFullUplinkLetsTheNewestGoButOneSlowListenerChangesNothing) {
    constexpr std::uint64_t rate = 24000; // bytes per second
    struct Outcome {
        std::optional<std::size_t> room;
        std::vector<std::uint64_t> carried, letGo;
        bool admits = true;
    };
    const auto run = [&](std::uint64_t uplink, std::optional<std::uint64_t> slow) {
        UplinkWatch watch;
        const auto start = UplinkWatch::Clock::now();
        std::map<std::uint64_t, std::uint64_t> taken; // of each listener still here
        Outcome outcome;
        for (std::uint64_t second = 0; second <= 60; ++second) {
            if (second < 15) taken[second + 1] = 0;
            const auto share = std::min<std::uint64_t>(rate, uplink / taken.size());
            std::vector<UplinkWatch::Listener> listeners;
            for (auto& [id, bytes] : taken) {
                const auto got = id == slow ? rate / 2 : share;
                bytes += got;
                listeners.push_back({id, start + std::chrono::seconds(id - 1), bytes,
                                     got < rate ? std::uint64_t{64 * 1024} : 0});
            }
            const auto verdict =
                watch.update(start + std::chrono::seconds(second), rate * second, listeners);
            outcome.admits = verdict.admit;
            for (const auto id : verdict.letGo) {
                taken.erase(id);
                outcome.letGo.push_back(id);
            }
        }
        outcome.room = watch.room();
        for (const auto& [id, bytes] : taken)
            outcome.carried.push_back(id);
        return outcome;
    };

    const auto narrow = run(10 * rate, std::nullopt);
    ASSERT_TRUE(narrow.room);
    EXPECT_GE(*narrow.room, 8u);
    EXPECT_LE(*narrow.room, 10u);
    EXPECT_EQ(narrow.carried.size(), *narrow.room)
        << "the rest are not carried at the stream's rate";
    EXPECT_FALSE(narrow.admits);
    for (const auto id : narrow.letGo)
        EXPECT_GT(id, narrow.carried.back()) << "an older listener was let go";

    const auto roomy = run(20 * rate, 6);
    EXPECT_FALSE(roomy.room);
    EXPECT_TRUE(roomy.letGo.empty());
    EXPECT_TRUE(roomy.admits);
}

} // namespace
