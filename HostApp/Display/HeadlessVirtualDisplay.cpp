// The virtual display's lifecycle: start, in-place preset switches, geometry and stop.
#include "HostApp/Display/HeadlessVirtualDisplay.h"

#include <algorithm>
#include <cstdio>

#include "Platform/Core/Geometry.h"
#include "Platform/Core/LogSink.h"

namespace qm {

namespace {

constexpr double pollInterval = 0.12;
constexpr double presetPollInterval = 0.06;
constexpr double presetSwitchTimeout = 0.4;
constexpr double removalPollInterval = 0.08;
constexpr double removalTimeout = 2.4;
constexpr double pendingGeometryTimeout = 0.45;
constexpr double requiredGeometryTimeout = 6.8;

// The capture mode in the same catalogue position as a resolution kind.
CaptureModeKind modeKindFor(ResolutionKind kind) {
    switch (kind) {
        case ResolutionKind::fullHD1080: return CaptureModeKind::physical1080;
        case ResolutionKind::qhd1440: return CaptureModeKind::physical1440;
        case ResolutionKind::hidpi1080: return CaptureModeKind::easy;
        case ResolutionKind::hidpi1440: return CaptureModeKind::pro;
        case ResolutionKind::canvas2880: return CaptureModeKind::max;
    }
    return CaptureModeKind::easy;
}

}  // namespace

std::string HeadlessVirtualDisplay::RealizedGeometry::summary() const {
    const double scale = logicalWidth < 1 ? 1.0 : static_cast<double>(pixelWidth) / static_cast<double>(logicalWidth);
    char buf[256];
    std::snprintf(buf, sizeof buf, "display=%u logical=%lldx%lld px=%lldx%lld scale=%.1fx %.0fHz%s", displayID,
                  static_cast<long long>(logicalWidth), static_cast<long long>(logicalHeight),
                  static_cast<long long>(pixelWidth), static_cast<long long>(pixelHeight), scale, refreshRate,
                  isHiDPI ? " HiDPI" : "");
    return buf;
}

HeadlessVirtualDisplay::HeadlessVirtualDisplay(const HostPlatform& platform)
    : eventQueue(platform.makeQueue ? platform.makeQueue(eventQueueLabel) : nullptr),
      displays_(platform.displays),
      factory_(platform.virtualDisplays),
      clock_(platform.clock ? platform.clock : SystemClock::shared()),
      accessibility_(platform.accessibility),
      workspace_(platform.workspace) {}

HeadlessVirtualDisplay::~HeadlessVirtualDisplay() { cancelVirtualDesktopWindowMigration(); }

void HeadlessVirtualDisplay::log(const std::string& line) const {
    const std::string text = "[HeadlessVirtualDisplay] " + line;
    if (logSink) {
        logSink(text);
    } else {
        logLine(text);
    }
}

bool HeadlessVirtualDisplay::isActive() const { return display != nullptr && displayID != 0; }

std::string HeadlessVirtualDisplay::summary() const {
    if (!isActive()) return "virtual display inactive";
    std::string text = "virtual display=" + std::to_string(displayID) + " logical=" + std::to_string(logicalWidth) + "x" +
                       std::to_string(logicalHeight) + " px=" + std::to_string(pixelWidth) + "x" +
                       std::to_string(pixelHeight);
    if (isHiDPI) text += " HiDPI";
    if (currentPreset) text += " preset=" + currentPreset->title;
    return text;
}

std::string HeadlessVirtualDisplay::familyTitles() const {
    std::string titles;
    for (std::size_t i = 0; i < registeredPresets.size(); ++i) titles += (i ? "," : "") + registeredPresets[i].title;
    return titles;
}

std::optional<HeadlessVirtualDisplay::RealizedGeometry> HeadlessVirtualDisplay::currentGeometry(DisplayID id) const {
    if (id == 0 || !displays_) return std::nullopt;
    const auto info = displays_->display(id);
    if (!info || !info->currentMode) return std::nullopt;
    const auto& mode = *info->currentMode;
    RealizedGeometry g;
    g.displayID = id;
    g.logicalWidth = std::max<std::int64_t>(1, roundedInt(info->bounds.width()));
    g.logicalHeight = std::max<std::int64_t>(1, roundedInt(info->bounds.height()));
    g.pixelWidth = mode.pixelWidth > 0 ? mode.pixelWidth : std::max(mode.width, g.logicalWidth);
    g.pixelHeight = mode.pixelHeight > 0 ? mode.pixelHeight : std::max(mode.height, g.logicalHeight);
    g.x = roundedInt(info->bounds.minX());
    g.y = roundedInt(info->bounds.minY());
    g.isHiDPI = static_cast<double>(g.pixelWidth) / static_cast<double>(g.logicalWidth) > 1.25;
    g.refreshRate = mode.refreshRate > 0 ? mode.refreshRate : 60.0;
    return g;
}

HeadlessVirtualDisplay::RealizedGeometry HeadlessVirtualDisplay::normalizedGeometry(
    const RealizedGeometry& g, const std::optional<Preset>& expectedPreset) {
    if (!expectedPreset) return g;
    const auto& p = *expectedPreset;
    RealizedGeometry n = g;
    if (p.hiDPI) {
        // Shown at one pixel per point: the points the preset meant are half its pixels.
        if (g.logicalWidth == g.pixelWidth && g.logicalHeight == g.pixelHeight && g.pixelWidth >= p.pixelWidth &&
            g.pixelHeight >= p.pixelHeight) {
            n.logicalWidth = p.pixelWidth / 2;
            n.logicalHeight = std::max<std::int64_t>(1, p.pixelHeight / 2);
            n.pixelWidth = p.pixelWidth;
            n.pixelHeight = p.pixelHeight;
            n.isHiDPI = true;
        }
        return n;
    }
    // Reported a few rows short of the preset: the preset's size is what it shows.
    const auto shortOf = [&](std::int64_t value) { return p.pixelHeight - value >= 1 && p.pixelHeight - value <= 16; };
    if (g.logicalWidth == p.pixelWidth && g.pixelWidth == p.pixelWidth && shortOf(g.logicalHeight) &&
        shortOf(g.pixelHeight)) {
        n.logicalWidth = n.pixelWidth = p.pixelWidth;
        n.logicalHeight = n.pixelHeight = p.pixelHeight;
    }
    return n;
}

void HeadlessVirtualDisplay::applyRealizedGeometry(const RealizedGeometry& g) {
    // The window-migration task reads the geometry on the event queue, under the same lock.
    std::lock_guard lock(stateLock);
    const auto n = normalizedGeometry(g, currentPreset);
    displayID = n.displayID;
    x = n.x;
    y = n.y;
    logicalWidth = n.logicalWidth;
    logicalHeight = n.logicalHeight;
    pixelWidth = n.pixelWidth;
    pixelHeight = n.pixelHeight;
    isHiDPI = n.isHiDPI;
    currentPreset.reset();
    for (const auto& preset : presets()) {
        if (preset.logicalWidth() == n.logicalWidth && preset.logicalHeight() == n.logicalHeight &&
            preset.hiDPI == n.isHiDPI) {
            currentPreset = preset;
            break;
        }
    }
}

void HeadlessVirtualDisplay::applyExpectedGeometry(DisplayID id, const Preset& preset) {
    const Rect bounds = displays_ ? displays_->bounds(id) : Rect();
    std::lock_guard lock(stateLock);
    displayID = id;
    x = roundedInt(bounds.minX());
    y = roundedInt(bounds.minY());
    pixelWidth = preset.pixelWidth;
    pixelHeight = preset.pixelHeight;
    logicalWidth = preset.logicalWidth();
    logicalHeight = preset.logicalHeight();
    isHiDPI = preset.hiDPI;
    currentPreset = preset;
}

void HeadlessVirtualDisplay::refreshGeometry() {
    if (!isActive()) return;
    if (auto g = currentGeometry(displayID)) applyRealizedGeometry(*g);
}

bool HeadlessVirtualDisplay::geometrySatisfies(const RealizedGeometry& g, const Preset& p) {
    const auto mode = modeKindFor(p.resolution.kind);
    const bool logicalMatches = p.resolution.matchesLogicalSize(g.logicalWidth, g.logicalHeight, mode);
    if (!p.hiDPI) return logicalMatches && p.resolution.matchesPixelSize(g.pixelWidth, g.pixelHeight, mode);
    if (g.pixelWidth < p.pixelWidth || g.pixelHeight < p.pixelHeight) return false;
    return (logicalMatches && g.isHiDPI) || (g.logicalWidth == g.pixelWidth && g.logicalHeight == g.pixelHeight);
}

std::optional<HeadlessVirtualDisplay::RealizedGeometry> HeadlessVirtualDisplay::waitForGeometry(
    DisplayID id, const Preset& expectedPreset, double timeout) const {
    const auto deadline = clock_->uptimeNs() + nsFromSeconds(timeout);
    for (;;) {
        if (auto g = currentGeometry(id); g && geometrySatisfies(*g, expectedPreset)) return g;
        clock_->sleep(pollInterval);
        if (clock_->uptimeNs() >= deadline) return std::nullopt;
    }
}

std::vector<DisplayID> HeadlessVirtualDisplay::activeDisplayIDs() const {
    return displays_ ? displays_->activeDisplayIDs() : std::vector<DisplayID>{};
}

void HeadlessVirtualDisplay::waitForDisplayRemoval(DisplayID id, double timeout) const {
    if (id == 0) return;
    const auto deadline = clock_->uptimeNs() + nsFromSeconds(timeout);
    do {
        const auto active = activeDisplayIDs();
        if (std::find(active.begin(), active.end(), id) == active.end()) return;
        // There is no run loop to turn here; both halves of the step are plain waits.
        clock_->sleep(removalPollInterval);
        clock_->sleep(removalPollInterval);
    } while (clock_->uptimeNs() < deadline);
}

bool HeadlessVirtualDisplay::waitForMainDisplay(DisplayID id, double timeout) const {
    auto isMain = [&] { return displays_ && displays_->mainDisplayID() == id; };
    const auto deadline = clock_->uptimeNs() + nsFromSeconds(timeout);
    do {
        if (isMain()) return true;
        clock_->sleep(removalPollInterval);
        clock_->sleep(removalPollInterval);
    } while (clock_->uptimeNs() < deadline);
    return isMain();
}

std::optional<DisplayMode> HeadlessVirtualDisplay::selectableDisplayMode(DisplayID id, const Preset& p) const {
    if (!displays_) return std::nullopt;
    const auto modes = displays_->allDisplayModes(id, true);
    if (modes.empty()) return std::nullopt;
    const auto pointsMatch = [&](const DisplayMode& m) { return m.width == p.logicalWidth() && m.height == p.logicalHeight(); };
    const auto pixelsMatch = [&](const DisplayMode& m) {
        return m.effectivePixelWidth() == p.pixelWidth && m.effectivePixelHeight() == p.pixelHeight;
    };
    for (const auto& m : modes) {
        if (pixelsMatch(m) && pointsMatch(m)) return m;
    }
    for (const auto& m : modes) {
        if (pixelsMatch(m)) return m;
    }
    for (const auto& m : modes) {
        if (pointsMatch(m)) return m;
    }
    return std::nullopt;
}

bool HeadlessVirtualDisplay::activatePreset(const Preset& p) {
    if (!isActive() || std::find(registeredPresets.begin(), registeredPresets.end(), p) == registeredPresets.end()) {
        return false;
    }
    const auto deadline = clock_->uptimeNs() + nsFromSeconds(presetSwitchTimeout);
    auto mode = selectableDisplayMode(displayID, p);
    while (!mode && clock_->uptimeNs() < deadline) {
        clock_->sleep(std::min(presetPollInterval, static_cast<double>(deadline - clock_->uptimeNs()) / 1e9));
        mode = selectableDisplayMode(displayID, p);
    }
    if (!mode) return false;

    const auto current = displays_->currentMode(displayID);
    if (current && current->effectivePixelWidth() == mode->effectivePixelWidth() &&
        current->effectivePixelHeight() == mode->effectivePixelHeight() && current->width == mode->width &&
        current->height == mode->height) {
        {
            std::lock_guard lock(stateLock);
            currentPreset = p;
        }
        refreshGeometry();
        return true;
    }
    {
        std::lock_guard lock(stateLock);
        if (displays_->setDisplayMode(displayID, *mode) != displayErrorSuccess) return false;
        currentPreset = p;
    }
    refreshGeometry();
    log("activated registered preset " + p.title + " -> " + summary());
    return true;
}

std::optional<std::string> HeadlessVirtualDisplay::startPresetDisplay(const Preset& preferredPreset,
                                                                      const std::string& name,
                                                                      DisplayID matchingDisplayID,
                                                                      bool requireGeometry) {
    const auto family = familyPresets(preferredPreset);
    const auto& first = family.front();

    if (isActive() && std::find(registeredPresets.begin(), registeredPresets.end(), first) != registeredPresets.end()) {
        if (activatePreset(first)) return std::nullopt;
    }
    stop(true);

    std::int64_t descriptorWidth = 0, descriptorHeight = 0;
    for (const auto& preset : family) {
        descriptorWidth = std::max(descriptorWidth, preset.pixelWidth);
        descriptorHeight = std::max(descriptorHeight, preset.pixelHeight);
    }
    std::pair<std::shared_ptr<VirtualDisplay>, std::optional<std::string>> created;
    {
        std::lock_guard lock(stateLock);
        created = createDisplay(descriptorWidth, descriptorHeight, family, name, matchingDisplayID);
    }
    if (!created.first) return created.second.value_or("unknown virtual display error");

    const DisplayID newID = created.first->displayID();
    if (newID == 0) {
        stop(true);
        created.first.reset();  // the display goes with its last reference
        return "CGVirtualDisplay returned displayID 0";
    }
    {
        std::lock_guard lock(stateLock);
        display = created.first;
        displayID = newID;
        currentPreset = first;
        registeredPresets = family;
    }
    if (family.size() >= 2) activatePreset(first);

    const double timeout = requireGeometry ? requiredGeometryTimeout : pendingGeometryTimeout;
    if (auto g = waitForGeometry(newID, first, timeout)) {
        applyRealizedGeometry(*g);
        log("created preset display " + summary() + " presets=" + familyTitles());
        return std::nullopt;
    }
    if (!requireGeometry) {
        applyExpectedGeometry(newID, first);
        log("created pending " + summary() + " presets=" + familyTitles());
        return std::nullopt;
    }
    std::string observed;
    if (auto g = currentGeometry(newID)) {
        observed = g->summary();
    } else {
        observed = "display not visible; active=";
        const auto active = activeDisplayIDs();
        for (std::size_t i = 0; i < active.size(); ++i) {
            if (i > 0) observed += ',';
            observed += std::to_string(active[i]);
        }
    }
    stop(true);
    char buf[512];
    std::snprintf(buf, sizeof buf, "virtual display geometry for %s did not realize within %.1fs; observed %s",
                  first.title.c_str(), timeout, observed.c_str());
    return std::string(buf);
}

void HeadlessVirtualDisplay::stop(bool waitForRemoval) {
    cancelVirtualDesktopWindowMigration();
    if (!display && displayID == 0) return;
    const DisplayID oldID = displayID;
    log("stopping display=" + std::to_string(oldID));
    {
        std::lock_guard lock(stateLock);
        display.reset();
        displayID = 0;
        x = y = 0;
        logicalWidth = logicalHeight = pixelWidth = pixelHeight = 0;
        isHiDPI = false;
        currentPreset.reset();
        registeredPresets.clear();
    }
    if (waitForRemoval) waitForDisplayRemoval(oldID, removalTimeout);
}

void HeadlessVirtualDisplay::cancelVirtualDesktopWindowMigration() {
    std::lock_guard lock(stateLock);
    virtualDesktopWindowMigrationEnabled = false;
    if (pendingWindowMigrationTask) {
        pendingWindowMigrationTask->cancel();
        pendingWindowMigrationTask.reset();
    }
    for (auto& remove : workspaceWindowMigrationObservers) {
        if (remove) remove();
    }
    workspaceWindowMigrationObservers.clear();
}

}  // namespace qm
