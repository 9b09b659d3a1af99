#include "core/nowplaying/now_playing.h"

#include <gtest/gtest.h>

using namespace lantern;
using namespace std::chrono_literals;

namespace {

NowPlaying song(std::string title, bool playing = true) {
    return NowPlaying{std::move(title), "Artist", "Album", std::nullopt, playing, "Music"};
}

TEST(NowPlaying, JSONLeavesOutAnAbsentCoverAndNeedsEveryOtherKey) {
    EXPECT_EQ(toJSON(song("T")),
              R"({"title":"T","artist":"Artist","album":"Album","playing":true,"source":"Music"})");
    auto record = song("Ünïcode \"quoted\"", false);
    record.coverURL = "https://img.example/c.jpg";
    EXPECT_EQ(nowPlayingFromJSON(toJSON(record)), record);
    for (const char* broken :
         {R"({"artist":"A","album":"B","playing":true,"source":"S"})",
          R"({"title":"T","artist":"A","album":"B","playing":"yes","source":"S"})", R"(["T"])",
          "not json"})
        EXPECT_FALSE(nowPlayingFromJSON(broken)) << broken;
}

// The history holds every change of the last minute plus the one current a
// minute ago, so a listener up to 60 s behind is always answered.
TEST(NowPlaying, HistoryAnswersForTheMomentAListenerHears) {
    NowPlayingHistory history;
    const NowPlayingHistory::Clock::time_point start{};
    EXPECT_FALSE(history.at(start));
    history.record(song("zero"), start);
    history.record(song("zero"), start + 5s); // the same record keeps its first time
    history.record(song("thirty"), start + 30s);
    history.record(song("ninety"), start + 90s);
    ASSERT_EQ(history.count(), 2u);
    EXPECT_EQ(history.at(start + 100s), song("ninety"));
    EXPECT_EQ(history.at(start + 50s), song("thirty"));
    EXPECT_FALSE(history.at(start + 10s));
}

// The companion player's note: every key but the cover required, a title
// needed; a cover only when strict Base64 of more than 8 bytes, PNG by its
// signature and anything else JPEG.
TEST(NowPlaying, ParsesTheCompanionsNote) {
    const auto note = [](const std::string& extra) {
        return R"({"title":"Song","artist":"Singer","album":"Record","playing":true)" + extra + "}";
    };
    EXPECT_EQ(parseLanternNote(note(""), "Hearken"),
              std::pair(NowPlaying{"Song", "Singer", "Record", {}, true, "Hearken"},
                        std::optional<Cover>()));
    for (const char* broken : {R"({"title":"Song","album":"Record","playing":true})",
                               R"({"title":"","artist":"S","album":"R","playing":true})", "{"})
        EXPECT_FALSE(parseLanternNote(broken, "H")) << broken;

    const std::pair<std::string, std::optional<Cover>> covers[] = {
        {"iVBORw0KGgoA", Cover{{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0x00}, "image/png"}},
        {"R0lGODlhAAAA", Cover{{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0}, "image/jpeg"}},
        {"iVBORw0KGgo=", std::nullopt},    // 8 bytes
        {"iVBORw0K\\nGgoA", std::nullopt}, // a line feed is not Base64
        {"iVBORw0KGgoAAA", std::nullopt},  // unpadded
        {"iVBORw0KGgo-", std::nullopt},    // the URL-safe alphabet
    };
    for (const auto& [base64, expected] : covers) {
        const auto parsed = parseLanternNote(note(R"(,"cover":")" + base64 + "\""), "H");
        ASSERT_TRUE(parsed) << "a bad cover lost the record: " << base64;
        EXPECT_EQ(parsed->second, expected) << base64;
    }
}

} // namespace
