#include "HostApp/Display/DisplayLayout.h"

#include <algorithm>

namespace qm {

std::optional<DisplayLayoutPayload> displayLayout(const DisplayService& displays, DisplayID displayID) {
    auto info = displays.display(displayID);
    if (!info || info->bounds.isEmpty()) return std::nullopt;
    const Rect bounds = info->bounds;

    std::size_t kept = 0;
    Rect unionRect = bounds;
    for (auto id : displays.activeDisplayIDs()) {
        const Rect other = displays.bounds(id);
        if (other.isEmpty()) continue;
        ++kept;
        unionRect = unionRect.unionWith(other);
    }

    DisplayLayoutPayload layout;
    layout.displayID = displayID;
    if (const auto& mode = info->currentMode) {
        layout.targetWidth = std::max<std::int64_t>(1, mode->width);
        layout.targetHeight = std::max<std::int64_t>(1, mode->height);
        layout.pixelWidth = mode->effectivePixelWidth();
        layout.pixelHeight = mode->effectivePixelHeight();
    } else {
        layout.targetWidth = std::max<std::int64_t>(1, roundedInt(bounds.width()));
        layout.targetHeight = std::max<std::int64_t>(1, roundedInt(bounds.height()));
        layout.pixelWidth = roundedInt(bounds.width());
        layout.pixelHeight = roundedInt(bounds.height());
    }
    layout.targetX = roundedInt(bounds.minX());
    layout.targetY = roundedInt(bounds.minY());
    layout.unionX = roundedInt(unionRect.minX());
    layout.unionY = roundedInt(unionRect.minY());
    layout.unionWidth = kept < 2 ? layout.targetWidth : roundedInt(unionRect.width());
    layout.unionHeight = kept < 2 ? layout.targetHeight : roundedInt(unionRect.height());
    const bool hiDPI = static_cast<double>(layout.pixelWidth) / static_cast<double>(layout.targetWidth) > 1.25;
    layout.flags = hiDPI ? DisplayLayoutPayload::hiDPIFlag : 0;
    return layout;
}

}  // namespace qm
