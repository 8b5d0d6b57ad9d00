#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Accessibility.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Displays.h"
#include "Platform/HostPlatform.h"
#include "Platform/VirtualDisplays.h"
#include "Platform/Workspace.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

// The Host's headless virtual display: a software display made at one of the catalogue's preset
// sizes, together with the other presets of its family so that it can switch between them in
// place. One instance belongs to the application; the server reaches it through its owner.
//
// Every operation runs on the caller's thread (the server queue) and may block: up to 0.45 s or
// 6.8 s in a start, 0.4 s in a preset switch, 2.4 s in a stop, all sleeping through the clock.
class HeadlessVirtualDisplay : public std::enable_shared_from_this<HeadlessVirtualDisplay> {
public:
    static constexpr const char* eventQueueLabel = "com.quillmere.virtualdisplay.events";

    // One size the display can show, made from a catalogue resolution.
    struct Preset {
        std::string title;
        ResolutionProfile resolution;
        std::int64_t pixelWidth = 0;
        std::int64_t pixelHeight = 0;
        bool hiDPI = false;

        static Preset from(const ResolutionProfile& resolution);
        // Half the pixel size for a HiDPI preset, else the pixel size; at least 1 each.
        std::int64_t logicalWidth() const;
        std::int64_t logicalHeight() const;
        friend bool operator==(const Preset&, const Preset&) = default;
    };

    static const Preset& standard1080Preset();
    static const Preset& standard1440Preset();
    static const Preset& hidpi1080Preset();
    static const Preset& hidpi1440Preset();
    static const Preset& maxCanvasPreset();
    static const std::vector<Preset>& presets();
    static const std::vector<Preset>& standardPresets();
    static const std::vector<Preset>& hidpiPresets();

    // What the system reports for one display.
    struct RealizedGeometry {
        DisplayID displayID = 0;
        std::int64_t x = 0, y = 0;
        std::int64_t logicalWidth = 0, logicalHeight = 0;
        std::int64_t pixelWidth = 0, pixelHeight = 0;
        double refreshRate = 0;
        bool isHiDPI = false;
        // "display=4096 logical=1920x1080 px=3840x2160 scale=2.0x 60Hz HiDPI"
        std::string summary() const;
        friend bool operator==(const RealizedGeometry&, const RealizedGeometry&) = default;
    };

    explicit HeadlessVirtualDisplay(const HostPlatform& platform);
    ~HeadlessVirtualDisplay();
    HeadlessVirtualDisplay(const HeadlessVirtualDisplay&) = delete;
    HeadlessVirtualDisplay& operator=(const HeadlessVirtualDisplay&) = delete;

    // Receives the "[HeadlessVirtualDisplay] " lines (without a line feed); standard error when unset.
    std::function<void(const std::string&)> logSink;

    // ---- Presets and creation ----
    // The preset first, then the other members of its family (HiDPI or standard).
    static std::vector<Preset> familyPresets(const Preset& preset);
    // A new software display offering every preset at every preferred refresh rate, or the reason
    // there is none. The display lives as long as the returned object.
    std::pair<std::shared_ptr<VirtualDisplay>, std::optional<std::string>> createDisplay(
        std::int64_t descriptorPixelWidth, std::int64_t descriptorPixelHeight, const std::vector<Preset>& presets,
        const std::string& name, DisplayID matchingDisplayID);
    static std::int64_t descriptorSerialNumber(std::int64_t width, std::int64_t height, bool hiDPI);
    std::vector<double> preferredRefreshRates(DisplayID matchingDisplayID) const;
    std::optional<Size> scaledPhysicalSize(std::int64_t pixelWidth, std::int64_t pixelHeight,
                                           DisplayID matchingDisplayID) const;

    // ---- Lifecycle ----
    // None on success, else the failure text; a failed start leaves the display inactive.
    std::optional<std::string> startPresetDisplay(const Preset& preferredPreset, const std::string& name,
                                                  DisplayID matchingDisplayID, bool requireGeometry);
    bool activatePreset(const Preset& preset);
    void stop(bool waitForRemoval);
    std::string summary() const;
    // The display object is held and has an id.
    bool isActive() const;

    // ---- Geometry ----
    std::optional<RealizedGeometry> currentGeometry(DisplayID displayID) const;
    void applyRealizedGeometry(const RealizedGeometry& geometry);
    void applyExpectedGeometry(DisplayID displayID, const Preset& preset);
    static RealizedGeometry normalizedGeometry(const RealizedGeometry& geometry, const std::optional<Preset>& expectedPreset);
    // Stores the system's geometry of the running display when it reports one.
    void refreshGeometry();
    std::optional<RealizedGeometry> waitForGeometry(DisplayID displayID, const Preset& expectedPreset, double timeout) const;
    bool waitForMainDisplay(DisplayID displayID, double timeout) const;
    void waitForDisplayRemoval(DisplayID displayID, double timeout) const;
    std::vector<DisplayID> activeDisplayIDs() const;
    std::optional<DisplayMode> selectableDisplayMode(DisplayID displayID, const Preset& preset) const;
    // Whether a reported geometry shows the preset (with the size tolerances the system needs).
    static bool geometrySatisfies(const RealizedGeometry& geometry, const Preset& preset);
    void cancelVirtualDesktopWindowMigration();

    // ---- Desktop promotion and window migration ----
    // Makes the virtual display the main desktop: mirrors `referenceDisplayID` (0 = the current
    // main display) into it or puts the other displays in a row to its right, then moves the
    // windows onto it and keeps them there. Returns whether it applied, and a text for the log.
    std::pair<bool, std::string> promoteToPrimaryDesktop(DisplayID referenceDisplayID);
    void ensureWindowMigrationObservers();
    // One sweep after max(delay, 0.1) s on `eventQueue`; a newer call replaces a pending one.
    void scheduleVirtualDesktopWindowMigration(const std::string& reason, double delay);
    // Moves windows of every other display onto the virtual one; empty when nothing to report.
    std::string enforceVirtualDesktopWindowPlacement(const std::string& reason);
    std::pair<std::int64_t, std::string> moveApplicationWindows(DisplayID from, DisplayID to);
    // A window's frame when it has a position and a size larger than 40 x 40 points.
    static std::optional<Rect> axWindowFrame(const AXElement& window);

    // The Host's own bundle identifier: its windows are never moved.
    std::string hostBundleIdentifier = "com.dravon.quillmere.host";

    // ---- State (read by the server; written by the operations above) ----
    std::shared_ptr<VirtualDisplay> display;
    DisplayID displayID = 0;
    std::int64_t x = 0, y = 0;
    std::int64_t logicalWidth = 0, logicalHeight = 0;
    std::int64_t pixelWidth = 0, pixelHeight = 0;
    bool isHiDPI = false;
    std::optional<Preset> currentPreset;
    std::vector<Preset> registeredPresets;
    const DispatchQueuePtr eventQueue;
    std::recursive_mutex stateLock;
    // Undo actions of the workspace observers that window migration installed.
    std::vector<std::function<void()>> workspaceWindowMigrationObservers;
    DispatchWorkItemPtr pendingWindowMigrationTask;
    bool virtualDesktopWindowMigrationEnabled = false;

private:
    void log(const std::string& line) const;
    std::string familyTitles() const;

    std::shared_ptr<DisplayService> displays_;
    std::shared_ptr<VirtualDisplayFactory> factory_;
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<AccessibilityService> accessibility_;
    std::shared_ptr<WorkspaceService> workspace_;
};

}  // namespace qm
