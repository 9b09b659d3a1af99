// Under AddressSanitizer, what LeakSanitizer reports of Qt's own libraries is
// left out for the tests that show Qt Quick windows: Qt Quick keeps textures
// and the images behind them in its render context's cache until the context
// is invalidated, which tearing down a test window does not do, and Qt's
// libraries are built without frame pointers, so a report cannot show whose
// an allocation is beyond the library that made it.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt6Quick.so\nleak:libQt6Gui.so\n";
}
#endif
