// What the station does when tracks, covers, applications and streams change.
#include "capture/audio_processes.h"
#include "station/station_fixture.h"
#include "support/child_process.h"
#include "support/fake_address_service.h"
#include "support/sound_daemon.h"

#include <QBuffer>
#include <QImage>
#include <gtest/gtest.h>

extern lantern::test::SoundDaemon* sound;

namespace lantern {
namespace {

using test::eventually;

QByteArray png(QColor color) {
    QImage image(2, 2, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

NowPlaying track(const std::string& title, std::optional<std::string> cover) {
    return {title, "Artist", "Album", std::move(cover), true, "Player"};
}

class EventsTest : public StationTest {
protected:
    // Serves cover images: each request gets the next scripted answer.
    test::FakeAddressService images;
    std::string at(const char* path) { return (images.base() + path).toStdString(); }
};

TEST_F(EventsTest, TheSameTrackTwiceTouchesNothing) {
    auto& s = make();
    QSignalSpy now(&s, &Station::nowChanged);
    QSignalSpy cover(&s, &Station::coverImageChanged);
    const auto bytes = png(Qt::red);
    const Cover art{{bytes.begin(), bytes.end()}, "image/png"};
    StationProbe::read(s, track("One", std::nullopt), art);
    EXPECT_EQ(now.count(), 1);
    EXPECT_EQ(cover.count(), 1);
    EXPECT_EQ(s.coverImage().pixelColor(0, 0), QColor(Qt::red));
    StationProbe::read(s, track("One", std::nullopt), art);
    EXPECT_EQ(now.count(), 1);
    EXPECT_EQ(cover.count(), 1);
    // Bytes that are not an image give no image.
    StationProbe::read(s, track("Two", std::nullopt),
                       Cover{{1, 2, 3, 4, 5, 6, 7, 8, 9}, "image/jpeg"});
    EXPECT_TRUE(s.coverImage().isNull());
    EXPECT_EQ(now.count(), 2);
}

TEST_F(EventsTest, ANewCoverAddressIsDownloadedAndTheSameOneIsNot) {
    images.answer({200, png(Qt::red)});
    images.answer({200, png(Qt::blue)});
    auto& s = make();
    StationProbe::read(s, track("Song", at("/red.png")), std::nullopt);
    ASSERT_TRUE(eventually([&] { return !s.coverImage().isNull(); }));
    EXPECT_EQ(s.coverImage().pixelColor(0, 0), QColor(Qt::red));
    // Same title, same address: nothing is fetched.
    StationProbe::read(s, {"Song", "Other artist", "", at("/red.png"), false, "Player"},
                       std::nullopt);
    EXPECT_EQ(s.now()->artist, "Other artist");
    // Same title, new address: fetched again.
    StationProbe::read(s, track("Song", at("/blue.png")), std::nullopt);
    EXPECT_TRUE(s.coverImage().isNull()); // cleared until the download arrives
    ASSERT_TRUE(eventually([&] { return !s.coverImage().isNull(); }));
    EXPECT_EQ(s.coverImage().pixelColor(0, 0), QColor(Qt::blue));
    ASSERT_EQ(images.requests().size(), 2u);
    EXPECT_EQ(images.requests()[1].path, "/blue.png");
    // No cover at all clears the image.
    StationProbe::read(s, track("Silence", std::nullopt), std::nullopt);
    EXPECT_TRUE(s.coverImage().isNull());
}

TEST_F(EventsTest, ADownloadForAnEarlierTrackIsDropped) {
    images.answer({200, png(Qt::red)});
    images.answer({200, {}, true}); // the second never answers
    auto& s = make();
    StationProbe::read(s, track("First", at("/first.png")), std::nullopt);
    StationProbe::read(s, track("Second", at("/second.png")), std::nullopt);
    ASSERT_TRUE(eventually([&] { return images.requests().size() == 2; }));
    test::settle(700ms); // the first download lands meanwhile
    EXPECT_TRUE(s.coverImage().isNull());
    EXPECT_EQ(s.now()->title, "Second");
}

// The capture follows the application's streams by itself: a launch only
// takes the "isn't running" line away, and nothing restarts the capture.
TEST_F(EventsTest, TheChosenApplicationLaunchingAndQuittingWhileOnAir) {
    auto& s = make(nullptr, true); // with the sound server's application events
    s.choose({"late-player", "Late Player", std::nullopt});
    ASSERT_NE(onAir(s), 0);
    EXPECT_EQ(s.status(), "Late Player isn't running");
    const auto before = StationProbe::captures(s);

    const auto other = sound->play("bystander", 300); // another application changes nothing
    test::settle(500ms);
    EXPECT_EQ(s.status(), "Late Player isn't running");

    const auto player = sound->play("late-player", 700);
    EXPECT_TRUE(eventually([&] { return s.status().isEmpty(); }, 3s));
    sound->end(player);
    EXPECT_TRUE(eventually([&] { return s.status() == "Late Player isn't running"; }, 5s));
    EXPECT_EQ(StationProbe::captures(s), before);
    sound->end(other);
}

} // namespace
} // namespace lantern
