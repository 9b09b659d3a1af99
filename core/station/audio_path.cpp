#include "core/station/audio_path.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace lantern {

AudioPath::AudioPath(std::shared_ptr<Shared> shared, std::shared_ptr<Fanout> fanout, Voice voice,
                     int bitrate, OnEncoder onEncoder, MakeEncoder makeEncoder)
    : shared_(std::move(shared)), fanout_(std::move(fanout)), voice_(std::move(voice)),
      bitrate_(bitrate), onEncoder_(std::move(onEncoder)), makeEncoder_(std::move(makeEncoder)) {}

void AudioPath::operator()(std::span<const float> samples, double rate) {
    if (!(rate > 0)) return;
    if (!encoder_ || rate_ != rate) {
        publish(std::chrono::steady_clock::now()); // the old rate's frames before the new one's
        ++encodersMade_;
        auto made = makeEncoder_(rate, 2, bitrate_);
        encoder_ = std::move(made.encoder); // a failed one is tried again only at another rate
        rate_ = rate;
        report(made.error);
    }
    if (micRate_ != rate) {
        micRate_ = rate;
        voice_.setRate(rate);
    }
    const float musicPeak = peakOf(samples);
    const std::size_t frames = samples.size() / 2;
    const double seconds = static_cast<double>(frames) / rate;
    const bool talking = shared_->get(&SharedState::talking);

    float blockPeak = musicPeak;
    if (talking) {
        voiceBlock_.resize(samples.size());
        voice_.ring.take(voiceBlock_);
        const float voicePeak = peakOf(voiceBlock_);
        const float gain = ducker_.next(voicePeak, seconds);
        shared_->set(&SharedState::gain, gain);
        mixInto(samples, voiceBlock_, gain, mixed_);
        if (encoder_) encoder_->encode(mixed_, pending_);
        blockPeak = std::max(voicePeak, musicPeak);
    } else {
        voice_.ring.clear(); // voice captured while nobody talks is thrown away
        const float gain = ducker_.next(0, seconds);
        shared_->set(&SharedState::gain, gain);
        // At full gain the block is encoded as it came, without a copy.
        if (gain < 0.999f) mixInto(samples, {}, gain, mixed_);
        if (encoder_)
            encoder_->encode(gain < 0.999f ? std::span<const float>(mixed_) : samples, pending_);
    }
    if (encoder_) report(encoder_->stopped());
    pendingSeconds_ += seconds;
    // Blocks arrive steadily but hold varying amounts of audio, so counting
    // audio alone would sometimes wait a block longer; the clock keeps the
    // listeners' chunks evenly spaced, the count covers audio fed faster than
    // real time (a backlog after a stall).
    const auto now = std::chrono::steady_clock::now();
    if (pendingSeconds_ >= publishEvery || now - lastPublish_ >= publishPeriod) publish(now);
    shared_->feedSilence(blockPeak, seconds);
}

void AudioPath::report(const std::optional<AACEncoderError>& failure) {
    if (failure == failure_) return;
    failure_ = failure;
    if (onEncoder_) onEncoder_(failure_);
}

void AudioPath::publish(std::chrono::steady_clock::time_point now) {
    if (!pending_.empty()) fanout_->publish(Chunk(std::exchange(pending_, Bytes()), now));
    pendingSeconds_ = 0;
    lastPublish_ = now;
}

} // namespace lantern
