#pragma once

#include "capture/audio_source.h"
#include "core/nowplaying/now_playing.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace lantern {

// Finds out what the followed source is playing, every 3 seconds and soon
// after its player says something changed: from its MPRIS player's typed
// properties on the session bus, from the companion player's notes, or, for
// anything else, an empty record that counts as playing. All work happens on
// the reader's own thread ("lantern.nowpl"), where `onRead` is called.
class NowPlayingReader {
public:
    enum class Command { playPause, next, previous };
    static QString word(Command command); // "playpause", "next track", "previous track"

    using OnRead = std::function<void(NowPlaying record, std::optional<Cover> cover)>;

    explicit NowPlayingReader(OnRead onRead);
    ~NowPlayingReader();
    NowPlayingReader(const NowPlayingReader&) = delete;
    NowPlayingReader& operator=(const NowPlayingReader&) = delete;

    void follow(const AudioSource& source);
    void stop();
    void send(Command command);

    // Whether the followed source had a player at the latest tick.
    bool readable() const;

    // The companion player's ids.
    static bool isCompanion(const QString& id);

private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace lantern
