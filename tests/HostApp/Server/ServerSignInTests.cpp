// Sign-in under pressure: identity challenges, fair password-check shares, slow-down after
// failures, frames sent behind a sign-in, refusals on a signed-in session, and peer text in logs.
#include <gtest/gtest.h>

#include "HostApp/Server/Admission.h"
#include "HostApp/Server/SignInLimits.h"
#include "QuillmereProfiles/QuillmereIdentity.h"
#include "support/InMemoryViewer.h"
#include "support/LiveServer.h"
#include "support/ServerInspector.h"
#include "support/TestViewer.h"

namespace ServerSignInTests {

using namespace qm;
using namespace qm::test;

namespace {

constexpr std::uint64_t second = 1'000'000'000ULL;
using Outcome = SignInLimits::Outcome;

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& needle) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(needle) != std::string::npos; }));
}

// A fresh connection from `address` that proves the Host's identity and tries one password.
struct Attempt {
    std::unique_ptr<InMemoryViewer> viewer;
    std::optional<ClientSessionAuthResultPayload> answer;
    std::optional<ClientSessionAuthResultPayload> result() {
        if (!answer) answer = viewer->result();
        return answer;
    }
};
std::unique_ptr<Attempt> attempt(ManualServer& host, const std::string& address, const std::string& password) {
    auto made = std::make_unique<Attempt>();
    made->viewer = std::make_unique<InMemoryViewer>(host, host.server().boundPorts().control, InMemoryViewer::NotSignedIn{}, address);
    made->viewer->proveIdentity();
    made->answer = made->viewer->signIn(ManualServer::user, password);
    return made;
}

std::string messageOf(const std::optional<ClientSessionAuthResultPayload>& result) {
    return result ? result->message : std::string("(no result)");
}

}  // namespace

// ---- The per-address policy on its own -----------------------------------------------------

TEST(SignInLimits, WaitsAreCappedAndTheTableIsBoundedAndForgetsOldFailures) {
    SignInLimits::Limits bounds;
    bounds.maxAddresses = 3;
    SignInLimits limits(bounds);
    std::vector<double> waits;
    for (std::uint32_t failures = 1; failures <= 9; ++failures) waits.push_back(limits.delayAfter(failures));
    EXPECT_EQ(waits, (std::vector<double>{0, 1, 2, 4, 8, 16, 30, 30, 30}));

    for (std::uint64_t i = 0; i < 3; ++i) {
        const auto address = "10.0.0." + std::to_string(i);
        limits.admit(address, i * second);
        limits.finish(address, Outcome::refused, i * second);
        limits.admit(address, i * second);
        limits.finish(address, Outcome::refused, i * second);
    }
    limits.admit("10.0.0.0", 3 * second);  // in hand: never pushed out
    // A new address pushes out the one seen longest ago with nothing in hand, and its failures.
    EXPECT_EQ(limits.admit("10.0.0.9", 4 * second), 0.0);
    EXPECT_EQ(limits.addressCount(), 3u);
    EXPECT_EQ(limits.admit("10.0.0.1", 4 * second), 0.0);
    EXPECT_EQ(limits.admit("10.0.0.2", 4 * second), std::nullopt) << "full of addresses with attempts in hand";

    // Failures are forgotten ten minutes after the last one; a finished address leaves no entry.
    for (const char* address : {"10.0.0.0", "10.0.0.1", "10.0.0.9"}) limits.finish(address, Outcome::notChecked, 5 * second);
    EXPECT_EQ(limits.admit("10.0.0.0", 599 * second), 0.0) << "its wait ran out long ago";
    limits.finish("10.0.0.0", Outcome::refused, 599 * second);
    EXPECT_EQ(limits.admit("10.0.0.0", 599 * second), 2.0) << "its third failure in a row";
    limits.finish("10.0.0.0", Outcome::notChecked, 599 * second);
    EXPECT_EQ(limits.admit("10.0.0.0", 1199 * second), 0.0);
    limits.finish("10.0.0.0", Outcome::notChecked, 1199 * second);
    EXPECT_EQ(limits.addressCount(), 0u);
}

// ---- The server on virtual time ------------------------------------------------------------

TEST(SignInVirtualTime, OneIdentityChallengePerConnectionSignedOffTheServerQueue) {
    ManualServer host;
    const auto port = host.server().boundPorts().control;
    InMemoryViewer viewer(host, port, InMemoryViewer::NotSignedIn{});

    // The identity packets are 41 and 42 on the wire; 9 is no packet type at all.
    viewer.sendRaw(makeAuxPacket(static_cast<AuxPacketType>(9), 0, Bytes(32, 1), 0));
    for (const auto& frame : viewer.takeAll()) EXPECT_NE(static_cast<int>(frame.header.type), 10);
    EXPECT_EQ(static_cast<int>(AuxPacketType::identityChallenge), 41);

    // The signature is made on a sign-in queue: the server queue alone sends nothing back.
    IdentityChallengePayload challenge;
    challenge.nonce.fill(7);
    viewer.connection()->send(makeAuxPacket(AuxPacketType::identityChallenge, 0, challenge.encode(), 0));
    auto serverQueue = host.manual().queue(ServerConstants::queueLabel);
    for (int round = 0; round < 4; ++round) {
        serverQueue->runUntilIdle();
        viewer.queue()->runUntilIdle();
    }
    EXPECT_TRUE(viewer.takeAll().empty());
    auto signInQueue = host.manual().queue("v230.host.audio.aux.sign-in");
    ASSERT_TRUE(signInQueue);
    EXPECT_EQ(signInQueue->runUntilIdle(), 1u);
    auto proofFrame = viewer.next(AuxPacketType::identityProof);
    EXPECT_EQ(static_cast<int>(proofFrame.header.type), 42);
    auto proof = IdentityProofPayload::decode(proofFrame.payload);
    ASSERT_TRUE(proof);
    EXPECT_TRUE(verifyIdentityProof(proof->signingPublicKey, challenge.nonce, proof->signature,
                                    proof->keyAgreementPublicKey, proof->sessionNonce));

    // A second challenge on the same connection is refused and signs nothing.
    viewer.send(AuxPacketType::identityChallenge, challenge.encode());
    EXPECT_EQ(countContaining(viewer.statusTexts(), "code=identity-challenge-repeated"), 1u);
    EXPECT_EQ(signInQueue->runUntilIdle(), 0u);
    for (const auto& frame : viewer.takeAll()) EXPECT_NE(frame.header.type, AuxPacketType::identityProof);

    // A connection that leaves while its proof is being made gets nothing, and nothing is left.
    InMemoryViewer leaving(host, port, InMemoryViewer::NotSignedIn{});
    leaving.connection()->send(makeAuxPacket(AuxPacketType::identityChallenge, 0, challenge.encode(), 0));
    serverQueue->runUntilIdle();
    leaving.disconnect();
    host.clock().runUntilIdle();
    EXPECT_EQ(host.server().resourceCounts().sessions, 1u);
}

TEST(SignInVirtualTime, RepeatedFailuresSlowAnAddressDownWhileOthersSignIn) {
    ManualServer host;
    const std::string guesser = "192.0.2.66";
    EXPECT_EQ(messageOf(attempt(host, guesser, "guess 1")->result()), "code=invalid-credentials");
    EXPECT_EQ(messageOf(attempt(host, guesser, "guess 2")->result()), "code=invalid-credentials");
    EXPECT_TRUE(host.sawStatus("slowing down password checks from " + guesser));

    // The third guess waits exactly one second; a Viewer from elsewhere signs in meanwhile.
    auto third = attempt(host, guesser, "guess 3");
    EXPECT_FALSE(third->result());
    auto other = attempt(host, "192.0.2.7", ManualServer::password);
    EXPECT_TRUE(other->result().value_or(ClientSessionAuthResultPayload{}).accepted);
    host.clock().advance(0.999);
    EXPECT_FALSE(third->result());
    host.clock().advance(0.002);
    EXPECT_EQ(messageOf(third->result()), "code=invalid-credentials");

    // The next two wait 2 s and a further 2 s; a third one in hand from that address is busy.
    auto fourth = attempt(host, guesser, "guess 4");
    auto fifth = attempt(host, guesser, "guess 5");
    auto sixth = attempt(host, guesser, "guess 6");
    EXPECT_EQ(messageOf(sixth->result()), "code=sign-in-busy");
    EXPECT_FALSE(fourth->result());
    host.clock().advance(2.001);
    EXPECT_EQ(messageOf(fourth->result()), "code=invalid-credentials");
    EXPECT_FALSE(fifth->result());
    host.clock().advance(2.0);
    EXPECT_EQ(messageOf(fifth->result()), "code=invalid-credentials");

    // The right password after the wait signs in and ends the slow-down for the address.
    auto right = attempt(host, guesser, ManualServer::password);
    host.clock().advance(30.0);
    EXPECT_TRUE(right->result().value_or(ClientSessionAuthResultPayload{}).accepted);
    EXPECT_EQ(messageOf(attempt(host, guesser, "typo")->result()), "code=invalid-credentials");
    EXPECT_EQ(countContaining(host.statuses(), "slowing down password checks from " + guesser), 1u);
}

TEST(SignInVirtualTime, WrongPasswordsFromManyAddressesOfOneSlash64AreSlowedDownAsOneMachine) {
    // Twelve guesses, each sent once the one before was answered, take as long from twelve
    // addresses of one /64 as from one address.
    auto secondsForTwelveGuesses = [](const std::function<std::string(int)>& from) {
        ManualServer host;
        for (int i = 0; i < 12; ++i) {
            auto guess = attempt(host, from(i), "guess");
            while (!guess->result()) host.clock().advance(0.25);
        }
        EXPECT_TRUE(host.sawStatus("slowing down password checks from " + admissionGroup(from(0))));
        return host.clock().uptimeNs() / second;
    };
    const auto fromOne = secondsForTwelveGuesses([](int) { return "192.0.2.9"; });
    EXPECT_GT(fromOne, 100u);
    EXPECT_EQ(secondsForTwelveGuesses([](int i) { return "2001:db8:5:6:" + std::to_string(i + 1) + "::9"; }), fromOne);

    // The /64 has one share of attempts in hand: after two failures, two guesses wait, a third is busy.
    ManualServer host;
    std::vector<std::unique_ptr<Attempt>> guesses;
    for (const char* from : {"2001:db8:5:6::a", "2001:db8:5:6::b", "2001:db8:5:6::c", "2001:db8:5:6::d"}) {
        guesses.push_back(attempt(host, from, "guess"));
    }
    EXPECT_EQ(messageOf(attempt(host, "2001:db8:5:6::e", "guess")->result()), "code=sign-in-busy");
}

TEST(SignInVirtualTime, AViewerThatLeavesDuringItsDelayGivesItsAddressShareBackAtOnce) {
    ManualServer host;
    const auto baseline = host.server().resourceCounts();
    const std::string address = "192.0.2.80";
    attempt(host, address, "guess 1");
    attempt(host, address, "guess 2");

    // Delayed attempts abandoned, again and again: each leaves nothing behind, and the address
    // is never told it is busy when it tries the right password afterwards.
    for (int round = 0; round < 4; ++round) {
        auto first = attempt(host, address, "guess");
        auto second = attempt(host, address, "guess");
        EXPECT_FALSE(first->result());
        auto during = host.server().resourceCounts();
        EXPECT_EQ(during.signInsDelayed, 2u);
        EXPECT_EQ(during.signInAddresses, 1u);
        first->viewer->disconnect();
        second->viewer->disconnect();
        host.clock().runUntilIdle();
        EXPECT_EQ(host.server().resourceCounts(), baseline) << "round " << round;
    }
    auto right = attempt(host, address, ManualServer::password);
    host.clock().advance(30.0);
    EXPECT_TRUE(right->result().value_or(ClientSessionAuthResultPayload{}).accepted) << messageOf(right->result());
    right->viewer->disconnect();
    host.clock().runUntilIdle();
    EXPECT_EQ(host.server().resourceCounts(), baseline);
}

TEST(SignInVirtualTime, PeerTextIsEscapedInLogLines) {
    ManualServer host;
    InMemoryViewer viewer(host, host.server().boundPorts().control, "Evil\n[QuillmereHost] forged\x1b[2J");
    AudioControlPayload mute;
    mute.wantsHostOutputMute = true;
    viewer.send(AuxPacketType::audioControl, mute.encode());
    EXPECT_TRUE(host.sawStatus("as \"Evil\\n[QuillmereHost] forged\\x1B[2J\""));
    EXPECT_TRUE(host.sawStatus("for Evil\\n[QuillmereHost] forged\\x1B[2J"));
    for (const auto& line : host.statuses()) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
    // The name itself is kept as sent for whoever shows it to the Host's user.
    EXPECT_EQ(host.server().connectedViewerDisplayNames(),
              std::vector<std::string>{"Evil\n[QuillmereHost] forged\x1b[2J"});
}

// ---- The server on real sockets ------------------------------------------------------------

TEST(ServerSignIn, AWrongUserNameIsCheckedLikeAWrongPassword) {
    LiveServer live;
    live.scriptedAccounts()->setPassword("mallory", "mallory's password");
    auto& accounts = *live.scriptedAccounts();

    struct Case {
        std::string user, password;
    };
    for (const auto& [user, password] : {Case{"nobody", "x"}, Case{"mallory", "mallory's password"},
                                         Case{LiveServer::user, "wrong"}}) {
        const auto before = accounts.verificationCount();
        TestViewer viewer(live.ports().control);
        auto result = viewer.signIn(user, password);
        ASSERT_TRUE(result) << user;
        EXPECT_EQ(result->message, "code=invalid-credentials") << user;
        EXPECT_EQ(accounts.verificationCount(), before + 1) << user << " must reach the account service";
    }
}

TEST(ServerSignIn, FramesSentBehindASignInWaitForItsAnswerAndEveryAttemptIsAnswered) {
    LiveServer live;
    live.scriptedAccounts()->holdNextVerifications(1);
    TestViewer viewer(live.ports().control);
    auto proof = viewer.proveIdentity();
    ASSERT_TRUE(proof);
    auto sealed = sealCredential(proof->keyAgreementPublicKey, proof->sessionNonce, LiveServer::user, LiveServer::password);
    ASSERT_TRUE(sealed);

    // The sign-in and the Viewer's first request in one write.
    Bytes both = makeAuxPacket(AuxPacketType::clientSessionAuth, 0,
                               ClientSessionAuthPayload{LiveServer::user, "Eager", *sealed}.encode(), 0);
    const auto request = makeAuxPacket(AuxPacketType::pipRegionSet, 0, PipRegionSetPayload{"chat", Rect(0, 0, 0.5, 0.5)}.encode(), 0);
    both.insert(both.end(), request.begin(), request.end());
    viewer.sendRaw(both);
    ASSERT_TRUE(waitUntil([&] { return live.scriptedAccounts()->waitingVerifications() == 1; }));

    // A second attempt meanwhile is answered at once, and leaves the first alone.
    viewer.send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{LiveServer::user, "Eager", *sealed}.encode());
    auto busy = viewer.waitFor(AuxPacketType::clientSessionAuthResult);
    ASSERT_TRUE(busy);
    EXPECT_EQ(ClientSessionAuthResultPayload::decode(busy->payload)->message, "code=sign-in-in-progress");

    live.scriptedAccounts()->releaseHeldVerifications();
    auto accepted = viewer.waitFor(AuxPacketType::clientSessionAuthResult);
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(ClientSessionAuthResultPayload::decode(accepted->payload)->accepted);
    // The held request ran after the sign-in: the second session info carries its region.
    ASSERT_TRUE(viewer.waitFor(AuxPacketType::hostSessionInfo));
    auto info = viewer.waitFor(AuxPacketType::hostSessionInfo);
    ASSERT_TRUE(info);
    EXPECT_EQ(HostSessionInfoPayload::decode(info->payload)->pipRegions.count("chat"), 1u);
    for (const auto& text : viewer.statusTexts()) EXPECT_EQ(text.find("not-authorized"), std::string::npos) << text;
}

TEST(ServerSignIn, FramesHeldDuringASignInAreBounded) {
    V230HostAudioAuxServer::Options options;
    options.maxHeldBytes = 4096;
    LiveServer live({nullptr, nullptr, options});
    live.scriptedAccounts()->holdNextVerifications(2);
    auto signInAndSend = [&](const std::vector<Bytes>& frames) {
        auto viewer = std::make_unique<TestViewer>(live.ports().control);
        auto proof = viewer->proveIdentity();
        auto sealed = sealCredential(proof->keyAgreementPublicKey, proof->sessionNonce, LiveServer::user, LiveServer::password);
        Bytes bytes = makeAuxPacket(AuxPacketType::clientSessionAuth, 0,
                                    ClientSessionAuthPayload{LiveServer::user, "Flood", *sealed}.encode(), 0);
        for (const auto& frame : frames) bytes.insert(bytes.end(), frame.begin(), frame.end());
        viewer->sendRaw(bytes);
        return viewer;
    };
    const auto small = makeAuxPacket(AuxPacketType::pipRegionClear, 0, {}, 0);
    auto many = signInAndSend(std::vector<Bytes>(17, small));
    EXPECT_TRUE(many->waitForStatus("code=sign-in-held-frames-exceeded"));
    EXPECT_TRUE(many->waitForClose());

    const auto large = makeAuxPacket(AuxPacketType::fileTransfer, 0, Bytes(1500, 0), 0);
    auto big = signInAndSend({large, large, large});
    EXPECT_TRUE(big->waitForStatus("code=sign-in-held-frames-exceeded"));
    EXPECT_TRUE(big->waitForClose());

    // Sixteen small frames are within the bound and all run after the sign-in.
    live.scriptedAccounts()->releaseHeldVerifications();
    ASSERT_TRUE(waitUntil([&] { return live.server().resourceCounts().signInsInFlight == 0; }));
    auto fits = signInAndSend(std::vector<Bytes>(16, small));
    auto result = fits->waitFor(AuxPacketType::clientSessionAuthResult);
    ASSERT_TRUE(result);
    EXPECT_TRUE(ClientSessionAuthResultPayload::decode(result->payload)->accepted);
    ASSERT_TRUE(waitUntil([&] { return fits->receivedCount() >= 17; }));  // one info from sign-in, one per clear
}

TEST(ServerSignIn, ARefusedAttemptLeavesAnExistingSignInAlone) {
    LiveServer live;
    TestViewer viewer(live.ports().control);
    auto signedIn = viewer.signIn(LiveServer::user, LiveServer::password);
    ASSERT_TRUE(signedIn && signedIn->accepted);
    auto endpointFrame = viewer.waitFor(AuxPacketType::fileTransferEndpoint);
    ASSERT_TRUE(endpointFrame);
    auto endpoint = FileTransferEndpointPayload::decode(endpointFrame->payload);
    TestFileChannel channel(endpoint->port);
    channel.sendFrame(Bytes(endpoint->token.begin(), endpoint->token.end()));
    ASSERT_TRUE(waitUntil([&] { return live.server().resourceCounts().fileChannels == 1; }));
    ASSERT_TRUE(viewer.waitFor(AuxPacketType::hostSessionInfo));

    // Another attempt on the signed-in connection: refused (its nonce is spent), nothing more.
    viewer.send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{LiveServer::user, "Again", Bytes(80, 1)}.encode());
    auto refused = viewer.waitFor(AuxPacketType::clientSessionAuthResult);
    ASSERT_TRUE(refused);
    EXPECT_EQ(ClientSessionAuthResultPayload::decode(refused->payload)->message, "code=identity-challenge-required");

    viewer.send(AuxPacketType::pipRegionClear, {});
    EXPECT_TRUE(viewer.waitFor(AuxPacketType::hostSessionInfo)) << "still signed in";
    EXPECT_EQ(live.server().resourceCounts().fileChannels, 1u);
    EXPECT_EQ(live.server().connectedViewerDisplayNames(), std::vector<std::string>{"Test Viewer"});
}

}  // namespace ServerSignInTests

namespace ServerSignInTests {

// Room for two signed-in Viewers, one from each address group. Attempts whose password checks
// are still running hold their connection, not a signed-in Viewer's place: however many are in
// flight, a Viewer with the right password signs in. When the checks end, the bound is held
// again: of two right passwords checked at once for the last place, one signs in and the other is
// told the Viewers fill the Host.
TEST(ServerSignIn, AttemptsInFlightLeaveTheSessionBoundToSignedInViewersWhichItHoldsAsTheySignIn) {
    V230HostAudioAuxServer::Options options;
    // What is left after the Host's reserve and the connections not signed in: 100 descriptors,
    // two control sessions (42 each) in all, one per address group.
    options.descriptorLimit = SessionBound::reservedDescriptors + options.maxConnectionsNotSignedIn +
                              options.maxConnectionsAwaitingAdmission + 100;
    LiveServer live({nullptr, nullptr, options});
    const auto port = live.ports().control;

    struct Held {
        std::unique_ptr<TestViewer> viewer;
        std::string answer() {
            auto frame = viewer->waitFor(AuxPacketType::clientSessionAuthResult);
            auto result = frame ? ClientSessionAuthResultPayload::decode(frame->payload) : std::nullopt;
            return !result ? "no answer" : result->accepted ? "ok" : result->message;
        }
    };
    live.scriptedAccounts()->holdNextVerifications(3);
    // Whatever becomes of the test, the held checks end before the server does.
    std::shared_ptr<void> release(nullptr, [&](void*) { live.scriptedAccounts()->releaseHeldVerifications(); });
    std::vector<Held> held;
    for (const auto& [from, password] : {std::pair{"127.0.0.2", LiveServer::password}, {"127.0.0.3", LiveServer::password},
                                         {"127.0.0.4", "wrong"}}) {
        auto viewer = std::make_unique<TestViewer>(port, "127.0.0.1", from);
        auto proof = viewer->proveIdentity();
        ASSERT_TRUE(proof);
        auto sealed = sealCredential(proof->keyAgreementPublicKey, proof->sessionNonce, LiveServer::user, password);
        ASSERT_TRUE(sealed);
        viewer->send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{LiveServer::user, "Held", *sealed}.encode());
        held.push_back({std::move(viewer)});
    }
    ASSERT_TRUE(waitUntil([&] { return live.scriptedAccounts()->waitingVerifications() == 3; }));

    TestViewer first(port, "127.0.0.1", "127.0.0.5");
    const auto signedIn = first.signIn(LiveServer::user, LiveServer::password);
    ASSERT_TRUE(signedIn);
    EXPECT_EQ(signedIn->accepted ? "ok" : signedIn->message, "ok") << "with three checks in flight";

    live.scriptedAccounts()->releaseHeldVerifications();
    std::multiset<std::string> answers{held[0].answer(), held[1].answer()};
    EXPECT_EQ(answers, (std::multiset<std::string>{"ok", "code=too-many-sessions"}));
    EXPECT_EQ(held[2].answer(), "code=invalid-credentials");
    EXPECT_EQ(live.server().resourceCounts().authorizedSessions, 2u);
}

}  // namespace ServerSignInTests
