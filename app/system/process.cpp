#include "system/process.h"

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace lantern {

void prepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit); // on failure the old limit simply stays
    }
}

bool outputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

} // namespace lantern
