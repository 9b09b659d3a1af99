#include "core/net/fetch.h"

#include "core/stream/http.h"

#include <array>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <cctype>
#include <charconv>
#include <openssl/ssl.h>
#include <optional>

namespace lantern {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr std::size_t largestHead = 16384;

std::string lowered(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The host as it is connected to: an IPv6 address without its brackets.
std::string hostOf(const boost::urls::url_view& url) {
    std::string host = url.host_address();
    if (url.host_type() == boost::urls::host_type::ipv6) host = host.substr(1, host.size() - 2);
    return lowered(std::move(host));
}

std::optional<int> statusOf(std::string_view head) {
    int status = 0;
    if (head.size() < 12 || !head.starts_with("HTTP/1.") ||
        std::from_chars(head.data() + 9, head.data() + 12, status).ec != std::errc())
        return std::nullopt;
    return status;
}

} // namespace

std::variant<std::string, FetchFailure> fetch(std::string_view address, const FetchLimits& limits,
                                              const std::atomic<bool>& stopping) {
    const auto until = Clock::now() + limits.time;
    const auto left = [&] {
        return std::max(Milliseconds::zero(),
                        std::chrono::duration_cast<Milliseconds>(until - Clock::now()));
    };
    const auto parsed = boost::urls::parse_uri(address);
    if (!parsed) return FetchFailure{"not an address"};
    boost::urls::url url(*parsed);
    const auto host = hostOf(url);
    TLSContext tls(nullptr, &SSL_CTX_free);
    std::array<char, 16384> buffer{};
    for (int redirects = 0;; ++redirects) {
        const auto scheme = lowered(std::string(url.scheme()));
        if (scheme != "https" && scheme != "http") return FetchFailure{"not http or https"};
        if (hostOf(url) != host) return FetchFailure{"a redirect to another host"};
        const bool secure = scheme == "https";
        const std::uint16_t port = url.has_port() ? url.port_number() : (secure ? 443 : 80);
        if (port == 0) return FetchFailure{"no port"};
        if (secure && !tls) tls = clientTLS();
        std::string error;
        const auto connection = Connection::open(
            {host, port, secure ? tls.get() : nullptr, limits.allowed}, stopping, left(), error);
        if (!connection) return FetchFailure{error};
        auto target = std::string(url.encoded_target());
        if (target.empty()) target = "/";
        const auto request = "GET " + target +
                             " HTTP/1.0\r\nHost: " + std::string(url.encoded_host_and_port()) +
                             "\r\nUser-Agent: Lantern FM\r\nAccept: image/*\r\n\r\n";
        if (!connection->sendAll(request, left())) return FetchFailure{"no answer"};

        // The head, then the body of a 200 answer until the server closes.
        std::string answer;
        std::optional<std::size_t> bodyAt;
        for (;;) {
            if (stopping) return FetchFailure{"stopped"};
            if (left() == Milliseconds::zero()) return FetchFailure{"too slow"};
            const auto got = connection->receive(buffer, left());
            if (got < 0) break; // closed: the answer is whole
            const auto size = static_cast<std::size_t>(got);
            if (bodyAt && answer.size() + size > *bodyAt + limits.bytes)
                return FetchFailure{"too large"};
            answer.append(buffer.data(), size);
            if (bodyAt) continue;
            const auto end = answer.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (answer.size() > largestHead) return FetchFailure{"not an answer"};
                continue;
            }
            bodyAt = end + 4;
            const auto head = std::string_view(answer).substr(0, end);
            const auto status = statusOf(head);
            if (!status) return FetchFailure{"not an answer"};
            if (*status == 301 || *status == 302 || *status == 303 || *status == 307 ||
                *status == 308) {
                const auto location = headerField(head, "Location");
                if (!location) return FetchFailure{"a redirect nowhere"};
                const auto reference = boost::urls::parse_uri_reference(*location);
                if (!reference) return FetchFailure{"a redirect nowhere"};
                if (redirects >= limits.redirects) return FetchFailure{"too many redirects"};
                boost::urls::url next;
                if (!boost::urls::resolve(url, *reference, next))
                    return FetchFailure{"a redirect nowhere"};
                url = std::move(next);
                break;
            }
            if (*status != 200) return FetchFailure{"answered " + std::to_string(*status)};
            if (answer.size() > *bodyAt + limits.bytes) return FetchFailure{"too large"};
        }
        if (!bodyAt) return FetchFailure{"no answer"};
        if (answer.starts_with("HTTP/1.") && statusOf(answer) == 200) return answer.substr(*bodyAt);
    }
}

} // namespace lantern
