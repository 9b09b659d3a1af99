#pragma once

namespace lantern {

// Whether the desktop asks for less motion: GNOME's "enable-animations" off,
// or KDE's animation speed set to instant. Read when asked, so a change of
// the setting applies from the next animation step on.
bool reduceMotion();

} // namespace lantern
