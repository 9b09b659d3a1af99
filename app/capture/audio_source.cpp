#include "capture/audio_source.h"

#include "capture/audio_processes.h"
#include "capture/sound_server.h"
#include "core/config/station_config.h"

#include <QCollator>
#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <set>
#include <unistd.h>

namespace lantern {

const AudioSource& AudioSource::wholeMac() {
    static const AudioSource whole{
        QString::fromUtf8(wholeComputerID.data(), static_cast<qsizetype>(wholeComputerID.size())),
        QStringLiteral("Everything"), QString()};
    return whole;
}

bool AudioSource::whole() const {
    return id == wholeMac().id;
}

bool AudioSource::namesWhole(const QString& id) {
    return id == QLatin1String("all") || id == wholeMac().id;
}

namespace {

bool belongs(const QString& candidate, const QString& id) {
    return AudioProcesses::belongsTo(candidate.toStdString(), id.toStdString());
}

} // namespace

std::vector<RunningApplication> AudioSources::runningApplications() {
    const auto own = static_cast<std::int32_t>(::getpid());
    std::vector<RunningApplication> applications;
    // Hold the snapshot: the sound server's thread may publish a new one meanwhile.
    const auto state = SoundServer::shared().state();
    for (const auto& [index, client] : state->clients) {
        if (!client.binary || client.pid == 0 || client.pid == own) continue;
        auto text = [](const std::optional<std::string>& value) -> std::optional<QString> {
            if (!value) return std::nullopt;
            return QString::fromStdString(*value);
        };
        applications.push_back(
            {QString::fromStdString(*client.binary), text(client.name), text(client.icon)});
    }
    return applications;
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
        sources.push_back({application.id, application.name.value_or(application.id),
                           application.icon.value_or(QString())});
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
