#include "HostApp/Input/HostEventPosting.h"

#include <algorithm>

namespace qm {

namespace {
constexpr std::int32_t scrollLimit = 800;

std::u16string utf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        char32_t scalar = 0;
        std::size_t length = 1;
        if (byte < 0x80) {
            scalar = byte;
        } else if ((byte & 0xE0) == 0xC0) {
            scalar = byte & 0x1F;
            length = 2;
        } else if ((byte & 0xF0) == 0xE0) {
            scalar = byte & 0x0F;
            length = 3;
        } else if ((byte & 0xF8) == 0xF0) {
            scalar = byte & 0x07;
            length = 4;
        } else {
            ++i;
            continue;  // not a lead byte: skipped
        }
        if (i + length > text.size()) break;
        for (std::size_t k = 1; k < length; ++k) scalar = (scalar << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        if (scalar >= 0x10000) {
            scalar -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (scalar >> 10));
            out += static_cast<char16_t>(0xDC00 + (scalar & 0x3FF));
        } else {
            out += static_cast<char16_t>(scalar);
        }
    }
    return out;
}

constexpr std::pair<std::uint16_t, EventFlags> orderedModifiers[] = {
    {59, EventFlag::control}, {58, EventFlag::option}, {56, EventFlag::shift}, {55, EventFlag::command}};
}  // namespace

HostEventPosting::HostEventPosting(std::shared_ptr<HostInputState> state, DispatchQueuePtr queue)
    : state_(std::move(state)), queue_(std::move(queue)) {}

void HostEventPosting::postMouse(EventType type, MouseButton button, Point at) {
    state_->postMouse(type, button, at);
}

void HostEventPosting::postSmoothScroll(std::int32_t deltaX, std::int32_t deltaY, bool useLineUnits) {
    if (deltaX == 0 && deltaY == 0) return;
    EventPoster& poster = state_->poster();
    if (!poster.canCreateEvent(EventType::scrollWheel)) return;
    const InputEvent event = InputEvent::scrollWheel(
        state_->inputEventSource, useLineUnits ? ScrollUnit::line : ScrollUnit::pixel, 2,
        std::clamp(deltaY, -scrollLimit, scrollLimit), std::clamp(deltaX, -scrollLimit, scrollLimit), 0);
    poster.post(event, EventTapLocation::hid);
}

void HostEventPosting::postUnicodeText(const std::string& text, EventFlags flags) {
    const std::u16string units = utf16(text);
    if (units.empty()) return;
    EventPoster& poster = state_->poster();
    if (!poster.canCreateEvent(EventType::keyDown)) return;
    InputEvent event = InputEvent::keyboard(state_->inputEventSource, 0, true);
    event.flags = flags;
    event.unicodeText = units;
    poster.post(event, EventTapLocation::hid);
}

bool HostEventPosting::postSystemDefinedKey(std::uint16_t keyType) {
    EventPoster& poster = state_->poster();
    if (!poster.canCreateEvent(EventType::systemDefined)) return false;
    const std::int64_t type = keyType;
    const InputEvent down = InputEvent::systemDefined(Point{}, 0xa00, 8, (type << 16) | 0x0a00, -1);
    const InputEvent up = InputEvent::systemDefined(Point{}, 0xa00, 8, (type << 16) | 0x0b00, -1);
    poster.post(down, EventTapLocation::hid);
    // The release holds the poster itself, so it is posted even when the Host's input object
    // is gone by then: a press is never left without its release.
    std::shared_ptr<HostInputState> state = state_;
    queue_->asyncAfter(systemKeyReleaseDelay, [state, up] { state->poster().post(up, EventTapLocation::hid); });
    return true;
}

void HostEventPosting::postFlagsChanged(EventFlags flags) {
    EventPoster& poster = state_->poster();
    if (!poster.canCreateEvent(EventType::keyUp)) return;
    InputEvent event = InputEvent::keyboard(EventSourceState::none, 0, false);
    event.type = EventType::flagsChanged;
    event.flags = flags;
    poster.post(event, EventTapLocation::hid);
}

void HostEventPosting::postKey(std::uint16_t keyCode, bool isDown, EventFlags flags) {
    state_->postKey(keyCode, isDown, flags);
}

std::vector<std::pair<std::uint16_t, EventFlags>> HostEventPosting::modifierKeys(EventFlags forFlags) {
    std::vector<std::pair<std::uint16_t, EventFlags>> result;
    for (const auto& modifier : orderedModifiers) {
        if (forFlags & modifier.second) result.push_back(modifier);
    }
    return result;
}

std::vector<HostEventPosting::KeyStep> HostEventPosting::keyComboEvents(std::uint16_t keyCode, EventFlags flags) {
    const auto modifiers = modifierKeys(flags);
    std::vector<KeyStep> steps;
    EventFlags held = 0;
    for (const auto& [code, flag] : modifiers) {
        held |= flag;
        steps.push_back({code, true, held});
    }
    steps.push_back({keyCode, true, flags});
    steps.push_back({keyCode, false, flags});
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
        steps.push_back({it->first, false, held});
        held &= ~it->second;
    }
    return steps;
}

void HostEventPosting::postKeyCombo(std::uint16_t keyCode, EventFlags flags) {
    for (const KeyStep& step : keyComboEvents(keyCode, flags)) postKey(step.keyCode, step.keyDown, step.flags);
}

void HostEventPosting::postDelayedKeyCombo(std::uint16_t keyCode, EventFlags flags) {
    const auto steps = keyComboEvents(keyCode, flags);
    std::weak_ptr<HostEventPosting> weak = weak_from_this();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const KeyStep step = steps[i];
        queue_->asyncAfter(static_cast<double>(i) * keyComboStepInterval, [weak, step] {
            if (auto self = weak.lock()) self->postKey(step.keyCode, step.keyDown, step.flags);
        });
    }
}

}  // namespace qm

