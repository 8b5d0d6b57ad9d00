#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/AudioCapture.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Core/LogSink.h"

namespace qm {

// Captures the Host's system audio as 48 kHz stereo on a stream built on one display, turns every
// sample buffer into one block of interleaved float32 stereo and hands it, with a nanosecond
// timestamp, to its owner. An object is started once; its owner makes a new one for every start
// and calls stop(wait:) before dropping it.
//
// Queues: the start sequence and the `stream`/`startTask` state live on `lifecycleQueue`; sample
// buffers, conversion, `onSampleBuffer` and `onFrame` run on `sampleQueue`.
class HostAudioCapture : public std::enable_shared_from_this<HostAudioCapture> {
public:
    struct Callbacks {
        std::function<void()> onStarted;
        std::function<void()> onSampleBuffer;
        std::function<void(const Bytes& pcm, std::uint64_t timestampNs)> onFrame;
        std::function<void(const std::string& message)> onError;
    };

    static constexpr int maxDisplayRetries = 12;
    static constexpr double displayRetryInterval = 0.25;
    static constexpr double stopWaitSeconds = 2.0;

    static std::shared_ptr<HostAudioCapture> make(std::shared_ptr<AudioCaptureService> service, DisplayID displayID,
                                                  bool requireExactDisplay, DispatchQueuePtr sampleQueue,
                                                  DispatchQueuePtr lifecycleQueue, Callbacks callbacks);

    DisplayID displayID() const { return displayID_; }
    bool requireExactDisplay() const { return requireExactDisplay_; }

    // Launches the start sequence and returns at once.
    void start();
    // Cancels the start sequence and stops the stream; with `wait` blocks for at most 2 s until
    // the stream has stopped. After it returns no stream of this object runs (one still starting
    // is torn down instead of started) and no further buffer reaches `onFrame`.
    void stop(bool wait);

    // The sample path (sample queue): validity, timestamp, conversion, callbacks.
    void handleSampleBuffer(const AudioSampleBuffer& buffer, StreamOutputType type);
    // One buffer as interleaved float32 stereo, or empty when it cannot be converted. Writes the
    // format line once per object.
    std::optional<Bytes> interleavedFloat32Stereo(const AudioSampleBuffer& buffer);

private:
    HostAudioCapture(std::shared_ptr<AudioCaptureService> service, DisplayID displayID, bool requireExactDisplay,
                     DispatchQueuePtr sampleQueue, DispatchQueuePtr lifecycleQueue, Callbacks callbacks);

    // Start sequence steps, all on the lifecycle queue.
    void queryAndChoose();
    void startStream(const ShareableDisplay& display, const std::vector<ShareableDisplay>& displays);
    void finishStart(const std::shared_ptr<AudioCaptureStream>& stream, const std::optional<std::string>& error);
    void endStart(const std::optional<std::string>& report);
    void report(const std::string& message);

    struct StartTask {
        int retries = 0;
        DispatchWorkItemPtr retryWait;
    };

    const std::shared_ptr<AudioCaptureService> service_;
    const DisplayID displayID_;
    const bool requireExactDisplay_;
    const DispatchQueuePtr sampleQueue_;
    const DispatchQueuePtr lifecycleQueue_;
    const Callbacks callbacks_;

    // Lifecycle queue only.
    std::shared_ptr<AudioCaptureStream> stream_;
    std::shared_ptr<AudioCaptureStream> startingStream_;  // created, its start not yet completed
    std::optional<StartTask> startTask_;
    bool stopped_ = false;

    // Sample queue only.
    bool didLogFormat_ = false;
    // Once per buffer while the fault lasts, so thinned out.
    RepeatingLogLine invalidBufferLine_;
    RepeatingLogLine droppedBufferLine_;

    // Held while a buffer goes through the sample path, and by stop() to cut delivery off.
    std::mutex deliveryMutex_;
    bool discarded_ = false;
};

}  // namespace qm
