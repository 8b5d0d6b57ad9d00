// The Host's clipboard bridge and file-transfer service connected to the server as the process
// connects them, driven by Viewers over real TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <random>

#include "HostApp/App/HostServiceWiring.h"
#include "Platform/Images.h"
#include "Platform/Pasteboard.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/LiveServer.h"
#include "support/TestFiles.h"
#include "support/TestViewer.h"
#include "support/WiredHost.h"

namespace ServerClipboardFilesTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t chunk = WiredHost::chunk;

// Every entry below a folder by relative path ("/" ends folders), with the files' bytes.
std::map<std::string, Bytes> treeOf(const fs::path& root) {
    std::map<std::string, Bytes> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const auto name = fs::relative(entry.path(), root).string();
        if (entry.is_directory()) {
            out[name + "/"] = {};
        } else {
            std::ifstream in(entry.path(), std::ios::binary);
            out[name] = Bytes(std::istreambuf_iterator<char>(in), {});
        }
    }
    return out;
}

// A folder with an empty file, files of exactly one chunk and one byte more, nested folders,
// an empty folder and a non-ASCII name.
void makeSampleTree(const fs::path& root) {
    writeFile(root / "empty.txt", {});
    writeFile(root / "exact.bin", randomBytes(chunk, 1));
    writeFile(root / "plus.bin", randomBytes(chunk + 1, 2));
    writeFile(root / "nested" / "deeper" / "Grüße – ünïcode.txt", Bytes{'h', 'i'});
    fs::create_directories(root / "emptyFolder");
}

ClipboardTransfer textTransfer(const std::string& text, std::uint64_t sequence = 1) {
    ClipboardTransfer transfer{"viewer-one", sequence, 1, {}};
    transfer.items.push_back({ClipboardTransferItemKind::text, text, std::nullopt, std::nullopt, {}});
    return transfer;
}

using Viewer = WiredViewer;

}  // namespace

TEST(ServerClipboard, TextAndImagesGoBothWaysWithoutEcho) {
    WiredHost host;
    EXPECT_FALSE(host.live->server().broadcastClipboardTransfer(textTransfer("nobody listens")))
        << "false without a signed-in Viewer, so the bridge keeps it pending";
    Viewer viewer(host);
    ASSERT_TRUE(viewer.ready());

    // Viewer to Host: the text lands on the Host's pasteboard.
    viewer.control.send(AuxPacketType::clipboardTransfer, *textTransfer("from the viewer").encodedData());
    ASSERT_TRUE(waitUntil([&] { return host.pasteboard->readString() == std::optional<std::string>("from the viewer"); }));

    // Host to Viewer: the Host's next copy is the first snapshot the Viewer gets; the Viewer's own
    // text never comes back.
    // The Host's own clipboard changes on its main queue, like every write the bridge makes.
    host.mainQueue->sync([&] { host.pasteboard->copyText("from the host"); });
    auto frame = viewer.control.waitFor(AuxPacketType::clipboardTransfer);
    ASSERT_TRUE(frame);
    auto received = ClipboardTransfer::decode(frame->payload);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->sourceID, host.clipboard->sourceID);
    ASSERT_EQ(received->items.size(), 1u);
    EXPECT_EQ(received->items[0].text, "from the host");
    EXPECT_TRUE(host.live->waitForStatus("clipboard sent seq=" + std::to_string(received->sequence) + " kind=text"));

    // Images both ways, bytes unchanged.
    const auto png = *encodePNG(RGBAImage{2, 2, Bytes(16, 0x7F)});
    ClipboardTransfer image{"viewer-one", 2, 2, {}};
    image.items.push_back({ClipboardTransferItemKind::image, std::nullopt, png, "public.png", {}});
    viewer.control.send(AuxPacketType::clipboardTransfer, *image.encodedData());
    ASSERT_TRUE(waitUntil([&] { return host.pasteboard->readPNGData() == std::optional<Bytes>(png); }));
    const auto hostPNG = *encodePNG(RGBAImage{1, 3, Bytes(12, 0x20)});
    host.mainQueue->sync([&] { host.pasteboard->copyPNG(hostPNG); });
    frame = viewer.control.waitFor(AuxPacketType::clipboardTransfer);
    ASSERT_TRUE(frame);
    received = ClipboardTransfer::decode(frame->payload);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->items.at(0).kind, ClipboardTransferItemKind::image);
    EXPECT_EQ(received->items.at(0).imageData, hostPNG);
}

TEST(ServerClipboard, RefusesBadOversizedAndVideoChannelSnapshots) {
    V230HostAudioAuxServer::Options options;
    options.maxClipboardPayloadBytes = 4096;
    WiredHost host(options);
    Viewer viewer(host);
    ASSERT_TRUE(viewer.ready());

    viewer.control.send(AuxPacketType::clipboardTransfer, Bytes{'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'});
    EXPECT_TRUE(viewer.control.waitForStatus("bad clipboard payload: "));
    const auto large = *textTransfer(std::string(5000, 'x')).encodedData();
    viewer.control.send(AuxPacketType::clipboardTransfer, large);
    EXPECT_TRUE(viewer.control.waitForStatus("bad clipboard payload: " + std::to_string(large.size()) +
                                             " bytes exceed the limit of 4096"));

    TestViewer video(host.live->ports().video);
    auto videoSignIn = video.signIn(LiveServer::user, LiveServer::password);
    ASSERT_TRUE(videoSignIn && videoSignIn->accepted);
    video.send(AuxPacketType::clipboardTransfer, *textTransfer("on video").encodedData());
    EXPECT_TRUE(video.waitForStatus("clipboard transfer rejected on video channel"));
    EXPECT_EQ(host.pasteboard->readString(), std::nullopt) << "nothing refused reaches the pasteboard";

    // Too large to send: refused once, even when the same snapshot is offered again, and not sent.
    host.mainQueue->sync([&] { host.pasteboard->copyText(std::string(5000, 'y')); });
    EXPECT_TRUE(host.live->waitForStatus("clipboard transfer too large to send: "));
    const auto again = textTransfer(std::string(5000, 'y'), 7);
    EXPECT_TRUE(host.live->server().broadcastClipboardTransfer(again));
    EXPECT_TRUE(host.live->server().broadcastClipboardTransfer(again));
    // Snapshots go out in the order they were offered: once the next one arrives, both offers
    // before it have been refused, together in one line.
    EXPECT_TRUE(host.live->server().broadcastClipboardTransfer(textTransfer("small again", 8)));
    auto frame = viewer.control.waitFor(AuxPacketType::clipboardTransfer);
    ASSERT_TRUE(frame);
    auto received = ClipboardTransfer::decode(frame->payload);
    ASSERT_TRUE(received && received->items.size() == 1u);
    EXPECT_EQ(received->items[0].text, "small again");
    EXPECT_EQ(host.live->countStatuses("clipboard transfer too large to send: "), 2u);
}

TEST(ServerClipboard, TheMainQueueKeepsTurningWhileTheServerQueueIsHeld) {
    WiredHost host;
    Viewer viewer(host);
    ASSERT_TRUE(viewer.ready());

    // The server queue is busy (as it is while a display mode settles) until the test lets go.
    auto release = std::make_shared<std::promise<void>>();
    auto entered = std::make_shared<std::promise<void>>();
    host.live->server().queue->async([held = release->get_future().share(), entered] {
        entered->set_value();
        held.wait();
    });
    entered->get_future().wait();

    // The Host copies; the bridge's poll on the main queue hands the snapshot over and carries on.
    host.mainQueue->sync([&] { host.pasteboard->copyText("while the server is busy"); });
    auto handedOver = std::make_shared<std::atomic<bool>>(false);
    const bool turned = waitUntil([&] {
        host.mainQueue->async([clipboard = host.clipboard, handedOver] {
            if (clipboard->nextSequence() > 1 && !clipboard->pendingOutgoingTransfer()) *handedOver = true;
        });
        return handedOver->load();
    });
    release->set_value();
    EXPECT_TRUE(turned) << "the main queue waited for the server queue";

    auto frame = viewer.control.waitFor(AuxPacketType::clipboardTransfer);
    ASSERT_TRUE(frame) << "the snapshot goes out once the server queue is free";
    auto received = ClipboardTransfer::decode(frame->payload);
    ASSERT_TRUE(received && received->items.size() == 1u);
    EXPECT_EQ(received->items[0].text, "while the server is busy");
}

TEST(ServerFiles, ATreeGoesBothWaysByteForByteAndPathAttacksAreDropped) {
    WiredHost host;
    Viewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    TemporaryDirectory viewerFolder;
    const auto source = viewerFolder.path() / "Trip";
    makeSampleTree(source);

    // The Viewer's engine sends over its file channel; attack packets ride in the middle of its batch.
    ManualPlatform viewerPlatform;
    auto viewerFiles = std::make_shared<FileTransferService>(
        viewerPlatform.platform, "Host", chunk,
        FileTransferService::Folders{viewerFolder.path() / "caches", viewerFolder.path()});
    viewerFiles->sendPacket = [&](const FileTransferPacket& packet) {
        viewer.channel->sendFrame(packet.encode());
        if (packet.op == FileTransferOp::fileStart && packet.path == "Trip/exact.bin") {
            const auto absolute = (host.folder.path() / "escape.txt").string();
            for (const std::string& path : {std::string("../escape.txt"), absolute, std::string("Trip/../../escape.txt")}) {
                viewer.channel->sendFrame(FileTransferPacket{FileTransferOp::fileStart, packet.batchID, 3, 0, path, {}}.encode());
                viewer.channel->sendFrame(
                    FileTransferPacket{FileTransferOp::fileChunk, packet.batchID, 0, 0, path, Bytes{'b', 'a', 'd'}}.encode());
            }
            viewer.channel->sendFrame(FileTransferPacket{FileTransferOp::fileStart, packet.batchID, packet.value1, 0,
                                                         packet.path, {}}.encode());
        }
    };
    ASSERT_TRUE(viewerFiles->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt, std::nullopt));
    viewerPlatform.clock->runUntilIdle();

    ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 1; }));
    const auto items = host.completedBatches().front();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(treeOf(items.front()), treeOf(source));
    for (const auto& entry : fs::recursive_directory_iterator(host.folder.path()))
        EXPECT_NE(entry.path().filename(), "escape.txt") << entry.path();

    // Host to Viewer, routed by the Viewer's session id, back byte for byte.
    std::optional<std::vector<fs::path>> back;
    viewerFiles->onBatchCompleted = [&](const UUID&, const std::vector<fs::path>& got, FileTransferIntent) { back = got; };
    ASSERT_TRUE(host.files->sendURLs({items.front()}, FileTransferIntent::copy, std::nullopt, {},
                                     viewer.sessionID->uuidString(), std::nullopt));
    while (!back) {
        auto frame = viewer.channel->waitForFrame();
        ASSERT_TRUE(frame) << "the batch stopped arriving";
        auto packet = FileTransferPacket::decode(*frame);
        ASSERT_TRUE(packet);
        viewerFiles->handleIncomingPacket(*packet, "host");
        viewerPlatform.clock->runUntilIdle();
    }
    ASSERT_EQ(back->size(), 1u);
    EXPECT_EQ(treeOf(back->front()), treeOf(source));
}

TEST(ServerFiles, AViewerThatLeavesMidBatchLeavesNoStagingBehind) {
    WiredHost host;
    Viewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    const auto batch = UUID::random();
    viewer.channel->sendFrame(FileTransferPacket{FileTransferOp::batchStart, batch, 10, 1, "", {}}.encode());
    viewer.channel->sendFrame(FileTransferPacket{FileTransferOp::fileStart, batch, 10, 0, "half.bin", {}}.encode());
    viewer.channel->sendFrame(FileTransferPacket{FileTransferOp::fileChunk, batch, 0, 0, "half.bin", Bytes(4, 1)}.encode());
    ASSERT_TRUE(waitUntil([&] { return host.stagedFiles() == 1; }));

    // A peer send request is answered, to the asking session only, with a refusal.
    viewer.control.send(AuxPacketType::fileTransfer,
                        FileTransferPacket{FileTransferOp::peerSendRequest, UUID::random(), 0, 0, "", Bytes{'{'}}.encode());
    auto answer = viewer.channel->waitForFrame();
    ASSERT_TRUE(answer);
    auto response = FileTransferService::peerSendResponse(*FileTransferPacket::decode(*answer));
    ASSERT_TRUE(response);
    EXPECT_FALSE(response->accepted);
    EXPECT_EQ(response->message, "The Host could not read the requested transfer.");

    // No drag snapshot is on offer, so a pull is stale.
    viewer.control.send(AuxPacketType::dragPullRequest, DragPullRequestPayload{7, 0}.encode());
    EXPECT_TRUE(host.live->waitForStatus("drag pull: stale snapshot=7 index=0"));

    viewer.control.disconnect();
    EXPECT_TRUE(waitUntil([&] { return fs::exists(host.staging()) && fs::is_empty(host.staging()); }))
        << "the unfinished batch goes with its staging folder";
    EXPECT_EQ(host.live->server().resourceCounts().sessions, 0u);
}

TEST(ServerFiles, AViewerThatCancelsItsPushMidBatchLeavesNothingStaged) {
    WiredHost host;
    Viewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    TemporaryDirectory viewerFolder;
    const auto source = viewerFolder.path() / "big.bin";
    writeFile(source, randomBytes(6 * chunk, 3));

    // The Viewer's engine cancels its own batch once two chunks went out, and tells the Host
    // with its cancel packet; what its send loop still sends after that must change nothing.
    ManualPlatform viewerPlatform;
    auto viewerFiles = std::make_shared<FileTransferService>(
        viewerPlatform.platform, "Host", chunk,
        FileTransferService::Folders{viewerFolder.path() / "caches", viewerFolder.path()});
    std::vector<std::string> viewerStatuses;
    viewerFiles->onStatus = [&](const std::string& text, const FileTransferService::StatusSource&) {
        viewerStatuses.push_back(text);
    };
    std::size_t chunksSent = 0;
    viewerFiles->sendPacket = [&](const FileTransferPacket& packet) {
        viewer.channel->sendPacket(packet);
        if (packet.op != FileTransferOp::fileChunk || ++chunksSent != 2) return;
        ASSERT_TRUE(waitUntil([&] {
            return fs::exists(host.staging()) && !fs::is_empty(host.staging());
        })) << "the batch reached the Host's staging folder";
        viewerFiles->cancelOutgoingBatch(packet.batchID);
        viewerFiles->notifyPeerCancel(packet.batchID);
    };
    const auto batch = viewerFiles->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt, std::nullopt);
    ASSERT_TRUE(batch);
    viewerPlatform.clock->runUntilIdle();

    EXPECT_EQ(chunksSent, 2u) << "the Viewer's loop stops at the cancel";
    EXPECT_NE(std::find(viewerStatuses.begin(), viewerStatuses.end(), "send cancelled for batch " + shortBatchID(*batch)),
              viewerStatuses.end());
    EXPECT_TRUE(host.live->waitForStatus("files: cancelled by peer for batch " + shortBatchID(*batch)));
    EXPECT_TRUE(waitUntil([&] { return fs::is_empty(host.staging()); })) << "the partial file goes with its folder";
    // A packet's bytes are counted off after its work is done: the emptied folder comes first.
    EXPECT_TRUE(waitUntil([&] { return host.files->queuedInboundBytes() == 0; }))
        << host.files->queuedInboundBytes() << " bytes still queued";
    EXPECT_TRUE(host.completedBatches().empty()) << "the batchEnd behind the cancel completes nothing";
}

TEST(ServerFiles, TheHostCancelsABatchToTheViewerMidWay) {
    // The Host's send loop is held after its second chunk until the Host has cancelled, so the
    // cancel lands while the batch is provably in flight. What holds it outlives the Host, whose
    // file queue's thread waits on it.
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false, released = false;
    std::size_t chunksSent = 0;
    WiredHost host;
    Viewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    const auto source = host.folder.path() / "outgoing" / "big.bin";
    writeFile(source, randomBytes(6 * chunk, 4));

    auto wired = host.files->routedSendPacket.get();
    host.files->routedSendPacket = [&, wired](const FileTransferPacket& packet, const std::optional<std::string>& token) {
        wired(packet, token);
        if (packet.op != FileTransferOp::fileChunk) return;
        std::unique_lock lock(mutex);
        if (++chunksSent != 2) return;
        held = true;
        changed.notify_all();
        changed.wait_for(lock, 10s, [&] { return released; });
    };
    const auto batch = host.files->sendURLs({source}, FileTransferIntent::copy, std::nullopt, {},
                                            viewer.sessionID->uuidString(), std::nullopt);
    ASSERT_TRUE(batch);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return held; }));
    }
    host.files->cancelOutgoingBatch(*batch);
    host.files->notifyPeerCancel(*batch);
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();

    // The Viewer's engine takes what arrives until the batch's end.
    TemporaryDirectory viewerFolder;
    ManualPlatform viewerPlatform;
    auto viewerFiles = std::make_shared<FileTransferService>(
        viewerPlatform.platform, "Host", chunk,
        FileTransferService::Folders{viewerFolder.path() / "caches", viewerFolder.path()});
    std::vector<std::string> viewerStatuses;
    viewerFiles->onStatus = [&](const std::string& text, const FileTransferService::StatusSource&) {
        viewerStatuses.push_back(text);
    };
    bool completed = false;
    viewerFiles->onBatchCompleted = [&](const UUID&, const std::vector<fs::path>&, FileTransferIntent) { completed = true; };
    std::size_t chunksReceived = 0;
    bool sawCancel = false;
    for (;;) {
        auto frame = viewer.channel->waitForFrame();
        ASSERT_TRUE(frame) << "the batch never ended";
        auto packet = FileTransferPacket::decode(*frame);
        ASSERT_TRUE(packet);
        chunksReceived += packet->op == FileTransferOp::fileChunk;
        sawCancel = sawCancel || packet->op == FileTransferOp::cancelBatch;
        viewerFiles->handleIncomingPacket(*packet, "host");
        viewerPlatform.clock->runUntilIdle();
        if (packet->op == FileTransferOp::batchEnd) break;
    }

    EXPECT_TRUE(sawCancel) << "the cancel, sent while the loop was held, comes before the batch's end";
    EXPECT_EQ(chunksReceived, 2u) << "the Host stopped sending at the cancel";
    EXPECT_TRUE(host.live->waitForStatus("files: send cancelled for batch " + shortBatchID(*batch)));
    EXPECT_NE(std::find(viewerStatuses.begin(), viewerStatuses.end(), "cancelled by peer for batch " + shortBatchID(*batch)),
              viewerStatuses.end());
    EXPECT_TRUE(fs::is_empty(viewerFiles->stagingRoot())) << "the Viewer's partial file goes with its folder";
    EXPECT_FALSE(completed) << "the batchEnd behind the cancel completes nothing";
}

TEST(ServerFiles, AViewerPullsAFileTheHostUserIsDraggingByteForByte) {
    WiredHost host;
    Viewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    const auto dragged = host.folder.path() / "home" / "dragged report.bin";
    const auto bytes = randomBytes(chunk + 17, 5);
    writeFile(dragged, bytes);
    writeFile(host.folder.path() / "home" / "other.txt", Bytes{'o'});
    host.drag->beginDrag({host.folder.path() / "home" / "other.txt", dragged});

    auto frame = viewer.control.waitFor(AuxPacketType::dragSnapshot);
    ASSERT_TRUE(frame) << "the drag is announced";
    auto snapshot = DragSnapshotPayload::decode(frame->payload);
    ASSERT_TRUE(snapshot);
    ASSERT_EQ(snapshot->itemNames, (std::vector<std::string>{"other.txt", "dragged report.bin"}));

    ManualPlatform viewerPlatform;
    TemporaryDirectory viewerFolder;
    auto viewerFiles = std::make_shared<FileTransferService>(
        viewerPlatform.platform, "Host", chunk, FileTransferService::Folders{viewerFolder.path() / "caches", viewerFolder.path()});
    std::optional<std::pair<std::vector<fs::path>, FileTransferIntent>> pulled;
    viewerFiles->onBatchCompleted = [&](const UUID&, const std::vector<fs::path>& got, FileTransferIntent intent) {
        pulled.emplace(got, intent);
    };
    viewer.control.send(AuxPacketType::dragPullRequest, DragPullRequestPayload{snapshot->snapshotID, 1}.encode());
    EXPECT_TRUE(host.live->waitForStatus("drag pull: serving dragged report.bin snapshot=" +
                                         std::to_string(snapshot->snapshotID) + " index=1"));
    while (!pulled) {
        auto packet = viewer.channel->waitForFrame();
        ASSERT_TRUE(packet) << "the pulled file stopped arriving";
        auto decoded = FileTransferPacket::decode(*packet);
        ASSERT_TRUE(decoded);
        viewerFiles->handleIncomingPacket(*decoded, "host");
        viewerPlatform.clock->runUntilIdle();
    }
    EXPECT_EQ(pulled->second, FileTransferIntent::pullForPromise);
    ASSERT_EQ(pulled->first.size(), 1u);
    EXPECT_EQ(pulled->first.front().filename(), "dragged report.bin");
    std::ifstream in(pulled->first.front(), std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), bytes);

    // Once the drop ends the drag, the same pull is stale and sends nothing.
    host.drag->endDrag();
    auto ended = viewer.control.waitFor(AuxPacketType::dragSnapshot);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(DragSnapshotPayload::decode(ended->payload)->itemNames.empty());
    viewer.control.send(AuxPacketType::dragPullRequest, DragPullRequestPayload{snapshot->snapshotID, 1}.encode());
    EXPECT_TRUE(host.live->waitForStatus("drag pull: stale snapshot=" + std::to_string(snapshot->snapshotID) + " index=1"));
}

}  // namespace ServerClipboardFilesTests
