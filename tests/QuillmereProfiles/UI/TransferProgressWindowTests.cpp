// The "File Transfers" window as a model: rows, their bars and texts, finishing and removal on
// virtual time, the window's height and visibility, and the folder chooser.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "Platform/Core/ManualDispatchQueue.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"
#include "support/TestPlatform.h"

namespace qm::test {
namespace TransferProgressWindowTests {
namespace {

class TransferProgressWindow : public ::testing::Test {
protected:
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> main = clock->makeQueue("main");
    std::shared_ptr<FileTransferCenter> center = FileTransferCenter::make(main);
    int activations = 0;

    void SetUp() override {
        QuillmereL10n::configure({});
        center->activateApplication = [this] { ++activations; };
    }
    FileTransferCenter::StartInfo info(std::uint64_t total, std::vector<std::string> names = {"report.pdf"},
                                       FileTransferDirection direction = FileTransferDirection::incoming,
                                       std::int64_t count = 1) {
        return {UUID::random(), direction, "Viewer", count, total, std::move(names)};
    }
    double windowHeight() const { return center->window()->height; }
    std::size_t finishedRows() const {
        return static_cast<std::size_t>(std::count_if(center->stack().begin(), center->stack().end(),
                                                      [](const auto& row) { return row->finished(); }));
    }
};

TEST_F(TransferProgressWindow, RowTextsFollowTheDirectionTheNamesAndTheTotal) {
    auto outgoing = center->addTask(info(0, {"  notes.txt \n"}, FileTransferDirection::outgoing), {});
    EXPECT_EQ(outgoing->iconText(), "\u2191");
    EXPECT_EQ(outgoing->title(), "Sending notes.txt to Viewer");
    EXPECT_EQ(outgoing->toolTip(), "  notes.txt \n");
    EXPECT_TRUE(outgoing->barIndeterminate());
    EXPECT_TRUE(outgoing->barAnimating());
    EXPECT_EQ(outgoing->status(), "Waiting…");
    EXPECT_EQ(outgoing->buttonTitle(), "Cancel");

    auto incoming = center->addTask(info(2048, {"a", "b"}), {});
    EXPECT_EQ(incoming->iconText(), "\u2193");
    EXPECT_EQ(incoming->title(), "Receiving a ... from Viewer");
    EXPECT_EQ(incoming->toolTip(), "a\nb");
    EXPECT_FALSE(incoming->barIndeterminate());
    EXPECT_EQ(incoming->barMaximum(), 2048);
    EXPECT_EQ(incoming->status(), "0 / 2 KB");

    // Names that are all blank fall back to the count; without names there is no tooltip.
    auto blank = center->addTask(info(1, {" ", "\t"}, FileTransferDirection::incoming, 2), {});
    EXPECT_EQ(blank->title(), "Receiving 2 items from Viewer");
    auto unnamed = center->addTask(info(1, {}, FileTransferDirection::outgoing, 1), {});
    EXPECT_EQ(unnamed->title(), "Sending 1 item to Viewer");
    EXPECT_TRUE(unnamed->toolTip().empty());
    EXPECT_EQ(FileTransferCenter::itemDescription({}, 1), "1 item");
    EXPECT_EQ(FileTransferCenter::itemDescription({}, 0), "0 items");
}

TEST_F(TransferProgressWindow, ByteTextsUseBinaryKilobytesAndDecimalMegabytes) {
    EXPECT_EQ(FileTransferCenter::fmt(0), "0 B");
    EXPECT_EQ(FileTransferCenter::fmt(1023), "1023 B");
    EXPECT_EQ(FileTransferCenter::fmt(1024), "1 KB");
    EXPECT_EQ(FileTransferCenter::fmt(999'999), "977 KB");
    EXPECT_EQ(FileTransferCenter::fmt(1'000'000), "1.0 MB");
    EXPECT_EQ(FileTransferCenter::fmt(1'250'000'000), "1250.0 MB");
}

TEST_F(TransferProgressWindow, ProgressMakesAWaitingBarDeterminateAndNeverOverfillsIt) {
    auto row = center->addTask(info(0), {});
    center->updateProgress(row->batchID, 10, 0);  // an unknown total changes nothing
    main->runUntilIdle();
    EXPECT_TRUE(row->barIndeterminate());
    center->updateProgress(row->batchID, 512, 4096);
    main->runUntilIdle();
    EXPECT_FALSE(row->barIndeterminate());
    EXPECT_FALSE(row->barAnimating());
    EXPECT_EQ(row->barValue(), 512);
    EXPECT_EQ(row->status(), "512 B / 4 KB");
    center->updateProgress(row->batchID, 9000, 4096);
    main->runUntilIdle();
    EXPECT_EQ(row->barValue(), 4096) << "the bar is full, the text shows what was sent";
    EXPECT_EQ(row->status(), "9 KB / 4 KB");
    // Unknown ids are ignored, and so is progress once the row finished.
    center->updateProgress(UUID::random(), 1, 2);
    center->completeTask(row->batchID, "Saved", 10);
    center->updateProgress(row->batchID, 1, 4096);
    main->runUntilIdle();
    EXPECT_EQ(row->status(), "Saved");
    EXPECT_EQ(row->buttonTitle(), "Dismiss");
}

TEST_F(TransferProgressWindow, FinishedRowsLeaveAfterTheirDelayAndTheLastOneHidesTheWindow) {
    auto first = center->addTask(info(100), {});
    auto second = center->addTask(info(100), {});
    auto third = center->addTask(info(100), {});
    main->runUntilIdle();
    ASSERT_TRUE(center->window());
    EXPECT_TRUE(center->window()->visible);
    EXPECT_EQ(center->window()->title, "File Transfers");
    EXPECT_EQ(center->window()->width, 508);
    EXPECT_EQ(windowHeight(), 64 * 3 + 8 * 2 + 28);
    EXPECT_GE(activations, 1);

    center->completeTask(first->batchID, "Done", 1.5);
    center->failTask(second->batchID, "The disk is full.");
    main->runUntilIdle();
    EXPECT_FALSE(first->statusIsError());
    EXPECT_TRUE(second->statusIsError());
    EXPECT_EQ(second->status(), "The disk is full.");
    EXPECT_EQ(second->barValue(), second->barMaximum());
    clock->advance(1.5);
    EXPECT_EQ(center->stack().size(), 2u);
    EXPECT_EQ(windowHeight(), 64 * 2 + 8 + 28);
    clock->advance(1.0);
    EXPECT_EQ(center->stack().size(), 1u);
    EXPECT_EQ(center->stack().front(), third);

    // A negative delay removes at the next turn; the empty window is ordered out and kept.
    center->completeTask(third->batchID, "Done", -1);
    main->runUntilIdle();
    EXPECT_TRUE(center->stack().empty());
    EXPECT_FALSE(center->window()->visible);
    EXPECT_EQ(windowHeight(), 64 + 28);
    center->addTask(info(5), {});
    main->runUntilIdle();
    EXPECT_TRUE(center->window()->visible);
    EXPECT_EQ(windowHeight(), 64 + 28);
}

TEST_F(TransferProgressWindow, CancelRunsTheActionOnceThenDismissRemovesAtOnce) {
    int cancels = 0;
    auto row = center->addTask(info(100), [&] { ++cancels; });
    main->runUntilIdle();
    row->didCancel();
    main->runUntilIdle();
    EXPECT_EQ(cancels, 1);
    EXPECT_TRUE(row->finished());
    EXPECT_EQ(row->status(), "Cancelled");
    EXPECT_FALSE(row->statusIsError());
    EXPECT_EQ(row->buttonTitle(), "Dismiss");
    row->didCancel();  // Dismiss
    main->runUntilIdle();
    EXPECT_EQ(cancels, 1);
    EXPECT_TRUE(center->stack().empty()) << "gone before its 1 s removal";
    clock->advance(1.0);  // the delayed removal finds nothing
    EXPECT_TRUE(center->stack().empty());
}

TEST_F(TransferProgressWindow, ASecondRowForOneBatchReplacesTheFirstAndOutlivesItsRemoval) {
    auto start = info(100);
    auto first = center->addTask(start, {});
    center->completeTask(start.batchID, "Done", 1.0);
    main->runUntilIdle();
    auto second = center->addTask(start, {});
    EXPECT_EQ(center->stack().size(), 1u);
    EXPECT_EQ(center->row(start.batchID), second);
    clock->advance(1.0);
    EXPECT_EQ(center->row(start.batchID), second) << "the first row's removal does not take the new one";
    EXPECT_FALSE(second->finished());
}

// What a Viewer's burst of batches leaves in the window is bounded: finished rows beyond the bound
// go at once, the one that finished first first, running rows all stay, and the window stops
// growing at eight rows.
TEST_F(TransferProgressWindow, ABurstKeepsAtMostTheBoundOfFinishedRowsAndAWindowOfBoundedHeight) {
    std::vector<FileTransferCenter::TaskRowPtr> rows;
    for (int i = 0; i < 100; ++i) rows.push_back(center->addTask(info(100), {}));
    for (int i = 0; i < 60; ++i)
        i % 2 ? center->completeTask(rows[i]->batchID, "Saved", 30) : center->failTask(rows[i]->batchID, "Failed");
    main->runUntilIdle();
    EXPECT_EQ(finishedRows(), 40u);
    EXPECT_EQ(center->stack().size(), 80u);
    EXPECT_FALSE(center->row(rows[19]->batchID));
    EXPECT_EQ(center->stack().front(), rows[20]);
    EXPECT_EQ(windowHeight(), 64 * 8 + 8 * 7 + 28) << "the rest scroll";

    // The rest leave at their own time; the running rows stay however long they run.
    clock->advance(30);
    EXPECT_EQ(finishedRows(), 0u);
    EXPECT_EQ(center->stack().size(), 40u);
    EXPECT_EQ(center->stack().front(), rows[60]);
    EXPECT_EQ(main->pendingDelayedCount(), 0u) << "no removal left waiting";
}

// The view hears of each row added or taken out where it is, never "everything changed"; a burst
// of rows asks once to come forward, and a burst of progress for a row reaches it once, in order
// with the row's end.
TEST_F(TransferProgressWindow, TheViewIsToldEachChangeAndBurstsCostOneTurn) {
    std::vector<std::string> changes;
    center->onChange = [&](const FileTransferCenter::Change& change) {
        using Kind = FileTransferCenter::Change::Kind;
        if (change.kind != Kind::window)
            changes.push_back((change.kind == Kind::rowAdded ? "added " : "removed ") + std::to_string(change.index));
    };
    auto first = center->addTask(info(100), {});
    auto second = center->addTask(info(100), {});
    center->addTask(info(100), {});
    EXPECT_EQ(main->runUntilIdle(), 1u) << "one request to come forward for the three rows";
    EXPECT_EQ(center->window()->orderFrontCount, 1);
    center->removeTask(second->batchID);
    main->runUntilIdle();
    EXPECT_EQ(changes, (std::vector<std::string>{"added 0", "added 1", "added 2", "removed 1"}));

    int rendered = 0;
    first->onChanged = [&] { ++rendered; };
    for (std::uint64_t bytes = 1; bytes <= 100; ++bytes) center->updateProgress(first->batchID, bytes, 100);
    EXPECT_EQ(main->runUntilIdle(), 1u);
    EXPECT_EQ(rendered, 1);
    EXPECT_EQ(first->status(), "100 B / 100 B");
    center->completeTask(first->batchID, "Saved", 10);
    center->updateProgress(first->batchID, 50, 100);
    main->runUntilIdle();
    EXPECT_EQ(first->status(), "Saved");
}

TEST(TransferProgressStop, StopAtItemTwoOfFiveEndsTheBatchThereAndTheRowStaysCancelled) {
    // A real sender of five 10-byte files in 4-byte chunks, its progress and completion shown in
    // a row whose Cancel stops it; the user presses Cancel once the second file's first chunk left.
    QuillmereL10n::configure({});
    ManualPlatform manual;
    TemporaryDirectory folder;
    auto service = std::make_shared<FileTransferService>(manual.platform, "Viewer", 4,
                                                         FileTransferService::Folders{folder.path(), folder.path()});
    auto center = FileTransferCenter::make(manual.platform.mainQueue);
    std::vector<std::filesystem::path> items;
    for (int i = 1; i <= 5; ++i) {
        items.push_back(folder.path() / (std::to_string(i) + ".bin"));
        std::ofstream(items.back(), std::ios::binary) << "0123456789";
    }
    std::vector<FileTransferPacket> sent;
    FileTransferCenter::TaskRowPtr row;
    int cancels = 0;
    service->routedSendPacket = [&](const FileTransferPacket& packet, const std::optional<std::string>&) {
        sent.push_back(packet);
        if (packet.op == FileTransferOp::fileChunk && packet.path == "2.bin" && packet.value1 == 0) row->didCancel();
    };
    service->onOutgoingBatchProgress = [&](const UUID& id, std::uint64_t bytes, std::uint64_t total) {
        center->updateProgress(id, bytes, total);
    };
    service->onOutgoingBatchCompleted = [&](const UUID& id) { center->completeTask(id, "Sent", 1.5); };
    const UUID batch = UUID::random();
    row = center->addTask({batch, FileTransferDirection::outgoing, "Viewer", 5, 50, {"1.bin", "2.bin"}}, [&] {
        ++cancels;
        service->cancelOutgoingBatch(batch);
    });
    ASSERT_EQ(service->sendURLs(items, FileTransferIntent::pullForPromise, std::nullopt, {}, std::string("peer"), batch),
              std::optional<UUID>(batch));
    manual.clock->runUntilIdle();

    std::vector<std::string> trail;
    for (const auto& packet : sent) {
        if (packet.op == FileTransferOp::fileStart) trail.push_back("start " + packet.path);
        if (packet.op == FileTransferOp::fileEnd) trail.push_back("end " + packet.path);
        if (packet.op == FileTransferOp::batchEnd) trail.push_back("batchEnd");
    }
    EXPECT_EQ(trail, (std::vector<std::string>{"start 1.bin", "end 1.bin", "start 2.bin", "batchEnd"}))
        << "nothing after the stop but the batch's end";
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(row->status(), "Cancelled") << "the batch's end after the stop does not report it as sent";
    EXPECT_FALSE(row->statusIsError());
    manual.clock->advance(1.0);
    EXPECT_TRUE(center->stack().empty());
    manual.clock->advance(5);
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(service->tableEntryCount(), 0u);
}

TEST_F(TransferProgressWindow, TheFolderChooserAnswersOnceAndCancelsWithoutAView) {
    std::vector<std::string> events;
    center->pickSaveLocation(UUID::random(), std::string("Photos"),
                             [&](const std::filesystem::path& folder) { events.push_back("pick " + folder.string()); },
                             [&] { events.push_back("cancel"); });
    main->runUntilIdle();
    EXPECT_EQ(events, std::vector<std::string>{"cancel"}) << "no view can show a panel";

    std::vector<FileTransferCenter::FolderPanelRequest> panels;
    center->presentFolderPanel = [&](FileTransferCenter::FolderPanelRequest request) { panels.push_back(request); };
    center->pickSaveLocation(UUID::random(), std::string("Photos"),
                             [&](const std::filesystem::path& folder) { events.push_back("pick " + folder.string()); },
                             [&] { events.push_back("cancel"); });
    center->pickSaveLocation(UUID::random(), std::string(""), [&](const std::filesystem::path&) { events.push_back("pick"); },
                             [&] { events.push_back("cancel 2"); });
    main->runUntilIdle();
    ASSERT_EQ(panels.size(), 2u);
    EXPECT_EQ(panels[0].title, "Choose Save Location");
    EXPECT_EQ(panels[0].prompt, "Save Here");
    EXPECT_EQ(panels[0].message, std::optional<std::string>("Choose where to save \"Photos\""));
    EXPECT_FALSE(panels[1].message);
    EXPECT_TRUE(panels[0].canChooseDirectories);
    EXPECT_FALSE(panels[0].canChooseFiles);
    EXPECT_TRUE(center->window()->visible);
    panels[0].answer(std::filesystem::path("/home/u/Pictures"));
    panels[0].answer(std::nullopt);
    panels[1].answer(std::nullopt);
    EXPECT_EQ(events, (std::vector<std::string>{"cancel", "pick /home/u/Pictures", "cancel 2"}));
}

// What a view may shorten when a line does not fit: the items' name in the title, the folder's
// name in the status lines that name one, in the language shown (positions included) or in
// English; nothing in other lines, or in a progress line that follows a named one.
TEST_F(TransferProgressWindow, RowLinesAreSplitAroundTheNameInThem) {
    using Parts = FileTransferCenter::LineParts;
    EXPECT_EQ(FileTransferCenter::statusLineParts("Saved 12 item(s) to 2024 Photos"),
              (Parts{"Saved 12 item(s) to ", "2024 Photos", ""}));
    EXPECT_EQ(FileTransferCenter::statusLineParts("Saving to a… to b……"), (Parts{"Saving to ", "a… to b…", "…"}));
    for (const std::string line : {"Stopped after saving 2 item(s)", "Saved x item(s) to y", ""}) {
        EXPECT_EQ(FileTransferCenter::statusLineParts(line), (Parts{line, "", ""})) << line;
    }
    auto named = center->addTask(info(0, {" a ", "b"}), {});
    EXPECT_EQ(named->titleParts(), (Parts{"Receiving ", "a ...", " from Viewer"}));
    auto counted = center->addTask(info(0, {" "}, FileTransferDirection::outgoing, 3), {});
    EXPECT_EQ(counted->titleParts(), (Parts{"Sending 3 items to Viewer", "", ""})) << "a count is part of the sentence";
    named->setSubtitle("Saving to Downloads…");
    EXPECT_EQ(named->statusParts(), (Parts{"Saving to ", "Downloads", "…"}));
    center->updateProgress(named->batchID, 5, 10);
    main->runUntilIdle();
    EXPECT_EQ(named->statusParts(), (Parts{"5 B / 10 B", "", ""}));

    TemporaryDirectory tables;
    for (const auto* language : {"ja", "de"}) std::filesystem::create_directories(tables.path() / (std::string(language) + ".lproj"));
    std::ofstream(tables.path() / "ja.lproj" / "Localizable.json")
        << R"({"fileTransfer.center.savedTo": "%d 項目を“%@”に保存しました",
              "fileTransfer.center.receivingFrom": "%@ を %@ から受信中"})";
    std::ofstream(tables.path() / "de.lproj" / "Localizable.json")
        << R"({"fileTransfer.center.savedTo": "%2$@: %1$d Objekt(e) gesichert"})";
    auto store = std::make_shared<InMemoryUserDefaultsStore>();
    store->standard()->set(QuillmereL10n::overrideKey, std::string("ja"));
    QuillmereL10n::Environment environment;
    environment.defaults = store;
    environment.resources = tables.path();
    QuillmereL10n::configure(environment);
    EXPECT_EQ(FileTransferCenter::statusLineParts("3 項目を“資料”に保存しました"), (Parts{"3 項目を“", "資料", "”に保存しました"}));
    EXPECT_EQ(center->addTask(info(0, {"report.pdf"}), {})->titleParts(), (Parts{"", "report.pdf", " を Viewer から受信中"}));
    store->standard()->set(QuillmereL10n::overrideKey, std::string("de"));
    EXPECT_EQ(FileTransferCenter::statusLineParts("Fotos: 3 Objekt(e) gesichert"), (Parts{"", "Fotos", ": 3 Objekt(e) gesichert"}));
    EXPECT_EQ(FileTransferCenter::statusLineParts("Saved 3 item(s) to Fotos"), (Parts{"Saved 3 item(s) to ", "Fotos", ""}));
    QuillmereL10n::configure({});
}

// Never the process's working folder, which may be one the user cannot write to.
TEST_F(TransferProgressWindow, TheFolderChooserOpensAtHomeThenWhereTheUserLastChose) {
    TemporaryDirectory temp;
    const auto chosen = temp.path() / "Chosen";
    std::filesystem::create_directories(chosen);
    std::vector<FileTransferCenter::FolderPanelRequest> panels;
    center->presentFolderPanel = [&](FileTransferCenter::FolderPanelRequest request) { panels.push_back(request); };
    auto ask = [&] {
        center->pickSaveLocation(UUID::random(), std::nullopt, [](const std::filesystem::path&) {}, [] {});
        main->runUntilIdle();
        return panels.back();
    };
    EXPECT_EQ(ask().directory, std::filesystem::path()) << "home, before anything was chosen";
    panels.back().answer(chosen);
    EXPECT_EQ(ask().directory, chosen);
    panels.back().answer(std::nullopt);
    EXPECT_EQ(ask().directory, chosen) << "a cancelled chooser leaves the last choice";
    std::filesystem::remove(chosen);
    EXPECT_EQ(ask().directory, std::filesystem::path()) << "home again once the chosen folder is gone";
}

TEST_F(TransferProgressWindow, TheCloseBoxHidesTheWindowAndKeepsTheRows) {
    center->addTask(info(10), {});
    main->runUntilIdle();
    center->windowClosedByUser();
    EXPECT_FALSE(center->window()->visible);
    EXPECT_EQ(center->stack().size(), 1u);
    const auto fronts = center->window()->orderFrontCount;
    ASSERT_NE(center->foregroundPresentationWindow(), nullptr);
    EXPECT_TRUE(center->window()->visible);
    EXPECT_EQ(center->window()->orderFrontCount, fronts + 1);
}

}  // namespace
}  // namespace TransferProgressWindowTests
}  // namespace qm::test
