// The tunnel tool's log: a URL found in a line must be part of it and of the
// quick-tunnel form, and a whole log gives at most one URL, from the line
// after the announcement's heading.
#include "core/link/tunnel_log.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view log(reinterpret_cast<const char*>(data), size);
    if (const auto url = lantern::tunnelURL(log)) {
        if (log.find(*url) == std::string_view::npos || !url->starts_with("https://") ||
            !url->ends_with(".trycloudflare.com"))
            std::abort();
    }
    lantern::LineBuffer buffer;
    lantern::TunnelAnnouncement announcement;
    int found = 0;
    for (const auto& line : buffer.add(log)) {
        const bool heardBefore = announcement.heard();
        if (const auto url = announcement.read(line)) {
            if (++found > 1 || !heardBefore || lantern::tunnelURL(*url) != *url ||
                line.find(*url) == std::string::npos)
                std::abort();
        }
    }
    return 0;
}
