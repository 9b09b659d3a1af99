#include "capture/hot_key.h"

#include "capture/shortcut_portal.h"

#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QStringList>
#include <QtGlobal>
#include <algorithm>
#include <cstdlib>
#include <utility>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
// xkb.h names a member "explicit", which C++ reserves.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit

namespace lantern {

namespace {

// Caps Lock and Num Lock must not stop the key from working.
constexpr std::uint16_t lockVariants[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                          XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

} // namespace

HotKey& HotKey::shared() {
    static HotKey key;
    return key;
}

HotKey::HotKey(std::optional<QString> display) : display_(std::move(display)) {
    setKey(QString::fromLatin1(defaultKey));
}

bool HotKey::setKey(const QString& key) {
    auto parts = key.split(QLatin1Char('+'), Qt::SkipEmptyParts);
    if (parts.size() < 2) return false; // a key alone would be typed into every window
    const auto name = parts.takeLast().trimmed().toLower();
    // Each modifier's names, its X mask and its name in the portal's shortcuts format.
    struct Modifier {
        const char* name;
        const char* alias;
        std::uint16_t mask;
        const char* trigger;
    };
    static constexpr Modifier known[] = {{"ctrl", "control", XCB_MOD_MASK_CONTROL, "CTRL"},
                                         {"alt", "alt", XCB_MOD_MASK_1, "ALT"},
                                         {"shift", "shift", XCB_MOD_MASK_SHIFT, "SHIFT"},
                                         {"super", "meta", XCB_MOD_MASK_4, "LOGO"}};
    std::uint16_t modifiers = 0;
    QStringList trigger;
    for (const auto& part : parts) {
        const auto word = part.trimmed().toLower();
        const auto* modifier = std::find_if(std::begin(known), std::end(known), [&](const auto& m) {
            return word == QLatin1String(m.name) || word == QLatin1String(m.alias);
        });
        if (modifier == std::end(known)) return false;
        modifiers |= modifier->mask;
        trigger << QLatin1String(modifier->trigger);
    }
    std::uint32_t keysym = 0;
    if (name.size() == 1 && (name[0].isLetter() || name[0].isDigit()) && name[0].unicode() < 0x80)
        keysym = name[0].unicode(); // X's keysyms for ASCII letters and digits
    else if (name == QLatin1String("space"))
        keysym = 0x0020;
    else if (name.startsWith(QLatin1Char('f')) && name.mid(1).toInt() >= 1 &&
             name.mid(1).toInt() <= 12)
        keysym = 0xFFBD + name.mid(1).toInt(); // XK_F1 is 0xFFBE
    if (keysym == 0) return false;
    unregisterKey(); // the old key's grab goes with it
    // Key names as the keysyms have them: "space", "t", "F5".
    trigger << (name.startsWith(QLatin1Char('f')) && name.size() > 1 ? name.toUpper() : name);
    trigger_ = trigger.join(QLatin1Char('+'));
    key_ = key.trimmed();
    modifiers_ = modifiers;
    keysym_ = keysym;
    keycode_ = 0; // looked up again at the next registration
    return true;
}

HotKey::~HotKey() {
    unregisterKey();
    notifier_.reset();
    if (connection_) xcb_disconnect(connection_);
}

bool HotKey::connect() {
    if (connection_) return !xcb_connection_has_error(connection_);
    const auto name = display_ ? display_->toLocal8Bit() : QByteArray();
    if (!display_ && !std::getenv("DISPLAY")) return false;
    int screenNumber = 0;
    connection_ = xcb_connect(display_ ? name.constData() : nullptr, &screenNumber);
    if (xcb_connection_has_error(connection_)) return false;

    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    root_ = screens.data->root;

    // A held key then repeats as presses only, without releases in between.
    auto* extension =
        xcb_xkb_use_extension_reply(connection_, xcb_xkb_use_extension(connection_, 1, 0), nullptr);
    std::free(extension);
    auto* flags = xcb_xkb_per_client_flags_reply(
        connection_,
        xcb_xkb_per_client_flags(connection_, XCB_XKB_ID_USE_CORE_KBD,
                                 XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT,
                                 XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT, 0, 0, 0),
        nullptr);
    std::free(flags);

    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_),
                                                  QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
    return true;
}

bool HotKey::grab(bool on) {
    bool ok = true;
    for (const auto locks : lockVariants) {
        const auto modifiers = static_cast<std::uint16_t>(modifiers_ | locks);
        const auto cookie = on ? xcb_grab_key_checked(connection_, 1, root_, modifiers, keycode_,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)
                               : xcb_ungrab_key_checked(connection_, keycode_, root_, modifiers);
        if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
            ok = false; // another program holds this key
            std::free(error);
        }
    }
    xcb_flush(connection_);
    return ok;
}

// In a Wayland session a grab through XWayland sees only keys typed into X11
// windows: not a global hot key, so the portal's shortcut serves instead.
bool HotKey::wayland() const {
    return !display_ && qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
}

bool HotKey::registerKey() {
    if (registered_) return true;
    if (wayland()) {
        if (!portal_) {
            portal_ = std::make_unique<ShortcutPortal>();
            QObject::connect(portal_.get(), &ShortcutPortal::changed, this,
                             [this] { portalChanged(); });
            portal_->onActive = [this](bool down) { pressed(down); };
        }
        portalWanted_ = true;
        portal_->bind(trigger_); // once; a rebind is the user's, in the desktop's settings
        registered_ = portal_->bound();
        down_ = false;
        return registered_;
    }
    if (!connect()) return false;
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection_);
    if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym_)) {
        keycode_ = codes[0];
        std::free(codes);
    }
    xcb_key_symbols_free(symbols);
    if (keycode_ == 0) return false;
    if (!grab(true)) {
        grab(false);
        return false;
    }
    registered_ = true;
    down_ = false;
    return true;
}

void HotKey::unregisterKey() {
    const bool portal = std::exchange(portalWanted_, false);
    if (!registered_) return;
    if (!portal) grab(false);
    registered_ = false;
    down_ = false;
}

void HotKey::portalChanged() {
    if (!portalWanted_) return;
    const bool bound = portal_->bound();
    if (bound != registered_ && down_) pressed(false);
    registered_ = bound;
    Q_EMIT changed();
}

QString HotKey::shown() const {
    return portal_ && wayland() ? portal_->trigger() : key_;
}

// A held key is one press: later presses are its auto-repeat.
void HotKey::pressed(bool down) {
    if (!registered_ || down == down_) return;
    down_ = down;
    post(down);
}

void HotKey::readEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const auto type = event->response_type & 0x7F;
        if (registered_ && (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE)) {
            const auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
            if (key->detail == keycode_) pressed(type == XCB_KEY_PRESS);
        }
        std::free(event);
    }
}

void HotKey::post(bool press) {
    QMetaObject::invokeMethod(
        this,
        [self = QPointer<HotKey>(this), press] {
            if (!self) return;
            if (press)
                self->onPress();
            else
                self->onRelease();
        },
        Qt::QueuedConnection);
}

} // namespace lantern
