// The layout the server tells Viewers of.
#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/HeadlessVirtualDisplayTarget.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

DisplayLayoutPayload DisplayTargetState::managedHeadlessDisplayLayout(VideoCaptureMode mode, DisplayID displayID,
                                                                      HeadlessVirtualDisplay& virtualDisplay) {
    virtualDisplay.refreshGeometry();
    const auto target = HeadlessVirtualDisplayTarget::target(mode);
    const std::int64_t width = virtualDisplay.logicalWidth > 0 ? virtualDisplay.logicalWidth : target.logicalWidth;
    const std::int64_t height = virtualDisplay.logicalHeight > 0 ? virtualDisplay.logicalHeight : target.logicalHeight;
    DisplayLayoutPayload layout;
    layout.displayID = virtualDisplay.displayID != 0 ? virtualDisplay.displayID : displayID;
    // Viewers place the virtual display on its own: its position among the real ones is not used.
    layout.targetWidth = layout.unionWidth = width;
    layout.targetHeight = layout.unionHeight = height;
    layout.pixelWidth = virtualDisplay.pixelWidth > 0 ? virtualDisplay.pixelWidth : target.logicalWidth * target.scale;
    layout.pixelHeight = virtualDisplay.pixelHeight > 0 ? virtualDisplay.pixelHeight : target.logicalHeight * target.scale;
    layout.flags = (target.scale >= 2 || virtualDisplay.isHiDPI) ? DisplayLayoutPayload::hiDPIFlag : 0;
    return layout;
}

DisplayLayoutPayload DisplayTargetState::currentDisplayLayout(const HostDisplayModeSwitcher& switcher,
                                                              HeadlessVirtualDisplay& virtualDisplay) {
    std::optional<DisplayLayoutPayload> layout;
    if (useHeadlessVirtualDisplay && virtualDisplay.isActive()) {
        layout = managedHeadlessDisplayLayout(currentVideoMode, selectedDisplayID, virtualDisplay);
    } else {
        layout = switcher.displayLayout(selectedDisplayID);
    }
    if (!layout) {
        // The display went away: the mode's catalogue size keeps Viewers' frames sane.
        const auto profile = DisplayProfileCatalog::modeProfile(static_cast<std::uint8_t>(currentVideoMode))
                                 .value_or(DisplayProfileCatalog::easy());
        DisplayLayoutPayload fallback;
        fallback.displayID = selectedDisplayID;
        fallback.targetWidth = fallback.unionWidth = fallback.pixelWidth = profile.resolution.logicalWidth;
        fallback.targetHeight = fallback.unionHeight = fallback.pixelHeight = profile.resolution.logicalHeight;
        layout = fallback;
    }
    lastDisplayLayout = layout;
    return *layout;
}

}  // namespace qm
