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
    const bool changed = power_.screensAreSleeping != screensSleeping;
    power_.screensAreSleeping = screensSleeping;
    audio_->noteScreensSleepingReported(changed);
    video_.zeroVideoWindows = 0;
    video_.videoZeroFrameRecoveryAttempts = 0;
    video_.nextVideoZeroFrameRecoveryNs = 0;

    if (screensSleeping) {
        cancelSleepPreflightPhysicalRecovery();
        power_.virtualDisplayWakeStabilizationDeadline.reset();
        publish("power: " + reason + "; keeping viewer sessions connected");
        switchPhysicalCaptureToHeadlessIfNeeded(reason);
        return;
    }
    if (!changed) return;

    // Viewers that lost their connection around the sleep get their full time counted from wake.
    if (power_.sleepRecoveryViewerReconnectGrace.deadline) beginSleepRecoveryViewerReconnectGrace(reason + " wake");
    constexpr double settle = PowerGraceState::wakeStabilizationSeconds;
    power_.virtualDisplayWakeStabilizationDeadline = platform_.clock->wallTime() + settle;
    char text[256];
    std::snprintf(text, sizeof text, "power: %s; waiting %.1fs for WindowServer before rebuilding active media capture",
                  reason.c_str(), settle);
    publish(text);
    if (isPaused) return;
    video_.videoStartRetryAttempts = 0;
    display_.headlessRealizeRetryAttempts = 0;
    audio_->resetStartRetryAttempts();

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // Work scheduled before a new sleep, or while paused, does nothing when it comes due.
    auto stillAwake = [](const std::shared_ptr<V230HostAudioAuxServer>& self) {
        return self && !self->power_.screensAreSleeping && !self->isPaused && !self->stopping_;
    };
    queue->asyncAfter(settle, [weak, reason, stillAwake] {
        auto self = weak.lock();
        if (!stillAwake(self)) return;
        self->power_.virtualDisplayWakeStabilizationDeadline.reset();
        self->publish("power: wake stabilization complete; rebuilding active media capture");
        if (!self->power_.sleepPreflightPhysicalCaptureRequest) {
            self->applyVideoCaptureMode(self->display_.currentVideoMode);
        } else {
            self->power_.isAwaitingSleepPreflightPhysicalRecovery = true;
            self->startSleepPreflightPhysicalRecovery(reason + " wake");
        }
        if (!self->sessions_.authorizedAudioSessions.empty()) self->audio_->restartAudioCapture(0.3);
    });
    queue->asyncAfter(settle + PowerGraceState::wakeKeyframeExtraSeconds, [weak, stillAwake] {
        auto self = weak.lock();
        if (!stillAwake(self)) return;
        if (self->video_.videoCapture) self->video_.videoCapture->requestKeyframe();
        self->broadcastHostSessionInfo();
        self->publish("power: wake media recovery requested a fresh video keyframe");
    });
}

void V230HostAudioAuxServer::preflightHeadlessCaptureBeforeSleep(const std::string& reason) {
    assertOnQueue();
    auto& d = display_;
    if (power_.screensAreSleeping || isPaused || sessions_.authorizedVideoSessions.empty() ||
        carriesIOSBuiltInDisplayFlag(d.currentCaptureRequest) ||
        (d.useHeadlessVirtualDisplay && virtualDisplay_->isActive())) {
        return;
    }
    cancelSleepPreflightPhysicalRecovery();
    power_.virtualDisplayWakeStabilizationDeadline.reset();
    power_.isPreflightingHeadlessCaptureForSleep = true;
    publish("power: " + reason + "; preflighting headless virtual capture before screens sleep");
    if (d.useHeadlessVirtualDisplay) {
        // Virtual capture was chosen but the display is not there: make it now, while it can be.
        d.currentCaptureRequest.backend = VideoCaptureBackend::headlessVirtual;
        d.currentCaptureRequest.flags &= static_cast<std::uint8_t>(~CaptureModeControlPayload::iosBuiltInDisplayFlag);
        applyVideoCaptureMode(d.currentVideoMode);
    } else {
        power_.sleepPreflightPhysicalCaptureRequest = d.currentCaptureRequest;
        power_.sleepPreflightPhysicalVideoMode = d.currentVideoMode;
        // The screens are still awake, so the virtual display is built at once.
        switchPhysicalCaptureToHeadlessIfNeeded(reason + " preflight");
    }
    power_.isPreflightingHeadlessCaptureForSleep = false;
}

void V230HostAudioAuxServer::switchPhysicalCaptureToHeadlessIfNeeded(const std::string& reason) {
    assertOnQueue();
    auto& d = display_;
    if (d.useHeadlessVirtualDisplay || carriesIOSBuiltInDisplayFlag(d.currentCaptureRequest) ||
        sessions_.authorizedVideoSessions.empty()) {
        return;
    }
    d.currentCaptureRequest.backend = VideoCaptureBackend::headlessVirtual;
    d.useHeadlessVirtualDisplay = true;
    d.displaySelectionIsManual = false;
    video_.lastVideoConfig.reset();
    d.lastDisplayLayout.reset();
    video_.videoStartRetryAttempts = 0;
    d.headlessRealizeRetryAttempts = 0;
    publish("power: " + reason + "; moving active physical capture to headless virtual display so lid-close streaming continues");
    if (power_.screensAreSleeping) {
        publish("power: headless virtual display creation deferred until screens wake");
        return;
    }
    applyVideoCaptureMode(d.currentVideoMode);
}

// ---- Return to the physical display after wake -------------------------------------------------

void V230HostAudioAuxServer::startSleepPreflightPhysicalRecovery(const std::string& reason) {
    assertOnQueue();
    auto& p = power_;
    // Awaiting a return nobody watches would keep the virtual display for good: the idle release
    // retains it while recovery is awaited. The next Viewer's video session starts recovery again.
    if (sessions_.authorizedVideoSessions.empty()) {
        cancelSleepPreflightPhysicalRecovery();
        return;
    }
    if (!p.isAwaitingSleepPreflightPhysicalRecovery || p.screensAreSleeping || !p.sleepPreflightPhysicalCaptureRequest) {
        return;
    }
    if (!p.sleepPreflightPhysicalRecoveryDeadline) {
        p.sleepPreflightPhysicalRecoveryDeadline =
            platform_.clock->wallTime() + PowerGraceState::physicalRecoveryWindowSeconds;
        p.sleepPreflightPhysicalRecoveryRetryCount = 0;
        publish("power: " + reason +
                "; waiting for the physical display to return before releasing the temporary virtual mirror");
    }
    scheduleSleepPreflightPhysicalRecovery(reason, 0);
}

void V230HostAudioAuxServer::scheduleSleepPreflightPhysicalRecovery(const std::string& reason, double after) {
    assertOnQueue();
    auto& p = power_;
    if (!p.isAwaitingSleepPreflightPhysicalRecovery || p.screensAreSleeping || !p.sleepPreflightPhysicalCaptureRequest) {
        return;
    }
    if (p.sleepPreflightPhysicalRecoveryTask) p.sleepPreflightPhysicalRecoveryTask->cancel();
    const double delay = std::isfinite(after) && after > 0 ? after : 0.0;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    p.sleepPreflightPhysicalRecoveryTask = queue->asyncAfter(delay, [weak, reason] {
        if (auto self = weak.lock()) self->attemptSleepPreflightPhysicalRecovery(reason);
    });
}

void V230HostAudioAuxServer::attemptSleepPreflightPhysicalRecovery(const std::string& reason) {
    assertOnQueue();
    auto& p = power_;
    p.sleepPreflightPhysicalRecoveryTask.reset();
    if (!p.isAwaitingSleepPreflightPhysicalRecovery || p.screensAreSleeping ||
        sessions_.authorizedVideoSessions.empty() || !p.sleepPreflightPhysicalCaptureRequest) {
        // With nobody watching there is nothing to recover for; the next Viewer starts it again.
        if (sessions_.authorizedVideoSessions.empty()) cancelSleepPreflightPhysicalRecovery();
        return;
    }
    if (restorePhysicalCaptureAfterSleepIfAvailable(reason)) return;
    if (!p.sleepPreflightPhysicalRecoveryDeadline) return;
    if (platform_.clock->wallTime() < *p.sleepPreflightPhysicalRecoveryDeadline) {
        const auto count = ++p.sleepPreflightPhysicalRecoveryRetryCount;
        if (count == 1) {
            publish("power: " + reason + "; physical display is not ready yet; preserving the temporary virtual mirror");
            restartVideoCapture(0.2);
        }
        if (count % 8 == 0) {
            publish("power: " + reason + "; still waiting for physical display after " + std::to_string(count) +
                    " checks");
            if (video_.videoCapture) video_.videoCapture->requestKeyframe();
        }
        scheduleSleepPreflightPhysicalRecovery(reason, PowerGraceState::physicalRecoveryRetrySeconds);
        return;
    }
    // The window closed. Awaiting and the saved request stay: the next display change opens a new one.
    p.sleepPreflightPhysicalRecoveryDeadline.reset();
    p.sleepPreflightPhysicalRecoveryRetryCount = 0;
    publish("power: " + reason +
            "; physical display did not return before the recovery window closed; retaining the temporary virtual "
            "mirror until the next display change");
}

bool V230HostAudioAuxServer::restorePhysicalCaptureAfterSleepIfAvailable(const std::string& reason) {
    assertOnQueue();
    auto& p = power_;
    if (p.screensAreSleeping || !p.sleepPreflightPhysicalCaptureRequest || sessions_.authorizedVideoSessions.empty()) {
        return false;
    }
    const auto physical = usablePhysicalDisplayID();
    if (physical == 0) return false;
    auto request = *p.sleepPreflightPhysicalCaptureRequest;
    const VideoCaptureMode mode = p.sleepPreflightPhysicalVideoMode.value_or(request.mode);
    cancelSleepPreflightPhysicalRecovery();
    virtualDisplay_->stop(false);
    auto& d = display_;
    d.useHeadlessVirtualDisplay = false;
    d.displaySelectionIsManual = false;
    d.selectedDisplayID = physical;
    d.physicalDisplayID = physical;
    request.backend = VideoCaptureBackend::physical;
    d.currentCaptureRequest = request;
    d.currentVideoMode = mode;
    d.currentVideoChromaMode = request.chromaMode;
    p.sleepPreflightPhysicalCaptureRequest.reset();
    p.sleepPreflightPhysicalVideoMode.reset();
    d.lastDisplayLayout.reset();
    video_.videoStartRetryAttempts = 0;
    d.headlessRealizeRetryAttempts = 0;
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
        if (!self || !self->power_.isAwaitingSleepPreflightPhysicalRecovery || self->power_.screensAreSleeping) return;
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
        auto& pending = self->power_.displayTopologyRecoveryTask;
        if (pending) pending->cancel();
        pending = self->queue->asyncAfter(delay, [weak, reason] {
            auto self = weak.lock();
            if (!self || self->stopping_) return;
            self->power_.displayTopologyRecoveryTask.reset();
            self->recoverVirtualDisplayTopology(reason);
        });
    });
}

void V230HostAudioAuxServer::recoverVirtualDisplayTopology(const std::string& /*reason*/) {
    assertOnQueue();
    if (power_.sleepPreflightPhysicalCaptureRequest) {
        auto& vd = *virtualDisplay_;
        if (vd.isActive()) {
            if (const auto geometry = vd.currentGeometry(vd.displayID)) vd.applyRealizedGeometry(*geometry);
        }
        display_.lastDisplayLayout.reset();
        publish("display topology changed during sleep preflight; preserving the temporary virtual mirror without "
                "desktop promotion");
    } else {
        display_.lastDisplayLayout.reset();
    }
    const auto layout = currentDisplayLayout();
    publish("display layout " + layout.summary());
    broadcastDisplayLayout(layout);
}

// ---- Reconnect graces --------------------------------------------------------------------------

bool V230HostAudioAuxServer::shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect() const {
    assertOnQueue();
    if (sessions_.hasAuthorizedSession()) return false;
    const auto& p = power_;
    return p.screensAreSleeping || p.isPreflightingHeadlessCaptureForSleep || p.sleepPreflightPhysicalCaptureRequest ||
           p.isAwaitingSleepPreflightPhysicalRecovery || p.virtualDisplayWakeStabilizationDeadline ||
           p.sleepPreflightPhysicalRecoveryDeadline;
}

void V230HostAudioAuxServer::beginSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    assertOnQueue();
    auto& grace = power_.sleepRecoveryViewerReconnectGrace;
    if (grace.task) grace.task->cancel();
    constexpr double seconds = PowerGraceState::reconnectGraceSeconds;
    const double deadline = platform_.clock->wallTime() + seconds;
    grace.deadline = deadline;
    scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline, seconds);
    publish("power: " + reason + "; retaining Host recovery state for 900 seconds while the Viewer reconnects");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(double deadline, double after) {
    assertOnQueue();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // The previous task is replaced, not cancelled: it finds the deadline changed, or it is the
    // task that is running now.
    power_.sleepRecoveryViewerReconnectGrace.task = queue->asyncAfter(std::max(0.0, after), [weak, deadline] {
        auto self = weak.lock();
        if (!self) return;
        auto& grace = self->power_.sleepRecoveryViewerReconnectGrace;
        if (grace.deadline != deadline) return;
        // The grace never runs out while the Host sleeps: the Viewer cannot come back before wake.
        if (self->power_.screensAreSleeping) {
            self->scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline,
                                                                       PowerGraceState::sleepingGraceRecheckSeconds);
            return;
        }
        const double now = self->platform_.clock->wallTime();
        if (now < deadline) {
            self->scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(deadline, std::max(0.0, deadline - now));
            return;
        }
        grace.deadline.reset();
        grace.task.reset();
        self->publish("power: Viewer sleep-recovery reconnect grace expired; restoring normal idle teardown");
        self->updateViewerIdleSleepAssertion();
        self->releaseHeadlessVirtualDisplayIfIdle();
    });
}

void V230HostAudioAuxServer::endSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    assertOnQueue();
    if (!power_.sleepRecoveryViewerReconnectGrace.end()) return;
    publish("power: ended Viewer sleep-recovery reconnect grace (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::beginIOSViewerBackgroundSleepGrace() {
    assertOnQueue();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    power_.iosViewerBackgroundSleepGrace.begin(*queue, *platform_.clock, PowerGraceState::reconnectGraceSeconds, weak,
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
    if (!power_.iosViewerBackgroundSleepGrace.end()) return;
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
    const auto& p = power_;
    const double now = platform_.clock->wallTime();
    return p.screensAreSleeping || p.isPreflightingHeadlessCaptureForSleep || p.virtualDisplayWakeStabilizationDeadline ||
           p.isAwaitingSleepPreflightPhysicalRecovery || p.sleepPreflightPhysicalRecoveryDeadline ||
           p.sleepRecoveryViewerReconnectGrace.isActive(now) ||
           (p.sleepPreflightPhysicalCaptureRequest && sessions_.hasAuthorizedSession());
}

void V230HostAudioAuxServer::releaseHeadlessVirtualDisplayIfIdle() {
    assertOnQueue();
    if (!sessions_.authorizedVideoSessions.empty()) return;
    if (shouldRetainHeadlessVirtualDisplayForSleepRecovery()) {
        publish("viewer video idle; retaining headless virtual display for Viewer sleep recovery");
        return;
    }
    cancelSleepPreflightPhysicalRecovery();
    power_.sleepPreflightPhysicalCaptureRequest.reset();
    power_.sleepPreflightPhysicalVideoMode.reset();
    if (!virtualDisplay_->isActive()) return;
    virtualDisplay_->stop(true);
    auto& d = display_;
    if (d.physicalDisplayID != 0) d.selectedDisplayID = d.physicalDisplayID;
    d.lastDisplayLayout.reset();
    publish("viewer video idle; released headless virtual display");
}

// ---- Power assertions --------------------------------------------------------------------------

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    assertOnQueue();
    auto& p = power_;
    const double now = platform_.clock->wallTime();
    const bool session = sessions_.hasAuthorizedSession();
    const bool iosGrace = p.iosViewerBackgroundSleepGrace.isActive(now);
    const auto& sleepDeadline = p.sleepRecoveryViewerReconnectGrace.deadline;
    const bool sleepGrace = sleepDeadline && (p.screensAreSleeping || *sleepDeadline > now);
    auto& service = *powerAssertions_;

    if (session || iosGrace || sleepGrace) {
        // Named for the strongest cause; one already held keeps the name it was taken under.
        const std::string name = session ? activeSessionAssertionName
                                 : iosGrace ? iosGraceAssertionName
                                            : sleepGraceAssertionName;
        if (p.viewerIdleSleepAssertionID == 0) {
            PowerAssertionID id = 0;
            const auto code = service.createAssertion(PowerAssertionType::preventUserIdleSystemSleep,
                                                      powerAssertionLevelOn, name, id);
            if (code != powerReturnSuccess) {
                p.viewerIdleSleepAssertionID = 0;
                publish("power: could not prevent idle system sleep (" + std::to_string(code) + ")");
            } else {
                p.viewerIdleSleepAssertionID = id;
                publish("power: preventing idle system sleep while a Viewer session is active or reconnecting");
            }
        }
        if (p.viewerSystemSleepAssertionID == 0) {
            PowerAssertionID id = 0;
            const auto code =
                service.createAssertion(PowerAssertionType::preventSystemSleep, powerAssertionLevelOn, name, id);
            if (code != powerReturnSuccess) {
                p.viewerSystemSleepAssertionID = 0;
                publish("power: could not prevent system sleep (" + std::to_string(code) + ")");
            } else {
                p.viewerSystemSleepAssertionID = id;
                publish("power: preventing system sleep while a Viewer session is active or reconnecting");
            }
        }
        return;
    }
    if (p.viewerIdleSleepAssertionID != 0) {
        service.releaseAssertion(std::exchange(p.viewerIdleSleepAssertionID, 0));
        publish("power: released active Viewer idle-sleep assertion");
    }
    if (p.viewerSystemSleepAssertionID != 0) {
        service.releaseAssertion(std::exchange(p.viewerSystemSleepAssertionID, 0));
        publish("power: released active Viewer system-sleep assertion");
    }
}

}  // namespace qm
