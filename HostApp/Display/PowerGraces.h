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
// restarts it. Owned by one queue. A task armed for an older deadline finds the deadline changed
// and does nothing.
class ReconnectGrace {
public:
    // Starts the grace for `seconds`; `onExpire` runs on `queue` at the deadline unless the grace
    // ended or restarted first, or `owner` (the object that holds this grace) is gone.
    void begin(DispatchQueue& queue, const Clock& clock, double seconds, std::weak_ptr<const void> owner,
               std::function<void()> onExpire);
    // For an owner that checks the deadline itself: the grace runs until `until`, with no check
    // armed yet (setExpiryCheck arms one, replacing the previous).
    void beginUntil(double until);
    void setExpiryCheck(DispatchWorkItemPtr check) { task = std::move(check); }
    // The owner's check found the deadline passed: the grace is over.
    void expire();
    // Ends a running grace; false when none ran.
    bool end();
    const std::optional<double>& deadline() const { return deadline_; }
    bool isRunning() const { return deadline_.has_value(); }
    bool isActive(double now) const { return deadline_ && *deadline_ > now; }

private:
    std::optional<double> deadline_;  // wall time; none when no grace runs
    DispatchWorkItemPtr task;
};

// The Host's power state as the server sees it: whether the screens sleep, the move of capture to
// the virtual display before sleep and back after wake, the two reconnect graces, and the two
// assertions that keep the machine awake. Owned by the server queue; every member is read and
// written only there. Times are wall-clock seconds.
//
// What always holds:
// - the preflight runs only while the screens are awake;
// - recovery of physical capture is awaited only while a physical capture request is saved, and
//   its window (deadline, retries, pending attempt) is open only while it is awaited;
// - an assertion id is 0 exactly when that assertion is not held.
class PowerGraceState {
public:
    static constexpr double reconnectGraceSeconds = 900;
    static constexpr double sleepingGraceRecheckSeconds = 60;
    static constexpr double wakeStabilizationSeconds = 4.0;
    static constexpr double wakeKeyframeExtraSeconds = 1.2;
    static constexpr double physicalRecoveryWindowSeconds = 45.0;
    static constexpr double physicalRecoveryRetrySeconds = 0.75;
    static constexpr double topologyRecoveryDelaySeconds = 0.5;

    // ---- Screens ----
    bool screensAreSleeping() const { return screensAreSleeping_; }
    // The screens were reported asleep or awake; true when that changed.
    bool screensReported(bool sleeping);

    // ---- Before sleep: capture moves to the virtual display ----
    bool isPreflighting() const { return isPreflightingHeadlessCaptureForSleep; }
    void beginPreflight();
    void endPreflight() { isPreflightingHeadlessCaptureForSleep = false; }
    // The physical capture to come back after wake, saved when capture moved away for sleep.
    const std::optional<CaptureModeControlPayload>& savedPhysicalCapture() const {
        return sleepPreflightPhysicalCaptureRequest;
    }
    const std::optional<VideoCaptureMode>& savedPhysicalMode() const { return sleepPreflightPhysicalVideoMode; }
    void savePhysicalCapture(const CaptureModeControlPayload& request, VideoCaptureMode mode);
    // Physical capture came back, or will not: nothing is awaited or saved any more.
    void dropSavedPhysicalCapture();

    // ---- After wake: waiting for the physical display ----
    bool isAwaitingPhysicalRecovery() const { return isAwaitingSleepPreflightPhysicalRecovery; }
    // Starts awaiting the saved physical capture's return (there must be one).
    void awaitPhysicalRecovery();
    const std::optional<double>& recoveryDeadline() const { return sleepPreflightPhysicalRecoveryDeadline; }
    // Opens the recovery window until `deadline` unless one is open; true when it opened now.
    bool openRecoveryWindow(double deadline);
    // The next attempt; the pending one, if any, is cancelled.
    void scheduleRecoveryAttempt(DispatchWorkItemPtr attempt);
    void recoveryAttemptRan() { sleepPreflightPhysicalRecoveryTask.reset(); }
    // One more failed attempt in the window; the count after it.
    std::int64_t noteRecoveryRetry() { return ++sleepPreflightPhysicalRecoveryRetryCount; }
    // The window closed without the display; awaiting and the saved request stay.
    void closeRecoveryWindow();
    // Cancels the pending recovery attempt, closes its window and stops awaiting; the saved
    // request stays.
    void cancelSleepPreflightPhysicalRecovery();

    // ---- Wake stabilization ----
    // Wake time plus 4 s: the virtual display is not made before it, and kept while it is set.
    const std::optional<double>& wakeStabilizationDeadline() const { return virtualDisplayWakeStabilizationDeadline; }
    void wakeStabilizationBegan(double deadline) { virtualDisplayWakeStabilizationDeadline = deadline; }
    void wakeStabilizationEnded() { virtualDisplayWakeStabilizationDeadline.reset(); }

    // Sleep, its preflight, wake stabilization or the physical display's return is under way.
    bool sleepRecoveryUnderway() const;

    // ---- Display topology ----
    // A burst of changes gives one recovery: a new one replaces the pending one.
    void scheduleTopologyRecovery(DispatchWorkItemPtr recovery);
    void topologyRecoveryRan() { displayTopologyRecoveryTask.reset(); }

    // ---- Reconnect graces ----
    ReconnectGrace& sleepRecoveryGrace() { return sleepRecoveryViewerReconnectGrace; }
    const ReconnectGrace& sleepRecoveryGrace() const { return sleepRecoveryViewerReconnectGrace; }
    ReconnectGrace& iosBackgroundGrace() { return iosViewerBackgroundSleepGrace; }
    const ReconnectGrace& iosBackgroundGrace() const { return iosViewerBackgroundSleepGrace; }
    // The iOS Viewers that said they went to the background and have not come back yet.
    void viewerBackgrounded(const UUID& id) { iosBackgroundSessionIDs.insert(id); }
    void viewerForegrounded(const UUID& id) { iosBackgroundSessionIDs.erase(id); }

    // ---- Assertions that keep the machine awake ----
    enum class Assertion { idleSleep, systemSleep };
    // The held assertion's id; 0 = not held.
    PowerAssertionID assertion(Assertion which) const;
    void assertionTaken(Assertion which, PowerAssertionID id);
    // Gives up the assertion; the id that was held, for the caller to release.
    PowerAssertionID assertionReleased(Assertion which);

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

    // Stops both graces and every pending power task (termination).
    void cancelGraces();

private:
    bool screensAreSleeping_ = false;
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
    std::optional<double> virtualDisplayWakeStabilizationDeadline;
    DispatchWorkItemPtr displayTopologyRecoveryTask;

    ReconnectGrace sleepRecoveryViewerReconnectGrace;
    ReconnectGrace iosViewerBackgroundSleepGrace;
    std::set<UUID> iosBackgroundSessionIDs;

    // The held assertions' ids; 0 = none held.
    PowerAssertionID viewerIdleSleepAssertionID = 0;
    PowerAssertionID viewerSystemSleepAssertionID = 0;
};

}  // namespace qm
