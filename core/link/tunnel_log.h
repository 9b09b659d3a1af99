#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lantern {

// The public URL in one line of the tunnel tool's log: the first
// "https://" + two or more groups of lowercase letters and digits joined by
// single dashes + ".trycloudflare.com" that does not go on as a longer host,
// a port or a path.
std::optional<std::string> tunnelURL(std::string_view logLine);

// The URL that one launch of the tool announces, read from its log. The tool
// announces a quick tunnel once, in a box, before any visitor can reach it:
//
//   2026-12-06T10:00:01Z INF |  Your quick Tunnel has been created! Visit it at ...  |
//   2026-12-06T10:00:01Z INF |  https://quiet-river-4821.trycloudflare.com          |
//
// Only the line right after that heading can give the URL, and only when it
// holds nothing but the URL inside the box. Every later line is the tool
// talking about traffic, visitors' request URLs included: nothing after the
// announcement, and no line of any other shape, yields a URL.
class TunnelAnnouncement {
public:
    // The URL, for the one line that announces it; nothing for every other line.
    std::optional<std::string> read(std::string_view line);
    // The heading has been seen (the URL line may still be to come).
    bool heard() const { return state_ != State::waiting; }

private:
    enum class State { waiting, heading, over };
    State state_ = State::waiting;
};

// Bytes of the tool's standard error cut into lines at line feeds, decoded as
// UTF-8 with ill-formed sequences replaced. A line that no line feed has ended
// yet keeps at most `limit` bytes; the rest of it is dropped.
class LineBuffer {
public:
    static constexpr std::size_t limit = std::size_t{64} * 1024;
    std::vector<std::string> add(std::string_view bytes);

private:
    void keep(std::string_view bytes);
    std::string buffer_;
};

} // namespace lantern
