#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qm {

struct ProcessResult {
    int exitStatus = -1;   // the program's exit code; -1 when it was killed or ended by a signal
    std::string output;    // what it wrote to standard output (at most `maxOutput` bytes)
    bool finished = false;  // it closed its output and ended within the time allowed
};

// Runs a program without a shell: `arguments[0]` is its path (searched in PATH when it has no
// slash), `input` goes to its standard input, standard error is discarded. A program still
// running when `timeout` passes, or after printing `maxOutput` bytes, is killed. Nothing when
// it could not be started.
std::optional<ProcessResult> runProcess(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                                        const std::string& input = {}, std::size_t maxOutput = 64 * 1024);

}  // namespace qm
