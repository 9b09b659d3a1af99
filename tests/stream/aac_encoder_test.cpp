#include "stream/aac_encoder.h"
#include "support/child_process.h"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <numbers>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace lantern;
using namespace lantern::test;

namespace {

struct HeaderRow {
    const char* name;
    std::size_t payload;
    double rate;
    int channels;
    std::array<std::uint8_t, 7> expected;
};

const HeaderRow headerRows[] = {
    {"stereo44100Empty", 0, 44100, 2, {0xFF, 0xF1, 0x50, 0x80, 0x00, 0xFF, 0xFC}},
    {"stereo48000Payload400", 400, 48000, 2, {0xFF, 0xF1, 0x4C, 0x80, 0x32, 0xFF, 0xFC}},
    {"mono48000Payload400", 400, 48000, 1, {0xFF, 0xF1, 0x4C, 0x40, 0x32, 0xFF, 0xFC}},
    {"rateOutsideTableIsIndex4", 0, 45000, 2, {0xFF, 0xF1, 0x50, 0x80, 0x00, 0xFF, 0xFC}},
    {"rate96000IsIndex0", 0, 96000, 2, {0xFF, 0xF1, 0x40, 0x80, 0x00, 0xFF, 0xFC}},
    {"rate7350IsIndex12", 0, 7350, 2, {0xFF, 0xF1, 0x70, 0x80, 0x00, 0xFF, 0xFC}},
    {"fourChannelsSetHighLayoutBit", 0, 48000, 4, {0xFF, 0xF1, 0x4D, 0x00, 0x00, 0xFF, 0xFC}},
    {"lengthCrossing2048", 2041, 48000, 2, {0xFF, 0xF1, 0x4C, 0x81, 0x00, 0x1F, 0xFC}},
    {"nearThe13BitLimit", 8184, 48000, 2, {0xFF, 0xF1, 0x4C, 0x83, 0xFF, 0xFF, 0xFC}},
};

class AdtsHeaderTable : public testing::TestWithParam<HeaderRow> {};

TEST_P(AdtsHeaderTable, Writes) {
    const auto& row = GetParam();
    EXPECT_EQ(adtsHeader(row.payload, row.rate, row.channels), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, AdtsHeaderTable, testing::ValuesIn(headerRows),
                         [](const auto& info) { return std::string(info.param.name); });

std::size_t frameLengthOf(const std::array<std::uint8_t, 7>& h) {
    return (static_cast<std::size_t>(h[3] & 3) << 11) | (static_cast<std::size_t>(h[4]) << 3) |
           (h[5] >> 5);
}

TEST(AdtsHeader, FrameLengthIsAlwaysPayloadPlusSeven) {
    for (std::size_t payload : {0u, 1u, 400u, 2040u, 2041u, 4096u, 8000u, 8184u})
        EXPECT_EQ(frameLengthOf(adtsHeader(payload, 48000, 2)), payload + 7) << payload;
}

// Interleaved stereo: a different sine on each channel, optionally with noise.
std::vector<float> stereoSignal(double rate, double seconds, double left, double right,
                                double noise = 0) {
    const auto frames = static_cast<std::size_t>(rate * seconds);
    std::vector<float> samples(frames * 2);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> hiss(-1, 1);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        samples[2 * i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * left * t) +
                                            noise * hiss(random));
        samples[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * right * t) +
                                                noise * hiss(random));
    }
    return samples;
}

// Encodes in uneven pieces, as capture buffers arrive.
Bytes encodeAll(AACEncoder& encoder, const std::vector<float>& samples) {
    Bytes stream;
    std::size_t at = 0;
    for (std::size_t piece = 0; at < samples.size(); ++piece) {
        const auto size = std::min<std::size_t>(samples.size() - at, 700 + 977 * (piece % 5));
        const auto out = encoder.encode(std::span(samples).subspan(at, size));
        stream.insert(stream.end(), out.begin(), out.end());
        at += size;
    }
    return stream;
}

// Splits an ADTS byte stream into its frames, checking every header.
std::vector<std::span<const std::uint8_t>> framesOf(const Bytes& stream) {
    std::vector<std::span<const std::uint8_t>> frames;
    for (std::size_t at = 0; at + 7 <= stream.size();) {
        EXPECT_EQ(stream[at], 0xFF);
        EXPECT_EQ(stream[at + 1], 0xF1);
        std::array<std::uint8_t, 7> header;
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), 7, header.begin());
        const auto length = frameLengthOf(header);
        if (length < 7 || at + length > stream.size()) {
            ADD_FAILURE() << "bad frame length at " << at;
            break;
        }
        frames.emplace_back(stream.data() + at, length);
        at += length;
    }
    return frames;
}

TEST(AACEncoder, KeepsWhatDoesNotFillABlock) {
    AACEncoder encoder(48000, 2, 192000);
    std::vector<float> silence(5000, 0.0f);
    EXPECT_TRUE(encoder.encode(std::span(silence).first(2047)).empty());
    EXPECT_EQ(encoder.pending(), 2047u);
    encoder.encode(std::span(silence).first(1));
    EXPECT_EQ(encoder.pending(), 0u);
    encoder.encode(silence);
    EXPECT_EQ(encoder.pending(), 904u);
    EXPECT_TRUE(encoder.encode({}).empty());
    EXPECT_EQ(encoder.pending(), 904u);
}

TEST(AACEncoder, PrimingBlocksAreConsumedAndLaterBlocksCatchUp) {
    AACEncoder encoder(48000, 2, 192000);
    const auto signal = stereoSignal(48000, 1024 * 20 / 48000.0, 440, 660);
    std::size_t frames = 0;
    for (std::size_t block = 0; block < 20; ++block) {
        const auto out = encoder.encode(std::span(signal).subspan(block * 2048, 2048));
        EXPECT_EQ(encoder.pending(), 0u);
        frames += framesOf(out).size();
    }
    EXPECT_GE(frames, 18u);
    EXPECT_LE(frames, 20u);
}

// A NaN or infinity from a faulty source must not cost the whole block (the
// library refuses such input): the stream keeps one frame per block.
TEST(AACEncoder, NonFiniteSamplesDoNotLoseTheirBlock) {
    AACEncoder encoder(48000, 2, 192000);
    auto signal = stereoSignal(48000, 1024 * 12 / 48000.0, 440, 660);
    for (std::size_t i = 0; i < signal.size(); i += 97)
        signal[i] = i % 2 ? std::numeric_limits<float>::quiet_NaN()
                          : std::numeric_limits<float>::infinity();
    const auto frames = framesOf(encodeAll(encoder, signal));
    EXPECT_GE(frames.size(), 10u);
}

TEST(AACEncoder, RefusesBitRatesAACLCCannotCarry) {
    for (int bitrate : {0, -192000, 576001}) {
        try {
            AACEncoder encoder(48000, 2, bitrate);
            ADD_FAILURE() << bitrate << " was accepted";
        } catch (const AACEncoderError& error) {
            EXPECT_EQ(error.kind(), AACEncoderError::Kind::bitrate) << bitrate;
            EXPECT_NE(error.status(), 0);
        }
    }
    EXPECT_NO_THROW(AACEncoder(48000, 2, 576000));
}

TEST(AACEncoder, RateTheCodecCannotOpenIsACreateError) {
    for (double rate : {12345.0, 44100.5}) {
        try {
            AACEncoder encoder(rate, 2, 64000);
            ADD_FAILURE() << rate << " was accepted";
        } catch (const AACEncoderError& error) {
            EXPECT_EQ(error.kind(), AACEncoderError::Kind::create) << rate;
        }
    }
}

// Decodes ADTS frames with libavcodec's AAC decoder into interleaved stereo.
struct Decoded {
    int rate = 0;
    int channels = 0;
    std::vector<float> interleaved;
};

Decoded decodeWithLibavcodec(const Bytes& stream) {
    Decoded result;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
    auto drain = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            result.rate = frame->sample_rate;
            result.channels = frame->ch_layout.nb_channels;
            EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
            for (int i = 0; i < frame->nb_samples; ++i)
                for (int c = 0; c < result.channels; ++c)
                    result.interleaved.push_back(
                        reinterpret_cast<float*>(frame->extended_data[c])[i]);
        }
    };
    for (const auto frameBytes : framesOf(stream)) {
        av_new_packet(packet, static_cast<int>(frameBytes.size()));
        std::copy(frameBytes.begin(), frameBytes.end(), packet->data);
        EXPECT_EQ(avcodec_send_packet(context, packet), 0);
        av_packet_unref(packet);
        drain();
    }
    avcodec_send_packet(context, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return result;
}

std::string writeTemp(const std::string& name, const Bytes& bytes) {
    const auto path = testing::TempDir() + name + "-" + std::to_string(::getpid());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Decodes an ADTS file with the ffmpeg program into interleaved float stereo.
Decoded decodeWithFfmpeg(const std::string& path) {
    Decoded result;
    const auto probe = runProgram({"ffprobe", "-v", "error", "-show_entries",
                                   "stream=sample_rate,channels", "-of", "csv=p=0", path});
    EXPECT_EQ(probe.status, 0) << probe.error;
    std::sscanf(probe.output.c_str(), "%d,%d", &result.rate, &result.channels);
    const auto decoded = runProgram({"ffmpeg", "-v", "error", "-f", "aac", "-i", path, "-f",
                                     "f32le", "-acodec", "pcm_f32le", "-"});
    EXPECT_EQ(decoded.status, 0) << decoded.error;
    result.interleaved.resize(decoded.output.size() / sizeof(float));
    std::memcpy(result.interleaved.data(), decoded.output.data(),
                result.interleaved.size() * sizeof(float));
    return result;
}

// The encoder delay (in frames) at which `decoded` lines up best with `input`,
// judged on a short stretch of both channels (their tones differ, so only the
// true delay fits both).
std::size_t bestDelay(const std::vector<float>& input, const std::vector<float>& decoded) {
    const std::size_t start = 8192, length = 4096;
    std::size_t best = 0;
    double bestError = 1e300;
    for (std::size_t delay = 0; delay <= 4096; ++delay) {
        if (2 * (start + length + delay) > decoded.size()) break;
        double error = 0;
        for (std::size_t i = 2 * start; i < 2 * (start + length); ++i) {
            const double d = input[i] - decoded[i + 2 * delay];
            error += d * d;
        }
        if (error < bestError) {
            bestError = error;
            best = delay;
        }
    }
    return best;
}

// Signal-to-noise ratio in dB of one channel of `decoded` against `input`,
// `delay` frames later, leaving out the edges.
double channelSnr(const std::vector<float>& input, const std::vector<float>& decoded,
                  std::size_t delay, int channel) {
    const std::size_t frames = input.size() / 2, margin = 4096;
    double signal = 0, error = 0;
    for (std::size_t i = margin; i + margin < frames && i + delay < decoded.size() / 2; ++i) {
        const double x = input[2 * i + channel], y = decoded[2 * (i + delay) + channel];
        signal += x * x;
        error += (x - y) * (x - y);
    }
    return 10 * std::log10(signal / std::max(error, 1e-20));
}

class AACRoundTrip : public testing::TestWithParam<int> {};

TEST_P(AACRoundTrip, DecodesToTheInputThroughLibavcodecAndFfmpeg) {
    const double rate = GetParam();
    AACEncoder encoder(rate, 2, 192000);
    const auto input = stereoSignal(rate, 5.0, 441, 1234);
    const auto stream = encodeAll(encoder, input);
    const auto path = writeTemp("roundtrip.aac", stream);

    const std::pair<const char*, Decoded> decoders[] = {
        {"libavcodec", decodeWithLibavcodec(stream)},
        {"ffmpeg", decodeWithFfmpeg(path)},
    };
    for (const auto& [name, decoded] : decoders) {
        SCOPED_TRACE(name);
        EXPECT_EQ(decoded.rate, static_cast<int>(rate));
        EXPECT_EQ(decoded.channels, 2);
        const auto inputFrames = static_cast<long>(input.size() / 2);
        const auto decodedFrames = static_cast<long>(decoded.interleaved.size() / 2);
        // Whole blocks only, plus priming, within one frame.
        EXPECT_LE(std::abs(decodedFrames - inputFrames), 2 * AACEncoder::framesPerPacket);
        const auto delay = bestDelay(input, decoded.interleaved);
        EXPECT_GE(channelSnr(input, decoded.interleaved, delay, 0), 20.0);
        EXPECT_GE(channelSnr(input, decoded.interleaved, delay, 1), 20.0);
        // Swapped channels would match far worse than they do in place.
        std::vector<float> swapped(input.size());
        for (std::size_t i = 0; i + 1 < input.size(); i += 2) {
            swapped[i] = input[i + 1];
            swapped[i + 1] = input[i];
        }
        EXPECT_LT(channelSnr(swapped, decoded.interleaved, delay, 0), 3.0);
        EXPECT_LT(channelSnr(swapped, decoded.interleaved, delay, 1), 3.0);
    }
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Rates, AACRoundTrip, testing::Values(44100, 48000));

// A listener's burst begins wherever the byte cut fell, usually inside a frame.
TEST(AACStream, CutAtAnArbitraryOffsetDecodesFromTheNextSyncWord) {
    AACEncoder encoder(48000, 2, 192000);
    const auto stream = encodeAll(encoder, stereoSignal(48000, 3.0, 300, 500));
    const Bytes cut(stream.begin() + 12345, stream.end());
    const auto path = writeTemp("cut.aac", cut);
    const auto decoded = decodeWithFfmpeg(path);
    std::remove(path.c_str());
    const double seconds = static_cast<double>(decoded.interleaved.size() / 2) / 48000;
    const double expected =
        3.0 * static_cast<double>(cut.size()) / static_cast<double>(stream.size());
    EXPECT_NEAR(seconds, expected, 0.1);
}

TEST(AACStream, AverageBitRateIsNear192kOnMusicLikeSignal) {
    constexpr double rate = 48000, seconds = 10;
    // Two tones with slow vibrato and a bed of noise.
    std::vector<float> samples(static_cast<std::size_t>(rate * seconds) * 2);
    std::mt19937 random(11);
    std::normal_distribution<float> noise(0, 0.05f);
    for (std::size_t i = 0; i < samples.size() / 2; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double tone = 0.3 * std::sin(2 * std::numbers::pi * (220 + 5 * std::sin(t)) * t) +
                            0.2 * std::sin(2 * std::numbers::pi * 1760 * t);
        samples[2 * i] = static_cast<float>(tone) + noise(random);
        samples[2 * i + 1] = static_cast<float>(0.8 * tone) + noise(random);
    }
    AACEncoder encoder(rate, 2, 192000);
    const auto stream = encodeAll(encoder, samples);
    const double bitsPerSecond = static_cast<double>(stream.size()) * 8 / seconds;
    EXPECT_NEAR(bitsPerSecond, 192000, 19200);
}

} // namespace
