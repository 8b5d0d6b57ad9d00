#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/Clock.h"
#include "Platform/Displays.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/VideoStreamTypes.h"

namespace qm {

// The mode a display had before this process first switched it.
struct SavedDisplayMode {
    DisplayMode mode;
};

// Puts a physical display into the mode that best matches a requested size, remembers the mode
// each display had before its first switch and puts it back; also the display queries and the
// one-line descriptions the rest of the display code is built on.
//
// One instance belongs to the application and is shared by the server and the status menu.
// Every operation blocks its calling thread: the settling waits sleep through the clock in
// 120 ms steps. The saved modes are guarded by `savedModeLock`, held only for the dictionary
// access itself, never across a configuration, a wait or a log write.
class HostDisplayModeSwitcher {
public:
    HostDisplayModeSwitcher(std::shared_ptr<DisplayService> displays, std::shared_ptr<const Clock> clock);

    // Receives the per-candidate "display switch try" lines (with the "[QuillmereHost] " prefix,
    // without a line feed); standard error when unset.
    std::function<void(const std::string&)> diagnosticSink;

    // The geometry a display settled in, or why no display did.
    struct SwitchResult {
        std::optional<HostDisplayGeometry> geometry;  // set on success
        std::string failureText;                      // set on failure

        static SwitchResult success(HostDisplayGeometry geometry) { return {geometry, {}}; }
        static SwitchResult failure(std::string text) { return {std::nullopt, std::move(text)}; }
        bool isSuccess() const { return geometry.has_value(); }
    };

    // What to ask of the switcher for a capture mode.
    struct ModeTarget {
        std::int64_t logicalWidth = 0;
        std::int64_t logicalHeight = 0;
        std::int64_t pixelWidth = 0;
        std::int64_t pixelHeight = 0;
        bool preferHiDPI = false;
        bool requireExactMatch = false;
        friend bool operator==(const ModeTarget&, const ModeTarget&) = default;
    };

    // A display picker entry.
    struct DisplayOption {
        DisplayID id = 0;
        std::string title;
        friend bool operator==(const DisplayOption&, const DisplayOption&) = default;
    };

    // ---- Queries and descriptions ----
    // Online and active displays, in the system's order.
    std::vector<DisplayID> activeDisplayIDs() const;
    // Active displays that are real screens: not `excluding`, not a mirrored external display,
    // not asleep, and with a physical size.
    std::vector<DisplayID> activePhysicalDisplayIDs(DisplayID excluding) const;
    DisplayID mainDisplayID() const;
    HostDisplayGeometry currentGeometry(DisplayID displayID, const DisplayMode& fallbackMode) const;
    // "1920x1080@0,0"
    std::string boundsDescription(DisplayID displayID) const;
    // "1920x1080[px 3840x2160] 60Hz HiDPI id=3 flags=0"
    static std::string modeDescription(const DisplayMode& mode);
    // The distinct mode texts without id and flags, at most 32, joined by ", ".
    static std::string displayModeListDescription(const std::vector<DisplayMode>& modes);
    // "bounds 1920x1080 current 1920x1080[px 1920x1080]" or "bounds 0x0 mode unknown"
    std::string actualDisplayDescription(DisplayID displayID) const;

    // ---- Switching ----
    SwitchResult switchDisplayMode(std::int64_t toLogicalWidth, std::int64_t logicalHeight,
                                   std::int64_t targetPixelWidth, std::int64_t targetPixelHeight, bool preferHiDPI,
                                   bool requireExactMatch, std::optional<DisplayID> preferredDisplayID,
                                   bool allowFallback);
    static ModeTarget displayModeTarget(VideoCaptureMode mode);
    std::vector<DisplayID> orderedActiveDisplayIDs(std::optional<DisplayID> preferredDisplayID, bool allowFallback) const;
    // The modes ordered best first (lower score first; ties: larger pixel width first, then list order).
    static std::vector<DisplayMode> displayModeCandidates(const std::vector<DisplayMode>& modes,
                                                          std::int64_t targetLogicalWidth,
                                                          std::int64_t targetLogicalHeight,
                                                          std::int64_t targetPixelWidth,
                                                          std::int64_t targetPixelHeight, bool preferHiDPI);
    // A mode's distance from a target; lower is better.
    static std::int64_t candidateScore(const DisplayMode& mode, std::int64_t targetLogicalWidth,
                                       std::int64_t targetLogicalHeight, std::int64_t targetPixelWidth,
                                       std::int64_t targetPixelHeight, bool preferHiDPI);
    // Every mode of the display, low-resolution duplicates included.
    std::vector<DisplayMode> candidateModes(DisplayID displayID) const;
    static bool isSameMode(const DisplayMode& a, const DisplayMode& b);
    // Polls every 120 ms until the display shows the mode; false only after the whole timeout.
    bool waitForDisplay(DisplayID displayID, const DisplayMode& toEqual, double timeout) const;
    // Applies one known mode (used to put saved modes back); never saves a mode.
    SwitchResult applyDisplayMode(const DisplayMode& mode, DisplayID to, const std::string& purpose);
    // The display after `after` in the fallback order, wrapping; the first when `after` is not listed.
    std::optional<DisplayID> nextDisplayID(DisplayID after) const;

    // ---- Saved modes ----
    // None when nothing is saved for the display (and always for display 0).
    std::optional<SwitchResult> restoreOriginalMode(DisplayID displayID);
    // One line per restore attempted, in ascending display order.
    std::vector<std::string> restoreAllOriginalModes();
    std::optional<DisplayMode> savedMode(DisplayID displayID) const;
    std::vector<DisplayID> savedDisplayIDs() const;

    // ---- Layout ----
    // The layout of one display: its rectangle, the rectangle around all active displays, its
    // pixel size and the HiDPI flag; none for a display whose bounds are empty. The one rule the
    // server and the video capture share.
    static std::optional<DisplayLayoutPayload> displayLayout(const DisplayService& displays, DisplayID displayID);
    std::optional<DisplayLayoutPayload> displayLayout(DisplayID displayID) const;

    // ---- Diagnostics ----
    std::vector<DisplayOption> displaySelectionOptions() const;
    std::string displayDiagnostics() const;

    const std::shared_ptr<DisplayService>& displays() const { return displays_; }
    const std::shared_ptr<const Clock>& clock() const { return clock_; }

private:
    // Saves the display's current mode unless one is saved already; the caller holds savedModeLock.
    void rememberOriginalModeIfNeeded(DisplayID displayID);
    // Active displays by bounds area, largest first, stable.
    std::vector<DisplayID> displaysByAreaDescending(std::vector<DisplayID> ids) const;
    void writeDiagnostic(const std::string& line) const;

    std::shared_ptr<DisplayService> displays_;
    std::shared_ptr<const Clock> clock_;
    mutable std::mutex savedModeLock;
    std::map<DisplayID, SavedDisplayMode> savedModes;
};

}  // namespace qm
