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

std::optional<double> UplinkWatch::growth(const std::deque<Heard>& lags, double least) {
    if (lags.size() < lagReports) return std::nullopt;
    const std::chrono::duration<double> span = lags.back().at - lags.front().at;
    const double gained = lags.back().lag - lags.front().lag;
    if (span.count() <= 0 || gained < least) return std::nullopt;
    double highest = lags.front().lag;
    for (const auto& heard : lags) {
        if (heard.lag < highest - lagJitter) return std::nullopt; // it caught up meanwhile
        highest = std::max(highest, heard.lag);
    }
    return gained / span.count();
}

UplinkWatch::Verdict UplinkWatch::update(Clock::time_point now, std::uint64_t published,
                                         const std::vector<Listener>& listeners) {
    keep(published_, {now, published}, streamWindow);
    const auto hearFrom = letGoAt_ ? *letGoAt_ + lagSettling : Clock::time_point::min();
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
        for (const auto& heard : listener.heard)
            if (heard.at >= hearFrom) track.lags.push_back(heard);
        while (!track.lags.empty() && now - track.lags.front().at > lagSpan)
            track.lags.pop_front();
    }
    tracks_ = std::move(tracks);

    // Who is behind: taken slower than its stream over a whole window, with
    // audio waiting in the socket (one that keeps up has its socket drained),
    // or playing further and further behind live at the page's end. The
    // sockets are judged only once every listener through the tunnel has a
    // rate.
    const auto stream = rate(published_, window);
    const bool settled = !letGoAt_ || now - *letGoAt_ >= settling;
    bool measured = stream && *stream > 0 && settled;
    for (const auto& listener : listeners)
        if (listener.remote && !rate(tracks_[listener.id].taken, window)) measured = false;
    std::size_t behind = 0;
    std::vector<std::uint64_t> alone;     // on the full stream, behind, possibly on their own
    std::vector<double> shares;           // of those with audio waiting all through the window
    double carried = 0;                   // bytes per second the tunnel took from them all
    double heardShare = 0, heardLoad = 0; // what reached the pages lately, of what they needed
    double load = 0;                      // in full streams
    bool anyFull = false;
    for (const auto& listener : listeners) {
        const auto& track = tracks_[listener.id];
        const auto share = rate(track.taken, window);
        const auto own = stream.value_or(0) * weight(listener);
        const auto lagging = growth(track.lags, lagGrowth);
        const bool socketBehind = measured && share && now - listener.joined > window &&
                                  listener.waiting >= behindWaiting && *share < behindShare * own;
        const bool isBehind = settled && (socketBehind || lagging);
        if (isBehind && !listener.light) alone.push_back(listener.id);
        if (!listener.remote) continue;
        load += weight(listener);
        anyFull = anyFull || !listener.light;
        // Lately: the lag's growth over the whole span mixes in calmer times.
        std::deque<Heard> recent;
        for (const auto& heard : track.lags)
            if (now - heard.at <= lagRecent) recent.push_back(heard);
        if (const auto lately = growth(recent, -lagSpan.count())) {
            heardShare += weight(listener) * (1 - std::clamp(*lately, 0.0, 1.0));
            heardLoad += weight(listener);
        }
        if (share) carried += *share;
        if (isBehind) ++behind;
        if (share && track.backloggedSince && now - *track.backloggedSince >= window)
            shares.push_back(*share);
    }

    Verdict verdict;
    // Full: more than one falls behind. Newcomers wait from the first sign.
    if (behind >= 2 && stream && *stream > 0) {
        fullAt_ = now;
        probedAt_.reset();
        // A full uplink gives each listener about the same share, which those
        // whose audio waited all through the window show (the buffers in the
        // tunnel of the others may still be filling); one whose stream needs
        // less takes only that. It carries no more than the tunnel took from
        // them all. Without such a share, the pages' lags say what reaches them.
        // Every listener gets about the share that those the pages tell of got.
        double uplink = heardLoad > 0 ? *stream * load * heardShare / heardLoad : carried;
        if (shares.size() >= 2) {
            const auto middle = shares.begin() + static_cast<std::ptrdiff_t>(shares.size() / 2);
            std::nth_element(shares.begin(), middle, shares.end());
            double each = 0;
            for (const auto& listener : listeners)
                if (listener.remote) each += std::min(*middle, *stream * weight(listener));
            uplink = std::min(carried, each);
        }
        // At least one step less than now: what there is does not fit.
        const double least = lightShare_ > 0 ? lightShare_ : 1;
        const double step = anyFull && lightShare_ > 0 ? 1 - lightShare_ : least;
        room_ = std::max(least, std::min(headroom * uplink / *stream, load - step));
    } else if (room_ && fullAt_ && now - *fullAt_ >= probeAfter && load >= *room_ &&
               (!probedAt_ || now - *probedAt_ >= probeAfter)) {
        // The uplink may carry more now (a busy moment passed, another network).
        *room_ += 1;
        probedAt_ = now;
    }
    if (room_ && load > *room_ + 1e-6 && settled) {
        fit(listeners, verdict);
        letGoAt_ = now;
        for (auto& [id, track] : tracks_)
            track.lags.clear(); // they tell of the stream as it was
    } else if (behind < 2 && lightShare_ > 0) {
        // Behind on its own: the light stream may be what its network carries.
        verdict.lighten = std::move(alone);
    }
    for (const auto id : verdict.lighten)
        tracks_[id] = Track{};
    const bool calmNow = !fullAt_ || now - *fullAt_ >= calm;
    if (lightShare_ > 0 && room_) {
        verdict.light = true;
        verdict.admit = load + lightShare_ <= *room_ + 1e-6;
    } else {
        verdict.admit = calmNow && (!room_ || load + 1 <= *room_ + 1e-6);
    }
    return verdict;
}

void UplinkWatch::fit(const std::vector<Listener>& listeners, Verdict& verdict) const {
    std::vector<const Listener*> newest;
    double load = 0;
    for (const auto& listener : listeners)
        if (listener.remote) {
            newest.push_back(&listener);
            load += weight(listener);
        }
    std::sort(newest.begin(), newest.end(),
              [](const Listener* a, const Listener* b) { return a->id > b->id; });
    if (lightShare_ > 0)
        for (const auto* listener : newest) {
            if (load <= *room_ + 1e-6) return;
            if (listener->light) continue;
            verdict.lighten.push_back(listener->id);
            load -= 1 - lightShare_;
        }
    for (const auto* listener : newest) {
        if (load <= *room_ + 1e-6) return;
        const bool moved =
            std::ranges::find(verdict.lighten, listener->id) != verdict.lighten.end();
        verdict.letGo.push_back(listener->id);
        load -= moved || listener->light ? lightShare_ : 1;
        if (moved) std::erase(verdict.lighten, listener->id);
    }
}

} // namespace lantern
