// A Viewer that starts the same batch twice and leaves at once: whatever the Host staged for it
// goes, on either road, and what it finished lands where it asked. The Host is the application
// as the process launches it, over real TCP.
#include <gtest/gtest.h>

#include "support/LiveHostApp.h"
#include "support/TestFiles.h"
#include "support/ViewerBatches.h"
#include "support/WiredHost.h"

namespace qm::test {
namespace StagingCleanupTests {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

enum class Road { fileChannel, control };

struct RepeatedStart {
    Road road;
    bool firstFinished;  // the first batch ran to its end before the second started
    bool inFlight;       // the Viewer leaves with the second start still on its way
};

std::string describe(const RepeatedStart& c) {
    return std::string(c.road == Road::fileChannel ? "file channel" : "control connection") +
           (c.firstFinished ? ", first batch finished" : ", first batch unfinished") +
           (c.inFlight ? ", leaving with the second start in flight" : ", leaving once the second start was read");
}

std::vector<std::string> stagedNames(const fs::path& staging) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(staging, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    return names;
}

// One file started (and for `finished`, sent whole) under `id`.
void sendPart(const FilePacketRoad& send, const UUID& id, const std::optional<std::string>& destination,
              const std::string& name, const Bytes& content, bool finished) {
    startFileBatch(send, id, FileTransferIntent::copy, destination, name, content.size());
    send({FileTransferOp::fileStart, id, content.size(), 0, name, {}});
    const auto part = finished ? content.size() : content.size() / 2;
    send({FileTransferOp::fileChunk, id, 0, 0, name, Bytes(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(part))});
    if (!finished) return;
    send({FileTransferOp::fileEnd, id, content.size(), 0, name, {}});
    send({FileTransferOp::batchEnd, id, 0, 0, "", {}});
}

class RepeatedBatchStart : public ::testing::TestWithParam<RepeatedStart> {};

TEST_P(RepeatedBatchStart, TheViewerLeavingRightAfterLeavesNothingStaged) {
    const auto which = GetParam();
    LiveHostApp host;
    const auto content = randomBytes(4096, 31);
    // Repeated because the road from the packets to the staging folder crosses queues.
    for (int round = 0; round < 12; ++round) {
        WiredViewer viewer(*host.live);
        ASSERT_TRUE(viewer.ready());
        const auto send = which.road == Road::fileChannel ? fileChannelRoad(*viewer.channel) : controlRoad(viewer.control);
        const UUID id = UUID::random();
        const std::string name = "round-" + std::to_string(round) + ".bin";
        sendPart(send, id, "~/Twice", name, content, which.firstFinished);
        if (which.firstFinished) {
            ASSERT_TRUE(waitUntil([&] { return fs::exists(host.home() / "Twice" / name); })) << describe(which);
            EXPECT_TRUE(fileBytes(host.home() / "Twice" / name) == content) << describe(which);
        }
        // The same id again within the second, with a file begun.
        startFileBatch(send, id, FileTransferIntent::copy, "~/Twice", name, content.size());
        send({FileTransferOp::fileStart, id, content.size(), 0, name, {}});
        if (!which.inFlight) {
            // A listing asked behind it comes back once the Host's file service has taken the start.
            const UUID probe = UUID::random();
            send({FileTransferOp::listDir, probe, 0, 0, "~", {}});
            ASSERT_TRUE(readUntil(*viewer.channel, [&](const FileTransferPacket& p) {
                return p.op == FileTransferOp::listDirReply && p.batchID == probe;
            })) << describe(which);
        }
        viewer.channel->disconnect();
        viewer.control.disconnect();
        ASSERT_TRUE(waitUntil([&] { return host.stagingEmpty(); }, 10s))
            << describe(which) << ", round " << round << ": left " << testing::PrintToString(stagedNames(host.staging()));
    }
}

std::vector<RepeatedStart> everyWay() {
    std::vector<RepeatedStart> all;
    for (auto road : {Road::fileChannel, Road::control})
        for (bool finished : {false, true})
            for (bool inFlight : {false, true}) all.push_back({road, finished, inFlight});
    return all;
}

INSTANTIATE_TEST_SUITE_P(BothRoads, RepeatedBatchStart, ::testing::ValuesIn(everyWay()), [](const auto& info) {
    return std::string(info.param.road == Road::fileChannel ? "FileChannel" : "Control") +
           (info.param.firstFinished ? "FirstFinished" : "FirstUnfinished") + (info.param.inFlight ? "InFlight" : "Read");
});

// A finished batch waits for the user to choose where it goes; the Viewer sends the same id again
// and leaves. Whatever the user then answers, nothing stays staged, and the answer is about the
// batch the user was asked about.
TEST(RepeatedBatchStart, AFinishedBatchWaitingForItsFolderAndItsIdStartedAgainLeaveNothingStaged) {
    for (int way = 0; way < 8; ++way) {
        const auto road = way & 1 ? Road::control : Road::fileChannel;
        const bool pick = way & 2;
        const bool secondFinished = way & 4;
        LiveHostApp host;
        const auto content = randomBytes(4096, 32);
        WiredViewer viewer(*host.live);
        ASSERT_TRUE(viewer.ready());
        const auto send = road == Road::fileChannel ? fileChannelRoad(*viewer.channel) : controlRoad(viewer.control);
        const UUID id = UUID::random();
        sendPart(send, id, std::nullopt, "first.bin", content, true);
        auto panels = [&] { return host.mainQueue->sync([&] { return host.shell->folderPanels.size(); }); };
        ASSERT_TRUE(waitUntil([&] { return panels() == 1; }));
        sendPart(send, id, std::nullopt, "second.bin", content, secondFinished);
        const UUID probe = UUID::random();
        send({FileTransferOp::listDir, probe, 0, 0, "~", {}});
        ASSERT_TRUE(readUntil(*viewer.channel, [&](const FileTransferPacket& p) {
            return p.op == FileTransferOp::listDirReply && p.batchID == probe;
        }));
        viewer.channel->disconnect();
        viewer.control.disconnect();
        ASSERT_TRUE(waitUntil([&] { return host.live->server().connectedFileTransferPeers().empty(); }));
        host.mainQueue->sync([&] {
            for (auto& answer : host.shell->pendingFolderPanels) {
                answer(pick ? std::optional<fs::path>(host.home() / "Picked") : std::nullopt);
            }
            host.shell->pendingFolderPanels.clear();
        });
        EXPECT_TRUE(waitUntil([&] { return host.stagingEmpty(); }, 10s))
            << (road == Road::fileChannel ? "file channel, " : "control connection, ")
            << (pick ? "picked" : "cancelled") << (secondFinished ? ", second finished" : "") << ": left "
            << testing::PrintToString(stagedNames(host.staging()));
        // The first batch is the one the answer was about; the second never took its id.
        EXPECT_EQ(fs::exists(host.home() / "Picked" / "first.bin"), pick);
        EXPECT_FALSE(fs::exists(host.home() / "Picked" / "second.bin"));
    }
}

}  // namespace
}  // namespace StagingCleanupTests
}  // namespace qm::test
