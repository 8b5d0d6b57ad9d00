// Runs the seed inputs of every fuzz target, then every saved input and crash reproducer in the
// folders named on the command line, without libFuzzer. Built by any compiler as part of the
// tests; a fault stops it with the failing property on stderr.
#include <cstdio>

#include "fuzz/Replay.h"
#include "fuzz/Seeds.h"

int main(int argc, char** argv) {
    using namespace qm::fuzz;
    const auto& targets = registeredTargets();
    int problems = 0;
    const auto seeds = makeSeeds();
    for (const auto& [name, run] : targets) {
        const auto found = seeds.find(name);
        if (found == seeds.end() || found->second.empty()) {
            std::fprintf(stderr, "fuzz target %s has no seeds\n", name.c_str());
            ++problems;
            continue;
        }
        for (const auto& input : found->second) run(input);
        std::printf("%-18s %zu seeds\n", name.c_str(), found->second.size());
    }
    for (int i = 1; i < argc; ++i) {
        const auto result = replayDirectory(argv[i], targets);
        for (const auto& [name, count] : result.inputsPerTarget)
            std::printf("%-18s %zu saved inputs from %s\n", name.c_str(), count, argv[i]);
        for (const auto& problem : result.problems) std::fprintf(stderr, "%s\n", problem.c_str());
        problems += static_cast<int>(result.problems.size());
    }
    return problems == 0 ? 0 : 1;
}
