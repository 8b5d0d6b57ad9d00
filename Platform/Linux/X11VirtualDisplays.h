#pragma once

#include <memory>

#include "Platform/VirtualDisplays.h"
#include "Platform/Linux/X11Displays.h"

namespace qm {

// Software displays on an X server as RandR monitors (RandR 1.5). Applying settings enlarges the
// screen to the right by the first mode's size and defines a monitor over the new area; windows
// can be moved there and the area captured like any display. The other modes of the settings can
// be switched to through the display service (the monitor is redefined at that size). Dropping the
// last reference deletes the monitor and gives the room back. Servers without monitors report
// the classes unavailable; a server that refuses the larger screen rejects the settings.
// X has one pixel per point: HiDPI settings show at their pixel size, points equal to pixels.
class X11VirtualDisplayFactory final : public VirtualDisplayFactory {
public:
    explicit X11VirtualDisplayFactory(std::shared_ptr<X11DisplayService> displays);

    bool classesAvailable() const override;
    bool displayInitializerAvailable() const override;
    std::shared_ptr<VirtualDisplay> makeDisplay(const VirtualDisplayDescriptor& descriptor) override;
    bool modeInitializerAvailable() const override;
    ModeResult makeMode(std::int64_t width, std::int64_t height, double refreshRate) override;

private:
    std::shared_ptr<X11DisplayService> displays_;
};

}  // namespace qm
