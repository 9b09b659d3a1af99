#pragma once

#include <string_view>

namespace lantern {

// The listening page, compiled into the program and served unchanged.
std::string_view listeningPage();

} // namespace lantern
