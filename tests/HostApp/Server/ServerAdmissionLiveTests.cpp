// The built Host as a user runs it, against a hostile Viewer: silent connections from many
// loopback addresses, or wrong passwords looped from many addresses being slowed down, do not
// keep a Viewer out, and with the Host under a descriptor limit the signed-in sessions stop at a
// bound well within it, with an honest refusal.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <deque>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "HostApp/Server/ServerConstants.h"
#include "support/BuiltHost.h"
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

std::size_t openDescriptors(pid_t pid) {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return count;
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
    const std::size_t ownDescriptors = openDescriptors(host->pid());

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
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(host->pid()) >= ownDescriptors + 64; }, 30s));

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
    const auto user = host->user().name();

    // 34 addresses, each slowed down by two wrong passwords (the real check refuses after 2 s)...
    constexpr int addresses = 34;
    auto guesserAddress = [](int i) { return "127.0.2." + std::to_string(i + 1); };
    std::atomic<int> primed{0};
    std::vector<std::thread> primers;
    for (int i = 0; i < addresses; ++i) {
        primers.emplace_back([&, i] {
            const auto deadline = std::chrono::steady_clock::now() + 120s;
            int refused = 0;
            while (refused < 2 && std::chrono::steady_clock::now() < deadline) {
                const auto said = viewerFrom(guesserAddress(i))->signIn(user, "wrong");
                if (said && said->message == "code=invalid-credentials") {
                    ++refused;
                } else {
                    std::this_thread::sleep_for(100ms);  // busy: the checks of the others run
                }
            }
            if (refused == 2) ++primed;
        });
    }
    for (auto& primer : primers) primer.join();
    ASSERT_EQ(primed, addresses);

    // ...then guessing on two connections each, each trying again as soon as it was answered or
    // closed: more guesses waiting out their slow-down than there are places before sign-in.
    std::atomic<bool> guessing{true};
    std::vector<std::thread> guessers;
    for (int i = 0; i < 2 * addresses; ++i) {
        guessers.emplace_back([&, from = guesserAddress(i / 2)] {
            while (guessing) {
                auto viewer = viewerFrom(from);
                if (!viewer->connected() || !viewer->signIn(user, "wrong")) std::this_thread::sleep_for(10ms);
            }
        });
    }
    std::this_thread::sleep_for(3s);

    std::vector<std::string> answers;
    for (const auto pause : {200ms, 2000ms, 200ms, 2000ms}) {
        auto viewer = viewerFrom("127.0.0.10");
        std::string said = "closed before its proof";
        if (viewer->connected() && viewer->proveIdentity()) {
            std::this_thread::sleep_for(pause);  // its user types the password
            said = answer(*viewer, *host);
        }
        answers.push_back(said);
    }
    EXPECT_EQ(answers, std::vector<std::string>(4, "ok")) << host->log();
    // The Host's exit closes the guesses still waiting for their answers.
    guessing = false;
    host->signal(SIGTERM);
    for (auto& guesser : guessers) guesser.join();
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
            const std::regex line(R"(sessions: at most (\d+) signed in, (\d+) from one address \(descriptor limit 512\))");
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
    EXPECT_LT(openDescriptors(host->pid()), limit - 64) << "well within the limit at the bound";

    // Once the sessions leave, sign-in works again.
    in.clear();
    beyond.reset();
    std::string said;
    EXPECT_TRUE(waitUntil([&] { return (said = answer(*viewerFrom("127.0.0.2"), *host)) == "ok"; }, 60s)) << said;
}

}  // namespace ServerAdmissionLiveTests
