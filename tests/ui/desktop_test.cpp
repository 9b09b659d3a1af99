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
    // Escape puts the panel away, as the user does.
    const auto window =
        runProgram({"xdotool", "search", "--onlyvisible", "--name", "^Lantern FM$"});
    const auto id = window.output.substr(0, window.output.find('\n'));
    // The key is typed as the user types it, into the window that has the
    // focus; again until it takes, as a key that comes before the window
    // knows it has the focus reaches no shortcut.
    ASSERT_TRUE(eventually(
        [&] {
            runProgram({"xdotool", "windowfocus", "--sync", id});
            runProgram({"xdotool", "key", "Escape"});
            return eventually([] { return visibleWindows() == 0; }, 500ms);
        },
        30s))
        << "Escape did not put the panel away";
    LanternRun second(home, {}, desktop());
    EXPECT_EQ(second.exitStatus(10s), 0);
    EXPECT_TRUE(eventually([] { return visibleWindows() == 1; }, 5s)) << visibleWindows();
    EXPECT_FALSE(processGone(first.pid()));
}

} // namespace
} // namespace lantern::test
