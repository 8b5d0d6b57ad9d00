// Audio, power, input and display hooks that session changes drive. Each does what the pipelines
// of this Host offer so far; the session server calls them at the documented points.
#include <algorithm>

#include "HostApp/Server/ServerSession.h"
#include "Platform/Displays.h"

namespace qm {

// ---- Audio -------------------------------------------------------------------------------------

void V230HostAudioAuxServer::updateAudioSendConnections() {
    std::vector<ConnectionPtr> connections;
    if (exclusiveAudioSessionID && authorizedAudioSessions.contains(*exclusiveAudioSessionID)) {
        if (auto it = audioSessions.find(*exclusiveAudioSessionID); it != audioSessions.end()) {
            connections.push_back(it->second);
        }
    } else {
        for (const auto& id : authorizedAudioSessions) {
            if (auto it = audioSessions.find(id); it != audioSessions.end()) connections.push_back(it->second);
        }
    }
    std::lock_guard lock(audioSendLock);
    audioSendConnections = std::move(connections);
}

void V230HostAudioAuxServer::releaseExclusiveAudioListening(const std::string& reason) {
    if (exclusiveAudioSessionID) {
        exclusiveAudioSessionID.reset();
        publish("audio: exclusive listening released (" + reason + ")");
    }
    updateAudioSendConnections();
}

void V230HostAudioAuxServer::stopAudioCapture(bool /*wait*/, bool /*resetRetryAttempts*/) {
    // No audio capture runs on this Host yet; moving the generation on still voids any late
    // start that was scheduled for an earlier capture.
    ++audioCaptureGeneration;
}

void V230HostAudioAuxServer::applyAudioControl(const AudioControlPayload& /*control*/, const UUID& sourceID,
                                               const ConnectionPtr& connection) {
    const std::string text = "audio: audio streaming is not available on this Host";
    publish(text + " (session " + shortID(sourceID) + ")");
    sendHostStatus(text, connection);
}

// ---- Reconnect graces and power ----------------------------------------------------------------

bool V230HostAudioAuxServer::shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect() const {
    // Only a Host that is going to sleep or recovering from it keeps state for returning Viewers.
    return screensAreSleeping && authorizedAudioSessions.empty() && authorizedVideoSessions.empty();
}

void V230HostAudioAuxServer::beginSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    constexpr double grace = 900;
    if (sleepRecoveryViewerReconnectGraceTask) sleepRecoveryViewerReconnectGraceTask->cancel();
    const double deadline = platform_.clock->wallTime() + grace;
    sleepRecoveryViewerReconnectGraceDeadline = deadline;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    sleepRecoveryViewerReconnectGraceTask = queue->asyncAfter(grace, [weak, deadline] {
        auto self = weak.lock();
        if (!self || self->sleepRecoveryViewerReconnectGraceDeadline != deadline) return;
        self->sleepRecoveryViewerReconnectGraceDeadline.reset();
        self->sleepRecoveryViewerReconnectGraceTask.reset();
        self->updateViewerIdleSleepAssertion();
    });
    publish("power: " + reason + "; retaining Host recovery state for 900 seconds while the Viewer reconnects");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::endSleepRecoveryViewerReconnectGrace(const std::string& reason) {
    if (!sleepRecoveryViewerReconnectGraceDeadline) return;
    if (sleepRecoveryViewerReconnectGraceTask) sleepRecoveryViewerReconnectGraceTask->cancel();
    sleepRecoveryViewerReconnectGraceTask.reset();
    sleepRecoveryViewerReconnectGraceDeadline.reset();
    publish("power: sleep-recovery reconnect grace ended (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::beginIOSViewerBackgroundSleepGrace() {
    constexpr double grace = 900;
    if (iosViewerBackgroundSleepGraceTask) iosViewerBackgroundSleepGraceTask->cancel();
    const double deadline = platform_.clock->wallTime() + grace;
    iosViewerBackgroundSleepGraceDeadline = deadline;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    iosViewerBackgroundSleepGraceTask = queue->asyncAfter(grace, [weak, deadline] {
        auto self = weak.lock();
        if (!self || self->iosViewerBackgroundSleepGraceDeadline != deadline) return;
        self->iosViewerBackgroundSleepGraceDeadline.reset();
        self->iosViewerBackgroundSleepGraceTask.reset();
        self->updateViewerIdleSleepAssertion();
    });
    updateViewerIdleSleepAssertion();
}

void V230HostAudioAuxServer::endIOSViewerBackgroundSleepGrace(const std::string& reason) {
    if (!iosViewerBackgroundSleepGraceDeadline) return;
    if (iosViewerBackgroundSleepGraceTask) iosViewerBackgroundSleepGraceTask->cancel();
    iosViewerBackgroundSleepGraceTask.reset();
    iosViewerBackgroundSleepGraceDeadline.reset();
    publish("power: iOS Viewer background grace ended (" + reason + ")");
    updateViewerIdleSleepAssertion();
}

bool V230HostAudioAuxServer::isIOSViewerSession(const UUID& id) const {
    auto name = viewerSessionNames.find(id);
    return name != viewerSessionNames.end() && equalsIgnoringCase(name->second, "iOS Viewer");
}

void V230HostAudioAuxServer::updateViewerIdleSleepAssertion() {
    // This Host has no power service yet: the need is worked out and kept, so that the session
    // tables and graces already drive it the way the power assertions will follow.
    const double now = platform_.clock->wallTime();
    const bool session = !authorizedAudioSessions.empty() || !authorizedVideoSessions.empty();
    const bool iosGrace = iosViewerBackgroundSleepGraceDeadline && *iosViewerBackgroundSleepGraceDeadline > now;
    const bool sleepGrace = sleepRecoveryViewerReconnectGraceDeadline &&
                            (screensAreSleeping || *sleepRecoveryViewerReconnectGraceDeadline > now);
    viewerSessionAssertionHeld = session || iosGrace || sleepGrace;
}

// ---- Input and displays ------------------------------------------------------------------------

void V230HostAudioAuxServer::releasePointerButtons(std::uint8_t /*mask*/) {
    // Event injection is not part of this Host yet, so no button is held down on the Viewer's behalf.
}

void V230HostAudioAuxServer::releaseHeadlessVirtualDisplayIfIdle() {
    // This Host creates no virtual display yet; there is nothing to release.
}

void V230HostAudioAuxServer::applyHostDisplayMode(std::uint8_t mode) {
    publish("display: host display mode request " + std::to_string(mode) + " is not supported on this Host");
    broadcastHostError("display: host display mode requests are not supported on this Host");
}

void V230HostAudioAuxServer::applyHostPhysicalDisplayAction(std::uint8_t action) {
    if (!platform_.displays) return;
    const auto ids = platform_.displays->activeDisplayIDs();
    if (ids.empty()) return;
    DisplayID target = platform_.displays->mainDisplayID();
    if (action == 2) {
        auto it = std::find(ids.begin(), ids.end(), physicalDisplayID);
        target = (it == ids.end() || std::next(it) == ids.end()) ? ids.front() : *std::next(it);
    }
    if (target == 0) return;
    physicalDisplayID = target;
    selectedDisplayID = target;
    displaySelectionIsManual = true;
    publish("display: capture moved to display " + std::to_string(target));
    lastDisplayLayout.reset();
    broadcastDisplayLayout(currentDisplayLayout());
    restartVideoCapture(0);
}

DisplayLayoutPayload V230HostAudioAuxServer::currentDisplayLayout() {
    std::optional<DisplayLayoutPayload> layout;
    if (platform_.displays) {
        if (auto display = platform_.displays->display(selectedDisplayID); display && !display->bounds.isEmpty()) {
            const Rect bounds = display->bounds;
            Rect unionRect = bounds;
            int kept = 0;
            for (const auto& other : platform_.displays->onlineDisplays()) {
                if (!other.isActive || other.bounds.isEmpty()) continue;
                unionRect = unionRect.unionWith(other.bounds);
                ++kept;
            }
            DisplayLayoutPayload l;
            l.displayID = selectedDisplayID;
            if (display->currentMode) {
                l.targetWidth = std::max<std::int64_t>(1, display->currentMode->width);
                l.targetHeight = std::max<std::int64_t>(1, display->currentMode->height);
                l.pixelWidth = display->currentMode->effectivePixelWidth();
                l.pixelHeight = display->currentMode->effectivePixelHeight();
            } else {
                l.targetWidth = std::max<std::int64_t>(1, roundedInt(bounds.width()));
                l.targetHeight = std::max<std::int64_t>(1, roundedInt(bounds.height()));
                l.pixelWidth = roundedInt(bounds.width());
                l.pixelHeight = roundedInt(bounds.height());
            }
            l.unionWidth = kept < 2 ? l.targetWidth : roundedInt(unionRect.width());
            l.unionHeight = kept < 2 ? l.targetHeight : roundedInt(unionRect.height());
            l.targetX = roundedInt(bounds.minX());
            l.targetY = roundedInt(bounds.minY());
            l.unionX = roundedInt(unionRect.minX());
            l.unionY = roundedInt(unionRect.minY());
            l.flags = static_cast<double>(l.pixelWidth) / static_cast<double>(l.targetWidth) > 1.25
                          ? DisplayLayoutPayload::hiDPIFlag
                          : 0;
            layout = l;
        }
    }
    if (!layout) {
        // A display that went away: describe the mode's catalogue size so Viewers keep a sane frame.
        const auto& profile = DisplayProfileCatalog::profile(currentVideoMode);
        DisplayLayoutPayload l;
        l.displayID = selectedDisplayID;
        l.targetWidth = l.unionWidth = l.pixelWidth = profile.resolution.logicalWidth;
        l.targetHeight = l.unionHeight = l.pixelHeight = profile.resolution.logicalHeight;
        layout = l;
    }
    lastDisplayLayout = layout;
    return *layout;
}

}  // namespace qm
