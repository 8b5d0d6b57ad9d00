// Who gets in: connections that have not signed in share their places fairly between addresses,
// and signed-in sessions stay within a bound taken from the descriptor limit (the built Host is
// driven into both in ServerAdmissionLiveTests.cpp).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "HostApp/Server/Admission.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

namespace ServerAdmissionTests {

using namespace qm;
using namespace qm::test;

namespace {

// A connection that never signs in; the test reopens it when the Host closes it.
struct Silent {
    Silent(ManualServer& host, std::uint16_t port, std::string from) : from(std::move(from)) {
        connection = host.network().connect(port, this->from);
        connection->setStateHandler([closed = closed](Connection::State state, const std::optional<NetworkError>&) {
            if (state == Connection::State::failed || state == Connection::State::cancelled) *closed = true;
        });
        connection->start(host.platform().makeQueue("silent"));
        connection->startReceiving(1 << 16, [closed = closed](Bytes, bool isComplete, const std::optional<NetworkError>& error) {
            if (isComplete || error) *closed = true;
        });
        host.clock().runUntilIdle();
    }
    ~Silent() { connection->cancel(); }
    std::string from;
    ConnectionPtr connection;
    std::shared_ptr<bool> closed = std::make_shared<bool>(false);
};

std::string accepted(const std::optional<ClientSessionAuthResultPayload>& result) {
    if (!result) return "no result";
    return result->accepted ? "ok" : result->message;
}

// A Viewer whose user takes `pause` seconds to type the password after the identity proof,
// while `meanwhile` runs every 0.1 s: what its sign-in was answered.
std::string signInAfterPause(ManualServer& host, const std::string& from, double pause, const std::function<void()>& meanwhile) {
    InMemoryViewer viewer(host, host.server().boundPorts().control, InMemoryViewer::NotSignedIn{}, from);
    if (viewer.closed()) return "closed as it arrived";
    viewer.proveIdentity();
    for (long step = 0; step < std::lround(pause * 10); ++step) {
        host.clock().advance(0.1);
        meanwhile();
    }
    return accepted(viewer.signIn(ManualServer::user, ManualServer::password));  // none once closed
}

}  // namespace

TEST(PendingAdmission, AddressesGroupByMachineAndAFullTableMakesRoomForTheAddressHoldingFewest) {
    EXPECT_EQ(admissionGroup("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(admissionGroup("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(admissionGroup("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_NE(admissionGroup("2001:db8:1:3::1"), admissionGroup("2001:db8:1:2::1"));
    EXPECT_EQ(admissionGroup("fe80::1%eth0"), "fe80::1") << "link-local addresses share a prefix over the link";

    using P = PendingAdmission::Pending;
    const PendingAdmission::Limits limits{6, 3};
    // a: 3 (orders 1, 4, 6), b: 2 (2, 5), c: 1 (3).
    const std::vector<P> full{{1, "a"}, {2, "b"}, {3, "c"}, {4, "a"}, {5, "b"}, {6, "a"}};
    EXPECT_FALSE(PendingAdmission::decide(full, "a", limits).admit) << "an address holds at most its share";
    auto fresh = PendingAdmission::decide(full, "d", limits);
    EXPECT_TRUE(fresh.admit);
    EXPECT_EQ(fresh.evict, 1u) << "the oldest of the address holding the most";
    EXPECT_EQ(PendingAdmission::decide(full, "c", limits).evict, 1u);
    EXPECT_EQ(PendingAdmission::decide(full, "b", limits).evict, 1u);
    const std::vector<P> even{{1, "a"}, {2, "b"}, {3, "c"}, {4, "a"}, {5, "b"}, {6, "c"}};
    EXPECT_FALSE(PendingAdmission::decide(even, "b", limits).admit) << "only from an address holding more";
    EXPECT_EQ(PendingAdmission::decide(even, "d", limits).evict, 1u);
    // One whose password is being checked keeps its place.
    const std::vector<P> checking{{1, "a", false}, {2, "b"}, {3, "c"}, {4, "a"}, {5, "b"}, {6, "a"}};
    EXPECT_EQ(PendingAdmission::decide(checking, "d", limits).evict, 4u);
    // Between groups holding as many, the one whose connections kept closing loses first.
    const std::vector<P> churned{{1, "a", true, 0}, {2, "b", true, 7}, {3, "c", true, 2}, {4, "a", true, 0}, {5, "b", true, 7}, {6, "c", true, 2}};
    EXPECT_EQ(PendingAdmission::decide(churned, "d", limits).evict, 2u);

    // Closures are counted per group in a bounded table that forgets.
    ClosedBeforeSignIn closed({3, 600.0});
    constexpr std::uint64_t second = 1'000'000'000ULL;
    for (const char* group : {"a", "b", "a", "c", "d"}) closed.record(group, second);
    EXPECT_EQ(closed.groupCount(), 3u) << "the group whose last closure is the oldest goes";
    EXPECT_EQ(closed.count("a", second) + closed.count("b", second), 2u);
    closed.record("d", 601 * second);
    EXPECT_EQ(closed.groupCount(), 1u) << "forgotten ten minutes after their last closure";

    const auto at1024 = SessionBound::forDescriptorLimit(1024, 64);
    EXPECT_LE(at1024.descriptors + 64, 1024u - 128) << "well within the limit";
    EXPECT_GE(at1024.viewers(), 16u);
    EXPECT_LT(at1024.perGroup, at1024.descriptors);
    EXPECT_EQ(SessionBound::forDescriptorLimit(100, 64).viewers(), 1u);
}

TEST(ServerAdmission, SilentConnectionsFromManyAddressesReopenedAtOnceDoNotKeepAViewerOut) {
    ManualServer host;
    const auto port = host.server().boundPorts().control;
    // 8 silent connections from each of 8 addresses: every place is taken.
    std::vector<std::unique_ptr<Silent>> silent;
    for (int address = 2; address <= 9; ++address) {
        for (int i = 0; i < 8; ++i) silent.push_back(std::make_unique<Silent>(host, port, "127.0.0." + std::to_string(address)));
    }
    auto reopenClosed = [&] {
        for (auto& one : silent) {
            if (*one->closed) one = std::make_unique<Silent>(host, port, one->from);
        }
    };

    for (int viewerNumber = 0; viewerNumber < 9; ++viewerNumber) {
        InMemoryViewer viewer(host, port, InMemoryViewer::NotSignedIn{}, "127.0.0.10");
        reopenClosed();  // the flood takes back every place it lost at once...
        viewer.proveIdentity();
        reopenClosed();  // ...and again while the Viewer signs in
        EXPECT_EQ(accepted(viewer.signIn(ManualServer::user, ManualServer::password)), "ok") << "Viewer " << viewerNumber;
        viewer.disconnect();
        host.clock().runUntilIdle();
    }
    // However often it reopens, the flood holds no more places than there are.
    reopenClosed();
    std::size_t open = 0;
    for (const auto& one : silent) open += *one->closed ? 0 : 1;
    EXPECT_LE(open, 64u);
    EXPECT_EQ(ServerInspector(host.server()).sessions().sessions().size(), 64u);
}

TEST(ServerAdmission, GuessesWaitingOutTheirSlowDownDoNotKeepOutAViewerTypingItsPassword) {
    ManualServer host;
    // 32 addresses slowed down by two wrong passwords, then guessing on two connections each, each
    // trying again once answered or closed: every place holds a guess waiting out its slow-down.
    auto guess = [&](const std::string& from) {
        auto viewer = std::make_unique<InMemoryViewer>(host, host.server().boundPorts().control, InMemoryViewer::NotSignedIn{}, from);
        if (!viewer->closed()) {
            viewer->proveIdentity();
            viewer->signIn(ManualServer::user, "wrong");
        }
        return viewer;
    };
    std::vector<std::pair<std::string, std::unique_ptr<InMemoryViewer>>> guessers;
    for (int i = 0; i < 64; ++i) {
        const auto from = "127.0.1." + std::to_string(i / 2);
        for (int primer = 0; primer < 2 && i % 2 == 0; ++primer) guess(from);
        guessers.emplace_back(from, guess(from));
    }
    EXPECT_EQ(host.server().resourceCounts().signInsDelayed, 64u);
    auto guessAgain = [&] {
        for (auto& [from, viewer] : guessers) {
            if (viewer->closed() || viewer->result()) viewer = guess(from);
        }
    };
    for (const double pause : {0.2, 2.0}) {
        EXPECT_EQ(signInAfterPause(host, "127.0.0.10", pause, guessAgain), "ok") << "pausing " << pause << " s";
    }
}

TEST(ServerAdmission, AChurnFromThousandsOfAddressesClosesItsOwnConnectionsNotAViewerTypingItsPassword) {
    for (const bool ipv6 : {false, true}) {
        ManualServer host;
        // 2,000 addresses (IPv4, or /64s), each connecting again once its connection was closed to
        // make room for another: 5,000 connections a second, none signing in.
        auto churner = [&](int i) {
            return ipv6 ? "2001:db8:0:" + std::to_string(i) + "::1"
                        : "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250);
        };
        std::vector<std::unique_ptr<Silent>> open;
        int arrivals = 0;
        auto churn = [&](int count) {
            for (int i = 0; i < count; ++i) {
                open.push_back(std::make_unique<Silent>(host, host.server().boundPorts().control, churner(arrivals++ % 2000)));
                std::erase_if(open, [](const auto& one) { return *one->closed; });
            }
        };
        churn(2000);
        for (const double pause : {0.2, 2.0}) {
            EXPECT_EQ(signInAfterPause(host, ipv6 ? "2001:db8:ffff::10" : "127.0.0.10", pause, [&] { churn(500); }), "ok")
                << (ipv6 ? "IPv6" : "IPv4") << ", pausing " << pause << " s";
        }
    }
}

}  // namespace ServerAdmissionTests

namespace ServerAdmissionTests {

// Every connection counts from its accept until it signs in or closes, however far behind the
// server's queue is: connections made while the queue does not run wait to be accepted once the
// places are taken, those the Host closes give theirs back, and a Viewer that signs in and binds
// its file channel holds none.
TEST(ServerAdmission, ConnectionsCountFromTheirAcceptUntilTheySignInOrClose) {
    ManualServer host;
    const auto ports = host.server().boundPorts();
    ServerInspector inspector(host.server());
    const auto budget = inspector.acceptBudget();
    ASSERT_TRUE(budget);
    auto notSignedIn = [&] {
        std::size_t count = inspector.sessions().pendingFileChannels().size();
        for (const auto& [id, session] : inspector.sessions().sessions()) count += session->authorized ? 0 : 1;
        return count;
    };

    std::vector<ConnectionPtr> peers;
    for (int i = 0; i < 300; ++i) {
        const auto from = "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250);
        peers.push_back(host.network().connect(i % 2 ? ports.control : ports.fileTransfer, from));
    }
    EXPECT_EQ(budget->held(), budget->capacity()) << "the rest wait to be accepted";
    host.clock().runUntilIdle();
    EXPECT_EQ(notSignedIn(), 64u);
    EXPECT_EQ(budget->held(), notSignedIn());

    InMemoryViewer viewer(host, ports.control);
    const auto endpoint = FileTransferEndpointPayload::decode(viewer.next(AuxPacketType::fileTransferEndpoint).payload);
    ASSERT_TRUE(endpoint);
    auto channel = host.network().connect(ports.fileTransfer, "127.0.0.1");
    channel->start(viewer.queue());
    ByteWriter frame;
    for (const auto byte : FileTransferChannelConstants::magic) frame.u8(byte);
    frame.u32(FileTransferChannelConstants::tokenSize);
    for (const auto byte : endpoint->token) frame.u8(byte);
    channel->send(frame.take());
    host.clock().runUntilIdle();
    ASSERT_EQ(inspector.sessions().fileChannels().size(), 1u);
    EXPECT_EQ(budget->held(), notSignedIn()) << "the Viewer's connections count with its session";

    peers.clear();
    viewer.disconnect();
    host.clock().runUntilIdle();
    EXPECT_EQ(budget->held(), 0u);
}

// A connection that comes and goes before it signs in, on the control port or the file port,
// leaves nothing waiting for its sign-in time to run out: however fast a churn comes, what it
// costs the Host does not pile up for 20 s.
TEST(ServerAdmission, ConnectionsThatComeAndGoBeforeSigningInLeaveNoTimerBehind) {
    ManualServer host;
    const auto ports = host.server().boundPorts();
    auto queue = std::static_pointer_cast<ManualDispatchQueue>(host.server().queue);
    const auto timers = queue->pendingDelayedCount();
    for (int i = 0; i < 500; ++i) {
        auto peer = host.network().connect(i % 2 ? ports.control : ports.fileTransfer,
                                           "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250));
        host.clock().runUntilIdle();
        peer->cancel();
        host.clock().runUntilIdle();
    }
    EXPECT_EQ(ServerInspector(host.server()).sessions().entryCount(), 0u);
    EXPECT_EQ(queue->pendingDelayedCount(), timers);
}

}  // namespace ServerAdmissionTests
