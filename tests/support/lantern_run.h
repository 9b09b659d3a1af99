// Programs the tests run as a user runs them, their standard output read line
// by line: lantern-fm, and the address service.
#pragma once

#include "core/link/tunnel_log.h"
#include "core/system/child_process.h"
#include "support/reserved_port.h"

#include <QTemporaryDir>
#include <functional>
#include <nlohmann/json.hpp>

namespace lantern::test {

// A running program whose standard output is a pipe (or a terminal) read
// line by line; ended when destroyed.
class ProgramRun {
public:
    ProgramRun() = default;
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    pid_t pid() const { return pid_; }
    // Ends it now (SIGTERM, then SIGKILL).
    void end();
    void closeOutput();
    // The first line beginning with `prefix` (without it), waiting at most `wait`.
    std::optional<std::string> line(const std::string& prefix,
                                    std::chrono::seconds wait = std::chrono::seconds(20));
    // The lines beginning with `prefix` (without it), once there are
    // `atLeast` of them or `wait` has passed.
    std::vector<std::string> lines(const std::string& prefix, std::size_t atLeast = 0,
                                   std::chrono::seconds wait = std::chrono::seconds(0));
    // Sends `signal` and waits for the exit status (-1 when it did not exit).
    int stop(int signal);
    // Waits for it to end by itself; the exit status, or -1.
    int exitStatus(std::chrono::seconds wait);

protected:
    // Starts `arguments` with `environment` added, its output to a pipe, or
    // to a terminal of its own.
    void start(const std::vector<std::string>& arguments, std::vector<std::string> environment,
               bool terminal = false);

private:
    pid_t pid_ = -1;
    int output_ = -1;
    LineBuffer pending_;
    std::vector<std::string> lines_;
};

// A running lantern-fm (with "--headless" unless told otherwise) with its
// settings and data under `home` and the stand-in tunnel tool.
class LanternRun : public ProgramRun {
public:
    struct Options {
        bool headless = true;
        bool terminal = false;
        std::vector<std::string> under = {}; // a program it runs under (prlimit, say)
        std::string cloudflared = FAKE_CLOUDFLARED;
        std::vector<std::string> environment = {}; // more "NAME=value" entries
        // Where the link's self-check asks: the stand-in tool's public side
        // (open from the start) unless given.
        std::string linkCheck = {};
        bool sessionBus = false;   // headless on the test's bus (players' titles), not off it
        std::string passcode = {}; // its passcode, kept before it starts
        std::function<void(const QTemporaryDir& home)> prepare = {}; // more set-up first
    };
    LanternRun(const QTemporaryDir& home, std::vector<std::string> arguments, Options options);
    LanternRun(const QTemporaryDir& home, std::vector<std::string> arguments)
        : LanternRun(home, std::move(arguments), Options()) {}
    // Ends it, and the stand-in tunnel tools it left running (a station
    // killed outright cannot end its own).
    ~LanternRun();

    // Runs lantern-fm once in `home`, off the bus, with `input` (a line) on
    // its standard input, as "--set-relay=URL" or "--set-tunnel=HOST" is run.
    static ChildResult once(const QTemporaryDir& home, const std::string& argument,
                            const std::string& input);
    // The local port from "listen locally: http://127.0.0.1:PORT/".
    std::uint16_t port();
    // The stand-in tunnel's public side on 127.0.0.1.
    std::uint16_t edgePort() const { return edge_.port(); }
    // The tunnel tool's starts in its home, first to last: the pid, and what
    // it was told (the address it forwards to, or "run").
    std::vector<std::pair<pid_t, std::string>> tunnels() const;

private:
    ReservedPort edge_;    // held as long as the stand-in tool may listen there
    std::string launches_; // where the stand-in tool notes each start
};

// An HTTP answer's status and its body as JSON ({} when it is not JSON).
std::pair<int, nlohmann::json> fetchJSON(std::uint16_t port, const std::string& target);

// The real address service on 127.0.0.1 at a port of its choosing, with its
// database in `folder`.
class AddressDaemon : public ProgramRun {
public:
    AddressDaemon(const QTemporaryDir& folder, std::vector<std::string> options = {});
    // Its base URL, once it listens; empty when it did not start.
    std::string base();
};

} // namespace lantern::test
