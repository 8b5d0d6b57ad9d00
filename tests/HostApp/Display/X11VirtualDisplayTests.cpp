#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/X11Displays.h"
#include "Platform/Linux/X11ScreenCapture.h"
#include "Platform/Linux/X11VirtualDisplays.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"

namespace X11VirtualDisplayTests {

using namespace qm;

namespace {

struct X11Rig {
    std::shared_ptr<X11DisplayService> displays;
    HostPlatform platform;
    std::vector<std::string> log;

    explicit X11Rig(const test::VirtualXServer& server) : displays(X11DisplayService::open(server.name())) {
        platform.clock = SystemClock::shared();
        platform.makeQueue = [](const std::string& label) -> DispatchQueuePtr {
            return std::make_shared<AsioDispatchQueue>(label);
        };
        platform.displays = displays;
        if (displays) platform.virtualDisplays = std::make_shared<X11VirtualDisplayFactory>(displays);
    }
};

}  // namespace

TEST(X11VirtualDisplay, The1080PresetBecomesAMonitorThatIsCapturedAtItsSizeAndGoesAwayOnStop) {
    // Xvfb's framebuffer is as large as it starts; the desktop is brought down to 1280 x 720 so
    // there is room to its right.
    test::VirtualXServer server("3200x1080x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    ASSERT_TRUE(server.addMode(1280, 720));
    X11Rig rig(server);
    ASSERT_TRUE(rig.displays);
    if (!rig.displays->supportsMonitors()) GTEST_SKIP() << "this Xvfb has no RandR monitors";
    const DisplayID desktop = rig.displays->mainDisplayID();
    DisplayMode hd;
    hd.width = hd.pixelWidth = 1280;
    hd.height = hd.pixelHeight = 720;
    ASSERT_EQ(rig.displays->setDisplayMode(desktop, hd), displayErrorSuccess);

    HeadlessVirtualDisplay virtualDisplay(rig.platform);
    virtualDisplay.logSink = [&](const std::string& line) { rig.log.push_back(line); };
    ASSERT_EQ(virtualDisplay.startPresetDisplay(HeadlessVirtualDisplay::standard1080Preset(), "Quillmere", desktop, true),
              std::nullopt);
    const DisplayID id = virtualDisplay.displayID;
    ASSERT_NE(id, 0u);
    EXPECT_EQ(virtualDisplay.pixelWidth, 1920);
    EXPECT_EQ(virtualDisplay.logicalHeight, 1080);
    // A monitor of its own to the right of the desktop, which keeps its place and size.
    EXPECT_EQ(rig.displays->bounds(id), Rect(1280, 0, 1920, 1080));
    EXPECT_EQ(rig.displays->bounds(desktop), Rect(0, 0, 1280, 720));
    const auto active = rig.displays->activeDisplayIDs();
    EXPECT_NE(std::find(active.begin(), active.end(), id), active.end());

    // The layout Viewers are told of puts it where the monitor is, so their pointer positions
    // land on it; the union is the whole screen.
    HostDisplayModeSwitcher switcher(rig.displays, rig.platform.clock);
    DisplayTargetState state;
    state.useVirtualDisplay(false);
    state.selectDisplay(desktop);
    state.setVideoMode(VideoCaptureMode::physical1080);
    const auto layout = state.currentDisplayLayout(switcher, virtualDisplay);
    EXPECT_EQ(layout, (DisplayLayoutPayload{id, 1280, 0, 1920, 1080, 0, 0, 3200, 1080, 1920, 1080, 0}));
    const auto bounds = rig.displays->bounds(id);
    EXPECT_EQ(Rect(static_cast<double>(layout.targetX), static_cast<double>(layout.targetY),
                   static_cast<double>(layout.targetWidth), static_cast<double>(layout.targetHeight)),
              bounds);

    // What is drawn there is captured, at the monitor's size.
    ASSERT_TRUE(server.fillRectangle(1280 + 100, 50, 64, 64, 0x10E0F0));
    // Outlive the stream and the queue whose thread writes them.
    std::mutex mutex;
    std::optional<CapturedFrame> frame;
    std::optional<std::string> stopped;
    std::optional<std::string> startError{"not started"};
    X11ScreenCapture capture(rig.displays);
    StreamConfiguration configuration;
    configuration.minimumFrameInterval = 1.0 / 30;
    auto stream = capture.makeStream(id, configuration);
    auto queue = std::make_shared<AsioDispatchQueue>("x11.virtual.capture");
    stream->addScreenOutput(queue, [&](const CapturedFrame& f) {
        std::lock_guard lock(mutex);
        if (!frame) frame = f;
    });
    stream->setStopHandler([&](const std::string& error) {
        std::lock_guard lock(mutex);
        stopped = error;
    });
    stream->startCapture([&](const std::optional<std::string>& error) { startError = error; });
    ASSERT_FALSE(startError) << *startError;
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return frame.has_value();
    }));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(frame->pixelBuffer->width, 1920);
        EXPECT_EQ(frame->pixelBuffer->height, 1080);
        const std::uint8_t* p = frame->pixelBuffer->row(80) + 130 * 4;
        EXPECT_EQ((std::vector<int>{p[0], p[1], p[2]}), (std::vector<int>{0xF0, 0xE0, 0x10}));
        frame.reset();
    }

    // Stopping removes the monitor, gives the room back, and the stream on it ends by itself.
    virtualDisplay.stop(true);
    const auto after = rig.displays->onlineDisplays();
    EXPECT_TRUE(std::none_of(after.begin(), after.end(), [&](const DisplayInfo& d) { return d.displayID == id; }));
    EXPECT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return stopped.has_value();
    }));
    EXPECT_EQ(stopped.value_or(""), "display " + std::to_string(id) + " is no longer available");
    stream->stopCapture({});
    queue->sync([] {});
    // The room is free again: another display of the same size fits.
    auto again = std::make_shared<X11VirtualDisplayFactory>(rig.displays)->makeDisplay(VirtualDisplayDescriptor{});
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->applySettings(VirtualDisplaySettings{{{1920, 1080, 60}}, 0}))
        << "the room the first display took was not given back";
}

TEST(X11VirtualDisplay, AServerWithoutRoomReportsThePresetRejected) {
    // A screen already at its largest size cannot grow to hold the display.
    test::VirtualXServer server("1280x720x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    X11Rig rig(server);
    ASSERT_TRUE(rig.displays);
    if (!rig.displays->supportsMonitors()) GTEST_SKIP() << "this Xvfb has no RandR monitors";
    const auto before = rig.displays->onlineDisplays();

    HeadlessVirtualDisplay virtualDisplay(rig.platform);
    virtualDisplay.logSink = [&](const std::string& line) { rig.log.push_back(line); };
    const auto error = virtualDisplay.startPresetDisplay(HeadlessVirtualDisplay::standard1080Preset(), "Quillmere", 0, true);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->rfind("CGVirtualDisplay rejected preset display [", 0), 0u) << *error;
    EXPECT_FALSE(virtualDisplay.isActive());
    EXPECT_EQ(rig.displays->onlineDisplays(), before);
}

TEST(X11VirtualDisplay, ARegisteredPresetIsSwitchedInPlaceAndPromotionMakesItTheMainDisplayWithoutMovingTheDesktop) {
    test::VirtualXServer server("4480x1440x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    ASSERT_TRUE(server.addMode(1920, 1080));
    X11Rig rig(server);
    ASSERT_TRUE(rig.displays);
    if (!rig.displays->supportsMonitors()) GTEST_SKIP() << "this Xvfb has no RandR monitors";
    const DisplayID desktop = rig.displays->mainDisplayID();
    DisplayMode hd;
    hd.width = hd.pixelWidth = 1920;
    hd.height = hd.pixelHeight = 1080;
    ASSERT_EQ(rig.displays->setDisplayMode(desktop, hd), displayErrorSuccess);

    HeadlessVirtualDisplay virtualDisplay(rig.platform);
    virtualDisplay.logSink = [&](const std::string& line) { rig.log.push_back(line); };
    ASSERT_EQ(virtualDisplay.startPresetDisplay(HeadlessVirtualDisplay::standard1080Preset(), "Quillmere", desktop, true),
              std::nullopt);
    const DisplayID id = virtualDisplay.displayID;
    // The layout it reports is where it is on the screen: right of the desktop.
    EXPECT_EQ(virtualDisplay.x, 1920);
    EXPECT_EQ(rig.displays->bounds(id), Rect(1920, 0, 1920, 1080));

    // 1440p is in the family: the same display switches, nothing is rebuilt.
    ASSERT_TRUE(virtualDisplay.activatePreset(HeadlessVirtualDisplay::standard1440Preset()));
    EXPECT_EQ(virtualDisplay.displayID, id);
    EXPECT_EQ(rig.displays->bounds(id), Rect(1920, 0, 2560, 1440));
    EXPECT_EQ(virtualDisplay.pixelWidth, 2560);
    EXPECT_TRUE(std::none_of(rig.log.begin(), rig.log.end(),
                             [](const std::string& l) { return l.find("stopping display") != std::string::npos; }));

    // Promotion: the virtual display becomes the main display; the real one keeps its place.
    const auto [promoted, message] = virtualDisplay.promoteToPrimaryDesktop(desktop);
    EXPECT_TRUE(promoted) << message;
    EXPECT_EQ(rig.displays->mainDisplayID(), id);
    EXPECT_EQ(rig.displays->bounds(desktop), Rect(0, 0, 1920, 1080));

    // Gone again: the real display is the main one, at the origin, at its mode.
    virtualDisplay.stop(true);
    EXPECT_EQ(rig.displays->mainDisplayID(), desktop);
    EXPECT_EQ(rig.displays->bounds(desktop), Rect(0, 0, 1920, 1080));
}

}  // namespace X11VirtualDisplayTests
