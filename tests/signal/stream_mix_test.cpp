#include "core/signal/stream_mix.h"

#include <gtest/gtest.h>
#include <numeric>

namespace lantern {
namespace {

using namespace std::chrono_literals;
using Time = StreamMix::Clock::time_point;

// Everything a mix emits, in order.
struct Timeline {
    std::vector<float> samples;
    StreamMix::Emit emit() {
        return [this](std::span<const float> block) {
            samples.insert(samples.end(), block.begin(), block.end());
        };
    }
    std::size_t frames() const { return samples.size() / 2; }
};

std::vector<float> frames(std::size_t count, float value) {
    return std::vector<float>(count * 2, value);
}

const Time start{};

// Two live streams: what both delivered is summed sample by sample, and
// what only one has delivered waits for the other (never A's block, then B's).
TEST(StreamMix, LiveStreamsAreSummedAligned) {
    StreamMix mix(1000);
    Timeline out;
    mix.push(1, frames(10, 0.25f), start, out.emit());
    EXPECT_EQ(out.frames(), 10u); // alone, it is emitted at once
    mix.push(2, frames(4, 0.5f), start + 10ms, out.emit());
    mix.push(1, frames(4, 0.25f), start + 10ms, out.emit());
    EXPECT_EQ(out.frames(), 14u);
    mix.push(2, frames(6, 0.5f), start + 20ms, out.emit());
    ASSERT_EQ(out.frames(), 14u) << "stream 2's extra frames must wait for stream 1";
    EXPECT_EQ(out.samples[2 * 10], 0.75f);
    EXPECT_EQ(out.samples.back(), 0.75f);
}

// A stream that stops delivering (paused, ended without a word) holds the
// others back no longer than the stale bound, and then counts as silence.
TEST(StreamMix, AStaleStreamStopsHoldingTheOthersBack) {
    StreamMix mix(1000);
    Timeline out;
    mix.push(1, frames(10, 0.25f), start, out.emit());
    mix.push(2, frames(10, 0.5f), start, out.emit());
    const auto held = out.frames();
    mix.push(1, frames(50, 0.25f), start + 50ms, out.emit());
    EXPECT_EQ(out.frames(), held + 10); // the rest waits: stream 2 may still deliver
    mix.push(1, frames(60, 0.25f), start + StreamMix::staleAfter + 10ms, out.emit());
    EXPECT_EQ(out.frames(), held + 110);
    EXPECT_EQ(out.samples.back(), 0.25f);
}

// With no live stream the clock keeps the timeline at the wall clock's pace
// with silence, from where the streams left it; a long stall starts afresh.
TEST(StreamMix, TheClockFillsSilenceWhileNoStreamDelivers) {
    StreamMix mix(1000);
    Timeline out;
    mix.tick(start, out.emit()); // nothing yet: the clock starts here
    mix.tick(start + 250ms, out.emit());
    EXPECT_EQ(out.frames(), 250u);
    mix.push(1, frames(100, 0.5f), start + 300ms, out.emit());
    mix.tick(start + 350ms, out.emit()); // the stream keeps the time
    EXPECT_EQ(out.frames(), 350u);
    mix.tick(start + 600ms, out.emit()); // stale since 300 ms
    EXPECT_EQ(out.frames(), 650u);
    EXPECT_EQ(out.samples.back(), 0.0f);
    mix.tick(start + 5s, out.emit()); // the thread stalled: no 4-second burst
    EXPECT_EQ(out.frames(), 650u);
    mix.tick(start + 5s + 100ms, out.emit());
    EXPECT_EQ(out.frames(), 750u);
}

} // namespace
} // namespace lantern
