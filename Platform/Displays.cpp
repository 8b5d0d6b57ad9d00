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

std::vector<DisplayMode> DisplayService::allDisplayModes(DisplayID displayID, bool includeLowResolutionDuplicates) const {
    auto info = display(displayID);
    if (!info) return {};
    std::vector<DisplayMode> modes;
    for (auto& mode : info->modes) {
        if (includeLowResolutionDuplicates || !mode.isLowResolutionDuplicate) modes.push_back(mode);
    }
    return modes;
}

namespace {

DisplayMode makeMode(std::int64_t width, std::int64_t height, std::int64_t pixelWidth, std::int64_t pixelHeight,
                     double refreshRate, std::int32_t ioDisplayModeID, bool duplicate = false, bool desktop = true) {
    DisplayMode mode;
    mode.width = width;
    mode.height = height;
    mode.pixelWidth = pixelWidth;
    mode.pixelHeight = pixelHeight;
    mode.refreshRate = refreshRate;
    mode.ioDisplayModeID = ioDisplayModeID;
    mode.usableForDesktopGUI = desktop;
    mode.isLowResolutionDuplicate = duplicate;
    return mode;
}

}  // namespace

SimulatedDisplayService::SimulatedDisplayService()
    : SimulatedDisplayService({defaultBuiltInDisplay()}, defaultBuiltInDisplay().displayID) {}

SimulatedDisplayService::SimulatedDisplayService(std::vector<DisplayInfo> displays, DisplayID mainDisplayID)
    : displays_(std::move(displays)), mainDisplayID_(mainDisplayID), clock_(SystemClock::shared()) {}

void SimulatedDisplayService::setClock(std::shared_ptr<const Clock> clock) {
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
}

std::vector<DisplayMode> SimulatedDisplayService::typicalExternalModes() {
    return {
        makeMode(1280, 720, 1280, 720, 60, 101),
        makeMode(1920, 1080, 1920, 1080, 60, 102),
        makeMode(1920, 1080, 3840, 2160, 60, 103),
        makeMode(1920, 1080, 1920, 1080, 60, 104, true),
        makeMode(2560, 1440, 2560, 1440, 60, 105),
        makeMode(2560, 1440, 2560, 1440, 120, 106),
        makeMode(2560, 1440, 5120, 2880, 60, 107),
        makeMode(2560, 1440, 2560, 1440, 60, 108, true),
        makeMode(3840, 2160, 3840, 2160, 60, 109),
        makeMode(1920, 1200, 1920, 1200, 60, 110),
        makeMode(1024, 768, 1024, 768, 60, 111, false, false),
    };
}

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
    info.modes.push_back(mode);
    if (mode.isHiDPI()) {
        info.modes.push_back(makeMode(width, height, width, height, refreshRate, 2, true));
    }
    info.isBuiltin = builtin;
    // A plausible physical size (about 110 points per inch) so "has a screen" checks pass.
    info.screenSizeMillimeters = Size{static_cast<double>(width) * 0.23, static_cast<double>(height) * 0.23};
    return info;
}

DisplayInfo SimulatedDisplayService::defaultBuiltInDisplay() {
    return makeDisplay(1, Point{0, 0}, 1920, 1080, 1920, 1080, 60, true);
}

std::vector<DisplayInfo> SimulatedDisplayService::onlineDisplays() const {
    settleDue();
    std::lock_guard lock(mutex_);
    return displays_;
}

DisplayID SimulatedDisplayService::mainDisplayID() const {
    settleDue();
    std::lock_guard lock(mutex_);
    for (auto& info : displays_) {
        if (info.displayID == mainDisplayID_) return mainDisplayID_;
    }
    return displays_.empty() ? 0 : displays_.front().displayID;
}

void SimulatedDisplayService::settleDue() const {
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_->uptimeNs();
        std::sort(pending_.begin(), pending_.end(), [](const PendingChange& a, const PendingChange& b) {
            return std::pair(a.dueNs, a.sequence) < std::pair(b.dueNs, b.sequence);
        });
        std::size_t applied = 0;
        while (applied < pending_.size() && pending_[applied].dueNs <= now) {
            pending_[applied].apply();
            ++applied;
        }
        if (applied > 0) {
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(applied));
            changed_ = true;
        }
    }
    notifyObservers();
}

void SimulatedDisplayService::notifyObservers() const {
    std::vector<Observer> observers;
    {
        std::lock_guard lock(mutex_);
        if (!changed_) return;
        changed_ = false;
        for (auto& [token, observer] : observers_) observers.push_back(observer);
    }
    for (auto& observer : observers) observer.queue->async(observer.handler);
}

void SimulatedDisplayService::scheduleLocked(double delay, DisplayID displayID, bool isAddition,
                                             std::function<void()> apply) const {
    pending_.push_back(PendingChange{clock_->uptimeNs() + nsFromSeconds(delay), sequence_++, displayID, isAddition,
                                     std::move(apply)});
}

void SimulatedDisplayService::applyModeLocked(DisplayID displayID, const DisplayMode& mode) const {
    for (auto& info : displays_) {
        if (info.displayID != displayID) continue;
        info.bounds.size = Size{static_cast<double>(mode.width), static_cast<double>(mode.height)};
        info.currentMode = mode;
        changed_ = true;
        return;
    }
}

void SimulatedDisplayService::addDisplay(DisplayInfo display) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(displays_.begin(), displays_.end(),
                               [&](const DisplayInfo& info) { return info.displayID == display.displayID; });
        if (it != displays_.end()) {
            *it = std::move(display);
        } else {
            displays_.push_back(std::move(display));
        }
        if (mainDisplayID_ == 0) mainDisplayID_ = displays_.front().displayID;
        changed_ = true;
    }
    notifyObservers();
}

void SimulatedDisplayService::addDisplayAfter(double delay, DisplayInfo display) {
    std::lock_guard lock(mutex_);
    const auto id = display.displayID;
    scheduleLocked(delay, id, true, [this, display = std::move(display)] {
        std::erase_if(displays_, [&](const DisplayInfo& info) { return info.displayID == display.displayID; });
        displays_.push_back(display);
        if (mainDisplayID_ == 0) mainDisplayID_ = display.displayID;
    });
}

bool SimulatedDisplayService::removeDisplay(DisplayID displayID) {
    bool removed = false;
    {
        std::lock_guard lock(mutex_);
        const auto before = displays_.size();
        std::erase_if(displays_, [&](const DisplayInfo& info) { return info.displayID == displayID; });
        removed = displays_.size() != before;
        if (removed) {
            if (mainDisplayID_ == displayID) mainDisplayID_ = displays_.empty() ? 0 : displays_.front().displayID;
            changed_ = true;
        }
    }
    notifyObservers();
    return removed;
}

void SimulatedDisplayService::removeDisplayAfter(double delay, DisplayID displayID) {
    std::lock_guard lock(mutex_);
    // A display released before it appeared never appears.
    std::erase_if(pending_, [&](const PendingChange& change) { return change.isAddition && change.displayID == displayID; });
    scheduleLocked(delay, displayID, false, [this, displayID] {
        const auto before = displays_.size();
        std::erase_if(displays_, [&](const DisplayInfo& info) { return info.displayID == displayID; });
        if (displays_.size() != before && mainDisplayID_ == displayID) {
            mainDisplayID_ = displays_.empty() ? 0 : displays_.front().displayID;
        }
    });
}

bool SimulatedDisplayService::setCurrentMode(DisplayID displayID, DisplayMode mode) {
    bool found = false;
    {
        std::lock_guard lock(mutex_);
        found = std::any_of(displays_.begin(), displays_.end(),
                            [&](const DisplayInfo& info) { return info.displayID == displayID; });
        if (found) applyModeLocked(displayID, mode);
    }
    notifyObservers();
    return found;
}

bool SimulatedDisplayService::setModes(DisplayID displayID, std::vector<DisplayMode> modes) {
    std::lock_guard lock(mutex_);
    for (auto& info : displays_) {
        if (info.displayID != displayID) continue;
        info.modes = std::move(modes);
        return true;
    }
    return false;
}

bool SimulatedDisplayService::setDisplaySleeping(DisplayID displayID, bool asleep) {
    bool found = false;
    {
        std::lock_guard lock(mutex_);
        for (auto& info : displays_) {
            if (info.displayID != displayID) continue;
            info.isAsleep = asleep;
            found = changed_ = true;
        }
    }
    notifyObservers();
    return found;
}

void SimulatedDisplayService::setMirror(DisplayID displayID, bool inMirrorSet) {
    std::lock_guard lock(mutex_);
    for (auto& info : displays_) {
        if (info.displayID == displayID) info.isInMirrorSet = inMirrorSet;
    }
}

void SimulatedDisplayService::setScreenSize(DisplayID displayID, Size millimeters) {
    std::lock_guard lock(mutex_);
    for (auto& info : displays_) {
        if (info.displayID == displayID) info.screenSizeMillimeters = millimeters;
    }
}

void SimulatedDisplayService::setMainDisplayID(DisplayID displayID) {
    {
        std::lock_guard lock(mutex_);
        mainDisplayID_ = displayID;
        changed_ = true;
    }
    notifyObservers();
}

void SimulatedDisplayService::setModeSettleDelay(DisplayID displayID, double seconds) {
    std::lock_guard lock(mutex_);
    settleDelays_[displayID] = seconds;
}

void SimulatedDisplayService::failNextBegin(DisplayError error, int times) {
    std::lock_guard lock(mutex_);
    beginFailures_ = {times, error};
}

void SimulatedDisplayService::failNextConfigureMode(DisplayError error, int times) {
    std::lock_guard lock(mutex_);
    configureFailures_ = {times, error};
}

void SimulatedDisplayService::failNextComplete(DisplayError error, int times) {
    std::lock_guard lock(mutex_);
    completeFailures_ = {times, error};
}

void SimulatedDisplayService::failNextSetDisplayMode(DisplayError error, int times) {
    std::lock_guard lock(mutex_);
    setModeFailures_ = {times, error};
}

void SimulatedDisplayService::setAfterCompleteHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    afterCompleteHook_ = std::move(hook);
}

SimulatedDisplayService::Counters SimulatedDisplayService::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

bool SimulatedDisplayService::consumeFailure(std::pair<int, DisplayError>& script, DisplayError& error) {
    if (script.first <= 0) return false;
    --script.first;
    error = script.second;
    return true;
}

DisplayError SimulatedDisplayService::beginDisplayConfiguration(DisplayConfigurationRef& configuration) {
    std::lock_guard lock(mutex_);
    configuration = 0;
    DisplayError error = displayErrorSuccess;
    if (consumeFailure(beginFailures_, error)) return error;
    configuration = nextConfiguration_++;
    configurations_[configuration] = StagedConfiguration{};
    ++counters_.begun;
    return displayErrorSuccess;
}

DisplayError SimulatedDisplayService::configureDisplayWithDisplayMode(DisplayConfigurationRef configuration,
                                                                      DisplayID displayID, const DisplayMode& mode) {
    std::lock_guard lock(mutex_);
    auto it = configurations_.find(configuration);
    if (it == configurations_.end()) return displayErrorIllegalArgument;
    DisplayError error = displayErrorSuccess;
    if (consumeFailure(configureFailures_, error)) return error;
    auto display = std::find_if(displays_.begin(), displays_.end(),
                                [&](const DisplayInfo& info) { return info.displayID == displayID; });
    if (display == displays_.end()) return displayErrorInvalidConnection;
    it->second.modes[displayID] = mode;
    return displayErrorSuccess;
}

DisplayError SimulatedDisplayService::configureDisplayMirrorOfDisplay(DisplayConfigurationRef configuration,
                                                                      DisplayID displayID, DisplayID primaryDisplayID) {
    std::lock_guard lock(mutex_);
    auto it = configurations_.find(configuration);
    if (it == configurations_.end()) return displayErrorIllegalArgument;
    it->second.mirrors[displayID] = primaryDisplayID;
    return displayErrorSuccess;
}

DisplayError SimulatedDisplayService::configureDisplayOrigin(DisplayConfigurationRef configuration,
                                                             DisplayID displayID, std::int32_t x, std::int32_t y) {
    std::lock_guard lock(mutex_);
    auto it = configurations_.find(configuration);
    if (it == configurations_.end()) return displayErrorIllegalArgument;
    it->second.origins[displayID] = Point{static_cast<double>(x), static_cast<double>(y)};
    return displayErrorSuccess;
}

DisplayError SimulatedDisplayService::cancelDisplayConfiguration(DisplayConfigurationRef configuration) {
    std::lock_guard lock(mutex_);
    if (configurations_.erase(configuration) == 0) return displayErrorIllegalArgument;
    ++counters_.cancelled;
    return displayErrorSuccess;
}

DisplayError SimulatedDisplayService::completeDisplayConfiguration(DisplayConfigurationRef configuration,
                                                                   DisplayConfigureOption option) {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        auto it = configurations_.find(configuration);
        if (it == configurations_.end()) return displayErrorIllegalArgument;
        auto staged = std::move(it->second);
        configurations_.erase(it);
        DisplayError error = displayErrorSuccess;
        if (consumeFailure(completeFailures_, error)) return error;
        ++counters_.completed;
        counters_.completeOptions.push_back(option);
        for (auto& [id, mode] : staged.modes) {
            const auto delay = settleDelays_.contains(id) ? settleDelays_[id] : 0.0;
            if (delay < 0) continue;  // scripted never to settle
            if (delay == 0) {
                applyModeLocked(id, mode);
            } else {
                scheduleLocked(delay, id, false, [this, id = id, mode = mode] { applyModeLocked(id, mode); });
            }
        }
        for (auto& [id, primary] : staged.mirrors) {
            for (auto& info : displays_) {
                if (info.displayID == id || (primary != 0 && info.displayID == primary)) info.isInMirrorSet = primary != 0;
            }
            changed_ = true;
        }
        for (auto& [id, origin] : staged.origins) {
            for (auto& info : displays_) {
                if (info.displayID != id) continue;
                info.bounds.origin = origin;
                // The display at the origin of the global space carries the menu bar.
                if (origin.x == 0 && origin.y == 0) mainDisplayID_ = id;
            }
            changed_ = true;
        }
        hook = afterCompleteHook_;
    }
    notifyObservers();
    if (hook) hook();
    return displayErrorSuccess;
}

DisplayError SimulatedDisplayService::setDisplayMode(DisplayID displayID, const DisplayMode& mode) {
    {
        std::lock_guard lock(mutex_);
        DisplayError error = displayErrorSuccess;
        if (consumeFailure(setModeFailures_, error)) return error;
        auto display = std::find_if(displays_.begin(), displays_.end(),
                                    [&](const DisplayInfo& info) { return info.displayID == displayID; });
        if (display == displays_.end()) return displayErrorInvalidConnection;
        ++counters_.modeSets;
        const auto delay = settleDelays_.contains(displayID) ? settleDelays_[displayID] : 0.0;
        if (delay == 0) {
            applyModeLocked(displayID, mode);
        } else if (delay > 0) {
            scheduleLocked(delay, displayID, false, [this, displayID, mode] { applyModeLocked(displayID, mode); });
        }
    }
    notifyObservers();
    return displayErrorSuccess;
}

ScreenParametersObserverToken SimulatedDisplayService::addScreenParametersObserver(DispatchQueuePtr queue,
                                                                                   std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    const auto token = nextObserver_++;
    observers_[token] = Observer{std::move(queue), std::move(handler)};
    return token;
}

void SimulatedDisplayService::removeScreenParametersObserver(ScreenParametersObserverToken token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

}  // namespace qm
