#pragma once

#include <QLoggingCategory>

namespace lantern {

// The application's log, a category per room; each line reads
// "lantern.ROOM: what happened" on standard error (Qt's message handler), and
// QT_LOGGING_RULES can quiet any of them.
Q_DECLARE_LOGGING_CATEGORY(linkLog)    // lantern.link: the address service, the keychain
Q_DECLARE_LOGGING_CATEGORY(stationLog) // lantern.station: going on and off air, the link
Q_DECLARE_LOGGING_CATEGORY(coreLog)    // lantern.core: what the core reports (wrong passcodes)

// Sends the core's log lines to coreLog. Once, before going on air.
void routeCoreLog();

} // namespace lantern
