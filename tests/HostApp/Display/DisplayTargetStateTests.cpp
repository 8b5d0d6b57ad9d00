#include <gtest/gtest.h>

#include "DisplayTestSupport.h"
#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/HeadlessVirtualDisplayTarget.h"

namespace DisplayTargetStateTests {

using namespace qm;
using namespace qm::test;

TEST(DisplayDescriptions, ModeTextsListsAndActualDisplay) {
    auto m = mode(1920, 1080, 3840, 2160, 59.94, 3);
    m.ioFlags = 7;
    EXPECT_EQ(HostDisplayModeSwitcher::modeDescription(m), "1920x1080[px 3840x2160] 60Hz HiDPI id=3 flags=7");
    auto panel = mode(1600, 900, 2000, 900, 0, -1);  // exactly 1.25: not HiDPI; no rate piece
    panel.usableForDesktopGUI = false;
    EXPECT_EQ(HostDisplayModeSwitcher::modeDescription(panel), "1600x900[px 2000x900] notDesktop id=4294967295 flags=0");

    std::vector<DisplayMode> many;
    for (int i = 0; i < 40; ++i) {
        many.push_back(mode(1000 + i, 700, 0, 0, 60));
        many.push_back(mode(1000 + i, 700, 0, 0, 60, 99));  // differs only in id: listed once
    }
    const auto list = HostDisplayModeSwitcher::displayModeListDescription(many);
    EXPECT_EQ(list.rfind("1000x700[px 1000x700] 60Hz, 1001x700[px 1001x700] 60Hz, ", 0), 0u);
    EXPECT_NE(list.find("1031x700"), std::string::npos);
    EXPECT_EQ(list.find("1032x700"), std::string::npos);
    EXPECT_EQ(HostDisplayModeSwitcher::displayModeListDescription({}), "");

    DisplayRig rig;
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(2, Point{-1512, 0}, 1512, 982, 3024, 1964));
    EXPECT_EQ(rig.switcher->boundsDescription(2), "1512x982@-1512,0");
    EXPECT_EQ(rig.switcher->actualDisplayDescription(2), "bounds 1512x982 current 1512x982[px 3024x1964]");
    EXPECT_EQ(rig.switcher->actualDisplayDescription(9), "bounds 0x0 mode unknown");
    const auto g = rig.switcher->currentGeometry(2, DisplayMode{});
    EXPECT_TRUE(g.isHiDPI);
    EXPECT_EQ(g.summary(), "display=2 1512x982 px=3024x1964 scale=2.0x 60Hz HiDPI");

    // Physical displays: a mirrored external one, a sleeping one and one without a size are left out.
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(3, Point{1920, 0}, 800, 600, 800, 600));
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(4, Point{2720, 0}, 800, 600, 800, 600));
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(5, Point{3520, 0}, 800, 600, 800, 600));
    rig.displays->setMirror(1, true);
    rig.displays->setMirror(3, true);
    rig.displays->setDisplaySleeping(4, true);
    rig.displays->setScreenSize(5, Size{0, 0});
    EXPECT_EQ(rig.switcher->activePhysicalDisplayIDs(2), std::vector<DisplayID>{1});
}

TEST(DisplayLayout, OneRuleForEveryDisplayAndTheFallbacks) {
    DisplayRig rig;
    rig.displays->removeDisplay(1);
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(1, Point{0, 0}, 1512, 982, 3024, 1964));
    auto layout = *rig.switcher->displayLayout(1);
    EXPECT_EQ(layout.summary(), DisplayLayoutPayload({1, 0, 0, 1512, 982, 0, 0, 1512, 982, 3024, 1964, 1}).summary());
    EXPECT_EQ(layout, (DisplayLayoutPayload{1, 0, 0, 1512, 982, 0, 0, 1512, 982, 3024, 1964, 1}));

    // A second display to the right widens the union only; 1.25 pixels per point is not HiDPI.
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(2, Point{1512, -200}, 1600, 900, 2000, 1125));
    EXPECT_EQ(*rig.switcher->displayLayout(1), (DisplayLayoutPayload{1, 0, 0, 1512, 982, 0, -200, 3112, 1182, 3024, 1964, 1}));
    EXPECT_EQ(rig.switcher->displayLayout(2)->flags, 0);
    EXPECT_FALSE(rig.switcher->displayLayout(7));

    // Values beyond 32 bits are clamped on the wire, not wrapped.
    DisplayLayoutPayload huge{1, -5'000'000'000, 0, 3'000'000'000, 1, 0, 0, 1, 1, 1, 1, 0};
    const auto bytes = huge.encode();
    const auto decoded = DisplayLayoutPayload::decode(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->targetX, -2147483648LL);
    EXPECT_EQ(decoded->targetWidth, 2147483647LL);

    // The server's layout: an unplugged display falls back to the mode's catalogue points.
    DisplayTargetState state;
    state.selectDisplay(9);
    state.setVideoMode(VideoCaptureMode::pro);
    EXPECT_EQ(state.currentDisplayLayout(*rig.switcher, *rig.virtualDisplay),
              (DisplayLayoutPayload{9, 0, 0, 2240, 1260, 0, 0, 2240, 1260, 2240, 1260, 0}));
    EXPECT_EQ(state.lastDisplayLayout()->displayID, 9u);

    // Headless capture on a live virtual display: its id and size at the place the display service
    // gives it (here right of both displays, whatever the selected id), the union around all three.
    ASSERT_EQ(rig.virtualDisplay->startPresetDisplay(HeadlessVirtualDisplay::hidpi1080Preset(), "n", 1, false), std::nullopt);
    state.useVirtualDisplay(false);
    const DisplayID virtualID = rig.virtualDisplay->displayID;
    const auto headless = state.currentDisplayLayout(*rig.switcher, *rig.virtualDisplay);
    EXPECT_EQ(headless, (DisplayLayoutPayload{virtualID, 3112, 0, 1920, 1080, 0, -200, 5032, 1280, 3840, 2160, 1}));
    EXPECT_EQ(Rect(static_cast<double>(headless.targetX), static_cast<double>(headless.targetY),
                   static_cast<double>(headless.targetWidth), static_cast<double>(headless.targetHeight)),
              rig.displays->bounds(virtualID));

    // Alone on the screen the virtual display is reported wherever it really is, not moved to 0,0.
    rig.displays->removeDisplay(1);
    rig.displays->removeDisplay(2);
    const auto alone = state.currentDisplayLayout(*rig.switcher, *rig.virtualDisplay);
    EXPECT_EQ(alone, (DisplayLayoutPayload{virtualID, 3112, 0, 1920, 1080, 3112, 0, 1920, 1080, 3840, 2160, 1}));
}

TEST(CaptureModeTargets, TargetsStrictGeometryFallbacksAndUsableDisplays) {
    EXPECT_EQ(HeadlessVirtualDisplayTarget::target(VideoCaptureMode::physical1440), (HeadlessVirtualDisplayTarget{2560, 1440, 1}));
    EXPECT_EQ(HeadlessVirtualDisplayTarget::target(VideoCaptureMode::pro), (HeadlessVirtualDisplayTarget{2240, 1260, 2}));
    EXPECT_EQ(HeadlessVirtualDisplayTarget::target(VideoCaptureMode::physical1080).summary(), "logical=1920x1080 px=1920x1080");
    EXPECT_EQ(HeadlessVirtualDisplayTarget::target(VideoCaptureMode::max).summary(), "logical=3200x1800 @2x px=6400x3600 HiDPI");

    EXPECT_EQ(DisplayTargetState::strictGeometrySummary(VideoCaptureMode::physical1080), "logical 1920x1080 (HiDPI or non-HiDPI)");
    EXPECT_EQ(DisplayTargetState::strictGeometrySummary(VideoCaptureMode::pro), "2240x1260 @2x (px 4480x2520) HiDPI");
    EXPECT_EQ(DisplayTargetState::strictGeometrySummary(VideoCaptureMode::max), "3200x1800");

    const HostDisplayGeometry native1080{1, 1920, 1080, 1920, 1080, 60, false};
    const HostDisplayGeometry retina1080{1, 1920, 1080, 3840, 2160, 60, true};
    EXPECT_TRUE(DisplayTargetState::geometrySatisfiesStrictMode(native1080, VideoCaptureMode::physical1080));
    EXPECT_TRUE(DisplayTargetState::geometrySatisfiesStrictMode(retina1080, VideoCaptureMode::physical1080));
    EXPECT_FALSE(DisplayTargetState::geometrySatisfiesStrictMode(native1080, VideoCaptureMode::easy));
    EXPECT_TRUE(DisplayTargetState::geometrySatisfiesStrictMode(retina1080, VideoCaptureMode::easy));
    // The settled geometry decides before the requested mode.
    EXPECT_EQ(DisplayTargetState::physicalFallbackMode(VideoCaptureMode::pro, native1080), VideoCaptureMode::physical1080);
    EXPECT_EQ(DisplayTargetState::physicalFallbackMode(VideoCaptureMode::max, retina1080), VideoCaptureMode::physical1440);
    EXPECT_EQ(DisplayTargetState::physicalFallbackMode(VideoCaptureMode::easy, retina1080), VideoCaptureMode::physical1080);

    DisplayRig rig;
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(2, Point{1920, 0}, 1920, 1080, 1920, 1080));
    DisplayTargetState state;
    state.choosePhysicalDisplay(2);
    EXPECT_EQ(state.usablePhysicalDisplayID(*rig.switcher, *rig.virtualDisplay), 2u);
    rig.displays->removeDisplay(2);  // remembered display gone: the main one
    EXPECT_EQ(state.usablePhysicalDisplayID(*rig.switcher, *rig.virtualDisplay), 1u);
    ASSERT_EQ(rig.virtualDisplay->startPresetDisplay(HeadlessVirtualDisplay::hidpi1080Preset(), "n", 1, false), std::nullopt);
    EXPECT_TRUE(DisplayTargetState::realizedHeadlessGeometryIfSatisfied(VideoCaptureMode::easy, rig.virtualDisplay->displayID,
                                                                        *rig.virtualDisplay));
    EXPECT_FALSE(DisplayTargetState::realizedHeadlessGeometryIfSatisfied(VideoCaptureMode::pro, rig.virtualDisplay->displayID,
                                                                         *rig.virtualDisplay));
    rig.displays->removeDisplay(1);  // only the virtual display is left
    EXPECT_FALSE(state.usablePhysicalDisplayID(*rig.switcher, *rig.virtualDisplay));
}

TEST(DisplayDiagnostics, SelectionSummaryAndDisplayLines) {
    DisplayRig rig;
    DisplayTargetState state;
    state.selectDisplay(1);
    EXPECT_EQ(state.displayDiagnostics(*rig.switcher, *rig.virtualDisplay),
              "Selected display: 1 (auto; backend real display; switch fallback on)\n"
              "Displays:\n"
              "  display 1 main bounds 1920x1080@0,0 current 1920x1080[px 1920x1080] 60Hz id=1 flags=0\n"
              "    modes: 1920x1080[px 1920x1080] 60Hz");

    state.choosePhysicalDisplay(1);
    state.useVirtualDisplay(true);
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(2, Point{1920, 0}, 2560, 1440, 2560, 1440));
    EXPECT_EQ(state.displayDiagnostics(*rig.switcher, *rig.virtualDisplay),
              "Selected display: 1 (manual; backend headless virtual requested (fallback active); switch fallback off)\n"
              "Virtual template: logical=1920x1080 @2x px=3840x2160 HiDPI\n"
              "Virtual actual: virtual display inactive\n"
              "Physical display: 1\n"
              "Displays:\n"
              "  display 2 bounds 2560x1440@1920,0 current 2560x1440[px 2560x1440] 60Hz id=1 flags=0\n"
              "    modes: 2560x1440[px 2560x1440] 60Hz\n"
              "  display 1 main bounds 1920x1080@0,0 current 1920x1080[px 1920x1080] 60Hz id=1 flags=0\n"
              "    modes: 1920x1080[px 1920x1080] 60Hz");
    EXPECT_EQ(rig.switcher->displaySelectionOptions().front(),
              (HostDisplayModeSwitcher::DisplayOption{2, "display 2 bounds 2560x1440@1920,0 current 2560x1440[px 2560x1440] 60Hz id=1 flags=0"}));

    rig.displays->removeDisplay(1);
    rig.displays->removeDisplay(2);
    EXPECT_EQ(rig.switcher->displayDiagnostics(), "Displays: none");
    EXPECT_TRUE(rig.switcher->displaySelectionOptions().empty());
}

// Where capture goes and the request in force change together, through operations that keep the
// selection, the remembered real display and the request's backend in step.
TEST(DisplayTargetState, CaptureTargetsAndTheRequestInForceStayInStep) {
    DisplayTargetState state;
    const auto request = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv444,
                                                           VideoCaptureBackend::physical);
    state.setCaptureRequest(request);
    EXPECT_EQ(state.currentVideoChromaMode(), VideoChromaMode::yuv444) << "the chroma mode is the request's";
    EXPECT_EQ(state.currentVideoMode(), VideoCaptureMode::easy) << "the mode follows once applied";
    state.setVideoMode(VideoCaptureMode::pro);
    EXPECT_EQ(state.currentCaptureRequest().mode, VideoCaptureMode::pro);

    state.usePhysicalDisplay(2, true);
    EXPECT_EQ(state.selectedDisplayID(), 2u);
    EXPECT_EQ(state.physicalDisplayID(), 2u);
    EXPECT_TRUE(state.displaySelectionIsManual());
    state.useVirtualDisplay(false);
    EXPECT_TRUE(state.useHeadlessVirtualDisplay());
    EXPECT_EQ(state.currentCaptureRequest().backend, VideoCaptureBackend::headlessVirtual);
    state.virtualDisplayReady(9);
    EXPECT_EQ(state.selectedDisplayID(), 9u);
    EXPECT_EQ(state.physicalDisplayID(), 2u) << "the real display is still remembered";
    state.returnToPhysicalDisplay();
    EXPECT_FALSE(state.useHeadlessVirtualDisplay());
    EXPECT_FALSE(state.displaySelectionIsManual());
    EXPECT_EQ(state.selectedDisplayID(), 2u);

    // Without a remembered real display the selection stays; the main display fills what is unset.
    DisplayTargetState fresh;
    fresh.virtualDisplayReady(9);
    fresh.returnToPhysicalDisplay();
    EXPECT_EQ(fresh.selectedDisplayID(), 9u);
    fresh.defaultDisplayFound(1);
    EXPECT_EQ(fresh.selectedDisplayID(), 9u);
    EXPECT_EQ(fresh.physicalDisplayID(), 1u);

    const auto owner = UUID::random();
    state.iosBuiltInCaptureStartedBy(owner);
    state.forget(UUID::random());
    EXPECT_EQ(state.entryCount(), 1u);
    state.forget(owner);
    EXPECT_EQ(state.entryCount(), 0u);

    EXPECT_EQ(state.noteHeadlessRealizeRetry(), 1);
    EXPECT_TRUE(state.headlessRealizeRetriesExhausted());
    state.resetHeadlessRealizeRetries();
    EXPECT_FALSE(state.headlessRealizeRetriesExhausted());
}

TEST(DisplayTargetStateDeathTest, TheHeadlessDisplayIsRetriedABoundedNumberOfTimes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DisplayTargetState state;
    state.noteHeadlessRealizeRetry();
    EXPECT_DEATH(state.noteHeadlessRealizeRetry(), "retried a bounded number of times per request");
}

}  // namespace DisplayTargetStateTests
