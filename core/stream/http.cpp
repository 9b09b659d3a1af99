#include "core/stream/http.h"

#include "core/stream/text.h"

#include <asio/ip/address.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/pct_string_view.hpp>
#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace lantern {

namespace {

// Cuts `text` at every `separator`, dropping empty pieces. With `limit` 1 the
// cutting stops after the first non-empty piece; the rest (if not empty, with
// any further separators inside it, leading ones included) is the second piece.
std::vector<std::string_view> split(std::string_view text, char separator,
                                    std::optional<std::size_t> limit = std::nullopt) {
    std::vector<std::string_view> pieces;
    std::size_t at = 0;
    while (at < text.size()) {
        if (limit && pieces.size() == *limit) {
            pieces.push_back(text.substr(at));
            break;
        }
        const auto end = std::min(text.find(separator, at), text.size());
        if (end > at) pieces.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return pieces;
}

// "+" becomes a space, then %XX escapes are undone. When the escapes are
// malformed or decode to bytes that are not UTF-8, only the "+" replacement stays.
std::string decodeFormComponent(std::string_view piece) {
    std::string plusDecoded(piece);
    for (auto& c : plusDecoded)
        if (c == '+') c = ' ';
    const auto escaped = boost::urls::make_pct_string_view(plusDecoded);
    if (!escaped) return plusDecoded;
    auto decoded = escaped->decode();
    if (!isValidUtf8(decoded)) return plusDecoded;
    return decoded;
}

// strtod in the C locale, whatever the process locale is.
std::optional<double> parseCDouble(const std::string& text) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (text.empty() ||
        std::string_view(" \t\n\v\f\r").find(text.front()) != std::string_view::npos)
        return std::nullopt;
    char* end = nullptr;
    const double value = strtod_l(text.c_str(), &end, cLocale);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

// Seconds named `name` in the query, 0 when missing or no number.
double secondsOf(std::string_view target, const std::string& name) {
    const auto pairs = query(target);
    const auto found = pairs.find(name);
    if (found == pairs.end()) return 0;
    const auto value = parseCDouble(found->second);
    if (!value || !std::isfinite(*value)) return 0;
    return std::clamp(*value, 0.0, Route::farthest);
}

std::string_view reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 416:
        return "Range Not Satisfiable";
    case 429:
        return "Too Many Requests";
    case 503:
        return "Service Unavailable";
    default:
        return "Unknown";
    }
}

} // namespace

std::string_view requestTarget(std::string_view requestLine) {
    const auto pieces = split(requestLine, ' ');
    return pieces.size() >= 2 ? pieces[1] : std::string_view{};
}

Route route(std::string_view requestLine) {
    const auto pieces = split(requestLine, ' ');
    if (pieces.size() < 2 || (pieces[0] != "GET" && pieces[0] != "HEAD" && pieces[0] != "POST"))
        return Route::notFound();
    const auto target = pieces[1];
    const auto targetPieces = split(target, '?', 1);
    const auto path = targetPieces.empty() ? target : targetPieces[0];
    // State changes only by POST, and only these two.
    if (pieces[0] == "POST")
        return {.kind = path == "/react"  ? Route::Kind::react
                        : path == "/name" ? Route::Kind::name
                                          : Route::Kind::notFound};
    if (pieces[0] == "HEAD") return path == "/stream" ? Route::streamCheck() : Route::notFound();
    if (path == "/" || path == "/index.html") return Route::page();
    if (path == "/listen.m3u") return Route::playlist();
    if (path == "/light.m3u") return {.kind = Route::Kind::playlist, .form = Form::light};
    if (path == "/now") return Route::now(secondsOf(target, "lag"), secondsOf(target, "ahead"));
    if (path == "/history") return {.kind = Route::Kind::history};
    if (path != "/stream" && path != "/cover") return Route::notFound();
    // How far behind live, or which track's cover: plain decimals only.
    const auto pairs = query(target);
    if (path == "/cover") {
        const auto track = pairs.find("track");
        if (track == pairs.end()) return Route::cover();
        const auto number = plainDecimal(track->second);
        if (!number || *number < 0 || std::floor(*number) != *number) return Route::badRequest();
        return {.kind = Route::Kind::cover, .track = static_cast<std::uint64_t>(*number)};
    }
    Route stream = Route::stream();
    if (const auto light = pairs.find("light"); light != pairs.end()) {
        if (light->second != "1" && light->second != "opus") return Route::badRequest();
        stream.form = light->second == "1" ? Form::light : Form::opus;
    }
    const auto behind = pairs.find("behind");
    if (behind == pairs.end()) return stream;
    const auto seconds = plainDecimal(behind->second);
    if (!seconds) return Route::badRequest();
    stream.behind = std::clamp(*seconds, 0.0, Route::farthest);
    return stream;
}

std::optional<double> plainDecimal(std::string_view text) {
    // An optional minus, at most nine digits, and at most six after a point:
    // no signs elsewhere, exponents, hex, spaces or values too large to mean
    // anything here.
    std::size_t at = text.starts_with('-') ? 1 : 0;
    const auto digits = [&] {
        const auto from = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        return at - from;
    };
    const auto whole = digits();
    if (whole == 0 || whole > 9) return std::nullopt;
    if (at < text.size()) {
        if (text[at++] != '.') return std::nullopt;
        const auto fraction = digits();
        if (fraction == 0 || fraction > 6 || at != text.size()) return std::nullopt;
    }
    return parseCDouble(std::string(text));
}

Query query(std::string_view target) {
    Query result;
    const auto parts = split(target, '?', 1);
    if (parts.size() < 2) return result;
    for (const auto pair : split(parts[1], '&')) {
        const auto keyValue = split(pair, '=', 1);
        if (keyValue.empty()) continue;
        auto key = decodeFormComponent(keyValue[0]);
        auto value = keyValue.size() > 1 ? decodeFormComponent(keyValue[1]) : std::string{};
        result.insert_or_assign(std::move(key), std::move(value));
    }
    return result;
}

std::string responseHead(int status, std::optional<std::string_view> type,
                         std::optional<std::size_t> length, const HeaderFields& extra) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + ' ';
    head += reasonPhrase(status);
    head += "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close"
            "\r\nReferrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff";
    if (type) {
        head += "\r\nContent-Type: ";
        head += *type;
    }
    if (length) head += "\r\nContent-Length: " + std::to_string(*length);
    // std::map orders std::string keys as unsigned bytes, which is code order.
    for (const auto& [name, value] : extra)
        head.append("\r\n").append(name).append(": ").append(value);
    head += "\r\n\r\n";
    return head;
}

std::optional<std::string_view> headerField(std::string_view head, std::string_view name) {
    const auto lowered = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    const auto sameName = [&](std::string_view a) {
        return a.size() == name.size() &&
               std::equal(a.begin(), a.end(), name.begin(),
                          [&](char x, char y) { return lowered(x) == lowered(y); });
    };
    auto lineEnd = head.find("\r\n");
    while (lineEnd != std::string_view::npos) {
        head.remove_prefix(lineEnd + 2);
        lineEnd = head.find("\r\n");
        const auto line = head.substr(0, lineEnd);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || !sameName(line.substr(0, colon))) continue;
        auto value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        return value;
    }
    return std::nullopt;
}

std::string visitorKey(std::optional<std::string_view> connectingIP, std::string_view peer) {
    for (const auto candidate : {connectingIP.value_or(std::string_view{}), peer}) {
        std::error_code error;
        const auto address = asio::ip::make_address(std::string(candidate), error);
        if (error) continue;
        if (!address.is_v6() || address.to_v6().is_v4_mapped())
            return address.is_v6()
                       ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string()
                       : address.to_string();
        auto bytes = address.to_v6().to_bytes();
        std::fill(bytes.begin() + 8, bytes.end(), 0);
        return asio::ip::address_v6(bytes).to_string() + "/64";
    }
    return std::string(peer);
}

std::string pagePolicy(std::string_view page, std::string_view mediaOrigin) {
    const auto hashes = [&](std::string_view open, std::string_view close) {
        std::string sources;
        for (auto at = page.find(open); at != std::string_view::npos; at = page.find(open, at)) {
            at += open.size();
            const auto end = page.find(close, at);
            if (end == std::string_view::npos) break;
            sources += " 'sha256-" + sha256Base64(page.substr(at, end - at)) + "'";
            at = end;
        }
        return sources.empty() ? std::string(" 'none'") : sources;
    };
    return "default-src 'none'; script-src" + hashes("<script>", "</script>") + "; style-src" +
           hashes("<style>", "</style>") + "; img-src 'self' https: http: data:; media-src 'self'" +
           (mediaOrigin.empty() ? std::string() : " " + std::string(mediaOrigin)) +
           "; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

std::optional<std::string> originOf(std::string_view url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed || (parsed->scheme() != "http" && parsed->scheme() != "https") ||
        parsed->encoded_host().empty() || parsed->has_userinfo())
        return std::nullopt;
    std::string origin =
        std::string(parsed->scheme()) + "://" + std::string(parsed->encoded_host_and_port());
    for (const char c : origin)
        if (!std::isalnum(static_cast<unsigned char>(c)) &&
            std::string_view(":/.-[]").find(c) == std::string_view::npos)
            return std::nullopt;
    return origin;
}

bool passcodeMatches(std::string_view station, std::optional<std::string_view> given) {
    if (!given) return false;
    const auto a = station;
    const auto b = *given;
    std::size_t accumulator = a.size() ^ b.size();
    const auto longer = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < longer; ++i) {
        const auto x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
        const auto y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
        accumulator |= x ^ y;
    }
    return accumulator == 0;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> boundedRange(std::string_view head) {
    const auto range = headerField(head, "Range");
    if (!range || !range->starts_with("bytes=")) return std::nullopt;
    const auto bounds = range->substr(6);
    const auto dash = bounds.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const auto number = [](std::string_view digits) -> std::optional<std::uint64_t> {
        if (digits.empty() || digits.size() > 15) return std::nullopt;
        std::uint64_t value = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return value;
    };
    const auto first = number(bounds.substr(0, dash));
    const auto last = number(bounds.substr(dash + 1));
    if (!first || !last || *first > *last || *last - *first >= (1U << 20)) return std::nullopt;
    return std::pair(*first, *last);
}

std::string headerValue(std::string_view text) {
    std::string value(text);
    for (auto& c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return value;
}

std::optional<std::string> visitedOrigin(std::string_view head) {
    const auto host = headerField(head, "Host");
    if (!host || host->empty() || host->size() > 255) return std::nullopt;
    // A host name, an IPv4 address, or a bracketed IPv6 one, with a port or not.
    for (const char c : *host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' &&
            c != '[' && c != ']')
            return std::nullopt;
    const auto proto = headerField(head, "X-Forwarded-Proto");
    return std::string(proto == "https" ? "https://" : "http://") + std::string(*host);
}

namespace Icy {

std::string block(std::string_view title) {
    std::string text = "StreamTitle='";
    for (const char raw : title) {
        const auto c = static_cast<unsigned char>(raw);
        if (c == '\'') {
            text += "\xE2\x80\x99"; // U+2019, which no player reads as the field's end
        } else if (c < 0x20 || c == 0x7F) {
            text += ' ';
        } else {
            text += static_cast<char>(c);
        }
    }
    constexpr std::size_t most = std::size_t{255} * 16;
    const std::string end = "';";
    if (text.size() + end.size() > most) {
        auto cut = most - end.size();
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut; // not inside a character
        text.resize(cut);
    }
    text += end;
    const auto units = (text.size() + 15) / 16;
    std::string made(1, static_cast<char>(units));
    made += text;
    made.resize(1 + units * 16, '\0');
    return made;
}

} // namespace Icy

} // namespace lantern
