#include "HostApp/Display/PowerGraces.h"

#include <memory>

namespace qm {

void ReconnectGrace::begin(DispatchQueue& queue, const Clock& clock, double seconds, std::weak_ptr<const void> owner,
                           std::function<void()> onExpire) {
    if (task) task->cancel();
    const double until = clock.wallTime() + seconds;
    deadline = until;
    // The task checks the deadline it was armed for: a grace that was restarted meanwhile keeps
    // running, one that was ended stays ended.
    task = queue.asyncAfter(seconds, [this, until, owner = std::move(owner), onExpire = std::move(onExpire)] {
        const auto alive = owner.lock();
        if (!alive || deadline != until) return;
        deadline.reset();
        task.reset();
        if (onExpire) onExpire();
    });
}

bool ReconnectGrace::end() {
    if (task) task->cancel();
    task.reset();
    const bool wasRunning = deadline.has_value();
    deadline.reset();
    return wasRunning;
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
