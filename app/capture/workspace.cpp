#include "capture/workspace.h"

#include "capture/audio_source.h"
#include "capture/sound_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <mutex>

namespace lantern {

namespace {

std::set<QString> clientIDs() {
    std::set<QString> ids;
    for (const auto& application : AudioSources::runningApplications())
        ids.insert(application.id);
    return ids;
}

bool processNamed(const QString& id) {
    // The kernel keeps the first 15 bytes of a program's name in comm.
    const auto comm = id.toUtf8().left(15);
    const auto entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const auto& pid : entries) {
        if (pid.isEmpty() || !pid.front().isDigit()) continue;
        QFile file(QStringLiteral("/proc/") + pid + QStringLiteral("/comm"));
        if (!file.open(QIODevice::ReadOnly)) continue;
        if (file.readAll().trimmed() != comm) continue;
        if (id.toUtf8().size() <= 15) return true;
        const auto exe = QFileInfo(QStringLiteral("/proc/") + pid + QStringLiteral("/exe"));
        if (QFileInfo(exe.symLinkTarget()).fileName() == id) return true;
    }
    return false;
}

} // namespace

Workspace::Workspace() : clients_(clientIDs()) {
    auto& server = SoundServer::shared();
    std::lock_guard lock(server);
    // Unsubscribed under the loop's lock before this object goes, so the
    // callback never sees it destroyed.
    Workspace* self = this;
    subscription_ = server.subscribe([self](const SoundServer::Event& event) {
        using Kind = SoundServer::Event::Kind;
        // A sound server that restarts is not every application quitting and
        // launching again: the list is taken afresh without telling anyone.
        if (event.kind == Kind::disconnected) return;
        if (event.kind == Kind::connected) {
            QMetaObject::invokeMethod(
                self, [self] { self->clients_ = clientIDs(); }, Qt::QueuedConnection);
            return;
        }
        if (event.facility != PA_SUBSCRIPTION_EVENT_CLIENT) return;
        // On the loop thread: one job on the main thread per burst of events.
        if (self->clientsQueued_.exchange(true)) return;
        QMetaObject::invokeMethod(
            self, [self] { self->refreshClients(); }, // dropped by Qt if the object is gone
            Qt::QueuedConnection);
    });
}

Workspace::~Workspace() {
    auto& server = SoundServer::shared();
    std::lock_guard lock(server);
    server.unsubscribe(subscription_);
}

void Workspace::refreshClients() {
    clientsQueued_ = false;
    auto now = clientIDs();
    const auto before = std::exchange(clients_, now);
    for (const auto& id : now)
        if (!before.count(id)) Q_EMIT launched(id);
    for (const auto& id : before)
        if (!now.count(id)) Q_EMIT quit(id);
}

bool Workspace::isRunning(const QString& id) {
    if (id.isEmpty()) return false;
    if (clientIDs().count(id)) return true;
    return processNamed(id);
}

} // namespace lantern
