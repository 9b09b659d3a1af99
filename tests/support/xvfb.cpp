#include "support/xvfb.h"

#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <unistd.h>

extern char** environ;

namespace lantern::test {

// -noreset: the server must not restart (refusing connections) when its last
// client goes.
pid_t startXvfb(QString& name) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 3);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"Xvfb", "-displayfd", "3", "-noreset",   "-nolisten",
                          "tcp",  "-screen",    "0", "640x480x24", nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    std::string number;
    for (char c; ::read(pipe[0], &c, 1) == 1 && c != '\n';)
        number += c;
    ::close(pipe[0]);
    name = ":" + QString::fromStdString(number);
    return number.empty() ? -1 : pid;
}

} // namespace lantern::test
