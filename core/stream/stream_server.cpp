#include "core/stream/stream_server.h"

#include "core/stream/http.h"
#include "core/stream/server_lanes.h"
#include "core/system/log.h"

#include <algorithm>
#include <asio/post.hpp>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace lantern {

using asio::ip::tcp;

namespace {

// The sending thread's niceness: below the capture's (0) in the scheduler's eyes.
constexpr int senderNiceness = 5;

// How often the uplink's listeners are looked at.
constexpr auto uplinkEvery = std::chrono::seconds(1);

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
    for (const auto& light : {lightAAC, opus})
        if (light) light->settle();
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
    lane.pulse->expires_at(at + Lane::heartbeat);
    lane.pulse->async_wait([this, &lane, next = at + Lane::heartbeat](std::error_code error) {
        if (!error) beat(lane, next);
    });
}

void StreamServer::Impl::watchUplink() {
    struct Gathering {
        std::mutex mutex;
        std::size_t pending = 0;
        std::vector<UplinkWatch::Listener> listeners;
        std::map<std::uint64_t, std::weak_ptr<Connection>> connections;
        std::map<std::uint64_t, std::string> tags;
    };
    auto gathering = std::make_shared<Gathering>();
    // The first lane acts on the whole picture.
    auto judge = [this, gathering] {
        std::unordered_map<std::string, std::vector<UplinkWatch::Heard>> reports;
        {
            std::lock_guard lock(heardMutex);
            reports.swap(heard);
        }
        for (auto& listener : gathering->listeners)
            if (const auto tag = gathering->tags.find(listener.id); tag != gathering->tags.end())
                if (const auto said = reports.find(tag->second); said != reports.end())
                    listener.heard = said->second;
        const auto verdict =
            uplink.update(std::chrono::steady_clock::now(),
                          {.bytes = fanout->published(), .audio = fanout->publishedAudio()},
                          gathering->listeners);
        admitThroughTunnel = verdict.admit;
        joinLight = verdict.light;
        room = uplink.room().value_or(0);
        for (const auto id : verdict.lighten)
            if (auto connection = gathering->connections[id].lock()) connection->lighten();
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
                            if (connection->tag()) gathering->tags[sample->id] = *connection->tag();
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

std::shared_ptr<Fanout> StreamServer::Impl::fanoutFor(Form form) const {
    const auto& chosen = form == Form::full ? fanout : form == Form::light ? lightAAC : opus;
    return chosen && chosen->offered() ? chosen : nullptr;
}

void StreamServer::Impl::hear(const std::string& tag, double lag) {
    // Only a tag with a stream open counts, a few reports each: what a
    // visitor sends cannot grow this.
    if (!fanout->listensAs(tag)) return;
    std::lock_guard lock(heardMutex);
    auto& reports = heard[tag];
    if (reports.size() < 8) reports.push_back({std::chrono::steady_clock::now(), lag});
}

bool StreamServer::Impl::wasLightened(const std::string& tag) {
    std::lock_guard lock(heardMutex);
    return lightened.contains(tag);
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

void StreamServer::setTracks(Tracks tracks) {
    impl_->tracks = std::move(tracks);
}

void StreamServer::setAudience(std::shared_ptr<Audience> audience) {
    impl_->audience = std::move(audience);
}

void StreamServer::setLight(std::shared_ptr<Fanout> aac, std::shared_ptr<Fanout> opus,
                            double share) {
    impl_->lightAAC = std::move(aac);
    impl_->opus = std::move(opus);
    impl_->uplink = UplinkWatch(impl_->lightAAC ? share : 0);
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
