// The virtual display's presets, its families and how a new software display is described.
#include <algorithm>

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/Core/Geometry.h"

namespace qm {

HeadlessVirtualDisplay::Preset HeadlessVirtualDisplay::Preset::from(const ResolutionProfile& resolution) {
    return Preset{resolution.title, resolution, resolution.pixelWidth, resolution.pixelHeight, resolution.hiDPI};
}

std::int64_t HeadlessVirtualDisplay::Preset::logicalWidth() const {
    return std::max<std::int64_t>(1, hiDPI ? pixelWidth / 2 : pixelWidth);
}

std::int64_t HeadlessVirtualDisplay::Preset::logicalHeight() const {
    return std::max<std::int64_t>(1, hiDPI ? pixelHeight / 2 : pixelHeight);
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::standard1080Preset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::fullHD1080());
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::standard1440Preset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::qhd1440());
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::hidpi1080Preset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::hidpi1080());
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::hidpi1440Preset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::hidpi1440());
    return preset;
}

const HeadlessVirtualDisplay::Preset& HeadlessVirtualDisplay::maxCanvasPreset() {
    static const Preset preset = Preset::from(DisplayProfileCatalog::maxCanvas());
    return preset;
}

const std::vector<HeadlessVirtualDisplay::Preset>& HeadlessVirtualDisplay::presets() {
    static const std::vector<Preset> list{standard1080Preset(), standard1440Preset(), hidpi1080Preset(),
                                          hidpi1440Preset(), maxCanvasPreset()};
    return list;
}

const std::vector<HeadlessVirtualDisplay::Preset>& HeadlessVirtualDisplay::standardPresets() {
    static const std::vector<Preset> list{standard1080Preset(), standard1440Preset()};
    return list;
}

const std::vector<HeadlessVirtualDisplay::Preset>& HeadlessVirtualDisplay::hidpiPresets() {
    static const std::vector<Preset> list{hidpi1080Preset(), hidpi1440Preset(), maxCanvasPreset()};
    return list;
}

std::vector<HeadlessVirtualDisplay::Preset> HeadlessVirtualDisplay::familyPresets(const Preset& preset) {
    std::vector<Preset> family{preset};
    for (const auto& member : preset.hiDPI ? hidpiPresets() : standardPresets()) {
        if (!(member == preset)) family.push_back(member);
    }
    return family;
}

std::int64_t HeadlessVirtualDisplay::descriptorSerialNumber(std::int64_t width, std::int64_t height, bool hiDPI) {
    const std::int64_t w = std::clamp<std::int64_t>(width, 0, 4095);
    const std::int64_t h = std::clamp<std::int64_t>(height, 0, 4095);
    return 0x51000000 | (hiDPI ? 0x00800000 : 0) | (w << 12) | h;
}

std::vector<double> HeadlessVirtualDisplay::preferredRefreshRates(DisplayID matchingDisplayID) const {
    std::vector<double> candidates;
    if (matchingDisplayID != 0 && displays_) {
        if (auto mode = displays_->currentMode(matchingDisplayID); mode && mode->refreshRate > 0) {
            candidates.push_back(mode->refreshRate);
        }
    }
    candidates.push_back(60.0);
    std::vector<double> rates;
    for (const double candidate : candidates) {
        const bool near = std::any_of(rates.begin(), rates.end(), [&](double kept) { return std::abs(kept - candidate) < 0.5; });
        if (!near) rates.push_back(candidate);
    }
    return rates;
}

std::optional<Size> HeadlessVirtualDisplay::scaledPhysicalSize(std::int64_t pixelWidth, std::int64_t pixelHeight,
                                                               DisplayID matchingDisplayID) const {
    if (matchingDisplayID == 0 || !displays_) return std::nullopt;
    const auto info = displays_->display(matchingDisplayID);
    if (!info || !info->currentMode) return std::nullopt;
    const Size screen = info->screenSizeMillimeters;
    if (!(screen.width > 10.0) || !(screen.height > 10.0)) return std::nullopt;
    const auto& mode = *info->currentMode;
    const double referenceWidth = mode.pixelWidth > 0 ? static_cast<double>(mode.pixelWidth)
                                                      : static_cast<double>(std::max<std::int64_t>(1, roundedInt(info->bounds.width())));
    const double referenceHeight = mode.pixelHeight > 0 ? static_cast<double>(mode.pixelHeight)
                                                        : static_cast<double>(std::max<std::int64_t>(1, roundedInt(info->bounds.height())));
    return Size{screen.width * static_cast<double>(pixelWidth) / referenceWidth,
                screen.height * static_cast<double>(pixelHeight) / referenceHeight};
}

std::pair<std::shared_ptr<VirtualDisplay>, std::optional<std::string>> HeadlessVirtualDisplay::createDisplay(
    std::int64_t descriptorPixelWidth, std::int64_t descriptorPixelHeight, const std::vector<Preset>& presets,
    const std::string& name, DisplayID matchingDisplayID) {
    auto fail = [](std::string text) {
        return std::pair<std::shared_ptr<VirtualDisplay>, std::optional<std::string>>{nullptr, std::move(text)};
    };
    if (!factory_ || !factory_->classesAvailable()) return fail("CGVirtualDisplay private SPI unavailable");

    const std::int64_t maxWidth = std::max<std::int64_t>(descriptorPixelWidth, 16);
    const std::int64_t maxHeight = std::max<std::int64_t>(descriptorPixelHeight, 16);
    const bool firstHiDPI = !presets.empty() && presets.front().hiDPI;

    // The physical size of the logical area, so the system picks a sensible scale.
    const std::int64_t w = firstHiDPI ? maxWidth >> 1 : maxWidth;
    const std::int64_t h = firstHiDPI ? maxHeight >> 1 : maxHeight;
    const Size size = scaledPhysicalSize(w, h, matchingDisplayID)
                          .value_or(Size{static_cast<double>(w) * 25.4 / 110.0, static_cast<double>(h) * 25.4 / 110.0});

    VirtualDisplayDescriptor descriptor;
    descriptor.name = name;
    descriptor.maxPixelsWide = maxWidth;
    descriptor.maxPixelsHigh = maxHeight;
    descriptor.sizeInMillimeters = size;
    descriptor.vendorID = 0x514C56;
    descriptor.productID = 0x484456;
    descriptor.serialNum = descriptorSerialNumber(maxWidth, maxHeight, firstHiDPI);
    descriptor.queue = eventQueue;

    if (!factory_->displayInitializerAvailable()) return fail("CGVirtualDisplay init unavailable");
    auto created = factory_->makeDisplay(descriptor);
    if (!created) return fail("CGVirtualDisplay init failed");
    if (!factory_->modeInitializerAvailable()) return fail("CGVirtualDisplayMode init unavailable");

    const auto rates = preferredRefreshRates(matchingDisplayID);
    VirtualDisplaySettings settings;
    for (const auto& preset : presets) {
        for (const double rate : rates) {
            const std::int64_t modeWidth = std::max<std::int64_t>(1, preset.hiDPI ? preset.pixelWidth / 2 : preset.pixelWidth);
            const std::int64_t modeHeight = std::max<std::int64_t>(1, preset.hiDPI ? preset.pixelHeight / 2 : preset.pixelHeight);
            const auto made = factory_->makeMode(modeWidth, modeHeight, rate);
            if (made.status == VirtualDisplayFactory::ModeStatus::allocationFailed) {
                return fail("CGVirtualDisplayMode allocation failed");
            }
            if (made.status == VirtualDisplayFactory::ModeStatus::initFailed) return fail("CGVirtualDisplayMode init failed");
            settings.modes.push_back(made.mode);
        }
    }
    settings.hiDPI = firstHiDPI ? 1 : 0;

    if (!created->respondsToApplySettings()) return fail("CGVirtualDisplay applySettings unavailable");
    if (!created->applySettings(settings)) {
        std::string titles;
        for (std::size_t i = 0; i < presets.size(); ++i) titles += (i ? ", " : "") + presets[i].title;
        return fail("CGVirtualDisplay rejected preset display [" + titles + "]");
    }
    return {created, std::nullopt};
}

}  // namespace qm
