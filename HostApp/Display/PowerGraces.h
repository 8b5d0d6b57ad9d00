#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "Platform/Clock.h"
#include "Platform/DispatchQueue.h"
#include "QuillmereProfiles/DisplayPayloads.h"

namespace qm {

// A period during which the Host keeps state (and stays awake) for a Viewer that is expected
// back. It runs from `begin` until its deadline passes or `end` is called; a second `begin`
// restarts it. Owned by one queue.
class ReconnectGrace {
public:
    std::optional<double> deadline;  // wall time; none when no grace runs
    DispatchWorkItemPtr task;

    // Starts the grace for `seconds`; `onExpire` runs on `queue` at the deadline unless the grace
    // ended or restarted first, or `owner` (the object that holds this grace) is gone.
    void begin(DispatchQueue& queue, const Clock& clock, double seconds, std::weak_ptr<const void> owner,
               std::function<void()> onExpire);
    // Ends a running grace; false when none ran.
    bool end();
    bool isRunning() const { return deadline.has_value(); }
    bool isActive(double now) const { return deadline && *deadline > now; }
};

// Whether the screens sleep, the two reconnect graces, and whether the Viewers hold the Host
// awake. Owned by the server queue.
struct PowerGraceState {
    bool screensAreSleeping = false;
    ReconnectGrace sleepRecoveryViewerReconnectGrace;
    ReconnectGrace iosViewerBackgroundSleepGrace;
    bool viewerSessionAssertionHeld = false;
    // Set by the wake handling: the virtual display is not made before this wall time.
    std::optional<double> virtualDisplayWakeStabilizationDeadline;
    // Set while a sleep preflight holds the physical request it moved away from.
    std::optional<CaptureModeControlPayload> sleepPreflightPhysicalCaptureRequest;
    bool isPreflightingHeadlessCaptureForSleep = false;

    void cancelGraces();
};

}  // namespace qm
