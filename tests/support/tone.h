#pragma once

#include <span>
#include <string>
#include <vector>

namespace lantern::test {

// Decodes an audio file or stream (our ADTS stream) to mono float at `rate`
// with the ffmpeg program, its first `seconds` when given; empty when ffmpeg
// fails.
std::vector<float> decodeMono(const std::string& input, int rate, double seconds = 0);

// The power of `hertz` in every `stride`-th sample starting at the first
// (Goertzel, averaged over quarter-second blocks): a full-scale sine gives
// about 0.25.
double tonePower(std::span<const float> samples, double rate, double hertz, int stride = 1);

// Whether `hertz` clearly sounds in `samples`: well above silence and far above
// an unrelated frequency.
bool sounds(std::span<const float> samples, double rate, double hertz, int stride = 1);

} // namespace lantern::test
