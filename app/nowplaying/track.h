#pragma once

#include "core/nowplaying/now_playing.h"

#include <QMetaType>
#include <QString>

namespace lantern {

// What is playing, as the panel shows it.
struct Track {
    Q_GADGET
    Q_PROPERTY(QString title MEMBER title)
    Q_PROPERTY(QString artist MEMBER artist)
    Q_PROPERTY(QString album MEMBER album)
    Q_PROPERTY(QString coverURL MEMBER coverURL)
    Q_PROPERTY(bool playing MEMBER playing)
    Q_PROPERTY(QString source MEMBER source)

public:
    QString title, artist, album;
    QString coverURL; // empty when the player hands out none
    bool playing = false;
    QString source;

    static Track from(const NowPlaying& record) {
        return {QString::fromStdString(record.title),
                QString::fromStdString(record.artist),
                QString::fromStdString(record.album),
                record.coverURL ? QString::fromStdString(*record.coverURL) : QString(),
                record.playing,
                QString::fromStdString(record.source)};
    }
};

} // namespace lantern
