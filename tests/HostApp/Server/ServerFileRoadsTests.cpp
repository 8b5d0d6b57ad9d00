// Which connections file packets and Viewer answers belong to, over real TCP.
#include <gtest/gtest.h>

#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/LiveServer.h"
#include "support/TestViewer.h"
#include "support/WiredHost.h"

namespace ServerFileRoadsTests {

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;

TEST(ServerFileRoads, FilePacketsOnTheVideoChannelOpenNoBatch) {
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    TestViewer video(host.live->ports().video);
    auto signedIn = video.signIn(LiveServer::user, LiveServer::password);
    ASSERT_TRUE(signedIn && signedIn->accepted);
    const UUID id = UUID::random();
    video.send(AuxPacketType::fileTransfer, FileTransferPacket{FileTransferOp::batchStart, id, 1, 1, {}, {}}.encode());
    video.send(AuxPacketType::fileTransfer,
               FileTransferPacket{FileTransferOp::fileStart, id, 1, 0, "open.bin", {}}.encode());
    EXPECT_TRUE(video.waitForStatus("rejected on video channel"));
    EXPECT_EQ(host.files->tableEntryCount(), 0u);
    EXPECT_EQ(host.stagedFiles(), 0u);
}

TEST(ServerFileRoads, StrangersGetNoShortcutAnswersAndCountForNothing) {
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    TestViewer stranger(host.live->ports().control);
    ASSERT_TRUE(stranger.connected());
    // App Exposé is answered to Viewers; a connection that has not signed in is not one.
    viewer.control.send(AuxPacketType::hostShortcut, Bytes{5});
    EXPECT_TRUE(viewer.control.waitForStatus("host shortcut: Control+Down App Expose"));
    EXPECT_FALSE(stranger.waitForStatus("host shortcut", 500ms));
    for (const auto& text : stranger.statusTexts()) EXPECT_EQ(text.find("host shortcut"), std::string::npos) << text;
}

}  // namespace ServerFileRoadsTests
