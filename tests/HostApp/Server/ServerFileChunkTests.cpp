// Large chunks on the file channel, whose data goes from the socket into the staged file:
// driven over real TCP against the server and file service wired as the process wires them.
#include <gtest/gtest.h>

#include <fstream>

#include "QuillmereProfiles/FileTransferChannel.h"
#include "support/TestFiles.h"
#include "support/WiredHost.h"

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
    EXPECT_EQ(host.files->queuedInboundBytes(), 0u);

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
