#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/PowerManagement.h"
#include "Platform/Core/UUID.h"
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

// The Host's power state as the server sees it: whether the screens sleep, the move of capture to
// the virtual display before sleep and back after wake, the two reconnect graces, and the two
// assertions that keep the machine awake. Owned by the server queue; every member is read and
// written only there. Times are wall-clock seconds.
struct PowerGraceState {
    static constexpr double reconnectGraceSeconds = 900;
    static constexpr double sleepingGraceRecheckSeconds = 60;
    static constexpr double wakeStabilizationSeconds = 4.0;
    static constexpr double wakeKeyframeExtraSeconds = 1.2;
    static constexpr double physicalRecoveryWindowSeconds = 45.0;
    static constexpr double physicalRecoveryRetrySeconds = 0.75;
    static constexpr double topologyRecoveryDelaySeconds = 0.5;

    bool screensAreSleeping = false;
    // True only while the sleep preflight runs.
    bool isPreflightingHeadlessCaptureForSleep = false;
    // The physical capture request (and its mode) saved when capture moved to the temporary
    // virtual display before sleep; present means physical capture is to come back.
    std::optional<CaptureModeControlPayload> sleepPreflightPhysicalCaptureRequest;
    std::optional<VideoCaptureMode> sleepPreflightPhysicalVideoMode;
    bool isAwaitingSleepPreflightPhysicalRecovery = false;
    // End of the current recovery window; none when no window is open.
    std::optional<double> sleepPreflightPhysicalRecoveryDeadline;
    std::int64_t sleepPreflightPhysicalRecoveryRetryCount = 0;
    DispatchWorkItemPtr sleepPreflightPhysicalRecoveryTask;
    // Wake time plus 4 s: the virtual display is not made before it, and kept while it is set.
    std::optional<double> virtualDisplayWakeStabilizationDeadline;
    DispatchWorkItemPtr displayTopologyRecoveryTask;

    ReconnectGrace sleepRecoveryViewerReconnectGrace;
    ReconnectGrace iosViewerBackgroundSleepGrace;
    // The iOS Viewers that said they went to the background and have not come back yet.
    std::set<UUID> iosBackgroundSessionIDs;

    // The held assertions' ids; 0 = none held.
    PowerAssertionID viewerIdleSleepAssertionID = 0;
    PowerAssertionID viewerSystemSleepAssertionID = 0;

    // A Viewer left: it no longer counts as backgrounded. The grace it started runs on.
    void forget(const UUID& id) { iosBackgroundSessionIDs.erase(id); }
    std::size_t entryCount() const { return iosBackgroundSessionIDs.size(); }
    std::size_t assertionsHeld() const {
        return (viewerIdleSleepAssertionID != 0 ? 1 : 0) + (viewerSystemSleepAssertionID != 0 ? 1 : 0);
    }
    std::size_t gracesRunning() const {
        return (sleepRecoveryViewerReconnectGrace.isRunning() ? 1 : 0) +
               (iosViewerBackgroundSleepGrace.isRunning() ? 1 : 0);
    }

    // Cancels the pending recovery attempt and closes its window; the saved request stays.
    void cancelSleepPreflightPhysicalRecovery();
    // Stops both graces and every pending power task (termination).
    void cancelGraces();
};

}  // namespace qm
