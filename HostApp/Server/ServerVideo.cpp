// The server's video road: starting and restarting capture, the configuration and frame fan-out
// to the video sessions, acknowledgements and the flow gate, statistics and zero-frame recovery.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "HostApp/Server/ServerSupport.h"
#include "HostApp/Server/VideoFlowGate.h"
#include "HostApp/Video/HostVideoCapture.h"
#include "Platform/Displays.h"
#include "Platform/Core/ProcessMemory.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

namespace {
constexpr double initialCaptureStartDelay = 0.45;
constexpr double keyframeRetryDelay = 0.5;
// How long after the last Viewer left the stopped capture has surely let go of its memory.
constexpr double memoryReleaseDelay = 1.0;
constexpr int maxVideoStartRetries = 3;
constexpr int maxZeroFrameRecoveryAttempts = 3;
// A Viewer that has frames outstanding and has not acknowledged anything for this long is gone.
constexpr std::uint64_t deadViewerAfterNs = 10'000'000'000ULL;

const std::string& modeTitle(VideoCaptureMode mode) {
    return DisplayProfileCatalog::profile(mode).title;
}

}  // namespace

// ---- Requests and starts -----------------------------------------------------------------------

void V230HostAudioAuxServer::applyVideoCaptureRequest(const CaptureModeControlPayload& asked, const UUID& sourceID) {
    assertOnQueue();
    video_.captureModeRequested();
    publish("video request from session " + shortID(sourceID) + ": " + asked.summary());

    // Rates outside what the capture and the encoders can run are brought within bounds here, so
    // that everything after (the comparison, the stream, the live encoder) sees the granted values.
    const auto granted = DisplayProfileCatalog::grantedRequest(asked);
    const CaptureModeControlPayload& request = granted.request;
    if (!granted.notes.empty()) {
        std::string text = "video: request adjusted:";
        for (const auto& note : granted.notes) text += " " + note + ";";
        text += " granted " + request.summary();
        publish(text);
        sendHostStatus(text, sessions_.connection(sourceID));
    }
    if (video_.isSuspendedForZeroFrames()) {
        if (video_.suspendedRequest() == request) {
            publish("video: keeping Screen Sharing fallback for unchanged capture request " + request.summary());
            requestVideoKeyframeWithDelayedRetry();
            return;
        }
        resumeAuxVideoCaptureAfterZeroFrameSuspension("viewer changed capture request");
    }

    auto& d = display_;
    d.resetHeadlessRealizeRetries();
    const auto ios = CaptureModeControlPayload::iosBuiltInDisplayFlag;
    if (request.flags & ios) {
        if (signedInViewersAreSeveral()) {
            const std::string text = "display: ignored iOS built-in display request from " + shortID(sourceID) +
                                     " while multiple viewers are active";
            publish(text);
            broadcastHostError(text);
        } else {
            d.iosBuiltInCaptureStartedBy(sourceID);
            applyIOSBuiltInDisplayCaptureRequest(request);
        }
        requestVideoKeyframeWithDelayedRetry();
        return;
    }
    if (request.mode == VideoCaptureMode::easy) {
        if (const auto physical = usablePhysicalDisplayID(); physical != 0) {
            applyEasyAdaptivePhysicalCapture(physical, request);
            // Sent on the control channel before the video channel signed in: the stream starts
            // when it does, without applying the request a second time.
            if (sessions_.authorizedVideoSessions().empty() && !video_.isCapturing()) video_.startAwaitsVideoSession();
            requestVideoKeyframeWithDelayedRetry();
            return;
        }
    }
    if (shouldPreserveIOSBuiltInCapture(request, sourceID)) {
        const std::string text = "display: kept active iOS built-in capture while another Viewer joined with Easy mode";
        publish(text);
        broadcastHostError(text);
        resendCurrentVideoConfigIfAvailable("preserved active iOS built-in capture");
        requestVideoKeyframeWithDelayedRetry();
        return;
    }

    // A console at the login window or locked is captured from a real display where there is one.
    VideoCaptureBackend backend = request.backend;
    const auto console = currentConsoleSessionState();
    const bool consoleUnavailable = console.isLoginWindow || console.isLocked || !console.loginDone;
    if (request.backend == VideoCaptureBackend::headlessVirtual && consoleUnavailable) {
        if (usablePhysicalDisplayID() != 0) {
            backend = VideoCaptureBackend::physical;
            publish("capture request backend virtual overridden to physical for loginwindow/locked session");
            broadcastHostError("display: loginwindow/locked session forcing physical display capture");
        } else {
            publish("capture request kept on headless virtual display; loginwindow/locked session has no physical display");
            broadcastHostError(
                "display: no physical display available; keeping loginwindow/locked capture on headless virtual display");
        }
    } else if (request.backend == VideoCaptureBackend::physical && d.useHeadlessVirtualDisplay() &&
               DisplayProfileCatalog::profile(request.mode).defaultUsesHeadlessVirtualDisplay) {
        backend = VideoCaptureBackend::headlessVirtual;
        publish("capture request backend physical normalized to virtual default for " +
                DisplayProfileCatalog::profile(request.mode).title);
    }

    CaptureModeControlPayload next = request;
    next.backend = backend;
    const CaptureModeControlPayload previous = d.currentCaptureRequest();
    d.setCaptureRequest(next);
    if (!video_.isCapturing() || previous.mode != next.mode || previous.backend != next.backend ||
        previous.logicalWidth != next.logicalWidth || previous.logicalHeight != next.logicalHeight ||
        previous.pixelWidth != next.pixelWidth || previous.pixelHeight != next.pixelHeight ||
        previous.flags != next.flags) {
        // Nothing running counts as a change: an unchanged request must still start the stream.
        const bool wasStreaming = video_.isCapturing();
        if (!applyVideoCaptureMode(next.mode) && wasStreaming && video_.isCapturing() && !d.useHeadlessVirtualDisplay() &&
            d.currentVideoMode() == previous.mode) {
            // The real display could not take the request and the stream goes on as it was, so the
            // request in force is still the one the stream runs with: the next request is compared
            // with what Viewers actually get, not with what was refused.
            d.setCaptureRequest(previous);
            publish("capture request not applied; request in force stays " + previous.summary());
        }
    } else if (shouldReapplyCaptureMode(next)) {
        publish("capture mode unchanged but display state drifted; reapplying " + next.summary());
        applyVideoCaptureMode(next.mode);
    } else if (previous.chromaMode != next.chromaMode || previous.fps != next.fps || previous.codec != next.codec ||
               next.bitrate <= 0) {
        // A bit rate of 0 asks for the default, which depends on the mode and the display: the
        // stream profile works it out at the start.
        publish("capture format changed; restarting stream with " + next.summary());
        restartVideoCapture(0.1);
    } else if (previous.bitrate != next.bitrate) {
        publish("dynamic bitrate update: bitrate=" + std::to_string(next.bitrate));
        const auto profile = DisplayProfileCatalog::streamProfile(next, d.selectedDisplayID());
        video_.capture()->updateRateControl(profile.fps, profile.bitrate);
        video_.bitrateChanged(profile.bitrate);
        resendCurrentVideoConfigIfAvailable("bitrate update");
    } else {
        publish("capture mode unchanged; resending video config");
        resendCurrentVideoConfigIfAvailable("unchanged capture mode");
    }
    requestVideoKeyframeWithDelayedRetry();
}

void V230HostAudioAuxServer::restartAudioCaptureOnDisplaySwitch(double after) {
    assertOnQueue();
    if (sessions_.authorizedAudioSessions().empty()) return;
    const auto wanted =
        audioDisplayID(display_.useHeadlessVirtualDisplay(), display_.physicalDisplayID(), display_.selectedDisplayID());
    if (audio_->isCapturing() && audio_->activeDisplayID() == wanted) {
        publish("audio capture unchanged on display " + std::to_string(wanted) + "; skipping display-switch restart");
        return;
    }
    audio_->restartAudioCapture(after);
}

void V230HostAudioAuxServer::scheduleInitialVideoCaptureStart() {
    assertOnQueue();
    if (video_.initialStartPending() || video_.isCapturing()) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    video_.initialStartScheduled(queue->asyncAfter(initialCaptureStartDelay, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->video_.initialStartRan();
        if (self->video_.wasCaptureModeRequested() || self->video_.isCapturing() || self->sessions_.authorizedVideoSessions().empty()) return;
        self->publish("video: no capture request; starting the default " + modeTitle(self->display_.currentCaptureRequest().mode) +
                      " mode");
        self->applyVideoCaptureMode(self->display_.currentCaptureRequest().mode);
    }));
}

void V230HostAudioAuxServer::videoSessionAuthorized(const UUID& id) {
    videoFlow_.add(id);
    if (video_.isCapturing()) {
        if (video_.lastConfig()) {
            if (auto it = sessions_.videoSessions().find(id); it != sessions_.videoSessions().end()) {
                sendPacket(it->second, AuxPacketType::videoConfig, video_.lastConfig()->encode());
            }
        }
        // The new Viewer can only start decoding at a keyframe.
        requestVideoKeyframeWithDelayedRetry();
    } else if (video_.isStartAwaitingVideoSession()) {
        // The request came on the control channel first and was applied then; applying it again
        // would only tell the Viewers the same layout twice before the stream starts.
        publish("video: starting the stream the request prepared");
        restartVideoCapture(0);
    } else if (video_.wasCaptureModeRequested()) {
        applyVideoCaptureMode(display_.currentCaptureRequest().mode);
    } else {
        scheduleInitialVideoCaptureStart();
    }
}

std::int64_t V230HostAudioAuxServer::adaptiveEasyBitrate(std::int64_t pixelWidth, std::int64_t pixelHeight,
                                                         bool chromaIs444) const {
    assertOnQueue();
    constexpr double lowerBound = 8'000'000;
    const double base = chromaIs444 ? 48'000'000.0 : 36'000'000.0;
    const auto& reference = DisplayProfileCatalog::hidpi1080();
    const double referenceArea = static_cast<double>(reference.pixelWidth * reference.pixelHeight);
    const double area = static_cast<double>(std::max<std::int64_t>(0, pixelWidth) * std::max<std::int64_t>(0, pixelHeight));
    const double scale = std::min(1.0, area / referenceArea);
    return static_cast<std::int64_t>(std::max(lowerBound, base * scale));
}

VideoStreamProfile V230HostAudioAuxServer::streamProfileForCurrentRequest() {
    CaptureModeControlPayload request = display_.currentCaptureRequest();
    if (request.mode != display_.currentVideoMode()) request = request.withMode(display_.currentVideoMode());
    // Easy follows the display at its own resolution; the other modes ask for their catalogue size.
    if (request.mode == VideoCaptureMode::easy && platform_.displays) {
        if (auto mode = platform_.displays->currentMode(display_.selectedDisplayID())) {
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
    auto profile = DisplayProfileCatalog::streamProfile(request, display_.selectedDisplayID());
    if (request.pixelWidth > 0 && request.pixelHeight > 0 &&
        (profile.width != request.pixelWidth || profile.height != request.pixelHeight)) {
        // The Viewer asked for a size the encoder cannot carry; it gets the nearest one that fits.
        const auto maximum = transportMaxDimension(request);
        const auto area = CaptureRequestLimits::maximumPixelArea(request.codec, request.chromaMode);
        std::string reason;
        if (request.pixelWidth > maximum || request.pixelHeight > maximum) {
            reason = std::string("beyond the ") + codecTitle(request.codec) + " maximum of " + std::to_string(maximum);
        } else if (request.pixelWidth * request.pixelHeight > area) {
            reason = std::string("beyond the ") + codecTitle(request.codec) + " " + chromaTitle(request.chromaMode) +
                     " maximum of " + std::to_string(area) + " pixels";
        } else {
            reason = "the encoder needs even dimensions";
        }
        const std::string text = "video: size " + std::to_string(request.pixelWidth) + "x" +
                                 std::to_string(request.pixelHeight) + " encoded as " + std::to_string(profile.width) +
                                 "x" + std::to_string(profile.height) + " (" + reason + ")";
        publish(text);
        broadcastHostError(text);
    }
    return profile;
}

void V230HostAudioAuxServer::startVideoCapture() {
    assertOnQueue();
    if (sessions_.authorizedVideoSessions().empty() || stopping_) return;
    video_.startNoLongerAwaited();
    discardVideoCapture(false);
    const auto profile = streamProfileForCurrentRequest();
    videoFlow_.reset(sessions_.authorizedVideoSessions(), profile.fps);
    video_.setConfigSummary("video: awaiting " + modeTitle(display_.currentVideoMode()) + " config");

    auto& queues = video_.queuesForNextCapture([this] { return HostVideoCapture::makeQueues(platform_); });
    auto capture = std::make_shared<HostVideoCapture>(platform_, profile, queues);
    capture->setStartBacklog(HostVideoCapture::startBacklogFor(VideoFlow::congestionWindowFor(profile.fps)));
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    const std::uint64_t generation = video_.generation();
    capture->onConfig = [weak, generation](const VideoEncoderConfig& config) {
        auto self = weak.lock();
        if (!self) return;
        self->queue->async([weak, generation, config] {
            if (auto self = weak.lock()) self->handleVideoEncoderConfig(generation, config);
        });
    };
    capture->onFrame = [weak, generation](EncodedVideoFrame frame) {
        auto self = weak.lock();
        if (!self) return;
        // The frame moves into the task (a std::function needs a copyable closure, so it travels
        // in a shared box rather than being copied).
        auto box = std::make_shared<EncodedVideoFrame>(std::move(frame));
        self->queue->async([weak, generation, box] {
            if (auto self = weak.lock()) self->handleEncodedVideoFrame(generation, std::move(*box));
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
    video_.captureStarted(capture);
    char line[200];
    std::snprintf(line, sizeof line, "video capture starting display=%u mode=%s %s %s %" PRId64 "x%" PRId64
                  " fps=%" PRId64 " bitrate=%" PRId64,
                  profile.displayID, modeTitle(profile.mode).c_str(), codecTitle(profile.codec),
                  chromaTitle(profile.chromaMode), profile.width, profile.height, profile.fps, profile.bitrate);
    publish(line);
    capture->start();
}

void V230HostAudioAuxServer::handleVideoCaptureError(std::uint64_t generation, const std::string& text) {
    if (!video_.isCurrentGeneration(generation)) return;
    publish("video: " + text);
    if (video_.startRetryAttempts() >= maxVideoStartRetries) {
        broadcastHostError("video: capture failed: " + text);
        return;
    }
    const auto attempt = video_.noteStartRetry();
    publish("video: retrying capture start " + std::to_string(attempt) + "/" + std::to_string(maxVideoStartRetries));
    // The failed capture's threads may be stuck: the next one gets queues of its own.
    video_.abandonQueues();
    restartVideoCapture(1.0);
}

void V230HostAudioAuxServer::restartVideoCapture(double after) {
    assertOnQueue();
    if (sessions_.authorizedVideoSessions().empty()) return;
    if (video_.isSuspendedForZeroFrames()) {
        publish("video: restart skipped while Screen Sharing fallback is active");
        return;
    }
    // Never waits for the old capture: its threads may be stuck (that can be why it restarts), and
    // the generation check drops whatever it still hands back.
    discardVideoCapture(false);
    video_.setConfigSummary("video: awaiting " + modeTitle(display_.currentVideoMode()) + " config");
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
    assertOnQueue();
    if (video_.endZeroFrameSuspension()) publish("video: retrying Aux capture after fallback suspension (" + reason + ")");
}

void V230HostAudioAuxServer::resendCurrentVideoConfigIfAvailable(const std::string& reason) {
    assertOnQueue();
    if (!video_.lastConfig()) {
        publish("video config resend skipped (" + reason + "); no active config yet");
        return;
    }
    broadcastVideoConfig(*video_.lastConfig());
    video_.requestKeyframe();
    publish("video config resent (" + reason + ")");
}

void V230HostAudioAuxServer::requestVideoKeyframeWithDelayedRetry() {
    assertOnQueue();
    if (sessions_.authorizedVideoSessions().empty() || !video_.isCapturing()) return;
    // A capture that has not encoded its first picture yet starts with a keyframe for every
    // signed-in Viewer anyway; another one right behind it would only cost its encode time.
    if (!video_.capture()->hasEncodedFirstPicture()) return;
    video_.requestKeyframe();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->asyncAfter(keyframeRetryDelay, [weak] {
        auto self = weak.lock();
        if (self && !self->sessions_.authorizedVideoSessions().empty()) self->video_.requestKeyframe();
    });
}

void V230HostAudioAuxServer::stopVideoCaptureIfIdle() {
    assertOnQueue();
    if (!sessions_.authorizedVideoSessions().empty()) return;
    // The next Viewer starts from the default mode unless it asks for another: the last Viewer's
    // request is not carried over to someone else.
    display_.resetCaptureRequest();
    video_.resetForIdle();
    videoFlow_.videoSendInFlight = 0;
    videoFlow_.videoEncodeBlocked = false;
    if (discardVideoCapture(false)) {
        publish("video capture stopped; no Viewer left");
        // Once the stopped capture has let go of its pictures and encoder, give what the allocator
        // keeps free back to the system, off the server queue.
        video_.afterOnLifecycleQueue(memoryReleaseDelay, [] { releaseFreeMemory(); });
    }
    releaseHeadlessVirtualDisplayIfIdle();
    // The user's screen goes back to the mode it had before the first switch once nobody watches
    // it, unless Viewers are expected back (a reconnect grace keeps the arrangement for them).
    if (modeSwitcher_ && !stopping_ && power_.gracesRunning() == 0) {
        for (const auto& line : modeSwitcher_->restoreAllOriginalModes()) publish("no Viewer left; " + line);
    }
}

void V230HostAudioAuxServer::stopVideoCaptureForTermination() {
    discardVideoCapture(true);
}

bool V230HostAudioAuxServer::discardVideoCapture(bool wait) {
    return video_.discardCapture(wait);
}

// ---- Configuration and frames ------------------------------------------------------------------

void V230HostAudioAuxServer::handleVideoEncoderConfig(std::uint64_t generation, const VideoEncoderConfig& config) {
    assertOnQueue();
    if (!video_.isCurrentGeneration(generation)) return;
    VideoStreamConfigPayload payload;
    payload.mode = display_.currentVideoMode();
    payload.codec = config.codec;
    payload.chromaMode = config.chromaMode;
    payload.width = config.width;
    payload.height = config.height;
    payload.fps = config.fps;
    payload.bitrate = config.bitrate;
    for (const Bytes* set : {&config.vps, &config.sps, &config.pps}) {
        if (!set->empty()) payload.parameterSets.push_back(*set);
    }
    video_.resetStartRetries();
    char line[200];
    std::snprintf(line, sizeof line, "video: %s %s %" PRId64 "x%" PRId64 " %" PRId64 " fps %.1f Mbps (%s)",
                  codecTitle(config.codec), chromaTitle(config.chromaMode), config.width, config.height, config.fps,
                  static_cast<double>(config.bitrate) / 1e6, config.encoderName.c_str());
    video_.setConfigSummary(line);
    publish(video_.configSummary());
    if (!config.fallback.empty()) {
        publish("video: " + config.fallback);
        broadcastHostError("video: " + config.fallback);
    }
    broadcastVideoConfig(payload);
}

void V230HostAudioAuxServer::broadcastVideoConfig(const VideoStreamConfigPayload& config) {
    video_.configSent(config);
    // Only signed-in Viewers learn the stream's parameters.
    sendToSignedIn(makeSharedPacket(AuxPacketType::videoConfig, config.encode()), false, true);
}

void V230HostAudioAuxServer::handleEncodedVideoFrame(std::uint64_t generation, EncodedVideoFrame frame) {
    assertOnQueue();
    if (!video_.isCurrentGeneration(generation)) return;
    videoFlow_.handled(static_cast<std::uint64_t>(frame.frameNumber));
    if (!video_.lastConfig()) return;
    // The videoFrame payload is the frame number, then the access unit. The encoder left room for
    // the header and the number in front of the access unit: the packet is the frame's own buffer,
    // and one immutable buffer goes to every Viewer.
    static_assert(EncodedVideoFrame::headroom == AuxPacketHeader::size + 8);
    const auto frameNumber = static_cast<std::uint64_t>(frame.frameNumber);
    const std::size_t payloadLength = frame.buffer.size() - AuxPacketHeader::size;
    if (payloadLength > std::numeric_limits<std::uint32_t>::max()) return;
    AuxPacketHeader header;
    header.type = AuxPacketType::videoFrame;
    header.flags = frame.isKeyframe ? VideoFramePayload::keyframeFlag : 0;
    header.payloadLength = static_cast<std::uint32_t>(payloadLength);
    header.timestampNs = frame.captureUptimeNs;
    const auto head = header.encode();
    std::copy(head.begin(), head.end(), frame.buffer.begin());
    ByteWriter number(8);
    number.u64(frameNumber);
    std::copy(number.data().begin(), number.data().end(), frame.buffer.begin() + AuxPacketHeader::size);
    const auto packetSize = static_cast<std::int64_t>(frame.buffer.size());
    const SharedBytes packet = std::make_shared<const Bytes>(std::move(frame.buffer));

    const std::uint64_t now = platform_.clock->uptimeNs();
    for (const auto& id : sessions_.authorizedVideoSessions()) {
        auto connection = sessions_.videoSessions().find(id);
        if (connection == sessions_.videoSessions().end() || !videoFlow_.admit(id, frame.isKeyframe)) continue;
        connection->second->send(packet);
        videoFlow_.sent(id, frameNumber, now);
        video_.frameSent(packetSize);
    }
    if (frame.captureUptimeNs != 0 && now >= frame.captureUptimeNs) video_.latencySampled(now - frame.captureUptimeNs);
    updateVideoGateLocked(now);
}

void V230HostAudioAuxServer::recordVideoFrameAck(const UUID& from, const VideoFrameAckPayload& ack) {
    assertOnQueue();
    if (!sessions_.authorizedVideoSessions().contains(from)) return;
    const std::uint64_t now = platform_.clock->uptimeNs();
    if (videoFlow_.ack(from, ack.frameNumber, now)) video_.requestKeyframe();
    updateVideoGateLocked(now);
}

void V230HostAudioAuxServer::updateVideoGateLocked(std::uint64_t nowNs) {
    assertOnQueue();
    const auto result = videoFlow_.evaluate(sessions_.authorizedVideoSessions(), nowNs);
    if (const auto& capture = video_.capture()) {
        capture->setEncodeBlocked(result.blocked);
        // What the start backlog may still hold while the encoder catches up after the first keyframe.
        capture->setOldestUnacknowledged(static_cast<std::int64_t>(videoFlow_.oldestUnacknowledged()));
    }
}

void V230HostAudioAuxServer::serviceVideoFlowLocked(std::uint64_t nowNs) {
    assertOnQueue();
    for (const auto& id : videoFlow_.silentSessions(sessions_.authorizedVideoSessions(), nowNs, deadViewerAfterNs)) {
        closeSession(id, "video: Viewer stopped acknowledging frames; closing its video session");
    }
    updateVideoGateLocked(nowNs);
}

// ---- Statistics and zero-frame recovery --------------------------------------------------------

void V230HostAudioAuxServer::statisticsTick() {
    assertOnQueue();
    // Audio: the counters are taken every second and the silent-stream watchdog looks at them.
    const auto audioFigures = audio_->statisticsTick(power_.screensAreSleeping());
    if (audio_->isCapturing()) {
        char audioLine[200];
        std::snprintf(audioLine, sizeof audioLine,
                      "audio stats packets=%" PRId64 " bytes=%" PRId64 " callbacks=%" PRId64 " blocks=%" PRId64,
                      audioFigures.framesSent, audioFigures.bytesSent, audioFigures.captureCallbacks,
                      audioFigures.capturePayloads);
        writeStatus(audioLine, LogLevel::detail);
    }

    const auto second = video_.takeSecondFigures();
    const auto sentFrames = second.framesSent;
    const auto sentBytes = second.bytesSent;
    const auto latency = second.latencyNs;
    const auto latencySamples = second.latencySamples;
    if (!video_.isCapturing() || sessions_.authorizedVideoSessions().empty()) {
        video_.noFrameWindowPending();
        return;
    }
    const auto figures = video_.capture()->takeStatistics();
    const auto captured = figures.captured;
    const auto encoded = figures.encoded;
    const auto dropped = figures.dropped;
    char line[240];
    std::snprintf(line, sizeof line,
                  "video stats fps=%" PRId64 " captured=%" PRId64 " encoded=%" PRId64 " dropped=%" PRId64
                  " bitrate=%.2fMbps outstanding=%" PRId64 " window=%" PRId64 " gate=%s latency=%.1fms",
                  sentFrames, captured, encoded, dropped, static_cast<double>(sentBytes) * 8 / 1e6,
                  videoFlow_.videoSendInFlight, videoFlow_.currentVideoCongestionWindow,
                  videoFlow_.videoEncodeBlocked ? "closed" : "open",
                  latencySamples > 0 ? static_cast<double>(latency) / static_cast<double>(latencySamples) / 1e6 : 0.0);
    writeStatus(line, LogLevel::detail);

    if (captured > 0) {
        video_.framesCaptured();
        return;
    }
    if (!video_.silentWindow(std::max(1, options_.zeroFrameWindowsBeforeRecovery))) return;
    attemptVideoZeroFrameRecovery(video_.capture()->capturedDisplayID());
}

void V230HostAudioAuxServer::attemptVideoZeroFrameRecovery(std::uint32_t displayID) {
    assertOnQueue();
    const std::uint64_t now = platform_.clock->uptimeNs();
    if (!video_.recoveryDue(now)) return;
    if (display_.useHeadlessVirtualDisplay()) {
        suspendAuxVideoCaptureForZeroFrames(displayID);
        return;
    }
    switchPhysicalCaptureToHeadlessIfNeeded("zero frames while screen unavailable");
    const std::string noFrames = std::to_string(std::max(1, options_.zeroFrameWindowsBeforeRecovery)) + "s";
    if (video_.recoveryAttempts() >= maxZeroFrameRecoveryAttempts) {
        publish("video: no frames for " + noFrames + " on display=" + std::to_string(displayID) + "; recovery exhausted");
        video_.recoveryExhausted(now + 30'000'000'000ULL);
        return;
    }
    const auto attempt = video_.noteRecoveryAttempt(now + 2'000'000'000ULL);
    publish("video: no frames for " + noFrames + " on display=" + std::to_string(displayID) + "; restarting capture attempt " +
            std::to_string(attempt) + "/" + std::to_string(maxZeroFrameRecoveryAttempts));
    restartVideoCapture(0.2);
}

void V230HostAudioAuxServer::suspendAuxVideoCaptureForZeroFrames(std::uint32_t displayID) {
    assertOnQueue();
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
    discardVideoCapture(false);
    video_.suspendForZeroFrames(display_.currentCaptureRequest());
    publish("video: no valid frames on display=" + std::to_string(displayID) + " and no usable physical display; "
            "capture suspended");
}

// ---- Viewport region ---------------------------------------------------------------------------

void V230HostAudioAuxServer::setViewportROI(const std::optional<Rect>& region) {
    assertOnQueue();
    if (const auto& capture = video_.capture()) capture->setViewportROI(region);
}

std::optional<Rect> V230HostAudioAuxServer::currentViewportROIForSessionInfo() {
    const auto& capture = video_.capture();
    if (!capture || capture->requestedProfile.mode != VideoCaptureMode::max) return std::nullopt;
    return capture->viewportROI();
}

}  // namespace qm
