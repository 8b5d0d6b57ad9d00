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

namespace test {
class ServerInspector;
}

// The server's display-target state: which display is captured and how. Owned by the server
// queue; every member below is read and written only there.
//
// The operations that read or write it take what else they need (the mode switcher and the
// virtual display the application owns), so the server's methods are thin calls into these.
//
// What always holds:
// - the chroma mode in force is the capture request's (it is read from the request, never kept
//   apart from it);
// - capture moving to the virtual display asks the request for the virtual backend too;
// - a display a mode switch landed on is both the selected and the remembered physical display;
// - the headless display is retried at most `maximumHeadlessRealizeRetries` times per request;
// - the iOS built-in capture's owner is a Viewer that is still there (`forget` clears it).
class DisplayTargetState {
public:
    static constexpr std::int64_t maximumHeadlessRealizeRetries = 1;

    // ---- What is captured ----
    // The display being captured: a real display or the headless virtual display.
    DisplayID selectedDisplayID() const { return selectedDisplayID_; }
    // The real display chosen for capture, fallback and audio; 0 for none.
    DisplayID physicalDisplayID() const { return physicalDisplayID_; }
    // The user or a Viewer chose the display: the switcher may not fall back to another one.
    bool displaySelectionIsManual() const { return displaySelectionIsManual_; }
    // Capture goes to the headless virtual display.
    bool useHeadlessVirtualDisplay() const { return useHeadlessVirtualDisplay_; }

    // Capture goes to the real display `id`, which becomes the remembered one.
    void usePhysicalDisplay(DisplayID id, bool manual);
    // Capture goes to the virtual display (the request asks for the virtual backend).
    void useVirtualDisplay(bool manual);
    // Capture leaves the virtual display for the remembered real display, if there is one.
    void returnToPhysicalDisplay();
    // A mode switch landed on `id`: it is selected and remembered; where capture goes is unchanged.
    void physicalDisplaySwitched(DisplayID id);
    // The real display for audio and fallback, chosen by the user while capture stays where it is.
    void choosePhysicalDisplay(DisplayID id);
    // The virtual display `id` is up and chosen for capture.
    void virtualDisplayReady(DisplayID id);
    // Selects `id` (the virtual display that stays) without changing anything else.
    void selectDisplay(DisplayID id) { selectedDisplayID_ = id; }
    // The virtual display went away: the remembered real display, if any, is selected again.
    void selectPhysicalDisplayIfKnown();

    // ---- The request in force ----
    VideoCaptureMode currentVideoMode() const { return currentVideoMode_; }
    const CaptureModeControlPayload& currentCaptureRequest() const { return currentCaptureRequest_; }
    VideoChromaMode currentVideoChromaMode() const { return currentCaptureRequest_.chromaMode; }
    // A Viewer's request (with its chroma mode) is in force; the mode follows once applied.
    void setCaptureRequest(const CaptureModeControlPayload& request) { currentCaptureRequest_ = request; }
    void setCaptureRequest(const CaptureModeControlPayload& request, VideoCaptureMode mode);
    // `mode` is in force, and the request asks for it.
    void setVideoMode(VideoCaptureMode mode);
    // The request asks for `mode`; the mode in force changes once it is applied.
    void setRequestMode(VideoCaptureMode mode);
    void setCaptureBackend(VideoCaptureBackend backend) { currentCaptureRequest_.backend = backend; }
    // The request no longer asks for the iOS built-in display.
    void clearIOSBuiltInFlag();
    // Back to the request a stream starts with when no Viewer asked for one.
    void resetCaptureRequest() { currentCaptureRequest_ = defaultCaptureRequest(); }

    // At start: the main display is captured and remembered unless a display was chosen already.
    void defaultDisplayFound(DisplayID main);

    // ---- The layout Viewers were told ----
    const std::optional<DisplayLayoutPayload>& lastDisplayLayout() const { return lastDisplayLayout_; }
    // The layout described without a display service (the mode's catalogue size).
    void layoutDescribed(const DisplayLayoutPayload& layout) { lastDisplayLayout_ = layout; }
    // The capture target changed: the layout is described afresh when next asked for.
    void forgetLayout() { lastDisplayLayout_.reset(); }

    // ---- Headless retries for the current request ----
    std::int64_t headlessRealizeRetryAttempts() const { return headlessRealizeRetryAttempts_; }
    bool headlessRealizeRetriesExhausted() const {
        return headlessRealizeRetryAttempts_ >= maximumHeadlessRealizeRetries;
    }
    // One more retry; the count after it.
    std::int64_t noteHeadlessRealizeRetry();
    void resetHeadlessRealizeRetries() { headlessRealizeRetryAttempts_ = 0; }

    // ---- iOS built-in display ----
    // The Viewer whose iOS built-in display capture is running, if one started it.
    const std::optional<UUID>& iosBuiltInCaptureSessionID() const { return iosBuiltInCaptureSessionID_; }
    void iosBuiltInCaptureStartedBy(const UUID& id) { iosBuiltInCaptureSessionID_ = id; }

    // A Viewer left: it no longer owns the iOS built-in capture.
    void forget(const UUID& id) {
        if (iosBuiltInCaptureSessionID_ == id) iosBuiltInCaptureSessionID_.reset();
    }
    // Per-Viewer entries, for leak checks.
    std::size_t entryCount() const { return iosBuiltInCaptureSessionID_ ? 1 : 0; }

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

private:
    friend class test::ServerInspector;

    DisplayID selectedDisplayID_ = 0;
    DisplayID physicalDisplayID_ = 0;
    bool displaySelectionIsManual_ = false;
    bool useHeadlessVirtualDisplay_ = false;
    VideoCaptureMode currentVideoMode_ = VideoCaptureMode::easy;
    CaptureModeControlPayload currentCaptureRequest_ = defaultCaptureRequest();
    // The layout last returned by currentDisplayLayout(); cleared before a capture-target change.
    std::optional<DisplayLayoutPayload> lastDisplayLayout_;
    // Retries used for the current headless request: 0 up to the maximum.
    std::int64_t headlessRealizeRetryAttempts_ = 0;
    std::optional<UUID> iosBuiltInCaptureSessionID_;
};

}  // namespace qm
