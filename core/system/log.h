#pragma once

#include <string_view>

namespace lantern {

// Writes one diagnostic line to standard output, whole, from any thread.
void logLine(std::string_view line);

} // namespace lantern
