// Large chunks on the file channel, whose data goes from the socket into the staged file:
// driven over real TCP against the server and file service wired as the process wires them.
#include <gtest/gtest.h>

#include <fstream>

#include "QuillmereProfiles/FileTransferChannel.h"
#include "support/TestFiles.h"
#include "support/WiredHost.h"

namespace ServerFileChunkTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

// One file channel frame carrying the packet.
Bytes framed(const FileTransferPacket& packet) {
    Bytes out = packet.encode(FileTransferChannelConstants::headerSize);
    const auto length = static_cast<std::uint32_t>(out.size() - FileTransferChannelConstants::headerSize);
    std::copy(FileTransferChannelConstants::magic.begin(), FileTransferChannelConstants::magic.end(), out.begin());
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    return out;
}

Bytes contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(ServerFileChunks, ChunksCutAnywhereLandWholeAndAViewerLeavingWithinOneLeavesNothing) {
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());

    // Three chunks and the packets around them as one stream, sent in pieces cut where the
    // frames are not: heads and data straddle reads.
    const UUID batch = UUID::random();
    const auto data = randomBytes(3 * WiredHost::chunk - 1000, 11);
    Bytes stream;
    auto add = [&](const FileTransferPacket& packet) {
        const auto frame = framed(packet);
        stream.insert(stream.end(), frame.begin(), frame.end());
    };
    add({FileTransferOp::batchStart, batch, data.size(), 1, "", {}});
    add({FileTransferOp::fileStart, batch, data.size(), 0, "cut.bin", {}});
    for (std::size_t at = 0; at < data.size(); at += WiredHost::chunk) {
        const auto end = std::min(data.size(), at + static_cast<std::size_t>(WiredHost::chunk));
        add({FileTransferOp::fileChunk, batch, at, 0, "cut.bin", Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                                                       data.begin() + static_cast<std::ptrdiff_t>(end))});
    }
    add({FileTransferOp::fileEnd, batch, data.size(), 0, "cut.bin", {}});
    add({FileTransferOp::batchEnd, batch, 0, 0, "", {}});
    for (std::size_t at = 0; at < stream.size(); at += 77'777) {
        viewer.channel->sendRaw(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                      stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + 77'777))));
    }
    ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 1; }));
    ASSERT_EQ(host.completedBatches().front().size(), 1u);
    EXPECT_EQ(contentsOf(host.completedBatches().front().front()), data);
    // The batchEnd is counted off the backlog right after its completion is reported.
    EXPECT_TRUE(waitUntil([&] { return host.files->queuedInboundBytes() == 0; }));

    // A second batch: the Viewer dies halfway through a chunk's data.
    const UUID cut = UUID::random();
    viewer.channel->sendPacket({FileTransferOp::batchStart, cut, 2 * WiredHost::chunk, 1, "", {}});
    viewer.channel->sendPacket({FileTransferOp::fileStart, cut, 2 * WiredHost::chunk, 0, "half.bin", {}});
    const auto chunk = framed({FileTransferOp::fileChunk, cut, 0, 0, "half.bin", randomBytes(WiredHost::chunk, 12)});
    viewer.channel->sendRaw(Bytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(chunk.size() / 2)));
    auto halfWritten = [&] {
        if (!fs::exists(host.staging())) return false;
        for (const auto& entry : fs::recursive_directory_iterator(host.staging()))
            if (entry.path().filename() == "half.bin" && entry.is_regular_file() && entry.file_size() > 0) return true;
        return false;
    };
    ASSERT_TRUE(waitUntil(halfWritten)) << "the chunk's data is on its way into the file";
    viewer.channel->abort();
    viewer.control.disconnect();
    EXPECT_TRUE(waitUntil([&] { return host.stagedFiles() == 1; })) << "only the first batch's file is left";
    EXPECT_TRUE(waitUntil([&] { return host.live->server().resourceCounts().fileChannels == 0; }));
    EXPECT_EQ(host.completedBatches().size(), 1u);
    EXPECT_TRUE(waitUntil([&] { return host.files->queuedInboundBytes() == 0; }));
}

namespace {

// Frames for a batch, laid end to end the way a Viewer's service sends them.
struct ChannelStream {
    Bytes bytes;
    void add(const FileTransferPacket& packet) {
        const auto frame = framed(packet);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    // The file's chunks from `from` (a chunk index) up to `to`; `shift` moves one chunk's offset.
    void chunks(const UUID& batch, const std::string& path, const Bytes& data, std::size_t from, std::size_t to,
                std::optional<std::size_t> shifted = std::nullopt) {
        for (std::size_t index = from; index < to; ++index) {
            const std::size_t at = index * WiredHost::chunk;
            if (at >= data.size()) break;
            const auto end = std::min(data.size(), at + static_cast<std::size_t>(WiredHost::chunk));
            add({FileTransferOp::fileChunk, batch, at + (shifted == index ? 7u : 0u), 0, path,
                 Bytes(data.begin() + static_cast<std::ptrdiff_t>(at), data.begin() + static_cast<std::ptrdiff_t>(end))});
        }
    }
};

}  // namespace

TEST(ServerFileChunks, ARunOfChunksBrokenByOtherPacketsAndABadHeadEndsAsThePacketRoadWould) {
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());
    fs::create_directories(host.folder.path() / "home" / "listed");

    // One stream: a listing request between two chunks of a file, a chunk at the wrong offset in
    // the middle of the next file, then a file that lands whole.
    const UUID batch = UUID::random(), listing = UUID::random();
    const auto a = randomBytes(4 * WiredHost::chunk, 21), b = randomBytes(3 * WiredHost::chunk, 22),
               c = randomBytes(2 * WiredHost::chunk + 5, 23);
    ChannelStream stream;
    stream.add({FileTransferOp::batchStart, batch, a.size() + b.size() + c.size(), 3, "", {}});
    stream.add({FileTransferOp::fileStart, batch, a.size(), 0, "a.bin", {}});
    stream.chunks(batch, "a.bin", a, 0, 2);
    stream.add({FileTransferOp::listDir, listing, 0, 0, "", {}});
    stream.chunks(batch, "a.bin", a, 2, 4);
    stream.add({FileTransferOp::fileEnd, batch, a.size(), 0, "a.bin", {}});
    stream.add({FileTransferOp::fileStart, batch, b.size(), 0, "b.bin", {}});
    stream.chunks(batch, "b.bin", b, 0, 3, 1);
    stream.add({FileTransferOp::fileEnd, batch, b.size(), 0, "b.bin", {}});
    stream.add({FileTransferOp::fileStart, batch, c.size(), 0, "c.bin", {}});
    stream.chunks(batch, "c.bin", c, 0, 3);
    stream.add({FileTransferOp::fileEnd, batch, c.size(), 0, "c.bin", {}});
    stream.add({FileTransferOp::batchEnd, batch, 0, 0, "", {}});
    viewer.channel->sendRaw(stream.bytes);

    ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 1; }));
    const auto items = host.completedBatches().front();
    ASSERT_EQ(items.size(), 2u);
    for (const auto& item : items) EXPECT_EQ(contentsOf(item), item.filename() == "a.bin" ? a : c) << item;
    EXPECT_TRUE(viewer.control.waitForStatus("files: batch " + batch.uuidString() +
                                             " dropped b.bin: data does not match its announced size"));
    EXPECT_TRUE(viewer.control.waitForStatus("files: batch " + batch.uuidString() + " received 2 item(s), dropped 1 file(s)"));
    EXPECT_EQ(host.live->countStatuses("files: dropped b.bin"), 1u) << "said once, not per chunk";
    auto reply = viewer.channel->waitForFrame();
    ASSERT_TRUE(reply);
    auto packet = FileTransferPacket::decode(*reply);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->op, FileTransferOp::listDirReply);
    EXPECT_EQ(packet->batchID, listing);
    EXPECT_NE(std::string(packet->data.begin(), packet->data.end()).find("listed"), std::string::npos)
        << "the request between the chunks was answered";
    EXPECT_TRUE(waitUntil([&] { return host.files->queuedInboundBytes() == 0; }));
}

TEST(ServerFileChunks, ACancelOrTheViewerLeavingInTheMiddleOfARunLeavesNothingBehind) {
    WiredHost host;
    WiredViewer viewer(host);
    ASSERT_TRUE(viewer.ready());

    // The Viewer cancels between two chunks and sends the rest of the file all the same (it was
    // on its way); the next batch on the channel lands.
    const UUID cancelled = UUID::random(), next = UUID::random();
    const auto big = randomBytes(12 * WiredHost::chunk, 31), small = randomBytes(WiredHost::chunk + 3, 32);
    ChannelStream stream;
    stream.add({FileTransferOp::batchStart, cancelled, big.size(), 1, "", {}});
    stream.add({FileTransferOp::fileStart, cancelled, big.size(), 0, "big.bin", {}});
    stream.chunks(cancelled, "big.bin", big, 0, 6);
    stream.add({FileTransferOp::cancelBatch, cancelled, 0, 0, "", {}});
    stream.chunks(cancelled, "big.bin", big, 6, 12);
    stream.add({FileTransferOp::fileEnd, cancelled, big.size(), 0, "big.bin", {}});
    stream.add({FileTransferOp::batchEnd, cancelled, 0, 0, "", {}});
    stream.add({FileTransferOp::batchStart, next, small.size(), 1, "", {}});
    stream.add({FileTransferOp::fileStart, next, small.size(), 0, "small.bin", {}});
    stream.chunks(next, "small.bin", small, 0, 2);
    stream.add({FileTransferOp::fileEnd, next, small.size(), 0, "small.bin", {}});
    stream.add({FileTransferOp::batchEnd, next, 0, 0, "", {}});
    viewer.channel->sendRaw(stream.bytes);
    ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 1; }));
    EXPECT_EQ(contentsOf(host.completedBatches().front().at(0)), small);
    EXPECT_TRUE(host.live->waitForStatus("files: cancelled by peer for batch " + shortBatchID(cancelled)));
    EXPECT_TRUE(waitUntil([&] { return host.stagedFiles() == 1; })) << "nothing of the cancelled batch is left";

    // The Viewer dies in the middle of a run: several chunks in, half of one sent.
    const UUID cut = UUID::random();
    ChannelStream dying;
    dying.add({FileTransferOp::batchStart, cut, big.size(), 1, "", {}});
    dying.add({FileTransferOp::fileStart, cut, big.size(), 0, "cut.bin", {}});
    dying.chunks(cut, "cut.bin", big, 0, 6);
    viewer.channel->sendRaw(Bytes(dying.bytes.begin(), dying.bytes.end() - WiredHost::chunk / 2));
    auto written = [&] {
        if (!fs::exists(host.staging())) return false;
        for (const auto& entry : fs::recursive_directory_iterator(host.staging()))
            if (entry.path().filename() == "cut.bin" && entry.is_regular_file() &&
                entry.file_size() > 4u * WiredHost::chunk)
                return true;
        return false;
    };
    ASSERT_TRUE(waitUntil(written)) << "the run is under way";
    viewer.channel->abort();
    viewer.control.disconnect();
    EXPECT_TRUE(waitUntil([&] { return host.stagedFiles() == 1; })) << "only the delivered batch's file is left";
    EXPECT_TRUE(waitUntil([&] { return host.live->server().resourceCounts().fileChannels == 0; }));
    EXPECT_TRUE(waitUntil([&] { return host.files->queuedInboundBytes() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return host.files->tableEntryCount() == 0; }));
    EXPECT_EQ(host.completedBatches().size(), 1u);
}

}  // namespace ServerFileChunkTests
