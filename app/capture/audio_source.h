#pragma once

#include <QMetaType>
#include <QString>
#include <optional>
#include <vector>

namespace lantern {

// Something the user can put on air: the whole computer, or one application.
struct AudioSource {
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString icon MEMBER icon)
    Q_PROPERTY(bool whole READ whole)

public:
    QString id;   // wholeComputerID, or the application's id (its program name)
    QString name; // what the user sees
    QString icon; // an icon-theme name; empty when there is none

    // The whole computer: id wholeComputerID, name "Everything".
    static const AudioSource& wholeMac();
    bool whole() const;
    // Whether an id as a user types it ("all") or as it is stored stands for
    // the whole computer.
    static bool namesWhole(const QString& id);

    friend bool operator==(const AudioSource&, const AudioSource&) = default;
};

// One application known to the sound server, as a candidate source.
struct RunningApplication {
    QString id;
    std::optional<QString> name;
    std::optional<QString> icon;
};

namespace AudioSources {

// The whole computer first, then every application that has a playback
// stream: those playing now first, then the Spotify client, then by name
// (case-insensitive, in the user's locale; equal names keep the server's
// order), each application once. This program is never offered.
std::vector<AudioSource> current();

// The ordering and filtering of current() over given facts: the applications
// in the server's order, the ids that have streams, and those that play.
std::vector<AudioSource> arrange(const std::vector<RunningApplication>& applications,
                                 const std::vector<QString>& known,
                                 const std::vector<QString>& playing, const QString& ownID);

// Applications connected to the sound server (clients with a program name
// and a process id), this process left out, as last reported; never waits.
std::vector<RunningApplication> runningApplications();

} // namespace AudioSources

} // namespace lantern
