// Audio, power, input and display hooks that session changes drive. Each does what the pipelines
// of this Host offer so far; the session server calls them at the documented points.
#include <algorithm>

#include "HostApp/Server/ServerSupport.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Displays.h"

namespace qm {

// ---- Audio -------------------------------------------------------------------------------------

void V230HostAudioAuxServer::updateAudioSendConnections() {
    audio_->updateAudioSendConnections();
}

void V230HostAudioAuxServer::releaseExclusiveAudioListening(const std::string& reason) {
    audio_->releaseExclusiveAudioListening(reason);
}

void V230HostAudioAuxServer::stopAudioCapture(bool wait, bool resetRetryAttempts) {
    audio_->stopAudioCapture(wait, resetRetryAttempts);
}

void V230HostAudioAuxServer::applyAudioControl(const AudioControlPayload& control, const UUID& sourceID,
                                               const ConnectionPtr& connection) {
    audio_->applyAudioControl(control, sourceID, connection);
}

// ---- Reconnect graces and power ----------------------------------------------------------------

bool V230HostAudioAuxServer::shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect() const {
    // Only a Host that is going to sleep or recovering from it keeps state for returning Viewers.
    return power_.screensAreSleeping && !sessions_.hasAuthorizedSession();
}

namespace {
constexpr double reconnectGraceSeconds = 900;
}

void V230HostAudioAuxServer::beginSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    power_.sleepRecoveryViewerReconnectGrace.begin(*queue, *platform_.clock, reconnectGraceSeconds, weak, [weak] {
        if (auto self = weak.lock()) self->updateViewerIdleSleepAssertion();
    });
    publish("power: " + reason + "; retaining Host recovery state for 900 seconds while the Viewer reconnects");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::endSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    if (!power_.sleepRecoveryViewerReconnectGrace.end()) return;
    publish("power: sleep-recovery reconnect grace ended (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::beginIOSViewerBackgroundSleepGrace() {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    power_.iosViewerBackgroundSleepGrace.begin(*queue, *platform_.clock, reconnectGraceSeconds, weak, [weak] {
        if (auto self = weak.lock()) self->updateViewerIdleSleepAssertion();
    });
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::endIOSViewerBackgroundSleepGrace(const std::string& reason) {
    if (!power_.iosViewerBackgroundSleepGrace.end()) return;
    publish("power: iOS Viewer background grace ended (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

bool V230HostAudioAuxServer::isIOSViewerSession(const UUID& id) const {
    const auto name = sessions_.viewerName(id);
    return name && equalsIgnoringCase(*name, "iOS Viewer");
}

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    // This Host has no power service yet: the need is worked out and kept, so that the session
    // tables and graces already drive it the way the power assertions will follow.
    const double now = platform_.clock->wallTime();
    const auto& sleepGrace = power_.sleepRecoveryViewerReconnectGrace;
    power_.viewerSessionAssertionHeld = sessions_.hasAuthorizedSession() ||
                                        power_.iosViewerBackgroundSleepGrace.isActive(now) ||
                                        (sleepGrace.isRunning() && (power_.screensAreSleeping || sleepGrace.isActive(now)));
}

// ---- Input and displays ------------------------------------------------------------------------

void V230HostAudioAuxServer::releaseHeadlessVirtualDisplayIfIdle() {
    // With no Viewer left the virtual display only costs; it stays while sleep recovery may still
    // bring a Viewer back to it.
    if (!sessions_.authorizedVideoSessions.empty() || !virtualDisplay_->isActive()) return;
    if (power_.screensAreSleeping || power_.sleepRecoveryViewerReconnectGrace.isRunning()) return;
    publish("headless virtual display released; no Viewer left");
    virtualDisplay_->stop(false);
}

DisplayLayoutPayload V230HostAudioAuxServer::currentDisplayLayout() {
    if (modeSwitcher_) return display_.currentDisplayLayout(*modeSwitcher_, *virtualDisplay_);
    // Without a display service there is nothing to describe but the mode's catalogue size.
    const auto& profile = DisplayProfileCatalog::profile(display_.currentVideoMode);
    DisplayLayoutPayload layout;
    layout.displayID = display_.selectedDisplayID;
    layout.targetWidth = layout.unionWidth = layout.pixelWidth = profile.resolution.logicalWidth;
    layout.targetHeight = layout.unionHeight = layout.pixelHeight = profile.resolution.logicalHeight;
    display_.lastDisplayLayout = layout;
    return layout;
}

}  // namespace qm
