#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fuzz/FuzzTarget.h"

namespace qm::fuzz {

struct ReplayResult {
    std::map<std::string, std::size_t> inputsPerTarget;
    // Things that would let a saved input go unrun: a folder that names no target, an unreadable file.
    std::vector<std::string> problems;
};

// Runs every file below `root/<target name>/` (sub-folders included, in name order) through that
// target. Plain files directly in `root` (a README) are left alone. A target that finds a fault
// stops the process, as it does under libFuzzer.
ReplayResult replayDirectory(const std::filesystem::path& root, const std::map<std::string, TargetFunction>& targets);

}  // namespace qm::fuzz
