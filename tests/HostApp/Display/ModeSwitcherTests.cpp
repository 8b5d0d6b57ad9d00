#include <gtest/gtest.h>

#include "DisplayTestSupport.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace ModeSwitcherTests {

using namespace qm;
using namespace qm::test;

namespace {

// Display 2: an external panel with the typical mode list, showing 2560x1440 at 60 Hz.
void useExternalPanel(DisplayRig& rig) {
    rig.displays->removeDisplay(1);
    auto info = SimulatedDisplayService::makeDisplay(2, Point{0, 0}, 2560, 1440, 2560, 1440);
    info.modes = SimulatedDisplayService::typicalExternalModes();
    info.currentMode = info.modes[4];  // 2560x1440 at 60 Hz, id 105
    rig.displays->addDisplay(info);
}

}  // namespace

TEST(HostDisplayModeSwitcher, ScoresAndOrderFollowTheWeights) {
    const auto native = mode(1920, 1080, 1920, 1080, 60);
    const auto retina = mode(1920, 1080, 3840, 2160, 60);
    const auto wide = mode(2560, 1440, 2560, 1440, 120);
    EXPECT_EQ(HostDisplayModeSwitcher::candidateScore(native, 1920, 1080, 1920, 1080, false), 180);
    EXPECT_EQ(HostDisplayModeSwitcher::candidateScore(retina, 1920, 1080, 1920, 1080, false), 30'800'180);
    EXPECT_EQ(HostDisplayModeSwitcher::candidateScore(wide, 1920, 1080, 1920, 1080, false), 10'300'120);
    // Refresh: 59.94 rounds to 60, 0 counts as 60, 240 and above costs nothing.
    EXPECT_EQ(HostDisplayModeSwitcher::candidateScore(mode(1920, 1080, 1920, 1080, 59.94), 1920, 1080, 1920, 1080, false), 180);
    EXPECT_EQ(HostDisplayModeSwitcher::candidateScore(mode(1920, 1080, 1920, 1080, 0), 1920, 1080, 1920, 1080, false), 180);
    EXPECT_EQ(HostDisplayModeSwitcher::candidateScore(mode(1920, 1080, 1920, 1080, 240), 1920, 1080, 1920, 1080, false), 0);

    // Equal scores: the larger pixel width first, then list order.
    const auto a = mode(1920, 1080, 1920, 1080, 60, 1), b = mode(1920, 1080, 1920, 1080, 60, 2);
    const auto tieWider = mode(2000, 1080, 2000, 1080, 60, 3), tieNarrower = mode(1840, 1080, 1840, 1080, 60, 4);
    const auto ordered = HostDisplayModeSwitcher::displayModeCandidates({tieNarrower, wide, b, a, tieWider}, 1920, 1080, 0,
                                                                        0, false);
    ASSERT_EQ(ordered.size(), 5u);
    EXPECT_EQ(ordered[0], b);
    EXPECT_EQ(ordered[1], a);
    EXPECT_EQ(ordered[2], tieWider);
    EXPECT_EQ(ordered[3], tieNarrower);
}

TEST(HostDisplayModeSwitcher, ModeTargetsSameModeAndDisplayOrder) {
    EXPECT_EQ(HostDisplayModeSwitcher::displayModeTarget(VideoCaptureMode::easy),
              (HostDisplayModeSwitcher::ModeTarget{1920, 1080, 3840, 2160, true, false}));
    EXPECT_EQ(HostDisplayModeSwitcher::displayModeTarget(VideoCaptureMode::physical1440),
              (HostDisplayModeSwitcher::ModeTarget{2560, 1440, 2560, 1440, false, false}));
    // Different non-zero ids fall back to sizes and a refresh within 0.6 Hz.
    EXPECT_TRUE(HostDisplayModeSwitcher::isSameMode(mode(1920, 1080, 0, 0, 60, 7), mode(1920, 1080, 1920, 1080, 60.5, 8)));
    EXPECT_FALSE(HostDisplayModeSwitcher::isSameMode(mode(1920, 1080, 0, 0, 60, 7), mode(1920, 1080, 3840, 2160, 60, 8)));
    EXPECT_TRUE(HostDisplayModeSwitcher::isSameMode(mode(1, 1, 1, 1, 30, 9), mode(1920, 1080, 3840, 2160, 60, 9)));

    DisplayRig rig;  // display 1 is main, 1920x1080
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(3, Point{1920, 0}, 800, 600, 800, 600));
    rig.displays->addDisplay(SimulatedDisplayService::makeDisplay(4, Point{2720, 0}, 2560, 1440, 2560, 1440));
    EXPECT_EQ(rig.switcher->orderedActiveDisplayIDs(std::nullopt, true), (std::vector<DisplayID>{1, 4, 3}));
    EXPECT_EQ(rig.switcher->orderedActiveDisplayIDs(3, true), (std::vector<DisplayID>{3, 1, 4}));
    EXPECT_EQ(rig.switcher->orderedActiveDisplayIDs(9, true), (std::vector<DisplayID>{1, 4, 3}));
    EXPECT_EQ(rig.switcher->orderedActiveDisplayIDs(9, false), std::vector<DisplayID>{});
    EXPECT_EQ(rig.switcher->nextDisplayID(4), 3u);
    EXPECT_EQ(rig.switcher->nextDisplayID(3), 1u);
    EXPECT_EQ(rig.switcher->nextDisplayID(77), 1u);

    const auto refused = rig.switcher->switchDisplayMode(1920, 1080, 1920, 1080, false, false, 9, false);
    EXPECT_EQ(refused.failureText, "Host has no active displays");
}

TEST(HostDisplayModeSwitcher, EveryCatalogueModeSwitchesAndTerminationRestoresTheFirstMode) {
    DisplayRig rig;
    useExternalPanel(rig);
    rig.displays->setModeSettleDelay(2, 0.3);
    const auto original = *rig.displays->currentMode(2);

    struct Expected {
        VideoCaptureMode mode;
        std::int64_t w, h, pw, ph;
        double hz;
    };
    const std::vector<Expected> cases{
        {VideoCaptureMode::physical1080, 1920, 1080, 1920, 1080, 60},
        {VideoCaptureMode::physical1440, 2560, 1440, 2560, 1440, 120},
        {VideoCaptureMode::easy, 1920, 1080, 3840, 2160, 60},
        {VideoCaptureMode::pro, 2560, 1440, 5120, 2880, 60},  // ties with 1920x1080 HiDPI; wider wins
        {VideoCaptureMode::max, 2560, 1440, 5120, 2880, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(videoCaptureModeName(c.mode));
        const auto t = HostDisplayModeSwitcher::displayModeTarget(c.mode);
        const auto start = rig.now();
        const auto result = rig.switcher->switchDisplayMode(t.logicalWidth, t.logicalHeight, t.pixelWidth, t.pixelHeight,
                                                            t.preferHiDPI, t.requireExactMatch, 2, false);
        ASSERT_TRUE(result.isSuccess()) << result.failureText;
        EXPECT_EQ(result.geometry->logicalWidth, c.w);
        EXPECT_EQ(result.geometry->logicalHeight, c.h);
        EXPECT_EQ(result.geometry->pixelWidth, c.pw);
        EXPECT_EQ(result.geometry->pixelHeight, c.ph);
        EXPECT_EQ(result.geometry->refreshRate, c.hz);
        EXPECT_LT(rig.now() - start, 3.2);
    }
    EXPECT_EQ(rig.displays->counters().completeOptions.front(), DisplayConfigureOption::forSession);
    EXPECT_EQ(rig.lines.front(),
              "[QuillmereHost] display switch try display=2 target=1920x1080 px=1920x1080 preferHiDPI=false -> "
              "point=1920x1080 pixel=1920x1080 id=102");
    // Five switches, one saved mode: the one before the first switch.
    EXPECT_EQ(rig.switcher->savedMode(2), original);

    const auto lines = rig.switcher->restoreAllOriginalModes();
    EXPECT_EQ(lines, std::vector<std::string>{"restored display=2 2560x1440 px=2560x1440 scale=1.0x 60Hz"});
    EXPECT_EQ(rig.displays->currentMode(2), original);
    EXPECT_TRUE(rig.switcher->restoreAllOriginalModes().empty());
}

TEST(HostDisplayModeSwitcher, AModeThatNeverSettlesFailsWithinTheBoundForEveryCatalogueMode) {
    DisplayRig rig;
    rig.displays->removeDisplay(1);
    auto info = SimulatedDisplayService::makeDisplay(2, Point{0, 0}, 2560, 1440, 2560, 1440);
    info.currentMode->ioDisplayModeID = 5;
    info.modes = {mode(1920, 1080, 1920, 1080, 60, 6), mode(1280, 720, 1280, 720, 60, 7)};
    rig.displays->addDisplay(info);
    rig.displays->setModeSettleDelay(2, -1);

    const std::string actual = " applied but actual is bounds 2560x1440 current 2560x1440[px 2560x1440]";
    for (const auto m : {VideoCaptureMode::physical1080, VideoCaptureMode::physical1440, VideoCaptureMode::easy,
                         VideoCaptureMode::pro, VideoCaptureMode::max}) {
        SCOPED_TRACE(videoCaptureModeName(m));
        const auto t = HostDisplayModeSwitcher::displayModeTarget(m);
        const auto start = rig.now();
        const auto result = rig.switcher->switchDisplayMode(t.logicalWidth, t.logicalHeight, t.pixelWidth, t.pixelHeight,
                                                            t.preferHiDPI, false, 2, false);
        ASSERT_FALSE(result.isSuccess());
        // Two candidates, each waited for 3.0 s plus one poll: bounded, never stuck.
        EXPECT_GE(rig.now() - start, 2 * 3.0);
        EXPECT_LE(rig.now() - start, 2 * 3.12);
        const std::string prefix = "no active display switched to logical " + std::to_string(t.logicalWidth) + "x" +
                                   std::to_string(t.logicalHeight) + " / pixel " + std::to_string(t.pixelWidth) + "x" +
                                   std::to_string(t.pixelHeight) + "; display 2 rejected candidates: ";
        EXPECT_EQ(result.failureText.rfind(prefix, 0), 0u) << result.failureText;
    }
    const auto t = HostDisplayModeSwitcher::displayModeTarget(VideoCaptureMode::physical1080);
    EXPECT_EQ(rig.switcher->switchDisplayMode(t.logicalWidth, t.logicalHeight, 1920, 1080, false, false, 2, false).failureText,
              "no active display switched to logical 1920x1080 / pixel 1920x1080; display 2 rejected candidates: "
              "1920x1080[px 1920x1080]" + actual + ", 1280x720[px 1280x720]" + actual);

    // The saved mode is still the first one, and restoring it is bounded too.
    EXPECT_EQ(rig.switcher->savedMode(2)->ioDisplayModeID, 5);
    const auto restored = rig.switcher->restoreOriginalMode(2);
    ASSERT_TRUE(restored);
    EXPECT_TRUE(restored->isSuccess());  // the display never left its mode
}

TEST(HostDisplayModeSwitcher, TransactionFailuresAndMissingCandidates) {
    DisplayRig rig;
    useExternalPanel(rig);
    rig.displays->failNextBegin();
    EXPECT_EQ(rig.switcher->switchDisplayMode(1920, 1080, 1920, 1080, false, false, 2, false).failureText,
              "display configuration could not begin");

    rig.displays->failNextConfigureMode(1001);
    rig.displays->failNextComplete(1000);
    const auto result = rig.switcher->switchDisplayMode(1920, 1080, 1920, 1080, false, true, 2, false);
    // Exact request: the two 1920x1080 px 1920x1080 modes; the first configure fails, the second completes badly.
    EXPECT_EQ(result.failureText,
              "no active display switched to logical 1920x1080 / pixel 1920x1080 (exact required); display 2 rejected "
              "candidates: 1920x1080[px 1920x1080] CG 1001, 1920x1080[px 1920x1080] CG 1000");
    EXPECT_EQ(rig.displays->counters().cancelled, 1);

    const auto none = rig.switcher->switchDisplayMode(1000, 1000, 0, 0, false, true, 2, false);
    EXPECT_EQ(none.failureText.rfind("no active display switched to logical 1000x1000 / pixel 0x0 (exact required); "
                                     "display 2 bounds 2560x1440@0,0 has no exact candidate for logical 1000x1000 / "
                                     "pixel 0x0; modes: 1280x720[px 1280x720] 60Hz, ",
                                     0),
              0u)
        << none.failureText;

    // A display unplugged mid-switch: the restore of its saved mode fails and the entry stays.
    rig.displays->setAfterCompleteHook([&] { rig.displays->removeDisplay(2); });
    EXPECT_FALSE(rig.switcher->switchDisplayMode(1920, 1080, 1920, 1080, false, false, 2, false).isSuccess());
    rig.displays->setAfterCompleteHook(nullptr);
    const auto lines = rig.switcher->restoreAllOriginalModes();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "restore display 2 failed: restore mode id=105 CG 1002");
    EXPECT_TRUE(rig.switcher->savedMode(2));
}

TEST(HostDisplayModeSwitcher, RestoreAllGoesInAscendingOrderAndNeverTouchesDisplayZero) {
    DisplayRig rig;
    rig.displays->removeDisplay(1);
    for (DisplayID id : {5u, 3u, 0u}) {
        auto info = SimulatedDisplayService::makeDisplay(id, Point{id * 3000.0, 0}, 1920, 1080, 1920, 1080);
        info.modes.push_back(mode(1280, 720, 1280, 720, 60, 9));
        rig.displays->addDisplay(info);
    }
    for (DisplayID id : {5u, 3u, 0u}) {
        ASSERT_TRUE(rig.switcher->switchDisplayMode(1280, 720, 1280, 720, false, false, id, false).isSuccess());
    }
    EXPECT_EQ(rig.switcher->savedDisplayIDs(), (std::vector<DisplayID>{3, 5}));
    EXPECT_FALSE(rig.switcher->restoreOriginalMode(0));
    EXPECT_FALSE(rig.switcher->restoreOriginalMode(7));
    EXPECT_EQ(rig.switcher->restoreAllOriginalModes(),
              (std::vector<std::string>{"restored display=3 1920x1080 px=1920x1080 scale=1.0x 60Hz",
                                        "restored display=5 1920x1080 px=1920x1080 scale=1.0x 60Hz"}));
    EXPECT_EQ(rig.displays->currentMode(0)->width, 1280);
}

}  // namespace ModeSwitcherTests
