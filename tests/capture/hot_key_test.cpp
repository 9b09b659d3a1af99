// The hot key against a private X server (Xvfb), with key presses from xdotool.
#include "capture/hot_key.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/session_bus.h"
#include "support/shortcut_portal.h"
#include "support/world.h"

#include <QEvent>
#include <gtest/gtest.h>

using namespace lantern;
using namespace lantern::test;

namespace {

// Counts the callbacks, and notes whether each ran as a call posted to the
// key (its own queued event) rather than inside the reading of X's events.
struct Counts : QObject {
    int presses = 0, releases = 0, inline_ = 0;
    bool posted = false;
    explicit Counts(HotKey& key) {
        key.installEventFilter(this);
        key.onPress = [this] { ++presses, inline_ += !std::exchange(posted, false); };
        key.onRelease = [this] { ++releases, inline_ += !std::exchange(posted, false); };
    }
    bool eventFilter(QObject*, QEvent* event) override {
        posted |= event->type() == QEvent::MetaCall;
        return false;
    }
};

// Only its key (Ctrl+Alt+Space unless set), Caps Lock on or not, and a held
// key gives one press and one release whatever the auto-repeat does, both
// posted, never run from inside the event that caused them. Nothing once
// unregistered; new callbacks and a new key take effect at the next
// registration, and a key that cannot be read is refused.
TEST(HotKey, OnePressAndReleasePerHoldOfItsKeyOnlyWhileRegistered) {
    HotKey key(World::display());
    Counts first(key);
    ASSERT_TRUE(key.registerKey());
    EXPECT_TRUE(key.registerKey()) << "a second registration must succeed as well";
    runProgram({"xdotool", "key", "ctrl+alt+t", "ctrl+space", "alt+space"});
    runProgram({"xdotool", "keydown", "ctrl+alt+space"});
    settle(1200ms); // longer than the server's auto-repeat delay
    runProgram({"xdotool", "keyup", "ctrl+alt+space"});
    runProgram({"xdotool", "key", "Caps_Lock", "ctrl+alt+space", "Caps_Lock"});
    ASSERT_TRUE(eventually([&] { return first.releases >= 2; }, 3s));
    settle(300ms);
    // More: another key, or the auto-repeat, was heard.
    EXPECT_EQ(std::pair(first.presses, first.releases), std::pair(2, 2));
    EXPECT_EQ(first.inline_, 0) << "a callback ran inside the X event's handling";
    key.unregisterKey();
    runProgram({"xdotool", "key", "ctrl+alt+space"});
    settle(500ms);
    EXPECT_EQ(first.presses, 2) << "heard while unregistered";
    Counts second(key);
    ASSERT_TRUE(key.setKey("Super+Shift+F5"));
    ASSERT_TRUE(key.registerKey());
    runProgram({"xdotool", "key", "ctrl+alt+space", "super+shift+F5"});
    EXPECT_TRUE(eventually([&] { return second.releases == 1; }, 3s));
    settle(300ms);
    // Not so: the old key, or the old callbacks, still work.
    EXPECT_EQ(std::pair(first.presses, second.presses), std::pair(2, 1));
    for (const char* unreadable : {"T", "Ctrl+", "Ctrl+Alt+Return", "Hyper+T", "Ctrl+Alt+F13"})
        EXPECT_FALSE(key.setKey(unreadable)) << unreadable;
    EXPECT_EQ(key.key(), "Super+Shift+F5");
}

// Not registered: a key another program holds, no display, and in a Wayland
// session (whose X server, here the Xvfb, sees only keys typed into X11
// windows) no portal, or a portal that answers the binding with the user's
// refusal; that portal's session is closed and it is not asked again.
TEST(HotKey, TakenWithoutADisplayOrRefusedIsNotRegistered) {
    World::bus(); // no portal on it yet
    HotKey holder(World::display()), other(World::display());
    ASSERT_TRUE(holder.registerKey());
    EXPECT_FALSE(other.registerKey());
    holder.unregisterKey();
    EXPECT_TRUE(other.registerKey());
    EXPECT_FALSE(HotKey(QStringLiteral(":999")).registerKey());
    other.unregisterKey();
    qputenv("XDG_SESSION_TYPE", "x11");
    EXPECT_TRUE(HotKey().registerKey());
    qputenv("XDG_SESSION_TYPE", "wayland");
    EXPECT_FALSE(HotKey().registerKey());
    const auto portal = startProgram({DBUS_STANDIN, "portal", "refuse"});
    ASSERT_TRUE(eventually([] { return World::bus().hasOwner(portalName); }));
    HotKey key;
    EXPECT_FALSE(key.registerKey());
    const auto calls = [] { return portalCall("Calls") == "CreateSession BindShortcuts Close"; };
    EXPECT_TRUE(eventually(calls)) << portalCall("Calls").toStdString();
    EXPECT_FALSE(key.registered());
    key.unregisterKey();
    EXPECT_FALSE(key.registerKey());
    settle(300ms);
    EXPECT_TRUE(calls()) << "asked again: " << portalCall("Calls").toStdString();
    endProgram(portal);
}

} // namespace
