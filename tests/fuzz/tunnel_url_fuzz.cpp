// Log lines of the tunnel tool: a URL found must be part of the line and of
// the quick-tunnel form.
#include "link/tunnel_supervisor.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    if (const auto url = lantern::tunnelURL(line)) {
        if (line.find(*url) == std::string_view::npos || !url->starts_with("https://") ||
            !url->ends_with(".trycloudflare.com"))
            std::abort();
    }
    return 0;
}
