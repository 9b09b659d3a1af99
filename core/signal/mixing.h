#pragma once

#include <limits>
#include <span>
#include <vector>

namespace lantern {

// Follows the voice: lowers the music quickly while the user talks, holds it
// down through short pauses, then lets it back up.
class Ducker {
public:
    static constexpr float threshold = 0.05f; // a voice peak above this is talking
    static constexpr float dipped = 0.3f;     // music gain while talking
    static constexpr double attack = 0.03;    // time constant towards `dipped`, seconds
    static constexpr double hold = 0.45;      // pause that still counts as talking, seconds
    static constexpr double release = 0.3;    // time constant back to full gain, seconds

    // One buffer's step: its voice peak and its duration in seconds. Returns
    // the new music gain, which is also kept.
    float next(float voicePeak, double seconds);

    float gain() const { return gain_; }

private:
    float gain_ = 1.0f;
    double sinceVoice_ = std::numeric_limits<double>::infinity();
};

// music × musicGain + voice, sample by sample (voice beyond the music is
// ignored, missing voice is silence), through a soft limiter above 0.9 that
// keeps every magnitude below 1. The result is as long as the music.
std::vector<float> mix(std::span<const float> music, std::span<const float> voice, float musicGain);
// The same into `out`, which is resized to the music's length (no allocation
// once it has held a block that long).
void mixInto(std::span<const float> music, std::span<const float> voice, float musicGain,
             std::vector<float>& out);

// The largest magnitude among `samples` (0 for none).
float peakOf(std::span<const float> samples);

} // namespace lantern
