// Speed and steady-state allocations of the AAC encoder on 48 kHz stereo.
// Prints the real-time factor (seconds of audio encoded per CPU second) of
// each run and their median, and how many heap allocations one encode() call
// makes once the encoder has warmed up, split into ours and the library's.
//
//   encoder [runs = 7] [seconds of audio per run = 60]

#include "core/station/audio_path.h"
#include "core/stream/aac_encoder.h"

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
}
