#include "options.h"

#include <charconv>
#include <fstream>
#include <stdexcept>

namespace lantern::addressd {

const char* const usage = R"(Usage: lantern-addressd [OPTION]...
Gives Lantern FM stations stable addresses: a kept "/s/..." address or a chosen
name that forwards visitors to the station's current tunnel while it is on air.
Run it behind a reverse proxy that adds TLS; stations are started with
--addressBase=https://YOUR-HOST.

  --listen=HOST:PORT        where to listen (default 127.0.0.1:8470; port 0: any)
  --database=PATH           the SQLite database (default ./lantern-addressd.db);
                            created when missing
  --config=FILE             read options from FILE first, one "key = value" per
                            line (keys as below without "--"; "#" starts a comment)
  --claims-per-hour=N       claims allowed per client address per hour (default 20;
                            an IPv6 /64 counts as one address)
  --claims-per-hour-total=N claims allowed from everyone together per hour
                            (default 500)
  --updates-per-hour=N      announcements and settings changes allowed per address
                            per hour (default 240; a live station announces once a
                            minute)
  --max-connections=N       connections held at once; further ones are closed
                            (default 1024; keep it below the open-file limit)
  --trusted-proxy=ADDRESS   a proxy whose X-Forwarded-For names the client
                            (repeat or separate with commas)
  --allow-origin=ORIGIN     an origin such as https://radio.example.org that
                            stations may announce besides https://*.trycloudflare.com
                            (repeat or separate with commas)
  --tunnel-domain=DOMAIN    the quick tunnels' domain (default trycloudflare.com)
  --help                    show this and exit
)";

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

int count(const std::string& key, const std::string& value) {
    int number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size() || number < 1)
        throw std::invalid_argument(key + " needs a whole number of at least 1, not \"" + value +
                                    "\"");
    return number;
}

void appendList(std::vector<std::string>& list, const std::string& value) {
    std::size_t start = 0;
    while (start <= value.size()) {
        const auto comma = value.find(',', start);
        const auto item = trim(value.substr(start, comma - start));
        if (!item.empty()) list.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

void apply(Config& config, const std::string& key, const std::string& value) {
    if (key == "listen") {
        const auto colon = value.rfind(':');
        if (colon == std::string::npos || colon == 0)
            throw std::invalid_argument("listen needs HOST:PORT, not \"" + value + "\"");
        config.listen = value;
    } else if (key == "database") {
        if (value.empty()) throw std::invalid_argument("database needs a path");
        config.database = value;
    } else if (key == "claims-per-hour") {
        config.claimsPerHour = count(key, value);
    } else if (key == "claims-per-hour-total") {
        config.claimsPerHourTotal = count(key, value);
    } else if (key == "max-connections") {
        config.maxConnections = count(key, value);
    } else if (key == "updates-per-hour") {
        config.updatesPerHour = count(key, value);
    } else if (key == "trusted-proxy") {
        appendList(config.trustedProxies, value);
    } else if (key == "allow-origin") {
        appendList(config.allowedOrigins, value);
    } else if (key == "tunnel-domain") {
        config.tunnelDomain = value;
    } else {
        throw std::invalid_argument("unknown option \"" + key + "\" (see --help)");
    }
}

void readFile(Config& config, const std::string& file) {
    std::ifstream in(file);
    if (!in) throw std::invalid_argument("cannot read the config file " + file);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        line = trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            throw std::invalid_argument(file + ":" + std::to_string(number) +
                                        ": expected \"key = value\"");
        try {
            apply(config, trim(line.substr(0, equals)), trim(line.substr(equals + 1)));
        } catch (const std::invalid_argument& error) {
            throw std::invalid_argument(file + ":" + std::to_string(number) + ": " + error.what());
        }
    }
}

} // namespace

Config parseOptions(const std::vector<std::string>& arguments, bool* help) {
    Config config;
    *help = false;
    std::vector<std::pair<std::string, std::string>> given;
    for (const auto& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            *help = true;
            return config;
        }
        const auto equals = argument.find('=');
        if (!argument.starts_with("--") || equals == std::string::npos)
            throw std::invalid_argument("expected --key=value, not \"" + argument + "\"");
        given.emplace_back(argument.substr(2, equals - 2), argument.substr(equals + 1));
    }
    for (const auto& [key, value] : given)
        if (key == "config") readFile(config, value);
    for (const auto& [key, value] : given)
        if (key != "config") apply(config, key, value);
    return config;
}

} // namespace lantern::addressd
