#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace lantern {

// The sound server's playback streams (sink inputs), as the audio system's
// process list: one entry per stream, with the id of the program playing it.
namespace AudioProcesses {

struct Process {
    std::uint32_t object = 0;            // the sink-input index
    std::optional<std::string> bundleID; // the client's application.process.binary
    std::int32_t pid = 0;                // application.process.id; 0 when unknown
    bool isPlaying = false;              // the stream is not corked
    std::uint32_t sink = 0;              // the sink it plays on
    std::optional<std::string> name;     // application.name, when given
    std::optional<std::string> icon;     // application.icon_name, when given
};

// As the sound server last reported them (never waits); empty while it is
// not connected.
std::vector<Process> all();
// Ids of the programs playing now.
std::set<std::string> sounding();
// Streams of `bundleID`: its own and those of ids that begin with it and ".".
std::vector<std::uint32_t> of(std::string_view bundleID);

// Whether `candidate` is `bundleID` or a subsidiary of it ("id.something").
bool belongsTo(std::string_view candidate, std::string_view bundleID);

} // namespace AudioProcesses

} // namespace lantern
