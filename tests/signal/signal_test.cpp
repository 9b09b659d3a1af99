// The signal's building blocks (the voice ring, the ducker and the mix, the
// silence hint, the timeline of several streams) and captured blocks on their
// way to the listeners. Even loudness is judged as listeners hear it: the
// stream decoded and measured by ffmpeg's own meter (ebur128=peak=true),
// independent of the library the station measures with.
#include "core/config/station_config.h"
#include "core/signal/mixing.h"
#include "core/signal/silence.h"
#include "core/signal/stream_mix.h"
#include "core/signal/voice_ring.h"
#include "core/station/audio_path.h"
#include "core/stream/aac_encoder.h"
#include "support/child_process.h"
#include "support/tone.h"

#include <cmath>
#include <ebur128.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numbers>
#include <numeric>
#include <random>
#include <regex>
#include <thread>

using namespace lantern;
using namespace lantern::test;
using namespace std::chrono_literals;

namespace {

// `count` samples taken from `ring`.
std::vector<float> take(VoiceRing& ring, std::size_t count) {
    std::vector<float> out(count);
    ring.take(out);
    return out;
}

TEST(VoiceRing, KeepsTheNewestSamplesAndPadsWithSilence) {
    VoiceRing ring(4);
    ring.push(std::vector<float>{1, 2, 3});
    ring.push(std::vector<float>{4, 5, 6});
    EXPECT_TRUE(take(ring, 0).empty());
    EXPECT_EQ(take(ring, 6), (std::vector<float>{3, 4, 5, 6, 0, 0}));
    ring.push(std::vector<float>{7, 8, 9, 10, 11, 12}); // larger than the ring: its tail
    EXPECT_EQ(take(ring, 4), (std::vector<float>{9, 10, 11, 12}));
    ring.push(std::vector<float>{1, 2});
    ring.clear();
    EXPECT_EQ(take(ring, 2), (std::vector<float>{0, 0}));

    // The microphone's thread pushes while the capture's thread takes: order
    // is kept and nothing is repeated.
    VoiceRing shared(38400);
    constexpr int total = 200000;
    std::thread producer([&] {
        std::vector<float> block(100);
        for (int i = 0; i < total; i += 100) {
            std::iota(block.begin(), block.end(), static_cast<float>(i + 1));
            shared.push(block);
        }
    });
    for (float last = 0; last < total; std::this_thread::yield())
        for (const float sample : take(shared, 64)) {
            if (sample == 0) continue; // padding: the producer is behind
            ASSERT_GT(sample, last);
            last = sample;
        }
    producer.join();
}

// The music falls fast towards 0.3 under a voice, holds through pauses up to
// 0.45 s, then rises back with a 0.3 s time constant.
TEST(Ducker, AttackHoldAndRelease) {
    Ducker ducker;
    EXPECT_FLOAT_EQ(ducker.next(0, 0.01), 1.0f);
    EXPECT_FLOAT_EQ(ducker.next(0.05f, 0.03), 1.0f); // the threshold itself is not voice
    EXPECT_NEAR(ducker.next(0.5f, 0.03), 0.3 + 0.7 * std::exp(-1.0), 1e-6);
    ducker.next(0.5f, 0.5);
    float gain = ducker.gain();
    for (int step = 1; step <= 4; ++step) // 0.1 ... 0.4 s of pause: held
        EXPECT_LE(gain = ducker.next(0, 0.1), 0.31f) << step;
    const float released = ducker.next(0, 0.1); // 0.5 s: released
    EXPECT_NEAR(released, 1.0 + (gain - 1.0) * std::exp(-0.1 / 0.3), 1e-6);
    ducker.next(0.5f, 0.01); // voice again resets the hold
    EXPECT_LT(ducker.next(0, 0.4), 0.5f);
}

TEST(Mix, AddsTheVoiceAndSoftLimitsAboveTheKnee) {
    const auto one = [](float music, float voice, float gain) {
        return mix(std::vector<float>{music}, std::vector<float>{voice}, gain)[0];
    };
    EXPECT_NEAR(one(0.5f, 0.5f, 1), 0.97616, 1e-5);
    EXPECT_FLOAT_EQ(one(-0.5f, -0.5f, 1), -one(0.5f, 0.5f, 1));
    EXPECT_FLOAT_EQ(one(0.4f, 0.4f, 1), 0.8f);
    EXPECT_FLOAT_EQ(one(0.5f, 0.1f, 0.3f), 0.25f);
    EXPECT_LE(one(50, 0, 1), 1.0f);
    EXPECT_NEAR(one(0.9001f, 0, 1), 0.9001f, 1e-4); // continuous at the knee
    EXPECT_EQ(mix(std::vector<float>{0.1f, 0.2f}, std::vector<float>{0.1f, 0.1f, 0.1f}, 1).size(),
              2u);
    EXPECT_FLOAT_EQ(mix(std::vector<float>{0.1f, 0.2f}, std::vector<float>{0.1f}, 1)[1], 0.2f);
    EXPECT_TRUE(mix({}, std::vector<float>{0.5f}, 1).empty());
}

TEST(Silence, TenSecondsOfExactZerosAndTheLineThatSaysWhy) {
    SilenceHint hint;
    for (int i = 0; i < 999; ++i)
        ASSERT_FALSE(hint.feed(0, 0.01));
    EXPECT_TRUE(hint.feed(0, 0.02));
    EXPECT_FALSE(hint.everHeard());
    EXPECT_FALSE(hint.feed(0.00001f, 0.01)); // any sound starts the count again
    EXPECT_TRUE(hint.everHeard());
    EXPECT_FALSE(hint.feed(0, 9.9));

    const std::string permission =
        "No sound from Music \xE2\x80\x94 check that it plays through the default sound output";
    const struct {
        bool running;
        std::optional<bool> playing;
        bool silent, heard;
        std::optional<std::string> line;
    } rows[] = {
        {false, false, false, true, "Music isn't running"},
        {true, false, false, false, std::nullopt},
        {true, false, true, true, "Music isn't playing"},
        {true, std::nullopt, true, true, "Music is quiet"},
        {true, true, true, false, permission},
        {true, std::nullopt, true, false, permission},
    };
    for (const auto& row : rows)
        EXPECT_EQ(silenceStatus("Music", row.running, row.playing, row.silent, row.heard),
                  row.line);

    EXPECT_FALSE(SourceWatch::shouldReattach("whole-mac", "whole-mac"));
    EXPECT_TRUE(SourceWatch::shouldReattach("org.app", "org.app"));
    EXPECT_FALSE(SourceWatch::shouldReattach("org.app", "org.App"));
}

// A mix at 1000 frames a second from time 0, and everything it emitted.
struct Timeline {
    StreamMix mix{1000};
    std::vector<float> samples;
    std::size_t frames() const { return samples.size() / 2; }
    StreamMix::Emit emit = [this](std::span<const float> block) {
        samples.insert(samples.end(), block.begin(), block.end());
    };
    void push(std::uint32_t stream, std::size_t count, float value, std::chrono::milliseconds at) {
        mix.push(stream, std::vector<float>(count * 2, value), StreamMix::Clock::time_point(at),
                 emit);
    }
    void tick(std::chrono::milliseconds at) { mix.tick(StreamMix::Clock::time_point(at), emit); }
};

// Two live streams: what both delivered is summed sample by sample, and
// what only one has delivered waits for the other (never A's block, then B's).
TEST(StreamMix, LiveStreamsAreSummedAlignedUntilOneGoesStale) {
    Timeline out;
    out.push(1, 10, 0.25f, 0ms);
    EXPECT_EQ(out.frames(), 10u); // alone, it is emitted at once
    out.push(2, 4, 0.5f, 10ms);
    out.push(1, 4, 0.25f, 10ms);
    EXPECT_EQ(out.frames(), 14u);
    out.push(2, 6, 0.5f, 20ms);
    ASSERT_EQ(out.frames(), 14u) << "stream 2's extra frames must wait for stream 1";
    EXPECT_EQ(out.samples[2 * 10], 0.75f);
    EXPECT_EQ(out.samples.back(), 0.75f);

    // A stream that stops delivering (paused, ended without a word) holds the
    // others back no longer than the stale bound, and then counts as silence.
    Timeline stale;
    stale.push(1, 10, 0.25f, 0ms);
    stale.push(2, 10, 0.5f, 0ms);
    const auto held = stale.frames();
    stale.push(1, 50, 0.25f, 50ms);
    EXPECT_EQ(stale.frames(), held + 10); // the rest waits: stream 2 may still deliver
    stale.push(1, 60, 0.25f, StreamMix::staleAfter + 10ms);
    EXPECT_EQ(stale.frames(), held + 110);
    EXPECT_EQ(stale.samples.back(), 0.25f);
}

// With no live stream the clock keeps the timeline at the wall clock's pace
// with silence, from where the streams left it; a long stall starts afresh.
TEST(StreamMix, TheClockFillsSilenceWhileNoStreamDelivers) {
    Timeline out;
    out.tick(0ms); // nothing yet: the clock starts here
    out.tick(250ms);
    EXPECT_EQ(out.frames(), 250u);
    out.push(1, 100, 0.5f, 300ms);
    out.tick(350ms); // the stream keeps the time
    EXPECT_EQ(out.frames(), 350u);
    out.tick(600ms); // stale since 300 ms
    EXPECT_EQ(out.frames(), 650u);
    EXPECT_EQ(out.samples.back(), 0.0f);
    out.tick(5000ms); // the thread stalled: no 4-second burst
    EXPECT_EQ(out.frames(), 650u);
    out.tick(5100ms);
    EXPECT_EQ(out.frames(), 750u);
}

// ---- The AAC encoder, judged by ffmpeg.

// Interleaved stereo: a different sine on each channel.
std::vector<float> stereo(double rate, double seconds, double left, double right) {
    std::vector<float> samples(static_cast<std::size_t>(rate * seconds) * 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(
            0.5 * std::sin(2 * std::numbers::pi * (i % 2 ? right : left) * double(i / 2) / rate));
    return samples;
}

// Encodes in uneven pieces, as capture buffers arrive.
Bytes encodeAll(AACEncoder& encoder, const std::vector<float>& samples) {
    Bytes stream;
    for (std::size_t at = 0, piece = 0; at < samples.size(); ++piece) {
        const auto size = std::min<std::size_t>(samples.size() - at, 700 + 977 * (piece % 5));
        const auto out = encoder.encode(std::span(samples).subspan(at, size));
        stream.insert(stream.end(), out.begin(), out.end());
        at += size;
    }
    return stream;
}

// ffmpeg's reading of a stream (`format`: "aac" for ADTS, "ogg") as
// interleaved stereo at `rate`, and the errors it met: a stream that says
// another rate comes out resampled (so longer or shorter), a mono one with
// the same sound on both channels.
struct Decoded {
    std::vector<float> samples;
    std::string errors;
    double seconds(double rate) const { return double(samples.size() / 2) / rate; }
};
Decoded decodeAs(const Bytes& stream, const std::string& format, double rate) {
    const auto path = testing::TempDir() + "lantern-" + std::to_string(::getpid()) + "." + format;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    const auto pcm = runProgram({"ffmpeg", "-v", "error", "-f", format, "-i", path, "-ar",
                                 std::to_string(int(rate)), "-ac", "2", "-f", "f32le", "-"});
    Decoded decoded{std::vector<float>(pcm.output.size() / sizeof(float)), pcm.error};
    std::memcpy(decoded.samples.data(), pcm.output.data(), decoded.samples.size() * sizeof(float));
    std::remove(path.c_str());
    return decoded;
}
std::vector<float> decode(const Bytes& stream, double rate) {
    return decodeAs(stream, "aac", rate).samples;
}

// Parameters the codec cannot take give the reason as a value, never an encoder.
TEST(AACEncoder, RefusesWhatItCannotEncodeWithTheReason) {
    using enum AACEncoderError::Kind;
    const std::tuple<double, int, int, AACEncoderError::Kind> refused[] = {
        {12345, 2, 128000, create},
        {48000.5, 2, 192000, create},
        {48000, 0, 192000, create},
        {48000, 2, 0, bitrate},
        {48000, 2, 10'000'000, bitrate}};
    for (const auto& [rate, channels, bits, kind] : refused) {
        const auto made = AACEncoder::make(rate, channels, bits);
        EXPECT_TRUE(!made.encoder && made.error && made.error->kind == kind)
            << rate << " " << channels << " " << bits;
    }
    EXPECT_TRUE(AACEncoder::make(44100, 2, 192000).encoder);
}

TEST(AACEncoder, KeepsWhatDoesNotFillABlockAndLosesNoBlockToBadSamples) {
    const auto encoder = AACEncoder::make(48000, 2, 192000).encoder;
    std::vector<float> silence(5000, 0.0f);
    EXPECT_TRUE(encoder->encode(std::span(silence).first(2047)).empty());
    EXPECT_EQ(encoder->pending(), 2047u);
    encoder->encode(std::span(silence).first(1));
    EXPECT_EQ(encoder->pending(), 0u);
    encoder->encode(silence);
    EXPECT_EQ(encoder->pending(), 904u);

    // A NaN or infinity from a faulty source must not cost its block (the
    // library refuses such input): one frame per block all the same.
    const auto other = AACEncoder::make(48000, 2, 192000).encoder;
    auto signal = stereo(48000, 1024 * 12 / 48000.0, 440, 660);
    for (std::size_t i = 0; i < signal.size(); i += 97)
        signal[i] = i % 2 ? NAN : INFINITY;
    const auto stream = encodeAll(*other, signal);
    std::size_t frames = 0;
    for (std::size_t at = 0; const auto frame = adtsFrameAt(std::span(stream).subspan(at));
         ++frames)
        at += frame->length;
    EXPECT_GE(frames, 10u);
}

// ffmpeg, as a listener's player, hears both channels in place, at the rate,
// at about 192 kbit/s, and from wherever a burst's byte cut fell.
TEST(AACEncoder, WhatItWritesDecodesToTheInput) {
    for (const double rate : {44100.0, 48000.0}) {
        const auto input = stereo(rate, 5.0, 441, 1234);
        const auto stream = encodeAll(*AACEncoder::make(rate, 2, 192000).encoder, input);
        EXPECT_NEAR(static_cast<double>(stream.size()) * 8 / 5.0, 192000, 19200) << rate;
        const auto decoded = decode(stream, rate); // a wrong rate in its header: too long or short
        EXPECT_NEAR(static_cast<double>(decoded.size()), static_cast<double>(input.size()),
                    4 * AACEncoder::framesPerPacket);
        // The tones stay on their channels: each is strong on its own and weak on the other.
        const auto power = [&](std::size_t channel, double hertz) {
            return test::tonePower(std::span(decoded).subspan(channel), rate, hertz, 2);
        };
        EXPECT_GT(power(0, 441), 1000 * power(0, 1234)) << rate;
        EXPECT_GT(power(1, 1234), 1000 * power(1, 441)) << rate;

        if (rate != 48000) continue;
        const auto cut = decode(Bytes(stream.begin() + 12345, stream.end()), rate);
        EXPECT_NEAR(static_cast<double>(cut.size() / 2) / rate,
                    5.0 * double(stream.size() - 12345) / double(stream.size()), 0.1)
            << "ffmpeg did not find the frames after a cut inside one";
    }
}

constexpr double rate = 48000;

// A path over its own fan-out and voice ring, evening loudness or not, fed
// blocks of 1024 frames as fast as it takes them; a listener there from the
// start keeps what it hears.
struct Path {
    explicit Path(bool evenly = false, bool opusWorks = true)
        : even(std::make_shared<std::atomic<bool>>(evenly)), opusStarts(opusWorks) {}
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::shared_ptr<Fanout> fanout = std::make_shared<Fanout>(1 << 20, 1 << 20);
    // The light stream as AAC and as Ogg; the Ogg one's burst is about a second.
    std::shared_ptr<Fanout> light = std::make_shared<Fanout>(1 << 20, 1 << 20);
    std::shared_ptr<Fanout> opus = std::make_shared<Fanout>(8000, 1 << 20);
    std::shared_ptr<std::atomic<bool>> even;
    VoiceRing ring{38400};
    std::vector<double> micRates;
    std::vector<std::optional<AACEncoderError>> reports;
    bool opusStarts;
    std::vector<std::string> lightReports;
    AudioPath path{shared,
                   fanout,
                   {ring, [this](double micRate) { micRates.push_back(micRate); }},
                   StationConfig::bitrate,
                   [this](const auto& failure) { reports.push_back(failure); },
                   AACEncoder::make,
                   even,
                   {light, opus, StationConfig::lightBitrate,
                    [this](double at, int channels, int bitrate) {
                        return opusStarts ? OggOpusEncoder::make(at, channels, bitrate)
                                          : OggOpusEncoder::Made{nullptr, "no Opus here"};
                    },
                    [this](const std::string& why) { lightReports.push_back(why); }}};
    std::shared_ptr<Listener> ear = fanout->join(std::nullopt);
    std::shared_ptr<Listener> lightEar = light->join(std::nullopt);
    std::shared_ptr<Listener> opusEar = opus->join(std::nullopt);
    std::vector<Chunk> heard, heardLight, heardOpus;

    // The music at `at`; the voice, when given, as the user talks, pushed to
    // the ring block by block.
    void play(std::span<const float> music, std::span<const float> voice = {}, double at = rate) {
        if (!voice.empty()) shared->set(&SharedState::talking, true);
        for (std::size_t from = 0; from < music.size(); from += 2048) {
            const auto size = std::min<std::size_t>(2048, music.size() - from);
            if (!voice.empty()) ring.push(voice.subspan(from, size));
            path(music.subspan(from, size), at);
            ear->takeAll(heard);
            lightEar->takeAll(heardLight);
            opusEar->takeAll(heardOpus);
        }
    }
    // `blocks` blocks of music at `level`.
    void feed(int blocks, double at, float level) {
        play(std::vector<float>(2048 * static_cast<std::size_t>(blocks), level), {}, at);
    }

    // What ffmpeg's meter says of the stream so far: the short-term loudness
    // every tenth of a second (momentary in `momentary`), and the true peak.
    struct Measured {
        std::vector<double> shortTerm, momentary;
        double truePeak = 0;
        double at(double second) const { return shortTerm.at(std::size_t(second * 10)); }
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

TEST(AudioPath, TheVoiceIsUsedOnlyWhileTalkingAndDipsTheMusic) {
    Path p;
    p.ring.push(std::vector<float>(4096, 0.5f));
    p.feed(2, 48000, 0.5f);
    EXPECT_EQ(p.ring.size(), 0u) << "voice captured while nobody talks was kept";
    EXPECT_FLOAT_EQ(p.shared->get(&SharedState::gain), 1.0f);

    p.shared->set(&SharedState::talking, true);
    p.ring.push(std::vector<float>(8192, 0.5f));
    p.feed(2, 48000, 0.5f);
    EXPECT_EQ(p.ring.size(), 4096u) << "the voice of each block is taken from the ring";
    EXPECT_LT(p.shared->get(&SharedState::gain), 0.5f);
    p.shared->set(&SharedState::talking, false);
    p.feed(100, 48000, 0.5f); // two seconds: the music comes back up
    EXPECT_GT(p.shared->get(&SharedState::gain), 0.99f);
}

// One encoder per capture rate: a new rate makes a new one and tells the
// microphone; a rate the codec cannot take publishes nothing and is reported
// once, until a rate it takes comes back.
TEST(AudioPath, EachCaptureRateGetsItsEncoder) {
    Path p;
    auto listener = p.fanout->join(std::nullopt);
    p.feed(10, 48000, 0.5f); // 0.21 s
    EXPECT_EQ(listener->queued(), 2u) << "a chunk per tenth of a second";
    p.feed(10, 44100, 0.5f);
    EXPECT_EQ(p.path.encodersMade(), 2);
    EXPECT_EQ(p.micRates, (std::vector<double>{48000, 44100}));
    auto late = p.fanout->join(std::nullopt); // holds the burst so far
    p.feed(1, 12345, 0.5f);                   // the last 44.1 kHz frames go out first
    const auto before = late->queued();
    p.feed(10, 12345, 0.5f);
    EXPECT_EQ(late->queued(), before) << "a rate without an encoder published audio";
    EXPECT_EQ(p.path.encodersMade(), 3) << "a failed encoder was made again for each block";
    ASSERT_EQ(p.reports.size(), 1u);
    EXPECT_TRUE(p.reports[0]) << "the failed encoder was not told";
    p.feed(10, 48000, 0.5f);
    EXPECT_EQ(p.reports.size(), 2u);
    EXPECT_FALSE(p.reports.back()) << "the encoder working again was not told";
}

// All the bytes of `chunks`, in order.
Bytes bytesOf(const std::vector<Chunk>& chunks) {
    Bytes bytes;
    for (const auto& chunk : chunks)
        bytes.insert(bytes.end(), chunk.bytes().begin(), chunk.bytes().end());
    return bytes;
}

// Seconds into `decoded` where a 440 Hz tone gives way to 880 Hz; -1 if it never does.
double changeAt(const Decoded& decoded) {
    constexpr std::size_t window = 960; // 10 ms of stereo at 48 kHz
    for (std::size_t at = 0; at + window <= decoded.samples.size(); at += window) {
        const auto piece = std::span(decoded.samples).subspan(at, window);
        if (test::tonePower(piece, rate, 880, 2) > test::tonePower(piece, rate, 440, 2))
            return double(at / 2) / rate;
    }
    return -1;
}

// The light stream carries the same audio: ffmpeg finds the tone change in
// the full stream, the light AAC and the Ogg at the same moment. A listener
// moved from the full stream to the light one between two frames decodes on
// without an error, a gap or a piece twice; one joining the Ogg form
// mid-broadcast decodes from its first byte (the header pages, then whole
// pages), hearing the tone at once.
TEST(AudioPath, TheLightFormsCarryTheSameAudio) {
    Path path;
    auto moving = path.fanout->join(std::nullopt);
    std::vector<Chunk> moved, late;
    path.play(stereo(rate, 2, 440, 440));
    moving->takeAll(moved);
    ASSERT_TRUE(path.fanout->moveTo(moving, *path.light));
    path.play(stereo(rate, 2, 440, 440));
    auto joining = path.opus->join(std::nullopt);
    path.play(stereo(rate, 3, 880, 880));
    moving->takeAll(moved);
    joining->takeAll(late);

    const auto full = decodeAs(bytesOf(path.heard), "aac", rate);
    const auto change = changeAt(full);
    EXPECT_NEAR(change, 4, 0.1);
    for (const auto& [name, form, format] : {std::tuple{"light AAC", &path.heardLight, "aac"},
                                             {"Ogg", &path.heardOpus, "ogg"},
                                             {"moved", &moved, "aac"}}) {
        const auto decoded = decodeAs(bytesOf(*form), format, rate);
        EXPECT_EQ(decoded.errors, "") << name;
        EXPECT_NEAR(changeAt(decoded), change, 0.1) << name;
        EXPECT_NEAR(decoded.seconds(rate), full.seconds(rate), 0.1) << name;
    }
    EXPECT_LT(bytesOf(path.heardLight).size() * 2, bytesOf(path.heard).size())
        << "the light stream is not light";

    const auto joined = decodeAs(bytesOf(late), "ogg", rate);
    EXPECT_EQ(joined.errors, "");
    EXPECT_GT(joined.seconds(rate), 3.5) << "the Ogg listener did not start at its burst";
    EXPECT_GT(test::tonePower(std::span(joined.samples).subspan(9600, 9600), rate, 440, 2), 1e-3)
        << "the Ogg listener's first 0.2 s are not the tone";
}

// An Opus encoder that cannot start is said once, however many capture
// rates come, and the light AAC plays on without it.
TEST(AudioPath, AnOpusEncoderThatCannotStartIsSaidOnce) {
    Path p(false, false);
    p.feed(10, 48000, 0.5f);
    p.feed(10, 44100, 0.5f);
    EXPECT_EQ(p.lightReports,
              std::vector<std::string>{"The light stream is AAC only: no Opus here"});
    EXPECT_TRUE(p.light->offered() && !p.opus->offered());
    EXPECT_FALSE(p.heardLight.empty());
    EXPECT_TRUE(p.heardOpus.empty());
}

TEST(AudioPath, FeedsTheSilenceDetector) {
    Path p;
    p.feed(470, 48000, 0.0f); // 10.03 s of exact zeros
    EXPECT_TRUE(p.shared->get(&SharedState::silentNow));
    EXPECT_FALSE(p.shared->get(&SharedState::heardEver));
    p.feed(1, 48000, 0.001f);
    EXPECT_FALSE(p.shared->get(&SharedState::silentNow));
    EXPECT_TRUE(p.shared->get(&SharedState::heardEver));
}

// The now route's body: the station's name ("Lantern FM" when it has none)
// and, only when something is known, the record.
TEST(Shared, NowJSONSaysOnlyWhatIsKnown) {
    Shared shared;
    EXPECT_EQ(nlohmann::json::parse(shared.nowJSON(0, 3)),
              (nlohmann::json{{"listeners", 3}, {"station", "Lantern FM"}, {"playing", true}}));
    shared.set(&SharedState::name, std::string("Attic"));
    shared.record({"T", "A", "B", std::nullopt, false, "P"}, std::nullopt);
    const auto body = nlohmann::json::parse(shared.nowJSON(0, 0));
    EXPECT_EQ(body["station"], "Attic");
    EXPECT_EQ(body["title"], "T");
    EXPECT_EQ(body["hasCover"], false);
    EXPECT_FALSE(body.contains("coverURL"));
    EXPECT_FALSE(body.contains("burst") || body.contains("room"));
    EXPECT_EQ(nlohmann::json::parse(shared.nowJSON(0, 0, 6.749))["burst"], 6.7);
    shared.set(&SharedState::room, std::optional<std::size_t>(10));
    EXPECT_EQ(nlohmann::json::parse(shared.nowJSON(0, 0))["room"], 10);
    shared.record({"Caf\xE9", "A", "B", std::nullopt, true, "P"}, std::nullopt);
    EXPECT_EQ(nlohmann::json::parse(shared.nowJSON(0, 0))["title"], "Caf\uFFFD")
        << "a title that is not UTF-8 lost the record";
}

// Music-like sound: pink noise (Paul Kellet's filter), the same on both
// channels but for a little decorrelation, `seconds` long; or in syllables,
// as speech comes: 0.3 s on, 0.2 s off.
std::vector<float> pink(double seconds, unsigned seed, bool syllables = false) {
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
        if (syllables && std::fmod(static_cast<double>(i / 2) / rate, 0.5) >= 0.3)
            samples[i] = samples[i + 1] = 0;
    }
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

// A quiet source, a pause with only its noise, then a loud one with peaks at
// full scale: from ten seconds after each change the stream is at -16 LUFS,
// its true peak never over -1 dBTP, and the pause's noise is not raised.
// Switched off, the stream follows the source as it always did.
TEST(EvenLoudness, AQuietThenALoudSourceComeOutAtOneLevelWithNoPeakOverTheLine) {
    const auto quiet = at(pink(20, 1), -26);
    const auto pause = at(pink(3, 2), -62);
    const auto loud = at(pink(20, 3), -9);
    for (const bool even : {true, false}) {
        Path station(even);
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
TEST(EvenLoudness, MicrophonesComeOutAlikeAndABrokenSourceNeverSticksTheGain) {
    Path station(true), broken(true);
    const auto music = at(pink(10, 4), -16);
    station.play(music, at(pink(10, 5, true), -30));
    station.play(music, at(pink(10, 6, true), -6));
    const auto heard = station.measure();
    ASSERT_GT(heard.shortTerm.size(), 195u);
    EXPECT_NEAR(heard.at(9.9), heard.at(19.8), 3) << "the microphones are not levelled";
    EXPECT_LE(heard.truePeak, -1.0) << "the loud microphone put a peak over the line";

    // A broken source (NaN, infinities, huge values) reaches no listener as
    // anything but silence or bounded sound, and leaves the gain free: ten
    // seconds of music afterwards are at the level again.
    std::vector<float> garbage;
    for (int i = 0; i < rate * 2 / 3; ++i)
        garbage.insert(garbage.end(), {NAN, INFINITY, 1e9f});
    broken.play(at(pink(5, 7), -16));
    broken.play(garbage);
    broken.play(at(pink(12, 8), -16));
    const auto after = broken.measure();
    ASSERT_GT(after.shortTerm.size(), 175u);
    EXPECT_NEAR(after.at(17.5), -16, 1.5);
}

} // namespace
