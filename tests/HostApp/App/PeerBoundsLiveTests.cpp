// Peers that never sign in, a Viewer that leaves with answers queued, and Viewers that send many
// batches or hold many unfinished ones, against the built `QuillmereHost` as a user runs it: the
// Host's memory, CPU and descriptors stay bounded, every batch is answered, other Viewers still
// sign in, and a stop ends the Host within seconds whatever those peers did before it.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <set>
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
namespace PeerBoundsLiveTests {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint16_t controlPort = ServerConstants::controlPort;

// True once the Host answered a listing asked on the control connection of `viewer`: what the
// Viewer sent there before has been taken in.
bool caughtUp(TestViewer& viewer) {
    const UUID probe = UUID::random();
    controlRoad(viewer)({FileTransferOp::listDir, probe, 0, 0, "~", {}});
    while (const auto frame = viewer.waitFor(AuxPacketType::fileTransfer, 30s)) {
        const auto packet = FileTransferPacket::decode(frame->payload);
        if (packet && packet->op == FileTransferOp::listDirReply && packet->batchID == probe) return true;
    }
    return false;
}

std::size_t linesHolding(const BuiltHost& host, const std::string& text) {
    const auto messages = host.messages();
    return std::count_if(messages.begin(), messages.end(),
                         [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// Connections to the control port from 2,000 loopback addresses (127.0.1.1 to 127.0.8.250), each
// reset as soon as it is made, none signing in, on a thread per core (up to 8) for `span` or until
// `most` were made: how many were.
std::size_t churn(std::chrono::milliseconds span, std::size_t most) {
    std::atomic<std::size_t> made{0};
    const auto end = std::chrono::steady_clock::now() + span;
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
    std::vector<std::thread> workers;
    for (unsigned first = 0; first < threads; ++first) {
        workers.emplace_back([&, first] {
            for (unsigned n = first; made < most && std::chrono::steady_clock::now() < end; n += threads) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (fd < 0) continue;
                const timeval patience{1, 0};  // a connection the Host's backlog has no room for is given up
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
                sockaddr_in from{}, to{};
                from.sin_family = to.sin_family = AF_INET;
                from.sin_addr.s_addr = htonl(0x7f000000u | (1 + n / 250 % 8) << 8 | (1 + n % 250));
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(controlPort);
                if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
                    ++made;
                const linger reset{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::close(fd);
            }
        });
    }
    for (auto& worker : workers) worker.join();
    return made;
}

// Bytes sent to `port` on this network that the Host has not read yet: what waits in its
// connections' receive queues and in their senders' (loopback's TCP table).
std::size_t unreadOn(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::size_t unread = 0;
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        if (!(fields >> slot >> local >> remote >> state >> queues) || state != "01") continue;  // established only
        const auto portOf = [](const std::string& end) { return std::stoul(end.substr(end.find(':') + 1), nullptr, 16); };
        const auto colon = queues.find(':');
        if (portOf(local) == port) unread += std::stoul(queues.substr(colon + 1), nullptr, 16);
        if (portOf(remote) == port) unread += std::stoul(queues.substr(0, colon), nullptr, 16);
    }
    return unread;
}

// What became of a burst of one-byte managedCopy batches a Viewer sent on its file channel.
struct Burst {
    std::map<std::string, int> answers;  // "saved" or the Host's message
    std::size_t unanswered = 0;          // batches sent that got no receipt
};

// Sends `batches` one-byte managedCopy batches into ~/`folder` at once, from a thread of its own
// (the Host leaves a slowed-down Viewer's writes waiting), and reads every receipt; `meanwhile`
// is told how many were answered after each receipt. A Host that stops answering for 30 s ends
// the burst: the channel is closed, and the Host killed should the writer stay stuck.
Burst sendBurst(BuiltHost& host, TestFileChannel& channel, std::size_t batches, const std::string& folder,
                const std::function<void(std::size_t answered)>& meanwhile = nullptr) {
    std::vector<UUID> sent;
    std::atomic<bool> written{false};
    std::thread writer([&] {
        const auto road = fileChannelRoad(channel);
        for (std::size_t i = 0; i < batches; ++i)
            sent.push_back(sendFileBatch(road, FileTransferIntent::managedCopy, "~/" + folder, "b" + std::to_string(i),
                                         Bytes{'b'}));
        written = true;
    });
    Burst burst;
    std::set<UUID> answered;
    while (answered.size() < batches) {
        const auto receipt = readUntil(channel, [](const FileTransferPacket& p) { return p.op == FileTransferOp::peerSendResponse; },
                                       nullptr, 30s);
        if (!receipt) break;
        const auto response = FileTransferPeerSendResponse::decode(receipt->data);
        answered.insert(receipt->batchID);
        ++burst.answers[response && response->accepted ? "saved" : response ? response->message.value_or("refused") : "garbled"];
        if (meanwhile) meanwhile(answered.size());
    }
    if (answered.size() < batches) {
        channel.abort();
        // A write the Host never reads again ends only with the Host.
        if (!waitUntil([&] { return written.load(); }, 10s)) host.signal(SIGKILL);
    }
    writer.join();
    burst.unanswered = static_cast<std::size_t>(
        std::count_if(sent.begin(), sent.end(), [&](const UUID& id) { return !answered.contains(id); }));
    return burst;
}

// The built Host started under a limit of `limit` descriptors, with a Viewer signed in and its
// file channel open. No host: this machine cannot run it (whyNot says why); no channel: the start
// or the sign-in failed (whyNot says how).
struct HostWithViewer {
    std::unique_ptr<BuiltHost> host;
    std::unique_ptr<TestViewer> viewer;
    std::unique_ptr<TestFileChannel> channel;
    std::string whyNot;
};
HostWithViewer burstingViewerOn(std::size_t limit) {
    HostWithViewer made;
    made.host = BuiltHost::prepare(QM_HOST_EXECUTABLE, made.whyNot);
    if (!made.host) return made;
    made.host->limitDescriptors(limit);
    if (!made.host->start()) {
        made.whyNot = made.host->log();
        return made;
    }
    made.viewer = made.host->signIn("Bursting Viewer", made.whyNot);
    if (made.viewer) made.channel = openFileChannel(*made.viewer);
    if (made.viewer && !made.channel) made.whyNot = made.host->log();
    return made;
}

std::string signInFrom(const std::string& address, const BuiltHost& host, std::unique_ptr<TestViewer>* kept = nullptr) {
    auto viewer = std::make_unique<TestViewer>(controlPort, "127.0.0.1", address);
    if (!viewer->connected()) return "not connected";
    const auto result = viewer->signIn(host.user().name(), host.user().password());
    if (!result) return "no answer";
    if (kept && result->accepted) *kept = std::move(viewer);
    return result->accepted ? "ok" : result->message;
}

// ---- Peers that never sign in, and a Viewer that leaves -----------------------------------------

// Every connection the Host takes in becomes a session, removed once the peer goes. Tens of
// thousands of them from 2,000 addresses, while Viewers' listings wait for them to read, leave no
// work behind: the Host is idle after them, its memory stays bounded, and a stop is taken at once.
TEST(PeerBoundsLive, AChurnOfConnectionsThatNeverSignInLeavesTheHostIdleSmallAndQuickToStop) {
    keepLittleInQuarantine();
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    // A folder whose listing is about 50 KB, cheap to sort.
    for (int i = 0; i < 200; ++i) host->writeHomeFile("Long/" + std::to_string(i) + std::string(240, 'n'), {});
    ASSERT_TRUE(host->start()) << host->log();
    // Viewers that do not read the listings they asked for: the file service keeps their work
    // waiting meanwhile, as it does for any Viewer whose network is slow. About 250 answers fill
    // what the sockets and the Host's queue hold for one; the rest wait (and are few, should the
    // Host give a channel up after its half minute unread). A sanitized Host takes several times
    // as long for a listing: fewer Viewers wait there.
    std::vector<SilentFileViewer> silent;
    for (int i = 0; i < (runsUnderAddressSanitizer ? 2 : 8); ++i) {
        auto viewer = signInSilentFileViewer(*host, "Silent Viewer", whyNot);
        ASSERT_TRUE(viewer) << whyNot;
        viewer->channel->sendRaw(listingRequests(320, "Long"));
        silent.push_back(std::move(*viewer));
    }
    // Once their answers have backed up, the Host rests.
    EXPECT_TRUE(waitUntil([&] { return shareOfACore([&] { return hostWantedSeconds(*host); }) < 0.3; }, 60s));
    const std::size_t before = hostResidentKiB(*host);

    const auto made = churn(10s, 120000);
    ASSERT_GT(made, 5000u) << "too few connections to say anything";
    // Served in the order they came: once a Viewer signs in, the churn has been taken in.
    auto viewer = host->signIn("Viewer after the churn", whyNot);
    EXPECT_TRUE(viewer) << whyNot;
    viewer.reset();
    const double busy = shareOfACore([&] { return hostCpuSeconds(*host); });
    const std::size_t after = hostResidentKiB(*host);
    EXPECT_LT(busy, 0.3) << "of a core after " << made << " connections";
    // What stays for a while is each connection's sign-in deadline (under 1 KB, until it would
    // have expired), whatever the file service was given.
    EXPECT_LT(after, before + 96 * 1024) << "KiB after " << made << " connections, from " << before;
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(20s), 0) << "after " << made << " connections";
}

// A Viewer asks for 20,000 listings of a large folder on its file channel, never reads them, and
// resets its connections: what was queued for it goes with it. Nothing is produced for it after,
// so the Host is idle, says little of the Viewer it lost, and stops at once.
TEST(PeerBoundsLive, AViewerThatLeavesWithListingsQueuedCostsNothingAfterAndTheStopIsQuick) {
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    for (int i = 0; i < 2000; ++i) host->writeHomeFile("Big/" + std::string(40, 'e') + std::to_string(i), {});
    ASSERT_TRUE(host->start()) << host->log();
    auto silent = signInSilentFileViewer(*host, "Leaving Viewer", whyNot);
    ASSERT_TRUE(silent) << whyNot << "\n" << host->log();

    const Bytes burst = listingRequests(20000, "Big");
    std::atomic<bool> written{false};
    std::thread writer([&] {
        silent->channel->sendRaw(burst);
        written = true;
    });
    // The Host has taken every request in: nothing of them waits in the sockets.
    const bool takenIn =
        waitUntil([&] { return written && unreadOn(ServerConstants::fileTransferPort) == 0; }, 30s);
    silent->channel->abort();
    silent->control->abort();
    if (!takenIn) host->signal(SIGKILL);  // a write the Host never reads ends only with the Host
    writer.join();
    ASSERT_TRUE(takenIn) << unreadOn(ServerConstants::fileTransferPort) << " bytes left unread";
    // Gone from the Host's sessions.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto messages = host->messages();
            return std::any_of(messages.begin(), messages.end(),
                               [](const std::string& line) { return line.ends_with(" (control) removed"); });
        },
        20s))
        << host->log();

    const double busy = shareOfACore([&] { return hostCpuSeconds(*host); });
    EXPECT_LT(busy, 0.3) << "of a core for a Viewer that left";
    EXPECT_LE(linesHolding(*host, "is unavailable"), 20u) << "lines about answers for the Viewer that left";
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(20s), 0);
}

// ---- One Viewer's batches under the Host's descriptor limit --------------------------------------

// A Viewer sends 2,000 one-byte batches at once to a Host that may open 1,024 descriptors: the
// burst is slowed down, never refused (the Host stops reading the Viewer while it holds its share
// of staged batches), every batch is answered and saved, the Host keeps a reserve of descriptors
// throughout, another Viewer signs in meanwhile, and nothing stays held once the Viewer left.
TEST(PeerBoundsLive, ABurstOfBatchesUnderADescriptorLimitIsSlowedNotRefusedAndLeavesNothingHeld) {
    constexpr std::size_t limit = 1024, reserve = 128, batches = 2000;
    auto setup = burstingViewerOn(limit);
    if (!setup.host) GTEST_SKIP() << setup.whyNot;
    ASSERT_TRUE(setup.channel) << setup.whyNot;
    auto& host = setup.host;
    auto& viewer = setup.viewer;
    auto& channel = setup.channel;
    const std::size_t baseline = hostDescriptors(*host);

    MostDescriptors descriptors(*host);
    std::string otherViewer = "never tried";
    auto burst = sendBurst(*host, *channel, batches, "Burst", [&](std::size_t answered) {
        if (answered == 200) otherViewer = signInFrom("127.0.0.2", *host);
    });
    const std::size_t most = descriptors.stop();
    EXPECT_EQ(burst.answers["saved"], static_cast<int>(batches)) << ::testing::PrintToString(burst.answers);
    EXPECT_EQ(burst.unanswered, 0u);
    EXPECT_EQ(otherViewer, "ok");
    EXPECT_LT(most, limit - reserve) << "descriptors at most, from " << baseline;
    EXPECT_EQ(filesIn(host->home() / "Burst"), batches);

    channel->abort();
    viewer->abort();
    // What the Host's toolkit opened once for its windows stays: a few descriptors.
    EXPECT_TRUE(waitUntil([&] { return host->stagingEmpty() && hostDescriptors(*host) <= baseline + 8; }, 30s))
        << hostDescriptors(*host) << " descriptors, " << baseline << " before the burst; staging empty: " << host->stagingEmpty();
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(20s), 0);
}

// Peers that never sign in keep as many connections open as they can, from 2,000 addresses, on
// the control port and the file port, while a signed-in Viewer sends 3,000 one-file batches. What
// they hold counts from its accept, however far behind the Host's queue is: the Host keeps its
// reserve of descriptors, takes and saves every batch, signs another Viewer in meanwhile, and
// leaves nothing staged after a stop.
TEST(PeerBoundsLive, ConnectionsHeldOpenByPeersThatNeverSignInLeaveTheHostWhatItNeedsForAViewersBatches) {
    constexpr std::size_t limit = 1024, reserve = 128, batches = 3000;
    auto setup = burstingViewerOn(limit);
    if (!setup.host) GTEST_SKIP() << setup.whyNot;
    ASSERT_TRUE(setup.channel) << setup.whyNot;
    auto& host = setup.host;
    auto& channel = setup.channel;

    MostDescriptors descriptors(*host);
    HeldConnections held({controlPort, ServerConstants::fileTransferPort}, 2000, 1500);
    ASSERT_TRUE(waitUntil([&] { return held.made() >= 1500; }, 30s)) << held.made() << " connections made";
    std::string otherViewer = "never tried";
    auto burst = sendBurst(*host, *channel, batches, "Burst", [&](std::size_t answered) {
        if (answered == batches / 3) otherViewer = signInFrom("127.0.0.2", *host);
    });
    const std::size_t made = held.stop();
    const std::size_t most = descriptors.stop();

    EXPECT_EQ(burst.answers["saved"], static_cast<int>(batches)) << ::testing::PrintToString(burst.answers);
    EXPECT_EQ(burst.unanswered, 0u);
    EXPECT_EQ(otherViewer, "ok");
    EXPECT_LT(most, limit - reserve) << "descriptors at most, with " << made << " connections made meanwhile";
    EXPECT_EQ(filesIn(host->home() / "Burst"), batches);
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(20s), 0);
    EXPECT_TRUE(host->stagingEmpty());
}

// Every hostile peer at once, against one Host under a 1,024-descriptor limit: connections that
// never sign in held open from 2,000 addresses on the control and file ports, 9 addresses guessing
// the password while they wait out their slow-down with two tries in hand, and 12 signed-in
// Viewers each writing 20,000 one-file batches and leaving halfway. A Viewer whose user takes 2 s
// to type the right password signs in meanwhile and has its batch saved. The Host keeps its
// reserve of descriptors throughout, grows by no more than each Viewer's read-ahead bound allows,
// and once they are gone it holds what it held before, is idle, and stops in order.
TEST(PeerBoundsLive, EveryHostilePeerAtOnceLeavesTheHostWithinItsBoundsAndAViewerSignsIn) {
    keepLittleInQuarantine();
    constexpr std::size_t limit = 1024, reserve = 128, bursting = 12;
    // A sanitized Host takes several times as long for a batch: a smaller burst shows the same.
    const std::size_t batches = runsUnderAddressSanitizer ? 2000 : 20000;
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    host->limitDescriptors(limit);
    ASSERT_TRUE(host->start()) << host->log();
    // What the Host holds open of its own, once the start's probe connection is gone.
    ASSERT_TRUE(waitUntil([&] { return host->log().find("removed (never signed in)") != std::string::npos; }, 20s));
    const std::size_t ownDescriptors = hostDescriptors(*host);

    std::vector<std::unique_ptr<BurstingViewer>> bursters;
    for (std::size_t v = 0; v < bursting; ++v) {
        bursters.push_back(BurstingViewer::signIn(*host, "127.0.0." + std::to_string(2 + v / 4), "Burst" + std::to_string(v),
                                                  batches, whyNot));
        ASSERT_TRUE(bursters.back()) << whyNot << "\n" << host->log();
    }
    const std::size_t before = hostResidentKiB(*host);
    std::size_t most = before;
    MostDescriptors descriptors(*host);
    HeldConnections held({controlPort, ServerConstants::fileTransferPort}, 2000, 1500);
    SlowedGuessers guessers(controlPort, host->user().name(), 9, 2, 2);
    for (auto& burster : bursters) burster->start();
    ASSERT_TRUE(guessers.waitUntilPrimed(120s)) << host->log();

    std::unique_ptr<TestViewer> typing;
    EXPECT_EQ(signInAfterTyping(controlPort, host->user().name(), host->user().password(), "127.0.0.10", 2s, &typing), "ok");
    if (auto channel = typing ? openFileChannel(*typing) : nullptr) {
        const UUID batch = sendFileBatch(fileChannelRoad(*channel), FileTransferIntent::managedCopy, "~/Typed", "t.txt", Bytes{'t'});
        const auto receipt = responseTo(*channel, batch);
        EXPECT_TRUE(receipt && receipt->accepted) << "the typing Viewer's batch";
        channel->abort();
    }
    if (typing) typing->abort();

    // The bursting Viewers leave once the Host saved a few thousand of their batches.
    auto savedSoFar = [&] {
        std::size_t count = 0;
        for (const auto& burster : bursters) count += filesIn(host->home() / burster->folder());
        return count;
    };
    EXPECT_TRUE(pollUntil(
        [&] {
            most = std::max(most, hostResidentKiB(*host));
            return savedSoFar() >= 4000;
        },
        120s));
    for (auto& burster : bursters) burster->leave();
    const bool writersDone =
        pollUntil([&] { return std::all_of(bursters.begin(), bursters.end(), [](const auto& b) { return b->written(); }); }, 30s);
    if (!writersDone) host->signal(SIGKILL);  // a write the Host never reads again ends only with the Host
    bursters.clear();
    ASSERT_TRUE(writersDone) << "their writes were never let go of";
    guessers.stop();
    const std::size_t made = held.stop();
    const std::size_t mostDescriptors = descriptors.stop();

    EXPECT_LT(mostDescriptors, limit - reserve) << "descriptors at most, with " << made << " connections made meanwhile";
    // Once they are gone the Host is idle within seconds, holds what it held before (what its
    // toolkit opened once for its windows aside), and grew by no more than each Viewer's read-ahead
    // bound allows, twice over for what the allocator and the batches in delivery keep (four times
    // under AddressSanitizer, which pads each small block).
    EXPECT_TRUE(waitUntil([&] { return shareOfACore([&] { return hostCpuSeconds(*host); }) < 0.3; }, 60s));
    EXPECT_TRUE(waitUntil([&] { return hostDescriptors(*host) <= ownDescriptors + 8; }, 30s))
        << hostDescriptors(*host) << " descriptors, " << ownDescriptors << " before";
    const std::size_t perViewer = (runsUnderAddressSanitizer ? 4 : 2) *
                                  (FileTransferService::maxQueuedBytesPerPeer + 2 * FileTransferChannelConnection::maxReadSize);
    const std::size_t grown = std::max(most, hostResidentKiB(*host)) - before;
    EXPECT_LT(grown, (bursting + 1) * perViewer / 1024) << "KiB grown, from " << before << " KiB";
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(20s), 0);
    EXPECT_TRUE(host->stagingEmpty());
}

// Sessions that each hold 8 unfinished batches (a folder and an open file each) from one address
// until the Host refuses one, then from further addresses until a fresh address is refused at once:
// the bound over all is reached by whole addresses' shares (at 1,024 descriptors, four Viewers
// from each of four addresses), so a Viewer from a fifth address is refused too, honestly. The
// Host keeps its reserve of descriptors, signs a Viewer in again once they left, and stops at once.
TEST(PeerBoundsLive, SessionsHoldingUnfinishedBatchesStopAtTheBoundAndLeaveTheHostItsReserve) {
    constexpr std::size_t limit = 1024, reserve = 128, heldPerSession = 8;  // as many as a Viewer may have
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    host->limitDescriptors(limit);
    ASSERT_TRUE(host->start()) << host->log();

    std::vector<std::unique_ptr<TestViewer>> in;
    std::map<std::string, int> answers;
    std::vector<std::size_t> signedInFrom;  // per address
    MostDescriptors descriptors(*host);
    std::string said;
    for (int address = 2; address < 40 && in.size() < 100;) {
        std::unique_ptr<TestViewer> viewer;
        said = signInFrom("127.0.0." + std::to_string(address), *host, &viewer);
        ++answers[said];
        if (said != "ok") {
            if (said != "code=too-many-sessions") break;
            signedInFrom.push_back(in.size() - std::accumulate(signedInFrom.begin(), signedInFrom.end(), std::size_t{0}));
            if (signedInFrom.back() == 0) break;  // a fresh address refused: the bound over all
            ++address;
            continue;
        }
        const auto road = controlRoad(*viewer);
        for (std::size_t i = 0; i < heldPerSession; ++i) {
            const UUID id = UUID::random();
            startFileBatch(road, id, FileTransferIntent::copy, "~/Held", "held.bin", 1);
            road({FileTransferOp::fileStart, id, 1, 0, "held.bin", {}});
        }
        const bool taken = caughtUp(*viewer);
        in.push_back(std::move(viewer));
        if (!taken) break;
    }
    const std::size_t most = descriptors.stop();

    EXPECT_EQ(said, "code=too-many-sessions") << "after " << in.size() << " sessions, " << most << " descriptors";
    EXPECT_EQ(answers["code=directory-unavailable"], 0) << ::testing::PrintToString(answers);
    EXPECT_EQ(answers["code=invalid-credentials"], 0) << ::testing::PrintToString(answers);
    ASSERT_GE(signedInFrom.size(), 2u) << ::testing::PrintToString(answers);
    EXPECT_EQ(signedInFrom.back(), 0u) << "a fresh address is refused once every share is taken";
    EXPECT_LT(most, limit - reserve) << "descriptors at most with " << in.size() << " sessions";
    EXPECT_GE(most, in.size() * 2 * heldPerSession) << "the sessions hold their batches' folders and files";

    in.clear();
    EXPECT_TRUE(waitUntil([&] { return (said = signInFrom("127.0.0.2", *host)) == "ok"; }, 60s)) << said;
    EXPECT_TRUE(waitUntil([&] { return host->stagingEmpty(); }, 30s));
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(20s), 0);
}

}  // namespace
}  // namespace PeerBoundsLiveTests
}  // namespace qm::test
