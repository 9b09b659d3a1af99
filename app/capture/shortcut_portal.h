#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>

class QDBusMessage;

namespace lantern {

// One global shortcut, "talk", through the desktop's GlobalShortcuts portal
// (xdg-desktop-portal on the session bus): the way to a key anywhere on the
// desktop in a Wayland session, where no program may grab keys itself.
//
// bind() creates a portal session and binds the shortcut with a preferred
// trigger; the desktop may ask the user, who may also rebind it later in the
// desktop's settings. Everything answers asynchronously on the main thread:
// `changed` whenever bound() or trigger() changes, `onActive` with true when
// the shortcut is pressed and false when it is let go. A portal that is absent,
// lacks the interface or refuses leaves bound() false; bind() is not retried
// until the portal restarts.
class ShortcutPortal : public QObject {
    Q_OBJECT
public:
    ShortcutPortal();
    ~ShortcutPortal() override;

    // `preferredTrigger` in the shortcuts format: "CTRL+ALT+space".
    void bind(const QString& preferredTrigger);
    // Bound, with a trigger the user can press.
    bool bound() const { return state_ == State::bound && !trigger_.isEmpty(); }
    // The portal's description of the trigger, for the user to read.
    const QString& trigger() const { return trigger_; }

    std::function<void(bool active)> onActive = [](bool) {};

Q_SIGNALS:
    void changed();

private Q_SLOTS:
    void response(uint code, const QVariantMap& results);
    void activated(const QDBusMessage& message);
    void deactivated(const QDBusMessage& message);
    void shortcutsChanged(const QDBusMessage& message);
    void sessionClosed();

private:
    enum class State { idle, creating, binding, bound, failed };

    void call(const QString& method, QVariantList arguments, QVariantMap options);
    void watchResponse(const QString& path, bool on);
    void sessionCreated(const QVariantMap& results);
    void takeShortcuts(const QVariant& shortcuts);
    void end(State state);
    bool ours(const QDBusMessage& message) const;

    State state_ = State::idle;
    QString preferred_;
    QString trigger_;
    QString session_;
    QString requestPath_; // the request whose Response is awaited
    int tokens_ = 0;
};

} // namespace lantern
