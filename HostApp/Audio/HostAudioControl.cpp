// Exclusive listening and the Viewer's Host-output mute request.
#include "HostApp/Audio/HostAudioServerState.h"

namespace qm {

void HostAudioServerState::applyAudioControl(const AudioControlPayload& control, const UUID& sourceID,
                                             const ConnectionPtr& connection) {
    if (!isAuthorized(sourceID)) {
        sendStatus("audio: session authorization is required", connection);
        return;
    }
    const std::string name = nameOf(sourceID);
    const bool isHolder = viewerHostOutputMuteSessionID == sourceID;

    std::optional<std::string> reply;
    if (control.wantsHostOutputMute && !isHolder) {
        const std::string t = viewerHostOutputMuteController.muteForExclusiveListening();
        if (viewerHostOutputMuteController.lastOperationSucceeded()) {
            viewerHostOutputMuteSessionID = sourceID;
            reply = "audio: Host output muted for " + name + "; " + t;
        } else {
            reply = "audio: Host output mute failed for " + name + "; " + t;
        }
    } else if (!control.wantsHostOutputMute && isHolder) {
        const std::string t =
            viewerHostOutputMuteController.restoreAfterExclusiveListening().value_or("Host output restored");
        if (viewerHostOutputMuteController.lastOperationSucceeded()) {
            viewerHostOutputMuteSessionID.reset();
            reply = "audio: Host output restored for " + name + "; " + t;
        } else {
            reply = "audio: Host output restore failed for " + name + "; " + t;
        }
    }
    if (reply) {
        sendStatus(*reply, connection);
        publish(*reply);
    }

    if (control.wantsExclusiveListening) {
        const auto previous = exclusiveAudioSessionID;
        exclusiveAudioSessionID = sourceID;
        updateAudioSendConnections();
        const std::string t = hostOutputMuteController.muteForExclusiveListening();
        if (previous && *previous != sourceID) {
            if (auto displaced = env_.audioConnection ? env_.audioConnection(*previous) : nullptr) {
                sendStatus("audio: listening here only disabled because another Viewer became exclusive", displaced);
            }
        }
        sendStatus("audio: listening here only enabled; " + t, connection);
        publish(std::string("exclusive audio ") + (previous == sourceID ? "refreshed" : "enabled") + " for " + name +
                "; " + t);
        return;
    }
    if (exclusiveAudioSessionID == sourceID) {
        releaseExclusiveAudioListening("Viewer disabled listening here only");
        sendStatus("audio: listening here only disabled", connection);
        return;
    }
    // A handled request is where a Viewer joins the send list (signing in alone does not add it).
    updateAudioSendConnections();
    if (!reply) {
        sendStatus("audio: listening here only is not active for this Viewer", connection);
    }
}

void HostAudioServerState::releaseExclusiveAudioListening(const std::string& reason) {
    if (!exclusiveAudioSessionID) return;
    exclusiveAudioSessionID.reset();
    updateAudioSendConnections();
    const auto t = hostOutputMuteController.restoreAfterExclusiveListening();
    publish("exclusive audio released: " + reason + (t ? "; " + *t : std::string()));
}

}  // namespace qm
