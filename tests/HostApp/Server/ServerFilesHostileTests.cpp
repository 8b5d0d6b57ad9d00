// The file service against Viewers that read slowly, vanish mid-transfer or lose their file
// channel, over real TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <fstream>
#include <random>

#include "QuillmereProfiles/ClipboardTransfer.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/LiveServer.h"
#include "support/ServerInspector.h"
#include "support/TestFiles.h"
#include "support/TestViewer.h"
#include "support/ViewerBatches.h"
#include "support/WiredHost.h"

namespace ServerFilesHostileTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t chunk = WiredHost::chunk;

// Records the largest backlog toward the Viewer seen as each chunk leaves the service.
struct BacklogProbe {
    std::atomic<std::size_t> most{0};
    void install(WiredHost& host, const UUID& session) {
        auto wired = host.files->routedSendPacket.get();
        auto server = host.live->serverPtr();
        host.files->routedSendPacket = [this, wired, server, session](const FileTransferPacket& packet,
                                                                      const std::optional<std::string>& token) {
            if (packet.op == FileTransferOp::fileChunk) {
                const auto queued = server->fileTransferBacklog(session).value_or(0);
                std::size_t seen = most.load();
                while (queued > seen && !most.compare_exchange_weak(seen, queued)) {
                }
            }
            wired(packet, token);
        };
    }
};

}  // namespace

TEST(ServerFilesHostile, ASendToAViewerThatStopsReadingWaitsAndArrivesWhole) {
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    const auto content = randomBytes(40u << 20, 7);
    const auto source = host.folder.path() / "outgoing" / "big.bin";
    writeFile(source, content);
    BacklogProbe probe;
    probe.install(host, *viewer.sessionID);

    viewer.channel->holdReading(true);
    const auto batch = host.files->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {},
                                            viewer.sessionID->uuidString(), std::nullopt);
    ASSERT_TRUE(batch);
    // The Viewer's kernel buffers fill, then the Host's queue up to the mark, where reading waits.
    ASSERT_TRUE(waitUntil([&] {
        return host.live->server().fileTransferBacklog(*viewer.sessionID).value_or(0) >
               FileTransferService::maxOutgoingBacklogBytes / 2;
    }));
    viewer.channel->holdReading(false);

    Bytes received;
    for (;;) {
        auto frame = viewer.channel->waitForFrame(30s);
        ASSERT_TRUE(frame) << "the batch never ended";
        auto packet = FileTransferPacket::decode(*frame);
        ASSERT_TRUE(packet);
        if (packet->op == FileTransferOp::fileChunk) received.insert(received.end(), packet->data.begin(), packet->data.end());
        if (packet->op == FileTransferOp::batchEnd) break;
    }
    EXPECT_TRUE(received == content) << "byte-identical";
    EXPECT_TRUE(host.live->waitForStatus("files: send completed for batch " + shortBatchID(*batch)));
    // Without the wait the whole file would have queued at once.
    EXPECT_LE(probe.most.load(), FileTransferService::maxOutgoingBacklogBytes + 2 * static_cast<std::size_t>(chunk));
}

TEST(ServerFilesHostile, ListingsForAViewerThatDoesNotReadWaitForItAndAllArrive) {
    // Declared before the Host: its hooks below use them until it is gone.
    std::atomic<std::size_t> produced{0};
    BacklogProbe probe;
    std::atomic<bool> heldBack{false};
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    const auto folder = host.folder.path() / "home" / "Long";
    fs::create_directories(folder);
    for (int i = 0; i < 200; ++i) std::ofstream(folder / (std::string(200, 'n') + std::to_string(i)));

    // Each answer is looked at as it leaves the service; a refusal of room means the service
    // held a listing back for the Viewer.
    auto wired = host.files->routedSendPacket.get();
    auto server = host.live->serverPtr();
    const UUID session = *viewer.sessionID;
    host.files->routedSendPacket = [&, wired, server, session](const FileTransferPacket& packet,
                                                               const std::optional<std::string>& token) {
        if (packet.op == FileTransferOp::listDirReply) {
            const auto queued = server->fileTransferBacklog(session).value_or(0);
            std::size_t seen = probe.most.load();
            while (queued > seen && !probe.most.compare_exchange_weak(seen, queued)) {
            }
            ++produced;
        }
        wired(packet, token);
    };
    auto backlog = host.files->outgoingBacklog.get();
    host.files->outgoingBacklog = [&, backlog](const std::optional<std::string>& token) {
        auto queued = backlog(token);
        if (queued && *queued > FileTransferService::maxOutgoingBacklogBytes) heldBack = true;
        return queued;
    };

    constexpr std::size_t requests = 600;  // about 30 MB of answers
    viewer.channel->holdReading(true);
    std::vector<UUID> asked;
    for (std::size_t i = 0; i < requests; ++i) {
        asked.push_back(UUID::random());
        viewer.channel->sendPacket({FileTransferOp::listDir, asked.back(), 0, 0, "Long", {}});
    }
    ASSERT_TRUE(waitUntil([&] { return heldBack.load() || produced.load() == requests; }, 60s));
    EXPECT_TRUE(heldBack.load()) << "every listing was answered into a connection that does not read";
    EXPECT_LT(produced.load(), requests);

    viewer.channel->holdReading(false);
    std::vector<UUID> answered;
    while (answered.size() < requests) {
        auto frame = viewer.channel->waitForFrame(30s);
        ASSERT_TRUE(frame) << answered.size() << " answers of " << requests;
        auto packet = FileTransferPacket::decode(*frame);
        ASSERT_TRUE(packet);
        if (packet->op == FileTransferOp::listDirReply) answered.push_back(packet->batchID);
    }
    EXPECT_EQ(answered, asked) << "every listing answered, in order";
    EXPECT_LE(probe.most.load(), FileTransferService::maxOutgoingBacklogBytes + FileTransferService::maxListingBytes +
                                     (64u << 10));
    // The channel still serves.
    viewer.channel->sendPacket({FileTransferOp::listDir, UUID::random(), 0, 0, "Long", {}});
    EXPECT_TRUE(viewer.channel->waitForFrame(30s));
}

TEST(ServerFilesHostile, AViewersOneBatchIsServedInTurnWithAnothersBurstOfBatches) {
    WiredHost host;
    WiredViewer burster(host);
    ASSERT_TRUE(burster.ready());
    WiredViewer bystander(host);
    ASSERT_TRUE(bystander.ready());
    host.releaseCompletedBatches();
    constexpr std::size_t burst = 2000;
    const auto burstRoad = fileChannelRoad(*burster.channel);
    for (std::size_t i = 0; i < burst; ++i)
        sendFileBatch(burstRoad, FileTransferIntent::copy, std::nullopt, "burst.txt", Bytes{'x'});
    sendFileBatch(fileChannelRoad(*bystander.channel), FileTransferIntent::copy, std::nullopt, "bystander.txt",
                  Bytes{'y'});
    ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == burst + 1; }, 120s));
    const auto completed = host.completedBatches();
    const auto served = std::ranges::find_if(completed, [](const std::vector<fs::path>& items) {
        return items.size() == 1 && items[0].filename() == "bystander.txt";
    });
    ASSERT_NE(served, completed.end());
    EXPECT_LT(static_cast<std::size_t>(served - completed.begin()), burst / 2)
        << "the bystander's batch waited behind most of the burst";
}

TEST(ServerFilesHostile, ASendToAViewerThatLeavesIsReportedFailedNotCompleted) {
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    const auto source = host.folder.path() / "outgoing" / "big.bin";
    writeFile(source, randomBytes(40u << 20, 8));
    viewer.channel->holdReading(true);
    const auto batch = host.files->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {},
                                            viewer.sessionID->uuidString(), std::nullopt);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(waitUntil([&] {
        return host.live->server().fileTransferBacklog(*viewer.sessionID).value_or(0) >
               FileTransferService::maxOutgoingBacklogBytes / 2;
    }));
    viewer.channel->abort();
    viewer.control.abort();
    EXPECT_TRUE(host.live->waitForStatus("files: send failed for batch " + shortBatchID(*batch)));
    EXPECT_EQ(host.live->countStatuses("files: send completed for batch " + shortBatchID(*batch)), 0u);
    EXPECT_TRUE(waitUntil([&] { return host.files->tableEntryCount() == 0; }));
}

TEST(ServerFilesHostile, AViewerHearsItsBatchOutcomeAndALostFileChannelTakesItsPartialFile) {
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    const UUID done = UUID::random();
    viewer.channel->sendPacket({FileTransferOp::batchStart, done, 2, 1, {}, {}});
    viewer.channel->sendPacket({FileTransferOp::fileStart, done, 2, 0, "a.txt", {}});
    viewer.channel->sendPacket({FileTransferOp::fileChunk, done, 0, 0, "a.txt", {'h', 'i'}});
    viewer.channel->sendPacket({FileTransferOp::fileEnd, done, 2, 0, "a.txt", {}});
    viewer.channel->sendPacket({FileTransferOp::fileStart, done, 9, 0, "short.txt", {}});
    viewer.channel->sendPacket({FileTransferOp::fileChunk, done, 0, 0, "short.txt", {'x'}});
    viewer.channel->sendPacket({FileTransferOp::fileEnd, done, 9, 0, "short.txt", {}});
    viewer.channel->sendPacket({FileTransferOp::batchEnd, done, 0, 0, {}, {}});
    EXPECT_TRUE(viewer.control.waitForStatus("files: batch " + done.uuidString() + " dropped short.txt"));
    EXPECT_TRUE(viewer.control.waitForStatus("files: batch " + done.uuidString() +
                                             " received 1 item(s), dropped 1 file(s)"));

    // A second batch stops mid-file when its channel is reset; the control session stays.
    const UUID partial = UUID::random();
    viewer.channel->sendPacket({FileTransferOp::batchStart, partial, 100, 1, {}, {}});
    viewer.channel->sendPacket({FileTransferOp::fileStart, partial, 100, 0, "part.bin", {}});
    viewer.channel->sendPacket({FileTransferOp::fileChunk, partial, 0, 0, "part.bin", Bytes(10, 1)});
    ASSERT_TRUE(waitUntil([&] { return host.stagedFiles() == 2; }));
    viewer.channel->abort();
    EXPECT_TRUE(waitUntil([&] { return host.stagedFiles() == 1; })) << "the partial file goes with its batch";
    EXPECT_TRUE(viewer.control.connected());
    EXPECT_TRUE(waitUntil([&] { return host.files->tableEntryCount() == 0; }));
}

TEST(ServerFilesHostile, ASendToASlowControlOnlyViewerWaitsInsteadOfOverflowingItsQueue) {
    WiredHost host;
    TestViewer viewer(host.live->ports().control);
    auto signedIn = viewer.signIn(LiveServer::user, LiveServer::password);
    ASSERT_TRUE(signedIn && signedIn->accepted);
    ServerInspector inspector(host.live->server());
    const auto sessions = host.live->server().queue->sync([&] {
        return std::vector<UUID>(inspector.sessions().authorizedAudioSessions().begin(),
                                 inspector.sessions().authorizedAudioSessions().end());
    });
    ASSERT_EQ(sessions.size(), 1u);
    const UUID session = sessions.front();
    // More than the control connection's send limit, so queueing it all would close the session.
    const auto content = randomBytes(48u << 20, 9);
    const auto source = host.folder.path() / "outgoing" / "big.bin";
    writeFile(source, content);
    BacklogProbe probe;
    probe.install(host, session);
    viewer.holdReading(true);
    const auto batch = host.files->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {},
                                            session.uuidString(), std::nullopt);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(waitUntil([&] {
        return host.live->server().fileTransferBacklog(session).value_or(0) >
               FileTransferService::maxOutgoingBacklogBytes / 2;
    }));
    viewer.holdReading(false);
    Bytes received;
    for (;;) {
        auto frame = viewer.waitFor(AuxPacketType::fileTransfer, 30s);
        ASSERT_TRUE(frame) << "the batch never ended";
        auto packet = FileTransferPacket::decode(frame->payload);
        ASSERT_TRUE(packet);
        if (packet->op == FileTransferOp::fileChunk) received.insert(received.end(), packet->data.begin(), packet->data.end());
        if (packet->op == FileTransferOp::batchEnd) break;
    }
    EXPECT_TRUE(received == content);
    EXPECT_TRUE(viewer.connected());
    EXPECT_TRUE(host.live->waitForStatus("files: send completed for batch " + shortBatchID(*batch)));
    EXPECT_LE(probe.most.load(), FileTransferService::maxOutgoingBacklogBytes + 2 * static_cast<std::size_t>(chunk));
}

TEST(ServerClipboardHostile, SnapshotsWaitingForABusyMainQueueCollapseToTheLatest) {
    // What holds the Host's main queue outlives the Host, whose thread waits on it.
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    host.mainQueue->async([&] {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return released; });
    });
    constexpr int count = 30;
    for (int i = 1; i <= count; ++i) {
        ClipboardTransfer transfer{"viewer-one", static_cast<std::uint64_t>(i), 1, {}};
        transfer.items.push_back({ClipboardTransferItemKind::text, std::to_string(i), std::nullopt, std::nullopt, {}});
        viewer.control.send(AuxPacketType::clipboardTransfer, *transfer.encodedData());
    }
    // Answered on the session queue after every snapshot before it was taken.
    viewer.control.send(AuxPacketType::hostShortcut, Bytes{});
    ASSERT_TRUE(viewer.control.waitForStatus("bad host shortcut payload"));
    ASSERT_TRUE(waitUntil([&] { return host.live->server().resourceCounts().pendingClipboardSnapshots == 0; }));
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
    EXPECT_TRUE(waitUntil([&] {
        return host.mainQueue->sync([&] { return host.pasteboard->readString(); }) == std::to_string(count);
    }));
    EXPECT_LE(host.live->countStatuses("clipboard applied text from Viewer"), 2u)
        << "one pending snapshot, not one main-queue block per snapshot";
}

}  // namespace ServerFilesHostileTests
