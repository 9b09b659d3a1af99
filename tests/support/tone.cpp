#include "support/tone.h"

#include "support/child_process.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

namespace lantern::test {

std::vector<float> decodeMono(const std::string& input, int rate, double seconds) {
    std::vector<std::string> command{"ffmpeg", "-v", "error", "-i", input};
    if (seconds > 0) command.insert(command.end(), {"-t", std::to_string(seconds)});
    command.insert(command.end(), {"-ac", "1", "-ar", std::to_string(rate), "-f", "f32le", "-"});
    const auto result = runProgram(command, std::chrono::seconds(60));
    if (result.status != 0) return {};
    std::vector<float> samples(result.output.size() / sizeof(float));
    std::memcpy(samples.data(), result.output.data(), samples.size() * sizeof(float));
    return samples;
}

double tonePower(std::span<const float> samples, double rate, double hertz, int stride) {
    // Averaged over quarter-second blocks: a dropped or repeated stretch
    // shifts the tone's phase, which would cancel it in one long sum.
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * hertz / rate);
    const auto step = static_cast<std::size_t>(stride);
    const auto block = std::max<std::size_t>(1, static_cast<std::size_t>(rate / 4));
    double total = 0;
    std::size_t blocks = 0;
    for (std::size_t start = 0; start < samples.size(); start += block * step) {
        double previous = 0, before = 0;
        std::size_t count = 0;
        for (std::size_t i = start; i < samples.size() && count < block; i += step, ++count)
            before = std::exchange(previous, samples[i] + coefficient * previous - before);
        // A short tail would weigh as much as a whole block: leave it out
        // unless it is all there is.
        if (count < block && blocks > 0) break;
        total += (previous * previous + before * before - coefficient * previous * before) /
                 static_cast<double>(count * count);
        ++blocks;
    }
    return blocks == 0 ? 0 : total / static_cast<double>(blocks);
}

bool sounds(std::span<const float> samples, double rate, double hertz, int stride) {
    const double power = tonePower(samples, rate, hertz, stride);
    return power > 1e-4 && power > 50 * tonePower(samples, rate, 3100, stride);
}

} // namespace lantern::test
