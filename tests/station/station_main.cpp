// Station tests run against a private sound server and a private D-Bus daemon
// (serving as both session and system bus) started for the process. No
// Secret Service runs there, so secrets go to files under each test's folder.
#include "support/pulse_daemon.h"
#include "support/session_bus.h"

#include <QGuiApplication>
#include <cstdio>
#include <gtest/gtest.h>

lantern::test::PulseDaemon* pulse = nullptr;

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    lantern::test::SessionBus bus;
    lantern::test::PulseDaemon daemon;
    if (!bus.running() || !daemon.running()) {
        std::fprintf(stderr, "could not start a private D-Bus or PulseAudio daemon\n");
        return 1; // missing services fail the tests, they do not skip them
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    qputenv("QT_QPA_PLATFORM", "offscreen"); // a clipboard without a display
    QGuiApplication application(argc, argv);
    pulse = &daemon;
    return RUN_ALL_TESTS();
}
