// The replay driver runs every saved input, and a saved crash fails the run: a reproducer that is
// silently skipped would let a fixed fault come back unnoticed.
#include <gtest/gtest.h>

#include <fstream>

#include "fuzz/Replay.h"
#include "support/TestPlatform.h"

namespace ReplayTests {

using namespace qm;
using namespace qm::fuzz;

namespace {

void write(const std::filesystem::path& file, const std::string& content) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

}  // namespace

TEST(FuzzReplay, RunsEverySavedInputThroughItsTargetAndReportsStrayFolders) {
    test::TemporaryDirectory root;
    write(root.path() / "README.md", "not an input");
    write(root.path() / "alpha" / "crash-1", "one");
    write(root.path() / "alpha" / "found-2024" / "slow-unit", "two");
    write(root.path() / "beta" / "empty", "");
    write(root.path() / "gamma" / "typo", "three");

    std::vector<std::string> alpha;
    std::vector<std::string> beta;
    const std::map<std::string, TargetFunction> targets{
        {"alpha", [&](std::span<const std::uint8_t> d) { alpha.emplace_back(d.begin(), d.end()); }},
        {"beta", [&](std::span<const std::uint8_t> d) { beta.emplace_back(d.begin(), d.end()); }},
        {"unused", [](std::span<const std::uint8_t>) {}},
    };
    const auto result = replayDirectory(root.path(), targets);

    EXPECT_EQ(alpha, (std::vector<std::string>{"one", "two"})) << "sub-folders included, in name order";
    EXPECT_EQ(beta, std::vector<std::string>{""}) << "an empty input is an input";
    EXPECT_EQ(result.inputsPerTarget.at("alpha"), 2u);
    ASSERT_EQ(result.problems.size(), 1u);
    EXPECT_NE(result.problems[0].find("gamma"), std::string::npos) << "a misnamed folder must not pass unnoticed";

    EXPECT_EQ(replayDirectory(root.path() / "missing", targets).problems.size(), 1u);
}

TEST(FuzzReplayDeathTest, ASavedCrashStopsTheRunWithThePropertyThatFailed) {
    test::TemporaryDirectory root;
    write(root.path() / "strict" / "crash-abc", "bad");
    const std::map<std::string, TargetFunction> targets{{"strict", [](std::span<const std::uint8_t> d) {
        QM_FUZZ_CHECK(d.size() != 3, "three bytes are not allowed");
    }}};
    EXPECT_DEATH(replayDirectory(root.path(), targets), "fuzz property failed: d.size\\(\\) != 3 \\(three bytes");
}

}  // namespace ReplayTests
