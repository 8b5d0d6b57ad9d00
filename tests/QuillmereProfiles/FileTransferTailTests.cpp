// Chunks whose data is still in the connection when the service takes them (the file channel's
// large chunks): the data goes into the open file in packet order, or is let go of.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "Platform/FramedReceive.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

// A tail the test finishes by hand, as a connection whose bytes are slow to come would.
struct HeldTail final : FrameTail {
    explicit HeldTail(Bytes bytes) : data(std::move(bytes)) {}
    std::size_t size() const override { return data.size(); }
    void moveInto(int target, DispatchQueuePtr, Completion done) override {
        fd = ::dup(target);
        completion = std::move(done);
    }
    bool moved() const { return static_cast<bool>(completion); }
    // Writes the first `count` bytes and reports `outcome`.
    void finish(std::size_t count, Outcome outcome) {
        if (count > 0) {
            EXPECT_EQ(::write(fd, data.data(), count), static_cast<ssize_t>(count));
        }
        ::close(fd);
        outcome.written = count;
        completion(outcome);
    }
    Bytes data;
    int fd = -1;
    Completion completion;
};

Bytes contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class FileTransferTails : public ::testing::Test {
protected:
    static constexpr std::int64_t chunk = 262144;
    ManualPlatform mp;
    TemporaryDirectory dir;
    std::shared_ptr<FileTransferService> receiver;
    std::vector<std::string> statuses;
    std::vector<std::vector<fs::path>> completed;
    std::uint64_t progress = 0;

    fs::path staging() const { return dir.path() / "caches" / "QuillmereFileInbox" / "Viewer"; }
    std::size_t stagedFiles() const {
        std::size_t count = 0;
        if (!fs::exists(staging())) return 0;
        for (const auto& entry : fs::recursive_directory_iterator(staging())) count += entry.is_regular_file();
        return count;
    }

    void SetUp() override {
        receiver = std::make_shared<FileTransferService>(mp.platform, "Viewer", chunk,
                                                         FileTransferService::Folders{dir.path() / "caches", dir.path()});
        receiver->onStatus = [this](const std::string& text) { statuses.push_back(text); };
        receiver->onBatchCompleted = [this](const UUID&, const std::vector<fs::path>& items, FileTransferIntent) {
            completed.push_back(items);
        };
        receiver->onBatchProgress = [this](const UUID&, std::uint64_t got, std::uint64_t) { progress = got; };
    }
    void run() { mp.clock->runUntilIdle(); }
    void inject(FileTransferOp op, const UUID& id, std::uint64_t v1, const std::string& path, Bytes data = {}) {
        receiver->handleIncomingPacket(FileTransferPacket{op, id, v1, op == FileTransferOp::batchStart ? 1u : 0u, path,
                                                          std::move(data)},
                                       "A");
    }
    void tail(const UUID& id, std::uint64_t offset, const std::string& path, FrameTailPtr tail) {
        receiver->handleIncomingChunk(FileTransferPacketView{FileTransferOp::fileChunk, id, offset, 0, path, {}},
                                      std::move(tail), "A");
    }
    // Starts batch `id` of `batchSize` bytes and its first file.
    void startFile(const UUID& id, std::uint64_t batchSize, const std::string& path, std::uint64_t fileSize) {
        inject(FileTransferOp::batchStart, id, batchSize, "");
        inject(FileTransferOp::fileStart, id, fileSize, path);
    }
    // Hands the service a chunk whose data the test finishes by hand.
    std::shared_ptr<HeldTail> hold(const UUID& id, std::uint64_t offset, const std::string& path, Bytes bytes) {
        auto held = std::make_shared<HeldTail>(std::move(bytes));
        tail(id, offset, path, held);
        return held;
    }
    // A tail whose bytes have arrived, as the in-memory connections hand them on.
    static FrameTailPtr arrived(const Bytes& bytes) {
        auto storage = std::make_shared<const Bytes>(bytes);
        return std::make_shared<BufferedFrameTail>(storage, std::span(*storage));
    }
    // Finishes a held tail on the receive queue, where its completion belongs.
    void finishOnQueue(const std::shared_ptr<HeldTail>& held, std::size_t count, FrameTail::Outcome outcome) {
        mp.queue("quillmere.filetransfer.recv")->async([held, count, outcome] { held->finish(count, outcome); });
        run();
    }
    bool said(const std::string& text) const { return std::find(statuses.begin(), statuses.end(), text) != statuses.end(); }
};

}  // namespace

TEST_F(FileTransferTails, TailsAndBufferedChunksMakeOneFileInOrderAndMisfitsAreLetGo) {
    const UUID id = UUID::random();
    const auto first = randomBytes(chunk, 1), second = randomBytes(1000, 2), third = randomBytes(chunk, 3);
    const std::uint64_t size = first.size() + second.size() + third.size();
    startFile(id, size, "whole.bin", size);
    tail(id, 0, "whole.bin", arrived(first));
    inject(FileTransferOp::fileChunk, id, first.size(), "whole.bin", second);
    // Arriving later than the packets behind it are queued: they wait for it all the same.
    auto held = hold(id, first.size() + second.size(), "whole.bin", third);
    run();
    ASSERT_TRUE(held->moved());
    finishOnQueue(held, third.size(), {});
    inject(FileTransferOp::fileEnd, id, 0, "whole.bin");
    inject(FileTransferOp::batchEnd, id, 0, "");
    run();
    ASSERT_EQ(completed.size(), 1u);
    ASSERT_EQ(completed[0].size(), 1u);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(contentsOf(completed[0][0]), expected);
    EXPECT_EQ(progress, size);
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);

    // A tail longer than its file has room for, at the wrong offset, or for no open file is let
    // go of unmoved (its connection drops the bytes); the first two drop the file.
    const UUID other = UUID::random();
    startFile(other, 2 * chunk, "small.bin", 1000);
    auto tooLong = hold(other, 0, "small.bin", randomBytes(2000, 4));
    inject(FileTransferOp::fileStart, other, chunk, "shifted.bin");
    auto shifted = hold(other, 7, "shifted.bin", randomBytes(100, 5));
    auto orphan = hold(UUID::random(), 0, "orphan.bin", randomBytes(100, 6));
    run();
    EXPECT_FALSE(tooLong->moved() || shifted->moved() || orphan->moved());
    EXPECT_TRUE(said("dropped small.bin: data does not match its announced size"));
    EXPECT_TRUE(said("dropped shifted.bin: data does not match its announced size"));
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
}

TEST_F(FileTransferTails, AChunkStillArrivingWhenItsBatchEndsLeavesNothingStaged) {
    // Cancelled while its data is on the way: the folder goes, and the data that comes after
    // changes nothing.
    const UUID cancelled = UUID::random();
    startFile(cancelled, 2 * chunk, "big.bin", 2 * chunk);
    auto held = hold(cancelled, 0, "big.bin", randomBytes(chunk, 7));
    run();
    ASSERT_TRUE(held->moved());
    EXPECT_EQ(stagedFiles(), 1u);
    receiver->cancelBatch(cancelled);
    run();
    finishOnQueue(held, chunk, {});
    inject(FileTransferOp::batchEnd, cancelled, 0, "");
    run();
    EXPECT_EQ(stagedFiles(), 0u);
    EXPECT_TRUE(completed.empty());
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);

    // Its connection ends within the chunk: the file is dropped at once, the batch with the
    // Viewer's session.
    const UUID left = UUID::random();
    startFile(left, 2 * chunk, "half.bin", 2 * chunk);
    auto cut = hold(left, 0, "half.bin", randomBytes(chunk, 8));
    run();
    FrameTail::Outcome ended;
    ended.connectionEnded = true;
    finishOnQueue(cut, chunk / 2, ended);
    EXPECT_TRUE(said("dropped half.bin: the connection ended within a chunk"));
    EXPECT_EQ(stagedFiles(), 0u);
    receiver->cancelInboundBatches("A");
    run();
    EXPECT_TRUE(fs::is_empty(staging()));

    // The disk is full: the file that did not fit goes, the rest of the batch lands.
    const UUID full = UUID::random();
    startFile(full, 3 * chunk, "large.bin", 2 * chunk);
    auto noRoom = hold(full, 0, "large.bin", randomBytes(chunk, 9));
    run();
    FrameTail::Outcome diskFull;
    diskFull.fileError = ENOSPC;
    finishOnQueue(noRoom, chunk / 4, diskFull);
    inject(FileTransferOp::fileEnd, full, 0, "large.bin");
    const auto last = randomBytes(chunk, 10);
    inject(FileTransferOp::fileStart, full, chunk, "last.bin");
    tail(full, 0, "last.bin", arrived(last));
    inject(FileTransferOp::fileEnd, full, 0, "last.bin");
    inject(FileTransferOp::batchEnd, full, 0, "");
    run();
    EXPECT_TRUE(said("dropped large.bin: write failed: No space left on device"));
    ASSERT_EQ(completed.size(), 1u);
    ASSERT_EQ(completed[0].size(), 1u);
    EXPECT_EQ(contentsOf(completed[0][0]), last);
    EXPECT_EQ(stagedFiles(), 1u) << "only the file that fitted is staged";
    receiver->releaseCompletedBatch(full);
    run();
    EXPECT_TRUE(fs::is_empty(staging()));
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
}
