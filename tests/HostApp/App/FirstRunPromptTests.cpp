// The first-run permission prompts across launches and builds: at most one prompt per launch,
// Screen Recording once per build, Accessibility once ever.
#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Accessibility.h"
#include "Platform/AudioCapture.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace FirstRunPromptTests {
namespace {

TEST(FirstRunPrompts, OnePromptPerLaunchScreenRecordingOncePerBuildAccessibilityOnce) {
    AppHarness app;
    auto capture = std::make_shared<SimulatedScreenCaptureAccess>(false);
    auto accessibility = std::make_shared<SimulatedAccessibility>(false);
    app.environment.platform.screenCaptureAccess = capture;
    app.environment.platform.accessibility = accessibility;
    auto relaunch = [&] {
        app.delegate.reset();
        app.launch();
        app.host.clock().advance(1);
    };

    // First launch of build 149: Screen Recording only.
    app.launch();
    app.host.clock().advance(1);
    EXPECT_EQ(capture->requestCount(), 1);
    EXPECT_EQ(accessibility->promptCount(), 0);
    EXPECT_TRUE(app.defaultsStore->standard()->boolean("host.pendingScreenCaptureRelaunch"));
    EXPECT_TRUE(app.delegate->permissions().pendingScreenCaptureRelaunch);

    // Same build, still missing: Accessibility now, Screen Recording not again.
    relaunch();
    EXPECT_EQ(capture->requestCount(), 1);
    EXPECT_EQ(accessibility->promptCount(), 1);
    EXPECT_TRUE(app.logged("permissions: requesting Accessibility on first launch"));

    // Same build again: nothing left to ask.
    relaunch();
    EXPECT_EQ(capture->requestCount(), 1);
    EXPECT_EQ(accessibility->promptCount(), 1);

    // A new build asks for Screen Recording again; Accessibility never again.
    app.environment.bundle.bundleVersion = "150";
    relaunch();
    EXPECT_EQ(capture->requestCount(), 2);
    EXPECT_TRUE(app.logged("host updated to build 150"));
    relaunch();
    EXPECT_EQ(accessibility->promptCount(), 1);
}

TEST(FirstRunPrompts, APendingOnboardingPastItsQuestionsMakesTheJobDoNothing) {
    HostLaunchFlags flags;
    flags.initialInstall = true;
    AppHarness app(flags);
    auto capture = std::make_shared<SimulatedScreenCaptureAccess>(false);
    app.environment.platform.screenCaptureAccess = capture;
    std::ofstream(app.environment.installerMarker) << "149\n";
    app.make();
    app.delegate->permissions().initialInstallOnboardingStep = HostProbeDelegate::InitialInstallOnboardingStep::completionCountdown;
    app.delegate->applicationDidFinishLaunching();
    app.host.clock().advance(1);
    EXPECT_EQ(capture->requestCount(), 0);
    EXPECT_EQ(app.count("permissions: requesting"), 0u);
    // The upgrade notice is not shown while the onboarding is pending, but the build is recorded.
    EXPECT_EQ(app.count("host updated to build"), 0u);
    EXPECT_EQ(app.defaultsStore->standard()->string("host.upgradeNotice.lastPresentedBuild"), "149");
}

}  // namespace
}  // namespace FirstRunPromptTests
}  // namespace qm::test
