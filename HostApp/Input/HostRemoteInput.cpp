#include "HostApp/Input/HostRemoteInput.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "HostApp/Input/KeysymMapping.h"
#include "HostApp/Video/HostVideoCapture.h"

namespace qm {

namespace {
constexpr std::uint64_t lockProbeIntervalNs = 250'000'000;
constexpr std::uint64_t lockWakeIntervalNs = 600'000'000;
constexpr const char* trustWarning = "input: Host needs Accessibility permission for direct mouse and gesture control";
constexpr std::int32_t wheelNotchPixels = 12;
}  // namespace

std::shared_ptr<HostRemoteInput> HostRemoteInput::create(const HostPlatform& platform, DispatchQueuePtr queue,
                                                         ServerHooks hooks, Configuration configuration) {
    return std::shared_ptr<HostRemoteInput>(
        new HostRemoteInput(platform, std::move(queue), std::move(hooks), std::move(configuration)));
}

HostRemoteInput::HostRemoteInput(const HostPlatform& platform, DispatchQueuePtr queue, ServerHooks hooks,
                                 Configuration configuration)
    : queue_(std::move(queue)),
      mainQueue_(platform.mainQueue),
      hooks_(std::move(hooks)),
      configuration_(std::move(configuration)),
      displays_(platform.displays),
      poster_(platform.eventPoster ? platform.eventPoster
                                   : std::make_shared<RecordingEventPoster>(platform.clock, 1024)),
      accessibility_(platform.accessibility ? platform.accessibility : std::make_shared<SimulatedAccessibility>()),
      userActivity_(platform.userActivity ? platform.userActivity : std::make_shared<SimulatedUserActivity>()),
      sessionDesktop_(platform.sessionDesktop),
      workspace_(platform.workspace ? platform.workspace : std::make_shared<SimulatedWorkspace>()),
      toolRunner_(platform.toolRunner ? platform.toolRunner : std::make_shared<SimulatedToolRunner>()) {
    std::shared_ptr<const Clock> clock = platform.clock;
    if (!clock) clock = SystemClock::shared();
    state_ = std::make_shared<HostInputState>(poster_, clock, displays_);
    posting_ = std::make_shared<HostEventPosting>(state_, queue_);
}

void HostRemoteInput::assertOnQueue() const {
    assert(queue_->isCurrent());
}

void HostRemoteInput::publish(const std::string& text) const {
    if (hooks_.publish) hooks_.publish(text);
}

void HostRemoteInput::report(const std::string& text) const {
    publish(text);
    if (hooks_.broadcastHostError) hooks_.broadcastHostError(text);
}

bool HostRemoteInput::isInputPacket(AuxPacketType type) {
    switch (type) {
    case AuxPacketType::pointerEvent:
    case AuxPacketType::gestureEvent:
    case AuxPacketType::hostShortcut:
    case AuxPacketType::keyEvent:
    case AuxPacketType::rawKeyEvent:
    case AuxPacketType::systemDefinedKeyEvent:
        return true;
    default:
        return false;
    }
}

std::optional<std::string> HostRemoteInput::handleControlPacket(AuxPacketType type,
                                                                std::span<const std::uint8_t> payload,
                                                                const UUID& sourceID) {
    switch (type) {
    case AuxPacketType::pointerEvent:
        if (auto decoded = PointerEventControlPayload::decode(payload)) {
            applyPointerEvent(*decoded, sourceID);
            return std::nullopt;
        }
        return "bad pointer event payload";
    case AuxPacketType::gestureEvent:
        if (auto decoded = GestureEventControlPayload::decode(payload)) applyGestureEvent(*decoded, sourceID);
        return std::nullopt;
    case AuxPacketType::hostShortcut:
        if (auto decoded = HostShortcutControlPayload::decode(payload)) {
            applyHostShortcut(*decoded, sourceID);
            return std::nullopt;
        }
        return "bad host shortcut payload";
    case AuxPacketType::keyEvent:
        if (auto decoded = KeyEventControlPayload::decode(payload)) {
            applyKeyEvent(*decoded, sourceID);
            return std::nullopt;
        }
        return "bad key event payload";
    case AuxPacketType::rawKeyEvent:
        if (auto decoded = RawKeyEventControlPayload::decode(payload)) {
            applyRawKeyEvent(*decoded, sourceID);
            return std::nullopt;
        }
        return "bad raw key event payload";
    case AuxPacketType::systemDefinedKeyEvent:
        if (auto decoded = SystemDefinedKeyEventControlPayload::decode(payload)) {
            applySystemDefinedKeyEvent(*decoded, sourceID);
            return std::nullopt;
        }
        return "bad system-defined key payload";
    default:
        return std::nullopt;
    }
}

void HostRemoteInput::forget(const UUID& sessionID) {
    assertOnQueue();
    state_->forget(sessionID);
}

bool HostRemoteInput::ensureInputTrust() {
    if (accessibility_->isProcessTrusted()) return true;
    if (state_->didWarnInputTrust) return false;
    state_->didWarnInputTrust = true;
    publish(trustWarning);
    if (hooks_.broadcastHostError) hooks_.broadcastHostError(trustWarning);
    accessibility_->isProcessTrustedWithPrompt();
    return false;
}

void HostRemoteInput::wakeHostForRemoteInputIfLocked() {
    HostInputState& s = *state_;
    const std::uint64_t now = s.clock().uptimeNs();
    if (s.lastLockInputProbeNs == 0 || now - s.lastLockInputProbeNs > lockProbeIntervalNs) {
        s.lastLockInputProbeNs = now;
        const HostConsoleSessionState console =
            hooks_.currentConsoleSessionState ? hooks_.currentConsoleSessionState() : HostConsoleSessionState{};
        s.lastLockInputWasLocked = console.isLocked || !console.loginDone || console.isLoginWindow;
    }
    if (s.lastLockInputWasLocked && (s.lastLockWakeNs == 0 || now - s.lastLockWakeNs >= lockWakeIntervalNs)) {
        s.lastLockWakeNs = now;
        userActivity_->declareUserActivity("Corventis remote input");
    }
}

std::optional<Point> HostRemoteInput::displayPoint(std::int64_t x, std::int64_t y, std::int64_t framebufferWidth,
                                                   std::int64_t framebufferHeight) {
    if (framebufferWidth <= 0 || framebufferHeight <= 0 || !displays_) return std::nullopt;
    DisplayID display = hooks_.selectedDisplayID ? hooks_.selectedDisplayID() : 0;
    if (display == 0) {
        display = displays_->mainDisplayID();
        const std::vector<DisplayID> active = displays_->activeDisplayIDs();
        if (!active.empty() && std::find(active.begin(), active.end(), display) == active.end()) display = active.front();
    }
    const Rect bounds = displays_->bounds(display);
    if (!(bounds.width() > 0) || !(bounds.height() > 0)) return std::nullopt;

    const std::int64_t cx = std::clamp<std::int64_t>(x, 0, framebufferWidth - 1);
    const std::int64_t cy = std::clamp<std::int64_t>(y, 0, framebufferHeight - 1);
    double nx = static_cast<double>(cx) / static_cast<double>(std::max<std::int64_t>(framebufferWidth - 1, 1));
    double ny = static_cast<double>(cy) / static_cast<double>(std::max<std::int64_t>(framebufferHeight - 1, 1));

    if (auto capture = hooks_.videoCapture ? hooks_.videoCapture() : nullptr;
        capture && capture->requestedProfile.mode == VideoCaptureMode::max) {
        if (const auto roi = capture->viewportROI()) {
            // The region's y runs from the bottom edge, the Viewer's from the top.
            nx = std::clamp(roi->minX() + roi->width() * nx, 0.0, 1.0);
            ny = std::clamp((1.0 - roi->minY() - roi->height()) + roi->height() * ny, 0.0, 1.0);
        }
    }
    return Point{bounds.minX() + nx * std::max(bounds.width() - 1, 1.0),
                 bounds.minY() + ny * std::max(bounds.height() - 1, 1.0)};
}

void HostRemoteInput::applyPointerEvent(const PointerEventControlPayload& payload, const UUID& sourceID) {
    assertOnQueue();
    if (payload.framebufferWidth == 0 || payload.framebufferHeight == 0) return;
    if (!ensureInputTrust()) return;
    wakeHostForRemoteInputIfLocked();
    const auto point = displayPoint(payload.x, payload.y, payload.framebufferWidth, payload.framebufferHeight);
    if (!point) return;
    postScrollIfNeeded(payload.buttonMask, *point);
    auto& masks = state_->inputButtonMasks;
    const auto it = masks.find(sourceID);
    const std::uint8_t old = it == masks.end() ? 0 : it->second;
    const std::uint8_t now = payload.buttonMask & 0x07;
    postPointerTransition(old, now, *point);
    if (now == 0) {
        masks.erase(sourceID);
    } else {
        masks[sourceID] = now;
    }
}

void HostRemoteInput::postScrollIfNeeded(std::uint8_t mask, Point at) {
    std::int32_t dy = 0;
    std::int32_t dx = 0;
    if (mask & 0x08) dy += wheelNotchPixels;
    if (mask & 0x10) dy -= wheelNotchPixels;
    if (mask & 0x40) dx += wheelNotchPixels;
    if (mask & 0x20) dx -= wheelNotchPixels;
    if (dx == 0 && dy == 0) return;
    posting_->postMouse(EventType::mouseMoved, MouseButton::left, at);
    posting_->postSmoothScroll(dx, dy, false);
}

void HostRemoteInput::postPointerTransition(std::uint8_t from, std::uint8_t to, Point at) {
    const auto released = [&](std::uint8_t bit) { return (from & bit) && !(to & bit); };
    const auto pressed = [&](std::uint8_t bit) { return (to & bit) && !(from & bit); };
    if (released(0x01)) posting_->postMouse(EventType::leftMouseUp, MouseButton::left, at);
    if (released(0x04)) posting_->postMouse(EventType::rightMouseUp, MouseButton::right, at);
    if (released(0x02)) posting_->postMouse(EventType::otherMouseUp, MouseButton::center, at);
    if (pressed(0x01)) {
        // A Control held from the keyboard would turn the click into a secondary click.
        if (state_->inputKeyboardFlags & EventFlag::control) {
            state_->inputKeyboardFlags &= ~EventFlag::control;
            for (auto& [session, flags] : state_->heldModifierFlags) flags &= ~EventFlag::control;
            std::erase_if(state_->heldModifierFlags, [](const auto& entry) { return entry.second == 0; });
            posting_->postKey(59, false, state_->inputKeyboardFlags);
        }
        posting_->postMouse(EventType::leftMouseDown, MouseButton::left, at);
    }
    if (pressed(0x04)) posting_->postMouse(EventType::rightMouseDown, MouseButton::right, at);
    if (pressed(0x02)) posting_->postMouse(EventType::otherMouseDown, MouseButton::center, at);
    if (from == to) {
        if (to & 0x01) {
            posting_->postMouse(EventType::leftMouseDragged, MouseButton::left, at);
        } else if (to & 0x04) {
            posting_->postMouse(EventType::rightMouseDragged, MouseButton::right, at);
        } else if (to & 0x02) {
            posting_->postMouse(EventType::otherMouseDragged, MouseButton::center, at);
        } else {
            posting_->postMouse(EventType::mouseMoved, MouseButton::left, at);
        }
    }
}

void HostRemoteInput::releasePointerButtons(std::uint8_t mask) {
    state_->releasePointerButtons(mask);
}

void HostRemoteInput::applyGestureEvent(const GestureEventControlPayload& payload, const UUID&) {
    assertOnQueue();
    if (!ensureInputTrust()) return;
    if (auto point = displayPoint(payload.x, payload.y, payload.framebufferWidth, payload.framebufferHeight)) {
        posting_->postMouse(EventType::mouseMoved, MouseButton::left, *point);
    }
    if (payload.kind == GestureEventKind::scroll) {
        posting_->postSmoothScroll(payload.deltaX, payload.deltaY, payload.amount == 1);
        return;
    }
    if (payload.amount == 0) return;
    const int magnitude = payload.amount < 0 ? -static_cast<int>(payload.amount) : payload.amount;
    const int steps = std::clamp(magnitude / 80, 1, 4);
    for (int i = 0; i < steps; ++i) {
        if (payload.amount > 0) {
            posting_->postKeyCombo(24, EventFlag::shift | EventFlag::command);
        } else {
            posting_->postKeyCombo(27, EventFlag::command);
        }
    }
}

void HostRemoteInput::applyKeyEvent(const KeyEventControlPayload& payload, const UUID& sourceID) {
    assertOnQueue();
    if (!ensureInputTrust()) return;
    wakeHostForRemoteInputIfLocked();
    HostInputState& s = *state_;
    if (auto modifier = modifierKey(payload.keysym)) {
        s.inputKeyboardFlags = payload.isDown ? (s.inputKeyboardFlags | modifier->flags)
                                              : (s.inputKeyboardFlags & ~modifier->flags);
        s.noteModifier(sourceID, modifier->flags, payload.isDown);
        posting_->postKey(modifier->keyCode, payload.isDown, s.inputKeyboardFlags);
        return;
    }
    if (payload.isDown && !(s.inputKeyboardFlags & (EventFlag::control | EventFlag::command))) {
        if (auto text = exactPrintableASCIIPunctuation(payload.keysym)) {
            posting_->postUnicodeText(*text, 0);
            return;
        }
    }
    if (auto mapped = keyCode(payload.keysym)) {
        s.noteKey(sourceID, mapped->keyCode, payload.isDown);
        posting_->postKey(mapped->keyCode, payload.isDown, s.inputKeyboardFlags | mapped->flags);
        return;
    }
    const auto text = unicodeText(payload.keysym);
    if (!text) {
        char line[64];
        std::snprintf(line, sizeof line, "input: unsupported keysym 0x%X", payload.keysym);
        publish(line);
        return;
    }
    if (payload.isDown) posting_->postUnicodeText(*text, s.inputKeyboardFlags);
}

void HostRemoteInput::applyRawKeyEvent(const RawKeyEventControlPayload& payload, const UUID& sourceID) {
    assertOnQueue();
    if (!ensureInputTrust()) return;
    state_->noteKey(sourceID, payload.keyCode, payload.isDown);
    posting_->postKey(payload.keyCode, payload.isDown, payload.flags);
}

void HostRemoteInput::applySystemDefinedKeyEvent(const SystemDefinedKeyEventControlPayload& payload,
                                                 const UUID& sourceID) {
    assertOnQueue();
    if (payload.keyType == 25) {
        std::optional<std::string> name = hooks_.viewerSessionName ? hooks_.viewerSessionName(sourceID) : std::nullopt;
        publish("remote input: ignored system-defined MENU key from " + name.value_or("Viewer"));
        return;
    }
    if (payload.keyType == 13) {
        applyHostShortcut(HostShortcutControlPayload{HostShortcutKind::launchpad}, sourceID);
        return;
    }
    if (!ensureInputTrust()) return;
    if (!posting_->postSystemDefinedKey(payload.keyType)) {
        publish("host system key failed type=" + std::to_string(payload.keyType));
    }
}

}  // namespace qm
