#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Core/DispatchQueue.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/MediaPayloads.h"

namespace qm {

class HostVideoCapture;
struct HostVideoCaptureQueues;

// The server's side of the one video stream all video sessions share: the running capture and
// its generation, the configuration Viewers were last sent, the start delay, retries and the
// zero-frame recovery, and the figures of the current statistics second. Owned by the server
// queue. Nothing here is kept per Viewer (that is VideoFlow's).
//
// What always holds:
// - the generation advances whenever a capture is stopped or replaced, and the configuration
//   Viewers were sent belongs to the current generation (it goes with the capture);
// - a zero-frame suspension always keeps the request it suspended, and only while suspended;
// - a capture never starts on queues a failed or silent capture left behind, nor on queues still
//   working through what the last capture left on them.
class VideoRoadState {
public:
    // ---- The running capture ----
    const std::shared_ptr<HostVideoCapture>& capture() const { return videoCapture; }
    bool isCapturing() const { return videoCapture != nullptr; }
    // Whether work a capture handed back is still the current capture's.
    bool isCurrentGeneration(std::uint64_t generation) const { return generation == videoCaptureGeneration; }
    std::uint64_t generation() const { return videoCaptureGeneration; }
    // Asks the running capture, if any, for a keyframe.
    void requestKeyframe();
    // The queues the next capture runs on: the last capture's once they ran dry, else new ones
    // from `make`.
    HostVideoCaptureQueues& queuesForNextCapture(const std::function<HostVideoCaptureQueues()>& make);
    // The capture started on the queues from queuesForNextCapture(); it must be the only one.
    void captureStarted(std::shared_ptr<HostVideoCapture> capture);
    // Stops and drops the running capture, if any, and voids what it may still hand back (the
    // generation advances, the configuration goes); true when one was running.
    bool discardCapture(bool wait);
    // The capture failed or went silent: its threads may be stuck, so the next one gets its own.
    void abandonQueues();
    // Runs `work` on the capture's lifecycle queue after `delay`, if the queues are still there.
    void afterOnLifecycleQueue(double delay, std::function<void()> work);

    // ---- The configuration Viewers were sent ----
    const std::optional<VideoStreamConfigPayload>& lastConfig() const { return lastVideoConfig; }
    void configSent(const VideoStreamConfigPayload& config) { lastVideoConfig = config; }
    // A live bit rate change: the stored configuration carries it too.
    void bitrateChanged(std::int64_t bitrate);
    // The stream moves elsewhere: what Viewers were told is no longer what comes.
    void forgetConfig() { lastVideoConfig.reset(); }
    const std::string& configSummary() const { return videoConfigSummary; }
    void setConfigSummary(std::string summary) { videoConfigSummary = std::move(summary); }

    // ---- The first start ----
    // A Viewer asked for a capture mode: the default start is not needed any more.
    void captureModeRequested();
    bool wasCaptureModeRequested() const { return videoCaptureModeWasRequested; }
    bool initialStartPending() const { return initialVideoCaptureStartTask != nullptr; }
    void initialStartScheduled(DispatchWorkItemPtr task) { initialVideoCaptureStartTask = std::move(task); }
    // The scheduled start came due (it decides for itself whether to start).
    void initialStartRan() { initialVideoCaptureStartTask.reset(); }
    void cancelInitialStart();
    // A request was applied (the display chosen and prepared, Viewers told its layout) while no
    // video channel was signed in: only the stream's start waits for one, and the first to sign in
    // starts it without applying the request again. A request whose preparation itself waits for
    // a video channel, a start, and the last Viewer leaving end the wait.
    void startAwaitsVideoSession() { videoStartAwaitsSession = true; }
    void startNoLongerAwaited() { videoStartAwaitsSession = false; }
    bool isStartAwaitingVideoSession() const { return videoStartAwaitsSession; }

    // ---- Start retries ----
    std::int64_t startRetryAttempts() const { return videoStartRetryAttempts; }
    // Counts one more retry; the count after it.
    std::int64_t noteStartRetry() { return ++videoStartRetryAttempts; }
    void resetStartRetries() { videoStartRetryAttempts = 0; }

    // ---- Zero frames ----
    bool isSuspendedForZeroFrames() const { return auxVideoCaptureSuspendedForZeroFrames; }
    const std::optional<CaptureModeControlPayload>& suspendedRequest() const { return suspendedVideoCaptureRequest; }
    // Capture delivered nothing and cannot move elsewhere: it stays off for `request` until a
    // Viewer asks for something else.
    void suspendForZeroFrames(const CaptureModeControlPayload& request);
    // Ends a suspension, if any, and the recovery with it; true when one was in force.
    bool endZeroFrameSuspension();
    // Forgets the silent windows counted and the recovery attempts made (sleep, wake, frames).
    void resetZeroFrameRecovery();
    // A statistics second with no capture running, or with frames captured.
    void noFrameWindowPending() { zeroVideoWindows = 0; }
    void framesCaptured();
    // A statistics second without a captured frame; true (and the count starts over) at the
    // `threshold`-th in a row.
    bool silentWindow(std::int64_t threshold);
    // Whether a recovery may be tried at `nowNs`.
    bool recoveryDue(std::uint64_t nowNs) const { return nowNs >= nextVideoZeroFrameRecoveryNs; }
    std::int64_t recoveryAttempts() const { return videoZeroFrameRecoveryAttempts; }
    // A recovery starts: the next may come at `nextNs`; the count after it. The running
    // capture's queues are given up (its threads may be the ones stuck).
    std::int64_t noteRecoveryAttempt(std::uint64_t nextNs);
    // Recovery gave up; it is tried again at `nextNs`.
    void recoveryExhausted(std::uint64_t nextNs) { nextVideoZeroFrameRecoveryNs = nextNs; }

    // ---- Nobody watches ----
    // The last video Viewer left: the next one starts from scratch (no request carried over, no
    // suspension, no recovery, no retries).
    void resetForIdle();

    // ---- The current statistics second ----
    void frameSent(std::int64_t packetBytes);
    void latencySampled(std::uint64_t latencyNs);
    struct SecondFigures {
        std::int64_t framesSent = 0;
        std::int64_t bytesSent = 0;
        std::uint64_t latencyNs = 0;
        std::int64_t latencySamples = 0;
    };
    // The second's figures; the next second starts at zero.
    SecondFigures takeSecondFigures();

private:
    std::shared_ptr<HostVideoCapture> videoCapture;
    // The captures' queues, made with the first and kept for the next ones (their threads would
    // otherwise come and go with every Viewer, each leaving an allocator arena behind). A new
    // capture takes them only once the last one's queues ran dry (`videoQueuesBusy` counts the
    // queues still working through what it left), and never after a capture failed or went
    // silent: a thread stuck in the old stream must not hold up the new one.
    std::shared_ptr<HostVideoCaptureQueues> videoQueues;
    std::shared_ptr<std::atomic<int>> videoQueuesBusy;
    // Advanced whenever a capture is stopped or replaced; results of an older one are dropped.
    std::uint64_t videoCaptureGeneration = 0;
    std::optional<VideoStreamConfigPayload> lastVideoConfig;
    std::string videoConfigSummary;
    DispatchWorkItemPtr initialVideoCaptureStartTask;
    bool videoCaptureModeWasRequested = false;
    bool videoStartAwaitsSession = false;
    bool auxVideoCaptureSuspendedForZeroFrames = false;
    std::optional<CaptureModeControlPayload> suspendedVideoCaptureRequest;
    std::int64_t zeroVideoWindows = 0;
    std::int64_t videoZeroFrameRecoveryAttempts = 0;
    std::uint64_t nextVideoZeroFrameRecoveryNs = 0;
    std::int64_t videoStartRetryAttempts = 0;

    // The current statistics second.
    std::int64_t framesSentThisTick = 0;
    std::int64_t bytesSentThisTick = 0;
    std::uint64_t latencyThisTickNs = 0;
    std::int64_t latencySamplesThisTick = 0;
};

}  // namespace qm
