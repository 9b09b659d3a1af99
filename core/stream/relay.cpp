#include "core/stream/relay.h"

#include "core/stream/aac_encoder.h"
#include "core/stream/http.h"
#include "core/stream/text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <asio/use_future.hpp>
#include <boost/url/parse.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <future>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <span>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/base64.h>
}

namespace lantern {

namespace {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

// A server that takes no audio, or gives no answer, for this long is gone.
constexpr Milliseconds ioTimeout = 10s;
// How often the mount's listeners are counted, and how long an answer about
// them (or to a title update) may take.
constexpr auto countEvery = 10s;
constexpr Milliseconds asideTimeout = 5s;

std::string hostInURL(const std::string& host) {
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

bool isAddress(const std::string& host) {
    in6_addr bytes{};
    return ::inet_pton(AF_INET, host.c_str(), &bytes) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &bytes) == 1;
}

// A socket connected to host:port within ioTimeout, or -1 with `error`.
int connectTo(const std::string& host, std::uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int failed =
            ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        failed != 0) {
        error = ::gai_strerror(failed);
        return -1;
    }
    int fd = -1;
    for (const auto* address = found; address && fd < 0; address = address->ai_next) {
        fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      address->ai_protocol);
        if (fd < 0) continue;
        int problem = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            problem = errno;
            if (problem == EINPROGRESS) {
                pollfd ready{fd, POLLOUT, 0};
                socklen_t size = sizeof problem;
                problem = ::poll(&ready, 1, static_cast<int>(ioTimeout.count())) == 1 &&
                                  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &problem, &size) == 0
                              ? problem
                              : ETIMEDOUT;
            }
        }
        if (problem != 0) {
            error = std::strerror(problem);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

} // namespace

// One connection to the server, plain or over TLS, on a non-blocking socket:
// every wait is bounded and ends early when the relay stops.
class Connection {
public:
    // Connected (and, with `tls`, through a handshake whose certificate
    // names the host), or null with `error` (and `untrusted` set when the
    // failure was the certificate).
    static std::unique_ptr<Connection> open(const RelayTarget& target, SSL_CTX* tls,
                                            const std::atomic<bool>& stopping, std::string& error,
                                            bool* untrusted) {
        const int fd = connectTo(target.host, target.port, error);
        if (fd < 0) return nullptr;
        auto connection = std::unique_ptr<Connection>(new Connection(fd, stopping));
        if (tls && !connection->secure(tls, target.host, error, untrusted)) return nullptr;
        return connection;
    }
    ~Connection() {
        if (tls_) SSL_free(tls_);
        ::close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Each write in a segment of its own.
    void sendPromptly() {
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

    // Sends all of `bytes`; false when the peer is gone, takes nothing for
    // ioTimeout, or the relay stops.
    bool sendAll(std::string_view bytes) {
        auto quiet = Milliseconds::zero();
        while (!bytes.empty() && !stopping_) {
            short want = POLLOUT;
            const auto sent = write(bytes, want);
            if (sent > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(sent));
                quiet = Milliseconds::zero();
                continue;
            }
            if (sent < 0) return false;
            pollfd ready{fd_, want, 0};
            if (::poll(&ready, 1, 200) == 0 && (quiet += 200ms) >= ioTimeout) return false;
        }
        return bytes.empty();
    }

    // What arrives within `wait` (at most `buffer`'s size): the count, 0 when
    // nothing came in time or the relay stops, -1 when the peer is gone.
    std::ptrdiff_t receive(std::span<char> buffer, Milliseconds wait) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (!stopping_) {
            short want = POLLIN;
            const auto got = read(buffer, want);
            if (got != 0) return got;
            const auto left =
                std::chrono::duration_cast<Milliseconds>(until - std::chrono::steady_clock::now());
            if (left <= Milliseconds::zero()) return 0;
            pollfd ready{fd_, want, 0};
            ::poll(&ready, 1, static_cast<int>(std::min<Milliseconds>(left, 200ms).count()));
        }
        return 0;
    }

private:
    Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

    bool secure(SSL_CTX* context, const std::string& host, std::string& error, bool* untrusted) {
        tls_ = SSL_new(context);
        if (!tls_ || SSL_set_fd(tls_, fd_) != 1) {
            error = "TLS could not start";
            return false;
        }
        // The certificate must name the host the user gave, by name or address.
        if (isAddress(host))
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls_), host.c_str());
        else if (SSL_set_tlsext_host_name(tls_, host.c_str()) != 1 ||
                 SSL_set1_host(tls_, host.c_str()) != 1) {
            error = "TLS could not start";
            return false;
        }
        for (auto waited = Milliseconds::zero(); waited < ioTimeout && !stopping_;) {
            const int done = SSL_connect(tls_);
            if (done == 1) return true;
            const int why = SSL_get_error(tls_, done);
            if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) break;
            pollfd ready{fd_, static_cast<short>(why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
            if (::poll(&ready, 1, 200) == 0) waited += 200ms;
        }
        const auto verified = SSL_get_verify_result(tls_);
        if (verified != X509_V_OK) {
            error = std::string("its certificate can't be trusted: ") +
                    X509_verify_cert_error_string(verified);
            if (untrusted) *untrusted = true;
        } else
            error = "the secure connection failed";
        ERR_clear_error();
        return false;
    }

    // Bytes written (> 0), 0 to wait for `want`, -1 when the peer is gone.
    std::ptrdiff_t write(std::string_view bytes, short& want) {
        if (!tls_) {
            const auto sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent >= 0) return sent;
            return errno == EAGAIN || errno == EINTR ? 0 : -1;
        }
        std::size_t sent = 0;
        if (SSL_write_ex(tls_, bytes.data(), bytes.size(), &sent) == 1)
            return static_cast<std::ptrdiff_t>(sent);
        return waitFor(SSL_get_error(tls_, 0), want);
    }

    // Bytes read (> 0), 0 to wait for `want`, -1 when the peer is gone.
    std::ptrdiff_t read(std::span<char> buffer, short& want) {
        if (!tls_) {
            const auto got = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (got > 0) return got;
            return got < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
        }
        std::size_t got = 0;
        if (SSL_read_ex(tls_, buffer.data(), buffer.size(), &got) == 1)
            return static_cast<std::ptrdiff_t>(got);
        return waitFor(SSL_get_error(tls_, 0), want);
    }

    std::ptrdiff_t waitFor(int why, short& want) {
        if (why == SSL_ERROR_WANT_READ)
            want = POLLIN;
        else if (why == SSL_ERROR_WANT_WRITE)
            want = POLLOUT;
        else {
            ERR_clear_error();
            return -1;
        }
        return 0;
    }

    int fd_;
    SSL* tls_ = nullptr;
    const std::atomic<bool>& stopping_;
};

namespace {

// Reads until the answer's head is whole (and what follows it, when the
// server closes at once); empty when none came within ioTimeout.
std::string readAnswer(Connection& connection) {
    std::string answer;
    std::array<char, 2048> bytes{};
    while (answer.size() < 8192) {
        const auto got = connection.receive(bytes, ioTimeout);
        if (got <= 0) break;
        answer.append(bytes.data(), static_cast<std::size_t>(got));
        if (answer.find("\r\n\r\n") != std::string::npos) {
            // A refusal's reason follows its head; give it a moment.
            if (!answer.starts_with("HTTP/1.1 100") && !answer.starts_with("HTTP/1.0 200"))
                if (const auto rest = connection.receive(bytes, 200ms); rest > 0)
                    answer.append(bytes.data(), static_cast<std::size_t>(rest));
            break;
        }
    }
    return answer;
}

int statusOf(std::string_view answer) {
    if (answer.size() < 12 || !answer.starts_with("HTTP/1.")) return 0;
    const auto code = answer.substr(9, 3);
    if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return std::stoi(std::string(code));
}

std::string firstLine(std::string_view answer) {
    return headerValue(answer.substr(0, std::min<std::size_t>(answer.find("\r\n"), 120)));
}

// `bytes` (whole ADTS frames) in parts of whole frames, each small enough
// for the server to take in one read: a listener it starts at a part's
// beginning starts on a frame.
std::vector<std::span<const std::uint8_t>> framedParts(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t most = 2048;
    std::vector<std::span<const std::uint8_t>> parts;
    std::size_t begin = 0, at = 0;
    for (auto frame = adtsFrameAt(bytes); frame && at + frame->length <= bytes.size();
         frame = adtsFrameAt(bytes.subspan(at))) {
        if (at + frame->length - begin > most && at > begin) {
            parts.push_back(bytes.subspan(begin, at - begin));
            begin = at;
        }
        at += frame->length;
    }
    if (begin < bytes.size()) parts.push_back(bytes.subspan(begin)); // the rest as it is
    return parts;
}

std::string base64(std::string_view text) {
    std::string encoded(AV_BASE64_SIZE(text.size()), '\0');
    av_base64_encode(encoded.data(), static_cast<int>(encoded.size()),
                     reinterpret_cast<const std::uint8_t*>(text.data()),
                     static_cast<int>(text.size()));
    encoded.resize(std::strlen(encoded.c_str()));
    return encoded;
}

} // namespace

std::string RelayTarget::listenURL() const {
    return (secure ? "https://" : "http://") + hostInURL(host) + ":" + std::to_string(port) + mount;
}

std::string RelayTarget::withoutPassword() const {
    // A user other than the default keeps its colon: "user@" alone would read
    // as a password.
    return (secure ? "https://" : "icecast://") +
           (user == "source" ? std::string() : percentEncoded(user) + ":@") + hostInURL(host) +
           ":" + std::to_string(port) + mount;
}

std::variant<RelayTarget, std::string> parseRelayURL(std::string_view url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed) return std::string("That isn't a server address");
    const auto scheme = parsed->scheme();
    if (scheme != "icecast" && scheme != "http" && scheme != "https")
        return std::string("A relay address begins with icecast://, http:// or https://");
    RelayTarget target;
    target.secure = scheme == "https";
    if (target.secure) target.port = 443;
    target.host = parsed->host_address();
    if (parsed->host_type() == boost::urls::host_type::ipv6)
        target.host = target.host.substr(1, target.host.size() - 2);
    if (target.host.empty()) return std::string("The relay address has no server name");
    if (parsed->has_port()) {
        const auto port = parsed->port_number();
        if (port == 0) return std::string("The relay address has no valid port");
        target.port = port;
    }
    if (parsed->has_userinfo()) {
        if (parsed->has_password()) {
            if (!parsed->user().empty()) target.user = parsed->user();
            target.password = parsed->password();
        } else {
            target.password = parsed->user(); // icecast://PASSWORD@HOST
        }
    }
    target.mount = parsed->path();
    const bool plain = std::all_of(target.mount.begin(), target.mount.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '-' || c == '_' ||
               c == '.' || c == '~';
    });
    if (target.mount.size() < 2 || !plain || parsed->has_query() || parsed->has_fragment())
        return std::string("The relay address needs a mount, like /live");
    for (const char c : target.user + target.password)
        if (static_cast<unsigned char>(c) < 0x20) return std::string("The password can't be used");
    return target;
}

Relay::Relay(std::shared_ptr<Fanout> fanout, RelayTarget target, Source source,
             std::function<void(const Report&)> report)
    : fanout_(std::move(fanout)), target_(std::move(target)),
      credentials_("Basic " + base64(target_.user + ":" + target_.password)),
      tls_(target_.secure ? SSL_CTX_new(TLS_client_method()) : nullptr, &SSL_CTX_free),
      source_(std::move(source)), report_(std::move(report)) {
    if (tls_) {
        // The system's trusted authorities, and nothing older than TLS 1.2.
        SSL_CTX_set_verify(tls_.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(tls_.get());
        SSL_CTX_set_min_proto_version(tls_.get(), TLS1_2_VERSION);
    }
    thread_ = std::thread([this] { run(); });
    asideThread_ = std::thread([this] { runAside(); });
}

std::unique_ptr<Connection> Relay::connect(std::string& error, bool* untrusted) {
    return Connection::open(target_, tls_.get(), stopping_, error, untrusted);
}

Relay::~Relay() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    asideWake_.notify_all();
    thread_.join();
    asideThread_.join();
}

void Relay::say(State state, std::string detail) {
    if (state == last_.state && detail == last_.detail) return;
    last_.state = state;
    last_.detail = std::move(detail);
    if (state != State::relaying) {
        last_.listeners.reset();
        last_.burst.reset();
    }
    report_(last_);
}

bool Relay::pause(Milliseconds time) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, time, [this] { return stopping_.load(); });
}

void Relay::run() {
    std::size_t failures = 0;
    while (!stopping_) {
        say(State::connecting, {});
        std::string detail;
        const auto started = std::chrono::steady_clock::now();
        const auto ended = session(detail);
        if (ended == Ended::stopped) break;
        if (ended == Ended::refused || ended == Ended::untrusted) {
            say(ended == Ended::refused ? State::refused : State::untrusted, detail);
            if (!pause(afterRefusal)) break;
            continue;
        }
        // A connection that carried audio for a while starts the back-off over.
        if (std::chrono::steady_clock::now() - started > 60s) failures = 0;
        say(State::retrying, detail);
        const auto wait = backoff[std::min(failures++, backoff.size() - 1)];
        if (!pause(std::chrono::seconds(wait))) break;
    }
}

Relay::Ended Relay::session(std::string& detail) {
    const auto audioInfo = "ice-bitrate=" + std::to_string(source_.bitrate) +
                           ";ice-channels=" + std::to_string(source_.channels) +
                           ";ice-samplerate=" + std::to_string(source_.sampleRate);
    // PUT first; the older SOURCE method for a server that does not allow it.
    for (const std::string method : {"PUT", "SOURCE"}) {
        bool untrusted = false;
        const auto connection = connect(detail, &untrusted);
        if (!connection && untrusted) return Ended::untrusted;
        if (!connection) return stopping_ ? Ended::stopped : Ended::unreachable;
        const bool put = method == "PUT";
        std::string head = method + " " + target_.mount + (put ? " HTTP/1.1" : " HTTP/1.0");
        head += "\r\nHost: " + hostInURL(target_.host) + ":" + std::to_string(target_.port);
        head += "\r\nAuthorization: " + credentials_;
        head += "\r\nUser-Agent: Lantern FM\r\nContent-Type: audio/aac\r\nIce-Public: 0";
        head += "\r\nIce-Name: " + headerValue(source_.name);
        head += "\r\nIce-Audio-Info: " + audioInfo;
        head += put ? "\r\nExpect: 100-continue\r\n\r\n" : "\r\n\r\n";
        if (!connection->sendAll(head)) {
            detail = "the server closed the connection";
            return stopping_ ? Ended::stopped : Ended::lost;
        }
        const auto answer = readAnswer(*connection);
        const auto status = statusOf(answer);
        if (status == 100 || status == 200) {
            connection->sendPromptly(); // each part in a segment of its own
            return relay(*connection, detail) ? Ended::stopped : Ended::lost;
        }
        if (stopping_) return Ended::stopped;
        detail = answer.empty() ? "the server gave no answer" : firstLine(answer);
        if (put && status == 405) continue;
        if (status == 401) return Ended::refused;
        // Icecast says a mount another source holds is "in use": wait it out.
        if (status == 403 && answer.find("in use") != std::string::npos) return Ended::taken;
        if (status == 403) return Ended::refused;
        return Ended::lost;
    }
    return Ended::lost;
}

// Sends the fan-out's audio until the connection fails (false) or the relay
// stops (true).
bool Relay::relay(Connection& connection, std::string& detail) {
    // The server's queue starts with live audio rather than the station's
    // burst: sent at once, the burst would reach it in pieces that begin
    // inside frames, where its listeners would then start.
    bool skipBurst = fanout_->burstSize() > 0;
    Fanout::Seat seat(fanout_, std::nullopt, false);
    std::vector<Chunk> chunks;
    std::optional<std::string> title;
    {
        std::lock_guard lock(mutex_);
        aside_ = Aside{};
        aside_.session = ++sessions_;
    }
    asideWake_.notify_all();
    say(State::relaying, {});
    const auto ended = [this](bool stopped) {
        {
            std::lock_guard lock(mutex_);
            aside_ = Aside{};
        }
        return stopped;
    };
    while (!stopping_) {
        auto next = seat->next(asio::use_future);
        while (next.wait_for(200ms) != std::future_status::ready)
            if (stopping_) return ended(true);
        auto chunk = next.get();
        if (!chunk) return ended(true); // the broadcast is over
        chunks.clear();
        chunks.push_back(std::move(*chunk));
        seat->takeAll(chunks);
        if (std::exchange(skipBurst, false)) chunks.erase(chunks.begin());
        for (const auto& piece : chunks)
            for (const auto part : framedParts(piece.bytes()))
                if (!connection.sendAll(
                        {reinterpret_cast<const char*>(part.data()), part.size()})) {
                    detail = "the server stopped taking the stream";
                    return ended(stopping_);
                }
        reportCount();
        if (chunks.empty()) continue;
        // The mount's title follows the audio just sent.
        if (const auto at = chunks.back().publishedAt(0); at && source_.titleAt) {
            auto now = source_.titleAt(*at);
            if (now && now != title) wantTitle(*now);
            title = std::move(now);
        }
    }
    return ended(true);
}

void Relay::wantTitle(std::string title) {
    {
        std::lock_guard lock(mutex_);
        aside_.title = std::move(title);
    }
    asideWake_.notify_all();
}

void Relay::reportCount() {
    std::unique_lock lock(mutex_);
    if (!std::exchange(aside_.counted, false)) return;
    const auto listeners = aside_.listeners;
    const auto burst = aside_.burst;
    lock.unlock();
    if (listeners != last_.listeners || burst != last_.burst) {
        last_.listeners = listeners;
        last_.burst = burst;
        report_(last_);
    }
}

void Relay::runAside() {
    std::unique_lock lock(mutex_);
    auto counted = std::chrono::steady_clock::now() - countEvery + 2s;
    std::uint64_t session = 0;
    while (!stopping_) {
        asideWake_.wait_until(lock, counted + countEvery, [&] {
            return stopping_ || aside_.title || aside_.session != session;
        });
        if (stopping_) break;
        if (aside_.session != session) { // a new session counts from its start
            session = aside_.session;
            counted = std::chrono::steady_clock::now() - countEvery + 2s;
        }
        if (session == 0) continue;
        if (auto title = std::exchange(aside_.title, std::nullopt)) {
            lock.unlock();
            updateTitle(*title);
            lock.lock();
            continue;
        }
        if (std::chrono::steady_clock::now() < counted + countEvery) continue;
        counted = std::chrono::steady_clock::now();
        const auto known = aside_.burst;
        lock.unlock();
        const auto listeners = countListeners();
        const auto burst = known ? known : measureBurst();
        lock.lock();
        if (aside_.session != session) continue; // that session is over
        aside_.listeners = listeners;
        aside_.burst = burst;
        aside_.counted = true;
    }
}

void Relay::updateTitle(const std::string& title) {
    std::string error;
    const auto connection = connect(error);
    if (!connection) return;
    const auto request = "GET /admin/metadata?mount=" + percentEncoded(target_.mount) +
                         "&mode=updinfo&charset=UTF-8&song=" + percentEncoded(title) +
                         " HTTP/1.0\r\nAuthorization: " + credentials_ +
                         "\r\nUser-Agent: Lantern FM\r\n\r\n";
    if (connection->sendAll(request)) readAnswer(*connection);
}

// Joins the mount as a listener for a moment: what arrives from its first
// byte on, less the real time that passes meanwhile, is the server's burst.
std::optional<double> Relay::measureBurst() {
    std::string error;
    const auto connection = connect(error);
    if (!connection) return std::nullopt;
    const auto head = "GET " + target_.mount + " HTTP/1.0\r\nUser-Agent: Lantern FM\r\n\r\n";
    std::string start;
    std::size_t bytes = 0;
    std::optional<std::chrono::steady_clock::time_point> first;
    auto last = std::chrono::steady_clock::now();
    if (connection->sendAll(head)) {
        std::array<char, 16384> buffer{};
        const auto began = std::chrono::steady_clock::now();
        for (;;) {
            const auto until = first ? *first + 1500ms : began + ioTimeout;
            const auto left =
                std::chrono::duration_cast<Milliseconds>(until - std::chrono::steady_clock::now());
            if (left <= Milliseconds::zero()) break;
            const auto got = connection->receive(buffer, left);
            if (got <= 0) break;
            const auto size = static_cast<std::size_t>(got);
            if (start.size() < 4096) start.append(buffer.data(), size);
            bytes += size;
            last = std::chrono::steady_clock::now();
            if (!first && start.find("\r\n\r\n") != std::string::npos) first = last;
        }
    }
    const auto end = start.find("\r\n\r\n");
    if (statusOf(start) != 200 || end == std::string::npos || !first) return std::nullopt;
    const double rate = source_.bitrate * 1000.0 / 8;
    const double seconds = static_cast<double>(bytes - end - 4) / rate -
                           std::chrono::duration<double>(last - *first).count();
    return std::max(seconds, 0.0);
}

std::optional<std::size_t> Relay::countListeners() {
    std::string error;
    const auto connection = connect(error);
    if (!connection) return std::nullopt;
    std::string answer;
    if (connection->sendAll("GET /status-json.xsl HTTP/1.0\r\nUser-Agent: Lantern FM\r\n\r\n")) {
        std::array<char, 4096> bytes{};
        const auto until = std::chrono::steady_clock::now() + asideTimeout;
        while (answer.size() < (1U << 20)) {
            const auto left =
                std::chrono::duration_cast<Milliseconds>(until - std::chrono::steady_clock::now());
            if (left <= Milliseconds::zero()) return std::nullopt; // too slow to count on
            const auto got = connection->receive(bytes, left);
            if (got <= 0) break;
            answer.append(bytes.data(), static_cast<std::size_t>(got));
        }
    }
    if (statusOf(answer) != 200) return std::nullopt;
    const auto body = answer.find("\r\n\r\n");
    const auto json = nlohmann::json::parse(
        answer.substr(body == std::string::npos ? answer.size() : body + 4), nullptr, false);
    if (!json.is_object() || !json.contains("icestats")) return std::nullopt;
    const auto& stats = json["icestats"];
    if (!stats.is_object() || !stats.contains("source")) return std::nullopt;
    auto sources = stats["source"];
    if (sources.is_object()) sources = nlohmann::json::array({sources});
    if (!sources.is_array()) return std::nullopt;
    for (const auto& source : sources) {
        if (!source.is_object()) continue;
        const auto url = source.find("listenurl");
        const auto listeners = source.find("listeners");
        if (url != source.end() && url->is_string() &&
            url->get<std::string>().ends_with(target_.mount) && listeners != source.end() &&
            listeners->is_number_unsigned())
            return listeners->get<std::size_t>();
    }
    return std::nullopt;
}

} // namespace lantern
