// How a display is judged against a capture mode, and which real display to capture.
#include <algorithm>

#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/HeadlessVirtualDisplayTarget.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

namespace {

CaptureModeProfileDefinition profileOf(VideoCaptureMode mode) {
    return DisplayProfileCatalog::modeProfile(static_cast<std::uint8_t>(mode)).value_or(DisplayProfileCatalog::easy());
}

}  // namespace

HeadlessVirtualDisplayTarget HeadlessVirtualDisplayTarget::target(VideoCaptureMode mode) {
    const auto& resolution = profileOf(mode).resolution;
    return {resolution.logicalWidth, resolution.logicalHeight,
            std::max<std::int64_t>(1, resolution.pixelWidth / std::max<std::int64_t>(1, resolution.logicalWidth))};
}

std::string HeadlessVirtualDisplayTarget::summary() const {
    const std::string logical = "logical=" + std::to_string(logicalWidth) + "x" + std::to_string(logicalHeight);
    const std::string pixels = "px=" + std::to_string(logicalWidth * scale) + "x" + std::to_string(logicalHeight * scale);
    if (scale < 2) return logical + " " + pixels;
    return logical + " @" + std::to_string(scale) + "x " + pixels + " HiDPI";
}

bool DisplayTargetState::geometrySatisfiesStrictMode(const HostDisplayGeometry& g, VideoCaptureMode mode) {
    const auto& r = profileOf(mode).resolution;
    if (g.logicalWidth != r.logicalWidth) return false;
    if (!r.hiDPI) return g.logicalHeight == r.logicalHeight;
    return g.logicalHeight == r.logicalHeight && g.pixelWidth == r.pixelWidth && g.pixelHeight == r.pixelHeight &&
           g.isHiDPI;
}

std::string DisplayTargetState::strictGeometrySummary(VideoCaptureMode mode) {
    const auto profile = profileOf(mode);
    if (profile.requireStrictGeometry) return profile.resolution.strictGeometrySummary();
    return std::to_string(profile.resolution.logicalWidth) + "x" + std::to_string(profile.resolution.logicalHeight);
}

VideoCaptureMode DisplayTargetState::physicalFallbackMode(VideoCaptureMode mode, const HostDisplayGeometry& g) {
    // What the display actually shows decides before what was asked for.
    const auto& fullHD = DisplayProfileCatalog::fullHD1080();
    const auto& qhd = DisplayProfileCatalog::qhd1440();
    if (g.logicalWidth == fullHD.logicalWidth && g.logicalHeight == fullHD.logicalHeight && !g.isHiDPI) {
        return VideoCaptureMode::physical1080;
    }
    if (g.logicalWidth == qhd.logicalWidth && g.logicalHeight == qhd.logicalHeight && !g.isHiDPI) {
        return VideoCaptureMode::physical1440;
    }
    switch (mode) {
        case VideoCaptureMode::easy: return VideoCaptureMode::physical1080;
        case VideoCaptureMode::pro:
        case VideoCaptureMode::max: return VideoCaptureMode::physical1440;
        case VideoCaptureMode::physical1080:
        case VideoCaptureMode::physical1440: return mode;
    }
    return mode;
}

std::optional<DisplayID> DisplayTargetState::usablePhysicalDisplayID(const HostDisplayModeSwitcher& switcher,
                                                                     const HeadlessVirtualDisplay& virtualDisplay) const {
    const DisplayID v = virtualDisplay.displayID;
    const auto physical = switcher.activePhysicalDisplayIDs(v);
    if (physical.empty()) return std::nullopt;
    auto listed = [&](DisplayID id) { return std::find(physical.begin(), physical.end(), id) != physical.end(); };
    if (physicalDisplayID_ != 0 && physicalDisplayID_ != v && listed(physicalDisplayID_)) return physicalDisplayID_;
    if (const auto main = switcher.mainDisplayID(); main != v && listed(main)) return main;
    return physical.front();
}

std::optional<HostDisplayGeometry> DisplayTargetState::realizedHeadlessGeometryIfSatisfied(
    VideoCaptureMode mode, DisplayID displayID, const HeadlessVirtualDisplay& virtualDisplay) {
    const auto realized = virtualDisplay.currentGeometry(displayID);
    if (!realized) return std::nullopt;
    const HostDisplayGeometry geometry{realized->displayID,  realized->logicalWidth, realized->logicalHeight,
                                       realized->pixelWidth, realized->pixelHeight,  realized->refreshRate,
                                       realized->isHiDPI};
    if (!geometrySatisfiesStrictMode(geometry, mode)) return std::nullopt;
    return geometry;
}

}  // namespace qm

namespace qm {

const std::string& DisplayTargetState::modeTitle(VideoCaptureMode mode) {
    return DisplayProfileCatalog::profile(mode).title;
}

std::optional<VideoCaptureMode> DisplayTargetState::physicalFallbackModeFor(VideoCaptureMode mode) {
    switch (mode) {
        case VideoCaptureMode::easy: return VideoCaptureMode::physical1080;
        case VideoCaptureMode::pro:
        case VideoCaptureMode::max: return VideoCaptureMode::physical1440;
        case VideoCaptureMode::physical1080:
        case VideoCaptureMode::physical1440: return std::nullopt;
    }
    return std::nullopt;
}

bool DisplayTargetState::physicalDisplayLayoutSatisfies(const DisplayLayoutPayload& layout,
                                                        const CaptureModeControlPayload& request) {
    const auto& r = profileOf(request.mode).resolution;
    if (layout.targetWidth != r.logicalWidth || layout.targetHeight != r.logicalHeight) return false;
    if (!r.hiDPI) return true;
    return layout.pixelWidth == r.pixelWidth && layout.pixelHeight == r.pixelHeight &&
           (layout.flags & DisplayLayoutPayload::hiDPIFlag) != 0;
}

CaptureModeControlPayload DisplayTargetState::easyAdaptiveRequest(
    const CaptureModeControlPayload& base, const std::optional<DisplayLayoutPayload>& layout, bool fullChromaEncoding,
    const std::function<std::int64_t(std::int64_t, std::int64_t, bool)>& bitrateFor) {
    using P = CaptureModeControlPayload;
    const VideoChromaMode chroma = fullChromaEncoding ? base.chromaMode : VideoChromaMode::yuv420;
    auto easy = P::preset(VideoCaptureMode::easy, chroma, VideoCaptureBackend::physical);
    // The Viewer's codec and frame rate stand: it decodes what it asked for.
    easy.codec = base.codec;
    if (base.fps > 0) easy.fps = base.fps;
    std::uint8_t flags = easy.flags | (base.flags & P::encoderOption40Flag);
    if (!fullChromaEncoding || (base.flags & P::encoderOption20Flag)) flags |= P::encoderOption20Flag;
    flags &= static_cast<std::uint8_t>(~(P::iosBuiltInDisplayFlag | P::hiDPIFlag));
    if (layout) {
        easy.logicalWidth = layout->targetWidth;
        easy.logicalHeight = layout->targetHeight;
        easy.pixelWidth = layout->pixelWidth;
        easy.pixelHeight = layout->pixelHeight;
        if (layout->flags & DisplayLayoutPayload::hiDPIFlag) flags |= P::hiDPIFlag;
    }
    easy.flags = flags;
    // The rate follows the pixels actually carried: a side beyond what the transport takes is
    // scaled down first.
    const std::int64_t longer = std::max(easy.pixelWidth, easy.pixelHeight);
    const double s = longer > 0 ? std::min(1.0, static_cast<double>(transportMaxDimension(easy)) /
                                                    static_cast<double>(longer))
                                : 1.0;
    auto scaled = [s](std::int64_t side) {
        auto v = static_cast<std::int64_t>(static_cast<double>(side) * s);
        v -= v % 2;
        return v < 3 ? std::int64_t{2} : v;
    };
    easy.bitrate = bitrateFor(scaled(easy.pixelWidth), scaled(easy.pixelHeight), chroma == VideoChromaMode::yuv444);
    return easy;
}

}  // namespace qm
