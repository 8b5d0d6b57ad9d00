#include "HostApp/Server/VideoRoadState.h"

#include <utility>

#include "HostApp/Video/HostVideoCapture.h"
#include "Platform/Core/QueueCheck.h"

namespace qm {

void VideoRoadState::requestKeyframe() {
    if (videoCapture) videoCapture->requestKeyframe();
}

HostVideoCaptureQueues& VideoRoadState::queuesForNextCapture(const std::function<HostVideoCaptureQueues()>& make) {
    if (videoQueuesBusy && videoQueuesBusy->load() != 0) videoQueues.reset();
    videoQueuesBusy.reset();
    if (!videoQueues) videoQueues = std::make_shared<HostVideoCaptureQueues>(make());
    return *videoQueues;
}

void VideoRoadState::captureStarted(std::shared_ptr<HostVideoCapture> capture) {
    // Two captures at once would both feed the Viewers: the old one is discarded first.
    requireInvariant(!videoCapture && videoQueues, "one capture at a time, on the queues handed out for it");
    videoCapture = std::move(capture);
}

bool VideoRoadState::discardCapture(bool wait) {
    const bool wasRunning = videoCapture != nullptr;
    if (wasRunning) videoCapture->stop(wait);
    videoCapture.reset();
    if (wasRunning && videoQueues) {
        // Marks when each queue has worked through what the stopped capture left on it.
        auto busy = std::make_shared<std::atomic<int>>(3);
        for (const auto& q : {videoQueues->capture, videoQueues->encode, videoQueues->lifecycle}) {
            q->async([busy] { busy->fetch_sub(1); });
        }
        videoQueuesBusy = busy;
    }
    // Whatever the dropped capture still hands back belongs to an old generation and is ignored.
    ++videoCaptureGeneration;
    lastVideoConfig.reset();
    return wasRunning;
}

void VideoRoadState::abandonQueues() {
    videoQueues.reset();
    videoQueuesBusy.reset();
}

void VideoRoadState::afterOnLifecycleQueue(double delay, std::function<void()> work) {
    if (videoQueues) videoQueues->lifecycle->asyncAfter(delay, std::move(work));
}

void VideoRoadState::bitrateChanged(std::int64_t bitrate) {
    if (lastVideoConfig) lastVideoConfig->bitrate = bitrate;
}

void VideoRoadState::captureModeRequested() {
    videoCaptureModeWasRequested = true;
    cancelInitialStart();
}

void VideoRoadState::cancelInitialStart() {
    if (initialVideoCaptureStartTask) initialVideoCaptureStartTask->cancel();
    initialVideoCaptureStartTask.reset();
}

void VideoRoadState::suspendForZeroFrames(const CaptureModeControlPayload& request) {
    requireInvariant(!videoCapture, "a suspended stream has no capture running");
    auxVideoCaptureSuspendedForZeroFrames = true;
    suspendedVideoCaptureRequest = request;
}

bool VideoRoadState::endZeroFrameSuspension() {
    const bool wasSuspended = auxVideoCaptureSuspendedForZeroFrames;
    auxVideoCaptureSuspendedForZeroFrames = false;
    suspendedVideoCaptureRequest.reset();
    resetZeroFrameRecovery();
    return wasSuspended;
}

void VideoRoadState::resetZeroFrameRecovery() {
    zeroVideoWindows = 0;
    videoZeroFrameRecoveryAttempts = 0;
    nextVideoZeroFrameRecoveryNs = 0;
}

void VideoRoadState::framesCaptured() {
    zeroVideoWindows = 0;
    videoZeroFrameRecoveryAttempts = 0;
}

bool VideoRoadState::silentWindow(std::int64_t threshold) {
    if (++zeroVideoWindows < threshold) return false;
    zeroVideoWindows = 0;
    return true;
}

std::int64_t VideoRoadState::noteRecoveryAttempt(std::uint64_t nextNs) {
    nextVideoZeroFrameRecoveryNs = nextNs;
    abandonQueues();
    return ++videoZeroFrameRecoveryAttempts;
}

void VideoRoadState::resetForIdle() {
    cancelInitialStart();
    videoCaptureModeWasRequested = false;
    videoStartAwaitsSession = false;
    endZeroFrameSuspension();
    videoStartRetryAttempts = 0;
}

void VideoRoadState::frameSent(std::int64_t packetBytes) {
    ++framesSentThisTick;
    bytesSentThisTick += packetBytes;
}

void VideoRoadState::latencySampled(std::uint64_t latencyNs) {
    latencyThisTickNs += latencyNs;
    ++latencySamplesThisTick;
}

VideoRoadState::SecondFigures VideoRoadState::takeSecondFigures() {
    SecondFigures figures{framesSentThisTick, bytesSentThisTick, latencyThisTickNs, latencySamplesThisTick};
    framesSentThisTick = 0;
    bytesSentThisTick = 0;
    latencyThisTickNs = 0;
    latencySamplesThisTick = 0;
    return figures;
}

}  // namespace qm
