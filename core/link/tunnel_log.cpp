#include "core/link/tunnel_log.h"

#include "core/stream/text.h"

#include <algorithm>

namespace lantern {

namespace {

constexpr std::string_view scheme = "https://";
constexpr std::string_view domain = ".trycloudflare.com";
constexpr std::string_view heading = "Your quick Tunnel has been created!";

bool isLabelCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isAsciiAlphanumeric(char c) {
    return isLabelCharacter(c) || (c >= 'A' && c <= 'Z');
}

// Whether the text after a matched URL carries it on (a longer host name, a
// port, a path, a query...), which would make the match only part of a URL.
bool continuesURL(std::string_view rest) {
    if (rest.empty()) return false;
    const char next = rest.front();
    if (next == '.') return rest.size() > 1 && (isAsciiAlphanumeric(rest[1]) || rest[1] == '-');
    return isAsciiAlphanumeric(next) ||
           std::string_view("-_~:/?#@%").find(next) != std::string_view::npos;
}

// Length of "label(-label)+" at the start of `text`, or 0.
std::size_t hostLabelLength(std::string_view text) {
    std::size_t at = 0, groups = 0;
    for (;;) {
        const auto start = at;
        while (at < text.size() && isLabelCharacter(text[at]))
            ++at;
        if (at == start) return 0; // an empty group: no dash may end the label
        ++groups;
        if (at < text.size() && text[at] == '-' && at + 1 < text.size() &&
            isLabelCharacter(text[at + 1])) {
            ++at;
            continue;
        }
        return groups >= 2 ? at : 0;
    }
}

std::string_view trimSpaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// What stands inside the box on an information line, "TIMESTAMP INF |  TEXT  |"
// (or the bare "|  TEXT  |"): TEXT without its padding. Nothing for any other
// line, a warning or an error included.
std::optional<std::string_view> boxed(std::string_view line) {
    line = trimSpaces(line);
    const auto bar = line.find('|');
    if (bar == std::string_view::npos) return std::nullopt;
    const auto before = trimSpaces(line.substr(0, bar));
    if (!before.empty()) {
        // Exactly a time stamp and the information level.
        const auto space = before.find_first_of(" \t");
        if (space == std::string_view::npos || trimSpaces(before.substr(space)) != "INF")
            return std::nullopt;
    }
    const auto inside = line.substr(bar + 1);
    if (inside.empty() || inside.back() != '|') return std::nullopt;
    return trimSpaces(inside.substr(0, inside.size() - 1));
}

} // namespace

std::optional<std::string> tunnelURL(std::string_view line) {
    for (auto found = line.find(scheme); found != std::string_view::npos;
         found = line.find(scheme, found + 1)) {
        const auto afterScheme = line.substr(found + scheme.size());
        const auto label = hostLabelLength(afterScheme);
        if (label == 0 || !afterScheme.substr(label).starts_with(domain)) continue;
        const auto length = scheme.size() + label + domain.size();
        if (continuesURL(line.substr(found + length))) continue;
        return std::string(line.substr(found, length));
    }
    return std::nullopt;
}

std::optional<std::string> TunnelAnnouncement::read(std::string_view line) {
    switch (state_) {
    case State::waiting:
        if (const auto text = boxed(line); text && text->starts_with(heading))
            state_ = State::heading;
        return std::nullopt;
    case State::heading: {
        // Whatever this line holds, the announcement is over with it.
        state_ = State::over;
        const auto text = boxed(line);
        if (!text) return std::nullopt;
        auto url = tunnelURL(*text);
        if (!url || *url != *text) return std::nullopt;
        return url;
    }
    case State::over:
        break;
    }
    return std::nullopt;
}

std::vector<std::string> LineBuffer::add(std::string_view bytes) {
    std::vector<std::string> lines;
    for (auto feed = bytes.find('\n'); feed != std::string_view::npos; feed = bytes.find('\n')) {
        keep(bytes.substr(0, feed));
        lines.push_back(decodeUtf8Lossy(buffer_));
        buffer_.clear();
        bytes.remove_prefix(feed + 1);
    }
    keep(bytes);
    return lines;
}

void LineBuffer::keep(std::string_view bytes) {
    buffer_.append(bytes.substr(0, std::min(bytes.size(), limit - buffer_.size())));
}

} // namespace lantern
