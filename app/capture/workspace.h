#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <set>

namespace lantern {

// Applications coming and going, as the sound server sees them: an
// application is launched when the first client with its id connects and has
// quit when the last one goes. Signals are emitted on the main thread,
// coalesced per event burst.
class Workspace : public QObject {
    Q_OBJECT
public:
    Workspace();
    ~Workspace() override;

    // Whether a sound-server client or a process (its /proc comm or the name of
    // its executable) carries `id`.
    static bool isRunning(const QString& id);

Q_SIGNALS:
    void launched(const QString& id);
    void quit(const QString& id);

private:
    void refreshClients();

    int subscription_ = -1;
    std::set<QString> clients_;
    // A refresh is on its way to the main thread (set on the loop thread).
    std::atomic<bool> clientsQueued_{false};
};

} // namespace lantern
