#include "capture/server_model.h"

namespace lantern {

const ServerState::Sink* ServerState::sinkNamed(std::string_view name) const {
    for (const auto& [index, sink] : sinks)
        if (sink.name == name) return &sink;
    return nullptr;
}

const ServerState::Source* ServerState::sourceNamed(std::string_view name) const {
    for (const auto& [index, source] : sources)
        if (source.name == name) return &source;
    return nullptr;
}

void ServerModel::reset() {
    state_ = ServerState();
    events_.clear();
    loading_ = 0;
}

std::vector<ServerModel::Question> ServerModel::load() {
    std::vector<Question> questions;
    for (const auto facility :
         {PA_SUBSCRIPTION_EVENT_SERVER, PA_SUBSCRIPTION_EVENT_SINK, PA_SUBSCRIPTION_EVENT_SOURCE,
          PA_SUBSCRIPTION_EVENT_CLIENT, PA_SUBSCRIPTION_EVENT_SINK_INPUT})
        questions.push_back({facility, 0, true});
    loading_ = static_cast<int>(questions.size());
    return questions;
}

ServerModel::Told ServerModel::event(Facility facility, bool removed, std::uint32_t index) {
    switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
        index = PA_INVALID_INDEX; // there is one
        break;
    case PA_SUBSCRIPTION_EVENT_SINK:
    case PA_SUBSCRIPTION_EVENT_SOURCE:
    case PA_SUBSCRIPTION_EVENT_CLIENT:
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        break;
    default:
        return {};
    }
    const auto seq = ++events_[{facility, index}];
    if (!removed) return {std::nullopt, Question{facility, seq, false}};
    if (!erase(facility, index) || !state_.connected) return {};
    return {Change{Change::Kind::removed, facility, index}, std::nullopt};
}

bool ServerModel::current(const Question& question, std::uint32_t index) const {
    const auto found = events_.find({question.facility, index});
    return (found == events_.end() ? 0 : found->second) == question.seq;
}

std::optional<ServerModel::Change> ServerModel::replyServer(const Question& question,
                                                            std::string defaultSink,
                                                            std::string defaultSource) {
    if (!current(question, PA_INVALID_INDEX)) return std::nullopt;
    state_.defaultSink = std::move(defaultSink);
    state_.defaultSource = std::move(defaultSource);
    if (question.initial || !state_.connected) return std::nullopt;
    return Change{Change::Kind::changed, PA_SUBSCRIPTION_EVENT_SERVER, PA_INVALID_INDEX};
}

template <typename Map>
std::optional<ServerModel::Change> ServerModel::apply(Map& map, const Question& question,
                                                      typename Map::mapped_type value) {
    const auto index = value.index;
    if (!current(question, index)) return std::nullopt;
    const bool added = !map.contains(index);
    map[index] = std::move(value);
    if (question.initial || !state_.connected) return std::nullopt;
    return Change{added ? Change::Kind::added : Change::Kind::changed, question.facility, index};
}

std::optional<ServerModel::Change> ServerModel::reply(const Question& question,
                                                      ServerState::Sink sink) {
    return apply(state_.sinks, question, std::move(sink));
}
std::optional<ServerModel::Change> ServerModel::reply(const Question& question,
                                                      ServerState::Source source) {
    return apply(state_.sources, question, std::move(source));
}
std::optional<ServerModel::Change> ServerModel::reply(const Question& question,
                                                      ServerState::Client client) {
    return apply(state_.clients, question, std::move(client));
}
std::optional<ServerModel::Change> ServerModel::reply(const Question& question,
                                                      ServerState::Stream stream) {
    return apply(state_.streams, question, std::move(stream));
}

std::optional<ServerModel::Change> ServerModel::finished(const Question& question) {
    if (!question.initial || loading_ == 0 || --loading_ > 0) return std::nullopt;
    state_.connected = true;
    return Change{Change::Kind::connected, PA_SUBSCRIPTION_EVENT_SERVER, PA_INVALID_INDEX};
}

bool ServerModel::erase(Facility facility, std::uint32_t index) {
    switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK:
        return state_.sinks.erase(index) > 0;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
        return state_.sources.erase(index) > 0;
    case PA_SUBSCRIPTION_EVENT_CLIENT:
        return state_.clients.erase(index) > 0;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        return state_.streams.erase(index) > 0;
    default:
        return false;
    }
}

} // namespace lantern
