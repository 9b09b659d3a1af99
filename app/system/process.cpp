#include "system/process.h"

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace lantern {

void prepareProcess() {
    // The tunnel's token, the passcode and the relay's password pass through
    // many buffers here (Qt's strings, the server's copies, the relay's
    // header): a core dump of this process would hold them all, readable by
    // whoever reads the dump. Not dumpable, no core is written, and no other
    // process of the user's may attach to read this one's memory.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
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
