#include "QuillmereProfiles/UI/Views/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <cmath>

namespace qm {

QtMainQueue::QtMainQueue() : DispatchQueue("main") {}

void QtMainQueue::async(std::function<void()> block) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(block), Qt::QueuedConnection);
}

void QtMainQueue::asyncAfter(double seconds, DispatchWorkItemPtr item) {
    const int ms = static_cast<int>(std::ceil(std::max(0.0, seconds) * 1000.0));
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [ms, item] { QTimer::singleShot(ms, QCoreApplication::instance(), [item] { item->perform(); }); },
        Qt::QueuedConnection);
}

bool QtMainQueue::isCurrent() const {
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

const Clock& QtMainQueue::clock() const { return *SystemClock::shared(); }

void QtMainQueue::runSync(const std::function<void()>& block) {
    if (isCurrent()) {
        block();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&block] { block(); }, Qt::BlockingQueuedConnection);
}

}  // namespace qm
