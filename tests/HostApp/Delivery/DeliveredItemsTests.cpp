// Moving received items into a user's folder: free names, and a replace that never loses the
// item it replaces.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "HostApp/Delivery/DeliveredItems.h"
#include "QuillmereProfiles/ConfinedFiles.h"
#include "support/SmallDisk.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

namespace DeliveredItemsTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(DeliveredItems, TakenNamesAreNumberedOrCopiedNeverReused) {
    TemporaryDirectory temp;
    const auto folder = temp.path();
    for (int i = 0; i < 3; ++i) writeText(numberedDestination(folder, "a.txt"), "x");
    writeText(numberedDestination(folder, "notes"), "x");
    writeText(numberedDestination(folder, "notes"), "x");
    fs::create_directories(numberedDestination(folder, "archive.tar.gz"));
    fs::create_directories(numberedDestination(folder, "archive.tar.gz"));
    EXPECT_EQ(names(folder), (std::vector<std::string>{"a 1.txt", "a 2.txt", "a.txt", "archive.tar 1.gz",
                                                       "archive.tar.gz", "notes", "notes 1"}));

    writeText(folder / "photo.jpg", "x");
    writeText(uniqueDestination(folder / "photo.jpg"), "x");
    EXPECT_EQ(uniqueDestination(folder / "photo.jpg"), folder / "photo copy 2.jpg");
    fs::create_directories(folder / "Reports");
    EXPECT_EQ(uniqueDestination(folder / "Reports"), folder / "Reports copy");
    // A dangling link takes its name too.
    fs::create_symlink(folder / "gone", folder / "link");
    EXPECT_EQ(numberedDestination(folder, "link"), folder / "link 1");
}

TEST(DeliveredItems, AMoveNeverOverwritesAndAReplaceSwapsFilesAndFoldersWhole) {
    TemporaryDirectory temp;
    writeText(temp.path() / "staging" / "a.txt", "new");
    writeText(temp.path() / "dest" / "a.txt", "old");
    EXPECT_TRUE(moveItem(temp.path() / "staging" / "a.txt", temp.path() / "dest" / "a.txt"));
    EXPECT_EQ(fileText(temp.path() / "dest" / "a.txt"), "old");
    EXPECT_EQ(fileText(temp.path() / "staging" / "a.txt"), "new");

    EXPECT_FALSE(replaceItem(temp.path() / "staging" / "a.txt", temp.path() / "dest" / "a.txt"));
    EXPECT_EQ(fileText(temp.path() / "dest" / "a.txt"), "new");
    EXPECT_FALSE(fs::exists(temp.path() / "staging" / "a.txt"));

    writeText(temp.path() / "staging" / "Docs" / "inner.txt", "new inner");
    writeText(temp.path() / "dest" / "Docs" / "old-only.txt", "old");
    EXPECT_FALSE(replaceItem(temp.path() / "staging" / "Docs", temp.path() / "dest" / "Docs"));
    EXPECT_EQ(names(temp.path() / "dest" / "Docs"), std::vector<std::string>{"inner.txt"});
    EXPECT_EQ(names(temp.path() / "dest"), (std::vector<std::string>{"Docs", "a.txt"})) << "no temporary left";
}

TEST(DeliveredItems, AReplaceThatCannotFinishLeavesTheOldItemAndTheStagedOne) {
    TemporaryDirectory temp;
    // A read-only destination folder.
    SmallDisk readOnly(temp.path() / "ro", 1 << 20);
    if (!readOnly.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs privileges this run does not have";
    writeText(temp.path() / "ro" / "a.txt", "old");
    writeText(temp.path() / "staging" / "a.txt", "new");
    ASSERT_TRUE(readOnly.makeReadOnly());
    EXPECT_TRUE(replaceItem(temp.path() / "staging" / "a.txt", temp.path() / "ro" / "a.txt"));
    EXPECT_EQ(fileText(temp.path() / "ro" / "a.txt"), "old");
    EXPECT_EQ(fileText(temp.path() / "staging" / "a.txt"), "new");

    // A destination on a small file system that the new item does not fit: the copy across file
    // systems fails half-way.
    SmallDisk small(temp.path() / "small", 256 << 10);
    ASSERT_TRUE(small.mounted());
    writeText(temp.path() / "small" / "big.bin", "old");
    writeFile(temp.path() / "staging" / "big.bin", randomBytes(1 << 20, 3));
    EXPECT_TRUE(replaceItem(temp.path() / "staging" / "big.bin", temp.path() / "small" / "big.bin"));
    EXPECT_EQ(fileText(temp.path() / "small" / "big.bin"), "old");
    EXPECT_EQ(fs::file_size(temp.path() / "staging" / "big.bin"), 1u << 20);
    EXPECT_EQ(names(temp.path() / "small"), std::vector<std::string>{"big.bin"}) << "the partial copy is gone";
}

TEST(DeliveredItems, ACopyAcrossFileSystemsThatLosesItsNameToAnotherWriterLeavesTheirItem) {
    TemporaryDirectory temp;
    SmallDisk other(temp.path() / "other", 1 << 20);
    if (!other.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs privileges this run does not have";
    const auto staged = temp.path() / "staging" / "a.txt";
    const auto target = temp.path() / "other" / "a.txt";
    writeText(staged, "new");
    // The copy's open of the staged file waits until another writer has taken the target name.
    const int watch = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    if (watch < 0) GTEST_SKIP() << "holding an open needs fanotify permission events";
    if (::fanotify_mark(watch, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, staged.c_str()) != 0) {
        ::close(watch);
        GTEST_SKIP() << "holding an open needs fanotify permission events";
    }
    std::thread writer([&] {
        // A generous bound, only so that a move that never opens the file cannot hang the run.
        pollfd ready{watch, POLLIN, 0};
        if (::poll(&ready, 1, 60'000) != 1) return;
        fanotify_event_metadata event{};
        if (::read(watch, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) return;
        writeText(target, "theirs");
        fanotify_response allow{event.fd, FAN_ALLOW};
        EXPECT_EQ(::write(watch, &allow, sizeof allow), static_cast<ssize_t>(sizeof allow));
        ::close(event.fd);
    });
    const auto error = moveItem(staged, target);
    writer.join();
    ::close(watch);
    EXPECT_EQ(error.value(), EEXIST);
    EXPECT_EQ(fileText(target), "theirs") << "the other writer's file stays";
    EXPECT_EQ(fileText(staged), "new") << "the staged item stays for another try";
}

TEST(DeliveredItems, RemovingAFolderFollowsNoLinkAndHoldsFewDescriptorsHoweverDeep) {
    TemporaryDirectory temp;
    writeText(temp.path() / "outside" / "keep.txt", "theirs");
    // Far deeper than the descriptors this process may still open.
    auto deep = temp.path() / "folder" / "old";
    for (int level = 0; level < 300; ++level) {
        writeText(deep / ("file" + std::to_string(level)), "x");
        if (level % 50 == 7) fs::create_directory_symlink(temp.path() / "outside", deep / "away");
        if (level == 3) fs::create_directories(deep / "wide" / "a" / "b");
        deep /= "d";
    }
    fs::create_directories(deep);
    FileDescriptor folder(::open((temp.path() / "folder").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder.valid());

    rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    const auto open = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    rlimit tight = before;
    tight.rlim_cur = static_cast<rlim_t>(open + 40);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const auto error = removeItemIn(folder.get(), "old");
    ::setrlimit(RLIMIT_NOFILE, &before);

    EXPECT_FALSE(error) << error.message();
    EXPECT_TRUE(fs::is_empty(temp.path() / "folder"));
    EXPECT_EQ(fileText(temp.path() / "outside" / "keep.txt"), "theirs");
    // A link is removed as itself.
    fs::create_directory_symlink(temp.path() / "outside", temp.path() / "folder" / "link");
    EXPECT_FALSE(removeItemIn(folder.get(), "link"));
    EXPECT_EQ(names(temp.path() / "outside"), std::vector<std::string>{"keep.txt"});
}

TEST(DeliveredItems, ACopyBetweenFoldersTakesLinksAsLinksOnlyAFreeNameAndStopsAtItsDepth) {
    TemporaryDirectory temp;
    writeText(temp.path() / "outside" / "secret.txt", "s");
    writeText(temp.path() / "from" / "Docs" / "inner" / "a.txt", "a");
    fs::create_symlink(temp.path() / "outside" / "secret.txt", temp.path() / "from" / "Docs" / "secret");
    fs::permissions(temp.path() / "from" / "Docs" / "inner", fs::perms(0750));
    FileDescriptor from(::open((temp.path() / "from").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    fs::create_directories(temp.path() / "to");
    FileDescriptor to(::open((temp.path() / "to").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

    EXPECT_FALSE(copyItemBetween(from.get(), "Docs", to.get(), "Docs"));
    EXPECT_EQ(fileText(temp.path() / "to" / "Docs" / "inner" / "a.txt"), "a");
    EXPECT_EQ(fs::status(temp.path() / "to" / "Docs" / "inner").permissions(), fs::perms(0750));
    EXPECT_TRUE(fs::is_symlink(temp.path() / "to" / "Docs" / "secret"));

    // A name that is taken stays as it is.
    writeText(temp.path() / "to" / "taken", "mine");
    EXPECT_EQ(copyItemBetween(from.get(), "Docs", to.get(), "taken").value(), EEXIST);
    EXPECT_EQ(fileText(temp.path() / "to" / "taken"), "mine");

    // Deeper than a copy goes: refused, and nothing of it stays.
    auto deep = temp.path() / "from" / "Deep";
    for (int level = 0; level < 80; ++level) deep /= "d";
    writeText(deep / "bottom.txt", "b");
    EXPECT_EQ(copyItemBetween(from.get(), "Deep", to.get(), "Deep"), std::errc::filename_too_long);
    EXPECT_EQ(names(temp.path() / "to"), (std::vector<std::string>{"Docs", "taken"}));
}

}  // namespace DeliveredItemsTests
