#include "BrowserFixture.h"

namespace BrowserWindowTests {

using namespace qm;
using namespace qm::test;

class BrowserWindow : public BrowserFixture {};

TEST_F(BrowserWindow, ConstructedWithoutHosts) {
    auto c = make();
    const auto& v = c->views();
    EXPECT_EQ(v.windowTitle, "File Transfer");
    EXPECT_FALSE(v.visible);
    ASSERT_EQ(v.hostSelector.items.size(), 1u);
    EXPECT_EQ(v.hostSelector.items[0].title, "No Host connected");
    EXPECT_FALSE(v.hostSelector.enabled);
    EXPECT_FALSE(c->selectedPeerID());
    EXPECT_TRUE(c->remoteRoots().empty());
    EXPECT_EQ(v.arrowLabel.text, "→");
    EXPECT_EQ(v.leftTitleLabel.text, "Desk (Source)");
    EXPECT_EQ(v.rightTitleLabel.text, "Host (Destination)");
    EXPECT_FALSE(v.executeButton.enabled);
    EXPECT_EQ(v.executeButton.title, "Copy Selected Items");
    EXPECT_EQ(v.transferSummaryLabel.text, "Connect to a Host to transfer files.");
    EXPECT_TRUE(v.transferProgressRowHidden);
    ASSERT_TRUE(listingHandler);
}

TEST_F(BrowserWindow, HostSelectorRemembersItsHost) {
    peers = {{"a", "Alpha"}, {"b", "Beta"}};
    auto c = make();
    ASSERT_EQ(c->views().hostSelector.items.size(), 2u);
    EXPECT_EQ(c->views().hostSelector.items[1].identifier, "b");
    EXPECT_EQ(c->selectedPeerID(), "a");
    EXPECT_EQ(openedPeers, std::vector<std::string>{"a"});

    c->selectHostItem(1);
    EXPECT_EQ(c->selectedPeerID(), "b");
    EXPECT_EQ(c->views().rightTitleLabel.text, "Beta (Destination)");
    auto tree = c->remoteRoots();
    c->refreshClicked();  // still listed: stays, no new selection
    EXPECT_EQ(c->selectedPeerID(), "b");
    EXPECT_EQ(c->views().hostSelector.selectedIndex, 1u);
    EXPECT_EQ(openedPeers.size(), 2u);

    peers = {{"a", "Alpha"}};
    c->show();
    EXPECT_EQ(c->selectedPeerID(), "a");
    EXPECT_EQ(openedPeers.size(), 3u);

    // The last Host leaves: the right pane empties at once.
    peers.clear();
    c->show();
    EXPECT_TRUE(c->remoteRoots().empty());
    EXPECT_FALSE(c->selectedPeerID());
    EXPECT_TRUE(c->views().visible);
}

TEST_F(BrowserWindow, HostOpenedElsewhereFallsBackToTheFirstAtMostOnce) {
    peers = {{"a", "Alpha"}, {"b", "Beta"}};
    auto c = make();
    peersOpenedElsewhere = {"b"};
    c->selectHostItem(1);
    EXPECT_EQ(c->views().rightStatusLabel.text, "Opened File Transfer for Beta in its Host window.");
    EXPECT_EQ(c->views().hostSelector.selectedIndex, 0u);
    EXPECT_EQ(c->selectedPeerID(), "a");

    // Every Host opens elsewhere: handled twice and then left alone, no endless re-selection.
    peersOpenedElsewhere = {"a", "b"};
    openedPeers.clear();
    c->selectHostItem(1);
    EXPECT_EQ(openedPeers, (std::vector<std::string>{"b", "a"}));
    openedPeers.clear();
    c->selectHostItem(0);
    EXPECT_EQ(openedPeers, std::vector<std::string>{"a"});
}

TEST_F(BrowserWindow, DirectionSwitchMirrorsThePanes) {
    peers = {{"h", "Studio"}};
    auto c = make();
    auto desktop = named(c->localRoots(), "Desktop");
    toggle(*c, FileTransferPane::left, desktop, true);
    c->outlineViewSelectionDidChange(FileTransferPane::right, {c->remoteRoots()[1]});
    ASSERT_TRUE(c->targetDirectoryPath());
    c->selectDirectionSegment(1);
    toggle(*c, FileTransferPane::right, c->remoteRoots()[0], true);

    c->selectDirectionSegment(1);  // the Host tree's marks clear, the local ones stay
    const auto& v = c->views();
    EXPECT_EQ(v.arrowLabel.text, "←");
    EXPECT_TRUE(v.leftTopCheckbox.hidden);
    EXPECT_FALSE(v.rightTopCheckbox.hidden);
    EXPECT_TRUE(v.rightOutlineView.allowsMultipleSelection);
    EXPECT_FALSE(v.leftOutlineView.allowsMultipleSelection);
    EXPECT_FALSE(c->remoteRoots()[0]->isChecked);
    EXPECT_TRUE(desktop->isChecked);
    EXPECT_FALSE(c->targetDirectoryPath());
    // Both lines are cleared; the source line is then rewritten from the (now empty) selection.
    EXPECT_EQ(v.rightStatusLabel.text, "Selected: 0 items");
    EXPECT_EQ(v.leftStatusLabel.text, "");
    EXPECT_EQ(v.leftTitleLabel.text, "Desk (Destination)");
    EXPECT_EQ(v.rightTitleLabel.text, "Studio (Source)");
    EXPECT_EQ(v.executeButton.title, "Receive Selected Items");

    c->selectDirectionSegment(0);
    EXPECT_EQ(v.arrowLabel.text, "→");
    EXPECT_FALSE(desktop->isChecked);
    EXPECT_FALSE(v.leftTopCheckbox.hidden);
    EXPECT_TRUE(v.rightTopCheckbox.hidden);
}

TEST_F(BrowserWindow, PaneTitlesCleanNames) {
    deviceName = "\xE2\x97\x8F My Laptop \n";
    auto c = make();
    EXPECT_EQ(c->views().leftTitleLabel.text, "My Laptop (Source)");
    deviceName = "  ";
    c->selectDirectionSegment(0);
    EXPECT_EQ(c->views().leftTitleLabel.text, "This Mac (Source)");

    EXPECT_EQ(Controller::defaultLocalDeviceName("  Studio \n", "host"), "Studio");
    EXPECT_EQ(Controller::defaultLocalDeviceName(" \t", " box "), "box");
    EXPECT_EQ(Controller::defaultLocalDeviceName(std::nullopt, "\n"), "This Mac");
    EXPECT_FALSE(Controller::defaultLocalDeviceName().empty());
}

TEST_F(BrowserWindow, ExecuteButtonFollowsSelectionDestinationAndHost) {
    writeFile(homeDir / "Desktop" / "a.txt", "a");
    writeFile(homeDir / "Desktop" / "b.txt", "b");
    peers = {{"h", "Studio"}};
    auto c = make();
    auto desktop = named(c->localRoots(), "Desktop");
    c->shouldExpandItem(FileTransferPane::left, desktop);
    const auto& v = c->views();
    EXPECT_EQ(v.transferSummaryLabel.text, "Select one or more files or folders to transfer.");
    toggle(*c, FileTransferPane::left, named(desktop, "a.txt"), true);
    toggle(*c, FileTransferPane::left, named(desktop, "b.txt"), true);
    // Desktop holds only these two, so it is checked as a whole: one item.
    EXPECT_EQ(v.executeButton.title, "Copy Selected Items");
    EXPECT_FALSE(v.executeButton.enabled);
    EXPECT_EQ(v.transferSummaryLabel.text, "Select a destination folder to continue.");
    EXPECT_EQ(v.transferStatusLabel.text, "Select a destination folder to continue.");

    // Files cannot be the destination; folders can.
    EXPECT_FALSE(c->shouldSelectItem(FileTransferPane::right, std::make_shared<FileTransferNode>(
                                                                   "f", "~/f", FileTransferNode::Kind::file, nullptr)));
    EXPECT_TRUE(c->shouldSelectItem(FileTransferPane::left, named(desktop, "a.txt")));
    c->outlineViewSelectionDidChange(FileTransferPane::right, {c->remoteRoots()[2]});
    EXPECT_TRUE(v.executeButton.enabled);
    EXPECT_EQ(v.executeButton.title, "Copy 1 Item(s) to Studio");
    EXPECT_EQ(v.transferSummaryLabel.text, "Ready to copy to ~/Documents");
    EXPECT_EQ(v.transferStatusLabel.text, "Start the transfer when ready.");

    // A file selected in the destination pane leaves the destination as it was.
    auto file = std::make_shared<FileTransferNode>("f", "~/f", FileTransferNode::Kind::file, nullptr);
    c->outlineViewSelectionDidChange(FileTransferPane::right, {file});
    EXPECT_EQ(c->targetDirectoryPath(), "~/Documents");

    // Marker only on the destination directory of the destination pane.
    EXPECT_EQ(c->rowCell(FileTransferPane::right, c->remoteRoots()[2]).targetMarker, "◀── Target");
    EXPECT_FALSE(c->rowCell(FileTransferPane::right, c->remoteRoots()[1]).targetMarker);
    const auto cell = c->rowCell(FileTransferPane::left, named(desktop, "a.txt"));
    EXPECT_TRUE(cell.hasCheckbox);
    EXPECT_EQ(cell.checkState, CheckState::on);
    EXPECT_EQ(cell.sizeText, "1 B");
    EXPECT_FALSE(c->rowCell(FileTransferPane::right, c->remoteRoots()[0]).hasCheckbox);
}

TEST_F(BrowserWindow, MetadataColumns) {
    auto c = make();
    auto f = std::make_shared<FileTransferNode>("photo.jpeg", "/p/photo.jpeg", FileTransferNode::Kind::file, nullptr);
    f->size = 1500000;
    EXPECT_EQ(c->metadataText("kind", f), "JPEG");
    EXPECT_EQ(c->metadataText("size", f), "1.5 MB");
    EXPECT_EQ(c->metadataText("date", f), "—");
    f->modificationDate = 0;
    EXPECT_NE(c->metadataText("date", f), "—");
    auto plain = std::make_shared<FileTransferNode>("README", "/p/README", FileTransferNode::Kind::file, nullptr);
    EXPECT_EQ(c->metadataText("kind", plain), "File");
    auto folder = std::make_shared<FileTransferNode>("d", "/p/d", FileTransferNode::Kind::directory, nullptr);
    EXPECT_EQ(c->metadataText("kind", folder), "Folder");
    EXPECT_EQ(c->metadataText("size", folder), "—");
    EXPECT_EQ(c->metadataText("other", folder), "d");
}

}  // namespace BrowserWindowTests
