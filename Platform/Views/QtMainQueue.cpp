#include "Platform/Views/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <future>

namespace qm {

QtMainQueue::QtMainQueue(std::shared_ptr<const Clock> clock) : DispatchQueue("main"), clock_(std::move(clock)) {}

void QtMainQueue::async(std::function<void()> block) {
    std::unique_lock lock(mutex_);
    if (ended_) {
        lock.unlock();
        return;  // `block` goes here, outside the lock: what it holds may queue again as it goes
    }
    ready_.push_back(std::move(block));
    askForTurnLocked();
}

void QtMainQueue::asyncAhead(std::function<void()> block) {
    std::unique_lock lock(mutex_);
    if (ended_) {
        lock.unlock();
        return;
    }
    ahead_.push_back(std::move(block));
    askForTurnLocked();
}

void QtMainQueue::endLoop(int returnCode) {
    std::deque<std::function<void()>> dropped;
    std::deque<std::function<void()>> droppedAhead;
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        dropped.swap(ready_);
        droppedAhead.swap(ahead_);
    }
    QCoreApplication::exit(returnCode);
}

std::size_t QtMainQueue::waitingCount() const {
    std::lock_guard lock(mutex_);
    return ahead_.size() + ready_.size();
}

void QtMainQueue::askForTurnLocked() {
    if (turnAsked_) return;
    auto* app = QCoreApplication::instance();
    if (!app) return;  // the loop is gone: nothing will run
    turnAsked_ = true;
    // A posted event of its own: the loop serves its other sources before it runs the next one.
    QMetaObject::invokeMethod(
        app,
        [weak = weak_from_this()] {
            if (auto self = std::static_pointer_cast<QtMainQueue>(weak.lock())) self->runTurn();
        },
        Qt::QueuedConnection);
}

void QtMainQueue::runTurn() {
    {
        std::lock_guard lock(mutex_);
        turnAsked_ = false;
    }
    for (int ran = 0; ran < blocksPerTurn; ++ran) {
        std::function<void()> block;
        {
            std::lock_guard lock(mutex_);
            if (ended_) return;
            auto& from = !ahead_.empty() ? ahead_ : ready_;
            if (from.empty()) return;
            block = std::move(from.front());
            from.pop_front();
        }
        block();
    }
    std::lock_guard lock(mutex_);
    if (!ahead_.empty() || !ready_.empty()) askForTurnLocked();
}

void QtMainQueue::asyncAfter(double seconds, DispatchWorkItemPtr item) {
    const int milliseconds = static_cast<int>(std::ceil(std::max(0.0, seconds) * 1000.0));
    // Timers belong to the loop's thread: start the timer there.
    auto arm = [milliseconds, item] {
        QTimer::singleShot(milliseconds, Qt::PreciseTimer, QCoreApplication::instance(), [item] { item->perform(); });
    };
    if (isCurrent()) {
        arm();
    } else {
        async(arm);
    }
}

bool QtMainQueue::isCurrent() const {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void QtMainQueue::runSync(const std::function<void()>& block) {
    if (isCurrent()) {
        block();
        return;
    }
    // In order with the blocks already queued. A queue that goes without running it lets the
    // caller go (the promise breaks), as Qt's blocking calls do when the loop ends.
    auto done = std::make_shared<std::promise<void>>();
    auto ran = done->get_future();
    // The block holds the only reference: dropped without running, it breaks the promise.
    async([&block, done = std::move(done)] {
        block();
        done->set_value();
    });
    ran.wait();
}

}  // namespace qm
