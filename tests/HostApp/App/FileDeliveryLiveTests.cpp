// What a Viewer sends reaches the user's folders, and what it asks for comes back, against the
// built `QuillmereHost` as a user runs it (its own account, X display and network namespace), a
// test Viewer signed in over real TCP with its file channel. Everything is read from outside: the
// user's folders, the Host's staging folder and the lines the Host prints.
#include <gtest/gtest.h>

#include "support/BuiltHost.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "support/ViewerBatches.h"

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace qm::test {
namespace FileDeliveryLiveTests {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The built Host, started, with a Viewer signed in and its file channel bound.
class FileDeliveryLive : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
        if (!host) GTEST_SKIP() << whyNot;
        ASSERT_TRUE(host->start()) << host->log();
        viewer = host->signIn("Ada's Viewer", whyNot);
        ASSERT_TRUE(viewer) << whyNot << "\n" << host->log();
        channel = openFileChannel(*viewer);
        ASSERT_TRUE(channel) << host->log();
    }

    std::unique_ptr<BuiltHost> host;
    std::unique_ptr<TestViewer> viewer;
    std::unique_ptr<TestFileChannel> channel;
};

TEST_F(FileDeliveryLive, ViewerBatchesLandInTheUsersFoldersAndLeaveNothingStaged) {
    const auto content = randomBytes(600'000, 21);  // three chunks
    const auto road = fileChannelRoad(*channel);

    // (a) A copy with a destination hint: that folder, made for it, and nothing left in staging.
    sendFileBatch(road, FileTransferIntent::copy, "~/Incoming", "copy.bin", content);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(host->home() / "Incoming" / "copy.bin") && host->stagingEmpty(); }, 30s))
        << host->log();
    EXPECT_TRUE(fileBytes(host->home() / "Incoming" / "copy.bin") == content) << "byte-identical";

    // (b) A managed copy: its receipt comes back on the channel, and the file is in place.
    const UUID managed = sendFileBatch(road, FileTransferIntent::managedCopy, "~/Managed", "managed.bin", content);
    const auto receipt = responseTo(*channel, managed);
    ASSERT_TRUE(receipt) << host->log();
    EXPECT_TRUE(receipt->accepted) << receipt->message.value_or("");
    EXPECT_TRUE(fileBytes(host->home() / "Managed" / "managed.bin") == content);

    // (c) A drop with no file manager to ask: the Desktop.
    sendFileBatch(road, FileTransferIntent::dropToFinder, std::nullopt, "dropped.bin", content);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(host->home() / "Desktop" / "dropped.bin") && host->stagingEmpty(); }, 30s))
        << host->log();
    EXPECT_TRUE(fileBytes(host->home() / "Desktop" / "dropped.bin") == content);
    EXPECT_TRUE(host->waitForLog("files: dropped 1/1 item(s) into Finder")) << host->log();

    // The same on the control connection, for a Viewer without a file channel.
    sendFileBatch(controlRoad(*viewer), FileTransferIntent::copy, "~/Incoming", "control.bin", content);
    ASSERT_TRUE(
        waitUntil([&] { return fs::exists(host->home() / "Incoming" / "control.bin") && host->stagingEmpty(); }, 30s))
        << host->log();
    EXPECT_TRUE(fileBytes(host->home() / "Incoming" / "control.bin") == content);
}

TEST_F(FileDeliveryLive, AViewerReceivesTheHomeFilesItAsksForAndNothingOutsideHome) {
    const auto report = randomBytes(700'000, 22);
    host->writeHomeFile("docs/report.bin", report);
    host->writeHomeFile("notes.txt", Bytes{'n', '\n'});

    // (d) Two files below home, one named twice: the answer is accepted and the batch that
    // follows carries the request's id, as a managed copy, byte for byte.
    const UUID request = UUID::random();
    FileTransferPeerSendRequest ask({"~/docs/report.bin", "~/notes.txt", "~/docs/../notes.txt"}, "~/Downloads", {});
    channel->sendPacket({FileTransferOp::peerSendRequest, request, 0, 0, "", ask.encoded()});
    std::vector<FileTransferPacket> seen;
    auto answer = responseTo(*channel, request, &seen);
    ASSERT_TRUE(answer) << host->log();
    EXPECT_TRUE(answer->accepted);
    EXPECT_FALSE(answer->message);
    ASSERT_TRUE(readUntil(
        *channel, [&](const FileTransferPacket& p) { return p.op == FileTransferOp::batchEnd && p.batchID == request; },
        &seen))
        << host->log();
    const auto start = std::find_if(seen.begin(), seen.end(), [&](const FileTransferPacket& p) {
        return p.op == FileTransferOp::batchStart && p.batchID == request;
    });
    ASSERT_NE(start, seen.end());
    EXPECT_EQ(FileTransferPacket::batchStartIntent(start->value2), FileTransferIntent::managedCopy);
    const auto files = filesOfBatch(seen, request);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files.at("report.bin") == report) << "byte-identical";
    EXPECT_EQ(files.at("notes.txt"), (Bytes{'n', '\n'}));
    // The line names the asking Viewer by the start of its session id.
    std::string session;
    for (const auto& message : host->messages()) {
        if (message.starts_with("file aux: channel authorized for session ")) session = message.substr(41, 8);
    }
    ASSERT_EQ(session.size(), 8u) << host->log();
    EXPECT_TRUE(host->waitForLog("files: requested send of 2 item(s) to Viewer session " + session)) << host->log();

    // A path outside home, directly and by climbing out of it: refused, with the Host's line.
    const UUID outside = UUID::random();
    FileTransferPeerSendRequest escape({"/etc/hostname", "~/../../etc/hostname"}, "~/Downloads", {});
    channel->sendPacket({FileTransferOp::peerSendRequest, outside, 0, 0, "", escape.encoded()});
    answer = responseTo(*channel, outside, &seen);
    ASSERT_TRUE(answer) << host->log();
    EXPECT_FALSE(answer->accepted);
    EXPECT_EQ(answer->message, "The requested files are no longer available on the Host.");
    EXPECT_TRUE(host->waitForLog("files: rejected peer send request with no readable Home paths")) << host->log();
    EXPECT_TRUE(filesOfBatch(seen, outside).empty());

    // A request that is not a request document.
    const UUID garbled = UUID::random();
    channel->sendPacket({FileTransferOp::peerSendRequest, garbled, 0, 0, "", Bytes{'{', 'x'}});
    answer = responseTo(*channel, garbled);
    ASSERT_TRUE(answer) << host->log();
    EXPECT_FALSE(answer->accepted);
    EXPECT_EQ(answer->message, "The Host could not read the requested transfer.");
    EXPECT_TRUE(host->waitForLog("files: rejected malformed peer send request")) << host->log();
}

}  // namespace
}  // namespace FileDeliveryLiveTests
}  // namespace qm::test
