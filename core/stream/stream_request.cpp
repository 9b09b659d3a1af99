#include "core/config/station_config.h"
#include "core/stream/http.h"
#include "core/stream/server_lanes.h"
#include "core/stream/text.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cctype>
#include <nlohmann/json.hpp>

namespace lantern {

using asio::ip::tcp;

namespace {

constexpr std::string_view headEnd = "\r\n\r\n";
constexpr std::size_t tagCharacters = 64;
constexpr std::string_view fullBody = "The station is full right now\n";
constexpr std::string_view heldBody = "The station isn't letting listeners in right now\n";
constexpr std::string_view guessedBody = "Too many wrong passcodes. Try again in a minute.\n";
constexpr std::size_t maxBody = 1024;

// `body`, a JSON object, with a `"name":value` pair added.
std::string withField(std::string body, std::string_view pair) {
    const auto end = body.rfind('}');
    if (end == std::string::npos) return body;
    const bool empty = body.find_first_not_of(" \t\r\n", body.find('{') + 1) == end;
    body.insert(end, (empty ? "" : ",") + std::string(pair));
    return body;
}

} // namespace

StreamServer::Connection::Connection(Impl& server, Lane& lane, tcp::socket socket)
    : server_(server), lane_(lane), socket_(std::move(socket)), deadline_(*lane.io) {
    lane_.connections.insert(this);
    if (!std::exchange(lane_.beating, true)) server_.beat(lane_, std::chrono::steady_clock::now());
}

StreamServer::Connection::~Connection() {
    if (readingHead_) --server_.readingHeads;
    if (placed_) --server_.streams;
    --server_.connections;
    --lane_.load;
    lane_.connections.erase(this);
}

void StreamServer::Connection::start() {
    std::error_code ignored;
    socket_.non_blocking(true, ignored);
    deadline_.expires_after(server_.limits.headTimeout);
    deadline_.async_wait([weak = weak_from_this()](std::error_code error) {
        auto self = weak.lock();
        if (!error && self && self->readingHead_) self->close();
    });
    readHead();
}

void StreamServer::Connection::abandon() {
    if (session_) session_->abandon();
}

bool StreamServer::Connection::stalledSince(std::chrono::steady_clock::time_point before) const {
    return session_ && session_->stalledSince(before);
}

std::optional<UplinkWatch::Listener> StreamServer::Connection::uplinkSample() {
    if (!session_) return std::nullopt;
    auto sample = session_->uplinkSample();
    if (!sample) return std::nullopt;
    sample->remote = remote_;
    sample->light = session_->fanout() != server_.fanout.get();
    return sample;
}

void StreamServer::Connection::lighten() {
    asio::post(*lane_.io, [self = shared_from_this()] {
        const auto light = self->server_.fanoutFor(Form::light);
        if (!self->session_ || !light) return;
        self->session_->moveTo(light);
        if (!self->tag_) return;
        std::lock_guard lock(self->server_.heardMutex);
        auto& lightened = self->server_.lightened;
        if (lightened.size() >= self->server_.limits.maxListeners) lightened.clear();
        lightened.insert(*self->tag_);
    });
}

void StreamServer::Connection::letGo() {
    asio::post(*lane_.io, [self = shared_from_this()] {
        if (self->session_) self->session_->letGo();
    });
}

void StreamServer::Connection::recheck() {
    if (!session_ || !session_->ongoing()) return;
    const auto access = server_.access();
    if (access.heldBack || (access.passcode && !passcodeMatches(*access.passcode, presented_)))
        session_->finish();
}

void StreamServer::Connection::close() {
    endHeadPhase();
    // The place is free once the client can tell the answer is over.
    if (std::exchange(placed_, false)) --server_.streams;
    std::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void StreamServer::Connection::readHead() {
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](std::error_code error) {
        self->onReadable(error);
    });
}

void StreamServer::Connection::onReadable(std::error_code error) {
    std::size_t received = 0;
    if (!error) received = socket_.read_some(asio::buffer(lane_.scratch), error);
    if (error == asio::error::would_block) return readHead();

    const auto searchFrom = head_.size() < 3 ? 0 : head_.size() - 3;
    head_.append(lane_.scratch.data(), received);
    if (const auto end = head_.find(headEnd, searchFrom); end != std::string::npos) {
        body_ = head_.substr(end + headEnd.size(), maxBody + 1);
        return answer(decodeUtf8Lossy(std::string_view(head_).substr(0, end)));
    }
    // Anything else ends the connection unanswered: an error, the peer
    // finished sending (read_some reports that as an error too), or too much.
    if (error || head_.size() > server_.limits.maxHeadBytes) return close();
    readHead();
}

void StreamServer::Connection::answer(const std::string& head) {
    endHeadPhase();
    const auto requestLine = std::string_view(head).substr(0, head.find("\r\n"));
    const auto request = route(requestLine);
    if (request.kind == Route::Kind::page)
        return send(responseHead(200, "text/html; charset=utf-8", server_.page.size(),
                                 {{"Content-Security-Policy", server_.pagePolicy}}) +
                    server_.page);

    const auto pairs = query(requestTarget(requestLine));
    // The tunnel names every visitor it brings; anyone else could name
    // any visitor, so it is believed from the tunnel alone.
    auto connectingIP = headerField(head, "Cf-Connecting-IP");
    remote_ = connectingIP && server_.fromTunnel && server_.fromTunnel(socket_.native_handle());
    if (!remote_) connectingIP.reset();
    visitor_ = visitorKey(connectingIP, peer());
    const auto access = server_.access();
    if (access.heldBack) return refuse(503, heldBody, "30");
    const auto given = pairs.find("k");
    if (given != pairs.end()) presented_ = given->second;
    const auto label = pairs.find("l");
    const auto tag = label == pairs.end()
                         ? std::nullopt
                         : std::optional(prefixGraphemes(label->second, tagCharacters));
    if (access.passcode) {
        // One visitor's guessing is theirs alone to wait out: a visitor
        // refused gets no answer about any passcode, right or wrong.
        const auto& visitor = visitor_;
        const auto wait = server_.guesses.refused(visitor, std::chrono::steady_clock::now());
        if (wait > std::chrono::steady_clock::duration::zero()) {
            const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
            return refuse(429, guessedBody, std::to_string(seconds));
        }
        if (!passcodeMatches(*access.passcode, presented_)) {
            // A missing passcode is not a guess: the page asks without one.
            if (presented_) server_.guesses.wrong(visitor, std::chrono::steady_clock::now());
            return notFound();
        }
    }

    switch (request.kind) {
    case Route::Kind::now: {
        if (tag && server_.audience)
            server_.audience->polled(*tag, visitor_, std::chrono::steady_clock::now());
        // Only the page's poll of what it hears carries its tag. What it
        // holds beyond what it plays has reached it: a shortfall shows at
        // once, not only when it runs dry.
        if (tag) server_.hear(*tag, std::max(request.lag - request.ahead, 0.0));
        auto body = server_.now(request.lag);
        // The light forms offered now, by a station that has them.
        if (server_.lightAAC || server_.opus) {
            std::string forms;
            for (const auto& [form, name] :
                 {std::pair{Form::light, "\"aac\""}, {Form::opus, "\"opus\""}})
                if (server_.fanoutFor(form)) forms += std::string(forms.empty() ? "" : ",") + name;
            body = withField(std::move(body), "\"light\":[" + forms + "]");
        }
        if (tag && server_.wasLightened(*tag))
            body = withField(std::move(body), "\"lighter\":true");
        return send(
            responseHead(200, "application/json", body.size(), {{"Cache-Control", "no-store"}}) +
            body);
    }
    case Route::Kind::history: {
        if (!server_.tracks.history) return notFound();
        const auto body = server_.tracks.history();
        return send(
            responseHead(200, "application/json", body.size(), {{"Cache-Control", "no-store"}}) +
            body);
    }
    case Route::Kind::cover: {
        const auto image = !request.track         ? server_.cover()
                           : server_.tracks.cover ? server_.tracks.cover(*request.track)
                                                  : std::nullopt;
        if (!image) return notFound();
        auto bytes =
            responseHead(200, image->type, image->bytes.size(), {{"Cache-Control", "no-store"}});
        bytes.append(image->bytes.begin(), image->bytes.end());
        return send(std::move(bytes));
    }
    case Route::Kind::playlist:
        return playlist(head, access.passcode.has_value(), request.form);
    case Route::Kind::streamCheck:
        // The head a stream request would get now, without taking a place.
        if (server_.streams.load() >= server_.limits.maxListeners || laneOverloaded() ||
            !uplinkAdmits())
            return send(fullHead());
        return send(responseHead(200, "audio/aac", std::nullopt, {{"Cache-Control", "no-store"}}));
    case Route::Kind::stream: {
        if (const auto range = boundedRange(head))
            return probe(*range, request.behind, request.form);
        const bool titles = headerField(head, "Icy-MetaData") == "1" && server_.titles.at;
        return stream(tag, titles, request.behind, request.form);
    }
    case Route::Kind::react:
    case Route::Kind::name:
        if (!server_.audience || !server_.audience->shown()) return notFound();
        return takeBody(head, request.kind);
    case Route::Kind::badRequest:
        return badRequest();
    default:
        return notFound();
    }
}

void StreamServer::Connection::notFound() {
    send(responseHead(404, "text/plain; charset=utf-8", 9) + "Not here\n");
}

std::string StreamServer::Connection::stationName() const {
    return headerValue(server_.titles.station ? server_.titles.station() : "Lantern FM");
}

void StreamServer::Connection::badRequest() {
    send(responseHead(400, "text/plain; charset=utf-8", 12) + "Bad request\n");
}

void StreamServer::Connection::probe(std::pair<std::uint64_t, std::uint64_t> range, double behind,
                                     Form form) {
    // A light stream whose encoder does not run is answered with the full one.
    auto fanout = server_.fanoutFor(form);
    if (!fanout && form == Form::opus) return notFound();
    if (!fanout) fanout = server_.fanout;
    if (!takePlace()) return full();
    const auto bytes = fanout->burstBytes(range.first, range.second - range.first + 1, behind);
    if (bytes.empty())
        return send(responseHead(416, std::nullopt, 0, {{"Content-Range", "bytes */*"}}));
    const auto last = range.first + bytes.size() - 1;
    auto answer = responseHead(206, form == Form::opus ? "audio/ogg" : "audio/aac", bytes.size(),
                               {{"Cache-Control", "no-store"},
                                {"Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                      std::to_string(last) + "/*"}});
    answer.append(bytes.begin(), bytes.end());
    send(std::move(answer));
}

void StreamServer::Connection::playlist(std::string_view head, bool passcode, Form form) {
    const auto origin = visitedOrigin(head);
    if (!origin) return badRequest();
    auto stream = *origin + "/stream";
    std::string query = form == Form::light ? "light=1" : "";
    if (passcode && presented_)
        query += (query.empty() ? "k=" : "&k=") + percentEncoded(*presented_);
    if (!query.empty()) stream += "?" + query;
    const auto body = "#EXTM3U\n#EXTINF:-1," + stationName() + "\n" + stream + "\n";
    send(responseHead(200, "audio/x-mpegurl", body.size(), {{"Cache-Control", "no-store"}}) + body);
}

void StreamServer::Connection::refuse(int status, std::string_view body,
                                      const std::string& retryAfter) {
    send(responseHead(status, "text/plain; charset=utf-8", body.size(),
                      {{"Retry-After", retryAfter}}) +
         std::string(body));
}

std::string StreamServer::Connection::peer() const {
    std::error_code error;
    const auto endpoint = socket_.remote_endpoint(error);
    return error ? std::string() : endpoint.address().to_string();
}

void StreamServer::Connection::send(std::string bytes) {
    auto owned = std::make_shared<const std::string>(std::move(bytes));
    deadline_.expires_after(server_.limits.sendTimeout);
    deadline_.async_wait([weak = weak_from_this()](std::error_code error) {
        if (auto self = weak.lock(); self && !error) self->close();
    });
    asio::async_write(socket_, asio::buffer(*owned),
                      [self = shared_from_this(), owned](std::error_code, std::size_t) {
                          self->deadline_.cancel();
                          self->close();
                      });
}

void StreamServer::Connection::full() {
    send(fullHead() + std::string(fullBody));
}

std::string StreamServer::Connection::fullHead() {
    return responseHead(503, "text/plain; charset=utf-8", fullBody.size(), {{"Retry-After", "10"}});
}

bool StreamServer::Connection::laneOverloaded() const {
    return lane_.behind >= Lane::overloaded;
}

bool StreamServer::Connection::uplinkAdmits() const {
    return !remote_ || server_.admitThroughTunnel.load();
}

bool StreamServer::Connection::takePlace() {
    if (laneOverloaded() || !uplinkAdmits()) return false;
    auto held = server_.streams.load();
    do {
        if (held >= server_.limits.maxListeners) return false;
    } while (!server_.streams.compare_exchange_weak(held, held + 1));
    placed_ = true;
    return true;
}

void StreamServer::Connection::stream(std::optional<std::string> tag, bool titles, double behind,
                                      Form form) {
    // Through a full uplink, newcomers join on the light stream. A light
    // stream whose encoder does not run is answered with the full one; Ogg
    // is no stream a player asking for AAC could take instead.
    if (form == Form::full && remote_ && server_.joinLight.load()) form = Form::light;
    auto fanout = server_.fanoutFor(form);
    if (!fanout && form == Form::opus) return notFound();
    if (!fanout) form = Form::full, fanout = server_.fanout;
    if (!takePlace()) return full();
    tag_ = tag;
    const auto id = ++server_.streamsStarted;
    std::error_code ignored;
    socket_.set_option(asio::socket_base::send_buffer_size(server_.limits.streamSendBuffer),
                       ignored);
    if (tag && server_.audience) stay_ = server_.audience->stay(*tag, visitor_);
    Fanout::Seat seat(fanout, std::move(tag), true, behind);
    HeaderFields fields{{"Cache-Control", "no-store"}};
    // Title blocks inside Ogg pages would break them.
    titles = titles && form != Form::opus;
    if (titles) {
        fields["icy-metaint"] = std::to_string(Icy::metaint);
        fields["icy-name"] = stationName();
        fields["icy-br"] = std::to_string(
            (form == Form::full ? StationConfig::bitrate : StationConfig::lightBitrate) / 1000);
        fields["icy-pub"] = "0";
    }
    session_.emplace(socket_, *lane_.io, asio::buffer(lane_.scratch), weak_from_this(),
                     [this] { close(); });
    // The head goes out in the same write as the burst that join() queued.
    session_->start(
        id, std::move(seat),
        responseHead(200, form == Form::opus ? "audio/ogg" : "audio/aac", std::nullopt, fields),
        titles ? &server_.titles.at : nullptr);
}

void StreamServer::Connection::takeBody(std::string_view head, Route::Kind kind) {
    const auto text = [this](int status, std::string_view body) {
        send(responseHead(status, "text/plain; charset=utf-8", body.size()) + std::string(body));
    };
    // No chunked bodies: a length must come first.
    const auto length = headerField(head, "Content-Length");
    if (!length || headerField(head, "Transfer-Encoding"))
        return text(411, "Say how long the body is\n");
    if (length->empty() || length->size() > 9 ||
        !std::ranges::all_of(*length, [](char c) { return c >= '0' && c <= '9'; }))
        return badRequest();
    bodyWanted_ = std::stoul(std::string(*length));
    if (bodyWanted_ > maxBody) return text(413, "Too long\n");
    // Only JSON: a bare form from another site cannot send it.
    const auto type = headerField(head, "Content-Type").value_or("");
    const auto media = type.substr(0, type.find(';'));
    const auto trimmed = media.substr(0, media.find_last_not_of(" \t") + 1);
    if (!std::ranges::equal(trimmed, std::string_view("application/json"), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == b;
        }))
        return text(415, "Send JSON\n");
    bodyKind_ = kind;
    // The body has what is left of the head's time.
    deadline_.expires_at(opened_ + server_.limits.headTimeout);
    deadline_.async_wait([weak = weak_from_this()](std::error_code error) {
        if (auto self = weak.lock(); self && !error) self->close();
    });
    readBody();
}

void StreamServer::Connection::readBody() {
    if (body_.size() >= bodyWanted_) {
        deadline_.cancel();
        return took(std::string_view(body_).substr(0, bodyWanted_));
    }
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](std::error_code error) {
        std::size_t received = 0;
        if (!error) received = self->socket_.read_some(asio::buffer(self->lane_.scratch), error);
        if (error == asio::error::would_block) return self->readBody();
        if (error) return self->close();
        self->body_.append(self->lane_.scratch.data(), received);
        self->readBody();
    });
}

void StreamServer::Connection::took(std::string_view body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    const auto field = [&](const char* name) -> const std::string* {
        if (!json.is_object()) return nullptr;
        const auto found = json.find(name);
        return found != json.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                         : nullptr;
    };
    const auto* tag = field("l");
    if (!tag || tag->empty()) return badRequest();
    const auto label = prefixGraphemes(*tag, tagCharacters);
    const auto now = std::chrono::steady_clock::now();
    auto answer = Audience::Answer::notListening;
    if (bodyKind_ == Route::Kind::react) {
        const auto* name = field("r");
        const auto reaction = name ? reactionNamed(*name) : std::nullopt;
        if (!reaction) return badRequest();
        answer = server_.audience->react(label, visitor_, *reaction, now);
    } else {
        const auto* name = field("name");
        if (!name) return badRequest();
        answer = server_.audience->name(label, visitor_, *name, now);
    }
    switch (answer) {
    case Audience::Answer::taken:
        return send(responseHead(204, std::nullopt, std::nullopt));
    case Audience::Answer::tooMany:
        return refuse(429, "Slow down\n", "1");
    case Audience::Answer::notListening:
        break;
    }
    constexpr std::string_view notListening = "Only a listener can do that\n";
    send(responseHead(403, "text/plain; charset=utf-8", notListening.size()) +
         std::string(notListening));
}

void StreamServer::Connection::endHeadPhase() {
    if (!readingHead_) return;
    readingHead_ = false;
    --server_.readingHeads;
    deadline_.cancel();
    head_ = std::string();
}

} // namespace lantern
