#include "Platform/Displays.h"

#include <algorithm>

namespace qm {

std::optional<DisplayInfo> DisplayService::display(DisplayID displayID) const {
    for (auto& info : onlineDisplays()) {
        if (info.displayID == displayID) return info;
    }
    return std::nullopt;
}

Rect DisplayService::bounds(DisplayID displayID) const {
    auto info = display(displayID);
    return info ? info->bounds : Rect();
}

std::optional<DisplayMode> DisplayService::currentMode(DisplayID displayID) const {
    auto info = display(displayID);
    return info ? info->currentMode : std::nullopt;
}

std::vector<DisplayID> DisplayService::activeDisplayIDs() const {
    std::vector<DisplayID> ids;
    for (auto& info : onlineDisplays()) {
        if (info.isOnline && info.isActive) ids.push_back(info.displayID);
    }
    return ids;
}

SimulatedDisplayService::SimulatedDisplayService()
    : SimulatedDisplayService({defaultBuiltInDisplay()}, defaultBuiltInDisplay().displayID) {}

SimulatedDisplayService::SimulatedDisplayService(std::vector<DisplayInfo> displays, DisplayID mainDisplayID)
    : displays_(std::move(displays)), mainDisplayID_(mainDisplayID) {}

DisplayInfo SimulatedDisplayService::makeDisplay(DisplayID displayID, Point origin, std::int64_t width,
                                                 std::int64_t height, std::int64_t pixelWidth,
                                                 std::int64_t pixelHeight, double refreshRate, bool builtin) {
    DisplayInfo info;
    info.displayID = displayID;
    info.bounds = Rect(origin.x, origin.y, static_cast<double>(width), static_cast<double>(height));
    DisplayMode mode;
    mode.width = width;
    mode.height = height;
    mode.pixelWidth = pixelWidth;
    mode.pixelHeight = pixelHeight;
    mode.refreshRate = refreshRate;
    mode.ioDisplayModeID = 1;
    info.currentMode = mode;
    info.isBuiltin = builtin;
    // A plausible physical size (about 110 points per inch) so "has a screen" checks pass.
    info.screenSizeMillimeters = Size{static_cast<double>(width) * 0.23, static_cast<double>(height) * 0.23};
    return info;
}

DisplayInfo SimulatedDisplayService::defaultBuiltInDisplay() {
    return makeDisplay(1, Point{0, 0}, 1920, 1080, 1920, 1080, 60, true);
}

std::vector<DisplayInfo> SimulatedDisplayService::onlineDisplays() const {
    std::lock_guard lock(mutex_);
    return displays_;
}

DisplayID SimulatedDisplayService::mainDisplayID() const {
    std::lock_guard lock(mutex_);
    for (auto& info : displays_) {
        if (info.displayID == mainDisplayID_) return mainDisplayID_;
    }
    return displays_.empty() ? 0 : displays_.front().displayID;
}

void SimulatedDisplayService::addDisplay(DisplayInfo display) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(displays_.begin(), displays_.end(),
                           [&](const DisplayInfo& info) { return info.displayID == display.displayID; });
    if (it != displays_.end()) {
        *it = std::move(display);
    } else {
        displays_.push_back(std::move(display));
    }
    if (mainDisplayID_ == 0) mainDisplayID_ = displays_.front().displayID;
}

bool SimulatedDisplayService::removeDisplay(DisplayID displayID) {
    std::lock_guard lock(mutex_);
    const auto before = displays_.size();
    std::erase_if(displays_, [&](const DisplayInfo& info) { return info.displayID == displayID; });
    if (displays_.size() == before) return false;
    if (mainDisplayID_ == displayID) mainDisplayID_ = displays_.empty() ? 0 : displays_.front().displayID;
    return true;
}

bool SimulatedDisplayService::setCurrentMode(DisplayID displayID, DisplayMode mode) {
    std::lock_guard lock(mutex_);
    for (auto& info : displays_) {
        if (info.displayID != displayID) continue;
        info.bounds.size = Size{static_cast<double>(mode.width), static_cast<double>(mode.height)};
        info.currentMode = mode;
        return true;
    }
    return false;
}

bool SimulatedDisplayService::setAsleep(DisplayID displayID, bool asleep) {
    std::lock_guard lock(mutex_);
    for (auto& info : displays_) {
        if (info.displayID != displayID) continue;
        info.isAsleep = asleep;
        return true;
    }
    return false;
}

void SimulatedDisplayService::setMainDisplayID(DisplayID displayID) {
    std::lock_guard lock(mutex_);
    mainDisplayID_ = displayID;
}

}  // namespace qm
