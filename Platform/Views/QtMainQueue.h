#pragma once

#include <memory>

#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"

namespace qm {

// The application's main queue over Qt's event loop: blocks run on the thread that runs the
// loop, `async` as queued invocations, `asyncAfter` as single-shot timers (a cancelled item does
// nothing when its timer fires). Make it after the QApplication.
class QtMainQueue final : public DispatchQueue {
public:
    explicit QtMainQueue(std::shared_ptr<const Clock> clock = SystemClock::shared());
    void async(std::function<void()> block) override;
    void asyncAfter(double seconds, DispatchWorkItemPtr item) override;
    using DispatchQueue::asyncAfter;
    bool isCurrent() const override;
    const Clock& clock() const override { return *clock_; }

protected:
    void runSync(const std::function<void()>& block) override;

private:
    std::shared_ptr<const Clock> clock_;
};

}  // namespace qm
