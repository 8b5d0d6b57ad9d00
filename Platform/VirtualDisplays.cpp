#include "Platform/VirtualDisplays.h"

#include <algorithm>

namespace qm {

class SimulatedVirtualDisplayFactory::Display final : public VirtualDisplay {
public:
    Display(std::weak_ptr<SimulatedVirtualDisplayFactory> factory, DisplayID displayID, VirtualDisplayDescriptor descriptor)
        : factory_(std::move(factory)), displayID_(displayID), descriptor_(std::move(descriptor)) {}

    ~Display() override {
        if (auto factory = factory_.lock()) factory->released(displayID_);
    }

    DisplayID displayID() const override { return displayID_; }

    bool respondsToApplySettings() const override {
        auto factory = factory_.lock();
        if (!factory) return false;
        std::lock_guard lock(factory->mutex_);
        return factory->failure_ != Failure::applySettingsMissing;
    }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        auto factory = factory_.lock();
        if (!factory) return false;
        double delay = 0;
        Appearance appearance = Appearance::exact;
        std::int64_t shortRows = 0;
        {
            std::lock_guard lock(factory->mutex_);
            factory->lastSettings_ = settings;
            if (factory->failure_ == Failure::applySettingsRejected || settings.modes.empty()) return false;
            delay = factory->appearDelay_;
            appearance = factory->appearance_;
            shortRows = factory->shortRows_;
        }
        if (displayID_ == 0) return true;

        DisplayInfo info;
        info.displayID = displayID_;
        info.screenSizeMillimeters = descriptor_.sizeInMillimeters;
        std::int32_t modeID = 1;
        for (const auto& m : settings.modes) {
            DisplayMode mode;
            mode.width = m.width;
            mode.height = m.height;
            mode.pixelWidth = settings.hiDPI ? m.width * 2 : m.width;
            mode.pixelHeight = settings.hiDPI ? m.height * 2 : m.height;
            mode.refreshRate = m.refreshRate;
            mode.ioDisplayModeID = modeID++;
            info.modes.push_back(mode);
            if (settings.hiDPI) {
                DisplayMode duplicate = mode;
                duplicate.pixelWidth = m.width;
                duplicate.pixelHeight = m.height;
                duplicate.ioDisplayModeID = modeID++;
                duplicate.isLowResolutionDuplicate = true;
                info.modes.push_back(duplicate);
            }
        }
        DisplayMode current = info.modes.front();
        if (appearance == Appearance::onePixelPerPoint) {
            current.width = current.effectivePixelWidth();
            current.height = current.effectivePixelHeight();
        } else if (appearance == Appearance::shortRows) {
            current.height -= shortRows;
            current.pixelHeight -= shortRows;
        }
        info.currentMode = current;
        // To the right of every display there is now.
        double right = 0;
        for (const auto& other : factory->displays_->onlineDisplays()) right = std::max(right, other.bounds.maxX());
        info.bounds = Rect(right, 0, static_cast<double>(current.width), static_cast<double>(current.height));
        if (delay >= 0) factory->displays_->addDisplayAfter(delay, std::move(info));
        return true;
    }

private:
    std::weak_ptr<SimulatedVirtualDisplayFactory> factory_;
    DisplayID displayID_;
    VirtualDisplayDescriptor descriptor_;
};

SimulatedVirtualDisplayFactory::SimulatedVirtualDisplayFactory(std::shared_ptr<SimulatedDisplayService> displays)
    : displays_(std::move(displays)) {}

bool SimulatedVirtualDisplayFactory::classesAvailable() const {
    std::lock_guard lock(mutex_);
    return failure_ != Failure::classesMissing;
}

bool SimulatedVirtualDisplayFactory::displayInitializerAvailable() const {
    std::lock_guard lock(mutex_);
    return failure_ != Failure::displayInitializerMissing;
}

std::shared_ptr<VirtualDisplay> SimulatedVirtualDisplayFactory::makeDisplay(const VirtualDisplayDescriptor& descriptor) {
    DisplayID id = 0;
    {
        std::lock_guard lock(mutex_);
        lastDescriptor_ = descriptor;
        if (failure_ == Failure::displayInitFails) return nullptr;
        id = failure_ == Failure::displayIDZero ? 0 : nextDisplayID_++;
        ++live_;
        ++created_;
    }
    return std::make_shared<Display>(weak_from_this(), id, descriptor);
}

bool SimulatedVirtualDisplayFactory::modeInitializerAvailable() const {
    std::lock_guard lock(mutex_);
    return failure_ != Failure::modeInitializerMissing;
}

VirtualDisplayFactory::ModeResult SimulatedVirtualDisplayFactory::makeMode(std::int64_t width, std::int64_t height,
                                                                         double refreshRate) {
    std::lock_guard lock(mutex_);
    if (failure_ == Failure::modeAllocationFails) return {ModeStatus::allocationFailed, {}};
    if (failure_ == Failure::modeInitFails) return {ModeStatus::initFailed, {}};
    return {ModeStatus::ok, VirtualDisplayMode{width, height, refreshRate}};
}

void SimulatedVirtualDisplayFactory::released(DisplayID displayID) {
    double delay = 0;
    {
        std::lock_guard lock(mutex_);
        --live_;
        delay = removalDelay_;
    }
    if (displayID != 0) displays_->removeDisplayAfter(std::max(0.0, delay), displayID);
}

void SimulatedVirtualDisplayFactory::setAppearDelay(double seconds) {
    std::lock_guard lock(mutex_);
    appearDelay_ = seconds;
}

void SimulatedVirtualDisplayFactory::setRemovalDelay(double seconds) {
    std::lock_guard lock(mutex_);
    removalDelay_ = seconds;
}

void SimulatedVirtualDisplayFactory::setAppearance(Appearance appearance, std::int64_t shortRows) {
    std::lock_guard lock(mutex_);
    appearance_ = appearance;
    shortRows_ = shortRows;
}

void SimulatedVirtualDisplayFactory::setFailure(Failure failure) {
    std::lock_guard lock(mutex_);
    failure_ = failure;
}

std::optional<VirtualDisplayDescriptor> SimulatedVirtualDisplayFactory::lastDescriptor() const {
    std::lock_guard lock(mutex_);
    return lastDescriptor_;
}

std::optional<VirtualDisplaySettings> SimulatedVirtualDisplayFactory::lastSettings() const {
    std::lock_guard lock(mutex_);
    return lastSettings_;
}

int SimulatedVirtualDisplayFactory::liveDisplayCount() const {
    std::lock_guard lock(mutex_);
    return live_;
}

int SimulatedVirtualDisplayFactory::createdDisplayCount() const {
    std::lock_guard lock(mutex_);
    return created_;
}

}  // namespace qm
