// Delivery's sheets (the folder panel, the conflict alert) sit on the "File Transfers" window,
// driven through the delegate as the process builds it.
#include <gtest/gtest.h>

#include <fstream>

#include "HostApp/App/TransferCenterRows.h"
#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"
#include "support/AppHarness.h"
#include "support/TestFiles.h"

namespace TransferSheetsTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

// One file sent by a Viewer on its control connection, with a destination hint when given.
UUID sendOneFile(InMemoryViewer& viewer, const std::string& name, const std::string& text,
                 const std::optional<std::string>& hint, FileTransferIntent intent = FileTransferIntent::copy,
                 FileTransferDeliveryOptions options = {}) {
    const UUID id = UUID::random();
    auto send = [&](const FileTransferPacket& packet) { viewer.send(AuxPacketType::fileTransfer, packet.encode()); };
    if (hint) send({FileTransferOp::directSave, id, options.rawValue, 0, *hint, {}});
    send({FileTransferOp::batchStart, id, text.size(), FileTransferPacket::batchStartValue2(intent, 1),
          "", FileTransferDocuments::encodeItemNames({name})});
    send({FileTransferOp::fileStart, id, text.size(), 0, name, {}});
    send({FileTransferOp::fileChunk, id, 0, 0, name, Bytes(text.begin(), text.end())});
    send({FileTransferOp::fileEnd, id, text.size(), 0, name, {}});
    send({FileTransferOp::batchEnd, id, 0, 0, "", {}});
    return id;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(TransferSheets, TheConflictAlertAndTheFolderPanelSitOnTheFileTransfersWindow) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control);
    const auto documents = app.environment.homeDirectory / "Documents";
    fs::create_directories(documents);
    writeFile(documents / "report.txt", Bytes{'o', 'l', 'd'});

    // A managed copy whose Viewer wants conflicts asked about: the alert is a sheet of the
    // progress window.
    sendOneFile(viewer, "report.txt", "new", "~/Documents", FileTransferIntent::managedCopy,
                FileTransferDeliveryOptions::promptForConflicts);
    app.host.clock().runUntilIdle();
    ASSERT_EQ(app.shell->sheetWindows.size(), 1u);
    auto parent = app.shell->sheetWindows.back();
    ASSERT_TRUE(std::dynamic_pointer_cast<TransferCenterWindow>(parent)) << "not on the File Transfers window";
    EXPECT_NE(parent, std::static_pointer_cast<WindowModel>(delegate.status().summaryWindow));
    EXPECT_EQ(parent->title(), "File Transfers");
    EXPECT_TRUE(parent->visible());
    ASSERT_TRUE(parent->attachedSheet());
    EXPECT_EQ(parent->attachedSheet()->messageText, "Copy Conflict");
    ASSERT_TRUE(app.shell->transferCenter && app.shell->transferCenter->window());
    EXPECT_TRUE(app.shell->transferCenter->window()->visible) << "the sheet's window is on screen";
    ASSERT_EQ(app.shell->pendingSheets.size(), 1u);
    app.shell->pendingSheets.front()(1002);  // Replace
    app.host.clock().runUntilIdle();
    EXPECT_EQ(contents(documents / "report.txt"), "new");
    EXPECT_FALSE(parent->attachedSheet());

    // A copy without a usable destination: the folder panel is a sheet of the same window.
    const auto chosen = app.environment.homeDirectory / "Chosen";
    fs::create_directories(chosen);
    app.shell->scriptedFolders.push_back(chosen);
    sendOneFile(viewer, "plain.txt", "p", std::nullopt);
    app.host.clock().runUntilIdle();
    ASSERT_FALSE(app.shell->folderPanels.empty());
    EXPECT_EQ(app.shell->folderPanels.back().window, parent);
    EXPECT_EQ(contents(chosen / "plain.txt"), "p");
}

TEST(TransferSheets, TheSheetsParentFollowsTheProgressWindowClosingAndComingBack) {
    auto clock = std::make_shared<ManualClock>();
    auto center = FileTransferCenter::make(clock->makeQueue("main"));
    auto rows = makeTransferCenterRows(center);
    auto window = rows->foregroundPresentationWindow();
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->visible());
    EXPECT_TRUE(window->isKey());

    // The close box hides the progress window; a resolver asking later finds no visible parent.
    center->windowClosedByUser();
    EXPECT_FALSE(window->visible());
    auto again = rows->foregroundPresentationWindow();
    EXPECT_EQ(again, window) << "one window model for the window's life";
    EXPECT_TRUE(window->visible());

    // The last row going orders the window out, and the parent with it.
    const UUID id = UUID::random();
    clock->runUntilIdle();
    rows->addTask(id, FileTransferDirection::incoming, "Viewer", 1, 1, {"a"}, {});
    rows->completeTask(id, "done", 0.5);
    clock->advance(1.0);
    EXPECT_FALSE(center->window()->visible);
    EXPECT_FALSE(window->visible());
}

}  // namespace TransferSheetsTests
