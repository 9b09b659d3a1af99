#include "capture/audio_processes.h"

#include "capture/sound_server.h"

#include <unistd.h>

namespace lantern {

bool AudioProcesses::belongsTo(std::string_view candidate, std::string_view bundleID) {
    return candidate == bundleID ||
           (candidate.size() > bundleID.size() && candidate.starts_with(bundleID) &&
            candidate[bundleID.size()] == '.');
}

std::vector<AudioProcesses::Process> AudioProcesses::all() {
    std::vector<Process> processes;
    // Hold the snapshot: the sound server's thread may publish a new one meanwhile.
    const auto state = SoundServer::shared().state();
    for (const auto& [index, stream] : state->streams)
        processes.push_back({index, stream.binary, stream.pid, !stream.corked, stream.sink,
                             stream.name, stream.icon});
    return processes;
}

std::set<std::string> AudioProcesses::sounding() {
    std::set<std::string> ids;
    for (const auto& process : all())
        if (process.isPlaying && process.bundleID) ids.insert(*process.bundleID);
    return ids;
}

std::vector<std::uint32_t> AudioProcesses::of(std::string_view bundleID) {
    std::vector<std::uint32_t> objects;
    for (const auto& process : all())
        if (process.bundleID && belongsTo(*process.bundleID, bundleID))
            objects.push_back(process.object);
    return objects;
}

} // namespace lantern
