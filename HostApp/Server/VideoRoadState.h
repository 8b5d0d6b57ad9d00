#pragma once

#include <atomic>
#include <cstdint>
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
struct VideoRoadState {
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
