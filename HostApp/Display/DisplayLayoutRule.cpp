// The layout of one display as Viewers are told of it.
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Core/Geometry.h"

namespace qm {

std::optional<DisplayLayoutPayload> HostDisplayModeSwitcher::displayLayout(const DisplayService& displays,
                                                                           DisplayID displayID) {
    const Rect bounds = displays.bounds(displayID);
    if (!(bounds.width() > 0) || !(bounds.height() > 0)) return std::nullopt;

    std::size_t kept = 0;
    Rect unionRect = bounds;
    for (const auto id : displays.activeDisplayIDs()) {
        const Rect other = displays.bounds(id);
        if (!(other.width() > 0) || !(other.height() > 0)) continue;
        ++kept;
        unionRect = unionRect.unionWith(other);
    }

    DisplayLayoutPayload layout;
    layout.displayID = displayID;
    if (const auto mode = displays.currentMode(displayID)) {
        layout.targetWidth = std::max<std::int64_t>(1, mode->width);
        layout.targetHeight = std::max<std::int64_t>(1, mode->height);
        layout.pixelWidth = mode->pixelWidth >= 1 ? mode->pixelWidth : mode->width;
        layout.pixelHeight = mode->pixelHeight >= 1 ? mode->pixelHeight : mode->height;
    } else {
        layout.targetWidth = std::max<std::int64_t>(1, roundedInt(bounds.width()));
        layout.targetHeight = std::max<std::int64_t>(1, roundedInt(bounds.height()));
        layout.pixelWidth = roundedInt(bounds.width());
        layout.pixelHeight = roundedInt(bounds.height());
    }
    layout.unionWidth = kept < 2 ? layout.targetWidth : roundedInt(unionRect.width());
    layout.unionHeight = kept < 2 ? layout.targetHeight : roundedInt(unionRect.height());
    layout.targetX = roundedInt(bounds.minX());
    layout.targetY = roundedInt(bounds.minY());
    layout.unionX = roundedInt(unionRect.minX());
    layout.unionY = roundedInt(unionRect.minY());
    layout.flags = static_cast<double>(layout.pixelWidth) / static_cast<double>(layout.targetWidth) > 1.25
                       ? DisplayLayoutPayload::hiDPIFlag
                       : 0;
    return layout;
}

std::optional<DisplayLayoutPayload> HostDisplayModeSwitcher::displayLayout(DisplayID displayID) const {
    if (!displays_) return std::nullopt;
    return displayLayout(*displays_, displayID);
}

}  // namespace qm
