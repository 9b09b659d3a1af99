// The microphone and talking, against the private sound server: "fakemic"
// hears whatever plays on the "mic" sink.
#include "capture/mic_input.h"
#include "signal/mixing.h"
#include "station/station_fixture.h"
#include "support/child_process.h"
#include "support/sound_daemon.h"
#include "support/raw_client.h"
#include "support/tone.h"

#include <gtest/gtest.h>
#include <thread>

extern lantern::test::SoundDaemon* sound;

namespace lantern {
namespace {

using test::eventually;

class MicrophoneTest : public StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        settings.setValue("micDevice", "fakemic");
    }
    bool micOn(Station& s) {
        return eventually([&] { return s.micOn(); }, 5s);
    }
    // Gives the event loop time for late completions, then says how many
    // record streams the microphone holds.
    int settledStreams() {
        test::settle(500ms);
        return sound->recordStreamsOn("fakemic");
    }
};

TEST_F(MicrophoneTest, TurningOnTwiceStartsTheDeviceOnce) {
    auto& s = make();
    QSignalSpy changes(&s, &Station::micOnChanged);
    s.setMic(true);
    s.setMic(true);
    ASSERT_TRUE(micOn(s));
    EXPECT_EQ(settledStreams(), 1);
    EXPECT_EQ(changes.count(), 1);
    s.setMic(false);
    EXPECT_FALSE(s.micOn());
    EXPECT_EQ(settledStreams(), 0);
}

// On, off, on before the first start finished: the first start was
// cancelled (the device stopped), so the last choice must start it again
// rather than report the cancelled start as success.
TEST_F(MicrophoneTest, OnOffOnEndsOnWithTheDeviceRunning) {
    auto& s = make();
    s.setMic(true);
    s.setMic(false);
    s.setMic(true);
    s.setMic(true);
    ASSERT_TRUE(micOn(s));
    EXPECT_EQ(settledStreams(), 1);
    EXPECT_TRUE(s.micOn());
}

TEST_F(MicrophoneTest, OffBeforeTheStartCompletesLeavesTheDeviceStopped) {
    auto& s = make();
    s.setMic(true);
    s.setMic(false);
    EXPECT_EQ(settledStreams(), 0);
    EXPECT_FALSE(s.micOn());
    EXPECT_EQ(s.status(), "");
    // And it can be turned on again afterwards.
    s.setMic(true);
    ASSERT_TRUE(micOn(s));
    EXPECT_EQ(settledStreams(), 1);
}

TEST_F(MicrophoneTest, WithThePanelOpenTheDeviceRunsUntilThePanelCloses) {
    auto& s = make();
    s.panel(true);
    s.setMic(true);
    ASSERT_TRUE(micOn(s));
    s.hold(true);
    EXPECT_TRUE(s.talking());
    s.setMic(false);
    EXPECT_FALSE(s.micOn());
    EXPECT_FALSE(s.holding());
    EXPECT_EQ(s.voiceLevel(), 0.0f);
    EXPECT_EQ(settledStreams(), 1); // still open: the panel may turn it on again
    // On again with the same device reuses it.
    s.setMic(true);
    ASSERT_TRUE(micOn(s));
    EXPECT_EQ(settledStreams(), 1);
    s.setMic(false);
    s.panel(false);
    EXPECT_EQ(settledStreams(), 0);
}

TEST_F(MicrophoneTest, ClosingThePanelEndsAHold) {
    auto& s = make();
    s.panel(true);
    s.setMic(true);
    ASSERT_TRUE(micOn(s));
    s.hold(true);
    s.panel(false);
    EXPECT_FALSE(s.holding());
    EXPECT_TRUE(s.micOn()); // the microphone itself stays on
    EXPECT_FALSE(s.talking());
}

TEST_F(MicrophoneTest, HoldingWithTheMicrophoneOffIsNotTalking) {
    auto& s = make();
    s.hold(true);
    EXPECT_TRUE(s.holding());
    EXPECT_FALSE(s.talking());
    s.setTalkOn(true);
    EXPECT_FALSE(s.talking());
}

TEST_F(MicrophoneTest, TheHotKeyHoldsToTalkWhileTheMicrophoneIsOn) {
    const auto keys = [](const char* action) {
        test::runProgram({"xdotool", action, "ctrl+alt+t"}, std::chrono::seconds(10));
    };
    auto& s = make();
    s.setMic(true);
    ASSERT_TRUE(micOn(s));
    EXPECT_TRUE(s.hotKeyOK());
    keys("keydown");
    EXPECT_TRUE(eventually([&] { return s.talking(); }, 3s));
    keys("keyup");
    EXPECT_TRUE(eventually([&] { return !s.holding(); }, 3s));
    s.setMic(false);
    keys("key"); // released with the microphone
    test::settle(300ms);
    EXPECT_FALSE(s.holding());
}

TEST_F(MicrophoneTest, ChoosingAnotherDeviceRestartsTheMicrophoneOnIt) {
    sound->pactl(
        {"load-module", "module-remap-source", "master=other.monitor", "source_name=othermic"});
    auto& s = make();
    s.setMic(true);
    ASSERT_TRUE(micOn(s));
    s.chooseMic(QString("othermic"));
    EXPECT_EQ(s.micDevice(), "othermic");
    EXPECT_EQ(settings.string("micDevice"), "othermic");
    ASSERT_TRUE(micOn(s));
    EXPECT_EQ(settledStreams(), 0);
    EXPECT_EQ(sound->recordStreamsOn("othermic"), 1);
    // The default removes the stored choice.
    s.chooseMic(std::nullopt);
    EXPECT_FALSE(settings.string("micDevice"));
    ASSERT_TRUE(micOn(s));
    EXPECT_EQ(sound->recordStreamsOn("othermic"), 0);
}

TEST_F(MicrophoneTest, TalkingMixesTheVoiceInAndDipsTheMusic) {
    sound->play("talk-music", 500);         // on the speakers: what goes on air
    sound->play("talk-voice", 1500, test::SoundDaemon::Play::on("mic")); // what the microphone hears
    auto& s = make();
    const auto port = onAir(s);
    ASSERT_NE(port, 0);
    s.setMic(true);
    ASSERT_TRUE(micOn(s));

    test::RawClient listener(port);
    ASSERT_TRUE(listener.send("GET /stream HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string bytes;
    const auto gather = [&](std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            bytes += listener.readAtLeast(1, 100ms);
            QCoreApplication::processEvents();
        }
    };
    // The sound server may take a moment (longer on a loaded machine) before
    // the first captured block: wait for audio after the response head.
    bytes = listener.readAtLeast(2000, 15s);
    ASSERT_GE(bytes.size(), 2000u);
    gather(1500ms);
    EXPECT_NEAR(s.musicLevel(), 1.0f, 0.01f);

    s.setTalkOn(true);
    EXPECT_TRUE(s.talking());
    gather(2500ms);
    EXPECT_NEAR(s.musicLevel(), Ducker::dipped, 0.05f);
    EXPECT_GT(s.voiceLevel(), 0.1f);

    s.setTalkOn(false);
    ASSERT_TRUE(eventually([&] { return s.musicLevel() > 0.9f; }, 3s));

    const auto head = bytes.find("\r\n\r\n");
    ASSERT_NE(head, std::string::npos);
    const auto file = home.filePath("talk.aac").toStdString();
    std::ofstream(file, std::ios::binary)
        .write(bytes.data() + head + 4, std::streamsize(bytes.size() - head - 4));
    const auto samples = test::decodeMono(file, 8000);
    ASSERT_GT(samples.size(), 8000u * 3);
    const std::span<const float> all(samples);
    // The last second is mid-talk: the voice over dipped music.
    EXPECT_NEAR(test::dominantFrequency(all.last(8000), 8000), 1500, 20);
}

} // namespace
} // namespace lantern
