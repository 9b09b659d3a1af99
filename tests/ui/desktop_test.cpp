// lantern-fm on a desktop (the Xvfb display, a private session bus and sound
// server): its diagnostic switches, and one instance per session.
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/lantern_run.h"
#include "support/session_bus.h"
#include "support/sound_daemon.h"
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

// debugCapture prints the sources, then the peak of each second of audio, as
// the audio arrives (real time); debugPanelWindow opens the panel in a window
// and names the microphones.
TEST(Desktop, DiagnosticSwitchesReport) {
    World::bus();
    World::sound().play("steady-tone", 440);
    QTemporaryDir home;
    LanternRun app(home, {"--debugCapture=all", "--debugPanelWindow=true"}, desktop());
    const auto sources = app.line("sources: ");
    ASSERT_TRUE(sources);
    EXPECT_TRUE(sources->starts_with("Everything")) << *sources;
    EXPECT_EQ(app.line("capturing "), "whole-mac");
    const auto window = app.line("window: ");
    ASSERT_TRUE(window);
    EXPECT_NE(window->find(" inputs: Remapped Monitor of Null Output"), std::string::npos)
        << *window;
    EXPECT_NE(window->find(" default: Remapped Monitor of Null Output"), std::string::npos)
        << *window;

    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(app.line("level ")); // once a second of audio has come
    const auto levels = app.lines("level ", 4, 8s);
    ASSERT_GE(levels.size(), 4u);
    EXPECT_GE(std::chrono::steady_clock::now() - first, 2500ms) << "faster than real time";
    for (const auto& level : levels)
        EXPECT_NEAR(std::stod(level), 0.35, 0.05) << "the tone plays at 0.35";
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
