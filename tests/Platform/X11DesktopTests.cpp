// The X11 capture and connections against a real server (Xvfb): the pointer in the picture and a
// server that goes away under the Host.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/X11Connection.h"
#include "Platform/Linux/X11Displays.h"
#include "Platform/Linux/X11ScreenCapture.h"
#include "Platform/Linux/X11SessionDesktop.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xlib.h>

namespace X11DesktopTests {

using namespace qm;

namespace {

// One frame of the display, taken through a stream as the Host takes them.
std::shared_ptr<const PixelBuffer> grab(ScreenCaptureService& capture, DisplayID id) {
    std::mutex mutex;  // these outlive the stream and the queue whose thread writes them
    std::shared_ptr<const PixelBuffer> picture;
    StreamConfiguration configuration;
    configuration.minimumFrameInterval = 1.0 / 30;
    auto stream = capture.makeStream(id, configuration);
    auto queue = std::make_shared<AsioDispatchQueue>("x11.grab");
    stream->addScreenOutput(queue, [&](const CapturedFrame& frame) {
        std::lock_guard lock(mutex);
        if (!picture) {
            // Copied: the frame's image goes back to the stream's pool.
            auto copy = std::make_shared<PixelBuffer>(frame.pixelBuffer->width, frame.pixelBuffer->height);
            for (std::int64_t y = 0; y < copy->height; ++y)
                std::copy_n(frame.pixelBuffer->row(y), copy->width * 4, copy->row(y));
            picture = copy;
        }
    });
    stream->startCapture({});
    test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return picture != nullptr;
    });
    stream->stopCapture({});
    queue->sync([] {});
    return picture;
}

// How many pixels of the square around (cx, cy) differ from `rgb`.
int differing(const PixelBuffer& picture, int cx, int cy, int radius, unsigned long rgb) {
    int count = 0;
    for (int y = std::max(0, cy - radius); y < std::min<int>(static_cast<int>(picture.height), cy + radius); ++y) {
        for (int x = std::max(0, cx - radius); x < std::min<int>(static_cast<int>(picture.width), cx + radius); ++x) {
            const std::uint8_t* p = picture.row(y) + x * 4;
            if (p[0] != (rgb & 0xFF) || p[1] != ((rgb >> 8) & 0xFF) || p[2] != ((rgb >> 16) & 0xFF)) ++count;
        }
    }
    return count;
}

}  // namespace

TEST(X11ScreenCapture, ThePointerIsDrawnWhereItIsAndNowhereElse) {
    test::VirtualXServer server("640x360x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    auto displays = X11DisplayService::open(server.name());
    ASSERT_TRUE(displays);
    if (!X11ScreenCapture::isSupported(server.name())) GTEST_SKIP() << "Xvfb offers no shared-memory images";
    constexpr unsigned long background = 0x808080;
    ASSERT_TRUE(server.fillRectangle(0, 0, 640, 360, background));
    X11ScreenCapture capture(displays);
    const DisplayID id = displays->mainDisplayID();

    ASSERT_TRUE(server.movePointer(100, 100));
    auto first = grab(capture, id);
    ASSERT_TRUE(first);
    EXPECT_GT(differing(*first, 100, 100, 12, background), 10);
    EXPECT_EQ(differing(*first, 500, 250, 12, background), 0);

    ASSERT_TRUE(server.movePointer(500, 250));
    auto second = grab(capture, id);
    ASSERT_TRUE(second);
    EXPECT_EQ(differing(*second, 100, 100, 12, background), 0);
    EXPECT_GT(differing(*second, 500, 250, 12, background), 10);
    // Every pixel stays opaque where the pointer is blended in.
    for (int y = 240; y < 260; ++y)
        for (int x = 490; x < 510; ++x) EXPECT_EQ(second->row(y)[x * 4 + 3], 255);
}

TEST(X11Connection, AServerThatGoesAwayEndsCaptureAndLeavesNoDisplaysInsteadOfEndingTheProcess) {
    test::VirtualXServer server("640x360x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    std::mutex mutex;
    std::vector<std::string> lost;
    x11::Connection::setServerLostHandler([&](const std::string& name) {
        std::lock_guard lock(mutex);
        lost.push_back(name);
    });
    auto displays = X11DisplayService::open(server.name());
    ASSERT_TRUE(displays);
    if (!X11ScreenCapture::isSupported(server.name())) GTEST_SKIP() << "Xvfb offers no shared-memory images";
    // Outlive the stream and the queue whose thread writes them.
    std::atomic<int> frames{0};
    std::string stopReason;
    std::atomic<bool> stopped{false};
    X11ScreenCapture capture(displays);
    const DisplayID id = displays->mainDisplayID();
    StreamConfiguration configuration;
    configuration.minimumFrameInterval = 1.0 / 30;
    auto stream = capture.makeStream(id, configuration);
    auto queue = std::make_shared<AsioDispatchQueue>("x11.lost");
    stream->addScreenOutput(queue, [&](const CapturedFrame&) { ++frames; });
    stream->setStopHandler([&](const std::string& error) {
        {
            std::lock_guard lock(mutex);
            stopReason = error;
        }
        stopped = true;
    });
    stream->startCapture({});
    ASSERT_TRUE(test::waitUntil([&] { return frames.load() > 2; }));

    server.terminate();
    ASSERT_TRUE(test::waitUntil([&] { return stopped.load(); }, std::chrono::seconds(20)));
    {
        std::lock_guard lock(mutex);
        EXPECT_NE(stopReason.find("went away"), std::string::npos) << stopReason;
    }
    EXPECT_TRUE(displays->onlineDisplays().empty());
    EXPECT_EQ(displays->mainDisplayID(), 0u);
    EXPECT_TRUE(capture.shareableContent().content->displays.empty());
    {
        std::lock_guard lock(mutex);
        ASSERT_FALSE(lost.empty());
        EXPECT_EQ(lost.front(), server.name());
        // Once per server, however many connections noticed.
        EXPECT_EQ(lost.size(), 1u);
    }
    stream->stopCapture({});
    queue->sync([] {});
    x11::Connection::setServerLostHandler({});
}

namespace {

long currentDesktop(const std::string& server) {
    Display* display = XOpenDisplay(server.c_str());
    if (!display) return -1;
    long value = -1;
    const Atom atom = XInternAtom(display, "_NET_CURRENT_DESKTOP", True);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (atom && XGetWindowProperty(display, DefaultRootWindow(display), atom, 0, 1, False, AnyPropertyType, &type,
                                   &format, &count, &after, &data) == Success && count == 1 && data) {
        value = *reinterpret_cast<long*>(data);
    }
    if (data) XFree(data);
    XCloseDisplay(display);
    return value;
}

void forceScreenSaver(const std::string& server, bool on) {
    Display* display = XOpenDisplay(server.c_str());
    ASSERT_NE(display, nullptr);
    XForceScreenSaver(display, on ? ScreenSaverActive : ScreenSaverReset);
    XSync(display, False);
    XCloseDisplay(display);
}

}  // namespace

TEST(X11SessionDesktop, DesktopsSwitchThroughTheWindowManagerAndFailWithoutOne) {
    test::VirtualXServer server("640x360x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    auto session = X11SessionDesktop::open(server.name());
    ASSERT_TRUE(session);
    // No window manager: a failure with its reason, never a success.
    const auto alone = session->switchDesktop(1);
    ASSERT_TRUE(alone);
    EXPECT_NE(alone->find("window manager"), std::string::npos) << *alone;

    if (!server.startWindowManager()) GTEST_SKIP() << "no window manager (openbox) could be started";
    // The window manager publishes its desktops before it handles requests: the first request is
    // repeated until it is up.
    ASSERT_TRUE(test::waitUntil([&] { return currentDesktop(server.name()) == 0; }));
    ASSERT_TRUE(test::waitUntil([&] {
        EXPECT_EQ(session->switchDesktop(1), std::nullopt);
        return test::waitUntil([&] { return currentDesktop(server.name()) == 1; }, std::chrono::milliseconds(500));
    }, std::chrono::seconds(20)));
    EXPECT_EQ(session->switchDesktop(-1), std::nullopt);
    EXPECT_TRUE(test::waitUntil([&] { return currentDesktop(server.name()) == 0; }));
    // Before the first desktop comes the last one.
    EXPECT_EQ(session->switchDesktop(-1), std::nullopt);
    EXPECT_TRUE(test::waitUntil([&] { return currentDesktop(server.name()) > 0; }));
}

TEST(X11SessionDesktop, TheScreenSaverIsReportedAsSleepAndUserActivityWakesTheScreens) {
    test::VirtualXServer server("640x360x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    std::mutex mutex;  // these outlive the session, whose thread reports into them
    std::vector<bool> changes;
    auto session = X11SessionDesktop::open(server.name());
    ASSERT_TRUE(session);
    session->watchScreenSleep([&](bool sleeping) {
        std::lock_guard lock(mutex);
        changes.push_back(sleeping);
    });
    EXPECT_FALSE(session->screensSleeping());

    forceScreenSaver(server.name(), true);
    if (!session->screensSleeping()) GTEST_SKIP() << "this X server has no screen saver to report";
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return changes == std::vector<bool>{true};
    }));
    // Waking is the Host's own doing: the wake shortcut and remote input declare user activity.
    EXPECT_EQ(session->declareUserActivity("wake"), 0);
    EXPECT_FALSE(session->screensSleeping());
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return changes == std::vector<bool>{true, false};
    }));
}

TEST(X11SessionDesktop, LockingWithoutASessionToLockReportsFailure) {
    test::VirtualXServer server("640x360x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    auto session = X11SessionDesktop::open(server.name());
    ASSERT_TRUE(session);
    // A session id no logind knows, so that a machine with logind never locks its user's screen.
    const char* saved = std::getenv("XDG_SESSION_ID");
    const std::string previous = saved ? saved : "";
    ::setenv("XDG_SESSION_ID", "quillmere-test-no-such-session", 1);
    const auto failure = session->lockSession();
    if (saved) {
        ::setenv("XDG_SESSION_ID", previous.c_str(), 1);
    } else {
        ::unsetenv("XDG_SESSION_ID");
    }
    ASSERT_TRUE(failure);
    EXPECT_FALSE(failure->empty());
}

}  // namespace X11DesktopTests
