// The link socket: where it may live (never where another user can take it over), what a flood
// of links or a slow client costs the running Host, and what a sender is told.
#include "Platform/Linux/LocalURLEvents.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "Platform/Core/LogSink.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "support/TestPlatform.h"

namespace qm::test {
namespace LocalURLEventsTests {
namespace {

namespace fs = std::filesystem;

using namespace std::chrono_literals;
using HandOff = LocalURLEventListener::HandOff;

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

sockaddr_un addressOf(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// A client of the socket written by hand, to play the slow one or to end its message by the close.
struct RawSocket {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ~RawSocket() { ::close(fd); }
    bool connect(const fs::path& path) {
        const auto address = addressOf(path);
        return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    bool write(std::string_view text) { return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size()); }
    // Everything until the other side closes (20 s at most).
    std::string readToEnd() {
        const timeval limit{20, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string text;
        char buffer[64];
        for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, std::size_t(got));
        return text;
    }
};

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
    std::size_t taken = 0;
    for (std::size_t i = 0; i < sent; ++i) {
        const auto result = LocalURLEventListener::send(temp.path() / "host.sock", "quillmerehost://x/" + std::to_string(i), &error);
        ASSERT_NE(result, HandOff::noHost) << error;
        if (result == HandOff::taken) ++taken;
    }
    ASSERT_TRUE(waitUntil([&] { return listener->addressesRead() == sent; }));
    listener.reset();  // ends the burst: its report is written before the listener is gone
    queue->runUntilIdle();
    LogSink::shared().setWritesStandardError(true);

    ASSERT_EQ(received.size(), LocalURLEventListener::maxWaitingURLs);
    EXPECT_EQ(taken, received.size()) << "a dropped link's sender is told it was not taken";
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

TEST(LinkSocket, ASlowClientIsCutOffAfterItsSecondAndDelaysNoOtherClient) {
    TemporaryDirectory temp;
    auto clock = std::make_shared<ManualClock>();
    auto queue = std::make_shared<ManualDispatchQueue>("main", clock);
    std::vector<std::string> received;
    std::string error;
    const auto path = temp.path() / "host.sock";
    auto listener = LocalURLEventListener::listen(path, queue, [&](const std::string& url) { received.push_back(url); }, &error);
    ASSERT_TRUE(listener) << error;

    // One client sends a byte now and then and never ends its line; another sends a whole link.
    RawSocket slow;
    ASSERT_TRUE(slow.connect(path));
    ASSERT_TRUE(slow.write("quillmerehost://slow"));
    RawSocket quick;
    ASSERT_TRUE(quick.connect(path));
    ASSERT_TRUE(quick.write("quillmerehost://quick\n"));

    // The slow one keeps sending for as long as the Host lets it (20 s as a safety net); the
    // quick one's link is read meanwhile, and the slow one is cut off without an answer.
    bool slowCut = false;
    bool quickReadWhileSlowSent = false;
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (!slowCut && std::chrono::steady_clock::now() < giveUp) {
        if (listener->addressesRead() == 1) quickReadWhileSlowSent = true;
        pollfd watch{slow.fd, POLLIN, 0};
        if (::poll(&watch, 1, 250) > 0) {
            char byte = 0;
            // The end, or a reset when the Host closed with the last bytes unread.
            ASSERT_LE(::recv(slow.fd, &byte, 1, MSG_DONTWAIT), 0) << "the slow client got an answer";
            slowCut = true;
        } else {
            slow.write("x");
        }
    }
    EXPECT_TRUE(quickReadWhileSlowSent) << "the quick link waited for the slow client";
    EXPECT_TRUE(slowCut) << "the slow client kept the socket as long as it liked";
    EXPECT_EQ(quick.readToEnd(), "ok\n");

    listener.reset();
    queue->runUntilIdle();
    EXPECT_EQ(received, std::vector<std::string>{"quillmerehost://quick"}) << "an unfinished message is never handed on";
}

TEST(LinkSocket, ASenderIsToldWhetherTheRunningHostTookItsMessage) {
    TemporaryDirectory temp;
    auto clock = std::make_shared<ManualClock>();
    auto queue = std::make_shared<ManualDispatchQueue>("main", clock);
    std::vector<std::string> received;
    std::string error;

    // Nobody listens: the sender may start a Host of its own.
    EXPECT_EQ(LocalURLEventListener::send(temp.path() / "none.sock", "reopen", &error), HandOff::noHost);

    // A Host that takes it answers once the whole message is read.
    const auto path = temp.path() / "host.sock";
    auto listener = LocalURLEventListener::listen(path, queue, [&](const std::string& url) { received.push_back(url); }, &error);
    ASSERT_TRUE(listener) << error;
    EXPECT_EQ(LocalURLEventListener::send(path, "quillmerehost://update/restart", &error), HandOff::taken) << error;
    RawSocket byHand;
    ASSERT_TRUE(byHand.connect(path));
    ASSERT_TRUE(byHand.write("reopen"));
    ::shutdown(byHand.fd, SHUT_WR);  // ended by the close instead of a line feed
    EXPECT_EQ(byHand.readToEnd(), "ok\n");
    listener.reset();
    queue->runUntilIdle();
    EXPECT_EQ(received, (std::vector<std::string>{"quillmerehost://update/restart", "reopen"}));

    // Something listens but never reads (a stuck Host): the message was not taken, and the sender
    // says so within its time. (A Host that reads a message and drops it: the flood above.)
    const auto stuck = temp.path() / "stuck.sock";
    RawSocket stuckHost;
    const auto address = addressOf(stuck);
    ASSERT_EQ(::bind(stuckHost.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(stuckHost.fd, 4), 0);
    error.clear();
    EXPECT_EQ(LocalURLEventListener::send(stuck, "quillmerehost://x", &error, 300ms), HandOff::notTaken);
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace LocalURLEventsTests
}  // namespace qm::test
