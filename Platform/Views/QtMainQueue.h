#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"

namespace qm {

// The application's main queue over Qt's event loop: blocks run on the thread that runs the
// loop, in order, `asyncAfter` as single-shot timers (a cancelled item does nothing when its timer
// fires). Make it after the QApplication.
//
// The blocks wait in the queue's own list, and the loop runs at most blocksPerTurn of them per
// turn before it looks at everything else it serves (the stop signals' descriptor, sockets,
// timers, input, painting): however many blocks others queued, a stop signal is seen within one
// turn, and asyncAhead's blocks run before the ones waiting.
class QtMainQueue final : public DispatchQueue {
public:
    static constexpr int blocksPerTurn = 64;

    explicit QtMainQueue(std::shared_ptr<const Clock> clock = SystemClock::shared());
    void async(std::function<void()> block) override;
    void asyncAhead(std::function<void()> block) override;
    void asyncAfter(double seconds, DispatchWorkItemPtr item) override;
    using DispatchQueue::asyncAfter;
    bool isCurrent() const override;
    const Clock& clock() const override { return *clock_; }
    // Blocks waiting to run.
    std::size_t waitingCount() const;
    // The application's end: the loop ends (QCoreApplication::exit) once the block running now
    // returns, and no block still waiting, nor one queued from now on, ever runs (a `sync` waiting
    // on one is let go). The loop is ended through the queue because Qt tells nothing of an exit
    // until its loop has returned, and the rest of a turn would run meanwhile.
    void endLoop(int returnCode);

protected:
    void runSync(const std::function<void()>& block) override;

private:
    // Asks the loop for a turn when none is asked for yet; under mutex_.
    void askForTurnLocked();
    void runTurn();

    std::shared_ptr<const Clock> clock_;
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> ahead_;  // mutex_
    std::deque<std::function<void()>> ready_;  // mutex_
    bool turnAsked_ = false;                   // mutex_
    bool ended_ = false;                       // mutex_
};

}  // namespace qm
