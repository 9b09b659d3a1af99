#include "nowplaying/now_playing.h"

#include <gtest/gtest.h>

using namespace lantern;
using namespace std::chrono_literals;

namespace {

NowPlaying song(std::string title, bool playing = true) {
    return NowPlaying{std::move(title), "Artist", "Album", std::nullopt, playing, "Music"};
}

TEST(NowPlayingJSON, LeavesOutAnAbsentCoverURL) {
    EXPECT_EQ(toJSON(song("T")),
              R"({"title":"T","artist":"Artist","album":"Album","playing":true,"source":"Music"})");
    auto withCover = song("T", false);
    withCover.coverURL = "https://img.example/c.jpg";
    EXPECT_EQ(toJSON(withCover),
              R"({"title":"T","artist":"Artist","album":"Album",)"
              R"("coverURL":"https://img.example/c.jpg","playing":false,"source":"Music"})");
}

TEST(NowPlayingJSON, RoundTripsAndRequiresEveryKeyButCoverURL) {
    auto record = song("Ünïcode \"quoted\"");
    record.coverURL = "u";
    EXPECT_EQ(nowPlayingFromJSON(toJSON(record)), record);
    EXPECT_EQ(nowPlayingFromJSON(toJSON(song("T"))), song("T"));
    EXPECT_EQ(
        nowPlayingFromJSON(
            R"({"title":"T","artist":"Artist","album":"Album","coverURL":null,"playing":true,"source":"Music"})"),
        song("T"));
    for (const char* broken : {
             R"({"artist":"A","album":"B","playing":true,"source":"S"})",
             R"({"title":"T","album":"B","playing":true,"source":"S"})",
             R"({"title":"T","artist":"A","album":"B","source":"S"})",
             R"({"title":"T","artist":"A","album":"B","playing":true})",
             R"({"title":"T","artist":"A","album":"B","playing":"yes","source":"S"})",
             R"({"title":"T","artist":"A","album":"B","coverURL":5,"playing":true,"source":"S"})",
             R"(["T"])",
             "not json",
         })
        EXPECT_FALSE(nowPlayingFromJSON(broken)) << broken;
}

TEST(NowPlayingHistory, SameRecordTwiceKeepsTheFirstTime) {
    NowPlayingHistory history;
    const NowPlayingHistory::Clock::time_point start{};
    history.record(song("A"), start + 1s);
    history.record(song("A"), start + 5s);
    ASSERT_EQ(history.count(), 1u);
    EXPECT_EQ(history.entries()[0].at, start + 1s);
    EXPECT_FALSE(history.at(start));
}

TEST(NowPlayingHistory, KeepsTheRecordCurrentAMinuteAgo) {
    NowPlayingHistory history;
    const NowPlayingHistory::Clock::time_point start{};
    history.record(song("zero"), start);
    history.record(song("thirty"), start + 30s);
    history.record(song("ninety"), start + 90s);
    ASSERT_EQ(history.count(), 2u);
    EXPECT_EQ(history.at(start + 100s), song("ninety"));
    EXPECT_EQ(history.at(start + 50s), song("thirty"));
    EXPECT_EQ(history.at(start + 30s), song("thirty"));
    EXPECT_FALSE(history.at(start + 10s));
}

TEST(NowPlayingHistory, EmptyHistoryKnowsNothing) {
    EXPECT_FALSE(NowPlayingHistory().at(NowPlayingHistory::Clock::now()));
}

struct ScriptRow {
    const char* name;
    std::string text;
    std::optional<NowPlaying> expected;
};

const ScriptRow scriptRows[] = {
    {"playingWithoutCover", "Song\tSinger\tRecord\t\tplaying\n",
     NowPlaying{"Song", "Singer", "Record", std::nullopt, true, "Music"}},
    {"threeFields", "Song\tSinger\tRecord",
     NowPlaying{"Song", "Singer", "Record", std::nullopt, false, "Music"}},
    {"coverAndPaused", "Song\tSinger\tRecord\thttps://c.example/x.jpg\tpaused",
     NowPlaying{"Song", "Singer", "Record", "https://c.example/x.jpg", false, "Music"}},
    {"stateIsCaseSensitive", "Song\t\t\t\tPlaying",
     NowPlaying{"Song", "", "", std::nullopt, false, "Music"}},
    {"extraFieldsIgnored", "S\tA\tB\t\tplaying\textra\tmore",
     NowPlaying{"S", "A", "B", std::nullopt, true, "Music"}},
    {"spacesStay", "  Song \t Singer\n\r\n",
     NowPlaying{"  Song ", " Singer", "", std::nullopt, false, "Music"}},
    {"unicodeNewlinesTrimmed", "\xE2\x80\xA8Song\xC2\x85",
     NowPlaying{"Song", "", "", std::nullopt, false, "Music"}},
    {"emptyTitle", "\tSinger\tRecord\t\tplaying", std::nullopt},
    {"empty", "", std::nullopt},
    {"onlyLineFeeds", "\n\n\r\n", std::nullopt},
};

class ScriptOutputTable : public testing::TestWithParam<ScriptRow> {};

TEST_P(ScriptOutputTable, Parses) {
    EXPECT_EQ(parseScriptOutput(GetParam().text, "Music"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, ScriptOutputTable, testing::ValuesIn(scriptRows),
                         [](const auto& info) { return std::string(info.param.name); });

std::string note(const std::string& extra) {
    return R"({"title":"Song","artist":"Singer","album":"Record","playing":true)" + extra + "}";
}

TEST(LanternNote, RecordWithoutCover) {
    const auto parsed = parseLanternNote(note(""), "Hearken");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->first,
              (NowPlaying{"Song", "Singer", "Record", std::nullopt, true, "Hearken"}));
    EXPECT_FALSE(parsed->second);
}

TEST(LanternNote, MissingKeysOrEmptyTitleGiveNothing) {
    for (const char* text : {
             R"({"title":"Song","album":"Record","playing":true})",
             R"({"title":"Song","artist":"Singer","playing":true})",
             R"({"title":"Song","artist":"Singer","album":"Record"})",
             R"({"title":"","artist":"Singer","album":"Record","playing":true})",
             R"({"title":"Song","artist":"Singer","album":"Record","playing":1})",
             "{",
             "",
         })
        EXPECT_FALSE(parseLanternNote(text, "H")) << text;
}

struct CoverRow {
    const char* name;
    std::string cover;
    std::optional<Cover> expected;
};

const CoverRow coverRows[] = {
    // 9 bytes: 89 50 4E 47 0D 0A 1A 0A 00
    {"png", "iVBORw0KGgoA",
     Cover{{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00}, "image/png"}},
    // "GIF89a\0\0\0"
    {"gifIsTypedJpeg", "R0lGODlhAAAA",
     Cover{{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0}, "image/jpeg"}},
    {"paddedTen", "/9j/4AAQSkZJRg==",
     Cover{{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46}, "image/jpeg"}},
    {"eightBytesIsNoCover", "iVBORw0KGgo=", std::nullopt},
    {"lineBreakIsNotBase64", "iVBORw0K\\nGgoA", std::nullopt}, // JSON escape: a real line feed
    {"spaceIsNotBase64", "iVBORw0K GgoA", std::nullopt},
    {"unpaddedIsNotBase64", "iVBORw0KGgoAAA", std::nullopt},
    {"paddingInsideIsNotBase64", "iVBO=w0KGgoA", std::nullopt},
    {"urlSafeAlphabetIsNotBase64", "iVBORw0KGgo-", std::nullopt},
    {"empty", "", std::nullopt},
};

class LanternNoteCover : public testing::TestWithParam<CoverRow> {};

TEST_P(LanternNoteCover, DecodesStrictly) {
    const auto parsed = parseLanternNote(note(R"(,"cover":")" + GetParam().cover + "\""), "H");
    ASSERT_TRUE(parsed) << "the record survives a bad cover";
    EXPECT_EQ(parsed->first.title, "Song");
    EXPECT_EQ(parsed->second, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, LanternNoteCover, testing::ValuesIn(coverRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
