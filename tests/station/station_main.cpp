// Station tests run against a private sound server started for the process,
// with no session bus (secrets go to files under the test's own folder).
#include "support/pulse_daemon.h"

#include <QGuiApplication>
#include <cstdio>
#include <gtest/gtest.h>

lantern::test::PulseDaemon* pulse = nullptr;

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lantern-test-bus");
    qputenv("QT_QPA_PLATFORM", "offscreen"); // a clipboard without a display
    QGuiApplication application(argc, argv);
    lantern::test::PulseDaemon daemon;
    if (!daemon.running()) {
        std::fprintf(stderr, "could not start a private PulseAudio daemon\n");
        return 1;
    }
    pulse = &daemon;
    return RUN_ALL_TESTS();
}
