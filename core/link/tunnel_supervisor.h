#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lantern {

// The public URL in one line of the tunnel tool's log: the first
// "https://" + two or more groups of lowercase letters and digits joined by
// single dashes + ".trycloudflare.com" that does not go on as a longer host,
// a port or a path.
std::optional<std::string> tunnelURL(std::string_view logLine);

// Runs the tunnel tool as a child process, reports each public URL its log
// shows, and starts it again after a growing delay whenever it ends or cannot
// be started, until stop().
//
// Everything runs on the supervisor's own thread ("lantern.tunnel"); both
// callbacks are called there and must not call stop().
class TunnelSupervisor {
public:
    using Seconds = std::chrono::duration<double>;

    // An empty `backoff` means one second before every restart.
    TunnelSupervisor(std::string executable, std::vector<std::string> arguments,
                     std::vector<Seconds> backoff, std::function<void(std::string url)> onURL,
                     std::function<void()> onDown);
    // Does not end a running child (call stop() for that) but closes every
    // descriptor the supervisor holds; a child still alive is reaped when it exits.
    ~TunnelSupervisor();
    TunnelSupervisor(const TunnelSupervisor&) = delete;
    TunnelSupervisor& operator=(const TunnelSupervisor&) = delete;

    // Starts the child (asynchronously). Once after creation or after stop().
    void start();
    // Returns once the supervisor has stopped: the child got SIGTERM and is
    // forgotten (it is still reaped), nothing more is reported or relaunched.
    void stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace lantern
