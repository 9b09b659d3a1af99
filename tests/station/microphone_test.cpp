// The microphone and talking, against the private sound server: "fakemic"
// hears whatever plays on the "mic" sink.
#include "core/signal/mixing.h"
#include "station/station_fixture.h"
#include "support/shortcut_portal.h"

namespace lantern {
namespace {

using test::eventually;
using test::portalCall;

class MicrophoneTest : public StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        settings.setValue("micDevice", "fakemic");
    }
    bool on(Station& s) {
        return eventually([&] { return s.mic().on(); });
    }
    // Whether `device` comes to have `count` record streams, and still has once
    // late completions had their turn.
    bool streams(int count, const std::string& device = "fakemic") {
        const auto reached = [&] { return sound->recordStreamsOn(device) == count; };
        return eventually(reached) && (test::settle(500ms), reached());
    }
};

// Quick successions of on and off end as the last one says, with one device
// stream when on: on twice starts it once; off before the start finished
// leaves it stopped; on, off, on ends on although the first start was cancelled.
TEST_F(MicrophoneTest, TheLastChoiceWinsWithOneDeviceStream) {
    auto& s = make();
    QSignalSpy changes(&s.mic(), &Microphone::onChanged);
    s.mic().setMic(true);
    s.mic().setMic(true);
    ASSERT_TRUE(on(s) && streams(1));
    EXPECT_EQ(changes.count(), 1);
    const std::pair<std::vector<bool>, bool> rows[] = {
        {{false}, false}, {{true, false}, false}, {{true, false, true, true}, true}};
    for (const auto& [choices, last] : rows) {
        for (const bool choice : choices)
            s.mic().setMic(choice);
        EXPECT_TRUE(eventually([&] { return s.mic().on() == last; }) && streams(last) &&
                    s.mic().on() == last && StationProbe::statusKind(s) == StatusLine::Kind::none)
            << choices.size() << " choices";
    }
}

// Switched off with the panel open, the device runs on until the panel
// closes (on again reuses it); closing the panel ends a hold; holding with the
// microphone off is not talking.
TEST_F(MicrophoneTest, ThePanelKeepsTheDeviceAndEndsAHold) {
    auto& s = make();
    s.mic().hold(true);
    EXPECT_TRUE(s.mic().holding() && !s.mic().talking());
    s.mic().hold(false);
    s.panel(true);
    s.mic().setMic(true);
    ASSERT_TRUE(on(s));
    s.mic().hold(true);
    EXPECT_TRUE(s.mic().talking());
    s.mic().setMic(false);
    EXPECT_TRUE(!s.mic().holding() && s.mic().voiceLevel() == 0.0f && streams(1));
    s.mic().setMic(true);
    ASSERT_TRUE(on(s) && streams(1));
    s.mic().hold(true);
    s.panel(false);
    EXPECT_TRUE(!s.mic().holding() && s.mic().on());
    s.mic().setMic(false);
    EXPECT_TRUE(streams(0));
}

TEST_F(MicrophoneTest, ChoosingAnotherDeviceRestartsTheMicrophoneOnIt) {
    sound->pactl(
        {"load-module", "module-remap-source", "master=other.monitor", "source_name=othermic"});
    auto& s = make();
    s.mic().setMic(true);
    ASSERT_TRUE(on(s));
    s.mic().chooseMic("othermic");
    EXPECT_EQ(settings.string("micDevice"), "othermic");
    EXPECT_TRUE(on(s) && streams(0) && streams(1, "othermic"));
    s.mic().chooseMic(QString()); // the default forgets the choice
    EXPECT_FALSE(settings.string("micDevice"));
    EXPECT_TRUE(on(s) && streams(0, "othermic"));
}

// A microphone plugged in shows in the list at once, with the panel closed
// and the microphone off; once one works, the line about none being found goes.
TEST_F(MicrophoneTest, ThePickerAndTheLineFollowTheSoundServer) {
    settings.remove("micDevice");
    sound->unload("module-remap-source"); // no real input: only monitors
    auto& s = make();
    s.mic().setMic(true);
    ASSERT_TRUE(eventually([&] { return s.status() == "No microphone found"; }));
    sound->pactl(
        {"load-module", "module-remap-source", "master=mic.monitor", "source_name=usbmic"});
    const auto usbmic = [](const QVariant& input) {
        return input.value<AudioInput>().uid == "usbmic";
    };
    ASSERT_TRUE(eventually([&] { return std::ranges::any_of(s.sources().micInputs(), usbmic); }))
        << "the new microphone is not offered";
    s.mic().chooseMic("usbmic");
    s.mic().setMic(true);
    ASSERT_TRUE(on(s));
    EXPECT_EQ(StationProbe::statusKind(s), StatusLine::Kind::none) << s.status().toStdString();
}

// Holding the key of the setting "talkKey" talks while the microphone is on,
// and not after; the hint names that key.
TEST_F(MicrophoneTest, TheHotKeyHoldsToTalk) {
    test::World::display();
    const auto keys = [](const char* how) {
        test::runProgram({"xdotool", how, "ctrl+shift+F7"}, 10s);
    };
    settings.setValue("talkKey", "Ctrl+Shift+F7");
    auto& s = make();
    s.mic().setMic(true);
    ASSERT_TRUE(on(s));
    EXPECT_TRUE(s.mic().hotKeyOK());
    EXPECT_EQ(s.mic().hotKey(), "Ctrl+Shift+F7");
    keys("keydown");
    EXPECT_TRUE(eventually([&] { return s.mic().talking(); }, 3s));
    keys("keyup");
    EXPECT_TRUE(eventually([&] { return !s.mic().holding(); }, 3s));
    s.mic().setMic(false);
    keys("key");
    test::settle(300ms);
    EXPECT_FALSE(s.mic().holding());
}

// In a Wayland session the portal's "talk" shortcut holds to talk, offered
// under the trigger the portal reports once it has bound it (the key of the
// setting its preferred one); a rebind in the desktop's settings shows in the
// hint; the session outlives the microphone going off; a portal that goes away
// takes the promise along.
TEST_F(MicrophoneTest, OnWaylandThePortalsShortcutHoldsToTalk) {
    const auto portal = test::startProgram({DBUS_STANDIN, "portal", "grant"});
    ASSERT_TRUE(eventually([] { return test::World::bus().hasOwner(test::portalName); }));
    qputenv("XDG_SESSION_TYPE", "wayland");
    auto& s = make();
    s.mic().setMic(true);
    ASSERT_TRUE(on(s));
    ASSERT_TRUE(eventually([&] { return s.mic().hotKeyOK(); }, 5s));
    EXPECT_EQ(s.mic().hotKey(), "Ctrl+Alt+Space");
    portalCall("Press");
    EXPECT_TRUE(eventually([&] { return s.mic().talking(); }, 3s));
    portalCall("Release");
    EXPECT_TRUE(eventually([&] { return !s.mic().holding(); }, 3s));
    portalCall("Rebind", {QStringLiteral("Meta+F9")});
    EXPECT_TRUE(eventually([&] { return s.mic().hotKey() == "Meta+F9"; }, 3s));
    // The portal's text is the desktop's to make: taken as characters, cut short.
    const auto markup = QStringLiteral("<img src=\"https://tracker.example/k.png\">").repeated(4);
    portalCall("Rebind", {markup});
    EXPECT_TRUE(eventually([&] { return s.mic().hotKey() == markup.left(64); }, 3s));

    s.mic().setMic(false);
    portalCall("Press");
    test::settle(300ms);
    EXPECT_FALSE(s.mic().holding());
    EXPECT_FALSE(s.mic().hotKeyOK());
    portalCall("Release");
    s.mic().setMic(true);
    ASSERT_TRUE(on(s));
    EXPECT_TRUE(s.mic().hotKeyOK());
    EXPECT_EQ(portalCall("Calls"), "CreateSession BindShortcuts") << "bound a second time";

    test::endProgram(portal);
    EXPECT_TRUE(eventually([&] { return !s.mic().hotKeyOK(); }, 3s));
}

// Talking mixes the voice in over music dipped to 0.3; the music comes back
// when the talking stops.
TEST_F(MicrophoneTest, TalkingMixesTheVoiceInAndDipsTheMusic) {
    sound->play("talk-music", 500);
    sound->play("talk-voice", 1500, test::SoundDaemon::Play::on("mic"));
    auto& s = make();
    s.panel(true); // where the levels are shown
    StreamEar ear(onAir(s));
    s.mic().setMic(true);
    ASSERT_TRUE(on(s) && ear.waitForAudio());
    ear.listen(1s);
    EXPECT_NEAR(s.mic().musicLevel(), 1.0f, 0.01f);
    s.mic().setTalkOn(true);
    // Measured from when the voice is first mixed in: opening the microphone
    // takes its own while on a loaded machine.
    ASSERT_TRUE(ear.listenUntil([&] { return s.mic().voiceLevel() > 0.1f; }, 5s));
    const auto talking = StreamEar::now();
    ear.listen(2000ms);
    EXPECT_NEAR(s.mic().musicLevel(), Ducker::dipped, 0.05f);
    const auto heard = ear.heard(talking + 500ms, StreamEar::now());
    EXPECT_TRUE(test::sounds(heard, 8000, 1500));
    EXPECT_GT(test::tonePower(heard, 8000, 1500), 2 * test::tonePower(heard, 8000, 500))
        << "the music was not dipped under the voice";
    s.mic().setTalkOn(false);
    EXPECT_TRUE(eventually([&] { return s.mic().musicLevel() > 0.9f; }, 3s));
}

} // namespace
} // namespace lantern
