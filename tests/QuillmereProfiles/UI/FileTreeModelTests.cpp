#include "BrowserFixture.h"

namespace FileTreeModelTests {

using namespace qm;
using namespace qm::test;
using K = FileTransferNode::Kind;

namespace {
FileTransferNodePtr node(const std::string& name, K kind, std::uint64_t size = 0, std::optional<double> date = {}) {
    auto n = std::make_shared<FileTransferNode>(name, "/x/" + name, kind, nullptr);
    n->size = size;
    n->modificationDate = date;
    return n;
}
}  // namespace

class FileTreeModel : public BrowserFixture {};

TEST_F(FileTreeModel, SiblingOrderContainersFirstThenDescriptorsThenName) {
    auto c = make();
    auto sorted = [&](std::vector<FileTransferNodePtr> v) {
        std::stable_sort(v.begin(), v.end(), [&](auto& a, auto& b) { return c->compareNodes(*a, *b); });
        return names(v);
    };
    const std::vector<FileTransferNodePtr> mixed{node("b.txt", K::file), node("Zed", K::directory),
                                                 node("a.PDF", K::file), node("noext", K::file),
                                                 node("c.jpg", K::file), node("alpha", K::directory),
                                                 node("Loading...", K::placeholder)};
    // Name, case-insensitive; placeholders rank with files.
    EXPECT_EQ(sorted(mixed), (std::vector<std::string>{"alpha", "Zed", "a.PDF", "b.txt", "c.jpg", "Loading...", "noext"}));

    c->sortDescriptorsDidChange({{std::string("kind"), true}});
    EXPECT_EQ(sorted(mixed), (std::vector<std::string>{"alpha", "Zed", "Loading...", "c.jpg", "a.PDF", "b.txt", "noext"}));

    c->sortDescriptorsDidChange({{std::string("size"), false}, {std::string("modificationDate"), true}});
    const std::vector<FileTransferNodePtr> sized{node("small", K::file, 1, 1.0), node("bigOld", K::file, 9, 1.0),
                                                 node("bigNew", K::file, 9, 5.0), node("undated", K::file, 9)};
    EXPECT_EQ(sorted(sized), (std::vector<std::string>{"undated", "bigOld", "bigNew", "small"}));

    // Equal on every key and equal names: the previous order stays.
    auto first = node("same", K::file), second = node("same", K::file);
    std::vector<FileTransferNodePtr> equal{first, second};
    std::stable_sort(equal.begin(), equal.end(), [&](auto& a, auto& b) { return c->compareNodes(*a, *b); });
    EXPECT_EQ(equal.front(), first);

    // An empty descriptor list changes nothing.
    c->sortDescriptorsDidChange({});
    EXPECT_EQ(c->fileTreeSortDescriptors().size(), 2u);
}

TEST_F(FileTreeModel, ChecksPropagateDownAndSummariseUpwards) {
    auto folder = homeDir / "Documents" / "Proj";
    writeFile(folder / "a.txt", "a");
    writeFile(folder / "b.txt", "bb");
    writeFile(folder / "c.txt", "ccc");
    auto c = make();
    auto docs = named(c->localRoots(), "Documents");
    ASSERT_TRUE(docs);
    c->shouldExpandItem(FileTransferPane::left, docs);
    auto proj = named(docs, "Proj");
    toggle(*c, FileTransferPane::left, proj, true);
    c->shouldExpandItem(FileTransferPane::left, proj);
    ASSERT_EQ(proj->children->size(), 3u);
    for (auto& child : *proj->children) EXPECT_TRUE(child->isChecked);  // listed under a checked folder

    // Unchecking one of three: parent and top box mixed; a checked folder still counts once.
    toggle(*c, FileTransferPane::left, named(proj, "a.txt"), false);
    EXPECT_FALSE(proj->isChecked);
    EXPECT_TRUE(proj->isMixedState);
    EXPECT_TRUE(docs->isMixedState);
    EXPECT_EQ(c->views().leftTopCheckbox.state, CheckState::mixed);
    EXPECT_EQ(c->views().leftStatusLabel.text, "Selected: 2 file(s) + 5 B");

    toggle(*c, FileTransferPane::left, named(proj, "b.txt"), false);
    toggle(*c, FileTransferPane::left, named(proj, "c.txt"), false);
    EXPECT_FALSE(proj->isChecked);
    EXPECT_FALSE(proj->isMixedState);
    EXPECT_EQ(c->views().leftTopCheckbox.state, CheckState::off);
    EXPECT_EQ(c->views().leftStatusLabel.text, "Selected: 0 items");

    // Checking all children checks the parent; a click landing on mixed counts as checked.
    for (auto& child : *proj->children) c->sourceCheckboxToggled({child, FileTransferPane::left, CheckState::mixed});
    EXPECT_TRUE(proj->isChecked);
    EXPECT_FALSE(proj->isMixedState);
    // Proj is Documents' only child, so Documents is checked too and is the one item.
    EXPECT_TRUE(docs->isChecked);
    EXPECT_EQ(c->collectCheckedFileNodes(c->localRoots()), std::vector<FileTransferNodePtr>{docs});

    // Select all, then clear; every node keeps the invariant.
    c->setTopCheckboxState(FileTransferPane::left, CheckState::on);
    EXPECT_EQ(c->views().leftTopCheckbox.state, CheckState::on);
    EXPECT_TRUE(Controller::allNodesChecked(c->localRoots()));
    c->setTopCheckboxState(FileTransferPane::left, CheckState::off);
    EXPECT_FALSE(Controller::anyNodeChecked(c->localRoots()));
    EXPECT_FALSE(Controller::anyNodeMixed(c->localRoots()));

    // A box whose pane is gone does nothing.
    c->sourceCheckboxToggled({proj, std::nullopt, CheckState::on});
    EXPECT_FALSE(proj->isChecked);
}

TEST_F(FileTreeModel, EmptySourceTreeReadsAllCheckedAndNothingSelected) {
    std::filesystem::remove_all(homeDir / "Desktop");
    std::filesystem::remove_all(homeDir / "Documents");
    std::filesystem::remove_all(homeDir / "Downloads");
    auto c = make();
    EXPECT_TRUE(c->localRoots().empty());
    EXPECT_EQ(c->views().leftTopCheckbox.state, CheckState::on);
    EXPECT_EQ(c->views().leftStatusLabel.text, "Selected: 0 items");
}

TEST_F(FileTreeModel, TransferSetDeduplicatesAndDropsNestedItems) {
    auto c = make();
    const auto home = homeDir.string();
    auto mk = [](const std::string& path, K kind) {
        auto n = std::make_shared<FileTransferNode>(path, path, kind, nullptr);
        n->isChecked = true;
        return n;
    };
    // "~" and "~/Desktop": one item; the same folder by tilde and absolute path: one item.
    auto tildeHome = mk("~", K::directory), desktop = mk("~/Desktop", K::directory);
    EXPECT_EQ(c->uniqueTopLevelNodes({tildeHome, desktop}), std::vector<FileTransferNodePtr>{tildeHome});
    auto absDesktop = mk(home + "/Desktop", K::directory);
    EXPECT_EQ(c->uniqueTopLevelNodes({desktop, absDesktop}), std::vector<FileTransferNodePtr>{absDesktop});

    // A file named like a folder prefix is not inside it; files never absorb anything.
    auto docs = mk("/data/docs", K::directory), docsFile = mk("/data/docs2", K::file), inner = mk("/data/docs/x", K::file);
    auto fileParent = mk("/data/f", K::file), underFile = mk("/data/f/y", K::file);
    EXPECT_EQ(names(c->uniqueTopLevelNodes({inner, docsFile, docs, underFile, fileParent})),
              (std::vector<std::string>{"/data/docs", "/data/docs2", "/data/f", "/data/f/y"}));

    // A checked "/" absorbs everything below it like any other folder.
    auto root = mk("/", K::volume), etc = mk("/etc", K::directory), tmpFile = mk("/tmp/a", K::file);
    EXPECT_EQ(c->uniqueTopLevelNodes({etc, root, tmpFile}), std::vector<FileTransferNodePtr>{root});

    // Placeholders never count, even when checked by propagation.
    auto folder = mk("/p", K::directory);
    folder->isChecked = false;
    auto placeholder = std::make_shared<FileTransferNode>("Loading...", "/p", K::placeholder, folder);
    placeholder->isChecked = true;
    folder->children = std::vector<FileTransferNodePtr>{placeholder};
    EXPECT_TRUE(Controller::collectCheckedFileNodes({folder}).empty());
}

TEST_F(FileTreeModel, ByteTextsUseDecimalUnits) {
    EXPECT_EQ(Controller::formatBytes(0), "0 B");
    EXPECT_EQ(Controller::formatBytes(999), "999 B");
    EXPECT_EQ(Controller::formatBytes(1000), "1.0 KB");
    EXPECT_EQ(Controller::formatBytes(1536), "1.5 KB");
    EXPECT_EQ(Controller::formatBytes(999999), "1000.0 KB");
    EXPECT_EQ(Controller::formatBytes(1000000), "1.0 MB");
    EXPECT_EQ(Controller::formatBytes(3400000), "3.4 MB");
    EXPECT_EQ(Controller::formatBytes(1ULL << 40), "1099.5 GB");
}

TEST_F(FileTreeModel, StatusLineCountsFilesFoldersAndBytes) {
    writeFile(homeDir / "Desktop" / "one.bin", std::string(1000000, 'x'));
    writeFile(homeDir / "Desktop" / "two.bin", std::string(2400000, 'y'));
    std::filesystem::create_directories(homeDir / "Desktop" / "Sub");
    writeFile(homeDir / "Desktop" / "left-out.txt", "z");
    auto c = make();
    auto desktop = named(c->localRoots(), "Desktop");
    c->shouldExpandItem(FileTransferPane::left, desktop);
    for (const char* n : {"one.bin", "two.bin", "Sub"}) toggle(*c, FileTransferPane::left, named(desktop, n), true);
    EXPECT_EQ(c->views().leftStatusLabel.text, "Selected: 2 file(s) + 1 folder(s) + 3.4 MB");
}

}  // namespace FileTreeModelTests
