#include "Platform/Core/ManualDispatchQueue.h"

#include <algorithm>

namespace qm {

std::uint64_t ManualClock::uptimeNs() const {
    std::lock_guard lock(mutex_);
    return uptimeNs_;
}

double ManualClock::wallTime() const {
    std::lock_guard lock(mutex_);
    return wallBase_ + static_cast<double>(uptimeNs_) / 1e9;
}

void ManualClock::sleep(double seconds) const {
    std::lock_guard lock(mutex_);
    uptimeNs_ += nsFromSeconds(seconds);
}

std::shared_ptr<ManualDispatchQueue> ManualClock::makeQueue(std::string label) {
    auto queue = std::make_shared<ManualDispatchQueue>(std::move(label), shared_from_this());
    std::lock_guard lock(mutex_);
    queues_.push_back(queue);
    return queue;
}

std::vector<std::shared_ptr<ManualDispatchQueue>> ManualClock::liveQueues() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<ManualDispatchQueue>> live;
    std::erase_if(queues_, [&](const auto& weak) {
        auto queue = weak.lock();
        if (!queue) return true;
        live.push_back(std::move(queue));
        return false;
    });
    return live;
}

std::size_t ManualClock::runUntilIdle() {
    std::size_t total = 0;
    for (;;) {
        std::size_t ran = 0;
        for (auto& queue : liveQueues()) ran += queue->runUntilIdle();
        total += ran;
        if (ran == 0) return total;
    }
}

void ManualClock::advance(double seconds) {
    const std::uint64_t target = uptimeNs() + nsFromSeconds(seconds);
    for (;;) {
        runUntilIdle();
        std::optional<std::uint64_t> next;
        for (auto& queue : liveQueues()) {
            auto deadline = queue->earliestDeadline();
            if (deadline && (!next || *deadline < *next)) next = deadline;
        }
        const std::uint64_t step = (next && *next <= target) ? std::max(*next, uptimeNs()) : target;
        {
            std::lock_guard lock(mutex_);
            uptimeNs_ = std::max(uptimeNs_, step);
        }
        for (auto& queue : liveQueues()) queue->promoteDue(step);
        if (!next || *next > target) {
            runUntilIdle();
            return;
        }
    }
}

ManualDispatchQueue::ManualDispatchQueue(std::string label, std::shared_ptr<ManualClock> clock)
    : DispatchQueue(std::move(label)), clock_(std::move(clock)) {}

void ManualDispatchQueue::async(std::function<void()> block) {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(block));
}

void ManualDispatchQueue::asyncAhead(std::function<void()> block) {
    std::lock_guard lock(mutex_);
    ready_.insert(ready_.begin() + static_cast<std::ptrdiff_t>(ahead_), std::move(block));
    ++ahead_;
}

void ManualDispatchQueue::asyncAfter(double seconds, DispatchWorkItemPtr item) {
    const std::uint64_t deadline = clock_->uptimeNs() + nsFromSeconds(seconds);
    std::lock_guard lock(mutex_);
    delayed_.emplace(std::make_pair(deadline, sequence_++), std::move(item));
}

bool ManualDispatchQueue::isCurrent() const {
    return depth_.load() > 0 && runningThread_.load() == std::this_thread::get_id();
}

std::optional<std::uint64_t> ManualDispatchQueue::earliestDeadline() const {
    std::lock_guard lock(mutex_);
    if (delayed_.empty()) return std::nullopt;
    return delayed_.begin()->first.first;
}

std::size_t ManualDispatchQueue::pendingDelayedCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(delayed_.begin(), delayed_.end(),
                                                  [](const auto& entry) { return !entry.second->isCancelled(); }));
}

void ManualDispatchQueue::promoteDue(std::uint64_t nowNs) {
    std::lock_guard lock(mutex_);
    while (!delayed_.empty() && delayed_.begin()->first.first <= nowNs) {
        auto item = delayed_.begin()->second;
        delayed_.erase(delayed_.begin());
        ready_.push_back([item] { item->perform(); });
    }
}

bool ManualDispatchQueue::runOne() {
    std::function<void()> block;
    {
        std::lock_guard lock(mutex_);
        if (ready_.empty()) return false;
        block = std::move(ready_.front());
        ready_.pop_front();
        if (ahead_ > 0) --ahead_;
    }
    runSync(block);
    return true;
}

std::size_t ManualDispatchQueue::runUntilIdle() {
    // Blocks that are submitted while one runs are picked up by the outer loop, never nested.
    if (isCurrent()) return 0;
    std::size_t count = 0;
    while (runOne()) ++count;
    return count;
}

void ManualDispatchQueue::runSync(const std::function<void()>& block) {
    // The driving thread stands in for the queue's thread while the block runs.
    const auto previous = runningThread_.exchange(std::this_thread::get_id());
    ++depth_;
    struct Restore {
        ManualDispatchQueue* queue;
        std::thread::id previous;
        ~Restore() {
            --queue->depth_;
            queue->runningThread_.store(previous);
        }
    } restore{this, previous};
    block();
}

}  // namespace qm
