#include "Platform/AudioCapture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <numbers>

namespace qm {

namespace {

// Writes one sample of the given format at `out`.
void writeSample(const AudioStreamBasicDescription& format, double value, std::uint8_t* out) {
    const bool isFloat = (format.mFormatFlags & AudioFormatFlags::isFloat) != 0;
    if (isFloat && format.mBitsPerChannel == 32) {
        const float v = static_cast<float>(value);
        std::memcpy(out, &v, 4);
    } else if (format.mBitsPerChannel == 16) {
        const auto v = static_cast<std::int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * 32767.0));
        std::memcpy(out, &v, 2);
    } else if (format.mBitsPerChannel == 32) {
        const auto v = static_cast<std::int32_t>(std::llround(std::clamp(value, -1.0, 1.0) * 2147483647.0));
        std::memcpy(out, &v, 4);
    }
}

}  // namespace

AudioSampleBuffer makeToneBuffer(const AudioStreamBasicDescription& format, bool planar, double frequency,
                                 double amplitude, std::uint64_t firstFrame, std::size_t frames,
                                 double presentationTimeSeconds) {
    AudioSampleBuffer buffer;
    buffer.format = format;
    buffer.presentationTimeSeconds = presentationTimeSeconds;
    const std::size_t channels = format.mChannelsPerFrame;
    const std::size_t bytesPerSample = format.mBitsPerChannel / 8;
    if (channels == 0 || bytesPerSample == 0) return buffer;
    if (planar) {
        buffer.buffers.resize(channels);
        for (auto& b : buffer.buffers) b.data.resize(frames * bytesPerSample);
    } else {
        buffer.buffers.resize(1);
        buffer.buffers[0].data.resize(frames * channels * bytesPerSample);
    }
    const double sampleRate = format.mSampleRate > 0 ? format.mSampleRate : 48000;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(firstFrame + i) / sampleRate;
        const double value = amplitude * std::sin(2 * std::numbers::pi * frequency * t);
        for (std::size_t c = 0; c < channels; ++c) {
            std::uint8_t* out = planar ? buffer.buffers[c].data.data() + i * bytesPerSample
                                       : buffer.buffers[0].data.data() + (i * channels + c) * bytesPerSample;
            writeSample(format, value, out);
        }
    }
    return buffer;
}

namespace {

class SimulatedAudioStream;

}  // namespace

struct SimulatedAudioCapture::State {
    std::shared_ptr<const DisplayService> displays;
    mutable std::mutex mutex;
    Script script;
    std::map<DisplayID, int> hidden;
    std::int64_t started = 0;
    std::int64_t queries = 0;
    std::optional<AudioStreamConfiguration> lastConfiguration;
    std::optional<DisplayID> lastDisplay;
    std::vector<std::weak_ptr<SimulatedAudioStream>> streams;
};

namespace {

class SimulatedAudioStream final : public AudioCaptureStream, public std::enable_shared_from_this<SimulatedAudioStream> {
public:
    SimulatedAudioStream(std::shared_ptr<SimulatedAudioCapture::State> state, DisplayID displayID,
                         AudioStreamConfiguration configuration)
        : state_(std::move(state)), displayID_(displayID), configuration_(configuration) {}

    DisplayID displayID() const override { return displayID_; }

    std::optional<std::string> addAudioOutput(DispatchQueuePtr queue, OutputHandler handler) override {
        std::lock_guard lock(state_->mutex);
        if (state_->script.addOutputError) return state_->script.addOutputError;
        queue_ = std::move(queue);
        handler_ = std::move(handler);
        return std::nullopt;
    }

    void removeAudioOutput() override {
        std::lock_guard lock(mutex_);
        handler_ = nullptr;
    }

    void setStopHandler(std::function<void(const std::string&)> handler) override {
        std::lock_guard lock(mutex_);
        stopHandler_ = std::move(handler);
    }

    void startCapture(Completion completion) override {
        SimulatedAudioCapture::Script script;
        {
            std::lock_guard lock(state_->mutex);
            script = state_->script;
        }
        script_ = script;
        if (!queue_ || script.startDelaySeconds <= 0) {
            finishStart(std::move(completion));
            return;
        }
        std::weak_ptr<SimulatedAudioStream> weak = shared_from_this();
        queue_->asyncAfter(script.startDelaySeconds, [weak, completion = std::move(completion)]() mutable {
            if (auto self = weak.lock()) {
                self->finishStart(std::move(completion));
            } else {
                completion(std::string("stream released before it started"));
            }
        });
    }

    void stopCapture(Completion completion) override {
        DispatchWorkItemPtr pending;
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            running_ = false;
            pending = std::move(pending_);
        }
        if (pending) pending->cancel();
        if (completion) completion(std::nullopt);
    }

    bool isRunning() const {
        std::lock_guard lock(mutex_);
        return running_;
    }

    void failBySystem(const std::string& reason) {
        std::function<void(const std::string&)> handler;
        {
            std::lock_guard lock(mutex_);
            if (!running_) return;
            running_ = false;
            if (pending_) pending_->cancel();
            pending_.reset();
            handler = stopHandler_;
        }
        if (handler) handler(reason);
    }

    void deliver(const AudioSampleBuffer& buffer, StreamOutputType type) {
        if (!queue_) return;
        std::weak_ptr<SimulatedAudioStream> weak = shared_from_this();
        queue_->async([weak, buffer, type] {
            if (auto self = weak.lock()) self->handOver(buffer, type);
        });
    }

private:
    void finishStart(Completion completion) {
        std::optional<std::string> error;
        {
            std::lock_guard lock(mutex_);
            if (stopped_) {
                error = "stream stopped before it started";
            } else if (script_.startError) {
                error = script_.startError;
            } else {
                running_ = true;
            }
        }
        if (!error) {
            std::lock_guard lock(state_->mutex);
            ++state_->started;
            state_->lastConfiguration = configuration_;
            state_->lastDisplay = displayID_;
        }
        if (!error) arm();
        completion(error);
    }

    void arm() {
        if (!queue_ || script_.signal == SimulatedAudioCapture::Signal::noBuffers) return;
        std::weak_ptr<SimulatedAudioStream> weak = shared_from_this();
        auto item = std::make_shared<DispatchWorkItem>([weak] {
            if (auto self = weak.lock()) self->tick();
        });
        {
            std::lock_guard lock(mutex_);
            if (!running_) return;
            pending_ = item;
        }
        // Buffers are due on a fixed grid from the first one, so a late tick does not push every
        // later buffer back: the stream keeps 48,000 frames per second of uptime.
        const std::uint64_t now = queue_->clock().uptimeNs();
        if (!firstDueNs_) firstDueNs_ = now + static_cast<std::uint64_t>(std::llround(script_.bufferSeconds * 1e9));
        const std::uint64_t due = *firstDueNs_ + nextFrame_ * 1'000'000'000ULL / 48000;
        queue_->asyncAfter(due > now ? static_cast<double>(due - now) / 1e9 : 0.0, item);
    }

    void tick() {
        const auto frames = static_cast<std::size_t>(std::llround(script_.bufferSeconds * 48000));
        // The uptime at which the buffer's first frame was due.
        const double pts = static_cast<double>(*firstDueNs_ + nextFrame_ * 1'000'000'000ULL / 48000) / 1e9;
        const double amplitude = script_.signal == SimulatedAudioCapture::Signal::silence ? 0 : script_.toneAmplitude;
        auto buffer = makeToneBuffer(script_.format, script_.planar, script_.toneFrequency, amplitude, nextFrame_,
                                     frames, pts);
        nextFrame_ += frames;
        handOver(buffer, StreamOutputType::audio);
        arm();
    }

    void handOver(const AudioSampleBuffer& buffer, StreamOutputType type) {
        OutputHandler handler;
        {
            std::lock_guard lock(mutex_);
            if (!running_) return;
            handler = handler_;
        }
        if (handler) handler(buffer, type);
    }

    std::shared_ptr<SimulatedAudioCapture::State> state_;
    DisplayID displayID_;
    AudioStreamConfiguration configuration_;
    SimulatedAudioCapture::Script script_;
    DispatchQueuePtr queue_;
    mutable std::mutex mutex_;
    OutputHandler handler_;
    std::function<void(const std::string&)> stopHandler_;
    DispatchWorkItemPtr pending_;
    bool running_ = false;
    bool stopped_ = false;
    std::uint64_t nextFrame_ = 0;
    std::optional<std::uint64_t> firstDueNs_;
};

}  // namespace

SimulatedAudioCapture::SimulatedAudioCapture(std::shared_ptr<const DisplayService> displays)
    : state_(std::make_shared<State>()) {
    state_->displays = std::move(displays);
}

ShareableContentResult SimulatedAudioCapture::shareableContent(bool) {
    std::lock_guard lock(state_->mutex);
    ++state_->queries;
    if (state_->script.contentError) return {std::nullopt, *state_->script.contentError};
    ShareableContent content;
    if (state_->displays) {
        for (const auto& display : state_->displays->onlineDisplays()) {
            auto hidden = state_->hidden.find(display.displayID);
            if (hidden != state_->hidden.end() && hidden->second > 0) {
                --hidden->second;
                continue;
            }
            ShareableDisplay shareable;
            shareable.displayID = display.displayID;
            shareable.frame = state_->displays->bounds(display.displayID);
            shareable.width = static_cast<std::int64_t>(shareable.frame.size.width);
            shareable.height = static_cast<std::int64_t>(shareable.frame.size.height);
            content.displays.push_back(shareable);
        }
    }
    return {content, {}};
}

DisplayID SimulatedAudioCapture::mainDisplayID() const {
    return state_->displays ? state_->displays->mainDisplayID() : 0;
}

std::shared_ptr<AudioCaptureStream> SimulatedAudioCapture::makeStream(const ShareableDisplay& display,
                                                                      const AudioStreamConfiguration& configuration) {
    auto stream = std::make_shared<SimulatedAudioStream>(state_, display.displayID, configuration);
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->streams, [](const auto& weak) { return weak.expired(); });
    state_->streams.push_back(stream);
    return stream;
}

void SimulatedAudioCapture::setScript(Script script) {
    std::lock_guard lock(state_->mutex);
    state_->script = std::move(script);
}

SimulatedAudioCapture::Script SimulatedAudioCapture::script() const {
    std::lock_guard lock(state_->mutex);
    return state_->script;
}

void SimulatedAudioCapture::hideDisplay(DisplayID displayID, int queries) {
    std::lock_guard lock(state_->mutex);
    state_->hidden[displayID] = queries;
}

namespace {
std::vector<std::shared_ptr<SimulatedAudioStream>> liveStreams(SimulatedAudioCapture::State& state) {
    std::lock_guard lock(state.mutex);
    std::vector<std::shared_ptr<SimulatedAudioStream>> result;
    for (const auto& weak : state.streams) {
        if (auto stream = weak.lock()) result.push_back(stream);
    }
    return result;
}
}  // namespace

void SimulatedAudioCapture::failRunningStreams(const std::string& reason) {
    for (const auto& stream : liveStreams(*state_)) stream->failBySystem(reason);
}

void SimulatedAudioCapture::deliver(const AudioSampleBuffer& buffer, StreamOutputType type) {
    for (const auto& stream : liveStreams(*state_)) {
        if (stream->isRunning()) stream->deliver(buffer, type);
    }
}

std::int64_t SimulatedAudioCapture::runningStreamCount() const {
    std::int64_t count = 0;
    for (const auto& stream : liveStreams(*state_)) count += stream->isRunning() ? 1 : 0;
    return count;
}

std::int64_t SimulatedAudioCapture::startedStreamCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->started;
}

std::int64_t SimulatedAudioCapture::contentQueryCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->queries;
}

std::optional<AudioStreamConfiguration> SimulatedAudioCapture::lastStartedConfiguration() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastConfiguration;
}

std::optional<DisplayID> SimulatedAudioCapture::lastStartedDisplayID() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastDisplay;
}

bool SimulatedScreenCaptureAccess::preflight() {
    std::lock_guard lock(mutex_);
    return granted_;
}

bool SimulatedScreenCaptureAccess::request() {
    std::lock_guard lock(mutex_);
    ++requests_;
    if (grantOnRequest_) granted_ = true;
    return granted_;
}

void SimulatedScreenCaptureAccess::setGranted(bool granted) {
    std::lock_guard lock(mutex_);
    granted_ = granted;
}

void SimulatedScreenCaptureAccess::setGrantOnRequest(bool grant) {
    std::lock_guard lock(mutex_);
    grantOnRequest_ = grant;
}

std::int64_t SimulatedScreenCaptureAccess::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace qm
