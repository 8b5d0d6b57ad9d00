#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "HostApp/App/AlertSheetModel.h"
#include "HostApp/App/HostController.h"
#include "Platform/Core/DispatchQueue.h"

namespace qm {

class StartedProgram;

// Permissions and onboarding: the first-run prompts and the upgrade notice, the walk through the
// two permissions after an install, the requests the installer's links make, the privacy panes
// and the relaunch after a Screen Recording grant. Owns that state and the onboarding's timer.
class PermissionsController : public HostControllerOf<PermissionsController> {
public:
    enum class PermissionRequestKind { screenCapture, accessibility };
    enum class InitialInstallOnboardingStep { idle, accessibility, screenCapture, confirmation, completionCountdown, completed };

    static inline const std::string initialInstallOnboardingCompletedBuildKey =
        "host.initialInstallOnboarding.completedBuild";
    static constexpr double initialInstallOnboardingPollInterval = 1.0;
    static constexpr int initialInstallCompletionSeconds = 5;

    static std::shared_ptr<PermissionsController> create(HostProbeDelegate& app);
    ~PermissionsController();

    // ---- First run and upgrade ---------------------------------------------------------------
    void presentUpgradeNoticeIfNeeded();
    void requestFirstRunPermissionsIfNeeded();
    void triggerScreenCaptureRelaunchIfNeeded(const std::string& reason);

    // ---- Initial-install permission onboarding -------------------------------------------------
    bool hasPendingInitialInstallOnboarding() const;
    // Where the walk-through stands again when the Host comes forward (activation, a link).
    void resumeInitialInstallOnboarding();
    void observeInitialInstallPermissionCompletion();
    void advanceInitialInstallOnboarding();
    void presentInitialInstallOnboardingStep();
    void handleInitialInstallOnboardingResponse(int response, InitialInstallOnboardingStep step);
    void requestInitialInstallPermission(PermissionRequestKind kind);
    void confirmInitialInstallOnboarding();
    bool completeInitialInstallOnboardingAfterConfirmation();
    void presentInitialInstallCompletionCountdown();
    void advanceInitialInstallCompletionCountdown();
    void finishInitialInstallCompletionCountdown();
    // The step's name in log lines.
    static std::string stepName(InitialInstallOnboardingStep step);

    // ---- Permissions and the installer's links ------------------------------------------------
    void prepareForSystemPermissionPrompt();
    void requestScreenRecordingPermission();
    void requestAccessibilityPermission();
    void openSystemSettingsPrivacyPane(const std::string& anchor);
    void enqueueInstallerPermissionRequest(PermissionRequestKind kind);
    // An address the Host was opened with ("quillmerehost:..."); anything else is ignored.
    void handlePermissionURLEvent(const std::string& url);
    // The lower-cased host and path of a "quillmerehost" address; none for any other text.
    static std::optional<std::string> permissionURLTarget(const std::string& url);
    // The shell command that waits for `pid` to end, then starts `executable`.
    static std::string relaunchScript(int pid, const std::string& executable);
    // Stops the onboarding's timer (the application is ending).
    void applicationWillTerminate();

    // ---- The state (read by the views and tests) --------------------------------------------
    bool pendingScreenCaptureRelaunch = false;
    bool permissionRequestInProgress = false;
    std::optional<PermissionRequestKind> queuedPermissionRequest;
    InitialInstallOnboardingStep initialInstallOnboardingStep = InitialInstallOnboardingStep::idle;
    bool initialInstallOnboardingSheetVisible = false;
    bool initialInstallOnboardingAwaitingReturn = false;
    std::optional<std::string> initialInstallOnboardingFeedbackMessage;
    bool initialInstallRequestedScreenCapture = false;
    bool initialInstallRequestedAccessibility = false;
    std::shared_ptr<RepeatingTimer> initialInstallOnboardingTimer;
    std::shared_ptr<AlertSheetModel> initialInstallCompletionAlert;
    std::int64_t initialInstallCompletionSecondsRemaining = 0;

private:
    explicit PermissionsController(HostProbeDelegate& app);
    // The two permissions as the desktop answers them; a platform without the check grants it.
    bool accessibilityTrusted() const;
    bool screenCaptureGranted() const;
    std::string initialInstallCompletionMessage() const;
    // The walk-through sends the user away (a settings pane, a system prompt, "Later"); its sheet
    // waits for their return.
    void beginInitialInstallAway();
    // The user is back from where the walk-through sent them: its sheet shows again.
    void returnToInitialInstallOnboarding();
    // How opening a privacy pane went, for the walk-through when that pane is where it sent the
    // user (`away` is the count of that sending-away, none when it sent nobody).
    void privacyPaneOutcome(std::optional<std::uint64_t> away, bool opened, std::shared_ptr<StartedProgram> program);

    // A granted Screen Recording request asked to quit once this run; the relaunch itself
    // starts only when the user confirms a quit.
    std::optional<std::string> relaunchQuitReason_;
    DispatchQueuePtr privacyPaneQueue_;  // opens the desktop's settings (may take seconds)
    // Counts the walk-through's sendings-away, so that a settings program from an earlier one
    // does not end a later wait.
    std::uint64_t initialInstallAwayCount_ = 0;
    // The settings program the walk-through started for the current wait: its end is the
    // user's return (a desktop that never moves the focus away from the Host shows no other).
    std::shared_ptr<StartedProgram> initialInstallSettingsProgram_;
};

}  // namespace qm
