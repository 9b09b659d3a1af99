#pragma once

#include <QString>
#include <sys/types.h>

namespace lantern::test {

// Starts Xvfb on a display number it picks itself and stores its name
// (":N") in `name`; returns its pid, or -1. End it with endProgram().
pid_t startXvfb(QString& name);

} // namespace lantern::test
