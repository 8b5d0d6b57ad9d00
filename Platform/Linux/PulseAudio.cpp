#include "Platform/Linux/PulseAudio.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/AudioStreamClock.h"

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
    PulseAudioCaptureStream(DisplayID displayID, std::shared_ptr<PulseAudioRouting> routing)
        : displayID_(displayID), routing_(std::move(routing)), shared_(std::make_shared<PulseStreamShared>()) {}

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
        std::thread(record, shared_, routing_, std::move(completion)).detach();
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
    static void record(std::shared_ptr<PulseStreamShared> shared, std::shared_ptr<PulseAudioRouting> routing,
                       Completion started) {
        pa_sample_spec sampleFormat{};
        sampleFormat.format = PA_SAMPLE_FLOAT32NE;
        sampleFormat.rate = 48000;
        sampleFormat.channels = 2;
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = kBytesPerRead;
        int error = 0;
        std::uint64_t generation = routing ? routing->generation() : 0;
        const auto open = [&](const std::string& source) {
            return pa_simple_new(nullptr, "QuillmereHost", PA_STREAM_RECORD, source.c_str(), "system audio",
                                 &sampleFormat, nullptr, &attr, &error);
        };
        pa_simple* simple = open(routing ? routing->source() : PulseAudioRouting::defaultSource);
        // The stream records from the moment it is ready: nothing the server holds for it is older.
        const auto openedNs = static_cast<std::int64_t>(SystemClock::shared()->uptimeNs());
        std::optional<std::string> startError;
        if (!simple) startError = std::string("PulseAudio monitor capture failed: ") + pa_strerror(error);
        {
            std::lock_guard lock(shared->mutex);
            if (!startError && shared->stopRequested) startError = "PulseAudio stream stopped before it started";
        }
        started(startError);
        std::optional<std::string> failure;
        // Stamps follow the stream position. Scheduling of the sound server and of this thread
        // under load (a starved server delivers a quarter of a second late, yet without a gap in
        // the sound) must not move them; lost samples and a drifting sound card clock do.
        AudioStreamClock streamClock;
        streamClock.start(openedNs);
        if (!startError) {
            for (;;) {
                {
                    std::lock_guard lock(shared->mutex);
                    if (shared->stopRequested) break;
                }
                if (routing && routing->generation() != generation) {
                    // The output went quiet or came back: record where the sound now goes.
                    generation = routing->generation();
                    pa_simple_free(simple);
                    simple = open(routing->source());
                    streamClock.start(static_cast<std::int64_t>(SystemClock::shared()->uptimeNs()));
                    if (!simple) {
                        failure = std::string("PulseAudio monitor capture failed: ") + pa_strerror(error);
                        break;
                    }
                }
                Bytes data(kBytesPerRead);
                const auto readStartNs = static_cast<std::int64_t>(SystemClock::shared()->uptimeNs());
                if (pa_simple_read(simple, data.data(), data.size(), &error) < 0) {
                    failure = std::string("PulseAudio read failed: ") + pa_strerror(error);
                    break;
                }
                // When this block's first sample was recorded, by the clock: now, less what the
                // server still holds, less the block itself. How long the read waited tells
                // whether the server was holding anything at all.
                int latencyError = 0;
                const auto readEndNs = static_cast<std::int64_t>(SystemClock::shared()->uptimeNs());
                const pa_usec_t latencyUs = pa_simple_get_latency(simple, &latencyError);
                const auto nowNs = static_cast<std::int64_t>(SystemClock::shared()->uptimeNs());
                const auto latencyNs = latencyUs == static_cast<pa_usec_t>(-1)
                                           ? std::nullopt
                                           : std::optional(static_cast<std::int64_t>(latencyUs) * 1000);
                const std::int64_t stampNs =
                    streamClock.place(nowNs, latencyNs, kFramesPerRead, readEndNs - readStartNs);
                AudioSampleBuffer buffer;
                buffer.format = AudioStreamBasicDescription{48000, AudioFormatFlags::isFloat, 32, 2};
                buffer.presentationTimeSeconds = static_cast<double>(stampNs) / 1e9;
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
    std::shared_ptr<PulseAudioRouting> routing_;
    std::shared_ptr<PulseStreamShared> shared_;
};

}  // namespace

std::string PulseAudioRouting::source() const {
    std::lock_guard lock(mutex_);
    return source_;
}

std::uint64_t PulseAudioRouting::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

void PulseAudioRouting::setSource(const std::string& source) {
    std::lock_guard lock(mutex_);
    if (source == source_) return;
    source_ = source;
    ++generation_;
}

PulseAudioCapture::PulseAudioCapture(std::shared_ptr<const DisplayService> displays,
                                     std::shared_ptr<PulseAudioRouting> routing)
    : displays_(std::move(displays)), routing_(std::move(routing)) {}

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
    return std::make_shared<PulseAudioCaptureStream>(display.displayID, routing_);
}

// ---- Output device --------------------------------------------------------------------------

namespace {

constexpr const char* kQuietSinkName = "quillmere_quiet";

}  // namespace

struct PulseAudioOutputDevices::Impl {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    std::shared_ptr<PulseAudioRouting> routing;
    // While the output is quiet: the sink whose streams were moved away (its device id), the
    // null sink's module and index.
    AudioObjectID quietDevice = 0;
    std::uint32_t quietModule = PA_INVALID_INDEX;
    std::uint32_t quietSink = PA_INVALID_INDEX;

    ~Impl() {
        if (loop) {
            pa_threaded_mainloop_lock(loop);
            if (quietDevice != 0 && ready()) endQuiet();
            pa_threaded_mainloop_unlock(loop);
            pa_threaded_mainloop_stop(loop);
        }
        dropContext();
        if (loop) pa_threaded_mainloop_free(loop);
    }

    // All of the following run with the loop locked.

    void dropContext() {
        if (!context) return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    bool contextGood() const { return context && pa_context_get_state(context) == PA_CONTEXT_READY; }

    // A ready connection, made again when the server went away; false (with the reason) when no
    // server answers.
    bool ready(std::string* error = nullptr) {
        if (contextGood()) return true;
        if (context) {
            // The server restarted or stopped: whatever was quiet went with it.
            dropContext();
            forgetQuiet();
        }
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "QuillmereHost");
        if (!context) {
            if (error) *error = "cannot create a PulseAudio context";
            return false;
        }
        pa_context_set_state_callback(
            context, [](pa_context*, void* l) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0); },
            loop);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            if (error) *error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(context));
            dropContext();
            return false;
        }
        for (;;) {
            const auto state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                if (error) *error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(context));
                dropContext();
                return false;
            }
            pa_threaded_mainloop_wait(loop);
        }
        pa_context_set_subscribe_callback(context, subscribeCallback, this);
        pa_operation* op = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr);
        if (op) pa_operation_unref(op);
        return true;
    }

    void forgetQuiet() {
        quietDevice = 0;
        quietModule = PA_INVALID_INDEX;
        quietSink = PA_INVALID_INDEX;
        if (routing) routing->setSource(PulseAudioRouting::defaultSource);
    }

    // Waits until the operation is done or the connection broke.
    bool wait(pa_operation* op) {
        if (!op) return false;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && contextGood()) pa_threaded_mainloop_wait(loop);
        const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        // Its callback points into the caller's stack: it must never run after this returns.
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
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

    // A playback stream that starts while the output is quiet joins the others on the quiet sink.
    static void subscribeCallback(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                                  void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (self->quietDevice == 0) return;
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT ||
            (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_NEW) {
            return;
        }
        pa_operation* op = pa_context_get_sink_input_info(
            context, index,
            [](pa_context* c, const pa_sink_input_info* info, int eol, void* data) {
                auto* impl = static_cast<Impl*>(data);
                if (eol != 0 || !info || impl->quietDevice == 0) return;
                if (info->sink == impl->quietDevice - 1) {
                    if (pa_operation* move = pa_context_move_sink_input_by_index(c, info->index, impl->quietSink, nullptr, nullptr)) {
                        pa_operation_unref(move);
                    }
                }
            },
            self);
        if (op) pa_operation_unref(op);
    }

    std::optional<SinkState> sinkLocked(const char* name, std::uint32_t index) {
        SinkState state;
        std::pair<Impl*, SinkState*> pair{this, &state};
        pa_operation* op = name ? pa_context_get_sink_info_by_name(context, name, sinkCallback, &pair)
                                : pa_context_get_sink_info_by_index(context, index, sinkCallback, &pair);
        if (!wait(op)) return std::nullopt;
        return state;
    }

    std::optional<SinkState> sink(AudioObjectID device) {
        if (device == 0) return std::nullopt;
        pa_threaded_mainloop_lock(loop);
        std::optional<SinkState> state;
        if (ready()) state = sinkLocked(nullptr, device - 1);
        pa_threaded_mainloop_unlock(loop);
        if (!state || !state->found) return std::nullopt;
        return state;
    }

    bool setVolume(AudioObjectID device, const pa_cvolume& volume) {
        bool success = false;
        std::pair<Impl*, bool*> pair{this, &success};
        pa_threaded_mainloop_lock(loop);
        const bool ok = ready() &&
                        wait(pa_context_set_sink_volume_by_index(context, device - 1, &volume, successCallback, &pair));
        pa_threaded_mainloop_unlock(loop);
        return ok && success;
    }

    // The playback streams on one sink.
    std::vector<std::uint32_t> sinkInputsOn(std::uint32_t sinkIndex) {
        struct Collect {
            Impl* impl;
            std::uint32_t sink;
            std::vector<std::uint32_t> inputs;
        } collect{this, sinkIndex, {}};
        pa_operation* op = pa_context_get_sink_input_info_list(
            context,
            [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
                auto* c = static_cast<Collect*>(data);
                if (eol == 0 && info && info->sink == c->sink) c->inputs.push_back(info->index);
                pa_threaded_mainloop_signal(c->impl->loop, 0);
            },
            &collect);
        wait(op);
        return collect.inputs;
    }

    bool moveAll(std::uint32_t fromSink, std::uint32_t toSink) {
        bool all = true;
        for (std::uint32_t input : sinkInputsOn(fromSink)) {
            bool success = false;
            std::pair<Impl*, bool*> pair{this, &success};
            // A stream that ended meanwhile is no failure.
            if (!wait(pa_context_move_sink_input_by_index(context, input, toSink, successCallback, &pair))) all = false;
        }
        return all && contextGood();
    }

    bool beginQuiet(AudioObjectID device) {
        if (quietDevice == device) return true;
        if (quietDevice != 0 && !endQuiet()) return false;
        struct Loaded {
            Impl* impl;
            std::uint32_t index = PA_INVALID_INDEX;
        } loaded{this};
        const std::string arguments = std::string("sink_name=") + kQuietSinkName +
                                      " rate=48000 sink_properties=device.description=Quillmere_quiet_output";
        pa_operation* op = pa_context_load_module(
            context, "module-null-sink", arguments.c_str(),
            [](pa_context*, std::uint32_t index, void* data) {
                auto* l = static_cast<Loaded*>(data);
                l->index = index;
                pa_threaded_mainloop_signal(l->impl->loop, 0);
            },
            &loaded);
        if (!wait(op) || loaded.index == PA_INVALID_INDEX) return false;
        const auto quiet = sinkLocked(kQuietSinkName, 0);
        if (!quiet || !quiet->found) {
            unloadModule(loaded.index);
            return false;
        }
        quietDevice = device;
        quietModule = loaded.index;
        quietSink = quiet->index;
        if (routing) routing->setSource(std::string(kQuietSinkName) + ".monitor");
        if (!moveAll(device - 1, quietSink)) {
            endQuiet();
            return false;
        }
        return true;
    }

    bool endQuiet() {
        if (quietDevice == 0) return true;
        const bool moved = moveAll(quietSink, quietDevice - 1);
        unloadModule(quietModule);
        forgetQuiet();
        return moved;
    }

    void unloadModule(std::uint32_t module) {
        bool success = false;
        std::pair<Impl*, bool*> pair{this, &success};
        wait(pa_context_unload_module(context, module, successCallback, &pair));
    }
};

std::shared_ptr<PulseAudioOutputDevices> PulseAudioOutputDevices::connectWhenNeeded(
    std::shared_ptr<PulseAudioRouting> routing) {
    auto impl = std::make_unique<Impl>();
    impl->routing = std::move(routing);
    impl->loop = pa_threaded_mainloop_new();
    if (!impl->loop || pa_threaded_mainloop_start(impl->loop) < 0) return nullptr;
    return std::shared_ptr<PulseAudioOutputDevices>(new PulseAudioOutputDevices(std::move(impl)));
}

std::shared_ptr<PulseAudioOutputDevices> PulseAudioOutputDevices::connect(std::string& error,
                                                                          std::shared_ptr<PulseAudioRouting> routing) {
    auto devices = connectWhenNeeded(std::move(routing));
    if (!devices) {
        error = "cannot start a PulseAudio main loop";
        return nullptr;
    }
    Impl& impl = *devices->impl_;
    pa_threaded_mainloop_lock(impl.loop);
    const bool ok = impl.ready(&error);
    pa_threaded_mainloop_unlock(impl.loop);
    if (!ok) return nullptr;
    return devices;
}

PulseAudioOutputDevices::PulseAudioOutputDevices(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PulseAudioOutputDevices::~PulseAudioOutputDevices() = default;

std::optional<AudioObjectID> PulseAudioOutputDevices::defaultOutputDevice() {
    pa_threaded_mainloop_lock(impl_->loop);
    std::optional<Impl::SinkState> state;
    if (impl_->ready()) state = impl_->sinkLocked("@DEFAULT_SINK@", 0);
    pa_threaded_mainloop_unlock(impl_->loop);
    if (!state) return std::nullopt;
    if (!state->found) return AudioObjectID{0};
    return state->index + 1;
}

std::optional<bool> PulseAudioOutputDevices::defaultMonitorSourceExists() {
    struct Found {
        Impl* impl;
        bool found = false;
    } found{impl_.get()};
    pa_threaded_mainloop_lock(impl_->loop);
    bool answered = false;
    if (impl_->ready()) {
        answered = impl_->wait(pa_context_get_source_info_by_name(
            impl_->context, PulseAudioRouting::defaultSource,
            [](pa_context*, const pa_source_info* info, int eol, void* data) {
                auto* f = static_cast<Found*>(data);
                if (eol == 0 && info) f->found = true;
                pa_threaded_mainloop_signal(f->impl->loop, 0);
            },
            &found));
    }
    pa_threaded_mainloop_unlock(impl_->loop);
    if (!answered) return std::nullopt;
    return found.found;
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
    if (element != 0 || device == 0) return std::nullopt;
    pa_threaded_mainloop_lock(impl_->loop);
    std::optional<std::uint32_t> value;
    if (impl_->ready()) {
        const auto sink = impl_->sinkLocked(nullptr, device - 1);
        if (sink && sink->found) value = impl_->quietDevice == device ? 1u : 0u;
    }
    pa_threaded_mainloop_unlock(impl_->loop);
    return value;
}

bool PulseAudioOutputDevices::setMuteValue(AudioObjectID device, std::uint32_t element, std::uint32_t value) {
    if (element != 0 || device == 0) return false;
    pa_threaded_mainloop_lock(impl_->loop);
    bool ok = false;
    if (impl_->ready()) {
        const auto sink = impl_->sinkLocked(nullptr, device - 1);
        if (sink && sink->found) {
            ok = value != 0 ? impl_->beginQuiet(device) : (impl_->quietDevice != device || impl_->endQuiet());
        }
    }
    pa_threaded_mainloop_unlock(impl_->loop);
    return ok;
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
