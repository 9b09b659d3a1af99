#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

struct xcb_connection_t;
class QSocketNotifier;

namespace lantern {

class ShortcutPortal;

// Hold-to-talk: a key anywhere on the desktop (Ctrl+Alt+Space unless set
// otherwise: a combination no major desktop binds). While the key is
// registered, holding it calls `onPress` once and letting go calls
// `onRelease`, both on the thread that owns the object (the main thread) and
// always posted, never called from inside the event that caused them.
//
// On X11 the key is grabbed on the root window (also with Caps Lock and Num
// Lock on) and the keyboard's auto-repeat is made detectable, so a held key
// gives no extra presses; a key another program holds is not registered.
// In a Wayland session, where no program may grab keys, the key is the
// desktop's GlobalShortcuts portal's "talk" shortcut, with this key as its
// preferred trigger: registered once the portal has bound it (`changed`
// says when), under whatever trigger the user gives it in the desktop's
// settings. Without either, registerKey() is false.
class HotKey : public QObject {
    Q_OBJECT
public:
    static HotKey& shared();

    // `display` names the X display; nothing means $DISPLAY.
    explicit HotKey(std::optional<QString> display = std::nullopt);
    ~HotKey() override;

    // The default: free on GNOME, KDE Plasma, XFCE, Cinnamon and MATE.
    static constexpr const char* defaultKey = "Ctrl+Alt+Space";
    // Ctrl, Alt, Shift and Super joined by "+" before a letter, a digit,
    // Space or F1–F12 ("Ctrl+Alt+Space"); false for anything else. Takes
    // effect at the next registration.
    bool setKey(const QString& key);
    const QString& key() const { return key_; }

    std::function<void()> onPress = [] {};
    std::function<void()> onRelease = [] {};

    // True when the key is registered, now or already. On Wayland it is
    // false until the portal has answered; `changed` follows.
    bool registerKey();
    void unregisterKey();
    bool registered() const { return registered_; }
    // The key as the user presses it: on Wayland the portal's description
    // of the trigger the user chose.
    QString shown() const;

Q_SIGNALS:
    // registered() or shown() changed by itself (the portal answered, or
    // the user rebound the shortcut).
    void changed();

private:
    bool wayland() const;
    void portalChanged();
    void pressed(bool down);
    bool connect();
    bool grab(bool on);
    void readEvents();
    void post(bool press);

    std::optional<QString> display_;
    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
    QString key_;
    std::uint16_t modifiers_ = 0;
    std::uint32_t keysym_ = 0;
    QString trigger_; // the key in the portal's shortcuts format
    std::unique_ptr<ShortcutPortal> portal_;
    bool portalWanted_ = false;
    std::uint8_t keycode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool registered_ = false;
    bool down_ = false;
};

} // namespace lantern
