// The built Host as a user runs it, against a hostile Viewer: silent connections from many
// loopback addresses, or wrong passwords looped from many addresses being slowed down, do not
// keep a Viewer out, and with the Host under a descriptor limit the signed-in sessions stop at a
// bound well within it, with an honest refusal.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "HostApp/Server/ServerConstants.h"
#include "support/BuiltHost.h"
#include "support/HostilePeers.h"
#include "support/TestPlatform.h"
#include "support/TestViewer.h"

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace ServerAdmissionLiveTests {

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t port = ServerConstants::controlPort;

std::unique_ptr<TestViewer> viewerFrom(const std::string& address) {
    return std::make_unique<TestViewer>(port, "127.0.0.1", address);
}

std::string answer(TestViewer& viewer, const BuiltHost& host) {
    if (!viewer.connected()) return "not connected";
    auto result = viewer.signIn(host.user().name(), host.user().password());
    if (!result) return "no answer";
    return result->accepted ? "ok" : result->message;
}

// Viewers from 127.0.0.10, one after the other, each taking `pause` to type the right password
// after the identity proof. What each was answered.
std::vector<std::string> typedSignIns(const BuiltHost& host, const std::vector<std::chrono::milliseconds>& pauses) {
    std::vector<std::string> answers;
    for (const auto pause : pauses)
        answers.push_back(signInAfterTyping(port, host.user().name(), host.user().password(), "127.0.0.10", pause));
    return answers;
}

}  // namespace

TEST(ServerAdmissionLive, SilentConnectionsFromEightAddressesReopenedAtOnceDoNotKeepAViewerOut) {
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    ASSERT_TRUE(host->start()) << host->log();

    // What the Host holds open of its own, once the start's probe connection is gone: each
    // connection it keeps adds one descriptor to that.
    ASSERT_TRUE(waitUntil([&] { return host->log().find("removed (never signed in)") != std::string::npos; }, 20s))
        << host->log();
    const std::size_t ownDescriptors = hostDescriptors(*host);

    // 8 silent connections from each of 127.0.0.2-9, each reopened as soon as the Host drops it.
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        // Oldest first: the Host drops the oldest of the busiest address, and every address holds 8.
        std::deque<std::pair<std::string, std::unique_ptr<TestViewer>>> silent;
        for (int address = 2; address <= 9; ++address) {
            const auto from = "127.0.0." + std::to_string(address);
            for (int i = 0; i < 8; ++i) silent.emplace_back(from, viewerFrom(from));
        }
        auto dropped = [](const auto& entry) { return !entry.second->connected() || entry.second->waitForClose(0ms); };
        while (flooding) {
            // Waits for the connection the Host will drop next, then reopens whatever it dropped.
            if (silent.front().second->connected()) silent.front().second->waitForClose(100ms);
            std::vector<std::string> reopen;
            for (auto it = silent.begin(); it != silent.end();) {
                if (!dropped(*it)) {
                    ++it;
                    continue;
                }
                reopen.push_back(it->first);
                it = silent.erase(it);
            }
            for (const auto& from : reopen) silent.emplace_back(from, viewerFrom(from));
        }
    });
    // Every place is taken before the Viewer comes (the flood's connections are all accepted).
    EXPECT_TRUE(waitUntil([&] { return hostDescriptors(*host) >= ownDescriptors + 64; }, 30s));

    int signedIn = 0;
    std::vector<std::string> answers;
    for (int attempt = 0; attempt < 9; ++attempt) {
        auto viewer = viewerFrom("127.0.0.10");
        answers.push_back(answer(*viewer, *host));
        signedIn += answers.back() == "ok";
    }
    flooding = false;
    flood.join();
    EXPECT_EQ(signedIn, 9) << ::testing::PrintToString(answers) << "\n" << host->log();
}

TEST(ServerAdmissionLive, GuessesWaitingOutTheirSlowDownDoNotKeepOutAViewerThatTakesSecondsToTypeItsPassword) {
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    ASSERT_TRUE(host->start()) << host->log();

    // What the Host holds open of its own, once the start's probe connection is gone.
    ASSERT_TRUE(waitUntil([&] { return host->log().find("removed (never signed in)") != std::string::npos; }, 20s))
        << host->log();
    const std::size_t ownDescriptors = hostDescriptors(*host);

    // 40 addresses, each slowed down by two wrong passwords (the check refuses after 2 s), then
    // guessing on two connections each, each trying again as soon as it was answered or closed:
    // more guesses wait out their slow-down than there are places before sign-in.
    SlowedGuessers guessers(port, host->user().name(), 40, 2, 2);
    EXPECT_TRUE(guessers.waitUntilPrimed(120s));
    // Every place before sign-in is held by a guess before the Viewer comes.
    EXPECT_TRUE(waitUntil([&] { return hostDescriptors(*host) >= ownDescriptors + 64; }, 30s));
    EXPECT_EQ(typedSignIns(*host, {200ms, 2000ms, 200ms, 2000ms}), std::vector<std::string>(4, "ok")) << host->log();
    // The Host's exit ends the guesses still waiting for their answers.
    guessers.stop();
    host->signal(SIGTERM);
}

// Under the usual 1,024 descriptors the Host has room for 16 signed-in Viewers. Guesses in flight
// hold a connection each, not a signed-in Viewer's place: addresses being slowed down that keep
// two wrong tries in hand each, together more than the bound has room for, leave it to the Viewer
// whose user types the right password.
TEST(ServerAdmissionLive, UnderADescriptorLimitGuessesInFlightLeaveTheSignedInViewersPlacesFree) {
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    host->limitDescriptors(1024);
    ASSERT_TRUE(host->start()) << host->log();
    ASSERT_TRUE(host->waitForLog("sessions: at most 16 Viewers signed in, 4 from one address (descriptor limit 1024)"))
        << host->log();

    SlowedGuessers guessers(port, host->user().name(), 9, 2, 2);
    ASSERT_TRUE(guessers.waitUntilPrimed(120s)) << host->log();
    EXPECT_EQ(typedSignIns(*host, {2000ms, 2000ms, 2000ms, 2000ms, 2000ms, 2000ms}),
              std::vector<std::string>(6, "ok"))
        << host->log();
    guessers.stop();
    host->signal(SIGTERM);
}

TEST(ServerAdmissionLive, UnderADescriptorLimitSessionsStopAtTheBoundWithAnHonestRefusalAndComeBack) {
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    constexpr std::size_t limit = 512;  // as under `prlimit --nofile=512`: quicker to fill than 1024
    host->limitDescriptors(limit);
    ASSERT_TRUE(host->start()) << host->log();

    // The bound the Host took from its limit, as it reports it.
    std::size_t total = 0, perAddress = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::regex line(R"(sessions: at most (\d+) Viewers signed in, (\d+) from one address \(descriptor limit 512\))");
            std::smatch match;
            const auto log = host->log();
            if (!std::regex_search(log, match, line)) return false;
            total = std::stoul(match[1]);
            perAddress = std::stoul(match[2]);
            return true;
        },
        30s))
        << host->log();
    ASSERT_GT(total, perAddress);
    ASSERT_LT(total, limit / 2) << "sessions leave the Host most of its descriptors";

    // Sessions from one address, then from others, up to the bound and one beyond each.
    std::vector<std::unique_ptr<TestViewer>> in;
    std::map<std::string, int> answers;
    int address = 2;
    std::size_t fromAddress = 0;
    while (in.size() < total) {
        auto viewer = viewerFrom("127.0.0." + std::to_string(address));
        const auto said = answer(*viewer, *host);
        ++answers[said];
        if (said == "ok") {
            in.push_back(std::move(viewer));
            ++fromAddress;
            continue;
        }
        ASSERT_EQ(said, "code=too-many-sessions") << "after " << in.size() << " sessions\n" << host->log();
        EXPECT_EQ(fromAddress, perAddress) << "refused before its address had its share";
        ++address;
        fromAddress = 0;
    }
    auto beyond = viewerFrom("127.0.0." + std::to_string(address + 1));
    EXPECT_EQ(answer(*beyond, *host), "code=too-many-sessions");
    EXPECT_EQ(answers["code=invalid-credentials"], 0);
    EXPECT_LT(hostDescriptors(*host), limit - 64) << "well within the limit at the bound";

    // Once the sessions leave, sign-in works again.
    in.clear();
    beyond.reset();
    std::string said;
    EXPECT_TRUE(waitUntil([&] { return (said = answer(*viewerFrom("127.0.0.2"), *host)) == "ok"; }, 60s)) << said;
}

}  // namespace ServerAdmissionLiveTests
