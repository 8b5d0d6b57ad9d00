// A Viewer that asks for folder listings on its file channel and never reads the answers, against
// the built `QuillmereHost` as a user runs it: the Host's memory stays bounded, and another
// Viewer's listings are answered meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "QuillmereProfiles/FileTransferChannel.h"
#include "support/BuiltHost.h"
#include "support/Sanitizers.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "support/ViewerBatches.h"

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace qm::test {
namespace FileChannelBacklogLiveTests {
namespace {

using namespace std::chrono_literals;

TEST(FileChannelBacklogLive, ListingsNobodyReadsLeaveTheHostsMemoryBoundedAndOthersServed) {
    keepLittleInQuarantine();
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    // A folder whose listing is about 50 KB.
    for (int i = 0; i < 200; ++i) host->writeHomeFile("Long/" + std::string(200, 'n') + std::to_string(i), {});
    ASSERT_TRUE(host->start()) << host->log();
    auto silent = signInSilentFileViewer(*host, "Silent Viewer", whyNot);
    ASSERT_TRUE(silent) << whyNot << "\n" << host->log();
    auto reader = host->signIn("Reading Viewer", whyNot);
    ASSERT_TRUE(reader) << whyNot;
    auto readerChannel = openFileChannel(*reader);
    ASSERT_TRUE(readerChannel) << host->log();
    const std::size_t before = hostResidentKiB(*host);
    ASSERT_GT(before, 0u);

    // About 400 MB of answers if each were produced at once. Written from a thread of its own:
    // a Host that stops reading the channel leaves the write waiting.
    constexpr int requests = 8000;
    const Bytes burst = listingRequests(requests, "Long");
    std::atomic<bool> written{false};
    std::thread writer([&] {
        silent->channel->sendRaw(burst);
        written = true;
    });

    // Each of the reading Viewer's listings comes in turn with the silent Viewer's, which has had
    // hundreds of turns to answer by the end.
    std::size_t most = before;
    for (int i = 0; i < 300; ++i) {
        const UUID id = UUID::random();
        readerChannel->sendPacket({FileTransferOp::listDir, id, 0, 0, "Long", {}});
        const auto answer = readUntil(*readerChannel, [&](const FileTransferPacket& packet) {
            return packet.op == FileTransferOp::listDirReply && packet.batchID == id;
        });
        ASSERT_TRUE(answer) << "listing " << i << " of the reading Viewer\n" << host->log();
        most = std::max(most, hostResidentKiB(*host));
    }
    most = std::max(most, hostResidentKiB(*host));
    EXPECT_LT(most - before, 150u * 1024) << "KiB more than before the burst";

    if (!written) silent->channel->abort();
    writer.join();
}

}  // namespace
}  // namespace FileChannelBacklogLiveTests
}  // namespace qm::test
