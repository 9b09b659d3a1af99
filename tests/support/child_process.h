#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace lantern::test {

struct ProgramResult {
    int status = -1; // exit status, or -1 when it did not exit normally in time
    std::string output;
    std::string error;
};

// Runs a program (found on PATH) with an explicit argument vector and no
// input, gathering what it writes; kills it if it outlives `limit`.
ProgramResult runProgram(const std::vector<std::string>& arguments,
                         std::chrono::seconds limit = std::chrono::seconds(60));

} // namespace lantern::test
