#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace lantern {

// One capture's timeline over any number of streams (the playback streams of
// one application, or a sink's monitor): interleaved stereo float at `rate`,
// produced for as long as the capture runs, whether zero, one or several
// streams deliver.
//
// Streams are summed sample-aligned: what every live stream has delivered is
// emitted. A stream that has delivered nothing for `staleAfter` (paused,
// corked, ended without telling) counts as silence instead of holding the
// others back. While no stream is live, tick() emits silence at the wall
// clock's pace, so the timeline never stops. Streams come and go in place.
//
// Not thread-safe: one thread (the sound server's loop) calls everything.
class StreamMix {
public:
    using Clock = std::chrono::steady_clock;
    using Emit = std::function<void(std::span<const float> samples)>;

    static constexpr auto staleAfter = std::chrono::milliseconds(100);
    static constexpr std::size_t blockFrames = 1024; // silence is emitted in blocks of this

    explicit StreamMix(double rate);

    double rate() const { return rate_; }
    // Starts again at another rate: buffered audio is dropped.
    void reset(double rate);

    // A stream that is known but has not delivered yet does not hold anyone back.
    void add(std::uint32_t stream);
    // Its buffered audio is dropped.
    void remove(std::uint32_t stream);
    bool contains(std::uint32_t stream) const { return inputs_.contains(stream); }
    std::size_t size() const { return inputs_.size(); }

    // Samples a stream delivered at `now` (an unknown stream is added first);
    // emits whatever can now be mixed.
    void push(std::uint32_t stream, std::span<const float> samples, Clock::time_point now,
              const Emit& emit);
    // The clock: while no stream is live, emits silence (after what stale
    // streams still hold) up to `now`. True while a live stream keeps the
    // time, when the next tick may wait until a stream could go stale.
    bool tick(Clock::time_point now, const Emit& emit);

private:
    struct Input {
        std::vector<float> samples; // interleaved stereo, oldest first
        std::optional<Clock::time_point> lastData;
        std::size_t frames() const { return samples.size() / 2; }
    };

    bool live(const Input& input, Clock::time_point now) const;
    // Emits `frames` frames: every stream's oldest audio summed, silence where
    // a stream has less.
    void emitFrames(std::size_t frames, const Emit& emit);
    void anchor(Clock::time_point now);

    double rate_;
    std::map<std::uint32_t, Input> inputs_;
    // The timeline is caught up with the wall clock at anchor_ plus
    // sinceAnchor_ frames.
    std::optional<Clock::time_point> anchor_;
    std::uint64_t sinceAnchor_ = 0;
    std::vector<float> out_;
};

} // namespace lantern
