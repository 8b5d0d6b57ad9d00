#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/AudioCapture.h"
#include "Platform/AudioOutputDevices.h"

namespace qm {

// Which source the Host's audio capture records, shared by the capture streams and the output
// device: the default sink's monitor normally, a private null sink's monitor while the Host's
// output is quiet (its playback streams moved there, so the Viewer still hears them).
class PulseAudioRouting {
public:
    static constexpr const char* defaultSource = "@DEFAULT_MONITOR@";
    std::string source() const;
    // Each change bumps the generation, which a recording stream watches to reopen itself.
    std::uint64_t generation() const;
    void setSource(const std::string& source);

private:
    mutable std::mutex mutex_;
    std::string source_ = defaultSource;
    std::uint64_t generation_ = 0;
};

// System audio from a PulseAudio server: every stream records the routing's source (what the
// speakers play, or the quiet sink while the output is quiet) as 48 kHz float stereo, on a thread
// of its own, in 10 ms buffers. Buffers are stamped from the stream position (samples counted
// since the stream opened, anchored once to uptime less what the server holds: see
// AudioStreamClock), so their spacing follows the sound and not the thread's scheduling. The
// display a stream is built on only names it (PulseAudio mixes every display's sound); displays
// are listed from the display service.
class PulseAudioCapture final : public AudioCaptureService {
public:
    explicit PulseAudioCapture(std::shared_ptr<const DisplayService> displays,
                               std::shared_ptr<PulseAudioRouting> routing = nullptr);

    ShareableContentResult shareableContent(bool onScreenWindowsOnly) override;
    DisplayID mainDisplayID() const override;
    std::shared_ptr<AudioCaptureStream> makeStream(const ShareableDisplay& display,
                                                   const AudioStreamConfiguration& configuration) override;

private:
    std::shared_ptr<const DisplayService> displays_;
    std::shared_ptr<PulseAudioRouting> routing_;
};

// The default sink of a PulseAudio server as the Host's output device. Device ids are the sink
// index + 1 (0 stays "no device"). Element 0 carries the mute switch and the overall volume;
// elements 1 to N are the volumes of the sink's N channels. Volume scalars are the linear factor
// of the sink volume (100 % = 1.0), capped at 1.0.
//
// Muting does not touch the sink's own mute (its monitor, which the Host records, would carry
// the silence to the Viewer): it moves the sink's playback streams, and any that start while
// muted, to a private null sink ("quillmere_quiet") and points the routing at that sink's
// monitor; unmuting moves them back and removes the null sink. The mute value read back is this
// quiet state, so a sink the user had muted stays muted after a restore.
//
// The connection is made on demand and made again after the server went away (a restart of the
// sound server), so mute and volume work again without restarting the Host; while no server
// answers, every call fails.
class PulseAudioOutputDevices final : public AudioOutputDevices {
public:
    // Connects to the server PulseAudio's client configuration names (PULSE_SERVER, the user's
    // runtime folder). Empty with the reason in `error` when no server answers.
    static std::shared_ptr<PulseAudioOutputDevices> connect(std::string& error,
                                                            std::shared_ptr<PulseAudioRouting> routing = nullptr);
    // Connects on first use instead, so it exists even while no server answers.
    static std::shared_ptr<PulseAudioOutputDevices> connectWhenNeeded(std::shared_ptr<PulseAudioRouting> routing);
    ~PulseAudioOutputDevices() override;

    std::optional<AudioObjectID> defaultOutputDevice() override;
    bool hasProperty(AudioObjectID device, AudioOutputProperty property, std::uint32_t element) override;
    std::optional<bool> isPropertySettable(AudioObjectID device, AudioOutputProperty property,
                                           std::uint32_t element) override;
    std::optional<std::uint32_t> muteValue(AudioObjectID device, std::uint32_t element) override;
    bool setMuteValue(AudioObjectID device, std::uint32_t element, std::uint32_t value) override;
    std::optional<float> volumeScalar(AudioObjectID device, std::uint32_t element) override;
    bool setVolumeScalar(AudioObjectID device, std::uint32_t element, float value) override;
    // Whether the default output's monitor source (what the Host records) exists; none while no
    // server answers.
    std::optional<bool> defaultMonitorSourceExists();

    struct Impl;

private:
    explicit PulseAudioOutputDevices(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm
