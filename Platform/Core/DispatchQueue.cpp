#include "Platform/Core/DispatchQueue.h"

namespace qm {

void DispatchWorkItem::perform() {
    std::function<void()> block;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.load()) return;
        block = std::move(block_);
        block_ = nullptr;
    }
    if (block) block();
}

void DispatchWorkItem::cancel() {
    std::function<void()> released;
    {
        std::lock_guard lock(mutex_);
        cancelled_.store(true);
        released = std::move(block_);
        block_ = nullptr;
    }
    // `released` goes here, outside the lock: its captures may hold objects whose destruction
    // cancels other items.
}

std::shared_ptr<RepeatingTimer> RepeatingTimer::schedule(DispatchQueuePtr queue, double interval,
                                                         std::function<void()> block, double initialDelay) {
    std::shared_ptr<RepeatingTimer> timer(new RepeatingTimer(std::move(queue), interval, std::move(block)));
    timer->arm(initialDelay < 0 ? interval : initialDelay);
    return timer;
}

void RepeatingTimer::arm(double delay) {
    std::weak_ptr<RepeatingTimer> weak = weak_from_this();
    auto item = std::make_shared<DispatchWorkItem>([weak] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mutex_);
            if (self->cancelled_) return;
        }
        // Re-arm before running so a slow block does not stretch the period.
        self->arm(self->interval_);
        self->block_();
    });
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    pending_ = item;
    queue_->asyncAfter(delay, item);
}

void RepeatingTimer::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (pending_) pending_->cancel();
    pending_.reset();
}

bool RepeatingTimer::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

}  // namespace qm
