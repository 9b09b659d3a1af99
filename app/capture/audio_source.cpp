#include "capture/audio_source.h"

#include "capture/audio_processes.h"
#include "capture/sound_server.h"

#include <QCollator>
#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <mutex>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <set>
#include <unistd.h>

namespace lantern {

const AudioSource& AudioSource::wholeMac() {
    static const AudioSource whole{QStringLiteral("whole-mac"), QStringLiteral("Everything"),
                                   std::nullopt};
    return whole;
}

namespace {

bool belongs(const QString& candidate, const QString& id) {
    return AudioProcesses::belongsTo(candidate.toStdString(), id.toStdString());
}

struct ClientListing {
    SoundServer* server;
    std::vector<RunningApplication> applications;
    std::string ownPid;
};

std::optional<QString> text(const pa_proplist* properties, const char* key) {
    const char* value = pa_proplist_gets(properties, key);
    if (!value || !*value) return std::nullopt;
    return QString::fromUtf8(value);
}

void onClient(pa_context*, const pa_client_info* info, int last, void* data) {
    auto* listing = static_cast<ClientListing*>(data);
    if (last || !info) return listing->server->signal();
    const auto binary = text(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
    const auto pid = text(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    if (!binary || !pid || pid->toStdString() == listing->ownPid) return;
    listing->applications.push_back({*binary, text(info->proplist, PA_PROP_APPLICATION_NAME),
                                     text(info->proplist, PA_PROP_APPLICATION_ICON_NAME)});
}

} // namespace

std::vector<RunningApplication> AudioSources::runningApplications() {
    auto& server = SoundServer::shared();
    std::lock_guard lock(server);
    ClientListing listing{&server, {}, std::to_string(::getpid())};
    auto* context = server.context();
    if (!context) return {};
    server.await(pa_context_get_client_info_list(context, &onClient, &listing));
    return std::move(listing.applications);
}

std::vector<AudioSource> AudioSources::arrange(const std::vector<RunningApplication>& applications,
                                               const std::vector<QString>& known,
                                               const std::vector<QString>& playing,
                                               const QString& ownID) {
    std::vector<AudioSource> sources;
    for (const auto& application : applications) {
        if (application.id.isEmpty() || application.id == ownID) continue;
        if (std::none_of(known.begin(), known.end(),
                         [&](const QString& k) { return belongs(k, application.id); }))
            continue;
        sources.push_back(
            {application.id, application.name.value_or(application.id), application.icon});
    }
    auto plays = [&](const AudioSource& source) {
        return std::any_of(playing.begin(), playing.end(),
                           [&](const QString& p) { return belongs(p, source.id); });
    };
    // On Linux the Spotify client's program is "spotify".
    const QString spotify = QStringLiteral("spotify");
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(sources.begin(), sources.end(),
                     [&](const AudioSource& a, const AudioSource& b) {
                         const bool aPlays = plays(a), bPlays = plays(b);
                         if (aPlays != bPlays) return aPlays;
                         const bool aSpotify = a.id == spotify, bSpotify = b.id == spotify;
                         if (aSpotify != bSpotify) return aSpotify;
                         return collator.compare(a.name, b.name) < 0;
                     });
    std::vector<AudioSource> result{AudioSource::wholeMac()};
    std::set<QString> seen;
    for (auto& source : sources)
        if (seen.insert(source.id).second) result.push_back(std::move(source));
    return result;
}

std::vector<AudioSource> AudioSources::current() {
    std::vector<QString> known, playing;
    for (const auto& process : AudioProcesses::all()) {
        if (!process.bundleID) continue;
        known.push_back(QString::fromStdString(*process.bundleID));
        if (process.isPlaying) playing.push_back(known.back());
    }
    // Our own program name, as the server would list it.
    const auto own = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return arrange(runningApplications(), known, playing, QFileInfo(own).fileName());
}

} // namespace lantern
