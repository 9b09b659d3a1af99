// Capture tests run against a private sound server started for the process.
#include "support/sound_daemon.h"

#include <QCoreApplication>
#include <cstdio>
#include <gtest/gtest.h>

lantern::test::SoundDaemon* sound = nullptr;

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    lantern::test::SoundDaemon daemon;
    if (!daemon.running()) {
        std::fprintf(stderr, "could not start a private %s server\n", daemon.name());
        return 1; // a missing sound server fails the tests, it does not skip them
    }
    sound = &daemon;
    return RUN_ALL_TESTS();
}
