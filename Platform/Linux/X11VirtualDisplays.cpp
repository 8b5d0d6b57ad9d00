#include "Platform/Linux/X11VirtualDisplays.h"

namespace qm {

namespace {

class X11VirtualDisplay final : public VirtualDisplay {
public:
    X11VirtualDisplay(std::shared_ptr<X11DisplayService> displays, DisplayID displayID, VirtualDisplayDescriptor descriptor)
        : displays_(std::move(displays)), displayID_(displayID), descriptor_(std::move(descriptor)) {}
    ~X11VirtualDisplay() override { displays_->removeVirtualMonitor(displayID_); }

    DisplayID displayID() const override { return displayID_; }
    bool respondsToApplySettings() const override { return true; }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        if (settings.modes.empty() || applied_) return false;
        std::vector<DisplayMode> modes;
        std::int32_t modeID = 1;
        for (const auto& m : settings.modes) {
            if (m.width <= 0 || m.height <= 0) return false;
            // One pixel per point: a HiDPI mode shows at its pixel size, points and pixels alike.
            const std::int64_t scale = settings.hiDPI ? 2 : 1;
            DisplayMode mode;
            mode.width = mode.pixelWidth = m.width * scale;
            mode.height = mode.pixelHeight = m.height * scale;
            mode.refreshRate = m.refreshRate;
            mode.ioDisplayModeID = modeID++;
            modes.push_back(mode);
        }
        // The descriptor's physical size is for its largest area; the monitor's is for its first mode.
        Size millimeters = descriptor_.sizeInMillimeters;
        if (descriptor_.maxPixelsWide > 0 && descriptor_.maxPixelsHigh > 0) {
            const double pixelsWide = static_cast<double>(modes.front().width);
            const double pixelsHigh = static_cast<double>(modes.front().height);
            millimeters.width *= pixelsWide / static_cast<double>(descriptor_.maxPixelsWide);
            millimeters.height *= pixelsHigh / static_cast<double>(descriptor_.maxPixelsHigh);
        }
        applied_ = displays_->addVirtualMonitor(displayID_, std::move(modes), millimeters);
        return applied_;
    }

private:
    std::shared_ptr<X11DisplayService> displays_;
    DisplayID displayID_;
    VirtualDisplayDescriptor descriptor_;
    bool applied_ = false;
};

}  // namespace

X11VirtualDisplayFactory::X11VirtualDisplayFactory(std::shared_ptr<X11DisplayService> displays)
    : displays_(std::move(displays)) {}

bool X11VirtualDisplayFactory::classesAvailable() const {
    return displays_ && displays_->supportsMonitors();
}

bool X11VirtualDisplayFactory::displayInitializerAvailable() const {
    return classesAvailable();
}

std::shared_ptr<VirtualDisplay> X11VirtualDisplayFactory::makeDisplay(const VirtualDisplayDescriptor& descriptor) {
    if (!classesAvailable()) return nullptr;
    const DisplayID id = displays_->reserveVirtualDisplayID(descriptor.name.empty() ? "virtual" : descriptor.name);
    if (id == 0) return nullptr;
    return std::make_shared<X11VirtualDisplay>(displays_, id, descriptor);
}

bool X11VirtualDisplayFactory::modeInitializerAvailable() const {
    return classesAvailable();
}

VirtualDisplayFactory::ModeResult X11VirtualDisplayFactory::makeMode(std::int64_t width, std::int64_t height,
                                                                     double refreshRate) {
    if (width <= 0 || height <= 0 || width > 32767 || height > 32767) return {ModeStatus::initFailed, {}};
    return {ModeStatus::ok, VirtualDisplayMode{width, height, refreshRate}};
}

}  // namespace qm
