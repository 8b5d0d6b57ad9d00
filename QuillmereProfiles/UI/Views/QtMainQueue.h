#pragma once

#include "Platform/Core/DispatchQueue.h"

namespace qm {

// The main queue bound to Qt's event loop: blocks run on the GUI thread between events, delayed
// blocks on single-shot timers. Create it after the QApplication.
class QtMainQueue final : public DispatchQueue {
public:
    QtMainQueue();
    void async(std::function<void()> block) override;
    void asyncAfter(double seconds, DispatchWorkItemPtr item) override;
    using DispatchQueue::asyncAfter;
    bool isCurrent() const override;
    const Clock& clock() const override;

protected:
    void runSync(const std::function<void()>& block) override;
};

}  // namespace qm
