#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HostApp/Input/HostInputState.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/InputEvents.h"

namespace qm {

// The primitives that put synthetic input into the Host's event stream: mouse events, scroll
// wheels, typed text, system-defined keys and key combinations, at once or spaced in time.
// Every call and every delayed step runs on `queue` (the server queue).
class HostEventPosting : public std::enable_shared_from_this<HostEventPosting> {
public:
    struct KeyStep {
        std::uint16_t keyCode = 0;
        bool keyDown = false;
        EventFlags flags = 0;
        friend bool operator==(const KeyStep&, const KeyStep&) = default;
    };

    HostEventPosting(std::shared_ptr<HostInputState> state, DispatchQueuePtr queue);

    // Seconds between the steps of a spaced combination, and before a system key's release.
    static constexpr double keyComboStepInterval = 0.035;
    static constexpr double systemKeyReleaseDelay = 0.04;

    void postMouse(EventType type, MouseButton button, Point at);
    // One scroll-wheel event in pixels or lines; each delta clamped to -800...800.
    void postSmoothScroll(std::int32_t deltaX, std::int32_t deltaY, bool useLineUnits);
    // The text as one key-down event (no key-up); nothing for empty text.
    void postUnicodeText(const std::string& text, EventFlags flags);
    // A system-defined key press now and its release 0.04 s later; false when either event
    // cannot be made (then nothing is posted).
    bool postSystemDefinedKey(std::uint16_t keyType);
    // A bare flags-changed event (no source) at the hardware tap.
    void postFlagsChanged(EventFlags flags);
    void postKey(std::uint16_t keyCode, bool isDown, EventFlags flags);

    // The (key code, flag) of each modifier in `flags`: Control, Option, Shift, Command.
    static std::vector<std::pair<std::uint16_t, EventFlags>> modifierKeys(EventFlags forFlags);
    // Modifiers down one by one, the key down and up with the full flags, modifiers up in
    // reverse order (each release still carrying its own flag).
    static std::vector<KeyStep> keyComboEvents(std::uint16_t keyCode, EventFlags flags);
    void postKeyCombo(std::uint16_t keyCode, EventFlags flags);
    // The same steps, 0.035 s apart on the queue; steps left when this object is gone are dropped.
    void postDelayedKeyCombo(std::uint16_t keyCode, EventFlags flags);

    HostInputState& state() const { return *state_; }
    const DispatchQueuePtr& queue() const { return queue_; }

private:
    std::shared_ptr<HostInputState> state_;
    DispatchQueuePtr queue_;
};

}  // namespace qm
