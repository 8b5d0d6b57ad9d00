#include "HostApp/Audio/HostAudioCapture.h"

#include <condition_variable>
#include <cstdio>

#include "HostApp/Audio/PcmConversion.h"
#include "Platform/Core/LogSink.h"

namespace qm {

namespace {

std::string joinedIDs(const std::vector<ShareableDisplay>& displays) {
    std::string text;
    for (const auto& display : displays) {
        if (!text.empty()) text += ",";
        text += std::to_string(display.displayID);
    }
    return text;
}

}  // namespace

std::shared_ptr<HostAudioCapture> HostAudioCapture::make(std::shared_ptr<AudioCaptureService> service,
                                                         DisplayID displayID, bool requireExactDisplay,
                                                         DispatchQueuePtr sampleQueue, DispatchQueuePtr lifecycleQueue,
                                                         Callbacks callbacks) {
    return std::shared_ptr<HostAudioCapture>(new HostAudioCapture(std::move(service), displayID, requireExactDisplay,
                                                                  std::move(sampleQueue), std::move(lifecycleQueue),
                                                                  std::move(callbacks)));
}

HostAudioCapture::HostAudioCapture(std::shared_ptr<AudioCaptureService> service, DisplayID displayID,
                                   bool requireExactDisplay, DispatchQueuePtr sampleQueue,
                                   DispatchQueuePtr lifecycleQueue, Callbacks callbacks)
    : service_(std::move(service)),
      displayID_(displayID),
      requireExactDisplay_(requireExactDisplay),
      sampleQueue_(std::move(sampleQueue)),
      lifecycleQueue_(std::move(lifecycleQueue)),
      callbacks_(std::move(callbacks)) {}

void HostAudioCapture::report(const std::string& message) {
    if (callbacks_.onError) callbacks_.onError(message);
}

void HostAudioCapture::start() {
    lifecycleQueue_->syncInline([&] {
        if (!stopped_) startTask_ = StartTask{};
    });
    std::weak_ptr<HostAudioCapture> weak = weak_from_this();
    lifecycleQueue_->async([weak] {
        // The sequence holds the capture from here until it ends.
        if (auto self = weak.lock()) self->queryAndChoose();
    });
}

void HostAudioCapture::endStart(const std::optional<std::string>& message) {
    startTask_.reset();
    if (message) report(*message);
}

void HostAudioCapture::queryAndChoose() {
    if (stopped_ || !startTask_) return;
    if (!service_) {
        endStart(std::string("no audio capture service"));
        return;
    }
    auto result = service_->shareableContent(!requireExactDisplay_);
    if (!result.content) {
        endStart(result.error);
        return;
    }
    const auto& displays = result.content->displays;
    auto chosen = selectTargetDisplay(displays, displayID_, requireExactDisplay_, service_->mainDisplayID());
    if (!chosen && requireExactDisplay_ && startTask_->retries < maxDisplayRetries) {
        ++startTask_->retries;
        auto self = shared_from_this();
        startTask_->retryWait = lifecycleQueue_->asyncAfter(displayRetryInterval, [self] { self->queryAndChoose(); });
        return;
    }
    if (!chosen) {
        endStart("audio target display " + std::to_string(displayID_) +
                 " unavailable for ScreenCaptureKit. available=" + joinedIDs(displays));
        return;
    }
    startStream(*chosen, displays);
}

void HostAudioCapture::startStream(const ShareableDisplay& display, const std::vector<ShareableDisplay>& displays) {
    if (display.displayID != displayID_) {
        report("audio target display " + std::to_string(displayID_) + " unavailable; using ScreenCaptureKit display " +
               std::to_string(display.displayID) + ". available=" + joinedIDs(displays));
    }
    AudioStreamConfiguration configuration;
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = false;
    configuration.sampleRate = 48000;
    configuration.channelCount = 2;
    auto stream = service_->makeStream(display, configuration);
    std::weak_ptr<HostAudioCapture> weak = weak_from_this();
    stream->setStopHandler([weak](const std::string& error) {
        if (auto self = weak.lock()) self->report("ScreenCaptureKit stream stopped: " + error);
    });
    if (auto error = stream->addAudioOutput(sampleQueue_, [weak](const AudioSampleBuffer& buffer, StreamOutputType type) {
            if (auto self = weak.lock()) self->handleSampleBuffer(buffer, type);
        })) {
        endStart(*error);
        return;
    }
    startingStream_ = stream;
    auto self = shared_from_this();
    auto queue = lifecycleQueue_;
    stream->startCapture([self, stream, queue](const std::optional<std::string>& error) {
        queue->async([self, stream, error] { self->finishStart(stream, error); });
    });
}

void HostAudioCapture::finishStart(const std::shared_ptr<AudioCaptureStream>& stream,
                                   const std::optional<std::string>& error) {
    if (startingStream_ != stream) {
        // A stop took this stream while it was starting: it must not run.
        if (!error) {
            stream->stopCapture(nullptr);
            stream->removeAudioOutput();
        }
        return;
    }
    startingStream_.reset();
    if (error) {
        endStart(*error);
        return;
    }
    stream_ = stream;
    if (callbacks_.onStarted) callbacks_.onStarted();
    startTask_.reset();
}

void HostAudioCapture::stop(bool wait) {
    std::shared_ptr<AudioCaptureStream> stream;
    std::shared_ptr<AudioCaptureStream> starting;
    DispatchWorkItemPtr retryWait;
    lifecycleQueue_->syncInline([&] {
        stopped_ = true;
        if (startTask_) retryWait = startTask_->retryWait;
        startTask_.reset();
        stream = std::move(stream_);
        starting = std::move(startingStream_);
    });
    {
        // Waits for a buffer on its way through the sample path; none follows.
        std::lock_guard guard(deliveryMutex_);
        discarded_ = true;
    }
    if (retryWait) {
        retryWait->cancel();
        std::weak_ptr<HostAudioCapture> weak = weak_from_this();
        lifecycleQueue_->async([weak] {
            if (auto self = weak.lock()) self->report("audio capture start cancelled");
        });
    }
    if (starting) {
        starting->stopCapture(nullptr);
        starting->removeAudioOutput();
    }
    if (!stream) return;

    struct Signal {
        std::mutex mutex;
        std::condition_variable condition;
        bool done = false;
    };
    auto signal = std::make_shared<Signal>();
    auto self = shared_from_this();
    stream->stopCapture([stream, self, signal](const std::optional<std::string>&) {
        stream->removeAudioOutput();
        std::lock_guard lock(signal->mutex);
        signal->done = true;
        signal->condition.notify_all();
    });
    if (wait) {
        std::unique_lock lock(signal->mutex);
        signal->condition.wait_for(lock, std::chrono::duration<double>(stopWaitSeconds), [&] { return signal->done; });
    }
}

void HostAudioCapture::handleSampleBuffer(const AudioSampleBuffer& buffer, StreamOutputType type) {
    if (type != StreamOutputType::audio) return;
    std::lock_guard guard(deliveryMutex_);
    if (discarded_) return;
    if (!buffer.isValid || !buffer.dataIsReady) {
        invalidBufferLine_.write("[QuillmereHost] [AUDIO] Invalid or not ready sampleBuffer");
        return;
    }
    if (callbacks_.onSampleBuffer) callbacks_.onSampleBuffer();
    const std::uint64_t timestampNs = presentationTimeNs(buffer.presentationTimeSeconds);
    auto pcm = interleavedFloat32Stereo(buffer);
    if (!pcm) {
        droppedBufferLine_.write("[QuillmereHost] [AUDIO] drop frame: cannot convert sampleBuffer at ts=" +
                                 std::to_string(timestampNs));
        return;
    }
    if (callbacks_.onFrame) callbacks_.onFrame(*pcm, timestampNs);
}

std::optional<Bytes> HostAudioCapture::interleavedFloat32Stereo(const AudioSampleBuffer& buffer) {
    if (!buffer.format) return std::nullopt;
    const auto& format = *buffer.format;
    if (format.mChannelsPerFrame == 0 || !isConvertibleSampleFormat(format)) return std::nullopt;
    // The buffer list has room for one buffer per channel; a delivery that needs more fails to fetch.
    if (!buffer.bufferListAvailable || buffer.buffers.size() > format.mChannelsPerFrame) return std::nullopt;
    if (!didLogFormat_) {
        didLogFormat_ = true;
        logLine(audioFormatLine(format, buffer.buffers.size()));
    }
    return convertToInterleavedFloat32Stereo(format, buffer.buffers);
}

}  // namespace qm
