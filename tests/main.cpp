// The application's tests. Each runs in a process of its own (CTest starts
// one per test), which starts the private services it asks for (World).
#include <QGuiApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen"); // a clipboard and windows without a screen
    QGuiApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
