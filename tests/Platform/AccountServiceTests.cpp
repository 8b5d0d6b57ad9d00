#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>

#include "Platform/AccountService.h"
#include "support/TestPlatform.h"
#include "support/TestUser.h"

using namespace qm;
namespace fs = std::filesystem;
using Outcome = PasswordCheckResult::Outcome;

namespace {

void writeFile(const fs::path& path, std::string_view text,
               fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    fs::permissions(path, perms);
}

const fs::perms kExecutable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;

// AddressSanitizer binds its crypt_r interceptor at start-up; when libcrypt only arrives later
// with pam_unix, the interceptor calls a null pointer. Such a build must link libcrypt up front.
std::string sanitizerReasonToSkipPam() {
#if defined(__SANITIZE_ADDRESS__)
    void* crypt = ::dlopen("libcrypt.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (!crypt) return "this AddressSanitizer build does not load libcrypt at start-up (link it with -lcrypt)";
    ::dlclose(crypt);
#endif
    return {};
}

std::string currentUserName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? pw->pw_name : "";
}

}  // namespace

TEST(AccountService, CredentialsThatCannotBeCheckedSafelyAreRefusedUpFront) {
    EXPECT_EQ(precheckCredentials("", "pw")->outcome, Outcome::rejected);
    EXPECT_EQ(precheckCredentials("alice", "")->outcome, Outcome::rejected);
    EXPECT_EQ(precheckCredentials(std::string_view("root\0x", 6), "pw")->outcome, Outcome::rejected);
    // A C string would end at the NUL and check only "right".
    EXPECT_EQ(precheckCredentials("alice", std::string_view("right\0wrong", 11))->outcome, Outcome::rejected);
    EXPECT_FALSE(precheckCredentials("alice", "pw"));
    EXPECT_EQ(precheckCredentials("alice", "")->reason.find("pw"), std::string::npos);
}

TEST(AccountService, DisplayNameAndLogindTextParsing) {
    EXPECT_EQ(displayNameFromGecos("Alice Example,Room 1,555,", "alice"), "Alice Example");
    EXPECT_EQ(displayNameFromGecos("Bob", "bob"), "Bob");
    EXPECT_EQ(displayNameFromGecos(",,,", "carol"), "carol");
    EXPECT_EQ(displayNameFromGecos("", "dave"), "dave");

    auto values = parseKeyValueLines("# comment\nUID=1000\nSESSIONS=3 c1\nbroken\n=x\nEMPTY=\nLockedHint=yes");
    EXPECT_EQ(values["UID"], "1000");
    EXPECT_EQ(values["SESSIONS"], "3 c1");
    EXPECT_EQ(values["EMPTY"], "");
    EXPECT_EQ(values["LockedHint"], "yes");
    EXPECT_EQ(values.count("broken"), 0u);
    EXPECT_EQ(values.size(), 4u);
}

TEST(LinuxAccountService, ConsoleStateComesFromTheHostUserAndLogind) {
    test::TemporaryDirectory temp;
    LinuxAccountService::Options options;
    options.logindRuntimeDirectory = temp.path() / "run";
    options.loginctlPath = temp.path() / "loginctl";

    // No logind: the user running the Host, logged in, neither greeter nor lock.
    auto plain = LinuxAccountService(options).currentConsoleSessionState();
    EXPECT_EQ(plain.username, currentUserName());
    EXPECT_FALSE(plain.displayName.empty());
    EXPECT_TRUE(plain.loginDone);
    EXPECT_FALSE(plain.isLoginWindow);
    EXPECT_FALSE(plain.isLocked);

    // logind: a greeter owns the seat and the user's display session is locked.
    const auto run = options.logindRuntimeDirectory;
    writeFile(run / "seats" / "seat0", "ACTIVE=c7\nSESSIONS=c7 4\n");
    writeFile(run / "sessions" / "c7", "UID=110\nCLASS=greeter\nTYPE=x11\n");
    writeFile(run / "users" / std::to_string(::geteuid()), "NAME=someone\nDISPLAY=4\nSESSIONS=9 4\n");
    writeFile(options.loginctlPath,
              "#!/bin/sh\n[ \"$2\" = show-session ] && [ \"$3\" = 4 ] && [ \"$5\" = LockedHint ] && "
              "echo LockedHint=yes || echo LockedHint=no\n",
              kExecutable);
    auto locked = LinuxAccountService(options).currentConsoleSessionState();
    EXPECT_TRUE(locked.isLoginWindow);
    EXPECT_TRUE(locked.isLocked);
    EXPECT_TRUE(locked.loginDone);

    // A user session in front and no display session recorded: the first session is asked.
    writeFile(run / "sessions" / "c7", "CLASS=user\n");
    writeFile(run / "users" / std::to_string(::geteuid()), "SESSIONS=9 4\n");
    auto unlocked = LinuxAccountService(options).currentConsoleSessionState();
    EXPECT_FALSE(unlocked.isLoginWindow);
    EXPECT_FALSE(unlocked.isLocked);

    // A session id that is not a plain word never reaches the program.
    writeFile(run / "users" / std::to_string(::geteuid()), "DISPLAY=-4\n");
    writeFile(options.loginctlPath, "#!/bin/sh\necho LockedHint=yes\n", kExecutable);
    EXPECT_FALSE(LinuxAccountService(options).currentConsoleSessionState().isLocked);
}

TEST(LinuxAccountService, AHangingLoginctlIsCutOffInBoundedTime) {
    test::TemporaryDirectory temp;
    LinuxAccountService::Options options;
    options.logindRuntimeDirectory = temp.path() / "run";
    options.loginctlPath = temp.path() / "loginctl";
    options.loginctlTimeout = std::chrono::milliseconds(200);
    writeFile(options.logindRuntimeDirectory / "users" / std::to_string(::geteuid()), "DISPLAY=2\n");
    // Opening a FIFO that nobody writes to blocks for ever; the answer must not wait for it.
    const auto fifo = temp.path() / "never";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeFile(options.loginctlPath, "#!/bin/sh\necho LockedHint=yes\nexec cat " + fifo.string() + "\n", kExecutable);
    const auto start = std::chrono::steady_clock::now();
    auto state = LinuxAccountService(options).currentConsoleSessionState();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(state.isLocked);  // an unfinished answer is not trusted
    EXPECT_TRUE(state.loginDone);
}

TEST(LinuxAccountService, PamAcceptsTheRightPasswordAndRefusesOthers) {
    if (auto why = sanitizerReasonToSkipPam(); !why.empty()) GTEST_SKIP() << "real password check skipped: " << why;
    std::string whyNot;
    auto user = test::TestUser::create(whyNot);
    if (!user) GTEST_SKIP() << "real password check skipped: " << whyNot;

    LinuxAccountService::Options options;
    options.keepPamFailureDelay = false;
    LinuxAccountService accounts(options);
    auto right = accounts.verifyPassword(user->name(), user->password());
    EXPECT_EQ(right.outcome, Outcome::accepted) << right.reason;

    const auto start = std::chrono::steady_clock::now();
    auto wrong = accounts.verifyPassword(user->name(), user->password() + "x");
    EXPECT_EQ(wrong.outcome, Outcome::rejected);
    EXPECT_FALSE(wrong.reason.empty());
    EXPECT_EQ(wrong.reason.find(user->password()), std::string::npos);
    // Without the failure delay a refusal is quick (pam_unix would otherwise wait about 2 s).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));

    std::string truncated = user->password() + std::string("\0tail", 5);
    EXPECT_EQ(accounts.verifyPassword(user->name(), truncated).outcome, Outcome::rejected);
    EXPECT_EQ(accounts.verifyPassword(user->name(), "").outcome, Outcome::rejected);
    EXPECT_EQ(accounts.verifyPassword(user->name() + "nobody", user->password()).outcome, Outcome::rejected);
}

TEST(ScriptedAccountService, AnswersFromItsScript) {
    ScriptedAccountService accounts;
    accounts.setConsoleSessionState({"alice", "Alice", false, true, true});
    EXPECT_EQ(accounts.currentConsoleSessionState().displayName, "Alice");
    EXPECT_TRUE(accounts.currentConsoleSessionState().isLocked);

    accounts.setPassword("alice", "s3cret");
    EXPECT_TRUE(accounts.verifyPassword("alice", "s3cret").isAccepted());
    EXPECT_EQ(accounts.verifyPassword("alice", "s3cre").outcome, Outcome::rejected);
    EXPECT_EQ(accounts.verifyPassword("bob", "s3cret").outcome, Outcome::rejected);
    EXPECT_EQ(accounts.verifyPassword("alice", "").outcome, Outcome::rejected);
    accounts.setUnavailable("directory offline");
    auto offline = accounts.verifyPassword("alice", "s3cret");
    EXPECT_EQ(offline.outcome, Outcome::unavailable);
    EXPECT_EQ(offline.reason, "directory offline");
    accounts.setUnavailable(std::nullopt);
    accounts.removeUser("alice");
    EXPECT_EQ(accounts.verifyPassword("alice", "s3cret").outcome, Outcome::rejected);
    EXPECT_EQ(accounts.verificationCount(), 6u);
}

TEST(ScriptedAccountService, AHeldCheckWaitsForTheGateWhileOthersPass) {
    ScriptedAccountService accounts;
    accounts.setPassword("alice", "pw");
    accounts.holdNextVerifications(1);
    auto held = std::async(std::launch::async, [&] { return accounts.verifyPassword("alice", "pw"); });
    ASSERT_TRUE(test::waitUntil([&] { return accounts.waitingVerifications() == 1; }));
    // The next check is not held.
    EXPECT_TRUE(accounts.verifyPassword("alice", "pw").isAccepted());
    EXPECT_EQ(held.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    accounts.releaseHeldVerifications();
    EXPECT_TRUE(held.get().isAccepted());
    EXPECT_EQ(accounts.waitingVerifications(), 0u);
}
