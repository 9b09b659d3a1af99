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

void xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    runProgram(command, std::chrono::seconds(10));
}

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
        if (event->type() == QEvent::MetaCall) posted = true;
        return false;
    }
};

// A held key gives one press and one release whatever the auto-repeat does,
// and both are posted, never run from inside the event that caused them.
TEST(HotKey, AHeldKeyIsOnePressAndOneRelease) {
    HotKey key(World::display());
    Counts counts(key);
    ASSERT_TRUE(key.registerKey());
    EXPECT_TRUE(key.registerKey()) << "a second registration must succeed as well";
    xdotool({"keydown", "ctrl+alt+space"});
    settle(1200ms); // longer than the server's auto-repeat delay
    xdotool({"keyup", "ctrl+alt+space"});
    ASSERT_TRUE(eventually([&] { return counts.releases >= 1; }, 3s));
    settle(300ms);
    EXPECT_EQ(counts.presses, 1);
    EXPECT_EQ(counts.releases, 1);
    EXPECT_EQ(counts.inline_, 0) << "a callback ran inside the X event's handling";
}

// Only its key (Ctrl+Alt+Space unless set), Caps Lock on or not; nothing
// once unregistered; new callbacks and a new key take effect at the next
// registration, and a key that cannot be read is refused.
TEST(HotKey, OnlyItsKeyAndOnlyWhileRegistered) {
    HotKey key(World::display());
    Counts first(key);
    ASSERT_TRUE(key.registerKey());
    xdotool({"key", "ctrl+alt+t", "ctrl+space", "alt+space"});
    settle(500ms);
    EXPECT_EQ(first.presses + first.releases, 0);
    xdotool({"key", "Caps_Lock", "ctrl+alt+space", "Caps_Lock"});
    EXPECT_TRUE(eventually([&] { return first.presses == 1 && first.releases == 1; }, 3s));
    key.unregisterKey();
    xdotool({"key", "ctrl+alt+space"});
    settle(500ms);
    EXPECT_EQ(first.presses, 1);
    Counts second(key);
    ASSERT_TRUE(key.setKey("Super+Shift+F5"));
    ASSERT_TRUE(key.registerKey());
    xdotool({"key", "ctrl+alt+space", "super+shift+F5"});
    EXPECT_TRUE(eventually([&] { return second.releases == 1; }, 3s));
    settle(300ms);
    EXPECT_EQ(second.presses, 1) << "the old key still works";
    EXPECT_EQ(first.presses, 1);
    for (const char* unreadable : {"T", "Ctrl+", "Ctrl+Alt+Return", "Hyper+T", "Ctrl+Alt+F13"})
        EXPECT_FALSE(key.setKey(unreadable)) << unreadable;
    EXPECT_EQ(key.key(), "Super+Shift+F5");
}

// Taken by another program, or without a display: not registered (and the
// panel says nothing about the key then).
TEST(HotKey, TakenOrWithoutADisplayIsNotRegistered) {
    World::bus(); // no portal on it
    HotKey holder(World::display()), other(World::display());
    ASSERT_TRUE(holder.registerKey());
    EXPECT_FALSE(other.registerKey());
    holder.unregisterKey();
    EXPECT_TRUE(other.registerKey());
    EXPECT_FALSE(HotKey(QStringLiteral(":999")).registerKey());
    other.unregisterKey();
    // A Wayland session's X server (here the Xvfb) would only see keys typed
    // into X11 windows: without a shortcut portal no hot key is offered there.
    qputenv("XDG_SESSION_TYPE", "wayland");
    EXPECT_FALSE(HotKey().registerKey());
    qputenv("XDG_SESSION_TYPE", "x11");
    EXPECT_TRUE(HotKey().registerKey());
}

// A portal that answers the binding with the user's refusal registers no key,
// and its session is closed; it is not asked again.
TEST(HotKey, OnWaylandARefusedShortcutIsNotRegistered) {
    World::bus();
    const auto portal = startProgram({FAKE_SHORTCUT_PORTAL, "refuse"});
    ASSERT_TRUE(eventually([] { return World::bus().hasOwner(portalName); }));
    qputenv("XDG_SESSION_TYPE", "wayland");
    HotKey key;
    EXPECT_FALSE(key.registerKey());
    EXPECT_TRUE(eventually([] {
        return portalCall("Calls") == "CreateSession BindShortcuts Close";
    })) << portalCall("Calls").toStdString();
    EXPECT_FALSE(key.registered());
    key.unregisterKey();
    EXPECT_FALSE(key.registerKey());
    settle(300ms);
    EXPECT_EQ(portalCall("Calls"), "CreateSession BindShortcuts Close");
    endProgram(portal);
}

} // namespace
