#include "core/station/audio_path.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace lantern {

AudioPath::AudioPath(std::shared_ptr<Shared> shared, std::shared_ptr<Fanout> fanout, Voice voice,
                     int bitrate, OnEncoder onEncoder, MakeEncoder makeEncoder,
                     std::shared_ptr<const std::atomic<bool>> evenLoudness, Light light)
    : shared_(std::move(shared)), fanout_(std::move(fanout)), voice_(std::move(voice)),
      bitrate_(bitrate), onEncoder_(std::move(onEncoder)), makeEncoder_(std::move(makeEncoder)),
      evenLoudness_(std::move(evenLoudness)), light_(std::move(light)) {}

void AudioPath::makeLight(double rate) {
    // Without a full stream there is nothing to lighten: its own failure is what to say.
    const auto failed = [this](bool& reported, const std::string& why) {
        if (encoder_ && !std::exchange(reported, true) && light_.onFailure) light_.onFailure(why);
    };
    if (light_.aac) {
        auto made = makeEncoder_(rate, 2, light_.bitrate);
        lightEncoder_ = std::move(made.encoder);
        light_.aac->setOffered(lightEncoder_ != nullptr);
        if (made.error) failed(lightReported_, "No light stream: " + made.error->message());
    }
    if (light_.opus) {
        auto made = light_.makeOpus(rate, 2, light_.bitrate);
        opusEncoder_ = std::move(made.encoder);
        light_.opus->setOffered(opusEncoder_ != nullptr);
        if (opusEncoder_) {
            // A new rate starts a new Ogg stream: its header pages go out
            // at once, and to everyone joining from now on.
            opusPending_ = opusEncoder_->header();
            light_.opus->setHeader(opusEncoder_->header());
        } else {
            failed(opusReported_, "The light stream is AAC only: " + made.error.value_or(""));
        }
    }
}

void AudioPath::operator()(std::span<const float> samples, double rate) {
    if (!(rate > 0)) return;
    // Made once per rate: a failed one (and the levellers) is not made again
    // for every block, which would starve whoever waits on the capture.
    if (rate_ != rate) {
        publish(std::chrono::steady_clock::now()); // the old rate's frames before the new one's
        ++encodersMade_;
        auto made = makeEncoder_(rate, 2, bitrate_);
        encoder_ = std::move(made.encoder); // a failed one is tried again only at another rate
        rate_ = rate;
        report(made.error);
        makeLight(rate);
        evening_ = std::make_unique<Evening>(rate);
        evened_ = false;
    }
    if (micRate_ != rate) {
        micRate_ = rate;
        voice_.setRate(rate);
    }
    const float musicPeak = peakOf(samples);
    const std::size_t frames = samples.size() / 2;
    const double seconds = static_cast<double>(frames) / rate;
    const bool talking = shared_->get(&SharedState::talking);

    float voicePeak = 0;
    const bool evenly = evenLoudness_ && evenLoudness_->load(std::memory_order_relaxed);
    if (evenly != evened_) {
        evened_ = evenly;
        if (evenly) evening_->limiter.reset();
        const auto delay = evenly ? std::chrono::duration<double>(
                                        static_cast<double>(evening_->limiter.delay()) / rate)
                                  : std::chrono::duration<double>::zero();
        delay_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay);
        shared_->set(&SharedState::delay, delay.count());
    }
    std::span<const float> out;
    if (evenly) {
        even(samples, seconds, talking, voicePeak);
        out = mixed_;
    } else {
        out = plain(samples, seconds, talking, voicePeak);
    }
    const float blockPeak = std::max(voicePeak, musicPeak);
    if (encoder_) encoder_->encode(out, pending_);
    if (encoder_) report(encoder_->stopped());
    if (lightEncoder_) lightEncoder_->encode(out, lightPending_);
    if (opusEncoder_) opusEncoder_->encode(out);
    pendingSeconds_ += seconds;
    // Blocks arrive steadily but hold varying amounts of audio, so counting
    // audio alone would sometimes wait a block longer; the clock keeps the
    // listeners' chunks evenly spaced, the count covers audio fed faster than
    // real time (a backlog after a stall).
    const auto now = std::chrono::steady_clock::now();
    if (pendingSeconds_ >= publishEvery || now - lastPublish_ >= publishPeriod) publish(now);
    shared_->feedSilence(blockPeak, seconds);
}

float AudioPath::duck(std::size_t count, double seconds, bool talking, float& voicePeak) {
    voiceBlock_.clear();
    if (talking) {
        voiceBlock_.resize(count);
        voice_.ring.take(voiceBlock_);
        voicePeak = peakOf(voiceBlock_);
    } else {
        voice_.ring.clear(); // voice captured while nobody talks is thrown away
    }
    const float gain = ducker_.next(talking ? voicePeak : 0, seconds);
    shared_->set(&SharedState::gain, gain);
    return gain;
}

std::span<const float> AudioPath::plain(std::span<const float> samples, double seconds,
                                        bool talking, float& voicePeak) {
    const float gain = duck(samples.size(), seconds, talking, voicePeak);
    // At full gain and without a voice the block is encoded as it came, without a copy.
    if (!talking && gain >= 0.999f) return samples;
    mixInto(samples, voiceBlock_, gain, mixed_);
    return mixed_;
}

void AudioPath::even(std::span<const float> samples, double seconds, bool talking,
                     float& voicePeak) {
    mixed_.assign(samples.begin(), samples.end());
    sanitize(mixed_);
    evening_->music.level(mixed_);
    const float gain = duck(samples.size(), seconds, talking, voicePeak);
    if (talking) {
        sanitize(voiceBlock_);
        evening_->voice.level(voiceBlock_);
    }
    for (std::size_t i = 0; i < mixed_.size(); ++i)
        mixed_[i] = mixed_[i] * gain + (talking ? voiceBlock_[i] : 0.0f);
    evening_->limiter.limit(mixed_);
}

void AudioPath::report(const std::optional<AACEncoderError>& failure) {
    if (failure == failure_) return;
    failure_ = failure;
    if (onEncoder_) onEncoder_(failure_);
}

void AudioPath::publish(std::chrono::steady_clock::time_point now) {
    // Stamped with when its audio was captured, so that titles, chapters and
    // title blocks are matched to what is heard in it.
    const auto at = now - delay_;
    fanout_->publish(Chunk(std::exchange(pending_, Bytes()), at), pendingSeconds_);
    if (!lightPending_.empty())
        light_.aac->publish(Chunk(std::exchange(lightPending_, Bytes()), at));
    if (opusEncoder_) opusEncoder_->flush(opusPending_);
    if (!opusPending_.empty())
        light_.opus->publish(Chunk(std::exchange(opusPending_, Bytes()), at));
    pendingSeconds_ = 0;
    lastPublish_ = now;
}

} // namespace lantern
