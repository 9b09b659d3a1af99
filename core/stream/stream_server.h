#pragma once

#include "core/nowplaying/cover.h"
#include "core/stream/access.h"
#include "core/stream/audience.h"
#include "core/stream/fanout.h"

#include <asio/any_io_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace lantern {

// The small HTTP/1.1 server that listeners reach: the listening page, the
// now-playing JSON, the cover and the live stream, on 127.0.0.1 only.
//
// It runs on its own sending threads ("lantern.send.N", one per core unless
// Limits::lanes says otherwise); each connection stays on one of them. The
// three callbacks are called on those threads, possibly on several at once.
class StreamServer {
public:
    using NowCallback = std::function<std::string(double lag)>;
    using CoverCallback = std::function<std::optional<Cover>()>;
    // Asked on every request but the page's; held back, those answer 503.
    using AccessCallback = std::function<Access()>;
    using StartSignature = void(std::error_code, std::uint16_t);

    // What any number of listeners, hostile ones included, may take.
    struct Limits {
        std::size_t maxHeadBytes = 16384;
        // A connection that has not sent a whole head by then is closed unanswered.
        std::chrono::milliseconds headTimeout{15000};
        // Connections still reading their head; further ones are closed at accept.
        std::size_t maxReadingHeads = 4096;
        // Every connection held; further ones are closed at accept, so listeners
        // never take the descriptors the rest of the process needs.
        std::size_t maxConnections = 1000;
        // Stream listeners; a stream request beyond them is answered 503.
        std::size_t maxListeners = 900;
        // A complete response (page, now, cover) not sent by then is cut off.
        std::chrono::milliseconds sendTimeout{30000};
        // A stream whose socket has accepted no byte for this long is closed.
        std::chrono::milliseconds stallTimeout{60000};
        // Each stream socket's kernel send buffer, so that a listener who stops
        // reading holds seconds of audio there, not minutes.
        int streamSendBuffer = 64 * 1024;
        // Sending threads; 0: one per core.
        std::size_t lanes = 0;

        // Room for the process's own descriptors (sound server, tunnel, bus,
        // children, files) that no listener can take.
        static constexpr std::size_t reserve = 128;
        // Connections that are not streams (pages, now-playing requests) always find room.
        static constexpr std::size_t answering = 64;
        // Limits for a process that may hold `descriptors` open files.
        static Limits forDescriptors(std::size_t descriptors);
        // Limits for this process's current (soft) descriptor limit.
        static Limits forThisProcess();
    };

    StreamServer(std::shared_ptr<Fanout> fanout, std::string page, NowCallback now,
                 CoverCallback cover, AccessCallback access, Limits limits);
    // With limits for this process's current descriptor limit.
    StreamServer(std::shared_ptr<Fanout> fanout, std::string page, NowCallback now,
                 CoverCallback cover, AccessCallback access);
    // Ends the streams this server still sends and closes every connection.
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    // Opens a listening socket on 127.0.0.1 at a port the system chooses and
    // completes with that port once it accepts connections; with the socket's
    // error when it cannot be opened; or with asio::error::operation_aborted
    // when stop() comes first. The completion runs on the first sending thread unless
    // the handler has an executor of its own.
    template <typename CompletionToken> auto start(CompletionToken&& token) {
        return start(0, std::forward<CompletionToken>(token));
    }
    // The same on `port` (0: one the system chooses).
    template <typename CompletionToken> auto start(std::uint16_t port, CompletionToken&& token) {
        return asio::async_initiate<CompletionToken, StartSignature>(
            [this, port](auto handler) {
                auto shared = std::make_shared<decltype(handler)>(std::move(handler));
                startListening(port, [shared, server = executor()](std::error_code error,
                                                                   std::uint16_t bound) {
                    auto target = asio::get_associated_executor(*shared, server);
                    asio::post(target,
                               [shared, error, bound] { std::move (*shared)(error, bound); });
                });
            },
            token);
    }

    // What players that ask for titles (Icy-MetaData: 1) are told, and what
    // /listen.m3u names: the station's name, and the title of what played at
    // a moment ("Artist - Title"). Set before start(); called on the sending
    // threads.
    struct Titles {
        std::function<std::string()> station;
        std::function<std::optional<std::string>(Chunk::Clock::time_point)> at;
    };
    void setTitles(Titles titles);
    // The broadcast's tracks for /history (JSON), and the cover of one of
    // them for /cover?track=ID; both answer "Not here" without. Set before
    // start(); called on the sending threads.
    struct Tracks {
        std::function<std::string()> history;
        std::function<std::optional<Cover>(std::uint64_t id)> cover;
    };
    void setTracks(Tracks tracks);
    // Who listens, for POST /react and /name (answered 404 without, or while
    // the audience is not shown) and the tags that streams and polls carry.
    // Before start().
    void setAudience(std::shared_ptr<Audience> audience);
    // The light stream's fan-outs, as AAC and as Opus in Ogg (either may be
    // missing, or not offered while its encoder does not run): listeners
    // ask for it (light=1, light=opus), and listeners of the full stream
    // are moved to the light AAC when the uplink, or their own network,
    // cannot carry them. `share`: its rate as a share of the full
    // stream's. Before start().
    void setLight(std::shared_ptr<Fanout> aac, std::shared_ptr<Fanout> opus, double share);
    // Lets the page play media from `origin` too (the relay's server). Before start().
    void allowMedia(const std::string& origin);
    // Tells whether a connection (its socket) comes from the tunnel tool:
    // only there is the tunnel's word on who the visitor is (Cf-Connecting-IP)
    // believed; everyone else counts by their own address and as a listener
    // on this computer. Without it, nobody comes through a tunnel. Before
    // start(); called on the sending threads.
    void trustTunnel(std::function<bool(int socket)> fromTunnel);

    // Closes the listening socket, if any. Accepted connections are not touched:
    // streams end when the fan-out closes them.
    void stop();

    // Asks the access callback again for every stream under way and ends
    // those it no longer lets in (the passcode changed, or listeners are held
    // back). Any thread; returns at once.
    void recheckStreams();

    asio::any_io_executor executor() const;
    // The sending threads it runs.
    std::size_t lanes() const;
    // How many listeners through the tunnel the uplink was seen to carry, in
    // full streams (see UplinkWatch); nothing until it was full once. Any thread.
    std::optional<std::size_t> room() const;

private:
    class Impl;
    class Connection;
    struct Lane;

    void startListening(std::uint16_t port,
                        std::function<void(std::error_code, std::uint16_t)> done);

    std::unique_ptr<Impl> impl_;
};

} // namespace lantern
