#pragma once

#include <span>
#include <string>
#include <vector>

namespace lantern::test {

// Decodes an audio file (our ADTS stream) to mono float at `rate` with the
// ffmpeg program; empty when ffmpeg fails.
std::vector<float> decodeMono(const std::string& path, int rate);

// The frequency, in steps of 10 Hz between 100 Hz and rate/2, with the most
// energy in `samples` (a plain DFT: slow but test-sized).
double dominantFrequency(std::span<const float> samples, int rate);

} // namespace lantern::test
