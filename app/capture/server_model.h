#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <pulse/def.h>
#include <string>
#include <string_view>
#include <vector>

namespace lantern {

// What the sound server holds, as last reported: a copy that never changes,
// so any thread may read it without waiting on the server.
struct ServerState {
    struct Stream { // a playback stream (sink input)
        std::uint32_t index = 0;
        std::uint32_t sink = 0;
        bool corked = false;
        std::optional<std::string> binary; // application.process.binary
        std::int32_t pid = 0;              // application.process.id; 0 when unknown
        std::optional<std::string> name;   // application.name
        std::optional<std::string> icon;   // application.icon_name
    };
    struct Client {
        std::uint32_t index = 0;
        std::optional<std::string> binary;
        std::int32_t pid = 0;
        std::optional<std::string> name;
        std::optional<std::string> icon;
    };
    struct Sink {
        std::uint32_t index = 0;
        std::string name;
        std::string monitor; // its monitor source
        std::uint32_t rate = 0;
    };
    struct Source {
        std::uint32_t index = 0;
        std::string name;
        std::string description;
        bool monitor = false; // a sink's monitor, not an input
        std::uint32_t rate = 0;
        std::uint8_t channels = 0;
    };

    bool connected = false; // the context is ready and the lists below are loaded
    std::string defaultSink;
    std::string defaultSource;
    std::map<std::uint32_t, Stream> streams;
    std::map<std::uint32_t, Client> clients;
    std::map<std::uint32_t, Sink> sinks;
    std::map<std::uint32_t, Source> sources;

    const Sink* sinkNamed(std::string_view name) const;
    const Source* sourceNamed(std::string_view name) const;
};

// The server's objects as the loop thread learns them, fed plain facts: the
// events the server sends and the replies to the questions asked about them.
// A reply is applied only if no later event about the same object came in
// meanwhile (that event's own question brings the newer facts), so a removal
// wins over a reply still on its way; this matters on PipeWire, where indices
// are reused. One thread uses it.
class ServerModel {
public:
    using Facility = pa_subscription_event_type_t;

    // What a question is about, handed back with each of its replies.
    struct Question {
        Facility facility = PA_SUBSCRIPTION_EVENT_SERVER;
        std::uint64_t seq = 0; // events seen for the object when asked
        bool initial = false;  // part of the load on connecting
    };
    // What a fact changed in the state. `connected`: the load is complete.
    struct Change {
        enum class Kind { connected, added, changed, removed };
        Kind kind = Kind::changed;
        Facility facility = PA_SUBSCRIPTION_EVENT_SERVER;
        std::uint32_t index = PA_INVALID_INDEX;
        bool operator==(const Change&) const = default;
    };
    // What an event calls for: a change already made (a removal), or a
    // question to ask about the object.
    struct Told {
        std::optional<Change> change;
        std::optional<Question> ask;
    };

    void reset();
    const ServerState& state() const { return state_; }

    // A fresh connection: the questions of the first load, one per facility
    // (server, sinks, sources, clients, streams), each answered by a list.
    std::vector<Question> load();
    Told event(Facility facility, bool removed, std::uint32_t index);

    // Replies: each is applied only while it is still news, and tells the
    // change it made (none while the first load is under way).
    std::optional<Change> replyServer(const Question& question, std::string defaultSink,
                                      std::string defaultSource);
    std::optional<Change> reply(const Question& question, ServerState::Sink sink);
    std::optional<Change> reply(const Question& question, ServerState::Source source);
    std::optional<Change> reply(const Question& question, ServerState::Client client);
    std::optional<Change> reply(const Question& question, ServerState::Stream stream);
    // A question's last reply, or its failure: the load's last is `connected`.
    std::optional<Change> finished(const Question& question);

private:
    bool current(const Question& question, std::uint32_t index) const;
    template <typename Map>
    std::optional<Change> apply(Map& map, const Question& question,
                                typename Map::mapped_type value);
    bool erase(Facility facility, std::uint32_t index);

    ServerState state_;
    std::map<std::pair<int, std::uint32_t>, std::uint64_t> events_;
    int loading_ = 0;
};

} // namespace lantern
