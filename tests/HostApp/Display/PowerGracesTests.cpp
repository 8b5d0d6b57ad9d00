#include <gtest/gtest.h>

#include "HostApp/Display/PowerGraces.h"
#include "support/TestPlatform.h"

namespace PowerGracesTests {

using namespace qm;
using namespace qm::test;

TEST(ReconnectGrace, RestartingKeepsOneDeadlineAndEndingOrLosingTheOwnerSilencesIt) {
    ManualPlatform manual;
    auto queue = manual.platform.makeQueue("grace");
    auto owner = std::make_shared<int>(0);
    ReconnectGrace grace;
    int expired = 0;

    grace.begin(*queue, *manual.clock, 900, owner, [&] { ++expired; });
    manual.clock->advance(600);
    grace.begin(*queue, *manual.clock, 900, owner, [&] { ++expired; });
    EXPECT_TRUE(grace.isActive(manual.clock->wallTime()));
    manual.clock->advance(600);
    EXPECT_EQ(expired, 0) << "the first deadline no longer counts";
    manual.clock->advance(300);
    EXPECT_EQ(expired, 1);
    EXPECT_FALSE(grace.isRunning());

    grace.begin(*queue, *manual.clock, 900, owner, [&] { ++expired; });
    EXPECT_TRUE(grace.end());
    EXPECT_FALSE(grace.end());
    manual.clock->advance(1000);
    EXPECT_EQ(expired, 1);

    grace.begin(*queue, *manual.clock, 900, owner, [&] { ++expired; });
    owner.reset();
    manual.clock->advance(1000);
    EXPECT_EQ(expired, 1) << "a grace whose owner is gone does nothing";
}

// Physical capture's return after wake is awaited only while a capture is saved; dropping the
// saved capture closes the window and cancels the attempt that was coming.
TEST(PowerGraceState, RecoveryOfPhysicalCaptureAndTheAssertions) {
    ManualPlatform manual;
    auto queue = manual.platform.makeQueue("power");
    PowerGraceState power;
    EXPECT_FALSE(power.sleepRecoveryUnderway());
    EXPECT_TRUE(power.screensReported(true));
    EXPECT_FALSE(power.screensReported(true));
    EXPECT_TRUE(power.sleepRecoveryUnderway());
    EXPECT_TRUE(power.screensReported(false));

    const auto request = CaptureModeControlPayload::preset(VideoCaptureMode::physical1440, VideoChromaMode::yuv420,
                                                           VideoCaptureBackend::physical);
    power.savePhysicalCapture(request, VideoCaptureMode::physical1440);
    power.awaitPhysicalRecovery();
    EXPECT_TRUE(power.openRecoveryWindow(100));
    EXPECT_FALSE(power.openRecoveryWindow(200)) << "one window at a time";
    EXPECT_EQ(power.recoveryDeadline(), 100);
    EXPECT_EQ(power.noteRecoveryRetry(), 1);
    int attempts = 0;
    power.scheduleRecoveryAttempt(queue->asyncAfter(1.0, [&] { ++attempts; }));
    power.scheduleRecoveryAttempt(queue->asyncAfter(1.0, [&] { ++attempts; }));
    manual.clock->advance(2.0);
    EXPECT_EQ(attempts, 1) << "a new attempt replaces the pending one";
    power.scheduleRecoveryAttempt(queue->asyncAfter(1.0, [&] { ++attempts; }));
    power.dropSavedPhysicalCapture();
    manual.clock->advance(2.0);
    EXPECT_EQ(attempts, 1);
    EXPECT_FALSE(power.isAwaitingPhysicalRecovery());
    EXPECT_FALSE(power.recoveryDeadline());
    EXPECT_FALSE(power.sleepRecoveryUnderway());

    using Assertion = PowerGraceState::Assertion;
    power.assertionTaken(Assertion::idleSleep, 7);
    EXPECT_EQ(power.assertionsHeld(), 1u);
    EXPECT_EQ(power.assertionReleased(Assertion::idleSleep), 7u);
    EXPECT_EQ(power.assertionReleased(Assertion::idleSleep), 0u) << "released once";
    EXPECT_EQ(power.assertionsHeld(), 0u);
}

TEST(PowerGraceStateDeathTest, BrokenInvariantsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PowerGraceState power;
    EXPECT_DEATH(power.awaitPhysicalRecovery(), "physical recovery is awaited only with a saved physical capture");
    power.assertionTaken(PowerGraceState::Assertion::systemSleep, 3);
    EXPECT_DEATH(power.assertionTaken(PowerGraceState::Assertion::systemSleep, 4), "taken once until released");
    power.screensReported(true);
    EXPECT_DEATH(power.beginPreflight(), "only while the screens are awake");
}

}  // namespace PowerGracesTests
