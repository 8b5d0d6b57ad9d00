#include "HostApp/Audio/HostAudioServerState.h"

#include <fmt/format.h>

#include <utility>

#include "QuillmereProfiles/AuxProtocol.h"

namespace qm {

DisplayID audioDisplayID(bool useHeadlessVirtualDisplay, DisplayID physicalDisplayID, DisplayID selectedDisplayID) {
    if (useHeadlessVirtualDisplay) return 0;
    return physicalDisplayID != 0 ? physicalDisplayID : selectedDisplayID;
}

namespace {
std::shared_ptr<HostOutputMuteController::OutputHold> sharedHold() {
    return std::make_shared<HostOutputMuteController::OutputHold>();
}
}  // namespace

std::shared_ptr<HostAudioServerState> HostAudioServerState::create(HostAudioEnvironment environment) {
    return std::shared_ptr<HostAudioServerState>(new HostAudioServerState(std::move(environment)));
}

HostAudioServerState::HostAudioServerState(HostAudioEnvironment environment)
    : env_(std::move(environment)),
      hostOutputMuteController(env_.outputDevices, nullptr),
      viewerHostOutputMuteController(env_.outputDevices, nullptr),
      opusEncoder(std::make_shared<HostOpusEncoder>()) {
    // Both controllers silence the same device, so they share one hold of its saved state.
    auto hold = sharedHold();
    hostOutputMuteController = HostOutputMuteController(env_.outputDevices, hold);
    viewerHostOutputMuteController = HostOutputMuteController(env_.outputDevices, hold);
}

void HostAudioServerState::publish(const std::string& text) const {
    if (env_.publish) env_.publish(text);
}

void HostAudioServerState::sendStatus(const std::string& text, const ConnectionPtr& connection) const {
    if (env_.sendHostStatus && connection) env_.sendHostStatus(text, connection);
}

bool HostAudioServerState::hasAuthorizedAudioSessions() const {
    return env_.authorizedAudioSessions && !env_.authorizedAudioSessions().empty();
}

bool HostAudioServerState::isAuthorized(const UUID& id) const {
    if (!env_.authorizedAudioSessions) return false;
    for (const auto& session : env_.authorizedAudioSessions()) {
        if (session == id) return true;
    }
    return false;
}

std::string HostAudioServerState::nameOf(const UUID& id) const {
    if (env_.viewerName) {
        if (auto name = env_.viewerName(id)) return *name;
    }
    return "Viewer";
}

// ---- Capture control ----------------------------------------------------------------------

void HostAudioServerState::startAudioCapture() {
    if (audioCapture) return;
    if (!hasAuthorizedAudioSessions()) return;
    if (env_.screenCaptureAccess && !env_.screenCaptureAccess->preflight()) {
        publish("requesting Screen/System Audio Recording permission");
        env_.screenCaptureAccess->request();
        publish("screen/system audio permission pending, will retry in 1s");
        std::weak_ptr<HostAudioServerState> weak = weak_from_this();
        env_.serverQueue->asyncAfter(1.0, [weak] {
            if (auto self = weak.lock()) self->startAudioCapture();
        });
        return;
    }
    if (!env_.audioCapture) return;
    const auto display = env_.audioDisplay ? env_.audioDisplay() : HostAudioEnvironment::AudioDisplay{};
    const DisplayID d = display.audioDisplayID;
    const std::uint64_t g = ++audioCaptureGeneration;
    publish("audio capture selecting display " + std::to_string(d) + " while video display is " +
            std::to_string(display.selectedDisplayID));

    std::weak_ptr<HostAudioServerState> weak = weak_from_this();
    HostAudioCapture::Callbacks callbacks;
    callbacks.onStarted = [weak, g] {
        auto self = weak.lock();
        if (!self) return;
        self->env_.serverQueue->async([weak, g] {
            if (auto self = weak.lock()) self->audioCaptureStartConfirmed(g);
        });
    };
    callbacks.onSampleBuffer = [weak] {
        if (auto self = weak.lock()) self->audioCaptureCallbacks.add(1);
    };
    callbacks.onFrame = [weak](const Bytes& pcm, std::uint64_t timestampNs) {
        if (auto self = weak.lock()) self->broadcastAudioFrame(pcm, timestampNs);
    };
    callbacks.onError = [weak, g](const std::string& message) {
        if (auto self = weak.lock()) self->handleAudioCaptureStartupMessage(message, g);
    };
    audioCapture = HostAudioCapture::make(env_.audioCapture, d, d != 0, env_.makeQueue("v230.host.audio.capture"),
                                          env_.makeQueue("v230.host.audio.lifecycle"), std::move(callbacks));
    activeAudioCaptureDisplayID = d;
    audioCaptureWatchdogStartedAt = env_.clock->wallTime();
    audioCapture->start();
}

void HostAudioServerState::audioCaptureStartConfirmed(std::uint64_t generation) {
    if (audioCaptureGeneration != generation) return;
    audioStartRetryAttempts = 0;
    audioCaptureWatchdogStartedAt = env_.clock->wallTime();
    opusEncoder->reset();
    publish("audio capture started");
}

void HostAudioServerState::stopAudioCapture(bool wait, bool resetRetryAttempts) {
    ++audioCaptureGeneration;
    if (audioCapture) audioCapture->stop(wait);
    audioCapture.reset();
    activeAudioCaptureDisplayID = 0;
    audioCaptureWatchdogStartedAt.reset();
    zeroAudioWindows = 0;
    if (resetRetryAttempts) audioStartRetryAttempts = 0;
}

void HostAudioServerState::restartAudioCapture(double after) {
    stopAudioCapture(true, true);
    if (!(after > 0)) {
        startAudioCapture();
        return;
    }
    const std::uint64_t g = audioCaptureGeneration;
    std::weak_ptr<HostAudioServerState> weak = weak_from_this();
    env_.serverQueue->asyncAfter(after, [weak, g] {
        auto self = weak.lock();
        if (self && self->audioCaptureGeneration == g) self->startAudioCapture();
    });
}

void HostAudioServerState::handleAudioCaptureStartupMessage(const std::string& message, std::uint64_t generation) {
    std::weak_ptr<HostAudioServerState> weak = weak_from_this();
    env_.serverQueue->async([weak, message, generation] {
        auto self = weak.lock();
        if (!self || self->audioCaptureGeneration != generation) return;
        if (message.find("using ScreenCaptureKit display") != std::string::npos) {
            self->publish("audio capture notice: " + message);
            return;
        }
        self->publish("audio capture error: " + message);
        self->stopAudioCapture(false, false);
        if (!self->hasAuthorizedAudioSessions() || (self->env_.isPaused && self->env_.isPaused())) return;
        if (self->audioStartRetryAttempts < maxStartRetries) {
            const std::int64_t n = ++self->audioStartRetryAttempts;
            const double delay = static_cast<double>(n) * 0.5;
            self->publish(fmt::format("audio capture retry {}/{} in {:.1f}s", n, maxStartRetries, delay));
            const std::uint64_t g = self->audioCaptureGeneration;
            self->env_.serverQueue->asyncAfter(delay, [weak, g] {
                auto self = weak.lock();
                if (!self || self->audioCaptureGeneration != g || self->audioCapture ||
                    !self->hasAuthorizedAudioSessions() || (self->env_.isPaused && self->env_.isPaused())) {
                    return;
                }
                self->startAudioCapture();
            });
        } else {
            self->publish("audio capture retry exhausted after " + std::to_string(maxStartRetries) + " attempts");
        }
    });
}

// ---- Fan-out --------------------------------------------------------------------------------

void HostAudioServerState::broadcastAudioFrame(std::span<const std::uint8_t> pcm, std::uint64_t timestampNs) {
    audioCapturePayloads.add(1);
    const auto connections = audioSendConnectionsSnapshot();
    // Nobody listens: nothing is encoded.
    if (connections.empty()) return;
    const auto packets = opusEncoder->encodeFrames(pcm, timestampNs);
    if (packets.empty()) return;
    std::int64_t bytes = 0;
    for (const auto& packet : packets) {
        // Built once; every connection sends the same immutable buffer.
        auto wire = std::make_shared<const Bytes>(makeAuxPacket(AuxPacketType::audioFrame, 1, packet.payload, packet.timestampNs));
        for (const auto& connection : connections) connection->send(SharedBytes(wire));
        bytes += static_cast<std::int64_t>(packet.payload.size());
    }
    const auto count = static_cast<std::int64_t>(packets.size());
    std::weak_ptr<HostAudioServerState> weak = weak_from_this();
    env_.serverQueue->async([weak, count, bytes] {
        if (auto self = weak.lock()) {
            self->framesSent += count;
            self->bytesSent += bytes;
        }
    });
}

void HostAudioServerState::updateAudioSendConnections() {
    std::vector<ConnectionPtr> list;
    const auto authorized = env_.authorizedAudioSessions ? env_.authorizedAudioSessions() : std::vector<UUID>{};
    auto connectionOf = [&](const UUID& id) { return env_.audioConnection ? env_.audioConnection(id) : nullptr; };
    if (exclusiveAudioSessionID && isAuthorized(*exclusiveAudioSessionID)) {
        if (auto connection = connectionOf(*exclusiveAudioSessionID)) list.push_back(connection);
    }
    if (list.empty()) {
        for (const auto& id : authorized) {
            if (auto connection = connectionOf(id)) list.push_back(connection);
        }
    }
    std::lock_guard lock(audioSendLock);
    audioSendConnections = std::move(list);
}

std::vector<ConnectionPtr> HostAudioServerState::audioSendConnectionsSnapshot() const {
    std::lock_guard lock(audioSendLock);
    return audioSendConnections;
}

// ---- Session server duties ----------------------------------------------------------------

void HostAudioServerState::forget(const UUID& id, bool isControlChannel) {
    if (exclusiveAudioSessionID == id) {
        releaseExclusiveAudioListening("Viewer disconnected");
    } else {
        updateAudioSendConnections();
    }
    if (viewerHostOutputMuteSessionID == id) {
        viewerHostOutputMuteSessionID.reset();
        if (auto text = viewerHostOutputMuteController.restoreAfterExclusiveListening(); text && !text->empty()) {
            publish("audio: viewer Host-output mute released on disconnect; " + *text);
        }
    }
    if (isControlChannel && !hasAuthorizedAudioSessions()) {
        stopAudioCapture(false, true);
        audioZeroFrameRecoveryAttempts = 0;
        audioZeroFrameRecoveryExhausted = false;
    }
}

void HostAudioServerState::stopForTermination() {
    releaseExclusiveAudioListening("Host service stopped");
    viewerHostOutputMuteSessionID.reset();
    if (auto text = viewerHostOutputMuteController.restoreAfterExclusiveListening(); text && !text->empty()) {
        publish("audio: viewer Host-output mute released on stop; " + *text);
    }
    stopAudioCapture(false, true);
}

void HostAudioServerState::noteScreensSleepingReported(bool changed) {
    zeroAudioWindows = 0;
    if (!changed) return;
    audioZeroFrameRecoveryAttempts = 0;
    audioZeroFrameRecoveryExhausted = false;
    if (audioCapture) audioCaptureWatchdogStartedAt = env_.clock->wallTime();
}

HostAudioServerState::Statistics HostAudioServerState::statisticsTick(bool screensAreSleeping) {
    Statistics stats;
    stats.framesSent = std::exchange(framesSent, 0);
    stats.bytesSent = std::exchange(bytesSent, 0);
    stats.captureCallbacks = audioCaptureCallbacks.exchange(0);
    stats.capturePayloads = audioCapturePayloads.exchange(0);

    if (!audioCapture || !hasAuthorizedAudioSessions() || screensAreSleeping) {
        zeroAudioWindows = 0;
        audioZeroFrameRecoveryAttempts = 0;
        audioZeroFrameRecoveryExhausted = false;
        return stats;
    }
    const double now = env_.clock->wallTime();
    if (!audioCaptureWatchdogStartedAt || now - *audioCaptureWatchdogStartedAt < watchdogWarmUpSeconds) {
        zeroAudioWindows = 0;
        return stats;
    }
    if (stats.captureCallbacks > 0) {
        zeroAudioWindows = 0;
        audioZeroFrameRecoveryAttempts = 0;
        audioZeroFrameRecoveryExhausted = false;
        return stats;
    }
    if (++zeroAudioWindows < silentTicksBeforeRecovery) return stats;
    zeroAudioWindows = 0;
    const auto display = env_.audioDisplay ? env_.audioDisplay() : HostAudioEnvironment::AudioDisplay{};
    const std::string prefix =
        "audio: no valid ScreenCaptureKit samples for 3s on display=" + std::to_string(display.audioDisplayID);
    if (audioZeroFrameRecoveryAttempts < maxZeroFrameRecoveryAttempts) {
        const auto n = ++audioZeroFrameRecoveryAttempts;
        publish(prefix + "; rebuilding capture attempt " + std::to_string(n) + "/3");
        restartAudioCapture(0.2);
        stats.action = WatchdogAction::recoveryStarted;
    } else if (!audioZeroFrameRecoveryExhausted) {
        audioZeroFrameRecoveryExhausted = true;
        publish(prefix + "; recovery exhausted");
        stats.action = WatchdogAction::recoveryExhausted;
    }
    return stats;
}

}  // namespace qm
