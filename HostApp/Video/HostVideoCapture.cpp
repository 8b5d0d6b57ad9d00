#include "HostApp/Video/HostVideoCapture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "HostApp/Video/VideoQueues.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace qm {

HostVideoCapture::Queues HostVideoCapture::makeQueues(const HostPlatform& platform) {
    return Queues{platform.makeQueue(VideoQueueLabels::capture), platform.makeQueue(VideoQueueLabels::encode),
                  platform.makeQueue(VideoQueueLabels::lifecycle), platform.makeQueue(VideoQueueLabels::close)};
}

HostVideoCapture::HostVideoCapture(const HostPlatform& platform, VideoStreamProfile profile)
    : HostVideoCapture(platform, profile, makeQueues(platform)) {}

HostVideoCapture::HostVideoCapture(const HostPlatform& platform, VideoStreamProfile profile, const Queues& queues)
    : requestedProfile(profile), captureQueue(queues.capture), encodeQueue(queues.encode),
      lifecycleQueue(queues.lifecycle), closeQueue(queues.close), displays_(platform.displays),
      screenCapture_(platform.screenCapture) {}

// Releases the fields only: a running stream is the owner's to stop (stop(wait:)) first.
HostVideoCapture::~HostVideoCapture() = default;

void HostVideoCapture::setViewportROI(std::optional<Rect> region) {
    std::optional<Rect> stored;
    if (region && std::isfinite(region->minX()) && std::isfinite(region->minY()) && std::isfinite(region->width()) &&
        std::isfinite(region->height()) && !region->isEmpty()) {
        const double x0 = std::clamp(region->minX(), 0.0, 1.0), x1 = std::clamp(region->maxX(), 0.0, 1.0);
        const double y0 = std::clamp(region->minY(), 0.0, 1.0), y1 = std::clamp(region->maxY(), 0.0, 1.0);
        if (x1 > x0 && y1 > y0) stored = Rect(x0, y0, x1 - x0, y1 - y0);
    }
    std::lock_guard lock(viewportROILock_);
    viewportROINormalized_ = stored;
}

std::shared_ptr<VideoEncoder> HostVideoCapture::encoder() const {
    std::lock_guard lock(encoderLock_);
    return encoder_;
}

DisplayID HostVideoCapture::capturedDisplayID() const {
    return capturedDisplayID_.load();
}

void HostVideoCapture::report(const std::function<void(const std::string&)>& callback, const std::string& text) const {
    if (!stopped_.load() && callback) callback(text);
}

void HostVideoCapture::start() {
    std::weak_ptr<HostVideoCapture> weakSelf = weak_from_this();
    lifecycleQueue->async([weakSelf] {
        if (auto self = weakSelf.lock()) self->startOnLifecycleQueue();
    });
}

void HostVideoCapture::startOnLifecycleQueue() {
    if (stopped_.load()) return;
    startBeganNs_.store(lifecycleQueue->clock().uptimeNs());
    if (!displays_ || !screenCapture_) {
        report(onError, "capture: no display or screen capture service");
        return;
    }
    auto listing = screenCapture_->shareableContent();
    if (!listing.content) {
        report(onError, "capture: shareable content unavailable: " + listing.error);
        return;
    }
    const auto& shareable = listing.content->displays;
    const DisplayID wanted = requestedProfile.displayID;
    auto target = selectTargetDisplay(shareable, wanted, wanted != 0, displays_->mainDisplayID());
    if (!target) {
        std::string available;
        for (auto& display : shareable) {
            if (!available.empty()) available += ",";
            available += std::to_string(display.displayID);
        }
        report(onError, "target display " + std::to_string(wanted) +
                            " unavailable for capture. available=" + available);
        return;
    }

    // Capture at the display's own pixel size; the scaler brings it to the stream size.
    const auto mode = displays_->currentMode(target->displayID);
    const std::int64_t sourceWidth = mode ? mode->effectivePixelWidth() : target->width;
    const std::int64_t sourceHeight = mode ? mode->effectivePixelHeight() : target->height;
    const std::int64_t fps = requestedProfile.fps > 0 ? requestedProfile.fps : 60;

    const auto settings = encoderSettingsFor(requestedProfile,
                                             requestedProfile.width > 0 ? requestedProfile.width : sourceWidth,
                                             requestedProfile.height > 0 ? requestedProfile.height : sourceHeight);
    auto opened = VideoEncoder::open(settings);
    if (!opened.encoder) {
        report(onError, "encoder unavailable: " + opened.error);
        return;
    }
    encoderOpenNs_.store(lifecycleQueue->clock().uptimeNs());
    opened.encoder->setCloseQueue(closeQueue);
    std::weak_ptr<HostVideoCapture> weakSelf = weak_from_this();
    opened.encoder->onStatus = [weakSelf](const std::string& text) {
        if (auto self = weakSelf.lock()) self->report(self->onStatus, text);
    };
    const auto config = opened.encoder->config();
    if (!config.fallback.empty()) report(onStatus, "encoder fallback: " + config.fallback);
    {
        std::lock_guard lock(encoderInputLock_);
        encoderInput_ = PictureShape{config.width, config.height, opened.encoder->inputPixelFormat()};
    }
    {
        std::lock_guard lock(encoderLock_);
        encoder_ = opened.encoder;
    }
    capturedDisplayID_.store(target->displayID);

    StreamConfiguration streamConfiguration;
    streamConfiguration.width = sourceWidth;
    streamConfiguration.height = sourceHeight;
    streamConfiguration.pixelFormat = CapturePixelFormat::bgra;
    streamConfiguration.minimumFrameInterval = 1.0 / static_cast<double>(fps);
    auto stream = screenCapture_->makeStream(target->displayID, streamConfiguration);
    stream->addScreenOutput(captureQueue, [weakSelf](const CapturedFrame& frame) {
        if (auto self = weakSelf.lock()) self->handleFrame(frame);
    });
    stream->setStopHandler([weakSelf](const std::string& error) {
        if (auto self = weakSelf.lock()) self->report(self->onError, "capture stream stopped: " + error);
    });
    stream_ = stream;

    const std::string summary = "capture started display=" + std::to_string(target->displayID) + " source=" +
                                std::to_string(sourceWidth) + "x" + std::to_string(sourceHeight) + " stream=" +
                                std::to_string(config.width) + "x" + std::to_string(config.height) + " " +
                                codecTitle(config.codec) + " " + chromaTitle(config.chromaMode) + " " +
                                std::to_string(config.fps) + " fps " + std::to_string(config.bitrate) + " bps (" +
                                config.encoderName + ")";
    // The completion may come from another thread; its work belongs on the lifecycle queue.
    stream->startCapture([weakSelf, stream, summary](const std::optional<std::string>& error) {
        auto self = weakSelf.lock();
        if (!self) return;
        auto finish = [self, stream, error, summary] {
            if (!error) {
                self->report(self->onStatus, summary);
                return;
            }
            if (self->stream_ == stream) self->stream_.reset();
            {
                std::lock_guard lock(self->encoderLock_);
                self->encoder_.reset();
            }
            self->report(self->onError, "capture failed to start: " + *error);
        };
        if (self->lifecycleQueue->isCurrent()) {
            finish();
        } else {
            self->lifecycleQueue->async(finish);
        }
    });
}

void HostVideoCapture::stop(bool wait) {
    stopped_.store(true);
    auto streamStopped = std::make_shared<std::promise<void>>();
    auto future = streamStopped->get_future();
    auto self = weak_from_this().lock();
    if (!wait && self) {
        // Holds the capture until the stream is stopped, even when the owner lets go right away.
        lifecycleQueue->async([self, streamStopped] { self->stopOnLifecycleQueue(streamStopped); });
        return;
    }
    lifecycleQueue->syncInline([&] { stopOnLifecycleQueue(streamStopped); });
    if (!wait) return;
    future.wait_for(std::chrono::seconds(2));
    // Let the frame being converted, then the one being encoded, finish: after this no callback
    // runs. The capture queue goes first because its frame may still hand a picture over.
    captureQueue->syncInline([] {});
    encodeQueue->syncInline([] {});
}

void HostVideoCapture::stopOnLifecycleQueue(const std::shared_ptr<std::promise<void>>& streamStopped) {
    auto stream = std::move(stream_);
    stream_.reset();
    {
        std::lock_guard lock(encoderLock_);
        encoder_.reset();
    }
    if (!stream) {
        streamStopped->set_value();
        return;
    }
    auto once = std::make_shared<std::once_flag>();
    stream->stopCapture([streamStopped, once](const std::optional<std::string>&) {
        std::call_once(*once, [&] { streamStopped->set_value(); });
    });
}

void HostVideoCapture::updateRateControl(std::int64_t fps, std::int64_t bitrate) {
    std::weak_ptr<HostVideoCapture> weakSelf = weak_from_this();
    lifecycleQueue->async([weakSelf, fps, bitrate] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (auto encoder = self->encoder()) encoder->updateRateControl(fps, bitrate);
    });
}

void HostVideoCapture::noteChangedRegion(const CapturedFrame& frame) {
    if (frame.unchanged || !changedSinceScaled_) return;
    if (!frame.changedRegion || changedSinceScaled_->size() + frame.changedRegion->size() > 64) {
        changedSinceScaled_.reset();
        return;
    }
    changedSinceScaled_->insert(changedSinceScaled_->end(), frame.changedRegion->begin(), frame.changedRegion->end());
}

void HostVideoCapture::handleFrame(const CapturedFrame& frame) {
    if (stopped_.load() || !frame.pixelBuffer) return;
    framesCaptured_.add(1);
    ++framesSinceStart_;
    noteChangedRegion(frame);
    if (encodeBlocked_.load()) {
        framesDropped_.add(1);
        if (!frame.unchanged) lastPicture_.reset();  // the screen moved on without the Viewers
        return;
    }
    if (!encoder()) return;
    PictureShape shape;
    {
        std::lock_guard lock(encoderInputLock_);
        shape = encoderInput_;
    }
    const PixelBuffer& source = *frame.pixelBuffer;
    std::optional<Rect> region;
    if (requestedProfile.mode == VideoCaptureMode::max) {
        std::lock_guard lock(viewportROILock_);
        region = viewportROINormalized_;
    }
    const PixelCrop crop = cropForNormalizedRegion(region, source.width, source.height);
    const int backlog = encoderBacklog(startPhase(), startBacklog_.load(),
                                       nextFrameNumberOut_.load() - oldestUnacknowledged_.load());

    // The same picture as last time, converted for the same encoder input: reuse it, and only as
    // often as the Viewers need it.
    if (frame.unchanged && lastPicture_ && crop == lastCrop_ && shape == lastShape_) {
        ++unchangedRun_;
        const double fps = static_cast<double>(requestedProfile.fps > 0 ? requestedProfile.fps : 60);
        const auto settleFrames = static_cast<std::int64_t>(std::lround(stillSettleSeconds * fps));
        const auto repeatFrames = std::max<std::int64_t>(1, std::lround(stillRepeatSeconds * fps));
        const bool wanted = isKeyframeRequested() || unchangedRun_ <= settleFrames ||
                            (unchangedRun_ - settleFrames) % repeatFrames == 0;
        if (!wanted) {
            framesUnchanged_.add(1);
            return;
        }
        if (picturesInEncoder_.load() >= backlog) {
            framesDropped_.add(1);
            return;
        }
        handOver(lastPicture_, frame.uptimeNs);
        return;
    }
    unchangedRun_ = 0;

    if (picturesInEncoder_.load() >= backlog) {
        framesDropped_.add(1);
        lastPicture_.reset();  // what the Viewers have is no longer what is on screen
        return;
    }
    const AVFrame* picture = scaler_.scale(source, crop, shape.width, shape.height, shape.format, changedSinceScaled_);
    changedSinceScaled_.emplace();
    if (!picture) {
        lastPicture_.reset();
        if (!scaleFailureReported_) {
            report(onError, "frame " + std::to_string(source.width) + "x" + std::to_string(source.height) +
                                " could not be scaled to " + std::to_string(shape.width) + "x" +
                                std::to_string(shape.height));
        }
        scaleFailureReported_ = true;
        return;
    }
    scaleFailureReported_ = false;

    // A reference of its own keeps the planes intact while the scaler converts the next frames
    // into its other pictures.
    std::shared_ptr<AVFrame> handed(av_frame_clone(picture), [](AVFrame* f) { av_frame_free(&f); });
    if (!handed) {
        lastPicture_.reset();
        return;
    }
    lastPicture_ = handed;
    lastCrop_ = crop;
    lastShape_ = shape;
    handOver(std::move(handed), frame.uptimeNs);
}

HostVideoCapture::StartPhase HostVideoCapture::startPhase() {
    if (startOver_) return StartPhase::started;
    if (!firstPictureEncoded_.load()) return StartPhase::firstPicture;
    // Caught up: at most the picture being encoded is left of the start backlog. A stream whose
    // encoder cannot catch up within its first second keeps the usual backlog from then on, so
    // that it does not run a second or more behind the screen.
    const auto fps = requestedProfile.fps > 0 ? requestedProfile.fps : 60;
    if (picturesInEncoder_.load() <= 1 || framesSinceStart_ > fps) startOver_ = true;
    return startOver_ ? StartPhase::started : StartPhase::catchingUp;
}

void HostVideoCapture::handOver(std::shared_ptr<AVFrame> picture, std::uint64_t uptimeNs) {
    picturesInEncoder_.fetch_add(1);
    std::weak_ptr<HostVideoCapture> weakSelf = weak_from_this();
    encodeQueue->async([weakSelf, picture = std::move(picture), uptimeNs]() mutable {
        if (auto self = weakSelf.lock()) self->encodeFrame(std::move(picture), uptimeNs);
    });
}

void HostVideoCapture::encodeFrame(std::shared_ptr<AVFrame> picture, std::uint64_t uptimeNs) {
    auto encoder = this->encoder();
    std::optional<VideoEncoder::EncodeResult> result;
    bool forceKeyFrame = false;
    if (encoder && !stopped_.load() && fitsEncoderInput(*picture)) {
        forceKeyFrame = forceKeyFrameRequested_.exchange(0) != 0;
        result = encoder->encode(*picture, uptimeNs, forceKeyFrame);
        noteEncoderInput(*encoder);
        if (!result->error) firstPictureEncoded_.store(true);
    }
    // The encoder is done with the picture: released before the count drops, so that the scaler
    // finds it free again and the capture queue may hand over the next frame while the access
    // units go out.
    picture.reset();
    picturesInEncoder_.fetch_sub(1);
    if (!result) return;

    if (result->error) {
        // One report per run of failures, not one per frame.
        if (!encodeFailureReported_) report(onError, *result->error);
        encodeFailureReported_ = true;
        if (forceKeyFrame && result->frames.empty()) forceKeyFrameRequested_.store(1);
    } else {
        encodeFailureReported_ = false;
    }
    for (auto& encoded : result->frames) {
        if (stopped_.load()) return;
        const auto generation = encoder->configGeneration();
        if (generation != deliveredConfigGeneration_) {
            deliveredConfigGeneration_ = generation;
            if (onConfig) onConfig(encoder->config());
        }
        if (encoded.frameNumber == 0) reportFirstPicture(encoded);
        framesEncoded_.add(1);
        // Counted before it goes, so that it is unacknowledged until the server says otherwise.
        nextFrameNumberOut_.store(std::max(nextFrameNumberOut_.load(), encoded.frameNumber + 1));
        if (onFrame) onFrame(std::move(encoded));
    }
}

void HostVideoCapture::reportFirstPicture(const EncodedVideoFrame& frame) {
    const std::uint64_t began = startBeganNs_.load(), open = encoderOpenNs_.load();
    const std::uint64_t now = encodeQueue->clock().uptimeNs();
    auto ms = [](std::uint64_t from, std::uint64_t to) {
        return to >= from ? static_cast<double>(to - from) / 1e6 : 0.0;
    };
    char line[240];
    std::snprintf(line, sizeof line,
                  "first picture after %.1f ms: encoder open %.1f ms, first frame %.1f ms later, encoded in %.1f ms "
                  "(%zu kB) %.1f ms after it was captured",
                  ms(began, now), ms(began, open), ms(open, frame.captureUptimeNs),
                  static_cast<double>(frame.encodeDurationNs) / 1e6, frame.data().size() / 1000,
                  ms(frame.captureUptimeNs, now));
    report(onStatus, line);
}

bool HostVideoCapture::fitsEncoderInput(const AVFrame& picture) const {
    // A picture converted before the encoder reopened with another input is left out rather than
    // reported as a failure: the next frame is converted for the new input.
    std::lock_guard lock(encoderInputLock_);
    return picture.width == encoderInput_.width && picture.height == encoderInput_.height &&
           picture.format == encoderInput_.format;
}

void HostVideoCapture::noteEncoderInput(const VideoEncoder& encoder) {
    const auto generation = encoder.configGeneration();
    if (generation == inputGeneration_) return;
    inputGeneration_ = generation;
    const auto config = encoder.config();
    std::lock_guard lock(encoderInputLock_);
    encoderInput_ = PictureShape{config.width, config.height, encoder.inputPixelFormat()};
}

std::optional<Rect> HostVideoCapture::viewportROI() const {
    std::lock_guard lock(viewportROILock_);
    return viewportROINormalized_;
}

HostVideoCapture::Statistics HostVideoCapture::statistics() const {
    return {framesCaptured_.load(), framesEncoded_.load(), framesDropped_.load(), framesUnchanged_.load()};
}

HostVideoCapture::Statistics HostVideoCapture::takeStatistics() {
    return {framesCaptured_.exchange(0), framesEncoded_.exchange(0), framesDropped_.exchange(0),
            framesUnchanged_.exchange(0)};
}

}  // namespace qm
