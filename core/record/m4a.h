#pragma once

#include "core/nowplaying/cover.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lantern {

// A named stretch of a recording, from `start` seconds into it.
struct Chapter {
    double start = 0;
    std::string title;

    friend bool operator==(const Chapter&, const Chapter&) = default;
};

struct M4AContents {
    std::string title;
    std::vector<Chapter> chapters; // in order of their starts
    std::optional<Cover> cover;    // PNG or JPEG; other images are left out
};

// Puts the ADTS stream in `adts` into an MP4 audio file at `out` as it is
// (remuxed, not encoded again), with the title tag, the chapters and the
// cover as its artwork. Written beside `out` and renamed over it when whole,
// so `out` is never half a file. The reason in words when it fails.
std::optional<std::string> writeM4A(const std::filesystem::path& adts,
                                    const std::filesystem::path& out, const M4AContents& contents);

} // namespace lantern
