#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Geometry.h"

namespace qm {

// The 32-bit display id the Host and its Viewers use for a screen.
using DisplayID = std::uint32_t;

// One display mode: its size in points, its size in pixels and its refresh rate.
struct DisplayMode {
    std::int64_t width = 0;  // points
    std::int64_t height = 0;
    std::int64_t pixelWidth = 0;  // 0 or less: same as the point size
    std::int64_t pixelHeight = 0;
    double refreshRate = 0;  // Hz; 0 when the panel does not report one
    std::int32_t ioDisplayModeID = 0;
    std::uint32_t ioFlags = 0;
    bool usableForDesktopGUI = true;

    // The pixel size with the point size standing in for a missing one.
    std::int64_t effectivePixelWidth() const { return pixelWidth > 0 ? pixelWidth : width; }
    std::int64_t effectivePixelHeight() const { return pixelHeight > 0 ? pixelHeight : height; }
    // More than 1.25 pixels per point (strictly) counts as HiDPI.
    bool isHiDPI() const {
        return width >= 1 && static_cast<double>(effectivePixelWidth()) / static_cast<double>(width) > 1.25;
    }

    friend bool operator==(const DisplayMode&, const DisplayMode&) = default;
};

// What the Host knows of one display at the moment it asks.
struct DisplayInfo {
    DisplayID displayID = 0;
    Rect bounds;  // in the global display space, points; the main display sits at (0, 0)
    std::optional<DisplayMode> currentMode;
    bool isBuiltin = false;
    bool isOnline = true;
    bool isActive = true;
    bool isAsleep = false;
    bool isInMirrorSet = false;
    Size screenSizeMillimeters;

    friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

// The Host's displays. Queries answer from the state at the moment of the call and may be made
// from any thread.
class DisplayService {
public:
    virtual ~DisplayService() = default;

    // Every online display, in the order the system lists them.
    virtual std::vector<DisplayInfo> onlineDisplays() const = 0;
    // The display that carries the menu bar; 0 when there is no display at all.
    virtual DisplayID mainDisplayID() const = 0;

    std::optional<DisplayInfo> display(DisplayID displayID) const;
    // The display's rectangle; empty for a display that is not there.
    Rect bounds(DisplayID displayID) const;
    std::optional<DisplayMode> currentMode(DisplayID displayID) const;
    // Online and active displays, in list order.
    std::vector<DisplayID> activeDisplayIDs() const;
};

// The display topology held in memory: the Host's embedded default when there is no display
// server, and what tests script (plug, unplug, change a mode, move the main display).
class SimulatedDisplayService final : public DisplayService {
public:
    // Starts with the default topology: one built-in main display (see defaultBuiltInDisplay()).
    SimulatedDisplayService();
    explicit SimulatedDisplayService(std::vector<DisplayInfo> displays, DisplayID mainDisplayID);

    // Display 1: built in, 1920 x 1080 points at 1920 x 1080 pixels, 60 Hz, at (0, 0).
    static DisplayInfo defaultBuiltInDisplay();
    // A display of the given size in points and pixels, at the given origin.
    static DisplayInfo makeDisplay(DisplayID displayID, Point origin, std::int64_t width, std::int64_t height,
                                   std::int64_t pixelWidth, std::int64_t pixelHeight, double refreshRate = 60,
                                   bool builtin = false);

    std::vector<DisplayInfo> onlineDisplays() const override;
    DisplayID mainDisplayID() const override;

    // Adds a display at the end of the list, or replaces the one with the same id in place.
    void addDisplay(DisplayInfo display);
    // Returns false when no display had that id. Removing the main display makes the first
    // remaining display the main one.
    bool removeDisplay(DisplayID displayID);
    // Sets the current mode; the display's bounds take the mode's point size.
    bool setCurrentMode(DisplayID displayID, DisplayMode mode);
    bool setAsleep(DisplayID displayID, bool asleep);
    void setMainDisplayID(DisplayID displayID);

private:
    mutable std::mutex mutex_;
    std::vector<DisplayInfo> displays_;
    DisplayID mainDisplayID_ = 0;
};

}  // namespace qm
