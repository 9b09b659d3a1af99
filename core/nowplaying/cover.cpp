#include "core/nowplaying/cover.h"

#include <algorithm>
#include <array>

namespace lantern {

Cover coverOf(std::vector<std::uint8_t> bytes) {
    static constexpr std::array<std::uint8_t, 4> png{0x89, 0x50, 0x4E, 0x47};
    const bool isPng =
        bytes.size() >= png.size() && std::equal(png.begin(), png.end(), bytes.begin());
    return Cover{std::move(bytes), isPng ? "image/png" : "image/jpeg"};
}

} // namespace lantern
