#include "support/session_bus.h"

#include "support/child_process.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace lantern::test {

SessionBus::SessionBus() {
    ::mkdtemp(folder_);
    const auto socket = std::string(folder_) + "/bus";
    pid_ = startProgram({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + socket});
    for (int i = 0; i < 200 && pid_ > 0 && !std::filesystem::exists(socket); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    ready_ = std::filesystem::exists(socket) && hasOwner("org.freedesktop.DBus");
}

SessionBus::~SessionBus() {
    endProgram(pid_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool SessionBus::hasOwner(const char* name) const {
    return runProgram({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                       "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                       std::string("string:") + name})
               .output.find("boolean true") != std::string::npos;
}

} // namespace lantern::test
