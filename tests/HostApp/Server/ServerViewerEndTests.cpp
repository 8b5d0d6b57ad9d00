// Every way a Viewer ends releases everything the Host kept for it: after each, the server's
// counts are back where they were before the Viewer came.
#include <gtest/gtest.h>

#include <memory>

#include "Platform/Core/ByteIO.h"
#include "QuillmereProfiles/ClipboardTransfer.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "QuillmereProfiles/SessionPayloads.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

namespace ServerViewerEndTests {

using namespace qm;
using namespace qm::test;

namespace {

using Counts = V230HostAudioAuxServer::ResourceCounts;

// Lets what a leaving Viewer set off run out (the video stop, the power assertions).
Counts settled(ManualServer& host) {
    host.clock().advance(2.0);
    return host.server().resourceCounts();
}

}  // namespace

TEST(ServerViewerEnd, EachWayAViewerEndsReturnsEveryCountToTheBaseline) {
    ManualServer host;
    auto& server = host.server();
    const Counts baseline = server.resourceCounts();
    ASSERT_EQ(baseline, Counts{});

    // A signed-in Viewer that pressed a key, asked for audio and holds a picture-in-picture region,
    // with a video session streaming: it disconnects.
    {
        InMemoryViewer control(host, server.boundPorts().control);
        InMemoryViewer video(host, server.boundPorts().video);
        control.send(AuxPacketType::keyEvent, KeyEventControlPayload{'a', true}.encode());
        control.send(AuxPacketType::audioControl, AudioControlPayload{}.encode());
        control.send(AuxPacketType::pipRegionSet, PipRegionSetPayload{"corner", Rect(1, 2, 30, 40)}.encode());
        // File packets came on its control connection: a pause of file reads would hold it too.
        server.noteControlFileSender(*ServerInspector(server).sessions().authorizedAudioSessions().begin());
        host.clock().advance(1.0);
        EXPECT_NE(server.resourceCounts(), baseline);
        video.disconnect();
        control.disconnect();
    }
    ServerInspector(server).sessions().pipRegions.clear();  // shared by every Viewer, not one Viewer's
    EXPECT_EQ(settled(host), baseline) << "after disconnecting";

    // Its framing breaks: the session is closed.
    {
        InMemoryViewer control(host, server.boundPorts().control);
        control.sendRaw(Bytes(AuxPacketHeader::size, 0xEE));
        EXPECT_EQ(settled(host), baseline) << "after a framing error";
    }

    // Its connection fails under it.
    {
        InMemoryViewer control(host, server.boundPorts().control);
        auto& sessions = ServerInspector(server).sessions();
        auto connection = sessions.connection(*sessions.authorizedAudioSessions().begin());
        std::static_pointer_cast<InMemoryConnection>(connection)->simulateFailure(NetworkError{104, "reset"});
        EXPECT_EQ(settled(host), baseline) << "after a connection failure";
    }

    // It never signs in: the deadline closes it.
    {
        InMemoryViewer stranger(host, server.boundPorts().control, InMemoryViewer::NotSignedIn{});
        host.clock().advance(21.0);
        EXPECT_EQ(settled(host), baseline) << "after the sign-in deadline";
    }

    // Its video session stops acknowledging frames: closed after 10 s.
    {
        InMemoryViewer control(host, server.boundPorts().control);
        InMemoryViewer video(host, server.boundPorts().video);
        host.clock().advance(12.0);
        EXPECT_EQ(server.resourceCounts().sessions, 1u) << "only the control session is left";
        control.disconnect();
        EXPECT_EQ(settled(host), baseline) << "after the acknowledgement time-out";
    }

    // Its file channel ends first, then the Viewer leaves.
    {
        InMemoryViewer control(host, server.boundPorts().control);
        const auto endpoint =
            FileTransferEndpointPayload::decode(control.next(AuxPacketType::fileTransferEndpoint).payload);
        ASSERT_TRUE(endpoint);
        auto file = host.network().connect(server.boundPorts().fileTransfer);
        file->start(host.platform().makeQueue("viewer files"));
        ByteWriter token;
        token.bytes(FileTransferChannelConstants::magic).u32(static_cast<std::uint32_t>(endpoint->token.size()));
        token.bytes(endpoint->token);
        file->send(token.data());
        host.clock().runUntilIdle();
        ASSERT_EQ(server.resourceCounts().fileChannels, 1u);
        file->cancel();
        host.clock().runUntilIdle();
        EXPECT_EQ(server.resourceCounts().fileChannels, 0u);
        EXPECT_EQ(server.resourceCounts().sessions, 1u) << "the session outlives its file channel";
        control.disconnect();
        EXPECT_EQ(settled(host), baseline) << "after the file channel ended first";
    }

    // It leaves with a clipboard snapshot still waiting to be decoded: the snapshot goes with it.
    {
        int delivered = 0;
        server.onClipboardTransfer = [&](const ClipboardTransfer&) { ++delivered; };
        InMemoryViewer control(host, server.boundPorts().control);
        ClipboardTransfer transfer{"viewer-one", 1, 1, {}};
        transfer.items.push_back({ClipboardTransferItemKind::text, "left behind", std::nullopt, std::nullopt, {}});
        const auto snapshot = transfer.encodedData();
        ASSERT_TRUE(snapshot);
        control.send(AuxPacketType::clipboardTransfer, *snapshot);
        EXPECT_EQ(delivered, 1) << "a Viewer that stays has its snapshot taken";
        control.connection()->send(makeAuxPacket(AuxPacketType::clipboardTransfer, 0, *snapshot, 0));
        control.disconnect();
        EXPECT_EQ(delivered, 1) << "the one waiting at the end was dropped, not decoded";
        EXPECT_EQ(settled(host), baseline) << "after leaving with a clipboard pending";
        server.onClipboardTransfer = nullptr;
    }

    // The Host stops with a Viewer signed in.
    InMemoryViewer control(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);
    bool stopped = false;
    server.beginTermination([&] { stopped = true; });
    for (int i = 0; i < 40 && !stopped; ++i) host.clock().advance(0.05);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(server.resourceCounts(), baseline) << "after the Host stopped";
}

}  // namespace ServerViewerEndTests
