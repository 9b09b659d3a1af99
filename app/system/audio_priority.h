#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace lantern {

// Puts the thread that captures and encodes ahead of everything else this
// process runs, so that no amount of sending to listeners can make it late:
// real-time scheduling granted by rtkit on the system bus where offered,
// otherwise a raised priority (a lower niceness) where the system allows it.
//
// Asks without waiting; `granted` is called with what was granted ("real-time
// priority 3", "niceness -11", or "normal priority (why)"). Call it on a thread with a running Qt
// event loop (the main thread); without a Qt application it raises the niceness at once, if
// allowed.
void raiseAudioThread(pid_t thread, std::function<void(std::string)> granted);

} // namespace lantern
