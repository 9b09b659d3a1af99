// Station tests run against a private sound server, a private D-Bus daemon
// (serving as both session and system bus) and an Xvfb, started for the process. No
// Secret Service runs there, so secrets go to files under each test's folder.
#include "support/child_process.h"
#include "support/sound_daemon.h"
#include "support/session_bus.h"
#include "support/xvfb.h"

#include <QGuiApplication>
#include <cstdio>
#include <gtest/gtest.h>

lantern::test::SoundDaemon* sound = nullptr;

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    lantern::test::SessionBus bus;
    lantern::test::SoundDaemon daemon;
    QString display;
    const pid_t x = lantern::test::startXvfb(display); // for the hot key
    if (!bus.running() || !daemon.running() || x < 0) {
        std::fprintf(stderr, "could not start a private D-Bus, PulseAudio or X server\n");
        return 1; // missing services fail the tests, they do not skip them
    }
    qputenv("DISPLAY", display.toUtf8());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    qputenv("QT_QPA_PLATFORM", "offscreen"); // a clipboard without a display
    QGuiApplication application(argc, argv);
    sound = &daemon;
    const int result = RUN_ALL_TESTS();
    lantern::test::endProgram(x);
    return result;
}
