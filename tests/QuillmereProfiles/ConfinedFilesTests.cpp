// Folders and items below a root reached from its opened folder: how deep a destination may go,
// what a refused one leaves behind, and how many descriptors either holds on the way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <set>

#include "QuillmereProfiles/ConfinedFiles.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

namespace ConfinedFilesTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> levels(std::size_t count, const std::string& name = "l") {
    std::vector<std::string> out;
    for (std::size_t i = 1; i <= count; ++i) out.push_back(name + std::to_string(i));
    return out;
}

fs::path below(fs::path root, const std::vector<std::string>& components) {
    for (const auto& part : components) root /= part;
    return root;
}

std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// While it lives, this process can open only `spare` descriptors beyond those it has open: a
// resolution that held one descriptor per level would run out.
class DescriptorAllowance {
public:
    explicit DescriptorAllowance(int spare) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        std::set<int> open;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
            open.insert(std::stoi(entry.path().filename().string()));
        // A new descriptor takes the lowest free number, and none may reach the limit.
        int limit = 0;
        for (int free = 0; free < spare; ++limit)
            if (!open.contains(limit)) ++free;
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(limit);
        EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    ~DescriptorAllowance() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    DescriptorAllowance(const DescriptorAllowance&) = delete;
    DescriptorAllowance& operator=(const DescriptorAllowance&) = delete;

private:
    rlimit saved_{};
};

}  // namespace

TEST(ConfinedFiles, AFolderAnyDepthBelowTheRootIsReachedWithAFewDescriptors) {
    TemporaryDirectory temp;
    const auto root = fs::canonical(temp.path());
    const auto chain = levels(200);
    fs::create_directories(below(root, chain));
    writeText(below(root, chain) / "deep.txt", "deep");
    std::vector<std::string> sixtyFour(chain.begin(), chain.begin() + 64);
    // Down 64 levels, back up 60 (past every descriptor kept on the way) and into a new folder.
    auto climbing = sixtyFour;
    climbing.insert(climbing.end(), 60, "..");
    climbing.push_back("made");

    const auto before = openDescriptors();
    {
        DescriptorAllowance allowance(16);
        auto deepest = resolveFolderBelow(root, sixtyFour, false);
        ASSERT_TRUE(deepest) << "64 levels, with 16 descriptors to spare";
        EXPECT_EQ(deepest->path, below(root, sixtyFour));
        auto climbed = resolveFolderBelow(root, climbing, true);
        ASSERT_TRUE(climbed);
        EXPECT_EQ(climbed->path, root / "l1" / "l2" / "l3" / "l4" / "made");
        EXPECT_TRUE(fs::is_directory(root / "l1" / "l2" / "l3" / "l4" / "made"));

        // An item 200 levels down, reached the same way.
        auto components = chain;
        components.push_back("deep.txt");
        FileDescriptor rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        auto item = openItemBelow(rootFd.get(), root, components, O_RDONLY);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->components, components);
        EXPECT_EQ(item->size, 4u);
        char text[4] = {};
        EXPECT_EQ(::read(item->fd.get(), text, sizeof text), 4);
        EXPECT_EQ(std::string(text, 4), "deep");
    }
    EXPECT_EQ(openDescriptors(), before) << "nothing is left open";
}

TEST(ConfinedFiles, ADestinationDeeperThan64LevelsIsRefusedAndMakesNothing) {
    TemporaryDirectory temp;
    const auto root = fs::canonical(temp.path()) / "home";
    fs::create_directories(root);

    const auto before = openDescriptors();
    EXPECT_FALSE(resolveFolderBelow(root, levels(2000), true));
    EXPECT_TRUE(fs::is_empty(root)) << "nothing made for a refused destination";
    EXPECT_FALSE(resolveFolderBelow(root, levels(maxResolvedFolderDepth + 1), true));
    EXPECT_TRUE(fs::is_empty(root));
    auto exact = resolveFolderBelow(root, levels(maxResolvedFolderDepth), true);
    ASSERT_TRUE(exact) << "exactly 64 levels";
    EXPECT_EQ(exact->path, below(root, levels(maxResolvedFolderDepth)));
    exact.reset();
    EXPECT_EQ(openDescriptors(), before);

    // Levels are counted where the destination really leads, after links and "..".
    fs::create_directory_symlink(below(root, levels(60)), root / "far");
    EXPECT_TRUE(resolveFolderBelow(root, {"far", "a", "b", "c", "d"}, true));
    EXPECT_FALSE(resolveFolderBelow(root, {"far", "a", "b", "c", "d", "e"}, true));
    EXPECT_FALSE(fs::exists(below(root, levels(60)) / "a" / "b" / "c" / "d" / "e"));
    EXPECT_TRUE(resolveFolderBelow(root, {"far", "..", "..", "x", "y", "z", "w"}, true)) << "60 - 2 + 4 levels";
    EXPECT_FALSE(resolveFolderBelow(root, {"far", "..", "x", "y", "z", "w", "v", "u"}, true)) << "60 - 1 + 6 levels";
    EXPECT_FALSE(fs::exists(below(root, levels(59)) / "x"));

    // A destination whose last folder cannot be made leaves none of those made before it.
    EXPECT_FALSE(resolveFolderBelow(root, {"new1", "new2", std::string(NAME_MAX + 1, 'n')}, true));
    EXPECT_FALSE(fs::exists(root / "new1"));
    // A folder that was there already stays.
    fs::create_directories(root / "kept");
    EXPECT_FALSE(resolveFolderBelow(root, {"kept", "new", std::string(NAME_MAX + 1, 'n')}, true));
    EXPECT_TRUE(fs::is_directory(root / "kept"));
    EXPECT_FALSE(fs::exists(root / "kept" / "new"));
}

}  // namespace ConfinedFilesTests
