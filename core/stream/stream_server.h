#pragma once

#include "nowplaying/cover.h"
#include "stream/fanout.h"

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
// Everything it does runs on its own thread ("lantern.server"), which is also
// where the three callbacks are called.
class StreamServer {
public:
    using NowCallback = std::function<std::string(double lag)>;
    using CoverCallback = std::function<std::optional<Cover>()>;
    using PasscodeCallback = std::function<std::optional<std::string>()>;
    using StartSignature = void(std::error_code, std::uint16_t);

    struct Limits {
        std::size_t maxHeadBytes = 16384;
        // A connection that has not sent a whole head by then is closed unanswered.
        std::chrono::milliseconds headTimeout{15000};
        // Connections still reading their head; further ones are closed at accept.
        std::size_t maxReadingHeads = 4096;
    };

    StreamServer(std::shared_ptr<Fanout> fanout, std::string page, NowCallback now,
                 CoverCallback cover, PasscodeCallback passcode, Limits limits);
    StreamServer(std::shared_ptr<Fanout> fanout, std::string page, NowCallback now,
                 CoverCallback cover, PasscodeCallback passcode)
        : StreamServer(std::move(fanout), std::move(page), std::move(now), std::move(cover),
                       std::move(passcode), Limits{}) {}
    // Ends the streams this server still sends and closes every connection.
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    // Opens a listening socket on 127.0.0.1 at a port the system chooses and
    // completes with that port once it accepts connections; with the socket's
    // error when it cannot be opened; or with asio::error::operation_aborted
    // when stop() comes first. The completion runs on the server's thread unless
    // the handler has an executor of its own.
    template <typename CompletionToken> auto start(CompletionToken&& token) {
        return asio::async_initiate<CompletionToken, StartSignature>(
            [this](auto handler) {
                auto shared = std::make_shared<decltype(handler)>(std::move(handler));
                startListening([shared, server = executor()](std::error_code error,
                                                             std::uint16_t port) {
                    auto target = asio::get_associated_executor(*shared, server);
                    asio::post(target, [shared, error, port] { std::move (*shared)(error, port); });
                });
            },
            token);
    }

    // Closes the listening socket, if any. Accepted connections are not touched:
    // streams end when the fan-out closes them.
    void stop();

    asio::any_io_executor executor() const;

private:
    class Impl;
    class Connection;

    void startListening(std::function<void(std::error_code, std::uint16_t)> done);

    std::unique_ptr<Impl> impl_;
};

} // namespace lantern
