#pragma once

namespace lantern {

// Makes this process fit to serve listeners, first thing in main: the soft
// limit of open files goes up to the hard limit (desktops start programs at
// 1024, which a thousand listeners would use up), and SIGPIPE is ignored so
// that writing to a closed pipe (a log line to a terminal that went away)
// is an error, not the end of the station.
void prepareProcess();

// Whether standard output is a terminal the user reads, rather than the
// system log or a file that others may read.
bool outputIsTerminal();

} // namespace lantern
