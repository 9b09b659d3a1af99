// lantern-fm on a desktop (the Xvfb display, a private session bus and sound
// server): one instance per session.
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/lantern_run.h"
#include "support/world.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace lantern::test {
namespace {

LanternRun::Options desktop() {
    LanternRun::Options options;
    options.headless = false;
    return options;
}

// The visible windows titled "Lantern FM".
int visibleWindows() {
    const auto found = runProgram({"xdotool", "search", "--onlyvisible", "--name", "^Lantern FM$"});
    return static_cast<int>(std::count(found.output.begin(), found.output.end(), '\n'));
}

// Where the desktop shows no tray icons the panel is a window, shown at
// launch; once put away, a second launch brings it back and ends.
TEST(Desktop, ASecondLaunchShowsThePanelOfTheFirst) {
    World::bus();
    QTemporaryDir home;
    LanternRun first(home, {}, desktop());
    ASSERT_TRUE(eventually([] { return visibleWindows() == 1; }, 30s)) << "the panel did not show";
    // Put away behind the app's back, as a desktop minimising it does (the
    // panel's own Escape is pressed in the panel's QML test): X key focus
    // without a window manager is not dependable on a busy machine.
    const auto window =
        runProgram({"xdotool", "search", "--onlyvisible", "--name", "^Lantern FM$"});
    const auto id = window.output.substr(0, window.output.find('\n'));
    runProgram({"xdotool", "windowunmap", "--sync", id});
    ASSERT_TRUE(eventually([] { return visibleWindows() == 0; }, 10s)) << "the panel is still up";
    LanternRun second(home, {}, desktop());
    EXPECT_EQ(second.exitStatus(10s), 0);
    EXPECT_TRUE(eventually([] { return visibleWindows() == 1; }, 5s)) << visibleWindows();
    EXPECT_FALSE(processGone(first.pid()));
}

} // namespace
} // namespace lantern::test
