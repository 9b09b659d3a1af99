#include "core/system/child_process.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <string_view>
#include <sys/prctl.h>
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

// The first file of that name in a folder of PATH that may be run.
std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
    while (!folders.empty()) {
        const auto end = folders.find(':');
        const auto folder = folders.substr(0, end);
        auto candidate = std::string(folder.empty() ? "." : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string_view::npos) break;
        folders.remove_prefix(end + 1);
    }
    return name;
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
    // Found on PATH here: between fork and exec the child may only make
    // system calls.
    std::string program = arguments.front();
    if (options.searchPath && program.find('/') == std::string::npos) program = onPath(program);

    // Where the child says why exec failed; it closes by itself on success.
    std::array<int, 2> report{-1, -1};
    if (::pipe2(report.data(), O_CLOEXEC) != 0) return fail(errno);
    const pid_t parent = ::getpid();
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    child.pid = ::fork();
    if (child.pid == 0) {
        const auto die = [&] {
            const int why = errno;
            [[maybe_unused]] const auto told = ::write(report[1], &why, sizeof why);
            ::_exit(127);
        };
        // The child ends with the station however the station ends (a kill
        // -9 included): the kernel sends it SIGKILL when its parent goes, and
        // a parent gone before that was asked for is noticed here.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) die();
        if (::getppid() != parent) ::_exit(127);
        if (options.ownGroup && ::setpgid(0, 0) != 0) die();
        const int outputTo = options.outputTo >= 0 ? options.outputTo : devNull;
        if (::dup2(in[0] >= 0 ? in[0] : devNull, 0) < 0 ||
            ::dup2(out[1] >= 0 ? out[1] : outputTo, 1) < 0 ||
            ::dup2(err[1] >= 0 ? err[1] : outputTo, 2) < 0)
            die();
        // Whatever else is open here (sockets, other pipes, descriptors
        // another thread opened without close-on-exec) stays here; the
        // report pipe closes only with the exec.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            const auto kept = static_cast<unsigned>(report[1]);
            if (kept > 3) ::close_range(3, kept - 1, 0);
            ::close_range(kept + 1, ~0U, 0);
        }
        // Default signal handling, nothing blocked.
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            ::sigaction(signal, &standard, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        die();
    }
    if (devNull >= 0) ::close(devNull);
    ::close(report[1]);
    int why = child.pid < 0 ? errno : 0;
    if (child.pid > 0) {
        ssize_t got = 0;
        while ((got = ::read(report[0], &why, sizeof why)) < 0 && errno == EINTR) {
        }
        if (got != sizeof why) why = 0; // closed unwritten: the program runs
    }
    ::close(report[0]);
    if (why != 0) {
        if (child.pid > 0) {
            int status = 0;
            while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        child.pid = -1;
        return fail(why);
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
    // Until it is reaped the child's pid names its group, so this cannot
    // reach anyone else's.
    if (options.ownGroup) ::kill(-child.pid, SIGKILL);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

} // namespace lantern
