// The link socket: where it may live (never where another user can take it over) and what a flood
// of links costs the running Host.
#include "Platform/Linux/LocalURLEvents.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "Platform/Core/LogSink.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "support/TestPlatform.h"

namespace qm::test {
namespace LocalURLEventsTests {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

TEST(LinkSocket, TheRuntimeFolderIsUsedOnlyWhenItIsTheUsersOwnAndPrivate) {
    TemporaryDirectory temp;
    const auto runtime = temp.path() / "runtime";
    const auto cache = temp.path() / "home" / ".cache";
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    std::string error;
    EXPECT_EQ(LocalURLEventListener::socketPath(runtime.c_str(), cache, &error), runtime / "quillmere-host.sock");

    // Writable by others, or another user's: another user could put a socket there first.
    const auto privateSocket = cache / "quillmere-host" / "quillmere-host.sock";
    const mode_t previous = ::umask(0);
    ::chmod(runtime.c_str(), 0777);
    EXPECT_EQ(LocalURLEventListener::socketPath(runtime.c_str(), cache, &error), privateSocket) << error;
    ::umask(previous);
    EXPECT_EQ(modeOf(cache / "quillmere-host"), 0700u) << "owner-only even with no umask";
    ::chmod(runtime.c_str(), 0700);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
        EXPECT_EQ(LocalURLEventListener::socketPath(runtime.c_str(), cache, &error), privateSocket);
    }
    // No runtime folder, or a relative one: the private folder, never a shared one.
    EXPECT_EQ(LocalURLEventListener::socketPath(nullptr, cache, &error), privateSocket);
    EXPECT_EQ(LocalURLEventListener::socketPath("run", cache, &error), privateSocket);

    // A private folder made wider by hand is narrowed again; one that is not the user's is refused.
    ::chmod((cache / "quillmere-host").c_str(), 0755);
    EXPECT_EQ(LocalURLEventListener::socketPath(nullptr, cache, &error), privateSocket);
    EXPECT_EQ(modeOf(cache / "quillmere-host"), 0700u);
    fs::remove_all(cache / "quillmere-host");
    std::ofstream(cache / "quillmere-host") << "planted";
    error.clear();
    EXPECT_TRUE(LocalURLEventListener::socketPath(nullptr, cache, &error).empty());
    EXPECT_NE(error.find("is not a folder of this user's"), std::string::npos) << error;
    EXPECT_FALSE(LocalURLEventListener::listen({}, nullptr, [](const std::string&) {}, &error));
    if (::geteuid() == 0) {
        fs::remove(cache / "quillmere-host");
        fs::create_directory(cache / "quillmere-host");
        ASSERT_EQ(::chown((cache / "quillmere-host").c_str(), 65534, 65534), 0);
        EXPECT_TRUE(LocalURLEventListener::socketPath(nullptr, cache, &error).empty());
    }
}

TEST(LinkSocket, AFloodOfLinksIsBoundedOnTheQueueAndCountedInTheLog) {
    TemporaryDirectory temp;
    auto clock = std::make_shared<ManualClock>();
    auto queue = std::make_shared<ManualDispatchQueue>("main", clock);
    std::vector<std::string> received;
    std::vector<std::string> lines;
    LogSink::shared().setWritesStandardError(false);
    auto subscription = LogSink::shared().subscribe([&](std::string_view line) {
        if (line.find("links:") != std::string_view::npos) lines.emplace_back(line);
    });
    std::string error;
    auto listener = LocalURLEventListener::listen(temp.path() / "host.sock", queue,
                                                  [&](const std::string& url) { received.push_back(url); }, &error);
    ASSERT_TRUE(listener) << error;
    constexpr std::size_t sent = 200;
    for (std::size_t i = 0; i < sent; ++i)
        ASSERT_TRUE(LocalURLEventListener::send(temp.path() / "host.sock", "quillmerehost://x/" + std::to_string(i), &error))
            << error;
    ASSERT_TRUE(waitUntil([&] { return listener->addressesRead() == sent; }));
    listener.reset();  // ends the burst: its report is written before the listener is gone
    queue->runUntilIdle();
    LogSink::shared().setWritesStandardError(true);

    ASSERT_EQ(received.size(), LocalURLEventListener::maxWaitingURLs);
    EXPECT_EQ(received.front(), "quillmerehost://x/0") << "the first ones are kept, in order";
    // One line per burst (a stalled sender can split the flood in two), with every drop counted.
    std::size_t dropped = 0;
    for (const auto& line : lines) {
        const auto at = line.find("dropped ");
        ASSERT_NE(at, std::string::npos) << line;
        dropped += std::stoul(line.substr(at + 8));
    }
    EXPECT_GE(lines.size(), 1u);
    EXPECT_LE(lines.size(), 3u);
    EXPECT_EQ(dropped, sent - LocalURLEventListener::maxWaitingURLs);
}

}  // namespace
}  // namespace LocalURLEventsTests
}  // namespace qm::test
