// A password check made while the process is short of descriptors: PAM's modules then answer as
// for a wrong password, and that must never reach a Viewer as one.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "Platform/Linux/LinuxAccountService.h"
#include "support/TestUser.h"
#include "support/Sanitizers.h"

namespace AccountResourceTests {

using namespace qm;
using Outcome = PasswordCheckResult::Outcome;

namespace {

// Every descriptor this process may still open but `spare`, held until the object goes.
struct DescriptorsTaken {
    explicit DescriptorsTaken(int spare) {
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
        for (int i = 0; i < spare && !held.empty(); ++i) {
            ::close(held.back());
            held.pop_back();
        }
    }
    ~DescriptorsTaken() {
        for (const int fd : held) ::close(fd);
    }
    std::vector<int> held;
};

}  // namespace

TEST(LinuxAccountServiceResources, ARightPasswordCheckedShortOfDescriptorsIsNeverAWrongOne) {
    if (auto why = qm::test::sanitizerReasonToSkipPam(); !why.empty()) GTEST_SKIP() << "real password check skipped: " << why;
    std::string whyNot;
    auto user = test::TestUser::create(whyNot);
    if (!user) GTEST_SKIP() << "real password check skipped: " << whyNot;
    const passwd* entry = ::getpwnam(user->name().c_str());
    ASSERT_NE(entry, nullptr);
    const uid_t uid = entry->pw_uid;
    const gid_t gid = entry->pw_gid;

    // As the Host runs: as the user whose password it checks (pam_unix then asks its helper).
    // The child's exit code: 0, or the first case that went wrong.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(99);
        // A small table to fill, whatever limit the test runs under.
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 256);
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(98);
        LinuxAccountService::Options options;
        options.keepPamFailureDelay = false;
        LinuxAccountService accounts(options);
        for (int spare = 0; spare <= 24; ++spare) {
            DescriptorsTaken taken(spare);
            if (accounts.verifyPassword(user->name(), user->password()).outcome == Outcome::rejected) ::_exit(1 + spare);
        }
        // With room, the answers are the usual ones.
        if (!accounts.verifyPassword(user->name(), user->password()).isAccepted()) ::_exit(60);
        if (accounts.verifyPassword(user->name(), user->password() + "x").outcome != Outcome::rejected) ::_exit(61);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const int code = WEXITSTATUS(status);
    EXPECT_EQ(code, 0) << (code >= 1 && code <= 25 ? "the right password was refused as wrong with " +
                                                           std::to_string(code - 1) + " descriptors to spare"
                                                     : "case " + std::to_string(code));
}

}  // namespace AccountResourceTests
