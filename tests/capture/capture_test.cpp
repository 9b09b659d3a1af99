// Capture against a real sound server: PulseAudio, or PipeWire's pulse server;
// and the server's model fed plain facts: the order of events and replies
// that a live server produces only now and then, made to happen every time.
#include "capture/audio_processes.h"
#include "capture/audio_source.h"
#include "capture/audio_tap.h"
#include "capture/mic_input.h"
#include "capture/server_model.h"
#include "capture/sound_server.h"
#include "core/stream/stream_server.h"
#include "support/eventually.h"
#include "support/sound_daemon.h"
#include "support/tone.h"
#include "support/world.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <sched.h>
#include <sstream>
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
    AudioTap tap;

    auto with(auto read) {
        std::lock_guard lock(mutex);
        return read();
    }
    explicit Recording(const AudioSource& source)
        : tap(
              source,
              [this](AudioTap::Problem problem) { with([&] { problems.push_back(problem); }); },
              [this](std::span<const float> block, double blockRate) {
                  with([&] {
                      if (blockRate != rate) samples.clear(); // keep the latest rate only
                      rate = blockRate;
                      thread = std::this_thread::get_id();
                      samples.insert(samples.end(), block.begin(), block.end());
                  });
              }) {}
    // Capturing, as last told.
    bool fine() {
        return with([&] { return problems.empty() || problems.back() == AudioTap::Problem::none; });
    }
    // At least `seconds` of fresh audio.
    std::vector<float> fresh(double seconds) {
        with([&] { samples.clear(); });
        eventually([&] {
            return with([&] { return rate > 0 && double(samples.size()) >= seconds * rate * 2; });
        });
        return with([&] { return samples; });
    }
};

const auto application = [](const char* id) { return AudioSource{id, id, QString()}; };
const auto ids = [](const std::vector<AudioSource>& sources) {
    std::vector<QString> out;
    std::ranges::transform(sources, std::back_inserter(out), &AudioSource::id);
    return out;
};
const auto streamsOf = [](const std::string& id, std::size_t count) {
    return eventually([&] { return AudioProcesses::of(id).size() == count; });
};

// The whole computer hears every player, at the default sink's rate, and
// follows the default when it changes; an application hears only itself (and
// it still plays aloud), at the rate of the sink it plays on; programs named
// after it ("id.helper") belong to it, others that merely start alike do not.
TEST(AudioTap, HearsTheWholeComputerOrOneApplicationAtItsSinksRate) {
    auto& sound = World::sound();
    sound.play("tone-a.helper", 440);
    sound.play("tone-b", 1000);
    sound.play("tone-ab", 1500);
    sound.play("elsewhere", 700, SoundDaemon::Play::on("other"));
    ASSERT_TRUE(streamsOf("tone-a", 1) && streamsOf("tone-b", 1) && streamsOf("tone-ab", 1) &&
                streamsOf("elsewhere", 1));
    Recording own(application("tone-a")), away(application("elsewhere")),
        whole(AudioSource::wholeMac());
    const auto heard = own.fresh(0.5);
    EXPECT_TRUE(sounds(heard, own.rate, 440, 2));
    for (const double other : {1000.0, 1500.0})
        EXPECT_GT(tonePower(heard, own.rate, 440, 2), 1000 * tonePower(heard, own.rate, other, 2));
    own.tap.stop();
    own.tap.stop();
    EXPECT_TRUE(sounds(away.fresh(0.5), 48000, 700, 2));
    EXPECT_EQ(away.rate, 48000);
    const auto aloud = whole.fresh(0.5);
    EXPECT_EQ(whole.rate, 44100);
    EXPECT_NE(whole.thread, std::this_thread::get_id());
    for (const double hertz : {440.0, 1000.0, 1500.0})
        EXPECT_TRUE(sounds(aloud, 44100, hertz, 2)) << hertz;
    sound.pactl({"set-default-sink", "other"});
    // A server busy with other tests can take seconds to announce the change.
    ASSERT_TRUE(eventually([&] { return whole.with([&] { return whole.rate == 48000; }); }, 15s))
        << "the capture did not move to the new default sink";
    EXPECT_TRUE(sounds(whole.fresh(0.5), 48000, 700, 2));
    EXPECT_TRUE(whole.fine());
}

// When the output goes away and the capture cannot follow, it says so; once
// an output is back the capture resumes and takes the line back.
TEST(AudioTap, ALostOutputIsReportedUntilCaptureWorksAgain) {
    auto& sound = World::sound();
    Recording recording(AudioSource::wholeMac());
    recording.fresh(0.2);
    sound.unload("module-remap-source");
    sound.unload("module-null-sink");
    // PulseAudio has no output left: told once the one retry a second later
    // fails. PipeWire puts a stand-in sink up by itself, which the capture may
    // follow: within the same span it must not say it cannot hear.
    const bool pulse = sound.kind() == SoundDaemon::Kind::pulseaudio;
    eventually([&] { return pulse && !recording.with([&] { return recording.problems; }).empty(); },
               pulse ? 10s : 2500ms);
    const auto told = recording.with([&] { return recording.problems; });
    for (const auto problem : told)
        EXPECT_NE(problem, AudioTap::Problem::cannotHear);
    if (pulse) {
        EXPECT_EQ(told, std::vector{AudioTap::Problem::outputChanged});
    }
    sound.pactl({"load-module", "module-null-sink", "sink_name=speakers", "rate=44100"});
    sound.pactl({"set-default-sink", "speakers"});
    ASSERT_TRUE(
        eventually([&] { return sound.pactl({"get-default-sink"}).starts_with("speakers"); }, 10s));
    // Played on the new sink by name: a busy session manager can still route a
    // new stream to the stand-in sink after the default has moved.
    sound.play("comeback", 440, SoundDaemon::Play::on("speakers"));
    EXPECT_TRUE(eventually([&] { return recording.fine(); }));
    EXPECT_TRUE(eventually([&] { return sounds(recording.fresh(0.3), 44100, 440, 2); }, 10s))
        << "capturing at " << recording.with([&] { return recording.rate; }) << " Hz";
}

TEST(AudioSources, PlayingFirstThenSpotifyThenByName) { // (no sound server needed)
    // The server's applications (no name: none reported).
    const std::vector<RunningApplication> running{
        {"beta", "Beta", {}},       {"quiet", "Quiet", {}},   {"spotify", "Spotify", {}},
        {"alpha", "alpha", {}},     {"twin-1", "Twin", {}},   {"twin-2", "Twin", {}},
        {"beta", "Beta again", {}}, {"silent", "Silent", {}}, {"lantern-fm", "Lantern FM", {}},
        {"noname", {}, {}},         {"pre", "Prefix", {}}};
    const std::vector<QString> known = {"beta",   "quiet",      "spotify", "alpha.helper", "twin-1",
                                        "twin-2", "lantern-fm", "noname",  "prefixed"};
    // No stream ("silent"), no dot after the id ("pre" and "prefixed"): not offered.
    EXPECT_EQ(ids(AudioSources::arrange(running, known, {"beta", "alpha.helper", "lantern-fm"},
                                        "lantern-fm")),
              (std::vector<QString>{"whole-mac", "alpha", "beta", "spotify", "noname", "quiet",
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
    EXPECT_EQ(ids(AudioSources::current()),
              (std::vector<QString>{"whole-mac", "zzz-playing", "aaa-paused"}));
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
TEST(MicInput, TheVoiceArrivesAtTheCapturesRateOrItSaysWhyNot) {
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

    // A chosen microphone that is gone, or none at all: with no real input the
    // server makes a sink's monitor its default source, which must not become
    // the "microphone" (the music would come back in as the voice). One
    // unplugged while running is lost with its reason.
    MicInput chosen, running, byDefault;
    chosen.deviceUID = "no-such-source";
    EXPECT_EQ(startMic(chosen), QString("That microphone isn't connected"));

    running.deviceUID = "fakemic";
    std::optional<QString> lost;
    ASSERT_EQ(startMic(running, [&](QString message) { lost = message; }), std::nullopt);
    sound.unload("module-remap-source");
    EXPECT_TRUE(eventually([&] { return lost.has_value(); }));
    EXPECT_EQ(lost, QString("That microphone isn't connected"));
    EXPECT_FALSE(running.running());

    ASSERT_TRUE(eventually([] {
        const auto state = SoundServer::shared().state();
        const auto* source = state->sourceNamed(state->defaultSource);
        return state->connected && (!source || source->monitor);
    }));
    EXPECT_FALSE(AudioInputs::defaultName());
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

    StreamServer server(
        std::make_shared<Fanout>(1000, 8), "", [](double) { return std::string(); },
        [] { return std::nullopt; }, [] { return Access{}; });
    std::vector<pid_t> senders;
    ASSERT_TRUE(eventually([&] {
        senders.clear();
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::string name;
            std::ifstream(task.path() / "comm") >> name;
            if (name.starts_with("lantern.send."))
                senders.push_back(std::stoi(task.path().filename()));
        }
        return senders.size() == server.lanes();
    })) << senders.size()
        << " of " << server.lanes() << " sending threads found";

    const auto policy = ::sched_getscheduler(priority.thread) & ~SCHED_RESET_ON_FORK;
    const bool realtime = policy == SCHED_RR || policy == SCHED_FIFO;
    EXPECT_EQ(realtime, priority.granted.starts_with("real-time")) << priority.granted;
    const int captureNiceness = ::getpriority(PRIO_PROCESS, static_cast<id_t>(priority.thread));
    for (const auto sender : senders) {
        EXPECT_EQ(::sched_getscheduler(sender), SCHED_OTHER);
        EXPECT_TRUE(realtime ||
                    captureNiceness < ::getpriority(PRIO_PROCESS, static_cast<id_t>(sender)))
            << "granted: " << priority.granted << ", niceness " << captureNiceness;
    }
}

// The sound server's model, fed plain facts (no server needed).
using Kind = ServerModel::Change::Kind;
constexpr auto streamFacility = PA_SUBSCRIPTION_EVENT_SINK_INPUT;

ServerState::Stream stream(std::uint32_t index, const std::string& binary) {
    return {index, 0, false, binary, 0, binary, std::nullopt};
}

// A model past its first load.
const auto pastLoad = [](ServerModel& model) {
    std::ranges::for_each(model.load(), [&](auto& q) { model.finished(q); });
};

// The streams a model holds: index and binary.
std::map<std::uint32_t, std::string> held(const ServerModel& model) {
    std::map<std::uint32_t, std::string> found;
    for (const auto& [index, s] : model.state().streams)
        found[index] = s.binary.value_or("");
    return found;
}

// Each row: what the loop thread sees, in order ("+7" a new or changed
// stream 7, "-7" its removal, "7.1=b" the reply to the second question about
// 7, naming binary b), then what the model holds and what it told, a sign a
// change ("+" added, "~" changed, "-" removed).
TEST(ServerModel, ARemovalWinsOverEveryReplyStillOnItsWay) {
    const struct {
        const char* what;
        const char* steps;
        std::map<std::uint32_t, std::string> streams;
        std::string told;
    } rows[] = {
        {"info after the new event", "+7 7.0=a", {{7, "a"}}, "+"},
        {"removed before its info arrives", "+7 -7 7.0=a", {}, ""},
        {"info, then removed", "+7 7.0=a -7", {}, "+-"},
        {"index reused, the old reply last", "+7 -7 +7 7.1=b 7.0=a", {{7, "b"}}, "+"},
        {"index reused, the old reply first", "+7 7.0=a -7 +7 7.1=b", {{7, "b"}}, "+-+"},
        {"a change overtakes the first reply", "+7 +7 7.0=old 7.1=new", {{7, "new"}}, "+"},
        {"a client's last stream gone", "+7 +8 7.0=player 8.0=player -7 -8", {}, "++--"},
        {"removing what was never known tells nothing", "-9", {}, ""},
    };
    for (const auto& row : rows) {
        ServerModel model;
        pastLoad(model);
        std::map<std::uint32_t, std::vector<ServerModel::Question>> asked; // per stream
        std::string told;
        const auto note = [&](const std::optional<ServerModel::Change>& change) {
            if (change) told += "c+~-"[static_cast<int>(change->kind)];
        };
        std::istringstream steps(row.steps);
        for (std::string step; steps >> step;) {
            const bool event = step[0] == '+' || step[0] == '-';
            const auto index = static_cast<std::uint32_t>(std::stoul(step.substr(event)));
            if (event) {
                const auto answer = model.event(streamFacility, step[0] == '-', index);
                note(answer.change);
                if (answer.ask) asked[index].push_back(*answer.ask);
                continue;
            }
            const auto question = asked.at(index).at(std::size_t(step[step.find('.') + 1] - '0'));
            note(model.reply(question, stream(index, step.substr(step.find('=') + 1))));
            note(model.finished(question));
        }
        EXPECT_EQ(held(model), row.streams) << row.what;
        EXPECT_EQ(told, row.told) << row.what;
    }
}

// While the first load is under way nothing is told, an object that had an
// event meanwhile is taken from that event's reply, not from the load's list,
// and `connected` comes once, with the last list.
TEST(ServerModel, TheFirstLoadTellsOnlyThatItIsDone) {
    ServerModel model;
    const auto load = model.load();
    ASSERT_EQ(load.size(), 5u);
    const auto told = model.event(streamFacility, false, 7);
    ASSERT_TRUE(told.ask);
    const auto& streams = load.back();
    ASSERT_EQ(streams.facility, streamFacility);
    EXPECT_FALSE(model.reply(streams, stream(7, "from the list")));
    EXPECT_FALSE(model.reply(streams, stream(8, "listed")));
    EXPECT_FALSE(model.reply(*told.ask, stream(7, "from the event")));
    EXPECT_FALSE(model.replyServer(load.front(), "speakers", "mic"));
    for (std::size_t i = 0; i + 1 < load.size(); ++i)
        EXPECT_FALSE(model.finished(load[i]));
    EXPECT_FALSE(model.finished(*told.ask));
    EXPECT_EQ(
        model.finished(load.back()),
        (ServerModel::Change{Kind::connected, PA_SUBSCRIPTION_EVENT_SERVER, PA_INVALID_INDEX}));
    EXPECT_EQ(model.state().streams.at(7).binary, "from the event");
    EXPECT_EQ(model.state().streams.at(8).binary, "listed");
    EXPECT_EQ(model.state().defaultSink, "speakers");
    EXPECT_FALSE(model.finished(load.back())) << "connected twice";
}

// A simulated server: streams come, change and go under a few reused indices
// while the model's questions are answered late. Events and replies each
// arrive in order, but in any interleaving with each other (the race a
// PipeWire server runs). Once everything has arrived the model holds exactly
// what the server holds, every time.
TEST(ServerModel, ConvergesOnTheServersTruthUnderAnyInterleaving) {
    for (unsigned seed = 1; seed <= 400; ++seed) {
        std::mt19937 random(seed);
        const auto chance = [&](int percent) {
            return std::uniform_int_distribution<int>(0, 99)(random) < percent;
        };
        ServerModel model;
        pastLoad(model);
        std::map<std::uint32_t, std::string> truth;
        std::deque<std::pair<std::uint32_t, bool>> events; // index, removed
        std::deque<std::pair<ServerModel::Question, std::uint32_t>> requests;
        std::deque<std::pair<ServerModel::Question, std::optional<ServerState::Stream>>> replies;
        int version = 0;
        // The server changes for 60 steps; then what is under way arrives.
        for (int step = 0; step < 60 || !events.empty() || !requests.empty() || !replies.empty();
             ++step) {
            if (step < 60 && chance(40)) {
                const auto index = std::uniform_int_distribution<std::uint32_t>(1, 3)(random);
                const bool removed = truth.contains(index) && chance(50);
                if (removed)
                    truth.erase(index);
                else
                    truth[index] = "v" + std::to_string(++version); // new or changed
                events.emplace_back(index, removed);
            }
            if (!requests.empty() && chance(40)) { // the server answers
                const auto [question, index] = requests.front();
                requests.pop_front();
                replies.emplace_back(question, truth.contains(index)
                                                   ? std::optional(stream(index, truth[index]))
                                                   : std::nullopt);
            }
            if (!events.empty() && chance(50)) {
                const auto [index, removed] = events.front();
                events.pop_front();
                const auto told = model.event(streamFacility, removed, index);
                if (told.ask) requests.emplace_back(*told.ask, index);
            }
            if (!replies.empty() && chance(30)) {
                const auto [question, value] = replies.front();
                replies.pop_front();
                if (value) model.reply(question, *value);
                model.finished(question);
            }
        }
        ASSERT_EQ(held(model), truth) << "seed " << seed;
    }
}

} // namespace
