#include "system/audio_priority.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <cerrno>
#include <cstring>
#include <sys/resource.h>

namespace lantern {

namespace {

// Real-time priority asked for: above ordinary threads, below the sound
// server's own (rtkit allows up to 20 unless configured otherwise).
constexpr unsigned wantedRealtime = 3;
// The niceness asked for when real time is not granted (rtkit allows down to -15).
constexpr int wantedNiceness = -11;
// rtkit grants real time only to a process that bounds the CPU time a
// real-time thread may take without sleeping (its default bound): a thread
// that ran away would get a signal instead of freezing the desktop.
constexpr rlim_t realtimeBudget = 200000; // µs

// Without rtkit a process allowed to (with CAP_SYS_NICE) raises the thread itself.
std::string raiseNiceness(pid_t thread, const std::string& rtkitAnswer) {
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), wantedNiceness) == 0)
        return "niceness " + std::to_string(wantedNiceness);
    const std::string why = rtkitAnswer.empty() ? std::strerror(errno) : rtkitAnswer;
    return "normal priority (" + why + ")";
}

QDBusMessage rtkitCall(const char* method, pid_t thread, QVariant level) {
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.RealtimeKit1"),
                                                  QStringLiteral("/org/freedesktop/RealtimeKit1"),
                                                  QStringLiteral("org.freedesktop.RealtimeKit1"),
                                                  QString::fromLatin1(method));
    message << QVariant::fromValue<quint64>(static_cast<quint64>(thread)) << level;
    return message;
}

// Sends `message` and calls `then` with the error text (empty on success).
void ask(const QDBusMessage& message, std::function<void(std::string)> then) {
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::systemBus().asyncCall(message, 2000), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [then = std::move(then)](QDBusPendingCallWatcher* call) {
                         call->deleteLater();
                         then(call->isError() ? call->error().message().toStdString()
                                              : std::string());
                     });
}

} // namespace

void raiseAudioThread(pid_t thread, std::function<void(std::string)> granted) {
    if (!QCoreApplication::instance() || !QDBusConnection::systemBus().isConnected())
        return granted(raiseNiceness(thread, {}));
    rlimit current{};
    if (::getrlimit(RLIMIT_RTTIME, &current) == 0 &&
        (current.rlim_max == RLIM_INFINITY || current.rlim_max > realtimeBudget)) {
        const rlimit bounded{realtimeBudget, realtimeBudget};
        ::setrlimit(RLIMIT_RTTIME, &bounded);
    }
    ask(rtkitCall("MakeThreadRealtime", thread, QVariant::fromValue(wantedRealtime)),
        [thread, granted](std::string refused) {
            if (refused.empty())
                return granted("real-time priority " + std::to_string(wantedRealtime));
            ask(rtkitCall("MakeThreadHighPriority", thread, QVariant::fromValue(wantedNiceness)),
                [thread, granted, refused](std::string alsoRefused) {
                    if (alsoRefused.empty())
                        return granted("niceness " + std::to_string(wantedNiceness));
                    granted(raiseNiceness(thread, refused));
                });
        });
}

} // namespace lantern
