#include "core/system/log.h"

#include <cstdio>
#include <mutex>

namespace lantern {

namespace {

std::mutex mutex;
LogSink& sink() {
    static LogSink installed;
    return installed;
}

} // namespace

void logLine(std::string_view line) {
    std::lock_guard lock(mutex);
    if (const auto& to = sink()) return to(line);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
}

void setLogSink(LogSink replacement) {
    std::lock_guard lock(mutex);
    sink() = std::move(replacement);
}

} // namespace lantern
