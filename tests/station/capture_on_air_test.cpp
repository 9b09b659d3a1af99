// What listeners hear while the captured application does what applications
// do: plays several streams, pauses, closes its stream, opens another, and
// while the sound server itself restarts. Run on PulseAudio and on PipeWire.
#include "capture/audio_processes.h"
#include "capture/mic_input.h"
#include "station/station_fixture.h"

namespace lantern {
namespace {

using test::eventually;
using Time = StreamEar::Time;

class CaptureOnAir : public StationTest {
protected:
    // On air with `id` as the source and one listener hearing audio.
    StreamEar& listenTo(const QString& id, bool watchSystem = false) {
        auto& s = make(nullptr, watchSystem);
        s.choose({id, id, QString()});
        const auto port = onAir(s);
        EXPECT_NE(port, 0);
        ear = std::make_unique<StreamEar>(port);
        EXPECT_TRUE(ear->waitForAudio());
        return *ear;
    }
    // Whether every 100 ms of what arrived between `from` and `to` holds each tone.
    bool everyWindowHolds(Time from, Time to, std::vector<double> tones) {
        const auto samples = ear->heard(home.filePath("slice.aac"), from, to);
        if (samples.size() < 8000) return false;
        for (std::size_t at = 800; at + 800 <= samples.size() - 800; at += 800) {
            const std::span window(samples.data() + at, 800);
            for (const auto hertz : tones)
                if (!test::sounds(window, 8000, hertz)) {
                    ADD_FAILURE() << hertz << " Hz missing at " << at / 8000.0 << " s";
                    return false;
                }
        }
        return true;
    }
    bool holds(Time from, Time to, double hertz) {
        const auto samples = ear->heard(home.filePath("slice.aac"), from, to);
        return samples.size() > 2000 && test::sounds(samples, 8000, hertz);
    }
    static Time now() { return StreamEar::now(); }
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
    listener.listen(2s);
    sound->play("duo", 2500, test::SoundDaemon::Play::lasting(0.4));
    listener.listen(2500ms);
    const auto to = now();
    EXPECT_LT(listener.longestGap(from), 300ms);
    EXPECT_NEAR(listener.pace(from, to), 1.0, 0.05);
    EXPECT_TRUE(everyWindowHolds(from + 500ms, to, {440, 1500}));
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
        const auto stopped = now();
        listener.listen(2s);
        EXPECT_NEAR(listener.pace(stopped + 500ms, now()), 1.0, 0.05) << step.what;
        EXPECT_FALSE(holds(stopped + 500ms, now(), 660)) << step.what;
        const auto deadline = now() + std::chrono::seconds(int(SilenceHint::after) + 3);
        while (station->status() != step.line && now() < deadline)
            listener.listen(200ms);
        EXPECT_EQ(station->status(), step.line) << step.what;

        step.resume();
        const auto resumed = now();
        listener.listen(1500ms);
        EXPECT_TRUE(holds(resumed + 1s, resumed + 1500ms, 660)) << step.what;
        listener.listen(1500ms); // the next tick sees sound again
        EXPECT_EQ(StationProbe::statusKind(*station), StatusLine::Kind::none) << step.what;
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
    const auto killed = now();
    listener.listen(2500ms);
    EXPECT_EQ(StationProbe::statusKind(*station), StatusLine::Kind::capture);
    EXPECT_NEAR(listener.pace(killed + 500ms, now()), 1.0, 0.05);

    ASSERT_TRUE(sound->start());
    sound->play("survivor", 880);
    const auto back = now();
    bool heard = false;
    while (!heard && now() < back + 5s) {
        listener.listen(250ms);
        heard = holds(now() - 500ms, now(), 880);
    }
    EXPECT_TRUE(heard) << "no music 5 s after the server came back";
    const auto steady = now();
    listener.listen(1s);
    EXPECT_TRUE(holds(steady, now(), 880)) << "the music did not stay";
    EXPECT_EQ(StationProbe::statusKind(*station), StatusLine::Kind::none);
    EXPECT_FALSE(listener.closed());
    EXPECT_EQ(station->listeners(), 1);
    EXPECT_TRUE(station->mic().on()); // the microphone came back with the server
    EXPECT_EQ(sound->recordStreamsOn("fakemic"), 1);
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
    for (const auto end = now() + 1500ms; now() < end;) // its timers and callbacks
        returnsAtOnce("the station's own work", [] { QCoreApplication::processEvents(); });
    sound->freeze(false);
    EXPECT_TRUE(s.onAir());
    EXPECT_TRUE(eventually([&] { return s.mic().on(); }));
}

} // namespace
} // namespace lantern
