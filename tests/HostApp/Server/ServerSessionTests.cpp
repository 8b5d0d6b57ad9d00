// The session server over real TCP on 127.0.0.1: the road of one Viewer, refusals, bad input,
// the file channel and clean-up.
#include <gtest/gtest.h>

#include <dirent.h>

#include "Platform/Linux/AvahiDNSService.h"
#include "Platform/Linux/LinuxAccountService.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/QuillmereIdentity.h"
#include "support/ServerInspector.h"
#include "support/Commands.h"
#include "support/LiveServer.h"
#include "support/TestUser.h"
#include "support/TestViewer.h"

namespace ServerSessionTests {

using namespace qm;
using namespace qm::test;

namespace {

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

FileTransferPacket samplePacket(const std::string& path) {
    return FileTransferPacket{FileTransferOp::fileStart, UUID::random(), 42, 0, path, {}};
}

// The endpoint the Host advertised after sign-in.
std::optional<FileTransferEndpointPayload> endpointOf(TestViewer& viewer) {
    auto frame = viewer.waitFor(AuxPacketType::fileTransferEndpoint);
    if (!frame) return std::nullopt;
    return FileTransferEndpointPayload::decode(frame->payload);
}

bool signedIn(TestViewer& viewer, const std::string& user = LiveServer::user,
              const std::string& password = LiveServer::password) {
    auto result = viewer.signIn(user, password);
    return result && result->accepted;
}

}  // namespace

TEST(ServerSession, TheRoadOfOneViewerAndASecondOneWithAWrongPassword) {
    std::mutex mutex;  // these outlive the server, whose queue's thread writes them
    std::vector<std::pair<FileTransferPacket, UUID>> incoming;
    LiveServer live;
    live.server().queue->sync([&] {
        live.server().onFileTransferIncomingPacket = [&](const FileTransferPacket& packet, const UUID& id) {
            std::lock_guard lock(mutex);
            incoming.emplace_back(packet, id);
        };
    });

    TestViewer first(live.ports().control);
    ASSERT_TRUE(first.connected());
    auto proof = first.proveIdentity();
    ASSERT_TRUE(proof) << "the identity proof must verify";
    EXPECT_EQ(keyFingerprint(proof->signingPublicKey), loadOrCreateHostIdentity(live.configDirectory())->keys.keyFingerprint());

    auto result = first.signIn(LiveServer::user, LiveServer::password, "Alice's Viewer");
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->accepted);

    auto infoFrame = first.waitFor(AuxPacketType::hostSessionInfo);
    ASSERT_TRUE(infoFrame);
    auto info = HostSessionInfoPayload::decode(infoFrame->payload);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->username, "alice");
    EXPECT_EQ(info->displayName, "Alice Example");
    EXPECT_EQ(info->flags, HostSessionInfoPayload::loginDoneFlag);
    EXPECT_EQ(info->hostID, live.server().queue->sync([&] { return test::ServerInspector(live.server()).discoveryHostID(); }));
    EXPECT_FALSE(info->hostID.empty());

    auto endpoint = endpointOf(first);
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->port, live.ports().fileTransfer);
    EXPECT_TRUE(live.waitForStatus("file aux: endpoint advertised session="));
    for (const auto& line : live.statuses()) {
        // Only the short form of the token may reach the log.
        EXPECT_EQ(line.find(crypto::hexString(endpoint->token)), std::string::npos) << line;
    }

    // The file channel: the token admits it, then packets flow both ways.
    TestFileChannel channel(endpoint->port);
    channel.sendFrame(Bytes(endpoint->token.begin(), endpoint->token.end()));
    ASSERT_TRUE(live.waitForStatus("file aux: channel authorized for session "));
    channel.sendFrame(samplePacket("notes/a.txt").encode());
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return !incoming.empty();
    }));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(incoming.front().first.path, "notes/a.txt");
    }
    EXPECT_TRUE(live.server().hasConnectedViewer());
    const auto peers = live.server().connectedFileTransferPeers();
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers.front().second, "Alice's Viewer");
    live.server().broadcastFileTransferPacket(samplePacket("from-host.bin"));
    auto outgoing = channel.waitForFrame();
    ASSERT_TRUE(outgoing);
    auto decoded = FileTransferPacket::decode(*outgoing);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path, "from-host.bin");

    // A second Viewer with the wrong password is refused with its code; the first keeps working.
    TestViewer second(live.ports().control);
    auto refused = second.signIn(LiveServer::user, "wrong password");
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->accepted);
    EXPECT_EQ(refused->message, "code=invalid-credentials");
    EXPECT_TRUE(second.waitForStatus("code=invalid-credentials"));

    first.send(AuxPacketType::pipRegionSet, PipRegionSetPayload{"chat", Rect(0.1, 0.1, 0.2, 0.2)}.encode());
    auto updated = first.waitFor(AuxPacketType::hostSessionInfo);
    ASSERT_TRUE(updated);
    EXPECT_EQ(HostSessionInfoPayload::decode(updated->payload)->pipRegions.size(), 1u);
    EXPECT_EQ(second.waitFor(AuxPacketType::hostSessionInfo, 200ms), std::nullopt)
        << "session info goes to signed-in Viewers only";
    EXPECT_EQ(live.server().connectedViewerConnectionSummaries().size(), 1u);
}

TEST(ServerSession, RefusesEverythingButTheIdentityProofAndSignInBeforeSignIn) {
    LiveServer live;
    TestViewer viewer(live.ports().control);
    viewer.send(AuxPacketType::pipRegionClear, {});
    EXPECT_TRUE(viewer.waitForStatus("code=not-authorized; pipRegionClear before sign-in"));
    viewer.send(AuxPacketType::fileTransfer, samplePacket("x").encode());
    EXPECT_TRUE(viewer.waitForStatus("code=not-authorized; fileTransfer before sign-in"));

    // A sign-in without the identity proof first has nothing to bind the credential to.
    ClientSessionAuthPayload request{LiveServer::user, "Viewer", Bytes(80, 1)};
    viewer.send(AuxPacketType::clientSessionAuth, request.encode());
    EXPECT_TRUE(viewer.waitForStatus("code=identity-challenge-required"));
    EXPECT_TRUE(signedIn(viewer));
}

TEST(ServerSession, RefusesWrongUsersAndTamperedOrReplayedCredentials) {
    LiveServer live;
    live.scriptedAccounts()->setPassword("mallory", "mallory's password");

    TestViewer viewer(live.ports().control);
    auto refused = viewer.signIn("mallory", "mallory's password");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->message, "code=invalid-credentials") << "only the console user may sign in";

    // A credential sealed on one connection does not open on another (its session nonce differs).
    TestViewer eavesdropped(live.ports().control);
    auto proof = eavesdropped.proveIdentity();
    ASSERT_TRUE(proof);
    auto sealed = sealCredential(proof->keyAgreementPublicKey, proof->sessionNonce, LiveServer::user, LiveServer::password);
    ASSERT_TRUE(sealed);
    TestViewer replaying(live.ports().control);
    ASSERT_TRUE(replaying.proveIdentity());
    replaying.send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{LiveServer::user, "Replay", *sealed}.encode());
    EXPECT_TRUE(replaying.waitForStatus("code=invalid-sealed-credential"));

    // One flipped byte of the credential is refused too, and the attempt uses up the session
    // nonce: even the untouched credential no longer opens on this connection.
    Bytes tampered = *sealed;
    tampered[tampered.size() / 2] ^= 0x40;
    eavesdropped.send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{LiveServer::user, "T", tampered}.encode());
    EXPECT_TRUE(eavesdropped.waitForStatus("code=invalid-sealed-credential"));
    eavesdropped.send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{LiveServer::user, "T", *sealed}.encode());
    EXPECT_TRUE(eavesdropped.waitForStatus("code=identity-challenge-required"));
    // The Host proves itself once per connection: a new attempt comes on a new connection.
    eavesdropped.send(AuxPacketType::identityChallenge, IdentityChallengePayload{}.encode());
    EXPECT_TRUE(eavesdropped.waitForStatus("code=identity-challenge-repeated"));
    TestViewer retrying(live.ports().control);
    auto retry = retrying.signIn(LiveServer::user, LiveServer::password);
    ASSERT_TRUE(retry);
    EXPECT_TRUE(retry->accepted);

    // Nobody at the console: nobody signs in.
    live.scriptedAccounts()->setConsoleSessionState({});
    TestViewer late(live.ports().control);
    auto noConsole = late.signIn(LiveServer::user, LiveServer::password);
    ASSERT_TRUE(noConsole);
    EXPECT_EQ(noConsole->message, "code=no-console-user");
}

TEST(ServerSession, MalformedFramingClosesOnlyTheOffendingSession) {
    V230HostAudioAuxServer::Options options;
    options.signInTimeout = 1.0;
    LiveServer live({nullptr, nullptr, options});
    TestViewer good(live.ports().control);
    ASSERT_TRUE(signedIn(good));

    TestViewer wrongMagic(live.ports().control);
    wrongMagic.sendRaw(Bytes(40, 0x41));
    EXPECT_TRUE(wrongMagic.waitForStatus("code=frame-error; bad magic"));
    EXPECT_TRUE(wrongMagic.waitForClose());

    // A header that announces more than the 1 MiB the Host will hold for one session.
    TestViewer oversized(live.ports().control);
    AuxPacketHeader header;
    header.type = AuxPacketType::fileTransfer;
    header.payloadLength = 2 << 20;
    oversized.sendRaw(header.encode());
    EXPECT_TRUE(oversized.waitForStatus("code=frame-error"));
    EXPECT_TRUE(oversized.waitForClose());

    // A slow sender that never finishes its frame is closed when its sign-in time runs out.
    TestViewer slow(live.ports().control);
    auto partial = makeAuxPacket(AuxPacketType::identityChallenge, 0, Bytes(32, 7), 0);
    partial.resize(25);
    slow.sendRaw(partial);
    EXPECT_TRUE(slow.waitForStatus("code=sign-in-timeout"));
    EXPECT_TRUE(slow.waitForClose());

    // Undecodable payloads are answered and dropped without closing.
    good.send(AuxPacketType::pointerEvent, Bytes{1, 2});
    EXPECT_TRUE(good.waitForStatus("bad pointer event payload"));
    good.send(AuxPacketType::dragPullRequest, Bytes{1, 2, 3});
    EXPECT_TRUE(good.waitForStatus("bad drag pull payload"));
    good.send(AuxPacketType::iosBackgroundPresence, Bytes{1});
    EXPECT_TRUE(live.waitForStatus("iOS background presence rejected for non-iOS Viewer"));
    good.send(AuxPacketType::fileTransfer, Bytes{0, 1, 2});
    EXPECT_TRUE(live.waitForStatus("file transfer: malformed packet from session "));
    good.send(AuxPacketType::pipRegionClear, {});
    EXPECT_TRUE(good.waitFor(AuxPacketType::hostSessionInfo));
}

TEST(ServerSession, FileChannelsWithoutTheRightTokenAreDropped) {
    LiveServer live;
    TestViewer viewer(live.ports().control);
    ASSERT_TRUE(signedIn(viewer));
    auto endpoint = endpointOf(viewer);
    ASSERT_TRUE(endpoint);

    TestFileChannel wrongToken(endpoint->port);
    wrongToken.sendFrame(Bytes(16, 0xEE));
    EXPECT_TRUE(wrongToken.waitForClose());
    EXPECT_TRUE(live.waitForStatus("file aux: token mismatch; dropping connection"));

    // A stranger cannot make the Host buffer a large frame before presenting a token.
    TestFileChannel greedy(endpoint->port);
    greedy.sendRaw(Bytes{'F', 'T', 'R', 'X', 0x00, 0x00, 0x80, 0x00});  // announces 8 MiB
    EXPECT_TRUE(greedy.waitForClose());

    TestFileChannel right(endpoint->port);
    right.sendFrame(Bytes(endpoint->token.begin(), endpoint->token.end()));
    EXPECT_TRUE(live.waitForStatus("file aux: channel authorized for session "));
    // Directed sends reach the session; an unknown session is reported.
    const auto peers = live.server().connectedFileTransferPeers();
    ASSERT_EQ(peers.size(), 1u);
    live.server().sendFileTransferPacket(samplePacket("direct"), peers.front().first);
    auto frame = right.waitForFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(FileTransferPacket::decode(*frame)->path, "direct");
    const auto stranger = UUID::random();
    live.server().sendFileTransferPacket(samplePacket("lost"), stranger);
    EXPECT_TRUE(live.waitForStatus("file transfer: target session " + stranger.uuidString() + " is unavailable"));

    viewer.disconnect();
    EXPECT_TRUE(right.waitForClose()) << "the file channel ends with its session";
    EXPECT_TRUE(live.waitForStatus("file aux: channel closed for session "));
}

TEST(ServerSession, ASlowPasswordCheckDoesNotHoldUpOtherViewers) {
    LiveServer live;
    TestViewer first(live.ports().control);
    ASSERT_TRUE(signedIn(first));

    live.scriptedAccounts()->holdNextVerifications(1);
    TestViewer slow(live.ports().control);
    auto proof = slow.proveIdentity();
    ASSERT_TRUE(proof);
    auto sealed = sealCredential(proof->keyAgreementPublicKey, proof->sessionNonce, LiveServer::user, LiveServer::password);
    slow.send(AuxPacketType::clientSessionAuth, ClientSessionAuthPayload{LiveServer::user, "Slow", *sealed}.encode());
    ASSERT_TRUE(waitUntil([&] { return live.scriptedAccounts()->waitingVerifications() == 1; }));

    // While that check hangs, the signed-in Viewer is served and another one signs in.
    first.send(AuxPacketType::pipRegionClear, {});
    EXPECT_TRUE(first.waitFor(AuxPacketType::hostSessionInfo, 2s));
    TestViewer third(live.ports().control);
    EXPECT_TRUE(signedIn(third));

    live.scriptedAccounts()->releaseHeldVerifications();
    auto result = slow.waitFor(AuxPacketType::clientSessionAuthResult);
    ASSERT_TRUE(result);
    EXPECT_TRUE(ClientSessionAuthResultPayload::decode(result->payload)->accepted);
}

TEST(ServerSession, RepeatedSessionsLeaveNothingBehind) {
    LiveServer live;
    const auto descriptorsBefore = openDescriptorCount();
    for (int cycle = 0; cycle < 200; ++cycle) {
        TestViewer viewer(live.ports().control);
        ASSERT_TRUE(signedIn(viewer)) << "cycle " << cycle;
        if (cycle % 20 == 0) {
            auto endpoint = endpointOf(viewer);
            ASSERT_TRUE(endpoint);
            TestFileChannel channel(endpoint->port);
            channel.sendFrame(Bytes(endpoint->token.begin(), endpoint->token.end()));
            ASSERT_TRUE(waitUntil([&] { return live.server().resourceCounts().fileChannels == 1; }));
        }
    }
    const V230HostAudioAuxServer::ResourceCounts none;
    EXPECT_TRUE(waitUntil([&] { return live.server().resourceCounts() == none; }));
    // The snapshot is rebuilt once the queue has run what was waiting on it, so it may follow the
    // counts by a turn.
    EXPECT_TRUE(waitUntil([&] { return !live.server().hasConnectedViewer(); }));
    // Allow a little slack for descriptors the runtime opens lazily.
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() <= descriptorsBefore + 2; }))
        << openDescriptorCount() << " descriptors open, " << descriptorsBefore << " before";
}

TEST(ServerSession, StopTellsViewersAndClosesEverything) {
    auto live = std::make_unique<LiveServer>();
    TestViewer viewer(live->ports().control);
    ASSERT_TRUE(signedIn(viewer));
    TestViewer stranger(live->ports().control);
    ASSERT_TRUE(waitUntil([&] { return live->server().resourceCounts().sessions == 2; }));
    live->server().stopForTermination();
    EXPECT_TRUE(viewer.waitForStatus("host service exiting"));
    EXPECT_TRUE(stranger.waitForStatus("host service exiting"));
    EXPECT_TRUE(viewer.waitForClose());
    EXPECT_EQ(live->server().resourceCounts(), V230HostAudioAuxServer::ResourceCounts{});
    EXPECT_TRUE(live->recordingDNS()->activeServices().empty());
}

TEST(ServerSession, AdvertisesTheControlPortOverDNSSD) {
    LiveServer live;
    ASSERT_TRUE(waitUntil([&] { return !live.recordingDNS()->activeServices().empty(); }));
    const auto service = live.recordingDNS()->activeServices().front();
    EXPECT_EQ(service.type, "_quillmere-host._tcp");
    EXPECT_EQ(service.port, live.ports().control);
    std::vector<std::string> keys;
    for (const auto& [key, value] : service.txtRecord) keys.push_back(key);
    ASSERT_GE(keys.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 8),
              (std::vector<std::string>{"v", "id", "name", "routes", "vnc", "aux", "video", "wake"}));

    // A refresh with nothing changed leaves the record alone.
    const auto eventsBefore = live.recordingDNS()->events().size();
    live.server().refreshBonjourAdvertisement();
    live.server().queue->sync([] {});
    EXPECT_EQ(live.recordingDNS()->events().size(), eventsBefore);
}

TEST(ServerSession, WithoutAResponderTheHostStillServesAndSaysSoOnce) {
    auto dns = std::make_shared<RecordingDNSServiceAdvertiser>();
    dns->setFailure(DNSServiceError{DNSServiceError::unknown, "no responder"});
    LiveServer live({nullptr, dns, {}});
    EXPECT_TRUE(live.waitForStatus("bonjour: advertisement unavailable (no responder)"));
    live.server().refreshBonjourAdvertisement();
    TestViewer viewer(live.ports().control);
    EXPECT_TRUE(signedIn(viewer));
    EXPECT_EQ(live.countStatuses("bonjour: advertisement unavailable"), 1u);
}

namespace {
// The console as scripted, the password against the real system through PAM.
class PamBackedAccounts final : public AccountService {
public:
    explicit PamBackedAccounts(std::string user) {
        console_.setConsoleSessionState({user, user, false, false, true});
        LinuxAccountService::Options options;
        options.keepPamFailureDelay = false;
        pam_ = std::make_unique<LinuxAccountService>(options);
    }
    HostConsoleSessionState currentConsoleSessionState() override { return console_.currentConsoleSessionState(); }
    PasswordCheckResult verifyPassword(const std::string& username, std::string_view password) override {
        return pam_->verifyPassword(username, password);
    }

private:
    ScriptedAccountService console_;
    std::unique_ptr<LinuxAccountService> pam_;
};
}  // namespace

TEST(ServerSession, SignsInAgainstTheRealPasswordDatabase) {
    std::string whyNot;
    auto user = TestUser::create(whyNot);
    if (!user) GTEST_SKIP() << "no throwaway account: " << whyNot;
    LiveServer live({std::make_shared<PamBackedAccounts>(user->name()), nullptr, {}});

    TestViewer wrong(live.ports().control);
    auto refused = wrong.signIn(user->name(), user->password() + "x");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->message, "code=invalid-credentials");

    TestViewer right(live.ports().control);
    auto accepted = right.signIn(user->name(), user->password());
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(accepted->accepted) << accepted->message;
}

TEST(ServerSession, ARealResponderResolvesTheHostWithItsRecord) {
    if (!responderRunning()) GTEST_SKIP() << "no Avahi daemon is running (scripts/start-services starts one as root)";
    V230HostAudioAuxServer::Options options;
    options.advertisedName = "QuillmereHostTest-" + UUID::random().uuidString().substr(0, 8);  // avahi-browse escapes blanks
    LiveServer live({nullptr, std::make_shared<AvahiDNSServiceAdvertiser>(), options});
    ASSERT_TRUE(live.waitForStatus("bonjour: advertised as"));

    std::optional<std::string> line;
    ASSERT_TRUE(waitUntil([&] { return (line = browseFor(options.advertisedName)).has_value(); }, 20s));
    // "=;lo;IPv4;name;_quillmere-host._tcp;local;host;address;port;"txt" "txt"..."
    // Joined step by step: GCC 12 warns falsely about "literal" + std::string temporaries.
    auto text = [](std::initializer_list<std::string_view> parts) {
        std::string joined;
        for (auto part : parts) joined += part;
        return joined;
    };
    const auto control = std::to_string(live.ports().control);
    const auto video = std::to_string(live.ports().video);
    EXPECT_NE(line->find(text({";", control, ";"})), std::string::npos) << *line;
    const auto hostID = live.server().queue->sync([&] { return test::ServerInspector(live.server()).discoveryHostID(); });
    for (const std::string& key :
         {text({"\"v=1\""}), text({"\"id=", hostID, "\""}), text({"\"name="}), text({"\"routes="}), text({"\"vnc="}),
          text({"\"aux=", control, "\""}), text({"\"video=", video, "\""}), text({"\"wake="})}) {
        EXPECT_NE(line->find(key), std::string::npos) << key << " missing in " << *line;
    }
}

}  // namespace ServerSessionTests
