#include "capture/audio_processes.h"
#include "capture/audio_source.h"
#include "capture/audio_tap.h"
#include "capture/mic_input.h"
#include "support/pulse_daemon.h"
#include "support/qt_wait.h"

#include <QCoreApplication>
#include <cmath>
#include <gtest/gtest.h>
#include <mutex>
#include <numbers>
#include <thread>
#include <unistd.h>

extern lantern::test::PulseDaemon* pulse;

using namespace lantern;
using namespace lantern::test;
using namespace std::chrono_literals;

namespace {

// Relative power of `hertz` in one channel of interleaved stereo (Goertzel).
double power(const std::vector<float>& interleaved, double rate, double hertz, int channel = 0) {
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * hertz / rate);
    double previous = 0, before = 0;
    const auto frames = interleaved.size() / 2;
    for (std::size_t i = 0; i < frames; ++i) {
        const double current = interleaved[2 * i + channel] + coefficient * previous - before;
        before = previous;
        previous = current;
    }
    const double value = previous * previous + before * before - coefficient * previous * before;
    return value / static_cast<double>(std::max<std::size_t>(frames, 1) * frames);
}

// What a tap delivers, gathered from the loop thread.
struct Recording {
    std::mutex mutex;
    std::vector<float> samples;
    double rate = 0;
    std::vector<std::string> failures;
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
    AudioTap::OnFailure failure() {
        return [this](const std::string& message) {
            std::lock_guard lock(mutex);
            failures.push_back(message);
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
    pulse->play("tone-a", 440);
    pulse->play("tone-b", 1000);
    ASSERT_TRUE(streamsOf("tone-a", 1) && streamsOf("tone-b", 1));
    Recording recording;
    AudioTap tap(AudioSource::wholeMac(), recording.failure(), recording.audio());
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
    pulse->play("tone-a", 440);
    pulse->play("tone-b", 1000);
    ASSERT_TRUE(streamsOf("tone-a", 1) && streamsOf("tone-b", 1));
    Recording own, everything;
    AudioTap tap(application("tone-a"), own.failure(), own.audio());
    AudioTap whole(AudioSource::wholeMac(), everything.failure(), everything.audio());
    const auto heard = own.fresh(0.5);
    EXPECT_GT(power(heard, own.rate, 440), 1000 * power(heard, own.rate, 1000));
    const auto aloud = everything.fresh(0.5);
    EXPECT_GT(power(aloud, everything.rate, 440), 100 * power(aloud, everything.rate, 3000))
        << "the tapped application no longer reaches the speakers";
}

TEST(AudioTap, SecondStreamOfTheApplicationIsSummedIn) {
    pulse->play("tone-a", 440);
    pulse->play("tone-a", 1500);
    pulse->play("tone-b", 1000);
    ASSERT_TRUE(streamsOf("tone-a", 2));
    Recording recording;
    AudioTap tap(application("tone-a"), recording.failure(), recording.audio());
    const auto heard = recording.fresh(0.5);
    const double off = power(heard, recording.rate, 1000);
    EXPECT_GT(power(heard, recording.rate, 440), 1000 * off);
    EXPECT_GT(power(heard, recording.rate, 1500), 1000 * off);
}

TEST(AudioTap, SubsidiaryProgramsBelongToTheApplication) {
    pulse->play("tone-a.helper", 440);
    pulse->play("tone-ab", 1000);
    ASSERT_TRUE(streamsOf("tone-a", 1) && streamsOf("tone-ab", 1));
    EXPECT_EQ(AudioProcesses::of("tone-a").size(), 1u);
}

TEST(AudioTap, ApplicationWithoutStreamsIsATapError) {
    try {
        AudioTap tap(
            application("nobody-plays-this"), [](const std::string&) {},
            [](std::span<const float>, double) {});
        FAIL() << "a tap of nothing was made";
    } catch (const AudioTapError& error) {
        EXPECT_EQ(error.kind(), AudioTapError::Kind::tap);
    }
}

TEST(AudioTap, FollowsTheDefaultSinkToItsNewRate) {
    pulse->play("tone-a", 440);
    ASSERT_TRUE(streamsOf("tone-a", 1));
    Recording recording;
    AudioTap tap(AudioSource::wholeMac(), recording.failure(), recording.audio());
    recording.fresh(0.2);
    EXPECT_EQ(recording.rate, 44100);
    pulse->pactl({"set-default-sink", "other"});
    pulse->play("tone-b", 1000, "other");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(recording.mutex);
        return recording.rate == 48000;
    })) << "the capture did not move to the new default sink";
    const auto heard = recording.fresh(0.5);
    EXPECT_GT(power(heard, 48000, 1000), 100 * power(heard, 48000, 3000));
    EXPECT_TRUE(recording.failures.empty());
    pulse->pactl({"set-default-sink", "speakers"});
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
    pulse->pause("aaa-paused", CORKED_PLAYER);
    pulse->play("zzz-playing", 440);
    ASSERT_TRUE(streamsOf("aaa-paused", 1) && streamsOf("zzz-playing", 1));
    for (const auto& process : AudioProcesses::all()) {
        if (process.bundleID == "aaa-paused") {
            EXPECT_FALSE(process.isPlaying);
        }
    }
    EXPECT_EQ(AudioProcesses::sounding().count("aaa-paused"), 0u);
    EXPECT_EQ(AudioProcesses::sounding().count("zzz-playing"), 1u);
    std::vector<QString> ids;
    for (const auto& source : AudioSources::current())
        ids.push_back(source.id);
    // Playing first, whatever the names say.
    EXPECT_EQ(ids, (std::vector<QString>{"whole-mac", "zzz-playing", "aaa-paused"}));
}

TEST(AudioSources, CurrentListsPlayersButNeverThisProgram) {
    pulse->play("tone-a", 440);
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

std::optional<QString> startMic(
    MicInput& mic, std::function<void(QString)> onLost = [](QString) {}) {
    std::optional<std::optional<QString>> result;
    mic.start(std::move(onLost), [&](std::optional<QString> message) { result = message; });
    EXPECT_TRUE(eventually([&] { return result.has_value(); }));
    return result.value_or(QString("no answer"));
}

TEST(MicInput, MissingChosenSourceIsNotConnected) {
    MicInput mic;
    mic.deviceUID = "no-such-source";
    EXPECT_EQ(startMic(mic), QString("That microphone isn't connected"));
    EXPECT_FALSE(mic.running());
}

class MicRates : public testing::TestWithParam<double> {};

TEST_P(MicRates, ToneArrivesInTheRingAtTheTargetRate) {
    pulse->play("singer", 700, "mic");
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
        const auto outputs = pulse->pactl({"list", "short", "source-outputs"});
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
    const auto modules = pulse->pactl({"list", "short", "modules"});
    const auto line = modules.substr(0, modules.find("module-remap-source") + 1);
    const auto index = line.substr(line.rfind('\n') + 1,
                                   line.find('\t', line.rfind('\n') + 1) - line.rfind('\n') - 1);
    pulse->pactl({"unload-module", index});
    EXPECT_TRUE(eventually([&] { return lost.has_value(); }));
    EXPECT_EQ(lost, QString("That microphone isn't connected"));
    EXPECT_FALSE(mic.running());
}

} // namespace
