// What a peer that never signs in can make the Host hold or do: connections, frames, replies and
// log lines all stay within fixed bounds, while a signed-in Viewer carries on.
#include <gtest/gtest.h>

#include "QuillmereProfiles/InputPayloads.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

namespace ServerBoundsTests {

using namespace qm;
using namespace qm::test;

namespace {

// A raw in-memory connection that signs nothing and throws away what the Host sends.
struct Stranger {
    Stranger(ManualServer& host, std::uint16_t port, const std::string& from) : host(host) {
        connection = host.network().connect(port, from);
        // The handlers hold the flag, not the stranger: they may report after it is gone.
        connection->setStateHandler([closed = closed](Connection::State state, const std::optional<NetworkError>&) {
            if (state == Connection::State::failed || state == Connection::State::cancelled) *closed = true;
        });
        connection->start(host.platform().makeQueue("stranger"));
        connection->startReceiving(1 << 16, [closed = closed](Bytes, bool isComplete, const std::optional<NetworkError>& error) {
            if (isComplete || error) *closed = true;
        });
        host.clock().runUntilIdle();
    }
    ~Stranger() { connection->cancel(); }
    void send(AuxPacketType type, const Bytes& payload) {
        connection->send(makeAuxPacket(type, 0, payload, 0));
        host.clock().runUntilIdle();
    }
    void sendRaw(std::uint8_t type, const Bytes& payload) {
        auto packet = makeAuxPacket(AuxPacketType::pointerEvent, 0, payload, 0);
        packet[4] = type;
        connection->send(packet);
        host.clock().runUntilIdle();
    }
    bool isClosedByHost() {
        host.clock().runUntilIdle();
        return *closed;
    }

    ManualServer& host;
    ConnectionPtr connection;
    std::shared_ptr<bool> closed = std::make_shared<bool>(false);
};

std::size_t linesContaining(const ManualServer& host, const std::string& needle) {
    std::size_t count = 0;
    for (const auto& line : host.statuses()) count += line.find(needle) != std::string::npos;
    return count;
}

}  // namespace

TEST(ServerBounds, RefusedFramesBeforeSignInCloseTheConnectionAndTheLogStaysShort) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer viewer(host, server.boundPorts().control);

    Stranger stranger(host, server.boundPorts().control, "127.0.0.9");
    const PointerEventControlPayload press{};
    for (int i = 0; i < 3; ++i) stranger.send(AuxPacketType::pointerEvent, press.encode());
    EXPECT_FALSE(stranger.isClosedByHost()) << "a few refusals are answered";
    EXPECT_EQ(linesContaining(host, "code=not-authorized; pointerEvent before sign-in"), 3u);
    // Unknown types get the same refusal as known ones, and count the same.
    stranger.sendRaw(200, Bytes{});
    EXPECT_TRUE(stranger.isClosedByHost());
    EXPECT_EQ(linesContaining(host, "code=too-many-refused-frames"), 1u);
    EXPECT_EQ(host.events().posted().size(), 0u) << "nothing a stranger sent reached input";

    // The signed-in Viewer is untouched.
    viewer.send(AuxPacketType::pointerEvent, PointerEventControlPayload{1, 10, 10, 320, 180}.encode());
    EXPECT_FALSE(host.events().posted().empty());
}

TEST(ServerBounds, ASignedInViewerLogsAtMostAFewLinesPerWindow) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer viewer(host, server.boundPorts().control);
    const auto before = host.statuses().size();
    auto unknown = makeAuxPacket(AuxPacketType::pointerEvent, 0, Bytes{}, 0);
    unknown[4] = 201;  // a type this Host does not know
    for (int i = 0; i < 100; ++i) viewer.sendRaw(unknown);
    // The window also holds the session's own lines (its connection), so at most eight of these.
    const auto logged = linesContaining(host, "sent unknown packet type 201");
    EXPECT_GE(logged, 5u);
    EXPECT_LE(logged, 8u);
    EXPECT_EQ(linesContaining(host, "further log lines suppressed"), 1u);
    EXPECT_LE(host.statuses().size() - before, 9u);
    host.clock().advance(10.0);
    viewer.sendRaw(unknown);
    EXPECT_EQ(linesContaining(host, "sent unknown packet type 201"), logged + 1) << "a new window opens";
}

TEST(ServerBounds, ConnectionsNotSignedInAreCappedInTotalAndPerAddress) {
    ManualServer host;
    auto& server = host.server();
    const auto port = server.boundPorts().control;
    std::vector<std::unique_ptr<Stranger>> strangers;
    for (int i = 0; i < 8; ++i) strangers.push_back(std::make_unique<Stranger>(host, port, "127.0.0.2"));
    Stranger ninth(host, port, "127.0.0.2");
    EXPECT_TRUE(ninth.isClosedByHost()) << "one address holds at most 8";
    for (const auto& stranger : strangers) EXPECT_FALSE(stranger->isClosedByHost());

    for (int address = 3; strangers.size() < 64; ++address) {
        for (int i = 0; i < 8 && strangers.size() < 64; ++i) {
            strangers.push_back(std::make_unique<Stranger>(host, port, "127.0.0." + std::to_string(address)));
        }
    }
    // At most 64 in total: a newcomer from an address holding none takes the place of the oldest
    // connection of an address holding the most.
    Stranger beyond(host, port, "127.0.1.1");
    EXPECT_FALSE(beyond.isClosedByHost());
    EXPECT_TRUE(strangers.front()->isClosedByHost());
    EXPECT_EQ(std::count_if(strangers.begin(), strangers.end(), [](const auto& s) { return s->isClosedByHost(); }), 1);
    EXPECT_LE(linesContaining(host, "too many connections not signed in"), 2u) << "one line a second at most";

    // Room comes back as strangers leave, and a Viewer can sign in again.
    strangers.pop_back();
    host.clock().runUntilIdle();
    InMemoryViewer viewer(host, port);
    EXPECT_EQ(ServerInspector(server).sessions().authorizedAudioSessions().size(), 1u);
}

TEST(ServerBounds, FramesBeforeSignInAreSmallAndSignedInOnesMayBeLarge) {
    ManualServer host;
    auto& server = host.server();
    Stranger stranger(host, server.boundPorts().control, "127.0.0.5");
    // Announcing a 100 KiB frame is refused at once: nobody needs that much to sign in.
    Bytes header = makeAuxPacket(AuxPacketType::clientSessionAuth, 0, Bytes{}, 0);
    header[8] = 0x00, header[9] = 0x90, header[10] = 0x01, header[11] = 0x00;  // payload length
    stranger.connection->send(header);
    EXPECT_TRUE(stranger.isClosedByHost());
    EXPECT_EQ(linesContaining(host, "code=frame-error; frame too large"), 1u);

    InMemoryViewer viewer(host, server.boundPorts().control);
    FileTransferPacket packet;
    packet.path = "big";
    packet.data = Bytes(200'000, 0x11);
    int delivered = 0;
    server.onFileTransferPacket = [&](const FileTransferPacket& p, const UUID&) {
        if (p.data.size() == 200'000) ++delivered;
    };
    viewer.send(AuxPacketType::fileTransfer, packet.encode());
    EXPECT_EQ(delivered, 1);
}

}  // namespace ServerBoundsTests
