#pragma once

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace lantern::test {

// Waits until `done()` holds or `wait` passes, running the Qt event loop
// meanwhile so that queued callbacks on this thread are delivered.
template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Lets queued callbacks run for `span`.
inline void settle(std::chrono::milliseconds span) {
    eventually([] { return false; }, span);
}

} // namespace lantern::test
