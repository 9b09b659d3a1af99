#pragma once

#include <asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// The tunnel tool's local metrics server, which tells the quick tunnel's host
// name as typed data (GET /quicktunnel → {"hostname": "NAME.trycloudflare.com"}),
// beside a log that visitors' requests also write to.
namespace lantern::TunnelMetrics {

// A port on 127.0.0.1 that nothing listens on right now, for the tool to take.
std::optional<std::uint16_t> freePort();

// The quick tunnel's URL in a /quicktunnel answer's body; nothing when the body
// is not that JSON or the name is not a quick tunnel's.
std::optional<std::string> urlOf(std::string_view body);

// Whether process `pid` holds the socket listening on 127.0.0.1:`port`, so
// that an answer there comes from the tool and not from whoever took the port.
bool listenerBelongsTo(pid_t pid, std::uint16_t port);

struct Answer {
    enum class Kind {
        url,        // the tool named its quick tunnel
        waiting,    // nobody answers yet, or the tool has no name yet: ask again
        notOffered, // something answered, but not with a quick tunnel's name
    };
    Kind kind = Kind::waiting;
    std::string url;
};

// Asks the metrics server on 127.0.0.1:`port`, which must belong to `pid`;
// `done` is called once, on `io`'s thread, within `limit`.
void ask(asio::io_context& io, std::uint16_t port, pid_t pid, std::chrono::milliseconds limit,
         std::function<void(Answer)> done);

} // namespace lantern::TunnelMetrics
