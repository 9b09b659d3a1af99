#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

struct xcb_connection_t;
class QSocketNotifier;

namespace lantern {

// Hold-to-talk: Control+Alt+T anywhere on the desktop. While the key is
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
    std::uint8_t keycode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool registered_ = false;
    bool down_ = false;
};

} // namespace lantern
