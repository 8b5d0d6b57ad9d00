#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "HostApp/Video/VideoEncoder.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Displays.h"
#include "Platform/Core/Geometry.h"
#include "Platform/HostPlatform.h"
#include "Platform/ScreenCapture.h"
#include "QuillmereProfiles/VideoStreamTypes.h"

namespace qm {

struct HostVideoCaptureQueues {
    DispatchQueuePtr capture;
    DispatchQueuePtr encode;
    DispatchQueuePtr lifecycle;
    // Encoder sessions that were replaced or dropped close here; none: where they end.
    DispatchQueuePtr close;
};

// Captures one display and encodes it for the Viewers.
//
// The owner creates it with the requested profile, sets the callbacks and the congestion check,
// calls start() once, and calls stop(wait:) before dropping it: destruction releases the fields
// and nothing else. Frames arrive on the capture queue, are dropped there while the congestion
// check says so, else cropped (to the viewport region in mode max) and scaled to the stream
// size there, then encoded on the encode queue, so that converting one frame overlaps encoding
// the one before. A frame that arrives while the encoder still has two to do is dropped too
// (more while the first keyframe is being encoded and the encoder catches up after it:
// setStartBacklog, encoderBacklog).
// `onConfig` comes before the first frame of every encoder session (the first keyframe, and
// again after the encoder was reopened), `onFrame` with every access unit, both on the encode
// queue. `onError` reports a start that failed or a stream that stopped; `onStatus` reports
// notes (fallbacks, size changes, rate changes). Callbacks run on the capture, encode or
// lifecycle queue.
//
// A still screen costs little: a frame the capture marks unchanged is not converted again. The
// last converted picture goes to the encoder once more for a short while after the last change
// (the rate control sharpens it up to its quantiser floor), then only a few times a second so
// that frames keep flowing, and at once when a keyframe is requested; other unchanged frames are
// left out (counted as `unchanged`, not as dropped).
//
// An encoder session that a rate change replaced, or that the stream stopped, is closed on the
// close queue (libx265 codes a last keyframe there first), so that no frame waits for it: the
// encode queue goes on with the new session meanwhile.
//
// Its queues may be given: an owner that starts one capture after another keeps the same queues
// (and their threads) for its life, so that each capture does not leave the allocator a fresh set
// of per-thread arenas to hold on to.
class HostVideoCapture : public std::enable_shared_from_this<HostVideoCapture> {
public:
    using Queues = HostVideoCaptureQueues;
    // Made under the video queue labels.
    static Queues makeQueues(const HostPlatform& platform);

    HostVideoCapture(const HostPlatform& platform, VideoStreamProfile requestedProfile);
    HostVideoCapture(const HostPlatform& platform, VideoStreamProfile requestedProfile, const Queues& queues);
    ~HostVideoCapture();
    HostVideoCapture(const HostVideoCapture&) = delete;
    HostVideoCapture& operator=(const HostVideoCapture&) = delete;

    const VideoStreamProfile requestedProfile;
    const DispatchQueuePtr captureQueue;    // frames, congestion check, scaling
    const DispatchQueuePtr encodeQueue;     // encoding, onConfig, onFrame
    const DispatchQueuePtr lifecycleQueue;  // start, stop, reconfiguration
    const DispatchQueuePtr closeQueue;      // closing encoder sessions; may be none

    // The next encoded frame will be a keyframe (a request waits for a frame that is encoded).
    void requestKeyframe() { forceKeyFrameRequested_.store(1); }
    bool isKeyframeRequested() const { return forceKeyFrameRequested_.load() != 0; }

    // While blocked (the acknowledgement gate is closed) every captured frame is dropped before
    // it is converted.
    void setEncodeBlocked(bool blocked) { encodeBlocked_.store(blocked); }

    // How many pictures may be at the encoder (the one being encoded included) before a captured
    // frame is dropped. Usually two: one being encoded and one waiting keep the encoder busy, more
    // would only add latency and memory when it cannot keep up. The capture's first picture is a
    // keyframe that takes several frame times to encode, and dropping the frames captured
    // meanwhile would leave the first second of the stream jerky: until it is encoded, up to
    // `startBacklog` may wait instead (at least two). Set before start().
    void setStartBacklog(int pictures) { startBacklog_.store(std::max(2, pictures)); }
    // Where the capture stands in its start: the first picture (a keyframe) not encoded yet; the
    // encoder working through the pictures that waited for it; or started (caught up, or the
    // stream's first second is over, whichever comes first).
    enum class StartPhase { firstPicture, catchingUp, started };
    // The backlog in each phase. While the encoder catches up, the frames sent and not yet
    // acknowledged (`unacknowledged`) take their places from the start backlog, so that what a
    // Viewer that stops acknowledging still receives (those, the pictures at the encoder and the
    // one being converted) never exceeds the start backlog plus one. Never below two.
    static int encoderBacklog(StartPhase phase, int startBacklog, std::int64_t unacknowledged) {
        if (phase == StartPhase::started) return 2;
        const std::int64_t room =
            phase == StartPhase::firstPicture ? startBacklog : startBacklog - std::max<std::int64_t>(0, unacknowledged);
        return static_cast<int>(std::clamp<std::int64_t>(room, 2, std::max(2, startBacklog)));
    }
    // The oldest frame number sent to a Viewer and not acknowledged by it; the number after the
    // last frame handed out when every Viewer acknowledged everything. The server tells it after
    // each frame and acknowledgement; until it does, every frame handed out counts as
    // unacknowledged.
    void setOldestUnacknowledged(std::int64_t frameNumber) { oldestUnacknowledged_.store(frameNumber); }
    // The start backlog for the acknowledgement gate's congestion window W. Nothing is outstanding
    // while the first picture is encoded, so the pictures at the encoder and the one being
    // converted all go out: at most W + 4 (what a Viewer that acknowledges nothing may receive),
    // and at most 2 W, past which a Viewer counts as fallen behind and waits for a keyframe.
    static int startBacklogFor(std::int64_t congestionWindow) {
        return static_cast<int>(std::clamp<std::int64_t>(std::min(congestionWindow + 3, 2 * congestionWindow - 1), 2, 64));
    }
    // Whether this capture's first picture (its first keyframe) has been encoded.
    bool hasEncodedFirstPicture() const { return firstPictureEncoded_.load(); }

    // The Viewer's viewport region of interest, normalised to 0...1 with y from the bottom edge.
    // Stores the region clamped to the unit square; none, or a region that is not finite or
    // covers nothing, clears it.
    void setViewportROI(std::optional<Rect> region);
    std::optional<Rect> viewportROI() const;

    // What the capture did since the counters were last taken. `dropped` counts frames dropped
    // while blocked and frames dropped because the encoder still had two to do (it cannot keep
    // up with the capture rate).
    struct Statistics {
        std::int64_t captured = 0;
        std::int64_t encoded = 0;
        std::int64_t dropped = 0;
        std::int64_t unchanged = 0;  // unchanged frames left out because the Viewers already have them
    };

    // How long unchanged frames still go to the encoder after the last change, and how often one
    // goes after that.
    static constexpr double stillSettleSeconds = 0.5;
    static constexpr double stillRepeatSeconds = 0.1;
    Statistics statistics() const;
    // Returns the counters and starts them again from zero.
    Statistics takeStatistics();

    std::function<void(const VideoEncoderConfig&)> onConfig;
    // Takes the frame: its bytes move on to the packet without a copy.
    std::function<void(EncodedVideoFrame)> onFrame;
    std::function<void(const std::string&)> onError;
    std::function<void(const std::string&)> onStatus;

    // Starts capture and encoding on the lifecycle queue; returns at once.
    void start();
    // Cancels a start that has not run, stops the stream and drops the encoder. With `wait` it
    // returns once the stream has stopped and the capture and encode queues have finished the
    // frame they were on (at most 2 s for the stream); afterwards no callback runs.
    void stop(bool wait);
    // Hops to the lifecycle queue and hands the values to the live encoder, if there is one.
    void updateRateControl(std::int64_t fps, std::int64_t bitrate);

    // The running encoder, if any.
    std::shared_ptr<VideoEncoder> encoder() const;
    // The display capture runs on (0 until the start chose one).
    DisplayID capturedDisplayID() const;

private:
    void startOnLifecycleQueue();
    void stopOnLifecycleQueue(const std::shared_ptr<std::promise<void>>& streamStopped);
    void handleFrame(const CapturedFrame& frame);
    void encodeFrame(std::shared_ptr<AVFrame> picture, std::uint64_t uptimeNs);
    void handOver(std::shared_ptr<AVFrame> picture, std::uint64_t uptimeNs);
    bool fitsEncoderInput(const AVFrame& picture) const;
    void noteEncoderInput(const VideoEncoder& encoder);
    void report(const std::function<void(const std::string&)>& callback, const std::string& text) const;

    std::shared_ptr<DisplayService> displays_;
    std::shared_ptr<ScreenCaptureService> screenCapture_;

    // Lifecycle queue only.
    std::shared_ptr<ScreenCaptureStream> stream_;
    std::atomic<bool> stopped_{false};

    mutable std::mutex encoderLock_;
    std::shared_ptr<VideoEncoder> encoder_;
    std::atomic<DisplayID> capturedDisplayID_{0};

    // The picture size and format the encoder takes. The encode queue learns of a reopened
    // encoder first and tells the capture queue here, which converts for it.
    struct PictureShape {
        std::int64_t width = 0, height = 0;
        AVPixelFormat format = AV_PIX_FMT_NONE;
        friend bool operator==(const PictureShape&, const PictureShape&) = default;
    };
    mutable std::mutex encoderInputLock_;
    PictureShape encoderInput_;

    // Converted pictures handed to the encode queue and not yet encoded.
    std::atomic<int> picturesInEncoder_{0};
    std::atomic<int> startBacklog_{2};
    std::atomic<bool> firstPictureEncoded_{false};
    // One past the last frame number handed to onFrame (encode queue writes), and the server's
    // report of what the Viewers acknowledged.
    std::atomic<std::int64_t> nextFrameNumberOut_{0};
    std::atomic<std::int64_t> oldestUnacknowledged_{0};
    // When the start began and the encoder was open (lifecycle queue writes), for the one status
    // line that says where the time to the first picture went.
    std::atomic<std::uint64_t> startBeganNs_{0};
    std::atomic<std::uint64_t> encoderOpenNs_{0};
    void reportFirstPicture(const EncodedVideoFrame& frame);

    // Capture queue only.
    VideoFrameScaler scaler_;
    // Where the screen changed since the last frame given to the scaler (none: unknown), so that
    // it converts only that, also across frames that were dropped or left out in between.
    std::optional<std::vector<PixelRect>> changedSinceScaled_;
    void noteChangedRegion(const CapturedFrame& frame);
    bool scaleFailureReported_ = false;
    // The last converted picture and what it was made from, for unchanged frames.
    std::shared_ptr<AVFrame> lastPicture_;
    PixelCrop lastCrop_;
    PictureShape lastShape_;
    std::int64_t unchangedRun_ = 0;  // unchanged frames since the last change
    // Frames captured since the start, and whether the start is over (StartPhase).
    std::int64_t framesSinceStart_ = 0;
    bool startOver_ = false;
    StartPhase startPhase();

    AtomicInt forceKeyFrameRequested_;
    std::atomic<bool> encodeBlocked_{false};
    mutable std::mutex viewportROILock_;
    std::optional<Rect> viewportROINormalized_;
    AtomicInt framesCaptured_;
    AtomicInt framesEncoded_;
    AtomicInt framesDropped_;
    AtomicInt framesUnchanged_;

    // Encode queue only.
    std::uint64_t deliveredConfigGeneration_ = 0;
    std::uint64_t inputGeneration_ = 0;
    bool encodeFailureReported_ = false;
};

}  // namespace qm
