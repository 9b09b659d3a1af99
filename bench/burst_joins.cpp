// What a crowd joining at once costs in memory: 2,000 listeners join the
// fan-out between two publishes, with a full burst (168,000 bytes) waiting,
// and nobody reads. Prints the resident memory they add, beside the same
// crowd joining one per publish (each then gets a burst of its own).
//
//   burst_joins [listeners = 2000]

#include "core/config/station_config.h"
#include "core/stream/fanout.h"
#include "core/stream/http.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace lantern;

namespace {

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

Chunk frame(std::uint8_t fill) {
    return Chunk(Bytes(560, fill)); // one AAC frame at 192 kbit/s
}

// Resident KiB added by `count` listeners joining, a publish before each
// `every`-th join.
long joining(int count, int every) {
    Fanout fanout(StationConfig::burstBytes, StationConfig::perListenerLimit);
    for (int i = 0; i < StationConfig::burstBytes / 560 + 1; ++i)
        fanout.publish(frame(static_cast<std::uint8_t>(i)));
    std::vector<std::shared_ptr<Listener>> listeners;
    listeners.reserve(static_cast<std::size_t>(count));
    const auto before = residentKiB();
    for (int i = 0; i < count; ++i) {
        if (i % every == 0) fanout.publish(frame(1));
        listeners.push_back(fanout.join(std::nullopt));
    }
    return residentKiB() - before;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const auto one = joining(1, 1);
    const auto together = joining(count, count);
    const auto apart = joining(count, 1);
    std::printf("resident memory added by joining listeners (burst %d bytes)\n",
                StationConfig::burstBytes);
    std::printf("  1 listener:                          %8ld KiB\n", one);
    std::printf("  %d listeners between two publishes: %8ld KiB\n", count, together);
    std::printf("  %d listeners, a publish before each: %7ld KiB\n", count, apart);
}
