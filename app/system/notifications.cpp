#include "system/notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <map>

namespace lantern {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");

// What to do when the server says a notification of ours was clicked.
class Clicks : public QObject {
    Q_OBJECT
public:
    static Clicks& shared() {
        static Clicks clicks;
        return clicks;
    }
    void expect(uint id, std::function<void()> work) {
        if (!listening_)
            listening_ = QDBusConnection::sessionBus().connect(service, path, service,
                                                               QStringLiteral("ActionInvoked"),
                                                               this, SLOT(invoked(uint, QString)));
        pending_[id] = std::move(work);
        // The server forgets old notifications; so do we, past a few.
        while (pending_.size() > 16)
            pending_.erase(pending_.begin());
    }

private Q_SLOTS:
    void invoked(uint id, const QString& action) {
        const auto found = pending_.find(id);
        if (found == pending_.end() || action != QStringLiteral("default")) return;
        const auto work = std::move(found->second);
        pending_.erase(found);
        work();
    }

private:
    bool listening_ = false;
    std::map<uint, std::function<void()>> pending_;
};

} // namespace

void postNotification(const QString& title, const QString& body, std::function<void()> onClick) {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    auto call = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    // The "default" action is a click on the notification itself.
    const auto actions =
        onClick ? QStringList{QStringLiteral("default"), QStringLiteral("Show")} : QStringList();
    // app name, replaces id, icon, summary, body, actions, hints, time-out (-1: the server's)
    call << QStringLiteral("Lantern FM") << 0u << QStringLiteral("lantern-fm") << title << body
         << actions << QVariantMap() << -1;
    const auto pending = bus.asyncCall(call);
    if (!onClick) return;
    auto* watcher = new QDBusPendingCallWatcher(pending, &Clicks::shared());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &Clicks::shared(),
                     [watcher, onClick = std::move(onClick)] {
                         const QDBusPendingReply<uint> reply = *watcher;
                         if (reply.isValid()) Clicks::shared().expect(reply.value(), onClick);
                         watcher->deleteLater();
                     });
}

} // namespace lantern

#include "notifications.moc"
