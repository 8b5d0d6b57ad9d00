// Making the virtual display the Host's desktop: it becomes the main display (the reference
// display mirrors it, or the others line up to its right) and application windows are moved
// onto it, once at promotion and again after applications launch, activate or unhide.
#include <algorithm>
#include <cmath>

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/Core/Geometry.h"

namespace qm {

namespace {

constexpr double windowMinimumSide = 40;
constexpr double windowMargin = 20;
constexpr double windowMinimumWidth = 240;
constexpr double windowMinimumHeight = 160;
constexpr double sweepDelay = 0.65;
constexpr int prohibitedActivationPolicy = 2;

std::int64_t roundedSide(double value) { return std::max<std::int64_t>(1, roundedInt(value)); }

}  // namespace

std::pair<bool, std::string> HeadlessVirtualDisplay::promoteToPrimaryDesktop(DisplayID reference) {
    const DisplayID v = displayID;
    if (!display || v == 0) return {false, "virtual display inactive"};
    cancelVirtualDesktopWindowMigration();
    if (!displays_) return {false, "display configuration could not begin"};
    if (reference == 0) reference = displays_->mainDisplayID();
    const Rect bounds = displays_->bounds(v);
    if (!(bounds.width() > 0) || !(bounds.height() > 0)) return {false, "virtual display bounds unavailable"};
    const auto active = activeDisplayIDs();
    const auto listed = [&](DisplayID id) { return std::find(active.begin(), active.end(), id) != active.end(); };
    if (!listed(v)) return {false, "virtual display " + std::to_string(v) + " is not active"};

    DisplayConfigurationRef configuration = 0;
    if (displays_->beginDisplayConfiguration(configuration) != displayErrorSuccess || configuration == 0) {
        return {false, "display configuration could not begin"};
    }
    std::string mirrorNote = "physical mirror not requested";
    DisplayID mirrored = 0;
    if (reference != 0 && reference != v && listed(reference)) {
        const auto error = displays_->configureDisplayMirrorOfDisplay(configuration, reference, v);
        if (error == displayErrorSuccess) {
            mirrored = reference;
            mirrorNote = "display " + std::to_string(reference) + " mirrored to virtual desktop";
        } else {
            mirrorNote = "display " + std::to_string(reference) + " mirror failed CG " + std::to_string(error) +
                         "; using extended layout";
        }
    }
    // The reference display first, the rest by id.
    std::vector<DisplayID> others;
    for (const auto id : active) {
        if (id != v && id != mirrored && id != reference) others.push_back(id);
    }
    std::stable_sort(others.begin(), others.end());
    if (reference != v && reference != mirrored && listed(reference)) others.insert(others.begin(), reference);

    if (const auto error = displays_->configureDisplayOrigin(configuration, v, 0, 0); error != displayErrorSuccess) {
        displays_->cancelDisplayConfiguration(configuration);
        return {false, "virtual display origin update failed CG " + std::to_string(error)};
    }
    std::int64_t x = roundedSide(bounds.width());
    for (const auto id : others) {
        if (const auto error = displays_->configureDisplayOrigin(configuration, id, static_cast<std::int32_t>(x), 0);
            error != displayErrorSuccess) {
            displays_->cancelDisplayConfiguration(configuration);
            return {false, "display " + std::to_string(id) + " origin update failed CG " + std::to_string(error)};
        }
        x += roundedSide(displays_->bounds(id).width());
    }
    if (const auto error = displays_->completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession);
        error != displayErrorSuccess) {
        return {false, "display layout apply failed CG " + std::to_string(error)};
    }
    const bool becameMain = waitForMainDisplay(v, 2.0);
    if (isActive()) refreshGeometry();
    const auto [moved, moveMessage] = moveApplicationWindows(reference, v);

    virtualDesktopWindowMigrationEnabled = true;
    ensureWindowMigrationObservers();
    scheduleVirtualDesktopWindowMigration("desktop promotion", sweepDelay);

    const std::string tail = "; " + mirrorNote + "; " + moveMessage;
    if (becameMain) return {true, "virtual display " + std::to_string(v) + " promoted to main desktop" + tail};
    return {moved > 0,
            "display layout applied but main display is still " + std::to_string(displays_->mainDisplayID()) + tail};
}

void HeadlessVirtualDisplay::ensureWindowMigrationObservers() {
    if (!virtualDesktopWindowMigrationEnabled || !workspaceWindowMigrationObservers.empty() || !workspace_) return;
    std::weak_ptr<HeadlessVirtualDisplay> weak = weak_from_this();
    const std::pair<WorkspaceApplicationEvent, const char*> events[] = {
        {WorkspaceApplicationEvent::didLaunch, "app launch"},
        {WorkspaceApplicationEvent::didActivate, "app activate"},
        {WorkspaceApplicationEvent::didUnhide, "app unhide"},
    };
    for (const auto& [event, reason] : events) {
        workspaceWindowMigrationObservers.push_back(
            workspace_->addApplicationObserver(event, [weak, reason = std::string(reason)] {
                if (auto self = weak.lock()) self->scheduleVirtualDesktopWindowMigration(reason, sweepDelay);
            }));
    }
}

void HeadlessVirtualDisplay::scheduleVirtualDesktopWindowMigration(const std::string& reason, double delay) {
    std::lock_guard lock(stateLock);
    if (!virtualDesktopWindowMigrationEnabled || !eventQueue) return;
    if (pendingWindowMigrationTask) pendingWindowMigrationTask->cancel();
    if (!(delay >= 0.1)) delay = 0.1;  // also catches NaN
    std::weak_ptr<HeadlessVirtualDisplay> weak = weak_from_this();
    pendingWindowMigrationTask = eventQueue->asyncAfter(delay, [weak, reason] {
        auto self = weak.lock();
        if (!self) return;
        std::string result;
        {
            std::lock_guard lock(self->stateLock);
            if (!self->virtualDesktopWindowMigrationEnabled) return;
            self->pendingWindowMigrationTask.reset();
            result = self->enforceVirtualDesktopWindowPlacement(reason);
        }
        if (!result.empty()) self->log(result);
    });
}

std::string HeadlessVirtualDisplay::enforceVirtualDesktopWindowPlacement(const std::string& reason) {
    if (!virtualDesktopWindowMigrationEnabled || !display || displayID == 0) return {};
    std::vector<std::string> kept;
    for (const auto source : activeDisplayIDs()) {
        if (source == displayID) continue;
        const auto [moved, message] = moveApplicationWindows(source, displayID);
        if (moved > 0 || message.find("tried") != std::string::npos || message.find("found") != std::string::npos) {
            kept.push_back(message);
        }
    }
    if (kept.empty()) return {};
    std::string text = "window sweep after " + reason + ": ";
    for (std::size_t i = 0; i < kept.size(); ++i) text += (i ? "; " : "") + kept[i];
    return text;
}

std::pair<std::int64_t, std::string> HeadlessVirtualDisplay::moveApplicationWindows(DisplayID from, DisplayID to) {
    if (from == 0 || from == to) return {0, "window migration skipped; source display already matches virtual desktop"};
    const Rect s = displays_ ? displays_->bounds(from) : Rect{};
    const Rect t = displays_ ? displays_->bounds(to) : Rect{};
    if (!(s.width() > 0) || !(s.height() > 0) || !(t.width() > 0) || !(t.height() > 0)) {
        return {0, "window migration skipped; display bounds unavailable"};
    }
    if (!accessibility_ || !accessibility_->isProcessTrusted()) {
        return {0, "window migration skipped; Accessibility permission missing"};
    }
    const std::vector<std::string> excluded{hostBundleIdentifier, "com.apple.dock", "com.apple.systemuiserver",
                                            "com.apple.WindowManager"};
    std::int64_t candidates = 0;
    std::int64_t moved = 0;
    const auto applications = workspace_ ? workspace_->runningApplications() : std::vector<RunningApplication>{};
    for (const auto& application : applications) {
        if (std::find(excluded.begin(), excluded.end(), application.bundleIdentifier) != excluded.end()) continue;
        if (application.activationPolicy == prohibitedActivationPolicy || application.isTerminated ||
            application.processIdentifier <= 0) {
            continue;
        }
        const auto element = accessibility_->applicationElement(application.processIdentifier);
        if (!element) continue;
        const auto windows = element->attribute("AXWindows");
        if (!std::holds_alternative<std::vector<AXElementPtr>>(windows)) continue;
        for (const auto& window : std::get<std::vector<AXElementPtr>>(windows)) {
            if (!window) continue;
            const auto frame = axWindowFrame(*window);
            if (!frame) continue;
            const double cx = frame->minX() + frame->width() / 2;
            const double cy = frame->minY() + frame->height() / 2;
            if (cx < s.minX() || cx >= s.maxX() || cy < s.minY() || cy >= s.maxY()) continue;
            ++candidates;
            const double width = std::min(frame->width(), std::max(t.width() - 2 * windowMargin, windowMinimumWidth));
            const double height =
                std::min(frame->height(), std::max(t.height() - 2 * windowMargin, windowMinimumHeight));
            const auto place = [](double windowMin, double sourceMin, double targetMin, double targetMax, double side) {
                const double carried = windowMin - sourceMin + targetMin;
                const double low = targetMin + windowMargin;
                const double high = std::max(low, targetMax - side - windowMargin);
                return std::clamp(carried, low, high);
            };
            const Point origin{place(frame->minX(), s.minX(), t.minX(), t.maxX(), width),
                               place(frame->minY(), s.minY(), t.minY(), t.maxY(), height)};
            const bool sized = window->setAttribute("AXSize", Size{width, height});
            const bool placed = window->setAttribute("AXPosition", origin);
            if (sized || placed) ++moved;
        }
    }
    if (moved > 0) {
        return {moved, "moved " + std::to_string(moved) + " window(s) from display " + std::to_string(from) +
                           " to virtual display " + std::to_string(to)};
    }
    if (candidates > 0) {
        return {0, "window migration tried " + std::to_string(candidates) + " window(s) from display " +
                       std::to_string(from) + " but none accepted repositioning"};
    }
    return {0, "window migration found no app windows centered on display " + std::to_string(from)};
}

std::optional<Rect> HeadlessVirtualDisplay::axWindowFrame(const AXElement& window) {
    const auto position = window.attribute("AXPosition");
    const auto size = window.attribute("AXSize");
    if (!std::holds_alternative<Point>(position) || !std::holds_alternative<Size>(size)) return std::nullopt;
    const auto p = std::get<Point>(position);
    const auto z = std::get<Size>(size);
    if (!(z.width > windowMinimumSide) || !(z.height > windowMinimumSide)) return std::nullopt;
    return Rect{p.x, p.y, z.width, z.height};
}

}  // namespace qm
