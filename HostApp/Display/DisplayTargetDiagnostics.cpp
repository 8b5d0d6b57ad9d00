// The selection summary at the head of the display diagnostics.
#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/HeadlessVirtualDisplayTarget.h"

namespace qm {

std::string DisplayTargetState::displayDiagnostics(const HostDisplayModeSwitcher& switcher,
                                                   const HeadlessVirtualDisplay& virtualDisplay) const {
    std::string backend = "real display";
    if (useHeadlessVirtualDisplay) {
        backend = virtualDisplay.isActive() ? "headless virtual active" : "headless virtual requested (fallback active)";
    }
    std::string text = "Selected display: " + std::to_string(selectedDisplayID) + " (" +
                       (displaySelectionIsManual ? "manual" : "auto") + "; backend " + backend + "; switch fallback " +
                       (displaySelectionIsManual ? "off" : "on") + ")";
    if (useHeadlessVirtualDisplay) {
        text += "\nVirtual template: " + HeadlessVirtualDisplayTarget::target(currentVideoMode).summary();
        text += "\nVirtual actual: " + virtualDisplay.summary();
        text += "\nPhysical display: " + std::to_string(physicalDisplayID);
    }
    return text + "\n" + switcher.displayDiagnostics();
}

}  // namespace qm
