#pragma once

#include "capture/audio_source.h"
#include "nowplaying/now_playing.h"

#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace lantern {

// A flag guarded by its own lock.
class LockedFlag {
public:
    bool get() const {
        std::lock_guard lock(mutex_);
        return v_;
    }
    void set(bool value) {
        std::lock_guard lock(mutex_);
        v_ = value;
    }

private:
    mutable std::mutex mutex_;
    bool v_ = false;
};

// Optional text guarded by its own lock.
class LockedText {
public:
    std::optional<QString> get() const {
        std::lock_guard lock(mutex_);
        return v_;
    }
    void set(std::optional<QString> value) {
        std::lock_guard lock(mutex_);
        v_ = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    std::optional<QString> v_;
};

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
