// The permission walk-through after an install, from the install step's marker to the recorded
// build, on virtual time against scripted permissions; and the foreground sheet every alert uses.
#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Accessibility.h"
#include "Platform/AudioCapture.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace OnboardingTests {
namespace {

using Step = HostProbeDelegate::InitialInstallOnboardingStep;

const std::string accessibilityTitle = "Step 1 of 2: Allow Accessibility";
const std::string screenRecordingTitle = "Step 2 of 2: Allow Screen Recording";
const std::string confirmTitle = "Confirm Both Permissions";
const std::string noticeTitle = "Corventis Host installation is complete";
const std::string screenRecordingMessage =
    "Turn on Corventis Host in Screen Recording and System Audio. Both permissions are required for a Viewer to "
    "see and control this Mac.";
const std::string missingScreenRecording =
    "Screen Recording is still disabled. Enable it before confirming installation.";
const std::string missingAccessibility = "Accessibility is still disabled. Enable it before confirming installation.";

struct OnboardingHarness {
    explicit OnboardingHarness(bool trusted = false, bool captureGranted = false) {
        HostLaunchFlags flags;
        flags.initialInstall = true;
        app = std::make_unique<AppHarness>(flags);
        accessibility = std::make_shared<SimulatedAccessibility>(trusted);
        capture = std::make_shared<SimulatedScreenCaptureAccess>(captureGranted);
        app->environment.platform.accessibility = accessibility;
        app->environment.platform.screenCaptureAccess = capture;
        app->environment.launcher = launcher;
        writeMarker("149\n");
    }
    void writeMarker(const std::string& text) { std::ofstream(app->environment.installerMarker, std::ios::binary) << text; }
    // Launches and lets the first-run job (0.35 s) resume the onboarding.
    HostProbeDelegate& launch() {
        app->launch();
        app->host.clock().advance(0.4);
        return *app->delegate;
    }
    void advance(double seconds) { app->host.clock().advance(seconds); }
    // The sheet on top: the newest one still up.
    std::shared_ptr<AlertSheetModel> upSheet() const {
        for (auto it = app->shell->sheets.rbegin(); it != app->shell->sheets.rend(); ++it) {
            if (!(*it)->ended()) return *it;
        }
        return nullptr;
    }
    std::string upTitle() const {
        auto sheet = upSheet();
        return sheet ? sheet->alert().messageText : std::string();
    }
    void answer(int response) {
        auto sheet = upSheet();
        ASSERT_TRUE(sheet) << "no sheet is up";
        sheet->respond(response);
        app->host.clock().runUntilIdle();
    }
    void answerTitled(const std::string& title, int response) {
        for (const auto& sheet : app->shell->sheets) {
            if (!sheet->ended() && sheet->alert().messageText == title) {
                sheet->respond(response);
                app->host.clock().runUntilIdle();
                return;
            }
        }
        ADD_FAILURE() << "no sheet titled " << title;
    }
    std::size_t sheetsTitled(const std::string& title) const {
        std::size_t n = 0;
        for (const auto& sheet : app->shell->sheets) n += sheet->alert().messageText == title;
        return n;
    }
    std::unique_ptr<AppHarness> app;
    std::shared_ptr<SimulatedAccessibility> accessibility;
    std::shared_ptr<SimulatedScreenCaptureAccess> capture;
    std::shared_ptr<RecordingProcessLauncher> launcher = std::make_shared<RecordingProcessLauncher>();
};

TEST(InitialInstallOnboarding, TheMarkerMustNameThisBuildAndItsOnboardingMustBeUnfinished) {
    OnboardingHarness h;
    auto& delegate = *h.app->make();
    auto defaults = h.app->defaultsStore->standard();
    for (const char* pending : {"149", "149\n", " \t149\r\n\n", "\n149"}) {
        h.writeMarker(pending);
        EXPECT_TRUE(delegate.permissions().hasPendingInitialInstallOnboarding()) << "marker " << pending;
    }
    for (const char* other : {"150", "1490", "149\n150\n", "", "149\xff"}) {
        h.writeMarker(other);
        EXPECT_FALSE(delegate.permissions().hasPendingInitialInstallOnboarding()) << "marker " << other;
    }
    std::filesystem::remove(h.app->environment.installerMarker);
    EXPECT_FALSE(delegate.permissions().hasPendingInitialInstallOnboarding()) << "no marker";
    std::filesystem::create_directory(h.app->environment.installerMarker);
    EXPECT_FALSE(delegate.permissions().hasPendingInitialInstallOnboarding()) << "a folder is no marker";
    std::filesystem::remove(h.app->environment.installerMarker);

    h.writeMarker("149\n");
    defaults->set("host.initialInstallOnboarding.completedBuild", std::string("148"));
    EXPECT_TRUE(delegate.permissions().hasPendingInitialInstallOnboarding()) << "an earlier build's completion does not count";
    defaults->set("host.initialInstallOnboarding.completedBuild", std::string("149"));
    EXPECT_FALSE(delegate.permissions().hasPendingInitialInstallOnboarding());
}

// From the marker to the recorded build: both permissions missing at first, the poll, the
// user away and back, a confirmation rejected, the countdown, and never again for this build.
TEST(InitialInstallOnboarding, WalksFromTheMarkerToTheRecordedBuild) {
    OnboardingHarness h;
    h.app->defaultsStore->standard()->set("host.autoUpdate.enabled", true);
    // The desktop has a settings program: a settings button sends the user away to it.
    h.launcher->openablePrefixes = {"x-apple.systempreferences:"};
    auto& delegate = h.launch();
    auto& app = *h.app;
    EXPECT_TRUE(app.feedRequests.empty()) << "no launch update check while the onboarding is pending";
    EXPECT_EQ(app.count("host updated to build"), 0u);
    EXPECT_EQ(h.capture->requestCount(), 0) << "no first-run prompt either";

    // Step 1 at once; a poll while it is up changes nothing.
    EXPECT_EQ(delegate.permissions().initialInstallOnboardingStep, Step::accessibility);
    EXPECT_TRUE(app.logged("permissions: initial install advancing to accessibility"));
    EXPECT_EQ(h.upTitle(), accessibilityTitle);
    EXPECT_EQ(h.upSheet()->alert().buttons,
              (std::vector<std::string>{"Open Accessibility Settings", "Later"}));
    EXPECT_EQ(h.upSheet()->alert().style, AlertModel::Style::informational);
    EXPECT_TRUE(delegate.status().summaryWindow->attachedSheet());
    h.advance(5);
    EXPECT_EQ(h.sheetsTitled(accessibilityTitle), 1u);
    EXPECT_TRUE(delegate.status().summaryWindow->visible()) << "the launch auto-close spares a window with a sheet";

    // "Open Accessibility Settings": the system is asked; the poll waits for the user.
    h.answer(1000);
    EXPECT_TRUE(delegate.permissions().initialInstallOnboardingAwaitingReturn);
    EXPECT_TRUE(app.logged("permissions: initial install requesting Accessibility"));
    h.advance(0.5);
    EXPECT_EQ(h.accessibility->promptCount(), 1);
    h.advance(3);
    EXPECT_EQ(h.sheetsTitled(accessibilityTitle), 1u) << "not shown again while the user is away";

    // The grant is seen within a second; the Host is active, so step 2 is shown.
    h.accessibility->setTrusted(true);
    h.advance(1);
    EXPECT_TRUE(app.logged("permissions: initial install permission change detected"));
    EXPECT_TRUE(app.logged("permissions: initial install advancing to screenCapture"));
    ASSERT_EQ(h.upTitle(), screenRecordingTitle);
    EXPECT_EQ(h.upSheet()->alert().informativeText, screenRecordingMessage);

    // "Later" defers it until the user comes back to the Host.
    h.answer(1001);
    EXPECT_TRUE(app.logged("permissions: initial install onboarding Screen Recording step deferred by user"));
    h.advance(3);
    EXPECT_EQ(h.sheetsTitled(screenRecordingTitle), 1u);
    delegate.applicationDidBecomeActive();
    h.advance(0.1);
    EXPECT_EQ(h.sheetsTitled(screenRecordingTitle), 2u);

    // Asked for: the relaunch flag is set with the request.
    h.answer(1000);
    EXPECT_TRUE(app.logged("permissions: initial install requesting Screen Recording"));
    EXPECT_TRUE(app.defaultsStore->standard()->boolean("host.pendingScreenCaptureRelaunch"));
    h.advance(0.5);
    EXPECT_EQ(h.capture->requestCount(), 1);

    // Granted while the user is in another application: the step moves, but its sheet waits for
    // the user's return, and the Host asks to come forward.
    h.app->shell->active = false;
    h.capture->setGranted(true);
    const auto activationsBefore = std::count(app.shell->events.begin(), app.shell->events.end(), "activate");
    h.advance(1);
    EXPECT_EQ(delegate.permissions().initialInstallOnboardingStep, Step::confirmation);
    EXPECT_TRUE(delegate.permissions().initialInstallOnboardingAwaitingReturn);
    EXPECT_EQ(h.sheetsTitled(confirmTitle), 0u);
    EXPECT_GT(std::count(app.shell->events.begin(), app.shell->events.end(), "activate"), activationsBefore);
    // The grant also asks once to quit, so that the Host can start again with it; the user stays.
    h.advance(2.5);
    h.answerTitled("Quit Corventis Host?", 1001);
    h.app->shell->active = true;
    delegate.applicationDidBecomeActive();
    h.advance(0.1);
    ASSERT_EQ(h.upTitle(), confirmTitle);
    EXPECT_EQ(h.upSheet()->alert().buttons,
              (std::vector<std::string>{"I Have Enabled Both", "Open Accessibility Settings",
                                        "Open Screen Recording Settings"}));

    // Confirmed while Screen Recording was switched off again: step 2 with the feedback on top,
    // once.
    h.capture->setGranted(false);
    h.answer(1000);
    EXPECT_TRUE(app.logged("permissions: initial install confirmation rejected: " + missingScreenRecording));
    ASSERT_EQ(h.upTitle(), screenRecordingTitle);
    EXPECT_EQ(h.upSheet()->alert().informativeText, missingScreenRecording + "\n\n" + screenRecordingMessage);
    h.answer(1001);
    delegate.applicationDidBecomeActive();
    h.advance(0.1);
    ASSERT_EQ(h.upTitle(), screenRecordingTitle);
    EXPECT_EQ(h.upSheet()->alert().informativeText, screenRecordingMessage) << "the feedback is shown once";

    // Both on and confirmed: the build is recorded and the notice counts down from 5.
    h.capture->setGranted(true);
    h.answer(1001);
    delegate.applicationDidBecomeActive();
    h.advance(0.1);
    ASSERT_EQ(h.upTitle(), confirmTitle);
    h.answer(1000);
    EXPECT_EQ(app.defaultsStore->standard()->string("host.initialInstallOnboarding.completedBuild"), "149");
    EXPECT_FALSE(app.defaultsStore->standard()->boolean("host.pendingScreenCaptureRelaunch"));
    EXPECT_TRUE(app.logged("permissions: initial install onboarding completed for build 149"));
    EXPECT_EQ(delegate.permissions().initialInstallOnboardingStep, Step::completionCountdown);
    auto notice = h.upSheet();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->alert().messageText, noticeTitle);
    std::vector<std::string> counted{notice->alert().informativeText};
    for (int tick = 1; tick <= 4; ++tick) {
        h.advance(1);
        counted.push_back(notice->alert().informativeText);
    }
    EXPECT_EQ(counted.front(), "Installation is complete. This window will close in 5 seconds.");
    EXPECT_EQ(counted.back(), "Installation is complete. This window will close in 1 seconds.");
    EXPECT_EQ(counted.size(), 5u);
    EXPECT_FALSE(notice->ended());
    h.advance(1);
    EXPECT_TRUE(notice->ended());
    EXPECT_EQ(delegate.permissions().initialInstallOnboardingStep, Step::completed);
    EXPECT_TRUE(app.logged("permissions: initial install completion countdown finished"));
    EXPECT_FALSE(delegate.status().summaryWindow->visible()) << "the notice takes the summary window with it";
    EXPECT_FALSE(delegate.permissions().initialInstallOnboardingTimer);

    // Never again for this build: not on reactivation, not on the next launch, which runs the
    // launch update check again.
    const auto sheetsBefore = app.shell->sheets.size();
    delegate.applicationDidBecomeActive();
    h.advance(5);
    EXPECT_EQ(app.shell->sheets.size(), sheetsBefore);
    app.delegate.reset();
    app.launch();
    h.advance(3);
    EXPECT_EQ(app.shell->sheets.size(), sheetsBefore);
    EXPECT_FALSE(app.delegate->permissions().hasPendingInitialInstallOnboarding());
    EXPECT_FALSE(app.feedRequests.empty());
}

TEST(InitialInstallOnboarding, ARejectionNamesTheFirstMissingPermissionAndSettingsButtonsOpenPanes) {
    OnboardingHarness h(/*trusted=*/true, /*captureGranted=*/true);
    h.launcher->openablePrefixes = {"x-apple.systempreferences:com.apple.preference.security?"};
    auto& delegate = h.launch();
    auto& app = *h.app;
    ASSERT_EQ(h.upTitle(), confirmTitle) << "both granted at the first poll: the confirmation at once";

    // The settings buttons send the user away to the panes.
    h.answer(1002);
    EXPECT_TRUE(delegate.permissions().initialInstallOnboardingAwaitingReturn);
    EXPECT_TRUE(app.logged("permissions: opened System Settings pane Privacy_ScreenCapture"));
    delegate.applicationDidBecomeActive();
    h.advance(0.1);
    h.answer(AlertSheetModel::stopResponse);
    EXPECT_TRUE(app.logged("permissions: initial install onboarding permission confirmation deferred by user"));
    delegate.applicationDidBecomeActive();
    h.advance(0.1);

    // Both switched off, then confirmed: the Accessibility text, on the Accessibility step.
    h.accessibility->setTrusted(false);
    h.capture->setGranted(false);
    h.answer(1000);
    EXPECT_TRUE(app.logged("permissions: initial install confirmation rejected: " + missingAccessibility));
    ASSERT_EQ(h.upTitle(), accessibilityTitle);
    EXPECT_EQ(h.upSheet()->alert().informativeText.rfind(missingAccessibility + "\n\nTurn on Corventis Host", 0), 0u);
    EXPECT_FALSE(app.defaultsStore->standard()->string("host.initialInstallOnboarding.completedBuild"));

    // The first "Open Accessibility Settings" asks the system; the second opens the pane directly.
    h.answer(1000);
    h.advance(2);
    EXPECT_EQ(h.accessibility->promptCount(), 1);
    const auto panesBefore = app.count("permissions: opened System Settings pane Privacy_Accessibility");
    delegate.applicationDidBecomeActive();
    h.advance(0.1);
    h.answer(1000);
    h.advance(0.1);
    EXPECT_EQ(h.accessibility->promptCount(), 1);
    EXPECT_EQ(app.count("permissions: opened System Settings pane Privacy_Accessibility"), panesBefore + 1);
}

// Where a settings button sends the user, and how the walk-through knows they are back: at once
// when nothing could be started, when the settings program it started has ended, when the Host
// has the focus again. A program from an earlier wait does not end a later one.
TEST(InitialInstallOnboarding, TheStepComesBackWhenTheUserIsBackFromTheSettings) {
    OnboardingHarness h(/*trusted=*/false, /*captureGranted=*/true);
    auto& delegate = h.launch();
    auto& app = *h.app;
    const auto& permissions = delegate.permissions();
    ASSERT_EQ(h.upTitle(), accessibilityTitle);

    // No settings program to start after the system was asked: the user never left.
    h.answer(1000);
    EXPECT_TRUE(permissions.initialInstallOnboardingAwaitingReturn);
    h.advance(1.5);
    EXPECT_EQ(h.accessibility->promptCount(), 1);
    EXPECT_TRUE(app.logged("permissions: failed to open System Settings pane Privacy_Accessibility"));
    EXPECT_FALSE(permissions.initialInstallOnboardingAwaitingReturn);
    EXPECT_EQ(h.sheetsTitled(accessibilityTitle), 2u);
    ASSERT_EQ(h.upTitle(), accessibilityTitle);

    // Granted while its sheet is up; "Later" there, and the poll moves on to the confirmation.
    h.accessibility->setTrusted(true);
    h.answer(1001);
    h.advance(1);
    ASSERT_EQ(h.upTitle(), confirmTitle);
    h.answer(1002);
    EXPECT_EQ(h.sheetsTitled(confirmTitle), 2u) << "the confirmation's own pane button, the same";

    // A settings program started: the sheet waits while it runs, also while the Host keeps the
    // focus, and is back within a poll of its end.
    h.launcher->openablePrefixes = {"x-apple.systempreferences:"};
    h.answer(1001);
    ASSERT_EQ(h.launcher->programs.size(), 1u);
    h.advance(5);
    EXPECT_TRUE(permissions.initialInstallOnboardingAwaitingReturn);
    EXPECT_EQ(h.sheetsTitled(confirmTitle), 2u);
    h.launcher->endPrograms();
    h.advance(1);
    EXPECT_EQ(h.sheetsTitled(confirmTitle), 3u);

    // The settings take the focus from the Host's window, and the window gets it back.
    h.answer(1002);
    ASSERT_EQ(h.launcher->programs.size(), 2u);
    app.shell->active = false;
    h.advance(3);
    EXPECT_EQ(h.sheetsTitled(confirmTitle), 3u);
    app.shell->active = true;
    delegate.applicationDidBecomeActive();
    h.advance(0.1);
    EXPECT_EQ(h.sheetsTitled(confirmTitle), 4u);

    // "Later" now: the settings program of the earlier wait ending brings nothing back.
    h.answer(AlertSheetModel::stopResponse);
    h.launcher->endPrograms();
    h.advance(5);
    EXPECT_EQ(h.sheetsTitled(confirmTitle), 4u);
    EXPECT_TRUE(permissions.initialInstallOnboardingAwaitingReturn);
}

TEST(InitialInstallOnboarding, TheNoticesButtonEndsTheCountdownAtOnce) {
    OnboardingHarness h(true, true);
    auto& delegate = h.launch();
    h.answer(1000);
    ASSERT_EQ(h.upTitle(), noticeTitle);
    h.advance(2);
    h.answer(1000);
    EXPECT_EQ(delegate.permissions().initialInstallOnboardingStep, Step::completed);
    EXPECT_EQ(delegate.permissions().initialInstallCompletionSecondsRemaining, 0);
    EXPECT_FALSE(delegate.permissions().initialInstallOnboardingSheetVisible);
    EXPECT_FALSE(delegate.status().summaryWindow->visible());
    h.advance(10);
    EXPECT_EQ(h.app->count("permissions: initial install completion countdown finished"), 1u);
}

TEST(InitialInstallOnboarding, AnInstallerLinkDuringTheOnboardingOnlyResumesIt) {
    OnboardingHarness h;
    auto& delegate = h.launch();
    h.answer(1001);  // "Later"
    h.app->shell->active = false;
    delegate.handlePermissionURLEvent("quillmerehost://permissions/screen");
    h.advance(0.1);
    EXPECT_EQ(h.upTitle(), accessibilityTitle) << "resumed: the step is shown again";
    h.advance(6);
    EXPECT_EQ(h.app->count("permissions: requesting"), 0u) << "the link asks for nothing itself";
}

TEST(ForegroundSheet, KeepsTheSheetInFrontOfItsWindowWhileTheApplicationIsActive) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    auto window = delegate.status().summaryWindow;
    window->setLevel(WindowModel::normalLevel);
    app.shell->active = false;
    int answer = 0;
    auto sheet = delegate.beginHostForegroundSheet({"Title", "Message", {"One", "Two"}}, window,
                                                   [&answer](int response) { answer = response; });
    ASSERT_TRUE(sheet);
    EXPECT_EQ(window->level(), WindowModel::floatingLevel) << "the window floats at once";
    EXPECT_TRUE(window->isKey());
    EXPECT_EQ(sheet->sheetParent(), window);
    app.host.clock().advance(0.2);
    EXPECT_EQ(sheet->level(), WindowModel::normalLevel) << "no raise while another application is active";

    // Becoming active, or the sheet becoming key, raises both on the next turn.
    app.shell->active = true;
    delegate.applicationDidBecomeActive();
    app.host.clock().runUntilIdle();
    EXPECT_EQ(sheet->level(), WindowModel::modalPanelLevel);
    EXPECT_EQ(sheet->collectionBehavior(), WindowModel::moveToActiveSpace | WindowModel::fullScreenAuxiliary);
    const int fronts = sheet->orderFrontCount();
    sheet->didBecomeKey();
    app.host.clock().runUntilIdle();
    EXPECT_GT(sheet->orderFrontCount(), fronts);

    sheet->respond(1001);
    EXPECT_EQ(answer, 1001);
    EXPECT_FALSE(window->attachedSheet());
    sheet->respond(1000);
    EXPECT_EQ(answer, 1001) << "a sheet answers once";
    const int after = sheet->orderFrontCount();
    delegate.applicationDidBecomeActive();
    sheet->didBecomeKey();
    app.host.clock().advance(1);
    EXPECT_EQ(sheet->orderFrontCount(), after) << "an ended sheet is not raised";
}

}  // namespace
}  // namespace OnboardingTests
}  // namespace qm::test
