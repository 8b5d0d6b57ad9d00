// The permission requests, the privacy panes, the relaunch after a Screen Recording grant and the
// installer's links.
#include <algorithm>
#include <cctype>

#include "HostApp/App/PermissionsController.h"

#include "HostApp/App/HostProbeDelegate.h"
#include "Platform/Accessibility.h"
#include "Platform/AudioCapture.h"
#include "Platform/UserDefaults.h"

namespace qm {

namespace {

constexpr double promptDelay = 0.4;
constexpr double paneFallbackDelay = 1.0;
constexpr double installerRequestSpacing = 5.5;
constexpr double relaunchQuitDelay = 0.3;
const char* const pendingRelaunchKey = "host.pendingScreenCaptureRelaunch";

const char* kindName(PermissionsController::PermissionRequestKind kind) {
    return kind == PermissionsController::PermissionRequestKind::screenCapture ? "screenCapture" : "accessibility";
}

}  // namespace

std::shared_ptr<PermissionsController> PermissionsController::create(HostProbeDelegate& app) {
    return std::shared_ptr<PermissionsController>(new PermissionsController(app));
}

PermissionsController::PermissionsController(HostProbeDelegate& app)
    : HostControllerOf(app), privacyPaneQueue_(env().platform.makeQueue("v230.hostprobe.privacy-pane")) {}

PermissionsController::~PermissionsController() {
    if (initialInstallOnboardingTimer) initialInstallOnboardingTimer->cancel();
}

void PermissionsController::applicationWillTerminate() {
    if (initialInstallOnboardingTimer) initialInstallOnboardingTimer->cancel();
    initialInstallOnboardingTimer.reset();
}

void PermissionsController::presentUpgradeNoticeIfNeeded() {
    const auto build = hostBundleVersionString(env().bundle);
    if (env().defaults->string("host.upgradeNotice.lastPresentedBuild") == build) return;
    env().defaults->set("host.upgradeNotice.lastPresentedBuild", build);
    log("host updated to build " + build);
    app_.updateHostPresentation();
}

void PermissionsController::requestFirstRunPermissionsIfNeeded() {
    if (hasPendingInitialInstallOnboarding()) {
        resumeInitialInstallOnboarding();
        return;
    }
    // At most one prompt per launch: Screen Recording first (once per build), else Accessibility
    // (once). The marks are stored before the prompt, so a dismissed prompt is not repeated.
    const auto build = hostBundleVersionString(env().bundle);
    const auto& access = env().platform.screenCaptureAccess;
    bool prompted = false;
    if (!access || access->preflight()) {
        pendingScreenCaptureRelaunch = env().defaults->boolean("host.pendingScreenCaptureRelaunch");
    } else if (!env().defaults->boolean("host.firstRun.screenCapturePrompted." + build)) {
        env().defaults->set("host.firstRun.screenCapturePrompted." + build, true);
        log("permissions: requesting Screen Recording on first launch");
        pendingScreenCaptureRelaunch = true;
        env().defaults->set("host.pendingScreenCaptureRelaunch", true);
        requestScreenRecordingPermission();
        prompted = true;
    }
    if (!prompted) {
        const auto& accessibility = env().platform.accessibility;
        const bool trusted = !accessibility || accessibility->isProcessTrusted();
        if (!trusted && !env().defaults->boolean("host.firstRun.accessibilityPrompted")) {
            env().defaults->set("host.firstRun.accessibilityPrompted", true);
            log("permissions: requesting Accessibility on first launch");
            requestAccessibilityPermission();
        }
    }
    triggerScreenCaptureRelaunchIfNeeded("first-run permission check");
}

void PermissionsController::prepareForSystemPermissionPrompt() { app_.details().sendWindowsBack(); }

void PermissionsController::requestScreenRecordingPermission() {
    prepareForSystemPermissionPrompt();
    env().platform.mainQueue->asyncAfter(promptDelay, [weak = weak()] {
        auto self = weak.lock();
        if (!self) return;
        const auto& access = self->env().platform.screenCaptureAccess;
        if (!access || access->preflight()) return;
        log("permissions: requesting Screen Recording through TCC");
        if (access->request()) return;
        self->env().platform.mainQueue->asyncAfter(paneFallbackDelay, [weak] {
            auto again = weak.lock();
            if (!again) return;
            const auto& later = again->env().platform.screenCaptureAccess;
            if (later && !later->preflight()) again->openSystemSettingsPrivacyPane("Privacy_ScreenCapture");
        });
    });
}

void PermissionsController::requestAccessibilityPermission() {
    prepareForSystemPermissionPrompt();
    env().platform.mainQueue->asyncAfter(promptDelay, [weak = weak()] {
        auto self = weak.lock();
        if (!self) return;
        const auto& accessibility = self->env().platform.accessibility;
        if (!accessibility || accessibility->isProcessTrusted()) return;
        log("permissions: requesting Accessibility through TCC");
        if (accessibility->isProcessTrustedWithPrompt()) return;
        self->env().platform.mainQueue->asyncAfter(paneFallbackDelay, [weak] {
            auto again = weak.lock();
            if (!again) return;
            const auto& later = again->env().platform.accessibility;
            if (later && !later->isProcessTrusted()) again->openSystemSettingsPrivacyPane("Privacy_Accessibility");
        });
    });
}

void PermissionsController::openSystemSettingsPrivacyPane(const std::string& anchor) {
    prepareForSystemPermissionPrompt();
    // The walk-through waits for the user to come back from this pane, when it sent them there.
    const auto away = initialInstallOnboardingAwaitingReturn ? std::optional<std::uint64_t>(initialInstallAwayCount_)
                                                             : std::nullopt;
    if (!env().launcher) {
        log("permissions: failed to open System Settings pane " + anchor);
        privacyPaneOutcome(away, false, nullptr);
        return;
    }
    // The desktop's opener may take seconds: it runs off the main queue, and the outcome is
    // logged back on it. Only the main queue ever holds the controller.
    privacyPaneQueue_->async([weak = weak(), launcher = env().launcher, mainQueue = env().platform.mainQueue, anchor, away] {
        ProcessLauncher::Opened opened;
        for (const char* prefix : {"x-apple.systempreferences:com.apple.preference.security?",
                                   "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?"}) {
            opened = launcher->openURLFollowingProgram(prefix + anchor);
            if (opened.opened) break;
        }
        mainQueue->async([weak, opened = std::move(opened), anchor, away] {
            auto self = weak.lock();
            if (!self) return;
            log(opened.opened ? "permissions: opened System Settings pane " + anchor
                              : "permissions: failed to open System Settings pane " + anchor);
            self->privacyPaneOutcome(away, opened.opened, opened.program);
        });
    });
}

std::string PermissionsController::relaunchScript(int pid, const std::string& executable) {
    // Single quotes keep every character of the path literal; a quote inside is closed, escaped
    // and reopened.
    std::string quoted = "'";
    for (char c : executable) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    return "while /bin/kill -0 " + std::to_string(pid) + " 2>/dev/null; do /bin/sleep 0.2; done; exec " + quoted;
}

void PermissionsController::triggerScreenCaptureRelaunchIfNeeded(const std::string& reason) {
    if (!pendingScreenCaptureRelaunch) pendingScreenCaptureRelaunch = env().defaults->boolean(pendingRelaunchKey);
    if (!pendingScreenCaptureRelaunch) return;
    const auto& access = env().platform.screenCaptureAccess;
    if (!access || !access->preflight()) return;
    if (!app_.terminating()) {
        // The relaunch waits for a confirmed quit: asking starts nothing, so "Keep Running"
        // leaves no script waiting for this process and the request still pending. One question
        // per run; a later confirmed quit still relaunches.
        if (relaunchQuitReason_) return;
        relaunchQuitReason_ = reason;
        log("permissions: Screen Recording approved; asking to quit so the Host can relaunch (reason=" + reason + ")");
        env().platform.mainQueue->asyncAfter(relaunchQuitDelay, [weak = weak()] {
            if (auto self = weak.lock()) self->app_.requestTermination("Screen Recording relaunch");
        });
        return;
    }
    if (!app_.quitConfirmedByUser()) {
        // Only the user's own quit brings the Host back: a stop from outside (SIGTERM at a
        // logout or shutdown, the installer's restart) must end it. The request stays pending,
        // and the next run asks again.
        log("permissions: Screen Recording approved; not relaunching after a stop the user did not confirm; the request "
            "stays pending");
        return;
    }
    pendingScreenCaptureRelaunch = false;
    env().defaults->set(pendingRelaunchKey, false);
    const int pid = env().launcher ? env().launcher->processID() : 0;
    log("permissions: Screen Recording approved; relaunching Host pid=" + std::to_string(pid) +
        " so ScreenCaptureKit sees the new TCC grant (reason=" + relaunchQuitReason_.value_or(reason) + ")");
    const auto executable = env().bundle.executablePath.value_or(std::filesystem::path()).string();
    std::optional<std::string> failure;
    if (!env().launcher) {
        failure = "no process launcher";
    } else if (executable.empty()) {
        failure = "the Host's executable is unknown";
    } else {
        failure = env().launcher->launchDetached({"/bin/sh", "-c", relaunchScript(pid, executable)});
    }
    if (failure) log("permissions: relaunch script failed to start: " + *failure);
}

void PermissionsController::enqueueInstallerPermissionRequest(PermissionRequestKind kind) {
    if (permissionRequestInProgress) {
        queuedPermissionRequest = kind;
        log(std::string("permissions: queued installer permission request ") + kindName(kind));
        return;
    }
    permissionRequestInProgress = true;
    if (kind == PermissionRequestKind::screenCapture) {
        const auto& access = env().platform.screenCaptureAccess;
        if (access && access->preflight()) {
            openSystemSettingsPrivacyPane("Privacy_ScreenCapture");
        } else {
            log("permissions: requesting Screen Recording from installer link");
            pendingScreenCaptureRelaunch = true;
            env().defaults->set(pendingRelaunchKey, true);
            requestScreenRecordingPermission();
        }
    } else {
        const auto& accessibility = env().platform.accessibility;
        if (accessibility && accessibility->isProcessTrusted()) {
            openSystemSettingsPrivacyPane("Privacy_Accessibility");
        } else {
            log("permissions: requesting Accessibility from installer link");
            requestAccessibilityPermission();
        }
    }
    env().platform.mainQueue->asyncAfter(installerRequestSpacing, [weak = weak()] {
        auto self = weak.lock();
        if (!self) return;
        self->permissionRequestInProgress = false;
        if (auto next = self->queuedPermissionRequest) {
            self->queuedPermissionRequest.reset();
            self->enqueueInstallerPermissionRequest(*next);
        }
    });
}

std::optional<std::string> PermissionsController::permissionURLTarget(const std::string& url) {
    const auto colon = url.find(':');
    if (colon == std::string::npos || url.compare(0, colon, "quillmerehost") != 0 || colon != 13) return std::nullopt;
    for (unsigned char c : url) {
        if (c <= 0x20 || c == 0x7f) return std::nullopt;  // not an address
    }
    std::string rest = url.substr(colon + 1);
    rest = rest.substr(0, rest.find_first_of("?#"));
    std::string host;
    std::string path = rest;
    if (rest.rfind("//", 0) == 0) {
        const auto slash = rest.find('/', 2);
        std::string authority = rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
        path = slash == std::string::npos ? std::string() : rest.substr(slash);
        if (const auto at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
        if (const auto port = authority.find(':'); port != std::string::npos) authority.resize(port);
        host = authority;
    }
    std::string target = host + path;
    std::transform(target.begin(), target.end(), target.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return target;
}

void PermissionsController::handlePermissionURLEvent(const std::string& url) {
    const auto target = permissionURLTarget(url);
    if (!target) return;
    if (*target == "update/restart") {
        log("upgrade: received installer restart request");
        app_.confirmTermination();
        onMain([](PermissionsController& self) { self.app_.requestTermination("installer restart"); });
        return;
    }
    auto& status = app_.status();
    status.ensureSummaryWindow();
    status.updateHostPresentation();
    status.raiseSummaryWindow(true);
    if (hasPendingInitialInstallOnboarding()) {
        // During the onboarding the links only bring the Host forward and resume it.
        initialInstallOnboardingAwaitingReturn = false;
        resumeInitialInstallOnboarding();
        return;
    }
    if (target->find("accessibility") != std::string::npos) {
        enqueueInstallerPermissionRequest(PermissionRequestKind::accessibility);
    } else if (target->find("screen") != std::string::npos || target->find("recording") != std::string::npos) {
        enqueueInstallerPermissionRequest(PermissionRequestKind::screenCapture);
    } else {
        enqueueInstallerPermissionRequest(PermissionRequestKind::accessibility);
        env().platform.mainQueue->asyncAfter(promptDelay, [weak = weak()] {
            if (auto self = weak.lock()) self->enqueueInstallerPermissionRequest(PermissionRequestKind::screenCapture);
        });
    }
}

}  // namespace qm
