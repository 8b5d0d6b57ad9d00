#include "Platform/Linux/SystemDisplays.h"

#include <cstdlib>

#include "Platform/Linux/X11Displays.h"
#include "Platform/Linux/X11ScreenCapture.h"
#include "Platform/Linux/X11VirtualDisplays.h"

namespace qm {

SystemDisplayBackends makeSystemDisplayBackends(std::shared_ptr<const Clock> clock, const std::string& serverName) {
    std::string reason;
    const char* env = std::getenv("DISPLAY");
    const std::string name = !serverName.empty() ? serverName : (env ? env : "");
    if (name.empty()) {
        reason = "DISPLAY is not set";
    } else if (auto displays = X11DisplayService::open(name); !displays) {
        reason = "X display " + name + " does not answer or lacks RandR 1.2";
    } else if (!X11ScreenCapture::isSupported(name)) {
        reason = "X display " + name + " offers no shared-memory capture";
    } else {
        SystemDisplayBackends backends;
        backends.screenCapture = std::make_shared<X11ScreenCapture>(displays);
        if (displays->supportsMonitors()) backends.virtualDisplays = std::make_shared<X11VirtualDisplayFactory>(displays);
        backends.description = "X11 display " + name + (displays->supportsMonitors() ? "" : " (no virtual displays)");
        backends.displays = std::move(displays);
        return backends;
    }
    auto simulated = std::make_shared<SimulatedDisplayService>();
    simulated->setClock(std::move(clock));
    SystemDisplayBackends backends;
    backends.displays = simulated;
    backends.screenCapture = std::make_shared<SimulatedScreenCapture>(simulated);
    backends.virtualDisplays = std::make_shared<SimulatedVirtualDisplayFactory>(simulated);
    backends.description = "simulated display (" + reason + ")";
    return backends;
}

}  // namespace qm
