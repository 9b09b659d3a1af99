#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lantern {

// Cover art: the image bytes and their MIME type.
struct Cover {
    std::vector<std::uint8_t> bytes;
    std::string type;

    friend bool operator==(const Cover&, const Cover&) = default;
};

// Types image bytes by their first bytes: "image/png" for the PNG signature,
// "image/jpeg" for anything else.
Cover coverOf(std::vector<std::uint8_t> bytes);

} // namespace lantern
