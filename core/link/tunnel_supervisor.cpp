#include "core/link/tunnel_supervisor.h"

#include "core/link/tunnel_log.h"
#include "core/link/tunnel_metrics.h"
#include "core/system/child_process.h"

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
#include <system_error>
#include <thread>
#include <unistd.h>

namespace lantern {

namespace {

int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Waits for a child that outlives its supervisor, so it never stays a zombie.
void reapLater(pid_t pid) noexcept {
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: reap it if it is done, else leave it to init
        // once this process ends.
        int status = 0;
        ::waitpid(pid, &status, WNOHANG);
    }
}

} // namespace

class TunnelSupervisor::Impl {
public:
    Impl(std::string executable, std::vector<std::string> arguments, std::vector<Seconds> backoff,
         std::function<void(std::string)> onURL, std::function<void()> onDown, Options options)
        : executable_(std::move(executable)), arguments_(std::move(arguments)),
          backoff_(backoff.empty() ? std::vector<Seconds>{Seconds(1.0)} : std::move(backoff)),
          onURL_(std::move(onURL)), onDown_(std::move(onDown)), options_(std::move(options)),
          relaunch_(io_), poll_(io_), thread_([this] {
              pthread_setname_np(pthread_self(), "lantern.tunnel");
              io_.run();
          }) {}

    ~Impl() {
        work_.reset();
        io_.stop();
        try {
            thread_.join();
        } catch (const std::system_error&) {
            // Only a join from the thread itself fails; no callback ends the supervisor.
        }
        // The thread has ended: what is left is ours alone. Descriptors close
        // with their objects; children still alive are reaped when they exit.
        for (auto& child : children_) {
            asio::error_code ignored;
            child->exitWatch.close(ignored);
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
        TunnelAnnouncement announcement;
        std::array<char, 4096> chunk{};
        std::uint64_t launch = 0;
    };

    void stopHere() {
        stopped_ = true;
        relaunch_.cancel();
        poll_.cancel();
        if (current_) {
            // The exit no longer counts as a failure: from here on the watch
            // only reaps the child.
            current_->current = false;
            ::kill(current_->pid, SIGTERM);
            current_ = nullptr;
            tellChild(0);
        }
    }

    void launch() {
        if (stopped_) return;
        ++launch_;
        delivered_ = false;
        logURL_.reset();
        metricsPort_ = options_.metrics ? TunnelMetrics::freePort() : std::nullopt;
        // Only standard error is read; the child holds none of our descriptors.
        std::vector<std::string> argv{executable_};
        argv.insert(argv.end(), arguments_.begin(), arguments_.end());
        if (metricsPort_) {
            argv.emplace_back("--metrics");
            argv.push_back("127.0.0.1:" + std::to_string(*metricsPort_));
        }
        ChildOptions options;
        options.pipeError = true;
        options.environment = options_.environment;
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
        tellChild(pid);
        watchExit(child);
        polls_ = 0;
        if (metricsPort_) pollAfter(pollEvery);
        if (options_.fixedURL) {
            // The poll timer waits for the launch to stay up; an exit cancels it.
            poll_.expires_after(options_.fixedAfter);
            poll_.async_wait([this, launch = launch_](std::error_code error) {
                if (!error && launch == launch_ && current_) deliver(*options_.fixedURL);
            });
        }
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
                    if (auto url = reader->announcement.read(line))
                        announced(reader->launch, std::move(*url));
                read(reader);
            });
    }

    // The log announced the tunnel. Where the metrics server can name it, its
    // answer is awaited a little first; the log's URL is the fallback.
    void announced(std::uint64_t launch, std::string url) {
        if (launch != launch_ || delivered_ || options_.fixedURL) return;
        if (!metricsPort_) return deliver(std::move(url));
        logURL_ = std::move(url);
        logURLAt_ = std::chrono::steady_clock::now();
        polls_ = 0;
        if (!asking_) pollAfter(std::chrono::milliseconds(0));
    }

    void pollAfter(std::chrono::milliseconds delay) {
        poll_.expires_after(delay);
        poll_.async_wait([this, launch = launch_](std::error_code error) {
            if (!error && launch == launch_) askMetrics();
        });
    }

    void askMetrics() {
        if (stopped_ || delivered_ || !metricsPort_ || !current_) return;
        asking_ = true;
        TunnelMetrics::ask(io_, *metricsPort_, current_->pid, std::chrono::milliseconds(1000),
                           [this, launch = launch_](TunnelMetrics::Answer answer) {
                               asking_ = false;
                               if (stopped_ || delivered_ || launch != launch_ || !current_) return;
                               using Kind = TunnelMetrics::Answer::Kind;
                               if (answer.kind == Kind::url) return deliver(std::move(answer.url));
                               if (answer.kind == Kind::notOffered) {
                                   // An older tool, or a port someone else holds: the log tells.
                                   metricsPort_.reset();
                                   if (logURL_) deliver(std::move(*logURL_));
                                   return;
                               }
                               if (logURL_ && std::chrono::steady_clock::now() - logURLAt_ >=
                                                  options_.metricsGrace)
                                   return deliver(std::move(*logURL_));
                               if (++polls_ < maxPolls || logURL_) pollAfter(pollEvery);
                           });
    }

    void tellChild(pid_t pid) {
        if (options_.onChild) options_.onChild(pid);
    }

    // The one URL of the current launch.
    void deliver(std::string url) {
        if (stopped_ || delivered_) return;
        delivered_ = true;
        poll_.cancel();
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
                if (current_ == child.get()) tellChild(0);
                exited(child);
            });
            return;
        }
        child->exitWatch.async_wait(
            asio::posix::stream_descriptor::wait_read, [this, child](std::error_code error) {
                if (error) return;
                if (current_ == child.get()) tellChild(0); // before its pid can be reused
                int status = 0;
                while (::waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
                }
                exited(child);
            });
    }

    void exited(const std::shared_ptr<Child>& child) {
        std::erase(children_, child);
        if (!child->current) return; // stopped: reaped, nothing to report
        if (current_ == child.get()) {
            current_ = nullptr;
            poll_.cancel(); // a URL held for the metrics' answer went with the tunnel
        }
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
    const Options options_;

    // The metrics server is asked this often, at most this many times before
    // the log has announced the tunnel.
    static constexpr std::chrono::milliseconds pollEvery{250};
    static constexpr int maxPolls = 240;

    asio::io_context io_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
    asio::steady_timer relaunch_;
    asio::steady_timer poll_;
    bool stopped_ = true;
    std::size_t failures_ = 0;
    std::uint64_t launch_ = 0;
    // The current launch: whether its URL has been told, the metrics port it
    // was given (none when not asked, or not offered), the log's URL held for
    // the metrics' answer.
    bool delivered_ = false;
    std::optional<std::uint16_t> metricsPort_;
    std::optional<std::string> logURL_;
    std::chrono::steady_clock::time_point logURLAt_;
    int polls_ = 0;
    bool asking_ = false;
    Child* current_ = nullptr;                     // the running child, if any
    std::vector<std::shared_ptr<Child>> children_; // every child not yet reaped
    std::vector<std::shared_ptr<Reader>> readers_; // every pipe not yet at its end
    std::thread thread_;
};

TunnelSupervisor::TunnelSupervisor(std::string executable, std::vector<std::string> arguments,
                                   std::vector<Seconds> backoff,
                                   std::function<void(std::string)> onURL,
                                   std::function<void()> onDown, Options options)
    : impl_(std::make_unique<Impl>(std::move(executable), std::move(arguments), std::move(backoff),
                                   std::move(onURL), std::move(onDown), std::move(options))) {}

TunnelSupervisor::~TunnelSupervisor() = default;

void TunnelSupervisor::start() {
    impl_->start();
}

void TunnelSupervisor::stop() {
    impl_->stop();
}

} // namespace lantern
