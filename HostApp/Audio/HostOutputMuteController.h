#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Platform/AudioOutputDevices.h"

namespace qm {

// Silences the default output device on request and later puts back exactly what was changed.
// Server queue only (no lock).
//
// Several controllers may silence the same output for different reasons (exclusive listening, a
// Viewer's mute request). They share one `OutputHold`: the first controller to mute saves the
// device's state, the others join the hold, and the state is written back only when the last of
// them releases it. So, whatever the order of release, the output returns to what it was before
// the first mute, and never stays muted because one controller saved the other's mute.
class HostOutputMuteController {
public:
    struct SavedMuteState {
        AudioObjectID deviceID = 0;
        std::uint32_t element = 0;
        std::uint32_t muteValue = 0;  // read before the change
        friend bool operator==(const SavedMuteState&, const SavedMuteState&) = default;
    };
    struct SavedVolumeState {
        AudioObjectID deviceID = 0;
        std::uint32_t element = 0;
        float value = 0;  // read before the change
        friend bool operator==(const SavedVolumeState&, const SavedVolumeState&) = default;
    };
    // Either the mute switch was set on these elements, or their volume was set to 0, in the
    // order the elements were changed.
    using SavedOutputState = std::variant<std::vector<SavedMuteState>, std::vector<SavedVolumeState>>;

    // What the silenced output looked like before the first controller changed it.
    struct OutputHold {
        std::optional<SavedOutputState> savedOutputState;
        std::string muteText;  // what the first mute reported
        int holders = 0;
    };

    HostOutputMuteController(std::shared_ptr<AudioOutputDevices> devices, std::shared_ptr<OutputHold> hold);

    // Silences the default output unless this controller already holds it; returns a status text
    // and sets lastOperationSucceeded().
    std::string muteForExclusiveListening();
    // Releases this controller's hold; the last release puts back what was saved. Empty when this
    // controller held nothing.
    std::optional<std::string> restoreAfterExclusiveListening();

    std::optional<AudioObjectID> defaultOutputDeviceID();
    std::vector<std::uint32_t> outputElements(AudioObjectID deviceID) const;
    // Set the mute switch (or the volume to 0) on the elements; the previous values of every
    // changed element, or empty when nothing was changed (anything changed is then put back).
    std::optional<std::vector<SavedMuteState>> muteOutput(AudioObjectID deviceID, const std::vector<std::uint32_t>& elements);
    std::optional<std::vector<SavedVolumeState>> silenceOutput(AudioObjectID deviceID,
                                                               const std::vector<std::uint32_t>& elements);

    bool lastOperationSucceeded() const { return lastOperationSucceeded_; }
    bool isHolding() const { return holding_; }

private:
    // Writes every entry back; true when all writes succeeded.
    bool writeBack(const std::vector<SavedMuteState>& entries);
    bool writeBack(const std::vector<SavedVolumeState>& entries);

    std::shared_ptr<AudioOutputDevices> devices_;
    std::shared_ptr<OutputHold> hold_;
    bool holding_ = false;
    bool lastOperationSucceeded_ = false;
};

}  // namespace qm
