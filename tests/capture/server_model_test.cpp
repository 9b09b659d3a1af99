// The sound server's model fed plain facts: the order of events and replies
// that a live server produces only now and then, made to happen every time.
#include "capture/server_model.h"

#include <deque>
#include <gtest/gtest.h>
#include <random>

namespace lantern {
namespace {

using Kind = ServerModel::Change::Kind;
constexpr auto streamFacility = PA_SUBSCRIPTION_EVENT_SINK_INPUT;

ServerState::Stream stream(std::uint32_t index, const std::string& binary) {
    return {index, 0, false, binary, 0, binary, std::nullopt};
}

// A model past its first load, and the questions it has asked per stream.
struct Driven {
    ServerModel model;
    std::map<std::uint32_t, std::vector<ServerModel::Question>> asked;
    std::vector<ServerModel::Change> changes;

    Driven() {
        for (const auto& question : model.load())
            note(model.finished(question));
    }
    void note(const std::optional<ServerModel::Change>& change) {
        if (change) changes.push_back(*change);
    }
    void event(std::uint32_t index, bool removed = false) {
        const auto told = model.event(streamFacility, removed, index);
        note(told.change);
        if (told.ask) asked[index].push_back(*told.ask);
    }
    // The reply to the `nth` question asked about `index`, then its end.
    void reply(std::uint32_t index, std::size_t nth, const std::string& binary) {
        const auto question = asked.at(index).at(nth);
        note(model.reply(question, stream(index, binary)));
        note(model.finished(question));
    }
    std::map<std::uint32_t, std::string> streams() const {
        std::map<std::uint32_t, std::string> found;
        for (const auto& [index, s] : model.state().streams)
            found[index] = s.binary.value_or("");
        return found;
    }
};

// Each row: what the loop thread sees, in order ("+7" a new or changed
// stream 7, "-7" its removal, "7.1=b" the reply to the second question about
// 7, naming binary b), and what the model holds and has told afterwards.
TEST(ServerModel, ARemovalWinsOverEveryReplyStillOnItsWay) {
    const struct {
        const char* what;
        std::vector<std::string> steps;
        std::map<std::uint32_t, std::string> streams;
        std::vector<Kind> told;
    } rows[] = {
        {"info after the new event", {"+7", "7.0=a"}, {{7, "a"}}, {Kind::added}},
        {"removed before its info arrives", {"+7", "-7", "7.0=a"}, {}, {}},
        {"info, then removed", {"+7", "7.0=a", "-7"}, {}, {Kind::added, Kind::removed}},
        {"index reused, the old object's reply last",
         {"+7", "-7", "+7", "7.1=b", "7.0=a"},
         {{7, "b"}},
         {Kind::added}},
        {"index reused, the old object's reply first",
         {"+7", "7.0=a", "-7", "+7", "7.1=b"},
         {{7, "b"}},
         {Kind::added, Kind::removed, Kind::added}},
        {"a change overtakes the first reply",
         {"+7", "+7", "7.0=old", "7.1=new"},
         {{7, "new"}},
         {Kind::added}},
        {"a client's last stream gone",
         {"+7", "+8", "7.0=player", "8.0=player", "-7", "-8"},
         {},
         {Kind::added, Kind::added, Kind::removed, Kind::removed}},
        {"removing what was never known tells nothing", {"-9"}, {}, {}},
    };
    for (const auto& row : rows) {
        Driven driven;
        driven.changes.clear(); // the load's `connected`
        for (const auto& step : row.steps) {
            if (step[0] == '+' || step[0] == '-') {
                driven.event(static_cast<std::uint32_t>(std::stoul(step.substr(1))),
                             step[0] == '-');
                continue;
            }
            const auto dot = step.find('.'), equals = step.find('=');
            driven.reply(static_cast<std::uint32_t>(std::stoul(step.substr(0, dot))),
                         std::stoul(step.substr(dot + 1, equals - dot - 1)),
                         step.substr(equals + 1));
        }
        EXPECT_EQ(driven.streams(), row.streams) << row.what;
        std::vector<Kind> told;
        for (const auto& change : driven.changes)
            told.push_back(change.kind);
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
        for (const auto& question : model.load())
            model.finished(question);
        std::map<std::uint32_t, std::string> truth;
        struct Event {
            std::uint32_t index;
            bool removed;
        };
        struct Reply {
            ServerModel::Question question;
            std::optional<ServerState::Stream> value;
        };
        std::deque<Event> events;
        std::deque<std::pair<ServerModel::Question, std::uint32_t>> requests;
        std::deque<Reply> replies;
        int version = 0;
        const auto serverStep = [&] {
            const auto index = std::uniform_int_distribution<std::uint32_t>(1, 3)(random);
            if (truth.contains(index) && chance(50)) {
                truth.erase(index);
                events.push_back({index, true});
            } else {
                truth[index] = "v" + std::to_string(++version);
                events.push_back({index, false}); // new or changed
            }
        };
        const auto answer = [&] {
            const auto [question, index] = requests.front();
            requests.pop_front();
            std::optional<ServerState::Stream> value;
            if (const auto found = truth.find(index); found != truth.end())
                value = stream(index, found->second);
            replies.push_back({question, value});
        };
        const auto deliverEvent = [&] {
            const auto event = events.front();
            events.pop_front();
            const auto told = model.event(streamFacility, event.removed, event.index);
            if (told.ask) requests.emplace_back(*told.ask, event.index);
        };
        const auto deliverReply = [&] {
            const auto reply = replies.front();
            replies.pop_front();
            if (reply.value) model.reply(reply.question, *reply.value);
            model.finished(reply.question);
        };
        for (int step = 0; step < 60; ++step) {
            if (chance(40)) serverStep();
            if (!requests.empty() && chance(40)) answer();
            if (!events.empty() && chance(50)) deliverEvent();
            if (!replies.empty() && chance(30)) deliverReply();
        }
        while (!events.empty() || !requests.empty() || !replies.empty()) {
            if (!events.empty() && chance(50)) deliverEvent();
            if (!requests.empty() && chance(50)) answer();
            if (!replies.empty() && chance(50)) deliverReply();
        }
        std::map<std::uint32_t, std::string> held;
        for (const auto& [index, s] : model.state().streams)
            held[index] = s.binary.value_or("");
        ASSERT_EQ(held, truth) << "seed " << seed;
    }
}

} // namespace
} // namespace lantern
