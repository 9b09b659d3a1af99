#pragma once

#include <QString>

namespace lantern {

// Shows a desktop notification through org.freedesktop.Notifications on the
// session bus. Fire and forget: a missing bus or service drops it silently.
void postNotification(const QString& title, const QString& body);

} // namespace lantern
