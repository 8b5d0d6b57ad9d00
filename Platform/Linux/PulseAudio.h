#pragma once

#include <memory>
#include <string>

#include "Platform/AudioCapture.h"
#include "Platform/AudioOutputDevices.h"

namespace qm {

// System audio from a PulseAudio server: every stream records the default sink's monitor source
// (what the speakers play) as 48 kHz float stereo, on a thread of its own, in 10 ms buffers. The
// display a stream is built on only names it (PulseAudio mixes every display's sound); displays
// are listed from the display service.
class PulseAudioCapture final : public AudioCaptureService {
public:
    explicit PulseAudioCapture(std::shared_ptr<const DisplayService> displays);

    ShareableContentResult shareableContent(bool onScreenWindowsOnly) override;
    DisplayID mainDisplayID() const override;
    std::shared_ptr<AudioCaptureStream> makeStream(const ShareableDisplay& display,
                                                   const AudioStreamConfiguration& configuration) override;

private:
    std::shared_ptr<const DisplayService> displays_;
};

// The default sink of a PulseAudio server as the Host's output device. Device ids are the sink
// index + 1 (0 stays "no device"). Element 0 carries the sink's mute switch and its overall volume;
// elements 1 to N are the volumes of its N channels. Volume scalars are the linear factor of the
// sink volume (100 % = 1.0), capped at 1.0.
class PulseAudioOutputDevices final : public AudioOutputDevices {
public:
    // Connects to the server PulseAudio's client configuration names (PULSE_SERVER, the user's
    // runtime folder). Empty with the reason in `error` when no server answers.
    static std::shared_ptr<PulseAudioOutputDevices> connect(std::string& error);
    ~PulseAudioOutputDevices() override;

    std::optional<AudioObjectID> defaultOutputDevice() override;
    bool hasProperty(AudioObjectID device, AudioOutputProperty property, std::uint32_t element) override;
    std::optional<bool> isPropertySettable(AudioObjectID device, AudioOutputProperty property,
                                           std::uint32_t element) override;
    std::optional<std::uint32_t> muteValue(AudioObjectID device, std::uint32_t element) override;
    bool setMuteValue(AudioObjectID device, std::uint32_t element, std::uint32_t value) override;
    std::optional<float> volumeScalar(AudioObjectID device, std::uint32_t element) override;
    bool setVolumeScalar(AudioObjectID device, std::uint32_t element, float value) override;

    struct Impl;

private:
    explicit PulseAudioOutputDevices(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm
