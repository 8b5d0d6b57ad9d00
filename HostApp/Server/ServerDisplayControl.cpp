// Requests that change which real display is captured, or its mode, outside a capture request:
// a Viewer's host display mode and physical display action, and the status menu's display
// picker and virtual display switch. Each outcome is logged and told to every Viewer.
#include "HostApp/Server/ServerSupport.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

void V230HostAudioAuxServer::applyHostDisplayMode(std::uint8_t value) {
    assertOnQueue();
    if (value > 2) return;
    auto& d = display_;
    const DisplayID target = d.physicalDisplayID() != 0 ? d.physicalDisplayID() : d.selectedDisplayID();
    if (target == 0) {
        publish("host display control ignored: no real display selected");
        broadcastHostError("display: host display control ignored; no real display selected");
        return;
    }
    const VideoCaptureMode mode = value == 0   ? VideoCaptureMode::physical1080
                                  : value == 1 ? VideoCaptureMode::physical1440
                                               : d.currentVideoMode();
    const auto id = std::to_string(target);
    bool moved = false;
    if (d.useHeadlessVirtualDisplay() || d.selectedDisplayID() != target) {
        virtualDisplay_->stop(true);
        d.usePhysicalDisplay(target, true);
        publish("physical display control targeting real display " + id);
        broadcastHostError("display: headless virtual display disabled; selected real display=" + id);
        moved = true;
    }

    std::optional<double> delay;
    if (value <= 1) {
        const char* size = value == 0 ? "1080" : "1440";
        const auto t = HostDisplayModeSwitcher::displayModeTarget(mode);
        const auto result = modeSwitcher_ ? modeSwitcher_->switchDisplayMode(t.logicalWidth, t.logicalHeight,
                                                                             t.pixelWidth, t.pixelHeight, t.preferHiDPI,
                                                                             t.requireExactMatch, target, false)
                                          : HostDisplayModeSwitcher::SwitchResult::failure("no display service");
        if (result.isSuccess()) {
            const auto& g = *result.geometry;
            d.physicalDisplaySwitched(g.displayID);
            publish("host physical display switched " + g.summary());
            broadcastHostError(std::string("display: switched physical mode=") + size + "p " + g.summary());
            delay = 0.65;
        } else {
            publish(std::string("host physical ") + size + " switch failed: " + result.failureText);
            broadcastHostError(std::string("display: physical ") + size + " switch failed: " + result.failureText);
            if (moved) delay = 0.35;
        }
    } else {
        const auto restored = modeSwitcher_ ? modeSwitcher_->restoreOriginalMode(target) : std::nullopt;
        if (!restored) {
            publish("host physical native restore skipped: no saved original mode for display " + id);
            broadcastHostError("display: no saved original mode for display=" + id);
            if (moved) delay = 0.35;
        } else if (restored->isSuccess()) {
            const auto& g = *restored->geometry;
            d.physicalDisplaySwitched(g.displayID);
            publish("host physical display restored original " + g.summary());
            broadcastHostError("display: restored original " + g.summary());
            delay = 0.65;
        } else {
            publish("host physical native restore failed: " + restored->failureText);
            broadcastHostError("display: restore original display " + id + " failed: " + restored->failureText);
            if (moved) delay = 0.35;
        }
    }
    if (!delay) return;

    d.setVideoMode(mode);
    d.setCaptureBackend(VideoCaptureBackend::physical);
    resumeAuxVideoCaptureAfterZeroFrameSuspension("host physical display mode request");
    video_.resetStartRetries();
    d.forgetLayout();
    static const char* const labels[] = {"Host 1080", "Host 1440", "Host Native"};
    publish(std::string("host display request ") + labels[value] + " using capture " +
            DisplayTargetState::modeTitle(mode) + "; restarting encoder");
    restartVideoCapture(*delay);
}

void V230HostAudioAuxServer::applyHostPhysicalDisplayAction(std::uint8_t action) {
    assertOnQueue();
    if (action != 1 && action != 2) return;
    const std::string name = action == 1 ? "main" : "next";
    auto& d = display_;
    if (signedInViewersAreSeveral()) {
        const std::string text =
            "display: ignored remote physical display action " + name + " while multiple viewers are active";
        publish(text);
        broadcastHostError(text);
        return;
    }
    // Only real displays are candidates: the virtual display is what "physical" moves away from,
    // and stopping it while choosing it would leave nothing to capture. It is the main display
    // while promoted, so "main" means the main one only when that is real.
    const DisplayID virtualID = virtualDisplay_->isActive() ? virtualDisplay_->displayID : 0;
    const auto real = modeSwitcher_ ? modeSwitcher_->activePhysicalDisplayIDs(virtualID) : std::vector<DisplayID>{};
    const auto isReal = [&](DisplayID id) { return std::find(real.begin(), real.end(), id) != real.end(); };
    const DisplayID main = modeSwitcher_ ? modeSwitcher_->mainDisplayID() : 0;
    const auto mainOrFirst = [&]() -> DisplayID {
        if (isReal(main)) return main;
        return real.empty() ? 0 : real.front();
    };
    DisplayID current = d.physicalDisplayID() != 0 ? d.physicalDisplayID() : d.selectedDisplayID();
    if (!isReal(current)) current = mainOrFirst();
    DisplayID target = 0;
    if (action == 1) {
        target = mainOrFirst();
    } else if (current != 0) {
        // The display after the current one in the switcher's order, skipping what is not real.
        target = current;
        DisplayID candidate = current;
        const auto steps = modeSwitcher_->activeDisplayIDs().size();
        for (std::size_t i = 0; i <= steps; ++i) {
            const auto next = modeSwitcher_->nextDisplayID(candidate);
            if (!next || *next == current) break;
            candidate = *next;
            if (isReal(candidate)) {
                target = candidate;
                break;
            }
        }
    }
    if (target == 0) {
        publish("host physical display control ignored: no real display available");
        broadcastHostError("display: host physical display control ignored; no real display available");
        return;
    }
    const auto id = std::to_string(target);
    const bool wasVirtual = d.useHeadlessVirtualDisplay();
    if (wasVirtual) {
        virtualDisplay_->stop(true);
    } else if (d.selectedDisplayID() == target && d.physicalDisplayID() == target) {
        publish("remote physical display " + name + " already targeting display " + id);
        broadcastHostError("display: physical " + name + " already selected display=" + id);
        return;
    } else if (d.selectedDisplayID() != 0 && d.selectedDisplayID() != target) {
        restoreOriginalDisplayModeIfNeeded(d.selectedDisplayID(), "switching remote physical target to " + id);
    }
    const DisplayID previousSelected = d.selectedDisplayID();
    const CaptureModeControlPayload previousRequest = d.currentCaptureRequest();
    d.usePhysicalDisplay(target, true);
    d.setCaptureBackend(VideoCaptureBackend::physical);
    if (d.currentCaptureRequest() == previousRequest && previousSelected == target) {
        publish("remote physical display " + name + " already using display " + id);
        broadcastHostError("display: physical " + name + " already using display=" + id);
        return;
    }
    const std::string notice = wasVirtual ? "headless virtual display disabled; selected real display " + id
                                          : "selected display " + id + "; display switch fallback disabled";
    publish("remote physical display " + name + ": " + notice);
    broadcastHostError("display: " + notice);
    audio_->restartAudioCapture(0.1);
    applyVideoCaptureMode(d.currentVideoMode());
}

void V230HostAudioAuxServer::selectDisplayID(std::uint32_t displayID) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, displayID] {
        auto self = weak.lock();
        if (!self) return;
        SnapshotOnExit snapshotOnExit{*self};
        auto& d = self->display_;
        const auto id = std::to_string(displayID);
        if (d.useHeadlessVirtualDisplay()) {
            d.choosePhysicalDisplay(displayID);
            self->publish("selected physical display " + id + " for audio/fallback while virtual display remains active");
            self->broadcastHostError("display: selected physical display=" + id + " while virtual display remains active");
            self->audio_->restartAudioCapture(0.1);
            const auto layout = self->currentDisplayLayout();
            self->publish("display layout " + layout.summary());
            self->broadcastDisplayLayout(layout);
            return;
        }
        if (d.selectedDisplayID() != 0 && d.selectedDisplayID() != displayID) {
            self->restoreOriginalDisplayModeIfNeeded(d.selectedDisplayID(), "switching physical target to " + id);
        }
        d.usePhysicalDisplay(displayID, true);
        self->publish("selected display " + id + "; display switch fallback disabled");
        self->broadcastHostError("display: selected display=" + id + "; fallback disabled");
        self->audio_->restartAudioCapture(0.1);
        self->applyVideoCaptureMode(d.currentVideoMode());
    });
}

void V230HostAudioAuxServer::setHeadlessVirtualDisplayEnabled(bool enabled) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, enabled] {
        auto self = weak.lock();
        if (!self) return;
        SnapshotOnExit snapshotOnExit{*self};
        auto& d = self->display_;
        if (d.useHeadlessVirtualDisplay() == enabled) return;
        if (enabled) {
            d.useVirtualDisplay(true);
            self->restoreOriginalDisplayModeIfNeeded(d.selectedDisplayID(), "headless virtual display enabled");
            self->publish("headless virtual display enabled");
            self->publish("warning: headless virtual display changes WindowServer topology; Apple Screen Sharing may "
                          "show artifacts during debugging");
            self->broadcastHostError("display: headless virtual display enabled");
        } else {
            d.setCaptureBackend(VideoCaptureBackend::physical);
            self->virtualDisplay_->stop(true);
            // The remembered real display is selected, even when none is known yet.
            d.usePhysicalDisplay(d.physicalDisplayID(), false);
            const auto id = std::to_string(d.selectedDisplayID());
            self->publish("headless virtual display disabled; selected real display " + id);
            self->broadcastHostError("display: headless virtual display disabled; selected real display=" + id);
        }
        self->applyVideoCaptureMode(d.currentVideoMode());
    });
}

void V230HostAudioAuxServer::restoreOriginalDisplayModeIfNeeded(std::uint32_t displayID, const std::string& reason) {
    assertOnQueue();
    if (!modeSwitcher_) return;
    const auto restored = modeSwitcher_->restoreOriginalMode(displayID);
    if (!restored) return;
    if (restored->isSuccess()) {
        const auto& g = *restored->geometry;
        publish(reason + "; restored original " + g.summary());
        broadcastHostError("display: restored original " + g.summary());
    } else {
        const auto id = std::to_string(displayID);
        publish(reason + "; failed to restore original display " + id + ": " + restored->failureText);
        broadcastHostError("display: restore original display " + id + " failed: " + restored->failureText);
    }
}

}  // namespace qm
