#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lantern {

struct TunnelOptions {
    // Give the tool a metrics server ("--metrics 127.0.0.1:PORT", a port free
    // at each launch) and take the tunnel's name from it; the log's
    // announcement is the fallback for a tool that does not offer it.
    bool metrics = false;
    // How long the log's URL waits for the metrics server's answer.
    std::chrono::milliseconds metricsGrace{2000};
    // "NAME=value" entries for the tool's environment (a secret it reads
    // there stays out of the process list).
    std::vector<std::string> environment;
    // A tunnel whose public URL is known beforehand (one the user set up):
    // reported for each launch that has stayed up `fixedAfter`, never read
    // from the tool.
    std::optional<std::string> fixedURL;
    std::chrono::milliseconds fixedAfter{3000};
    // Told the running child's pid at each launch, and 0 once it is no
    // longer the tunnel (ended or stopped), before it is reaped.
    std::function<void(pid_t)> onChild;
};

// Runs the tunnel tool as a child process, reports the public URL of each
// launch (at most one: the tool's own announcement, see TunnelAnnouncement,
// the name its metrics server gives, or the URL known beforehand once the
// launch has stayed up), and starts it again after a growing
// delay whenever it ends or cannot be started, until stop().
//
// Everything runs on the supervisor's own thread ("lantern.tunnel"); both
// callbacks are called there and must not call stop().
class TunnelSupervisor {
public:
    using Seconds = std::chrono::duration<double>;

    using Options = TunnelOptions;

    // An empty `backoff` means one second before every restart.
    TunnelSupervisor(std::string executable, std::vector<std::string> arguments,
                     std::vector<Seconds> backoff, std::function<void(std::string url)> onURL,
                     std::function<void()> onDown, Options options = {});
    // Closes every descriptor the supervisor holds. A running child is not
    // sent SIGTERM (call stop() for that) but gets SIGKILL as the supervisor's
    // thread, which started it, ends; it is reaped.
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
