#pragma once

// The stream server's insides, shared by its own sources under core/stream
// and included by nothing else.

#include "core/stream/audience.h"
#include "core/stream/guess_limit.h"
#include "core/stream/stream_server.h"
#include "core/stream/stream_session.h"
#include "core/stream/uplink_watch.h"

#include <array>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace lantern {

// One sending thread with its own event loop. Each connection lives on one
// lane from accept to close, so its handlers never run concurrently and its
// state needs no lock; listeners are spread over the lanes, one per core.
struct StreamServer::Lane {
    // How often each lane checks that its loop keeps up, and how far behind
    // it may fall before it refuses new listeners.
    static constexpr auto heartbeat = std::chrono::milliseconds(50);
    static constexpr auto overloaded = std::chrono::milliseconds(500);

    explicit Lane(std::size_t number)
        : index(number), io(std::make_unique<asio::io_context>(1)), work(io->get_executor()),
          sweeper(std::in_place, *io), pulse(std::in_place, *io), watcher(std::in_place, *io) {}
    // After the thread ended: the loop goes first, destroying the handlers it
    // still holds and with them their connections, which need the rest.
    ~Lane() {
        sweeper.reset();
        pulse.reset();
        watcher.reset();
        work.reset();
        io.reset();
    }

    const std::size_t index;
    std::unique_ptr<asio::io_context> io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    std::optional<asio::steady_timer> sweeper;
    // Fires every heartbeat; how late it fires says how far behind the loop is.
    std::optional<asio::steady_timer> pulse;
    // The first lane's: when to look at the uplink next.
    std::optional<asio::steady_timer> watcher;
    // How far behind the loop runs: the latest lateness, or a decaying
    // memory of a larger one, so that a lane that has just caught up does
    // not admit a crowd at once. Only on the lane's thread.
    std::chrono::steady_clock::duration behind{};
    bool beating = false; // the pulse is armed: the lane has had connections
    // Connections on this lane; touched only on its thread (or once it ended).
    std::unordered_set<Connection*> connections;
    // Bytes of a head are read into this buffer first, then copied to the
    // connection, so that idle connections hold no receive buffer.
    std::array<char, 16384> scratch{};
    // Connections this lane holds, read by the acceptor to pick the emptiest lane.
    std::atomic<std::size_t> load{0};
    std::thread thread;
};

// State shared by the acceptor and every connection. The counters are shared
// by the lanes; everything else is either immutable or touched by one lane.
class StreamServer::Impl {
public:
    Impl(std::shared_ptr<Fanout> fanout, std::string page, NowCallback now, CoverCallback cover,
         AccessCallback access, Limits limits);
    ~Impl();

    void accept(const std::shared_ptr<asio::ip::tcp::acceptor>& listening);
    // Takes one accepted socket onto its lane, or closes it when a cap is reached.
    void admit(asio::ip::tcp::socket socket, Lane& lane);
    Lane& emptiestLane();
    asio::io_context& acceptorIO() { return *lanes.front()->io; }

    const std::shared_ptr<Fanout> fanout;
    const std::string page;
    const NowCallback now;
    const CoverCallback cover;
    const AccessCallback access;
    const Limits limits;
    std::string pagePolicy; // set before the server starts
    Titles titles;
    Tracks tracks;
    std::shared_ptr<Audience> audience;     // set before the server starts
    std::shared_ptr<Fanout> lightAAC, opus; // set before the server starts
    // The fan-out a listener asking for `form` gets, if it is offered.
    std::shared_ptr<Fanout> fanoutFor(Form form) const;
    // What pages said of how far behind live they play, by tag, until the
    // uplink watch takes it; and the tags whose stream was moved to the
    // light stream, for their pages. Both bounded.
    std::mutex heardMutex;
    std::unordered_map<std::string, std::vector<UplinkWatch::Heard>> heard;
    std::unordered_set<std::string> lightened;
    void hear(const std::string& tag, double lag);
    bool wasLightened(const std::string& tag);
    std::function<bool(int)> fromTunnel;
    GuessLimit guesses;
    // When wrong passcodes were last reported; only on the first lane's thread.
    std::chrono::steady_clock::time_point guessesReportedAt{};

    // Says how many wrong passcodes came, once a minute while any come.
    void reportGuesses();

    std::atomic<std::size_t> connections{0};
    std::atomic<std::size_t> readingHeads{0};
    std::atomic<std::size_t> streams{0};
    std::atomic<std::uint64_t> streamsStarted{0};
    // What the uplink watch says: whether listeners through the tunnel may
    // join, and the room it found (0: none yet).
    std::atomic<bool> admitThroughTunnel{true};
    std::atomic<std::size_t> room{0};
    // Newcomers through the tunnel join on the light stream.
    std::atomic<bool> joinLight{false};
    // Only on the first lane's thread.
    UplinkWatch uplink;

    std::vector<std::unique_ptr<Lane>> lanes;
    // Only on the first lane's thread.
    std::shared_ptr<asio::ip::tcp::acceptor> acceptor;
    // stop() calls so far, counted on the caller's thread: a start() that a
    // stop() followed never reports ready, however the two jobs interleave.
    std::atomic<std::uint64_t> stops{0};

    // Closes a lane's streams whose listener has taken no byte for the stall time-out.
    void sweep(Lane& lane);
    // Measures how far behind the lane's loop runs, every heartbeat while
    // the lane has connections: an idle lane's thread sleeps.
    void beat(Lane& lane, std::chrono::steady_clock::time_point due);
    // Gathers what every lane knows of its listeners through the tunnel, once
    // a second, and acts on the uplink watch's verdict.
    void watchUplink();

private:
    void run(Lane& lane);
};

// One accepted connection: reads the head, then answers once, or streams.
// Its methods run on its lane's thread, abandon() also once that thread has
// ended; letGo() on any thread.
class StreamServer::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Impl& server, Lane& lane, asio::ip::tcp::socket socket);
    // Whatever way the connection ends (its handlers finished, one threw, the
    // server went), its seat in the fan-out is given up with it.
    ~Connection();

    void start();

    // Ends the stream of a server that is going away.
    void abandon();

    // A stream write that has made no progress since `before`.
    bool stalledSince(std::chrono::steady_clock::time_point before) const;

    // What the uplink watch needs of a stream through the tunnel: how much of
    // it the tunnel has taken, and how much waits in the socket.
    std::optional<UplinkWatch::Listener> uplinkSample();

    // Ends the stream from any thread, because the tunnel cannot carry it.
    void letGo();
    // Moves the stream to the light AAC from any thread, between two frames.
    void lighten();
    const std::optional<std::string>& tag() const { return tag_; }

    // Ends a stream that the station no longer lets in.
    void recheck();

    void close();

private:
    void readHead();
    void onReadable(std::error_code error);
    void answer(const std::string& head);
    void notFound();
    void badRequest();
    std::string stationName() const;
    // A bounded range of the stream (Safari's first request asks for two
    // bytes): those bytes of the stream as it would start, the burst's. It
    // holds a listener's place while it is sent, so that a full station (or
    // uplink) refuses a flood of probes as it refuses streams.
    void probe(std::pair<std::uint64_t, std::uint64_t> range, double behind, Form form);
    // An extended M3U playlist naming the station and its stream at the
    // address the visitor used, with the passcode in the stream's query (a
    // player never sees a link's fragment).
    void playlist(std::string_view head, bool passcode, Form form);
    void refuse(int status, std::string_view body, const std::string& retryAfter);
    std::string peer() const;
    // Sends a complete response, then closes whether or not the send worked;
    // a client that does not take it within the send time-out is cut off.
    void send(std::string bytes);
    void full();
    static std::string fullHead();
    // A lane that cannot keep up with the listeners it has takes no more:
    // they would all fall behind, instead of the newcomer being told to
    // come back later.
    bool laneOverloaded() const;
    // A full uplink takes nobody more through the tunnel; listeners on this
    // computer do not use it.
    bool uplinkAdmits() const;
    // Takes a place among the listeners, if one is free: a full station
    // refuses at once, before any audio is queued for the connection.
    bool takePlace();
    // Starts the stream, with title blocks when `titles` (the player asks for them).
    void stream(std::optional<std::string> tag, bool titles, double behind, Form form);
    // A listener's name or reaction: checks the head, reads exactly the
    // body it announces (at most 1 KiB, within the head's time), then
    // answers what the audience makes of it.
    void takeBody(std::string_view head, Route::Kind kind);
    void readBody();
    void took(std::string_view body);
    void endHeadPhase();

    Impl& server_;
    Lane& lane_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer deadline_; // for the head, then for a complete response
    std::string head_;            // the request's head
    bool readingHead_ = true;
    bool placed_ = false;                  // it holds one of the listeners' places
    bool remote_ = false;                  // it came through the tunnel
    std::optional<std::string> presented_; // the passcode the request carried
    std::string visitor_;                  // who sent it, for counting what one visitor does
    std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();
    // A POST's body: what came so far, how much it announced, which route.
    std::string body_;
    std::size_t bodyWanted_ = 0;
    Route::Kind bodyKind_ = Route::Kind::notFound;
    Audience::Stay stay_;            // its tag listens while it streams
    std::optional<std::string> tag_; // a stream's
    // Once it streams. Declared after socket_, which it sends on, so that it goes first.
    std::optional<StreamSession> session_;
};

} // namespace lantern
