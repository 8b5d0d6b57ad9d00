// Sleep and wake, the reconnect graces and the power assertions. Before the screens go dark,
// physical capture moves to a temporary headless virtual display (the "temporary virtual mirror")
// and the physical request is saved; after wake the Host waits for the window server to settle,
// then tries for a bounded window to return to the physical display. Meanwhile the graces keep
// the recovery state, and the assertions keep the machine awake, for Viewers that come back.
#include <cmath>
#include <cstdio>

#include "HostApp/Server/ServerSupport.h"
#include "HostApp/Video/HostVideoCapture.h"
#include "Platform/Displays.h"

namespace qm {

namespace {

constexpr const char* activeSessionAssertionName = "Corventis active Viewer session";
constexpr const char* iosGraceAssertionName = "Corventis iOS Viewer reconnect grace";
constexpr const char* sleepGraceAssertionName = "Corventis Viewer sleep-recovery reconnect grace";

bool carriesIOSBuiltInDisplayFlag(const CaptureModeControlPayload& request) {
    return (request.flags & CaptureModeControlPayload::iosBuiltInDisplayFlag) != 0;
}

}  // namespace

// ---- Power events ------------------------------------------------------------------------------

void V230HostAudioAuxServer::noteHostPowerState(const std::string& reason, bool screensSleeping,
                                                bool preflightHeadlessCapture) {
    if (!preflightHeadlessCapture) {
        std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
        queue->async([weak, reason, screensSleeping] {
            if (auto self = weak.lock()) self->handleHostPowerState(reason, screensSleeping, false);
        });
        return;
    }
    // The system sleeps once the caller returns: capture must have moved by then.
    queue->syncInline([&] { handleHostPowerState(reason, screensSleeping, true); });
}

void V230HostAudioAuxServer::handleHostPowerState(const std::string& reason, bool screensSleeping,
                                                  bool preflightHeadlessCapture) {
    assertOnQueue();
    // A stopped Host has handed back its displays and assertions; it takes nothing again.
    if (stopping_) return;
    if (screensSleeping && preflightHeadlessCapture) {
        if (sessions_.hasAuthorizedSession()) beginSleepRecoveryViewerReconnectGrace(reason + " preflight");
        preflightHeadlessCaptureBeforeSleep(reason);
    }
    const bool changed = power_.screensReported(screensSleeping);
    audio_->noteScreensSleepingReported(changed);
    video_.resetZeroFrameRecovery();

    if (screensSleeping) {
        cancelSleepPreflightPhysicalRecovery();
        power_.wakeStabilizationEnded();
        publish("power: " + reason + "; keeping viewer sessions connected");
        switchPhysicalCaptureToHeadlessIfNeeded(reason);
        return;
    }
    if (!changed) return;

    // Viewers that lost their connection around the sleep get their full time counted from wake.
    if (power_.sleepRecoveryGrace().isRunning()) beginSleepRecoveryViewerReconnectGrace(reason + " wake");
    constexpr double settle = PowerGraceState::wakeStabilizationSeconds;
    power_.wakeStabilizationBegan(platform_.clock->wallTime() + settle);
    char text[256];
    std::snprintf(text, sizeof text, "power: %s; waiting %.1fs for WindowServer before rebuilding active media capture",
                  reason.c_str(), settle);
    publish(text);
    if (isPaused) return;
    video_.resetStartRetries();
    display_.resetHeadlessRealizeRetries();
    audio_->resetStartRetryAttempts();

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // Work scheduled before a new sleep, or while paused, does nothing when it comes due.
    auto stillAwake = [](const std::shared_ptr<V230HostAudioAuxServer>& self) {
        return self && !self->power_.screensAreSleeping() && !self->isPaused && !self->stopping_;
    };
    queue->asyncAfter(settle, [weak, reason, stillAwake] {
        auto self = weak.lock();
        if (!stillAwake(self)) return;
        self->power_.wakeStabilizationEnded();
        self->publish("power: wake stabilization complete; rebuilding active media capture");
        if (!self->power_.savedPhysicalCapture()) {
            self->applyVideoCaptureMode(self->display_.currentVideoMode());
        } else {
            self->power_.awaitPhysicalRecovery();
            self->startSleepPreflightPhysicalRecovery(reason + " wake");
        }
        if (!self->sessions_.authorizedAudioSessions().empty()) self->audio_->restartAudioCapture(0.3);
    });
    queue->asyncAfter(settle + PowerGraceState::wakeKeyframeExtraSeconds, [weak, stillAwake] {
        auto self = weak.lock();
        if (!stillAwake(self)) return;
        self->video_.requestKeyframe();
        self->broadcastHostSessionInfo();
        self->publish("power: wake media recovery requested a fresh video keyframe");
    });
}

void V230HostAudioAuxServer::preflightHeadlessCaptureBeforeSleep(const std::string& reason) {
    assertOnQueue();
    auto& d = display_;
    if (power_.screensAreSleeping() || isPaused || sessions_.authorizedVideoSessions().empty() ||
        carriesIOSBuiltInDisplayFlag(d.currentCaptureRequest()) ||
        (d.useHeadlessVirtualDisplay() && virtualDisplay_->isActive())) {
        return;
    }
    cancelSleepPreflightPhysicalRecovery();
    power_.wakeStabilizationEnded();
    power_.beginPreflight();
    publish("power: " + reason + "; preflighting headless virtual capture before screens sleep");
    if (d.useHeadlessVirtualDisplay()) {
        // Virtual capture was chosen but the display is not there: make it now, while it can be.
        d.setCaptureBackend(VideoCaptureBackend::headlessVirtual);
        d.clearIOSBuiltInFlag();
        applyVideoCaptureMode(d.currentVideoMode());
    } else {
        power_.savePhysicalCapture(d.currentCaptureRequest(), d.currentVideoMode());
        // The screens are still awake, so the virtual display is built at once.
        switchPhysicalCaptureToHeadlessIfNeeded(reason + " preflight");
    }
    power_.endPreflight();
}

void V230HostAudioAuxServer::switchPhysicalCaptureToHeadlessIfNeeded(const std::string& reason) {
    assertOnQueue();
    auto& d = display_;
    if (d.useHeadlessVirtualDisplay() || carriesIOSBuiltInDisplayFlag(d.currentCaptureRequest()) ||
        sessions_.authorizedVideoSessions().empty()) {
        return;
    }
    d.useVirtualDisplay(false);
    video_.forgetConfig();
    d.forgetLayout();
    video_.resetStartRetries();
    d.resetHeadlessRealizeRetries();
    publish("power: " + reason + "; moving active physical capture to headless virtual display so lid-close streaming continues");
    if (power_.screensAreSleeping()) {
        publish("power: headless virtual display creation deferred until screens wake");
        return;
    }
    applyVideoCaptureMode(d.currentVideoMode());
}

// ---- Return to the physical display after wake -------------------------------------------------

void V230HostAudioAuxServer::startSleepPreflightPhysicalRecovery(const std::string& reason) {
    assertOnQueue();
    auto& p = power_;
    // Awaiting a return nobody watches would keep the virtual display for good: the idle release
    // retains it while recovery is awaited. The next Viewer's video session starts recovery again.
    if (sessions_.authorizedVideoSessions().empty()) {
        cancelSleepPreflightPhysicalRecovery();
        return;
    }
    if (!p.isAwaitingPhysicalRecovery() || p.screensAreSleeping() || !p.savedPhysicalCapture()) return;
    if (p.openRecoveryWindow(platform_.clock->wallTime() + PowerGraceState::physicalRecoveryWindowSeconds)) {
        publish("power: " + reason +
                "; waiting for the physical display to return before releasing the temporary virtual mirror");
    }
    scheduleSleepPreflightPhysicalRecovery(reason, 0);
}

void V230HostAudioAuxServer::scheduleSleepPreflightPhysicalRecovery(const std::string& reason, double after) {
    assertOnQueue();
    auto& p = power_;
    if (!p.isAwaitingPhysicalRecovery() || p.screensAreSleeping() || !p.savedPhysicalCapture()) return;
    const double delay = std::isfinite(after) && after > 0 ? after : 0.0;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    p.scheduleRecoveryAttempt(queue->asyncAfter(delay, [weak, reason] {
        if (auto self = weak.lock()) self->attemptSleepPreflightPhysicalRecovery(reason);
    }));
}

void V230HostAudioAuxServer::attemptSleepPreflightPhysicalRecovery(const std::string& reason) {
    assertOnQueue();
    auto& p = power_;
    p.recoveryAttemptRan();
    if (!p.isAwaitingPhysicalRecovery() || p.screensAreSleeping() || sessions_.authorizedVideoSessions().empty() ||
        !p.savedPhysicalCapture()) {
        // With nobody watching there is nothing to recover for; the next Viewer starts it again.
        if (sessions_.authorizedVideoSessions().empty()) cancelSleepPreflightPhysicalRecovery();
        return;
    }
    if (restorePhysicalCaptureAfterSleepIfAvailable(reason)) return;
    if (!p.recoveryDeadline()) return;
    if (platform_.clock->wallTime() < *p.recoveryDeadline()) {
        const auto count = p.noteRecoveryRetry();
        if (count == 1) {
            publish("power: " + reason + "; physical display is not ready yet; preserving the temporary virtual mirror");
            restartVideoCapture(0.2);
        }
        if (count % 8 == 0) {
            publish("power: " + reason + "; still waiting for physical display after " + std::to_string(count) +
                    " checks");
            video_.requestKeyframe();
        }
        scheduleSleepPreflightPhysicalRecovery(reason, PowerGraceState::physicalRecoveryRetrySeconds);
        return;
    }
    // The window closed. Awaiting and the saved request stay: the next display change opens a new one.
    p.closeRecoveryWindow();
    publish("power: " + reason +
            "; physical display did not return before the recovery window closed; retaining the temporary virtual "
            "mirror until the next display change");
}

bool V230HostAudioAuxServer::restorePhysicalCaptureAfterSleepIfAvailable(const std::string& reason) {
    assertOnQueue();
    auto& p = power_;
    if (p.screensAreSleeping() || !p.savedPhysicalCapture() || sessions_.authorizedVideoSessions().empty()) {
        return false;
    }
    const auto physical = usablePhysicalDisplayID();
    if (physical == 0) return false;
    auto request = *p.savedPhysicalCapture();
    const VideoCaptureMode mode = p.savedPhysicalMode().value_or(request.mode);
    p.dropSavedPhysicalCapture();
    virtualDisplay_->stop(false);
    auto& d = display_;
    d.usePhysicalDisplay(physical, false);
    request.backend = VideoCaptureBackend::physical;
    d.setCaptureRequest(request, mode);
    d.forgetLayout();
    video_.resetStartRetries();
    d.resetHeadlessRealizeRetries();
    publish("power: " + reason + "; restored pre-lid physical capture on display " + std::to_string(physical));
    applyVideoCaptureMode(mode);
    return true;
}

void V230HostAudioAuxServer::cancelSleepPreflightPhysicalRecovery() {
    assertOnQueue();
    power_.cancelSleepPreflightPhysicalRecovery();
}

void V230HostAudioAuxServer::scheduleSleepPreflightPhysicalRecoveryAfterDisplayChange() {
    assertOnQueue();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak] {
        auto self = weak.lock();
        if (!self || !self->power_.isAwaitingPhysicalRecovery() || self->power_.screensAreSleeping()) return;
        self->startSleepPreflightPhysicalRecovery("display parameters changed");
    });
}

// ---- Display topology --------------------------------------------------------------------------

void V230HostAudioAuxServer::registerDisplayChangeObserverIfNeeded() {
    assertOnQueue();
    if (!platform_.displays || displayObserverToken_) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    displayObserverToken_ = platform_.displays->addScreenParametersObserver(queue, [weak] {
        auto self = weak.lock();
        if (!self || self->stopping_) return;
        self->scheduleDisplayTopologyRecovery("screen-parameters-changed", PowerGraceState::topologyRecoveryDelaySeconds,
                                              true);
        self->scheduleSleepPreflightPhysicalRecoveryAfterDisplayChange();
    });
}

void V230HostAudioAuxServer::scheduleDisplayTopologyRecovery(const std::string& reason, double delay,
                                                             bool /*resetRetryCount: topology recovery never retries*/) {
    assertOnQueue();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, reason, delay] {
        auto self = weak.lock();
        if (!self) return;
        // A burst of changes gives one recovery, after the last of them.
        self->power_.scheduleTopologyRecovery(self->queue->asyncAfter(delay, [weak, reason] {
            auto self = weak.lock();
            if (!self || self->stopping_) return;
            self->power_.topologyRecoveryRan();
            self->recoverVirtualDisplayTopology(reason);
        }));
    });
}

void V230HostAudioAuxServer::recoverVirtualDisplayTopology(const std::string& /*reason*/) {
    assertOnQueue();
    if (power_.savedPhysicalCapture()) {
        auto& vd = *virtualDisplay_;
        if (vd.isActive()) {
            if (const auto geometry = vd.currentGeometry(vd.displayID)) vd.applyRealizedGeometry(*geometry);
        }
        display_.forgetLayout();
        publish("display topology changed during sleep preflight; preserving the temporary virtual mirror without "
                "desktop promotion");
    } else {
        display_.forgetLayout();
    }
    const auto layout = currentDisplayLayout();
    publish("display layout " + layout.summary());
    broadcastDisplayLayout(layout);
}

// ---- Reconnect graces --------------------------------------------------------------------------

bool V230HostAudioAuxServer::shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect() const {
    assertOnQueue();
    if (sessions_.hasAuthorizedSession()) return false;
    return power_.sleepRecoveryUnderway() || power_.savedPhysicalCapture();
}

void V230HostAudioAuxServer::beginSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    assertOnQueue();
    constexpr double seconds = PowerGraceState::reconnectGraceSeconds;
    const double deadline = platform_.clock->wallTime() + seconds;
    power_.sleepRecoveryGrace().beginUntil(deadline);
    scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline, seconds);
    publish("power: " + reason + "; retaining Host recovery state for 900 seconds while the Viewer reconnects");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(double deadline, double after) {
    assertOnQueue();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // The previous task is replaced, not cancelled: it finds the deadline changed, or it is the
    // task that is running now.
    power_.sleepRecoveryGrace().setExpiryCheck(queue->asyncAfter(std::max(0.0, after), [weak, deadline] {
        auto self = weak.lock();
        if (!self) return;
        auto& grace = self->power_.sleepRecoveryGrace();
        if (grace.deadline() != deadline) return;
        // The grace never runs out while the Host sleeps: the Viewer cannot come back before wake.
        if (self->power_.screensAreSleeping()) {
            self->scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline,
                                                                       PowerGraceState::sleepingGraceRecheckSeconds);
            return;
        }
        const double now = self->platform_.clock->wallTime();
        if (now < deadline) {
            self->scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline, std::max(0.0, deadline - now));
            return;
        }
        grace.expire();
        self->publish("power: Viewer sleep-recovery reconnect grace expired; restoring normal idle teardown");
        self->updateViewerIdleSleepAssertion();
        self->releaseHeadlessVirtualDisplayIfIdle();
    }));
}

void V230HostAudioAuxServer::endSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    assertOnQueue();
    if (!power_.sleepRecoveryGrace().end()) return;
    publish("power: ended Viewer sleep-recovery reconnect grace (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::beginIOSViewerBackgroundSleepGrace() {
    assertOnQueue();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    power_.iosBackgroundGrace().begin(*queue, *platform_.clock, PowerGraceState::reconnectGraceSeconds, weak,
                                               [weak] {
                                                   auto self = weak.lock();
                                                   if (!self) return;
                                                   self->publish("power: iOS Viewer reconnect grace expired; restoring normal sleep policy");
                                                   self->updateViewerIdleSleepAssertion();
                                               });
    publish("power: iOS Viewer backgrounded; keeping Host awake for up to 15 minutes while it reconnects");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::endIOSViewerBackgroundSleepGrace(const std::string& reason) {
    assertOnQueue();
    if (!power_.iosBackgroundGrace().end()) return;
    publish("power: ended iOS Viewer reconnect grace (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

bool V230HostAudioAuxServer::isIOSViewerSession(const UUID& id) const {
    assertOnQueue();
    const auto name = sessions_.viewerName(id);
    return name && equalsIgnoringCase(*name, "iOS Viewer");
}

bool V230HostAudioAuxServer::shouldRetainHeadlessVirtualDisplayForSleepRecovery() const {
    assertOnQueue();
    const double now = platform_.clock->wallTime();
    return power_.sleepRecoveryUnderway() || power_.sleepRecoveryGrace().isActive(now) ||
           (power_.savedPhysicalCapture() && sessions_.hasAuthorizedSession());
}

void V230HostAudioAuxServer::releaseHeadlessVirtualDisplayIfIdle() {
    assertOnQueue();
    if (!sessions_.authorizedVideoSessions().empty()) return;
    if (shouldRetainHeadlessVirtualDisplayForSleepRecovery()) {
        publish("viewer video idle; retaining headless virtual display for Viewer sleep recovery");
        return;
    }
    power_.dropSavedPhysicalCapture();
    if (!virtualDisplay_->isActive()) return;
    virtualDisplay_->stop(true);
    auto& d = display_;
    d.selectPhysicalDisplayIfKnown();
    d.forgetLayout();
    publish("viewer video idle; released headless virtual display");
}

// ---- Power assertions --------------------------------------------------------------------------

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    assertOnQueue();
    auto& p = power_;
    const double now = platform_.clock->wallTime();
    const bool session = sessions_.hasAuthorizedSession();
    const bool iosGrace = p.iosBackgroundGrace().isActive(now);
    const auto& sleepDeadline = p.sleepRecoveryGrace().deadline();
    const bool sleepGrace = sleepDeadline && (p.screensAreSleeping() || *sleepDeadline > now);
    auto& service = *powerAssertions_;
    using Assertion = PowerGraceState::Assertion;

    if (session || iosGrace || sleepGrace) {
        // Named for the strongest cause; one already held keeps the name it was taken under.
        const std::string name = session ? activeSessionAssertionName
                                 : iosGrace ? iosGraceAssertionName
                                            : sleepGraceAssertionName;
        const auto take = [&](Assertion which, const std::string& type, const std::string& what) {
            if (p.assertion(which) != 0) return;
            PowerAssertionID id = 0;
            const auto code = service.createAssertion(type, powerAssertionLevelOn, name, id);
            if (code != powerReturnSuccess) {
                publish("power: could not prevent " + what + " (" + std::to_string(code) + ")");
            } else {
                p.assertionTaken(which, id);
                publish("power: preventing " + what + " while a Viewer session is active or reconnecting");
            }
        };
        take(Assertion::idleSleep, PowerAssertionType::preventUserIdleSystemSleep, "idle system sleep");
        take(Assertion::systemSleep, PowerAssertionType::preventSystemSleep, "system sleep");
        return;
    }
    if (const auto id = p.assertionReleased(Assertion::idleSleep); id != 0) {
        service.releaseAssertion(id);
        publish("power: released active Viewer idle-sleep assertion");
    }
    if (const auto id = p.assertionReleased(Assertion::systemSleep); id != 0) {
        service.releaseAssertion(id);
        publish("power: released active Viewer system-sleep assertion");
    }
}

}  // namespace qm
