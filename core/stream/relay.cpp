#include "core/stream/relay.h"

#include "core/net/connection.h"
#include "core/stream/aac_encoder.h"
#include "core/stream/http.h"
#include "core/stream/text.h"

#include <algorithm>
#include <array>
#include <asio/use_future.hpp>
#include <boost/url/parse.hpp>
#include <cctype>
#include <cstring>
#include <future>
#include <nlohmann/json.hpp>
#include <openssl/ssl.h>
#include <span>
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

} // namespace

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
      tls_(target_.secure ? clientTLS() : TLSContext(nullptr, &SSL_CTX_free)),
      source_(std::move(source)), report_(std::move(report)) {
    thread_ = std::thread([this] { run(); });
    asideThread_ = std::thread([this] { runAside(); });
}

std::unique_ptr<Connection> Relay::connect(std::string& error, bool* untrusted) {
    return Connection::open({target_.host, target_.port, tls_.get(), {}}, stopping_, ioTimeout,
                            error, untrusted);
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
