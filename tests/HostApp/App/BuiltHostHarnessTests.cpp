// The harness that runs the built Host as a throwaway account: it runs the Host from wherever the
// checkout lies, a Host that cannot start is reported at once, with how it ended, instead of
// a wait for a port that never answers; and the Host it starts reads none of the machine's install.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "HostApp/App/HostAppEnvironment.h"
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

// A machine with the Host installed system-wide has a marker naming this very build (every local
// build has the same number). The harness's Host reads only the test's marker: it starts without
// the permission walk-through. The machine's folder is seen privately, written only in memory.
TEST(BuiltHostHarness, TheHostDoesNotReadTheMarkerOfTheMachinesInstall) {
    const auto machineMarker = hostInitialInstallOnboardingMarkerURL;
    std::string whyNot;
    if (!writePrivately({machineMarker.parent_path().parent_path()}, whyNot)) GTEST_SKIP() << whyNot;
    std::filesystem::create_directories(machineMarker.parent_path());
    std::ofstream(machineMarker) << hostBundleVersionString() << "\n";
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;

    ASSERT_TRUE(host->start()) << host->log();
    // Launching is over once the display details have been refreshed twice: a walk-through due
    // would have begun by then.
    ASSERT_TRUE(waitUntil([&] { return host->log().find("refresh generation=2") != std::string::npos; }, 60s))
        << host->log();
    EXPECT_EQ(host->log().find("permissions: initial install advancing"), std::string::npos) << host->log();
}

}  // namespace
}  // namespace BuiltHostHarnessTests
}  // namespace qm::test
