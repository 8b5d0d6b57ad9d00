// The layout the server tells Viewers of.
#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/HeadlessVirtualDisplayTarget.h"
#include "Platform/Core/Geometry.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

DisplayLayoutPayload DisplayTargetState::managedHeadlessDisplayLayout(VideoCaptureMode mode, DisplayID displayID,
                                                                      HeadlessVirtualDisplay& virtualDisplay,
                                                                      const HostDisplayModeSwitcher* switcher) {
    virtualDisplay.refreshGeometry();
    const auto target = HeadlessVirtualDisplayTarget::target(mode);
    const std::int64_t width = virtualDisplay.logicalWidth > 0 ? virtualDisplay.logicalWidth : target.logicalWidth;
    const std::int64_t height = virtualDisplay.logicalHeight > 0 ? virtualDisplay.logicalHeight : target.logicalHeight;
    DisplayLayoutPayload layout;
    layout.displayID = virtualDisplay.displayID != 0 ? virtualDisplay.displayID : displayID;
    // The display's real place: Viewers' pointer positions are global, so a virtual display to the
    // right of the desktop (1920,0 on a 3840-wide screen) must be reported there, not at 0,0.
    layout.targetX = virtualDisplay.x;
    layout.targetY = virtualDisplay.y;
    layout.targetWidth = width;
    layout.targetHeight = height;
    Rect enclosing(static_cast<double>(layout.targetX), static_cast<double>(layout.targetY), static_cast<double>(width),
                   static_cast<double>(height));
    if (switcher && virtualDisplay.displayID != 0) {
        if (const auto shown = switcher->displayLayout(virtualDisplay.displayID)) {
            enclosing = enclosing.unionWith(Rect(static_cast<double>(shown->unionX), static_cast<double>(shown->unionY),
                                                 static_cast<double>(shown->unionWidth),
                                                 static_cast<double>(shown->unionHeight)));
        }
    }
    layout.unionX = roundedInt(enclosing.minX());
    layout.unionY = roundedInt(enclosing.minY());
    layout.unionWidth = roundedInt(enclosing.width());
    layout.unionHeight = roundedInt(enclosing.height());
    layout.pixelWidth = virtualDisplay.pixelWidth > 0 ? virtualDisplay.pixelWidth : target.logicalWidth * target.scale;
    layout.pixelHeight = virtualDisplay.pixelHeight > 0 ? virtualDisplay.pixelHeight : target.logicalHeight * target.scale;
    layout.flags = (target.scale >= 2 || virtualDisplay.isHiDPI) ? DisplayLayoutPayload::hiDPIFlag : 0;
    return layout;
}

DisplayLayoutPayload DisplayTargetState::currentDisplayLayout(const HostDisplayModeSwitcher& switcher,
                                                              HeadlessVirtualDisplay& virtualDisplay) {
    std::optional<DisplayLayoutPayload> layout;
    if (useHeadlessVirtualDisplay_ && virtualDisplay.isActive()) {
        layout = managedHeadlessDisplayLayout(currentVideoMode_, selectedDisplayID_, virtualDisplay, &switcher);
    } else {
        layout = switcher.displayLayout(selectedDisplayID_);
    }
    if (!layout) {
        // The display went away: the mode's catalogue size keeps Viewers' frames sane.
        const auto profile = DisplayProfileCatalog::modeProfile(static_cast<std::uint8_t>(currentVideoMode_))
                                 .value_or(DisplayProfileCatalog::easy());
        DisplayLayoutPayload fallback;
        fallback.displayID = selectedDisplayID_;
        fallback.targetWidth = fallback.unionWidth = fallback.pixelWidth = profile.resolution.logicalWidth;
        fallback.targetHeight = fallback.unionHeight = fallback.pixelHeight = profile.resolution.logicalHeight;
        layout = fallback;
    }
    lastDisplayLayout_ = layout;
    return *layout;
}

}  // namespace qm
