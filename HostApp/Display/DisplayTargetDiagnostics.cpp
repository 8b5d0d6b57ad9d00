// The selection summary at the head of the display diagnostics.
#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/HeadlessVirtualDisplayTarget.h"

namespace qm {

std::string DisplayTargetState::displayDiagnostics(const HostDisplayModeSwitcher& switcher,
                                                   const HeadlessVirtualDisplay& virtualDisplay) const {
    std::string backend = "real display";
    if (useHeadlessVirtualDisplay_) {
        backend = virtualDisplay.isActive() ? "headless virtual active" : "headless virtual requested (fallback active)";
    }
    std::string text = "Selected display: " + std::to_string(selectedDisplayID_) + " (" +
                       (displaySelectionIsManual_ ? "manual" : "auto") + "; backend " + backend + "; switch fallback " +
                       (displaySelectionIsManual_ ? "off" : "on") + ")";
    if (useHeadlessVirtualDisplay_) {
        text += "\nVirtual template: " + HeadlessVirtualDisplayTarget::target(currentVideoMode_).summary();
        text += "\nVirtual actual: " + virtualDisplay.summary();
        text += "\nPhysical display: " + std::to_string(physicalDisplayID_);
    }
    return text + "\n" + switcher.displayDiagnostics();
}

}  // namespace qm
