// What the Host's clipboard broadcast answers the bridge, on virtual time: true only for a
// snapshot that goes out to a signed-in Viewer, so that a false one stays pending in the bridge.
#include <gtest/gtest.h>

#include <thread>

#include "QuillmereProfiles/ClipboardTransfer.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

namespace ServerClipboardAnswerTests {

using namespace qm;
using namespace qm::test;

namespace {

ClipboardTransfer textTransfer(const std::string& text, std::uint64_t sequence) {
    ClipboardTransfer transfer{"host-bridge", sequence, 1, {}};
    transfer.items.push_back({ClipboardTransferItemKind::text, text, std::nullopt, std::nullopt, {}});
    return transfer;
}

std::size_t clipboardFramesIn(const std::vector<AuxFrame>& frames) {
    std::size_t count = 0;
    for (const auto& frame : frames) count += frame.header.type == AuxPacketType::clipboardTransfer;
    return count;
}

}  // namespace

TEST(ServerClipboardAnswer, ASnapshotThatCannotBeEncodedAnswersFalseAndSendsNothing) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer viewer(host, server.boundPorts().control);
    host.clock().runUntilIdle();
    viewer.takeAll();

    // A sequence number beyond the property list's signed integers cannot be written.
    auto unwritable = textTransfer("never written", std::uint64_t{1} << 63);
    EXPECT_FALSE(server.broadcastClipboardTransfer(unwritable)) << "the bridge keeps it pending";
    host.clock().runUntilIdle();
    EXPECT_TRUE(host.sawStatus("clipboard encode failed: "));
    EXPECT_EQ(clipboardFramesIn(viewer.takeAll()), 0u);
}

TEST(ServerClipboardAnswer, AViewerThatLeftBeforeTheSnapshotWasRebuiltIsNotCountedOn) {
    ManualServer host;
    auto& server = host.server();
    auto viewer = std::make_unique<InMemoryViewer>(host, server.boundPorts().control);
    host.clock().runUntilIdle();
    ASSERT_TRUE(server.snapshot()->hasSignedInControlViewer);

    // The Viewer's connection ends. The first server-queue turn that finds its session gone runs
    // before the snapshot is rebuilt; the bridge asks from another thread at that moment.
    viewer->connection()->cancel();
    std::optional<bool> answer;
    bool snapshotStillShowedIt = false;
    std::function<void()> probe = [&] {
        if (!test::ServerInspector(server).sessions().authorizedAudioSessions().empty()) {
            server.queue->async(probe);
            return;
        }
        snapshotStillShowedIt = server.snapshot()->hasSignedInControlViewer;
        std::thread bridge([&] { answer = server.broadcastClipboardTransfer(textTransfer("nobody left", 1)); });
        bridge.join();
    };
    server.queue->async(probe);
    host.clock().runUntilIdle();
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(snapshotStillShowedIt) << "the moment this test is about did not come";
    EXPECT_FALSE(*answer) << "answered true for a snapshot nobody got: the bridge would drop it";
}

}  // namespace ServerClipboardAnswerTests
