#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace qm {

using AudioObjectID = std::uint32_t;

// The two output properties the Host silences: the mute switch (0 or 1) and the volume scalar
// (0.0 to 1.0), each on the output scope of one element (0 = the main element, 1... = channels).
enum class AudioOutputProperty : std::uint8_t { mute, volumeScalar };

// The system's output devices as the Host needs them: which one is the default, and the mute and
// volume of its elements. Every call answers synchronously; a failure is an empty result or false.
class AudioOutputDevices {
public:
    virtual ~AudioOutputDevices() = default;
    // The default output device; empty on error. 0 means there is none.
    virtual std::optional<AudioObjectID> defaultOutputDevice() = 0;
    virtual bool hasProperty(AudioObjectID device, AudioOutputProperty property, std::uint32_t element) = 0;
    // Empty when the query fails.
    virtual std::optional<bool> isPropertySettable(AudioObjectID device, AudioOutputProperty property,
                                                   std::uint32_t element) = 0;
    virtual std::optional<std::uint32_t> muteValue(AudioObjectID device, std::uint32_t element) = 0;
    virtual bool setMuteValue(AudioObjectID device, std::uint32_t element, std::uint32_t value) = 0;
    virtual std::optional<float> volumeScalar(AudioObjectID device, std::uint32_t element) = 0;
    virtual bool setVolumeScalar(AudioObjectID device, std::uint32_t element, float value) = 0;
};

// Output devices held in memory, with per-element properties, scripted failures and volume
// quantisation: the Host's embedded default without an audio server, and what tests script.
class SimulatedAudioOutputDevices final : public AudioOutputDevices {
public:
    struct Element {
        std::optional<std::uint32_t> mute;  // none: the element has no mute property
        bool muteSettable = true;
        std::optional<float> volume;        // none: the element has no volume scalar
        bool volumeSettable = true;
    };
    struct Device {
        std::map<std::uint32_t, Element> elements;
        // Volume is stored in this many steps over 0...1 (0 = continuous): a write is rounded to
        // the nearest step, as hardware volume controls do.
        int volumeSteps = 0;
        // The lowest volume the device accepts; writes below it store it instead.
        float volumeFloor = 0;
        // Writes of the mute property succeed but do not change the value (a confirmation read
        // then shows the old value).
        bool muteIgnoresWrites = false;
    };
    enum class Operation : std::uint8_t { read, write, settableQuery };

    // One device (id 40) with a settable mute and volume 0.5 on its main element.
    SimulatedAudioOutputDevices();

    std::optional<AudioObjectID> defaultOutputDevice() override;
    bool hasProperty(AudioObjectID device, AudioOutputProperty property, std::uint32_t element) override;
    std::optional<bool> isPropertySettable(AudioObjectID device, AudioOutputProperty property,
                                           std::uint32_t element) override;
    std::optional<std::uint32_t> muteValue(AudioObjectID device, std::uint32_t element) override;
    bool setMuteValue(AudioObjectID device, std::uint32_t element, std::uint32_t value) override;
    std::optional<float> volumeScalar(AudioObjectID device, std::uint32_t element) override;
    bool setVolumeScalar(AudioObjectID device, std::uint32_t element, float value) override;

    void setDevice(AudioObjectID id, Device device);
    std::optional<Device> device(AudioObjectID id) const;
    // Empty makes the default-device query fail; 0 says there is no default device.
    void setDefaultDevice(std::optional<AudioObjectID> id);
    // The next `count` operations of this kind on (device, property, element) fail.
    void failNext(AudioObjectID device, AudioOutputProperty property, std::uint32_t element, Operation operation,
                  int count = 1);
    // Every successful write, in order, as text "device/mute|volume/element=value" (for tests).
    std::vector<std::string> writeLog() const;

private:
    bool consumeFailure(AudioObjectID device, AudioOutputProperty property, std::uint32_t element,
                        Operation operation);
    Element* findElement(AudioObjectID device, std::uint32_t element);

    mutable std::mutex mutex_;
    std::map<AudioObjectID, Device> devices_;
    std::optional<AudioObjectID> defaultDevice_;
    std::map<std::tuple<AudioObjectID, AudioOutputProperty, std::uint32_t, Operation>, int> failures_;
    std::vector<std::string> writeLog_;
};

}  // namespace qm
