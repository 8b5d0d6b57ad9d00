#include "Platform/Views/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace qm {

QtMainQueue::QtMainQueue(std::shared_ptr<const Clock> clock) : DispatchQueue("main"), clock_(std::move(clock)) {}

void QtMainQueue::async(std::function<void()> block) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(block), Qt::QueuedConnection);
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
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&block] { block(); }, Qt::BlockingQueuedConnection);
}

}  // namespace qm
