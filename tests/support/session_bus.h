#pragma once

#include <sys/types.h>

namespace lantern::test {

// A private D-Bus session bus (dbus-daemon) in its own folder; sets
// DBUS_SESSION_BUS_ADDRESS for this process and stops the daemon by its pid.
class SessionBus {
public:
    SessionBus();
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    bool running() const { return ready_; }
    // Whether some connection owns `name` on the bus.
    bool hasOwner(const char* name) const;

private:
    char folder_[64] = "/tmp/lantern-bus-XXXXXX";
    pid_t pid_ = -1;
    bool ready_ = false;
};

} // namespace lantern::test
