// Viewers that send far more batches than the Host takes in before they leave, against the built
// `QuillmereHost` as a user runs it under a 1,024-descriptor limit: the Host reads each Viewer only
// a bounded way ahead of what it handled, so its memory grows by a bounded amount however much they
// send, a Viewer that comes after them is answered while the Host finishes what they left, and the
// Host is idle again within seconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "HostApp/Server/ServerConstants.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/BuiltHost.h"
#include "support/HostMeasures.h"
#include "support/HostilePeers.h"
#include "support/Sanitizers.h"
#include "support/TestPlatform.h"
#include "support/ViewerBatches.h"

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace qm::test {
namespace ReadAheadLiveTests {
using namespace std::chrono_literals;

// 16 Viewers (four from each of four addresses, as many as the Host takes at 1,024 descriptors)
// each write 20,000 one-file batches (7.3 MB) at once and leave while most of it is still unsent.
// The Host holds what it read of each and has not handled yet within its per-Viewer bound (its
// packets counted as they wait, and the frames read for it), however much the Viewer sends, so it
// grows by a bounded amount, and what they leave behind is that much: a Viewer that comes after
// them is answered while the Host finishes it, and the Host is idle again within seconds.
TEST(ReadAheadLive, ViewersThatSendFarMoreThanTheHostTakesCostItABoundedAmountAndLeaveItIdleSoon) {
    keepLittleInQuarantine();
    constexpr std::size_t viewers = 16;
    // A sanitized Host takes several times as long for a batch: a smaller burst shows the same.
    const std::size_t batches = runsUnderAddressSanitizer ? 2000 : 20000;
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    host->limitDescriptors(1024);
    ASSERT_TRUE(host->start()) << host->log();

    std::vector<std::unique_ptr<BurstingViewer>> bursters;
    for (std::size_t v = 0; v < viewers; ++v) {
        bursters.push_back(BurstingViewer::signIn(*host, "127.0.0." + std::to_string(2 + v / 4), "Burst" + std::to_string(v),
                                                  batches, whyNot));
        ASSERT_TRUE(bursters.back()) << whyNot << "\n" << host->log();
    }
    const std::size_t before = hostResidentKiB(*host);
    std::size_t most = before;  // looked at while they send: the Host only works off what it read after

    for (auto& burster : bursters) burster->start();
    // They leave once the Host has saved well more of their batches than it may read ahead of them
    // all (a few hundred each).
    const std::size_t saved = 4000;
    auto savedSoFar = [&] {
        std::size_t count = 0;
        for (const auto& burster : bursters) count += filesIn(host->home() / burster->folder());
        return count;
    };
    auto allWritten = [&] {
        return std::all_of(bursters.begin(), bursters.end(), [](const auto& b) { return b->written(); });
    };
    EXPECT_TRUE(pollUntil(
        [&] {
            most = std::max(most, hostResidentKiB(*host));
            return savedSoFar() >= saved;
        },
        120s))
        << savedSoFar() << " saved";
    const std::size_t savedBefore = savedSoFar();
    const auto left = std::chrono::steady_clock::now();
    for (auto& burster : bursters) burster->leave();
    const bool writersDone = pollUntil(allWritten, 30s);
    if (!writersDone) host->signal(SIGKILL);  // a write the Host never reads again ends only with the Host
    for (auto& burster : bursters) burster->join();
    ASSERT_TRUE(writersDone) << "their writes were never let go of";

    // A newcomer (once their sessions are gone) has its batch saved while the Host finishes theirs.
    ASSERT_TRUE(pollUntil(
        [&] {
            const auto messages = host->messages();
            return std::count_if(messages.begin(), messages.end(), [](const std::string& line) {
                       return line.find(" (control) removed") != std::string::npos;
                   }) >= static_cast<std::ptrdiff_t>(viewers);
        },
        30s))
        << host->log();
    auto newcomer = std::make_unique<TestViewer>(ServerConstants::controlPort, "127.0.0.1", "127.0.0.6");
    const auto signedIn = newcomer->signIn(host->user().name(), host->user().password());
    ASSERT_TRUE(signedIn && signedIn->accepted) << (signedIn ? signedIn->message : "no answer");
    auto channel = openFileChannel(*newcomer);
    ASSERT_TRUE(channel);
    const UUID batch = sendFileBatch(fileChannelRoad(*channel), FileTransferIntent::managedCopy, "~/Newcomer", "n.txt", Bytes{'n'});
    const auto answer = responseTo(*channel, batch);
    const double answeredAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - left).count();
    EXPECT_TRUE(answer && answer->accepted) << "no answer " << answeredAfter << " s after the others left";
    channel->abort();
    newcomer->abort();

    // What they left is a few thousand batches at most (a sanitized Host takes several times as
    // long for each); everything they sent would take minutes.
    const bool idle = waitUntil([&] { return shareOfACore([&] { return hostCpuSeconds(*host); }) < 0.3; }, 60s);
    const double idleAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - left).count();
    const std::size_t grown = most > before ? most - before : 0;
    std::cout << "read-ahead: " << viewers << " Viewers x " << batches << " batches (" << bursters[0]->burstBytes()
              << " bytes each), left after " << savedBefore << " saved; resident " << before << " KiB, at most " << most
              << " KiB (+" << grown / 1024 << " MiB); newcomer answered " << answeredAfter << " s, idle " << idleAfter
              << " s after they left\n";
    EXPECT_TRUE(idle) << "still busy " << idleAfter << " s after they left";
    // Per Viewer: its lane's bound, the frames read for it (two reads' worth, each frame counted as
    // its packet), and as much again for what the allocator and the batches in delivery keep (three
    // times as much under AddressSanitizer, which pads each of a waiting packet's small blocks).
    const std::size_t perViewer = (runsUnderAddressSanitizer ? 4 : 2) *
                                  (FileTransferService::maxQueuedBytesPerPeer + 2 * FileTransferChannelConnection::maxReadSize);
    EXPECT_LT(grown, viewers * perViewer / 1024) << "KiB grown, from " << before << " KiB";
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(20s), 0);
}

}  // namespace ReadAheadLiveTests
}  // namespace qm::test
