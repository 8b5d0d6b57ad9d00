#pragma once

#include <memory>
#include <string>
#include <vector>

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Displays.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "Platform/VirtualDisplays.h"
#include "support/TestPlatform.h"

namespace qm::test {

inline DisplayMode mode(std::int64_t w, std::int64_t h, std::int64_t pw, std::int64_t ph, double hz = 60,
                        std::int32_t id = 0) {
    DisplayMode m;
    m.width = w;
    m.height = h;
    m.pixelWidth = pw;
    m.pixelHeight = ph;
    m.refreshRate = hz;
    m.ioDisplayModeID = id;
    return m;
}

// Displays, the switcher and the virtual display on one virtual clock; log lines are collected.
struct DisplayRig {
    ManualPlatform manual;
    std::shared_ptr<SimulatedDisplayService> displays = std::make_shared<SimulatedDisplayService>();
    std::shared_ptr<SimulatedVirtualDisplayFactory> factory = std::make_shared<SimulatedVirtualDisplayFactory>(displays);
    std::shared_ptr<HostDisplayModeSwitcher> switcher;
    std::shared_ptr<HeadlessVirtualDisplay> virtualDisplay;
    std::vector<std::string> lines;

    DisplayRig() {
        displays->setClock(manual.clock);
        manual.platform.displays = displays;
        manual.platform.virtualDisplays = factory;
        switcher = std::make_shared<HostDisplayModeSwitcher>(displays, manual.clock);
        switcher->diagnosticSink = [this](const std::string& line) { lines.push_back(line); };
        virtualDisplay = std::make_shared<HeadlessVirtualDisplay>(manual.platform);
        virtualDisplay->logSink = [this](const std::string& line) { lines.push_back(line); };
    }
    double now() const { return static_cast<double>(manual.clock->uptimeNs()) / 1e9; }
};

}  // namespace qm::test
