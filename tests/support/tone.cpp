#include "support/tone.h"

#include "support/child_process.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace lantern::test {

std::vector<float> decodeMono(const std::string& path, int rate) {
    const auto result = runProgram({"ffmpeg", "-v", "error", "-i", path, "-ac", "1", "-ar",
                                    std::to_string(rate), "-f", "f32le", "-"},
                                   std::chrono::seconds(60));
    if (result.status != 0) return {};
    std::vector<float> samples(result.output.size() / sizeof(float));
    std::memcpy(samples.data(), result.output.data(), samples.size() * sizeof(float));
    return samples;
}

double dominantFrequency(std::span<const float> samples, int rate) {
    double best = 0, bestPower = -1;
    for (double hz = 100; hz < rate / 2.0; hz += 10) {
        const double step = 2 * std::numbers::pi * hz / rate;
        double re = 0, im = 0;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            re += samples[i] * std::cos(step * static_cast<double>(i));
            im += samples[i] * std::sin(step * static_cast<double>(i));
        }
        const double power = re * re + im * im;
        if (power > bestPower) {
            bestPower = power;
            best = hz;
        }
    }
    return best;
}

} // namespace lantern::test
