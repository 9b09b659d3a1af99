#pragma once

#include <cstddef>
#include <ebur128.h>
#include <memory>
#include <span>
#include <vector>

namespace lantern {

// libebur128's meter, closed with it.
struct MeterCloser {
    void operator()(ebur128_state* meter) const;
};
using Meter = std::unique_ptr<ebur128_state, MeterCloser>;

// Moves a source's loudness slowly towards one level: measured as the
// standard does (K-weighted, BS.1770, by libebur128) over the last three
// seconds, it takes a gain between -12 and +12 dB that rises at most 2 dB and
// falls at most 6 dB a second, and holds while the source is silent or very
// quiet (never pumping up noise or the pause between tracks). Made for one
// rate and channel count; afterwards it allocates nothing and never waits.
class Leveller {
public:
    static constexpr double target = -16;       // LUFS
    static constexpr double highest = 12;       // dB
    static constexpr double lowest = -12;       // dB
    static constexpr double rise = 2;           // dB a second
    static constexpr double fall = 6;           // dB a second
    static constexpr double quiet = -50;        // LUFS: below it the gain holds
    static constexpr double measureEvery = 0.1; // seconds of audio between measurements

    Leveller(double rate, int channels);

    // Measures `samples` (interleaved) and applies the gain to them, gliding
    // from the last block's gain to this one's.
    void level(std::span<float> samples);
    // The gain now, in dB.
    double gain() const { return gain_; }

private:
    Meter meter_;
    const double rate_;
    const int channels_;
    double gain_ = 0;
    double unmeasured_ = 0; // seconds since the last measurement
    double wanted_ = 0;     // the gain the last measurement asked for
    bool holding_ = true;   // the last measurement found the source quiet
};

// Keeps the true peak of what it lets through at or below a ceiling, looking
// a few milliseconds ahead: the gain starts down before a peak arrives instead
// of clipping it, and comes back up over about a tenth of a second. The true
// peak is measured by libebur128 for each run of `block` frames; the gain
// between runs glides. Everything it returns is delayed by delay() frames.
// Made for one rate and channel count; afterwards it allocates nothing.
class PeakLimiter {
public:
    static constexpr std::size_t block = 16;   // frames measured at once
    static constexpr double lookAhead = 0.004; // seconds
    static constexpr double releaseTime = 0.1; // seconds

    PeakLimiter(double rate, int channels, double ceilingDb);

    // Limits `samples` (interleaved) in place: what comes out is the audio
    // that went in delay() frames earlier.
    void limit(std::span<float> samples);
    std::size_t delay() const { return delay_; }
    // Forgets what came in (it goes out as silence), as a new start.
    void reset();

private:
    // A whole run has come in: measures it, and sends out the one whose gain
    // is now known.
    void completed();

    Meter meter_;
    const int channels_;
    const float ceiling_;
    const std::size_t window_; // runs of look-ahead
    const float release_;      // how far the gain comes back up in one run
    std::size_t delay_ = 0;

    std::size_t runs_ = 0;                         // runs completed so far
    std::vector<float> input_;                     // the runs kept, each block × channels samples
    std::vector<float> peaks_;                     // r of the runs kept
    std::vector<float> least_;                     // M of the runs the look-ahead spans
    float smoothed_ = 1.0f;                        // S of the latest run whose S is known
    std::vector<float> filling_;                   // the run coming in
    std::size_t filled_ = 0;                       // frames of it
    std::vector<float> output_;                    // sent out, not yet handed back (a ring)
    std::size_t outputStart_ = 0, outputSize_ = 0; // in samples
};

// Samples from a broken source made harmless: NaN and infinities become
// silence, and anything far outside -1..1 is held at ±4 (12 dB over full
// scale), so that no meter or gain is thrown by them.
void sanitize(std::span<float> samples);

} // namespace lantern
