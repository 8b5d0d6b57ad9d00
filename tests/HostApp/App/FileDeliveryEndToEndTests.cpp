// File delivery end to end: the Host built the way the process builds it (the delegate makes,
// wires and starts the real server on 127.0.0.1; the file service, the delivery and the Linux
// file-manager stand-in are the real ones), and a test Viewer over real TCP with its file channel.
// The Host runs in this process, so a test can look inside it (its log, a second Viewer); the
// built executable is driven from outside by FileDeliveryLiveTests.
#include <gtest/gtest.h>

#include "QuillmereProfiles/FileTransferService.h"
#include "support/LiveHostApp.h"
#include "support/TestFiles.h"
#include "support/ViewerBatches.h"
#include "support/WiredHost.h"

namespace FileDeliveryEndToEndTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

TEST(FileDeliveryEndToEnd, ViewerBatchesLandWhereTheyShouldAndLeaveNothingStaged) {
    LiveHostApp host;
    WiredViewer viewer(*host.live);
    ASSERT_TRUE(viewer.ready());
    const auto content = randomBytes(3u << 20, 11);

    // A copy with a destination hint: that folder, made when missing.
    sendFileBatch(fileChannelRoad(*viewer.channel), FileTransferIntent::copy, "~/Incoming", "copy.bin", content);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(host.home() / "Incoming" / "copy.bin") && host.stagingEmpty(); }));
    EXPECT_TRUE(fileBytes(host.home() / "Incoming" / "copy.bin") == content) << "byte-identical";

    // A managed copy, its intent a packet after its start: placed, and its receipt comes back.
    const auto managed = sendFileBatch(fileChannelRoad(*viewer.channel), FileTransferIntent::managedCopy, "~/Managed", "managed.bin", content);
    auto receipt = responseTo(*viewer.channel, managed);
    ASSERT_TRUE(receipt);
    EXPECT_TRUE(receipt->accepted);
    EXPECT_TRUE(fileBytes(host.home() / "Managed" / "managed.bin") == content);

    // A drop with no file-manager window answering: the Desktop.
    sendFileBatch(fileChannelRoad(*viewer.channel), FileTransferIntent::dropToFinder, std::nullopt, "dropped.bin", content);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(host.home() / "Desktop" / "dropped.bin") && host.stagingEmpty(); }));
    EXPECT_TRUE(fileBytes(host.home() / "Desktop" / "dropped.bin") == content);
    EXPECT_TRUE(waitUntil([&] { return host.logged("files: dropped 1/1 item(s) into Finder"); }));
}

TEST(FileDeliveryEndToEnd, AViewerReceivesTheHostFilesItAsksForAndNothingOutsideHome) {
    LiveHostApp host;
    WiredViewer viewer(*host.live);
    WiredViewer bystander(*host.live);
    ASSERT_TRUE(viewer.ready());
    ASSERT_TRUE(bystander.ready());
    const auto content = randomBytes(2u << 20, 12);
    writeFile(host.home() / "docs" / "report.bin", content);
    writeFile(host.folder.path() / "outside.bin", Bytes{1, 2, 3});

    const UUID request = UUID::random();
    FileTransferPeerSendRequest ask({"~/docs/report.bin"}, "", {});
    viewer.channel->sendPacket({FileTransferOp::peerSendRequest, request, 0, 0, "", ask.encoded()});
    std::vector<FileTransferPacket> seen;
    auto answer = responseTo(*viewer.channel, request, &seen);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->accepted);
    // The batch answering it carries the request's id and is a managed copy; collect it whole.
    readUntil(*viewer.channel,
              [&](const FileTransferPacket& p) { return p.op == FileTransferOp::batchEnd && p.batchID == request; }, &seen);
    Bytes received;
    bool managed = false;
    for (const auto& packet : seen) {
        if (packet.batchID != request) continue;
        if (packet.op == FileTransferOp::batchStart)
            managed = FileTransferPacket::batchStartIntent(packet.value2) == FileTransferIntent::managedCopy;
        if (packet.op == FileTransferOp::fileChunk) received.insert(received.end(), packet.data.begin(), packet.data.end());
    }
    EXPECT_TRUE(managed);
    EXPECT_TRUE(received == content) << "byte-identical";

    const UUID outside = UUID::random();
    FileTransferPeerSendRequest escape({(host.folder.path() / "outside.bin").string(), "~/../outside.bin"}, "", {});
    viewer.channel->sendPacket({FileTransferOp::peerSendRequest, outside, 0, 0, "", escape.encoded()});
    answer = responseTo(*viewer.channel, outside);
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->accepted);
    EXPECT_EQ(answer->message, "The requested files are no longer available on the Host.");
    EXPECT_TRUE(waitUntil([&] { return host.logged("files: rejected peer send request with no readable Home paths"); }));

    // The other Viewer heard none of it.
    while (auto frame = bystander.channel->waitForFrame(std::chrono::milliseconds(200))) {
        auto packet = FileTransferPacket::decode(*frame);
        ASSERT_TRUE(packet);
        EXPECT_NE(packet->batchID, request);
        EXPECT_NE(packet->batchID, outside);
    }
}

}  // namespace FileDeliveryEndToEndTests
