#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lantern {

// How a child is started: with an explicit argument vector (never a shell),
// standard input from /dev/null unless `input` is given, only descriptors 0, 1
// and 2 open whatever this process holds (its listening socket, its listeners'
// sockets, pipes of other children), default signal handling and no signal
// blocked; it is killed when the thread that started it ends, and so when
// this process ends, however it ends.
struct ChildOptions {
    bool searchPath = false; // look argv[0] up on PATH when it has no slash
    bool pipeOutput = false; // standard output to a pipe (else /dev/null)
    bool pipeError = false;  // standard error to a pipe (else /dev/null)
    int outputTo = -1;       // standard output and error to this descriptor (a terminal, say)
    std::optional<std::string> input{};     // written to standard input, which is then closed
    std::vector<std::string> environment{}; // "NAME=value" entries replacing inherited ones
    // The child leads a process group of its own, which runChild ends whole
    // (the child's own children too) once the child has ended or overstayed.
    bool ownGroup = false;
};

struct Child {
    pid_t pid = -1;  // -1 when it could not be started
    int output = -1; // reading ends of the pipes asked for (close-on-exec; the caller closes them)
    int error = -1;
    int failure = 0; // the errno of a failed start
};

Child startChild(const std::vector<std::string>& arguments, const ChildOptions& options = {});

struct ChildResult {
    int status = -1; // exit status, or -1 when it did not exit normally or in time
    std::string output;
    std::string error;
};

// Runs a child to its end, gathering what it writes; kills it (SIGKILL) and
// reaps it when it outlives `limit`.
ChildResult runChild(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
                     ChildOptions options = {});

} // namespace lantern
