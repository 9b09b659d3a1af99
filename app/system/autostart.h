#pragma once

#include <QString>

namespace lantern {

// "Open at Login" as an XDG autostart entry:
// $XDG_CONFIG_HOME/autostart/lantern-fm.desktop. The desktop session starts
// every entry in that folder when the user logs in.
namespace Autostart {

// Whether the entry is there and not hidden.
bool enabled();
// Writes the entry (starting `program`) or removes it; false when the file
// could not be written or removed.
bool setEnabled(bool on, const QString& program);
QString entryPath();

} // namespace Autostart

} // namespace lantern
