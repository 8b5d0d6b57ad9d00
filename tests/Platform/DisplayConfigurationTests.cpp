#include <gtest/gtest.h>

#include "Platform/Displays.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "Platform/VirtualDisplays.h"

namespace DisplayConfigurationTests {

using namespace qm;

TEST(SimulatedDisplayConfiguration, TransactionsSettleOnTheClockAndNotifyObservers) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("observer");
    auto displays = std::make_shared<SimulatedDisplayService>();
    displays->setClock(clock);
    int notices = 0;
    const auto token = displays->addScreenParametersObserver(queue, [&] { ++notices; });

    DisplayMode target{1280, 720, 1280, 720, 60, 9, 0, true, false};
    displays->setModeSettleDelay(1, 0.5);
    DisplayConfigurationRef configuration = 0;
    ASSERT_EQ(displays->beginDisplayConfiguration(configuration), displayErrorSuccess);
    ASSERT_EQ(displays->configureDisplayWithDisplayMode(configuration, 1, target), displayErrorSuccess);
    EXPECT_EQ(displays->configureDisplayWithDisplayMode(configuration, 42, target), displayErrorInvalidConnection);
    ASSERT_EQ(displays->completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession), displayErrorSuccess);
    EXPECT_EQ(displays->currentMode(1)->width, 1920);
    // Once the clock has passed the settle delay the change shows, without anything else running.
    clock->advance(0.5);
    EXPECT_EQ(displays->currentMode(1), target);
    EXPECT_EQ(displays->bounds(1), Rect(0, 0, 1280, 720));
    clock->runUntilIdle();
    EXPECT_EQ(notices, 1);

    // Cancelled and failed transactions change nothing; an unknown transaction is refused.
    displays->failNextBegin(1000);
    EXPECT_EQ(displays->beginDisplayConfiguration(configuration), 1000);
    EXPECT_EQ(configuration, 0u);
    ASSERT_EQ(displays->beginDisplayConfiguration(configuration), displayErrorSuccess);
    displays->configureDisplayWithDisplayMode(configuration, 1, DisplayMode{640, 480, 0, 0, 60, 3});
    EXPECT_EQ(displays->cancelDisplayConfiguration(configuration), displayErrorSuccess);
    EXPECT_EQ(displays->completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession),
              displayErrorIllegalArgument);
    EXPECT_EQ(displays->currentMode(1), target);

    // Origins and mirrors: the display moved to 0,0 becomes the main display.
    displays->addDisplay(SimulatedDisplayService::makeDisplay(2, Point{1280, 0}, 800, 600, 800, 600));
    ASSERT_EQ(displays->beginDisplayConfiguration(configuration), displayErrorSuccess);
    displays->configureDisplayOrigin(configuration, 2, 0, 0);
    displays->configureDisplayOrigin(configuration, 1, -1280, 0);
    displays->configureDisplayMirrorOfDisplay(configuration, 1, 2);
    ASSERT_EQ(displays->completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession), displayErrorSuccess);
    EXPECT_EQ(displays->mainDisplayID(), 2u);
    EXPECT_TRUE(displays->display(1)->isInMirrorSet);
    EXPECT_EQ(displays->bounds(1).minX(), -1280);

    displays->removeScreenParametersObserver(token);
    displays->removeDisplay(2);
    clock->runUntilIdle();
    EXPECT_EQ(notices, 3);  // the mode, the plug-in and the rearrangement; not the unplug
}

TEST(SimulatedVirtualDisplays, AppearAfterTheirDelayAndLeaveAfterRelease) {
    auto clock = std::make_shared<ManualClock>();
    auto displays = std::make_shared<SimulatedDisplayService>();
    displays->setClock(clock);
    auto factory = std::make_shared<SimulatedVirtualDisplayFactory>(displays);
    factory->setAppearDelay(0.3);
    factory->setRemovalDelay(0.5);

    auto display = factory->makeDisplay(VirtualDisplayDescriptor{"v", 3840, 2160, {400, 225}, 1, 2, 3, nullptr});
    ASSERT_TRUE(display);
    ASSERT_TRUE(display->applySettings(VirtualDisplaySettings{{{1920, 1080, 60}, {2240, 1260, 60}}, 1}));
    const auto id = display->displayID();
    EXPECT_FALSE(displays->display(id));
    clock->advance(0.3);
    const auto info = displays->display(id);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->bounds, Rect(1920, 0, 1920, 1080));
    EXPECT_EQ(info->currentMode->effectivePixelWidth(), 3840);
    EXPECT_EQ(displays->allDisplayModes(id, false).size(), 2u);
    EXPECT_EQ(displays->allDisplayModes(id, true).size(), 4u);

    display.reset();
    EXPECT_TRUE(displays->display(id));
    clock->advance(0.5);
    EXPECT_FALSE(displays->display(id));

    // Released before it appeared: it never appears. Reported short: 1080 rows become 1066.
    factory->setAppearance(SimulatedVirtualDisplayFactory::Appearance::shortRows, 14);
    auto early = factory->makeDisplay(VirtualDisplayDescriptor{});
    early->applySettings(VirtualDisplaySettings{{{1920, 1080, 60}}, 0});
    const auto earlyID = early->displayID();
    early.reset();
    clock->advance(1);
    EXPECT_FALSE(displays->display(earlyID));
    auto shortDisplay = factory->makeDisplay(VirtualDisplayDescriptor{});
    shortDisplay->applySettings(VirtualDisplaySettings{{{1920, 1080, 60}}, 0});
    clock->advance(0.3);
    EXPECT_EQ(displays->currentMode(shortDisplay->displayID())->height, 1066);
}

}  // namespace DisplayConfigurationTests
