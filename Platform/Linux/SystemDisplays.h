#pragma once

#include <memory>
#include <string>

#include "Platform/Core/Clock.h"
#include "Platform/Displays.h"
#include "Platform/ScreenCapture.h"
#include "Platform/VirtualDisplays.h"

namespace qm {

// The display, capture and virtual-display services the Host runs on, and which kind they are.
struct SystemDisplayBackends {
    std::shared_ptr<DisplayService> displays;
    std::shared_ptr<ScreenCaptureService> screenCapture;
    std::shared_ptr<VirtualDisplayFactory> virtualDisplays;  // null where the server has no monitors
    // "X11 display :0" or "simulated display (<why>)", for the Host's log.
    std::string description;
};

// The X11 backends when `serverName` (else $DISPLAY) names a server that answers with RandR and
// shared-memory images; else the simulated display with its synthetic picture, whose delayed
// changes follow `clock`.
SystemDisplayBackends makeSystemDisplayBackends(std::shared_ptr<const Clock> clock, const std::string& serverName = {});

}  // namespace qm
