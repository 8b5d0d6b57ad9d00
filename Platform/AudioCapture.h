#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Displays.h"
#include "Platform/ScreenCapture.h"

namespace qm {

// Sample-format flags of an audio stream description (the bits the Host looks at).
namespace AudioFormatFlags {
constexpr std::uint32_t isFloat = 0x1;
constexpr std::uint32_t isSignedInteger = 0x4;
constexpr std::uint32_t isNonInterleaved = 0x20;
}  // namespace AudioFormatFlags

// How the samples of an audio buffer are laid out. Samples are in the machine's byte order.
struct AudioStreamBasicDescription {
    double mSampleRate = 48000;
    std::uint32_t mFormatFlags = AudioFormatFlags::isFloat;
    std::uint32_t mBitsPerChannel = 32;
    std::uint32_t mChannelsPerFrame = 2;
};

// One buffer of a buffer list: all channels interleaved, or one channel of a planar layout.
// `hasData` false stands for a buffer whose data pointer is null.
struct AudioBuffer {
    bool hasData = true;
    Bytes data;
};

enum class StreamOutputType : std::uint8_t { screen, audio };

// One delivery of a capture stream's audio output.
struct AudioSampleBuffer {
    bool isValid = true;
    bool dataIsReady = true;
    double presentationTimeSeconds = 0;  // on the uptime clock; may be anything a stream reports
    std::optional<AudioStreamBasicDescription> format;
    // False when the buffer list cannot be fetched (the fetch reports an error status).
    bool bufferListAvailable = true;
    std::vector<AudioBuffer> buffers;
};

// What an audio stream is asked for. Nothing about video is configured: no screen output is added.
struct AudioStreamConfiguration {
    bool capturesAudio = true;
    bool excludesCurrentProcessAudio = false;
    std::int64_t sampleRate = 48000;
    std::int64_t channelCount = 2;
};

// A capture stream on one display that delivers the system's audio. Add the output and the stop
// handler before starting.
class AudioCaptureStream {
public:
    using Completion = std::function<void(const std::optional<std::string>& error)>;
    using OutputHandler = std::function<void(const AudioSampleBuffer&, StreamOutputType)>;

    virtual ~AudioCaptureStream() = default;
    virtual DisplayID displayID() const = 0;
    // Buffers go to `handler` on `sampleHandlerQueue`, one at a time, in order. Returns the error
    // text when the output cannot be added.
    virtual std::optional<std::string> addAudioOutput(DispatchQueuePtr sampleHandlerQueue, OutputHandler handler) = 0;
    // After this no buffer reaches the handler. Errors are not reported.
    virtual void removeAudioOutput() = 0;
    // Called (on any thread) when a running stream stops by itself, with the reason.
    virtual void setStopHandler(std::function<void(const std::string& error)> handler) = 0;
    // The completion runs on any thread, possibly inside the call. A stream stopped before its
    // start completed reports an error and never runs.
    virtual void startCapture(Completion completion) = 0;
    // Never blocks; the completion runs on any thread (possibly inside the call). After it ran,
    // no further buffer is delivered.
    virtual void stopCapture(Completion completion) = 0;
};

class AudioCaptureService {
public:
    virtual ~AudioCaptureService() = default;
    // The displays a stream may be built on. `onScreenWindowsOnly` mirrors the system's query.
    virtual ShareableContentResult shareableContent(bool onScreenWindowsOnly) = 0;
    virtual DisplayID mainDisplayID() const = 0;
    virtual std::shared_ptr<AudioCaptureStream> makeStream(const ShareableDisplay& display,
                                                           const AudioStreamConfiguration& configuration) = 0;
};

// Audio capture without an audio server: the Host's embedded default (a quiet tone, so a Viewer
// hears something) and what tests script. Displays come from the display service. Buffers are
// paced by delayed blocks on the output queue, so on a manual clock a test gets one buffer per
// buffer interval it advances.
class SimulatedAudioCapture final : public AudioCaptureService {
public:
    enum class Signal {
        tone,       // a sine tone at `toneFrequency`, `toneAmplitude`
        silence,    // buffers of zeros
        noBuffers,  // streams start and then deliver nothing
    };
    struct Script {
        Signal signal = Signal::tone;
        double toneFrequency = 440;
        double toneAmplitude = 0.05;
        double bufferSeconds = 0.01;  // 480 frames at 48 kHz
        // The form buffers arrive in; planar gives one buffer per channel.
        AudioStreamBasicDescription format{};
        bool planar = false;
        double startDelaySeconds = 0;               // a start completes after this long on the output queue
        std::optional<std::string> startError;      // every start fails with this text
        std::optional<std::string> addOutputError;  // adding the output fails with this text
        std::optional<std::string> contentError;    // every listing fails with this text
    };

    explicit SimulatedAudioCapture(std::shared_ptr<const DisplayService> displays);

    ShareableContentResult shareableContent(bool onScreenWindowsOnly) override;
    DisplayID mainDisplayID() const override;
    std::shared_ptr<AudioCaptureStream> makeStream(const ShareableDisplay& display,
                                                   const AudioStreamConfiguration& configuration) override;

    // Applies to streams started afterwards (listings at once).
    void setScript(Script script);
    Script script() const;
    // The display is left out of the next `queries` listings (a display the system lists late).
    void hideDisplay(DisplayID displayID, int queries);
    // Makes every running stream stop by itself with this reason.
    void failRunningStreams(const std::string& reason);
    // Delivers one buffer, as given, to every running stream's output (on its queue).
    void deliver(const AudioSampleBuffer& buffer, StreamOutputType type = StreamOutputType::audio);

    std::int64_t runningStreamCount() const;
    std::int64_t startedStreamCount() const;
    std::int64_t contentQueryCount() const;
    std::optional<AudioStreamConfiguration> lastStartedConfiguration() const;
    std::optional<DisplayID> lastStartedDisplayID() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Builds the buffers of `frames` frames of a sine tone in the given layout, starting at frame
// `firstFrame` (so consecutive calls continue the wave).
AudioSampleBuffer makeToneBuffer(const AudioStreamBasicDescription& format, bool planar, double frequency,
                                 double amplitude, std::uint64_t firstFrame, std::size_t frames,
                                 double presentationTimeSeconds);

// Screen-capture (and system audio) recording permission: checked before every audio start.
class ScreenCaptureAccess {
public:
    virtual ~ScreenCaptureAccess() = default;
    virtual bool preflight() = 0;
    // Asks the user; returns whether access is granted now.
    virtual bool request() = 0;
};

// A permission flag: granted unless a test says otherwise; Linux has no such permission.
class SimulatedScreenCaptureAccess final : public ScreenCaptureAccess {
public:
    explicit SimulatedScreenCaptureAccess(bool granted = true) : granted_(granted) {}
    bool preflight() override;
    bool request() override;
    void setGranted(bool granted);
    // When set, a request grants access.
    void setGrantOnRequest(bool grant);
    std::int64_t requestCount() const;

private:
    mutable std::mutex mutex_;
    bool granted_;
    bool grantOnRequest_ = false;
    std::int64_t requests_ = 0;
};

}  // namespace qm
