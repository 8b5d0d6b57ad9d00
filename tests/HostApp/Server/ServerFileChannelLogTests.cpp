// What a file channel's peer can make the Host write to its log: a stream of bad frames costs the
// budget of the Viewer (or of the strangers) that sent them, not a line each.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "Platform/Core/ByteIO.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/SessionPayloads.h"
#include "support/InMemoryViewer.h"

namespace ServerFileChannelLogTests {

using namespace qm;
using namespace qm::test;

namespace {

Bytes frame(const Bytes& payload) {
    ByteWriter out;
    out.bytes(FileTransferChannelConstants::magic).u32(static_cast<std::uint32_t>(payload.size()));
    out.bytes(payload);
    return out.data();
}

std::size_t statusesWith(const ManualServer& host, const std::string& text) {
    const auto all = host.statuses();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

}  // namespace

TEST(ServerFileChannelLog, BadFramesOnAFileChannelCostItsSendersLogBudgetNotALineEach) {
    ManualServer host;
    auto& server = host.server();

    // A signed-in Viewer's bound channel sends packets that do not decode, within one log window
    // (the virtual clock does not move on its own).
    InMemoryViewer control(host, server.boundPorts().control);
    const auto endpoint = FileTransferEndpointPayload::decode(control.next(AuxPacketType::fileTransferEndpoint).payload);
    ASSERT_TRUE(endpoint);
    auto channel = host.network().connect(server.boundPorts().fileTransfer);
    channel->start(host.platform().makeQueue("viewer files"));
    channel->send(frame(Bytes(endpoint->token.begin(), endpoint->token.end())));
    host.clock().runUntilIdle();
    ASSERT_EQ(server.resourceCounts().fileChannels, 1u);
    for (int i = 0; i < 500; ++i) {
        channel->send(frame(Bytes{0x01, 0x02, 0x03}));
        if (i % 50 == 49) host.clock().runUntilIdle();
    }
    host.clock().runUntilIdle();
    EXPECT_EQ(server.resourceCounts().fileChannels, 1u) << "a bad packet is dropped, the channel stays";
    EXPECT_GE(statusesWith(host, "file aux: malformed packet from session "), 1u);
    EXPECT_LE(statusesWith(host, "file aux: malformed packet from session "), 8u);
    EXPECT_EQ(statusesWith(host, ": further log lines suppressed for 10 s"), 1u);
    // The next window counts what was left out.
    host.clock().advance(11.0);
    channel->send(frame(Bytes{0x01}));
    host.clock().runUntilIdle();
    EXPECT_EQ(statusesWith(host, " log lines were left out"), 1u);
    channel->cancel();

    // Strangers connect again and again, each with a wrong token, within one second.
    const auto before = host.statuses().size();
    for (int i = 0; i < 200; ++i) {
        auto stranger = host.network().connect(server.boundPorts().fileTransfer);
        stranger->start(host.platform().makeQueue("stranger files"));
        stranger->send(frame(Bytes(FileTransferChannelConstants::tokenSize, 0xAB)));
        host.clock().runUntilIdle();
    }
    EXPECT_EQ(server.resourceCounts().fileChannels, 0u);
    const auto after = host.statuses().size() - before;
    EXPECT_GE(statusesWith(host, "file aux: token mismatch; dropping connection"), 1u);
    EXPECT_LE(after, 20u + 2) << "strangers share a few lines a second";
}

}  // namespace ServerFileChannelLogTests
