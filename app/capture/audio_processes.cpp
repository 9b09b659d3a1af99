#include "capture/audio_processes.h"

#include "capture/sound_server.h"

#include <charconv>
#include <cstring>
#include <mutex>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <unistd.h>

namespace lantern {

namespace {

std::optional<std::string> property(const pa_proplist* properties, const char* key) {
    const char* value = pa_proplist_gets(properties, key);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

std::int32_t pidOf(const pa_proplist* properties) {
    std::int32_t pid = 0;
    if (const auto text = property(properties, PA_PROP_APPLICATION_PROCESS_ID))
        std::from_chars(text->data(), text->data() + text->size(), pid);
    return pid;
}

struct Listing {
    SoundServer* server;
    std::vector<AudioProcesses::Process> processes;
};

void onSinkInput(pa_context*, const pa_sink_input_info* info, int last, void* data) {
    auto* listing = static_cast<Listing*>(data);
    if (last || !info) return listing->server->signal();
    listing->processes.push_back({info->index,
                                  property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
                                  pidOf(info->proplist), info->corked == 0, info->sink,
                                  property(info->proplist, PA_PROP_APPLICATION_NAME),
                                  property(info->proplist, PA_PROP_APPLICATION_ICON_NAME)});
}

} // namespace

bool AudioProcesses::belongsTo(std::string_view candidate, std::string_view bundleID) {
    return candidate == bundleID ||
           (candidate.size() > bundleID.size() && candidate.starts_with(bundleID) &&
            candidate[bundleID.size()] == '.');
}

std::vector<AudioProcesses::Process> AudioProcesses::all() {
    auto& server = SoundServer::shared();
    std::lock_guard lock(server);
    Listing listing{&server, {}};
    auto* context = server.context();
    if (!context) return {};
    server.await(pa_context_get_sink_input_info_list(context, &onSinkInput, &listing));
    return std::move(listing.processes);
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

std::optional<std::uint32_t> AudioProcesses::own() {
    const auto pid = static_cast<std::int32_t>(::getpid());
    for (const auto& process : all())
        if (process.pid == pid) return process.object;
    return std::nullopt;
}

} // namespace lantern
