// The hot key against a private X server (Xvfb), with key presses from
// xdotool. A held key must give one press and one release, auto-repeat or not.
#include "capture/hot_key.h"
#include "support/child_process.h"
#include "support/qt_wait.h"
#include "support/xvfb.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <thread>

using namespace lantern;
using namespace lantern::test;
using namespace std::chrono_literals;

namespace {

QString display;

void xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    runProgram(command, std::chrono::seconds(10));
}

struct Counts {
    int presses = 0;
    int releases = 0;
};

void count(HotKey& key, Counts& counts) {
    key.onPress = [&] { ++counts.presses; };
    key.onRelease = [&] { ++counts.releases; };
}

TEST(HotKey, HeldKeyGivesOnePressAndOneReleaseDespiteAutoRepeat) {
    HotKey key(display);
    Counts counts;
    count(key, counts);
    ASSERT_TRUE(key.registerKey());
    EXPECT_TRUE(key.registerKey()) << "a second registration must succeed as well";
    xdotool({"keydown", "ctrl+alt+t"});
    // Longer than the server's auto-repeat delay, so repeats do arrive.
    std::this_thread::sleep_for(1200ms);
    xdotool({"keyup", "ctrl+alt+t"});
    ASSERT_TRUE(eventually([&] { return counts.releases >= 1; }, 3s));
    settle(300ms);
    EXPECT_EQ(counts.presses, 1);
    EXPECT_EQ(counts.releases, 1);
}

TEST(HotKey, CallbacksArePostedNotCalledInline) {
    HotKey key(display);
    Counts counts;
    count(key, counts);
    ASSERT_TRUE(key.registerKey());
    xdotool({"key", "ctrl+alt+t"});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(counts.presses, 0) << "a callback ran without the event loop";
    ASSERT_TRUE(eventually([&] { return counts.releases == 1; }, 3s));
    EXPECT_EQ(counts.presses, 1);
}

TEST(HotKey, WorksWithCapsLockOnAndNotForOtherKeys) {
    HotKey key(display);
    Counts counts;
    count(key, counts);
    ASSERT_TRUE(key.registerKey());
    xdotool({"key", "ctrl+alt+y", "ctrl+t", "alt+t"});
    settle(500ms);
    EXPECT_EQ(counts.presses + counts.releases, 0);
    xdotool({"key", "Caps_Lock"});
    xdotool({"key", "ctrl+alt+t"});
    xdotool({"key", "Caps_Lock"});
    EXPECT_TRUE(eventually([&] { return counts.presses == 1 && counts.releases == 1; }, 3s));
}

TEST(HotKey, NothingAfterUnregisterAndNewCallbacksTakeEffect) {
    HotKey key(display);
    Counts first, second;
    count(key, first);
    ASSERT_TRUE(key.registerKey());
    key.unregisterKey();
    xdotool({"key", "ctrl+alt+t"});
    settle(500ms);
    EXPECT_EQ(first.presses + first.releases, 0);
    count(key, second);
    ASSERT_TRUE(key.registerKey());
    xdotool({"key", "ctrl+alt+t"});
    EXPECT_TRUE(eventually([&] { return second.releases == 1; }, 3s));
    EXPECT_EQ(first.presses + first.releases, 0);
}

TEST(HotKey, TakenByAnotherProgramIsNotRegistered) {
    HotKey holder(display), other(display);
    ASSERT_TRUE(holder.registerKey());
    EXPECT_FALSE(other.registerKey());
    holder.unregisterKey();
    EXPECT_TRUE(other.registerKey());
}

TEST(HotKey, WithoutAnXDisplayRegistrationFails) {
    HotKey key(QStringLiteral(":999"));
    EXPECT_FALSE(key.registerKey());
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const pid_t server = startXvfb(display);
    if (server < 0) {
        std::fprintf(stderr, "could not start Xvfb\n");
        return 1;
    }
    qputenv("DISPLAY", display.toUtf8()); // for xdotool
    QCoreApplication application(argc, argv);
    const int result = RUN_ALL_TESTS();
    endProgram(server);
    return result;
}
