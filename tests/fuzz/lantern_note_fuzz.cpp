// Companion notes come from another program on the session bus: any text must
// give a titled record with an optional typed cover, or nothing.
#include "core/nowplaying/now_playing.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto parsed = lantern::parseLanternNote(text, "Hearken")) {
        if (parsed->first.title.empty() || parsed->first.coverURL) std::abort();
        if (parsed->second && parsed->second->bytes.size() <= 8) std::abort();
        lantern::nowPlayingFromJSON(lantern::toJSON(parsed->first));
    }
    lantern::nowPlayingFromJSON(text);
    return 0;
}
