#include "HostApp/Input/HostInputState.h"

#include <algorithm>
#include <cmath>

namespace qm {

namespace {
constexpr std::uint64_t doubleClickWindowNs = 500'000'000;
constexpr double doubleClickDistance = 6.0;

// The modifier keys with their flags, in the order they are pressed.
constexpr std::pair<EventFlags, std::uint16_t> modifierKeyCodes[] = {
    {EventFlag::control, 59}, {EventFlag::option, 58}, {EventFlag::shift, 56}, {EventFlag::command, 55}};
}  // namespace

HostInputState::HostInputState(std::shared_ptr<EventPoster> poster, std::shared_ptr<const Clock> clock,
                               std::shared_ptr<DisplayService> displays)
    : poster_(std::move(poster)), clock_(std::move(clock)), displays_(std::move(displays)) {}

void HostInputState::noteKey(const UUID& sessionID, std::uint16_t keyCode, bool isDown) {
    if (isDown) {
        pressedKeys[sessionID].insert(keyCode);
        return;
    }
    auto it = pressedKeys.find(sessionID);
    if (it == pressedKeys.end()) return;
    it->second.erase(keyCode);
    if (it->second.empty()) pressedKeys.erase(it);
}

void HostInputState::noteModifier(const UUID& sessionID, EventFlags flag, bool isDown) {
    EventFlags& held = heldModifierFlags[sessionID];
    held = isDown ? (held | flag) : (held & ~flag);
    if (held == 0) heldModifierFlags.erase(sessionID);
}

std::int64_t HostInputState::mouseClickState(EventType type, MouseButton button, Point at) {
    if (button != MouseButton::left) return 0;
    if (type == EventType::leftMouseDragged || type == EventType::leftMouseUp) return activeLeftClickState;
    if (type != EventType::leftMouseDown) return 0;
    const std::uint64_t now = clock_->uptimeNs();
    const bool quick = lastLeftClickPoint && lastLeftClickUpNs != 0 && now >= lastLeftClickUpNs &&
                       now - lastLeftClickUpNs <= doubleClickWindowNs;
    const bool near = lastLeftClickPoint &&
                      std::hypot(at.x - lastLeftClickPoint->x, at.y - lastLeftClickPoint->y) <= doubleClickDistance;
    activeLeftClickState = quick && near ? std::min<std::int64_t>(activeLeftClickState + 1, 2) : 1;
    return activeLeftClickState;
}

void HostInputState::postMouse(EventType type, MouseButton button, Point at) {
    if (!poster_->canCreateEvent(type)) return;
    InputEvent event = InputEvent::mouse(inputEventSource, type, at, button);
    event.flags = inputKeyboardFlags;
    if (const std::int64_t clicks = mouseClickState(type, button, at); clicks > 0) {
        event.setIntegerField(EventField::mouseEventClickState, clicks);
    }
    poster_->post(event, EventTapLocation::hid);
    if (type == EventType::leftMouseUp && button == MouseButton::left) {
        lastLeftClickUpNs = clock_->uptimeNs();
        lastLeftClickPoint = at;
    }
}

void HostInputState::postKey(std::uint16_t keyCode, bool isDown, EventFlags flags) {
    if (!poster_->canCreateEvent(isDown ? EventType::keyDown : EventType::keyUp)) return;
    InputEvent event = InputEvent::keyboard(inputEventSource, keyCode, isDown);
    event.flags = flags;
    poster_->post(event, EventTapLocation::hid);
}

Point HostInputState::currentPointerLocation() const {
    // The system reports the pointer with the origin at the bottom left of the main display;
    // events place it from the top left.
    const Point bottomLeft = poster_->mouseLocation();
    double mainHeight = 0;
    if (displays_) mainHeight = displays_->bounds(displays_->mainDisplayID()).height();
    return Point{bottomLeft.x, mainHeight - bottomLeft.y};
}

void HostInputState::releasePointerButtons(std::uint8_t mask) {
    if (mask == 0) return;
    const Point at = currentPointerLocation();
    if (mask & 0x01) postMouse(EventType::leftMouseUp, MouseButton::left, at);
    if (mask & 0x04) postMouse(EventType::rightMouseUp, MouseButton::right, at);
    if (mask & 0x02) postMouse(EventType::otherMouseUp, MouseButton::center, at);
}

void HostInputState::forget(const UUID& sessionID) {
    if (auto it = inputButtonMasks.find(sessionID); it != inputButtonMasks.end()) {
        const std::uint8_t mask = it->second;
        inputButtonMasks.erase(it);
        releasePointerButtons(mask);
    }
    if (auto it = pressedKeys.find(sessionID); it != pressedKeys.end()) {
        const std::set<std::uint16_t> keys = std::move(it->second);
        pressedKeys.erase(it);
        for (std::uint16_t code : keys) postKey(code, false, inputKeyboardFlags);
    }
    if (auto it = heldModifierFlags.find(sessionID); it != heldModifierFlags.end()) {
        EventFlags release = it->second;
        heldModifierFlags.erase(it);
        for (const auto& [other, flags] : heldModifierFlags) release &= ~flags;
        for (auto rit = std::rbegin(modifierKeyCodes); rit != std::rend(modifierKeyCodes); ++rit) {
            const auto [flag, code] = *rit;
            if (!(release & flag) || !(inputKeyboardFlags & flag)) continue;
            inputKeyboardFlags &= ~flag;
            postKey(code, false, inputKeyboardFlags);
        }
    }
}

}  // namespace qm
