// The walk through the two permissions after an install: Accessibility, then Screen Recording,
// then the user's confirmation, then a notice that closes itself. Everything runs on the main
// queue.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "HostApp/App/PermissionsController.h"

#include "HostApp/App/HostProbeDelegate.h"
#include "Platform/Accessibility.h"
#include "Platform/AudioCapture.h"
#include "Platform/Core/ByteIO.h"
#include "Platform/ProcessLauncher.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

using L10n = QuillmereL10n;
using Step = PermissionsController::InitialInstallOnboardingStep;

namespace {

// A build number with some white space; anything larger is not a marker.
constexpr std::size_t maxMarkerBytes = 4096;

// The whole marker file: a regular file read without blocking, or none.
std::optional<std::string> readMarker(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= static_cast<off_t>(maxMarkerBytes)) {
        std::string buffer(maxMarkerBytes + 1, '\0');
        std::size_t used = 0;
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data() + used, buffer.size() - used);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                used = buffer.size();  // unreadable
                break;
            }
            if (n == 0) break;
            used += static_cast<std::size_t>(n);
            if (used == buffer.size()) break;  // grew past the limit while being read
        }
        if (used <= maxMarkerBytes) text = buffer.substr(0, used);
    }
    ::close(fd);
    return text;
}

std::string trimmedWhiteSpace(const std::string& text) {
    const char* const space = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

AlertModel stepAlert(Step step) {
    AlertModel alert;
    alert.style = AlertModel::Style::informational;
    const auto openAccessibility = L10n::text("host.initialOnboardingOpenAccessibility", "Open Accessibility Settings");
    const auto openScreenRecording =
        L10n::text("host.initialOnboardingOpenScreenRecording", "Open Screen Recording Settings");
    const auto later = L10n::text("host.initialOnboardingLater", "Later");
    switch (step) {
        case Step::accessibility:
            alert.messageText = L10n::text("host.initialOnboardingAccessibilityTitle", "Step 1 of 2: Allow Accessibility");
            alert.informativeText = L10n::text(
                "host.initialOnboardingAccessibilityMessage",
                "Turn on Corventis Host in Accessibility first. The Screen Recording step appears after this "
                "permission is enabled.");
            alert.buttons = {openAccessibility, later};
            break;
        case Step::screenCapture:
            alert.messageText =
                L10n::text("host.initialOnboardingScreenRecordingTitle", "Step 2 of 2: Allow Screen Recording");
            alert.informativeText = L10n::text(
                "host.initialOnboardingScreenRecordingMessage",
                "Turn on Corventis Host in Screen Recording and System Audio. Both permissions are required for a "
                "Viewer to see and control this Mac.");
            alert.buttons = {openScreenRecording, later};
            break;
        case Step::confirmation:
            alert.messageText = L10n::text("host.initialOnboardingConfirmTitle", "Confirm Both Permissions");
            alert.informativeText = L10n::text(
                "host.initialOnboardingConfirmMessage",
                "Corventis Host needs both Accessibility and Screen Recording enabled. Use either settings button to "
                "review the switches, then confirm that both are on.");
            alert.buttons = {L10n::text("host.initialOnboardingConfirmBoth", "I Have Enabled Both"), openAccessibility,
                             openScreenRecording};
            break;
        default: break;
    }
    return alert;
}

}  // namespace

std::string PermissionsController::stepName(InitialInstallOnboardingStep step) {
    switch (step) {
        case Step::idle: return "idle";
        case Step::accessibility: return "accessibility";
        case Step::screenCapture: return "screenCapture";
        case Step::confirmation: return "confirmation";
        case Step::completionCountdown: return "completionCountdown";
        case Step::completed: return "completed";
    }
    return "idle";
}

bool PermissionsController::accessibilityTrusted() const {
    const auto& accessibility = env().platform.accessibility;
    return !accessibility || accessibility->isProcessTrusted();
}

bool PermissionsController::screenCaptureGranted() const {
    const auto& access = env().platform.screenCaptureAccess;
    return !access || access->preflight();
}

bool PermissionsController::hasPendingInitialInstallOnboarding() const {
    const auto build = hostBundleVersionString(env().bundle);
    if (env().defaults->string(initialInstallOnboardingCompletedBuildKey) == build) return false;
    const auto marker = readMarker(env().installerMarker);
    if (!marker || !isValidUTF8(*marker)) return false;
    return trimmedWhiteSpace(*marker) == build;
}

void PermissionsController::resumeInitialInstallOnboarding() {
    if (!hasPendingInitialInstallOnboarding()) return;
    if (initialInstallOnboardingStep == Step::completionCountdown || initialInstallOnboardingStep == Step::completed) return;
    observeInitialInstallPermissionCompletion();
    advanceInitialInstallOnboarding();
}

void PermissionsController::observeInitialInstallPermissionCompletion() {
    if (initialInstallOnboardingTimer) return;
    initialInstallOnboardingTimer =
        RepeatingTimer::schedule(env().platform.mainQueue, initialInstallOnboardingPollInterval, [weak = weak()] {
            if (auto self = weak.lock()) self->advanceInitialInstallOnboarding();
        });
}

void PermissionsController::advanceInitialInstallOnboarding() {
    if (!hasPendingInitialInstallOnboarding()) return;
    if (initialInstallOnboardingSheetVisible) return;
    if (initialInstallOnboardingStep == Step::completionCountdown || initialInstallOnboardingStep == Step::completed) {
        return;
    }
    if (initialInstallSettingsProgram_ && initialInstallSettingsProgram_->hasEnded()) {
        // The user closed the settings program the walk-through opened for them.
        initialInstallSettingsProgram_.reset();
        initialInstallOnboardingAwaitingReturn = false;
    }
    // Screen Recording is only looked at once Accessibility is granted.
    const Step target = !accessibilityTrusted() ? Step::accessibility
                        : !screenCaptureGranted() ? Step::screenCapture
                                                  : Step::confirmation;
    const bool active = !env().shell || env().shell->applicationIsActive();
    bool changeStep = true;
    if (initialInstallOnboardingAwaitingReturn) {
        if (target == initialInstallOnboardingStep) {
            changeStep = false;
        } else {
            initialInstallOnboardingAwaitingReturn = false;
            log("permissions: initial install permission change detected");
        }
    }
    if (changeStep && target != initialInstallOnboardingStep) {
        initialInstallOnboardingStep = target;
        initialInstallOnboardingAwaitingReturn = !active;
        log("permissions: initial install advancing to " + stepName(target));
    }
    if (!active && env().shell) env().shell->activateIgnoringOtherApps();
    if (!initialInstallOnboardingAwaitingReturn) presentInitialInstallOnboardingStep();
}

void PermissionsController::presentInitialInstallOnboardingStep() {
    if (initialInstallOnboardingSheetVisible) return;
    const Step step = initialInstallOnboardingStep;
    if (step != Step::accessibility && step != Step::screenCapture && step != Step::confirmation) return;
    AlertModel alert = stepAlert(step);
    if (step != Step::confirmation && initialInstallOnboardingFeedbackMessage) {
        alert.informativeText = *initialInstallOnboardingFeedbackMessage + "\n\n" + alert.informativeText;
        initialInstallOnboardingFeedbackMessage.reset();
    }
    initialInstallOnboardingSheetVisible = true;
    app_.status().beginHostForegroundSheet(alert, app_.status().ensureSummaryWindow(), [weak = weak(), step](int response) {
        auto self = weak.lock();
        if (!self) return;
        self->initialInstallOnboardingSheetVisible = false;
        self->handleInitialInstallOnboardingResponse(response, step);
    });
}

void PermissionsController::handleInitialInstallOnboardingResponse(int response, InitialInstallOnboardingStep step) {
    switch (step) {
        case Step::accessibility:
            beginInitialInstallAway();
            if (response == 1000) {
                requestInitialInstallPermission(PermissionRequestKind::accessibility);
            } else {
                log("permissions: initial install onboarding Accessibility step deferred by user");
            }
            break;
        case Step::screenCapture:
            beginInitialInstallAway();
            if (response == 1000) {
                requestInitialInstallPermission(PermissionRequestKind::screenCapture);
            } else {
                log("permissions: initial install onboarding Screen Recording step deferred by user");
            }
            break;
        case Step::confirmation:
            if (response == 1000) {
                confirmInitialInstallOnboarding();
                break;
            }
            beginInitialInstallAway();
            if (response == 1001) {
                openSystemSettingsPrivacyPane("Privacy_Accessibility");
            } else if (response == 1002) {
                openSystemSettingsPrivacyPane("Privacy_ScreenCapture");
            } else {
                log("permissions: initial install onboarding permission confirmation deferred by user");
            }
            break;
        case Step::idle:
        case Step::completionCountdown:
        case Step::completed: break;
    }
}

void PermissionsController::beginInitialInstallAway() {
    initialInstallOnboardingAwaitingReturn = true;
    ++initialInstallAwayCount_;
    initialInstallSettingsProgram_.reset();
}

void PermissionsController::returnToInitialInstallOnboarding() {
    initialInstallOnboardingAwaitingReturn = false;
    initialInstallSettingsProgram_.reset();
    resumeInitialInstallOnboarding();
}

void PermissionsController::privacyPaneOutcome(std::optional<std::uint64_t> away, bool opened,
                                               std::shared_ptr<StartedProgram> program) {
    // Only the pane of the wait still on: the user may have come back, or been sent elsewhere.
    if (!away || *away != initialInstallAwayCount_ || !initialInstallOnboardingAwaitingReturn) return;
    if (!opened) {
        // Nothing came up to go to: the user never left.
        returnToInitialInstallOnboarding();
        return;
    }
    // Followed until it ends; a pane the desktop's opener took over ends the wait only when the
    // Host comes forward again.
    initialInstallSettingsProgram_ = std::move(program);
}

void PermissionsController::requestInitialInstallPermission(PermissionRequestKind kind) {
    if (kind == PermissionRequestKind::accessibility) {
        if (accessibilityTrusted()) {
            initialInstallOnboardingAwaitingReturn = false;
            advanceInitialInstallOnboarding();
            return;
        }
        if (!initialInstallRequestedAccessibility) {
            initialInstallRequestedAccessibility = true;
            log("permissions: initial install requesting Accessibility");
            requestAccessibilityPermission();
        } else {
            openSystemSettingsPrivacyPane("Privacy_Accessibility");
        }
    } else {
        if (screenCaptureGranted()) {
            initialInstallOnboardingAwaitingReturn = false;
            advanceInitialInstallOnboarding();
            return;
        }
        if (!initialInstallRequestedScreenCapture) {
            initialInstallRequestedScreenCapture = true;
            log("permissions: initial install requesting Screen Recording");
            // The Host relaunches itself once the grant arrives.
            pendingScreenCaptureRelaunch = true;
            env().defaults->set("host.pendingScreenCaptureRelaunch", true);
            requestScreenRecordingPermission();
        } else {
            openSystemSettingsPrivacyPane("Privacy_ScreenCapture");
        }
    }
    observeInitialInstallPermissionCompletion();
}

void PermissionsController::confirmInitialInstallOnboarding() {
    if (completeInitialInstallOnboardingAfterConfirmation()) {
        presentInitialInstallCompletionCountdown();
        return;
    }
    const auto text =
        accessibilityTrusted()
            ? L10n::text("host.initialOnboardingMissingScreenRecording",
                         "Screen Recording is still disabled. Enable it before confirming installation.")
            : L10n::text("host.initialOnboardingMissingAccessibility",
                         "Accessibility is still disabled. Enable it before confirming installation.");
    log("permissions: initial install confirmation rejected: " + text);
    initialInstallOnboardingFeedbackMessage = text;
    initialInstallOnboardingStep = Step::idle;
    initialInstallOnboardingAwaitingReturn = false;
    advanceInitialInstallOnboarding();
}

bool PermissionsController::completeInitialInstallOnboardingAfterConfirmation() {
    if (!(accessibilityTrusted() && screenCaptureGranted())) return false;
    const auto build = hostBundleVersionString(env().bundle);
    env().defaults->set(initialInstallOnboardingCompletedBuildKey, build);
    pendingScreenCaptureRelaunch = false;
    env().defaults->set("host.pendingScreenCaptureRelaunch", false);
    if (initialInstallOnboardingTimer) initialInstallOnboardingTimer->cancel();
    initialInstallOnboardingTimer.reset();
    log("permissions: initial install onboarding completed for build " + build);
    return true;
}

std::string PermissionsController::initialInstallCompletionMessage() const {
    return L10n::format("host.initialOnboardingCompleteMessageFormat",
                        "Installation is complete. This window will close in %d seconds.",
                        initialInstallCompletionSecondsRemaining);
}

void PermissionsController::presentInitialInstallCompletionCountdown() {
    initialInstallOnboardingStep = Step::completionCountdown;
    initialInstallOnboardingAwaitingReturn = false;
    initialInstallOnboardingSheetVisible = true;
    initialInstallCompletionSecondsRemaining = initialInstallCompletionSeconds;
    AlertModel alert;
    alert.style = AlertModel::Style::informational;
    alert.messageText = L10n::text("host.initialOnboardingCompleteTitle", "Corventis Host installation is complete");
    alert.informativeText = initialInstallCompletionMessage();
    // The notice has only the alert's own default button.
    alert.buttons = {L10n::text("common.ok", "OK")};
    auto notice = app_.status().beginHostForegroundSheet(alert, app_.status().ensureSummaryWindow(), [weak = weak()](int) {
        auto self = weak.lock();
        if (self && self->initialInstallOnboardingStep == Step::completionCountdown) {
            self->finishInitialInstallCompletionCountdown();
        }
    });
    // A desktop may answer at once; then the notice is over and nothing counts down.
    if (initialInstallOnboardingStep != Step::completionCountdown) return;
    initialInstallCompletionAlert = notice;
    initialInstallOnboardingTimer =
        RepeatingTimer::schedule(env().platform.mainQueue, initialInstallOnboardingPollInterval, [weak = weak()] {
            if (auto self = weak.lock()) self->advanceInitialInstallCompletionCountdown();
        });
}

void PermissionsController::advanceInitialInstallCompletionCountdown() {
    if (initialInstallOnboardingStep != Step::completionCountdown) return;
    if (--initialInstallCompletionSecondsRemaining <= 0) {
        finishInitialInstallCompletionCountdown();
        return;
    }
    if (initialInstallCompletionAlert) initialInstallCompletionAlert->setInformativeText(initialInstallCompletionMessage());
}

void PermissionsController::finishInitialInstallCompletionCountdown() {
    if (initialInstallOnboardingStep != Step::completionCountdown) return;
    initialInstallOnboardingStep = Step::completed;
    initialInstallOnboardingSheetVisible = false;
    initialInstallCompletionSecondsRemaining = 0;
    if (initialInstallOnboardingTimer) initialInstallOnboardingTimer->cancel();
    initialInstallOnboardingTimer.reset();
    auto alert = std::move(initialInstallCompletionAlert);
    initialInstallCompletionAlert.reset();
    // Ending the sheet runs its completion, which finds the step completed and does nothing.
    const auto& summaryWindow = app_.status().summaryWindow;
    if (alert && summaryWindow && alert->sheetParent()) alert->respond(AlertSheetModel::stopResponse);
    log("permissions: initial install completion countdown finished");
    if (summaryWindow) summaryWindow->close();
}

}  // namespace qm
