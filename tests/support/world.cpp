#include "support/world.h"

#include "support/child_process.h"
#include "support/session_bus.h"
#include "support/sound_daemon.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace lantern::test {
namespace {

[[noreturn]] void missing(const char* what) {
    // A missing service fails the tests; it never skips them.
    std::fprintf(stderr, "could not start %s\n", what);
    std::_Exit(1);
}

struct Display {
    Display() {
        // -displayfd: Xvfb picks a free display and writes its number there;
        // -noreset: it keeps serving when its last client goes.
        const auto child =
            startChild({"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0",
                        "1280x800x24"},
                       {.searchPath = true, .pipeOutput = true, .input = {}, .environment = {}});
        pid = child.pid;
        std::string number;
        for (char c; child.output >= 0 && ::read(child.output, &c, 1) == 1 && c != '\n';)
            number += c;
        if (child.output >= 0) ::close(child.output);
        if (number.empty()) missing("Xvfb");
        name = ":" + QString::fromStdString(number);
        ::setenv("DISPLAY", name.toUtf8().constData(), 1);
    }
    ~Display() { endProgram(pid); }
    pid_t pid = -1;
    QString name;
};

} // namespace

// The private bus serves as the system bus too (logind's stand-ins live there).
SessionBus& World::bus() {
    static SessionBus bus;
    if (!bus.running()) missing("a private D-Bus session bus");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", std::getenv("DBUS_SESSION_BUS_ADDRESS"), 1);
    return bus;
}

SoundDaemon& World::sound() {
    static SoundDaemon daemon;
    if (!daemon.running()) missing(daemon.name());
    return daemon;
}

const QString& World::display() {
    static Display display;
    return display.name;
}

} // namespace lantern::test
