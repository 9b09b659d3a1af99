#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace lantern {

// A listener-facing route. `lag` is meaningful for `now` only and always lies
// within 0 to 60 seconds.
struct Route {
    // streamCheck: HEAD /stream, whether a listener would be let in now.
    enum class Kind { now, page, stream, streamCheck, cover, notFound };

    Kind kind = Kind::notFound;
    double lag = 0;

    static constexpr Route now(double lag) { return {Kind::now, lag}; }
    static constexpr Route page() { return {Kind::page, 0}; }
    static constexpr Route stream() { return {Kind::stream, 0}; }
    static constexpr Route streamCheck() { return {Kind::streamCheck, 0}; }
    static constexpr Route cover() { return {Kind::cover, 0}; }
    static constexpr Route notFound() { return {Kind::notFound, 0}; }

    friend constexpr bool operator==(const Route& a, const Route& b) {
        return a.kind == b.kind && (a.kind != Kind::now || a.lag == b.lag);
    }
};

using Query = std::map<std::string, std::string>;
using HeaderFields = std::map<std::string, std::string>;

// Maps the first line of a request head (without its line ending) to a route.
Route route(std::string_view requestLine);

// Decodes the query part of a request target; later keys replace earlier ones.
Query query(std::string_view target);

// The bytes of a complete response head, ending with the blank line. Extra
// fields come sorted by name in byte order.
std::string responseHead(int status, std::optional<std::string_view> type,
                         std::optional<std::size_t> length, const HeaderFields& extra = {});

// Compares passcodes byte for byte in time that depends only on their lengths.
bool passcodeMatches(std::string_view station, std::optional<std::string_view> given);

// The request target of a request line: its second space-separated piece, or
// empty text when there is none.
std::string_view requestTarget(std::string_view requestLine);

// The value of the first header field called `name` (any case) in a request
// head (its lines after the request line, without the blank line that ends
// it), trimmed of spaces and tabs; nothing when there is none.
std::optional<std::string_view> headerField(std::string_view head, std::string_view name);

// Who a request comes from, for counting what one visitor does: the address
// the tunnel reports (Cf-Connecting-IP) when it is one, else the connecting
// peer's. An IPv6 address counts by its /64, which one subscriber holds whole.
std::string visitorKey(std::optional<std::string_view> connectingIP, std::string_view peer);

// The Content-Security-Policy of a page: only its own inline scripts and
// styles (by their SHA-256), requests to its own origin, media from it, and
// images from it or the web (a player's artwork URL); nothing else.
std::string pagePolicy(std::string_view page);

} // namespace lantern
