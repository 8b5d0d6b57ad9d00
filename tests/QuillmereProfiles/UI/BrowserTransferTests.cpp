#include "BrowserFixture.h"

namespace BrowserTransferTests {

using namespace qm;
using namespace qm::test;

class BrowserTransfer : public BrowserFixture {
protected:
    std::shared_ptr<Controller> c;
    FileTransferNodePtr desktop;

    // Two checked local files, the Host's Documents as the destination.
    void readySend() {
        writeFile(homeDir / "Desktop" / "a.txt", "a");
        writeFile(homeDir / "Desktop" / "b.txt", "b");
        writeFile(homeDir / "Desktop" / "c.txt", "c");
        peers = {{"h", "Studio"}};
        c = make();
        desktop = named(c->localRoots(), "Desktop");
        c->shouldExpandItem(FileTransferPane::left, desktop);
        toggle(*c, FileTransferPane::left, named(desktop, "a.txt"), true);
        toggle(*c, FileTransferPane::left, named(desktop, "b.txt"), true);
        c->outlineViewSelectionDidChange(FileTransferPane::right, {c->remoteRoots()[2]});
    }
    UUID activeID() { return *c->activeTransferBatchID(); }
};

TEST_F(BrowserTransfer, SendRunsThroughItsStates) {
    readySend();
    c->setBackupCheckboxState(CheckState::on);
    c->executeTransfer();
    ASSERT_EQ(sentFiles.size(), 1u);
    const auto& sent = sentFiles[0];
    EXPECT_EQ(sent.urls, (std::vector<std::filesystem::path>{homeDir / "Desktop" / "a.txt", homeDir / "Desktop" / "b.txt"}));
    EXPECT_EQ(sent.intent, FileTransferIntent::managedCopy);
    EXPECT_EQ(sent.destination, "~/Documents");
    EXPECT_EQ(sent.peerID, "h");
    EXPECT_EQ(sent.options.rawValue, 3u);

    const auto& v = c->views();
    const auto id = activeID();
    EXPECT_EQ(v.transferSummaryLabel.text, "Preparing 2 item(s) for Studio");
    EXPECT_EQ(v.transferStatusLabel.text, "Preparing transfer…");
    EXPECT_FALSE(v.transferProgressRowHidden);
    EXPECT_TRUE(v.transferProgressIndicator.indeterminate);
    EXPECT_FALSE(v.executeButton.enabled);
    EXPECT_EQ(v.executeButton.title, "Copying…");
    c->executeTransfer();  // a second batch cannot begin
    EXPECT_EQ(sentFiles.size(), 1u);

    c->transferDidStart(UUID::random(), 9, 9);  // another batch: ignored
    EXPECT_EQ(v.transferSummaryLabel.text, "Preparing 2 item(s) for Studio");
    c->transferDidStart(id, 2, 200);
    EXPECT_EQ(v.transferSummaryLabel.text, "Copying 2 item(s) to Studio");
    EXPECT_EQ(v.transferStatusLabel.text, "Copying…");
    EXPECT_FALSE(v.transferProgressIndicator.indeterminate);
    EXPECT_EQ(v.transferProgressIndicator.maxValue, 200.0);

    c->transferDidUpdateProgress(id, 1, 200);  // 0.5 % rounds up
    EXPECT_EQ(v.transferStatusLabel.text, "Copying… 1%");
    c->transferDidUpdateProgress(id, 199, 200);  // 99.5 %
    EXPECT_EQ(v.transferStatusLabel.text, "Copying… 100%");
    c->transferDidUpdateProgress(id, 500, 200);
    EXPECT_EQ(v.transferProgressIndicator.value, 200.0);
    EXPECT_EQ(v.transferStatusLabel.text, "Copying… 100%");

    c->transferDidFinishSending(id);
    EXPECT_EQ(v.executeButton.title, "Waiting for Save…");
    // Closed meanwhile: the window keeps everything and comes back for the completion.
    c->windowClosed();
    EXPECT_FALSE(v.visible);
    EXPECT_TRUE(v.cancelTransferButton.hidden);
    EXPECT_EQ(v.transferSummaryLabel.text, "Sent. Waiting for the Host to save the files…");

    c->transferDidComplete(id, false, true);
    EXPECT_TRUE(v.visible);
    EXPECT_EQ(c->targetDirectoryPath(), "~/Documents");
    EXPECT_TRUE(named(desktop, "a.txt")->isChecked);
    EXPECT_FALSE(c->activeTransferBatchID());
    EXPECT_EQ(v.transferSummaryLabel.text, "📤 Copied 2 item(s) to Studio");
    EXPECT_EQ(v.transferStatusLabel.text, "✅ 2 items transferred — ready for another copy.");
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets[0].title, "Transfer Complete");
    EXPECT_EQ(sheets[0].message, "2 items successfully transferred to Studio.");
    EXPECT_EQ(sheets[0].button, "OK");
    // The destination folder is listed again and expanded.
    EXPECT_EQ(listingRequests.back().second, "~/Documents");
    ASSERT_EQ(expanded.size(), 1u);
    EXPECT_EQ(expanded[0].second, c->remoteRoots()[2]);
    // The progress row goes two seconds later; the button is usable again.
    EXPECT_FALSE(v.transferProgressRowHidden);
    main->advance(2.0);
    EXPECT_TRUE(v.transferProgressRowHidden);
    EXPECT_TRUE(v.executeButton.enabled);
}

TEST_F(BrowserTransfer, CancelWinsOverALateSuccess) {
    readySend();
    c->executeTransfer();
    const auto id = activeID();
    c->cancelActiveTransfer();
    EXPECT_EQ(cancelled, std::vector<UUID>{id});
    EXPECT_FALSE(c->views().cancelTransferButton.enabled);
    EXPECT_EQ(c->views().transferStatusLabel.text, "Cancelling transfer…");
    c->transferDidStart(id, 2, 10);
    EXPECT_EQ(c->views().transferStatusLabel.text, "Cancelling transfer…");
    EXPECT_FALSE(c->views().cancelTransferButton.enabled);

    const auto requestsBefore = listingRequests.size();
    c->transferDidComplete(id, false, true);
    EXPECT_EQ(c->views().transferSummaryLabel.text, "Transfer cancelled");
    EXPECT_EQ(c->views().transferStatusLabel.text, "The transfer was cancelled before it finished.");
    EXPECT_EQ(c->views().transferProgressIndicator.value, 0.0);
    EXPECT_TRUE(sheets.empty());
    EXPECT_EQ(listingRequests.size(), requestsBefore);
    c->cancelActiveTransfer();  // idle: nothing
    EXPECT_EQ(cancelled.size(), 1u);
}

TEST_F(BrowserTransfer, UnconfirmedCompletionAndFailures) {
    readySend();
    c->executeTransfer();
    auto id = activeID();
    c->transferDidStart(id, 1, 0);  // empty batch: stays indeterminate, progress ignored
    EXPECT_TRUE(c->views().transferProgressIndicator.indeterminate);
    c->transferDidUpdateProgress(id, 5, 0);
    EXPECT_EQ(c->views().transferStatusLabel.text, "Copying…");
    c->transferDidComplete(id, false, false);
    EXPECT_EQ(c->views().transferSummaryLabel.text, "📤 Sent 1 item(s) to Studio");
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets[0].title, "Transfer Sent");
    EXPECT_EQ(sheets[0].message, "The transfer bytes were sent, but the Host did not return a final save receipt. "
                                 "Verify the selected folder before sending another copy.");

    c->executeTransfer();
    id = activeID();
    c->transferDidFail(id, "Disk full", std::nullopt);
    EXPECT_EQ(c->views().transferSummaryLabel.text, "Transfer could not start");
    EXPECT_EQ(c->views().transferStatusLabel.text, "Disk full");
    EXPECT_TRUE(c->views().transferProgressRowHidden);
    c->transferDidComplete(id, false, true);  // no longer active: ignored
    EXPECT_EQ(sheets.size(), 1u);

    startRefused = true;
    const auto summary = c->views().transferSummaryLabel.text;
    c->executeTransfer();
    EXPECT_FALSE(c->activeTransferBatchID());
    EXPECT_EQ(c->views().transferStatusLabel.text, "The transfer could not be started.");
    EXPECT_EQ(c->views().transferSummaryLabel.text, summary);
}

TEST_F(BrowserTransfer, ReceiveAsksTheHostWithItsOwnPaths) {
    peers = {{"h", ""}};
    c = make();
    c->selectDirectionSegment(1);
    auto home = c->remoteRoots()[0];
    c->shouldExpandItem(FileTransferPane::right, home);
    answer("~", {file("one.pdf", 10), dir("Two")});
    toggle(*c, FileTransferPane::right, named(home, "one.pdf"), true);
    auto documents = named(c->localRoots(), "Documents");
    c->outlineViewSelectionDidChange(FileTransferPane::left, {documents});
    EXPECT_EQ(c->views().executeButton.title, "Receive 1 Item(s) from ");
    c->executeTransfer();
    ASSERT_EQ(peerSends.size(), 1u);
    EXPECT_EQ(peerSends[0].paths, std::vector<std::string>{"~/one.pdf"});
    EXPECT_EQ(peerSends[0].destination, "~/Documents");
    EXPECT_EQ(peerSends[0].options.rawValue, 1u);
    EXPECT_EQ(c->views().transferSummaryLabel.text, "Requesting 1 item(s) from ");
    EXPECT_EQ(c->views().transferStatusLabel.text, "Waiting for Host to begin transfer…");

    const auto id = activeID();
    c->transferDidStart(id, 1, 10);
    c->transferDidUpdateProgress(id, 5, 10);
    EXPECT_EQ(c->views().transferStatusLabel.text, "Receiving… 50%");
    writeFile(homeDir / "Documents" / "one.pdf", "0123456789");
    c->transferDidComplete(id, false, true);
    EXPECT_EQ(sheets.at(0).message, "1 item successfully transferred to .");
    EXPECT_EQ(c->views().transferSummaryLabel.text, "📥 Copied 1 item(s) to ");
    EXPECT_EQ(names(*documents->children), std::vector<std::string>{"one.pdf"});
    EXPECT_TRUE(c->foregroundWindow());
}

TEST_F(BrowserTransfer, AFinishedBatchsHideLeavesTheNextBatchsRowShowing) {
    readySend();
    c->executeTransfer();
    const auto first = activeID();
    c->transferDidComplete(first, false, true);
    main->advance(1.0);
    // A second batch starts inside the first one's two seconds.
    c->executeTransfer();
    ASSERT_TRUE(c->activeTransferBatchID());
    const auto second = activeID();
    ASSERT_NE(second, first);
    main->advance(1.5);
    EXPECT_FALSE(c->views().transferProgressRowHidden) << "the first batch's hide came due while the second runs";
    // The second batch's own completion hides the row two seconds later, not earlier.
    c->transferDidComplete(second, false, true);
    main->advance(1.9);
    EXPECT_FALSE(c->views().transferProgressRowHidden);
    main->advance(0.2);
    EXPECT_TRUE(c->views().transferProgressRowHidden);
}

}  // namespace BrowserTransferTests
