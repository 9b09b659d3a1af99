// What listeners hear while the captured application does what applications
// do: plays several streams, pauses, closes its stream, opens another, and
// while the sound server itself restarts. Run on PulseAudio and on PipeWire.
#include "capture/audio_processes.h"
#include "capture/mic_input.h"
#include "station/station_fixture.h"

namespace lantern {
namespace {

using test::eventually;
using Kind = StatusLine::Kind;
const auto now = StreamEar::now;

class CaptureOnAir : public StationTest {
protected:
    // On air with `id` as the source and one listener hearing audio.
    StreamEar& listenTo(const QString& id, bool watchSystem = false) {
        auto& s = make(nullptr, watchSystem);
        s.choose({id, id, QString()});
        ear = std::make_unique<StreamEar>(onAir(s));
        EXPECT_TRUE(ear->waitForAudio());
        return *ear;
    }
    // Whether every 100 ms of what arrived between `from` and `to` holds each tone.
    ::testing::AssertionResult everyWindowHolds(StreamEar::Time from, StreamEar::Time to,
                                                std::vector<double> tones) {
        const auto samples = ear->heard(from, to);
        if (samples.size() < 8000) return ::testing::AssertionFailure() << "too little heard";
        for (std::size_t at = 800; at + 800 <= samples.size() - 800; at += 800)
            for (const auto hertz : tones)
                if (!test::sounds(std::span(samples.data() + at, 800), 8000, hertz))
                    return ::testing::AssertionFailure() << hertz << " Hz missing at " << at / 8e3;
        return ::testing::AssertionSuccess();
    }
    int captures() const { return station->broadcast()->captures(); }

    std::unique_ptr<StreamEar> ear;
};

// Two streams of one application (two tabs, a player and its notification):
// the station's stream still runs at real time, both are heard at once, not
// one block of each in turn, and a short third one (a notification) comes and
// goes without a gap and without restarting the capture.
TEST_F(CaptureOnAir, StreamsOfOneApplicationAreHeardTogetherInRealTime) {
    sound->play("duo", 440);
    sound->play("duo", 1500);
    ASSERT_TRUE(eventually([] { return AudioProcesses::of("duo").size() == 2; }));
    auto& listener = listenTo("duo");
    const auto started = captures();
    const auto from = now();
    EXPECT_TRUE(listener.realTime(
        {.warmUp = 0ms, .window = 2500ms, .slowest = 0.95, .fastest = 1.05, .maxGap = 300ms}, [&] {
            listener.listen(2s);
            sound->play("duo", 2500, test::SoundDaemon::Play::lasting(0.4));
        }));
    EXPECT_TRUE(everyWindowHolds(from + 500ms, now(), {440, 1500}));
    EXPECT_EQ(captures(), started);
}

// Paused (PipeWire then sends nothing at all) or closed: listeners keep a live
// stream of silence, the line says why, and the sound is back within a
// second of playing again, on the same connection.
TEST_F(CaptureOnAir, PausedOrClosedTheStreamGoesOnAndTheSoundComesBack) {
    auto player = sound->play("pauser", 660);
    ASSERT_TRUE(eventually([] { return !AudioProcesses::of("pauser").empty(); }));
    auto& listener = listenTo("pauser", true);
    ASSERT_TRUE(eventually([&] { return !station->link().isEmpty(); }));
    const auto started = captures();

    struct Step {
        const char* what;
        std::function<void()> stop, resume;
        QString line;
    };
    const Step steps[] = {
        {"paused", [&] { sound->pause(player); }, [&] { sound->pause(player); }, "pauser is quiet"},
        {"closed", [&] { sound->end(player); }, [&] { player = sound->play("pauser", 660); },
         "pauser isn't running"},
    };
    for (const auto& step : steps) {
        step.stop();
        EXPECT_TRUE(listener.realTime(
            {.warmUp = 500ms, .window = 1500ms, .slowest = 0.95, .fastest = 1.05}))
            << step.what;
        EXPECT_FALSE(listener.sounds(660, now() - 1500ms, now())) << step.what;
        EXPECT_TRUE(listener.listenUntil([&] { return station->status() == step.line; },
                                         std::chrono::seconds(int(SilenceHint::after) + 3), 200ms))
            << step.what << ": " << station->status().toStdString();
        step.resume();
        listener.listen(1500ms);
        EXPECT_TRUE(listener.sounds(660, now() - 500ms, now())) << step.what;
        EXPECT_TRUE(listener.listenUntil(
            [&] { return StationProbe::statusKind(*station) == Kind::none; }, 3s))
            << step.what << ": the line stayed";
    }
    EXPECT_FALSE(listener.closed());
    EXPECT_EQ(captures(), started);
}

// The sound server restarts (a user restarts it, or it crashed): listeners
// stay connected to a live stream, the line says so, and the music is back
// within five seconds of the server.
TEST_F(CaptureOnAir, ASoundServerRestartKeepsTheListeners) {
    sound->play("survivor", 880);
    ASSERT_TRUE(eventually([] { return !AudioProcesses::of("survivor").empty(); }));
    auto& listener = listenTo("survivor");
    station->mic().setMic(true);
    ASSERT_TRUE(eventually([&] { return station->mic().on(); }));
    listener.listen(1s);
    EXPECT_EQ(station->listeners(), 1);

    sound->kill();
    EXPECT_TRUE(
        listener.realTime({.warmUp = 500ms, .window = 2s, .slowest = 0.95, .fastest = 1.05}));
    EXPECT_EQ(StationProbe::statusKind(*station), Kind::capture);

    ASSERT_TRUE(sound->start());
    sound->play("survivor", 880);
    EXPECT_TRUE(
        listener.listenUntil([&] { return listener.sounds(880, now() - 500ms, now()); }, 5s, 250ms))
        << "no music 5 s after the server came back";
    listener.listen(1s);
    EXPECT_TRUE(listener.sounds(880, now() - 1s, now())) << "the music did not stay";
    EXPECT_EQ(StationProbe::statusKind(*station), Kind::none);
    EXPECT_TRUE(!listener.closed() && station->listeners() == 1);
    // The microphone comes back with the server.
    EXPECT_TRUE(
        eventually([&] { return station->mic().on() && sound->recordStreamsOn("fakemic") == 1; }));
}

// A sound server that hangs never holds up the panel: every operation the
// panel calls returns at once, and the station goes on air all the same.
TEST_F(CaptureOnAir, AHungSoundServerNeverBlocksThePanel) {
    sound->play("stuck", 440);
    ASSERT_TRUE(eventually([] { return !AudioProcesses::of("stuck").empty(); }));
    auto& s = make(nullptr, true);
    sound->freeze(true);
    returnsAtOnce("choose", [&] { s.choose({"stuck", "Stuck", QString()}); });
    returnsAtOnce("go on air", [&] { s.goOnAir(); });
    returnsAtOnce("microphone on", [&] { s.mic().setMic(true); });
    returnsAtOnce("sources", [] { AudioSources::current(); });
    returnsAtOnce("inputs", [] { AudioInputs::list(); });
    // Its timers and callbacks.
    returnsAtOnce(
        "the station's own work", [] { QCoreApplication::processEvents(); }, 1500ms);
    sound->freeze(false);
    EXPECT_TRUE(s.onAir());
    EXPECT_TRUE(eventually([&] { return s.mic().on(); }));
}

} // namespace
} // namespace lantern
