#pragma once

#include <QString>
#include <functional>

namespace lantern {

// Shows a desktop notification through org.freedesktop.Notifications on the
// session bus; `onClick`, when given, runs (on the main thread) when the user
// clicks it. Fire and forget: a missing bus or service drops it silently.
void postNotification(const QString& title, const QString& body,
                      std::function<void()> onClick = {});

} // namespace lantern
