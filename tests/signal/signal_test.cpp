#include "core/signal/mixing.h"
#include "core/signal/silence.h"
#include "core/signal/voice_ring.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>

using namespace lantern;

namespace {

// `count` samples taken from `ring`.
std::vector<float> take(VoiceRing& ring, std::size_t count) {
    std::vector<float> out(count);
    ring.take(out);
    return out;
}

TEST(VoiceRing, KeepsTheNewestSamplesAndPadsWithSilence) {
    VoiceRing ring(4);
    ring.push(std::vector<float>{1, 2, 3});
    ring.push(std::vector<float>{4, 5, 6});
    EXPECT_TRUE(take(ring, 0).empty());
    EXPECT_EQ(take(ring, 6), (std::vector<float>{3, 4, 5, 6, 0, 0}));
    ring.push(std::vector<float>{7, 8, 9, 10, 11, 12}); // larger than the ring: its tail
    EXPECT_EQ(take(ring, 4), (std::vector<float>{9, 10, 11, 12}));
    ring.push(std::vector<float>{1, 2});
    ring.clear();
    EXPECT_EQ(take(ring, 2), (std::vector<float>{0, 0}));
}

// The microphone's thread pushes while the capture's thread takes: order is
// kept and nothing is repeated.
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
    for (float last = 0; last < total;) {
        for (const float sample : take(ring, 64)) {
            if (sample == 0) continue; // padding: the producer is behind
            ASSERT_GT(sample, last);
            last = sample;
        }
        std::this_thread::yield();
    }
    producer.join();
}

// The music falls fast towards 0.3 under a voice, holds through pauses up to
// 0.45 s, then rises back with a 0.3 s time constant.
TEST(Ducker, AttackHoldAndRelease) {
    Ducker ducker;
    EXPECT_FLOAT_EQ(ducker.next(0, 0.01), 1.0f);
    EXPECT_FLOAT_EQ(ducker.next(0.05f, 0.03), 1.0f); // the threshold itself is not voice
    EXPECT_NEAR(ducker.next(0.5f, 0.03), 0.3 + 0.7 * std::exp(-1.0), 1e-6);
    ducker.next(0.5f, 0.5);
    float gain = ducker.gain();
    for (int step = 1; step <= 4; ++step) // 0.1 ... 0.4 s of pause: held
        EXPECT_LE(gain = ducker.next(0, 0.1), 0.31f) << step;
    const float released = ducker.next(0, 0.1); // 0.5 s: released
    EXPECT_NEAR(released, 1.0 + (gain - 1.0) * std::exp(-0.1 / 0.3), 1e-6);
    ducker.next(0.5f, 0.01); // voice again resets the hold
    EXPECT_LT(ducker.next(0, 0.4), 0.5f);
}

TEST(Mix, AddsTheVoiceAndSoftLimitsAboveTheKnee) {
    const auto one = [](float music, float voice, float gain) {
        return mix(std::vector<float>{music}, std::vector<float>{voice}, gain)[0];
    };
    EXPECT_NEAR(one(0.5f, 0.5f, 1), 0.97616, 1e-5);
    EXPECT_FLOAT_EQ(one(-0.5f, -0.5f, 1), -one(0.5f, 0.5f, 1));
    EXPECT_FLOAT_EQ(one(0.4f, 0.4f, 1), 0.8f);
    EXPECT_FLOAT_EQ(one(0.5f, 0.1f, 0.3f), 0.25f);
    EXPECT_LE(one(50, 0, 1), 1.0f);
    EXPECT_NEAR(one(0.9001f, 0, 1), 0.9001f, 1e-4); // continuous at the knee
    EXPECT_EQ(mix(std::vector<float>{0.1f, 0.2f}, std::vector<float>{0.1f, 0.1f, 0.1f}, 1).size(),
              2u);
    EXPECT_FLOAT_EQ(mix(std::vector<float>{0.1f, 0.2f}, std::vector<float>{0.1f}, 1)[1], 0.2f);
    EXPECT_TRUE(mix({}, std::vector<float>{0.5f}, 1).empty());
}

TEST(Silence, TenSecondsOfExactZerosAndTheLineThatSaysWhy) {
    SilenceHint hint;
    for (int i = 0; i < 999; ++i)
        ASSERT_FALSE(hint.feed(0, 0.01));
    EXPECT_TRUE(hint.feed(0, 0.02));
    EXPECT_FALSE(hint.everHeard());
    EXPECT_FALSE(hint.feed(0.00001f, 0.01)); // any sound starts the count again
    EXPECT_TRUE(hint.everHeard());
    EXPECT_FALSE(hint.feed(0, 9.9));

    const std::string permission =
        "No sound from Music \xE2\x80\x94 check that it plays through the default sound output";
    struct Row {
        bool running;
        std::optional<bool> playing;
        bool silent, heard;
        std::optional<std::string> line;
    };
    const Row rows[] = {
        {false, false, false, true, "Music isn't running"},
        {true, false, false, false, std::nullopt},
        {true, false, true, true, "Music isn't playing"},
        {true, std::nullopt, true, true, "Music is quiet"},
        {true, true, true, false, permission},
        {true, std::nullopt, true, false, permission},
    };
    for (const auto& row : rows)
        EXPECT_EQ(silenceStatus("Music", row.running, row.playing, row.silent, row.heard),
                  row.line);

    EXPECT_FALSE(SourceWatch::shouldReattach("whole-mac", "whole-mac"));
    EXPECT_TRUE(SourceWatch::shouldReattach("org.app", "org.app"));
    EXPECT_FALSE(SourceWatch::shouldReattach("org.app", "org.App"));
}

} // namespace
