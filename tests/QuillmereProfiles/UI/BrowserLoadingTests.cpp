#include "BrowserFixture.h"

namespace BrowserLoadingTests {

using namespace qm;
using namespace qm::test;

class BrowserLoading : public BrowserFixture {
protected:
    std::shared_ptr<Controller> withHost() {
        peers = {{"h1", "Studio"}};
        auto c = make();
        EXPECT_EQ(c->selectedPeerID(), "h1");
        return c;
    }
};

TEST_F(BrowserLoading, HostRootsAndOneRequestPerFolder) {
    auto c = withHost();
    EXPECT_EQ(names(c->remoteRoots()), (std::vector<std::string>{"Home", "Desktop", "Documents", "Downloads"}));
    EXPECT_TRUE(listingRequests.empty());  // nothing asked until a root is expanded

    auto home = c->remoteRoots()[0];
    c->shouldExpandItem(FileTransferPane::right, home);
    c->shouldExpandItem(FileTransferPane::right, home);
    ASSERT_EQ(listingRequests.size(), 1u);
    EXPECT_EQ(listingRequests[0].second, "~");
    EXPECT_EQ(names(*home->children), std::vector<std::string>{"Loading..."});

    // The Host resolves "~"; children follow its form, directories listed before files.
    answer("~", {file("c.txt", 3), dir("b"), dir("a")}, "/Users/x");
    EXPECT_EQ(home->path, "/Users/x");
    EXPECT_EQ(names(*home->children), (std::vector<std::string>{"a", "b", "c.txt"}));
    EXPECT_EQ(home->children->at(0)->path, "/Users/x/a");
    EXPECT_EQ(home->children->at(2)->size, 3u);
    EXPECT_EQ(c->views().rightStatusLabel.text, "Loaded: /Users/x");

    // Already loaded: expanding or double-clicking asks nothing.
    c->shouldExpandItem(FileTransferPane::right, home);
    c->outlineViewDoubleClicked(FileTransferPane::right, home);
    EXPECT_EQ(listingRequests.size(), 1u);

    // A reply nobody asked for changes nothing.
    listingHandler(UUID::random(), "/elsewhere", {dir("z")});
    EXPECT_EQ(home->path, "/Users/x");
}

TEST_F(BrowserLoading, ChildPathsAndEmptyFolders) {
    auto c = withHost();
    auto home = c->remoteRoots()[0];
    c->shouldExpandItem(FileTransferPane::right, home);
    answer("~", {dir("Docs"), dir("Empty")});
    EXPECT_EQ(home->children->at(0)->path, "~/Docs");

    auto empty = named(home, "Empty");
    c->shouldExpandItem(FileTransferPane::right, empty);
    answer("~/Empty", {});
    EXPECT_TRUE(empty->children && empty->children->empty());
    EXPECT_TRUE(empty->childrenLoaded);
    EXPECT_EQ(c->views().rightStatusLabel.text, "No subfolders. This folder is selected.");
    c->shouldExpandItem(FileTransferPane::right, empty);
    EXPECT_EQ(listingRequests.size(), 2u);

    // A root folder's children are "/" and the name.
    auto docs = named(home, "Docs");
    c->shouldExpandItem(FileTransferPane::right, docs);
    answer("~/Docs", {dir("etc")}, "/");
    EXPECT_EQ(docs->children->at(0)->path, "/etc");
}

TEST_F(BrowserLoading, SlowThenTimedOutListingAndRetry) {
    auto c = withHost();
    auto docs = c->remoteRoots()[2];
    c->shouldExpandItem(FileTransferPane::right, docs);
    main->advance(6.0);
    EXPECT_EQ(c->views().rightStatusLabel.text, "Still loading this Host folder...");
    main->advance(14.0);
    EXPECT_EQ(c->views().rightStatusLabel.text, "No response for directory listing");
    EXPECT_FALSE(docs->childrenLoaded);
    EXPECT_FALSE(docs->pendingRequestID);
    EXPECT_EQ(names(*docs->children), std::vector<std::string>{"No response — double-click to try again"});
    EXPECT_EQ(c->pendingRemoteRequestCount(), 0u);

    // A late reply is ignored; the no-response row stays.
    answer("~/Documents", {dir("late")});
    EXPECT_EQ(docs->children->front()->kind, FileTransferNode::Kind::placeholder);

    // Double-clicking the placeholder asks again.
    c->outlineViewDoubleClicked(FileTransferPane::right, docs->children->front());
    EXPECT_EQ(listingRequests.size(), 2u);
    answer("~/Documents", {dir("fresh")});
    EXPECT_EQ(names(*docs->children), std::vector<std::string>{"fresh"});
}

TEST_F(BrowserLoading, TimersOfAReplacedRequestLeaveTheNewOneAlone) {
    auto c = withHost();
    auto docs = c->remoteRoots()[2];
    c->shouldExpandItem(FileTransferPane::right, docs);
    main->advance(10.0);
    // Reloaded while outstanding: the first reply is ignored, the second applies.
    c->outlineViewDoubleClicked(FileTransferPane::right, docs);
    ASSERT_EQ(listingRequests.size(), 2u);
    c->setViewCallbacks({});
    main->advance(10.5);  // the first request's 20 s timer fires here
    EXPECT_TRUE(docs->pendingRequestID);
    EXPECT_EQ(names(*docs->children), std::vector<std::string>{"Loading..."});
    EXPECT_NE(c->views().rightStatusLabel.text, "No response for directory listing");
    listingHandler(listingRequests[0].first, "", {dir("old")});
    EXPECT_EQ(names(*docs->children), std::vector<std::string>{"Loading..."});
    answer("~/Documents", {dir("new")});
    EXPECT_EQ(names(*docs->children), std::vector<std::string>{"new"});
}

TEST_F(BrowserLoading, DestinationFollowsTheResolvedPath) {
    auto c = withHost();
    auto home = c->remoteRoots()[0];
    c->outlineViewSelectionDidChange(FileTransferPane::right, {home});
    EXPECT_EQ(c->targetDirectoryPath(), "~");
    EXPECT_EQ(c->views().rightStatusLabel.text, "Target: ~");
    c->shouldExpandItem(FileTransferPane::right, home);
    answer("~", {dir("a")}, "/Users/x");
    EXPECT_EQ(c->targetDirectoryPath(), "/Users/x");
    EXPECT_EQ(c->views().rightStatusLabel.text, "Target: /Users/x");
    EXPECT_EQ(c->rowCell(FileTransferPane::right, home).targetMarker, "◀── Target");
}

TEST_F(BrowserLoading, LocalChildrenInheritTheCheckHostChildrenDoNot) {
    writeFile(homeDir / "Desktop" / "x.txt", "x");
    writeFile(homeDir / "Desktop" / ".hidden", "h");
    auto c = withHost();
    auto desktop = named(c->localRoots(), "Desktop");
    toggle(*c, FileTransferPane::left, desktop, true);
    c->shouldExpandItem(FileTransferPane::left, desktop);
    EXPECT_EQ(names(*desktop->children), std::vector<std::string>{"x.txt"});
    EXPECT_TRUE(desktop->children->front()->isChecked);

    c->selectDirectionSegment(1);
    auto home = c->remoteRoots()[0];
    toggle(*c, FileTransferPane::right, home, true);
    c->shouldExpandItem(FileTransferPane::right, home);
    answer("~", {file("f", 1)});
    EXPECT_FALSE(home->children->front()->isChecked);
}

TEST_F(BrowserLoading, AGoneWindowIgnoresRepliesAndTimers) {
    auto c = withHost();
    c->shouldExpandItem(FileTransferPane::right, c->remoteRoots()[0]);
    std::weak_ptr<Controller> weak = c;
    c.reset();
    EXPECT_TRUE(weak.expired());  // neither the handler nor the timers keep it
    answer("~", {dir("a")});
    main->advance(30.0);
}

TEST_F(BrowserLoading, DestinationRefreshAfterReceiveRelistsTheLocalFolder) {
    auto c = withHost();
    c->selectDirectionSegment(1);
    auto home = c->remoteRoots()[0];
    c->shouldExpandItem(FileTransferPane::right, home);
    answer("~", {file("r.txt", 1)});
    toggle(*c, FileTransferPane::right, named(home, "r.txt"), true);
    auto downloads = named(c->localRoots(), "Downloads");
    c->shouldExpandItem(FileTransferPane::left, downloads);
    EXPECT_TRUE(downloads->children->empty());
    c->outlineViewSelectionDidChange(FileTransferPane::left, {downloads});
    c->executeTransfer();
    ASSERT_EQ(peerSends.size(), 1u);
    writeFile(homeDir / "Downloads" / "r.txt", "r");
    c->transferDidComplete(*c->activeTransferBatchID(), false, true);
    EXPECT_EQ(names(*downloads->children), std::vector<std::string>{"r.txt"});
    ASSERT_EQ(expanded.size(), 1u);
    EXPECT_EQ(expanded[0].first, FileTransferPane::left);
}

}  // namespace BrowserLoadingTests
