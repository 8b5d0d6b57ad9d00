// The server's video road: starting and restarting capture, the configuration and frame fan-out
// to the video sessions, acknowledgements and the flow gate, statistics and zero-frame recovery.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "HostApp/Server/ServerSession.h"
#include "HostApp/Server/VideoFlowGate.h"
#include "HostApp/Video/HostVideoCapture.h"
#include "Platform/Displays.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

namespace {
constexpr double initialCaptureStartDelay = 0.45;
constexpr double keyframeRetryDelay = 0.5;
constexpr int maxVideoStartRetries = 3;
constexpr int zeroFrameWindowsBeforeRecovery = 3;
constexpr int maxZeroFrameRecoveryAttempts = 3;
// A Viewer that has frames outstanding and has not acknowledged anything for this long is gone.
constexpr std::uint64_t deadViewerAfterNs = 10'000'000'000ULL;

const std::string& modeTitle(VideoCaptureMode mode) {
    return DisplayProfileCatalog::profile(mode).title;
}

// The window W of the flow gate: about a tenth of a second of frames, at least 3 and at most 8,
// so a LAN round trip never closes it while a stalled Viewer closes it within a few frames.
std::int64_t congestionWindowFor(std::int64_t fps) {
    return std::clamp<std::int64_t>(fps / 10, 3, 8);
}
}  // namespace

// ---- Requests and starts -----------------------------------------------------------------------

void V230HostAudioAuxServer::applyVideoCaptureRequest(const CaptureModeControlPayload& request, const UUID& sourceID) {
    videoCaptureModeWasRequested = true;
    if (initialVideoCaptureStartTask) initialVideoCaptureStartTask->cancel();
    initialVideoCaptureStartTask.reset();
    publish("video request from session " + shortID(sourceID) + ": " + request.summary());
    if (auxVideoCaptureSuspendedForZeroFrames) resumeAuxVideoCaptureAfterZeroFrameSuspension("video mode request");

    const CaptureModeControlPayload previous = currentCaptureRequest;
    currentCaptureRequest = request;
    currentVideoChromaMode = request.chromaMode;
    if (videoCapture && previous == request) {
        resendCurrentVideoConfigIfAvailable("viewer repeated capture request");
        return;
    }
    CaptureModeControlPayload onlyRateChanged = previous;
    onlyRateChanged.fps = request.fps;
    onlyRateChanged.bitrate = request.bitrate;
    if (videoCapture && onlyRateChanged == request && request.fps > 0 && request.bitrate > 0) {
        videoCapture->updateRateControl(request.fps, request.bitrate);
        publish("video: rate changed to " + std::to_string(request.fps) + " fps " + std::to_string(request.bitrate) +
                " bps");
        return;
    }
    applyVideoCaptureMode(request.mode);
}

void V230HostAudioAuxServer::applyVideoCaptureMode(VideoCaptureMode mode) {
    // Capture follows the physical display at its own mode; display-mode switching and the
    // virtual display are not part of this Host yet.
    currentVideoMode = mode;
    useHeadlessVirtualDisplay = false;
    if (platform_.displays && !platform_.displays->display(physicalDisplayID)) {
        physicalDisplayID = platform_.displays->mainDisplayID();
    }
    if (physicalDisplayID != 0) selectedDisplayID = physicalDisplayID;
    lastDisplayLayout.reset();
    const auto layout = currentDisplayLayout();
    publish("display layout " + layout.summary());
    broadcastDisplayLayout(layout);
    restartVideoCapture(0);
}

void V230HostAudioAuxServer::scheduleInitialVideoCaptureStart() {
    if (initialVideoCaptureStartTask || videoCapture) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    initialVideoCaptureStartTask = queue->asyncAfter(initialCaptureStartDelay, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->initialVideoCaptureStartTask.reset();
        if (self->videoCaptureModeWasRequested || self->videoCapture || self->authorizedVideoSessions.empty()) return;
        self->publish("video: no capture request; starting the default " + modeTitle(self->currentCaptureRequest.mode) +
                      " mode");
        self->applyVideoCaptureMode(self->currentCaptureRequest.mode);
    });
}

void V230HostAudioAuxServer::videoSessionAuthorized(const UUID& id) {
    videoSessionOutstandingAcks[id] = 0;
    videoSessionSentFrames[id].clear();
    if (videoCapture) {
        if (lastVideoConfig) {
            if (auto it = videoSessions.find(id); it != videoSessions.end()) {
                sendPacket(it->second, AuxPacketType::videoConfig, lastVideoConfig->encode());
            }
        }
        // The new Viewer can only start decoding at a keyframe.
        requestVideoKeyframeWithDelayedRetry();
    } else if (videoCaptureModeWasRequested) {
        applyVideoCaptureMode(currentCaptureRequest.mode);
    } else {
        scheduleInitialVideoCaptureStart();
    }
}

std::int64_t V230HostAudioAuxServer::adaptiveEasyBitrate(std::int64_t pixelWidth, std::int64_t pixelHeight,
                                                         bool chromaIs444) const {
    constexpr double lowerBound = 8'000'000;
    const double base = chromaIs444 ? 48'000'000.0 : 36'000'000.0;
    const auto& reference = DisplayProfileCatalog::hidpi1080();
    const double referenceArea = static_cast<double>(reference.pixelWidth * reference.pixelHeight);
    const double area = static_cast<double>(std::max<std::int64_t>(0, pixelWidth) * std::max<std::int64_t>(0, pixelHeight));
    const double scale = std::min(1.0, area / referenceArea);
    return static_cast<std::int64_t>(std::max(lowerBound, base * scale));
}

VideoStreamProfile V230HostAudioAuxServer::streamProfileForCurrentRequest() {
    CaptureModeControlPayload request = currentCaptureRequest;
    if (request.mode != currentVideoMode) request = request.withMode(currentVideoMode);
    // Easy follows the display at its own resolution; the other modes ask for their catalogue size.
    if (request.mode == VideoCaptureMode::easy && platform_.displays) {
        if (auto mode = platform_.displays->currentMode(selectedDisplayID)) {
            request.pixelWidth = mode->effectivePixelWidth();
            request.pixelHeight = mode->effectivePixelHeight();
            request.logicalWidth = mode->width;
            request.logicalHeight = mode->height;
            if (request.bitrate <= 0) {
                request.bitrate = adaptiveEasyBitrate(request.pixelWidth, request.pixelHeight,
                                                      request.chromaMode == VideoChromaMode::yuv444);
            }
        }
    }
    auto profile = DisplayProfileCatalog::streamProfile(request, selectedDisplayID);
    if (request.pixelWidth > 0 && request.pixelHeight > 0 &&
        (profile.width != request.pixelWidth || profile.height != request.pixelHeight)) {
        // The Viewer asked for a size the encoder cannot carry; it gets the nearest one that fits.
        const auto maximum = transportMaxDimension(request);
        const bool tooLarge = request.pixelWidth > maximum || request.pixelHeight > maximum;
        const std::string text = "video: size " + std::to_string(request.pixelWidth) + "x" +
                                 std::to_string(request.pixelHeight) + " encoded as " + std::to_string(profile.width) +
                                 "x" + std::to_string(profile.height) + " (" +
                                 (tooLarge ? std::string("beyond the ") + codecTitle(request.codec) + " maximum of " +
                                                 std::to_string(maximum)
                                           : std::string("the encoder needs even dimensions")) +
                                 ")";
        publish(text);
        broadcastHostError(text);
    }
    return profile;
}

void V230HostAudioAuxServer::startVideoCapture() {
    if (authorizedVideoSessions.empty() || stopping_) return;
    if (videoCapture) {
        videoCapture->stop(false);
        videoCapture.reset();
        ++videoCaptureGeneration;
    }
    const auto profile = streamProfileForCurrentRequest();
    currentVideoCongestionWindow = congestionWindowFor(profile.fps);
    for (const auto& id : authorizedVideoSessions) {
        videoSessionOutstandingAcks[id] = 0;
        videoSessionSentFrames[id].clear();
        videoSessionLastAckNs.erase(id);
        videoSessionLastFrameSentNs.erase(id);
    }
    videoSessionsAwaitingKeyframe.clear();
    videoSendInFlight.store(0);
    videoEncodeBlocked.store(0);
    lastVideoConfig.reset();
    videoConfigSummary = "video: awaiting " + modeTitle(currentVideoMode) + " config";

    auto capture = std::make_shared<HostVideoCapture>(platform_, profile);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    const std::uint64_t generation = videoCaptureGeneration;
    capture->checkNetworkCongestion = [weak] {
        auto self = weak.lock();
        return self && self->videoEncodeBlocked.load() != 0;
    };
    capture->onConfig = [weak, generation](const VideoEncoderConfig& config) {
        auto self = weak.lock();
        if (!self) return;
        self->queue->async([weak, generation, config] {
            if (auto self = weak.lock()) self->handleVideoEncoderConfig(generation, config);
        });
    };
    capture->onFrame = [weak, generation](const EncodedVideoFrame& frame) {
        auto self = weak.lock();
        if (!self) return;
        self->queue->async([weak, generation, frame] {
            if (auto self = weak.lock()) self->handleEncodedVideoFrame(generation, frame);
        });
    };
    capture->onError = [weak, generation](const std::string& text) {
        auto self = weak.lock();
        if (!self) return;
        self->queue->async([weak, generation, text] {
            if (auto self = weak.lock()) self->handleVideoCaptureError(generation, text);
        });
    };
    capture->onStatus = [weak](const std::string& text) {
        auto self = weak.lock();
        if (!self) return;
        self->queue->async([weak, text] {
            if (auto self = weak.lock()) self->publish("video: " + text);
        });
    };
    videoCapture = capture;
    char line[200];
    std::snprintf(line, sizeof line, "video capture starting display=%u mode=%s %s %s %" PRId64 "x%" PRId64
                  " fps=%" PRId64 " bitrate=%" PRId64,
                  profile.displayID, modeTitle(profile.mode).c_str(), codecTitle(profile.codec),
                  chromaTitle(profile.chromaMode), profile.width, profile.height, profile.fps, profile.bitrate);
    publish(line);
    capture->start();
}

void V230HostAudioAuxServer::handleVideoCaptureError(std::uint64_t generation, const std::string& text) {
    if (generation != videoCaptureGeneration) return;
    publish("video: " + text);
    if (videoStartRetryAttempts >= maxVideoStartRetries) {
        broadcastHostError("video: capture failed: " + text);
        return;
    }
    ++videoStartRetryAttempts;
    publish("video: retrying capture start " + std::to_string(videoStartRetryAttempts) + "/" +
            std::to_string(maxVideoStartRetries));
    restartVideoCapture(1.0);
}

void V230HostAudioAuxServer::restartVideoCapture(double after) {
    if (authorizedVideoSessions.empty()) return;
    if (auxVideoCaptureSuspendedForZeroFrames) {
        publish("video: restart skipped while Screen Sharing fallback is active");
        return;
    }
    if (videoCapture) {
        videoCapture->stop(true);
        videoCapture.reset();
    }
    ++videoCaptureGeneration;
    lastVideoConfig.reset();
    videoConfigSummary = "video: awaiting " + modeTitle(currentVideoMode) + " config";
    if (after > 0) {
        std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
        queue->asyncAfter(after, [weak] {
            if (auto self = weak.lock()) self->startVideoCapture();
        });
    } else {
        startVideoCapture();
    }
}

void V230HostAudioAuxServer::resumeAuxVideoCaptureAfterZeroFrameSuspension(const std::string& reason) {
    const bool wasSuspended = auxVideoCaptureSuspendedForZeroFrames;
    auxVideoCaptureSuspendedForZeroFrames = false;
    suspendedVideoCaptureRequest.reset();
    zeroVideoWindows = 0;
    videoZeroFrameRecoveryAttempts = 0;
    nextVideoZeroFrameRecoveryNs = 0;
    if (wasSuspended) publish("video: retrying Aux capture after fallback suspension (" + reason + ")");
}

void V230HostAudioAuxServer::resendCurrentVideoConfigIfAvailable(const std::string& reason) {
    if (!lastVideoConfig) {
        publish("video config resend skipped (" + reason + "); no active config yet");
        return;
    }
    broadcastVideoConfig(*lastVideoConfig);
    if (videoCapture) videoCapture->forceKeyFrameRequested.store(1);
    publish("video config resent (" + reason + ")");
}

void V230HostAudioAuxServer::requestVideoKeyframeWithDelayedRetry() {
    if (authorizedVideoSessions.empty() || !videoCapture) return;
    videoCapture->forceKeyFrameRequested.store(1);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->asyncAfter(keyframeRetryDelay, [weak] {
        auto self = weak.lock();
        if (self && self->videoCapture && !self->authorizedVideoSessions.empty()) {
            self->videoCapture->forceKeyFrameRequested.store(1);
        }
    });
}

void V230HostAudioAuxServer::stopVideoCaptureIfIdle() {
    if (!authorizedVideoSessions.empty()) return;
    if (initialVideoCaptureStartTask) initialVideoCaptureStartTask->cancel();
    initialVideoCaptureStartTask.reset();
    videoCaptureModeWasRequested = false;
    auxVideoCaptureSuspendedForZeroFrames = false;
    suspendedVideoCaptureRequest.reset();
    zeroVideoWindows = 0;
    videoZeroFrameRecoveryAttempts = 0;
    nextVideoZeroFrameRecoveryNs = 0;
    videoSendInFlight.store(0);
    videoEncodeBlocked.store(0);
    if (videoCapture) {
        videoCapture->stop(false);
        videoCapture.reset();
        publish("video capture stopped; no Viewer left");
    }
    ++videoCaptureGeneration;
    lastVideoConfig.reset();
    videoStartRetryAttempts = 0;
    releaseHeadlessVirtualDisplayIfIdle();
}

void V230HostAudioAuxServer::stopVideoCaptureForTermination() {
    if (videoCapture) {
        videoCapture->stop(true);
        videoCapture.reset();
    }
    ++videoCaptureGeneration;
    lastVideoConfig.reset();
}

// ---- Configuration and frames ------------------------------------------------------------------

void V230HostAudioAuxServer::handleVideoEncoderConfig(std::uint64_t generation, const VideoEncoderConfig& config) {
    if (generation != videoCaptureGeneration) return;
    VideoStreamConfigPayload payload;
    payload.mode = currentVideoMode;
    payload.codec = config.codec;
    payload.chromaMode = config.chromaMode;
    payload.width = config.width;
    payload.height = config.height;
    payload.fps = config.fps;
    payload.bitrate = config.bitrate;
    for (const Bytes* set : {&config.vps, &config.sps, &config.pps}) {
        if (!set->empty()) payload.parameterSets.push_back(*set);
    }
    videoStartRetryAttempts = 0;
    char line[200];
    std::snprintf(line, sizeof line, "video: %s %s %" PRId64 "x%" PRId64 " %" PRId64 " fps %.1f Mbps (%s)",
                  codecTitle(config.codec), chromaTitle(config.chromaMode), config.width, config.height, config.fps,
                  static_cast<double>(config.bitrate) / 1e6, config.encoderName.c_str());
    videoConfigSummary = line;
    publish(videoConfigSummary);
    if (!config.fallback.empty()) {
        publish("video: " + config.fallback);
        broadcastHostError("video: " + config.fallback);
    }
    broadcastVideoConfig(payload);
}

void V230HostAudioAuxServer::broadcastVideoConfig(const VideoStreamConfigPayload& config) {
    lastVideoConfig = config;
    // Only signed-in Viewers learn the stream's parameters.
    const auto packet = makeAuxPacket(AuxPacketType::videoConfig, 0, config.encode(), platform_.clock->uptimeNs());
    for (const auto& id : authorizedVideoSessions) {
        if (auto it = videoSessions.find(id); it != videoSessions.end()) it->second->send(packet);
    }
}

void V230HostAudioAuxServer::handleEncodedVideoFrame(std::uint64_t generation, const EncodedVideoFrame& frame) {
    if (generation != videoCaptureGeneration || !lastVideoConfig) return;
    // The videoFrame payload is the frame number, then the access unit: built straight into the packet.
    const auto frameNumber = static_cast<std::uint64_t>(frame.frameNumber);
    ByteWriter number(8);
    number.u64(frameNumber);
    const auto packet = makeAuxPacket(AuxPacketType::videoFrame, frame.isKeyframe ? VideoFramePayload::keyframeFlag : 0,
                                      {number.data(), frame.data}, frame.captureUptimeNs);
    const std::uint64_t now = platform_.clock->uptimeNs();
    const std::int64_t farBehind = 2 * std::max<std::int64_t>(1, currentVideoCongestionWindow);
    for (const auto& id : authorizedVideoSessions) {
        auto connection = videoSessions.find(id);
        if (connection == videoSessions.end()) continue;
        auto& sent = videoSessionSentFrames[id];
        // A Viewer far behind gets nothing more until it catches up, then resumes at a keyframe:
        // the Host never queues an unbounded backlog for a Viewer that stopped reading.
        if (static_cast<std::int64_t>(sent.size()) > farBehind) {
            videoSessionsAwaitingKeyframe.insert(id);
            continue;
        }
        if (videoSessionsAwaitingKeyframe.contains(id)) {
            if (!frame.isKeyframe) continue;
            videoSessionsAwaitingKeyframe.erase(id);
        }
        connection->second->send(packet);
        sent.push_back(frameNumber);
        videoSessionOutstandingAcks[id] = static_cast<std::int64_t>(sent.size());
        videoSessionLastFrameSentNs[id] = now;
        ++videoFramesSentThisTick;
        videoBytesSentThisTick += static_cast<std::int64_t>(packet.size());
    }
    if (frame.captureUptimeNs != 0 && now >= frame.captureUptimeNs) {
        videoLatencyThisTickNs += now - frame.captureUptimeNs;
        ++videoLatencySamplesThisTick;
    }
    updateVideoGateLocked(now);
}

void V230HostAudioAuxServer::recordVideoFrameAck(const UUID& from, const VideoFrameAckPayload& ack) {
    if (!authorizedVideoSessions.contains(from)) return;
    auto& sent = videoSessionSentFrames[from];
    // Acknowledgements are cumulative. One that names a frame this Viewer was never sent, or one
    // it already acknowledged, changes nothing: a storm of repeats cannot reopen the gate.
    if (sent.empty() || ack.frameNumber < sent.front() || ack.frameNumber > sent.back()) return;
    while (!sent.empty() && sent.front() <= ack.frameNumber) sent.pop_front();
    const std::uint64_t now = platform_.clock->uptimeNs();
    videoSessionOutstandingAcks[from] = static_cast<std::int64_t>(sent.size());
    videoSessionLastAckNs[from] = now;
    if (videoSessionsAwaitingKeyframe.contains(from) && videoCapture &&
        static_cast<std::int64_t>(sent.size()) <= currentVideoCongestionWindow) {
        videoCapture->forceKeyFrameRequested.store(1);
    }
    updateVideoGateLocked(now);
}

void V230HostAudioAuxServer::updateVideoGateLocked(std::uint64_t nowNs) {
    const auto result = evaluateVideoFlowGate({authorizedVideoSessions, videoSessionOutstandingAcks,
                                               videoSessionLastAckNs, videoSessionLastFrameSentNs,
                                               currentVideoCongestionWindow, nowNs});
    videoSendInFlight.store(result.totalOutstanding);
    videoEncodeBlocked.store(result.blocked ? 1 : 0);
}

void V230HostAudioAuxServer::serviceVideoFlowLocked(std::uint64_t nowNs) {
    std::vector<UUID> dead;
    for (const auto& id : authorizedVideoSessions) {
        const auto outstanding = videoSessionOutstandingAcks.contains(id) ? videoSessionOutstandingAcks.at(id) : 0;
        if (outstanding <= 0) continue;
        std::uint64_t reference = 0;
        if (auto ack = videoSessionLastAckNs.find(id); ack != videoSessionLastAckNs.end()) {
            reference = ack->second;
        } else if (auto sent = videoSessionLastFrameSentNs.find(id); sent != videoSessionLastFrameSentNs.end()) {
            reference = sent->second;
        }
        if (reference != 0 && nowNs > reference && nowNs - reference > deadViewerAfterNs) dead.push_back(id);
    }
    for (const auto& id : dead) closeSession(id, "video: Viewer stopped acknowledging frames; closing its video session");
    updateVideoGateLocked(nowNs);
}

// ---- Statistics and zero-frame recovery --------------------------------------------------------

void V230HostAudioAuxServer::statisticsTick() {
    // Audio: the counters are taken every second; with no audio capture the watchdog is at rest.
    framesSent = 0;
    bytesSent = 0;
    audioCaptureCallbacks.store(0);
    audioCapturePayloads.store(0);

    const auto sentFrames = std::exchange(videoFramesSentThisTick, 0);
    const auto sentBytes = std::exchange(videoBytesSentThisTick, 0);
    const auto latency = std::exchange(videoLatencyThisTickNs, 0);
    const auto latencySamples = std::exchange(videoLatencySamplesThisTick, 0);
    if (!videoCapture || authorizedVideoSessions.empty()) {
        zeroVideoWindows = 0;
        return;
    }
    const auto captured = videoCapture->framesCaptured.exchange(0);
    const auto encoded = videoCapture->framesEncoded.exchange(0);
    const auto dropped = videoCapture->framesDroppedForCongestion.exchange(0);
    char line[240];
    std::snprintf(line, sizeof line,
                  "video stats fps=%" PRId64 " captured=%" PRId64 " encoded=%" PRId64 " dropped=%" PRId64
                  " bitrate=%.2fMbps outstanding=%" PRId64 " window=%" PRId64 " gate=%s latency=%.1fms",
                  sentFrames, captured, encoded, dropped, static_cast<double>(sentBytes) * 8 / 1e6,
                  videoSendInFlight.load(), currentVideoCongestionWindow,
                  videoEncodeBlocked.load() != 0 ? "closed" : "open",
                  latencySamples > 0 ? static_cast<double>(latency) / static_cast<double>(latencySamples) / 1e6 : 0.0);
    publish(line);

    if (captured > 0) {
        zeroVideoWindows = 0;
        videoZeroFrameRecoveryAttempts = 0;
        return;
    }
    if (++zeroVideoWindows < zeroFrameWindowsBeforeRecovery) return;
    zeroVideoWindows = 0;
    attemptVideoZeroFrameRecovery(videoCapture->capturedDisplayID());
}

void V230HostAudioAuxServer::attemptVideoZeroFrameRecovery(std::uint32_t displayID) {
    const std::uint64_t now = platform_.clock->uptimeNs();
    if (now < nextVideoZeroFrameRecoveryNs) return;
    if (useHeadlessVirtualDisplay) {
        suspendAuxVideoCaptureForZeroFrames(displayID);
        return;
    }
    switchPhysicalCaptureToHeadlessIfNeeded("zero frames while screen unavailable");
    if (videoZeroFrameRecoveryAttempts >= maxZeroFrameRecoveryAttempts) {
        publish("video: no frames for 3s on display=" + std::to_string(displayID) + "; recovery exhausted");
        nextVideoZeroFrameRecoveryNs = now + 30'000'000'000ULL;
        return;
    }
    ++videoZeroFrameRecoveryAttempts;
    publish("video: no frames for 3s on display=" + std::to_string(displayID) + "; restarting capture attempt " +
            std::to_string(videoZeroFrameRecoveryAttempts) + "/" + std::to_string(maxZeroFrameRecoveryAttempts));
    nextVideoZeroFrameRecoveryNs = now + 2'000'000'000ULL;
    restartVideoCapture(0.2);
}

void V230HostAudioAuxServer::suspendAuxVideoCaptureForZeroFrames(std::uint32_t displayID) {
    const auto physical = usablePhysicalDisplayID();
    if (physical != 0) {
        const std::string text = "video: no valid ScreenCaptureKit frames on virtual display=" + std::to_string(displayID) +
                                 "; falling back to physical display=" + std::to_string(physical) +
                                 " instead of Screen Sharing";
        publish(text);
        broadcastHostError(text);
        applyEasyAdaptivePhysicalCapture(physical);
        return;
    }
    auxVideoCaptureSuspendedForZeroFrames = true;
    suspendedVideoCaptureRequest = currentCaptureRequest;
    if (videoCapture) {
        videoCapture->stop(false);
        videoCapture.reset();
    }
    ++videoCaptureGeneration;
    lastVideoConfig.reset();
    publish("video: no valid frames on display=" + std::to_string(displayID) + " and no usable physical display; "
            "capture suspended");
}

std::uint32_t V230HostAudioAuxServer::usablePhysicalDisplayID() const {
    if (!platform_.displays) return 0;
    for (const auto id : platform_.displays->activeDisplayIDs()) {
        auto display = platform_.displays->display(id);
        if (display && !display->isAsleep) return id;
    }
    return 0;
}

void V230HostAudioAuxServer::applyEasyAdaptivePhysicalCapture(std::uint32_t displayID) {
    useHeadlessVirtualDisplay = false;
    physicalDisplayID = displayID;
    selectedDisplayID = displayID;
    currentCaptureRequest = currentCaptureRequest.withMode(VideoCaptureMode::easy);
    applyVideoCaptureMode(VideoCaptureMode::easy);
}

void V230HostAudioAuxServer::switchPhysicalCaptureToHeadlessIfNeeded(const std::string& /*reason*/) {
    // Moving capture to a virtual display while the screens sleep needs the virtual display,
    // which this Host does not create yet; physical capture stays where it is.
}

// ---- Viewport region ---------------------------------------------------------------------------

void V230HostAudioAuxServer::setViewportROI(const std::optional<Rect>& region) {
    if (videoCapture) videoCapture->setViewportROI(region);
}

std::optional<Rect> V230HostAudioAuxServer::currentViewportROIForSessionInfo() {
    if (!videoCapture || videoCapture->requestedProfile.mode != VideoCaptureMode::max) return std::nullopt;
    std::lock_guard lock(videoCapture->viewportROILock);
    return videoCapture->viewportROINormalized;
}

}  // namespace qm
