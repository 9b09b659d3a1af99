#pragma once

#include "capture/audio_source.h"
#include "capture/mic_input.h"
#include "link/address_client.h"
#include "nowplaying/track.h"
#include "station/link_presence.h"

#include <QDateTime>
#include <QObject>
#include <QQmlEngine>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <optional>
#include <vector>

namespace lantern {

class Station;

// What the panel's views say, decided here so that it is tested without a
// window.
namespace panel {

// "m:ss" below an hour, "h:mm:ss" from an hour on; whole seconds.
QString clock(double seconds);
// The share link as shown: host and path without the scheme, the host alone
// when the path is "/".
QString shown(const QUrl& url);
// The off-air screen's summary of who can listen.
QString linkSummary(LinkMode mode, const std::optional<SavedAddress>& kept, bool passcode);
// A stop-after choice: "In 30 Minutes", "In 1 Hour", "In 2 Hours".
QString stopChoice(double seconds);
// The stop-after menu's label: "Stop after", or "Stops " and the time.
QString stopLabel(const QDateTime& stopAt);
// The now-playing card's title and line.
QString title(const std::optional<Track>& now, const std::optional<AudioSource>& source,
              bool playerFound, bool onAir);
QString line(const std::optional<Track>& now);
// The microphone picker's label and its first item.
QString micName(const QString& micDevice, const std::vector<AudioInput>& inputs,
                const QString& defaultName);
QString systemDefault(const QString& defaultName);
// Whether the source `id` makes sound: its id, or an id that begins with it
// and a dot, is in `sounding`.
bool sounding(const QString& id, const QStringList& sounding);
// The hold-to-talk button pressed or let go: with talking locked on, a press
// unlocks it (and its release does nothing); otherwise it holds while pressed.
void holdToTalk(Station& station, bool pressed);

} // namespace panel

// The same for QML, as the singleton PanelText.
class PanelText : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // The choices of the stop-after menu, in seconds.
    Q_PROPERTY(QVariantList stopChoices READ stopChoices CONSTANT)
    Q_PROPERTY(QString supportEmail READ supportEmail CONSTANT)
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QString website READ website CONSTANT)

public:
    QVariantList stopChoices() const;
    QString supportEmail() const;
    QString version() const;
    QString website() const;

    Q_INVOKABLE QString clock(double seconds) const { return panel::clock(seconds); }
    Q_INVOKABLE QString shown(const QUrl& url) const { return panel::shown(url); }
    Q_INVOKABLE QString linkSummary(lantern::LinkModes::Mode mode, const QVariant& kept,
                                    bool passcode) const;
    Q_INVOKABLE QString stopChoice(double seconds) const { return panel::stopChoice(seconds); }
    Q_INVOKABLE QString stopLabel(const QDateTime& stopAt) const {
        return panel::stopLabel(stopAt);
    }
    Q_INVOKABLE QString title(const QVariant& now, const QVariant& source, bool playerFound,
                              bool onAir) const;
    Q_INVOKABLE QString line(const QVariant& now) const;
    Q_INVOKABLE QString micName(const QString& micDevice, const QVariantList& inputs,
                                const QString& defaultName) const;
    Q_INVOKABLE QString systemDefault(const QString& defaultName) const {
        return panel::systemDefault(defaultName);
    }
    Q_INVOKABLE bool sounding(const QString& id, const QStringList& ids) const {
        return panel::sounding(id, ids);
    }
    Q_INVOKABLE void holdToTalk(bool pressed) const;
    // Opens the mail program, the application `id`, or a link; false when
    // nothing could open it.
    Q_INVOKABLE void emailUs() const;
    Q_INVOKABLE bool emailLink(const QUrl& link) const;
    Q_INVOKABLE bool openApplication(const QString& id) const;
    // "Open at Login".
    Q_INVOKABLE bool atLogin() const;
    Q_INVOKABLE bool setAtLogin(bool on) const;
};

} // namespace lantern
