#include "core/stream/stream_server.h"

#include "core/config/station_config.h"
#include "core/stream/guess_limit.h"
#include "core/stream/http.h"
#include "core/stream/text.h"
#include "core/stream/uplink_watch.h"
#include "core/system/log.h"

#include <array>
#include <asio/bind_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <fcntl.h>
#include <linux/sockios.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

namespace lantern {

using asio::ip::tcp;

namespace {

// The sending thread's niceness: below the capture's (0) in the scheduler's eyes.
constexpr int senderNiceness = 5;

// How often each lane checks that its loop keeps up, and how far behind it
// may fall before it refuses new listeners.
constexpr auto heartbeat = std::chrono::milliseconds(50);
constexpr auto overloaded = std::chrono::milliseconds(500);

// How often the uplink's listeners are looked at.
constexpr auto uplinkEvery = std::chrono::seconds(1);

constexpr std::string_view headEnd = "\r\n\r\n";
constexpr std::size_t tagCharacters = 64;
constexpr std::string_view fullBody = "The station is full right now\n";
constexpr std::string_view heldBody = "The station isn't letting listeners in right now\n";
constexpr std::string_view guessedBody = "Too many wrong passcodes. Try again in a minute.\n";
// Wrong passcodes are reported at most this often, as a count.
constexpr auto guessReportEvery = std::chrono::minutes(1);

// Sockets are never inherited by children (the tunnel tool, playerctl): a
// child that held the listening socket would keep accepting into its backlog
// after the station went off air.
void closeOnExec(int fd) {
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

} // namespace

StreamServer::Limits StreamServer::Limits::forDescriptors(std::size_t descriptors) {
    Limits limits;
    limits.maxConnections = descriptors > reserve + answering ? descriptors - reserve : answering;
    limits.maxListeners = limits.maxConnections - answering;
    limits.maxReadingHeads = std::min(limits.maxReadingHeads, limits.maxConnections);
    return limits;
}

StreamServer::Limits StreamServer::Limits::forThisProcess() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return forDescriptors(1024);
    constexpr rlim_t most = 1 << 20; // "unlimited" is not a number of sockets to plan for
    return forDescriptors(static_cast<std::size_t>(std::min(limit.rlim_cur, most)));
}

// One sending thread with its own event loop. Each connection lives on one
// lane from accept to close, so its handlers never run concurrently and its
// state needs no lock; listeners are spread over the lanes, one per core.
struct StreamServer::Lane {
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

    void accept(const std::shared_ptr<tcp::acceptor>& listening);
    // Takes one accepted socket onto its lane, or closes it when a cap is reached.
    void admit(tcp::socket socket, Lane& lane);
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
    // Only on the first lane's thread.
    UplinkWatch uplink;

    std::vector<std::unique_ptr<Lane>> lanes;
    // Only on the first lane's thread.
    std::shared_ptr<tcp::acceptor> acceptor;
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
class StreamServer::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Impl& server, Lane& lane, tcp::socket socket)
        : server_(server), lane_(lane), socket_(std::move(socket)), deadline_(*lane.io) {
        lane_.connections.insert(this);
        if (!std::exchange(lane_.beating, true))
            server_.beat(lane_, std::chrono::steady_clock::now());
    }

    // Whatever way the connection ends (its handlers finished, one threw, the
    // server went), its seat in the fan-out is given up with it.
    ~Connection() {
        if (readingHead_) --server_.readingHeads;
        if (placed_) --server_.streams;
        --server_.connections;
        --lane_.load;
        lane_.connections.erase(this);
    }

    void start() {
        std::error_code ignored;
        socket_.non_blocking(true, ignored);
        deadline_.expires_after(server_.limits.headTimeout);
        deadline_.async_wait([weak = weak_from_this()](std::error_code error) {
            auto self = weak.lock();
            if (!error && self && self->readingHead_) self->close();
        });
        readHead();
    }

    // Ends the stream of a server that is going away.
    void abandon() { seat_.leave(); }

    // A stream write that has made no progress since `before`.
    bool stalledSince(std::chrono::steady_clock::time_point before) const {
        return streaming_ && writing_ && lastProgress_ < before;
    }

    // What the uplink watch needs of a stream through the tunnel: how much of
    // it the tunnel has taken, and how much waits in the socket.
    std::optional<UplinkWatch::Listener> uplinkSample() {
        if (!streaming_ || !seat_ || !remote_) return std::nullopt;
        int waiting = 0;
        if (::ioctl(socket_.native_handle(), SIOCOUTQ, &waiting) != 0) waiting = 0;
        const auto unsent = std::min<std::uint64_t>(sent_, static_cast<std::uint64_t>(waiting));
        return UplinkWatch::Listener{id_, joined_, sent_ - unsent, unsent};
    }

    // Ends the stream from any thread, because the tunnel cannot carry it:
    // with a reset, so that the tunnel drops what it still holds of the
    // stream instead of spending the uplink on it.
    void letGo() {
        asio::post(*lane_.io, [self = shared_from_this()] {
            std::error_code ignored;
            self->socket_.set_option(asio::socket_base::linger(true, 0), ignored);
            self->finishStream();
        });
    }

    void close() {
        endHeadPhase();
        // The place is free once the client can tell the answer is over.
        if (std::exchange(placed_, false)) --server_.streams;
        std::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

private:
    void readHead() {
        socket_.async_wait(
            tcp::socket::wait_read,
            [self = shared_from_this()](std::error_code error) { self->onReadable(error); });
    }

    void onReadable(std::error_code error) {
        std::size_t received = 0;
        if (!error) received = socket_.read_some(asio::buffer(lane_.scratch), error);
        if (error == asio::error::would_block) return readHead();

        const auto searchFrom = head_.size() < 3 ? 0 : head_.size() - 3;
        head_.append(lane_.scratch.data(), received);
        if (const auto end = head_.find(headEnd, searchFrom); end != std::string::npos) {
            return answer(decodeUtf8Lossy(std::string_view(head_).substr(0, end)));
        }
        // Anything else ends the connection unanswered: an error, the peer
        // finished sending (read_some reports that as an error too), or too much.
        if (error || head_.size() > server_.limits.maxHeadBytes) return close();
        readHead();
    }

    void answer(const std::string& head) {
        endHeadPhase();
        const auto requestLine = std::string_view(head).substr(0, head.find("\r\n"));
        const auto request = route(requestLine);
        if (request.kind == Route::Kind::page)
            return send(responseHead(200, "text/html; charset=utf-8", server_.page.size(),
                                     {{"Content-Security-Policy", server_.pagePolicy}}) +
                        server_.page);

        const auto pairs = query(requestTarget(requestLine));
        // The tunnel names every visitor it brings; anyone else could name
        // any visitor, so it is believed from the tunnel alone.
        auto connectingIP = headerField(head, "Cf-Connecting-IP");
        remote_ = connectingIP && server_.fromTunnel && server_.fromTunnel(socket_.native_handle());
        if (!remote_) connectingIP.reset();
        const auto access = server_.access();
        if (access.heldBack) return refuse(503, heldBody, "30");
        const auto given = pairs.find("k");
        if (given != pairs.end()) presented_ = given->second;
        if (access.passcode) {
            // One visitor's guessing is theirs alone to wait out: a visitor
            // refused gets no answer about any passcode, right or wrong.
            const auto visitor = visitorKey(connectingIP, peer());
            const auto wait = server_.guesses.refused(visitor, std::chrono::steady_clock::now());
            if (wait > std::chrono::steady_clock::duration::zero()) {
                const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
                return refuse(429, guessedBody, std::to_string(seconds));
            }
            if (!passcodeMatches(*access.passcode, presented_)) {
                // A missing passcode is not a guess: the page asks without one.
                if (presented_) server_.guesses.wrong(visitor, std::chrono::steady_clock::now());
                return notFound();
            }
        }

        switch (request.kind) {
        case Route::Kind::now: {
            const auto body = server_.now(request.lag);
            return send(responseHead(200, "application/json", body.size(),
                                     {{"Cache-Control", "no-store"}}) +
                        body);
        }
        case Route::Kind::cover: {
            const auto image = server_.cover();
            if (!image) return notFound();
            auto bytes = responseHead(200, image->type, image->bytes.size(),
                                      {{"Cache-Control", "no-store"}});
            bytes.append(image->bytes.begin(), image->bytes.end());
            return send(std::move(bytes));
        }
        case Route::Kind::playlist:
            return playlist(head, access.passcode.has_value());
        case Route::Kind::streamCheck:
            // The head a stream request would get now, without taking a place.
            if (server_.streams.load() >= server_.limits.maxListeners || laneOverloaded() ||
                !uplinkAdmits())
                return send(fullHead());
            return send(
                responseHead(200, "audio/aac", std::nullopt, {{"Cache-Control", "no-store"}}));
        case Route::Kind::stream: {
            if (const auto range = boundedRange(head)) return probe(*range);
            icy_ = headerField(head, "Icy-MetaData") == "1" && server_.titles.at;
            const auto label = pairs.find("l");
            if (label == pairs.end()) return stream(std::nullopt);
            return stream(prefixGraphemes(label->second, tagCharacters));
        }
        default:
            return notFound();
        }
    }

    void notFound() { send(responseHead(404, "text/plain; charset=utf-8", 9) + "Not here\n"); }

    std::string stationName() const {
        return headerValue(server_.titles.station ? server_.titles.station() : "Lantern FM");
    }

    // A bounded range of the stream (Safari's first request asks for two
    // bytes): those bytes of the stream as it would start, the burst's. It
    // holds a listener's place while it is sent, so that a full station (or
    // uplink) refuses a flood of probes as it refuses streams.
    void probe(std::pair<std::uint64_t, std::uint64_t> range) {
        if (!takePlace()) return full();
        const auto bytes = server_.fanout->burstBytes(range.first, range.second - range.first + 1);
        if (bytes.empty())
            return send(responseHead(416, std::nullopt, 0, {{"Content-Range", "bytes */*"}}));
        const auto last = range.first + bytes.size() - 1;
        auto answer = responseHead(206, "audio/aac", bytes.size(),
                                   {{"Cache-Control", "no-store"},
                                    {"Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                          std::to_string(last) + "/*"}});
        answer.append(bytes.begin(), bytes.end());
        send(std::move(answer));
    }

    // An extended M3U playlist naming the station and its stream at the
    // address the visitor used, with the passcode in the stream's query (a
    // player never sees a link's fragment).
    void playlist(std::string_view head, bool passcode) {
        const auto origin = visitedOrigin(head);
        if (!origin)
            return send(responseHead(400, "text/plain; charset=utf-8", 12) + "Bad request\n");
        auto stream = *origin + "/stream";
        if (passcode && presented_) stream += "?k=" + percentEncoded(*presented_);
        const auto body = "#EXTM3U\n#EXTINF:-1," + stationName() + "\n" + stream + "\n";
        send(responseHead(200, "audio/x-mpegurl", body.size(), {{"Cache-Control", "no-store"}}) +
             body);
    }

    void refuse(int status, std::string_view body, const std::string& retryAfter) {
        send(responseHead(status, "text/plain; charset=utf-8", body.size(),
                          {{"Retry-After", retryAfter}}) +
             std::string(body));
    }

    std::string peer() const {
        std::error_code error;
        const auto endpoint = socket_.remote_endpoint(error);
        return error ? std::string() : endpoint.address().to_string();
    }

public:
    // Ends a stream that the station no longer lets in.
    void recheck() {
        if (!streaming_ || !seat_) return;
        const auto access = server_.access();
        if (access.heldBack || (access.passcode && !passcodeMatches(*access.passcode, presented_)))
            finishStream();
    }

private:
    // Sends a complete response, then closes whether or not the send worked;
    // a client that does not take it within the send time-out is cut off.
    void send(std::string bytes) {
        auto owned = std::make_shared<const std::string>(std::move(bytes));
        deadline_.expires_after(server_.limits.sendTimeout);
        deadline_.async_wait([weak = weak_from_this()](std::error_code error) {
            if (auto self = weak.lock(); self && !error) self->close();
        });
        asio::async_write(socket_, asio::buffer(*owned),
                          [self = shared_from_this(), owned](std::error_code, std::size_t) {
                              self->deadline_.cancel();
                              self->close();
                          });
    }

    void full() { send(fullHead() + std::string(fullBody)); }
    static std::string fullHead() {
        return responseHead(503, "text/plain; charset=utf-8", fullBody.size(),
                            {{"Retry-After", "10"}});
    }

    // A lane that cannot keep up with the listeners it has takes no more:
    // they would all fall behind, instead of the newcomer being told to
    // come back later.
    bool laneOverloaded() const { return lane_.behind >= overloaded; }
    // A full uplink takes nobody more through the tunnel; listeners on this
    // computer do not use it.
    bool uplinkAdmits() const { return !remote_ || server_.admitThroughTunnel.load(); }

    // Takes a place among the listeners, if one is free: a full station
    // refuses at once, before any audio is queued for the connection.
    bool takePlace() {
        if (laneOverloaded() || !uplinkAdmits()) return false;
        auto held = server_.streams.load();
        do {
            if (held >= server_.limits.maxListeners) return false;
        } while (!server_.streams.compare_exchange_weak(held, held + 1));
        placed_ = true;
        return true;
    }

    void stream(std::optional<std::string> tag) {
        if (!takePlace()) return full();
        streaming_ = true;
        id_ = ++server_.streamsStarted;
        joined_ = std::chrono::steady_clock::now();
        std::error_code ignored;
        socket_.set_option(asio::socket_base::send_buffer_size(server_.limits.streamSendBuffer),
                           ignored);
        seat_ = Fanout::Seat(server_.fanout, std::move(tag));
        // The head goes out in the same write as the burst that join() queued.
        HeaderFields fields{{"Cache-Control", "no-store"}};
        if (icy_) {
            fields["icy-metaint"] = std::to_string(Icy::metaint);
            fields["icy-name"] = stationName();
            fields["icy-br"] = std::to_string(StationConfig::bitrate / 1000);
            fields["icy-pub"] = "0";
        }
        head_ = responseHead(200, "audio/aac", std::nullopt, fields);
        unsent_.emplace_back(asio::buffer(head_));
        takeQueued();
        lastProgress_ = std::chrono::steady_clock::now();
        pump();
        watchPeer();
    }

    // The sending loop. Whatever the listener has queued goes out in one
    // gathered write straight from this thread's turn: a socket with room
    // takes it at once, so the usual publish costs one system call and no
    // trip through the event loop. Only a full socket waits to become
    // writable, and meanwhile chunks wait in the listener's bounded queue.
    void pump() {
        while (seat_) {
            if (unsent_.empty()) {
                held_.clear();
                blocks_.clear();
                takeQueued();
                if (unsent_.empty()) return awaitChunk();
            }
            std::error_code error;
            const auto written = socket_.write_some(unsent_, error);
            if (error == asio::error::would_block) return awaitWritable();
            if (error) return finishStream();
            lastProgress_ = std::chrono::steady_clock::now();
            sent_ += written;
            consume(written);
        }
    }

    // Appends every chunk the listener has queued to the write.
    void takeQueued() {
        const auto from = held_.size();
        seat_->takeAll(held_);
        for (auto i = from; i < held_.size(); ++i)
            queue(held_[i]);
    }

    // Appends a held chunk to the write: as it is, or for a player that asks
    // for titles with a block after every Icy::metaint bytes of audio, naming
    // what plays in the audio after it.
    void queue(const Chunk& chunk) {
        if (!icy_) return unsent_.push_back(chunk.buffer());
        for (std::size_t at = 0; at < chunk.size();) {
            const auto piece = std::min(untilTitle_, chunk.size() - at);
            unsent_.emplace_back(chunk.bytes().data() + at, piece);
            at += piece;
            untilTitle_ -= piece;
            if (untilTitle_ > 0) continue;
            untilTitle_ = Icy::metaint;
            const auto when = chunk.publishedAt(std::min(at, chunk.size() - 1));
            auto title = when ? server_.titles.at(*when).value_or("") : std::string();
            blocks_.push_back(title == shownTitle_ ? std::string(1, '\0') : Icy::block(title));
            shownTitle_ = std::move(title);
            unsent_.emplace_back(asio::buffer(blocks_.back()));
        }
    }

    // Drops `written` bytes from the front of the write.
    void consume(std::size_t written) {
        std::size_t done = 0;
        while (done < unsent_.size() && written >= unsent_[done].size())
            written -= unsent_[done++].size();
        unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(done));
        if (!unsent_.empty()) unsent_.front() += written;
    }

    void awaitWritable() {
        writing_ = true;
        socket_.async_wait(tcp::socket::wait_write,
                           [self = shared_from_this()](std::error_code error) {
                               self->writing_ = false;
                               if (error) return self->finishStream();
                               self->pump();
                           });
    }

    void awaitChunk() {
        seat_->next(
            asio::bind_executor(*lane_.io, [self = shared_from_this()](std::optional<Chunk> chunk) {
                // The stream may have been finished (the peer hung up, it
                // stalled) while the chunk was on its way.
                if (!chunk || !self->seat_) return self->finishStream();
                self->held_.clear();
                self->blocks_.clear();
                self->held_.push_back(std::move(*chunk));
                self->queue(self->held_.back());
                self->takeQueued();
                self->pump();
            }));
    }

    // Notices a listener that hangs up while nothing is being sent to it.
    // Whatever it sends after its head is read and ignored. A client that
    // only shut its sending side (end of file) still gets its stream: a real
    // hang-up shows as a failed write.
    void watchPeer() {
        socket_.async_wait(
            tcp::socket::wait_read, [self = shared_from_this()](std::error_code error) {
                if (!error) {
                    self->socket_.read_some(asio::buffer(self->lane_.scratch), error);
                    if (!error || error == asio::error::would_block) return self->watchPeer();
                    if (error == asio::error::eof) return;
                }
                self->finishStream();
            });
    }

    void finishStream() {
        seat_.leave();
        close();
    }

    void endHeadPhase() {
        if (!readingHead_) return;
        readingHead_ = false;
        --server_.readingHeads;
        deadline_.cancel();
        head_ = std::string();
    }

    Impl& server_;
    Lane& lane_;
    tcp::socket socket_;
    asio::steady_timer deadline_; // for the head, then for a complete response
    std::string head_;            // the request's head, then a stream's response head
    bool readingHead_ = true;
    bool streaming_ = false;
    bool placed_ = false;  // it holds one of the listeners' places
    bool writing_ = false; // waiting for a full socket to take more
    bool remote_ = false;  // it came through the tunnel
    std::uint64_t id_ = 0; // the stream's number, in the order they started
    std::chrono::steady_clock::time_point joined_;
    std::uint64_t sent_ = 0; // bytes of the stream the socket has taken
    std::chrono::steady_clock::time_point lastProgress_;
    std::optional<std::string> presented_; // the passcode the request carried
    Fanout::Seat seat_;
    // The stream's write in progress: the chunks it holds and what of them
    // is still to go. Kept between writes, so a steady stream allocates nothing.
    std::vector<Chunk> held_;
    std::vector<asio::const_buffer> unsent_;
    // A player that asks for titles: audio bytes before its next block, the
    // blocks in the write (a deque: they stay put as more come), the title
    // the last one named.
    bool icy_ = false;
    std::size_t untilTitle_ = Icy::metaint;
    std::deque<std::string> blocks_;
    std::string shownTitle_;
};

StreamServer::Impl::Impl(std::shared_ptr<Fanout> listeners, std::string pageHTML,
                         NowCallback nowBody, CoverCallback coverImage, AccessCallback accessRule,
                         Limits chosenLimits)
    : fanout(std::move(listeners)), page(std::move(pageHTML)), now(std::move(nowBody)),
      cover(std::move(coverImage)), access(std::move(accessRule)), limits(chosenLimits),
      pagePolicy(lantern::pagePolicy(this->page)) {
    const auto count = limits.lanes > 0
                           ? limits.lanes
                           : std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 8);
    for (std::size_t i = 0; i < count; ++i)
        lanes.push_back(std::make_unique<Lane>(i));
    for (auto& lane : lanes) {
        lane->thread = std::thread([this, lane = lane.get()] { run(*lane); });
        asio::post(*lane->io, [this, lane = lane.get()] {
            sweep(*lane);
            if (lane->index == 0) watchUplink();
        });
    }
}

StreamServer::Impl::~Impl() {
    for (auto& lane : lanes) {
        lane->work.reset();
        lane->io->stop();
    }
    for (auto& lane : lanes)
        lane->thread.join();
    // Every lane's thread has ended, so nothing else touches this state now.
    // The streams' listeners are ended first, and a publish still delivering
    // to them is waited for: their waiting completions are then all queued on
    // the lanes, which destroy them below with everything else they still hold
    // (and with them the connections and their sockets).
    for (auto& lane : lanes)
        for (auto* connection : lane->connections)
            connection->abandon();
    fanout->settle();
    acceptor.reset();
    lanes.clear();
}

void StreamServer::Impl::reportGuesses() {
    const auto at = std::chrono::steady_clock::now();
    if (at - guessesReportedAt < guessReportEvery) return;
    guessesReportedAt = at;
    if (const auto count = guesses.takeWrongCount())
        logLine("wrong passcodes in the last minute: " + std::to_string(count));
}

void StreamServer::Impl::sweep(Lane& lane) {
    if (lane.index == 0) reportGuesses();
    const auto stalled = std::chrono::steady_clock::now() - limits.stallTimeout;
    std::vector<std::shared_ptr<Connection>> closing;
    for (auto* connection : lane.connections)
        if (connection->stalledSince(stalled))
            if (auto held = connection->weak_from_this().lock()) closing.push_back(std::move(held));
    for (const auto& connection : closing)
        connection->close(); // its pending wait fails and ends the stream
    lane.sweeper->expires_after(std::max<std::chrono::steady_clock::duration>(
        limits.stallTimeout / 6, std::chrono::milliseconds(20)));
    lane.sweeper->async_wait([this, &lane](std::error_code error) {
        if (!error) sweep(lane);
    });
}

void StreamServer::Impl::beat(Lane& lane, std::chrono::steady_clock::time_point due) {
    const auto at = std::chrono::steady_clock::now();
    if (lane.connections.empty()) {
        lane.beating = false; // until the next connection
        lane.behind = {};
        return;
    }
    lane.behind = std::max(at - due, lane.behind * 9 / 10);
    // The next beat is due a heartbeat from now, not from `due`: a lane that
    // fell behind is not made to run beats back to back.
    lane.pulse->expires_at(at + heartbeat);
    lane.pulse->async_wait([this, &lane, next = at + heartbeat](std::error_code error) {
        if (!error) beat(lane, next);
    });
}

void StreamServer::Impl::watchUplink() {
    struct Gathering {
        std::mutex mutex;
        std::size_t pending = 0;
        std::vector<UplinkWatch::Listener> listeners;
        std::map<std::uint64_t, std::weak_ptr<Connection>> connections;
    };
    auto gathering = std::make_shared<Gathering>();
    // The first lane acts on the whole picture.
    auto judge = [this, gathering] {
        const auto verdict = uplink.update(std::chrono::steady_clock::now(), fanout->published(),
                                           gathering->listeners);
        admitThroughTunnel = verdict.admit;
        room = uplink.room().value_or(0);
        for (const auto id : verdict.letGo)
            if (auto connection = gathering->connections[id].lock()) connection->letGo();
    };
    // Without a connection no lane has anything to tell, and none is woken.
    if (connections.load() == 0) {
        judge();
    } else {
        gathering->pending = lanes.size();
        for (auto& lane : lanes)
            asio::post(*lane->io, [this, gathering, judge, lane = lane.get()] {
                {
                    std::lock_guard lock(gathering->mutex);
                    for (auto* connection : lane->connections)
                        if (const auto sample = connection->uplinkSample()) {
                            gathering->listeners.push_back(*sample);
                            gathering->connections[sample->id] = connection->weak_from_this();
                        }
                    if (--gathering->pending > 0) return;
                }
                asio::post(acceptorIO(), judge); // the last lane to report hands it over
            });
    }
    auto& first = *lanes.front();
    first.watcher->expires_after(uplinkEvery);
    first.watcher->async_wait([this](std::error_code error) {
        if (!error) watchUplink();
    });
}

void StreamServer::Impl::run(Lane& lane) {
    pthread_setname_np(pthread_self(), ("lantern.send." + std::to_string(lane.index)).c_str());
    // Sending to listeners yields to capture and encoding: under any load the
    // audio stays real time, and the listeners share what is left.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), senderNiceness);
    for (;;) {
        try {
            lane.io->run();
            return;
        } catch (const std::exception& error) {
            // A callback threw: that one request is dropped (its connection
            // closes as its handler unwinds); the server keeps serving.
            logLine(std::string("a request was dropped: ") + error.what());
        }
    }
}

StreamServer::Lane& StreamServer::Impl::emptiestLane() {
    Lane* emptiest = lanes.front().get();
    for (auto& lane : lanes)
        if (lane->load.load(std::memory_order_relaxed) <
            emptiest->load.load(std::memory_order_relaxed))
            emptiest = lane.get();
    return *emptiest;
}

// On the first lane's thread. A connection is counted here, before its lane
// starts it, so the caps hold however far behind a busy lane is.
void StreamServer::Impl::admit(tcp::socket socket, Lane& lane) {
    closeOnExec(socket.native_handle());
    if (readingHeads.load() >= limits.maxReadingHeads ||
        connections.load() >= limits.maxConnections) {
        std::error_code ignored;
        socket.close(ignored);
        return;
    }
    ++connections;
    ++readingHeads;
    ++lane.load;
    asio::post(*lane.io, [this, &lane, socket = std::move(socket)]() mutable {
        std::make_shared<Connection>(*this, lane, std::move(socket))->start();
    });
}

// Waits for connections, then takes every one waiting in the kernel's queue
// in the same turn, each onto the emptiest lane: a crowd joining at once is
// admitted or refused at once instead of overflowing the queue.
void StreamServer::Impl::accept(const std::shared_ptr<tcp::acceptor>& listening) {
    listening->async_wait(tcp::acceptor::wait_read, [this, listening](std::error_code error) {
        if (!listening->is_open()) return;
        for (int taken = 0; !error && taken < 256; ++taken) {
            auto& lane = emptiestLane();
            tcp::socket socket(*lane.io);
            listening->accept(socket, error);
            if (!error) admit(std::move(socket), lane);
        }
        if (!error || error == asio::error::would_block) return accept(listening);
        // Out of descriptors, or an aborted handshake: try again shortly
        // rather than spinning on the same error.
        auto pause =
            std::make_shared<asio::steady_timer>(acceptorIO(), std::chrono::milliseconds(100));
        pause->async_wait([this, listening, pause](std::error_code) { accept(listening); });
    });
}

StreamServer::StreamServer(std::shared_ptr<Fanout> fanout, std::string page, NowCallback now,
                           CoverCallback cover, AccessCallback access, Limits limits)
    : impl_(std::make_unique<Impl>(std::move(fanout), std::move(page), std::move(now),
                                   std::move(cover), std::move(access), limits)) {}

StreamServer::StreamServer(std::shared_ptr<Fanout> fanout, std::string page, NowCallback now,
                           CoverCallback cover, AccessCallback access)
    : StreamServer(std::move(fanout), std::move(page), std::move(now), std::move(cover),
                   std::move(access), Limits::forThisProcess()) {}

StreamServer::~StreamServer() = default;

std::size_t StreamServer::lanes() const {
    return impl_->lanes.size();
}

std::optional<std::size_t> StreamServer::room() const {
    if (const auto room = impl_->room.load()) return room;
    return std::nullopt;
}

asio::any_io_executor StreamServer::executor() const {
    return impl_->acceptorIO().get_executor();
}

void StreamServer::startListening(std::uint16_t wanted,
                                  std::function<void(std::error_code, std::uint16_t)> done) {
    const auto stops = impl_->stops.load();
    asio::post(impl_->acceptorIO(), [impl = impl_.get(), stops, wanted, done = std::move(done)] {
        if (impl->stops != stops) return done(asio::error::operation_aborted, 0);
        auto listening = std::make_shared<tcp::acceptor>(impl->acceptorIO());
        const tcp::endpoint local(asio::ip::address_v4::loopback(), wanted);
        std::error_code error;
        listening->open(local.protocol(), error);
        if (!error) closeOnExec(listening->native_handle());
        if (!error) listening->set_option(tcp::acceptor::reuse_address(true), error);
        if (!error) listening->bind(local, error);
        if (!error) listening->listen(asio::socket_base::max_listen_connections, error);
        if (!error) listening->non_blocking(true, error);
        std::uint16_t port = 0;
        if (!error) port = listening->local_endpoint(error).port();
        if (error) return done(error, 0);

        if (impl->acceptor) impl->acceptor->close(error);
        impl->acceptor = listening;
        impl->accept(listening);
        // Ready is reported from a later turn; a stop() called meanwhile wins
        // and start() fails with a cancellation instead.
        asio::post(impl->acceptorIO(), [impl, listening, port, stops, done] {
            if (impl->acceptor == listening && listening->is_open() && impl->stops == stops)
                done({}, port);
            else
                done(asio::error::operation_aborted, 0);
        });
    });
}

void StreamServer::recheckStreams() {
    for (auto& lane : impl_->lanes)
        asio::post(*lane->io, [lane = lane.get()] {
            std::vector<std::shared_ptr<Connection>> held;
            for (auto* connection : lane->connections)
                if (auto owner = connection->weak_from_this().lock())
                    held.push_back(std::move(owner));
            for (const auto& connection : held)
                connection->recheck();
        });
}

void StreamServer::setTitles(Titles titles) {
    impl_->titles = std::move(titles);
}

void StreamServer::allowMedia(const std::string& origin) {
    impl_->pagePolicy = pagePolicy(impl_->page, origin);
}

void StreamServer::trustTunnel(std::function<bool(int socket)> fromTunnel) {
    impl_->fromTunnel = std::move(fromTunnel);
}

void StreamServer::stop() {
    ++impl_->stops;
    asio::post(impl_->acceptorIO(), [impl = impl_.get()] {
        if (!impl->acceptor) return;
        std::error_code ignored;
        impl->acceptor->close(ignored);
        impl->acceptor.reset();
    });
}

} // namespace lantern
