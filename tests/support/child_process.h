#pragma once

#include "core/system/child_process.h"

#include <set>

namespace lantern::test {

// Runs a program (found on PATH) with an explicit argument vector and no
// input, gathering what it writes; kills it if it outlives `limit`.
ChildResult runProgram(const std::vector<std::string>& arguments,
                       std::chrono::seconds limit = std::chrono::seconds(60));

// Starts a program in the background with extra environment entries
// ("NAME=value", replacing inherited ones); the pid, or -1.
// `input`, when given, is what the program reads on its standard input; its
// output is discarded.
pid_t startProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment = {},
                   const std::string* input = nullptr);
// Ends a program started by startProgram: SIGTERM, then SIGKILL (and a line
// naming it) when it has not ended within 20 s.
void endProgram(pid_t pid);
// Whether a process has ended: gone, or a zombie nobody reaped yet (an
// orphan whose new parent does not reap).
bool processGone(pid_t pid);

// The TCP ports process `pid` (this one unless given) listens on (IPv4).
std::set<int> listeningPorts(pid_t pid = 0);

} // namespace lantern::test
