#pragma once

#include <cstddef>
#include <mutex>
#include <span>
#include <vector>

namespace lantern {

// Microphone samples waiting to be mixed, shared between the microphone's
// thread (push) and the capture thread (take, clear). Keeps at most
// `capacity` samples, dropping the oldest, so the voice is never later than that.
class VoiceRing {
public:
    explicit VoiceRing(std::size_t capacity);

    void push(std::span<const float> samples);
    // Fills `out` whole: the oldest buffered samples, then zeros (no allocation).
    void take(std::span<float> out);
    void clear();

    std::size_t capacity() const { return capacity_; }
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    // A circular buffer of capacity_ slots; the oldest sample is at head_.
    std::vector<float> slots_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    const std::size_t capacity_;
};

} // namespace lantern
