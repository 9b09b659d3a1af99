#include "capture/shortcut_portal.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace lantern {

// One entry of the portal's a(sa{sv}): an id and its properties.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace lantern

Q_DECLARE_METATYPE(lantern::PortalShortcut)

namespace lantern {

namespace {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString desktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString talkId = QStringLiteral("talk");
// The launcher entry's name: how the desktop knows which application binds.
const QString applicationId = QStringLiteral("com.brindle.lanternfm");

QString pathOf(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

} // namespace

ShortcutPortal::ShortcutPortal() {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    auto bus = QDBusConnection::sessionBus();
    auto* watcher =
        new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForUnregistration, this);
    // A portal that went away took its session along; the next bind() starts over.
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { end(State::idle); });
    const auto on = [&](const char* name, const char* slot) {
        bus.connect(service, desktopPath, shortcutsInterface, QString::fromLatin1(name), this,
                    slot);
    };
    on("Activated", SLOT(activated(QDBusMessage)));
    on("Deactivated", SLOT(deactivated(QDBusMessage)));
    on("ShortcutsChanged", SLOT(shortcutsChanged(QDBusMessage)));
}

ShortcutPortal::~ShortcutPortal() {
    // Without the application the bus is gone; the portal closes the session
    // of a connection that ends.
    if (QCoreApplication::instance()) end(State::idle);
}

void ShortcutPortal::bind(const QString& preferredTrigger) {
    if (state_ != State::idle) return;
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return end(State::failed);
    preferred_ = preferredTrigger;
    state_ = State::creating;
    // Portals that know host applications by id learn ours first; older
    // ones answer with an error, which changes nothing.
    auto registry = QDBusMessage::createMethodCall(
        service, desktopPath, QStringLiteral("org.freedesktop.host.portal.Registry"),
        QStringLiteral("Register"));
    registry.setArguments({applicationId, QVariantMap()});
    bus.asyncCall(registry);
    call(QStringLiteral("CreateSession"), {},
         {{QStringLiteral("session_handle_token"), QStringLiteral("lantern_talk")}});
}

// Calls `method` as a portal request: its answer comes as the Response
// signal of a request object, subscribed to before the call so that an
// answer that comes at once is not missed.
void ShortcutPortal::call(const QString& method, QVariantList arguments, QVariantMap options) {
    auto bus = QDBusConnection::sessionBus();
    const auto token = QStringLiteral("lantern%1").arg(++tokens_);
    options.insert(QStringLiteral("handle_token"), token);
    auto sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    watchResponse(
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token), true);
    arguments.append(options);
    auto message = QDBusMessage::createMethodCall(service, desktopPath, shortcutsInterface, method);
    message.setArguments(arguments);
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(message), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, state = state_] {
        pending->deleteLater();
        if (state_ != state) return; // ended meanwhile
        const QDBusPendingReply<QDBusObjectPath> reply = *pending;
        if (reply.isError()) return end(State::failed); // no portal, or no such interface
        // Portals before version 0.9 chose the request's path themselves.
        if (const auto path = reply.value().path(); path != requestPath_) {
            watchResponse(requestPath_, false);
            watchResponse(path, true);
        }
    });
}

void ShortcutPortal::watchResponse(const QString& path, bool on) {
    auto bus = QDBusConnection::sessionBus();
    if (on) {
        requestPath_ = path;
        bus.connect(service, path, requestInterface, QStringLiteral("Response"), this,
                    SLOT(response(uint, QVariantMap)));
    } else if (!path.isEmpty()) {
        bus.disconnect(service, path, requestInterface, QStringLiteral("Response"), this,
                       SLOT(response(uint, QVariantMap)));
        if (path == requestPath_) requestPath_.clear();
    }
}

void ShortcutPortal::response(uint code, const QVariantMap& results) {
    watchResponse(requestPath_, false);
    if (code != 0) return end(State::failed); // the user cancelled, or the portal refused
    if (state_ == State::creating) return sessionCreated(results);
    if (state_ != State::binding) return;
    state_ = State::bound;
    takeShortcuts(results.value(QStringLiteral("shortcuts")));
}

void ShortcutPortal::sessionCreated(const QVariantMap& results) {
    session_ = pathOf(results.value(QStringLiteral("session_handle")));
    if (!session_.startsWith(desktopPath + QLatin1Char('/'))) return end(State::failed);
    QDBusConnection::sessionBus().connect(service, session_, sessionInterface,
                                          QStringLiteral("Closed"), this, SLOT(sessionClosed()));
    state_ = State::binding;
    const QList<PortalShortcut> shortcuts{
        {talkId,
         {{QStringLiteral("description"), QStringLiteral("Hold to talk")},
          {QStringLiteral("preferred_trigger"), preferred_}}}};
    call(
        QStringLiteral("BindShortcuts"),
        {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts), QString()},
        {});
}

// The trigger of "talk" among the portal's shortcuts; none when it is not
// among them or has no trigger.
void ShortcutPortal::takeShortcuts(const QVariant& shortcuts) {
    QString trigger;
    if (shortcuts.canConvert<QDBusArgument>())
        for (const auto& shortcut : qdbus_cast<QList<PortalShortcut>>(shortcuts))
            if (shortcut.id == talkId)
                trigger = shortcut.properties.value(QStringLiteral("trigger_description"))
                              .toString()
                              .left(64);
    if (trigger == trigger_) return;
    trigger_ = trigger;
    Q_EMIT changed();
}

bool ShortcutPortal::ours(const QDBusMessage& message) const {
    const auto arguments = message.arguments();
    return state_ == State::bound && arguments.size() >= 2 && pathOf(arguments.at(0)) == session_ &&
           arguments.at(1).toString() == talkId;
}

void ShortcutPortal::activated(const QDBusMessage& message) {
    if (ours(message)) onActive(true);
}

void ShortcutPortal::deactivated(const QDBusMessage& message) {
    if (ours(message)) onActive(false);
}

void ShortcutPortal::shortcutsChanged(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (state_ == State::bound && arguments.size() >= 2 && pathOf(arguments.at(0)) == session_)
        takeShortcuts(arguments.at(1));
}

void ShortcutPortal::sessionClosed() {
    end(State::failed);
}

// Leaves the portal (closing a session still open) in `state`.
void ShortcutPortal::end(State state) {
    const bool was = bound();
    auto bus = QDBusConnection::sessionBus();
    watchResponse(requestPath_, false);
    if (!session_.isEmpty()) {
        bus.disconnect(service, session_, sessionInterface, QStringLiteral("Closed"), this,
                       SLOT(sessionClosed()));
        if (state_ != State::idle && bus.isConnected()) {
            auto close = QDBusMessage::createMethodCall(service, session_, sessionInterface,
                                                        QStringLiteral("Close"));
            close.setAutoStartService(false); // never start a portal just to close
            bus.asyncCall(close);
        }
        session_.clear();
    }
    state_ = state;
    trigger_.clear();
    if (was) Q_EMIT changed();
}

} // namespace lantern
