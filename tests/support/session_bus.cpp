#include "support/session_bus.h"

#include "support/child_process.h"
#include "support/eventually.h"

#include <filesystem>
#include <fstream>

namespace lantern::test {

SessionBus::SessionBus() {
    ::mkdtemp(folder_);
    const auto socket = std::string(folder_) + "/bus", config = std::string(folder_) + "/bus.conf";
    // No service directories: nothing is started on demand (a keyring, an
    // accessibility bus...), so the bus holds what the tests start, by pid.
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\" \"http://www.freedesktop.org/standards/dbus/"
                             "1.0/busconfig.dtd\">\n<busconfig><type>session</type><listen>"
                             "unix:path="
                          << socket
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
                             "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop="
                             "\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    pid_ = startProgram({"dbus-daemon", "--config-file=" + config, "--nofork"});
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    // The socket's file can appear before the daemon answers on it.
    ready_ = pid_ > 0 && eventually([&] {
                 return std::filesystem::exists(socket) && hasOwner("org.freedesktop.DBus");
             });
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
