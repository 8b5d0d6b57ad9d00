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
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.exchange(true)) return;
        released = std::move(block_);
        block_ = nullptr;
        hook = std::move(cancelHook_);
        cancelHook_ = nullptr;
    }
    if (hook) hook();
    // `released` goes here, outside the lock: its captures may hold objects whose destruction
    // cancels other items.
}

void DispatchWorkItem::onCancel(std::function<void()> hook) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_.load()) {
            cancelHook_ = std::move(hook);
            return;
        }
    }
    if (hook) hook();
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
