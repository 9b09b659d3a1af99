#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lantern {

// How long the captured signal has been exactly zero.
class SilenceHint {
public:
    static constexpr double after = 10.0; // seconds of zeros that count as silent

    // One buffer: its peak absolute sample and its duration in seconds.
    // Returns whether the signal now counts as silent.
    bool feed(float peak, double seconds);

    bool everHeard() const { return everHeard_; }
    double silent() const { return silent_; }

private:
    double silent_ = 0;
    bool everHeard_ = false;
};

// The status line for a source named `source` whose program is not running.
std::string notRunningLine(std::string_view source);

// The status line for a source named `source`, or nothing when all is well.
// `playing` is absent when the source does not report playback.
std::optional<std::string> silenceStatus(std::string_view source, bool running,
                                         std::optional<bool> playing, bool silent, bool everHeard);

namespace SourceWatch {
// Whether an application that has just launched is the source to capture again.
bool shouldReattach(std::string_view source, std::string_view launched);
} // namespace SourceWatch

} // namespace lantern
