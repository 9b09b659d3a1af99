#pragma once

#include <QCoreApplication>
#include <QString>
#include <chrono>
#include <ostream>
#include <thread>

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace lantern::test {

using namespace std::chrono_literals;

// Waits until `done()` holds or `wait` passes; where there is a Qt
// application, its queued callbacks on this thread run meanwhile.
template <typename Predicate> bool eventually(Predicate done, std::chrono::milliseconds wait = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Lets queued callbacks run for `span`.
inline void settle(std::chrono::milliseconds span) {
    eventually([] { return false; }, span);
}

} // namespace lantern::test
