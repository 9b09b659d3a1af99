#include "capture/audio_processes.h"
#include "capture/audio_source.h"
#include "capture/audio_tap.h"
#include "capture/mic_input.h"
#include "capture/sound_server.h"
#include "support/sound_daemon.h"
#include "support/qt_wait.h"
#include "support/tone.h"

#include <QCoreApplication>
#include <cmath>
#include <gtest/gtest.h>
#include <mutex>
#include <numbers>
#include <thread>
#include <unistd.h>

extern lantern::test::SoundDaemon* sound;

using namespace lantern;
using namespace lantern::test;
using namespace std::chrono_literals;

namespace {

// Relative power of `hertz` in one channel of interleaved stereo.
double power(const std::vector<float>& interleaved, double rate, double hertz) {
    return tonePower(interleaved, rate, hertz, 2);
}

// What a tap delivers, gathered from the loop thread.
struct Recording {
    std::mutex mutex;
    std::vector<float> samples;
    double rate = 0;
    std::vector<AudioTap::Problem> problems;
    std::thread::id thread;

    AudioTap::OnAudio audio() {
        return [this](std::span<const float> block, double blockRate) {
            std::lock_guard lock(mutex);
            if (blockRate != rate) samples.clear(); // keep one rate only: the latest
            rate = blockRate;
            thread = std::this_thread::get_id();
            samples.insert(samples.end(), block.begin(), block.end());
        };
    }
    AudioTap::OnProblem problem() {
        return [this](AudioTap::Problem problem) {
            std::lock_guard lock(mutex);
            problems.push_back(problem);
        };
    }
    // Waits for `seconds` of fresh audio (at least), then returns it.
    std::vector<float> fresh(double seconds) {
        {
            std::lock_guard lock(mutex);
            samples.clear();
        }
        eventually([&] {
            std::lock_guard lock(mutex);
            return rate > 0 && static_cast<double>(samples.size()) >= seconds * rate * 2;
        });
        std::lock_guard lock(mutex);
        return samples;
    }
};

AudioSource application(const std::string& id) {
    return AudioSource{QString::fromStdString(id), QString::fromStdString(id), std::nullopt};
}

bool streamsOf(const std::string& id, std::size_t count) {
    return eventually([&] { return AudioProcesses::of(id).size() == count; });
}

TEST(AudioTap, WholeMachineHearsEveryPlayer) {
    sound->play("tone-a", 440);
    sound->play("tone-b", 1000);
    ASSERT_TRUE(streamsOf("tone-a", 1) && streamsOf("tone-b", 1));
    Recording recording;
    AudioTap tap(AudioSource::wholeMac(), recording.problem(), recording.audio());
    const auto heard = recording.fresh(0.5);
    EXPECT_EQ(recording.rate, 44100);
    EXPECT_NE(recording.thread, std::this_thread::get_id());
    const double a = power(heard, 44100, 440), b = power(heard, 44100, 1000),
                 off = power(heard, 44100, 3000);
    EXPECT_GT(a, 100 * off);
    EXPECT_GT(b, 100 * off);
    tap.stop();
    tap.stop();
}

TEST(AudioTap, ApplicationHearsOnlyItselfAndStillPlaysAloud) {
    sound->play("tone-a", 440);
    sound->play("tone-b", 1000);
    ASSERT_TRUE(streamsOf("tone-a", 1) && streamsOf("tone-b", 1));
    Recording own, everything;
    AudioTap tap(application("tone-a"), own.problem(), own.audio());
    AudioTap whole(AudioSource::wholeMac(), everything.problem(), everything.audio());
    const auto heard = own.fresh(0.5);
    EXPECT_GT(power(heard, own.rate, 440), 1000 * power(heard, own.rate, 1000));
    const auto aloud = everything.fresh(0.5);
    EXPECT_GT(power(aloud, everything.rate, 440), 100 * power(aloud, everything.rate, 3000))
        << "the tapped application no longer reaches the speakers";
}

TEST(AudioTap, SubsidiaryProgramsBelongToTheApplication) {
    sound->play("tone-a.helper", 440);
    sound->play("tone-ab", 1000);
    ASSERT_TRUE(streamsOf("tone-a", 1) && streamsOf("tone-ab", 1));
    EXPECT_EQ(AudioProcesses::of("tone-a").size(), 1u);
}

// Frames a tap delivers in `seconds` of wall time, and whether they hold `hertz`.
struct Stretch {
    double framesPerSecond;
    bool tone;
};

Stretch listen(Recording& recording, double seconds, double hertz) {
    {
        std::lock_guard lock(recording.mutex);
        recording.samples.clear();
    }
    const auto start = std::chrono::steady_clock::now();
    settle(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard lock(recording.mutex);
    const auto& heard = recording.samples;
    const double rate = recording.rate;
    return {static_cast<double>(heard.size() / 2) / elapsed, rate > 0 && sounds(heard, rate, hertz, 2)};
}

// A capture is one clock: it runs at the sink's rate whether the application
// plays, pauses (PipeWire then sends nothing at all), has closed its stream or
// never had one, and the sound is back at once when it plays again.
TEST(AudioTap, KeepsTimeWhateverTheApplicationDoes) {
    Recording recording;
    AudioTap tap(application("comes-and-goes"), recording.problem(), recording.audio());
    struct Phase {
        const char* what;
        std::function<void()> act;
        bool tone;
    };
    pid_t player = -1;
    const std::vector<Phase> phases = {
        {"no stream yet", [] {}, false},
        {"playing", [&] { player = sound->play("comes-and-goes", 660); }, true},
        {"paused", [&] { sound->pause(player); }, false},
        {"playing again", [&] { sound->pause(player); }, true},
        {"stream closed", [&] { sound->end(player); }, false},
        {"a new stream", [&] { sound->play("comes-and-goes", 660); }, true},
    };
    for (const auto& phase : phases) {
        phase.act();
        settle(300ms); // the change reaches the capture
        const auto heard = listen(recording, 1.0, 660);
        EXPECT_NEAR(heard.framesPerSecond, 44100, 44100 * 0.1) << phase.what;
        EXPECT_EQ(heard.tone, phase.tone) << phase.what;
    }
    std::lock_guard lock(recording.mutex);
    EXPECT_EQ(recording.rate, 44100);
    for (const auto problem : recording.problems)
        EXPECT_EQ(problem, AudioTap::Problem::none);
}

TEST(AudioTap, FollowsTheDefaultSinkToItsNewRate) {
    sound->play("tone-a", 440);
    ASSERT_TRUE(streamsOf("tone-a", 1));
    Recording recording;
    AudioTap tap(AudioSource::wholeMac(), recording.problem(), recording.audio());
    recording.fresh(0.2);
    EXPECT_EQ(recording.rate, 44100);
    sound->pactl({"set-default-sink", "other"});
    sound->play("tone-b", 1000, test::SoundDaemon::Play::on("other"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(recording.mutex);
        return recording.rate == 48000;
    })) << "the capture did not move to the new default sink";
    const auto heard = recording.fresh(0.5);
    EXPECT_GT(power(heard, 48000, 1000), 100 * power(heard, 48000, 3000));
    for (const auto problem : recording.problems)
        EXPECT_EQ(problem, AudioTap::Problem::none);
    sound->pactl({"set-default-sink", "speakers"});
}

// An application is captured at the rate of the sink it plays on, not the
// default sink's.
TEST(AudioTap, CapturesAtTheRateOfTheApplicationsSink) {
    sound->play("elsewhere", 700, test::SoundDaemon::Play::on("other"));
    ASSERT_TRUE(streamsOf("elsewhere", 1));
    Recording recording;
    AudioTap tap(application("elsewhere"), recording.problem(), recording.audio());
    const auto heard = recording.fresh(0.5);
    EXPECT_EQ(recording.rate, 48000);
    EXPECT_TRUE(sounds(heard, 48000, 700, 2));
}

// When the output goes away and the capture cannot follow, it says so; once
// an output is back the capture resumes and takes the line back.
TEST(AudioTap, ALostOutputIsReportedUntilCaptureWorksAgain) {
    Recording recording;
    AudioTap tap(AudioSource::wholeMac(), recording.problem(), recording.audio());
    recording.fresh(0.2);
    sound->unload("module-remap-source");
    sound->unload("module-null-sink");
    settle(2500ms); // the rebuild, and its one retry a second later
    {
        std::lock_guard lock(recording.mutex);
        // PipeWire puts a stand-in sink up by itself, which the capture may
        // follow; PulseAudio has none left.
        for (const auto problem : recording.problems)
            EXPECT_NE(problem, AudioTap::Problem::cannotHear);
        if (sound->kind() == test::SoundDaemon::Kind::pulseaudio) {
            EXPECT_EQ(recording.problems, std::vector{AudioTap::Problem::outputChanged});
        }
    }
    sound->pactl({"load-module", "module-null-sink", "sink_name=speakers", "rate=44100"});
    sound->pactl({"set-default-sink", "speakers"});
    sound->play("comeback", 440);
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(recording.mutex);
        return recording.problems.empty() || recording.problems.back() == AudioTap::Problem::none;
    }));
    EXPECT_TRUE(eventually([&] { return sounds(recording.fresh(0.3), 44100, 440, 2); }));
}

TEST(AudioSources, ArrangesPlayingFirstThenSpotifyThenName) {
    const std::vector<RunningApplication> running = {
        {"beta", QString("Beta"), std::nullopt},
        {"quiet", QString("Quiet"), std::nullopt},
        {"spotify", QString("Spotify"), std::nullopt},
        {"alpha", QString("alpha"), std::nullopt},
        {"twin-1", QString("Twin"), std::nullopt},
        {"twin-2", QString("Twin"), std::nullopt},
        {"beta", QString("Beta again"), std::nullopt},
        {"silent", QString("Silent"), std::nullopt},
        {"lantern-fm", QString("Lantern FM"), std::nullopt},
        {"noname", std::nullopt, std::nullopt},
        {"pre", QString("Prefix"), std::nullopt},
    };
    const std::vector<QString> known = {"beta",   "quiet",      "spotify", "alpha.helper", "twin-1",
                                        "twin-2", "lantern-fm", "noname",  "prefixed"};
    const std::vector<QString> playing = {"beta", "alpha.helper", "lantern-fm"};
    std::vector<QString> ids;
    for (const auto& source : AudioSources::arrange(running, known, playing, "lantern-fm"))
        ids.push_back(source.id);
    // "silent" has no stream and "pre" only matches "prefixed" without a dot: neither is offered.
    EXPECT_EQ(ids, (std::vector<QString>{"whole-mac", "alpha", "beta", "spotify", "noname", "quiet",
                                         "twin-1", "twin-2"}));
}

TEST(AudioSources, CorkedStreamIsKnownButNotPlaying) {
    sound->play("aaa-paused", 440, test::SoundDaemon::Play::paused());
    sound->play("zzz-playing", 440);
    ASSERT_TRUE(streamsOf("aaa-paused", 1) && streamsOf("zzz-playing", 1));
    // A new stream may report itself corked until its first data plays.
    ASSERT_TRUE(eventually([] { return AudioProcesses::sounding().count("zzz-playing") == 1; }));
    EXPECT_EQ(AudioProcesses::sounding().count("aaa-paused"), 0u);
    std::vector<QString> ids;
    for (const auto& source : AudioSources::current())
        ids.push_back(source.id);
    // Playing first, whatever the names say.
    EXPECT_EQ(ids, (std::vector<QString>{"whole-mac", "zzz-playing", "aaa-paused"}));
}

TEST(AudioSources, CurrentListsPlayersButNeverThisProgram) {
    sound->play("tone-a", 440);
    ASSERT_TRUE(streamsOf("tone-a", 1));
    const auto sources = AudioSources::current();
    ASSERT_FALSE(sources.empty());
    EXPECT_EQ(sources.front(), AudioSource::wholeMac());
    EXPECT_TRUE(std::any_of(sources.begin(), sources.end(),
                            [](const auto& s) { return s.id == "tone-a"; }));
    EXPECT_TRUE(std::none_of(sources.begin(), sources.end(),
                             [](const auto& s) { return s.id == "capture_test"; }));
    const auto own = QString::number(::getpid());
    for (const auto& application : AudioSources::runningApplications())
        EXPECT_NE(application.id, "capture_test");
}

// Nothing when the microphone started, else the message.
std::optional<QString> startMic(
    MicInput& mic, std::function<void(QString)> onLost = [](QString) {}) {
    std::optional<MicInput::Started> result;
    mic.start(std::move(onLost), [&](MicInput::Started started) { result = started; });
    if (!eventually([&] { return result.has_value(); })) return QString("no answer");
    if (result->ok()) return std::nullopt;
    return result->message;
}

// The texts a start that finds no microphone gives: a chosen one that is
// gone, or none at all. With no real input the server makes a sink's monitor
// its default source; that must not become the "microphone" (the music would
// come back in as the voice).
TEST(MicInput, WithoutARealInputTheStartSaysWhy) {
    {
        MicInput mic;
        mic.deviceUID = "no-such-source";
        EXPECT_EQ(startMic(mic), QString("That microphone isn't connected"));
        EXPECT_FALSE(mic.running());
    }
    sound->unload("module-remap-source");
    ASSERT_TRUE(eventually([] {
        const auto state = SoundServer::shared().state();
        const auto* source = state->sourceNamed(state->defaultSource);
        return state->connected && (!source || source->monitor);
    }));
    EXPECT_FALSE(AudioInputs::defaultName());
    MicInput mic;
    EXPECT_EQ(startMic(mic), QString("No microphone found"));
    EXPECT_FALSE(mic.running());
}

class MicRates : public testing::TestWithParam<double> {};

TEST_P(MicRates, ToneArrivesInTheRingAtTheTargetRate) {
    sound->play("singer", 700, test::SoundDaemon::Play::on("mic"));
    MicInput mic;
    mic.setRate(GetParam());
    mic.deviceUID = "fakemic";
    ASSERT_EQ(startMic(mic), std::nullopt);
    EXPECT_TRUE(mic.running());
    std::vector<float> voice;
    ASSERT_TRUE(eventually([&] {
        auto taken = mic.ring.take(mic.ring.size());
        voice.insert(voice.end(), taken.begin(), taken.end());
        return voice.size() >= static_cast<std::size_t>(GetParam()); // half a second of stereo
    }));
    EXPECT_GT(power(voice, GetParam(), 700), 100 * power(voice, GetParam(), 1400));
    EXPECT_GT(mic.takePeak(), 0.1f);
    EXPECT_LT(mic.takePeak(), 0.1f) << "the peak was not reset by reading it";
    mic.stop();
    EXPECT_EQ(mic.takePeak(), 0.0f);
    EXPECT_EQ(mic.ring.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rates, MicRates, testing::Values(48000.0, 44100.0));

TEST(MicInput, StartingTwiceOpensOneStream) {
    auto recordStreams = [] {
        const auto outputs = sound->pactl({"list", "short", "source-outputs"});
        return std::count(outputs.begin(), outputs.end(), '\n');
    };
    const auto before = recordStreams(); // the fake microphone's own feed is one
    MicInput mic;
    mic.deviceUID = "fakemic";
    ASSERT_EQ(startMic(mic), std::nullopt);
    EXPECT_EQ(startMic(mic), std::nullopt);
    EXPECT_EQ(recordStreams(), before + 1);
    mic.stop();
    EXPECT_TRUE(eventually([&] { return recordStreams() == before; }));
}

TEST(MicInput, UnloadedSourceWhileRunningIsLost) {
    MicInput mic;
    mic.deviceUID = "fakemic";
    std::optional<QString> lost;
    ASSERT_EQ(startMic(mic, [&](QString message) { lost = message; }), std::nullopt);
    sound->unload("module-remap-source");
    EXPECT_TRUE(eventually([&] { return lost.has_value(); }));
    EXPECT_EQ(lost, QString("That microphone isn't connected"));
    EXPECT_FALSE(mic.running());
}

} // namespace
