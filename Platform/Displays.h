#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Core/Geometry.h"

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
    // A HiDPI mode's twin at one pixel per point; listed only when duplicates are asked for.
    bool isLowResolutionDuplicate = false;

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
    // Every mode the display offers, low-resolution duplicates included, in the system's order.
    std::vector<DisplayMode> modes;

    friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

// A display configuration call's result: 0 for success, else the system's error code.
using DisplayError = std::int32_t;
constexpr DisplayError displayErrorSuccess = 0;
constexpr DisplayError displayErrorFailure = 1000;
constexpr DisplayError displayErrorIllegalArgument = 1001;
constexpr DisplayError displayErrorInvalidConnection = 1002;

// An open display configuration transaction; 0 is none.
using DisplayConfigurationRef = std::uint64_t;

// How long a completed configuration lasts.
enum class DisplayConfigureOption : std::uint32_t { forAppOnly = 0, forSession = 1, permanently = 2 };

using ScreenParametersObserverToken = std::uint64_t;

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

    // Every mode of the display; without `includeLowResolutionDuplicates` the one-pixel-per-point
    // twins of HiDPI modes are left out. Empty for a display that is not there.
    std::vector<DisplayMode> allDisplayModes(DisplayID displayID, bool includeLowResolutionDuplicates) const;

    // Configuration transactions: begin, stage changes, then complete (which applies them) or
    // cancel (which drops them). A completed mode change may take a while to show in queries.
    virtual DisplayError beginDisplayConfiguration(DisplayConfigurationRef& configuration) = 0;
    virtual DisplayError configureDisplayWithDisplayMode(DisplayConfigurationRef configuration, DisplayID displayID,
                                                         const DisplayMode& mode) = 0;
    // Makes `displayID` mirror `primaryDisplayID`; a primary of 0 ends the display's mirroring.
    virtual DisplayError configureDisplayMirrorOfDisplay(DisplayConfigurationRef configuration, DisplayID displayID,
                                                         DisplayID primaryDisplayID) = 0;
    virtual DisplayError configureDisplayOrigin(DisplayConfigurationRef configuration, DisplayID displayID,
                                                std::int32_t x, std::int32_t y) = 0;
    virtual DisplayError completeDisplayConfiguration(DisplayConfigurationRef configuration,
                                                      DisplayConfigureOption option) = 0;
    virtual DisplayError cancelDisplayConfiguration(DisplayConfigurationRef configuration) = 0;
    // Switches one display's mode outside a transaction.
    virtual DisplayError setDisplayMode(DisplayID displayID, const DisplayMode& mode) = 0;

    // Calls `handler` on `queue` after every change of the displays' arrangement, modes or set.
    virtual ScreenParametersObserverToken addScreenParametersObserver(DispatchQueuePtr queue,
                                                                      std::function<void()> handler) = 0;
    virtual void removeScreenParametersObserver(ScreenParametersObserverToken token) = 0;
};

// The display topology held in memory: the Host's embedded default when there is no display
// server, and what tests script (plug, unplug, change a mode, move the main display, make a mode
// settle late or never, fail a transaction step).
//
// Delayed changes are measured on the service's clock and take effect at the first query at or
// after their time, so a poll that sleeps through a manual clock sees them without any thread.
class SimulatedDisplayService final : public DisplayService {
public:
    // Starts with the default topology: one built-in main display (see defaultBuiltInDisplay()).
    SimulatedDisplayService();
    explicit SimulatedDisplayService(std::vector<DisplayInfo> displays, DisplayID mainDisplayID);

    // The clock delayed changes are measured on (the system clock until set).
    void setClock(std::shared_ptr<const Clock> clock);

    // Display 1: built in, 1920 x 1080 points at 1920 x 1080 pixels, 60 Hz, at (0, 0).
    static DisplayInfo defaultBuiltInDisplay();
    // A display of the given size in points and pixels, at the given origin, offering that one
    // mode (plus its low-resolution duplicate when it is HiDPI).
    static DisplayInfo makeDisplay(DisplayID displayID, Point origin, std::int64_t width, std::int64_t height,
                                   std::int64_t pixelWidth, std::int64_t pixelHeight, double refreshRate = 60,
                                   bool builtin = false);

    // The modes of a typical external panel: 16:9 sizes from 1280x720 to 3840x2160 at 60 Hz, HiDPI
    // twins of 1920x1080 and 2560x1440 (3840x2160 and 5120x2880 pixels) with their low-resolution
    // duplicates, a 120 Hz 2560x1440, a 16:10 1920x1200 and a 4:3 1024x768 that is not for the desktop.
    static std::vector<DisplayMode> typicalExternalModes();

    std::vector<DisplayInfo> onlineDisplays() const override;
    DisplayID mainDisplayID() const override;

    DisplayError beginDisplayConfiguration(DisplayConfigurationRef& configuration) override;
    DisplayError configureDisplayWithDisplayMode(DisplayConfigurationRef configuration, DisplayID displayID,
                                                 const DisplayMode& mode) override;
    DisplayError configureDisplayMirrorOfDisplay(DisplayConfigurationRef configuration, DisplayID displayID,
                                                 DisplayID primaryDisplayID) override;
    DisplayError configureDisplayOrigin(DisplayConfigurationRef configuration, DisplayID displayID, std::int32_t x,
                                        std::int32_t y) override;
    DisplayError completeDisplayConfiguration(DisplayConfigurationRef configuration,
                                              DisplayConfigureOption option) override;
    DisplayError cancelDisplayConfiguration(DisplayConfigurationRef configuration) override;
    DisplayError setDisplayMode(DisplayID displayID, const DisplayMode& mode) override;
    ScreenParametersObserverToken addScreenParametersObserver(DispatchQueuePtr queue,
                                                              std::function<void()> handler) override;
    void removeScreenParametersObserver(ScreenParametersObserverToken token) override;

    // ---- Scripting ----
    // Adds a display at the end of the list, or replaces the one with the same id in place.
    void addDisplay(DisplayInfo display);
    // The same after `delay` seconds on the clock.
    void addDisplayAfter(double delay, DisplayInfo display);
    // Removes the display after `delay` seconds; also drops a pending addition of that id.
    void removeDisplayAfter(double delay, DisplayID displayID);
    // Replaces the display's mode list (the current mode is kept).
    bool setModes(DisplayID displayID, std::vector<DisplayMode> modes);
    // A completed or set mode on this display takes effect `seconds` later; a negative value
    // means never (the display keeps its old mode). 0, the default, is at once.
    void setModeSettleDelay(DisplayID displayID, double seconds);
    // The next `times` calls of the step fail with `error`.
    void failNextBegin(DisplayError error = displayErrorFailure, int times = 1);
    void failNextConfigureMode(DisplayError error = displayErrorIllegalArgument, int times = 1);
    void failNextComplete(DisplayError error = displayErrorFailure, int times = 1);
    void failNextSetDisplayMode(DisplayError error = displayErrorFailure, int times = 1);
    // Runs right after a configuration completed (outside the service's lock), e.g. to unplug
    // a display in the middle of a switch.
    void setAfterCompleteHook(std::function<void()> hook);
    void setMirror(DisplayID displayID, bool inMirrorSet);
    void setScreenSize(DisplayID displayID, Size millimeters);

    // What the Host did, for tests: completed transactions and the options they used.
    struct Counters {
        int begun = 0;
        int completed = 0;
        int cancelled = 0;
        int modeSets = 0;
        std::vector<DisplayConfigureOption> completeOptions;
    };
    Counters counters() const;
    // Returns false when no display had that id. Removing the main display makes the first
    // remaining display the main one.
    bool removeDisplay(DisplayID displayID);
    // Sets the current mode; the display's bounds take the mode's point size.
    bool setCurrentMode(DisplayID displayID, DisplayMode mode);
    bool setDisplaySleeping(DisplayID displayID, bool asleep);
    void setMainDisplayID(DisplayID displayID);

private:
    struct StagedConfiguration {
        std::map<DisplayID, DisplayMode> modes;
        std::map<DisplayID, DisplayID> mirrors;
        std::map<DisplayID, Point> origins;
    };
    struct PendingChange {
        std::uint64_t dueNs = 0;
        std::uint64_t sequence = 0;
        DisplayID displayID = 0;
        bool isAddition = false;
        std::function<void()> apply;  // runs under mutex_
    };

    // Applies the pending changes that are due; then notifies observers outside the lock.
    void settleDue() const;
    void scheduleLocked(double delay, DisplayID displayID, bool isAddition, std::function<void()> apply) const;
    void applyModeLocked(DisplayID displayID, const DisplayMode& mode) const;
    void notifyObservers() const;
    static bool consumeFailure(std::pair<int, DisplayError>& script, DisplayError& error);

    mutable std::mutex mutex_;
    mutable std::vector<DisplayInfo> displays_;
    mutable DisplayID mainDisplayID_ = 0;
    std::shared_ptr<const Clock> clock_;
    mutable std::vector<PendingChange> pending_;
    mutable std::uint64_t sequence_ = 0;
    mutable bool changed_ = false;
    std::map<DisplayID, double> settleDelays_;
    std::map<DisplayConfigurationRef, StagedConfiguration> configurations_;
    DisplayConfigurationRef nextConfiguration_ = 1;
    std::pair<int, DisplayError> beginFailures_{0, 0}, configureFailures_{0, 0}, completeFailures_{0, 0},
        setModeFailures_{0, 0};
    std::function<void()> afterCompleteHook_;
    Counters counters_;
    struct Observer {
        DispatchQueuePtr queue;
        std::function<void()> handler;
    };
    std::map<ScreenParametersObserverToken, Observer> observers_;
    ScreenParametersObserverToken nextObserver_ = 1;
};

}  // namespace qm
