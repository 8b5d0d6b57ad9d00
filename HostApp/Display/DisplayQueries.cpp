// Display queries and the one-line descriptions the switcher, the layouts and the diagnostics use.
#include <cstdio>
#include <set>

#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Core/Geometry.h"

namespace qm {

namespace {

std::string str(std::int64_t value) { return std::to_string(value); }

// Pieces 1 to 5 of a mode's text: sizes, refresh rate, HiDPI and desktop use.
std::string modeSizeText(const DisplayMode& mode) {
    const auto pixelWidth = mode.effectivePixelWidth();
    const auto pixelHeight = mode.effectivePixelHeight();
    std::string text = str(mode.width) + "x" + str(mode.height) + "[px " + str(pixelWidth) + "x" + str(pixelHeight) + "]";
    if (mode.refreshRate > 0) {
        char rate[32];
        std::snprintf(rate, sizeof rate, " %.0fHz", mode.refreshRate);
        text += rate;
    }
    if (mode.width > 0 && static_cast<double>(pixelWidth) / static_cast<double>(mode.width) > 1.25) text += " HiDPI";
    if (!mode.usableForDesktopGUI) text += " notDesktop";
    return text;
}

}  // namespace

HostDisplayModeSwitcher::HostDisplayModeSwitcher(std::shared_ptr<DisplayService> displays,
                                                 std::shared_ptr<const Clock> clock)
    : displays_(std::move(displays)), clock_(std::move(clock)) {}

std::vector<DisplayID> HostDisplayModeSwitcher::activeDisplayIDs() const {
    return displays_ ? displays_->activeDisplayIDs() : std::vector<DisplayID>{};
}

DisplayID HostDisplayModeSwitcher::mainDisplayID() const { return displays_ ? displays_->mainDisplayID() : 0; }

std::vector<DisplayID> HostDisplayModeSwitcher::activePhysicalDisplayIDs(DisplayID excluding) const {
    std::vector<DisplayID> ids;
    if (!displays_) return ids;
    const auto online = displays_->onlineDisplays();
    for (const auto id : activeDisplayIDs()) {
        if (id == excluding) continue;
        auto info = std::find_if(online.begin(), online.end(), [&](const DisplayInfo& d) { return d.displayID == id; });
        if (info == online.end()) continue;
        // A built-in panel in a mirror set still is the screen; a mirrored external one is not.
        if (!info->isBuiltin && info->isInMirrorSet) continue;
        if (info->isAsleep) continue;
        if (info->screenSizeMillimeters.width == 0 && info->screenSizeMillimeters.height == 0) continue;
        ids.push_back(id);
    }
    return ids;
}

HostDisplayGeometry HostDisplayModeSwitcher::currentGeometry(DisplayID displayID, const DisplayMode& fallbackMode) const {
    const auto mode = (displays_ ? displays_->currentMode(displayID) : std::nullopt).value_or(fallbackMode);
    const Rect bounds = displays_ ? displays_->bounds(displayID) : Rect();
    HostDisplayGeometry geometry;
    geometry.displayID = displayID;
    geometry.logicalWidth = mode.width > 0 ? mode.width : std::max<std::int64_t>(1, roundedInt(bounds.width()));
    geometry.logicalHeight = mode.height > 0 ? mode.height : std::max<std::int64_t>(1, roundedInt(bounds.height()));
    geometry.pixelWidth = mode.pixelWidth > 0 ? mode.pixelWidth : mode.width;
    geometry.pixelHeight = mode.pixelHeight > 0 ? mode.pixelHeight : mode.height;
    geometry.refreshRate = mode.refreshRate;
    geometry.isHiDPI =
        static_cast<double>(geometry.pixelWidth) / static_cast<double>(geometry.logicalWidth) > 1.25;
    return geometry;
}

std::string HostDisplayModeSwitcher::boundsDescription(DisplayID displayID) const {
    const Rect bounds = displays_ ? displays_->bounds(displayID) : Rect();
    return str(roundedInt(bounds.width())) + "x" + str(roundedInt(bounds.height())) + "@" +
           str(roundedInt(bounds.minX())) + "," + str(roundedInt(bounds.minY()));
}

std::string HostDisplayModeSwitcher::modeDescription(const DisplayMode& mode) {
    return modeSizeText(mode) + " id=" + std::to_string(static_cast<std::uint32_t>(mode.ioDisplayModeID)) +
           " flags=" + std::to_string(mode.ioFlags);
}

std::string HostDisplayModeSwitcher::displayModeListDescription(const std::vector<DisplayMode>& modes) {
    std::set<std::string> seen;
    std::string text;
    std::size_t kept = 0;
    for (const auto& mode : modes) {
        auto piece = modeSizeText(mode);
        if (!seen.insert(piece).second) continue;
        if (kept == 32) break;
        if (kept > 0) text += ", ";
        text += piece;
        ++kept;
    }
    return text;
}

std::string HostDisplayModeSwitcher::actualDisplayDescription(DisplayID displayID) const {
    const Rect bounds = displays_ ? displays_->bounds(displayID) : Rect();
    std::string text = "bounds " + str(roundedInt(bounds.width())) + "x" + str(roundedInt(bounds.height()));
    const auto mode = displays_ ? displays_->currentMode(displayID) : std::nullopt;
    if (!mode) return text + " mode unknown";
    return text + " current " + str(mode->width) + "x" + str(mode->height) + "[px " + str(mode->effectivePixelWidth()) +
           "x" + str(mode->effectivePixelHeight()) + "]";
}

std::vector<DisplayID> HostDisplayModeSwitcher::displaysByAreaDescending(std::vector<DisplayID> ids) const {
    auto area = [&](DisplayID id) {
        const Rect bounds = displays_ ? displays_->bounds(id) : Rect();
        return std::max(0.0, bounds.width() * bounds.height());
    };
    std::stable_sort(ids.begin(), ids.end(), [&](DisplayID a, DisplayID b) { return area(a) > area(b); });
    return ids;
}

}  // namespace qm
