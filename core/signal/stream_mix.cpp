#include "core/signal/stream_mix.h"

#include <algorithm>

namespace lantern {

namespace {
// A live stream never holds more than this much audio back from the others.
constexpr double mostBuffered = 0.5; // seconds
// A clock that fell this far behind (the thread stalled, the machine slept)
// starts afresh instead of emitting the whole gap at once.
constexpr double mostBehind = 1.0; // seconds
} // namespace

StreamMix::StreamMix(double rate) : rate_(rate) {}

void StreamMix::reset(double rate) {
    rate_ = rate;
    for (auto& [id, input] : inputs_) {
        input.samples.clear();
        input.lastData.reset();
    }
    anchor_.reset();
    sinceAnchor_ = 0;
}

void StreamMix::add(std::uint32_t stream) {
    inputs_.try_emplace(stream);
}

void StreamMix::remove(std::uint32_t stream) {
    inputs_.erase(stream);
}

bool StreamMix::live(const Input& input, Clock::time_point now) const {
    return input.lastData && now - *input.lastData <= staleAfter;
}

void StreamMix::anchor(Clock::time_point now) {
    anchor_ = now;
    sinceAnchor_ = 0;
}

void StreamMix::push(std::uint32_t stream, std::span<const float> samples, Clock::time_point now,
                     const Emit& emit) {
    auto& input = inputs_[stream];
    input.samples.insert(input.samples.end(), samples.begin(),
                         samples.end() - static_cast<std::ptrdiff_t>(samples.size() % 2));
    input.lastData = now;

    std::optional<std::size_t> ready; // frames every live stream holds
    std::size_t most = 0;
    for (const auto& [id, other] : inputs_) {
        most = std::max(most, other.frames());
        if (live(other, now)) ready = std::min(ready.value_or(other.frames()), other.frames());
    }
    auto frames = ready.value_or(0);
    const auto limit = static_cast<std::size_t>(rate_ * mostBuffered);
    if (most > limit) frames = std::max(frames, most - limit);
    if (frames == 0) return;
    emitFrames(frames, emit);
    anchor(now);
}

bool StreamMix::tick(Clock::time_point now, const Emit& emit) {
    if (std::any_of(inputs_.begin(), inputs_.end(),
                    [&](const auto& entry) { return live(entry.second, now); }))
        return true; // the streams keep the time
    if (!anchor_) {
        anchor(now);
        return false;
    }
    const auto elapsed = std::chrono::duration<double>(now - *anchor_).count();
    const auto due = static_cast<std::uint64_t>(std::max(0.0, elapsed * rate_));
    if (due <= sinceAnchor_) return false;
    auto behind = due - sinceAnchor_;
    if (static_cast<double>(behind) > rate_ * mostBehind) {
        anchor(now);
        return false;
    }
    while (behind > 0) {
        const auto frames = static_cast<std::size_t>(std::min<std::uint64_t>(behind, blockFrames));
        emitFrames(frames, emit);
        sinceAnchor_ += frames;
        behind -= frames;
    }
    return false;
}

void StreamMix::emitFrames(std::size_t frames, const Emit& emit) {
    out_.assign(frames * 2, 0.0f);
    for (auto& [id, input] : inputs_) {
        const auto take = std::min(frames, input.frames()) * 2;
        for (std::size_t i = 0; i < take; ++i)
            out_[i] += input.samples[i];
        input.samples.erase(input.samples.begin(),
                            input.samples.begin() + static_cast<std::ptrdiff_t>(take));
    }
    emit(out_);
}

} // namespace lantern
