#include "HostApp/Audio/HostOutputMuteController.h"

namespace qm {

HostOutputMuteController::HostOutputMuteController(std::shared_ptr<AudioOutputDevices> devices,
                                                   std::shared_ptr<OutputHold> hold)
    : devices_(std::move(devices)), hold_(hold ? std::move(hold) : std::make_shared<OutputHold>()) {}

std::string HostOutputMuteController::muteForExclusiveListening() {
    lastOperationSucceeded_ = false;
    if (holding_) {
        lastOperationSucceeded_ = true;
        return "Host output remains muted for exclusive listening";
    }
    if (hold_->savedOutputState) {
        // Another controller already silenced the output: share its saved state.
        holding_ = true;
        ++hold_->holders;
        lastOperationSucceeded_ = true;
        return hold_->muteText;
    }
    const auto device = defaultOutputDeviceID();
    if (!device) return "Host output mute unavailable (no default output device)";
    const auto elements = outputElements(*device);
    if (auto saved = muteOutput(*device, elements); saved && !saved->empty()) {
        hold_->savedOutputState = SavedOutputState(std::in_place_index<0>, std::move(*saved));
        hold_->muteText = "Host output muted";
    } else if (auto volumes = silenceOutput(*device, elements); volumes && !volumes->empty()) {
        hold_->savedOutputState = SavedOutputState(std::in_place_index<1>, std::move(*volumes));
        hold_->muteText = "Host output volume muted";
    } else {
        return "Host output mute unavailable on the current output device";
    }
    hold_->holders = 1;
    holding_ = true;
    lastOperationSucceeded_ = true;
    return hold_->muteText;
}

std::optional<std::string> HostOutputMuteController::restoreAfterExclusiveListening() {
    lastOperationSucceeded_ = false;
    if (!holding_) {
        lastOperationSucceeded_ = true;
        return std::nullopt;
    }
    holding_ = false;
    if (--hold_->holders > 0) {
        lastOperationSucceeded_ = true;
        return "Host output stays muted for another listener";
    }
    // Cleared before writing, so a failed restore is never tried again.
    auto saved = std::move(hold_->savedOutputState);
    hold_->savedOutputState.reset();
    hold_->holders = 0;
    if (!saved) {
        lastOperationSucceeded_ = true;
        return std::nullopt;
    }
    if (saved->index() == 0) {
        lastOperationSucceeded_ = writeBack(std::get<0>(*saved));
        return lastOperationSucceeded_ ? "Host output restored" : "Host output mute state could not be restored";
    }
    lastOperationSucceeded_ = writeBack(std::get<1>(*saved));
    return lastOperationSucceeded_ ? "Host output volume restored" : "Host output volume could not be restored";
}

std::optional<AudioObjectID> HostOutputMuteController::defaultOutputDeviceID() {
    if (!devices_) return std::nullopt;
    auto device = devices_->defaultOutputDevice();
    if (!device || *device == 0) return std::nullopt;
    return device;
}

std::vector<std::uint32_t> HostOutputMuteController::outputElements(AudioObjectID) const {
    return {0, 1, 2, 3, 4, 5, 6, 7, 8};
}

bool HostOutputMuteController::writeBack(const std::vector<SavedMuteState>& entries) {
    bool all = true;
    for (const auto& entry : entries) {
        // Every entry is tried, even after one failed.
        all = devices_->setMuteValue(entry.deviceID, entry.element, entry.muteValue) && all;
    }
    return all;
}

bool HostOutputMuteController::writeBack(const std::vector<SavedVolumeState>& entries) {
    bool all = true;
    for (const auto& entry : entries) {
        all = devices_->setVolumeScalar(entry.deviceID, entry.element, entry.value) && all;
    }
    return all;
}

std::optional<std::vector<HostOutputMuteController::SavedMuteState>> HostOutputMuteController::muteOutput(
    AudioObjectID deviceID, const std::vector<std::uint32_t>& elements) {
    if (elements.empty() || !devices_) return std::nullopt;
    std::vector<SavedMuteState> saved;
    for (std::uint32_t element : elements) {
        if (!devices_->hasProperty(deviceID, AudioOutputProperty::mute, element)) continue;
        if (devices_->isPropertySettable(deviceID, AudioOutputProperty::mute, element) != std::optional<bool>(true)) continue;
        const auto previous = devices_->muteValue(deviceID, element);
        if (!previous) {
            writeBack(saved);
            return std::nullopt;
        }
        if (!devices_->setMuteValue(deviceID, element, 1)) {
            writeBack(saved);
            return std::nullopt;
        }
        const auto confirmed = devices_->muteValue(deviceID, element);
        if (!confirmed || *confirmed == 0) {
            // The element was written: it goes back too.
            saved.push_back({deviceID, element, *previous});
            writeBack(saved);
            return std::nullopt;
        }
        saved.push_back({deviceID, element, *previous});
        // Channels are tried only when the main element has no settable mute.
        if (element == 0) return saved;
    }
    if (saved.empty()) return std::nullopt;
    return saved;
}

std::optional<std::vector<HostOutputMuteController::SavedVolumeState>> HostOutputMuteController::silenceOutput(
    AudioObjectID deviceID, const std::vector<std::uint32_t>& elements) {
    if (elements.empty() || !devices_) return std::nullopt;
    std::vector<SavedVolumeState> saved;
    for (std::uint32_t element : elements) {
        if (!devices_->hasProperty(deviceID, AudioOutputProperty::volumeScalar, element)) continue;
        if (devices_->isPropertySettable(deviceID, AudioOutputProperty::volumeScalar, element) != std::optional<bool>(true)) {
            continue;
        }
        const auto previous = devices_->volumeScalar(deviceID, element);
        if (!previous) {
            writeBack(saved);
            return std::nullopt;
        }
        if (!devices_->setVolumeScalar(deviceID, element, 0.0f)) {
            writeBack(saved);
            return std::nullopt;
        }
        const float confirmed = devices_->volumeScalar(deviceID, element).value_or(1.0f);
        if (!(confirmed == 0.0f)) {
            saved.push_back({deviceID, element, *previous});
            writeBack(saved);
            return std::nullopt;
        }
        saved.push_back({deviceID, element, *previous});
        if (element == 0) return saved;
    }
    if (saved.empty()) return std::nullopt;
    return saved;
}

}  // namespace qm
