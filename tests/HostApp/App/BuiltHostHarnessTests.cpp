// The harness that runs the built Host as a throwaway account: it runs the Host from wherever the
// checkout lies, and a Host that cannot start is reported at once, with how it ended, instead of
// a wait for a port that never answers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/BuiltHost.h"
#include "support/TestPlatform.h"

namespace qm::test {
namespace BuiltHostHarnessTests {
namespace {

using namespace std::chrono_literals;

TEST(BuiltHostHarness, AHostInAFolderTheAccountCannotEnterRunsAndOneThatEndsAtOnceFailsWithItsStatus) {
    // A stand-in for the Host that ends at once, below a folder only its owner may enter (a
    // checkout under /root, a mktemp -d folder, a private home), itself only its owner's too (as
    // a umask of 077 builds it).
    TemporaryDirectory temp;
    ::chmod(temp.path().c_str(), 0700);
    const auto executable = temp.path() / "QuillmereHost";
    std::ofstream(executable) << "#!/bin/sh\necho \"ran as $(id -u)\"\nexit 3\n";
    ::chmod(executable.c_str(), 0700);
    std::string whyNot;
    auto host = BuiltHost::prepare(executable, whyNot);
    if (!host) GTEST_SKIP() << whyNot;

    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(host->start(120s));
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 120s) << "waited for a port of a Host that had ended";
    const auto log = host->log();
    EXPECT_NE(log.find("ran as "), std::string::npos) << log;
    EXPECT_EQ(log.find("ran as 0"), std::string::npos) << "ran as root, not as the account:\n" << log;
    EXPECT_NE(log.find("exit status 3"), std::string::npos) << log;
}

}  // namespace
}  // namespace BuiltHostHarnessTests
}  // namespace qm::test
