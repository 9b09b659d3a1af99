#include "core/stream/aac_encoder.h"
#include "support/child_process.h"
#include "support/tone.h"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <numbers>
#include <unistd.h>

using namespace lantern;
using namespace lantern::test;

namespace {

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

// ffmpeg's reading of an ADTS stream: its rate, channels and interleaved samples.
struct Decoded {
    int rate = 0, channels = 0;
    std::vector<float> samples;
};

Decoded decode(const Bytes& stream) {
    const auto path = testing::TempDir() + "lantern-" + std::to_string(::getpid()) + ".aac";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    Decoded decoded;
    const auto probe = runProgram({"ffprobe", "-v", "error", "-show_entries",
                                   "stream=sample_rate,channels", "-of", "csv=p=0", path});
    std::sscanf(probe.output.c_str(), "%d,%d", &decoded.rate, &decoded.channels);
    const auto pcm =
        runProgram({"ffmpeg", "-v", "error", "-f", "aac", "-i", path, "-f", "f32le", "-"});
    decoded.samples.resize(pcm.output.size() / sizeof(float));
    std::memcpy(decoded.samples.data(), pcm.output.data(), decoded.samples.size() * sizeof(float));
    std::remove(path.c_str());
    return decoded;
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
        const auto decoded = decode(stream);
        EXPECT_EQ(decoded.rate, static_cast<int>(rate));
        ASSERT_EQ(decoded.channels, 2);
        EXPECT_NEAR(static_cast<double>(decoded.samples.size()), static_cast<double>(input.size()),
                    4 * AACEncoder::framesPerPacket);
        // The tones stay on their channels: each is strong on its own and weak on the other.
        const auto power = [&](std::size_t channel, double hertz) {
            return test::tonePower(std::span(decoded.samples).subspan(channel), rate, hertz, 2);
        };
        EXPECT_GT(power(0, 441), 1000 * power(0, 1234)) << rate;
        EXPECT_GT(power(1, 1234), 1000 * power(1, 441)) << rate;

        if (rate != 48000) continue;
        const auto cut = decode(Bytes(stream.begin() + 12345, stream.end()));
        EXPECT_NEAR(static_cast<double>(cut.samples.size() / 2) / rate,
                    5.0 * double(stream.size() - 12345) / double(stream.size()), 0.1)
            << "ffmpeg did not find the frames after a cut inside one";
    }
}

} // namespace
