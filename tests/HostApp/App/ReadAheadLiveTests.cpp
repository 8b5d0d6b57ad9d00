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
#include "support/Sanitizers.h"
#include "support/TestPlatform.h"
#include "support/ViewerBatches.h"

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace qm::test {
namespace ReadAheadLiveTests {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The CPU time the Host has used so far, its user and system time together, in seconds.
double cpuSeconds(const BuiltHost& host) {
    std::ifstream file("/proc/" + std::to_string(host.pid()) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto name = stat.rfind(')');  // the program's name may hold spaces
    if (name == std::string::npos) return 0;
    std::istringstream fields(stat.substr(name + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number)
        if (number >= 14) ticks += std::stoull(field);  // utime, stime
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// How many cores' worth of CPU the Host uses over the next two seconds.
double shareOfACore(const BuiltHost& host) {
    const auto start = std::chrono::steady_clock::now();
    const double before = cpuSeconds(host);
    std::this_thread::sleep_for(2s);
    return (cpuSeconds(host) - before) / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A signed-in Viewer with its file channel, and its burst: `count` one-file managedCopy batches of
// one byte into a folder of its own, as file-channel frames back to back (what it writes at once).
struct Burster {
    std::unique_ptr<TestViewer> control;
    std::unique_ptr<TestFileChannel> channel;
    std::string folder;
    Bytes frames;
    std::thread writer;
    std::atomic<bool> written{false};
};

Bytes burstFrames(std::size_t count, const std::string& folder) {
    using FileTransferChannelConstants::headerSize;
    Bytes frames;
    const FilePacketRoad collect = [&](const FileTransferPacket& packet) {
        auto frame = packet.encode(headerSize);
        const auto length = static_cast<std::uint32_t>(frame.size() - headerSize);
        std::copy(FileTransferChannelConstants::magic.begin(), FileTransferChannelConstants::magic.end(), frame.begin());
        for (std::size_t b = 0; b < 4; ++b) frame[4 + b] = static_cast<std::uint8_t>(length >> (8 * b));
        frames.insert(frames.end(), frame.begin(), frame.end());
    };
    for (std::size_t i = 0; i < count; ++i)
        sendFileBatch(collect, FileTransferIntent::managedCopy, "~/" + folder, "b" + std::to_string(i), Bytes{'b'});
    return frames;
}

// waitUntil for a condition that lists folders or the Host's log: looked at five times a second,
// so the test does not take the CPU the Host needs.
bool pollUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(200ms);
    }
    return true;
}

std::size_t filesIn(const fs::path& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) ++count;
    return count;
}

}  // namespace

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

    std::vector<std::unique_ptr<Burster>> bursters;
    for (std::size_t v = 0; v < viewers; ++v) {
        auto burster = std::make_unique<Burster>();
        burster->control = std::make_unique<TestViewer>(ServerConstants::controlPort, "127.0.0.1",
                                                        "127.0.0." + std::to_string(2 + v / 4));
        const auto result = burster->control->signIn(host->user().name(), host->user().password());
        ASSERT_TRUE(result && result->accepted) << "Viewer " << v << ": " << (result ? result->message : "no answer");
        burster->channel = openFileChannel(*burster->control);
        ASSERT_TRUE(burster->channel) << host->log();
        burster->folder = "Burst" + std::to_string(v);
        burster->frames = burstFrames(batches, burster->folder);
        bursters.push_back(std::move(burster));
    }
    const std::size_t before = hostResidentKiB(*host);
    std::size_t most = before;  // looked at while they send: the Host only works off what it read after

    for (auto& burster : bursters) {
        burster->writer = std::thread([&b = *burster] {
            b.channel->sendRaw(b.frames);
            b.written = true;
        });
    }
    // They leave once the Host has saved well more of their batches than it may read ahead of them
    // all (a few hundred each).
    const std::size_t saved = 4000;
    auto savedSoFar = [&] {
        std::size_t count = 0;
        for (const auto& burster : bursters) count += filesIn(host->home() / burster->folder);
        return count;
    };
    auto allWritten = [&] {
        return std::all_of(bursters.begin(), bursters.end(), [](const auto& b) { return b->written.load(); });
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
    // The Host ends their sessions and closes their channels: a write still waiting fails then.
    for (auto& burster : bursters) burster->control->abort();
    const bool writersDone = pollUntil(allWritten, 30s);
    if (!writersDone) host->signal(SIGKILL);  // a write the Host never reads again ends only with the Host
    for (auto& burster : bursters) {
        burster->writer.join();
        burster->channel->abort();
    }
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
    const bool idle = waitUntil([&] { return shareOfACore(*host) < 0.3; }, 60s);
    const double idleAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - left).count();
    const std::size_t grown = most > before ? most - before : 0;
    std::cout << "read-ahead: " << viewers << " Viewers x " << batches << " batches (" << bursters[0]->frames.size()
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
