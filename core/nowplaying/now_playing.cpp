#include "core/nowplaying/now_playing.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

namespace lantern {

using nlohmann::json;

nlohmann::ordered_json toJSONValue(const NowPlaying& record) {
    nlohmann::ordered_json object;
    object["title"] = record.title;
    object["artist"] = record.artist;
    object["album"] = record.album;
    if (record.coverURL) object["coverURL"] = *record.coverURL;
    object["playing"] = record.playing;
    object["source"] = record.source;
    return object;
}

std::string toJSON(const NowPlaying& record) {
    // Text that is not UTF-8 is written with replacement characters rather
    // than failing the whole record.
    return toJSONValue(record).dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

const std::string* stringAt(const json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                       : nullptr;
}

const bool* boolAt(const json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_boolean() ? found->get_ptr<const bool*>() : nullptr;
}

json parseObject(std::string_view text) {
    auto value = json::parse(text, nullptr, false);
    return value.is_object() ? value : json();
}

// The track fields a record and a companion note share, all required:
// "title", "artist", "album" (strings) and "playing" (a Boolean).
std::optional<NowPlaying> trackOf(const json& object, std::string source) {
    if (!object.is_object()) return std::nullopt;
    const auto* title = stringAt(object, "title");
    const auto* artist = stringAt(object, "artist");
    const auto* album = stringAt(object, "album");
    const auto* playing = boolAt(object, "playing");
    if (!title || !artist || !album || !playing) return std::nullopt;
    return NowPlaying{*title, *artist, *album, std::nullopt, *playing, std::move(source)};
}

} // namespace

std::optional<NowPlaying> nowPlayingFromJSON(std::string_view text) {
    const auto object = parseObject(text);
    const auto* source = object.is_object() ? stringAt(object, "source") : nullptr;
    auto record = source ? trackOf(object, *source) : std::nullopt;
    if (!record) return std::nullopt;
    if (const auto found = object.find("coverURL"); found != object.end() && !found->is_null()) {
        if (!found->is_string()) return std::nullopt;
        record->coverURL = found->get<std::string>();
    }
    return record;
}

void NowPlayingHistory::record(NowPlaying value, Clock::time_point at) {
    if (!entries_.empty() && entries_.back().value == value) return;
    std::uint64_t track = 0;
    if (!value.title.empty()) {
        const auto* last = entries_.empty() ? nullptr : &entries_.back();
        const bool same = last && last->track != 0 && last->value.title == value.title &&
                          last->value.artist == value.artist && last->value.album == value.album;
        track = same ? last->track : ++tracks_;
    }
    entries_.push_back({at, std::move(value), track});
    const auto cut = at - keep_;
    // The newest entry at or before the cut is what was current `keep` ago:
    // it stays, everything older goes.
    const auto current = std::find_if(entries_.rbegin(), entries_.rend(),
                                      [&](const Entry& entry) { return entry.at <= cut; });
    if (current != entries_.rend()) entries_.erase(entries_.begin(), std::prev(current.base()));
}

void NowPlayingHistory::restart(Clock::time_point at) {
    if (entries_.empty()) return;
    entries_.erase(entries_.begin(), std::prev(entries_.end()));
    entries_.back().at = at;
}

std::optional<NowPlaying> NowPlayingHistory::at(Clock::time_point time) const {
    const auto found = std::find_if(entries_.rbegin(), entries_.rend(),
                                    [&](const Entry& entry) { return entry.at <= time; });
    if (found == entries_.rend()) return std::nullopt;
    return found->value;
}

namespace {

// Strict Base64: the standard alphabet, padded to a multiple of four, nothing
// else (no white space, no line breaks).
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text) {
    static const auto table = [] {
        std::array<int, 256> values{};
        values.fill(-1);
        const std::string_view alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (std::size_t i = 0; i < alphabet.size(); ++i)
            values[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
        return values;
    }();
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const int value = table[static_cast<unsigned char>(text[i])];
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> held));
        }
    }
    return bytes;
}

} // namespace

std::optional<std::pair<NowPlaying, std::optional<Cover>>>
parseLanternNote(std::string_view text, std::string_view source) {
    const auto note = parseObject(text);
    auto record = trackOf(note, std::string(source));
    if (!record || record->title.empty()) return std::nullopt;
    std::optional<Cover> cover;
    if (const auto found = note.find("cover"); found != note.end() && !found->is_null()) {
        if (!found->is_string()) return std::nullopt; // a note of the wrong shape
        if (auto bytes = decodeBase64(found->get_ref<const std::string&>());
            bytes && bytes->size() > 8)
            cover = coverOf(std::move(*bytes));
    }
    return std::pair{std::move(*record), std::move(cover)};
}

std::optional<std::string> heardAs(const std::optional<NowPlaying>& entry) {
    if (!entry || entry->title.empty()) return std::nullopt;
    return entry->artist.empty() ? entry->title : entry->artist + " - " + entry->title;
}

} // namespace lantern
