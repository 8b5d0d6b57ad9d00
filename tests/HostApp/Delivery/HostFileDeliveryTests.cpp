// What the Host does with the batches Viewers send and with their requests for Host files: the
// real file service on virtual time, a recording desktop, progress rows and file manager.
#include <gtest/gtest.h>

#include <fstream>

#include "HostApp/Delivery/HostFileDelivery.h"
#include "Platform/Core/LogSink.h"
#include "QuillmereProfiles/FileTransferDocuments.h"
#include "support/DescriptorShortage.h"
#include "support/RecordingHostShell.h"
#include "support/SmallDisk.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

namespace HostFileDeliveryTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

// The progress window as delivery drives it: one line per call.
struct RecordingRows : FileTransferRows {
    std::vector<std::string> events;
    std::map<UUID, std::function<void()>> cancels;
    std::shared_ptr<WindowModel> window = std::make_shared<WindowModel>();

    void addTask(const UUID& id, FileTransferDirection direction, const std::string& peer, std::int64_t count,
                 std::uint64_t, const std::vector<std::string>&, std::function<void()> onCancel) override {
        events.push_back(std::string(direction == FileTransferDirection::incoming ? "in " : "out ") + peer + " " +
                         std::to_string(count));
        cancels[id] = std::move(onCancel);
    }
    void updateProgress(const UUID&, std::uint64_t, std::uint64_t) override {}
    void setSubtitle(const UUID&, const std::string& text) override { events.push_back("subtitle " + text); }
    void completeTask(const UUID&, const std::string& summary, double delay) override {
        events.push_back("complete " + summary + " after " + std::to_string(delay).substr(0, 3));
    }
    void failTask(const UUID&, const std::string& message) override { events.push_back("fail " + message); }
    void orderFront() override { events.push_back("front"); }
    std::shared_ptr<WindowModel> foregroundPresentationWindow() override {
        window->makeKeyAndOrderFront();
        return window;
    }
};

struct Sent {
    FileTransferPacket packet;
    std::optional<std::string> token;
};

struct DeliveryHost {
    TemporaryDirectory temp;
    ManualPlatform manual;
    std::shared_ptr<FileTransferService> service;
    std::shared_ptr<RecordingHostShell> shell = std::make_shared<RecordingHostShell>();
    std::shared_ptr<SimulatedFileManagerDesktop> fileManager = std::make_shared<SimulatedFileManagerDesktop>();
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    std::shared_ptr<RecordingRows> rows = std::make_shared<RecordingRows>();
    std::shared_ptr<HostFileDelivery> delivery;
    std::optional<UUID> latest;
    std::vector<std::string> lines;
    std::vector<Sent> sent;
    const UUID viewer = UUID::random();

    explicit DeliveryHost(bool desktop = true) {
        fs::create_directories(home());
        service = std::make_shared<FileTransferService>(manual.platform, "Viewer", 256 * 1024,
                                                        FileTransferService::Folders{temp.path() / "caches", home()});
        HostFileDelivery::Environment env;
        env.mainQueue = manual.platform.mainQueue;
        env.clock = manual.clock;
        env.service = service;
        env.shell = shell;
        env.fileManager = fileManager;
        env.defaults = defaults;
        env.home = home();
        env.log = [this](const std::string& line) { lines.push_back(line); };
        env.latestInboundFileBatchID = &latest;
        env.desktop = desktop;
        delivery = HostFileDelivery::create(env);
        delivery->rows = rows;
        service->routedSendPacket = [this](const FileTransferPacket& p, const std::optional<std::string>& token) {
            sent.push_back({p, token});
        };
        service->sendPacket = [this](const FileTransferPacket& p) { sent.push_back({p, std::nullopt}); };
        service->onInboundBatchSettled = [this](const FileTransferService::InboundBatchInfo& b) {
            delivery->incomingBatchSettled(b);
        };
        service->onInboundBatchDropped = [this](const UUID& id) { delivery->incomingBatchDropped(id); };
        service->onInboundBatchRefused = [this](const UUID& id, FileTransferIntent intent,
                                                const std::optional<std::string>& peer) {
            delivery->incomingBatchRefused(id, intent, peer);
        };
        service->onBatchItemsDropped = [this](const UUID& id, std::uint64_t n) { delivery->incomingBatchItemsDropped(id, n); };
        service->onBatchCompleted = [this](const UUID& id, const std::vector<fs::path>& urls, FileTransferIntent i) {
            delivery->incomingBatchCompleted(id, urls, i);
        };
    }
    // The outgoing events as the Host wires them (rows for everything but plain copies).
    void wireOutgoing() {
        service->onOutgoingBatchStarted = [this](const UUID& id, std::int64_t count, std::uint64_t total,
                                                 FileTransferIntent intent, const std::vector<std::string>& names) {
            delivery->outgoingBatchStarted(id, count, total, intent, names);
        };
        service->onOutgoingBatchStopped = [this](const UUID& id, bool gone) { delivery->outgoingBatchStopped(id, gone); };
        service->onOutgoingBatchCompleted = [this](const UUID& id) { delivery->outgoingBatchCompleted(id); };
    }
    // A question still on the recording shell holds the run that asked it, and the run the shell.
    ~DeliveryHost() {
        run();
        shell->releaseRecorded();
    }

    fs::path home() const { return fs::weakly_canonical(temp.path()) / "home"; }
    fs::path staging() const { return temp.path() / "caches" / "QuillmereFileInbox" / "Viewer"; }
    std::size_t stagedBatches() const {
        std::error_code error;
        if (!fs::exists(staging(), error)) return 0;
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(staging()), fs::directory_iterator()));
    }
    void run() { manual.clock->runUntilIdle(); }
    bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
    bool saw(const std::string& event) const {
        return std::find(rows->events.begin(), rows->events.end(), event) != rows->events.end();
    }

    // What a Viewer's packet meets: the delivery first, then the service, as the Host wires them.
    void viewerSends(const FileTransferPacket& packet, const UUID& from) {
        if (!delivery->handleIncomingFileTransferPacket(packet, from)) service->handleIncomingPacket(packet, from.uuidString());
    }
    struct Batch {
        FileTransferIntent intent = FileTransferIntent::copy;
        std::optional<std::string> hint{};
        FileTransferDeliveryOptions options{};
        bool intentInItsOwnPacket = false;
        std::vector<std::pair<std::string, std::string>> files = {{"a.txt", "hello"}};
        bool end = true;
    };
    UUID sendBatch(const Batch& batch, std::optional<UUID> from = std::nullopt) {
        const UUID id = UUID::random();
        const UUID sender = from ? *from : viewer;
        if (batch.hint) viewerSends({FileTransferOp::directSave, id, batch.options.rawValue, 0, *batch.hint, {}}, sender);
        std::uint64_t total = 0;
        std::vector<std::string> names;
        for (const auto& [name, text] : batch.files) {
            total += text.size();
            names.push_back(name);
        }
        const auto startIntent = batch.intentInItsOwnPacket ? FileTransferIntent::copy : batch.intent;
        viewerSends({FileTransferOp::batchStart, id, total,
                     FileTransferPacket::batchStartValue2(startIntent, batch.files.size()), "", FileTransferDocuments::encodeItemNames(names)},
                    sender);
        if (batch.intentInItsOwnPacket)
            viewerSends({FileTransferOp::batchIntent, id, static_cast<std::uint64_t>(batch.intent), 0, "", {}}, sender);
        for (const auto& [name, text] : batch.files) {
            viewerSends({FileTransferOp::fileStart, id, text.size(), 0, name, {}}, sender);
            viewerSends({FileTransferOp::fileChunk, id, 0, 0, name, Bytes(text.begin(), text.end())}, sender);
            viewerSends({FileTransferOp::fileEnd, id, text.size(), 0, name, {}}, sender);
        }
        if (batch.end) viewerSends({FileTransferOp::batchEnd, id, 0, 0, "", {}}, sender);
        run();
        return id;
    }
    // The peerSendResponses sent so far, with their routing.
    std::vector<std::pair<FileTransferPeerSendResponse, std::optional<std::string>>> responses(const UUID& id) const {
        std::vector<std::pair<FileTransferPeerSendResponse, std::optional<std::string>>> out;
        for (const auto& s : sent) {
            if (s.packet.op != FileTransferOp::peerSendResponse || s.packet.batchID != id) continue;
            out.emplace_back(*FileTransferPeerSendResponse::decode(s.packet.data), s.token);
        }
        return out;
    }
    std::size_t sentOps(FileTransferOp op, const UUID& id) const {
        return static_cast<std::size_t>(std::count_if(
            sent.begin(), sent.end(), [&](const Sent& s) { return s.packet.op == op && s.packet.batchID == id; }));
    }
    void expectNothingLeft() {
        run();
        EXPECT_EQ(stagedBatches(), 0u) << "staging holds only batches in flight";
        EXPECT_EQ(service->unreleasedBatchCount(), 0u);
        EXPECT_EQ(delivery->entryCount(), 0u);
    }
};

}  // namespace

TEST(FileDelivery, AHintedCopyLandsInItsFolderNumberedUnaskedAndLeavesStagingEmpty) {
    DeliveryHost host;
    writeText(host.home() / "Incoming" / "a.txt", "already here");
    const auto id = host.sendBatch({FileTransferIntent::copy, "~/Incoming", FileTransferDeliveryOptions::promptForConflicts});
    EXPECT_EQ(fileText(host.home() / "Incoming" / "a 1.txt"), "hello");
    EXPECT_EQ(fileText(host.home() / "Incoming" / "a.txt"), "already here");
    EXPECT_TRUE(host.shell->pendingSheets.empty()) << "a plain copy never asks, whatever its options";
    EXPECT_TRUE(host.logged("files: saved 1/1 item(s) to " + (host.home() / "Incoming").string()));
    EXPECT_EQ(host.rows->events, (std::vector<std::string>{"in Viewer 1", "subtitle Saving to Incoming…",
                                                           "complete Saved 1 item(s) to Incoming after 1.5"}));
    ASSERT_EQ(host.fileManager->revealed.size(), 1u);
    EXPECT_FALSE(host.latest) << "the delivered batch no longer claims the clipboard";
    EXPECT_EQ(host.sentOps(FileTransferOp::peerSendResponse, id), 0u);
    host.expectNothingLeft();

    // A missing folder named by a relative path is made below home.
    host.sendBatch({FileTransferIntent::copy, "  Inbox/New  "});
    EXPECT_EQ(fileText(host.home() / "Inbox" / "New" / "a.txt"), "hello");
    host.expectNothingLeft();
}

TEST(FileDelivery, AManagedCopyIsAnsweredEvenWhenItsIntentArrivesAPacketLater) {
    DeliveryHost host;
    DeliveryHost::Batch batch{FileTransferIntent::managedCopy, "~/Managed", {}, true};
    batch.files = {{"one.txt", "1"}, {"two.txt", "2"}};
    const auto id = host.sendBatch(batch);
    EXPECT_EQ(fileText(host.home() / "Managed" / "two.txt"), "2");
    auto answers = host.responses(id);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].first.accepted);
    EXPECT_FALSE(answers[0].first.message);
    EXPECT_EQ(answers[0].second, host.viewer.uuidString()) << "only the asking Viewer hears it";
    host.expectNothingLeft();

    // A hint that names a file is no folder: the managed copy is refused, at both ends.
    writeText(host.home() / "plain-file", "x");
    const auto refused = host.sendBatch({FileTransferIntent::managedCopy, "~/plain-file", {}, false, {{"a.txt", "z"}}, false});
    answers = host.responses(refused);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].first.accepted);
    EXPECT_EQ(answers[0].first.message, "The destination folder is not available on this device.");
    EXPECT_EQ(host.sentOps(FileTransferOp::cancelBatch, refused), 1u);
    EXPECT_TRUE(host.saw("fail The destination folder is not available on this device."));
    host.expectNothingLeft();

    // One that names nothing is answered too, to the Viewer that sent the batch.
    const auto unnamed = host.sendBatch({FileTransferIntent::managedCopy, std::nullopt});
    ASSERT_EQ(host.responses(unnamed).size(), 1u);
    EXPECT_EQ(host.responses(unnamed)[0].second, host.viewer.uuidString());
    host.expectNothingLeft();
}

TEST(FileDelivery, AManagedCopysReceiptGoesToItsSenderWhateverAnotherViewerSaysOfItsId) {
    DeliveryHost host;
    const UUID other = UUID::random();
    const auto id = host.sendBatch({FileTransferIntent::managedCopy, "~/Managed", {}, false, {{"a.txt", "a"}}, false});
    // Another Viewer that knows the waiting batch's id names a destination for it and cancels it.
    host.viewerSends({FileTransferOp::directSave, id, 0, 0, "~/Elsewhere", {}}, other);
    host.viewerSends({FileTransferOp::cancelBatch, id, 0, 0, "", {}}, other);
    host.run();
    host.viewerSends({FileTransferOp::batchEnd, id, 0, 0, "", {}}, host.viewer);
    host.run();
    EXPECT_EQ(fileText(host.home() / "Managed" / "a.txt"), "a");
    EXPECT_FALSE(fs::exists(host.home() / "Elsewhere"));
    const auto answers = host.responses(id);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].first.accepted);
    EXPECT_EQ(answers[0].second, host.viewer.uuidString()) << "the receipt is not redirected";
    host.viewerSends({FileTransferOp::cancelBatch, id, 0, 0, "", {}}, other);
    host.expectNothingLeft();
}

TEST(FileDelivery, AManagedCopyThatCouldNotBeSavedSaysHowMuchWasSaved) {
    DeliveryHost host;
    SmallDisk disk(host.home() / "Locked", 1 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs privileges this run does not have";
    ASSERT_TRUE(disk.makeReadOnly());
    DeliveryHost::Batch batch{FileTransferIntent::managedCopy, "~/Locked"};
    batch.files = {{"a.txt", "1"}, {"b.txt", "2"}};
    const auto id = host.sendBatch(batch);
    auto answers = host.responses(id);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].first.accepted);
    EXPECT_EQ(answers[0].first.message, "Saved 0 item(s); 2 could not be saved.");
    EXPECT_TRUE(host.saw("fail Saved 0 item(s); 2 could not be saved"));
    EXPECT_EQ(host.lines.front().rfind("files: failed to deliver a.txt -> ", 0), 0u);
    host.expectNothingLeft();
}

TEST(FileDelivery, AManagedCopyCountsTheFilesItsViewerSentThatWereNotKeptAsNotSaved) {
    DeliveryHost host;
    const auto id = UUID::random();
    auto send = [&](FileTransferOp op, std::uint64_t value1, const std::string& path, const std::string& text = "") {
        host.viewerSends({op, id, value1, 0, path, Bytes(text.begin(), text.end())}, host.viewer);
    };
    send(FileTransferOp::directSave, 0, "~/Managed");
    send(FileTransferOp::batchStart, 0, "");
    send(FileTransferOp::batchIntent, static_cast<std::uint64_t>(FileTransferIntent::managedCopy), "");
    send(FileTransferOp::fileStart, 2, "kept.txt");
    send(FileTransferOp::fileChunk, 0, "kept.txt", "ok");
    send(FileTransferOp::fileEnd, 2, "kept.txt");
    // A chunk that repeats an offset; a refused name; a file inside a folder never announced
    // (its mkdir too); then a file whose fileStart never arrived: each counts once.
    send(FileTransferOp::mkdir, 0, "unannounced/sub");
    for (const std::string path : {"twice.txt", "../up.txt", "unannounced/inner.txt"}) {
        send(FileTransferOp::fileStart, 4, path);
        send(FileTransferOp::fileChunk, 0, path, "ab");
        send(FileTransferOp::fileChunk, path == "twice.txt" ? 0 : 2, path, "ab");
        send(FileTransferOp::fileEnd, 4, path);
    }
    send(FileTransferOp::fileChunk, 0, "", "lost");
    send(FileTransferOp::fileEnd, 4, "");
    send(FileTransferOp::batchEnd, 0, "");
    host.run();

    EXPECT_EQ(fileText(host.home() / "Managed" / "kept.txt"), "ok");
    const auto answers = host.responses(id);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].first.accepted);
    EXPECT_EQ(answers[0].first.message, "Saved 1 item(s); 5 could not be saved.");
    EXPECT_TRUE(host.saw("fail Saved 1 item(s); 5 could not be saved"));
    host.expectNothingLeft();
}

// A Host out of descriptors (a flood of connections) answers every managed copy and never blames
// the folder a Viewer named: a batch received whole whose folder it could not open, and one whose
// start it could not stage, are told the Host could not take them now. In a child process, which
// alone runs short.
TEST(FileDelivery, AHostOutOfDescriptorsTellsAManagedCopyItCouldNotTakeItNowNeverThatItsFolderIsMissing) {
    const std::string busy = "The Host could not take these files now. Try again later.";
    const UUID received = UUID::random(), started = UUID::random();
    const auto said = inChildProcess([&] {
        std::vector<std::string> out;
        {
            DeliveryHost host;
            fs::create_directories(host.home() / "Existing");
            auto receipt = [&](const UUID& id) {
                const auto answers = host.responses(id);
                if (answers.size() != 1) return std::to_string(answers.size()) + " receipts";
                return std::string(answers[0].first.accepted ? "accepted " : "refused ") +
                       answers[0].first.message.value_or("");
            };
            auto send = [&](const UUID& id) {
                const auto value2 = FileTransferPacket::batchStartValue2(FileTransferIntent::managedCopy, 1);
                host.viewerSends({FileTransferOp::directSave, id, 0, 0, "~/Existing", {}}, host.viewer);
                host.viewerSends({FileTransferOp::batchStart, id, 1, value2, "", {}}, host.viewer);
                host.viewerSends({FileTransferOp::fileStart, id, 1, 0, "a.txt", {}}, host.viewer);
                host.viewerSends({FileTransferOp::fileChunk, id, 0, 0, "a.txt", Bytes{'a'}}, host.viewer);
                host.viewerSends({FileTransferOp::fileEnd, id, 1, 0, "a.txt", {}}, host.viewer);
                host.viewerSends({FileTransferOp::batchEnd, id, 0, 0, "", {}}, host.viewer);
            };
            // Staged while there were descriptors; the delivery takes it up once there are none.
            send(received);
            host.manual.queue("quillmere.filetransfer.recv")->runUntilIdle();
            DescriptorsTaken taken;
            host.run();
            out.push_back("received: " + receipt(received));
            // Its start comes while there are none (the refused batch's folder let go of two).
            DescriptorsTaken more;
            send(started);
            host.run();
            out.push_back("started: " + receipt(started));
            more.release();
            taken.release();
            host.run();
            for (const auto& event : host.rows->events) out.push_back("row: " + event);
            for (const auto& line : host.lines) out.push_back("log: " + line);
            out.push_back("delivered: " + std::to_string(std::distance(fs::directory_iterator(host.home() / "Existing"),
                                                                         fs::directory_iterator())));
            out.push_back("left: " + std::to_string(host.stagedBatches() + host.service->unreleasedBatchCount() +
                                                    host.delivery->entryCount()));
        }
        std::string text;
        for (const auto& line : out) text += line + "\n";
        return text;
    });
    EXPECT_EQ(said, "received: refused " + busy + "\n" + "started: refused " + busy + "\n" + "row: in Viewer 1\n" +
                        "row: fail " + busy + "\n" + "log: files: refused batch " + shortBatchID(received) +
                        ": the Host is short of its own resources: its destination folder could not be opened: "
                        "Too many open files\n" +
                        "delivered: 0\nleft: 0\n");
}

// A batch refused at its start never settles; a managed copy is still answered, once, as one the
// Host could not take now. Not a start under the id of a batch still being delivered: what is
// said under that id is that batch's.
TEST(FileDelivery, AManagedCopyRefusedAtItsStartIsAnsweredUnlessItsIdIsABatchStillBeingDelivered) {
    DeliveryHost host;
    std::vector<UUID> unfinished;
    for (std::size_t i = 0; i < FileTransferService::maxInboundBatchesPerPeer; ++i)
        unfinished.push_back(host.sendBatch({FileTransferIntent::managedCopy, "~/Managed", {}, false, {{"a.txt", "a"}}, false}));
    // Whether its batchStart or the batchIntent right after it says it is a managed copy.
    for (const bool intentInItsOwnPacket : {false, true}) {
        const auto beyond =
            host.sendBatch({FileTransferIntent::managedCopy, "~/Managed", {}, intentInItsOwnPacket, {{"b.txt", "b"}}});
        const auto answers = host.responses(beyond);
        ASSERT_EQ(answers.size(), 1u) << "intent in its own packet: " << intentInItsOwnPacket;
        EXPECT_FALSE(answers[0].first.accepted);
        EXPECT_EQ(answers[0].first.message, "The Host could not take these files now. Try again later.");
        EXPECT_EQ(answers[0].second, host.viewer.uuidString());
    }
    const auto plain = host.sendBatch({FileTransferIntent::copy, "~/Managed", {}, false, {{"c.txt", "c"}}});
    EXPECT_EQ(host.sentOps(FileTransferOp::peerSendResponse, plain), 0u) << "nothing waits for an answer";
    EXPECT_FALSE(fs::exists(host.home() / "Managed" / "b.txt"));
    for (const auto& id : unfinished) host.viewerSends({FileTransferOp::cancelBatch, id, 0, 0, "", {}}, host.viewer);
    host.run();

    // A finished copy waits for its folder; a managed copy started under its id is refused.
    const auto waiting = host.sendBatch({});
    ASSERT_EQ(host.delivery->batchAskedForFolder(), waiting);
    host.viewerSends({FileTransferOp::batchStart, waiting, 1, FileTransferPacket::batchStartValue2(FileTransferIntent::managedCopy, 1),
                      "", {}},
                     host.viewer);
    host.run();
    EXPECT_EQ(host.sentOps(FileTransferOp::peerSendResponse, waiting), 0u);
    host.shell->pendingFolderPanels[0](host.home() / "Chosen");
    host.run();
    EXPECT_EQ(fileText(host.home() / "Chosen" / "a.txt"), "hello");
    EXPECT_EQ(host.sentOps(FileTransferOp::peerSendResponse, waiting), 0u);
    host.expectNothingLeft();
}

TEST(FileDelivery, APlainCopyWithoutAUsableFolderAsksWhereBeforeOrAfterItsItemsArrive) {
    DeliveryHost host;
    writeText(host.home() / "plain-file", "x");
    // Picked after every item arrived: delivered at the pick.
    host.sendBatch({FileTransferIntent::copy, "~/plain-file"});
    ASSERT_EQ(host.shell->pendingFolderPanels.size(), 1u);
    EXPECT_EQ(host.shell->folderPanels[0].panel.title, "Choose Save Location");
    EXPECT_EQ(host.shell->folderPanels[0].panel.prompt, "Save Here");
    EXPECT_EQ(host.shell->folderPanels[0].window, host.rows->window) << "a sheet on the progress window";
    EXPECT_TRUE(host.saw("front"));
    auto pick = host.shell->pendingFolderPanels[0];
    pick(host.home() / "Picked");
    host.run();
    EXPECT_EQ(fileText(host.home() / "Picked" / "a.txt"), "hello");
    host.expectNothingLeft();

    // Picked before its items arrived: delivered at its end.
    const auto early = host.sendBatch({FileTransferIntent::copy, std::nullopt, {}, false, {{"b.txt", "b"}}, false});
    host.shell->pendingFolderPanels[1](host.home() / "Early");
    host.run();
    EXPECT_FALSE(fs::exists(host.home() / "Early" / "b.txt"));
    host.viewerSends({FileTransferOp::batchEnd, early, 0, 0, "", {}}, host.viewer);
    host.run();
    EXPECT_EQ(fileText(host.home() / "Early" / "b.txt"), "b");
    host.expectNothingLeft();

    // Cancelled: the row closes as a success, the Viewer's send is cancelled, nothing stays staged
    // and nobody is answered.
    const auto cancelled = host.sendBatch({FileTransferIntent::copy, "   "});
    host.rows->events.clear();
    host.shell->pendingFolderPanels[2](std::nullopt);
    host.run();
    EXPECT_EQ(host.rows->events, std::vector<std::string>{"complete Cancelled — no save location chosen after 1.0"});
    EXPECT_EQ(host.sentOps(FileTransferOp::cancelBatch, cancelled), 1u);
    EXPECT_EQ(host.sentOps(FileTransferOp::peerSendResponse, cancelled), 0u);
    host.expectNothingLeft();
}

// Never the process's working folder, which may be one the user cannot write to.
TEST(FileDelivery, TheFolderPanelOpensAtHomeThenWhereTheUserLastChoseAFolder) {
    DeliveryHost host;
    host.sendBatch({});
    ASSERT_EQ(host.shell->folderPanels.size(), 1u);
    EXPECT_EQ(host.shell->folderPanels[0].panel.directory, host.home());
    host.shell->pendingFolderPanels[0](host.home() / "Picked");
    host.run();

    host.sendBatch({});
    ASSERT_EQ(host.shell->folderPanels.size(), 2u);
    EXPECT_EQ(host.shell->folderPanels[1].panel.directory, host.home() / "Picked");
    host.shell->pendingFolderPanels[1](std::nullopt);
    host.run();
    host.sendBatch({});
    ASSERT_EQ(host.shell->folderPanels.size(), 3u);
    EXPECT_EQ(host.shell->folderPanels[2].panel.directory, host.home() / "Picked") << "a cancelled panel changes nothing";

    // A folder that went since is not opened: home is.
    host.shell->pendingFolderPanels[2](host.home() / "Gone");
    host.run();
    fs::remove_all(host.home() / "Gone");
    host.sendBatch({});
    ASSERT_EQ(host.shell->folderPanels.size(), 4u);
    EXPECT_EQ(host.shell->folderPanels[3].panel.directory, host.home());
    host.shell->pendingFolderPanels[3](std::nullopt);
    host.expectNothingLeft();
}

TEST(FileDelivery, OneFolderPanelAsksAtATimeAndAViewerBeyondItsShareOfTheQueueIsRefused) {
    DeliveryHost host;
    const std::string refusal = "fail The destination folder is not available on this device.";
    const auto share = HostFileDelivery::maxBatchesAskingForFolderPerViewer;
    std::vector<UUID> asked;
    for (std::size_t i = 0; i < share + 2; ++i) asked.push_back(host.sendBatch({}));
    EXPECT_EQ(host.shell->folderPanels.size(), 1u);
    EXPECT_EQ(host.shell->openFolderPanelCount(), 1u);
    EXPECT_EQ(host.delivery->batchAskedForFolder(), asked[0]);
    EXPECT_EQ(host.delivery->batchesWaitingForFolder(), std::deque<UUID>(asked.begin() + 1, asked.begin() + share));
    for (std::size_t i = share; i < asked.size(); ++i) {
        EXPECT_EQ(host.sentOps(FileTransferOp::cancelBatch, asked[i]), 1u) << "refused at both ends";
    }
    EXPECT_EQ(std::count(host.rows->events.begin(), host.rows->events.end(), refusal), 2);
    EXPECT_EQ(host.service->unreleasedBatchCount(), share) << "a refused batch leaves nothing staged";
    // Another Viewer's batch waits in its own share.
    const UUID other = UUID::random();
    const auto fromOther = host.sendBatch({}, other);
    EXPECT_EQ(host.delivery->batchesWaitingForFolder().back(), fromOther);
    // All Viewers together have a bound of their own.
    while (host.delivery->batchesWaitingForFolder().size() + 1 < HostFileDelivery::maxBatchesAskingForFolder)
        host.sendBatch({}, UUID::random());
    const auto beyondAll = host.sendBatch({}, UUID::random());
    EXPECT_EQ(host.sentOps(FileTransferOp::cancelBatch, beyondAll), 1u);

    // Each answer opens the next panel, in arrival order: a folder, a cancel, the row's Cancel.
    host.shell->pendingFolderPanels[0](host.home() / "First");
    host.run();
    EXPECT_EQ(fileText(host.home() / "First" / "a.txt"), "hello");
    ASSERT_EQ(host.shell->folderPanels.size(), 2u);
    EXPECT_EQ(host.delivery->batchAskedForFolder(), asked[1]);
    host.shell->pendingFolderPanels[1](std::nullopt);
    host.run();
    EXPECT_EQ(host.sentOps(FileTransferOp::cancelBatch, asked[1]), 1u);
    EXPECT_EQ(host.delivery->batchAskedForFolder(), asked[2]);
    host.rows->cancels.at(asked[2])();
    host.run();
    EXPECT_TRUE(host.shell->folderPanels[2].closed) << "nobody waits for its answer any more";
    host.shell->pendingFolderPanels[2](host.home() / "Late");
    host.run();
    EXPECT_FALSE(fs::exists(host.home() / "Late"));
    EXPECT_EQ(host.delivery->batchAskedForFolder(), asked[3]);
    EXPECT_EQ(host.shell->openFolderPanelCount(), 1u);

    for (std::size_t answered = 3; host.delivery->batchAskedForFolder(); ++answered) {
        ASSERT_LT(answered, host.shell->pendingFolderPanels.size());
        host.shell->pendingFolderPanels[answered](host.home() / "Rest");
        host.run();
    }
    EXPECT_EQ(host.shell->folderPanels.size(), HostFileDelivery::maxBatchesAskingForFolder);
    host.expectNothingLeft();
}

TEST(FileDelivery, ABatchThatEndedEmptyAsksNothingAndOneDroppedWhileWaitingTakesItsPanelAlong) {
    DeliveryHost host;
    for (int i = 0; i < 20; ++i) host.sendBatch({FileTransferIntent::copy, std::nullopt, {}, false, {}});
    EXPECT_TRUE(host.shell->folderPanels.empty());
    EXPECT_TRUE(host.rows->events.empty());
    host.expectNothingLeft();
    // One that names a usable folder is still saved there, with nothing in it.
    host.sendBatch({FileTransferIntent::copy, "~/Incoming", {}, false, {}});
    EXPECT_TRUE(host.saw("complete Saved 0 item(s) to Incoming after 1.5"));
    host.expectNothingLeft();

    // Unfinished batches dropped by the service (the Viewer cancelled them or left): the one on
    // the panel closes it, a waiting one leaves the queue; the next batch is asked about.
    const auto onPanel = host.sendBatch({FileTransferIntent::copy, std::nullopt, {}, false, {{"a.txt", "a"}}, false});
    const auto waiting = host.sendBatch({FileTransferIntent::copy, std::nullopt, {}, false, {{"b.txt", "b"}}, false});
    const UUID other = UUID::random();
    const auto next = host.sendBatch({FileTransferIntent::copy, std::nullopt, {}, false, {{"c.txt", "c"}}}, other);
    host.rows->events.clear();
    host.service->cancelInboundBatches(host.viewer.uuidString());
    host.run();
    EXPECT_TRUE(host.shell->folderPanels[0].closed);
    EXPECT_EQ(host.rows->events,
              (std::vector<std::string>{"complete Cancelled after 1.0", "complete Cancelled after 1.0", "front"}));
    EXPECT_EQ(host.sentOps(FileTransferOp::cancelBatch, onPanel) + host.sentOps(FileTransferOp::cancelBatch, waiting), 0u)
        << "nobody is left to tell";
    EXPECT_EQ(host.delivery->batchAskedForFolder(), next);
    ASSERT_EQ(host.shell->folderPanels.size(), 2u);
    host.shell->pendingFolderPanels[1](host.home() / "Next");
    host.run();
    EXPECT_EQ(fileText(host.home() / "Next" / "c.txt"), "c");
    host.expectNothingLeft();
}

TEST(FileDelivery, ADropLandsInTheFrontFolderElseTheConfiguredOneElseTheDesktop) {
    DeliveryHost host;
    host.fileManager->frontWindow = host.home() / "Front";
    host.sendBatch({FileTransferIntent::dropToFinder});
    EXPECT_EQ(fileText(host.home() / "Front" / "a.txt"), "hello");
    EXPECT_TRUE(host.saw("subtitle Dropping into Finder…"));
    EXPECT_TRUE(host.saw("complete Dropped 1 item(s) into Finder after 1.5"));
    EXPECT_TRUE(host.logged("files: dropped 1/1 item(s) into Finder"));

    host.fileManager->frontWindow.reset();
    host.fileManager->frontWindowError = "no answer";
    host.defaults->set(HostFileDelivery::dropFolderKey, std::string("~/Drops"));
    host.sendBatch({FileTransferIntent::dropToFinder});
    EXPECT_EQ(fileText(host.home() / "Drops" / "a.txt"), "hello");
    EXPECT_TRUE(host.logged("files: file manager front window failed: no answer"));

    host.fileManager->frontWindowError.clear();
    host.defaults->remove(HostFileDelivery::dropFolderKey);
    host.fileManager->desktop = host.home() / "Schreibtisch";
    host.sendBatch({FileTransferIntent::dropToFinder});
    EXPECT_EQ(fileText(host.home() / "Schreibtisch" / "a.txt"), "hello");
    host.fileManager->desktop.reset();
    host.sendBatch({FileTransferIntent::dropToFinder});
    EXPECT_EQ(fileText(host.home() / "Desktop" / "a.txt"), "hello");
    EXPECT_EQ(host.fileManager->revealed.size(), 4u);
    host.expectNothingLeft();
}

TEST(FileDelivery, DestinationHintsAndRequestedPathsStayInsideHome) {
    TemporaryDirectory temp;
    const auto home = fs::weakly_canonical(temp.path()) / "home";
    fs::create_directories(home / "Documents");
    writeText(home / "notes.txt", "n");
    writeText(temp.path() / "outside" / "secret.txt", "s");
    fs::create_symlink(temp.path() / "outside", home / "escape");

    EXPECT_EQ(HostFileDelivery::resolveDestinationHint("~/Incoming", home), home / "Incoming");
    EXPECT_TRUE(fs::is_directory(home / "Incoming"));
    EXPECT_EQ(HostFileDelivery::resolveDestinationHint(home.string() + "/Documents/", home), home / "Documents");
    EXPECT_EQ(HostFileDelivery::resolveDestinationHint("~", home), home);
    for (const std::string hint : {"   ", "~/notes.txt", "/etc", "~/../outside", "~/escape", "~/escape/new",
                                   "Documents/../../outside", "~root/x"}) {
        EXPECT_FALSE(HostFileDelivery::resolveDestinationHint(hint, home)) << hint;
    }
    EXPECT_FALSE(fs::exists(temp.path() / "outside" / "new")) << "nothing is made outside home";

    // A hint is followed one step at a time: ".." after a missing folder is not folded away into
    // a path that passes a link out of home, and a refused hint makes nothing, in home or out.
    fs::create_directory_symlink("../outside", home / "up");
    for (const std::string hint : {"~/missing/../escape", "~/missing/../escape/new", "~/up/new", "missing/../../outside"}) {
        EXPECT_FALSE(HostFileDelivery::resolveDestinationHint(hint, home)) << hint;
    }
    EXPECT_FALSE(fs::exists(temp.path() / "outside" / "new"));
    EXPECT_FALSE(fs::exists(home / "missing"));
    // Links and ".." that stay inside home still lead where they point.
    fs::create_directory_symlink(home / "Documents", home / "docs-absolute");
    fs::create_directory_symlink("Documents", home / "docs-relative");
    EXPECT_EQ(HostFileDelivery::resolveDestinationHint("~/docs-absolute/Sub", home), home / "Documents" / "Sub");
    EXPECT_EQ(HostFileDelivery::resolveDestinationHint("~/Documents/../docs-relative/./Sub/", home),
              home / "Documents" / "Sub");

    EXPECT_EQ(HostFileDelivery::confinedSourcePath("~/notes.txt", home), home / "notes.txt");
    EXPECT_EQ(HostFileDelivery::confinedSourcePath("notes.txt", home), home / "notes.txt");
    EXPECT_EQ(HostFileDelivery::confinedSourcePath("~", home), home);
    for (const auto& path : std::vector<std::string>{"~/escape/secret.txt",
                                                     (temp.path() / "outside" / "secret.txt").string(),
                                                     "~/../outside/secret.txt", "~/missing.txt"}) {
        EXPECT_FALSE(HostFileDelivery::confinedSourcePath(path, home)) << path;
    }
}

TEST(FileDelivery, ABatchAimedThroughALinkOutOfHomePutsNothingOutsideIt) {
    DeliveryHost host;
    const auto outside = host.temp.path() / "outside";
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, host.home() / "lnk");

    // A folded hint that names the link: the managed copy is refused.
    const auto managed = host.sendBatch({FileTransferIntent::managedCopy, "~/missing/../lnk"});
    ASSERT_EQ(host.responses(managed).size(), 1u);
    EXPECT_EQ(host.responses(managed)[0].first.message, "The destination folder is not available on this device.");
    EXPECT_TRUE(fs::is_empty(outside));

    // The folder checked at a batch's start is swapped for a link out of home before the items
    // arrive: they go nowhere, whether or not conflicts are asked about.
    const auto plain = host.sendBatch({FileTransferIntent::copy, "~/Incoming", {}, false, {{"late.txt", "late"}}, false});
    const auto asking = host.sendBatch({FileTransferIntent::managedCopy, "~/Asking",
                                        FileTransferDeliveryOptions::promptForConflicts, false, {{"a.txt", "a"}}, false});
    for (const std::string name : {"Incoming", "Asking"}) {
        fs::rename(host.home() / name, host.home() / (name + "-moved"));
        fs::create_directory_symlink(outside, host.home() / name);
    }
    for (const auto& id : {plain, asking}) host.viewerSends({FileTransferOp::batchEnd, id, 0, 0, "", {}}, host.viewer);
    host.run();
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_TRUE(host.saw("fail Saved 0 item(s); 1 could not be saved"));
    EXPECT_EQ(host.responses(asking).at(0).first.message, "Saved 0 item(s); 1 could not be saved.");
    host.expectNothingLeft();
}

TEST(FileDelivery, ViewerTextInALogLineIsEscapedOntoThatLine) {
    DeliveryHost host;
    host.sendBatch({FileTransferIntent::copy, "~/In\nfiles: forged"});
    EXPECT_EQ(fileText(host.home() / "In\nfiles: forged" / "a.txt"), "hello");
    EXPECT_TRUE(host.logged("files: saved 1/1 item(s) to " + host.home().string() + "/In\\nfiles: forged"));
    for (const auto& line : host.lines) EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    host.expectNothingLeft();
}

TEST(FileDelivery, ARequestedFolderIsSentWithoutTheLinksInItThatLeadOutOfHome) {
    DeliveryHost host;
    std::vector<std::string> status;
    host.service->onStatus = [&](const std::string& line, const FileTransferService::StatusSource&) {
        status.push_back(line);
    };
    const auto outside = host.temp.path() / "outside";
    writeText(outside / "secret.txt", "s");
    writeText(host.home() / "shared" / "mine.txt", "m");
    writeText(host.home() / "notes.txt", "n");
    fs::create_directory_symlink(outside, host.home() / "shared" / "etc");
    fs::create_symlink(outside / "secret.txt", host.home() / "shared" / "secret-link");
    fs::create_symlink(host.home() / "notes.txt", host.home() / "shared" / "notes-link");

    const UUID id = UUID::random();
    const FileTransferPeerSendRequest request({"~/shared"}, "~/Downloads", {});
    host.viewerSends({FileTransferOp::peerSendRequest, id, 0, 0, "", request.encoded()}, host.viewer);
    host.run();
    std::vector<std::string> paths;
    for (const auto& s : host.sent) {
        if (s.packet.batchID == id && (s.packet.op == FileTransferOp::mkdir || s.packet.op == FileTransferOp::fileStart))
            paths.push_back(s.packet.path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"shared", "shared/mine.txt", "shared/notes-link"}));
    ASSERT_FALSE(status.empty());
    EXPECT_NE(status.front().find("; left out 2 link(s) leading outside " + host.home().string()), std::string::npos)
        << status.front();
}

TEST(FileDelivery, ARequestForHostFilesIsSentBackToTheAskingViewerAloneOrRefusedWithAReason) {
    DeliveryHost host;
    writeText(host.home() / "notes.txt", "n");
    fs::create_symlink(host.home() / "notes.txt", host.home() / "same-notes");
    auto ask = [&](const std::vector<std::string>& paths) {
        const UUID id = UUID::random();
        FileTransferPeerSendRequest request(paths, "~/Downloads", FileTransferDeliveryOptions::promptForConflicts);
        host.viewerSends({FileTransferOp::peerSendRequest, id, 0, 0, "", request.encoded()}, host.viewer);
        host.run();
        return id;
    };
    const auto served = ask({"~/notes.txt", "~/same-notes"});
    auto answers = host.responses(served);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].first.accepted);
    EXPECT_FALSE(answers[0].first.message);
    EXPECT_EQ(answers[0].second, host.viewer.uuidString());
    EXPECT_TRUE(host.logged("files: requested send of 1 item(s) to Viewer session " + host.viewer.uuidString().substr(0, 8)));
    // The answering batch carries the request's id, is a managed copy and goes to that Viewer only.
    bool started = false;
    for (const auto& s : host.sent) {
        if (s.packet.batchID != served) continue;
        EXPECT_EQ(s.token, host.viewer.uuidString());
        if (s.packet.op == FileTransferOp::directSave) {
            EXPECT_EQ(s.packet.path, "~/Downloads");
        }
        if (s.packet.op != FileTransferOp::batchStart) continue;
        started = true;
        EXPECT_EQ(FileTransferPacket::batchStartIntent(s.packet.value2), FileTransferIntent::managedCopy);
        EXPECT_EQ(FileTransferPacket::batchStartFileCount(s.packet.value2), 1u) << "the linked duplicate is sent once";
    }
    EXPECT_TRUE(started);

    const auto outside = ask({"/etc/hostname", "~/../outside"});
    ASSERT_EQ(host.responses(outside).size(), 1u);
    EXPECT_EQ(host.responses(outside)[0].first.message, "The requested files are no longer available on the Host.");
    EXPECT_TRUE(host.logged("files: rejected peer send request with no readable Home paths"));
    EXPECT_EQ(host.sentOps(FileTransferOp::batchStart, outside), 0u);

    const UUID malformed = UUID::random();
    host.viewerSends({FileTransferOp::peerSendRequest, malformed, 0, 0, "", Bytes{'{', '"'}}, host.viewer);
    host.run();
    ASSERT_EQ(host.responses(malformed).size(), 1u);
    EXPECT_EQ(host.responses(malformed)[0].first.message, "The Host could not read the requested transfer.");
    EXPECT_TRUE(host.logged("files: rejected malformed peer send request"));
}

TEST(FileDelivery, ARequestThatReusesTheIdOfABatchOnItsWayIsRefusedAndLeavesThatBatchAlone) {
    DeliveryHost host;
    writeText(host.home() / "notes.txt", "n");
    const UUID other = UUID::random();
    const UUID id = UUID::random();
    const FileTransferPeerSendRequest request({"~/notes.txt"}, "~/Downloads", {});
    const FileTransferPacket packet{FileTransferOp::peerSendRequest, id, 0, 0, "", request.encoded()};
    // The send side's queue does not run in between: the first batch is still on its way.
    host.viewerSends(packet, host.viewer);
    host.viewerSends(packet, other);
    host.viewerSends(packet, host.viewer);
    EXPECT_EQ(host.service->outgoingBatchCount(host.viewer.uuidString()), 1u);
    EXPECT_EQ(host.service->outgoingBatchCount(other.uuidString()), 0u);
    // The batch is not the other Viewer's to cancel.
    host.viewerSends({FileTransferOp::cancelBatch, id, 0, 0, "", {}}, other);
    host.run();

    const auto answers = host.responses(id);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_TRUE(answers[0].first.accepted);
    EXPECT_EQ(answers[0].second, host.viewer.uuidString());
    for (std::size_t i = 1; i < answers.size(); ++i) {
        EXPECT_FALSE(answers[i].first.accepted);
        EXPECT_EQ(answers[i].first.message, "The Host could not prepare the requested transfer.");
    }
    EXPECT_EQ(answers[1].second, other.uuidString());
    EXPECT_TRUE(host.logged("files: could not queue peer send request"));
    EXPECT_EQ(host.sentOps(FileTransferOp::batchStart, id), 1u);
    EXPECT_EQ(host.sentOps(FileTransferOp::batchEnd, id), 1u) << "the batch on its way ran to its end";
    for (const auto& s : host.sent) {
        if (s.packet.batchID == id && s.packet.op != FileTransferOp::peerSendResponse) {
            EXPECT_EQ(s.token, host.viewer.uuidString());
        }
    }
    EXPECT_EQ(host.service->outgoingBatchCount(host.viewer.uuidString()), 0u);

    // Once that batch has left, its id may be asked for again.
    host.viewerSends(packet, host.viewer);
    host.run();
    ASSERT_EQ(host.responses(id).size(), 4u);
    EXPECT_TRUE(host.responses(id)[3].first.accepted);
}

TEST(FileDelivery, AViewerGetsAFewRequestedBatchesOnTheirWayAtOnceAndTheRestRefusedInOneCount) {
    DeliveryHost host;
    writeText(host.home() / "notes.txt", "n");
    const std::string refusal = "The Host could not prepare the requested transfer.";
    auto ask = [&](const UUID& from) {
        const UUID id = UUID::random();
        FileTransferPeerSendRequest request({"~/notes.txt"}, "~/Downloads", {});
        host.viewerSends({FileTransferOp::peerSendRequest, id, 0, 0, "", request.encoded()}, from);
        return id;
    };
    // A burst before any batch could leave: the queue of the send side is not run in between.
    std::vector<UUID> burst;
    for (int i = 0; i < 10; ++i) burst.push_back(ask(host.viewer));
    const UUID other = UUID::random();
    const auto otherRequest = ask(other);
    host.run();

    std::size_t accepted = 0;
    for (const auto& id : burst) {
        auto answers = host.responses(id);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].second, host.viewer.uuidString());
        if (answers[0].first.accepted) {
            ++accepted;
            EXPECT_EQ(host.sentOps(FileTransferOp::batchStart, id), 1u);
        } else {
            EXPECT_EQ(answers[0].first.message, refusal);
            EXPECT_EQ(host.sentOps(FileTransferOp::batchStart, id), 0u) << "a refused request queues nothing";
        }
    }
    EXPECT_EQ(accepted, PeerSendBudget::maxBatchesInFlight);
    ASSERT_EQ(host.responses(otherRequest).size(), 1u);
    EXPECT_TRUE(host.responses(otherRequest)[0].first.accepted) << "another Viewer's budget is its own";
    const auto who = "Viewer session " + host.viewer.uuidString().substr(0, 8);
    EXPECT_EQ(std::count_if(host.lines.begin(), host.lines.end(),
                            [](const std::string& line) { return line.find("peer send requests from") != std::string::npos; }),
              1)
        << "one line opens the burst";

    // Once the batches have left, the next request is served and the burst is counted in one line.
    const auto later = ask(host.viewer);
    host.run();
    ASSERT_EQ(host.responses(later).size(), 1u);
    EXPECT_TRUE(host.responses(later)[0].first.accepted);
    EXPECT_TRUE(host.logged("files: refused 6 peer send request(s) from " + who + " while 4 batches were on their way"));
}

TEST(FileDelivery, CancelsTouchOnlyWhatIsTheirs) {
    DeliveryHost host;
    const UUID other = UUID::random();
    // Destination and cancel packets of a batch that has not started hold nothing here.
    const UUID id = UUID::random();
    host.viewerSends({FileTransferOp::directSave, id, 0, 0, "~/A", {}}, host.viewer);
    host.viewerSends({FileTransferOp::directSave, id, 0, 0, "~/A", {}}, other);
    host.viewerSends({FileTransferOp::cancelBatch, id, 0, 0, "", {}}, other);
    host.run();
    EXPECT_EQ(host.delivery->entryCount(), 0u);
    host.viewerSends({FileTransferOp::cancelBatch, id, 0, 0, "", {}}, host.viewer);
    host.run();

    // A Viewer that cancels its running batch closes its row; another Viewer's cancel does nothing.
    const auto running = host.sendBatch({FileTransferIntent::copy, "~/Running", {}, false, {{"a.txt", "a"}}, false});
    host.viewerSends({FileTransferOp::cancelBatch, running, 0, 0, "", {}}, other);
    host.run();
    EXPECT_FALSE(host.saw("complete Cancelled after 1.0"));
    host.viewerSends({FileTransferOp::cancelBatch, running, 0, 0, "", {}}, host.viewer);
    host.run();
    EXPECT_TRUE(host.saw("complete Cancelled after 1.0"));
    host.expectNothingLeft();

    // The Host's user cancels a managed copy's row: its Viewer hears "Cancelled".
    const auto managed = host.sendBatch({FileTransferIntent::managedCopy, "~/M", {}, false, {{"a.txt", "a"}}, false});
    host.rows->cancels.at(managed)();
    host.run();
    ASSERT_EQ(host.responses(managed).size(), 1u);
    EXPECT_EQ(host.responses(managed)[0].first.message, "Cancelled");
    EXPECT_EQ(host.sentOps(FileTransferOp::cancelBatch, managed), 1u);
    host.expectNothingLeft();
}

TEST(FileDelivery, AFolderSwappedForALinkOutOfHomeWhileAConflictIsAskedAboutGetsNothingAndTheViewerIsToldSo) {
    DeliveryHost host;
    // Someone else's file that anyone may write, in a folder outside home the user may write.
    const auto outside = host.temp.path() / "outside";
    writeText(outside / "a.txt", "theirs");
    fs::permissions(outside / "a.txt", fs::perms(0666));
    struct Case {
        std::string folder;
        int response;
        FileTransferDeliveryOptions options;
        std::string told;
    };
    const auto asking = FileTransferDeliveryOptions::promptForConflicts;
    const FileTransferDeliveryOptions backingUp{asking, FileTransferDeliveryOptions::backupBeforeOverwrite};
    const std::string notSaved = "Saved 0 item(s); 2 could not be saved";
    for (const auto& [folder, response, options, told] :
         {Case{"KeepBoth", 1000, asking, notSaved}, Case{"Replace", 1002, asking, notSaved},
          Case{"Backup", 1002, backingUp, notSaved}, Case{"Stop", 1001, asking, "Stopped after saving 0 item(s)"}}) {
        SCOPED_TRACE(folder);
        writeText(host.home() / folder / "a.txt", "old");
        DeliveryHost::Batch batch{FileTransferIntent::managedCopy, "~/" + folder, options};
        batch.files = {{"a.txt", "new"}, {"b.txt", "b"}};
        const auto id = host.sendBatch(batch);
        ASSERT_EQ(host.shell->pendingSheets.size(), 1u) << "a.txt is asked about";
        // While the question is open, another program of the user's swaps the folder for a link.
        fs::rename(host.home() / folder, host.home() / (folder + "-moved"));
        fs::create_directory_symlink(outside, host.home() / folder);
        auto answer = host.shell->pendingSheets.front();
        host.shell->pendingSheets.clear();
        answer(response);
        host.run();

        EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1) << "only their file";
        EXPECT_EQ(fileText(outside / "a.txt"), "theirs");
        EXPECT_EQ(fileText(host.home() / (folder + "-moved") / "a.txt"), "old");
        EXPECT_FALSE(fs::exists(host.home() / "Corventis Backups" / "transfer")) << "nothing was replaced";
        const auto answers = host.responses(id);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_FALSE(answers[0].first.accepted);
        EXPECT_EQ(answers[0].first.message, told + ".");
        EXPECT_TRUE(host.saw("fail " + told));
        EXPECT_TRUE(host.logged("files: saved 0/2 item(s) to " + (host.home() / folder).string()));
        host.expectNothingLeft();
    }
}

// The folder itself moved out of home (on the same file system) with a link to it left at its
// path: it is no longer where the Viewer and the user are told the items go.
TEST(FileDelivery, AFolderMovedOutOfHomeWithALinkToItLeftInPlaceWhileAConflictIsAskedGetsNothing) {
    DeliveryHost host;
    for (const auto& [folder, response] : {std::pair{std::string("KeepBoth"), 1000}, std::pair{std::string("Replace"), 1002}}) {
        SCOPED_TRACE(folder);
        writeText(host.home() / folder / "a.txt", "old");
        DeliveryHost::Batch batch{FileTransferIntent::managedCopy, "~/" + folder, FileTransferDeliveryOptions::promptForConflicts};
        batch.files = {{"a.txt", "new"}, {"b.txt", "b"}};
        const auto id = host.sendBatch(batch);
        ASSERT_EQ(host.shell->pendingSheets.size(), 1u);
        const auto away = host.temp.path() / (folder + "-away");
        fs::rename(host.home() / folder, away);
        fs::create_directory_symlink(away, host.home() / folder);
        auto answer = host.shell->pendingSheets.front();
        host.shell->pendingSheets.clear();
        answer(response);
        host.run();
        EXPECT_EQ(std::distance(fs::directory_iterator(away), fs::directory_iterator()), 1) << "nothing saved outside home";
        EXPECT_EQ(fileText(away / "a.txt"), "old");
        const auto answers = host.responses(id);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_FALSE(answers[0].first.accepted);
        EXPECT_EQ(answers[0].first.message, "Saved 0 item(s); 2 could not be saved.");
        host.expectNothingLeft();
    }
}

// Every batch the terminal announced ends there with one line, charged to its Viewer's budget.
TEST(FileDelivery, TheTerminalTellsHowEachBatchEndedOnItsViewersBudget) {
    std::vector<std::string> charged;
    auto end = [](const std::string& verb, const UUID& id, const std::string& how) {
        return "files: " + verb + " batch " + shortBatchID(id) + how;
    };
    {
        DeliveryHost headless(false);
        headless.delivery->viewerBatchLog = [&](const UUID& viewer, const std::string& line) {
            if (viewer == headless.viewer) charged.push_back(line);
        };
        const auto copy = headless.sendBatch({});
        EXPECT_EQ(charged, std::vector<std::string>{end("refused", copy, ": no folder can be chosen on a Host without a desktop")});
    }
    charged.clear();
    DeliveryHost host;
    host.delivery->viewerBatchLog = [&](const UUID& viewer, const std::string& line) {
        if (viewer == host.viewer) charged.push_back(line);
    };
    const auto managed = host.sendBatch({FileTransferIntent::managedCopy});
    const auto chooserCancelled = host.sendBatch({}), rowCancelled = host.sendBatch({}), stopped = host.sendBatch({});
    host.shell->pendingFolderPanels[0](std::nullopt);
    host.run();
    host.rows->cancels.at(rowCancelled)();
    host.run();
    host.delivery->stop();
    EXPECT_EQ(charged, (std::vector<std::string>{end("refused", managed, ": no usable destination folder named"),
                                                 end("cancelled", chooserCancelled, ": no save location chosen"),
                                                 end("cancelled", rowCancelled, " by the Host's user"),
                                                 end("cancelled", stopped, ": the Host is stopping")}));
    host.expectNothingLeft();
}

TEST(FileDelivery, AViewerGetsAFewConflictQuestionsAtOnceAndNoneWithoutADesktop) {
    const DeliveryHost::Batch batch{FileTransferIntent::managedCopy, "~/M", FileTransferDeliveryOptions::promptForConflicts};
    auto keptBothUnasked = [](DeliveryHost& host, const UUID& id, const std::string& name) {
        const auto answers = host.responses(id);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_TRUE(answers[0].first.accepted);
        EXPECT_EQ(fileText(host.home() / "M" / name), "hello");
        EXPECT_EQ(fileText(host.home() / "M" / "a.txt"), "old");
    };
    {
        DeliveryHost host;
        writeText(host.home() / "M" / "a.txt", "old");
        for (std::size_t i = 0; i < HostFileDelivery::maxBatchesAskingForFolderPerViewer; ++i) host.sendBatch(batch);
        EXPECT_EQ(host.shell->pendingSheets.size(), HostFileDelivery::maxBatchesAskingForFolderPerViewer);
        // One more from the same Viewer is settled as if no window could ask: both are kept.
        const auto beyond = host.sendBatch(batch);
        EXPECT_EQ(host.shell->pendingSheets.size(), HostFileDelivery::maxBatchesAskingForFolderPerViewer);
        keptBothUnasked(host, beyond, "a copy.txt");
        // Another Viewer's question is still asked.
        host.sendBatch(batch, UUID::random());
        EXPECT_EQ(host.shell->pendingSheets.size(), HostFileDelivery::maxBatchesAskingForFolderPerViewer + 1);
    }
    {
        // Without a desktop nobody could answer: the batch would wait, staged, for good.
        DeliveryHost host(false);
        writeText(host.home() / "M" / "a.txt", "old");
        const auto id = host.sendBatch(batch);
        EXPECT_TRUE(host.shell->pendingSheets.empty());
        keptBothUnasked(host, id, "a copy.txt");
        host.expectNothingLeft();
    }
}

TEST(FileDelivery, ACancelWhileAConflictIsAskedAboutDeliversAndReplacesNothingAfterward) {
    DeliveryHost host;
    writeText(host.home() / "M" / "a.txt", "old");
    DeliveryHost::Batch batch{FileTransferIntent::managedCopy, "~/M", FileTransferDeliveryOptions::promptForConflicts};
    batch.files = {{"a.txt", "new"}, {"b.txt", "b"}};
    const auto id = host.sendBatch(batch);
    ASSERT_EQ(host.shell->pendingSheets.size(), 1u) << "a.txt is asked about";
    host.rows->events.clear();
    host.rows->cancels.at(id)();
    // The user answers the question that is still on screen before anything else runs.
    host.shell->pendingSheets[0](1002);
    host.run();
    EXPECT_EQ(fileText(host.home() / "M" / "a.txt"), "old") << "the Viewer was told Cancelled";
    EXPECT_FALSE(fs::exists(host.home() / "M" / "b.txt"));
    const auto answers = host.responses(id);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].first.message, "Cancelled");
    EXPECT_TRUE(host.rows->events.empty()) << "the delivery reports nothing after the cancel";
    EXPECT_FALSE(host.logged("files: saved 0/2 item(s) to " + (host.home() / "M").string()));
    host.expectNothingLeft();
}

TEST(FileDelivery, OutgoingBatchesOtherThanPlainCopiesGetARowThatCancelsThem) {
    DeliveryHost host;
    const UUID copy = UUID::random();
    const UUID pull = UUID::random();
    host.delivery->outgoingBatchStarted(copy, 1, 10, FileTransferIntent::copy, {"a"});
    host.delivery->outgoingBatchStarted(pull, 1, 10, FileTransferIntent::pullForPromise, {"b"});
    host.run();
    EXPECT_EQ(host.rows->events, std::vector<std::string>{"out Viewer 1"});
    host.rows->cancels.at(pull)();
    host.run();
    ASSERT_EQ(host.sentOps(FileTransferOp::cancelBatch, pull), 1u);
    EXPECT_FALSE(host.sent.back().token) << "the cancel notice goes to every Viewer";
    host.delivery->outgoingBatchCompleted(pull);
    EXPECT_EQ(host.rows->events.back(), "complete Sent after 1.5");
}

TEST(FileDelivery, ASendWhoseViewerLeftOrCancelledNeverReadsSent) {
    DeliveryHost host;
    host.wireOutgoing();
    writeText(host.home() / "notes.txt", "n");
    // The Viewer asks for a Host file and leaves before it arrives.
    bool viewerConnected = false;
    host.service->outgoingBacklog = [&](const std::optional<std::string>&) -> std::optional<std::size_t> {
        if (!viewerConnected) return std::nullopt;
        return 0;
    };
    const UUID request = UUID::random();
    const FileTransferPeerSendRequest asked({"~/notes.txt"}, "~/Downloads", {});
    host.viewerSends({FileTransferOp::peerSendRequest, request, 0, 0, "", asked.encoded()}, host.viewer);
    host.run();
    EXPECT_EQ(host.rows->events,
              (std::vector<std::string>{"out Viewer 1", "fail Not sent — the Viewer left"}));

    // A drag pull cancelled on its way (a Viewer's cancel marks it as this does) is not sent.
    viewerConnected = true;
    host.rows->events.clear();
    bool cancelOnce = true;
    host.service->routedSendPacket = [&](const FileTransferPacket& p, const std::optional<std::string>& token) {
        host.sent.push_back({p, token});
        if (p.op == FileTransferOp::fileStart && std::exchange(cancelOnce, false))
            host.service->cancelOutgoingBatch(p.batchID);
    };
    const auto pull = host.service->sendURLs({host.home() / "notes.txt"}, FileTransferIntent::pullForPromise,
                                             std::nullopt, {}, std::nullopt, std::nullopt);
    ASSERT_TRUE(pull);
    host.run();
    EXPECT_EQ(host.rows->events, (std::vector<std::string>{"out Viewer 1", "complete Cancelled after 1.0"}));
    EXPECT_EQ(host.delivery->entryCount(), 0u);
}

TEST(FileDelivery, TheFinderScriptTextIsKeptExactly) {
    const auto& script = HostFileDelivery::frontFinderWindowScript;
    EXPECT_EQ(script.size(), 228u);
    EXPECT_EQ(std::count(script.begin(), script.end(), '\n'), 8);
    EXPECT_EQ(script.substr(0, 26), "tell application \"Finder\"\n");
    EXPECT_EQ(script.substr(script.size() - 9), "\nend tell");
}

}  // namespace HostFileDeliveryTests
