// What a Viewer sends reaches the user's folders, and what it asks for comes back, against the
// built `QuillmereHost` as a user runs it (its own account, X display and network namespace), a
// test Viewer signed in over real TCP with its file channel. Everything is read from outside: the
// user's folders, the Host's staging folder and the lines the Host prints.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "QuillmereProfiles/FileTransferService.h"
#include "support/BuiltHost.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "support/ViewerBatches.h"
#include "support/VirtualXServer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace qm::test {
namespace FileDeliveryLiveTests {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The built Host, started, with a Viewer signed in and its file channel bound.
class FileDeliveryLive : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
        if (!host) GTEST_SKIP() << whyNot;
        ASSERT_TRUE(host->start()) << host->log();
        viewer = host->signIn("Ada's Viewer", whyNot);
        ASSERT_TRUE(viewer) << whyNot << "\n" << host->log();
        channel = openFileChannel(*viewer);
        ASSERT_TRUE(channel) << host->log();
    }

    std::unique_ptr<BuiltHost> host;
    std::unique_ptr<TestViewer> viewer;
    std::unique_ptr<TestFileChannel> channel;
};

TEST_F(FileDeliveryLive, ViewerBatchesLandInTheUsersFoldersAndLeaveNothingStaged) {
    const auto content = randomBytes(600'000, 21);  // three chunks
    const auto road = fileChannelRoad(*channel);

    // (a) A copy with a destination hint: that folder, made for it, and nothing left in staging.
    sendFileBatch(road, FileTransferIntent::copy, "~/Incoming", "copy.bin", content);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(host->home() / "Incoming" / "copy.bin") && host->stagingEmpty(); }, 30s))
        << host->log();
    EXPECT_TRUE(fileBytes(host->home() / "Incoming" / "copy.bin") == content) << "byte-identical";

    // (b) A managed copy: its receipt comes back on the channel, and the file is in place.
    const UUID managed = sendFileBatch(road, FileTransferIntent::managedCopy, "~/Managed", "managed.bin", content);
    const auto receipt = responseTo(*channel, managed);
    ASSERT_TRUE(receipt) << host->log();
    EXPECT_TRUE(receipt->accepted) << receipt->message.value_or("");
    EXPECT_TRUE(fileBytes(host->home() / "Managed" / "managed.bin") == content);

    // (c) A drop with no file manager to ask: the Desktop.
    sendFileBatch(road, FileTransferIntent::dropToFinder, std::nullopt, "dropped.bin", content);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(host->home() / "Desktop" / "dropped.bin") && host->stagingEmpty(); }, 30s))
        << host->log();
    EXPECT_TRUE(fileBytes(host->home() / "Desktop" / "dropped.bin") == content);
    EXPECT_TRUE(host->waitForLog("files: dropped 1/1 item(s) into Finder")) << host->log();

    // The same on the control connection, for a Viewer without a file channel.
    sendFileBatch(controlRoad(*viewer), FileTransferIntent::copy, "~/Incoming", "control.bin", content);
    ASSERT_TRUE(
        waitUntil([&] { return fs::exists(host->home() / "Incoming" / "control.bin") && host->stagingEmpty(); }, 30s))
        << host->log();
    EXPECT_TRUE(fileBytes(host->home() / "Incoming" / "control.bin") == content);
}

TEST_F(FileDeliveryLive, AViewerReceivesTheHomeFilesItAsksForAndNothingOutsideHome) {
    const auto report = randomBytes(700'000, 22);
    host->writeHomeFile("docs/report.bin", report);
    host->writeHomeFile("notes.txt", Bytes{'n', '\n'});

    // (d) Two files below home, one named twice: the answer is accepted and the batch that
    // follows carries the request's id, as a managed copy, byte for byte.
    const UUID request = UUID::random();
    FileTransferPeerSendRequest ask({"~/docs/report.bin", "~/notes.txt", "~/docs/../notes.txt"}, "~/Downloads", {});
    channel->sendPacket({FileTransferOp::peerSendRequest, request, 0, 0, "", ask.encoded()});
    std::vector<FileTransferPacket> seen;
    auto answer = responseTo(*channel, request, &seen);
    ASSERT_TRUE(answer) << host->log();
    EXPECT_TRUE(answer->accepted);
    EXPECT_FALSE(answer->message);
    ASSERT_TRUE(readUntil(
        *channel, [&](const FileTransferPacket& p) { return p.op == FileTransferOp::batchEnd && p.batchID == request; },
        &seen))
        << host->log();
    const auto start = std::find_if(seen.begin(), seen.end(), [&](const FileTransferPacket& p) {
        return p.op == FileTransferOp::batchStart && p.batchID == request;
    });
    ASSERT_NE(start, seen.end());
    EXPECT_EQ(FileTransferPacket::batchStartIntent(start->value2), FileTransferIntent::managedCopy);
    const auto files = filesOfBatch(seen, request);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files.at("report.bin") == report) << "byte-identical";
    EXPECT_EQ(files.at("notes.txt"), (Bytes{'n', '\n'}));
    // The line names the asking Viewer by the start of its session id.
    std::string session;
    for (const auto& message : host->messages()) {
        if (message.starts_with("file aux: channel authorized for session ")) session = message.substr(41, 8);
    }
    ASSERT_EQ(session.size(), 8u) << host->log();
    EXPECT_TRUE(host->waitForLog("files: requested send of 2 item(s) to Viewer session " + session)) << host->log();

    // A path outside home, directly and by climbing out of it: refused, with the Host's line.
    const UUID outside = UUID::random();
    FileTransferPeerSendRequest escape({"/etc/hostname", "~/../../etc/hostname"}, "~/Downloads", {});
    channel->sendPacket({FileTransferOp::peerSendRequest, outside, 0, 0, "", escape.encoded()});
    answer = responseTo(*channel, outside, &seen);
    ASSERT_TRUE(answer) << host->log();
    EXPECT_FALSE(answer->accepted);
    EXPECT_EQ(answer->message, "The requested files are no longer available on the Host.");
    EXPECT_TRUE(host->waitForLog("files: rejected peer send request with no readable Home paths")) << host->log();
    EXPECT_TRUE(filesOfBatch(seen, outside).empty());

    // A request that is not a request document.
    const UUID garbled = UUID::random();
    channel->sendPacket({FileTransferOp::peerSendRequest, garbled, 0, 0, "", Bytes{'{', 'x'}});
    answer = responseTo(*channel, garbled);
    ASSERT_TRUE(answer) << host->log();
    EXPECT_FALSE(answer->accepted);
    EXPECT_EQ(answer->message, "The Host could not read the requested transfer.");
    EXPECT_TRUE(host->waitForLog("files: rejected malformed peer send request")) << host->log();
}

// A link in home to a folder outside it that the user owns and could write: nothing a Viewer
// sends lands there, and nothing there is sent to a Viewer that asks for home files.
TEST_F(FileDeliveryLive, ALinkInHomeToAFolderOutsideItLeadsNoViewerThere) {
    struct stat owner {};
    ASSERT_EQ(::stat(host->home().c_str(), &owner), 0);
    const auto outside = host->home().parent_path() / "outside";
    writeFile(outside / "secret.txt", Bytes{'s'});
    host->writeHomeFile("shared/mine.txt", Bytes{'m'});
    fs::create_directory_symlink(outside, host->home() / "lnk");
    fs::create_directory_symlink(outside, host->home() / "shared" / "etc");
    for (const auto& path : {outside, outside / "secret.txt", host->home() / "lnk", host->home() / "shared" / "etc"})
        ASSERT_EQ(::lchown(path.c_str(), owner.st_uid, owner.st_gid), 0);

    // A managed copy aimed at the link by a hint whose ".." follows a missing folder, or below it.
    const auto road = fileChannelRoad(*channel);
    for (const std::string hint : {"~/missing/../lnk", "~/missing/../lnk/new"}) {
        const UUID id = sendFileBatch(road, FileTransferIntent::managedCopy, hint, "planted.bin", Bytes{'p'});
        const auto receipt = responseTo(*channel, id);
        ASSERT_TRUE(receipt) << hint << "\n" << host->log();
        EXPECT_FALSE(receipt->accepted) << hint;
        EXPECT_EQ(receipt->message, "The destination folder is not available on this device.") << hint;
    }
    ASSERT_TRUE(waitUntil([&] { return host->stagingEmpty(); }, 30s)) << host->log();
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1) << "only secret.txt";
    EXPECT_FALSE(fs::exists(host->home() / "missing"));

    // A request for a home folder holding the link: its own file only, the link counted.
    const UUID request = UUID::random();
    channel->sendPacket({FileTransferOp::peerSendRequest, request, 0, 0, "",
                         FileTransferPeerSendRequest({"~/shared"}, "~/Downloads", {}).encoded()});
    std::vector<FileTransferPacket> seen;
    const auto answer = responseTo(*channel, request, &seen);
    ASSERT_TRUE(answer && answer->accepted) << host->log();
    ASSERT_TRUE(readUntil(
        *channel, [&](const FileTransferPacket& p) { return p.op == FileTransferOp::batchEnd && p.batchID == request; },
        &seen))
        << host->log();
    const auto files = filesOfBatch(seen, request);
    ASSERT_EQ(files.size(), 1u) << host->log();
    EXPECT_EQ(files.begin()->first, "shared/mine.txt");
    EXPECT_TRUE(host->waitForLog("files: sending 1 item(s), 0.0 KB to Viewer; left out 1 link(s) leading outside " +
                                 host->home().string()))
        << host->log();
}

// The Host's user answers a question about a taken name while another program of that user has
// swapped the folder for a link to a folder outside home (one the user may write, holding a file
// of someone else's that anyone may write): whatever the answer, nothing lands there and nothing
// there changes, and the Viewer hears that its item was not saved.
class ConflictQuestionLive : public FileDeliveryLive {
protected:
    void SetUp() override {
        FileDeliveryLive::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });  // windows come and go meanwhile
        display = XOpenDisplay(host->displayName().c_str());
        ASSERT_NE(display, nullptr);
        ASSERT_EQ(::stat(host->home().c_str(), &owner), 0);
        outside = host->home().parent_path() / "outside";
        writeFile(outside / "a.txt", Bytes{'t', 'h', 'e', 'i', 'r', 's'});
        ASSERT_EQ(::chmod((outside / "a.txt").c_str(), 0666), 0);
        ASSERT_EQ(::lchown(outside.c_str(), owner.st_uid, owner.st_gid), 0);
    }
    void TearDown() override {
        if (display) XCloseDisplay(display);
    }

    // A managed copy of a.txt into ~/folder whose sender asks about conflicts; its id.
    UUID sendAsking(const std::string& folder, const Bytes& content) {
        const UUID id = UUID::random();
        const auto options = FileTransferDeliveryOptions::promptForConflicts.rawValue;
        channel->sendPacket({FileTransferOp::directSave, id, options, 0, "~/" + folder, {}});
        const auto road = fileChannelRoad(*channel);
        startFileBatch(road, id, FileTransferIntent::managedCopy, std::nullopt, "a.txt", content.size());
        channel->sendPacket({FileTransferOp::fileStart, id, content.size(), 0, "a.txt", {}});
        channel->sendPacket({FileTransferOp::fileChunk, id, 0, 0, "a.txt", content});
        channel->sendPacket({FileTransferOp::fileEnd, id, content.size(), 0, "a.txt", {}});
        channel->sendPacket({FileTransferOp::batchEnd, id, 0, 0, "", {}});
        return id;
    }

    // The question on screen, found as the user sees it: a new window the Host shows for the
    // "File Transfers" window (the one its question belongs to).
    Window question() {
        Window found = 0;
        waitUntil(
            [&] {
                const Window transfers = findMappedWindow(display, "File Transfers");
                found = transfers ? findMappedWindow(display, [&](unsigned long window) {
                    Window owner = 0;
                    return XGetTransientForHint(display, window, &owner) && owner == transfers &&
                           std::find(asked.begin(), asked.end(), window) == asked.end();
                })
                                  : 0;
                return found != 0;
            },
            30s);
        if (found) asked.push_back(found);
        return found;
    }
    // What another program of the user's does: the folder moved away, a link to `outside` in its place.
    bool swapForLink(const std::string& folder) {
        const auto from = host->home() / folder;
        const auto moved = host->home() / (folder + "-moved");
        const pid_t child = ::fork();
        if (child == 0) {
            // Only calls that are safe after fork in a threaded process.
            const bool done = ::setresgid(owner.st_gid, owner.st_gid, owner.st_gid) == 0 &&
                              ::setresuid(owner.st_uid, owner.st_uid, owner.st_uid) == 0 &&
                              ::rename(from.c_str(), moved.c_str()) == 0 &&
                              ::symlink(outside.c_str(), from.c_str()) == 0;
            ::_exit(done ? 0 : 1);
        }
        return child > 0 && waitForExit(child, 30s) == 0;
    }

    bool outsideUntouched() const {
        struct stat file {};
        return std::distance(fs::directory_iterator(outside), fs::directory_iterator()) == 1 &&
               ::lstat((outside / "a.txt").c_str(), &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == 0 &&
               fileText(outside / "a.txt") == "theirs";
    }

    // The same keys on the same question in a folder nobody touches: what they do there shows
    // which button they press.
    void answerInPlainFolder(const std::string& folder, const std::vector<KeySym>& keys) {
        host->writeHomeFile(folder + "/a.txt", Bytes{'o', 'l', 'd'});
        const auto id = sendAsking(folder, Bytes{'n', 'e', 'w'});
        const Window window = question();
        ASSERT_NE(window, 0u) << host->log();
        pressKeys(display, window, keys);
        const auto receipt = responseTo(*channel, id);
        ASSERT_TRUE(receipt) << host->log();
        EXPECT_TRUE(receipt->accepted) << receipt->message.value_or("");
    }

    void answerWhileSwapped(const std::string& folder, const std::vector<KeySym>& keys) {
        host->writeHomeFile(folder + "/a.txt", Bytes{'o', 'l', 'd'});
        const auto id = sendAsking(folder, Bytes{'n', 'e', 'w'});
        const Window window = question();
        ASSERT_NE(window, 0u) << host->log();
        ASSERT_TRUE(swapForLink(folder));
        pressKeys(display, window, keys);
        const auto receipt = responseTo(*channel, id);
        ASSERT_TRUE(receipt) << host->log();
        EXPECT_FALSE(receipt->accepted);
        EXPECT_EQ(receipt->message, "Saved 0 item(s); 1 could not be saved.");
        EXPECT_TRUE(outsideUntouched()) << host->log();
        EXPECT_EQ(fileText(host->home() / (folder + "-moved") / "a.txt"), "old");
        EXPECT_TRUE(host->waitForLog("files: saved 0/1 item(s) to " + (host->home() / folder).string())) << host->log();
    }

    Display* display = nullptr;
    std::vector<Window> asked;  // questions found so far: each is answered once
    struct stat owner {};
    fs::path outside;
};

TEST_F(ConflictQuestionLive, KeepBothIntoAFolderSwappedForALinkPutsNothingOutsideHome) {
    // Return answers with the default button, Keep Both.
    answerInPlainFolder("Plain", {XK_Return});
    EXPECT_EQ(fileText(host->home() / "Plain" / "a copy.txt"), "new") << host->log();
    answerWhileSwapped("ConfX", {XK_Return});
}

TEST_F(ConflictQuestionLive, ReplaceInAFolderSwappedForALinkChangesNothingOutsideHome) {
    // Replace is the third button: two Tabs from Keep Both, then Space.
    answerInPlainFolder("Plain", {XK_Tab, XK_Tab, XK_space});
    EXPECT_EQ(fileText(host->home() / "Plain" / "a.txt"), "new") << host->log();
    answerWhileSwapped("ConfX", {XK_Tab, XK_Tab, XK_space});
}

// A Viewer asks for a home folder, and a program of the user swaps a folder in it for a link to
// a folder outside home once the Host has walked it: nothing from outside reaches the Viewer. To
// come between the walk and the sends the Viewer stops reading, so the Host's send of the
// folder's first, large file waits for room (larger than the sockets and the Host's own queue
// for one Viewer hold together) until the swap is made.
TEST_F(FileDeliveryLive, AFolderSwappedForALinkOutOfHomeAfterTheWalkSendsNothingFromOutside) {
    struct stat owner {};
    ASSERT_EQ(::stat(host->home().c_str(), &owner), 0);
    const auto outside = host->home().parent_path() / "outside";
    const Bytes secret{'s', 'e', 'c', 'r', 'e', 't'};
    writeFile(outside / "hostname", secret);
    const auto large = randomBytes(48u << 20, 23);
    host->writeHomeFile("W/a.bin", large);
    host->writeHomeFile("W/sub/hostname", Bytes{'i', 'n', 's', 'i', 'd', 'e'});
    for (const auto& path : {outside, outside / "hostname"}) ASSERT_EQ(::lchown(path.c_str(), owner.st_uid, owner.st_gid), 0);

    channel->holdReading(true);
    const UUID request = UUID::random();
    channel->sendPacket({FileTransferOp::peerSendRequest, request, 0, 0, "",
                         FileTransferPeerSendRequest({"~/W"}, "~/Downloads", {}).encoded()});
    // The walk is over once the Host says what it sends.
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& message : host->messages())
                if (message.starts_with("files: sending 2 item(s), ")) return true;
            return false;
        },
        30s))
        << host->log();
    fs::rename(host->home() / "W" / "sub", host->home() / "W" / "walked");
    fs::create_directory_symlink(outside, host->home() / "W" / "sub");
    ASSERT_EQ(::lchown((host->home() / "W" / "sub").c_str(), owner.st_uid, owner.st_gid), 0);
    channel->holdReading(false);

    std::vector<FileTransferPacket> seen;
    ASSERT_TRUE(readUntil(
        *channel, [&](const FileTransferPacket& p) { return p.op == FileTransferOp::batchEnd && p.batchID == request; },
        &seen))
        << host->log();
    const auto files = filesOfBatch(seen, request);
    ASSERT_EQ(files.size(), 2u) << host->log();
    EXPECT_TRUE(files.at("W/a.bin") == large) << "byte-identical";
    EXPECT_TRUE(files.at("W/sub/hostname").empty()) << "announced by the walk, never read outside home";
    EXPECT_TRUE(host->waitForLog("files: open failed: hostname")) << host->log();
}

// A burst of 1,000 one-byte managed copies from one Viewer holds up neither another Viewer's
// receipt nor the Host's stop. The other Viewer hears that its batch was received as the Host's
// receiving side gets through it, after the whole burst; from then on its receipt comes after at
// most a few of the burst's, however far the burst's delivery is behind. A stop signal sent then
// is taken within a couple of the main queue's turns and ends the Host in order: every Viewer is
// told, and the exit code is 0.
TEST_F(FileDeliveryLive, ABurstFromOneViewerHoldsUpNeitherAnotherViewersReceiptNorTheStop) {
    using Clock = std::chrono::steady_clock;
    // When the burst's receipts arrived, and when the other Viewer heard its one batch received.
    std::mutex mutex;
    std::vector<Clock::time_point> burstReceipts;
    std::optional<Clock::time_point> heardReceived;
    struct Reader {
        std::atomic<bool> reading{true};
        std::thread thread;
        ~Reader() {
            reading = false;
            if (thread.joinable()) thread.join();
        }
    } reader;
    reader.thread = std::thread([&] {
        while (reader.reading) {
            const auto frame = channel->waitForFrame(200ms);
            const auto packet = frame ? FileTransferPacket::decode(*frame) : std::nullopt;
            std::lock_guard lock(mutex);
            if (packet && packet->op == FileTransferOp::peerSendResponse) burstReceipts.push_back(Clock::now());
        }
    });
    std::string whyNot;
    auto other = host->signIn("Bob's Viewer", whyNot);
    ASSERT_TRUE(other) << whyNot;
    auto otherChannel = openFileChannel(*other);
    ASSERT_TRUE(otherChannel);
    other->setObserver([&](const AuxFrame& frame, std::uint64_t) {
        const std::string text(frame.payload.begin(), frame.payload.end());
        std::lock_guard lock(mutex);
        if (frame.header.type == AuxPacketType::hostStatus && text.find(" received ") != std::string::npos)
            heardReceived = Clock::now();
    });

    const auto road = fileChannelRoad(*channel);
    for (int i = 0; i < 1000; ++i)
        sendFileBatch(road, FileTransferIntent::managedCopy, "~/Burst", "b" + std::to_string(i), Bytes{'b'});
    const UUID asked = sendFileBatch(fileChannelRoad(*otherChannel), FileTransferIntent::managedCopy, "~/Managed", "m", Bytes{'m'});
    const auto receipt = readUntil(
        *otherChannel,
        [&](const FileTransferPacket& p) { return p.op == FileTransferOp::peerSendResponse && p.batchID == asked; },
        nullptr, 120s);
    const auto receiptAt = Clock::now();
    ASSERT_TRUE(receipt) << host->log();
    EXPECT_TRUE(FileTransferPeerSendResponse::decode(receipt->data).value_or(FileTransferPeerSendResponse{}).accepted);
    {
        std::lock_guard lock(mutex);
        ASSERT_TRUE(heardReceived) << "the Host tells the sender as its batch is received";
        const auto between = std::count_if(burstReceipts.begin(), burstReceipts.end(), [&](Clock::time_point at) {
            return at > *heardReceived && at < receiptAt;
        });
        EXPECT_LE(between, 64) << "of the burst's receipts came after the other batch was received and before its "
                                  "receipt; the burst's receipts so far: "
                               << burstReceipts.size();
    }

    const auto logged = host->log().size();
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(60s), 0) << host->log();
    EXPECT_TRUE(other->waitForStatus("host service exiting")) << host->log();
    EXPECT_TRUE(viewer->waitForStatus("host service exiting")) << host->log();
    // What the Host delivered of the burst between the signal and taking it: at most two turns.
    const auto after = host->log().substr(logged);
    const auto taken = after.find("terminating: signal 15");
    ASSERT_NE(taken, std::string::npos) << after;
    std::size_t saved = 0;
    for (auto at = after.find("files: saved 1/1 item(s) to "); at < taken; at = after.find("files: saved 1/1", at + 1)) ++saved;
    EXPECT_LE(saved, 2u * 64u) << "of the burst's batches were delivered between the signal and the stop";
}

// ---- A stop while delivery is behind ---------------------------------------------------------

// A Viewer without a file channel (so everything the Host sends it comes in order on one
// connection) sends a burst of managed copies and the Host is stopped once it has heard some of
// them received: every batch it heard received before "host service exiting" was either saved
// or cancelled, with its receipt, before that notice, whatever still waited in the Host.
TEST_F(FileDeliveryLive, AStopAnswersEveryBatchTheViewerHeardReceivedBeforeItsExitNotice) {
    std::string whyNot;
    auto sender = host->signIn("Cleo's Viewer", whyNot);
    ASSERT_TRUE(sender) << whyNot;
    std::mutex mutex;
    std::vector<std::string> heard;  // statuses, "cancel <id>", "receipt <id> <message>", in order
    sender->setObserver([&](const AuxFrame& frame, std::uint64_t) {
        std::lock_guard lock(mutex);
        if (frame.header.type == AuxPacketType::hostStatus) heard.emplace_back(frame.payload.begin(), frame.payload.end());
        const auto packet = frame.header.type == AuxPacketType::fileTransfer ? FileTransferPacket::decode(frame.payload) : std::nullopt;
        if (packet && packet->op == FileTransferOp::cancelBatch) heard.push_back("cancel " + packet->batchID.uuidString());
        if (auto receipt = packet ? FileTransferService::peerSendResponse(*packet) : std::nullopt)
            heard.push_back("receipt " + packet->batchID.uuidString() + " " + receipt->message.value_or("saved"));
    });
    for (int i = 0; i < 300; ++i)
        sendFileBatch(controlRoad(*sender), FileTransferIntent::managedCopy, "~/Burst", "b" + std::to_string(i), Bytes{'b'});
    ASSERT_TRUE(sender->waitForStatus(" received 1 item(s)", 60s)) << host->log();
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForHostExit(60s), 0) << host->log();
    ASSERT_TRUE(sender->waitForStatus("host service exiting")) << host->log();
    std::lock_guard lock(mutex);
    const auto exiting = std::find(heard.begin(), heard.end(), "host service exiting");
    std::size_t received = 0;
    std::vector<std::string> unanswered;
    for (auto line = heard.begin(); line != exiting; ++line) {
        if (!line->starts_with("files: batch ") || line->find(" received ") == std::string::npos) continue;
        const auto id = line->substr(13, 36);
        const bool saved = std::find(line, exiting, "receipt " + id + " saved") != exiting;
        const bool cancelled = std::find(line, exiting, "receipt " + id + " Cancelled") != exiting &&
                               std::find(line, exiting, "cancel " + id) != exiting;
        ++received;
        if (!saved && !cancelled) unanswered.push_back(id);
    }
    EXPECT_GT(received, 0u);
    EXPECT_TRUE(unanswered.empty()) << unanswered.size() << " of " << received << " batches heard received, e.g. "
                                    << unanswered.front();
}

}  // namespace
}  // namespace FileDeliveryLiveTests
}  // namespace qm::test
