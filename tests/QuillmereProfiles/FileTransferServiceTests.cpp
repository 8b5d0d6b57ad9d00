#include <gtest/gtest.h>

#include <initializer_list>
#include <string_view>

#include <fstream>
#include <random>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/RemoveTree.h"
#include "support/DescriptorShortage.h"
#include "support/Soak.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

namespace FileTransferServiceTests {

using namespace qm;
using namespace qm::test;
// Strings glued with append: GCC 12 warns falsely (-Wrestrict) about some inlined operator+.
static std::string joined(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (auto part : parts) out.append(part);
    return out;
}

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t chunk = 262144;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every regular file below a folder, by relative path.
std::map<std::string, Bytes> treeOf(const fs::path& root) {
    std::map<std::string, Bytes> out;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        out[fs::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : "")] =
            entry.is_directory() ? Bytes{} : readFile(entry.path());
    return out;
}

// Two services on one virtual clock; what the sender sends reaches the receiver as peer "A".
class FileTransferPair : public ::testing::Test {
protected:
    ManualPlatform mp;
    TemporaryDirectory dir;
    std::shared_ptr<FileTransferService> sender, receiver;
    std::vector<FileTransferPacket> wire;
    std::vector<std::string> senderStatus, receiverStatus;
    struct Completed {
        UUID id;
        std::vector<fs::path> items;
        FileTransferIntent intent;
    };
    std::vector<Completed> completed;
    std::vector<UUID> outgoingCompleted;
    std::vector<std::uint64_t> progress;
    bool deliver = true;

    fs::path home() const { return dir.path() / "home"; }
    fs::path staging() const { return dir.path() / "receiverCaches" / "QuillmereFileInbox" / "Viewer"; }

    void SetUp() override {
        fs::create_directories(home());
        sender = std::make_shared<FileTransferService>(mp.platform, "Viewer", chunk,
                                                       FileTransferService::Folders{dir.path() / "senderCaches", home()});
        receiver = std::make_shared<FileTransferService>(mp.platform, "Viewer", chunk,
                                                         FileTransferService::Folders{dir.path() / "receiverCaches", home()});
        sender->sendPacket = [this](const FileTransferPacket& p) {
            wire.push_back(p);
            if (deliver) receiver->handleIncomingPacket(p, "A");
        };
        sender->onStatus = [this](const std::string& s, const FileTransferService::StatusSource&) {
            senderStatus.push_back(s);
        };
        sender->onOutgoingBatchCompleted = [this](const UUID& id) { outgoingCompleted.push_back(id); };
        receiver->onStatus = [this](const std::string& s, const FileTransferService::StatusSource&) {
            receiverStatus.push_back(s);
        };
        receiver->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent intent) {
            completed.push_back({id, items, intent});
        };
        receiver->onBatchProgress = [this](const UUID&, std::uint64_t got, std::uint64_t) { progress.push_back(got); };
    }
    void run() { mp.clock->runUntilIdle(); }
    void inject(FileTransferOp op, const UUID& id, std::uint64_t v1, const std::string& path, Bytes data = {},
                std::uint64_t v2 = 0) {
        receiver->handleIncomingPacket(FileTransferPacket{op, id, v1, v2, path, std::move(data)}, "A");
    }
    // Everything in the test folder that is neither the sender's source, home nor staging.
    bool nothingOutsideStaging(const fs::path& sentinel) const {
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            const auto p = entry.path().string();
            if (p.starts_with((dir.path() / "receiverCaches").string()) || p.starts_with(home().string()) ||
                p.starts_with(sentinel.string()))
                continue;
            ADD_FAILURE() << "unexpected " << p;
            return false;
        }
        return true;
    }
};

}  // namespace

TEST_F(FileTransferPair, MovesATreeByteForByte) {
    const auto src = home() / "Trip";
    writeFile(src / "empty.txt", {});
    writeFile(src / "exact.bin", randomBytes(chunk, 1));
    writeFile(src / "plus.bin", randomBytes(chunk + 1, 2));
    writeFile(src / "nested" / "deeper" / "Grüße – ünïcode.txt", bytesOf("hallo"));
    writeFile(src / ".hidden", bytesOf("secret"));
    fs::create_directories(src / "emptyFolder");
    writeFile(home() / "single.txt", bytesOf("one"));

    auto id = sender->sendURLs({src, home() / "single.txt", home() / "missing"}, FileTransferIntent::managedCopy,
                               "~/Inbox", FileTransferDeliveryOptions(2), std::nullopt, std::nullopt);
    ASSERT_TRUE(id);
    std::vector<std::string> hints;
    receiver->onBatchStarted = [&](const UUID& batch, std::int64_t files, std::uint64_t bytes,
                                   const std::vector<std::string>& names) {
        EXPECT_EQ(files, 5);
        EXPECT_EQ(bytes, 2u * chunk + 1 + 5 + 3);
        EXPECT_EQ(names, (std::vector<std::string>{"Trip", "single.txt", "missing"}));
        hints.push_back(receiver->destinationHint(batch).value_or("none"));
    };
    run();

    ASSERT_EQ(wire.front().op, FileTransferOp::directSave);
    EXPECT_EQ(wire[1].op, FileTransferOp::batchStart);
    EXPECT_EQ(wire[2].op, FileTransferOp::batchIntent);
    EXPECT_EQ(wire.back().op, FileTransferOp::batchEnd);
    std::vector<std::size_t> chunkSizes;
    for (const auto& p : wire)
        if (p.op == FileTransferOp::fileChunk) chunkSizes.push_back(p.data.size());
    // In name order: exact.bin, nested/deeper/..., plus.bin (two chunks), then single.txt.
    EXPECT_EQ(chunkSizes, (std::vector<std::size_t>{chunk, 5, chunk, 1, 3}));

    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].intent, FileTransferIntent::managedCopy);
    ASSERT_EQ(completed[0].items.size(), 2u);
    EXPECT_EQ(completed[0].items[0].filename(), "Trip");
    const auto root = completed[0].items[0].parent_path();
    EXPECT_EQ(root.parent_path(), staging());
    EXPECT_TRUE(root.filename().string().ends_with(joined({"-", id->uuidString().substr(0, 8)})));
    auto expected = treeOf(src);
    expected.erase(".hidden");
    EXPECT_EQ(treeOf(root / "Trip"), expected);
    EXPECT_EQ(readFile(root / "single.txt"), bytesOf("one"));
    EXPECT_EQ(receiverStatus.back(), "received 2 item(s) into " + root.string());
    EXPECT_EQ(senderStatus.front(), "sending 5 item(s), 512.0 KB to Viewer");
    EXPECT_EQ(senderStatus.back(), "send completed for batch " + id->uuidString().substr(0, 8));
    EXPECT_EQ(outgoingCompleted, std::vector<UUID>{*id});
    EXPECT_EQ(progress.back(), 2u * chunk + 1 + 5 + 3);
    EXPECT_EQ(hints, std::vector<std::string>{"none"});  // the batch had ended before the callback ran
}

TEST_F(FileTransferPair, OutgoingEdgeCases) {
    EXPECT_FALSE(sender->sendURLs({}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt, std::nullopt));
    auto gone = sender->sendURLs({home() / "nothing"}, FileTransferIntent::copy, "", {}, std::nullopt, std::nullopt);
    EXPECT_TRUE(gone);
    run();
    EXPECT_TRUE(wire.empty());
    EXPECT_TRUE(outgoingCompleted.empty());

    // A folder link back into the tree is not walked twice; the walk ends.
    fs::create_directories(home() / "loop" / "inner");
    fs::create_directory_symlink(home() / "loop", home() / "loop" / "inner" / "back");
    writeFile(home() / "loop" / "f", bytesOf("x"));
    std::vector<std::optional<std::string>> tokens;
    sender->routedSendPacket = [&](const FileTransferPacket& p, const std::optional<std::string>& token) {
        tokens.push_back(token);
        wire.push_back(p);
    };
    sender->sendURLs({home() / "loop"}, FileTransferIntent::copy, std::nullopt, {}, "SESSION", std::nullopt);
    run();
    std::vector<std::string> paths;
    for (const auto& p : wire)
        if (p.op == FileTransferOp::mkdir || p.op == FileTransferOp::fileStart) paths.push_back(p.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"loop", "loop/f", "loop/inner"}));
    EXPECT_EQ(tokens.size(), wire.size());
    EXPECT_EQ(tokens.front(), "SESSION");
}

// A send confined to home judges each file again when it opens it, from home down: a folder
// swapped after the walk for a link out of home gives none of the bytes it leads to, one swapped
// for a link inside home is sent from there. The Host user's own sends follow links anywhere.
TEST_F(FileTransferPair, AConfinedSendJudgesEveryFileAgainWhenItOpensIt) {
    deliver = false;
    const auto outside = dir.path() / "outside";
    // As long as the file the walk saw: a file is read up to the size the walk announced.
    writeFile(outside / "hostname", bytesOf("secret"));
    writeFile(home() / "Other" / "hostname", bytesOf("other!"));
    const auto first = randomBytes(chunk + 1, 4);
    writeFile(home() / "W" / "a.bin", first);
    writeFile(home() / "W" / "sub" / "hostname", bytesOf("inside"));
    const auto sub = home() / "W" / "sub";
    // Asked before every chunk is read: the first time once the walk is over, while W/a.bin is
    // sent and before anything of W/sub.
    fs::path swapTo;
    sender->outgoingBacklog = [&](const std::optional<std::string>&) -> std::optional<std::size_t> {
        if (!swapTo.empty()) {
            fs::rename(sub, home() / "W" / "walked");
            fs::create_directory_symlink(swapTo, sub);
            swapTo.clear();
        }
        return 0;
    };
    auto send = [&](const fs::path& target, bool confined) {
        swapTo = target;
        wire.clear();
        senderStatus.clear();
        const auto id = sender->sendURLs({home() / "W"}, FileTransferIntent::managedCopy, std::nullopt, {},
                                         std::nullopt, std::nullopt, confined ? std::optional(home()) : std::nullopt);
        run();
        fs::remove(sub);
        fs::rename(home() / "W" / "walked", sub);
        std::map<std::string, Bytes> files;
        for (const auto& p : wire) {
            if (p.batchID != *id) continue;
            if (p.op == FileTransferOp::fileStart) files[p.path];
            if (p.op == FileTransferOp::fileChunk) files[p.path].insert(files[p.path].end(), p.data.begin(), p.data.end());
        }
        return files;
    };
    const auto opened = [&](const std::string& status) {
        return std::find(senderStatus.begin(), senderStatus.end(), status) != senderStatus.end();
    };

    auto files = send(outside, true);
    EXPECT_EQ(files.at("W/a.bin"), first);
    EXPECT_EQ(files.at("W/sub/hostname"), Bytes{}) << "announced by the walk, never read outside home";
    EXPECT_TRUE(opened("open failed: hostname"));
    EXPECT_EQ(senderStatus.back(), "send completed for batch " + wire.front().batchID.uuidString().substr(0, 8));

    files = send(home() / "Other", true);
    EXPECT_EQ(files.at("W/sub/hostname"), bytesOf("other!"));
    EXPECT_FALSE(opened("open failed: hostname"));

    files = send(outside, false);
    EXPECT_EQ(files.at("W/sub/hostname"), bytesOf("secret"));
}

TEST_F(FileTransferPair, CancellingMidBatchEndsItOnBothSides) {
    writeFile(home() / "big.bin", randomBytes(4 * chunk, 3));
    writeFile(home() / "later.txt", bytesOf("later"));
    const UUID id = UUID::random();
    sender->sendPacket = [&](const FileTransferPacket& p) {
        wire.push_back(p);
        receiver->handleIncomingPacket(p, "A");
        if (p.op == FileTransferOp::fileChunk && p.value1 == chunk) sender->cancelOutgoingBatch(id);
    };
    sender->sendURLs({home() / "big.bin", home() / "later.txt"}, FileTransferIntent::copy, std::nullopt, {},
                     std::nullopt, id);
    run();
    EXPECT_EQ(wire.back().op, FileTransferOp::batchEnd);
    EXPECT_EQ(std::count_if(wire.begin(), wire.end(), [](auto& p) { return p.op == FileTransferOp::fileChunk; }), 2);
    EXPECT_EQ(std::count_if(wire.begin(), wire.end(), [](auto& p) { return p.op == FileTransferOp::fileEnd; }), 0);
    EXPECT_EQ(senderStatus.back(), "send cancelled for batch " + id.uuidString().substr(0, 8));
    EXPECT_EQ(outgoingCompleted, std::vector<UUID>{id});
    // The receiver never got the whole file, so it does not deliver a truncated one.
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_TRUE(completed[0].items.empty());

    // The receiving side cancels: staging goes away, later packets are dropped, nothing completes.
    completed.clear();
    const UUID inboundID = UUID::random();
    inject(FileTransferOp::batchStart, inboundID, 10, "", {}, 1);
    inject(FileTransferOp::fileStart, inboundID, 10, "f.txt");
    inject(FileTransferOp::fileChunk, inboundID, 0, "f.txt", bytesOf("12345"));
    run();
    ASSERT_EQ(fs::directory_iterator(staging()) != fs::directory_iterator(), true);
    receiver->cancelBatch(inboundID);
    inject(FileTransferOp::fileChunk, inboundID, 5, "f.txt", bytesOf("67890"));
    inject(FileTransferOp::batchEnd, inboundID, 0, "");
    run();
    EXPECT_TRUE(completed.empty());
    for (const auto& entry : fs::directory_iterator(staging()))
        EXPECT_FALSE(entry.path().filename().string().ends_with(inboundID.uuidString().substr(0, 8)));

    // The peer cancels: status text, pending destination gone, and our own sends of that id stop.
    const UUID peerID = *UUID::parse("3F2A9C1D-0000-4000-8000-000000000000");
    inject(FileTransferOp::batchStart, peerID, 0, "", {}, 0);
    inject(FileTransferOp::cancelBatch, peerID, 0, "");
    run();
    EXPECT_EQ(receiverStatus.back(), "cancelled by peer for batch 3F2A9C1D");
    const auto statuses = receiverStatus.size();
    inject(FileTransferOp::directSave, UUID::random(), 0, "/x");
    inject(FileTransferOp::cancelBatch, UUID::random(), 0, "");
    run();
    EXPECT_EQ(receiverStatus.size(), statuses);
}

// A walk looks for a cancel and a stop as it goes, and a batch that has one before it starts is
// not walked: either way the Viewer gets the batch empty, begun and ended at once.
TEST_F(FileTransferPair, AWalkEndsAtACancelOrAStopWhereItStands) {
    deliver = false;
    for (int folder = 0; folder < 40; ++folder)
        for (int file = 0; file < 20; ++file)
            writeText(home() / "Home" / ("d" + std::to_string(folder)) / ("f" + std::to_string(file)), "x");
    std::size_t checks = 0;
    std::function<void()> atCheck;
    sender->onWalkCheck = [&](const UUID&) {
        if (++checks == 3 && atCheck) atCheck();
    };
    auto sendHome = [&](const UUID& id) {
        wire.clear();
        checks = 0;
        return sender->sendURLs({home() / "Home"}, FileTransferIntent::managedCopy, "~/Downloads", {}, std::nullopt, id,
                                home());
    };
    auto sentEmpty = [&](const UUID& id) {
        std::vector<FileTransferOp> ops;
        for (const auto& p : wire) ops.push_back(p.op);
        EXPECT_EQ(ops, (std::vector<FileTransferOp>{FileTransferOp::directSave, FileTransferOp::batchStart,
                                                    FileTransferOp::batchIntent, FileTransferOp::batchEnd}));
        if (ops.size() < 2) return;
        EXPECT_EQ(wire[1].value1, 0u);
        EXPECT_EQ(FileTransferPacket::batchStartFileCount(wire[1].value2), 0u);
        EXPECT_EQ(senderStatus.back(), "send cancelled for batch " + shortBatchID(id));
    };

    // Cancelled while queued: looked at once, not walked.
    const UUID queued = UUID::random();
    ASSERT_TRUE(sendHome(queued));
    sender->cancelOutgoingBatch(queued);
    run();
    EXPECT_EQ(checks, 1u);
    sentEmpty(queued);

    // Cancelled mid-walk: it ends at the next look, long before the 840 entries.
    const UUID cancelled = UUID::random();
    atCheck = [&] { sender->cancelOutgoingBatch(cancelled); };
    ASSERT_TRUE(sendHome(cancelled));
    run();
    EXPECT_EQ(checks, 3u);
    sentEmpty(cancelled);
    EXPECT_EQ(outgoingCompleted.back(), cancelled);

    // Stopped mid-walk (the stop comes from another thread, as at SIGTERM): the same.
    const UUID stopped = UUID::random();
    atCheck = [&] { std::thread([&] { sender->stop(); }).join(); };
    ASSERT_TRUE(sendHome(stopped));
    run();
    EXPECT_EQ(checks, 3u);
    sentEmpty(stopped);
    EXPECT_FALSE(sender->outgoingBatchActive(stopped));
}

TEST_F(FileTransferPair, SizesFromThePeerAreCheckedNotTrusted) {
    const UUID id = UUID::random();
    inject(FileTransferOp::batchStart, id, ~0ULL, "", {}, ~0ULL >> 8);  // absurd totals allocate nothing
    inject(FileTransferOp::fileStart, id, 4, "short.txt");
    inject(FileTransferOp::fileChunk, id, 0, "short.txt", bytesOf("ab"));
    inject(FileTransferOp::fileEnd, id, 4, "short.txt");
    inject(FileTransferOp::fileStart, id, 2, "long.txt");
    inject(FileTransferOp::fileChunk, id, 0, "long.txt", bytesOf("abc"));
    inject(FileTransferOp::fileStart, id, 4, "gap.txt");
    inject(FileTransferOp::fileChunk, id, 2, "gap.txt", bytesOf("cd"));
    inject(FileTransferOp::fileStart, id, 4, "good.txt");
    inject(FileTransferOp::fileChunk, id, 0, "good.txt", bytesOf("ab"));
    inject(FileTransferOp::fileChunk, id, 2, "good.txt", bytesOf("cd"));
    inject(FileTransferOp::fileEnd, id, 4, "good.txt");
    inject(FileTransferOp::fileStart, id, 1'000'000'000'000ULL, "huge.txt");
    inject(FileTransferOp::fileChunk, id, 0, "huge.txt", bytesOf("x"));
    inject(FileTransferOp::batchEnd, id, 0, "");
    run();
    ASSERT_EQ(completed.size(), 1u);
    ASSERT_EQ(completed[0].items.size(), 1u);
    EXPECT_EQ(completed[0].items[0].filename(), "good.txt");
    EXPECT_EQ(readFile(completed[0].items[0]), bytesOf("abcd"));
    const auto root = completed[0].items[0].parent_path();
    for (const auto* name : {"short.txt", "long.txt", "gap.txt", "huge.txt"}) EXPECT_FALSE(fs::exists(root / name)) << name;
    EXPECT_NE(std::find(receiverStatus.begin(), receiverStatus.end(),
                        "dropped short.txt: data does not match its announced size"),
              receiverStatus.end());
}

TEST_F(FileTransferPair, PeerPathsCannotLeaveTheStagingFolder) {
    TemporaryDirectory outside;
    const auto sentinel = outside.path();
    const UUID id = UUID::random();
    inject(FileTransferOp::batchStart, id, 0, "", {}, 0);
    run();
    const auto root = fs::directory_iterator(staging())->path();
    fs::create_directory_symlink(sentinel, root / "link");
    fs::create_symlink(sentinel / "planted.txt", root / "filelink");
    const std::vector<std::string> attacks{
        "/etc/passwd", joined({"/", (sentinel / "abs.txt").string()}), (sentinel / "abs2.txt").string(), "..", "../x",
        "a/../../x", "a/../x", "./x", "a//b", "a/", "", std::string("a\0b", 3), "link/inside.txt", "filelink",
        "link", (fs::path("..") / sentinel.filename() / "x").string()};
    for (const auto& path : attacks) {
        inject(FileTransferOp::mkdir, id, 0, path);
        inject(FileTransferOp::fileStart, id, 1, path);
        inject(FileTransferOp::fileChunk, id, 0, path, bytesOf("!"));
        inject(FileTransferOp::fileEnd, id, 1, path);
    }
    inject(FileTransferOp::batchEnd, id, 0, "");
    run();
    EXPECT_TRUE(fs::is_empty(sentinel));
    EXPECT_FALSE(fs::exists(staging().parent_path().parent_path() / "x"));
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_TRUE(completed[0].items.empty());
    EXPECT_TRUE(nothingOutsideStaging(sentinel));
    // Only the links the test planted are in the batch folder.
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(root)) left.insert(entry.path().filename().string());
    EXPECT_EQ(left.size(), 2u);
    EXPECT_TRUE(left.contains("link"));
    EXPECT_TRUE(left.contains("filelink"));
}

TEST_F(FileTransferPair, InboundBatchesBelongToTheirPeer) {
    const UUID id = UUID::random();
    inject(FileTransferOp::directSave, id, 3, "~/Drop");
    inject(FileTransferOp::batchStart, id, 3, "", {}, FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1));
    inject(FileTransferOp::batchIntent, id, 1, "");
    inject(FileTransferOp::fileStart, id, 3, "a.txt");
    run();
    EXPECT_EQ(receiver->destinationHint(id), "~/Drop");
    EXPECT_EQ(receiver->deliveryOptions(id).rawValue, 3u);
    EXPECT_EQ(receiver->intent(id), FileTransferIntent::dropToFinder);
    EXPECT_EQ(receiver->intent(UUID::random()), std::nullopt);

    // Another peer cannot write into it or end it.
    receiver->handleIncomingPacket({FileTransferOp::fileChunk, id, 0, 0, "a.txt", bytesOf("BAD")}, "B");
    receiver->handleIncomingPacket({FileTransferOp::batchEnd, id, 0, 0, "", {}}, "B");
    run();
    EXPECT_TRUE(completed.empty());
    EXPECT_EQ(receiver->intent(id), FileTransferIntent::dropToFinder);

    // Its own session ending drops it with its staging folder.
    receiver->cancelInboundBatches("A");
    run();
    EXPECT_EQ(receiver->intent(id), std::nullopt);
    EXPECT_TRUE(fs::is_empty(staging()));
}

TEST_F(FileTransferPair, PeerSendRequestsAndResponses) {
    EXPECT_FALSE(sender->requestPeerSend({"  ", ""}, "dest", {}));
    EXPECT_FALSE(sender->requestPeerSend({"/a"}, " \n", {}));
    std::vector<std::string> many;
    for (int i = 0; i < 300; ++i) many.push_back("/p" + std::to_string(i));
    many.insert(many.begin(), {"  ", "", " /first "});
    auto requestID = sender->requestPeerSend(many, " ~/Dest ", FileTransferDeliveryOptions(1));
    ASSERT_TRUE(requestID);
    auto request = FileTransferService::peerSendRequest(wire.back());
    ASSERT_TRUE(request);
    EXPECT_EQ(wire.back().batchID, *requestID);
    EXPECT_EQ(request->sourcePaths.size(), 256u);
    EXPECT_EQ(request->sourcePaths.front(), "/first");
    EXPECT_EQ(request->destination, "~/Dest");
    EXPECT_FALSE(FileTransferService::peerSendResponse(wire.back()));
    EXPECT_FALSE(sender->requestPeerSend({std::string(1'000'000, 'x')}, "d", {}));

    std::vector<FileTransferPeerSendResponse> responses;
    receiver->onPeerSendResponse = [&](const UUID&, const FileTransferPeerSendResponse& r) { responses.push_back(r); };
    sender->sendPeerSendResponse(*requestID, false, std::string(2000, 'm'), std::nullopt);
    sender->sendPeerSendResponse(*requestID, true, " \t ", std::nullopt);
    inject(FileTransferOp::peerSendResponse, *requestID, 0, "", bytesOf("{\"nope\":1}"));
    run();
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[0].message->size(), 1024u);
    EXPECT_EQ(responses[1], (FileTransferPeerSendResponse{true, std::nullopt}));
}

TEST_F(FileTransferPair, ListsFoldersInsideHomeOnly) {
    writeFile(home() / "Docs" / "b", bytesOf("bb"));
    writeFile(home() / "Docs" / "A", bytesOf("a"));
    writeFile(home() / "Docs" / ".hidden", bytesOf("h"));
    fs::create_directories(home() / "Docs" / "z");
    fs::create_directories(home() / "Desktop");
    fs::create_directory_symlink("/etc", home() / "etc-link");
    fs::create_directories(dir.path() / "homeSibling");

    std::vector<std::tuple<UUID, std::string, std::vector<RemoteDirectoryEntry>>> listings;
    sender->onDirectoryListing = [&](const UUID& id, const std::string& path, const std::vector<RemoteDirectoryEntry>& e) {
        listings.emplace_back(id, path, e);
    };
    // The receiver answers; its answers come back to the sender.
    receiver->sendPacket = [this](const FileTransferPacket& p) { sender->handleIncomingPacket(p); };

    const auto docs = sender->requestDirectoryListing(" ~/Docs ");
    sender->requestDirectoryListing("~/Documents/../Desktop");
    sender->requestDirectoryListing(" ~ ");
    sender->requestDirectoryListing("/etc");
    sender->requestDirectoryListing(home().string() + "Sibling");
    sender->requestDirectoryListing("~/etc-link");
    sender->requestDirectoryListing("~/Docs/b");
    run();
    ASSERT_EQ(listings.size(), 7u);
    auto& [id, path, entries] = listings[0];
    EXPECT_EQ(id, docs);
    EXPECT_EQ(path, (home() / "Docs").string());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "z");
    EXPECT_TRUE(entries[0].isDirectory);
    EXPECT_EQ(entries[0].size, 0u);
    EXPECT_TRUE(entries[0].modificationDate);
    EXPECT_EQ(entries[1].name, "A");
    EXPECT_EQ(entries[2].name, "b");
    EXPECT_EQ(entries[2].size, 2u);
    EXPECT_EQ(std::get<1>(listings[1]), (home() / "Desktop").string());
    EXPECT_EQ(std::get<1>(listings[2]), home().string());
    EXPECT_FALSE(std::get<2>(listings[2]).empty());
    for (int i = 3; i < 7; ++i) EXPECT_TRUE(std::get<2>(listings[i]).empty()) << std::get<1>(listings[i]);
    EXPECT_EQ(std::get<1>(listings[6]), (home() / "Docs" / "b").string());
}

TEST_F(FileTransferPair, ListingsGoToTheAskerOnlyFitOneFrameAndResolveFromHome) {
    fs::create_directories(home() / "Big");
    for (std::size_t i = 0; i < FileTransferService::maxListingEntries + 10; ++i)
        std::ofstream(home() / "Big" / (std::string(200, 'n') + std::to_string(i)));
    std::vector<std::pair<FileTransferPacket, std::optional<std::string>>> replies;
    receiver->routedSendPacket = [&](const FileTransferPacket& p, const std::optional<std::string>& token) {
        replies.emplace_back(p, token);
    };
    inject(FileTransferOp::listDir, UUID::random(), 0, "Big");
    inject(FileTransferOp::listDir, UUID::random(), 0, "Docs/..");
    run();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].second, "A");
    EXPECT_EQ(replies[0].first.path, (home() / "Big").string()) << "relative to home, not the working folder";
    EXPECT_EQ(replies[0].first.value1, 1u) << "truncated";
    EXPECT_LE(replies[0].first.data.size(), FileTransferService::maxListingBytes);
    const auto entries = FileTransferDocuments::decodeListing(replies[0].first.data);
    EXPECT_FALSE(entries.empty());
    EXPECT_LE(entries.size(), FileTransferService::maxListingEntries);
    EXPECT_EQ(replies[1].first.path, home().string());
    EXPECT_EQ(replies[1].first.value1, 0u);
}

TEST_F(FileTransferPair, ABacklogAboveTheMarkAsksTheOwnerToStopReadingUntilItDrains) {
    std::vector<bool> changes;
    receiver->onInboundCongestion = [&](bool congested) { changes.push_back(congested); };
    const auto id = UUID::random();
    inject(FileTransferOp::batchStart, id, 0, "", {}, 1);
    inject(FileTransferOp::fileStart, id, 40u << 20, "big.bin");
    // Chunks handed in place from one shared buffer, none processed yet.
    const auto storage = std::make_shared<const Bytes>(Bytes(chunk, 0x33));
    std::size_t handed = 0;
    while (receiver->queuedInboundBytes() <= FileTransferService::maxQueuedInboundBytes) {
        FileTransferPacketView view{FileTransferOp::fileChunk, id, handed * chunk, 0, "big.bin", *storage};
        receiver->handleIncomingPacket(view, storage, "A");
        ++handed;
    }
    EXPECT_EQ(changes, std::vector<bool>{true}) << "told once, when the mark is crossed";
    inject(FileTransferOp::fileChunk, id, handed * chunk, "big.bin", Bytes(chunk, 0x33));
    EXPECT_EQ(changes.size(), 1u);

    run();
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
    // Every chunk was written from the shared buffer, in order.
    const auto written = fs::recursive_directory_iterator(staging());
    std::uint64_t size = 0;
    for (const auto& entry : written)
        if (entry.is_regular_file()) size = entry.file_size();
    EXPECT_EQ(size, (handed + 1) * chunk);
}

TEST_F(FileTransferPair, PeersAreServedInTurnAndAQueuedPacketCountsWhatItHolds) {
    auto smallBatch = [&](const UUID& id, const std::string& peer) {
        auto packet = [&](FileTransferOp op, std::uint64_t v1, std::string path, Bytes data, std::uint64_t v2 = 0) {
            receiver->handleIncomingPacket(FileTransferPacket{op, id, v1, v2, std::move(path), std::move(data)}, peer);
        };
        packet(FileTransferOp::batchStart, 1, "", {}, 1);
        packet(FileTransferOp::fileStart, 1, "f", {});
        packet(FileTransferOp::fileChunk, 0, "f", {'x'});
        packet(FileTransferOp::fileEnd, 1, "f", {});
        packet(FileTransferOp::batchEnd, 0, "", {});
    };
    // The owner is done with each batch as it completes, as the Host's delivery is once it moved it.
    receiver->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent intent) {
        completed.push_back({id, items, intent});
        receiver->releaseCompletedBatch(id);
    };
    // A burst of one-byte batches from A, then one batch from B.
    constexpr std::size_t burst = 1250;
    for (std::size_t i = 0; i < burst; ++i) smallBatch(UUID::random(), "A");
    const UUID bystander = UUID::random();
    smallBatch(bystander, "B");
    const std::size_t packets = 5 * (burst + 1);
    EXPECT_GE(receiver->queuedInboundBytes(), packets * FileTransferService::queuedPacketOverhead)
        << "a queued packet counts its bookkeeping, not only its 39 bytes and data";

    run();
    ASSERT_EQ(completed.size(), burst + 1);
    const auto served = std::find_if(completed.begin(), completed.end(),
                                     [&](const Completed& batch) { return batch.id == bystander; });
    EXPECT_LE(served - completed.begin(), 2) << "B's batch waited for A's whole burst";
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
}

TEST_F(FileTransferPair, AListingWaitsForItsPeerToReadAndEveryOneIsAnsweredInOrder) {
    fs::create_directories(home() / "Long");
    for (int i = 0; i < 200; ++i) std::ofstream(home() / "Long" / (std::string(200, 'n') + std::to_string(i)));
    // What each peer has not read yet: A reads nothing until told to, B reads all.
    std::map<std::string, std::size_t> unread;
    std::vector<std::pair<UUID, std::string>> answered;
    receiver->routedSendPacket = [&](const FileTransferPacket& p, const std::optional<std::string>& token) {
        unread[token.value_or("")] += p.encode().size();
        answered.emplace_back(p.batchID, token.value_or(""));
    };
    bool aReads = false;
    receiver->outgoingBacklog = [&](const std::optional<std::string>& token) -> std::optional<std::size_t> {
        if (token == "B" || (token == "A" && aReads)) unread[*token] = 0;
        return unread[token.value_or("")];
    };
    std::vector<std::pair<std::string, bool>> held;
    receiver->onPeerReadsHeld = [&](const std::string& peer, bool on) { held.emplace_back(peer, on); };
    std::vector<bool> congestion;
    receiver->onInboundCongestion = [&](bool congested) { congestion.push_back(congested); };
    std::vector<UUID> asked;
    for (int i = 0; i < 400; ++i) {
        asked.push_back(UUID::random());
        inject(FileTransferOp::listDir, asked.back(), 0, "Long");
    }
    // More than the whole receive backlog from A, behind its listings: once A's reads are held,
    // what waits in its lane no longer holds everybody else's reads.
    const UUID stray = UUID::random();
    for (int i = 0; i < 300; ++i) inject(FileTransferOp::fileChunk, stray, 0, "x", Bytes(64 * 1024, 1));
    const UUID fromB = UUID::random();
    receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::listDir, fromB, 0, 0, "Long", {}}, "B");
    run();
    for (int i = 0; i < 10; ++i) mp.clock->advance(1.0);
    ASSERT_FALSE(congestion.empty());
    EXPECT_FALSE(congestion.back()) << "a peer that does not read keeps every peer's reads stopped";
    EXPECT_LE(unread["A"], FileTransferService::maxOutgoingBacklogBytes + FileTransferService::maxListingBytes + 4096)
        << "answers queued for a peer that does not read";
    EXPECT_LT(answered.size(), 400u);
    EXPECT_TRUE(std::ranges::count(answered, std::pair<UUID, std::string>{fromB, "B"}) == 1)
        << "another peer's listing does not wait for A";
    EXPECT_EQ(held, (std::vector<std::pair<std::string, bool>>{{"A", true}})) << "A's reads are held while it waits";

    aReads = true;
    for (int i = 0; i < 100 && answered.size() < 401; ++i) mp.clock->advance(1.0);
    std::vector<UUID> toA;
    for (const auto& [id, peer] : answered)
        if (peer == "A" && id != stray) toA.push_back(id);
    EXPECT_EQ(toA, asked) << "every listing answered, in the order asked";
    ASSERT_FALSE(held.empty());
    EXPECT_EQ(held.back(), (std::pair<std::string, bool>{"A", false}));
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
}

TEST_F(FileTransferPair, PeersThatSentNothingCostNothingAndATurnCostsTheSameHoweverManyLanesWait) {
    // Connections that never handed in a packet end in their thousands: nothing is queued.
    auto receiveQueue = mp.queue("quillmere.filetransfer.recv");
    for (int i = 0; i < 20000; ++i) receiver->cancelInboundBatches("never signed in " + std::to_string(i));
    EXPECT_EQ(receiveQueue->runUntilIdle(), 0u);

    // 2,000 peers whose listing waits for them to read, then one peer's batch of 2,000 chunks:
    // a turn looks at the lane it serves, not at every lane that waits.
    fs::create_directories(home() / "Folder");
    std::size_t asked = 0;
    receiver->outgoingBacklog = [&](const std::optional<std::string>& token) -> std::optional<std::size_t> {
        ++asked;
        return token == "A" ? 0 : FileTransferService::maxOutgoingBacklogBytes + 1;
    };
    constexpr std::size_t waiting = 2000;
    for (std::size_t i = 0; i < waiting; ++i)
        receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::listDir, UUID::random(), 0, 0, "Folder", {}},
                                       "P" + std::to_string(i));
    const UUID id = UUID::random();
    inject(FileTransferOp::batchStart, id, 2000, "", {}, 1);
    inject(FileTransferOp::fileStart, id, 2000, "a.bin");
    for (int i = 0; i < 2000; ++i) inject(FileTransferOp::fileChunk, id, static_cast<std::uint64_t>(i), "a.bin", {'x'});
    inject(FileTransferOp::fileEnd, id, 2000, "a.bin");
    inject(FileTransferOp::batchEnd, id, 0, "");
    run();
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_LT(asked, 3 * waiting) << "each turn asked after every waiting lane";
}

TEST_F(FileTransferPair, APeerThatLeavesTakesItsAnswersAlongAndAStopEndsEveryQueue) {
    fs::create_directories(home() / "Long");
    for (int i = 0; i < 200; ++i) std::ofstream(home() / "Long" / (std::string(200, 'n') + std::to_string(i)));
    std::size_t answers = 0;
    receiver->routedSendPacket = [&](const FileTransferPacket& p, const std::optional<std::string>&) {
        answers += p.op == FileTransferOp::listDirReply;
    };
    bool gone = false;
    receiver->outgoingBacklog = [&](const std::optional<std::string>&) -> std::optional<std::size_t> {
        if (gone) return std::nullopt;
        return FileTransferService::maxOutgoingBacklogBytes + 1;  // it never reads
    };
    std::vector<std::pair<std::string, bool>> held;
    receiver->onPeerReadsHeld = [&](const std::string& peer, bool on) { held.emplace_back(peer, on); };
    // A whole batch, then listings it never reads, then it leaves.
    const UUID whole = UUID::random();
    inject(FileTransferOp::batchStart, whole, 3, "", {}, 1);
    for (int i = 0; i < 2000; ++i) inject(FileTransferOp::listDir, UUID::random(), 0, "Long");
    inject(FileTransferOp::fileStart, whole, 3, "a.txt");
    inject(FileTransferOp::fileChunk, whole, 0, "a.txt", bytesOf("abc"));
    inject(FileTransferOp::fileEnd, whole, 3, "a.txt");
    inject(FileTransferOp::batchEnd, whole, 0, "");
    run();
    ASSERT_EQ(held, (std::vector<std::pair<std::string, bool>>{{"A", true}}));
    gone = true;
    receiver->forgetPeer("A");
    for (int i = 0; i < 100; ++i) mp.clock->advance(0.01);
    EXPECT_EQ(answers, 0u) << "listings answered for a peer that left";
    EXPECT_EQ(held.back(), (std::pair<std::string, bool>{"A", false})) << "its mark is let go of";
    ASSERT_EQ(completed.size(), 1u) << "what it sent whole before it left is kept";
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);

    // A stop while a lane waits for room: nothing of that lane runs after it.
    gone = false;
    const UUID behind = UUID::random();
    receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::listDir, UUID::random(), 0, 0, "Long", {}}, "B");
    for (auto op : {FileTransferOp::batchStart, FileTransferOp::fileStart, FileTransferOp::fileChunk})
        receiver->handleIncomingPacket(FileTransferPacket{op, behind, 1, 1, "b.txt", op == FileTransferOp::fileChunk ? Bytes{'b'} : Bytes{}}, "B");
    run();
    receiver->releaseCompletedBatch(whole);
    run();
    const auto stagedBefore = std::distance(fs::directory_iterator(staging()), fs::directory_iterator());
    receiver->stop();
    for (int i = 0; i < 100; ++i) mp.clock->advance(0.01);
    EXPECT_EQ(stagedBefore, 0);
    EXPECT_TRUE(fs::is_empty(staging())) << "a held lane's batch was staged after the stop";
    EXPECT_EQ(answers, 0u);
}

TEST_F(FileTransferPair, APeersBurstOfBatchesHoldsABoundedNumberOfFoldersWaitsForRoomAndIsAllAnswered) {
    std::vector<std::pair<std::string, bool>> held;
    receiver->onPeerReadsHeld = [&](const std::string& peer, bool on) { held.emplace_back(peer, on); };
    std::vector<std::string> notices;
    receiver->onPeerNotice = [&](const std::string&, const std::string& text) { notices.push_back(text); };
    auto oneByteBatch = [&](const std::string& peer) {
        const UUID id = UUID::random();
        for (auto op : {FileTransferOp::batchStart, FileTransferOp::fileStart, FileTransferOp::fileChunk,
                        FileTransferOp::fileEnd, FileTransferOp::batchEnd})
            receiver->handleIncomingPacket(
                FileTransferPacket{op, id, op == FileTransferOp::fileChunk ? 0u : 1u, 1, "f.txt",
                                   op == FileTransferOp::fileChunk ? Bytes{'x'} : Bytes{}},
                peer);
        return id;
    };
    run();
    const auto descriptorsBefore = openDescriptors();
    constexpr std::size_t burst = 200;
    for (std::size_t i = 0; i < burst; ++i) oneByteBatch("A");
    run();
    const auto bound = FileTransferService::maxStagedBatchesPerPeer;
    EXPECT_EQ(completed.size(), bound) << "the owner has not let go of any yet";
    EXPECT_EQ(receiver->stagedBatchCount("A"), bound);
    EXPECT_LE(openDescriptors(), descriptorsBefore + bound + 1) << "a folder and a staging root a batch";
    EXPECT_EQ(held, (std::vector<std::pair<std::string, bool>>{{"A", true}}));
    // Another peer's batch is not held back by it.
    const UUID other = oneByteBatch("B");
    run();
    ASSERT_EQ(completed.size(), bound + 1);
    EXPECT_EQ(completed.back().id, other);

    // The owner lets go of each batch as it delivers it: the rest follows, none refused.
    receiver->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent intent) {
        completed.push_back({id, items, intent});
        receiver->releaseCompletedBatch(id);
    };
    for (std::size_t i = 0; i < bound + 1; ++i) receiver->releaseCompletedBatch(completed[i].id);
    run();
    EXPECT_EQ(completed.size(), burst + 1);
    EXPECT_EQ(std::ranges::count_if(notices, [](const std::string& t) { return t.find("refused") != t.npos; }), 0);
    EXPECT_EQ(held.back(), (std::pair<std::string, bool>{"A", false}));
    EXPECT_EQ(receiver->stagedBatchCount("A"), 0u);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    EXPECT_TRUE(fs::is_empty(staging()));
}

// The owner here reads as the server does: it hands in a peer's packets only while the service
// does not hold that peer's reads. However much a peer sends, and whatever its lane waits for, what
// it sent and was not handled stays under the bound; its reads go on, and every packet is handled
// in the order sent.
TEST_F(FileTransferPair, WhatAPeerSentAndWasNotHandledStaysBoundedWhateverItSendsAndItsLaneWaitsFor) {
    std::map<std::string, bool> held;
    receiver->onPeerReadsHeld = [&](const std::string& peer, bool on) { held[peer] = on; };
    bool releasing = false;  // the owner lets go of each batch as it delivers it
    receiver->onBatchCompleted = [&](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent intent) {
        if (releasing) receiver->releaseCompletedBatch(id);
        completed.push_back({id, items, intent});
    };
    std::map<std::string, std::deque<FileTransferPacket>> unread;
    std::size_t most = 0, largest = 0;
    auto read = [&] {
        for (auto& [peer, packets] : unread) {
            for (; !held[peer] && !packets.empty(); packets.pop_front()) {
                const auto& p = packets.front();
                largest = std::max(largest, p.data.size() + p.path.size() + FileTransferPacket::fixedSize +
                                                FileTransferService::queuedPacketOverhead);
                receiver->handleIncomingPacket(p, peer);
                most = std::max(most, receiver->queuedInboundBytes());
            }
        }
    };
    auto pump = [&] {
        do read();
        while (mp.clock->runUntilIdle() > 0);
    };
    auto sendBatch = [&](const std::string& peer, std::size_t chunks, std::size_t chunkSize) {
        const UUID id = UUID::random();
        const std::uint64_t size = chunks * chunkSize;
        auto& out = unread[peer];
        out.push_back({FileTransferOp::batchStart, id, size, FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1), "", {}});
        out.push_back({FileTransferOp::fileStart, id, size, 0, "f.bin", {}});
        for (std::size_t i = 0; i < chunks; ++i)
            out.push_back({FileTransferOp::fileChunk, id, i * chunkSize, 0, "f.bin", Bytes(chunkSize, static_cast<std::uint8_t>(i))});
        out.push_back({FileTransferOp::fileEnd, id, size, 0, "f.bin", {}});
        out.push_back({FileTransferOp::batchEnd, id, 0, 0, "", {}});
        return id;
    };
    const std::size_t bound = FileTransferService::maxQueuedBytesPerPeer;

    // Far past the bound: a file of 10,000 small chunks (about 8 MB as they wait).
    sendBatch("A", 10000, 100);
    pump();
    EXPECT_LE(most, bound + largest);
    ASSERT_EQ(completed.size(), 1u);
    const Bytes written = readFile(completed[0].items.at(0));
    ASSERT_EQ(written.size(), 10000u * 100);
    for (std::size_t i = 0; i < 10000; ++i) ASSERT_EQ(written[i * 100], static_cast<std::uint8_t>(i)) << "chunk " << i;
    EXPECT_FALSE(held["A"]);
    receiver->releaseCompletedBatch(completed[0].id);

    // Its 25th batchStart waits for a staged batch to be let go of, with 2 MB behind it.
    completed.clear();
    most = 0;
    std::vector<UUID> sent;
    for (std::size_t i = 0; i < FileTransferService::maxStagedBatchesPerPeer; ++i) sent.push_back(sendBatch("A", 1, 1));
    for (int i = 0; i < 8; ++i) sent.push_back(sendBatch("A", 64, 4096));
    pump();
    EXPECT_EQ(completed.size(), FileTransferService::maxStagedBatchesPerPeer);
    EXPECT_TRUE(held["A"]);
    EXPECT_LE(most, bound + largest);
    releasing = true;
    for (const auto& batch : completed) receiver->releaseCompletedBatch(batch.id);
    pump();
    std::vector<UUID> done;
    for (const auto& batch : completed) done.push_back(batch.id);
    EXPECT_EQ(done, sent);
    EXPECT_FALSE(held["A"]);

    // B's listings wait for it to read their answers, with 1.4 MB behind them.
    fs::create_directories(home() / "Long");
    for (int i = 0; i < 200; ++i) std::ofstream(home() / "Long" / (std::string(200, 'n') + std::to_string(i)));
    std::size_t unanswered = 0;
    bool bReads = false;
    std::vector<UUID> answered, asked;
    receiver->routedSendPacket = [&](const FileTransferPacket& p, const std::optional<std::string>&) {
        if (p.op != FileTransferOp::listDirReply) return;
        answered.push_back(p.batchID);
        if (!bReads) unanswered += p.encode().size();
    };
    receiver->outgoingBacklog = [&](const std::optional<std::string>&) -> std::optional<std::size_t> {
        return bReads ? 0 : unanswered;
    };
    for (int i = 0; i < 400; ++i) {
        asked.push_back(UUID::random());
        unread["B"].push_back({FileTransferOp::listDir, asked.back(), 0, 0, "Long", {}});
    }
    const UUID behind = sendBatch("B", 300, 4096);
    completed.clear();
    most = 0;
    pump();
    EXPECT_TRUE(held["B"]);
    EXPECT_LT(answered.size(), asked.size());
    EXPECT_LE(most, bound + largest);
    bReads = true;
    for (int i = 0; i < 200 && completed.empty(); ++i) {
        read();
        mp.clock->advance(0.05);
    }
    EXPECT_EQ(answered, asked);
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].id, behind);
    EXPECT_FALSE(held["B"]);
    EXPECT_EQ(receiver->queuedInboundBytes(), 0u);
}

TEST_F(FileTransferPair, ProgressReachesTheMainQueueAFewTimesASecondHoweverManyFilesABatchHas) {
    auto mainQueue = mp.queue("main");
    auto receiveQueue = mp.queue("quillmere.filetransfer.recv");
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    receiver->onBatchProgress = [&](const UUID&, std::uint64_t got, std::uint64_t total) { reports.emplace_back(got, total); };
    // 10,000 one-byte files arrive while no time passes, the main queue as quick as the receiving
    // side: it hears of the batch a few times, not once a file.
    constexpr int files = 10000;
    const UUID id = UUID::random();
    std::size_t mainBlocks = 0;
    inject(FileTransferOp::batchStart, id, files, "", {}, files);
    for (int i = 0; i < files; ++i) {
        const auto name = "f" + std::to_string(i);
        inject(FileTransferOp::fileStart, id, 1, name);
        inject(FileTransferOp::fileChunk, id, 0, name, {'x'});
        inject(FileTransferOp::fileEnd, id, 1, name);
        receiveQueue->runUntilIdle();
        mainBlocks += mainQueue->runUntilIdle();
    }
    inject(FileTransferOp::batchEnd, id, 0, "");
    receiveQueue->runUntilIdle();
    mainBlocks += mainQueue->runUntilIdle();
    EXPECT_LE(mainBlocks, 5u) << "main-queue blocks for one batch";
    ASSERT_EQ(completed.size(), 1u);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), (std::pair<std::uint64_t, std::uint64_t>{files, files})) << "the last figure before its end";

    // Files arriving over two seconds: a report each quarter of a second or so, the latest figure.
    reports.clear();
    const UUID slow = UUID::random();
    inject(FileTransferOp::batchStart, slow, 200, "", {}, 200);
    for (int i = 0; i < 200; ++i) {
        const auto name = "s" + std::to_string(i);
        inject(FileTransferOp::fileStart, slow, 1, name);
        inject(FileTransferOp::fileChunk, slow, 0, name, {'x'});
        inject(FileTransferOp::fileEnd, slow, 1, name);
        mp.clock->advance(0.01);
    }
    mp.clock->advance(1.0);
    EXPECT_GE(reports.size(), 6u);
    EXPECT_LE(reports.size(), 12u);
    EXPECT_EQ(reports.back().first, 200u) << "the figure a pause left behind is told";

    // The same for a batch this side sends.
    std::size_t sentReports = 0;
    sender->onOutgoingBatchProgress = [&](const UUID&, std::uint64_t, std::uint64_t) { ++sentReports; };
    for (int i = 0; i < 2000; ++i) writeFile(home() / "Many" / ("f" + std::to_string(i)), bytesOf("x"));
    deliver = false;
    ASSERT_TRUE(sender->sendURLs({home() / "Many"}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt, std::nullopt));
    run();
    ASSERT_EQ(outgoingCompleted.size(), 1u);
    EXPECT_LE(sentReports, 3u);
}

TEST_F(FileTransferPair, EveryBatchGetsAPrivateFolderOfItsOwnThatNoLaterRemovalTouches) {
    std::vector<std::pair<std::string, std::string>> notices;
    receiver->onPeerNotice = [&](const std::string& peer, const std::string& text) { notices.emplace_back(peer, text); };
    // A link planted where the next batch's folder would go is passed by, never followed.
    TemporaryDirectory outside;
    const UUID id = UUID::random();
    fs::create_directories(staging());
    const auto seconds = static_cast<std::int64_t>(mp.clock->wallTime());
    fs::create_directory_symlink(outside.path(), staging() / (std::to_string(seconds) + "-" + shortBatchID(id)));
    inject(FileTransferOp::batchStart, id, 3, "", {}, 1);
    inject(FileTransferOp::fileStart, id, 3, "a.txt");
    inject(FileTransferOp::fileChunk, id, 0, "a.txt", bytesOf("abc"));
    inject(FileTransferOp::fileEnd, id, 3, "a.txt");
    // Cancelled, then started again in the same second: the cancel's removal of the first folder
    // must not take the second batch's finished file.
    receiver->cancelBatch(id);
    inject(FileTransferOp::batchStart, id, 3, "", {}, 1);
    inject(FileTransferOp::fileStart, id, 3, "a.txt");
    inject(FileTransferOp::fileChunk, id, 0, "a.txt", bytesOf("xyz"));
    inject(FileTransferOp::fileEnd, id, 3, "a.txt");
    inject(FileTransferOp::batchEnd, id, 0, "");
    // Another id with the same first 8 digits in the same second gets yet another folder.
    auto text = id.uuidString();
    text[9] = text[9] == 'A' ? 'B' : 'A';
    const UUID twin = *UUID::parse(text);
    inject(FileTransferOp::batchStart, twin, 1, "", {}, 1);
    inject(FileTransferOp::fileStart, twin, 1, "a.txt");
    inject(FileTransferOp::fileChunk, twin, 0, "a.txt", bytesOf("!"));
    inject(FileTransferOp::fileEnd, twin, 1, "a.txt");
    inject(FileTransferOp::batchEnd, twin, 0, "");
    run();

    EXPECT_TRUE(fs::is_empty(outside.path()));
    ASSERT_EQ(completed.size(), 2u);
    ASSERT_EQ(completed[0].items.size(), 1u);
    ASSERT_EQ(completed[1].items.size(), 1u);
    EXPECT_NE(completed[0].items[0].parent_path(), completed[1].items[0].parent_path());
    EXPECT_EQ(readFile(completed[0].items[0]), bytesOf("xyz"));
    EXPECT_EQ(readFile(completed[1].items[0]), bytesOf("!"));
    // Staging is the user's alone.
    for (const auto& folder : {staging().parent_path(), staging(), completed[0].items[0].parent_path()})
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all) << folder;
    EXPECT_EQ(fs::status(completed[0].items[0]).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    // The sending peer hears each batch's outcome.
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0], std::make_pair(std::string("A"), "files: batch " + id.uuidString() +
                                                                " received 1 item(s), dropped 0 file(s)"));
}

TEST_F(FileTransferPair, AFinishedBatchKeepsItsIdUntilItsOwnerIsDoneWithIt) {
    auto whole = [&](const UUID& id, const std::string& text) {
        inject(FileTransferOp::batchStart, id, text.size(), "", {}, 1);
        inject(FileTransferOp::fileStart, id, text.size(), "a.txt");
        inject(FileTransferOp::fileChunk, id, 0, "a.txt", bytesOf(text));
        inject(FileTransferOp::fileEnd, id, text.size(), "a.txt");
        inject(FileTransferOp::batchEnd, id, 0, "");
        run();
    };
    const UUID id = UUID::random();
    whole(id, "first");
    ASSERT_EQ(completed.size(), 1u);
    // Sent again while the first still waits for its destination: refused, the first untouched.
    whole(id, "again");
    EXPECT_EQ(completed.size(), 1u);
    EXPECT_EQ(readFile(completed[0].items[0]), bytesOf("first"));
    EXPECT_NE(std::find(receiverStatus.begin(), receiverStatus.end(),
                        "refused batch " + shortBatchID(id) + ": its id belongs to a batch that is still being delivered"),
              receiverStatus.end());
    // Once the owner released it, the id starts a batch again, and staging holds only that one.
    receiver->releaseCompletedBatch(id);
    whole(id, "later");
    ASSERT_EQ(completed.size(), 2u);
    EXPECT_EQ(readFile(completed[1].items[0]), bytesOf("later"));
    receiver->releaseCompletedBatch(id);
    run();
    EXPECT_TRUE(fs::is_empty(staging()));
}

TEST_F(FileTransferPair, APeerCannotTouchAnotherPeersBatchesAndItsStateGoesWithIt) {
    const UUID id = UUID::random();
    inject(FileTransferOp::batchStart, id, 3, "", {}, 1);
    inject(FileTransferOp::fileStart, id, 3, "a.txt");
    receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::cancelBatch, id, 0, 0, {}, {}}, "B");
    receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::directSave, id, 0, 0, "/elsewhere", {}}, "B");
    inject(FileTransferOp::fileChunk, id, 0, "a.txt", bytesOf("abc"));
    inject(FileTransferOp::fileEnd, id, 3, "a.txt");
    inject(FileTransferOp::batchEnd, id, 0, "");
    run();
    ASSERT_EQ(completed.size(), 1u) << "B's cancel left A's batch alone";
    EXPECT_EQ(completed[0].items.size(), 1u);

    // Cancel marks are kept only for outgoing batches that exist: a flood leaves nothing behind.
    for (int i = 0; i < 1000; ++i)
        receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::cancelBatch, UUID::random(), 0, 0, {}, {}}, "A");
    run();
    EXPECT_EQ(receiver->tableEntryCount(), 1u) << "B's pending destination only";

    // Per-peer bounds: unfinished batches, pending destinations; a session's end frees them all.
    std::vector<std::string> notices;
    receiver->onPeerNotice = [&](const std::string&, const std::string& text) { notices.push_back(text); };
    for (std::size_t i = 0; i < FileTransferService::maxPendingDestinationsPerPeer + 5; ++i)
        inject(FileTransferOp::directSave, UUID::random(), 0, "~/x");
    for (std::size_t i = 0; i < FileTransferService::maxInboundBatchesPerPeer + 3; ++i) {
        const UUID batch = UUID::random();
        inject(FileTransferOp::batchStart, batch, 1, "", {}, 1);
        inject(FileTransferOp::fileStart, batch, 1, "open.bin");
    }
    run();
    EXPECT_EQ(receiver->tableEntryCount(),
              1u + FileTransferService::maxPendingDestinationsPerPeer + FileTransferService::maxInboundBatchesPerPeer);
    EXPECT_EQ(std::count_if(notices.begin(), notices.end(),
                            [](const std::string& t) { return t.find("refused: too many unfinished batches") != t.npos; }),
              3);
    receiver->cancelInboundBatches("A");
    receiver->cancelInboundBatches("B");
    run();
    EXPECT_EQ(receiver->tableEntryCount(), 0u);
    // Only the finished batch's folder is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(staging()), fs::directory_iterator()), 1);
}

TEST_F(FileTransferPair, PathsAndBatchesBeyondTheBoundsAreDroppedAndReported) {
    std::vector<std::string> notices;
    receiver->onPeerNotice = [&](const std::string&, const std::string& text) { notices.push_back(text); };
    const UUID id = UUID::random();
    inject(FileTransferOp::batchStart, id, 0, "", Bytes(FileTransferService::maxItemNamesBytes + 1, '['), 0);
    std::string deep;
    for (std::size_t i = 0; i < FileTransferService::maxPeerPathDepth; ++i) deep += "d/";
    inject(FileTransferOp::mkdir, id, 0, deep + "e");
    inject(FileTransferOp::fileStart, id, 1, std::string(FileTransferService::maxPeerPathBytes + 1, 'n'));
    inject(FileTransferOp::fileChunk, id, 0, "", bytesOf("x"));
    // A name with control characters reaches log and Viewer escaped.
    inject(FileTransferOp::fileStart, id, 1, "evil\nfiles: forged");
    inject(FileTransferOp::fileChunk, id, 0, "", bytesOf("too long"));
    inject(FileTransferOp::batchEnd, id, 0, "");
    run();
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_TRUE(completed[0].items.empty());
    ASSERT_EQ(notices.size(), 4u);
    EXPECT_NE(notices[0].find("deeper than 64 levels"), std::string::npos);
    EXPECT_NE(notices[1].find("longer than 4096 bytes"), std::string::npos);
    EXPECT_NE(notices[2].find("dropped evil\\nfiles: forged: data does not match"), std::string::npos) << notices[2];
    EXPECT_EQ(notices[3], "files: batch " + id.uuidString() + " received 0 item(s), dropped 3 file(s)");
    for (const auto& line : receiverStatus) EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

TEST_F(FileTransferPair, StopDropsUnfinishedBatchesWithTheirFilesAndTakesNothingAfter) {
    const UUID id = UUID::random();
    inject(FileTransferOp::batchStart, id, 10, "", {}, 1);
    inject(FileTransferOp::fileStart, id, 10, "partial.bin");
    inject(FileTransferOp::fileChunk, id, 0, "", bytesOf("abcde"));
    run();
    ASSERT_FALSE(fs::is_empty(staging()));
    receiver->stop();
    EXPECT_TRUE(fs::is_empty(staging()));
    inject(FileTransferOp::batchStart, UUID::random(), 10, "", {}, 1);
    run();
    EXPECT_TRUE(fs::is_empty(staging()));
    EXPECT_EQ(receiver->tableEntryCount(), 0u);
}

TEST(FileTransferStaging, RefusesAStagingFolderOfAnotherUserAndMendsLoosePermissions) {
    ManualPlatform mp;
    TemporaryDirectory dir;
    auto service = std::make_shared<FileTransferService>(mp.platform, "Viewer", chunk,
                                                         FileTransferService::Folders{dir.path(), dir.path()});
    fs::create_directories(dir.path() / "QuillmereFileInbox" / "Viewer");
    fs::permissions(dir.path() / "QuillmereFileInbox", fs::perms::all);
    std::string error;
    ASSERT_TRUE(service->openStagingRoot(error)) << error;
    EXPECT_EQ(fs::status(dir.path() / "QuillmereFileInbox").permissions() & fs::perms::all, fs::perms::owner_all);
    // A link in place of a level is refused, not followed.
    TemporaryDirectory outside;
    fs::remove_all(dir.path() / "QuillmereFileInbox");
    fs::create_directory_symlink(outside.path(), dir.path() / "QuillmereFileInbox");
    EXPECT_FALSE(service->openStagingRoot(error));
    EXPECT_TRUE(fs::is_empty(outside.path()));
    if (::geteuid() == 0) {
        // Root can hand a folder to another user and show that it is refused.
        fs::remove(dir.path() / "QuillmereFileInbox");
        fs::create_directories(dir.path() / "QuillmereFileInbox");
        ASSERT_EQ(::chown((dir.path() / "QuillmereFileInbox").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(service->openStagingRoot(error));
        EXPECT_NE(error.find("another user"), std::string::npos);
    }
}

TEST_F(FileTransferPair, StopAlsoRemovesFinishedBatchesTheOwnerHadNotReleased) {
    const UUID id = UUID::random();
    inject(FileTransferOp::batchStart, id, 3, "", {}, 1);
    inject(FileTransferOp::mkdir, id, 0, "f");
    inject(FileTransferOp::batchEnd, id, 0, "");
    run();
    ASSERT_EQ(completed.size(), 1u);
    receiver->stop();
    EXPECT_TRUE(fs::is_empty(staging()));
}

// A service whose home and caches are `folder`, started (its staging taken, what an earlier run
// left removed) on the manual queues.
static std::shared_ptr<FileTransferService> startedStagingService(ManualPlatform& mp, const fs::path& folder) {
    auto service =
        std::make_shared<FileTransferService>(mp.platform, "Viewer", chunk, FileTransferService::Folders{folder, folder});
    service->start();
    mp.clock->runUntilIdle();
    return service;
}

// What an earlier run left staged goes when the serving Host starts: links are removed, not
// followed, and what is not shaped like a batch folder stays. A Host started beside the serving
// one leaves everything alone.
TEST(FileTransferStaging, AStartRemovesTheBatchFoldersAnEarlierRunLeftUnlessAnotherHostHoldsThem) {
    ManualPlatform mp;
    TemporaryDirectory dir, outside;
    const auto staging = dir.path() / "QuillmereFileInbox" / "Viewer";
    auto started = [&] { return startedStagingService(mp, dir.path()); };
    auto names = [&] {
        std::set<std::string> out;
        for (const auto& entry : fs::directory_iterator(staging)) out.insert(entry.path().filename().string());
        return out;
    };
    writeText(staging / "1700000000-0A1B2C3D" / "f" / "g" / "b.txt", "b");
    fs::path deep = staging / "1700000001-0A1B2C3D-2";
    for (int level = 0; level < 100; ++level) deep /= "d";
    writeText(deep / "x", "deeper than the folders held open");
    writeText(outside.path() / "kept.txt", "kept");
    fs::create_directory_symlink(outside.path(), staging / "1700000002-DEADBEEF");
    fs::create_directory_symlink(outside.path(), staging / "1700000000-0A1B2C3D" / "link");
    writeText(staging / "notes" / "n.txt", "someone else's");

    auto serving = started();
    EXPECT_EQ(names(), std::set<std::string>{"notes"});
    EXPECT_EQ(fileText(outside.path() / "kept.txt"), "kept");
    fs::create_directories(staging / "1700000004-0A1B2C3D");
    auto beside = started();
    EXPECT_TRUE(names().contains("1700000004-0A1B2C3D"));
    serving.reset();
    auto next = started();
    EXPECT_EQ(names(), std::set<std::string>{"notes"});
}

TEST(FileTransferStaging, ATreeOfAnyDepthIsRemovedWithABoundedNumberOfFoldersOpen) {
    TemporaryDirectory dir;
    fs::path deep = dir.path() / "tree";
    for (int level = 0; level < 300; ++level) deep /= "d" + std::to_string(level % 3);
    writeText(deep / "leaf.txt", "leaf");
    auto held = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
    FileDescriptor folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto before = held();
    auto most = before;
    EXPECT_TRUE(removeTreeAt(folder.get(), "tree", 4, [&] { return (most = std::max(most, held())), true; }));
    EXPECT_FALSE(fs::exists(dir.path() / "tree"));
    EXPECT_LE(most, before + 4);
    EXPECT_EQ(held(), before);
}

// The staging root's path swapped for a link to a folder outside that holds a same-named tree:
// releasing, dropping and stopping remove the batch folders they made, where they really are,
// and nothing reached through that path.
TEST_F(FileTransferPair, StagedFoldersGoThroughTheHeldStagingRootNeverItsPath) {
    auto batch = [&](const std::string& peer, bool finished) {
        const UUID id = UUID::random();
        receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::batchStart, id, 1, 1, {}, {}}, peer);
        receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::fileStart, id, 1, 0, "f.txt", {}}, peer);
        if (finished) receiver->handleIncomingPacket(FileTransferPacket{FileTransferOp::batchEnd, id, 0, 0, {}, {}}, peer);
        return id;
    };
    const UUID released = batch("A", true), kept = batch("A", true);
    batch("A", false);
    batch("B", false);
    run();
    const auto inbox = dir.path() / "receiverCaches" / "QuillmereFileInbox";
    TemporaryDirectory outside;
    std::vector<fs::path> precious;
    for (const auto& entry : fs::directory_iterator(staging())) {
        precious.push_back(outside.path() / "Viewer" / entry.path().filename() / "precious.txt");
        writeText(precious.back(), "not the Host's");
    }
    ASSERT_EQ(precious.size(), 4u);
    fs::rename(inbox, dir.path() / "moved");
    fs::create_directory_symlink(outside.path(), inbox);

    receiver->releaseCompletedBatch(released);
    receiver->cancelInboundBatches("A");
    run();
    receiver->stop();  // the finished batch not released and B's unfinished one
    run();
    for (const auto& file : precious) EXPECT_EQ(fileText(file), "not the Host's") << file;
    EXPECT_TRUE(fs::is_empty(dir.path() / "moved" / "Viewer")) << "every batch folder went where it really was";
    (void)kept;
}

// A Host out of descriptors when it stops (a flood of connections) leaves nothing staged: a
// finished batch of files goes through the descriptor that holds it; one with a folder in it
// needs one more, so it stays, and is named in the log, until the Host has let go of some. In a
// child process, which alone runs short.
TEST(FileTransferStaging, AStopOutOfDescriptorsLeavesNothingStagedOnceItHasSomeAgain) {
    const auto said = inChildProcess([] {
        std::string out;
        ManualPlatform mp;
        TemporaryDirectory dir;
        const auto staging = dir.path() / "QuillmereFileInbox" / "Viewer";
        auto staged = [&] {
            return std::to_string(std::distance(fs::directory_iterator(staging), fs::directory_iterator()));
        };
        auto finishedBatch = [&](FileTransferService& service, const std::string& folder) {
            const UUID id = UUID::random();
            auto packet = [&](FileTransferOp op, std::uint64_t v1, const std::string& path, Bytes data = {}) {
                service.handleIncomingPacket(FileTransferPacket{op, id, v1, 1, path, std::move(data)}, "A");
            };
            const std::string file = folder.empty() ? "f.bin" : folder + "/f.bin";
            packet(FileTransferOp::batchStart, 4, "");
            if (!folder.empty()) packet(FileTransferOp::mkdir, 0, folder);
            packet(FileTransferOp::fileStart, 4, file);
            packet(FileTransferOp::fileChunk, 0, file, bytesOf("data"));
            packet(FileTransferOp::fileEnd, 4, file);
            packet(FileTransferOp::batchEnd, 0, "");
            mp.clock->runUntilIdle();
        };
        {
            auto service = startedStagingService(mp, dir.path());
            finishedBatch(*service, "");
            DescriptorsTaken taken;
            service->stop();
            taken.release();
            out += "files only, after the stop: " + staged() + "\n";
        }
        auto service = startedStagingService(mp, dir.path());
        finishedBatch(*service, "d");
        std::vector<std::string> status;
        service->onStatus = [&](const std::string& text, const FileTransferService::StatusSource&) {
            status.push_back(text);
        };
        DescriptorsTaken taken;
        service->stop();
        DescriptorsTaken freedMeanwhile;
        const bool goneWhileShort = service->removeLeftStaging(0);
        freedMeanwhile.release();
        taken.release();
        out += "with a folder, after the stop: " + staged() + (goneWhileShort ? ", said gone" : "") + "\n";
        for (const auto& line : status)
            out += std::string("status: ") + (line.find("Too many open files") != line.npos ? "too many open files" : line) + "\n";
        const bool gone = service->removeLeftStaging(0);
        out += std::string("once it has some: ") + (gone ? "gone, " : "stays, ") + staged() + "\n";
        return out;
    });
    EXPECT_EQ(said, "files only, after the stop: 0\n"
                    "with a folder, after the stop: 1\n"
                    "status: too many open files\n"
                    "once it has some: gone, 0\n");
}

// Two Hosts of one user on one staging root: the one that restarts while the other serves
// removes what a Host that is gone left, never a batch folder the other is still using.
TEST(FileTransferStaging, AStartLeavesTheBatchFoldersOfAnotherRunningHostAlone) {
    ManualPlatform mp;
    TemporaryDirectory dir;
    const auto staging = dir.path() / "QuillmereFileInbox" / "Viewer";
    auto started = [&] { return startedStagingService(mp, dir.path()); };
    auto serving = started();
    auto beside = started();
    std::vector<UUID> completed;
    beside->onBatchCompleted = [&](const UUID& id, const std::vector<fs::path>& items, FileTransferIntent) {
        if (items.size() == 1) completed.push_back(id);
    };
    auto packet = [&](FileTransferOp op, const UUID& id, std::uint64_t v1, const std::string& path, Bytes data = {},
                      std::uint64_t v2 = 0) {
        beside->handleIncomingPacket(FileTransferPacket{op, id, v1, v2, path, std::move(data)}, "A");
    };
    const UUID waiting = UUID::random(), inFlight = UUID::random();
    packet(FileTransferOp::batchStart, waiting, 1, "", {}, 1);
    packet(FileTransferOp::fileStart, waiting, 1, "w.txt");
    packet(FileTransferOp::fileChunk, waiting, 0, "w.txt", bytesOf("w"));
    packet(FileTransferOp::batchEnd, waiting, 0, "");
    packet(FileTransferOp::batchStart, inFlight, 2, "", {}, 1);
    packet(FileTransferOp::fileStart, inFlight, 2, "f.txt");
    packet(FileTransferOp::fileChunk, inFlight, 0, "f.txt", bytesOf("a"));
    mp.clock->runUntilIdle();
    ASSERT_EQ(completed, std::vector<UUID>{waiting});
    fs::create_directories(staging / "1700000000-0A1B2C3D" / "left");  // a Host that is gone left it

    serving.reset();
    auto next = started();
    EXPECT_FALSE(fs::exists(staging / "1700000000-0A1B2C3D"));
    EXPECT_EQ(std::distance(fs::directory_iterator(staging), fs::directory_iterator()), 2)
        << "both folders of the Host still serving stay";
    packet(FileTransferOp::fileChunk, inFlight, 1, "f.txt", bytesOf("b"));
    packet(FileTransferOp::batchEnd, inFlight, 0, "");
    mp.clock->runUntilIdle();
    EXPECT_EQ(completed, (std::vector<UUID>{waiting, inFlight})) << "its batch in flight was saved whole";
}

// A file system mounted at a batch-shaped name in the staging root is not entered by a start's
// tidying. Mounting needs privileges a test run may not have.
TEST(FileTransferStaging, AMountAtABatchShapedNameIsNeverEntered) {
    TemporaryDirectory dir;
    const auto staging = dir.path() / "QuillmereFileInbox" / "Viewer";
    const auto mounted = staging / "1700000000-0A1B2C3D";
    fs::create_directories(mounted);
    if (::mount("none", mounted.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount here";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mounted};
    writeText(mounted / "inner" / "kept.txt", "another file system");

    FileDescriptor root(::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_FALSE(removeTreeAt(root.get(), mounted.filename().string()));
    EXPECT_EQ(fileText(mounted / "inner" / "kept.txt"), "another file system");

    ManualPlatform mp;
    auto service = std::make_shared<FileTransferService>(mp.platform, "Viewer", chunk,
                                                         FileTransferService::Folders{dir.path(), dir.path()});
    service->start();
    mp.clock->runUntilIdle();
    EXPECT_EQ(fileText(mounted / "inner" / "kept.txt"), "another file system");
}

TEST(FileTransferStaging, WithoutHomeTheCachesFolderComesFromThePasswordDatabase) {
    auto keep = [](const char* name) { const char* v = std::getenv(name); return v ? std::optional<std::string>(v) : std::nullopt; };
    const auto home = keep("HOME"), xdg = keep("XDG_CACHE_HOME");
    ::unsetenv("HOME");
    ::unsetenv("XDG_CACHE_HOME");
    const auto caches = defaultCachesDirectory();
    if (home) ::setenv("HOME", home->c_str(), 1);
    if (xdg) ::setenv("XDG_CACHE_HOME", xdg->c_str(), 1);
    const passwd* entry = ::getpwuid(::geteuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(caches, fs::path(entry->pw_dir) / ".cache");
}

}  // namespace FileTransferServiceTests
