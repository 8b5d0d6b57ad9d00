// The server on a real X server (Xvfb): what a Viewer's session does to the user's screen.
#include <gtest/gtest.h>

#include "Platform/Linux/SystemDisplays.h"
#include "support/LiveServer.h"
#include "support/TestViewer.h"
#include "support/VirtualXServer.h"

namespace ServerX11DisplayTests {

using namespace qm;
using namespace qm::test;

namespace {

// The Host's display backends on `x`, handed to a live server.
LiveServer::Setup x11Setup(const VirtualXServer& x, SystemDisplayBackends& backends) {
    backends = makeSystemDisplayBackends(SystemClock::shared(), x.name());
    LiveServer::Setup setup;
    setup.displays = backends.displays;
    setup.screenCapture = backends.screenCapture;
    setup.virtualDisplays = backends.virtualDisplays;
    return setup;
}

struct SignedInViewer {
    TestViewer control;
    TestViewer video;
    explicit SignedInViewer(LiveServer& live) : control(live.ports().control), video(live.ports().video) {}
    bool signIn() {
        auto a = control.signIn(LiveServer::user, LiveServer::password, "X Viewer");
        auto b = video.signIn(LiveServer::user, LiveServer::password, "X Viewer");
        return a && a->accepted && b && b->accepted;
    }
    std::optional<VideoStreamConfigPayload> config(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto frame = video.waitFor(AuxPacketType::videoConfig, timeout);
        if (!frame) return std::nullopt;
        return VideoStreamConfigPayload::decode(frame->payload);
    }
    void leave() {
        video.disconnect();
        control.disconnect();
    }
};

std::pair<std::int64_t, std::int64_t> modeOf(const DisplayService& displays, DisplayID id) {
    const auto mode = displays.currentMode(id);
    return mode ? std::pair{mode->width, mode->height} : std::pair<std::int64_t, std::int64_t>{0, 0};
}

}  // namespace

TEST(ServerOnX11, ADefaultViewerLeavesThe1440DisplayAloneAndASwitchedModeComesBackWhenViewersLeave) {
    VirtualXServer x("2560x1440x24");
    if (!x.running()) GTEST_SKIP() << x.reason();
    ASSERT_TRUE(x.addMode(1920, 1080));
    // A desktop as users have it; the test holds without one too.
    x.startWindowManager();
    SystemDisplayBackends backends;
    auto setup = x11Setup(x, backends);
    ASSERT_EQ(backends.description.rfind("X11", 0), 0u) << backends.description;
    const auto displays = backends.displays;
    const DisplayID screen = displays->mainDisplayID();
    const std::pair<std::int64_t, std::int64_t> native{2560, 1440};
    ASSERT_EQ(modeOf(*displays, screen), native);

    auto live = std::make_unique<LiveServer>(setup);
    {
        // A Viewer that asks for nothing gets Easy at the display's own resolution.
        SignedInViewer viewer(*live);
        ASSERT_TRUE(viewer.signIn());
        const auto config = viewer.config();
        ASSERT_TRUE(config);
        EXPECT_EQ(config->mode, VideoCaptureMode::easy);
        EXPECT_EQ(modeOf(*displays, screen), native);
        EXPECT_GT(live->countStatuses("easy adaptive: capturing physical display " + std::to_string(screen)), 0u);
        EXPECT_EQ(live->countStatuses("host display switched"), 0u);
        viewer.leave();
        ASSERT_TRUE(live->waitForStatus("video capture stopped; no Viewer left"));
        EXPECT_EQ(modeOf(*displays, screen), native);
    }
    {
        // A Viewer that asks for 1080p gets the switch; when it leaves, the user's mode is back.
        SignedInViewer viewer(*live);
        ASSERT_TRUE(viewer.signIn());
        const auto request = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv420,
                                                               VideoCaptureBackend::physical);
        viewer.control.send(AuxPacketType::captureModeControl, request.encode());
        ASSERT_TRUE(live->waitForStatus("host display switched mode=1080p", std::chrono::seconds(30)));
        EXPECT_EQ(modeOf(*displays, screen), (std::pair<std::int64_t, std::int64_t>{1920, 1080}));
        viewer.leave();
        ASSERT_TRUE(waitUntil([&] { return modeOf(*displays, screen) == native; }, std::chrono::seconds(20)));
    }
    {
        // Switched again and the Host stops with the Viewer still there: the stop puts it back.
        SignedInViewer viewer(*live);
        ASSERT_TRUE(viewer.signIn());
        const auto request = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv420,
                                                               VideoCaptureBackend::physical);
        viewer.control.send(AuxPacketType::captureModeControl, request.encode());
        ASSERT_TRUE(waitUntil([&] { return live->countStatuses("host display switched mode=1080p") >= 2; },
                              std::chrono::seconds(30)));
        live.reset();
        EXPECT_EQ(modeOf(*displays, screen), native);
    }
}

}  // namespace ServerX11DisplayTests
