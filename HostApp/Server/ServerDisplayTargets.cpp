// Choosing and preparing what is captured for a capture mode: the physical display (switched to
// the mode, or at its own resolution for Easy), the headless virtual display, the fallbacks when
// neither works out, and the iOS built-in display capture. Every path ends in one outcome (delay,
// final mode, restart flag) that applyVideoCaptureMode records and acts on.
#include <algorithm>
#include <cstdio>

#include "HostApp/Display/HeadlessVirtualDisplayTarget.h"
#include "HostApp/Server/ServerSupport.h"
#include "HostApp/Video/HostVideoCapture.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

namespace {

const std::string& titleOf(VideoCaptureMode mode) { return DisplayTargetState::modeTitle(mode); }

std::string formatted(const char* format, double value) {
    char text[160];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

// ---- Orchestration -----------------------------------------------------------------------------

bool V230HostAudioAuxServer::applyVideoCaptureMode(VideoCaptureMode mode) {
    assertOnQueue();
    if (isPaused) return false;
    resumeAuxVideoCaptureAfterZeroFrameSuspension("video mode request");
    auto& d = display_;
    if (sessions_.authorizedVideoSessions().empty()) {
        d.setVideoMode(mode);
        video_.startNoLongerAwaited();
        publish("capture display preparation deferred until an authorized Viewer connects");
        return false;
    }
    const VideoCaptureMode previous = d.currentVideoMode();

    // Easy with the screens awake is the physical display at its own resolution.
    if (mode == VideoCaptureMode::easy && !power_.screensAreSleeping() && !power_.savedPhysicalCapture() &&
        !power_.isPreflighting()) {
        if (const auto physical = usablePhysicalDisplayID(); physical != 0) {
            applyEasyAdaptivePhysicalCapture(physical);
            return true;
        }
    }
    d.setRequestMode(mode);

    // The request's backend chooses the path.
    if (d.currentCaptureRequest().backend == VideoCaptureBackend::headlessVirtual && !d.useHeadlessVirtualDisplay()) {
        d.useVirtualDisplay(true);
        publish("capture preset backend requested virtual display");
    } else if (d.currentCaptureRequest().backend == VideoCaptureBackend::physical && d.useHeadlessVirtualDisplay()) {
        virtualDisplay_->stop(true);
        d.returnToPhysicalDisplay();
        publish("capture preset backend requested real display " + std::to_string(d.selectedDisplayID()));
    }

    CaptureTargetOutcome outcome{0, previous, false};
    if (d.useHeadlessVirtualDisplay()) {
        const auto applied = applyHeadlessVirtualDisplayTemplate(mode);
        if (applied.restart) {
            d.resetHeadlessRealizeRetries();
            outcome = applied;
        } else {
            switch (scheduleHeadlessRealizeRetryIfNeeded(mode)) {
                case HeadlessRealizeDecision::retryPending: outcome = {0, previous, false}; break;
                case HeadlessRealizeDecision::retryExhausted:
                    outcome = fallbackToPhysicalNativeCapture("headless " + titleOf(mode) + " unrealized");
                    break;
                case HeadlessRealizeDecision::retryNotNeeded:
                    outcome = sessions_.videoSessions().empty()
                                  ? CaptureTargetOutcome{0, previous, false}
                                  : fallbackToPhysicalNativeCapture("headless " + titleOf(mode) + " unrealized on switch");
                    break;
            }
        }
    } else {
        const auto target = HostDisplayModeSwitcher::displayModeTarget(mode);
        const auto result = modeSwitcher_
                                ? modeSwitcher_->switchDisplayMode(target.logicalWidth, target.logicalHeight,
                                                                   target.pixelWidth, target.pixelHeight,
                                                                   target.preferHiDPI, target.requireExactMatch,
                                                                   d.selectedDisplayID(), !d.displaySelectionIsManual())
                                : HostDisplayModeSwitcher::SwitchResult::failure("no display service");
        if (!result.isSuccess()) {
            publish("host display switch warning: " + result.failureText);
            outcome = resolvePhysicalFallback(mode, previous, result.failureText);
        } else {
            const auto& g = *result.geometry;
            const auto& profile = DisplayProfileCatalog::profile(mode);
            d.physicalDisplaySwitched(g.displayID);
            const bool strictOK = DisplayTargetState::geometrySatisfiesStrictMode(g, mode);
            const bool logicalOK = g.logicalWidth == profile.resolution.logicalWidth &&
                                   g.logicalHeight == profile.resolution.logicalHeight;
            if (profile.requireStrictGeometry ? strictOK : logicalOK) {
                const std::string rest = profile.title + " " + g.summary();
                publish("host display switched mode=" + rest);
                broadcastHostError("display: switched mode=" + rest);
                outcome = {0.65, mode, true};
            } else if (profile.requireStrictGeometry) {
                const std::string detail = "mode=" + profile.title + " expected " +
                                           DisplayTargetState::strictGeometrySummary(mode) + ", got " + g.summary();
                publish("host display strict-mode mismatch: " + detail);
                outcome = resolvePhysicalFallback(mode, previous, "strict mismatch " + detail);
            } else {
                const std::string detail = "mode=" + profile.title + " expected logical " +
                                           std::to_string(profile.resolution.logicalWidth) + "x" +
                                           std::to_string(profile.resolution.logicalHeight) + ", got " + g.summary();
                publish("host display logical-mode mismatch: " + detail);
                outcome = resolvePhysicalFallback(mode, previous, "logical mismatch " + detail);
            }
        }
    }

    d.setVideoMode(outcome.mode);
    video_.resetStartRetries();
    d.forgetLayout();
    if (outcome.restart) {
        const char* label = outcome.mode == mode ? (mode == previous ? "verified" : "requested")
                                                 : (outcome.mode == previous ? "kept" : "fallback");
        publish(std::string("video mode ") + label + " " + titleOf(outcome.mode) + " on display " +
                std::to_string(d.selectedDisplayID()) + "; restarting encoder with " + d.currentCaptureRequest().summary());
        scheduleDisplayLayoutPublish(outcome.delay);
        restartAudioCaptureOnDisplaySwitch(outcome.delay);
        restartVideoCapture(outcome.delay);
    } else {
        const auto layout = currentDisplayLayout();
        publish("display layout " + layout.summary());
        broadcastDisplayLayout(layout);
        publish("video mode kept " + titleOf(outcome.mode) + " on display " + std::to_string(d.selectedDisplayID()) +
                "; preset not applied; " + d.currentCaptureRequest().summary());
    }
    return outcome.restart;
}

void V230HostAudioAuxServer::scheduleDisplayLayoutPublish(double after) {
    assertOnQueue();
    // One publish waits at a time: the layout is read when it runs, so a later request replaces an
    // earlier one, and a Viewer repeating its request cannot pile up broadcasts.
    if (displayLayoutPublish_) displayLayoutPublish_->cancel();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    displayLayoutPublish_ = queue->asyncAfter(std::max(after, 0.05), [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->display_.forgetLayout();
        const auto layout = self->currentDisplayLayout();
        self->publish("display layout " + layout.summary());
        self->broadcastDisplayLayout(layout);
    });
}

std::uint32_t V230HostAudioAuxServer::usablePhysicalDisplayID() const {
    assertOnQueue();
    if (!modeSwitcher_) return 0;
    return display_.usablePhysicalDisplayID(*modeSwitcher_, *virtualDisplay_).value_or(0);
}

// ---- Headless virtual display ------------------------------------------------------------------

std::optional<double> V230HostAudioAuxServer::prepareHeadlessVirtualDisplay(VideoCaptureMode mode) {
    assertOnQueue();
    if (power_.screensAreSleeping()) {
        publish("headless virtual display deferred while screens are asleep");
        return std::nullopt;
    }
    if (power_.wakeStabilizationDeadline()) {
        const double remaining = *power_.wakeStabilizationDeadline() - platform_.clock->wallTime();
        if (remaining > 0) {
            publish(formatted("headless virtual display deferred %.1fs after wake", remaining));
            return std::nullopt;
        }
        power_.wakeStabilizationEnded();
    }
    auto& d = display_;
    auto& vd = *virtualDisplay_;
    const auto target = HeadlessVirtualDisplayTarget::target(mode);
    const auto preset = HeadlessVirtualDisplay::Preset::from(DisplayProfileCatalog::profile(mode).resolution);
    const bool created = !vd.display || vd.displayID == 0 ||
                         std::find(vd.registeredPresets.begin(), vd.registeredPresets.end(), preset) ==
                             vd.registeredPresets.end();
    const DisplayID reference = d.physicalDisplayID() != 0 ? d.physicalDisplayID() : d.selectedDisplayID();
    const DisplayID mainBefore = platform_.displays ? platform_.displays->mainDisplayID() : 0;

    std::optional<std::string> error;
    if (created) {
        error = vd.startPresetDisplay(preset, "Corventis Presets", reference, false);
    } else if (!vd.activatePreset(preset)) {
        publish("headless virtual display in-place switch to " + titleOf(mode) + " failed; rebuilding");
        error = vd.startPresetDisplay(preset, "Corventis Presets", reference, false);
    }
    if (error) {
        publish("headless virtual display failed: " + *error);
        broadcastHostError("display: headless virtual display failed: " + *error);
        return std::nullopt;
    }
    d.virtualDisplayReady(vd.displayID);
    if (vd.display && vd.displayID != 0) {
        if (const auto geometry = vd.currentGeometry(vd.displayID)) vd.applyRealizedGeometry(*geometry);
    }
    if (mainBefore != vd.displayID || created) {
        const auto [applied, message] = vd.promoteToPrimaryDesktop(mainBefore);
        if (applied) {
            publish("headless virtual desktop ready " + message);
        } else {
            publish("headless virtual desktop promotion failed: " + message);
            broadcastHostError("display: headless virtual desktop promotion failed: " + message);
        }
    } else {
        publish("headless virtual desktop already primary display=" + std::to_string(mainBefore) +
                "; skipping desktop promotion");
    }
    publish("headless virtual display active " + vd.summary() + " target " + target.summary());
    return created ? 0.8 : 0.3;
}

CaptureTargetOutcome V230HostAudioAuxServer::applyHeadlessVirtualDisplayTemplate(VideoCaptureMode requestedMode) {
    assertOnQueue();
    auto& d = display_;
    if (const auto delay = prepareHeadlessVirtualDisplay(requestedMode)) return {*delay, requestedMode, true};
    // A virtual display that is up stays selected; else the selection is left as it was.
    if (virtualDisplay_->display && virtualDisplay_->displayID != 0) d.selectDisplay(virtualDisplay_->displayID);
    const auto& title = titleOf(requestedMode);
    const auto id = std::to_string(d.selectedDisplayID());
    publish("headless virtual display request " + title + " unavailable; keeping current display " + id);
    broadcastHostError("display: headless request " + title + " unavailable; preserving current display=" + id);
    return {0.2, requestedMode, false};
}

HeadlessRealizeDecision V230HostAudioAuxServer::scheduleHeadlessRealizeRetryIfNeeded(VideoCaptureMode mode) {
    assertOnQueue();
    auto& d = display_;
    if (sessions_.videoSessions().empty() || video_.lastConfig()) {
        d.resetHeadlessRealizeRetries();
        return HeadlessRealizeDecision::retryNotNeeded;
    }
    if (power_.screensAreSleeping()) {
        publish("aux video: waiting for wake before retrying headless virtual display");
        return HeadlessRealizeDecision::retryPending;
    }
    constexpr std::int64_t maximumRetries = DisplayTargetState::maximumHeadlessRealizeRetries;
    if (d.headlessRealizeRetriesExhausted()) return HeadlessRealizeDecision::retryExhausted;
    const auto n = d.noteHeadlessRealizeRetry();
    const double base = std::min(3.0, static_cast<double>(n) * 0.6 + 1.0);
    double wake = 0.15;
    if (power_.wakeStabilizationDeadline()) {
        wake = std::max(0.0, *power_.wakeStabilizationDeadline() - platform_.clock->wallTime() + 0.15);
    }
    const double delay = std::max(base, wake);
    char text[200];
    std::snprintf(text, sizeof text, "aux video: headless virtual display retry %lld/%lld for %s in %.2fs",
                  static_cast<long long>(n), static_cast<long long>(maximumRetries), titleOf(mode).c_str(), delay);
    publish(text);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->asyncAfter(delay, [weak, mode] {
        auto self = weak.lock();
        if (!self || self->sessions_.videoSessions().empty() || self->video_.lastConfig() ||
            !self->display_.useHeadlessVirtualDisplay()) {
            return;
        }
        self->applyVideoCaptureMode(mode);
    });
    return HeadlessRealizeDecision::retryPending;
}

// ---- Physical fallbacks ------------------------------------------------------------------------

CaptureTargetOutcome V230HostAudioAuxServer::resolvePhysicalFallback(VideoCaptureMode mode,
                                                                     VideoCaptureMode previousMode,
                                                                     const std::string& reason) {
    assertOnQueue();
    auto& d = display_;
    const auto fallback = DisplayTargetState::physicalFallbackModeFor(mode);
    if (!fallback) {
        broadcastHostError("display switch warning: " + reason + "; keeping " + titleOf(previousMode));
        return {0, previousMode, false};
    }
    const auto target = HostDisplayModeSwitcher::displayModeTarget(*fallback);
    const auto result = modeSwitcher_
                            ? modeSwitcher_->switchDisplayMode(target.logicalWidth, target.logicalHeight,
                                                               target.pixelWidth, target.pixelHeight,
                                                               target.preferHiDPI, target.requireExactMatch,
                                                               d.selectedDisplayID(), !d.displaySelectionIsManual())
                            : HostDisplayModeSwitcher::SwitchResult::failure("no display service");
    if (!result.isSuccess()) {
        broadcastHostError("display switch warning: " + reason + "; fallback " + titleOf(*fallback) +
                           " failed: " + result.failureText + "; keeping " + titleOf(previousMode));
        return {0, previousMode, false};
    }
    const auto& g = *result.geometry;
    d.physicalDisplaySwitched(g.displayID);
    publish("host physical fallback switched mode=" + titleOf(*fallback) + " " + g.summary());
    broadcastHostError("display switch warning: " + reason + "; using physical fallback " + titleOf(*fallback) + " " +
                       g.summary());
    return {0.65, *fallback, true};
}

CaptureTargetOutcome V230HostAudioAuxServer::fallbackToPhysicalNativeCapture(const std::string& reason) {
    assertOnQueue();
    auto& d = display_;
    const auto physical = usablePhysicalDisplayID();
    if (physical == 0) {
        publish("headless physical fallback skipped: no real display (" + reason + ")");
        broadcastHostError("display: headless physical fallback skipped; no real display");
        d.useVirtualDisplay(false);
        d.clearIOSBuiltInFlag();
        return {0, d.currentVideoMode(), false};
    }
    virtualDisplay_->stop(true);
    d.usePhysicalDisplay(physical, true);
    const auto guessed = DisplayTargetState::physicalFallbackModeFor(d.currentVideoMode()).value_or(d.currentVideoMode());
    const auto id = std::to_string(physical);
    const auto& currentTitle = titleOf(d.currentVideoMode());
    VideoCaptureMode finalMode = guessed;
    const auto restored = modeSwitcher_ ? modeSwitcher_->restoreOriginalMode(physical) : std::nullopt;
    if (!restored) {
        publish("headless physical fallback capturing current physical mode for display " + id + " (" + reason + ")");
        broadcastHostError("display: headless " + currentTitle + " unrealized; capturing physical display=" + id);
    } else if (restored->isSuccess()) {
        const auto& g = *restored->geometry;
        d.physicalDisplaySwitched(g.displayID);
        finalMode = DisplayTargetState::physicalFallbackMode(d.currentVideoMode(), g);
        publish("headless fallback to physical native " + g.summary() + " (" + reason + ")");
        broadcastHostError("display: headless " + currentTitle + " unrealized; using physical display " + g.summary());
    } else {
        publish("headless physical fallback restore failed: " + restored->failureText + " (" + reason + ")");
        broadcastHostError("display: headless physical fallback restore failed: " + restored->failureText);
    }
    d.setCaptureBackend(VideoCaptureBackend::physical);
    return {0.5, finalMode, true};
}

// ---- Easy at the display's own resolution ------------------------------------------------------

void V230HostAudioAuxServer::applyEasyAdaptivePhysicalCapture(std::uint32_t displayID,
                                                              const std::optional<CaptureModeControlPayload>& base) {
    assertOnQueue();
    auto& d = display_;
    const auto layout = modeSwitcher_ ? modeSwitcher_->displayLayout(displayID) : std::nullopt;
    const auto easy = DisplayTargetState::easyAdaptiveRequest(
        base.value_or(d.currentCaptureRequest()), layout, options_.fullChromaEncoding,
        [this](std::int64_t w, std::int64_t h, bool is444) { return adaptiveEasyBitrate(w, h, is444); });

    const CaptureModeControlPayload old = d.currentCaptureRequest();
    const DisplayID oldSelected = d.selectedDisplayID();
    const bool virtualWasLive = virtualDisplay_->isActive();
    if (d.useHeadlessVirtualDisplay() || virtualWasLive) virtualDisplay_->stop(false);
    d.usePhysicalDisplay(displayID, false);
    d.setCaptureRequest(easy, VideoCaptureMode::easy);
    resumeAuxVideoCaptureAfterZeroFrameSuspension("easy adaptive physical capture");
    video_.resetStartRetries();
    d.resetHeadlessRealizeRetries();

    const auto id = std::to_string(displayID);
    if (old == easy && !virtualWasLive && oldSelected == displayID && video_.isCapturing()) {
        publish("easy adaptive physical capture unchanged on display " + id);
        return;
    }
    d.forgetLayout();
    publish("easy adaptive: capturing physical display " + id + " at current resolution " + easy.summary());
    broadcastHostError("display: easy adaptive physical capture display=" + id + " at native resolution (no virtual display)");
    const auto current = currentDisplayLayout();
    publish("display layout " + current.summary());
    broadcastDisplayLayout(current);
    scheduleDisplayLayoutPublish(0.35);
    restartAudioCaptureOnDisplaySwitch(0.1);
    // The display keeps its mode, so only a running stream needs the pause to wind down before
    // the next one opens on it; with none running the first picture comes at once.
    restartVideoCapture(video_.isCapturing() ? 0.1 : 0.0);
}

// ---- iOS built-in display ----------------------------------------------------------------------

void V230HostAudioAuxServer::applyIOSBuiltInDisplayCaptureRequest(const CaptureModeControlPayload& request) {
    assertOnQueue();
    auto& d = display_;
    const auto physical = usablePhysicalDisplayID();
    if (physical == 0) {
        auto normalized = request;
        normalized.backend = VideoCaptureBackend::headlessVirtual;
        normalized.flags &= static_cast<std::uint8_t>(~CaptureModeControlPayload::iosBuiltInDisplayFlag);
        publish("iOS built-in display request received on headless Host; using headless virtual capture " +
                normalized.summary());
        broadcastHostError("display: no physical display; normalized iOS built-in capture to headless virtual display");
        d.setCaptureRequest(normalized, request.mode);
        d.useVirtualDisplay(false);
        applyVideoCaptureMode(request.mode);
        return;
    }
    auto normalized = request;
    normalized.backend = VideoCaptureBackend::physical;
    if (const auto layout = modeSwitcher_ ? modeSwitcher_->displayLayout(physical) : std::nullopt) {
        normalized.logicalWidth = layout->targetWidth;
        normalized.logicalHeight = layout->targetHeight;
        normalized.pixelWidth = layout->pixelWidth;
        normalized.pixelHeight = layout->pixelHeight;
        normalized.flags = static_cast<std::uint8_t>((request.flags & CaptureModeControlPayload::iosBuiltInDisplayFlag) |
                                                     (layout->flags & DisplayLayoutPayload::hiDPIFlag));
    }
    const DisplayID previousSelected = d.selectedDisplayID();
    const CaptureModeControlPayload previousRequest = d.currentCaptureRequest();
    if (d.useHeadlessVirtualDisplay()) virtualDisplay_->stop(true);
    d.usePhysicalDisplay(physical, false);
    d.setCaptureRequest(normalized, request.mode);
    if (previousRequest == normalized && previousSelected == physical && video_.isCapturing()) {
        publish("iOS built-in display capture unchanged");
        return;
    }
    d.forgetLayout();
    const auto id = std::to_string(physical);
    publish("iOS built-in display capture using physical display " + id +
            "; keeping current display mode; restarting encoder with " + normalized.summary());
    broadcastHostError("display: iOS built-in display capture using physical display=" + id +
                       " without switching host resolution");
    restartVideoCapture(video_.isCapturing() ? 0.1 : 0.0);
}

bool V230HostAudioAuxServer::shouldPreserveIOSBuiltInCapture(const CaptureModeControlPayload& request,
                                                             const UUID& sourceID) const {
    assertOnQueue();
    const auto ios = CaptureModeControlPayload::iosBuiltInDisplayFlag;
    const auto& owner = display_.iosBuiltInCaptureSessionID();
    return !(request.flags & ios) && request.mode == VideoCaptureMode::easy &&
           (display_.currentCaptureRequest().flags & ios) && owner && *owner != sourceID &&
           sessions_.authorizedAudioSessions().contains(*owner) && sessions_.authorizedAudioSessions().size() > 1;
}

bool V230HostAudioAuxServer::shouldReapplyCaptureMode(const CaptureModeControlPayload& request) {
    assertOnQueue();
    const auto& d = display_;
    if (d.currentVideoMode() != request.mode) return true;
    if (request.backend == VideoCaptureBackend::headlessVirtual) {
        if (!d.useHeadlessVirtualDisplay() || !virtualDisplay_->isActive()) return true;
        const auto& profile = DisplayProfileCatalog::profile(d.currentVideoMode());
        const auto preset = HeadlessVirtualDisplay::Preset::from(profile.resolution);
        const auto& registered = virtualDisplay_->registeredPresets;
        if (std::find(registered.begin(), registered.end(), preset) == registered.end()) return true;
        if (profile.requireStrictGeometry) {
            return !DisplayTargetState::realizedHeadlessGeometryIfSatisfied(request.mode, virtualDisplay_->displayID,
                                                                            *virtualDisplay_);
        }
        return false;
    }
    if (d.useHeadlessVirtualDisplay() || d.selectedDisplayID() == 0) return true;
    const auto layout = modeSwitcher_ ? modeSwitcher_->displayLayout(d.selectedDisplayID()) : std::nullopt;
    if (!layout) return true;
    return !DisplayTargetState::physicalDisplayLayoutSatisfies(*layout, request);
}

}  // namespace qm
