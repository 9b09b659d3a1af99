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

// Finds out what the followed source is playing, every 3 seconds: from its
// MPRIS player through playerctl, from the companion player's notes on the
// session bus, or, for anything else, an empty record that counts as playing.
// All work happens on the reader's own thread ("lantern.nowplaying"), where
// `onRead` is called once per tick.
class NowPlayingReader {
public:
    enum class Command { playPause, next, previous };
    static QString word(Command command); // "playpause", "next track", "previous track"

    using OnRead = std::function<void(NowPlaying record, std::optional<Cover> cover)>;

    // `playerctl` is the program to run (a path or a name on PATH).
    explicit NowPlayingReader(OnRead onRead, QString playerctl = QStringLiteral("playerctl"));
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
