// Capture against a real sound server: PulseAudio, or PipeWire's pulse server.
#include "capture/audio_processes.h"
#include "capture/audio_source.h"
#include "capture/audio_tap.h"
#include "capture/mic_input.h"
#include "capture/sound_server.h"
#include "core/stream/stream_server.h"
#include "support/eventually.h"
#include "support/sound_daemon.h"
#include "support/tone.h"
#include "support/world.h"

#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace lantern;
using namespace lantern::test;

namespace {

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
            if (blockRate != rate) samples.clear(); // keep the latest rate only
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
    // At least `seconds` of fresh audio.
    std::vector<float> fresh(double seconds) {
        {
            std::lock_guard lock(mutex);
            samples.clear();
        }
        eventually([&] {
            std::lock_guard lock(mutex);
            return rate > 0 && double(samples.size()) >= seconds * rate * 2;
        });
        std::lock_guard lock(mutex);
        return samples;
    }
};

AudioSource application(const std::string& id) {
    return AudioSource{QString::fromStdString(id), QString::fromStdString(id), QString()};
}

bool streamsOf(const std::string& id, std::size_t count) {
    return eventually([&] { return AudioProcesses::of(id).size() == count; });
}

// The whole computer hears every player; an application only itself (and
// it still plays aloud); programs named after it ("id.helper") belong to it.
TEST(AudioTap, HearsTheWholeComputerOrOneApplication) {
    auto& sound = World::sound();
    sound.play("tone-a.helper", 440);
    sound.play("tone-b", 1000);
    sound.play("tone-ab", 1500);
    ASSERT_TRUE(streamsOf("tone-a", 1) && streamsOf("tone-b", 1) && streamsOf("tone-ab", 1));
    Recording own, everything;
    AudioTap tap(application("tone-a"), own.problem(), own.audio());
    AudioTap whole(AudioSource::wholeMac(), everything.problem(), everything.audio());
    const auto heard = own.fresh(0.5);
    EXPECT_TRUE(sounds(heard, own.rate, 440, 2));
    EXPECT_GT(tonePower(heard, own.rate, 440, 2), 1000 * tonePower(heard, own.rate, 1000, 2));
    EXPECT_GT(tonePower(heard, own.rate, 440, 2), 1000 * tonePower(heard, own.rate, 1500, 2));
    const auto aloud = everything.fresh(0.5);
    EXPECT_EQ(everything.rate, 44100);
    EXPECT_NE(everything.thread, std::this_thread::get_id());
    for (const double hertz : {440.0, 1000.0, 1500.0})
        EXPECT_TRUE(sounds(aloud, 44100, hertz, 2)) << hertz;
    tap.stop();
    tap.stop();
}

// The rate is the sink's: the one the application plays on, and for the
// whole computer the default sink's, followed when the default changes.
TEST(AudioTap, CapturesAtTheRateOfTheSinkItHears) {
    auto& sound = World::sound();
    sound.play("elsewhere", 700, SoundDaemon::Play::on("other"));
    ASSERT_TRUE(streamsOf("elsewhere", 1));
    Recording application, whole;
    AudioTap tap(::application("elsewhere"), application.problem(), application.audio());
    EXPECT_TRUE(sounds(application.fresh(0.5), 48000, 700, 2));
    EXPECT_EQ(application.rate, 48000);
    AudioTap everything(AudioSource::wholeMac(), whole.problem(), whole.audio());
    whole.fresh(0.2);
    EXPECT_EQ(whole.rate, 44100);
    sound.pactl({"set-default-sink", "other"});
    // A server busy with other tests can take seconds to announce the change.
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard lock(whole.mutex);
            return whole.rate == 48000;
        },
        15s))
        << "the capture did not move to the new default sink";
    EXPECT_TRUE(sounds(whole.fresh(0.5), 48000, 700, 2));
    EXPECT_TRUE(whole.problems.empty() || whole.problems.back() == AudioTap::Problem::none);
}

// When the output goes away and the capture cannot follow, it says so; once
// an output is back the capture resumes and takes the line back.
TEST(AudioTap, ALostOutputIsReportedUntilCaptureWorksAgain) {
    auto& sound = World::sound();
    Recording recording;
    AudioTap tap(AudioSource::wholeMac(), recording.problem(), recording.audio());
    recording.fresh(0.2);
    sound.unload("module-remap-source");
    sound.unload("module-null-sink");
    settle(2500ms); // the rebuild, and its one retry a second later
    {
        std::lock_guard lock(recording.mutex);
        // PipeWire puts a stand-in sink up by itself, which the capture may
        // follow; PulseAudio has none left.
        for (const auto problem : recording.problems)
            EXPECT_NE(problem, AudioTap::Problem::cannotHear);
        if (sound.kind() == SoundDaemon::Kind::pulseaudio) {
            EXPECT_EQ(recording.problems, std::vector{AudioTap::Problem::outputChanged});
        }
    }
    sound.pactl({"load-module", "module-null-sink", "sink_name=speakers", "rate=44100"});
    sound.pactl({"set-default-sink", "speakers"});
    ASSERT_TRUE(
        eventually([&] { return sound.pactl({"get-default-sink"}).starts_with("speakers"); }, 10s));
    // Played on the new sink by name: a busy session manager can still route a
    // new stream to the stand-in sink after the default has moved.
    sound.play("comeback", 440, SoundDaemon::Play::on("speakers"));
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(recording.mutex);
        return recording.problems.empty() || recording.problems.back() == AudioTap::Problem::none;
    }));
    EXPECT_TRUE(eventually([&] { return sounds(recording.fresh(0.3), 44100, 440, 2); }, 10s))
        << "capturing at " <<
        [&] {
            std::lock_guard lock(recording.mutex);
            return recording.rate;
        }()
        << " Hz";
}

TEST(AudioSources, PlayingFirstThenSpotifyThenByName) { // (no sound server needed)
    const std::vector<RunningApplication> running = {
        {"beta", QString("Beta"), {}},
        {"quiet", QString("Quiet"), {}},
        {"spotify", QString("Spotify"), {}},
        {"alpha", QString("alpha"), {}},
        {"twin-1", QString("Twin"), {}},
        {"twin-2", QString("Twin"), {}},
        {"beta", QString("Beta again"), {}},
        {"silent", QString("Silent"), {}},
        {"lantern-fm", QString("Lantern FM"), {}},
        {"noname", std::nullopt, {}},
        {"pre", QString("Prefix"), {}},
    };
    const std::vector<QString> known = {"beta",   "quiet",      "spotify", "alpha.helper", "twin-1",
                                        "twin-2", "lantern-fm", "noname",  "prefixed"};
    const std::vector<QString> playing = {"beta", "alpha.helper", "lantern-fm"};
    std::vector<QString> ids;
    for (const auto& source : AudioSources::arrange(running, known, playing, "lantern-fm"))
        ids.push_back(source.id);
    // No stream ("silent"), no dot after the id ("pre" and "prefixed"): not offered.
    EXPECT_EQ(ids, (std::vector<QString>{"whole-mac", "alpha", "beta", "spotify", "noname", "quiet",
                                         "twin-1", "twin-2"}));
}

TEST(AudioSources, ListsTheServersPlayersButNeverThisProgram) {
    auto& sound = World::sound();
    sound.play("aaa-paused", 440, SoundDaemon::Play::paused());
    sound.play("zzz-playing", 440);
    ASSERT_TRUE(streamsOf("aaa-paused", 1) && streamsOf("zzz-playing", 1));
    // A new stream may report itself corked until its first data plays.
    ASSERT_TRUE(eventually([] { return AudioProcesses::sounding().count("zzz-playing") == 1; }));
    EXPECT_EQ(AudioProcesses::sounding().count("aaa-paused"), 0u);
    std::vector<QString> ids;
    for (const auto& source : AudioSources::current())
        ids.push_back(source.id);
    EXPECT_EQ(ids, (std::vector<QString>{"whole-mac", "zzz-playing", "aaa-paused"}));
}

// Nothing when the microphone started, else the message.
std::optional<QString> startMic(
    MicInput& mic, std::function<void(QString)> onLost = [](QString) {}) {
    std::optional<MicInput::Started> result;
    mic.start(std::move(onLost), [&](MicInput::Started started) { result = started; });
    if (!eventually([&] { return result.has_value(); })) return QString("no answer");
    return result->ok() ? std::nullopt : std::optional(result->message);
}

// The voice arrives at the capture's rate (converted), once per start; the
// peak is the meter's and resets when read.
TEST(MicInput, TheVoiceArrivesAtTheCapturesRate) {
    auto& sound = World::sound();
    sound.play("singer", 700, SoundDaemon::Play::on("mic"));
    for (const double rate : {48000.0, 44100.0}) {
        const auto before = sound.recordStreamsOn("fakemic");
        MicInput mic;
        mic.setRate(rate);
        mic.deviceUID = "fakemic";
        ASSERT_EQ(startMic(mic), std::nullopt);
        EXPECT_EQ(startMic(mic), std::nullopt); // a second start opens nothing more
        EXPECT_TRUE(eventually([&] { return sound.recordStreamsOn("fakemic") == before + 1; }));
        std::vector<float> voice;
        ASSERT_TRUE(eventually([&] {
            const auto held = voice.size();
            voice.resize(held + mic.ring.size());
            mic.ring.take(std::span(voice).subspan(held));
            return voice.size() >= std::size_t(rate); // half a second of stereo
        }));
        EXPECT_TRUE(sounds(voice, rate, 700, 2)) << rate;
        EXPECT_GT(mic.takePeak(), 0.1f);
        mic.stop();
        EXPECT_EQ(mic.takePeak(), 0.0f);
        EXPECT_EQ(mic.ring.size(), 0u);
    }
}

// A chosen microphone that is gone, or none at all: with no real input the
// server makes a sink's monitor its default source, which must not become the
// "microphone" (the music would come back in as the voice). One unplugged
// while running is lost with its reason.
TEST(MicInput, WithoutARealInputItSaysWhy) {
    World::sound();
    MicInput chosen;
    chosen.deviceUID = "no-such-source";
    EXPECT_EQ(startMic(chosen), QString("That microphone isn't connected"));

    MicInput running;
    running.deviceUID = "fakemic";
    std::optional<QString> lost;
    ASSERT_EQ(startMic(running, [&](QString message) { lost = message; }), std::nullopt);
    World::sound().unload("module-remap-source");
    EXPECT_TRUE(eventually([&] { return lost.has_value(); }));
    EXPECT_EQ(lost, QString("That microphone isn't connected"));
    EXPECT_FALSE(running.running());

    ASSERT_TRUE(eventually([] {
        const auto state = SoundServer::shared().state();
        const auto* source = state->sourceNamed(state->defaultSource);
        return state->connected && (!source || source->monitor);
    }));
    EXPECT_FALSE(AudioInputs::defaultName());
    MicInput byDefault;
    EXPECT_EQ(startMic(byDefault), QString("No microphone found"));
    EXPECT_FALSE(byDefault.running());
}

// Capture and encoding run ahead of the threads that send to listeners, so
// that thousands of listeners can slow new joins but never starve the audio
// every listener hears: the thread that delivers captured blocks is
// real-time, or at least less nice than every sending thread.
TEST(AudioTap, TheCaptureThreadRunsAheadOfTheSendingThreads) {
    World::sound();
    std::atomic<pid_t> delivering{0};
    AudioTap tap(
        AudioSource::wholeMac(), [](AudioTap::Problem) {},
        [&](std::span<const float>, double) { delivering = ::gettid(); });
    ASSERT_TRUE(eventually([&] { return delivering != 0; }));
    ASSERT_TRUE(eventually([] { return !SoundServer::shared().priority().granted.empty(); }));
    const auto priority = SoundServer::shared().priority();
    EXPECT_EQ(priority.thread, delivering.load()) << "another thread was raised";

    const auto fanout = std::make_shared<Fanout>(1000, 8);
    StreamServer server(
        fanout, "", [](double) { return std::string(); }, [] { return std::nullopt; },
        [] { return Access{}; });
    std::vector<pid_t> senders;
    ASSERT_TRUE(eventually([&] {
        senders.clear();
        DIR* tasks = ::opendir("/proc/self/task");
        while (const auto* entry = ::readdir(tasks)) {
            std::string name;
            std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/comm") >> name;
            if (name.starts_with("lantern.send.")) senders.push_back(std::atoi(entry->d_name));
        }
        ::closedir(tasks);
        return senders.size() == server.lanes();
    })) << senders.size()
        << " of " << server.lanes() << " sending threads found";

    const auto policy = ::sched_getscheduler(priority.thread) & ~SCHED_RESET_ON_FORK;
    const bool realtime = policy == SCHED_RR || policy == SCHED_FIFO;
    EXPECT_EQ(realtime, priority.granted.starts_with("real-time")) << priority.granted;
    const int captureNiceness = ::getpriority(PRIO_PROCESS, static_cast<id_t>(priority.thread));
    for (const auto sender : senders) {
        EXPECT_EQ(::sched_getscheduler(sender), SCHED_OTHER);
        if (!realtime) {
            EXPECT_LT(captureNiceness, ::getpriority(PRIO_PROCESS, static_cast<id_t>(sender)))
                << "granted: " << priority.granted;
        }
    }
}

} // namespace
