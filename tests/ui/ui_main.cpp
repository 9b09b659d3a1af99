// The user interface's tests, on a real X display (Xvfb) so that windows are
// real windows. Each test runs in a process of its own.
#include "support/world.h"

#include <QApplication>
#include <QtQml/qqmlextensionplugin.h>
#include <gtest/gtest.h>

Q_IMPORT_QML_PLUGIN(LanternPlugin)

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    lantern::test::World::display();
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("FONTCONFIG_FILE", FONTS_CONF);
#if defined(__SANITIZE_ADDRESS__)
    // The GL driver Qt loads and unloads keeps allocations that LeakSanitizer
    // cannot place; sanitized runs draw in software instead.
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    qputenv("QT_QUICK_BACKEND", "software");
#endif
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
