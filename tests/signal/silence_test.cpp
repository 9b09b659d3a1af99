#include "signal/silence.h"

#include <gtest/gtest.h>

using namespace lantern;

namespace {

TEST(SilenceHint, TenSecondsOfExactZerosCountAsSilent) {
    SilenceHint hint;
    for (int i = 0; i < 999; ++i)
        ASSERT_FALSE(hint.feed(0, 0.01));
    EXPECT_NEAR(hint.silent(), 9.99, 1e-9);
    EXPECT_TRUE(hint.feed(0, 0.02));
    EXPECT_TRUE(hint.feed(0, 0.01));
    EXPECT_FALSE(hint.everHeard());
}

TEST(SilenceHint, AnyNonZeroPeakRestartsTheCount) {
    SilenceHint hint;
    EXPECT_TRUE(hint.feed(0, 12));
    EXPECT_FALSE(hint.feed(0.00001f, 0.01));
    EXPECT_TRUE(hint.everHeard());
    EXPECT_FALSE(hint.feed(0, 9.9));
    EXPECT_TRUE(hint.feed(0, 0.1));
}

struct StatusRow {
    const char* name;
    bool running;
    std::optional<bool> playing;
    bool silent;
    bool everHeard;
    std::optional<std::string> expected;
};

const std::string permissionLine =
    "No sound from Music \xE2\x80\x94 check that it plays through the default sound output";

const StatusRow statusRows[] = {
    {"notRunningWhateverElse", false, false, false, true, "Music isn't running"},
    {"notRunningSilent", false, std::nullopt, true, false, "Music isn't running"},
    {"runningNotSilent", true, false, false, false, std::nullopt},
    {"silentNotPlaying", true, false, true, true, "Music isn't playing"},
    {"silentNotPlayingNeverHeard", true, false, true, false, "Music isn't playing"},
    {"silentQuiet", true, std::nullopt, true, true, "Music is quiet"},
    {"silentPlayingQuiet", true, true, true, true, "Music is quiet"},
    {"neverHeard", true, true, true, false, permissionLine},
    {"neverHeardNoPlaybackReport", true, std::nullopt, true, false, permissionLine},
};

class SilenceStatusTable : public testing::TestWithParam<StatusRow> {};

TEST_P(SilenceStatusTable, ChoosesTheLine) {
    const auto& row = GetParam();
    EXPECT_EQ(silenceStatus("Music", row.running, row.playing, row.silent, row.everHeard),
              row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, SilenceStatusTable, testing::ValuesIn(statusRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SilenceStatus, PermissionLineBytes) {
    const auto line = silenceStatus("S", true, std::nullopt, true, false);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line,
              "No sound from S \xE2\x80\x94 check that it plays through the default sound output");
}

TEST(SourceWatch, ReattachesOnlyTheSameApplication) {
    EXPECT_FALSE(SourceWatch::shouldReattach("whole-mac", "whole-mac"));
    EXPECT_TRUE(SourceWatch::shouldReattach("spotify", "spotify"));
    EXPECT_FALSE(SourceWatch::shouldReattach("spotify", "Spotify"));
    EXPECT_FALSE(SourceWatch::shouldReattach("spotify", "spotify.helper"));
}

} // namespace
