// Every way a Viewer ends releases everything the Host kept for it: after each, the server's
// counts are back where they were before the Viewer came.
#include <gtest/gtest.h>

#include <memory>

#include "QuillmereProfiles/InputPayloads.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

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
        server.noteControlFileSender(*ServerInspector(server).sessions().authorizedAudioSessions.begin());
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
        auto connection = sessions.connection(*sessions.authorizedAudioSessions.begin());
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

    // The Host stops with a Viewer signed in.
    InMemoryViewer control(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);
    bool stopped = false;
    server.beginTermination([&] { stopped = true; });
    for (int i = 0; i < 40 && !stopped; ++i) host.clock().advance(0.05);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(server.resourceCounts(), baseline) << "after the Host stopped";
}
