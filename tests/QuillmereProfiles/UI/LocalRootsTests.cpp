#include "BrowserFixture.h"

namespace LocalRootsTests {

using namespace qm;
using namespace qm::test;

class LocalRoots : public BrowserFixture {
protected:
    // Grants a folder as the user would through the panel.
    void grant(Controller& c, const std::filesystem::path& folder) {
        c.addLocalFolder();
        c.folderPanelFinished(folder);
    }
    std::vector<std::string> paths(const std::vector<FileTransferNodePtr>& nodes) {
        std::vector<std::string> out;
        for (const auto& n : nodes) out.push_back(n->path);
        return out;
    }
};

TEST_F(LocalRoots, StandardFoldersThenGrantsWithNestedGrantsCollapsed) {
    std::filesystem::remove_all(homeDir / "Downloads");
    auto c = make();
    EXPECT_EQ(names(c->localRoots()), (std::vector<std::string>{"Desktop", "Documents"}));
    EXPECT_EQ(paths(c->localRoots()), (std::vector<std::string>{"~/Desktop", "~/Documents"}));
    EXPECT_FALSE(c->lastAuthorizedFolderURL());

    const auto projects = tmp.path() / "Projects";
    std::filesystem::create_directories(projects / "App");
    grant(*c, projects);
    grant(*c, projects / "App");
    EXPECT_EQ(FileTransferBookmarks::load(*defaults).size(), 2u);
    EXPECT_EQ(names(c->localRoots()), (std::vector<std::string>{"Desktop", "Documents", "Projects"}));
    EXPECT_EQ(c->views().leftStatusLabel.text, "Access granted: " + (projects / "App").string());
    EXPECT_EQ(c->lastAuthorizedFolderURL(), projects / "App");

    // The next panel opens in the last grant and names it.
    c->addLocalFolder();
    ASSERT_FALSE(panels.empty());
    EXPECT_EQ(panels.back().directory, projects / "App");
    EXPECT_EQ(panels.back().prompt, "Allow Folder Access");
    EXPECT_EQ(panels.back().message,
              "Choose " + (projects / "App").string() + " to let File Transfer browse and transfer files there.");
    // A second request while it is open raises it instead of opening another.
    c->addLocalFolder();
    EXPECT_EQ(panels.size(), 3u);
    EXPECT_EQ(panelRaised, 1);
    c->folderPanelFinished(std::nullopt);  // cancelled: nothing changes
    EXPECT_FALSE(c->isFolderPanelOpen());
    EXPECT_EQ(FileTransferBookmarks::load(*defaults).size(), 2u);

    // A new window reads the grants back and remembers the first as the last one.
    auto again = make();
    EXPECT_EQ(names(again->localRoots()), (std::vector<std::string>{"Desktop", "Documents", "Projects"}));
    EXPECT_EQ(again->lastAuthorizedFolderURL(), projects);
}

TEST_F(LocalRoots, GrantedHomeHidesTheStandardFoldersAndStopsThePrompt) {
    auto c = make();
    c->show();
    main->runUntilIdle();
    ASSERT_EQ(panels.size(), 1u);
    EXPECT_TRUE(panels[0].initial);
    EXPECT_EQ(panels[0].prompt, "Allow Home Folder");
    EXPECT_EQ(panels[0].directory, homeDir);
    c->folderPanelFinished(homeDir);
    EXPECT_EQ(names(c->localRoots()), std::vector<std::string>{"Home"});
    EXPECT_EQ(paths(c->localRoots()), std::vector<std::string>{homeDir.string()});
    EXPECT_EQ(FileTransferBookmarks::load(*defaults).at(0).displayName, "Home");

    // Shown again: the prompt is not offered twice.
    c->show();
    main->runUntilIdle();
    EXPECT_EQ(panels.size(), 1u);
    // A window that already has access to home never prompts and keeps its flag down.
    auto other = make();
    other->show();
    main->runUntilIdle();
    EXPECT_EQ(panels.size(), 1u);
    EXPECT_FALSE(other->hasShownInitialAuthorizationPrompt());
}

TEST_F(LocalRoots, PromptQueuedOnceAndDroppedWithTheWindow) {
    auto c = make();
    c->show();
    c->show();
    EXPECT_TRUE(c->hasShownInitialAuthorizationPrompt());
    c.reset();
    main->runUntilIdle();
    EXPECT_TRUE(panels.empty());
}

TEST_F(LocalRoots, StoredListIsToleratedAndDeduplicated) {
    // Unreadable store: treated as empty, then overwritten by the next grant.
    defaults->setData(FileTransferBookmarks::defaultsKey, {'n', 'o', 't'});
    auto c = make();
    EXPECT_EQ(c->localRoots().size(), 3u);
    const auto music = tmp.path() / "Music";
    std::filesystem::create_directories(music);
    grant(*c, music);
    ASSERT_EQ(FileTransferBookmarks::load(*defaults).size(), 1u);

    // Same bytes again: list unchanged, the first name kept.
    const auto bytes = *folders->bookmarkData(music);
    FileTransferBookmarks::save(*defaults, bytes, std::string("Other"));
    auto stored = FileTransferBookmarks::load(*defaults);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].displayName, "Music");

    // Different bytes for the same folder: stored as a further entry, listed once with the first name.
    const auto other = *folders->bookmarkData(music / ".");
    ASSERT_NE(other, bytes);
    FileTransferBookmarks::save(*defaults, other, std::string("Dup"));
    EXPECT_EQ(FileTransferBookmarks::load(*defaults).size(), 2u);
    auto fresh = make();
    EXPECT_EQ(names(fresh->localRoots()), (std::vector<std::string>{"Desktop", "Documents", "Downloads", "Music"}));

    // The wire form: Base64 data, no displayName member when there is none.
    const auto json = FileTransferBookmarks::encode({{{1, 2, 3}, std::nullopt}, {{0xff}, std::string("N")}});
    EXPECT_EQ(std::string(json.begin(), json.end()), R"([{"data":"AQID"},{"data":"/w==","displayName":"N"}])");
    const std::string nullName = R"([{"data":"AQID","displayName":null}])";
    auto decoded = FileTransferBookmarks::decode({nullName.begin(), nullName.end()});
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->at(0).displayName, std::nullopt);
    const std::string noData = R"([{"displayName":"x"}])";
    EXPECT_FALSE(FileTransferBookmarks::decode({noData.begin(), noData.end()}));
}

TEST_F(LocalRoots, GrantsThatNoLongerHoldAreSkipped) {
    const auto a = tmp.path() / "A", b = tmp.path() / "B", gone = tmp.path() / "Gone";
    for (const auto& d : {a, b, gone}) std::filesystem::create_directories(d);
    auto c = make();
    grant(*c, a);
    grant(*c, b);
    grant(*c, gone);
    // Gone is removed; B is replaced by another folder at the same path (stale); A is unreadable.
    std::filesystem::remove_all(gone);
    std::filesystem::create_directories(tmp.path() / "B2");  // exists beside B, so its inode differs
    std::filesystem::remove_all(b);
    std::filesystem::rename(tmp.path() / "B2", b);
    folders->unreadable.insert(a);
    auto fresh = make();
    EXPECT_EQ(names(fresh->localRoots()), (std::vector<std::string>{"Desktop", "Documents", "Downloads"}));
    EXPECT_EQ(FileTransferBookmarks::load(*defaults).size(), 3u);  // nothing is removed from the store

    // Bookmark creation failing: access still granted for this window, nothing stored.
    folders->failBookmarkCreation = true;
    const auto d = tmp.path() / "D";
    std::filesystem::create_directories(d);
    grant(*fresh, d);
    EXPECT_EQ(fresh->views().leftStatusLabel.text, "Access granted: " + d.string());
    EXPECT_EQ(FileTransferBookmarks::load(*defaults).size(), 3u);
}

TEST_F(LocalRoots, CoveragePathRules) {
    auto c = make();
    EXPECT_FALSE(c->isLocalPath("/Users/ab", "/Users/a"));
    EXPECT_TRUE(c->isLocalPath("/Users/a", "/Users/a/"));
    EXPECT_TRUE(c->isLocalPath("/Users/a/Docs", "/Users/a"));
    EXPECT_TRUE(c->isLocalPath("~/Desktop", "~"));
    EXPECT_TRUE(c->isLocalPath("/anything/at/all", "/"));

    // Granting "/" covers every standard folder.
    c->addLocalFolder();
    c->folderPanelFinished(std::filesystem::path("/"));
    EXPECT_EQ(paths(c->localRoots()), std::vector<std::string>{"/"});
}

TEST_F(LocalRoots, UnreadableFoldersOfferAuthorisation) {
    std::filesystem::create_directories(homeDir / "Documents" / "Locked");
    folders->unreadable.insert(homeDir / "Documents" / "Locked");
    auto c = make();
    auto docs = named(c->localRoots(), "Documents");
    c->shouldExpandItem(FileTransferPane::left, docs);
    auto locked = named(docs, "Locked");
    c->shouldExpandItem(FileTransferPane::left, locked);
    ASSERT_EQ(locked->children->size(), 1u);
    auto placeholder = locked->children->front();
    EXPECT_EQ(placeholder->kind, FileTransferNode::Kind::placeholder);
    EXPECT_EQ(placeholder->name, "🔒 Permission required — use + Add Folder…");

    // Double-clicking the placeholder, or the folder, offers a grant for that folder.
    c->outlineViewDoubleClicked(FileTransferPane::left, placeholder);
    ASSERT_EQ(panels.size(), 1u);
    EXPECT_EQ(panels[0].directory, homeDir / "Documents" / "Locked");
    c->folderPanelFinished(std::nullopt);
    c->outlineViewDoubleClicked(FileTransferPane::left, locked);
    EXPECT_EQ(panels.size(), 2u);
    c->folderPanelFinished(std::nullopt);
    // A readable folder asks for nothing.
    c->outlineViewDoubleClicked(FileTransferPane::left, docs);
    EXPECT_EQ(panels.size(), 2u);
}

TEST_F(LocalRoots, AccessStoppedWhenTheWindowGoes) {
    const auto a = tmp.path() / "A";
    std::filesystem::create_directories(a);
    auto c = make();
    c->addLocalFolder();
    c->folderPanelFinished(a);
    EXPECT_EQ(folders->started, std::vector<std::filesystem::path>{a});
    c.reset();
    EXPECT_EQ(folders->stopped, std::vector<std::filesystem::path>{a});
}

}  // namespace LocalRootsTests
