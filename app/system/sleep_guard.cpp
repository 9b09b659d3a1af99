#include "system/sleep_guard.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace lantern {

namespace {

const QString service = QStringLiteral("org.freedesktop.login1");
const QString path = QStringLiteral("/org/freedesktop/login1");
const QString manager = QStringLiteral("org.freedesktop.login1.Manager");

// Inhibit(what, who, why, mode) → a descriptor that holds the lock while open.
template <typename Done>
void inhibit(QObject* owner, const QString& what, const QString& mode, Done done) {
    auto bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return;
    auto call = QDBusMessage::createMethodCall(service, path, manager, QStringLiteral("Inhibit"));
    call << what << QStringLiteral("Lantern FM") << QStringLiteral("Lantern FM is on air") << mode;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, owner,
                     [watcher, done](QDBusPendingCallWatcher*) {
                         watcher->deleteLater();
                         QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
                         if (!reply.isError()) done(reply.value());
                     });
}

} // namespace

SleepGuard::SleepGuard(std::function<void()> beforeSleep) : beforeSleep_(std::move(beforeSleep)) {
    auto bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return;
    connected_ = bus.connect(service, path, manager, QStringLiteral("PrepareForSleep"), this,
                             SLOT(prepareForSleep(bool)));
    takeDelay();
}

SleepGuard::~SleepGuard() = default;

void SleepGuard::takeDelay() {
    inhibit(this, QStringLiteral("sleep"), QStringLiteral("delay"),
            [this](QDBusUnixFileDescriptor fd) { delay_ = fd; });
}

void SleepGuard::hold() {
    wanted_ = true;
    inhibit(this, QStringLiteral("idle"), QStringLiteral("block"),
            [this](QDBusUnixFileDescriptor fd) {
                // A release() that came first wins: the descriptor is dropped.
                if (wanted_) idle_ = fd;
            });
}

void SleepGuard::release() {
    wanted_ = false;
    idle_ = QDBusUnixFileDescriptor();
}

void SleepGuard::prepareForSleep(bool sleeping) {
    if (!sleeping) return takeDelay();
    if (beforeSleep_) beforeSleep_();
    delay_ = QDBusUnixFileDescriptor(); // lets the machine sleep now
}

} // namespace lantern
