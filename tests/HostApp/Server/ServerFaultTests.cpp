// Faults on real sockets: a Viewer that dies mid-transfer, a file channel that stalls mid-frame, a
// storm of wrong passwords, a full disk under an inbound batch, and the Host stopping with work in
// flight. Each test checks what the fault must not take with it and what it must not leave behind.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "support/Soak.h"
#include "support/TestFiles.h"
#include "support/WiredHost.h"

namespace ServerFaultTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

// Frames per second over the frames received from index `from` to index `to`.
double frameRate(const std::vector<std::uint64_t>& times, std::size_t from, std::size_t to) {
    if (to >= times.size() || to <= from || times[to] <= times[from]) return 0;
    return static_cast<double>(to - from) * 1e9 / static_cast<double>(times[to] - times[from]);
}


Bytes contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A side-channel frame as it travels: "FTRX", the length, the payload.
Bytes framed(const FileTransferPacket& packet) {
    const Bytes payload = packet.encode();
    ByteWriter frame;
    frame.bytes(FileTransferChannelConstants::magic).u32(static_cast<std::uint32_t>(payload.size())).bytes(payload);
    return frame.data();
}

// Sends one file as a whole batch, chunk by chunk, the way a Viewer's engine does.
struct File {
    std::string name;
    Bytes data;
};
void sendBatch(TestFileChannel& channel, const UUID& batch, const std::vector<File>& files) {
    std::uint64_t total = 0;
    for (const auto& file : files) total += file.data.size();
    channel.sendPacket({FileTransferOp::batchStart, batch, total, files.size(), "", {}});
    for (const auto& file : files) {
        channel.sendPacket({FileTransferOp::fileStart, batch, file.data.size(), 0, file.name, {}});
        for (std::size_t at = 0; at < file.data.size(); at += WiredHost::chunk) {
            const auto end = std::min(file.data.size(), at + static_cast<std::size_t>(WiredHost::chunk));
            channel.sendPacket({FileTransferOp::fileChunk, batch, at, 0, file.name,
                                Bytes(file.data.begin() + static_cast<std::ptrdiff_t>(at),
                                      file.data.begin() + static_cast<std::ptrdiff_t>(end))});
        }
        channel.sendPacket({FileTransferOp::fileEnd, batch, 0, 0, file.name, {}});
    }
    channel.sendPacket({FileTransferOp::batchEnd, batch, 0, 0, "", {}});
}

// The bytes of the single item a completed batch delivered; nothing when it delivered another number.
std::optional<Bytes> onlyItemOf(const std::vector<fs::path>& items) {
    if (items.size() != 1) return std::nullopt;
    return contentsOf(items.front());
}

std::vector<std::string> namesOf(const std::vector<fs::path>& items) {
    std::vector<std::string> names;
    for (const auto& item : items) names.push_back(item.filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(ServerFaults, AViewerKilledMidTransferLeavesNoStagingNoDeliveryAndNoDescriptor) {
    WiredHost host;
    WiredViewer survivor(host);
    ASSERT_TRUE(survivor.ready());
    const auto descriptorsBefore = openDescriptors();
    {
        WiredViewer victim(host);
        ASSERT_TRUE(victim.ready());
        const auto batch = UUID::random();
        const std::size_t size = 4 * WiredHost::chunk;
        victim.channel->sendPacket({FileTransferOp::batchStart, batch, size, 1, "", {}});
        victim.channel->sendPacket({FileTransferOp::fileStart, batch, size, 0, "big.bin", {}});
        victim.channel->sendPacket({FileTransferOp::fileChunk, batch, 0, 0, "big.bin", randomBytes(WiredHost::chunk, 1)});
        ASSERT_TRUE(waitUntil([&] {
            std::error_code ec;
            for (fs::recursive_directory_iterator it(host.staging(), ec), end; !ec && it != end; it.increment(ec))
                if (it->is_regular_file() && it->file_size() == static_cast<std::uintmax_t>(WiredHost::chunk)) return true;
            return false;
        })) << "the first chunk reached staging";
        // The next chunk's frame is cut in the middle, and the process dies: both sockets reset.
        const auto next = framed({FileTransferOp::fileChunk, batch, static_cast<std::uint64_t>(WiredHost::chunk), 0,
                                  "big.bin", randomBytes(WiredHost::chunk, 2)});
        victim.channel->sendRaw(Bytes(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(next.size() / 2)));
        victim.channel->abort();
        victim.control.abort();
    }

    auto& server = host.live->server();
    EXPECT_TRUE(waitUntil([&] { return server.resourceCounts().sessions == 1; })) << "only the survivor is left";
    EXPECT_TRUE(waitUntil([&] { return host.stagedFiles() == 0 && fs::is_empty(host.staging()); }))
        << "the half file goes with its staging folder";
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == descriptorsBefore; }))
        << openDescriptors() << " descriptors open, " << descriptorsBefore << " before the victim came";
    // A packet's bytes are counted off after its work is done: the emptied folder comes first.
    EXPECT_TRUE(waitUntil([&] { return host.files->queuedInboundBytes() == 0; }))
        << host.files->queuedInboundBytes() << " bytes still queued";
    EXPECT_TRUE(host.completedBatches().empty()) << "nothing of the dead Viewer is delivered";

    // The other Viewer keeps its session, its channel and its transfers.
    const auto counts = server.resourceCounts();
    EXPECT_EQ(counts.authorizedSessions, 1u);
    EXPECT_EQ(counts.fileChannels, 1u);
    EXPECT_EQ(counts.fileTransferTokens, 1u);
    const auto data = randomBytes(1000, 3);
    sendBatch(*survivor.channel, UUID::random(), {{"after.bin", data}});
    ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 1; }));
    EXPECT_EQ(onlyItemOf(host.completedBatches().front()), data);
}

// A channel that stops in the middle of a frame: before its token it is dropped at the sign-in
// timeout; once bound to a signed-in session it is kept (its Viewer may only be slow), holding at
// most the frame it announced, which the channel caps at 8 MiB, and the Host serves everyone else.
TEST(ServerFaults, AFileChannelStalledMidFrameNeverHoldsUpTheOthers) {
    V230HostAudioAuxServer::Options options;
    options.signInTimeout = 1.0;
    WiredHost host(options);
    WiredViewer stalled(host);
    WiredViewer other(host);
    ASSERT_TRUE(stalled.ready() && other.ready());

    // A stranger's channel stops inside its token frame.
    TestFileChannel stranger(host.live->ports().fileTransfer);
    ByteWriter tokenHead;
    tokenHead.bytes(FileTransferChannelConstants::magic).u32(FileTransferChannelConstants::tokenSize).u32(0);
    stranger.sendRaw(tokenHead.data());
    // The bound channel stops inside a chunk frame.
    const auto batch = UUID::random();
    const auto data = randomBytes(WiredHost::chunk, 4);
    stalled.channel->sendPacket({FileTransferOp::batchStart, batch, data.size(), 1, "", {}});
    stalled.channel->sendPacket({FileTransferOp::fileStart, batch, data.size(), 0, "slow.bin", {}});
    const auto chunkFrame = framed({FileTransferOp::fileChunk, batch, 0, 0, "slow.bin", data});
    const auto cut = static_cast<std::ptrdiff_t>(chunkFrame.size() / 3);
    stalled.channel->sendRaw(Bytes(chunkFrame.begin(), chunkFrame.begin() + cut));

    // Others are served meanwhile.
    const auto otherData = randomBytes(3 * WiredHost::chunk + 7, 5);
    sendBatch(*other.channel, UUID::random(), {{"meanwhile.bin", otherData}});
    ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 1; }));
    EXPECT_EQ(onlyItemOf(host.completedBatches().front()), otherData);

    EXPECT_TRUE(stranger.waitForClose(5s)) << "the stranger is dropped at the sign-in timeout";
    EXPECT_TRUE(host.live->waitForStatus("file aux: no token in time; dropping connection"));
    const auto counts = host.live->server().resourceCounts();
    EXPECT_EQ(counts.fileChannels, 2u) << "the stalled bound channel outlives the sign-in timeout";
    EXPECT_EQ(counts.authorizedSessions, 2u);

    // When it resumes, the frame it held completes and its batch goes through whole.
    stalled.channel->sendRaw(Bytes(chunkFrame.begin() + cut, chunkFrame.end()));
    stalled.channel->sendPacket({FileTransferOp::fileEnd, batch, 0, 0, "slow.bin", {}});
    stalled.channel->sendPacket({FileTransferOp::batchEnd, batch, 0, 0, "", {}});
    ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 2; }));
    EXPECT_EQ(onlyItemOf(host.completedBatches().back()), data);
}

TEST(ServerFaults, AWrongPasswordStormFromManyAddressesDoesNotStallAStream) {
    V230HostAudioAuxServer::Options options;
    // Short slow-downs keep the checks coming through the storm (and the guessers quick to stop).
    options.signInLimits.firstDelay = 0.05;
    options.signInLimits.maxDelay = 0.2;
    LiveServer::Setup setup;
    setup.options = options;
    LiveServer live(setup);
    live.displays()->addDisplay(SimulatedDisplayService::makeDisplay(1, {0, 0}, 320, 180, 320, 180, 60, true));
    TestViewer control(live.ports().control);
    ASSERT_TRUE(control.signIn(LiveServer::user, LiveServer::password)->accepted);
    // What the video Viewer's reading thread writes outlives the Viewer, which stops that thread.
    std::mutex mutex;
    std::vector<std::uint64_t> frameTimes;
    std::size_t frames = 0;
    TestViewer video(live.ports().video);
    video.setObserver([&](const AuxFrame& frame, std::uint64_t receivedNs) {
        if (frame.header.type != AuxPacketType::videoFrame) return;
        auto payload = VideoFramePayload::decode(frame.payload);
        if (!payload) return;
        {
            std::lock_guard lock(mutex);
            frameTimes.push_back(receivedNs);
            ++frames;
        }
        video.send(AuxPacketType::videoFrameAck, VideoFrameAckPayload{payload->frameNumber}.encode());
    });
    ASSERT_TRUE(video.signIn(LiveServer::user, LiveServer::password)->accepted);
    auto framesSoFar = [&] {
        std::lock_guard lock(mutex);
        return frames;
    };
    // The rate before the storm, in this run on this machine, is what the rate under it is held to.
    ASSERT_TRUE(waitUntil([&] { return framesSoFar() >= 90; }, 20s));
    const double rateBefore = [&] {
        std::lock_guard lock(mutex);
        return frameRate(frameTimes, 30, 90);
    }();

    // Two guessers on each of eight addresses, each signing in with a wrong password again and
    // again on fresh connections, while the stream runs about two seconds (120 frames).
    std::atomic<bool> running{true};
    std::atomic<int> attempts{0}, accepted{0};
    std::vector<std::string> sources;
    for (int i = 0; i < 8; ++i) sources.push_back("127.0.0." + std::to_string(20 + i));
    // The guessers' connections in hand, so the end of the storm can cut their waits short.
    std::mutex guessersMutex;
    std::set<TestViewer*> guessers;
    std::vector<std::thread> storm;
    for (const auto& source : sources) {
        for (int copy = 0; copy < 2; ++copy) {
            storm.emplace_back([&, source] {
                while (running.load()) {
                    TestViewer guesser(live.ports().control, "127.0.0.1", source);
                    {
                        std::lock_guard lock(guessersMutex);
                        if (!running.load()) break;
                        guessers.insert(&guesser);
                    }
                    auto result = guesser.signIn(LiveServer::user, "wrong guess");
                    {
                        std::lock_guard lock(guessersMutex);
                        guessers.erase(&guesser);
                    }
                    ++attempts;
                    if (result && result->accepted) ++accepted;
                }
            });
        }
    }
    const auto framesBefore = framesSoFar();
    EXPECT_TRUE(waitUntil([&] { return framesSoFar() >= framesBefore + 120; }, 20s));
    {
        std::lock_guard lock(guessersMutex);
        running.store(false);
        for (auto* guesser : guessers) guesser->disconnect();
    }
    for (auto& thread : storm) thread.join();
    {
        std::lock_guard lock(mutex);
        const double rateUnder = frameRate(frameTimes, framesBefore, framesBefore + 120);
        EXPECT_GE(rateUnder, rateBefore / 2) << "frames per second before the storm " << rateBefore << ", under it " << rateUnder;
    }

    EXPECT_GT(attempts.load(), 30);
    EXPECT_EQ(accepted.load(), 0);
    EXPECT_GT(live.countStatuses("sign-in: slowing down password checks from 127.0.0.2"), 0u);
    // The storm leaves nothing behind, and the streaming Viewer keeps both its sessions.
    auto& server = live.server();
    EXPECT_TRUE(waitUntil([&] {
        const auto counts = server.resourceCounts();
        return counts.sessions == 2 && counts.signInsInFlight == 0;
    }));
    EXPECT_EQ(server.resourceCounts().authorizedSessions, 2u);
    EXPECT_FALSE(control.waitForClose(0ms));
    const auto framesAfter = framesSoFar();
    EXPECT_TRUE(waitUntil([&] { return framesSoFar() >= framesAfter + 10; })) << "the stream goes on";
    // A slowed address is slowed, not locked out: the right password still signs in from it.
    TestViewer returning(live.ports().control, "127.0.0.1", sources.front());
    const auto result = returning.signIn(LiveServer::user, LiveServer::password);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->accepted) << result->message;
}

namespace {

// A small file system of its own (tmpfs), mounted for the test's lifetime; needs the right to mount.
class SmallDisk {
public:
    explicit SmallDisk(const fs::path& at, std::size_t bytes) : at_(at) {
        fs::create_directories(at);
        const auto size = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, size.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    std::uint64_t freeBytes() const {
        struct statvfs info {};
        return ::statvfs(at_.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize : 0;
    }

private:
    fs::path at_;
    bool mounted_ = false;
};

}  // namespace

TEST(ServerFaults, AFullDiskDropsTheFileThatDidNotFitAndDeliversOnlyWholeFiles) {
    TemporaryDirectory folder;
    SmallDisk disk(folder.path() / "disk", 1 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs privileges this run does not have";
    const auto freeBefore = disk.freeBytes();
    {
        WiredHost host({}, folder.path() / "disk");
        WiredViewer viewer(host);
        ASSERT_TRUE(viewer.ready());
        const auto first = randomBytes(100'000, 6), large = randomBytes(2 << 20, 7), last = randomBytes(10'000, 8);
        sendBatch(*viewer.channel, UUID::random(), {{"first.bin", first}, {"large.bin", large}, {"last.bin", last}});

        ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 1; }));
        const auto items = host.completedBatches().front();
        EXPECT_EQ(namesOf(items), (std::vector<std::string>{"first.bin", "last.bin"}))
            << "the file that did not fit is not delivered";
        for (const auto& item : items)
            EXPECT_EQ(contentsOf(item), item.filename() == "first.bin" ? first : last) << item;
        EXPECT_TRUE(host.live->waitForStatus("files: dropped large.bin: write failed: No space left on device"));
        EXPECT_EQ(host.live->countStatuses("files: dropped large.bin"), 1u) << "said once, not per chunk";
        EXPECT_EQ(host.stagedFiles(), 2u) << "the partial file was removed";
        EXPECT_GT(disk.freeBytes() + first.size() + last.size() + 64 * 1024, freeBefore) << "its space is free again";

        // The Host goes on: its Viewer is still there, and the next batch that fits goes through.
        EXPECT_EQ(host.live->server().resourceCounts().authorizedSessions, 1u);
        const auto small = randomBytes(5000, 9);
        sendBatch(*viewer.channel, UUID::random(), {{"small.bin", small}});
        ASSERT_TRUE(waitUntil([&] { return host.completedBatches().size() == 2; }));
        EXPECT_EQ(onlyItemOf(host.completedBatches().back()), small);
    }
}

TEST(ServerFaults, StoppingWithASignInAndATransferInFlightReleasesEverything) {
    WiredHost host;
    WiredViewer sender(host);
    ASSERT_TRUE(sender.ready());
    const auto batch = UUID::random();
    sender.channel->sendPacket({FileTransferOp::batchStart, batch, 3 * WiredHost::chunk, 1, "", {}});
    sender.channel->sendPacket({FileTransferOp::fileStart, batch, 3 * WiredHost::chunk, 0, "midway.bin", {}});
    sender.channel->sendPacket({FileTransferOp::fileChunk, batch, 0, 0, "midway.bin", randomBytes(WiredHost::chunk, 10)});
    ASSERT_TRUE(waitUntil([&] { return host.stagedFiles() == 1; }));

    // A second Viewer's password check is held on the sign-in queue.
    auto accounts = host.live->scriptedAccounts();
    accounts->holdNextVerifications(1);
    TestViewer pending(host.live->ports().control);
    auto answer = std::async(std::launch::async, [&] { return pending.signIn(LiveServer::user, LiveServer::password); });
    ASSERT_TRUE(waitUntil([&] { return accounts->waitingVerifications() == 1; }));

    auto& server = host.live->server();
    auto stopped = std::async(std::launch::async, [&] { server.stopForTermination(); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready) << "the stop does not wait for the password check";
    auto counts = server.resourceCounts();
    EXPECT_EQ(counts.sessions, 0u);
    EXPECT_EQ(counts.authorizedSessions, 0u);
    EXPECT_EQ(counts.fileChannels, 0u);
    EXPECT_EQ(counts.fileTransferTokens, 0u);
    EXPECT_TRUE(sender.control.waitForClose());
    EXPECT_TRUE(sender.channel->waitForClose());

    // The held check answers after the stop: it signs no one in and its slot is given back.
    accounts->releaseHeldVerifications();
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    const auto result = answer.get();
    EXPECT_FALSE(result && result->accepted);
    EXPECT_TRUE(waitUntil([&] { return server.resourceCounts() == V230HostAudioAuxServer::ResourceCounts{}; }));
    EXPECT_TRUE(waitUntil([&] { return host.stagedFiles() == 0; })) << "the unfinished batch's staging is removed";
    EXPECT_TRUE(host.completedBatches().empty());
}

}  // namespace ServerFaultTests
