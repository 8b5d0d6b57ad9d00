#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "Platform/Core/Clock.h"
#include "Platform/Displays.h"
#include "Platform/Core/Geometry.h"
#include "Platform/InputEvents.h"
#include "Platform/Core/UUID.h"

namespace qm {

// The remote-input state the Host keeps across packets: which pointer buttons, keys and
// modifiers each Viewer holds, the modifier flags shared by all Viewers, the left-click
// counting and the lock-wake throttling. Everything here belongs to the server queue.
//
// It also posts the mouse events (so the click counting stays with the click fields) and the
// releases of a Viewer that leaves: `forget` lets go of every button, key and modifier that
// Viewer still holds.
class HostInputState {
public:
    HostInputState(std::shared_ptr<EventPoster> poster, std::shared_ptr<const Clock> clock,
                   std::shared_ptr<DisplayService> displays);

    // Pointer buttons each Viewer holds: bit 0 left, bit 1 middle, bit 2 right. A Viewer that
    // holds none has no entry.
    std::map<UUID, std::uint8_t> inputButtonMasks;
    // Entries kept per Viewer over every table above and below, for leak checks.
    std::size_t sessionEntryCount() const { return inputButtonMasks.size() + pressedKeys.size() + heldModifierFlags.size(); }
    // Modifier flags built up from keysym modifier events; shared by all Viewers.
    EventFlags inputKeyboardFlags = 0;
    std::uint64_t lastLeftClickUpNs = 0;
    std::optional<Point> lastLeftClickPoint;
    std::int64_t activeLeftClickState = 1;
    bool didWarnInputTrust = false;
    std::uint64_t lastLockInputProbeNs = 0;
    bool lastLockInputWasLocked = false;
    std::uint64_t lastLockWakeNs = 0;
    // The source every injected event comes from (the combined hardware state).
    const EventSourceState inputEventSource = EventSourceState::hidSystemState;

    // Key codes each Viewer holds down, and the modifier flags it added to inputKeyboardFlags.
    std::map<UUID, std::set<std::uint16_t>> pressedKeys;
    std::map<UUID, EventFlags> heldModifierFlags;

    void noteKey(const UUID& sessionID, std::uint16_t keyCode, bool isDown);
    void noteModifier(const UUID& sessionID, EventFlags flag, bool isDown);

    // One mouse event from the input source, carrying inputKeyboardFlags and the click count.
    void postMouse(EventType type, MouseButton button, Point at);
    // The click count to stamp on a mouse event (0: none). Counts left clicks to 2 at most.
    std::int64_t mouseClickState(EventType type, MouseButton button, Point at);
    // One key event from the input source.
    void postKey(std::uint16_t keyCode, bool isDown, EventFlags flags);

    // The pointer location in event coordinates (origin top left of the main display).
    Point currentPointerLocation() const;
    // Left up, right up, then other up for the bits of `mask`, at the current pointer location.
    void releasePointerButtons(std::uint8_t mask);

    // Releases everything the Viewer holds, in this order: its pointer buttons, its keys, then
    // the modifier flags it added that no other Viewer holds (a key-up of the modifier each);
    // then drops its entries.
    void forget(const UUID& sessionID);

    EventPoster& poster() const { return *poster_; }
    const Clock& clock() const { return *clock_; }

private:
    std::shared_ptr<EventPoster> poster_;
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<DisplayService> displays_;
};

}  // namespace qm
