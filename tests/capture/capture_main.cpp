// Capture tests run against a private sound server started for the process.
#include "support/pulse_daemon.h"

#include <QCoreApplication>
#include <cstdio>
#include <gtest/gtest.h>

lantern::test::PulseDaemon* pulse = nullptr;

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    lantern::test::PulseDaemon daemon;
    if (!daemon.running()) {
        std::fprintf(stderr, "could not start a private PulseAudio daemon\n");
        return 1; // a missing sound server fails the tests, it does not skip them
    }
    pulse = &daemon;
    return RUN_ALL_TESTS();
}
