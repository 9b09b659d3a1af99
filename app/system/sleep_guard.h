#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <functional>

namespace lantern {

// The station's hold on sleep, through systemd-logind on the system bus.
//
// While on air an "idle" block inhibitor keeps the machine awake; closing its
// descriptor releases it. A "sleep" delay inhibitor is held all the time so
// that, when logind announces sleep, `beforeSleep` runs before the machine
// goes down; the delay is released right after it and taken again on wake.
// Without a system bus (or logind) every call quietly does nothing.
class SleepGuard : public QObject {
    Q_OBJECT
public:
    explicit SleepGuard(std::function<void()> beforeSleep);
    ~SleepGuard() override;

    // Asks for the idle inhibitor; the answer arrives asynchronously.
    void hold();
    void release();
    bool held() const { return idle_.isValid(); }

private Q_SLOTS:
    void prepareForSleep(bool sleeping);

private:
    void takeDelay();

    std::function<void()> beforeSleep_;
    QDBusUnixFileDescriptor idle_;
    QDBusUnixFileDescriptor delay_;
    bool wanted_ = false; // hold() called and not released since
    bool connected_ = false;
};

} // namespace lantern
