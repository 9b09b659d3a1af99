#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace lantern {

// Watches how fast the tunnel takes the stream from the listeners who reach
// the station through it, as a whole. Behind the tunnel they all share the
// user's uplink: when it is full they fall behind real time together. Then
// the watch admits nobody more, says which of the newest to let go so that
// the rest get real time again, and remembers how many the uplink carries
// (its room). One listener who is slow on their own falls behind alone and
// changes nothing here.
//
// With a light stream, a full uplink first moves the newest full listeners
// to it, and lets anyone go only when that is not enough; newcomers then
// join on it, while moving the rest makes room; the room counts in full
// streams. A listener who falls behind alone is moved to it too. Besides
// the sockets, the watch hears how far behind live the audio reaching each
// listener's page is: a tunnel that buffers generously hides a full uplink
// from the sockets for a minute, not from the lag that keeps growing at the
// listeners' end.
//
// Pure bookkeeping, fed once a second by whoever reads the sockets; not
// thread-safe.
class UplinkWatch {
public:
    using Clock = std::chrono::steady_clock;

    // How far behind live the audio that reached a listener's page is (what
    // it plays, less what it holds beyond that), and when it said so.
    struct Heard {
        Clock::time_point at;
        double lag = 0;
    };

    struct Listener {
        std::uint64_t id = 0; // increasing with the moment it joined
        Clock::time_point joined;
        std::uint64_t taken = 0;   // bytes the tunnel has taken from it so far
        std::uint64_t waiting = 0; // bytes handed to its socket, not taken yet
        bool light = false;        // it gets the light stream
        bool remote = true;        // it comes through the tunnel (shares the uplink)
        std::vector<Heard> heard;  // its page's reports since the last update
    };

    struct Verdict {
        bool admit = true;                  // a new listener through the tunnel may join
        bool light = false;                 // and joins on the light stream
        std::vector<std::uint64_t> letGo;   // listeners to end now
        std::vector<std::uint64_t> lighten; // listeners to move to the light stream now
    };

    // `lightShare`: the light stream's rate as a share of the full one's (0:
    // there is no light stream).
    explicit UplinkWatch(double lightShare = 0) : lightShare_(lightShare) {}

    // What was published so far: bytes, and seconds of audio when known.
    struct Published {
        std::uint64_t bytes = 0;
        std::optional<double> audio;
    };

    // What was published so far and every listener through the tunnel, now.
    Verdict update(Clock::time_point now, Published published,
                   const std::vector<Listener>& listeners);

    // How many listeners the uplink was seen to carry, in full streams;
    // nothing until it was full once.
    std::optional<std::size_t> room() const {
        return room_ ? std::optional(static_cast<std::size_t>(*room_ + 1e-9)) : std::nullopt;
    }
    double lightShare() const { return lightShare_; }

    // What the tunnel takes is measured over this long, the stream's own
    // rate (chunk by chunk, it comes in steps) over the longer span.
    static constexpr auto window = std::chrono::seconds(3);
    static constexpr auto streamWindow = std::chrono::seconds(10);
    // A listener taken at less than this share of the stream's rate, with
    // this much waiting in its socket, is behind.
    static constexpr double behindShare = 0.98;
    static constexpr std::uint64_t behindWaiting = std::uint64_t{8} * 1024;
    // The room leaves this much of the uplink unplanned: it is measured
    // roughly, and the user's other traffic shares it.
    static constexpr double headroom = 0.9;
    // After listeners are let go, the next judgement waits for rates
    // measured wholly after it.
    static constexpr auto settling = window + std::chrono::seconds(1);
    // Newcomers are admitted again this long after the last sign of a full uplink.
    static constexpr auto calm = std::chrono::seconds(10);
    // Room for one more is tried after this long at room without trouble.
    static constexpr auto probeAfter = std::chrono::minutes(5);
    // A page's lag is judged over this span, from at least `lagReports`
    // reports; it is growing when it rose by `lagGrowth` or more from its
    // lowest, and is not now more than `lagJitter` below its highest.
    static constexpr auto lagSpan = std::chrono::seconds(30);
    static constexpr std::size_t lagReports = 2;
    static constexpr double lagGrowth = 1.5;
    static constexpr double lagJitter = 0.5;
    // What reaches the pages now is judged from their reports over this long.
    static constexpr auto lagRecent = std::chrono::seconds(6);
    // After listeners are moved or let go, the pages' lags are heard again
    // only this much later: what the tunnel still held of the old stream
    // reaches them first.
    static constexpr auto lagSettling = std::chrono::seconds(10);
    // While listeners moved off a full uplink catch up (this long at most),
    // the tunnel passes on what it held for them, and the others' lags tell
    // of that, not of the room: they are not heard.
    static constexpr auto catchingUpAtMost = lagSpan;

private:
    struct Sample {
        Clock::time_point at;
        std::uint64_t bytes;
    };
    // Bytes per second between the oldest kept sample and the newest, once
    // they are `least` apart.
    static std::optional<double> rate(const std::deque<Sample>& samples, Clock::duration least);
    // Adds a sample and forgets those more than `span` before it.
    static void keep(std::deque<Sample>& samples, Sample sample, Clock::duration span);

    struct Track {
        std::deque<Heard> lags;
        std::deque<Sample> taken;
        // Since when audio has waited in its socket, without a break.
        std::optional<Clock::time_point> backloggedSince;
        // Moved to the light stream then, and its page not yet caught up on
        // what the tunnel held of the full one: its lag tells of that, not of
        // now.
        std::optional<Clock::time_point> catchingUp;
        bool movedForFull = false; // by a full uplink, not on its own
    };

    // Seconds of lag a page gained between two moments that the capture
    // did not: one that stalls holds back every page alike, not the uplink.
    double gained(const Heard& from, const Heard& to) const;
    // What the uplink carried between two moments, in full streams, when a
    // listener then got `share` (of a full stream's rate): the uplink shares
    // alike, and one whose stream needs less takes only that.
    double carriedOver(Clock::time_point from, Clock::time_point to, double share) const;
    // Seconds of lag gained per second, when the page's lag kept growing by
    // `lagGrowth` or more.
    std::optional<double> growth(const std::deque<Heard>& lags) const;
    // Which listeners to move to the light stream, and then (when `mayLetGo`)
    // to let go, so that those through the tunnel fit `room` (in full
    // streams); newest first.
    void fit(const std::vector<Listener>& listeners, double room, bool mayLetGo,
             Verdict& verdict) const;
    double weight(const Listener& listener) const { return listener.light ? lightShare_ : 1; }

    double lightShare_;
    std::deque<Sample> published_;
    std::deque<Heard> audio_; // seconds of audio published by then, over the lag span
    // Who listened through the tunnel then: on the full stream, on the light one.
    struct Crowd {
        Clock::time_point at;
        double full = 0, light = 0;
    };
    std::deque<Crowd> crowds_;
    std::map<std::uint64_t, Track> tracks_;
    std::optional<double> room_;                // in full streams
    std::optional<Clock::time_point> fullAt_;   // the last time the uplink was seen full
    std::optional<Clock::time_point> letGoAt_;  // the last time listeners were let go or moved
    std::optional<Clock::time_point> probedAt_; // the last time room grew by one
};

} // namespace lantern
