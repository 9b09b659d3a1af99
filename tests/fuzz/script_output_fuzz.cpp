// Whatever a player prints must give a record with a title, or nothing.
#include "core/nowplaying/now_playing.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto record = lantern::parseScriptOutput(text, "Music")) {
        if (record->title.empty() || record->source != "Music") std::abort();
        lantern::toJSON(*record);
    }
    return 0;
}
