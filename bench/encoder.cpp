// Speed and steady-state allocations of the AAC encoder on 48 kHz stereo.
// Prints the real-time factor (seconds of audio encoded per CPU second) of
// each run and their median, and how many heap allocations one encode() call
// makes once the encoder has warmed up, split into ours and the library's.
// Then what the light stream costs beside the full one: the CPU time of its
// two encoders (AAC and Opus at 64 kbit/s) against the full stream's AAC at
// 192 kbit/s, medians of 5 runs; exits 1 when the light stream takes more
// than half the full one's time.
//
//   encoder [runs = 7] [seconds of audio per run = 60]

#include "core/config/station_config.h"
#include "core/station/audio_path.h"
#include "core/stream/aac_encoder.h"
#include "core/stream/ogg_opus.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <malloc.h>
#include <new>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

using namespace lantern;

// Heap allocations are counted by wrapping the C allocator, which both our
// code (through operator new) and libavcodec end up in.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};    // every heap allocation
std::atomic<long> cppAllocations{0}; // those made through operator new: ours
void count() {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed))
        cppAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// The replaced operator new above takes its memory from malloc, so free is its match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

extern "C" {
void* malloc(size_t size) {
    count();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    count();
    return __libc_realloc(p, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    count();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : ENOMEM;
}
void* aligned_alloc(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}
}

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Music-like stereo: two tones with vibrato over a bed of noise.
std::vector<float> signal(double rate, double seconds) {
    std::vector<float> samples(static_cast<std::size_t>(rate * seconds) * 2);
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0, 0.05f);
    for (std::size_t i = 0; i < samples.size() / 2; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double tone = 0.3 * std::sin(2 * std::numbers::pi * (220 + 5 * std::sin(t)) * t) +
                            0.2 * std::sin(2 * std::numbers::pi * 1760 * t);
        samples[2 * i] = static_cast<float>(tone) + noise(random);
        samples[2 * i + 1] = static_cast<float>(0.8 * tone) + noise(random);
    }
    return samples;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
    const double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 60;
    constexpr double rate = 48000;
    constexpr std::size_t piece = 2 * 480; // 10 ms capture buffers
    const auto audio = signal(rate, seconds);

    std::vector<double> factors;
    for (int run = 0; run < runs; ++run) {
        auto encoderMade = AACEncoder::make(rate, 2, 192000);
        auto& encoder = *encoderMade.encoder;
        std::size_t bytes = 0;
        const double start = cpuSeconds();
        for (std::size_t at = 0; at + piece <= audio.size(); at += piece)
            bytes += encoder.encode(std::span(audio).subspan(at, piece)).size();
        const double factor = seconds / (cpuSeconds() - start);
        factors.push_back(factor);
        std::printf("run %d: %.1fx real time, %.1f kbit/s\n", run + 1, factor,
                    bytes * 8 / seconds / 1000);
    }
    std::sort(factors.begin(), factors.end());
    std::printf("median real-time factor: %.1fx (48 kHz stereo, 192 kbit/s)\n",
                factors[factors.size() / 2]);

    // Allocations per call in steady state: one call per 1024-frame block, and
    // calls of 10 ms that complete a block only now and then.
    for (const std::size_t size : {std::size_t{2048}, piece}) {
        auto encoderMade = AACEncoder::make(rate, 2, 192000);
        auto& encoder = *encoderMade.encoder;
        std::size_t at = 0;
        auto nextPiece = [&] {
            if (at + size > audio.size()) at = 0;
            const auto next = std::span(audio).subspan(at, size);
            at += size;
            return next;
        };
        for (int i = 0; i < 500; ++i)
            encoder.encode(nextPiece());
        constexpr int calls = 2000;
        long withOutput = 0;
        allocations = 0;
        cppAllocations = 0;
        counting = true;
        for (int i = 0; i < calls; ++i)
            withOutput += encoder.encode(nextPiece()).empty() ? 0 : 1;
        counting = false;
        const auto perOutput = [&](long count) {
            return static_cast<double>(count) / static_cast<double>(std::max(withOutput, 1L));
        };
        std::printf("%zu samples per call: %.2f heap allocations per call; per call that returned "
                    "frames %.2f, of which ours %.2f (the result) and libavcodec's %.2f\n",
                    size, static_cast<double>(allocations) / calls, perOutput(allocations),
                    perOutput(cppAllocations), perOutput(allocations - cppAllocations));
    }

    // The levellers and the limiter alone, as the audio path runs them while
    // the user talks (music and voice levelled, the mix limited), per 10 ms
    // block: their share of one core at 48 kHz stereo.
    {
        std::vector<double> shares;
        for (int run = 0; run < runs; ++run) {
            Leveller music(rate, 2), voice(rate, 2);
            PeakLimiter limiter(rate, 2, AudioPath::ceiling);
            std::vector<float> block(piece), talk(piece);
            const double start = cpuSeconds();
            for (std::size_t at = 0; at + piece <= audio.size(); at += piece) {
                std::copy_n(audio.begin() + static_cast<std::ptrdiff_t>(at), piece, block.begin());
                std::copy_n(audio.begin() + static_cast<std::ptrdiff_t>(at), piece, talk.begin());
                music.level(block);
                voice.level(talk);
                for (std::size_t i = 0; i < piece; ++i)
                    block[i] = 0.3f * block[i] + talk[i];
                limiter.limit(block);
            }
            shares.push_back(100 * (cpuSeconds() - start) / seconds);
        }
        std::sort(shares.begin(), shares.end());
        std::printf("levellers and limiter: median %.2f%% of a core (48 kHz stereo, %d runs)\n",
                    shares[shares.size() / 2], runs);
    }

    // The whole audio path per 10 ms capture block, talking and not, with
    // loudness evened out and as it comes: what it allocates besides the
    // encoder's own, a chunk per publish, and its share of one core.
    for (const bool even : {false, true})
        for (const bool talking : {false, true}) {
            auto shared = std::make_shared<Shared>();
            shared->set(&SharedState::talking, talking);
            auto fanout = std::make_shared<Fanout>(1 << 20, 1 << 20);
            VoiceRing ring(38400);
            AudioPath path(shared, fanout, {ring, [](double) {}}, 192000, {}, AACEncoder::make,
                           std::make_shared<std::atomic<bool>>(even));
            std::size_t at = 0;
            const std::vector<float> voice(piece, 0.2f);
            auto feed = [&] {
                if (at + piece > audio.size()) at = 0;
                ring.push(voice);
                path(std::span(audio).subspan(at, piece), rate);
                at += piece;
            };
            for (int i = 0; i < 500; ++i)
                feed();
            constexpr int blocks = 3000;
            allocations = 0;
            counting = true;
            const double start = cpuSeconds();
            for (int i = 0; i < blocks; ++i)
                feed();
            const double cpu = cpuSeconds() - start;
            counting = false;
            std::printf("audio path, %s, %s: %.2f heap allocations per 10 ms block (%.0f "
                        "publishes), %.2f%% of a core\n",
                        talking ? "talking" : "music only",
                        even ? "even loudness" : "loudness as it comes",
                        static_cast<double>(allocations) / blocks,
                        blocks * 0.01 / AudioPath::publishEvery, 100 * cpu / (blocks * 0.01));
        }

    // The light stream beside the full one: each fed 10 ms capture blocks
    // and published every AudioPath::publishEvery, as the audio path does
    // (the Ogg pages flushed then), in CPU seconds for the whole signal.
    {
        constexpr int lightRuns = 5;
        const auto cpuOf = [](auto&& work) {
            const double start = cpuSeconds();
            work();
            return cpuSeconds() - start;
        };
        const auto feed = [&](auto&& encode, auto&& publish) {
            double pending = 0;
            for (std::size_t at = 0; at + piece <= audio.size(); at += piece) {
                encode(std::span(audio).subspan(at, piece));
                pending += static_cast<double>(piece / 2) / rate;
                if (pending >= AudioPath::publishEvery) {
                    publish();
                    pending = 0;
                }
            }
            publish();
        };
        std::vector<double> full, light, lightAAC, opus;
        std::size_t fullBytes = 0, lightBytes = 0, opusBytes = 0;
        for (int run = 0; run < lightRuns; ++run) {
            fullBytes = lightBytes = opusBytes = 0;
            full.push_back(cpuOf([&] {
                auto made = AACEncoder::make(rate, 2, StationConfig::bitrate);
                Bytes out;
                feed([&](auto block) { made.encoder->encode(block, out); },
                     [&] { fullBytes += std::exchange(out, Bytes()).size(); });
            }));
            // The two light encoders interleaved, as the path runs them;
            // each one's share timed too.
            double aacTime = 0, opusTime = 0;
            light.push_back(cpuOf([&] {
                auto aac = AACEncoder::make(rate, 2, StationConfig::lightBitrate);
                auto ogg = OggOpusEncoder::make(rate, 2, StationConfig::lightBitrate);
                if (!aac.encoder || !ogg.encoder) {
                    std::printf("light stream: no encoder (%s)\n",
                                ogg.error.value_or("AAC at the light bit rate").c_str());
                    std::exit(1);
                }
                Bytes aacOut, pages;
                feed(
                    [&](auto block) {
                        aacTime -= cpuSeconds();
                        aac.encoder->encode(block, aacOut);
                        aacTime += cpuSeconds();
                        opusTime -= cpuSeconds();
                        ogg.encoder->encode(block);
                        opusTime += cpuSeconds();
                    },
                    [&] {
                        lightBytes += std::exchange(aacOut, Bytes()).size();
                        opusTime -= cpuSeconds();
                        ogg.encoder->flush(pages);
                        opusTime += cpuSeconds();
                        opusBytes += std::exchange(pages, Bytes()).size();
                    });
            }));
            lightAAC.push_back(aacTime);
            opus.push_back(opusTime);
        }
        const auto median = [](std::vector<double> values) {
            std::sort(values.begin(), values.end());
            return values[values.size() / 2];
        };
        const double fullTime = median(full), lightTime = median(light);
        const double ratio = lightTime / fullTime;
        std::printf("full stream (AAC %d kbit/s, %.1f kbit/s out): median %.3f s of CPU for %.0f s "
                    "of audio\n",
                    StationConfig::bitrate / 1000, fullBytes * 8 / seconds / 1000, fullTime,
                    seconds);
        std::printf("light stream (AAC %.1f kbit/s out, %.3f s; Opus in Ogg %.1f kbit/s out, "
                    "%.3f s): median %.3f s of CPU together\n",
                    lightBytes * 8 / seconds / 1000, median(lightAAC),
                    opusBytes * 8 / seconds / 1000, median(opus), lightTime);
        std::printf("light / full: %.2f (target <= 0.5, medians of %d runs): %s\n", ratio,
                    lightRuns, ratio <= 0.5 ? "PASS" : "FAIL");
        return ratio <= 0.5 ? 0 : 1;
    }
}
