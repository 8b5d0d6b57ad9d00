// A Viewer that pushes file data on its control connection while the Host's disk side lags: on
// virtual time, with the file service's receive queue held until the test lets it run.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "HostApp/App/HostServiceWiring.h"
#include "Platform/Pasteboard.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/InMemoryViewer.h"

namespace ServerControlFileBacklogTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunkBytes = 256 * 1024;

// The Host's services wired to a ManualServer, with the file service's receive queue on a clock
// of its own: pumping the server's clock leaves it alone, so received file data only queues.
struct HeldFileHost {
    ManualServer host;
    std::shared_ptr<ManualClock> heldClock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> receiveQueue;
    std::shared_ptr<ClipboardSyncBridge> clipboard;
    std::shared_ptr<FileTransferService> files;
    std::vector<std::vector<fs::path>> completed;
    TemporaryDirectory folder;

    HeldFileHost() {
        HostPlatform platform = host.platform();
        auto made = platform.makeQueue;
        platform.makeQueue = [this, made](const std::string& label) -> DispatchQueuePtr {
            if (label != "quillmere.filetransfer.recv") return made(label);
            receiveQueue = heldClock->makeQueue(label);
            return receiveQueue;
        };
        clipboard = std::make_shared<ClipboardSyncBridge>(platform, "Viewer", std::make_shared<InMemoryPasteboard>(),
                                                          32 << 20, 48 << 20, folder.path() / "caches");
        files = std::make_shared<FileTransferService>(
            platform, "Viewer", chunkBytes, FileTransferService::Folders{folder.path() / "caches", folder.path() / "home"});
        connectHostServices(host.server().shared_from_this(), clipboard, files, platform.mainQueue);
        files->onBatchCompleted = [this](const UUID&, const std::vector<fs::path>& items, FileTransferIntent) {
            completed.push_back(items);
        };
        host.clock().runUntilIdle();
    }
    ~HeldFileHost() {
        files->onBatchCompleted = nullptr;
        drain();
    }

    // Lets the receive queue catch up, and everything that follows, until nothing is left.
    void drain() {
        while (receiveQueue->runUntilIdle() + host.clock().runUntilIdle() > 0) {
        }
    }
};

}  // namespace

TEST(ServerControlFileBacklog, ControlConnectionWaitsWhileFileDataQueuesAndResumesBelowTheMark) {
    HeldFileHost wired;
    InMemoryViewer viewer(wired.host, wired.host.server().boundPorts().control);
    // One Viewer is held at its own mark, before the backlog of all Viewers reaches its own.
    const std::size_t mark = FileTransferService::maxQueuedBytesPerPeer;
    const std::size_t total = 4 * mark;
    const std::size_t chunks = total / chunkBytes;

    const auto batch = UUID::random();
    viewer.send(AuxPacketType::fileTransfer,
                FileTransferPacket{FileTransferOp::batchStart, batch, total,
                                   FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1), "", {}}
                    .encode());
    viewer.send(AuxPacketType::fileTransfer,
                FileTransferPacket{FileTransferOp::fileStart, batch, total, 0, "pushed.bin", {}}.encode());
    // Every chunk's first byte is its index, so the delivered file shows order and completeness.
    auto chunkPacket = [&](std::size_t index) {
        Bytes data(chunkBytes, static_cast<std::uint8_t>(index));
        return FileTransferPacket{FileTransferOp::fileChunk, batch, index * chunkBytes, 0, "pushed.bin", std::move(data)}
            .encode();
    };
    // The Viewer writes everything at once; the Host's disk side has not run any of it.
    for (std::size_t i = 0; i < chunks; ++i) viewer.send(AuxPacketType::fileTransfer, chunkPacket(i));
    viewer.send(AuxPacketType::fileTransfer, FileTransferPacket{FileTransferOp::fileEnd, batch, 0, 0, "pushed.bin", {}}.encode());
    viewer.send(AuxPacketType::fileTransfer, FileTransferPacket{FileTransferOp::batchEnd, batch, 0, 0, "", {}}.encode());

    // Past the mark the control connection stopped reading: the rest waits on the Viewer's side,
    // not in the Host's memory.
    const std::size_t queued = wired.files->queuedInboundBytes();
    EXPECT_GT(queued, mark);
    EXPECT_LE(queued, mark + 4 * chunkBytes);
    EXPECT_GE(viewer.connection()->queuedSendBytes(), total - mark - 4 * chunkBytes)
        << "what the Host did not read stays with the Viewer";

    // The disk side catching up resumes reading; each round stays bounded, and the file arrives whole.
    std::size_t most = queued;
    while (wired.receiveQueue->runUntilIdle() + wired.host.clock().runUntilIdle() > 0)
        most = std::max(most, wired.files->queuedInboundBytes());
    EXPECT_LE(most, mark + 4 * chunkBytes);
    EXPECT_EQ(wired.files->queuedInboundBytes(), 0u);
    EXPECT_EQ(viewer.connection()->queuedSendBytes(), 0u);
    ASSERT_EQ(wired.completed.size(), 1u);
    ASSERT_EQ(wired.completed[0].size(), 1u);
    const auto& delivered = wired.completed[0][0];
    ASSERT_EQ(fs::file_size(delivered), total);
    std::ifstream in(delivered, std::ios::binary);
    for (std::size_t i = 0; i < chunks; ++i) {
        in.seekg(static_cast<std::streamoff>(i * chunkBytes));
        ASSERT_EQ(in.get(), static_cast<int>(static_cast<std::uint8_t>(i))) << "chunk " << i;
    }
}

// A Viewer writes a thousand one-byte batches on its file channel at once while the Host's disk
// side has not run any: the Host reads only as far as its bound for that Viewer (its lane, and the
// frames read for it, each counted as its packet is), holding its reads the moment its lane passes
// that, and the rest stays with the Viewer. Once the disk side runs, every batch arrives in order.
TEST(ServerControlFileBacklog, AViewersBurstOnItsFileChannelIsReadOnlyAsFarAsItsBound) {
    HeldFileHost wired;
    std::vector<UUID> received;
    wired.files->onBatchCompleted = [&](const UUID& id, const std::vector<fs::path>&, FileTransferIntent) {
        received.push_back(id);
        wired.files->releaseCompletedBatch(id);
    };
    auto& server = wired.host.server();
    InMemoryViewer viewer(wired.host, server.boundPorts().control);
    const auto endpoint = FileTransferEndpointPayload::decode(viewer.next(AuxPacketType::fileTransferEndpoint).payload);
    ASSERT_TRUE(endpoint);
    ByteWriter burst;
    auto frame = [&](const Bytes& payload) {
        burst.bytes(FileTransferChannelConstants::magic).u32(static_cast<std::uint32_t>(payload.size())).bytes(payload);
    };
    frame(Bytes(endpoint->token.begin(), endpoint->token.end()));
    std::vector<UUID> sent;
    for (int i = 0; i < 1000; ++i) {
        const UUID id = sent.emplace_back(UUID::random());
        for (auto op : {FileTransferOp::batchStart, FileTransferOp::fileStart, FileTransferOp::fileChunk,
                        FileTransferOp::fileEnd, FileTransferOp::batchEnd}) {
            const bool chunk = op == FileTransferOp::fileChunk;
            frame(FileTransferPacket{op, id, chunk ? 0u : 1u, op == FileTransferOp::batchStart ? 1u : 0u, "f.txt",
                                     chunk ? Bytes{'x'} : Bytes{}}
                      .encode());
        }
    }
    auto channel = wired.host.network().connect(server.boundPorts().fileTransfer);
    channel->start(wired.host.platform().makeQueue("viewer files"));
    channel->send(burst.data());
    wired.host.clock().runUntilIdle();

    const std::size_t readAhead = 2 * FileTransferChannelConnection::maxReadSize;
    EXPECT_LE(wired.files->queuedInboundBytes(), FileTransferService::maxQueuedBytesPerPeer + readAhead + readAhead / 8);
    EXPECT_GT(channel->queuedSendBytes(), burst.data().size() / 2) << "what the Host did not read stays with the Viewer";
    wired.drain();
    EXPECT_EQ(received, sent);
    EXPECT_EQ(channel->queuedSendBytes(), 0u);
}

}  // namespace ServerControlFileBacklogTests
