#include "signal/mixing.h"
#include "signal/voice_ring.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>

using namespace lantern;

namespace {

TEST(VoiceRing, KeepsTheNewestCapacitySamplesAndPadsWithZeros) {
    VoiceRing ring(4);
    ring.push(std::vector<float>{1, 2, 3});
    ring.push(std::vector<float>{4, 5, 6});
    EXPECT_EQ(ring.size(), 4u);
    EXPECT_EQ(ring.take(6), (std::vector<float>{3, 4, 5, 6, 0, 0}));
    EXPECT_EQ(ring.size(), 0u);
    EXPECT_EQ(ring.take(3), (std::vector<float>{0, 0, 0}));
}

TEST(VoiceRing, TakeZeroLeavesTheRingAlone) {
    VoiceRing ring(4);
    ring.push(std::vector<float>{1, 2});
    EXPECT_TRUE(ring.take(0).empty());
    EXPECT_EQ(ring.take(2), (std::vector<float>{1, 2}));
}

TEST(VoiceRing, PushLargerThanCapacityKeepsItsTail) {
    VoiceRing ring(3);
    ring.push(std::vector<float>{9});
    ring.push(std::vector<float>{1, 2, 3, 4, 5});
    EXPECT_EQ(ring.take(3), (std::vector<float>{3, 4, 5}));
}

TEST(VoiceRing, WrapsAroundInOrderAcrossManyPushesAndTakes) {
    VoiceRing ring(5);
    std::vector<float> expected;
    float next = 1;
    for (int round = 0; round < 200; ++round) {
        std::vector<float> pushed(static_cast<std::size_t>(round % 4));
        for (auto& sample : pushed)
            sample = next++;
        ring.push(pushed);
        expected.insert(expected.end(), pushed.begin(), pushed.end());
        if (expected.size() > 5) expected.erase(expected.begin(), expected.end() - 5);
        const auto count = static_cast<std::size_t>(round % 3);
        auto want = std::vector<float>(
            expected.begin(),
            expected.begin() + static_cast<std::ptrdiff_t>(std::min(count, expected.size())));
        want.resize(count, 0.0f);
        expected.erase(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(
                                                                std::min(count, expected.size())));
        ASSERT_EQ(ring.take(count), want) << "round " << round;
    }
}

TEST(VoiceRing, ClearAndZeroCapacity) {
    VoiceRing ring(4);
    ring.push(std::vector<float>{1, 2});
    ring.clear();
    EXPECT_EQ(ring.take(2), (std::vector<float>{0, 0}));
    VoiceRing none(0);
    none.push(std::vector<float>{1, 2});
    EXPECT_EQ(none.take(2), (std::vector<float>{0, 0}));
}

TEST(VoiceRing, ConcurrentPushAndTakeKeepOrder) {
    VoiceRing ring(38400);
    constexpr int total = 200000;
    std::thread producer([&] {
        for (int i = 0; i < total; i += 100) {
            std::vector<float> block(100);
            for (int j = 0; j < 100; ++j)
                block[static_cast<std::size_t>(j)] = static_cast<float>(i + j + 1);
            ring.push(block);
        }
    });
    float last = 0;
    int seen = 0;
    while (seen < total && last < total) {
        for (float sample : ring.take(64)) {
            if (sample == 0) continue; // padding: the producer is behind
            ASSERT_GT(sample, last);
            last = sample;
            ++seen;
        }
        if (ring.size() == 0) std::this_thread::yield();
        if (last == total) break;
    }
    producer.join();
}

TEST(Ducker, FreshDuckerLeavesMusicAtFullGain) {
    Ducker ducker;
    EXPECT_FLOAT_EQ(ducker.next(0, 0.01), 1.0f);
}

TEST(Ducker, AttackFallsTowardsTheDip) {
    Ducker ducker;
    EXPECT_NEAR(ducker.next(0.5f, 0.03), 0.3 + 0.7 * std::exp(-1.0), 1e-6);
    EXPECT_NEAR(ducker.gain(), 0.5575, 1e-4);
}

TEST(Ducker, PeakAtTheThresholdIsNotVoice) {
    Ducker ducker;
    EXPECT_FLOAT_EQ(ducker.next(0.05f, 0.03), 1.0f);
    EXPECT_LT(ducker.next(std::nextafter(0.05f, 1.0f), 0.03), 1.0f);
}

TEST(Ducker, HoldsThroughShortPausesThenReleases) {
    Ducker ducker;
    ducker.next(0.5f, 0.5); // well down
    float gain = ducker.gain();
    // 0.1 s steps of silence: 0.1 ... 0.4 stay within the hold, towards 0.3.
    for (int step = 1; step <= 4; ++step) {
        const float next = ducker.next(0, 0.1);
        EXPECT_LE(next, gain + 1e-7f) << "step " << step;
        gain = next;
    }
    // The step that reaches 0.5 s of silence (past 0.45 s) starts the release.
    const float released = ducker.next(0, 0.1);
    EXPECT_NEAR(released, 1.0 + (gain - 1.0) * std::exp(-0.1 / 0.3), 1e-6);
    EXPECT_GT(released, gain);
}

TEST(Ducker, LoudVoiceResetsTheHold) {
    Ducker ducker;
    ducker.next(0.5f, 0.3);
    ducker.next(0, 0.4);
    ducker.next(0.5f, 0.01); // voice again
    const float held = ducker.next(0, 0.4);
    EXPECT_LT(held, 0.31f); // still held down, not released
}

TEST(Mix, SoftLimitsAboveTheKneeSymmetrically) {
    const float limited = mix(std::vector<float>{0.5f}, std::vector<float>{0.5f}, 1.0f)[0];
    EXPECT_NEAR(limited, 0.97616, 1e-5);
    EXPECT_FLOAT_EQ(mix(std::vector<float>{-0.5f}, std::vector<float>{-0.5f}, 1.0f)[0], -limited);
    EXPECT_FLOAT_EQ(mix(std::vector<float>{0.4f}, std::vector<float>{0.4f}, 1.0f)[0], 0.8f);
    // Far above the knee the limiter saturates at full scale, never beyond.
    EXPECT_LE(mix(std::vector<float>{50.0f}, {}, 1.0f)[0], 1.0f);
    EXPECT_LT(mix(std::vector<float>{1.0f}, {}, 1.0f)[0], 1.0f);
    // Continuous at the knee.
    EXPECT_NEAR(mix(std::vector<float>{0.9001f}, {}, 1.0f)[0], 0.9001f, 1e-4);
}

TEST(Mix, VoiceIsCutOrPaddedToTheMusic) {
    EXPECT_EQ(mix(std::vector<float>{0.1f, 0.2f}, std::vector<float>{0.1f, 0.1f, 0.5f}, 1.0f),
              (std::vector<float>{0.2f, 0.3f}));
    EXPECT_EQ(mix(std::vector<float>{0.2f, 0.4f}, std::vector<float>{0.1f}, 0.5f),
              (std::vector<float>{0.2f, 0.2f}));
    EXPECT_TRUE(mix({}, std::vector<float>{0.5f}, 1.0f).empty());
}

TEST(PulseFrame, CyclesEveryTwoSeconds) {
    const std::pair<double, int> rows[] = {{0, 0},   {0.7, 1}, {1.5, 2},   {1.999, 2},
                                           {2.0, 0}, {2.7, 1}, {1000.5, 0}};
    for (const auto& [time, frame] : rows)
        EXPECT_EQ(pulseFrame(time), frame) << time;
}

// Negative or non-finite times must still name one of the three frames.
TEST(PulseFrame, TimesOutsideTheCycleShowTheFirstFrame) {
    for (double time : {-0.5, -1.9, -std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_EQ(pulseFrame(time), 0) << time;
}

} // namespace
