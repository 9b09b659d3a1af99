#include "system/notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QStringList>
#include <QVariantMap>

namespace lantern {

void postNotification(const QString& title, const QString& body) {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    auto call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                               QStringLiteral("/org/freedesktop/Notifications"),
                                               QStringLiteral("org.freedesktop.Notifications"),
                                               QStringLiteral("Notify"));
    // app name, replaces id, icon, summary, body, actions, hints, time-out (-1: the server's)
    call << QStringLiteral("Lantern FM") << 0u << QStringLiteral("lantern-fm") << title << body
         << QStringList() << QVariantMap() << -1;
    bus.asyncCall(call); // the answer (an id or an error) is not needed
}

} // namespace lantern
