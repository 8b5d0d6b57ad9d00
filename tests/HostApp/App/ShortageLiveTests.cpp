// A Host that has run out of descriptors (what a flood of connections does to it) while a
// Viewer's batches are staged, against the built `QuillmereHost` as a user runs it: a batch it
// cannot take then is still answered, and a stop still removes every batch folder and ends the
// Host in order.
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "support/BuiltHost.h"
#include "support/TestPlatform.h"
#include "support/ViewerBatches.h"

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace qm::test {
namespace ShortageLiveTests {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Lowers the running Host's descriptor limit to the lowest descriptor number it has free: every
// descriptor it opens from then on fails with EMFILE until it closes one of its own. As the Host's
// user, who may lower the limits of its own process. False when the limit could not be changed.
bool runOutOfDescriptors(const BuiltHost& host) {
    std::set<int> open;
    std::error_code error;
    for (fs::directory_iterator it("/proc/" + std::to_string(host.pid()) + "/fd", error), end; !error && it != end;
         it.increment(error))
        open.insert(std::stoi(it->path().filename().string()));
    struct stat owner {};
    if (error || open.empty() || ::stat(host.home().c_str(), &owner) != 0) return false;
    int lowestFree = 0;
    while (open.contains(lowestFree)) ++lowestFree;
    const pid_t target = host.pid();
    const pid_t child = ::fork();
    if (child == 0) {
        // Only calls that are safe after fork in a threaded process.
        rlimit limit{};
        if (::setgroups(0, nullptr) != 0 || ::setresgid(owner.st_gid, owner.st_gid, owner.st_gid) != 0 ||
            ::setresuid(owner.st_uid, owner.st_uid, owner.st_uid) != 0 ||
            ::prlimit(target, RLIMIT_NOFILE, nullptr, &limit) != 0)
            ::_exit(1);
        limit.rlim_cur = static_cast<rlim_t>(lowestFree);
        ::_exit(::prlimit(target, RLIMIT_NOFILE, &limit, nullptr) == 0 ? 0 : 1);
    }
    return child > 0 && waitForExit(child, 30s) == 0;
}

// Batches a Viewer has begun hold their staging folders open; then the Host runs out of
// descriptors. A managed copy sent now is answered that the Host could not take it, and SIGTERM
// ends the Host in order with nothing left staged.
TEST(ShortageLive, AHostOutOfDescriptorsAnswersWhatItCannotTakeAndItsStopLeavesNothingStaged) {
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    host->writeHomeFile("Existing/kept.txt", Bytes{'k'});
    ASSERT_TRUE(host->start()) << host->log();
    auto viewer = host->signIn("Viewer of a short Host", whyNot);
    ASSERT_TRUE(viewer) << whyNot;
    auto channel = openFileChannel(*viewer);
    ASSERT_TRUE(channel) << host->log();
    const auto road = fileChannelRoad(*channel);
    // Begun, their items still to come. The Host's user is asked nothing about them and no row
    // shows them: no window of the desktop's toolkit changes while the Host is short.
    constexpr int begun = 6;
    for (int i = 0; i < begun; ++i) {
        road({FileTransferOp::batchStart, UUID::random(), 4, FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1),
              "", FileTransferDocuments::encodeItemNames({"f.bin"})});
    }
    // A listing asked behind them comes back once the Host has taken them in.
    const UUID probe = UUID::random();
    road({FileTransferOp::listDir, probe, 0, 0, "~", {}});
    ASSERT_TRUE(readUntil(*channel, [&](const FileTransferPacket& p) {
        return p.op == FileTransferOp::listDirReply && p.batchID == probe;
    })) << host->log();
    ASSERT_EQ(std::distance(fs::directory_iterator(host->staging()), fs::directory_iterator()), begun) << host->log();

    ASSERT_TRUE(runOutOfDescriptors(*host));
    const UUID managed = UUID::random();
    road({FileTransferOp::directSave, managed, 0, 0, "~/Existing", {}});
    road({FileTransferOp::batchStart, managed, 1, FileTransferPacket::batchStartValue2(FileTransferIntent::managedCopy, 1),
          "", FileTransferDocuments::encodeItemNames({"m.txt"})});
    road({FileTransferOp::fileStart, managed, 1, 0, "m.txt", {}});
    road({FileTransferOp::fileChunk, managed, 0, 0, "m.txt", Bytes{'m'}});
    road({FileTransferOp::fileEnd, managed, 1, 0, "m.txt", {}});
    road({FileTransferOp::batchEnd, managed, 0, 0, "", {}});
    const auto receipt = responseTo(*channel, managed);
    EXPECT_TRUE(receipt) << "a batch the Host could not take is answered\n" << host->log();
    if (receipt) {
        EXPECT_FALSE(receipt->accepted);
        EXPECT_EQ(receipt->message, "The Host could not take these files now. Try again later.");
    }
    EXPECT_FALSE(fs::exists(host->home() / "Existing" / "m.txt"));

    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(20s), 0) << host->log();
    EXPECT_TRUE(host->stagingEmpty()) << std::distance(fs::directory_iterator(host->staging()), fs::directory_iterator())
                                      << " batch folder(s) left\n"
                                      << host->log();
}

}  // namespace
}  // namespace ShortageLiveTests
}  // namespace qm::test
