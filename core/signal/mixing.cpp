#include "core/signal/mixing.h"

#include <algorithm>
#include <cmath>

namespace lantern {

float Ducker::next(float voicePeak, double seconds) {
    float target = dipped;
    double timeConstant = attack;
    if (voicePeak > threshold) {
        sinceVoice_ = 0;
    } else {
        sinceVoice_ += seconds;
        if (sinceVoice_ > hold) {
            target = 1.0f;
            timeConstant = release;
        }
    }
    const auto decay = static_cast<float>(std::exp(-seconds / timeConstant));
    gain_ = target + (gain_ - target) * decay;
    return gain_;
}

namespace {

constexpr float knee = 0.9f;
constexpr float range = 0.1f;

float softLimit(float y) {
    const float magnitude = std::fabs(y);
    if (magnitude <= knee) return y;
    const auto limited =
        knee +
        range * static_cast<float>(std::tanh(static_cast<double>((magnitude - knee) / range)));
    return y < 0 ? -limited : limited;
}

} // namespace

std::vector<float> mix(std::span<const float> music, std::span<const float> voice,
                       float musicGain) {
    std::vector<float> out;
    mixInto(music, voice, musicGain, out);
    return out;
}

void mixInto(std::span<const float> music, std::span<const float> voice, float musicGain,
             std::vector<float>& out) {
    out.resize(music.size());
    const auto overlap = std::min(music.size(), voice.size());
    for (std::size_t i = 0; i < overlap; ++i)
        out[i] = softLimit(musicGain * music[i] + voice[i]);
    for (std::size_t i = overlap; i < music.size(); ++i)
        out[i] = softLimit(musicGain * music[i]);
}

float peakOf(std::span<const float> samples) {
    float peak = 0;
    for (const float sample : samples)
        peak = std::max(peak, std::fabs(sample));
    return peak;
}

} // namespace lantern
