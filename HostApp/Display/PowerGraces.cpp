#include "HostApp/Display/PowerGraces.h"

#include <memory>
#include <utility>

#include "Platform/Core/QueueCheck.h"

namespace qm {

void ReconnectGrace::begin(DispatchQueue& queue, const Clock& clock, double seconds, std::weak_ptr<const void> owner,
                           std::function<void()> onExpire) {
    if (task) task->cancel();
    const double until = clock.wallTime() + seconds;
    deadline_ = until;
    // The task checks the deadline it was armed for: a grace that was restarted meanwhile keeps
    // running, one that was ended stays ended.
    task = queue.asyncAfter(seconds, [this, until, owner = std::move(owner), onExpire = std::move(onExpire)] {
        const auto alive = owner.lock();
        if (!alive || deadline_ != until) return;
        deadline_.reset();
        task.reset();
        if (onExpire) onExpire();
    });
}

void ReconnectGrace::beginUntil(double until) {
    if (task) task->cancel();
    task.reset();
    deadline_ = until;
}

void ReconnectGrace::expire() {
    deadline_.reset();
    task.reset();
}

bool ReconnectGrace::end() {
    if (task) task->cancel();
    task.reset();
    const bool wasRunning = deadline_.has_value();
    deadline_.reset();
    return wasRunning;
}

bool PowerGraceState::screensReported(bool sleeping) {
    const bool changed = screensAreSleeping_ != sleeping;
    screensAreSleeping_ = sleeping;
    return changed;
}

void PowerGraceState::beginPreflight() {
    requireInvariant(!screensAreSleeping_, "the sleep preflight runs only while the screens are awake");
    isPreflightingHeadlessCaptureForSleep = true;
}

void PowerGraceState::savePhysicalCapture(const CaptureModeControlPayload& request, VideoCaptureMode mode) {
    sleepPreflightPhysicalCaptureRequest = request;
    sleepPreflightPhysicalVideoMode = mode;
}

void PowerGraceState::dropSavedPhysicalCapture() {
    cancelSleepPreflightPhysicalRecovery();
    sleepPreflightPhysicalCaptureRequest.reset();
    sleepPreflightPhysicalVideoMode.reset();
}

void PowerGraceState::awaitPhysicalRecovery() {
    requireInvariant(sleepPreflightPhysicalCaptureRequest.has_value(),
                     "physical recovery is awaited only with a saved physical capture");
    isAwaitingSleepPreflightPhysicalRecovery = true;
}

bool PowerGraceState::openRecoveryWindow(double deadline) {
    requireInvariant(isAwaitingSleepPreflightPhysicalRecovery, "a recovery window opens only while recovery is awaited");
    if (sleepPreflightPhysicalRecoveryDeadline) return false;
    sleepPreflightPhysicalRecoveryDeadline = deadline;
    sleepPreflightPhysicalRecoveryRetryCount = 0;
    return true;
}

void PowerGraceState::scheduleRecoveryAttempt(DispatchWorkItemPtr attempt) {
    if (sleepPreflightPhysicalRecoveryTask) sleepPreflightPhysicalRecoveryTask->cancel();
    sleepPreflightPhysicalRecoveryTask = std::move(attempt);
}

void PowerGraceState::closeRecoveryWindow() {
    sleepPreflightPhysicalRecoveryDeadline.reset();
    sleepPreflightPhysicalRecoveryRetryCount = 0;
}

bool PowerGraceState::sleepRecoveryUnderway() const {
    return screensAreSleeping_ || isPreflightingHeadlessCaptureForSleep || virtualDisplayWakeStabilizationDeadline ||
           isAwaitingSleepPreflightPhysicalRecovery || sleepPreflightPhysicalRecoveryDeadline;
}

void PowerGraceState::scheduleTopologyRecovery(DispatchWorkItemPtr recovery) {
    if (displayTopologyRecoveryTask) displayTopologyRecoveryTask->cancel();
    displayTopologyRecoveryTask = std::move(recovery);
}

PowerAssertionID PowerGraceState::assertion(Assertion which) const {
    return which == Assertion::idleSleep ? viewerIdleSleepAssertionID : viewerSystemSleepAssertionID;
}

void PowerGraceState::assertionTaken(Assertion which, PowerAssertionID id) {
    auto& held = which == Assertion::idleSleep ? viewerIdleSleepAssertionID : viewerSystemSleepAssertionID;
    requireInvariant(held == 0, "an assertion is taken once until released");
    held = id;
}

PowerAssertionID PowerGraceState::assertionReleased(Assertion which) {
    return std::exchange(which == Assertion::idleSleep ? viewerIdleSleepAssertionID : viewerSystemSleepAssertionID, 0);
}

void PowerGraceState::cancelSleepPreflightPhysicalRecovery() {
    if (sleepPreflightPhysicalRecoveryTask) sleepPreflightPhysicalRecoveryTask->cancel();
    sleepPreflightPhysicalRecoveryTask.reset();
    sleepPreflightPhysicalRecoveryDeadline.reset();
    sleepPreflightPhysicalRecoveryRetryCount = 0;
    isAwaitingSleepPreflightPhysicalRecovery = false;
}

void PowerGraceState::cancelGraces() {
    sleepRecoveryViewerReconnectGrace.end();
    iosViewerBackgroundSleepGrace.end();
    cancelSleepPreflightPhysicalRecovery();
    if (displayTopologyRecoveryTask) displayTopologyRecoveryTask->cancel();
    displayTopologyRecoveryTask.reset();
}

}  // namespace qm
