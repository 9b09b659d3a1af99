#include "core/signal/loudness.h"

#include <algorithm>
#include <cmath>

namespace lantern {

namespace {

float fromDb(double db) {
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

} // namespace

void MeterCloser::operator()(ebur128_state* meter) const {
    ebur128_destroy(&meter);
}

void sanitize(std::span<float> samples) {
    for (float& sample : samples)
        sample = std::isfinite(sample) ? std::clamp(sample, -4.0f, 4.0f) : 0.0f;
}

Leveller::Leveller(double rate, int channels)
    : meter_(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                          EBUR128_MODE_S)),
      rate_(rate), channels_(channels) {}

void Leveller::level(std::span<float> samples) {
    const auto frames = samples.size() / static_cast<std::size_t>(channels_);
    if (frames == 0) return;
    const double seconds = static_cast<double>(frames) / rate_;
    if (meter_) {
        ebur128_add_frames_float(meter_.get(), samples.data(), frames);
        unmeasured_ += seconds;
        if (unmeasured_ >= measureEvery) {
            unmeasured_ = 0;
            double momentary = -HUGE_VAL, shortTerm = -HUGE_VAL;
            ebur128_loudness_momentary(meter_.get(), &momentary);
            ebur128_loudness_shortterm(meter_.get(), &shortTerm);
            // Silence, or a source so quiet that raising it would raise its
            // noise: the gain stays as it is until there is music again.
            holding_ = !(momentary > quiet && shortTerm > quiet);
            if (!holding_) wanted_ = std::clamp(target - shortTerm, lowest, highest);
        }
    }
    const double from = gain_;
    if (!holding_)
        gain_ = wanted_ > gain_ ? std::min(wanted_, gain_ + rise * seconds)
                                : std::max(wanted_, gain_ - fall * seconds);
    // From the last block's gain to this one's, frame by frame.
    const float start = fromDb(from), end = fromDb(gain_);
    const float step = (end - start) / static_cast<float>(frames);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const float gain = start + step * static_cast<float>(frame + 1);
        for (int channel = 0; channel < channels_; ++channel)
            samples[frame * static_cast<std::size_t>(channels_) + channel] *= gain;
    }
}

PeakLimiter::PeakLimiter(double rate, int channels, double ceilingDb)
    : meter_(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                          EBUR128_MODE_TRUE_PEAK)),
      channels_(channels), ceiling_(fromDb(ceilingDb)),
      window_(static_cast<std::size_t>(std::ceil(lookAhead * rate / block))),
      release_(
          static_cast<float>(1 - std::exp(-static_cast<double>(block) / (rate * releaseTime)))) {
    const auto run = block * static_cast<std::size_t>(channels_);
    // Run k goes out once run k + window + 2 has come in (see completed()).
    input_.assign(run * (window_ + 3), 0.0f);
    peaks_.assign(window_ + 3, 1.0f);
    least_.assign(window_ + 1, 1.0f);
    filling_.assign(run, 0.0f);
    output_.assign(run, 0.0f);
    outputSize_ = run; // a run of silence first, so that a block is never short
    delay_ = block * (window_ + 3);
}

void PeakLimiter::limit(std::span<float> samples) {
    const auto channels = static_cast<std::size_t>(channels_);
    const auto run = block * channels;
    std::size_t at = 0;
    while (at + channels <= samples.size()) {
        const auto take =
            std::min((samples.size() - at) / channels * channels, run - filled_ * channels);
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), take,
                    filling_.begin() + static_cast<std::ptrdiff_t>(filled_ * channels));
        filled_ += take / channels;
        // What went in earlier comes out in its place: there is always as
        // much waiting as this run still lacks.
        std::copy_n(output_.begin() + static_cast<std::ptrdiff_t>(outputStart_), take,
                    samples.begin() + static_cast<std::ptrdiff_t>(at));
        outputStart_ += take;
        outputSize_ -= take;
        at += take;
        if (filled_ == block) {
            completed();
            filled_ = 0;
        }
    }
}

// With r the gain that keeps a run under the ceiling, no run goes out with a
// gain above its r. A run's r is taken with the next run's (the meter's
// oversampling reports a peak a few frames late): r'. The least r' over a
// run and the look-ahead before it, and one run more, is M. The average of M
// over the look-ahead is A: the gain ramps down over the look-ahead before a
// peak and back up after it, and each M averaged for a run is at most its r'
// and its predecessor's. A rises back no faster than the release lets it:
// S. Within a run the gain glides from its S to the next run's, both at most
// its r'. Run k coming in makes M of run k - 1 and S of run k - window - 1
// known, so run k - window - 2 goes out.
void PeakLimiter::completed() {
    const auto k = runs_++;
    const auto run = block * static_cast<std::size_t>(channels_);
    std::copy(filling_.begin(), filling_.end(),
              input_.begin() + static_cast<std::ptrdiff_t>((k % (window_ + 3)) * run));
    double peak = 0;
    if (meter_) {
        ebur128_add_frames_float(meter_.get(), filling_.data(), block);
        for (int channel = 0; channel < channels_; ++channel) {
            double channelPeak = 0;
            ebur128_prev_true_peak(meter_.get(), static_cast<unsigned>(channel), &channelPeak);
            peak = std::max(peak, channelPeak);
        }
    } else {
        for (const float sample : filling_)
            peak = std::max(peak, static_cast<double>(std::abs(sample)));
    }
    peaks_[k % peaks_.size()] = peak > ceiling_ ? static_cast<float>(ceiling_ / peak) : 1.0f;

    // M of run k - 1: the least r of runs k - window - 2 … k (runs before the
    // first need nothing).
    if (k >= 1) {
        float low = 1.0f;
        for (std::size_t back = 0; back <= window_ + 2 && back <= k; ++back)
            low = std::min(low, peaks_[(k - back) % peaks_.size()]);
        least_[(k - 1) % least_.size()] = low;
    }
    // A of run k - window - 1: the average M of it and the look-ahead after it.
    float sum = 0;
    for (std::size_t i = 0; i <= window_; ++i)
        sum += k + i >= window_ + 1 ? least_[(k + i - window_ - 1) % least_.size()] : 1.0f;
    const float average = sum / static_cast<float>(window_ + 1);
    const float previous = smoothed_;
    smoothed_ = std::min(average, previous + (1.0f - previous) * release_);

    if (k < window_ + 2) {
        std::fill(output_.begin(), output_.end(), 0.0f); // the delay, at the start
    } else {
        const float* in = input_.data() + ((k - window_ - 2) % (window_ + 3)) * run;
        const float step = (smoothed_ - previous) / static_cast<float>(block);
        for (std::size_t frame = 0; frame < block; ++frame) {
            const float gain = previous + step * static_cast<float>(frame);
            for (int channel = 0; channel < channels_; ++channel) {
                const auto i = frame * static_cast<std::size_t>(channels_) + channel;
                output_[i] = in[i] * gain;
            }
        }
    }
    outputStart_ = 0;
    outputSize_ = run;
}

void PeakLimiter::reset() {
    runs_ = 0;
    filled_ = 0;
    smoothed_ = 1.0f;
    std::fill(peaks_.begin(), peaks_.end(), 1.0f);
    std::fill(least_.begin(), least_.end(), 1.0f);
    std::fill(output_.begin(), output_.end(), 0.0f);
    outputStart_ = 0;
    outputSize_ = output_.size();
}

} // namespace lantern
