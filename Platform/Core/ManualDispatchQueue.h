#pragma once

#include <deque>
#include <map>
#include <thread>
#include <vector>

#include "Platform/Core/DispatchQueue.h"

namespace qm {

class ManualDispatchQueue;

// Virtual time for tests. Every manual queue made on one clock shares its time, so advancing
// the clock fires the delayed blocks of all of them in deadline order, running each queue's
// ready blocks between deadlines. Nothing sleeps.
class ManualClock final : public Clock, public std::enable_shared_from_this<ManualClock> {
public:
    explicit ManualClock(std::uint64_t startUptimeNs = 1'000'000'000ULL, double startWallTime = 1'800'000'000.0)
        : uptimeNs_(startUptimeNs), wallBase_(startWallTime - static_cast<double>(startUptimeNs) / 1e9) {}

    std::uint64_t uptimeNs() const override;
    double wallTime() const override;
    // Moves virtual time forward without running anything: the sleeping thread is the one that
    // would run the blocks, so they wait for the next advance() or runUntilIdle().
    void sleep(double seconds) const override;

    // Moves time forward by `seconds`, firing due blocks on every queue of this clock.
    void advance(double seconds);
    // Runs ready blocks on every queue until none is left; returns how many ran.
    std::size_t runUntilIdle();

    std::shared_ptr<ManualDispatchQueue> makeQueue(std::string label);

private:
    friend class ManualDispatchQueue;
    std::vector<std::shared_ptr<ManualDispatchQueue>> liveQueues();

    mutable std::mutex mutex_;
    mutable std::uint64_t uptimeNs_;
    double wallBase_;
    std::vector<std::weak_ptr<ManualDispatchQueue>> queues_;
};

class ManualDispatchQueue final : public DispatchQueue {
public:
    ManualDispatchQueue(std::string label, std::shared_ptr<ManualClock> clock);

    void async(std::function<void()> block) override;
    void asyncAhead(std::function<void()> block) override;
    void asyncAfter(double seconds, DispatchWorkItemPtr item) override;
    using DispatchQueue::asyncAfter;
    bool isCurrent() const override;
    const Clock& clock() const override { return *clock_; }

    // Runs ready blocks (including ones they enqueue) until none is left; returns how many ran.
    std::size_t runUntilIdle();
    // Shorthand for advancing the queue's clock.
    void advance(double seconds) { clock_->advance(seconds); }
    std::size_t pendingDelayedCount() const;

protected:
    void runSync(const std::function<void()>& block) override;

private:
    friend class ManualClock;
    std::optional<std::uint64_t> earliestDeadline() const;
    // Moves every delayed block due at or before `nowNs` to the ready list.
    void promoteDue(std::uint64_t nowNs);
    bool runOne();

    std::shared_ptr<ManualClock> clock_;
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> ready_;
    std::size_t ahead_ = 0;  // blocks at the front of ready_ queued by asyncAhead
    std::multimap<std::pair<std::uint64_t, std::uint64_t>, DispatchWorkItemPtr> delayed_;
    std::uint64_t sequence_ = 0;
    std::atomic<int> depth_{0};
    std::atomic<std::thread::id> runningThread_{};
};

}  // namespace qm
