// The hot key against a private X server (Xvfb), with key presses from
// xdotool. A held key must give one press and one release, auto-repeat or not.
#include "capture/hot_key.h"
#include "support/child_process.h"
#include "support/qt_wait.h"

#include <QCoreApplication>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <thread>
#include <unistd.h>

using namespace lantern;
using namespace lantern::test;
using namespace std::chrono_literals;

namespace {

QString display;

// Lets queued callbacks run for a while.
void settle(std::chrono::milliseconds span) {
    eventually([] { return false; }, span);
}

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

// Starts Xvfb on a display number it picks itself; returns its pid. -noreset:
// the server must not restart (refusing connections) when its last client goes.
pid_t startXvfb(QString& name) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 3);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"Xvfb", "-displayfd", "3", "-noreset",   "-nolisten",
                          "tcp",  "-screen",    "0", "640x480x24", nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    std::string number;
    for (char c; ::read(pipe[0], &c, 1) == 1 && c != '\n';)
        number += c;
    ::close(pipe[0]);
    name = ":" + QString::fromStdString(number);
    return number.empty() ? -1 : pid;
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
