#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

struct xcb_connection_t;
class QSocketNotifier;

namespace lantern {

// Hold-to-talk: a key anywhere on the desktop (Ctrl+Alt+Space unless set
// otherwise: a combination no major desktop binds). While the key is
// registered, holding it calls `onPress` once and letting go calls
// `onRelease`, both on the thread that owns the object (the main thread) and
// always posted, never called from inside the event that caused them.
//
// X11 only: the key is grabbed on the root window (also with Caps Lock and
// Num Lock on) and the keyboard's auto-repeat is made detectable, so a held
// key gives no extra presses. Without an X display, registerKey() is false.
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

    // True when the key is registered, now or already.
    bool registerKey();
    void unregisterKey();
    bool registered() const { return registered_; }

private:
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
    std::uint8_t keycode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool registered_ = false;
    bool down_ = false;
};

} // namespace lantern
