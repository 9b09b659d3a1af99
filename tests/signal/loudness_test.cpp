// Even loudness as listeners hear it: the station's stream decoded and
// measured by ffmpeg's own meter (ebur128=peak=true), independent of the
// library the station measures with.
#include "core/config/station_config.h"
#include "core/station/audio_path.h"
#include "support/child_process.h"

#include <cmath>
#include <ebur128.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <regex>

using namespace lantern;

namespace {

constexpr double rate = 48000;

// Music-like sound: pink noise (Paul Kellet's filter), the same on both
// channels but for a little decorrelation, `seconds` long.
std::vector<float> pink(double seconds, unsigned seed) {
    std::minstd_rand random(seed);
    std::uniform_real_distribution<float> white(-1, 1);
    std::vector<float> samples(static_cast<std::size_t>(seconds * rate) * 2);
    float b0 = 0, b1 = 0, b2 = 0;
    for (std::size_t i = 0; i < samples.size(); i += 2) {
        const float w = white(random);
        b0 = 0.99765f * b0 + w * 0.0990460f;
        b1 = 0.96300f * b1 + w * 0.2965164f;
        b2 = 0.57000f * b2 + w * 1.0526913f;
        const float p = (b0 + b1 + b2 + w * 0.1848f) * 0.2f;
        samples[i] = p;
        samples[i + 1] = 0.9f * p + 0.1f * white(random) * 0.2f;
    }
    return samples;
}

// The same sound in syllables, as speech comes: 0.3 s on, 0.2 s off.
std::vector<float> speech(double seconds, unsigned seed) {
    auto samples = pink(seconds, seed);
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (std::fmod(static_cast<double>(i / 2) / rate, 0.5) >= 0.3) samples[i] = 0;
    return samples;
}

// `samples` scaled to `lufs` (integrated, as BS.1770 gates it), then held
// within full scale as a loud master is.
std::vector<float> at(std::vector<float> samples, double lufs) {
    ebur128_state* meter = ebur128_init(2, static_cast<unsigned long>(rate), EBUR128_MODE_I);
    ebur128_add_frames_float(meter, samples.data(), samples.size() / 2);
    double measured = 0;
    ebur128_loudness_global(meter, &measured);
    ebur128_destroy(&meter);
    const auto gain = static_cast<float>(std::pow(10, (lufs - measured) / 20));
    for (float& sample : samples)
        sample = std::clamp(sample * gain, -0.99f, 0.99f);
    return samples;
}

// A path over its own fan-out, fed 1024-frame blocks as fast as it takes
// them, its voice pushed to the ring block by block.
struct Station {
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::shared_ptr<Fanout> fanout = std::make_shared<Fanout>(1 << 20, 1 << 20);
    std::shared_ptr<std::atomic<bool>> even = std::make_shared<std::atomic<bool>>(true);
    VoiceRing ring{38400};
    AudioPath path{shared,           fanout, {ring, [](double) {}}, StationConfig::bitrate, {},
                   AACEncoder::make, even};
    std::shared_ptr<Listener> ear = fanout->join(std::nullopt);
    std::vector<Chunk> heard;

    void play(std::span<const float> music, std::span<const float> voice = {}) {
        shared->set(&SharedState::talking, !voice.empty());
        for (std::size_t at = 0; at < music.size(); at += 2048) {
            const auto size = std::min<std::size_t>(2048, music.size() - at);
            if (!voice.empty()) ring.push(voice.subspan(at, size));
            path(music.subspan(at, size), rate);
            ear->takeAll(heard);
        }
    }
    // What ffmpeg's meter says of the stream so far: the short-term loudness
    // every tenth of a second (momentary in `momentary`), and the true peak.
    struct Measured {
        std::vector<double> shortTerm, momentary;
        double truePeak = 0;
        double at(double second) const {
            return shortTerm.at(static_cast<std::size_t>(second * 10));
        }
    };
    Measured measure() {
        const auto file = std::filesystem::temp_directory_path() /
                          ("lantern-loudness-" + std::to_string(::getpid()) + ".aac");
        std::ofstream out(file, std::ios::binary);
        for (const auto& chunk : heard)
            out.write(reinterpret_cast<const char*>(chunk.bytes().data()),
                      static_cast<std::streamsize>(chunk.size()));
        out.close();
        const auto run = test::runProgram({"ffmpeg", "-nostats", "-i", file.string(), "-af",
                                           "ebur128=peak=true", "-f", "null", "-"});
        std::filesystem::remove(file);
        Measured measured;
        static const std::regex frame(R"(t: *[0-9.]+ .*M: *(-?[0-9.]+) +S: *(-?[0-9.]+))");
        static const std::regex peak(R"(\n +Peak: +(-?[0-9.]+|-inf) dBFS)");
        for (std::sregex_iterator it(run.error.begin(), run.error.end(), frame), end; it != end;
             ++it) {
            measured.momentary.push_back(std::stod((*it)[1]));
            measured.shortTerm.push_back(std::stod((*it)[2]));
        }
        std::smatch found;
        EXPECT_TRUE(std::regex_search(run.error, found, peak)) << run.error.substr(0, 2000);
        measured.truePeak = found.empty() ? 0 : std::stod(found[1]);
        return measured;
    }
};

// A quiet source, a pause with only its noise, then a loud one with peaks at
// full scale: from ten seconds after each change the stream is at -16 LUFS,
// its true peak never over -1 dBTP, and the pause's noise is not raised.
// Switched off, the stream follows the source as it always did.
TEST(EvenLoudness, AQuietThenALoudSourceComeOutAtOneLevelWithNoPeakOverTheLine) {
    const auto quiet = at(pink(20, 1), -26);
    const auto pause = at(pink(3, 2), -62);
    const auto loud = at(pink(20, 3), -9);
    for (const bool even : {true, false}) {
        Station station;
        *station.even = even;
        station.play(quiet);
        station.play(pause);
        station.play(loud);
        const auto heard = station.measure();
        ASSERT_GT(heard.shortTerm.size(), 420u);
        if (!even) {
            EXPECT_NEAR(heard.at(15), -26, 1.5) << "switched off, the level changed";
            EXPECT_NEAR(heard.at(40), -9, 1.5) << "switched off, the level changed";
            continue;
        }
        for (const double second : {10.0, 12.5, 15.0, 17.5, 20.0, 33.0, 35.5, 38.0, 40.5, 42.5})
            EXPECT_NEAR(heard.at(second), -16, 1.5) << "at " << second << " s";
        EXPECT_LE(heard.truePeak, -1.0) << "a peak over the line";
        EXPECT_LE(heard.momentary.at(228), heard.momentary.at(204) + 0.5)
            << "the pause's noise was raised";
    }
}

// Talking over the music: a quiet microphone and a loud one come out alike.
TEST(EvenLoudness, AQuietAndALoudMicrophoneSoundAlike) {
    Station station;
    const auto music = at(pink(10, 4), -16);
    station.play(music, at(speech(10, 5), -30));
    station.play(music, at(speech(10, 6), -6));
    const auto heard = station.measure();
    ASSERT_GT(heard.shortTerm.size(), 195u);
    EXPECT_NEAR(heard.at(9.9), heard.at(19.8), 3) << "the microphones are not levelled";
    EXPECT_LE(heard.truePeak, -1.0) << "the loud microphone put a peak over the line";
}

// A broken source (NaN, infinities, huge values) reaches no listener as
// anything but silence or bounded sound, and leaves the gain free: ten
// seconds of music afterwards are at the level again.
TEST(EvenLoudness, ABrokenSourceNeverSticksTheGain) {
    Station station;
    std::vector<float> broken(static_cast<std::size_t>(rate) * 2);
    for (std::size_t i = 0; i < broken.size(); ++i)
        broken[i] = i % 3 == 0   ? std::numeric_limits<float>::quiet_NaN()
                    : i % 3 == 1 ? std::numeric_limits<float>::infinity()
                                 : 1e9f;
    station.play(at(pink(5, 7), -16));
    station.play(broken);
    station.play(at(pink(12, 8), -16));
    const auto heard = station.measure();
    ASSERT_GT(heard.shortTerm.size(), 175u);
    EXPECT_NEAR(heard.at(17.5), -16, 1.5);
}

} // namespace
