// Chunks whose data is still in the connection when the service takes them (the file channel's
// large chunks): the data goes into the open file in packet order, or is let go of.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <fstream>

#include "Platform/FramedReceive.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

namespace FileTransferTailTests {

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
    bool moved() const { return fd >= 0; }
    // Writes the first `count` bytes and reports `outcome`.
    void finish(std::size_t count, Outcome outcome) {
        if (count > 0) {
            EXPECT_EQ(::write(fd, data.data(), count), static_cast<ssize_t>(count));
        }
        ::close(fd);
        outcome.written = count;
        // Let go of as a connection does: the completion may hold this tail.
        auto done = std::move(completion);
        done(outcome);
    }
    Bytes data;
    int fd = -1;
    Completion completion;
};

// A file channel's connection behind a tail, as its reader leaves it: the frames still to come.
// A tail moved whole may take the chunk frame right behind it (takeFollowing); what its owner
// does not take stays for the reader (here: stays in `frames`).
struct ChannelStream {
    struct Frame {
        std::string name;
        Bytes head;  // the frame's start, its header included; the whole frame when `data` is empty
        Bytes data;  // a chunk's data, which stays in the connection as a tail
    };
    std::deque<Frame> frames;
    std::vector<std::string> events;
};

struct ChannelTail final : FrameTail {
    ChannelTail(std::shared_ptr<ChannelStream> from, std::string frameName, Bytes bytes)
        : stream(std::move(from)), name(std::move(frameName)), data(std::move(bytes)) {}
    ~ChannelTail() override {
        if (!moved) stream->events.push_back("let go " + name);
    }
    std::size_t size() const override { return data.size(); }
    void moveInto(int target, DispatchQueuePtr, Completion done) override {
        moved = true;
        Outcome outcome;
        outcome.written = static_cast<std::size_t>(::write(target, data.data(), data.size()));
        stream->events.push_back("moved " + name);
        completing = true;
        done(outcome);
        completing = false;
    }
    std::optional<Following> takeFollowing(const FollowingFilter& accept) override {
        if (!completing) {
            stream->events.push_back("asked outside the completion");
            return std::nullopt;
        }
        if (stream->frames.empty()) return std::nullopt;
        auto& next = stream->frames.front();
        if (next.data.empty() || !accept(next.head, next.data.size())) return std::nullopt;
        auto frame = std::move(next);
        stream->frames.pop_front();
        stream->events.push_back("took " + frame.name);
        auto storage = std::make_shared<const Bytes>(std::move(frame.head));
        return Following{storage, std::span(*storage), std::make_shared<ChannelTail>(stream, frame.name, frame.data)};
    }

    std::shared_ptr<ChannelStream> stream;
    std::string name;
    Bytes data;
    bool moved = false;
    bool completing = false;
};

// The packet as one file channel frame.
Bytes channelFrame(const FileTransferPacket& packet) {
    Bytes out = packet.encode(FileTransferChannelConstants::headerSize);
    const auto length = static_cast<std::uint32_t>(out.size() - FileTransferChannelConstants::headerSize);
    std::copy(FileTransferChannelConstants::magic.begin(), FileTransferChannelConstants::magic.end(), out.begin());
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    return out;
}

ChannelStream::Frame chunkFrame(const UUID& id, std::uint64_t offset, const std::string& path, const Bytes& data) {
    Bytes whole = channelFrame({FileTransferOp::fileChunk, id, offset, 0, path, data});
    whole.resize(whole.size() - data.size());
    return {path + "@" + std::to_string(offset), std::move(whole), data};
}

ChannelStream::Frame wholeFrame(std::string name, const FileTransferPacket& packet) {
    return {std::move(name), channelFrame(packet), {}};
}

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
        receiver->onStatus = [this](const std::string& text, const FileTransferService::StatusSource&) {
            statuses.push_back(text);
        };
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

TEST_F(FileTransferTails, ChunksRightBehindAMovedChunkAreTakenUntilAnotherFrameOrAMisfitComes) {
    auto stream = std::make_shared<ChannelStream>();
    const UUID id = UUID::random();
    const auto a = randomBytes(chunk, 21), b = randomBytes(chunk, 22), c = randomBytes(chunk / 2, 23);
    const std::uint64_t size = a.size() + b.size() + c.size();
    inject(FileTransferOp::batchStart, id, size, "");
    inject(FileTransferOp::fileStart, id, size, "whole.bin");
    stream->frames = {chunkFrame(id, chunk, "whole.bin", b), chunkFrame(id, 2 * chunk, "whole.bin", c),
                      wholeFrame("fileEnd", {FileTransferOp::fileEnd, id, size, 0, "whole.bin", {}})};
    tail(id, 0, "whole.bin", std::make_shared<ChannelTail>(stream, "whole.bin@0", a));
    run();
    EXPECT_EQ(stream->events, (std::vector<std::string>{"moved whole.bin@0", "took whole.bin@262144", "moved whole.bin@262144",
                                                        "took whole.bin@524288", "moved whole.bin@524288"}));
    ASSERT_EQ(stream->frames.size(), 1u) << "the fileEnd stays for the reader";
    // The reader's road hands on the rest.
    inject(FileTransferOp::fileEnd, id, size, "whole.bin");
    inject(FileTransferOp::batchEnd, id, 0, "");
    run();
    ASSERT_EQ(completed.size(), 1u);
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(contentsOf(completed[0].at(0)), expected);
    EXPECT_EQ(progress, size);
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);

    // Behind a good chunk: a chunk at the wrong offset, another batch's chunk, one past the
    // announced size. None is taken and none is judged by the run: each stays for the reader,
    // whose road reports what it reports.
    const UUID other = UUID::random(), elsewhere = UUID::random();
    inject(FileTransferOp::batchStart, other, 3 * chunk, "");
    inject(FileTransferOp::batchStart, elsewhere, chunk, "");
    inject(FileTransferOp::fileStart, elsewhere, chunk, "there.bin");
    for (const auto& misfit : {chunkFrame(other, chunk + 7, "f.bin", b), chunkFrame(elsewhere, 0, "there.bin", b),
                               chunkFrame(other, chunk, "f.bin", Bytes(chunk + 11, 1))}) {
        stream->events.clear();
        stream->frames = {misfit};
        inject(FileTransferOp::fileStart, other, 2 * chunk + 10, "f.bin");
        tail(other, 0, "f.bin", std::make_shared<ChannelTail>(stream, "f.bin@0", a));
        run();
        EXPECT_EQ(stream->events, (std::vector<std::string>{"moved f.bin@0"})) << misfit.name;
        EXPECT_EQ(stream->frames.size(), 1u) << misfit.name;
    }
    EXPECT_FALSE(said("dropped f.bin: data does not match its announced size")) << "the run judges nothing";
    // The reader's road judges it: the file goes.
    tail(other, chunk + 7, "f.bin", std::make_shared<ChannelTail>(stream, "late", b));
    run();
    EXPECT_TRUE(said("dropped f.bin: data does not match its announced size"));
    EXPECT_EQ(stream->events.back(), "let go late");
    run();
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
}

TEST_F(FileTransferTails, ACancelOrAViewerLeavingWhileTheServiceHoldsTheConnectionStopsTheRun) {
    // The Viewer's session ends (the server drops its batches) while a chunk taken by the run
    // waits on the receive queue: that chunk is let go of unmoved, nothing more is taken, and the
    // batch's folder goes.
    auto stream = std::make_shared<ChannelStream>();
    // A file's first chunk handed over with its tail, two more right behind it in the connection:
    // the run takes the second once the first is in the file.
    auto startRun = [&](const UUID& id, const std::string& name, std::uint64_t fileSize, unsigned seed) {
        inject(FileTransferOp::batchStart, id, 4 * chunk, "");
        inject(FileTransferOp::fileStart, id, fileSize, name);
        run();
        stream->frames = {chunkFrame(id, chunk, name, randomBytes(chunk, seed + 1)),
                          chunkFrame(id, 2 * chunk, name, randomBytes(chunk, seed + 2))};
        tail(id, 0, name, std::make_shared<ChannelTail>(stream, name + "@0", randomBytes(chunk, seed)));
    };
    const UUID id = UUID::random();
    startRun(id, "big.bin", 4 * chunk, 30);
    receiver->cancelInboundBatches("A");
    run();
    EXPECT_EQ(stream->events, (std::vector<std::string>{"moved big.bin@0", "took big.bin@262144", "let go big.bin@262144"}));
    EXPECT_EQ(stream->frames.size(), 1u) << "the rest is the reader's";
    EXPECT_EQ(stagedFiles(), 0u);
    EXPECT_TRUE(completed.empty());
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
    EXPECT_EQ(receiver->tableEntryCount(), 0u);

    // The Host's user cancels the batch (its progress row) the same moment: the same.
    stream->events.clear();
    const UUID cancelled = UUID::random();
    startRun(cancelled, "x.bin", 2 * chunk, 33);
    receiver->cancelBatch(cancelled);
    run();
    EXPECT_EQ(stream->events, (std::vector<std::string>{"moved x.bin@0", "took x.bin@262144", "let go x.bin@262144"}));
    EXPECT_EQ(stagedFiles(), 0u);
    EXPECT_TRUE(completed.empty());
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
}

}  // namespace FileTransferTailTests
