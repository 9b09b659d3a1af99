#include "core/stream/uplink_watch.h"

#include <algorithm>
#include <cmath>

namespace lantern {

void UplinkWatch::keep(std::deque<Sample>& samples, Sample sample, Clock::duration span) {
    samples.push_back(sample);
    while (samples.size() > 2 && sample.at - samples[1].at >= span)
        samples.pop_front();
}

std::optional<double> UplinkWatch::rate(const std::deque<Sample>& samples, Clock::duration least) {
    if (samples.size() < 2) return std::nullopt;
    const std::chrono::duration<double> span = samples.back().at - samples.front().at;
    if (span < least) return std::nullopt;
    return static_cast<double>(samples.back().bytes - samples.front().bytes) / span.count();
}

UplinkWatch::Verdict UplinkWatch::update(Clock::time_point now, std::uint64_t published,
                                         const std::vector<Listener>& listeners) {
    keep(published_, {now, published}, streamWindow);
    std::map<std::uint64_t, Track> tracks;
    for (const auto& listener : listeners) {
        auto& track = tracks[listener.id];
        if (const auto known = tracks_.find(listener.id); known != tracks_.end())
            track = std::move(known->second);
        keep(track.taken, {now, listener.taken}, window);
        if (listener.waiting < behindWaiting)
            track.backloggedSince.reset();
        else if (!track.backloggedSince)
            track.backloggedSince = now;
    }
    tracks_ = std::move(tracks);

    // Who is behind: taken slower than the stream over a whole window, with
    // audio waiting in the socket (one that keeps up has its socket drained).
    const auto stream = rate(published_, window);
    const bool settled = !letGoAt_ || now - *letGoAt_ >= settling;
    std::size_t behind = 0;
    std::vector<double> shares; // of those with audio waiting all through the window
    double carried = 0;         // bytes per second the tunnel took from them all
    bool measured = stream && *stream > 0 && settled;
    for (const auto& listener : listeners) {
        const auto& track = tracks_[listener.id];
        const auto share = rate(track.taken, window);
        if (!share) {
            measured = false;
            break;
        }
        carried += *share;
        if (now - listener.joined <= window) continue;
        if (listener.waiting >= behindWaiting && *share < behindShare * *stream) ++behind;
        if (track.backloggedSince && now - *track.backloggedSince >= window)
            shares.push_back(*share);
    }

    Verdict verdict;
    // Full: more than one falls behind. Newcomers wait from the first sign.
    if (measured && behind >= 2) {
        fullAt_ = now;
        probedAt_.reset();
        // A full uplink gives each listener about the same share, which those
        // whose audio waited all through the window show (the buffers in the
        // tunnel of the others may still be filling). It carries no more than
        // the tunnel took from them all.
        if (shares.size() >= 2) {
            const auto middle = shares.begin() + static_cast<std::ptrdiff_t>(shares.size() / 2);
            std::nth_element(shares.begin(), middle, shares.end());
            const auto uplink = std::min(carried, *middle * static_cast<double>(listeners.size()));
            const auto streams = static_cast<std::size_t>(std::floor(headroom * uplink / *stream));
            room_ = std::clamp<std::size_t>(streams, 1, listeners.size() - 1);
        }
    } else if (room_ && fullAt_ && now - *fullAt_ >= probeAfter && listeners.size() >= *room_ &&
               (!probedAt_ || now - *probedAt_ >= probeAfter)) {
        // The uplink may carry more now (a busy moment passed, another network).
        ++*room_;
        probedAt_ = now;
    }
    if (room_ && listeners.size() > *room_ && settled) {
        std::vector<std::uint64_t> newest;
        newest.reserve(listeners.size());
        for (const auto& listener : listeners)
            newest.push_back(listener.id);
        std::sort(newest.rbegin(), newest.rend());
        newest.resize(listeners.size() - *room_);
        verdict.letGo = std::move(newest);
        letGoAt_ = now;
    }
    const bool calmNow = !fullAt_ || now - *fullAt_ >= calm;
    verdict.admit = calmNow && (!room_ || listeners.size() < *room_);
    return verdict;
}

} // namespace lantern
