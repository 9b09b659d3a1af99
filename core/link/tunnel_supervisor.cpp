#include "link/tunnel_supervisor.h"

#include "stream/text.h"
#include "system/child_process.h"

#include <array>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <csignal>
#include <future>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace lantern {

namespace {

constexpr std::string_view scheme = "https://";
constexpr std::string_view domain = ".trycloudflare.com";

bool isLabelCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isAsciiAlphanumeric(char c) {
    return isLabelCharacter(c) || (c >= 'A' && c <= 'Z');
}

// Whether the text after a matched URL carries it on (a longer host name, a
// port, a path, a query...), which would make the match only part of a URL.
bool continuesURL(std::string_view rest) {
    if (rest.empty()) return false;
    const char next = rest.front();
    if (next == '.') return rest.size() > 1 && (isAsciiAlphanumeric(rest[1]) || rest[1] == '-');
    return isAsciiAlphanumeric(next) ||
           std::string_view("-_~:/?#@%").find(next) != std::string_view::npos;
}

// Length of "label(-label)+" at the start of `text`, or 0.
std::size_t hostLabelLength(std::string_view text) {
    std::size_t at = 0, groups = 0;
    for (;;) {
        const auto start = at;
        while (at < text.size() && isLabelCharacter(text[at]))
            ++at;
        if (at == start) return 0; // an empty group: no dash may end the label
        ++groups;
        if (at < text.size() && text[at] == '-' && at + 1 < text.size() &&
            isLabelCharacter(text[at + 1])) {
            ++at;
            continue;
        }
        return groups >= 2 ? at : 0;
    }
}

} // namespace

std::optional<std::string> tunnelURL(std::string_view line) {
    for (auto found = line.find(scheme); found != std::string_view::npos;
         found = line.find(scheme, found + 1)) {
        const auto afterScheme = line.substr(found + scheme.size());
        const auto label = hostLabelLength(afterScheme);
        if (label == 0 || !afterScheme.substr(label).starts_with(domain)) continue;
        const auto length = scheme.size() + label + domain.size();
        if (continuesURL(line.substr(found + length))) continue;
        return std::string(line.substr(found, length));
    }
    return std::nullopt;
}

namespace {

// Bytes of the tool's standard error cut into lines at line feeds. A line
// that no line feed ends keeps at most `limit` bytes; the rest is dropped.
class LineBuffer {
public:
    static constexpr std::size_t limit = 64 * 1024;

    std::vector<std::string> add(std::string_view bytes) {
        std::vector<std::string> lines;
        for (auto feed = bytes.find('\n'); feed != std::string_view::npos;
             feed = bytes.find('\n')) {
            keep(bytes.substr(0, feed));
            lines.push_back(decodeUtf8Lossy(buffer_));
            buffer_.clear();
            bytes.remove_prefix(feed + 1);
        }
        keep(bytes);
        return lines;
    }

private:
    void keep(std::string_view bytes) {
        buffer_.append(bytes.substr(0, std::min(bytes.size(), limit - buffer_.size())));
    }

    std::string buffer_;
};

int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Waits for a child that outlives its supervisor, so it never stays a zombie.
void reapLater(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

} // namespace

class TunnelSupervisor::Impl {
public:
    Impl(std::string executable, std::vector<std::string> arguments, std::vector<Seconds> backoff,
         std::function<void(std::string)> onURL, std::function<void()> onDown)
        : executable_(std::move(executable)), arguments_(std::move(arguments)),
          backoff_(backoff.empty() ? std::vector<Seconds>{Seconds(1.0)} : std::move(backoff)),
          onURL_(std::move(onURL)), onDown_(std::move(onDown)), relaunch_(io_), thread_([this] {
              pthread_setname_np(pthread_self(), "lantern.tunnel");
              io_.run();
          }) {}

    ~Impl() {
        work_.reset();
        io_.stop();
        thread_.join();
        // The thread has ended: what is left is ours alone. Descriptors close
        // with their objects; children still alive are reaped when they exit.
        for (auto& child : children_) {
            child->exitWatch.close();
            reapLater(child->pid);
        }
        readers_.clear();
    }

    void start() {
        asio::post(io_, [this] {
            stopped_ = false;
            failures_ = 0;
            launch();
        });
    }

    void stop() {
        if (io_.get_executor().running_in_this_thread()) return stopHere();
        std::promise<void> done;
        asio::post(io_, [this, &done] {
            stopHere();
            done.set_value();
        });
        done.get_future().wait();
    }

private:
    struct Child {
        explicit Child(asio::io_context& io) : exitWatch(io) {}
        pid_t pid = 0;
        asio::posix::stream_descriptor exitWatch; // the child's pidfd
        bool current = true;                      // not yet stopped or ended
    };

    struct Reader {
        explicit Reader(asio::io_context& io) : pipe(io) {}
        asio::posix::stream_descriptor pipe;
        LineBuffer lines;
        std::array<char, 4096> chunk{};
        std::uint64_t launch = 0;
    };

    void stopHere() {
        stopped_ = true;
        relaunch_.cancel();
        if (current_) {
            // The exit no longer counts as a failure: from here on the watch
            // only reaps the child.
            current_->current = false;
            ::kill(current_->pid, SIGTERM);
            current_ = nullptr;
        }
    }

    void launch() {
        if (stopped_) return;
        ++launch_;
        // Only standard error is read; the child holds none of our descriptors.
        std::vector<std::string> argv{executable_};
        argv.insert(argv.end(), arguments_.begin(), arguments_.end());
        ChildOptions options;
        options.pipeError = true;
        const auto started = startChild(argv, options);
        if (started.pid < 0) return failed();
        const pid_t pid = started.pid;

        auto reader = std::make_shared<Reader>(io_);
        reader->pipe.assign(started.error);
        reader->launch = launch_;
        readers_.push_back(reader);
        read(reader);

        auto child = std::make_shared<Child>(io_);
        child->pid = pid;
        const int pidfd = pidfdOpen(pid);
        if (pidfd >= 0) child->exitWatch.assign(pidfd);
        children_.push_back(child);
        current_ = child.get();
        watchExit(child);
    }

    void read(const std::shared_ptr<Reader>& reader) {
        reader->pipe.async_read_some(
            asio::buffer(reader->chunk), [this, reader](std::error_code error, std::size_t size) {
                if (error) {
                    // End of file (or the supervisor is going): a partial last line
                    // is dropped unexamined.
                    std::erase(readers_, reader);
                    return;
                }
                for (const auto& line :
                     reader->lines.add(std::string_view(reader->chunk.data(), size)))
                    if (auto url = tunnelURL(line)) deliver(reader->launch, std::move(*url));
                read(reader);
            });
    }

    void deliver(std::uint64_t launch, std::string url) {
        // A URL from an earlier child (one stopped before the last start) is
        // not the tunnel that is up now.
        if (stopped_ || launch != launch_) return;
        failures_ = 0;
        onURL_(std::move(url));
    }

    void watchExit(const std::shared_ptr<Child>& child) {
        if (!child->exitWatch.is_open()) {
            // No pidfd (very old kernel): poll for the exit instead.
            auto poll = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(200));
            poll->async_wait([this, child, poll](std::error_code error) {
                if (error) return;
                int status = 0;
                if (::waitpid(child->pid, &status, WNOHANG) == 0) return watchExit(child);
                exited(child);
            });
            return;
        }
        child->exitWatch.async_wait(
            asio::posix::stream_descriptor::wait_read, [this, child](std::error_code error) {
                if (error) return;
                int status = 0;
                while (::waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
                }
                exited(child);
            });
    }

    void exited(const std::shared_ptr<Child>& child) {
        std::erase(children_, child);
        if (!child->current) return; // stopped: reaped, nothing to report
        if (current_ == child.get()) current_ = nullptr;
        if (stopped_) return;
        failed();
    }

    // The child ended on its own or could not start: tell, and try again later.
    void failed() {
        onDown_();
        if (stopped_) return; // onDown must not stop us, but be safe if it did
        const auto delay = backoff_[std::min(failures_, backoff_.size() - 1)];
        ++failures_;
        relaunch_.expires_after(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay));
        relaunch_.async_wait([this](std::error_code error) {
            if (!error) launch();
        });
    }

    std::string executable_;
    std::vector<std::string> arguments_;
    const std::vector<Seconds> backoff_;
    const std::function<void(std::string)> onURL_;
    const std::function<void()> onDown_;

    asio::io_context io_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
    asio::steady_timer relaunch_;
    bool stopped_ = true;
    std::size_t failures_ = 0;
    std::uint64_t launch_ = 0;
    Child* current_ = nullptr;                     // the running child, if any
    std::vector<std::shared_ptr<Child>> children_; // every child not yet reaped
    std::vector<std::shared_ptr<Reader>> readers_; // every pipe not yet at its end
    std::thread thread_;
};

TunnelSupervisor::TunnelSupervisor(std::string executable, std::vector<std::string> arguments,
                                   std::vector<Seconds> backoff,
                                   std::function<void(std::string)> onURL,
                                   std::function<void()> onDown)
    : impl_(std::make_unique<Impl>(std::move(executable), std::move(arguments), std::move(backoff),
                                   std::move(onURL), std::move(onDown))) {}

TunnelSupervisor::~TunnelSupervisor() = default;

void TunnelSupervisor::start() {
    impl_->start();
}

void TunnelSupervisor::stop() {
    impl_->stop();
}

} // namespace lantern
