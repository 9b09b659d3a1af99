#pragma once

#include <QString>

namespace lantern::test {

class SessionBus;
class SoundDaemon;

// The private services a test may need, each started the first time it is
// asked for (one test per process, so each starts fresh), in its own folder,
// and stopped by pid when the process ends. A service that cannot be started
// fails the test that asked for it.
namespace World {
// Also the system bus.
SessionBus& bus();
SoundDaemon& sound();
// An Xvfb display's name (":N"), also set as DISPLAY.
const QString& display();
} // namespace World

} // namespace lantern::test
