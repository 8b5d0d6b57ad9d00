#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>

#include "Platform/AccountService.h"
#include "Platform/Testing/ScriptedAccountService.h"
#include "Platform/Linux/LinuxAccountService.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "support/TestPlatform.h"
#include "support/TestUser.h"
#include "support/Sanitizers.h"

namespace AccountServiceTests {

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
    // Without the cut-off the reading would never end; a generous bound only tells a hang apart.
    auto reading = std::async(std::launch::async, [&] { return LinuxAccountService(options).currentConsoleSessionState(); });
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    auto state = reading.get();
    EXPECT_FALSE(state.isLocked);  // an unfinished answer is not trusted
    EXPECT_TRUE(state.loginDone);
}

TEST(LinuxAccountService, TheConsoleStateIsReadOnTheServiceQueueNotByTheCaller) {
    test::TemporaryDirectory temp;
    auto clock = std::make_shared<ManualClock>();
    LinuxAccountService::Options options;
    options.logindRuntimeDirectory = temp.path() / "run";
    options.loginctlPath = temp.path() / "loginctl";
    options.queue = clock->makeQueue("accounts");
    const auto runs = temp.path() / "runs";
    const auto answer = temp.path() / "answer";
    writeFile(options.logindRuntimeDirectory / "users" / std::to_string(::geteuid()), "DISPLAY=4\n");
    writeFile(options.loginctlPath, "#!/bin/sh\necho run >> " + runs.string() + "\ncat " + answer.string() + "\n",
              kExecutable);
    writeFile(answer, "LockedHint=yes\n");
    auto countRuns = [&] {
        std::ifstream in(runs);
        return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
    };

    LinuxAccountService accounts(options);
    EXPECT_EQ(countRuns(), 1);  // read once when made
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(accounts.currentConsoleSessionState().isLocked);
    EXPECT_EQ(countRuns(), 1);  // asking never runs the program

    writeFile(answer, "LockedHint=no\n");
    clock->advance(1.9);
    EXPECT_TRUE(accounts.currentConsoleSessionState().isLocked);  // not yet read again
    clock->advance(0.1);
    EXPECT_FALSE(accounts.currentConsoleSessionState().isLocked);
    EXPECT_EQ(countRuns(), 2);
    clock->advance(2.0);
    EXPECT_EQ(countRuns(), 3);
}

TEST(LinuxAccountService, AskingDoesNotWaitForAReadingInProgress) {
    test::TemporaryDirectory temp;
    LinuxAccountService::Options options;  // the service's own thread refreshes
    options.logindRuntimeDirectory = temp.path() / "run";
    options.loginctlPath = temp.path() / "loginctl";
    // The hanging reading is never cut off: only the test ends it.
    options.loginctlTimeout = std::chrono::hours(1);
    options.consoleRefreshInterval = std::chrono::milliseconds(10);
    writeFile(options.logindRuntimeDirectory / "users" / std::to_string(::geteuid()), "DISPLAY=2\n");
    // The first reading answers at once; the second hangs on a FIFO until the test opens it, and
    // every later one answers at once again: the service's refreshes go on while the test ends,
    // and a reading that hung after the test let the second go would hold the destructor for the
    // whole timeout.
    const auto fifo = temp.path() / "hold";
    const auto first = temp.path() / "first-done";
    const auto hanging = temp.path() / "hanging";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeFile(options.loginctlPath,
              "#!/bin/sh\nif [ ! -e " + first.string() + " ]; then : > " + first.string() +
                  "; echo LockedHint=yes; exit 0; fi\nif [ -e " + hanging.string() +
                  " ]; then echo LockedHint=yes; exit 0; fi\n: > " + hanging.string() + "\nexec cat " + fifo.string() +
                  "\n",
              kExecutable);

    LinuxAccountService accounts(options);
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(hanging); }));
    // The reading in progress holds until the FIFO opens below, so an answer now did not wait for it.
    auto asking = std::async(std::launch::async, [&] { return accounts.currentConsoleSessionState(); });
    ASSERT_EQ(asking.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const auto state = asking.get();
    EXPECT_TRUE(state.isLocked);  // the last value read
    // Let the hanging reading finish so the service can stop.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ::close(writer);
}

TEST(LinuxAccountService, UnknownUsersAndWrongPasswordsAreRefusedAlikeInTheSameTime) {
    if (auto why = qm::test::sanitizerReasonToSkipPam(); !why.empty()) GTEST_SKIP() << "real password check skipped: " << why;
    std::string whyNot;
    auto user = test::TestUser::create(whyNot);
    if (!user) GTEST_SKIP() << "real password check skipped: " << whyNot;

    LinuxAccountService accounts;  // the Host's own settings, failure delay included
    const auto delay = accounts.options().failureDelay;
    auto timed = [&](std::string name, std::string password) {
        return std::async(std::launch::async, [&accounts, name, password] {
            const auto start = std::chrono::steady_clock::now();
            auto result = accounts.verifyPassword(name, password);
            return std::make_pair(result, std::chrono::steady_clock::now() - start);
        });
    };
    auto wrongPassword = timed(user->name(), user->password() + "x");
    auto unknownUser = timed(user->name() + "x", user->password());
    auto [wrong, wrongTime] = wrongPassword.get();
    auto [unknown, unknownTime] = unknownUser.get();
    EXPECT_EQ(wrong.outcome, Outcome::rejected);
    EXPECT_EQ(unknown.outcome, Outcome::rejected);
    EXPECT_EQ(wrong.reason, unknown.reason);
    // PAM's own delay varies by about half a second either way; the fixed one does not.
    EXPECT_GE(wrongTime, delay);
    EXPECT_GE(unknownTime, delay);
    // Measured against each other in the same run: the two refusals take the same time, and
    // PAM's own delay (about as long again) does not come on top of the fixed one.
    const auto apart = wrongTime > unknownTime ? wrongTime - unknownTime : unknownTime - wrongTime;
    EXPECT_LT(apart, delay / 4);
    EXPECT_LT(wrongTime, delay * 3 / 2);
}

TEST(LinuxAccountService, PamAcceptsTheRightPasswordAndRefusesOthers) {
    if (auto why = qm::test::sanitizerReasonToSkipPam(); !why.empty()) GTEST_SKIP() << "real password check skipped: " << why;
    std::string whyNot;
    auto user = test::TestUser::create(whyNot);
    if (!user) GTEST_SKIP() << "real password check skipped: " << whyNot;

    LinuxAccountService::Options options;
    options.keepPamFailureDelay = false;
    LinuxAccountService accounts(options);
    const auto rightStart = std::chrono::steady_clock::now();
    auto right = accounts.verifyPassword(user->name(), user->password());
    const auto rightTime = std::chrono::steady_clock::now() - rightStart;
    EXPECT_EQ(right.outcome, Outcome::accepted) << right.reason;

    const auto start = std::chrono::steady_clock::now();
    auto wrong = accounts.verifyPassword(user->name(), user->password() + "x");
    const auto wrongTime = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(wrong.outcome, Outcome::rejected);
    EXPECT_FALSE(wrong.reason.empty());
    EXPECT_EQ(wrong.reason.find(user->password()), std::string::npos);
    // Without the failure delay a refusal costs about what an acceptance does, in the same run
    // (pam_unix would otherwise add about 2 s).
    EXPECT_LT(wrongTime, rightTime * 4 + std::chrono::seconds(1));

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
    // An unknown user and a wrong password cannot be told apart.
    EXPECT_EQ(accounts.verifyPassword("bob", "s3cret").reason, accounts.verifyPassword("alice", "x").reason);
    EXPECT_EQ(accounts.verifyPassword("alice", "").outcome, Outcome::rejected);
    accounts.setUnavailable("directory offline");
    auto offline = accounts.verifyPassword("alice", "s3cret");
    EXPECT_EQ(offline.outcome, Outcome::unavailable);
    EXPECT_EQ(offline.reason, "directory offline");
    accounts.setUnavailable(std::nullopt);
    accounts.removeUser("alice");
    EXPECT_EQ(accounts.verifyPassword("alice", "s3cret").outcome, Outcome::rejected);
    EXPECT_EQ(accounts.verificationCount(), 7u);
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

}  // namespace AccountServiceTests
