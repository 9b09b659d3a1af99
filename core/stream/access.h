#pragma once

#include <optional>
#include <string>

namespace lantern {

// Who may take a station's routes other than the listening page.
struct Access {
    // Nobody: the station's passcode is in use but unknown to it (a keyring
    // that did not answer), so no listener may be let in.
    bool heldBack = false;
    // When set, every route but the page needs it ("k" in the query).
    std::optional<std::string> passcode;

    friend bool operator==(const Access&, const Access&) = default;
};

} // namespace lantern
