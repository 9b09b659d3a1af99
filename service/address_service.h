#pragma once

#include "address_book.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lantern::addressd {

// How the service is run; see `lantern-addressd --help`.
struct Config {
    std::string listen = "127.0.0.1:8470";
    std::string database = "lantern-addressd.db";
    int claimsPerHour = 20;                  // per client address (an IPv6 /64 as one)
    int claimsPerHourTotal = 500;            // from everyone together
    int updatesPerHour = 240;                // per address; a live station announces once a minute
    int maxConnections = 1024;               // held at once; further ones are closed at accept
    std::vector<std::string> trustedProxies; // peers whose X-Forwarded-For is believed
    // Origins ("scheme://host[:port]") a station may announce besides the
    // quick tunnels' https addresses.
    std::vector<std::string> allowedOrigins;
    std::string tunnelDomain = "trycloudflare.com";
};

struct Request {
    std::string method;
    std::string target;
    std::string body;
    std::string forwardedFor; // the X-Forwarded-For header, if any
    std::string peer;         // the connecting socket's address
};

struct Response {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// At most `limit` events per key in any hour. At most `keys` keys are
// remembered, so that a flood of clients costs bounded memory; the one heard
// from longest ago is forgotten first (a global budget beside it keeps that
// from being a way round the limit).
class RateLimit {
public:
    explicit RateLimit(int limit, std::size_t keys = 10000) : limit_(limit), keys_(keys) {}
    bool allow(const std::string& key, std::int64_t now);
    std::size_t remembered() const { return events_.size(); }

private:
    struct Events {
        std::deque<std::int64_t> at;
        std::list<std::string>::iterator age;
    };
    int limit_;
    std::size_t keys_;
    std::unordered_map<std::string, Events> events_;
    std::list<std::string> ages_; // most recently heard from first
};

// What the service answers, independent of the HTTP plumbing: the claim,
// announcement and settings API, and visitors' redirects.
class AddressService {
public:
    using Clock = std::function<std::int64_t()>; // unix seconds

    // Throws StoreError when the database cannot be opened.
    AddressService(Config config, Clock clock);
    explicit AddressService(Config config);

    // A database that fails (locked by another writer, a full disk) fails
    // that request alone, with 503: the service goes on serving.
    Response handle(const Request& request);

    static constexpr std::size_t maxBody = 16 * 1024;
    // An announcement not refreshed for this long counts as off air.
    static constexpr std::int64_t liveFor = 180;
    // An address neither claimed nor announced for this long may be claimed again.
    static constexpr std::int64_t unusedFor = 180 * 24 * 3600;

    // The rules, public for their tests.
    static bool validName(const std::string& name);
    // Names a host needs for itself, never handed out.
    static bool reservedName(const std::string& name);
    bool allowedURL(const std::string& url) const;
    std::string clientAddress(const Request& request) const;

private:
    Response answer(const Request& request);
    Response claim(const Request& request);
    Response live(const Request& request, bool on);
    Response settings(const Request& request);
    Response visit(const std::string& path, bool head);

    Config config_;
    Clock clock_;
    AddressBook book_;
    RateLimit claims_;
    RateLimit allClaims_;
    RateLimit updates_;
};

std::string escapeHTML(const std::string& text);

} // namespace lantern::addressd
