#pragma once

#include <functional>
#include <string_view>

namespace lantern {

// The core's one log path: a line at a time, from any thread. Until a sink is
// set the lines go to standard error; the application sends them to its own
// logging.
void logLine(std::string_view line);

using LogSink = std::function<void(std::string_view line)>;
// Replaces the sink (empty: standard error again). Set it before the threads
// that log start.
void setLogSink(LogSink sink);

} // namespace lantern
