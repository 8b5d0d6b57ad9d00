#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/Displays.h"
#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/VideoStreamTypes.h"

namespace qm {

// How one application of a capture mode ended: how long capture waits before it restarts, the
// mode in force from now on, and whether layout, audio and video restart at all.
struct CaptureTargetOutcome {
    double delay = 0;
    VideoCaptureMode mode = VideoCaptureMode::easy;
    bool restart = false;
    friend bool operator==(const CaptureTargetOutcome&, const CaptureTargetOutcome&) = default;
};

// What to do when the headless virtual display did not realize for a request.
enum class HeadlessRealizeDecision {
    retryPending,    // a retry is scheduled, or the wake path re-applies the mode: change nothing now
    retryExhausted,  // the one retry for this request was used
    retryNotNeeded,  // no Viewer waits for video, or video already flows
};

// The server's display-target state: which display is captured and how. Owned by the server
// queue; every member below is read and written only there.
//
// The operations that read or write it take what else they need (the mode switcher and the
// virtual display the application owns), so the server's methods are thin calls into these.
class DisplayTargetState {
public:
    // The display being captured: a real display or the headless virtual display.
    DisplayID selectedDisplayID = 0;
    // The real display chosen for capture, fallback and audio; 0 for none.
    DisplayID physicalDisplayID = 0;
    // The user or a Viewer chose the display: the switcher may not fall back to another one.
    bool displaySelectionIsManual = false;
    // Capture goes to the headless virtual display.
    bool useHeadlessVirtualDisplay = false;
    VideoCaptureMode currentVideoMode = VideoCaptureMode::easy;
    CaptureModeControlPayload currentCaptureRequest = defaultCaptureRequest();
    VideoChromaMode currentVideoChromaMode = VideoChromaMode::yuv420;
    // The layout last returned by currentDisplayLayout(); cleared before a capture-target change.
    std::optional<DisplayLayoutPayload> lastDisplayLayout;
    // Retries used for the current headless request: 0 or 1.
    std::int64_t headlessRealizeRetryAttempts = 0;
    // The Viewer whose iOS built-in display capture is running, if one started it.
    std::optional<UUID> iosBuiltInCaptureSessionID;

    // A Viewer left: it no longer owns the iOS built-in capture.
    void forget(const UUID& id) {
        if (iosBuiltInCaptureSessionID == id) iosBuiltInCaptureSessionID.reset();
    }
    // Per-Viewer entries, for leak checks.
    std::size_t entryCount() const { return iosBuiltInCaptureSessionID ? 1 : 0; }

    // The request a stream starts with when no Viewer asked for one: Easy, 4:2:0, physical.
    static CaptureModeControlPayload defaultCaptureRequest() {
        return CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                 VideoCaptureBackend::physical);
    }

    // ---- Layout ----
    // The layout Viewers are told of: the live virtual display's while capture goes there, else
    // the selected display's, else the current mode's catalogue size. Stored in lastDisplayLayout.
    DisplayLayoutPayload currentDisplayLayout(const HostDisplayModeSwitcher& switcher,
                                              HeadlessVirtualDisplay& virtualDisplay);
    // The virtual display's layout: its size (or the mode's target) at its place on the screen;
    // the union also encloses every active display the switcher's display service reports.
    static DisplayLayoutPayload managedHeadlessDisplayLayout(VideoCaptureMode mode, DisplayID displayID,
                                                             HeadlessVirtualDisplay& virtualDisplay,
                                                             const HostDisplayModeSwitcher* switcher = nullptr);

    // ---- Capture mode targets ----
    // Whether a display's geometry is the mode's catalogue geometry (HiDPI modes: exactly).
    static bool geometrySatisfiesStrictMode(const HostDisplayGeometry& geometry, VideoCaptureMode mode);
    // The geometry a mode expects, as a text for log lines.
    static std::string strictGeometrySummary(VideoCaptureMode mode);
    // The physical mode to describe a display that did not reach `mode`.
    static VideoCaptureMode physicalFallbackMode(VideoCaptureMode mode, const HostDisplayGeometry& geometry);
    // A real display to capture: the remembered one, else the main one, else the first; none
    // when only the virtual display is there.
    std::optional<DisplayID> usablePhysicalDisplayID(const HostDisplayModeSwitcher& switcher,
                                                     const HeadlessVirtualDisplay& virtualDisplay) const;
    // The virtual display's geometry when it already satisfies the mode strictly.
    static std::optional<HostDisplayGeometry> realizedHeadlessGeometryIfSatisfied(
        VideoCaptureMode mode, DisplayID displayID, const HeadlessVirtualDisplay& virtualDisplay);

    // ---- Capture requests ----
    // The catalogue title of a mode ("1080p", "1440p", "Easy", "Pro", "Max").
    static const std::string& modeTitle(VideoCaptureMode mode);
    // The physical mode a failed switch falls back to: easy -> 1080p, pro and max -> 1440p, none
    // for the physical modes.
    static std::optional<VideoCaptureMode> physicalFallbackModeFor(VideoCaptureMode mode);
    // Whether a physical display's layout already has the geometry of the request's mode.
    static bool physicalDisplayLayoutSatisfies(const DisplayLayoutPayload& layout,
                                               const CaptureModeControlPayload& request);
    // The Easy request for a physical display at its own resolution: the base's chroma (4:4:4
    // only where `fullChromaEncoding`) and encoder flags, the layout's sizes, and the bit rate
    // `bitrateFor` gives for the size the stream is carried at.
    static CaptureModeControlPayload easyAdaptiveRequest(
        const CaptureModeControlPayload& base, const std::optional<DisplayLayoutPayload>& layout,
        bool fullChromaEncoding,
        const std::function<std::int64_t(std::int64_t, std::int64_t, bool)>& bitrateFor);

    // ---- Diagnostics ----
    // The selection summary followed by the displays' diagnostics.
    std::string displayDiagnostics(const HostDisplayModeSwitcher& switcher,
                                   const HeadlessVirtualDisplay& virtualDisplay) const;
};

}  // namespace qm
