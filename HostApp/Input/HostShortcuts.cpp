#include <sys/utsname.h>

#include "HostApp/Input/HostRemoteInput.h"
#include "Platform/SessionDesktop.h"

namespace qm {

namespace {
// Fields of the synthetic Dock swipe: an event retyped to Dock control (30) carrying gesture
// type 23 with its phase, direction, progress and velocity, followed by a bare gesture event.
constexpr std::uint32_t fieldGestureHIDType = 110;
constexpr std::uint32_t fieldSwipePhase = 132;
constexpr std::uint32_t fieldSwipeDirection = 135;
constexpr std::uint32_t fieldSwipeFlag = 123;
constexpr std::uint32_t fieldSwipeValue = 119;
constexpr std::uint32_t fieldSwipeProgress = 124;
constexpr std::uint32_t fieldSwipeVelocity = 129;
constexpr std::uint32_t fieldSwipeVelocityY = 130;
constexpr std::uint32_t fieldSwipeMinimum = 139;
constexpr std::uint64_t dockSwipeEventMask = 0x60000000;  // types 29 and 30
constexpr double inputSourceControlRelease = 0.25;
// The Option flag of the Option + system-key shortcuts is let go after the key's release.
constexpr double optionReleaseDelay = HostEventPosting::systemKeyReleaseDelay + 0.01;

std::string operatingSystemVersionString() {
    utsname name{};
    if (::uname(&name) != 0) return "unknown system";
    return std::string(name.sysname) + " " + name.release;
}
}  // namespace

std::string HostRemoteInput::launchpadReportText(LaunchpadActivationResult result) {
    switch (result) {
    case LaunchpadActivationResult::dockPrivateToggle: return "host shortcut: Launchpad Dock private toggle";
    case LaunchpadActivationResult::dockTilePress: return "host shortcut: Launchpad Dock tile press";
    case LaunchpadActivationResult::bundleIdentifierActivation: return "host shortcut: Launchpad bundle-id activation";
    case LaunchpadActivationResult::systemKey: return "host shortcut: Launchpad system key";
    case LaunchpadActivationResult::openApplicationFallback: return "host shortcut: Launchpad open -a fallback";
    case LaunchpadActivationResult::appleScriptFallback: return "host shortcut: Launchpad AppleScript fallback";
    case LaunchpadActivationResult::failed: break;
    }
    return "host shortcut: Launchpad trigger failed on " + operatingSystemVersionString();
}

void HostRemoteInput::applyHostShortcut(const HostShortcutControlPayload& payload, const UUID& sourceID) {
    assertOnQueue();
    const auto systemKey = [this](std::uint16_t keyType) { posting_->postSystemDefinedKey(keyType); };
    const auto trustedCombo = [this](std::uint16_t keyCode, EventFlags flags, const char* text, bool toViewers) {
        if (!ensureInputTrust()) return;
        posting_->postDelayedKeyCombo(keyCode, flags);
        if (toViewers) {
            report(text);
        } else {
            publish(text);
        }
    };
    switch (payload.kind) {
    case HostShortcutKind::missionControl: applyMissionControl(sourceID); break;
    case HostShortcutKind::launchpad: {
        std::weak_ptr<HostRemoteInput> weak = weak_from_this();
        activateLaunchpad([weak](LaunchpadActivationResult result) {
            if (auto self = weak.lock()) self->report(launchpadReportText(result));
        });
        break;
    }
    case HostShortcutKind::nextDesktop: applyDesktopSwitch(true); break;
    case HostShortcutKind::previousDesktop: applyDesktopSwitch(false); break;
    case HostShortcutKind::appExpose:
        trustedCombo(125, EventFlag::control, "host shortcut: Control+Down App Expose", true);
        break;
    case HostShortcutKind::playPause: systemKey(16); break;
    case HostShortcutKind::nextTrack: systemKey(17); break;
    case HostShortcutKind::previousTrack: systemKey(18); break;
    case HostShortcutKind::mute: systemKey(7); break;
    case HostShortcutKind::volumeUp: systemKey(0); break;
    case HostShortcutKind::volumeDown: systemKey(1); break;
    case HostShortcutKind::brightnessUp: systemKey(2); break;
    case HostShortcutKind::brightnessDown: systemKey(3); break;
    case HostShortcutKind::keyboardIlluminationUp: systemKey(21); break;
    case HostShortcutKind::keyboardIlluminationDown: systemKey(22); break;
    case HostShortcutKind::nextInputSource: applyNextInputSource(); break;
    case HostShortcutKind::screenshot:
        trustedCombo(20, EventFlag::shift | EventFlag::command, "host shortcut: screenshot (Shift+Cmd+3)", false);
        break;
    case HostShortcutKind::screenRecording:
        trustedCombo(23, EventFlag::shift | EventFlag::command, "host shortcut: recording toggle (Shift+Cmd+5)", false);
        break;
    case HostShortcutKind::lockScreen:
        if (sessionDesktop_) {
            // The session's own lock: a key combination would only reach the focused application.
            const auto failure = sessionDesktop_->lockSession();
            report(failure ? "host shortcut: lock screen failed (" + *failure + ")"
                           : std::string("host shortcut: lock screen (session lock)"));
            break;
        }
        trustedCombo(12, EventFlag::control | EventFlag::command, "host shortcut: lock screen (Ctrl+Cmd+Q)", true);
        break;
    case HostShortcutKind::wakeDisplay: {
        const std::int32_t result = userActivity_->declareUserActivity("Corventis wake request");
        report(result == 0 ? std::string("host shortcut: wake display (PM assertion)")
                           : "host shortcut: wake display failed (" + std::to_string(result) + ")");
        break;
    }
    case HostShortcutKind::pauseStream:
        if (hooks_.pauseStream) hooks_.pauseStream();
        break;
    case HostShortcutKind::resumeStream:
        if (hooks_.resumeStream) hooks_.resumeStream();
        break;
    case HostShortcutKind::optionMissionControl: applyOptionSystemKey(160); break;
    case HostShortcutKind::optionLaunchpad: applyOptionSystemKey(13); break;
    }
}

void HostRemoteInput::applyMissionControl(const UUID& sourceID) {
    const auto name = hooks_.viewerSessionName ? hooks_.viewerSessionName(sourceID) : std::nullopt;
    const auto address = hooks_.viewerSessionRemoteAddress ? hooks_.viewerSessionRemoteAddress(sourceID) : std::nullopt;
    publish("remote input: Mission Control requested by " + name.value_or("Viewer") + " from " +
            address.value_or("unknown"));
    const bool trusted = ensureInputTrust();
    if (trusted) {
        posting_->postFlagsChanged(0);
        posting_->postSystemDefinedKey(160);
    }
    std::weak_ptr<HostRemoteInput> weak = weak_from_this();
    openSystemApplication("Mission Control", std::string("com.apple.exposelauncher"), [weak, trusted](bool opened) {
        auto self = weak.lock();
        if (!self) return;
        if (trusted && !opened) self->posting_->postDelayedKeyCombo(126, EventFlag::control);
        self->report("host shortcut: opened Mission Control");
    });
}

void HostRemoteInput::applyDesktopSwitch(bool right) {
    if (sessionDesktop_) {
        // The window manager switches; nothing is typed into the focused application.
        const auto failure = sessionDesktop_->switchDesktop(right ? 1 : -1);
        const std::string which = right ? "next" : "previous";
        report(failure ? "host shortcut: " + which + " desktop failed (" + *failure + ")"
                       : "host shortcut: " + which + " desktop (window manager)");
        return;
    }
    if (!ensureInputTrust()) return;
    if (postDockSwipe(right)) {
        report(right ? "host shortcut: Dock swipe next desktop" : "host shortcut: Dock swipe previous desktop");
        return;
    }
    posting_->postDelayedKeyCombo(right ? 124 : 123, EventFlag::control);
    report(right ? "host shortcut: Control+Right next desktop fallback"
                 : "host shortcut: Control+Left previous desktop fallback");
}

void HostRemoteInput::applyNextInputSource() {
    posting_->postDelayedKeyCombo(49, EventFlag::control);
    std::weak_ptr<HostRemoteInput> weak = weak_from_this();
    queue_->asyncAfter(inputSourceControlRelease, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->posting_->postKey(59, false, 0);
        self->state_->inputKeyboardFlags &= ~EventFlag::control;
    });
    publish("host shortcut: next input source (Ctrl+Space)");
}

void HostRemoteInput::applyOptionSystemKey(std::uint16_t keyType) {
    if (!ensureInputTrust()) return;
    posting_->postFlagsChanged(EventFlag::option);
    posting_->postSystemDefinedKey(keyType);
    // Left set, Option would stick to every later keystroke on the Host.
    std::weak_ptr<HostEventPosting> posting = posting_;
    queue_->asyncAfter(optionReleaseDelay, [posting] {
        if (auto p = posting.lock()) p->postFlagsChanged(0);
    });
}

bool HostRemoteInput::hasDockSwipeEventTap() const {
    std::lock_guard lock(dockSwipeLock_);
    return dockSwipeEventTap_ != nullptr;
}

bool HostRemoteInput::postDockSwipe(bool right) {
    if (!hasDockSwipeEventTap()) {
        installDockSwipeEventTapIfNeeded();
        return false;
    }
    const double s = right ? 1.0 : -1.0;
    const struct {
        std::int64_t phase;
        double progress;
        double velocity;
    } phases[] = {{1, 0.0, 0.0}, {2, s * 1.0, s * 400.0}, {4, s * 2.0, s * 400.0}};
    for (const auto& phase : phases) {
        if (!poster_->canCreateEvent(EventType::null)) return false;
        InputEvent control = InputEvent::empty();
        control.setIntegerField(EventField::eventType, static_cast<std::int64_t>(EventType::dockControl));
        control.setIntegerField(fieldGestureHIDType, 23);
        control.setIntegerField(fieldSwipePhase, phase.phase);
        control.setIntegerField(fieldSwipeDirection, right ? 1 : 0);
        control.setIntegerField(fieldSwipeFlag, 1);
        control.doubleFields[fieldSwipeValue] = 0.0;
        control.doubleFields[fieldSwipeProgress] = phase.progress;
        control.doubleFields[fieldSwipeVelocity] = phase.velocity;
        control.doubleFields[fieldSwipeVelocityY] = 0.0;
        control.doubleFields[fieldSwipeMinimum] = 1.401298464324817e-45;
        InputEvent gesture = InputEvent::empty();
        gesture.setIntegerField(EventField::eventType, static_cast<std::int64_t>(EventType::gesture));
        poster_->post(control, EventTapLocation::session);
        poster_->post(gesture, EventTapLocation::session);
    }
    return true;
}

void HostRemoteInput::installDockSwipeEventTapIfNeeded() {
    std::weak_ptr<HostRemoteInput> weak = weak_from_this();
    auto target = mainQueue_ ? mainQueue_ : queue_;
    target->async([weak] {
        if (auto self = weak.lock()) self->installDockSwipeEventTapOnMain();
    });
}

bool HostRemoteInput::installDockSwipeEventTapOnMain() {
    if (hasDockSwipeEventTap()) return true;
    std::weak_ptr<HostRemoteInput> weak = weak_from_this();
    const auto publishOnQueue = [weak](std::string text) {
        if (auto self = weak.lock()) {
            self->queue_->async([weak, text] {
                if (auto again = weak.lock()) again->publish(text);
            });
        }
    };
    auto tap = poster_->createListenOnlyTap(EventTapLocation::session, dockSwipeEventMask, [weak](EventType type) {
        // The tap only listens; a tap the system disabled is switched back on.
        if (type != EventType::tapDisabledByTimeout && type != EventType::tapDisabledByUserInput) return;
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->dockSwipeLock_);
        if (self->dockSwipeEventTap_) self->dockSwipeEventTap_->setEnabled(true);
    });
    if (!tap) {
        publishOnQueue("host shortcut: failed to install Dock swipe event tap");
        return false;
    }
    if (!tap->addToMainRunLoop()) {
        publishOnQueue("host shortcut: failed to create Dock swipe run loop source");
        return false;
    }
    tap->setEnabled(true);
    std::lock_guard lock(dockSwipeLock_);
    dockSwipeEventTap_ = std::move(tap);
    return true;
}

}  // namespace qm
