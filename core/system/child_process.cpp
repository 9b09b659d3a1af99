#include "core/system/child_process.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace lantern {

namespace {

// This process's environment with `changes` ("NAME=value") replacing entries
// of the same name.
std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        const auto name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const auto& change : changes)
            replaced = replaced || std::string_view(change).starts_with(name);
        if (!replaced) entries.emplace_back(text);
    }
    entries.insert(entries.end(), changes.begin(), changes.end());
    return entries;
}

void closeBoth(std::array<int, 2>& ends) {
    for (int& end : ends)
        if (end >= 0) ::close(std::exchange(end, -1));
}

} // namespace

Child startChild(const std::vector<std::string>& arguments, const ChildOptions& options) {
    Child child;
    if (arguments.empty()) {
        child.failure = EINVAL;
        return child;
    }
    std::array<int, 2> in{-1, -1}, out{-1, -1}, err{-1, -1};
    const auto fail = [&](int error) {
        closeBoth(in);
        closeBoth(out);
        closeBoth(err);
        child.failure = error;
        return child;
    };
    if (options.input && ::pipe2(in.data(), O_CLOEXEC) != 0) return fail(errno);
    if (options.pipeOutput && ::pipe2(out.data(), O_CLOEXEC) != 0) return fail(errno);
    if (options.pipeError && ::pipe2(err.data(), O_CLOEXEC) != 0) return fail(errno);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.input)
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.pipeOutput)
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else if (options.outputTo >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.outputTo, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (options.pipeError)
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    else if (options.outputTo >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.outputTo, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Whatever else is open here (sockets, other pipes, descriptors another
    // thread opened without close-on-exec) stays here.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    auto environment = environmentWith(options.environment);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int spawned =
        options.searchPath
            ? posix_spawnp(&child.pid, argv[0], &actions, &attributes, argv.data(), envp.data())
            : posix_spawn(&child.pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        child.pid = -1;
        return fail(spawned);
    }
    if (in[0] >= 0) ::close(std::exchange(in[0], -1));
    if (out[1] >= 0) ::close(std::exchange(out[1], -1));
    if (err[1] >= 0) ::close(std::exchange(err[1], -1));
    if (options.input) {
        // Small inputs only (a password, a few lines): written before the
        // child is left to itself.
        std::string_view rest(*options.input);
        while (!rest.empty()) {
            const auto written = ::write(in[1], rest.data(), rest.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) break;
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
        ::close(std::exchange(in[1], -1));
    }
    child.output = out[0];
    child.error = err[0];
    return child;
}

ChildResult runChild(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
                     ChildOptions options) {
    ChildResult result;
    options.pipeOutput = true;
    options.pipeError = true;
    const auto child = startChild(arguments, options);
    if (child.pid < 0) {
        result.error = "could not start " + arguments.front() + ": " + std::strerror(child.failure);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::array<pollfd, 2> fds{{{child.output, POLLIN, 0}, {child.error, POLLIN, 0}}};
    const std::array<std::string*, 2> sinks{&result.output, &result.error};
    int open = 2;
    bool killed = false;
    std::array<char, 65536> buffer{};
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(child.pid, SIGKILL);
            killed = true;
            break;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const auto got = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) continue;
            if (got > 0) {
                sinks[i]->append(buffer.data(), static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) ::close(fd.fd);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

} // namespace lantern
