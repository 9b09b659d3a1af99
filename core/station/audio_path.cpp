#include "station/audio_path.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace lantern {

namespace {

float peakOf(std::span<const float> samples) {
    float peak = 0;
    for (const float sample : samples)
        peak = std::max(peak, std::fabs(sample));
    return peak;
}

} // namespace

AudioPath::AudioPath(std::shared_ptr<Shared> shared, std::shared_ptr<Fanout> fanout, Voice voice,
                     int bitrate)
    : shared_(std::move(shared)), fanout_(std::move(fanout)), voice_(std::move(voice)),
      bitrate_(bitrate) {}

void AudioPath::operator()(std::span<const float> samples, double rate) {
    if (!(rate > 0)) return;
    if (!encoder_ || rate_ != rate) {
        publish(std::chrono::steady_clock::now()); // the old rate's frames before the new one's
        ++encodersMade_;
        try {
            encoder_ = std::make_unique<AACEncoder>(rate, 2, bitrate_);
        } catch (const AACEncoderError&) {
            encoder_.reset(); // tried again only when the rate changes
        }
        rate_ = rate;
    }
    if (micRate_ != rate) {
        micRate_ = rate;
        voice_.setRate(rate);
    }
    const float musicPeak = peakOf(samples);
    const double seconds = static_cast<double>(samples.size() / 2) / rate;
    const bool talking = shared_->get(&Shared::talking);

    Bytes encoded;
    float blockPeak = musicPeak;
    if (talking) {
        const auto voice = voice_.ring.take(samples.size());
        const float voicePeak = peakOf(voice);
        const float gain = ducker_.next(voicePeak, seconds);
        shared_->set(&Shared::gain, gain);
        if (encoder_) encoded = encoder_->encode(mix(samples, voice, gain));
        blockPeak = std::max(voicePeak, musicPeak);
    } else {
        voice_.ring.clear(); // voice captured while nobody talks is thrown away
        const float gain = ducker_.next(0, seconds);
        shared_->set(&Shared::gain, gain);
        // At full gain the block is encoded as it came, without a copy.
        if (encoder_)
            encoded = gain >= 0.999f ? encoder_->encode(samples)
                                     : encoder_->encode(mix(samples, {}, gain));
    }
    pending_.insert(pending_.end(), encoded.begin(), encoded.end());
    pendingSeconds_ += seconds;
    // Blocks arrive steadily but hold varying amounts of audio, so counting
    // audio alone would sometimes wait a block longer; the clock keeps the
    // listeners' chunks evenly spaced, the count covers audio fed faster than
    // real time (a backlog after a stall).
    const auto now = std::chrono::steady_clock::now();
    if (pendingSeconds_ >= publishEvery || now - lastPublish_ >= publishPeriod) publish(now);
    shared_->feedSilence(blockPeak, seconds);
}

void AudioPath::publish(std::chrono::steady_clock::time_point now) {
    if (!pending_.empty()) fanout_->publish(Chunk(std::exchange(pending_, Bytes())));
    pendingSeconds_ = 0;
    lastPublish_ = now;
}

} // namespace lantern
