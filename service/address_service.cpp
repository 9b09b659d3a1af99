#include "address_service.h"

#include <algorithm>
#include <array>
#include <boost/asio/ip/address.hpp>
#include <boost/url/parse.hpp>
#include <chrono>
#include <nlohmann/json.hpp>
#include <sodium.h>

namespace lantern::addressd {

using nlohmann::json;

namespace {

constexpr std::int64_t hour = 3600;

Response plain(int status, std::string text) {
    return {status, "text/plain; charset=utf-8", std::move(text) + "\n", {}};
}

Response noContent() {
    return {204, {}, {}, {}};
}

std::string randomSecret() {
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    std::string out(
        sodium_base64_ENCODED_LEN(sizeof bytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes, sizeof bytes,
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    out.resize(out.find('\0'));
    return out;
}

std::string randomKeptPath() {
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string path = "/s/";
    for (int i = 0; i < 10; ++i)
        path += alphabet[randombytes_uniform(36)];
    return path;
}

// The body as a JSON object, or nothing when it is anything else.
std::optional<json> object(const std::string& body) {
    auto parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

// `value[key]` when it is a string.
const std::string* string(const json& value, const char* key) {
    const auto found = value.find(key);
    return found != value.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                      : nullptr;
}

// Whether the station has a passcode: "hasPasscode" (true or false), or, from
// older stations, a non-empty "passcode", which is read for that alone and
// never kept. Nothing when the body says it in neither form.
std::optional<bool> hasPasscode(const json& body, bool required) {
    if (const auto found = body.find("hasPasscode"); found != body.end())
        return found->is_boolean() ? std::optional(found->get<bool>()) : std::nullopt;
    if (const auto found = body.find("passcode"); found != body.end())
        return found->is_string() ? std::optional(!found->get_ref<const std::string&>().empty())
                                  : std::nullopt;
    return required ? std::nullopt : std::optional(false);
}

std::string trim(std::string text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

bool RateLimit::allow(const std::string& key, std::int64_t now) {
    auto found = events_.find(key);
    if (found != events_.end()) {
        ages_.splice(ages_.begin(), ages_, found->second.age);
    } else {
        if (events_.size() >= keys_) {
            events_.erase(ages_.back());
            ages_.pop_back();
        }
        ages_.push_front(key);
        found = events_.emplace(key, Events{{}, ages_.begin()}).first;
    }
    auto& events = found->second.at;
    while (!events.empty() && events.front() <= now - hour)
        events.pop_front();
    if (static_cast<int>(events.size()) >= limit_) return false;
    events.push_back(now);
    return true;
}

AddressService::AddressService(Config config, Clock clock)
    : config_(std::move(config)), clock_(std::move(clock)), book_(config_.database),
      claims_(config_.claimsPerHour), allClaims_(config_.claimsPerHourTotal),
      updates_(config_.updatesPerHour) {}

AddressService::AddressService(Config config)
    : AddressService(std::move(config), [] {
          return std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
              .count();
      }) {}

bool AddressService::validName(const std::string& name) {
    if (name.size() < 3 || name.size() > 30 || name.front() == '-' || name.back() == '-')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool AddressService::reservedName(const std::string& name) {
    static constexpr std::array<std::string_view, 48> reserved = {
        "about",      "abuse",    "account",  "admin",    "api",        "app",       "assets",
        "auth",       "blog",     "cdn",      "contact",  "css",        "dashboard", "dev",
        "docs",       "download", "favicon",  "files",    "ftp",        "help",      "home",
        "hostmaster", "images",   "img",      "info",     "js",         "legal",     "login",
        "logout",     "mail",     "media",    "news",     "postmaster", "privacy",   "register",
        "robots",     "root",     "security", "settings", "signin",     "signup",    "static",
        "status",     "support",  "terms",    "test",     "webmaster",  "www",
    };
    return std::find(reserved.begin(), reserved.end(), name) != reserved.end();
}

bool AddressService::allowedURL(const std::string& text) const {
    if (text.size() > 2048) return false;
    const auto parsed = boost::urls::parse_absolute_uri(text);
    if (!parsed || parsed->has_userinfo() || parsed->has_query() || parsed->has_fragment() ||
        !(parsed->path().empty() || parsed->path() == "/"))
        return false;
    const auto scheme = lower(std::string(parsed->scheme()));
    const auto host = lower(std::string(parsed->host()));
    const auto suffix = "." + config_.tunnelDomain;
    if (scheme == "https" && !parsed->has_port() && host.size() > suffix.size() &&
        host.ends_with(suffix))
        return true;
    auto origin = scheme + "://" + host;
    if (parsed->has_port()) origin += ":" + std::string(parsed->port());
    return std::find(config_.allowedOrigins.begin(), config_.allowedOrigins.end(), origin) !=
           config_.allowedOrigins.end();
}

// The peer, or, when the peer is a trusted proxy, the nearest address in
// X-Forwarded-For that is not one (the one a trusted proxy saw connect).
std::string AddressService::clientAddress(const Request& request) const {
    const auto trusted = [&](const std::string& address) {
        return std::find(config_.trustedProxies.begin(), config_.trustedProxies.end(), address) !=
               config_.trustedProxies.end();
    };
    // One subscriber holds a whole IPv6 /64: it counts as one client.
    const auto client = [](const std::string& address) {
        boost::system::error_code error;
        const auto parsed = boost::asio::ip::make_address(address, error);
        if (error || !parsed.is_v6()) return address;
        const auto v6 = parsed.to_v6();
        if (v6.is_v4_mapped())
            return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string();
        auto bytes = v6.to_bytes();
        std::fill(bytes.begin() + 8, bytes.end(), 0);
        return boost::asio::ip::address_v6(bytes).to_string() + "/64";
    };
    if (!trusted(request.peer) || request.forwardedFor.empty()) return client(request.peer);
    std::string rest = request.forwardedFor;
    while (!rest.empty()) {
        const auto comma = rest.rfind(',');
        const auto hop = trim(comma == std::string::npos ? rest : rest.substr(comma + 1));
        rest = comma == std::string::npos ? std::string() : rest.substr(0, comma);
        if (!hop.empty() && !trusted(hop)) return client(hop);
    }
    return client(request.peer);
}

Response AddressService::handle(const Request& request) {
    try {
        return answer(request);
    } catch (const StoreError&) {
        auto busy = plain(503, "The service is busy. Try again shortly.");
        busy.headers.emplace_back("Retry-After", "5");
        return busy;
    }
}

Response AddressService::answer(const Request& request) {
    if (request.body.size() > maxBody) return plain(413, "Request body too large.");
    auto path = request.target.substr(0, request.target.find('?'));
    if (path == "/api/claim") {
        if (request.method == "POST") return claim(request);
    } else if (path == "/api/live") {
        if (request.method == "PUT") return live(request, true);
        if (request.method == "DELETE") return live(request, false);
    } else if (path == "/api/settings") {
        if (request.method == "PATCH") return settings(request);
    } else if (path == "/api") {
        // What answers here: a station checks that it found an address service.
        if (request.method == "GET")
            return {200, "application/json", json{{"service", "lantern-addressd"}}.dump(), {}};
    } else if (request.method == "GET" || request.method == "HEAD") {
        return visit(lower(path), request.method == "HEAD");
    } else {
        return plain(404, "Not found.");
    }
    return plain(405, "Method not allowed.");
}

Response AddressService::claim(const Request& request) {
    const auto now = clock_();
    if (!claims_.allow(clientAddress(request), now) || !allClaims_.allow({}, now))
        return plain(429, "Too many claims.");
    const auto body = object(request.body);
    if (!body) return plain(400, "Expected a JSON object.");
    const auto showLast = body->find("showLast");
    if (showLast != body->end() && !showLast->is_boolean())
        return plain(400, "showLast must be true or false.");
    const bool show = showLast != body->end() && showLast->get<bool>();
    const auto passcode = addressd::hasPasscode(*body, false);
    if (!passcode) return plain(400, "hasPasscode must be true or false.");
    const bool hasPasscode = *passcode;
    const auto secret = randomSecret();

    if (body->contains("name")) {
        const auto* name = string(*body, "name");
        if (!name || !validName(*name)) return plain(400, "Not a valid name.");
        if (reservedName(*name)) return plain(409, "That name is taken.");
        const auto path = "/" + *name;
        if (book_.claim(path, secret, show, hasPasscode, now, now - unusedFor) ==
            AddressBook::Claimed::taken)
            return plain(409, "That name is taken.");
        return {201, "application/json", json{{"path", path}, {"secret", secret}}.dump(), {}};
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        const auto path = randomKeptPath();
        if (book_.claim(path, secret, show, hasPasscode, now, now - unusedFor) ==
            AddressBook::Claimed::ok)
            return {201, "application/json", json{{"path", path}, {"secret", secret}}.dump(), {}};
    }
    return plain(500, "Could not find a free address.");
}

Response AddressService::live(const Request& request, bool on) {
    const auto body = object(request.body);
    const auto* path = body ? string(*body, "path") : nullptr;
    const auto* secret = body ? string(*body, "secret") : nullptr;
    const auto* url = body ? string(*body, "url") : nullptr;
    const auto* name = body ? string(*body, "name") : nullptr;
    if (!path || !secret || (on && (!url || !name)))
        return plain(400,
                     on ? "Expected path, secret, url and name." : "Expected path and secret.");
    if (!book_.find(*path)) return plain(404, "No such address.");
    if (!book_.owns(*path, *secret)) return plain(403, "Wrong secret.");
    if (!updates_.allow(*path, clock_())) return plain(429, "Too many updates.");
    if (!on) {
        book_.clearLive(*path);
        return noContent();
    }
    if (!allowedURL(*url)) return plain(400, "Not an address this service forwards to.");
    if (name->size() > 200) return plain(400, "The name is too long.");
    book_.setLive(*path, *url, *name, clock_());
    return noContent();
}

Response AddressService::settings(const Request& request) {
    const auto body = object(request.body);
    const auto* path = body ? string(*body, "path") : nullptr;
    const auto* secret = body ? string(*body, "secret") : nullptr;
    const auto passcode = body ? hasPasscode(*body, true) : std::nullopt;
    const auto showLast = body ? body->find("showLast") : json::const_iterator();
    if (!path || !secret || !passcode || showLast == body->end() || !showLast->is_boolean())
        return plain(400, "Expected path, secret, hasPasscode and showLast.");
    if (!book_.find(*path)) return plain(404, "No such address.");
    if (!book_.owns(*path, *secret)) return plain(403, "Wrong secret.");
    if (!updates_.allow(*path, clock_())) return plain(429, "Too many updates.");
    book_.setSettings(*path, showLast->get<bool>(), *passcode);
    return noContent();
}

Response AddressService::visit(const std::string& path, bool head) {
    const auto entry = book_.find(path);
    Response response;
    response.headers = {{"Cache-Control", "no-store"}};
    if (entry && !entry->liveURL.empty() && clock_() - entry->liveAt <= liveFor) {
        response.status = 302;
        response.headers.emplace_back("Location", entry->liveURL);
        return response;
    }
    response.contentType = "text/html; charset=utf-8";
    const auto name =
        entry && !entry->liveName.empty() ? escapeHTML(entry->liveName) : std::string("Lantern FM");
    const std::string line = entry ? "This station is off air" : "There is no station here";
    response.status = entry ? 200 : 404;
    if (!head)
        response.body =
            "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">" +
            std::string(entry ? "<meta http-equiv=\"refresh\" content=\"30\">" : "") + "<title>" +
            name +
            "</title><style>body{margin:0;min-height:100vh;display:flex;align-items:center;"
            "justify-content:center;background:#15131a;color:#f2eef5;font:16px system-ui,"
            "sans-serif;text-align:center}h1{font-size:22px;margin:0 0 8px}p{margin:0;"
            "color:#a59fb0}</style></head><body><main><h1>" +
            name + "</h1><p>" + line + ".</p>" +
            (entry ? "<p>This page will open the station when it is back.</p>" : "") +
            "</main></body></html>\n";
    return response;
}

std::string escapeHTML(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace lantern::addressd
