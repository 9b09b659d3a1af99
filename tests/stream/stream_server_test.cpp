#include "stream/http.h"
#include "stream/stream_server.h"
#include "support/raw_client.h"

#include <asio/post.hpp>
#include <asio/use_future.hpp>
#include <cctype>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace lantern;
using namespace lantern::test;
using namespace std::chrono_literals;

namespace {

const std::string page = "<!doctype html><title>listen</title>";
const std::string notHere = "HTTP/1.1 404 Not Found\r\nAccess-Control-Allow-Origin: *\r\n"
                            "Connection: close\r\nContent-Type: text/plain; charset=utf-8\r\n"
                            "Content-Length: 9\r\n\r\nNot here\n";
const std::string streamHead = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n"
                               "Connection: close\r\nContent-Type: audio/aac\r\n"
                               "Cache-Control: no-store\r\n\r\n";

Chunk chunkOf(std::string_view text) {
    return Chunk(Bytes(text.begin(), text.end()));
}

template <typename Predicate> bool eventually(Predicate done, std::chrono::milliseconds wait = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string percentEncoded(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// A started server over its own fan-out, with a passcode and a cover that the
// test can change while it runs, as the station does.
class Station {
public:
    explicit Station(StreamServer::Limits limits = {})
        : fanout(
              std::make_shared<Fanout>(StationConfig::burstBytes, StationConfig::perListenerLimit)),
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
                  return passcode;
              },
              limits)) {
        auto started = server->start(asio::use_future);
        if (started.wait_for(5s) == std::future_status::ready) port = started.get();
    }

    void setPasscode(std::optional<std::string> value) {
        std::lock_guard lock(mutex);
        passcode = std::move(value);
    }
    void setCover(std::optional<Cover> value) {
        std::lock_guard lock(mutex);
        cover = std::move(value);
    }
    std::thread::id serverThread() {
        std::promise<std::thread::id> id;
        asio::post(server->executor(), [&] { id.set_value(std::this_thread::get_id()); });
        return id.get_future().get();
    }

    std::shared_ptr<Fanout> fanout;
    std::unique_ptr<StreamServer> server;
    std::uint16_t port = 0;
    std::thread::id nowThread;

private:
    std::mutex mutex;
    std::optional<std::string> passcode;
    std::optional<Cover> cover;
};

std::string okHead(std::string_view type, std::size_t length, bool noStore) {
    std::string head = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n"
                       "Content-Type: " +
                       std::string(type) + "\r\nContent-Length: " + std::to_string(length) + "\r\n";
    if (noStore) head += "Cache-Control: no-store\r\n";
    return head + "\r\n";
}

std::string json(std::string_view body) {
    return okHead("application/json", body.size(), true) + std::string(body);
}

TEST(StreamServerStart, ListensOnLoopbackOnlyAtTheReportedPort) {
    Station station;
    ASSERT_NE(station.port, 0);
    std::ifstream table("/proc/net/tcp");
    std::string line, loopbackListen, anyListen;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", station.port);
    bool onLoopback = false, elsewhere = false;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state != "0A" || !local.ends_with(portHex)) continue; // 0A: listening
        (local.starts_with("0100007F") ? onLoopback : elsewhere) = true;
    }
    EXPECT_TRUE(onLoopback);
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(fetch(station.port, "/"),
              okHead("text/html; charset=utf-8", page.size(), false) + page);
}

TEST(StreamServerStart, StopBeforeReadyFailsStartWithCancellation) {
    auto fanout = std::make_shared<Fanout>(0, 256);
    StreamServer server(
        fanout, page, [](double) { return std::string(); }, [] { return std::optional<Cover>(); },
        [] { return std::optional<std::string>(); });
    auto started = server.start(asio::use_future);
    server.stop();
    ASSERT_EQ(started.wait_for(5s), std::future_status::ready);
    try {
        started.get();
        FAIL() << "start() succeeded after stop()";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), asio::error::operation_aborted);
    }
    // A later start opens a new listening socket.
    auto again = server.start(asio::use_future);
    ASSERT_EQ(again.wait_for(5s), std::future_status::ready);
    const auto port = again.get();
    EXPECT_NE(port, 0);
    EXPECT_EQ(fetch(port, "/nothing"), notHere);
    server.stop();
    EXPECT_TRUE(eventually([&] { return fetch(port, "/") == "<refused>"; }));
}

TEST(StreamServerAnswers, EachRouteWithoutPasscode) {
    Station station;
    station.setCover(Cover{{0x89, 'P', 'N', 'G'}, "image/png"});
    const std::string cover("\x89PNG", 4);
    struct Row {
        const char* target;
        std::string expected;
    } rows[] = {
        {"/", okHead("text/html; charset=utf-8", page.size(), false) + page},
        {"/index.html?k=ignored", okHead("text/html; charset=utf-8", page.size(), false) + page},
        {"/now?lag=12.5", json("{\"lag\":12.5}")},
        {"/now?lag=900&k=anything", json("{\"lag\":60}")},
        {"/cover", okHead("image/png", 4, true) + cover},
        {"/missing", notHere},
        {"/stream/", notHere},
    };
    for (const auto& row : rows)
        EXPECT_EQ(fetch(station.port, row.target), row.expected) << row.target;

    station.setCover(std::nullopt);
    EXPECT_EQ(fetch(station.port, "/cover"), notHere);

    RawClient post(station.port);
    post.send("POST /now HTTP/1.1\r\n\r\n");
    EXPECT_EQ(post.readUntilClosed(), notHere);
    EXPECT_EQ(station.nowThread, station.serverThread());
}

TEST(StreamServerAnswers, PasscodeGuardsEveryRouteButThePage) {
    Station station;
    station.setCover(Cover{{'j', 'p', 'g'}, "image/jpeg"});
    station.setPasscode("s3 cret");
    struct Row {
        const char* target;
        std::string expected;
    } rows[] = {
        {"/", okHead("text/html; charset=utf-8", page.size(), false) + page},
        {"/index.html", okHead("text/html; charset=utf-8", page.size(), false) + page},
        {"/now", notHere},
        {"/now?k=", notHere},
        {"/now?k=s3", notHere},
        {"/now?k=S3+CRET", notHere},
        {"/now?k=s3+cret&lag=2", json("{\"lag\":2}")},
        {"/now?lag=2&k=s3%20cret", json("{\"lag\":2}")},
        {"/cover", notHere},
        {"/cover?k=wrong", notHere},
        {"/cover?k=s3+cret", okHead("image/jpeg", 3, true) + "jpg"},
        {"/stream", notHere},
        {"/stream?k=nope", notHere},
        {"/elsewhere?k=s3+cret", notHere},
    };
    for (const auto& row : rows)
        EXPECT_EQ(fetch(station.port, row.target), row.expected) << row.target;

    RawClient listener(station.port);
    listener.send("GET /stream?k=s3+cret HTTP/1.1\r\n\r\n");
    EXPECT_EQ(listener.readAtLeast(streamHead.size()), streamHead);
    EXPECT_EQ(station.fanout->count(), 1u);
}

TEST(StreamServerHead, AnsweredWhenSentOneByteAtATime) {
    Station station;
    RawClient client(station.port);
    const std::string request = "GET /now?lag=3 HTTP/1.1\r\nHost: x\r\n\r\n";
    for (char c : request) {
        EXPECT_EQ(client.readAtLeast(1, 2ms), "") << "answered before the blank line";
        ASSERT_TRUE(client.send(std::string_view(&c, 1)));
    }
    EXPECT_EQ(client.readUntilClosed(), json("{\"lag\":3}"));
}

TEST(StreamServerHead, SizeLimitOnBothSides) {
    Station station;
    const std::string requestLine = "GET /now?lag=1 HTTP/1.1\r\n";
    // Just under the limit, blank line included: answered.
    std::string fitting = requestLine + "X-Fill: ";
    fitting += std::string(16380 - fitting.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(fitting.size(), 16380u);
    RawClient under(station.port);
    under.send(fitting);
    EXPECT_EQ(under.readUntilClosed(), json("{\"lag\":1}"));

    // Over the limit with no blank line: closed without a word.
    RawClient over(station.port);
    over.send(requestLine + "X-Fill: " + std::string(20000, 'a'));
    EXPECT_EQ(over.readUntilClosed(), "");
    EXPECT_TRUE(over.peerClosed());

    // Bare line feeds never end a head; the peer finishing ends the connection.
    RawClient bare(station.port);
    bare.send("GET / HTTP/1.1\n\n");
    EXPECT_FALSE(bare.closedByPeer(200ms));
    bare.finishSending();
    EXPECT_TRUE(bare.closedByPeer(3s));
    EXPECT_EQ(bare.readUntilClosed(10ms), "");
}

TEST(StreamServerHead, IdleConnectionsAreClosedAfterTheTimeout) {
    StreamServer::Limits limits;
    limits.headTimeout = 300ms;
    Station station(limits);
    const auto started = std::chrono::steady_clock::now();
    RawClient silent(station.port);
    RawClient partial(station.port);
    partial.send("GET /now HTTP/1.1\r\n");
    RawClient streaming(station.port);
    streaming.send("GET /stream HTTP/1.1\r\n\r\n");
    EXPECT_EQ(streaming.readAtLeast(streamHead.size()), streamHead);

    EXPECT_TRUE(silent.closedByPeer(3s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 290ms);
    EXPECT_TRUE(partial.closedByPeer(3s));
    EXPECT_EQ(silent.readUntilClosed(10ms), "");
    // A connection whose head arrived in time is not cut off by the deadline.
    std::this_thread::sleep_for(400ms);
    station.fanout->publish(chunkOf("still here"));
    EXPECT_EQ(streaming.readAtLeast(10), "still here");
}

// Connections beyond the caps are closed at once: those still reading their
// head, and all the server holds (so that listeners never take the process's
// own descriptors). Each place freed is taken again.
TEST(StreamServerLimits, ConnectionsBeyondTheCapsAreClosedAtAccept) {
    struct Row {
        const char* what;
        std::size_t maxReadingHeads, maxConnections;
        bool streaming; // the held connections are listeners, not idle heads
    };
    for (const auto& row : {Row{"heads", 8, 100, false}, Row{"all connections", 100, 8, true}}) {
        StreamServer::Limits limits;
        limits.maxReadingHeads = row.maxReadingHeads;
        limits.maxConnections = row.maxConnections;
        Station station(limits);
        std::vector<std::unique_ptr<RawClient>> held;
        for (int i = 0; i < 8; ++i) {
            held.push_back(std::make_unique<RawClient>(station.port));
            if (row.streaming) held.back()->send("GET /stream HTTP/1.1\r\n\r\n");
        }
        if (row.streaming) {
            ASSERT_TRUE(eventually([&] { return station.fanout->count() == 8; })) << row.what;
        }
        RawClient refused(station.port);
        EXPECT_TRUE(refused.closedByPeer(3s)) << row.what;
        EXPECT_EQ(refused.readUntilClosed(10ms), "") << row.what;
        for (auto& client : held)
            EXPECT_FALSE(client->closedByPeer(1ms)) << row.what;
        held.front().reset(); // hangs up (a stream leaves on its next chunk)
        EXPECT_TRUE(eventually([&] {
            station.fanout->publish(chunkOf("x"));
            return fetch(station.port, "/x") == notHere;
        })) << row.what;
    }
}

// A full station says so (503, try again in 10 s) instead of taking one more
// listener; the page still loads, and a place that frees up is taken again.
TEST(StreamServerLimits, AFullStationAnswers503AndStillServesThePage) {
    StreamServer::Limits limits;
    limits.maxListeners = 3;
    Station station(limits);
    std::vector<std::unique_ptr<RawClient>> listeners;
    for (int i = 0; i < 3; ++i) {
        listeners.push_back(std::make_unique<RawClient>(station.port));
        listeners.back()->send("GET /stream HTTP/1.1\r\n\r\n");
        ASSERT_EQ(listeners.back()->readAtLeast(streamHead.size()), streamHead);
    }
    EXPECT_EQ(fetch(station.port, "/stream"),
              "HTTP/1.1 503 Service Unavailable\r\nAccess-Control-Allow-Origin: *\r\n"
              "Connection: close\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 30\r\nRetry-After: 10\r\n\r\nThe station is full right now\n");
    EXPECT_EQ(fetch(station.port, "/"), okHead("text/html; charset=utf-8", page.size(), false) + page);
    EXPECT_EQ(station.fanout->count(), 3u);
    listeners.pop_back();
    ASSERT_TRUE(eventually([&] {
        station.fanout->publish(chunkOf("x"));
        return station.fanout->count() == 2;
    }));
    RawClient next(station.port);
    next.send("GET /stream HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(next.readAtLeast(streamHead.size()).starts_with(streamHead));
}

// A client that asks and never reads holds nothing for long: a complete
// response is cut off after the send time-out, a stream whose socket takes
// no byte for the stall time-out is closed and leaves the count. Listeners
// that read are not touched.
TEST(StreamServerLimits, ClientsThatNeverReadAreCutOff) {
    StreamServer::Limits limits;
    limits.sendTimeout = 300ms;
    limits.stallTimeout = 500ms;
    limits.streamSendBuffer = 4096;
    Station station(limits);
    station.setCover(Cover{Bytes(8 << 20, 0x42), "image/png"}); // more than any socket buffers

    RawClient coverReader(station.port, 4096);
    coverReader.send("GET /cover HTTP/1.1\r\n\r\n");
    RawClient stalled(station.port, 4096), reader(station.port);
    stalled.send("GET /stream?l=stalled HTTP/1.1\r\n\r\n");
    reader.send("GET /stream?l=reader HTTP/1.1\r\n\r\n");
    ASSERT_EQ(reader.readAtLeast(streamHead.size()), streamHead);
    ASSERT_TRUE(eventually([&] { return station.fanout->count() == 2; }));

    const auto start = std::chrono::steady_clock::now();
    bool stalledGone = false;
    while (std::chrono::steady_clock::now() - start < 3s && !stalledGone) {
        station.fanout->publish(chunkOf(std::string(16384, 's')));
        reader.readAtLeast(16384, 1s);
        stalledGone = station.fanout->count() == 1;
    }
    EXPECT_TRUE(stalledGone) << "the stalled listener is still counted";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(stalled.closedByPeer(3s));
    // The cover's reader, reading only now, gets what was sent before the
    // cut, then the end: not the whole image.
    const auto cover = coverReader.readUntilClosed(10s);
    EXPECT_TRUE(coverReader.peerClosed());
    EXPECT_LT(cover.size(), 8u << 20) << "the unread cover was not cut off";
    EXPECT_FALSE(reader.peerClosed());
}

// 100 user-perceived characters mixing flags, accented letters written with
// a combining mark, and plain letters.
std::vector<std::string> graphemes() {
    std::vector<std::string> out;
    for (int i = 0; i < 100; ++i) {
        switch (i % 3) {
        case 0:
            out.push_back("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
            break; // flag of France
        case 1:
            out.push_back("e\xCC\x81");
            break; // e + combining acute
        default:
            out.push_back(std::string(1, static_cast<char>('a' + i % 26)));
        }
    }
    return out;
}

std::string firstOf(const std::vector<std::string>& characters, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
        out += characters[i];
    return out;
}

TEST(StreamServerStream, TagIsCutTo64UserPerceivedCharacters) {
    Station station;
    const auto characters = graphemes();
    auto join = [&](const std::string& tag) {
        auto client = std::make_unique<RawClient>(station.port);
        client->send("GET /stream?l=" + percentEncoded(tag) + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client->readAtLeast(streamHead.size()), streamHead);
        return client;
    };
    auto full = join(firstOf(characters, 100));
    auto exact = join(firstOf(characters, 64));
    EXPECT_EQ(station.fanout->count(), 1u) << "100 characters were not cut to the first 64";
    auto shorter = join(firstOf(characters, 63));
    EXPECT_EQ(station.fanout->count(), 2u);
    auto untagged = join("");
    auto noTag = std::make_unique<RawClient>(station.port);
    noTag->send("GET /stream HTTP/1.1\r\n\r\n");
    EXPECT_EQ(noTag->readAtLeast(streamHead.size()), streamHead);
    EXPECT_EQ(station.fanout->count(), 4u);
}

TEST(StreamServerStream, BurstThenLiveChunksThenCloseAllEndsTheResponse) {
    Station station;
    station.fanout->publish(chunkOf("burst-"));
    RawClient client(station.port);
    client.send("GET /stream HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.readAtLeast(streamHead.size() + 6), streamHead + "burst-");
    station.fanout->publish(chunkOf("live"));
    EXPECT_EQ(client.readAtLeast(4), "live");
    station.fanout->closeAll();
    EXPECT_TRUE(client.closedByPeer(3s));
}

// A listener that hangs up leaves as soon as audio to it fails to go out; one
// that only shut its sending side (as `nc -N` and some scripts do) keeps
// receiving its stream.
TEST(StreamServerStream, HangingUpLeavesButHalfClosingKeepsTheStream) {
    Station station;
    {
        RawClient client(station.port);
        client.send("GET /stream HTTP/1.1\r\n\r\n");
        client.readAtLeast(streamHead.size());
        ASSERT_EQ(station.fanout->count(), 1u);
    }
    EXPECT_TRUE(eventually([&] {
        station.fanout->publish(chunkOf("anyone?"));
        return station.fanout->count() == 0;
    }));

    RawClient halfClosed(station.port);
    halfClosed.send("GET /stream HTTP/1.1\r\n\r\n");
    halfClosed.finishSending();
    ASSERT_EQ(halfClosed.readAtLeast(streamHead.size()), streamHead);
    const auto end = std::chrono::steady_clock::now() + 3s;
    std::size_t received = 0;
    while (std::chrono::steady_clock::now() < end && !halfClosed.peerClosed()) {
        station.fanout->publish(chunkOf("still streaming"));
        received += halfClosed.readAtLeast(1, 50ms).size();
    }
    EXPECT_FALSE(halfClosed.peerClosed());
    EXPECT_GT(received, 15u * 50);
    EXPECT_EQ(station.fanout->count(), 1u);
}

// A listener that stops reading keeps its connection and loses only its own
// newest audio; a listener that reads gets every byte, in order, meanwhile.
TEST(StreamServerStream, StalledListenerDoesNotSlowAnother) {
    Station station;
    RawClient stalled(station.port, 4096);
    stalled.send("GET /stream HTTP/1.1\r\n\r\n");
    RawClient reader(station.port);
    reader.send("GET /stream HTTP/1.1\r\n\r\n");
    ASSERT_EQ(reader.readAtLeast(streamHead.size()), streamHead);
    ASSERT_TRUE(eventually([&] { return station.fanout->count() == 2; }));

    constexpr std::size_t chunkBytes = 16384, chunks = 1000; // 16 MB: more than any socket buffer
    std::string published;
    for (std::size_t i = 0; i < chunks; ++i) {
        std::string chunk(chunkBytes, static_cast<char>('A' + i % 26));
        std::memcpy(chunk.data(), &i, sizeof i);
        published += chunk;
        station.fanout->publish(chunkOf(chunk));
        const auto received = reader.readAtLeast(chunkBytes, 5s);
        ASSERT_EQ(received.size(), chunkBytes) << "reader fell behind at chunk " << i;
        ASSERT_EQ(received, chunk);
    }
    const auto late = stalled.readAtLeast(published.size() + streamHead.size(), 1500ms);
    EXPECT_FALSE(stalled.peerClosed());
    ASSERT_GT(late.size(), streamHead.size());
    const auto body = late.substr(streamHead.size());
    EXPECT_LT(body.size(), published.size()) << "nothing was dropped for the stalled listener";
    EXPECT_EQ(body, published.substr(0, body.size())) << "the stalled listener lost older audio";
}

TEST(StreamServerLifetime, DestroyingTheServerEndsItsStreams) {
    Station station;
    RawClient a(station.port), b(station.port), idle(station.port);
    a.send("GET /stream HTTP/1.1\r\n\r\n");
    b.send("GET /stream?l=tag HTTP/1.1\r\n\r\n");
    a.readAtLeast(streamHead.size());
    b.readAtLeast(streamHead.size());
    ASSERT_EQ(station.fanout->count(), 2u);
    station.server.reset();
    EXPECT_EQ(station.fanout->count(), 0u);
    EXPECT_TRUE(a.closedByPeer(3s));
    EXPECT_TRUE(b.closedByPeer(3s));
    EXPECT_TRUE(idle.closedByPeer(3s));
    station.fanout->publish(chunkOf("nobody"));
}

// An outside client: curl receives the head, the burst, live chunks, and a
// clean end of data when the station closes every stream.
TEST(StreamServerStream, CurlReceivesBurstLiveChunksAndEnd) {
    Station station;
    std::string expected = "burst:" + std::string(1000, 'b');
    station.fanout->publish(chunkOf(expected));
    const auto output = testing::TempDir() + "curl-stream-" + std::to_string(::getpid());
    const auto url = "http://127.0.0.1:" + std::to_string(station.port) + "/stream?l=curl";
    std::vector<std::string> args = {"curl", "-sS", "-N", "--max-time", "20", "-o", output, url};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ), 0)
        << "curl is not installed";
    ASSERT_TRUE(eventually([&] { return station.fanout->count() == 1; }));
    for (int i = 0; i < 50; ++i) {
        const auto live = "live " + std::to_string(i) + ";";
        expected += live;
        station.fanout->publish(chunkOf(live));
    }
    auto fileSize = [&] {
        std::ifstream file(output, std::ios::binary | std::ios::ate);
        return file ? static_cast<std::size_t>(file.tellg()) : 0;
    };
    EXPECT_TRUE(eventually([&] { return fileSize() == expected.size(); }));
    station.fanout->closeAll();
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "curl status " << status;
    std::ifstream file(output, std::ios::binary);
    const std::string received((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(received, expected);
    std::remove(output.c_str());
}

} // namespace
