#pragma once

#include "core/stream/audience.h"
#include "core/stream/fanout.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <array>
#include <cstdint>
#include <map>
#include <memory>

namespace lantern {

class Broadcast;
class Fanout;
class Settings;
class Shared;

// The listeners as the user sees them: how many are catching up and whether
// they may (the setting "rewindMinutes"), who named themselves, what they
// react, and whether names and reactions are taken at all (the setting
// "showAudience", on unless turned off). Main thread.
class AudienceView : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint64 catchingUp READ catchingUp NOTIFY changed)
    Q_PROPERTY(bool catchUp READ catchUp WRITE setCatchUp NOTIFY catchUpChanged)
    Q_PROPERTY(bool shown READ shown WRITE setShown NOTIFY shownChanged)
    // "Sam, Alex and 3 more listening"; empty while nobody is named.
    Q_PROPERTY(QString line READ line NOTIFY changed)
    // This broadcast's reactions: "24 claps, 7 hearts"; empty before any.
    Q_PROPERTY(QString totals READ totals NOTIFY changed)
public:
    AudienceView(Settings& settings, Renditions streams, std::shared_ptr<Shared> shared);

    qint64 catchingUp() const { return catchingUp_; }
    bool catchUp() const { return rewindMinutes() > 0; }
    void setCatchUp(bool on);
    bool shown() const { return shown_; }
    void setShown(bool on);
    const QString& line() const { return line_; }
    const QString& totals() const { return totals_; }

    // Minutes of the broadcast kept for listeners behind live (0: none).
    int rewindMinutes() const;
    // Follows a broadcast going on air (its window and switch), or off (nullptr).
    void follow(Broadcast* broadcast);
    // Once a second on air: the counts, the names (each arrival and departure
    // said) and new reactions; once a minute, a line of them.
    void tick(qint64 listeners);

Q_SIGNALS:
    void changed();
    void catchUpChanged();
    void shownChanged();
    // A reaction that just came, as its emoji, to rise in the panel.
    void reacted(const QString& emoji);
    // A line for whoever watches the console: who came and left, and a
    // minute's reactions. Names are plain text, on one line.
    void said(const QString& line);

private:
    friend class StationProbe;
    void applyWindow();
    void clear();

    Settings& settings_;
    const Renditions streams_;
    const std::shared_ptr<Shared> shared_;
    QPointer<Broadcast> broadcast_;
    bool shown_;
    qint64 catchingUp_ = 0;
    QString line_, totals_;
    std::map<std::uint64_t, std::string> named_; // as last seen, by who joined when
    std::array<std::uint64_t, 5> seen_{};        // totals as last seen
    std::array<std::uint64_t, 5> minute_{};      // reactions since the last minute's line
    int ticks_ = 0;
};

} // namespace lantern
