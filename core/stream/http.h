#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace lantern {

// A form of the stream: the full one, or the light one as AAC or as Opus in Ogg.
enum class Form { full, light, opus };

// A listener-facing route. `lag` (how far behind live the page plays) and
// `ahead` (how much it holds beyond that) are meaningful for `now` only.
struct Route {
    // streamCheck: HEAD /stream, whether a listener would be let in now.
    // playlist: /listen.m3u, the stream's address for a media player.
    // history: the broadcast's tracks. react, name: a listener's reaction or
    // name (POST, with a JSON body). badRequest: a number that is not one.
    enum class Kind {
        now,
        page,
        stream,
        streamCheck,
        cover,
        playlist,
        history,
        react,
        name,
        badRequest,
        notFound
    };
    // The most seconds a lag or a place behind live is taken to mean.
    static constexpr double farthest = 86400;

    Kind kind = Kind::notFound;
    double lag = 0;
    double ahead = 0;
    double behind = 0;                    // a stream's seconds behind live
    Form form = Form::full;               // a stream's or a playlist's
    std::optional<std::uint64_t> track{}; // a cover's track

    static constexpr Route now(double lag, double ahead = 0) {
        return {.kind = Kind::now, .lag = lag, .ahead = ahead};
    }
    static constexpr Route page() { return {.kind = Kind::page}; }
    static constexpr Route stream() { return {.kind = Kind::stream}; }
    static constexpr Route streamCheck() { return {.kind = Kind::streamCheck}; }
    static constexpr Route cover() { return {.kind = Kind::cover}; }
    static constexpr Route playlist() { return {.kind = Kind::playlist}; }
    static constexpr Route notFound() { return {.kind = Kind::notFound}; }
    static constexpr Route badRequest() { return {.kind = Kind::badRequest}; }

    friend constexpr bool operator==(const Route& a, const Route& b) = default;
};

using Query = std::map<std::string, std::string>;
using HeaderFields = std::map<std::string, std::string>;

// Maps the first line of a request head (without its line ending) to a route.
Route route(std::string_view requestLine);

// A plain decimal number ("90", "-5", "12.25"); nothing for anything else.
std::optional<double> plainDecimal(std::string_view text);

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

// A request for a bounded range of bytes ("Range: bytes=A-B", one range, A
// at most B, at most 1 MiB): its first and last byte. Nothing for any other
// range (an open one, several), which is answered as if none were asked.
std::optional<std::pair<std::uint64_t, std::uint64_t>> boundedRange(std::string_view head);

// A header field's value made safe to send: control characters (a line
// break above all) become spaces.
std::string headerValue(std::string_view text);

// The origin a visitor reached the server at, from the request's Host (and
// the tunnel's X-Forwarded-Proto): "https://host" or "http://host:port".
// Nothing when the Host is not a plain host name or address with a port.
std::optional<std::string> visitedOrigin(std::string_view head);

// What players that ask for titles get (Icy-MetaData: 1): after every
// `metaint` bytes of audio a block, its length in 16-byte units and then
// "StreamTitle='...';" padded with zeros; a block of length 0 when nothing
// changed.
namespace Icy {
inline constexpr std::size_t metaint = 16000;
// The block naming `title`. A quote in it becomes a typographic one (it could
// end the field early), control characters spaces; what does not fit in 255
// units is cut at a character's start.
std::string block(std::string_view title);
} // namespace Icy

// The Content-Security-Policy of a page: only its own inline scripts and
// styles (by their SHA-256), requests to its own origin, media from it, and
// images from it or the web (a player's artwork URL); nothing else.
// `mediaOrigin`, when given, may serve media too (the relay's server).
std::string pagePolicy(std::string_view page, std::string_view mediaOrigin = {});

// "scheme://host[:port]" of an http or https URL; nothing for anything else.
std::optional<std::string> originOf(std::string_view url);

} // namespace lantern
