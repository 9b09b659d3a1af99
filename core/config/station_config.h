#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace lantern {

// Station-wide constants.
namespace StationConfig {
inline constexpr int bitrate = 192000;      // bits per second of the AAC stream
inline constexpr int lightBitrate = 64000;  // of the light stream, in either form
inline constexpr double burstSeconds = 7.0; // recent audio a new listener gets at once
inline constexpr int burstBytes = static_cast<int>(bitrate / 8.0 * burstSeconds); // 168000
inline constexpr std::array<double, 3> stopAfterChoices{1800.0, 3600.0, 7200.0};
inline constexpr std::size_t perListenerLimit = 256; // chunks queued per listener
} // namespace StationConfig

// The source id that stands for everything the computer plays (any other
// source id is an application's).
inline constexpr std::string_view wholeComputerID = "whole-mac";

} // namespace lantern
