#pragma once

#include <QCoro/QCoroFuture>
#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <type_traits>

namespace lantern {

// Runs keychain work off the caller's thread: one worker takes the jobs one
// at a time in the order they were given (so a read after a write sees it),
// and the caller awaits the result. A Secret Service that hangs, or that asks
// the user to unlock it, then holds up only the worker, never the panel.
class SecretStore {
public:
    static SecretStore& shared();

    // Await the returned future; keep the job in a variable of its own
    // before co_await (g++ 12 mishandles temporaries inside co_await).
    template <typename Job> QFuture<std::invoke_result_t<Job>> run(Job job) {
        return QtConcurrent::run(pool_, std::move(job));
    }

private:
    SecretStore();
    QThreadPool* pool_;
};

} // namespace lantern
