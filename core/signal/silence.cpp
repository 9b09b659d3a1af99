#include "core/signal/silence.h"

#include "core/config/station_config.h"

namespace lantern {

bool SilenceHint::feed(float peak, double seconds) {
    if (peak != 0.0f) {
        everHeard_ = true;
        silent_ = 0;
        return false;
    }
    silent_ += seconds;
    return silent_ >= after;
}

std::string notRunningLine(std::string_view source) {
    return std::string(source) + " isn't running";
}

std::optional<std::string> silenceStatus(std::string_view source, bool running,
                                         std::optional<bool> playing, bool silent, bool everHeard) {
    const std::string name(source);
    if (!running) return notRunningLine(name);
    if (!silent) return std::nullopt;
    if (playing == false) return name + " isn't playing";
    if (everHeard) return name + " is quiet";
    return "No sound from " + name + " \u2014 check that it plays through the default sound output";
}

bool SourceWatch::shouldReattach(std::string_view source, std::string_view launched) {
    return source != wholeComputerID && source == launched;
}

} // namespace lantern
