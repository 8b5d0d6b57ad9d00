#include "Platform/Linux/PulseAudio.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace qm {

// ---- Capture ----------------------------------------------------------------------------------

namespace {

constexpr std::uint32_t kFramesPerRead = 480;  // 10 ms at 48 kHz
constexpr std::size_t kBytesPerRead = kFramesPerRead * 2 * sizeof(float);

// What the recording thread and the stream object share. The thread keeps it alive until it ends.
struct PulseStreamShared {
    std::mutex mutex;
    DispatchQueuePtr queue;
    AudioCaptureStream::OutputHandler handler;
    std::function<void(const std::string&)> stopHandler;
    std::vector<AudioCaptureStream::Completion> stopCompletions;
    bool stopRequested = false;
    bool threadStarted = false;
    bool threadEnded = false;
};

class PulseAudioCaptureStream final : public AudioCaptureStream {
public:
    explicit PulseAudioCaptureStream(DisplayID displayID) : displayID_(displayID), shared_(std::make_shared<PulseStreamShared>()) {}

    ~PulseAudioCaptureStream() override {
        std::lock_guard lock(shared_->mutex);
        shared_->stopRequested = true;
        shared_->handler = nullptr;
        shared_->stopHandler = nullptr;
    }

    DisplayID displayID() const override { return displayID_; }

    std::optional<std::string> addAudioOutput(DispatchQueuePtr queue, OutputHandler handler) override {
        std::lock_guard lock(shared_->mutex);
        shared_->queue = std::move(queue);
        shared_->handler = std::move(handler);
        return std::nullopt;
    }

    void removeAudioOutput() override {
        std::lock_guard lock(shared_->mutex);
        shared_->handler = nullptr;
    }

    void setStopHandler(std::function<void(const std::string&)> handler) override {
        std::lock_guard lock(shared_->mutex);
        shared_->stopHandler = std::move(handler);
    }

    void startCapture(Completion completion) override {
        std::unique_lock lock(shared_->mutex);
        if (shared_->threadStarted || shared_->stopRequested) {
            lock.unlock();
            completion(std::string("PulseAudio stream cannot be started again"));
            return;
        }
        shared_->threadStarted = true;
        lock.unlock();
        std::thread(record, shared_, std::move(completion)).detach();
    }

    void stopCapture(Completion completion) override {
        std::unique_lock lock(shared_->mutex);
        shared_->stopRequested = true;
        if (!shared_->threadStarted || shared_->threadEnded) {
            lock.unlock();
            if (completion) completion(std::nullopt);
            return;
        }
        if (completion) shared_->stopCompletions.push_back(std::move(completion));
    }

private:
    static void record(std::shared_ptr<PulseStreamShared> shared, Completion started) {
        pa_sample_spec sampleFormat{};
        sampleFormat.format = PA_SAMPLE_FLOAT32NE;
        sampleFormat.rate = 48000;
        sampleFormat.channels = 2;
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = kBytesPerRead;
        int error = 0;
        pa_simple* simple = pa_simple_new(nullptr, "QuillmereHost", PA_STREAM_RECORD, "@DEFAULT_MONITOR@",
                                          "system audio", &sampleFormat, nullptr, &attr, &error);
        std::optional<std::string> startError;
        if (!simple) startError = std::string("PulseAudio monitor capture failed: ") + pa_strerror(error);
        {
            std::lock_guard lock(shared->mutex);
            if (!startError && shared->stopRequested) startError = "PulseAudio stream stopped before it started";
        }
        started(startError);
        std::optional<std::string> failure;
        if (!startError) {
            for (;;) {
                {
                    std::lock_guard lock(shared->mutex);
                    if (shared->stopRequested) break;
                }
                Bytes data(kBytesPerRead);
                if (pa_simple_read(simple, data.data(), data.size(), &error) < 0) {
                    failure = std::string("PulseAudio read failed: ") + pa_strerror(error);
                    break;
                }
                AudioSampleBuffer buffer;
                buffer.format = AudioStreamBasicDescription{48000, AudioFormatFlags::isFloat, 32, 2};
                buffer.presentationTimeSeconds = static_cast<double>(SystemClock::shared()->uptimeNs()) / 1e9;
                buffer.buffers.push_back(AudioBuffer{true, std::move(data)});
                std::lock_guard lock(shared->mutex);
                if (shared->stopRequested) break;
                if (shared->queue && shared->handler) {
                    shared->queue->async([shared, buffer = std::move(buffer)] {
                        AudioCaptureStream::OutputHandler handler;
                        {
                            std::lock_guard lock(shared->mutex);
                            if (shared->stopRequested) return;
                            handler = shared->handler;
                        }
                        if (handler) handler(buffer, StreamOutputType::audio);
                    });
                }
            }
        }
        if (simple) pa_simple_free(simple);
        std::function<void(const std::string&)> stopHandler;
        std::vector<Completion> completions;
        {
            std::lock_guard lock(shared->mutex);
            shared->threadEnded = true;
            if (failure && !shared->stopRequested) stopHandler = shared->stopHandler;
            completions.swap(shared->stopCompletions);
        }
        if (stopHandler) stopHandler(*failure);
        for (auto& completion : completions) completion(std::nullopt);
    }

    DisplayID displayID_;
    std::shared_ptr<PulseStreamShared> shared_;
};

}  // namespace

PulseAudioCapture::PulseAudioCapture(std::shared_ptr<const DisplayService> displays) : displays_(std::move(displays)) {}

ShareableContentResult PulseAudioCapture::shareableContent(bool) {
    ShareableContent content;
    if (displays_) {
        for (const auto& display : displays_->onlineDisplays()) {
            ShareableDisplay shareable;
            shareable.displayID = display.displayID;
            shareable.frame = displays_->bounds(display.displayID);
            shareable.width = static_cast<std::int64_t>(shareable.frame.size.width);
            shareable.height = static_cast<std::int64_t>(shareable.frame.size.height);
            content.displays.push_back(shareable);
        }
    }
    return {content, {}};
}

DisplayID PulseAudioCapture::mainDisplayID() const { return displays_ ? displays_->mainDisplayID() : 0; }

std::shared_ptr<AudioCaptureStream> PulseAudioCapture::makeStream(const ShareableDisplay& display,
                                                                  const AudioStreamConfiguration&) {
    return std::make_shared<PulseAudioCaptureStream>(display.displayID);
}

// ---- Output device --------------------------------------------------------------------------

struct PulseAudioOutputDevices::Impl {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;

    ~Impl() {
        if (loop) pa_threaded_mainloop_stop(loop);
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        if (loop) pa_threaded_mainloop_free(loop);
    }

    bool contextGood() const {
        return pa_context_get_state(context) == PA_CONTEXT_READY;
    }

    // Waits (with the loop locked) until the operation is done or the connection broke.
    bool wait(pa_operation* op) {
        if (!op) return false;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && contextGood()) pa_threaded_mainloop_wait(loop);
        const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        return done;
    }

    struct SinkState {
        std::uint32_t index = PA_INVALID_INDEX;
        bool mute = false;
        pa_cvolume volume{};
        bool found = false;
    };

    static void sinkCallback(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* pair = static_cast<std::pair<Impl*, SinkState*>*>(userdata);
        if (eol == 0 && info) {
            pair->second->index = info->index;
            pair->second->mute = info->mute != 0;
            pair->second->volume = info->volume;
            pair->second->found = true;
        }
        pa_threaded_mainloop_signal(pair->first->loop, 0);
    }

    static void successCallback(pa_context*, int success, void* userdata) {
        auto* pair = static_cast<std::pair<Impl*, bool*>*>(userdata);
        *pair->second = success != 0;
        pa_threaded_mainloop_signal(pair->first->loop, 0);
    }

    std::optional<SinkState> sink(AudioObjectID device) {
        if (device == 0) return std::nullopt;
        SinkState state;
        std::pair<Impl*, SinkState*> pair{this, &state};
        pa_threaded_mainloop_lock(loop);
        const bool ok = contextGood() &&
                        wait(pa_context_get_sink_info_by_index(context, device - 1, sinkCallback, &pair));
        pa_threaded_mainloop_unlock(loop);
        if (!ok || !state.found) return std::nullopt;
        return state;
    }

    bool setVolume(AudioObjectID device, const pa_cvolume& volume) {
        bool success = false;
        std::pair<Impl*, bool*> pair{this, &success};
        pa_threaded_mainloop_lock(loop);
        const bool ok = contextGood() &&
                        wait(pa_context_set_sink_volume_by_index(context, device - 1, &volume, successCallback, &pair));
        pa_threaded_mainloop_unlock(loop);
        return ok && success;
    }
};

std::shared_ptr<PulseAudioOutputDevices> PulseAudioOutputDevices::connect(std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->loop = pa_threaded_mainloop_new();
    if (!impl->loop) {
        error = "cannot create a PulseAudio main loop";
        return nullptr;
    }
    impl->context = pa_context_new(pa_threaded_mainloop_get_api(impl->loop), "QuillmereHost");
    if (!impl->context) {
        error = "cannot create a PulseAudio context";
        return nullptr;
    }
    pa_context_set_state_callback(
        impl->context, [](pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
        impl->loop);
    if (pa_context_connect(impl->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(impl->context));
        return nullptr;
    }
    pa_threaded_mainloop_lock(impl->loop);
    if (pa_threaded_mainloop_start(impl->loop) < 0) {
        pa_threaded_mainloop_unlock(impl->loop);
        error = "cannot start the PulseAudio main loop";
        return nullptr;
    }
    for (;;) {
        const auto state = pa_context_get_state(impl->context);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(impl->context));
            pa_threaded_mainloop_unlock(impl->loop);
            return nullptr;
        }
        pa_threaded_mainloop_wait(impl->loop);
    }
    pa_threaded_mainloop_unlock(impl->loop);
    return std::shared_ptr<PulseAudioOutputDevices>(new PulseAudioOutputDevices(std::move(impl)));
}

PulseAudioOutputDevices::PulseAudioOutputDevices(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PulseAudioOutputDevices::~PulseAudioOutputDevices() = default;

std::optional<AudioObjectID> PulseAudioOutputDevices::defaultOutputDevice() {
    Impl::SinkState state;
    std::pair<Impl*, Impl::SinkState*> pair{impl_.get(), &state};
    pa_threaded_mainloop_lock(impl_->loop);
    const bool ok = impl_->contextGood() &&
                    impl_->wait(pa_context_get_sink_info_by_name(impl_->context, "@DEFAULT_SINK@", Impl::sinkCallback, &pair));
    pa_threaded_mainloop_unlock(impl_->loop);
    if (!ok) return std::nullopt;
    if (!state.found) return AudioObjectID{0};
    return state.index + 1;
}

bool PulseAudioOutputDevices::hasProperty(AudioObjectID device, AudioOutputProperty property, std::uint32_t element) {
    auto sink = impl_->sink(device);
    if (!sink) return false;
    if (property == AudioOutputProperty::mute) return element == 0;
    return element <= sink->volume.channels;
}

std::optional<bool> PulseAudioOutputDevices::isPropertySettable(AudioObjectID device, AudioOutputProperty property,
                                                                std::uint32_t element) {
    if (!hasProperty(device, property, element)) return std::nullopt;
    return true;
}

std::optional<std::uint32_t> PulseAudioOutputDevices::muteValue(AudioObjectID device, std::uint32_t element) {
    if (element != 0) return std::nullopt;
    auto sink = impl_->sink(device);
    if (!sink) return std::nullopt;
    return sink->mute ? 1u : 0u;
}

bool PulseAudioOutputDevices::setMuteValue(AudioObjectID device, std::uint32_t element, std::uint32_t value) {
    if (element != 0 || device == 0) return false;
    bool success = false;
    std::pair<Impl*, bool*> pair{impl_.get(), &success};
    pa_threaded_mainloop_lock(impl_->loop);
    const bool ok = impl_->contextGood() &&
                    impl_->wait(pa_context_set_sink_mute_by_index(impl_->context, device - 1, value != 0 ? 1 : 0,
                                                                  Impl::successCallback, &pair));
    pa_threaded_mainloop_unlock(impl_->loop);
    return ok && success;
}

std::optional<float> PulseAudioOutputDevices::volumeScalar(AudioObjectID device, std::uint32_t element) {
    auto sink = impl_->sink(device);
    if (!sink || element > sink->volume.channels) return std::nullopt;
    const pa_volume_t v = element == 0 ? pa_cvolume_max(&sink->volume) : sink->volume.values[element - 1];
    return std::min(1.0f, static_cast<float>(v) / static_cast<float>(PA_VOLUME_NORM));
}

bool PulseAudioOutputDevices::setVolumeScalar(AudioObjectID device, std::uint32_t element, float value) {
    if (!(value >= 0.0f)) return false;
    auto sink = impl_->sink(device);
    if (!sink || element > sink->volume.channels) return false;
    const auto v = static_cast<pa_volume_t>(std::min(1.0f, value) * static_cast<float>(PA_VOLUME_NORM) + 0.5f);
    pa_cvolume volume = sink->volume;
    if (element == 0) {
        pa_cvolume_set(&volume, volume.channels, v);
    } else {
        volume.values[element - 1] = v;
    }
    return impl_->setVolume(device, volume);
}

}  // namespace qm
