#pragma once

#include "core/record/recorder.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

namespace lantern {

class Broadcast;
class Settings;

// Shows kept as files: the switch (the setting "recordShows"), where the
// files go, the recording of each broadcast while the switch is on, and what
// became of it. Main thread.
class Recordings : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool on READ on WRITE setOn NOTIFY onChanged)
    // How long this broadcast's recording is so far, in seconds; -1 while
    // none is being kept.
    Q_PROPERTY(double seconds READ seconds NOTIFY secondsChanged)
public:
    // Shows a desktop notification; `onClick` runs when it is clicked.
    using Notify = std::function<void(const QString& title, const QString& body,
                                      std::function<void()> onClick)>;
    Recordings(Settings& settings, Notify notify);

    bool on() const;
    // Keeps this broadcast (from now on) and the next ones, or stops.
    void setOn(bool on);
    double seconds() const { return seconds_; }
    // The setting "recordingsFolder", else the music folder's "Lantern FM".
    QString folder() const;
    // Opens that folder in the desktop's file manager.
    Q_INVOKABLE void show();

    // Records `broadcast` while the switch is on; nothing off air.
    void follow(Broadcast* broadcast);
    // Takes the length so far (the station's ticker).
    void tick();
    // Finishes into files the recordings a crash cut short (away from the
    // main thread: each is read and written whole), said once each.
    void finishLeft();

Q_SIGNALS:
    void onChanged();
    void secondsChanged();
    // A recording was finished into `path`.
    void saved(const QString& path);
    // The status line of the recording's kind: shown, or taken back when empty.
    void status(const QString& line);

private:
    void start();
    void reported(const Recorder::Report& report);
    void setSeconds(double seconds);

    Settings& settings_;
    const Notify notify_;
    QPointer<Broadcast> broadcast_;
    double seconds_ = -1;
};

} // namespace lantern
