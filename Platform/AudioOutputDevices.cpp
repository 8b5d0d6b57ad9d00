#include "Platform/AudioOutputDevices.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace qm {

SimulatedAudioOutputDevices::SimulatedAudioOutputDevices() {
    Device device;
    device.elements[0] = Element{0, true, 0.5f, true};
    devices_[40] = device;
    defaultDevice_ = 40;
}

bool SimulatedAudioOutputDevices::consumeFailure(AudioObjectID device, AudioOutputProperty property,
                                                 std::uint32_t element, Operation operation) {
    auto it = failures_.find({device, property, element, operation});
    if (it == failures_.end() || it->second <= 0) return false;
    --it->second;
    return true;
}

SimulatedAudioOutputDevices::Element* SimulatedAudioOutputDevices::findElement(AudioObjectID device,
                                                                               std::uint32_t element) {
    auto d = devices_.find(device);
    if (d == devices_.end()) return nullptr;
    auto e = d->second.elements.find(element);
    return e == d->second.elements.end() ? nullptr : &e->second;
}

std::optional<AudioObjectID> SimulatedAudioOutputDevices::defaultOutputDevice() {
    std::lock_guard lock(mutex_);
    return defaultDevice_;
}

bool SimulatedAudioOutputDevices::hasProperty(AudioObjectID device, AudioOutputProperty property,
                                              std::uint32_t element) {
    std::lock_guard lock(mutex_);
    const Element* e = findElement(device, element);
    if (!e) return false;
    return property == AudioOutputProperty::mute ? e->mute.has_value() : e->volume.has_value();
}

std::optional<bool> SimulatedAudioOutputDevices::isPropertySettable(AudioObjectID device, AudioOutputProperty property,
                                                                    std::uint32_t element) {
    std::lock_guard lock(mutex_);
    if (consumeFailure(device, property, element, Operation::settableQuery)) return std::nullopt;
    const Element* e = findElement(device, element);
    if (!e) return std::nullopt;
    return property == AudioOutputProperty::mute ? e->muteSettable : e->volumeSettable;
}

std::optional<std::uint32_t> SimulatedAudioOutputDevices::muteValue(AudioObjectID device, std::uint32_t element) {
    std::lock_guard lock(mutex_);
    if (consumeFailure(device, AudioOutputProperty::mute, element, Operation::read)) return std::nullopt;
    const Element* e = findElement(device, element);
    if (!e) return std::nullopt;
    return e->mute;
}

bool SimulatedAudioOutputDevices::setMuteValue(AudioObjectID device, std::uint32_t element, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    if (consumeFailure(device, AudioOutputProperty::mute, element, Operation::write)) return false;
    Element* e = findElement(device, element);
    if (!e || !e->mute || !e->muteSettable) return false;
    if (!devices_[device].muteIgnoresWrites) e->mute = value;
    writeLog_.push_back(std::to_string(device) + "/mute/" + std::to_string(element) + "=" + std::to_string(value));
    return true;
}

std::optional<float> SimulatedAudioOutputDevices::volumeScalar(AudioObjectID device, std::uint32_t element) {
    std::lock_guard lock(mutex_);
    if (consumeFailure(device, AudioOutputProperty::volumeScalar, element, Operation::read)) return std::nullopt;
    const Element* e = findElement(device, element);
    if (!e) return std::nullopt;
    return e->volume;
}

bool SimulatedAudioOutputDevices::setVolumeScalar(AudioObjectID device, std::uint32_t element, float value) {
    std::lock_guard lock(mutex_);
    if (consumeFailure(device, AudioOutputProperty::volumeScalar, element, Operation::write)) return false;
    Element* e = findElement(device, element);
    if (!e || !e->volume || !e->volumeSettable || std::isnan(value)) return false;
    const Device& d = devices_[device];
    float stored = std::clamp(value, 0.0f, 1.0f);
    if (d.volumeSteps > 0) stored = std::round(stored * static_cast<float>(d.volumeSteps)) / static_cast<float>(d.volumeSteps);
    stored = std::max(stored, d.volumeFloor);
    e->volume = stored;
    std::ostringstream text;
    text << device << "/volume/" << element << "=" << stored;
    writeLog_.push_back(text.str());
    return true;
}

void SimulatedAudioOutputDevices::setDevice(AudioObjectID id, Device device) {
    std::lock_guard lock(mutex_);
    devices_[id] = std::move(device);
}

std::optional<SimulatedAudioOutputDevices::Device> SimulatedAudioOutputDevices::device(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(id);
    if (it == devices_.end()) return std::nullopt;
    return it->second;
}

void SimulatedAudioOutputDevices::setDefaultDevice(std::optional<AudioObjectID> id) {
    std::lock_guard lock(mutex_);
    defaultDevice_ = id;
}

void SimulatedAudioOutputDevices::failNext(AudioObjectID device, AudioOutputProperty property, std::uint32_t element,
                                           Operation operation, int count) {
    std::lock_guard lock(mutex_);
    failures_[{device, property, element, operation}] += count;
}

std::vector<std::string> SimulatedAudioOutputDevices::writeLog() const {
    std::lock_guard lock(mutex_);
    return writeLog_;
}

}  // namespace qm
