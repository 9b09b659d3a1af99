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

double UplinkWatch::gained(const Heard& from, const Heard& to) const {
    // The audio published by a moment: the newest count at or before it.
    const auto by = [&](Clock::time_point at) {
        const auto after = std::ranges::upper_bound(audio_, at, {}, &Heard::at);
        return after == audio_.begin() ? audio_.front() : *std::prev(after);
    };
    double stalled = 0;
    if (!audio_.empty()) {
        const auto [start, end] = std::pair{by(from.at), by(to.at)};
        const std::chrono::duration<double> span = end.at - start.at;
        stalled = std::max(span.count() - (end.lag - start.lag), 0.0);
    }
    return to.lag - from.lag - stalled;
}

double UplinkWatch::carriedOver(Clock::time_point from, Clock::time_point to, double share) const {
    const auto carried = [&](const Crowd& crowd) {
        return crowd.full * std::min(share, 1.0) + crowd.light * std::min(share, lightShare_);
    };
    double sum = 0;
    std::size_t count = 0;
    for (const auto& crowd : crowds_)
        if (crowd.at >= from && crowd.at <= to) sum += carried(crowd), ++count;
    return count > 0 ? sum / static_cast<double>(count) : carried(crowds_.back());
}

std::optional<double> UplinkWatch::growth(const std::deque<Heard>& lags) const {
    if (lags.size() < lagReports) return std::nullopt;
    // From its lowest to now, as long as it is not coming down now: one
    // uneven report earlier does not hide a lag that keeps growing.
    const auto lowest =
        std::ranges::min_element(lags.begin(), std::prev(lags.end()), {}, &Heard::lag);
    const auto highest = std::ranges::max(lags, {}, &Heard::lag).lag;
    const std::chrono::duration<double> span = lags.back().at - lowest->at;
    const double lost = gained(*lowest, lags.back());
    if (span.count() <= 0 || lost < lagGrowth || lags.back().lag < highest - lagJitter)
        return std::nullopt;
    return lost / span.count();
}

UplinkWatch::Verdict UplinkWatch::update(Clock::time_point now, Published published,
                                         const std::vector<Listener>& listeners) {
    keep(published_, {now, published.bytes}, streamWindow);
    if (published.audio) {
        audio_.push_back({now, *published.audio});
        while (now - audio_.front().at > lagSpan + window)
            audio_.pop_front();
    }
    const auto hearFrom = letGoAt_ ? *letGoAt_ + lagSettling : Clock::time_point::min();
    std::map<std::uint64_t, Track> tracks;
    Crowd crowd{.at = now};
    double load = 0;       // through the tunnel, in full streams
    bool draining = false; // listeners moved off a full uplink still catch up
    for (const auto& listener : listeners) {
        auto& track = tracks[listener.id];
        if (const auto known = tracks_.find(listener.id); known != tracks_.end())
            track = std::move(known->second);
        // A moved listener's lag counts again once it has come down: the
        // tunnel held seconds of the old stream for it, which reach it first.
        if (track.catchingUp &&
            (now - *track.catchingUp >= catchingUpAtMost ||
             (!track.lags.empty() &&
              track.lags.back().lag <
                  std::ranges::max(track.lags, {}, &Heard::lag).lag - lagJitter)))
            track.catchingUp.reset();
        if (!listener.remote) continue;
        load += weight(listener);
        (listener.light ? crowd.light : crowd.full) += 1;
        draining = draining || (track.catchingUp && track.movedForFull);
    }
    crowds_.push_back(crowd);
    while (now - crowds_.front().at > lagSpan)
        crowds_.pop_front();
    for (const auto& listener : listeners) {
        auto& track = tracks[listener.id];
        keep(track.taken, {now, listener.taken}, window);
        if (listener.waiting < behindWaiting)
            track.backloggedSince.reset();
        else if (!track.backloggedSince)
            track.backloggedSince = now;
        for (const auto& heard : listener.heard) {
            if (heard.at < hearFrom || (draining && !track.catchingUp)) continue;
            // A lag that grew faster than the clock is a step back (catch-up),
            // not a stall: it is judged anew from there.
            if (!track.lags.empty() &&
                heard.lag - track.lags.back().lag >
                    std::chrono::duration<double>(heard.at - track.lags.back().at).count() +
                        lagJitter)
                track.lags.clear();
            track.lags.push_back(heard);
        }
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
    std::vector<std::uint64_t> alone; // on the full stream, behind, possibly on their own
    std::vector<double> shares;       // of those with audio waiting all through the window
    double carried = 0;               // bytes per second the tunnel took from them all
    std::vector<double> uplinks;      // what the pages falling behind lately say it carries
    bool anyFull = false;
    for (const auto& listener : listeners) {
        auto& track = tracks_[listener.id];
        const auto share = rate(track.taken, window);
        const auto own = stream.value_or(0) * weight(listener);
        const auto lagging = track.catchingUp ? std::nullopt : growth(track.lags);
        const bool socketBehind = measured && share && now - listener.joined > window &&
                                  listener.waiting >= behindWaiting && *share < behindShare * own;
        const bool isBehind = settled && (socketBehind || lagging);
        if (isBehind && !listener.light) alone.push_back(listener.id);
        if (!listener.remote) continue;
        anyFull = anyFull || !listener.light;
        // What it lost lately, over its last reports (its growth over the
        // whole span mixes in calmer times), against the crowd of that time:
        // while listeners join, the crowd now is more than what it lost under.
        if (lagging && track.lags.size() >= 2) {
            const auto& last = track.lags.back();
            const auto before =
                std::find_if(track.lags.rbegin(), track.lags.rend(),
                             [&](const Heard& heard) { return last.at - heard.at >= lagRecent; });
            const auto& from = before == track.lags.rend() ? track.lags.front() : *before;
            const std::chrono::duration<double> span = last.at - from.at;
            if (span.count() > 0)
                uplinks.push_back(
                    stream.value_or(0) *
                    carriedOver(from.at, last.at,
                                weight(listener) *
                                    (1 - std::clamp(gained(from, last) / span.count(), 0.0, 1.0))));
        }
        if (share) carried += *share;
        if (isBehind) ++behind;
        if (share && track.backloggedSince && now - *track.backloggedSince >= window)
            shares.push_back(*share);
    }

    Verdict verdict;
    std::optional<double> fitTo; // the load to bring those through the tunnel down to
    // Whether listeners may be let go to get there: when there is no light
    // stream, or the sockets show the uplink full. The pages' lags alone
    // only move listeners to the light stream: while the tunnel passes on
    // what it held of the full one, they overstate how full it is.
    bool mayLetGo = lightShare_ == 0;
    // Full: more than one falls behind. Newcomers wait from the first sign.
    if (behind >= 2 && stream && *stream > 0) {
        fullAt_ = now;
        probedAt_.reset();
        // A full uplink gives each listener about the same share, one whose
        // stream needs less taking only that: the pages whose audio fell
        // behind lately tell what theirs was, and the sockets of those whose
        // audio waited all through the window too (the buffers in the tunnel
        // of the others may still be filling). It carries no more than the
        // tunnel took from them all. The sockets speak only while the tunnel
        // takes less than the listeners need: one that takes more is still
        // passing on what it held. Without either, what the tunnel took is
        // all there is to go by, except while listeners moved off a full
        // uplink catch up: the tunnel passes on what it held for them then,
        // taking less than it sends, and a room measured before is kept.
        std::optional<double> uplink;
        if (!room_ || !draining) uplink = carried;
        if (!uplinks.empty()) {
            const auto middle = uplinks.begin() + static_cast<std::ptrdiff_t>(uplinks.size() / 2);
            std::nth_element(uplinks.begin(), middle, uplinks.end());
            uplink = *middle;
        }
        if (shares.size() >= 2 && carried < behindShare * *stream * load) {
            const auto middle = shares.begin() + static_cast<std::ptrdiff_t>(shares.size() / 2);
            std::nth_element(shares.begin(), middle, shares.end());
            double each = 0;
            for (const auto& listener : listeners)
                if (listener.remote) each += std::min(*middle, *stream * weight(listener));
            uplink = std::min(carried, each); // the sockets' word over the pages'
            mayLetGo = true;
        }
        if (uplink)
            room_ = std::max(lightShare_ > 0 ? lightShare_ : 1.0, headroom * *uplink / *stream);
        // What there is does not fit: at least one step less than now.
        const double step = anyFull && lightShare_ > 0 ? 1 - lightShare_
                            : lightShare_ > 0          ? lightShare_
                                                       : 1;
        fitTo = std::min(*room_, load - step);
    } else if (room_ && fullAt_ && now - *fullAt_ >= probeAfter &&
               load + (lightShare_ > 0 ? lightShare_ : 1) > *room_ + 1e-6 &&
               (!probedAt_ || now - *probedAt_ >= probeAfter)) {
        // The uplink may carry more now (a busy moment passed, another
        // network, or it was measured while it was clogged): room for one
        // more is tried, one light stream when there is one.
        *room_ += lightShare_ > 0 ? lightShare_ : 1;
        probedAt_ = now;
    }
    const bool judgedFull = fitTo.has_value();
    if (!fitTo && room_ && load > *room_ + 1e-6) fitTo = room_;
    if (fitTo && settled) {
        fit(listeners, *fitTo, mayLetGo, verdict);
        // The others' lags tell of the uplink as it was full; moving one to
        // make room for a newcomer changes nothing for them.
        if (judgedFull || !verdict.letGo.empty()) {
            letGoAt_ = now;
            for (auto& [id, track] : tracks_)
                track.lags.clear();
        }
    } else if (behind < 2 && lightShare_ > 0) {
        // Behind on its own: the light stream may be what its network carries.
        verdict.lighten = std::move(alone);
    }
    for (const auto id : verdict.lighten) {
        auto& track = tracks_[id];
        track.lags.clear();
        track.backloggedSince.reset();
        track.catchingUp = now;
        track.movedForFull = judgedFull;
    }
    const bool calmNow = !fullAt_ || now - *fullAt_ >= calm;
    if (lightShare_ > 0 && room_) {
        // Rather less crisp than not at all: a newcomer is let in while
        // moving those on the full stream to the light one makes room.
        verdict.light = true;
        verdict.admit = (crowd.full + crowd.light + 1) * lightShare_ <= *room_ + 1e-6;
    } else {
        verdict.admit = calmNow && (!room_ || load + 1 <= *room_ + 1e-6);
    }
    return verdict;
}

void UplinkWatch::fit(const std::vector<Listener>& listeners, double room, bool mayLetGo,
                      Verdict& verdict) const {
    std::vector<const Listener*> newest;
    double load = 0;
    for (const auto& listener : listeners)
        if (listener.remote) {
            newest.push_back(&listener);
            load += weight(listener);
        }
    std::sort(newest.begin(), newest.end(),
              [](const Listener* a, const Listener* b) { return a->id > b->id; });
    // Anyone is let go only when everyone is on the light stream already:
    // what moving them frees shows only once the tunnel has passed on what
    // it held of the full stream.
    if (lightShare_ > 0 &&
        std::ranges::any_of(newest, [](auto* listener) { return !listener->light; })) {
        for (const auto* listener : newest) {
            if (load <= room + 1e-6) return;
            if (listener->light) continue;
            verdict.lighten.push_back(listener->id);
            load -= 1 - lightShare_;
        }
        return;
    }
    for (const auto* listener : newest) {
        if (load <= room + 1e-6 || !mayLetGo) return;
        verdict.letGo.push_back(listener->id);
        load -= listener->light ? lightShare_ : 1;
    }
}

} // namespace lantern
