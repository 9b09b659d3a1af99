#include "core/stream/audience.h"

#include "core/stream/text.h"

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <utf8proc.h>

namespace lantern {

namespace {

constexpr std::size_t namesShown = 20;

bool removed(utf8proc_int32_t codePoint) {
    switch (utf8proc_category(codePoint)) {
    case UTF8PROC_CATEGORY_CC: // controls: a line break could forge a console line
    case UTF8PROC_CATEGORY_CF: // format: bidirectional overrides, zero-width joiners
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
        return true;
    default:
        return false;
    }
}

bool space(utf8proc_int32_t codePoint) {
    const auto category = utf8proc_category(codePoint);
    return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
           category == UTF8PROC_CATEGORY_ZP || codePoint == '\t' || codePoint == '\n' ||
           codePoint == '\r' || codePoint == '\v' || codePoint == '\f';
}

} // namespace

std::optional<Reaction> reactionNamed(std::string_view name) {
    const auto found = std::ranges::find(reactionNames, name);
    if (found == reactionNames.end()) return std::nullopt;
    return static_cast<Reaction>(found - reactionNames.begin());
}

std::string cleanName(std::string_view text) {
    const auto valid = decodeUtf8Lossy(text);
    utf8proc_uint8_t* composed =
        utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(valid.c_str()));
    if (!composed) return {};
    const std::string normal(reinterpret_cast<const char*>(composed));
    std::free(composed);
    std::string kept;
    bool pendingSpace = false;
    for (std::size_t at = 0; at < normal.size();) {
        utf8proc_int32_t codePoint = 0;
        const auto length =
            utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(normal.data() + at),
                             static_cast<utf8proc_ssize_t>(normal.size() - at), &codePoint);
        if (length <= 0) break;
        at += static_cast<std::size_t>(length);
        if (space(codePoint)) {
            pendingSpace = !kept.empty();
            continue;
        }
        if (removed(codePoint)) continue;
        if (std::exchange(pendingSpace, false)) kept += ' ';
        std::array<utf8proc_uint8_t, 4> bytes{};
        const auto written = utf8proc_encode_char(codePoint, bytes.data());
        kept.append(reinterpret_cast<const char*>(bytes.data()), static_cast<std::size_t>(written));
    }
    // A character heaped with combining marks still counts as one: the
    // bytes are bounded too, so a name stays a name's length.
    auto cut = prefixGraphemes(kept, longestName);
    if (cut.size() > longestName * 8) cut = prefixGraphemes(cut.substr(0, longestName * 8), 1000);
    while (!cut.empty() && cut.back() == ' ')
        cut.pop_back();
    return cut;
}

std::string reactionCounts(const std::array<std::uint64_t, 5>& counts) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> words{
        {{"clap", "claps"},
         {"heart", "hearts"},
         {"fire", "fires"},
         {"laugh", "laughs"},
         {"music note", "music notes"}}};
    std::vector<std::size_t> order{0, 1, 2, 3, 4};
    std::ranges::stable_sort(order, std::greater{}, [&](std::size_t i) { return counts[i]; });
    std::string line;
    for (const auto i : order) {
        if (counts[i] == 0) continue;
        if (!line.empty()) line += ", ";
        line += std::to_string(counts[i]) + " ";
        line += counts[i] == 1 ? words[i].first : words[i].second;
    }
    return line;
}

std::string listeningLine(const std::vector<std::string>& names, std::size_t listeners) {
    const auto shown = std::min<std::size_t>(names.size(), 2);
    if (shown == 0) return {};
    const auto more = std::max(listeners, names.size()) - shown;
    if (shown == 1 && more == 0) return names[0] + " is listening";
    std::string line = names[0];
    if (shown == 2) line += more ? ", " + names[1] : " and " + names[1];
    if (more) line += " and " + std::to_string(more) + " more";
    return line + " listening";
}

Audience::Stay& Audience::Stay::operator=(Stay&& other) noexcept {
    if (this != &other) {
        Stay gone(std::move(*this));
        audience_ = std::move(other.audience_);
        tag_ = std::move(other.tag_);
    }
    return *this;
}

Audience::Stay::~Stay() {
    if (audience_) audience_->left(tag_);
}

Audience::Stay Audience::stay(const std::string& tag, const std::string& visitor) {
    std::lock_guard lock(mutex_);
    Stay held;
    auto* entry = place(tag, visitor, Clock::now());
    if (!entry) return held;
    ++entry->streams;
    held.audience_ = shared_from_this();
    held.tag_ = tag;
    return held;
}

void Audience::left(const std::string& tag) {
    std::lock_guard lock(mutex_);
    const auto found = tags_.find(tag);
    if (found == tags_.end()) return;
    // The last stream of the tag ends: its name goes with it.
    if (--found->second.streams == 0 && !found->second.polledAt) tags_.erase(found);
}

void Audience::setRelayed(bool relayed) {
    std::lock_guard lock(mutex_);
    relayed_ = relayed;
}

void Audience::polled(const std::string& tag, const std::string& visitor, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (!relayed_ || !shown_) return;
    if (auto* entry = place(tag, visitor, now); entry && entry->visitor == visitor)
        entry->polledAt = now;
}

bool Audience::listening(const Entry& entry, Clock::time_point now) const {
    return entry.streams > 0 ||
           (relayed_ && entry.polledAt && now - *entry.polledAt <= rules_.pollHolds);
}

void Audience::prune(Clock::time_point now) {
    std::erase_if(tags_, [&](const auto& kept) { return !listening(kept.second, now); });
    std::erase_if(visitors_, [&](auto& kept) {
        return kept.second.empty() || now - kept.second.back() >= std::chrono::minutes(1);
    });
    while (!recent_.empty() && now - recent_.front().first >= rules_.recent)
        recent_.pop_front();
}

Audience::Entry* Audience::place(const std::string& tag, const std::string& visitor,
                                 Clock::time_point now) {
    if (const auto found = tags_.find(tag); found != tags_.end()) return &found->second;
    if (tags_.size() >= tagLimit_) prune(now);
    if (tags_.size() >= tagLimit_) return nullptr;
    auto& entry = tags_[tag];
    entry.visitor = visitor;
    entry.id = ++joined_;
    return &entry;
}

Audience::Answer Audience::act(const std::string& tag, const std::string& visitor,
                               Clock::time_point now, Entry*& entry, bool reaction) {
    const auto found = tags_.find(tag);
    // Only a tag that listens, and only its own visitor, may speak for it.
    if (!shown_ || found == tags_.end() || found->second.visitor != visitor ||
        !listening(found->second, now))
        return Answer::notListening;
    entry = &found->second;
    // Names and reactions are limited apart: naming oneself costs no reaction.
    auto& acts = reaction ? entry->reactions : entry->names;
    while (!acts.empty() && now - acts.front() >= std::chrono::minutes(1))
        acts.pop_front();
    if (!acts.empty() && now - acts.back() < rules_.perTagGap) return Answer::tooMany;
    if (std::ssize(acts) >= rules_.perTagMinute) return Answer::tooMany;
    if (!reaction) {
        acts.push_back(now);
        return Answer::taken;
    }
    auto times = visitors_.find(visitor);
    if (times == visitors_.end()) {
        if (visitors_.size() >= rules_.visitors) prune(now);
        if (visitors_.size() >= rules_.visitors) return Answer::tooMany;
        times = visitors_.try_emplace(visitor).first;
    }
    while (!times->second.empty() && now - times->second.front() >= std::chrono::minutes(1))
        times->second.pop_front();
    if (std::ssize(times->second) >= rules_.perVisitorMinute) return Answer::tooMany;
    times->second.push_back(now);
    acts.push_back(now);
    return Answer::taken;
}

Audience::Answer Audience::name(const std::string& tag, const std::string& visitor,
                                std::string_view text, Clock::time_point now) {
    auto clean = cleanName(text);
    std::lock_guard lock(mutex_);
    Entry* entry = nullptr;
    const auto answer = act(tag, visitor, now, entry, false);
    if (answer == Answer::taken) entry->name = std::move(clean);
    return answer;
}

Audience::Answer Audience::react(const std::string& tag, const std::string& visitor,
                                 Reaction reaction, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    Entry* entry = nullptr;
    const auto answer = act(tag, visitor, now, entry, true);
    if (answer != Answer::taken) return answer;
    recent_.emplace_back(now, reaction);
    ++totals_[static_cast<std::size_t>(reaction)];
    return answer;
}

Audience::Snapshot Audience::snapshot(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    prune(now);
    Snapshot seen;
    for (const auto& [tag, entry] : tags_)
        if (!entry.name.empty()) seen.named.push_back({entry.id, entry.name});
    std::ranges::sort(seen.named, {}, &Named::id);
    for (const auto& [at, reaction] : recent_)
        ++seen.recent[static_cast<std::size_t>(reaction)];
    seen.totals = totals_;
    return seen;
}

void Audience::describe(nlohmann::json& body, Clock::time_point now) {
    if (!shown()) return;
    const auto seen = snapshot(now);
    auto names = nlohmann::json::array();
    for (const auto& named : seen.named)
        if (names.size() < namesShown) names.push_back(named.name);
    auto reactions = nlohmann::json::object();
    for (std::size_t i = 0; i < reactionNames.size(); ++i)
        if (seen.recent[i]) reactions[std::string(reactionNames[i])] = seen.recent[i];
    body["names"] = std::move(names);
    body["reactions"] = std::move(reactions);
}

void Audience::limitTags(std::size_t tags) {
    std::lock_guard lock(mutex_);
    tagLimit_ = tags;
}

bool Audience::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

void Audience::setShown(bool shown) {
    std::lock_guard lock(mutex_);
    shown_ = shown;
    if (shown) return;
    for (auto& [tag, entry] : tags_)
        entry.name.clear();
    recent_.clear();
}

std::size_t Audience::known() const {
    std::lock_guard lock(mutex_);
    return tags_.size();
}

} // namespace lantern
