// The delegate's own wiring of server, clipboard bridge and file service, as the process builds
// it: what a Viewer's file packets meet on their way in.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string_view>

#include "HostApp/Server/ServerConstants.h"
#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/Core/LogSink.h"
#include "QuillmereProfiles/SessionPayloads.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "HostApp/App/DeliveryTurns.h"
#include "HostApp/App/FileDeliveryController.h"
#include "Platform/FileManagerDesktop.h"
#include "support/AppHarness.h"
#include "support/ServerInspector.h"
#include "support/TestFiles.h"
#include "support/ViewerBatches.h"

namespace FileWiringTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunkBytes = 256 * 1024;

// The launched delegate with one of the file service's queues on a clock of its own: pumping the
// Host's clock leaves it alone, so its work only queues until the test lets it run.
struct AppWithHeldQueue {
    AppHarness app;
    std::shared_ptr<ManualClock> heldClock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> held;

    explicit AppWithHeldQueue(const std::string& heldLabel, const std::function<void(AppHarness&)>& prepare = {}) {
        if (prepare) prepare(app);
        auto made = app.environment.platform.makeQueue;
        app.environment.platform.makeQueue = [this, made, heldLabel](const std::string& label) -> DispatchQueuePtr {
            if (label != heldLabel) return made(label);
            held = heldClock->makeQueue(label);
            return held;
        };
        app.launch();
    }
    // Runs the held queue and the Host's until both are idle; calls `step` after each round.
    void release(const std::function<void()>& step = {}) {
        while (held->runUntilIdle() + app.host.clock().runUntilIdle() > 0)
            if (step) step();
    }
};

// Received file data only queues until the test lets the receive queue run.
struct HeldReceiveApp : AppWithHeldQueue {
    explicit HeldReceiveApp(const std::function<void(AppHarness&)>& prepare = {})
        : AppWithHeldQueue("quillmere.filetransfer.recv", prepare) {}
    ~HeldReceiveApp() { drain(); }
    // The most received data that was queued at once.
    std::size_t drain() {
        std::size_t most = 0;
        release([&] { most = std::max(most, app.delegate->fileTransferService()->queuedInboundBytes()); });
        return most;
    }
};

// The batches the Host queues stay on their way until the test lets the send queue run.
struct HeldSendApp : AppWithHeldQueue {
    HeldSendApp() : AppWithHeldQueue("quillmere.filetransfer.send") {}
    ~HeldSendApp() { release(); }
};

void sendFilePacket(InMemoryViewer& viewer, const FileTransferPacket& packet) {
    viewer.send(AuxPacketType::fileTransfer, packet.encode());
}

// The lines the Host writes from its making until taken.
class LogLines {
public:
    std::vector<std::string> taken() {
        subscription_.cancel();
        std::lock_guard lock(lock_);
        return lines_;
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
    LogSink::Subscription subscription_ = LogSink::shared().subscribe([this](std::string_view line) {
        std::lock_guard lock(lock_);
        lines_.emplace_back(line);
    });
};
FilePacketRoad controlRoadOf(InMemoryViewer& viewer) {
    return [&viewer](const FileTransferPacket& packet) { sendFilePacket(viewer, packet); };
}

std::optional<FileTransferPeerSendResponse> receiptIn(const std::vector<AuxFrame>& frames, const UUID& batch) {
    for (const auto& frame : frames) {
        if (frame.header.type != AuxPacketType::fileTransfer) continue;
        auto packet = FileTransferPacket::decode(frame.payload);
        if (packet && packet->op == FileTransferOp::peerSendResponse && packet->batchID == batch)
            return FileTransferPeerSendResponse::decode(packet->data);
    }
    return std::nullopt;
}

std::size_t batchStartsIn(const std::vector<AuxFrame>& frames) {
    std::size_t starts = 0;
    for (const auto& frame : frames) {
        if (frame.header.type != AuxPacketType::fileTransfer) continue;
        auto packet = FileTransferPacket::decode(frame.payload);
        starts += packet && packet->op == FileTransferOp::batchStart;
    }
    return starts;
}

// A whole one-file batch, its folder named (with `options`) when `destination` is given.
void sendWholeBatch(InMemoryViewer& viewer, const UUID& id, FileTransferIntent intent,
                    const std::optional<std::string>& destination = std::nullopt, std::uint64_t options = 0) {
    if (destination) sendFilePacket(viewer, {FileTransferOp::directSave, id, options, 0, *destination, {}});
    sendFilePacket(viewer, {FileTransferOp::batchStart, id, 2, FileTransferPacket::batchStartValue2(intent, 1), "", {}});
    sendFilePacket(viewer, {FileTransferOp::fileStart, id, 2, 0, "a.txt", {}});
    sendFilePacket(viewer, {FileTransferOp::fileChunk, id, 0, 0, "a.txt", Bytes{'h', 'i'}});
    sendFilePacket(viewer, {FileTransferOp::fileEnd, id, 2, 0, "a.txt", {}});
    sendFilePacket(viewer, {FileTransferOp::batchEnd, id, 0, 0, "", {}});
}

// Host statuses, cancels ("cancel <id>") and receipts ("receipt <id> <message>"), in arrival order.
std::vector<std::string> heardOf(const std::vector<AuxFrame>& frames) {
    std::vector<std::string> out;
    for (const auto& frame : frames) {
        if (frame.header.type == AuxPacketType::hostStatus) out.emplace_back(frame.payload.begin(), frame.payload.end());
        auto packet = frame.header.type == AuxPacketType::fileTransfer ? FileTransferPacket::decode(frame.payload) : std::nullopt;
        if (packet && packet->op == FileTransferOp::cancelBatch) out.push_back("cancel " + packet->batchID.uuidString());
        if (auto receipt = packet ? FileTransferService::peerSendResponse(*packet) : std::nullopt)
            out.push_back("receipt " + packet->batchID.uuidString() + " " + receipt->message.value_or(""));
    }
    return out;
}

bool stagingEmpty(const AppHarness& app) { return fs::is_empty(app.caches.path() / "QuillmereFileInbox" / "Viewer"); }

}  // namespace

// The Host stops with batches waiting for its user (a folder panel, a conflict question): their
// Viewer hears each cancelled before it hears the Host exit, the panel closes, the user's file
// stays, and nothing stays staged, as nothing an earlier run left did past the launch.
TEST(FileWiring, AStopCancelsTheBatchesWaitingForTheUserBeforeTheExitNoticeAndLeavesNothingStaged) {
    AppHarness app;
    writeText(app.caches.path() / "QuillmereFileInbox" / "Viewer" / "1700000000-0A1B2C3D" / "a.txt", "left");
    app.launch();
    EXPECT_TRUE(stagingEmpty(app));
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, "Sending Viewer");
    const auto home = app.environment.homeDirectory;
    writeText(home / "Managed" / "a.txt", "mine");
    const UUID asked = UUID::random(), waiting = UUID::random(), conflict = UUID::random();
    sendWholeBatch(viewer, asked, FileTransferIntent::copy);
    sendWholeBatch(viewer, waiting, FileTransferIntent::copy);
    sendWholeBatch(viewer, conflict, FileTransferIntent::managedCopy, "~/Managed",
                   FileTransferDeliveryOptions::promptForConflicts.rawValue);
    ASSERT_EQ(app.shell->openFolderPanelCount(), 1u);
    viewer.takeAll();
    app.delegate->terminateApplication("signal 15");
    app.host.clock().advance(1);
    const auto heard = heardOf(viewer.takeAll());
    const auto exiting = std::find(heard.begin(), heard.end(), "host service exiting");
    for (const auto& id : {asked, waiting, conflict}) EXPECT_EQ(std::count(heard.begin(), exiting, "cancel " + id.uuidString()), 1);
    EXPECT_EQ(std::count(heard.begin(), exiting, "receipt " + conflict.uuidString() + " Cancelled"), 1);
    EXPECT_NE(exiting, heard.end());
    EXPECT_EQ(app.shell->openFolderPanelCount(), 0u);
    EXPECT_TRUE(stagingEmpty(app));
    EXPECT_EQ(fileText(home / "Managed" / "a.txt"), "mine");
    EXPECT_EQ(std::distance(fs::directory_iterator(home / "Managed"), fs::directory_iterator()), 1);
}

// The Host stops while the events of batches its receiving side got through still wait on the
// main queue: each Viewer told its batch was received hears it cancelled, and a managed copy its
// receipt, before it hears the Host exit; nothing is saved and nothing stays staged.
TEST(FileWiring, AStopAnswersEveryBatchTheViewerWasToldWasReceivedWhoseEventsStillWait) {
    HeldReceiveApp held;
    ASSERT_TRUE(held.held);
    auto& app = held.app;
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, "Sending Viewer");
    std::vector<UUID> batches(6);
    for (auto& id : batches) {
        id = UUID::random();
        sendWholeBatch(viewer, id, FileTransferIntent::managedCopy, "~/Named");
    }
    held.held->runUntilIdle();
    app.delegate->terminateApplication("signal 15");
    app.host.clock().advance(1);
    const auto heard = heardOf(viewer.takeAll());
    const auto exiting = std::find(heard.begin(), heard.end(), "host service exiting");
    ASSERT_NE(exiting, heard.end());
    for (const auto& id : batches) {
        const auto received = std::find_if(heard.begin(), exiting, [&](const std::string& line) {
            return line.starts_with("files: batch " + id.uuidString() + " received 1 item(s)");
        });
        EXPECT_NE(received, exiting);
        EXPECT_EQ(std::count(received, exiting, "cancel " + id.uuidString()), 1);
        EXPECT_EQ(std::count(received, exiting, "receipt " + id.uuidString() + " Cancelled"), 1);
    }
    EXPECT_FALSE(fs::exists(app.environment.homeDirectory / "Named" / "a.txt"));
    EXPECT_TRUE(stagingEmpty(app));
}

// Without a desktop nobody would answer a folder panel: a copy with nowhere named to go is
// refused at once, as a managed copy is; one that names its folder still lands there.
TEST(FileWiring, WithoutADesktopACopyWithNowhereToGoIsRefusedAtOnce) {
    AppHarness app;
    app.environment.headless = true;
    app.launch();
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, "Sending Viewer");
    const UUID nowhere = UUID::random(), named = UUID::random();
    sendWholeBatch(viewer, nowhere, FileTransferIntent::copy);
    sendWholeBatch(viewer, named, FileTransferIntent::copy, "~/Incoming");
    const auto heard = heardOf(viewer.takeAll());
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "cancel " + nowhere.uuidString()), 1);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "cancel " + named.uuidString()), 0);
    EXPECT_TRUE(app.shell->folderPanels.empty());
    EXPECT_TRUE(stagingEmpty(app));
    EXPECT_EQ(fileText(app.environment.homeDirectory / "Incoming" / "a.txt"), "hi");
}

TEST(FileWiring, ABatchOnTheControlConnectionStaysUnderTheBacklogMarkThroughTheDelegate) {
    HeldReceiveApp held;
    ASSERT_TRUE(held.held);
    InMemoryViewer viewer(held.app.host, held.app.host.server().boundPorts().control);
    // One Viewer is held at its own mark, before the backlog of all Viewers reaches its own.
    const std::size_t mark = FileTransferService::maxQueuedBytesPerPeer;
    const std::size_t total = 64u << 20;
    const auto batch = UUID::random();
    sendFilePacket(viewer, {FileTransferOp::batchStart, batch, total,
                            FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1), "", {}});
    sendFilePacket(viewer, {FileTransferOp::fileStart, batch, total, 0, "pushed.bin", {}});
    for (std::size_t offset = 0; offset < total; offset += chunkBytes)
        sendFilePacket(viewer, {FileTransferOp::fileChunk, batch, offset, 0, "pushed.bin", Bytes(chunkBytes, 7)});
    sendFilePacket(viewer, {FileTransferOp::fileEnd, batch, total, 0, "pushed.bin", {}});
    sendFilePacket(viewer, {FileTransferOp::batchEnd, batch, 0, 0, "", {}});
    held.app.host.clock().runUntilIdle();

    const std::size_t queued = held.app.delegate->fileTransferService()->queuedInboundBytes();
    EXPECT_GT(queued, mark);
    EXPECT_LE(queued, mark + 4 * chunkBytes);
    EXPECT_GE(viewer.connection()->queuedSendBytes(), total - mark - 4 * chunkBytes)
        << "what the Host did not read stays with the Viewer";
    EXPECT_LE(held.drain(), mark + 4 * chunkBytes);
    EXPECT_EQ(viewer.connection()->queuedSendBytes(), 0u);
    EXPECT_EQ(held.app.count("files: received 1 item(s) into "), 1u);
}

// A chunk from the file channel waits in its Viewer's lane counted by its own size: one that came
// in a read buffer shared with other frames lets go of that buffer, so a Viewer sending one tiny
// chunk per read cannot make the Host hold a whole read buffer for each. A chunk read into a
// buffer of its own keeps it, and is written from it.
TEST(FileWiring, ASmallChunkWaitingForItsTurnHoldsNoSharedReadBuffer) {
    HeldReceiveApp held;
    ASSERT_TRUE(held.held);
    InMemoryViewer viewer(held.app.host, held.app.host.server().boundPorts().control);
    const auto session = ServerInspector(held.app.host.server()).sessions().authorizedAudioSessions();
    ASSERT_EQ(session.size(), 1u);
    auto handIn = [&](std::size_t storageSize, std::size_t dataSize) {
        auto storage = std::make_shared<const Bytes>(storageSize, 7);
        FileTransferPacketView chunk;
        chunk.op = FileTransferOp::fileChunk;
        chunk.batchID = UUID::random();
        chunk.data = std::span(storage->data(), dataSize);
        held.app.host.server().onFileTransferChannelPacket(chunk, storage, *session.begin());
        return storage.use_count() - 1;  // holders besides this test
    };
    EXPECT_EQ(handIn(64 * 1024, 16), 0) << "a read buffer shared with other frames";
    EXPECT_EQ(handIn(300 * 1024, 256 * 1024 + 64), 1) << "a chunk's buffer of its own";
}

TEST(FileWiring, AnswersQueuedForAViewerThatLeftCostTheLogAFewLinesASecond) {
    HeldReceiveApp held;
    ASSERT_TRUE(held.held);
    auto viewer = std::make_unique<InMemoryViewer>(held.app.host, held.app.host.server().boundPorts().control);
    for (int request = 0; request < 3000; ++request)
        sendFilePacket(*viewer, {FileTransferOp::listDir, UUID::random(), 0, 0, "~", {}});
    viewer->disconnect();
    LogLines log;
    held.drain();
    const auto lines = log.taken();
    const auto unavailable = std::ranges::count_if(
        lines, [](const std::string& line) { return line.find(" is unavailable") != std::string::npos; });
    EXPECT_GE(unavailable, 1) << "a reply finds its Viewer gone";
    EXPECT_LE(unavailable, ServerConstants::strangerLogLinesPerSecond) << "the share of connections not signed in";
}

// Connections that never sign in come and go in their thousands, from many addresses: the file
// service hears nothing of them, so its queue has nothing to do for them.
TEST(FileWiring, ConnectionsThatNeverSignInCostTheFileServiceNothing) {
    HeldReceiveApp held;
    ASSERT_TRUE(held.held);
    auto& app = held.app;
    const auto port = app.host.server().boundPorts().control;
    held.drain();  // what the start left there
    for (int i = 0; i < 3000; ++i) {
        InMemoryViewer silent(app.host, port, InMemoryViewer::NotSignedIn{},
                              "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1));
        silent.disconnect();
    }
    EXPECT_EQ(held.held->runUntilIdle(), 0u) << "blocks on the file service's queue";
}

TEST(FileWiring, PeerSendRequestsOnEitherChannelReachTheDelegateAndItsAnswerOnlyTheAskingViewer) {
    AppHarness app;
    app.launch();
    InMemoryViewer asking(app.host, app.host.server().boundPorts().control, "Asking Viewer");
    InMemoryViewer other(app.host, app.host.server().boundPorts().control, "Other Viewer");
    asking.takeAll();
    other.takeAll();
    const auto request = UUID::random();
    sendFilePacket(asking, {FileTransferOp::peerSendRequest, request, 0, 0, "", Bytes{'{'}});
    app.host.clock().runUntilIdle();
    bool answered = false;
    for (const auto& frame : asking.takeAll()) {
        if (frame.header.type != AuxPacketType::fileTransfer) continue;
        auto packet = FileTransferPacket::decode(frame.payload);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->op, FileTransferOp::peerSendResponse);
        EXPECT_EQ(packet->batchID, request);
        answered = true;
    }
    EXPECT_TRUE(answered);
    for (const auto& frame : other.takeAll()) EXPECT_NE(frame.header.type, AuxPacketType::fileTransfer);
}

TEST(FileWiring, RefusedRequestsAndStalePullsCostTheViewersLogBudgetNotALineEach) {
    AppHarness app;
    app.launch();
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, "Busy Viewer");
    std::atomic<std::size_t> lines{0};
    LogSink::shared().setWritesStandardError(false);
    auto subscription = LogSink::shared().subscribe([&](std::string_view) { ++lines; });
    // Malformed requests, requests for nothing in home, and pulls of a snapshot that never was,
    // within one of the Viewer's log windows (the virtual clock does not move on its own).
    const FileTransferPeerSendRequest outsideHome({"/etc/hostname"}, "~/Downloads", {});
    for (int round = 0; round < 2000; ++round) {
        sendFilePacket(viewer, {FileTransferOp::peerSendRequest, UUID::random(), 0, 0, "", Bytes{'{'}});
        sendFilePacket(viewer, {FileTransferOp::peerSendRequest, UUID::random(), 0, 0, "", outsideHome.encoded()});
        viewer.send(AuxPacketType::dragPullRequest, DragPullRequestPayload{7, 0}.encode());
        if (round % 100 == 99) app.host.clock().runUntilIdle();
    }
    app.host.clock().runUntilIdle();
    subscription.cancel();
    LogSink::shared().setWritesStandardError(true);
    // Its budgets for one window (8 lines about what it sent, 32 about what the Host did for it),
    // their "suppressed" lines, and a few of the Host's own.
    EXPECT_LE(lines.load(), 8u + 1 + 32 + 1 + 10);
    EXPECT_EQ(app.host.server().resourceCounts().authorizedSessions, 1u);
}

// One Viewer's burst of batches takes turns with another Viewer's batch: when the receiving side
// has got through as many of them as it stages before the main queue gets to any, the other
// Viewer's batch is delivered, and its receipt sent, after at most a few of the burst's; and the
// burst's folder is opened once, not once a batch.
TEST(FileWiring, AnotherViewersBatchIsServedBetweenABurstsBatchesAndTheFolderOpensOnce) {
    auto fileManager = std::make_shared<SimulatedFileManagerDesktop>();
    HeldReceiveApp held([&](AppHarness& app) { app.environment.fileManager = fileManager; });
    ASSERT_TRUE(held.held);
    auto& app = held.app;
    InMemoryViewer busy(app.host, app.host.server().boundPorts().control, "Busy Viewer");
    InMemoryViewer other(app.host, app.host.server().boundPorts().control, "Other Viewer");
    constexpr int burst = 50;
    for (int i = 0; i < burst; ++i)
        sendFileBatch(controlRoadOf(busy), FileTransferIntent::managedCopy, "~/Burst", "b" + std::to_string(i), Bytes{'b'});
    const UUID asked = sendFileBatch(controlRoadOf(other), FileTransferIntent::managedCopy, "~/Managed", "m", Bytes{'m'});
    // How much of the burst lay in its folder when the other Viewer's receipt went out (the log's
    // "saved" lines would not tell: past its budget, a Viewer's lines are left out).
    const auto home = app.environment.homeDirectory;
    auto countIn = [](const std::filesystem::path& folder) {
        std::error_code error;
        std::ptrdiff_t count = 0;
        for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) ++count;
        return count;
    };
    std::ptrdiff_t burstSavedBefore = -1;
    const auto& service = app.delegate->fileTransferService();
    service->routedSendPacket = [&, send = service->routedSendPacket.get()](const FileTransferPacket& packet,
                                                                            const std::optional<std::string>& token) {
        if (packet.op == FileTransferOp::peerSendResponse && packet.batchID == asked) burstSavedBefore = countIn(home / "Burst");
        send(packet, token);
    };
    app.host.clock().runUntilIdle();
    // The rest of the burst is staged as delivery lets go of what it took.
    held.release();

    const auto receipt = receiptIn(other.takeAll(), asked);
    ASSERT_TRUE(receipt);
    EXPECT_TRUE(receipt->accepted);
    EXPECT_EQ(countIn(home / "Burst"), burst);
    EXPECT_GE(burstSavedBefore, 0);
    EXPECT_LE(burstSavedBefore, 3) << "the other Viewer's batch waited for the whole burst";
    const auto& turns = *app.delegate->files().deliveryTurns();
    EXPECT_EQ(turns.waitingCount(), 0u);
    EXPECT_EQ(turns.rememberedBatchCount(), 0u);

    // One opener for the burst's folder; the other folder, so soon after, none.
    ASSERT_EQ(fileManager->revealed.size(), 1u);
    EXPECT_EQ(fileManager->revealed[0].front().parent_path().filename(), "Burst");
    // The same folder again once it has been quiet a while, and another folder a moment later.
    app.host.clock().advance(10);
    sendFileBatch(controlRoadOf(busy), FileTransferIntent::managedCopy, "~/Burst", "again", Bytes{'b'});
    held.release();
    app.host.clock().advance(1);
    sendFileBatch(controlRoadOf(other), FileTransferIntent::managedCopy, "~/Managed", "again", Bytes{'m'});
    held.release();
    ASSERT_EQ(fileManager->revealed.size(), 3u);
    EXPECT_EQ(fileManager->revealed[1].front().parent_path().filename(), "Burst");
    EXPECT_EQ(fileManager->revealed[2].front().parent_path().filename(), "Managed");
}

TEST(FileWiring, APulledItemIsQueuedOnceWhileOnItsWayAndEveryItemOfTheDragIsServed) {
    HeldSendApp held;
    ASSERT_TRUE(held.held);
    auto& app = held.app;
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, "Pulling Viewer");
    TemporaryDirectory folder;
    std::vector<std::filesystem::path> items;
    for (int i = 0; i < 6; ++i) {
        items.push_back(folder.path() / ("item " + std::to_string(i) + ".txt"));
        std::ofstream(items.back()) << "dragged " << i;
    }
    app.host.drag().beginDrag(items);
    app.host.clock().advance(1.0);
    auto snapshot = DragSnapshotPayload::decode(viewer.next(AuxPacketType::dragSnapshot).payload);
    ASSERT_TRUE(snapshot);
    ASSERT_EQ(snapshot->itemNames.size(), items.size());
    viewer.takeAll();

    // A flood of pulls of one item, then one pull of each item: more items than a Viewer may have
    // requests on their way, all of them wanted.
    for (int i = 0; i < 1000; ++i)
        viewer.send(AuxPacketType::dragPullRequest, DragPullRequestPayload{snapshot->snapshotID, 0}.encode());
    for (std::uint32_t i = 0; i < items.size(); ++i)
        viewer.send(AuxPacketType::dragPullRequest, DragPullRequestPayload{snapshot->snapshotID, i}.encode());
    EXPECT_EQ(app.count("drag pull: serving "), items.size());
    EXPECT_GE(app.count("drag pull: refused "), 1u);
    EXPECT_LE(app.count("drag pull: refused "), 8u) << "the refusals share the Viewer's log budget";
    held.release();
    EXPECT_EQ(batchStartsIn(viewer.takeAll()), items.size());

    // Once its batch has gone, the item can be pulled again.
    viewer.send(AuxPacketType::dragPullRequest, DragPullRequestPayload{snapshot->snapshotID, 0}.encode());
    held.release();
    EXPECT_EQ(batchStartsIn(viewer.takeAll()), 1u);
    EXPECT_EQ(app.count("drag pull: serving item 0.txt "), 2u);
}

// ---- What a Viewer's flood of file packets costs the log ----------------------------------------

namespace {

// One way a Viewer makes the Host's file service write a line per packet (or per few packets),
// sent `rounds` times within one of its log windows.
struct Flood {
    std::string name;
    int rounds;
    // What the Viewer gets for each round: a host status line (a packet, not a log line: one per
    // round, as before), or a batch.
    enum class Answer { statusLine, batch } answer;
    std::function<void(struct FloodRun&)> before;
    std::function<void(struct FloodRun&, int round)> round;
};

struct FloodRun {
    AppHarness& app;
    InMemoryViewer& viewer;
    UUID batch = UUID::random();
    std::uint32_t snapshotID = 0;

    void send(const FileTransferPacket& packet) { sendFilePacket(viewer, packet); }
    void startBatch(const UUID& id) {
        const auto value2 = FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1);
        send({FileTransferOp::batchStart, id, 0, value2, "", {}});
    }
};

std::string numbered(const std::string& prefix, int round) { return prefix + std::to_string(round); }

std::string longName() { return std::string(250, 'n') + ".txt"; }

std::vector<Flood> floods() {
    auto openBatch = [](FloodRun& run) { run.startBatch(run.batch); };
    return {
        {"ItemsWithNamesThatAreNotAllowed", 3000, Flood::Answer::statusLine, openBatch,
         [](FloodRun& run, int round) {
             // As long a path as a Viewer may send, with a ".." in it.
             const auto path = numbered(std::string(4000, 'n'), round) + "/../escape";
             run.send({FileTransferOp::fileStart, run.batch, 1, 0, path, {}});
         }},
        {"ItemsInFoldersNeverAnnounced", 3000, Flood::Answer::statusLine, openBatch,
         [](FloodRun& run, int round) {
             run.send({FileTransferOp::fileStart, run.batch, 1, 0, numbered("unannounced", round) + "/item", {}});
         }},
        {"BatchStartsBeyondTheOpenOnes",
         3000, Flood::Answer::statusLine,
         [](FloodRun& run) {
             for (std::size_t open = 0; open < FileTransferService::maxInboundBatchesPerPeer; ++open)
                 run.startBatch(UUID::random());
         },
         [](FloodRun& run, int) { run.startBatch(UUID::random()); }},
        {"EmptyCopyBatches", 3000, Flood::Answer::statusLine, {},
         [](FloodRun& run, int) {
             const auto id = UUID::random();
             run.startBatch(id);
             run.send({FileTransferOp::batchEnd, id, 0, 0, "", {}});
         }},
        {"FilesShorterThanAnnounced", 3000, Flood::Answer::statusLine, openBatch,
         [](FloodRun& run, int round) {
             const auto name = numbered("short", round);
             run.send({FileTransferOp::fileStart, run.batch, 10, 0, name, {}});
             run.send({FileTransferOp::fileEnd, run.batch, 10, 0, name, {}});
         }},
        {"EmptyBatchesSavedToTheFolderTheyName", 300, Flood::Answer::statusLine, {},
         [](FloodRun& run, int) {
             const auto id = UUID::random();
             run.send({FileTransferOp::directSave, id, 0, 0, "~/Downloads", {}});
             run.startBatch(id);
             run.send({FileTransferOp::batchEnd, id, 0, 0, "", {}});
         }},
        {"ItemsThatCannotBeMovedIntoTheFolderTheyName", 300, Flood::Answer::statusLine,
         // The name is taken there, and a numbered one would be longer than a name may be.
         [](FloodRun& run) { std::ofstream(run.app.environment.homeDirectory / "Downloads" / longName()) << "mine"; },
         [](FloodRun& run, int) {
             const auto id = UUID::random();
             run.send({FileTransferOp::directSave, id, 0, 0, "~/Downloads", {}});
             run.startBatch(id);
             run.send({FileTransferOp::fileStart, id, 1, 0, longName(), {}});
             run.send({FileTransferOp::fileChunk, id, 0, 0, longName(), Bytes{'x'}});
             run.send({FileTransferOp::fileEnd, id, 1, 0, longName(), {}});
             run.send({FileTransferOp::batchEnd, id, 0, 0, "", {}});
         }},
        {"PullsOfOneDraggedItem", 300, Flood::Answer::batch,
         [](FloodRun& run) {
             const auto item = run.app.caches.path() / "dragged.txt";
             std::ofstream(item) << "dragged";
             run.app.host.drag().beginDrag({item});
             run.app.host.clock().advance(1.0);
             auto snapshot = DragSnapshotPayload::decode(run.viewer.next(AuxPacketType::dragSnapshot).payload);
             ASSERT_TRUE(snapshot);
             run.snapshotID = snapshot->snapshotID;
         },
         // Each pull is sent once the batch of the one before has gone, so each is served.
         [](FloodRun& run, int) {
             run.viewer.send(AuxPacketType::dragPullRequest, DragPullRequestPayload{run.snapshotID, 0}.encode());
         }},
        {"RequestsForAHostFile", 300, Flood::Answer::batch,
         [](FloodRun& run) { std::ofstream(run.app.environment.homeDirectory / "asked.txt") << "asked"; },
         [](FloodRun& run, int) {
             const FileTransferPeerSendRequest ask({"~/asked.txt"}, "~/Downloads", {});
             run.send({FileTransferOp::peerSendRequest, UUID::random(), 0, 0, "", ask.encoded()});
         }},
    };
}

void PrintTo(const Flood& flood, std::ostream* out) { *out << flood.name; }

class ViewerFlood : public ::testing::TestWithParam<Flood> {};

}  // namespace

TEST_P(ViewerFlood, CostsTheLogTheViewersBudgetPerWindowWhateverItsLength) {
    const auto& flood = GetParam();
    AppHarness app;
    app.launch();
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, "Flooding Viewer");
    FloodRun run{app, viewer};
    if (flood.before) flood.before(run);
    const auto toldBefore = viewer.statusTexts().size();
    viewer.takeAll();
    LogLines log;
    // Within one of the Viewer's log windows: the virtual clock does not move on its own.
    for (int round = 0; round < flood.rounds; ++round) flood.round(run, round);
    app.host.clock().runUntilIdle();
    const auto lines = log.taken();

    // Its budgets for one window (8 lines about what it sent, 32 about what the Host did for it),
    // their "suppressed" lines, and a few of the Host's own.
    EXPECT_LE(lines.size(), 8u + 1 + 32 + 1 + 10);
    EXPECT_GE(std::ranges::count_if(lines, [](const std::string& line) {
                  return line.find("further log lines suppressed for 10 s") != std::string::npos;
              }),
              1);
    // A line names at most two things a Viewer named (an item and where it went), each cut short.
    for (const auto& line : lines) EXPECT_LE(line.size(), 1024u) << "what a Viewer named is cut short";
    const auto rounds = static_cast<std::size_t>(flood.rounds);
    if (flood.answer == Flood::Answer::statusLine) {
        EXPECT_EQ(viewer.statusTexts().size() - toldBefore, rounds) << "the Viewer still hears of each";
    } else {
        EXPECT_EQ(batchStartsIn(viewer.takeAll()), rounds) << "each was served";
    }
    EXPECT_EQ(app.host.server().resourceCounts().authorizedSessions, 1u);
}

INSTANTIATE_TEST_SUITE_P(EachKind, ViewerFlood, ::testing::ValuesIn(floods()),
                         [](const auto& info) { return info.param.name; });

TEST(FileWiring, ABurstOfStatusLinesCostsTheMenusOneUpdate) {
    HeldReceiveApp held;
    ASSERT_TRUE(held.held);
    auto& app = held.app;
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, "Flooding Viewer");
    FloodRun run{app, viewer};
    run.startBatch(run.batch);
    for (int round = 0; round < 1000; ++round)
        run.send({FileTransferOp::fileStart, run.batch, 1, 0, numbered("unannounced", round) + "/item", {}});
    // Counted for as long as the label lives: the app's own end changes it too.
    auto shown = std::make_shared<int>(0);
    const auto& label = app.delegate->status().audioStatusLabel;
    label->onChanged = [shown] { ++*shown; };
    // The receiving side gets through the burst before the main queue has a turn, as a real one
    // does when packets come faster than the menus are redrawn.
    held.held->runUntilIdle();
    app.host.clock().runUntilIdle();
    EXPECT_GE(*shown, 1);
    EXPECT_LE(*shown, 2) << "each line had its own turn: " << label->text();
}

}  // namespace FileWiringTests
