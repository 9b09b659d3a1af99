#include "system/single_instance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace lantern {

SingleInstance::Outcome SingleInstance::claim() {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return Outcome::alone;
    const auto reply = bus.interface()->registerService(
        QString::fromLatin1(busName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        bus.registerObject(QString::fromLatin1(objectPath), this,
                           QDBusConnection::ExportScriptableSlots);
        return Outcome::first;
    }
    auto call = QDBusMessage::createMethodCall(
        QString::fromLatin1(busName), QString::fromLatin1(objectPath),
        QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
    call.setArguments({QVariantMap()});
    const auto answer = bus.call(call, QDBus::Block, 5000);
    // A name owner that does not answer is stuck: run on our own rather than
    // leave the user with nothing.
    return answer.type() == QDBusMessage::ReplyMessage ? Outcome::activated : Outcome::alone;
}

void SingleInstance::Activate(const QVariantMap&) {
    Q_EMIT activated();
}

} // namespace lantern
