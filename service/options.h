#pragma once

#include "address_service.h"

#include <optional>
#include <string>
#include <vector>

namespace lantern::addressd {

extern const char* const usage;

// The configuration from the command line, after the config file it names
// (`--config=FILE`, lines "key = value", "#" comments); the command line wins.
// Throws std::invalid_argument with a message for the user.
Config parseOptions(const std::vector<std::string>& arguments, bool* help);

} // namespace lantern::addressd
