#include "core/signal/voice_ring.h"

#include <algorithm>

namespace lantern {

VoiceRing::VoiceRing(std::size_t capacity) : slots_(capacity), capacity_(capacity) {}

void VoiceRing::push(std::span<const float> samples) {
    std::lock_guard lock(mutex_);
    if (capacity_ == 0) return;
    // Only the newest `capacity_` of the pushed samples can survive.
    if (samples.size() >= capacity_) {
        std::copy(samples.end() - static_cast<std::ptrdiff_t>(capacity_), samples.end(),
                  slots_.begin());
        head_ = 0;
        size_ = capacity_;
        return;
    }
    const auto overflow =
        (size_ + samples.size() > capacity_) ? size_ + samples.size() - capacity_ : 0;
    head_ = (head_ + overflow) % capacity_;
    size_ -= overflow;
    auto tail = (head_ + size_) % capacity_;
    const auto first = std::min(samples.size(), capacity_ - tail);
    std::copy_n(samples.begin(), first, slots_.begin() + static_cast<std::ptrdiff_t>(tail));
    std::copy(samples.begin() + static_cast<std::ptrdiff_t>(first), samples.end(), slots_.begin());
    size_ += samples.size();
}

void VoiceRing::take(std::span<float> out) {
    std::lock_guard lock(mutex_);
    const auto taken = std::min(out.size(), size_);
    const auto first = std::min(taken, capacity_ - head_);
    std::copy_n(slots_.begin() + static_cast<std::ptrdiff_t>(head_), first, out.begin());
    std::copy_n(slots_.begin(), taken - first, out.begin() + static_cast<std::ptrdiff_t>(first));
    if (capacity_ > 0) head_ = (head_ + taken) % capacity_;
    size_ -= taken;
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(taken), out.end(), 0.0f);
}

void VoiceRing::clear() {
    std::lock_guard lock(mutex_);
    head_ = 0;
    size_ = 0;
}

std::size_t VoiceRing::size() const {
    std::lock_guard lock(mutex_);
    return size_;
}

} // namespace lantern
