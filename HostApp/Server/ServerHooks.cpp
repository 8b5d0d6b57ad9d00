// Audio and display hooks that session changes drive. Each does what the pipelines
// of this Host offer so far; the session server calls them at the documented points.
#include <algorithm>

#include "HostApp/Server/ServerSupport.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Displays.h"

namespace qm {

// ---- Audio -------------------------------------------------------------------------------------

void V230HostAudioAuxServer::updateAudioSendConnections() {
    assertOnQueue();
    audio_->updateAudioSendConnections();
}

void V230HostAudioAuxServer::releaseExclusiveAudioListening(const std::string& reason) {
    assertOnQueue();
    audio_->releaseExclusiveAudioListening(reason);
}

void V230HostAudioAuxServer::stopAudioCapture(bool wait, bool resetRetryAttempts) {
    assertOnQueue();
    audio_->stopAudioCapture(wait, resetRetryAttempts);
}

void V230HostAudioAuxServer::applyAudioControl(const AudioControlPayload& control, const UUID& sourceID,
                                               const ConnectionPtr& connection) {
    assertOnQueue();
    audio_->applyAudioControl(control, sourceID, connection);
}

// ---- Displays ----------------------------------------------------------------------------------

DisplayLayoutPayload V230HostAudioAuxServer::currentDisplayLayout() {
    if (!queue->isCurrent()) return snapshot()->displayLayout.value_or(DisplayLayoutPayload{});
    struct PublishOnReturn {
        V230HostAudioAuxServer* server;
        ~PublishOnReturn() { server->publishSnapshot(); }
    } publishOnReturn{this};
    if (modeSwitcher_) return display_.currentDisplayLayout(*modeSwitcher_, *virtualDisplay_);
    // Without a display service there is nothing to describe but the mode's catalogue size.
    const auto& profile = DisplayProfileCatalog::profile(display_.currentVideoMode());
    DisplayLayoutPayload layout;
    layout.displayID = display_.selectedDisplayID();
    layout.targetWidth = layout.unionWidth = layout.pixelWidth = profile.resolution.logicalWidth;
    layout.targetHeight = layout.unionHeight = layout.pixelHeight = profile.resolution.logicalHeight;
    display_.layoutDescribed(layout);
    return layout;
}

}  // namespace qm
