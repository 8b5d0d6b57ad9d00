// Offscreen smoke tests of the browser window: the Qt layer shows what the controller holds and
// forwards clicks to it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
#include <QTreeView>
#include <fstream>

#include "Platform/Core/ManualDispatchQueue.h"
#include "Platform/Linux/PosixLocalFolders.h"
#include "QuillmereProfiles/UI/Views/FileTransferWindow.h"
#include "QuillmereProfiles/UI/Views/FileTreeItemModel.h"
#include "support/TestPlatform.h"
#include "support/Views/OffscreenApplication.h"

namespace FileTransferWindowViewTests {

using namespace qm;
using namespace qm::test;

namespace {


class FileTransferWindowView : public ::testing::Test {
protected:
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> main = clock->makeQueue("main");
    TemporaryDirectory tmp;
    FileTransferWindowController::ListingHandler listing;
    std::vector<std::pair<UUID, std::string>> requests;
    std::vector<std::filesystem::path> sent;
    std::shared_ptr<FileTransferWindowController> controller;
    std::unique_ptr<FileTransferWindow> window;

    void SetUp() override {
        offscreenApplication();
        const auto home = tmp.path();
        for (const char* d : {"Desktop", "Documents", "Downloads"}) std::filesystem::create_directories(home / d);
        std::ofstream(home / "Desktop" / "a.txt") << "aaaa";
        std::ofstream(home / "Desktop" / "b.txt") << "bb";
        FileTransferWindowController::Dependencies deps;
        deps.setDirectoryListingHandler = [this](auto h) { listing = std::move(h); };
        deps.requestDirectoryListing = [this](const std::string& path) {
            requests.emplace_back(UUID::random(), path);
            return requests.back().first;
        };
        deps.sendFiles = [this](const std::vector<std::filesystem::path>& urls, auto&&...) {
            sent = urls;
            return std::optional<UUID>(UUID::random());
        };
        deps.localDeviceName = [] { return std::string("Laptop"); };
        deps.connectedPeers = [] { return std::vector<FileTransferWindowController::Peer>{{"s", "Studio"}}; };
        deps.openFileTransferForPeer = [](const std::string&) { return false; };
        controller = FileTransferWindowController::make(
            deps, {main, std::make_shared<PosixLocalFolders>(home), std::make_shared<InMemoryUserDefaults>()});
        window = std::make_unique<FileTransferWindow>(controller);
        controller->show();
        main->runUntilIdle();  // the first-show Home prompt
        QApplication::processEvents();
    }
    void TearDown() override {
        window.reset();
        controller.reset();
        QApplication::processEvents();
    }
};

}  // namespace

TEST_F(FileTransferWindowView, BothPanesFilledRowCheckedAndExecuteEnabled) {
    auto* left = window->leftModel();
    auto* right = window->rightModel();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->hostSelector()->currentText(), "Studio");
    ASSERT_EQ(left->rowCount(), 3);
    ASSERT_EQ(right->rowCount(), 4);
    EXPECT_EQ(left->index(0, 0).data().toString().toStdString(), "\xF0\x9F\x93\x81  Desktop");
    EXPECT_EQ(right->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Date Modified");

    // Expanding a local folder lists it through the controller; expanding a Host folder asks.
    const auto desktop = left->index(0, 0);
    window->leftTree()->expand(desktop);
    ASSERT_EQ(left->rowCount(desktop), 2);
    window->rightTree()->expand(right->index(0, 0));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(right->rowCount(right->index(0, 0)), 1);  // the loading row
    listing(requests[0].first, "/srv/studio", {{"Inbox", true, 0, std::nullopt}, {"x.bin", false, 5, 1.0}});
    const auto home = right->index(0, 0);
    ASSERT_EQ(right->rowCount(home), 2);
    EXPECT_TRUE(window->rightTree()->isExpanded(home));
    EXPECT_FALSE(right->flags(right->index(1, 0, home)) & Qt::ItemIsSelectable);  // files are not destinations
    EXPECT_FALSE(right->flags(home) & Qt::ItemIsUserCheckable);

    // Check one row; the tree keeps its expansion and the count follows.
    const auto a = left->index(0, 0, desktop);
    ASSERT_TRUE(left->flags(a) & Qt::ItemIsUserCheckable);
    left->setData(a, Qt::Checked, Qt::CheckStateRole);
    EXPECT_EQ(left->index(0, 0, desktop).data(Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_EQ(left->index(0, 0).data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
    EXPECT_TRUE(window->leftTree()->isExpanded(desktop));
    EXPECT_FALSE(window->executeButton()->isEnabled());

    // Choose the destination by selecting the Host's Inbox row.
    window->rightTree()->setCurrentIndex(right->index(0, 0, home));
    QApplication::processEvents();
    EXPECT_EQ(controller->targetDirectoryPath(), "/srv/studio/Inbox");
    EXPECT_TRUE(window->executeButton()->isEnabled());
    EXPECT_EQ(window->executeButton()->text(), "Copy 1 Item(s) to Studio");
    EXPECT_NE(right->index(0, 0, home).data().toString().indexOf("Target"), -1);

    window->executeButton()->click();
    EXPECT_EQ(sent, std::vector<std::filesystem::path>{tmp.path() / "Desktop" / "a.txt"});
    EXPECT_EQ(window->executeButton()->text(), "Copying…");
    EXPECT_FALSE(window->grab().isNull());
}

// Folder names and paths come from the Host: markup in them is shown, never obeyed.
TEST_F(FileTransferWindowView, HostPathsAreShownAsTheyAreInLabelsAndTooltips) {
    auto* right = window->rightModel();
    window->rightTree()->expand(right->index(0, 0));
    ASSERT_EQ(requests.size(), 1u);
    listing(requests[0].first, "/srv/<h1>studio</h1>", {{"<img src=\"x.png\">", true, 0, std::nullopt}});
    const auto folder = right->index(0, 0, right->index(0, 0));
    window->rightTree()->setCurrentIndex(folder);
    QApplication::processEvents();
    QTextDocument tip;
    tip.setHtml(folder.data(Qt::ToolTipRole).toString());
    EXPECT_EQ(tip.toPlainText().toStdString(), "/srv/<h1>studio</h1>/<img src=\"x.png\">");
    int shown = 0;
    for (auto* label : window->findChildren<QLabel*>()) {
        if (!label->text().contains("<h1>studio</h1>")) continue;
        ++shown;
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
    }
    EXPECT_GE(shown, 1) << "the destination line names the chosen folder";
}

TEST_F(FileTransferWindowView, DirectionAndRefreshKeepModelsConsistent) {
    auto* right = window->rightModel();
    window->rightTree()->expand(right->index(0, 0));
    listing(requests[0].first, "", {{"A", true, 0, std::nullopt}});
    controller->selectDirectionSegment(1);
    // The Host tree is now the source: its rows carry check boxes, the local ones do not.
    EXPECT_TRUE(right->flags(right->index(0, 0)) & Qt::ItemIsUserCheckable);
    EXPECT_FALSE(window->leftModel()->flags(window->leftModel()->index(0, 0)) & Qt::ItemIsUserCheckable);
    controller->refreshClicked();
    EXPECT_EQ(right->rowCount(), 4);
    EXPECT_EQ(right->rowCount(right->index(0, 0)), 0);  // fresh roots, nothing listed yet
    EXPECT_EQ(window->leftModel()->rowCount(), 3);
}

TEST_F(FileTransferWindowView, PanesAndColumnsKeepTheirSizeAndTheExecuteButtonIsRed) {
    const auto sizes = [](QTreeView* tree) {
        const auto* pane = tree->parentWidget();
        return std::vector<int>{pane->width(), pane->height(), tree->header()->sectionSize(0),
                                tree->header()->sectionSize(1), tree->header()->sectionSize(2),
                                tree->header()->sectionSize(3)};
    };
    const std::vector<int> expected{405, 380, 400, 150, 90, 110};
    for (const auto& [width, height] : {std::pair{920, 620}, std::pair{1400, 900}}) {
        SCOPED_TRACE(width);
        window->resize(width, height);
        QApplication::processEvents();
        EXPECT_EQ(sizes(window->leftTree()), expected);
        EXPECT_EQ(sizes(window->rightTree()), expected);
    }
    const auto text = window->executeButton()->palette().color(QPalette::Active, QPalette::ButtonText);
    EXPECT_EQ(text, QColor(255, 59, 48));
}

}  // namespace FileTransferWindowViewTests
