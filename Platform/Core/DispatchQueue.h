#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "Platform/Core/Clock.h"

namespace qm {

// A block that can be scheduled and later cancelled. Cancelling after it started has no effect
// on the running block; cancelling before stops it from running at all.
class DispatchWorkItem {
public:
    explicit DispatchWorkItem(std::function<void()> block) : block_(std::move(block)) {}
    // Runs the block once, unless the item was cancelled.
    void perform();
    // The block never runs, and is released at once with everything it holds; the queue that
    // keeps the item until its deadline is told (onCancel), so it can let go of it sooner.
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }
    // For the queue holding the item: `hook` runs once when the item is cancelled (at once when it
    // is already), outside the item's lock.
    void onCancel(std::function<void()> hook);

private:
    std::mutex mutex_;
    std::function<void()> block_;       // mutex_
    std::function<void()> cancelHook_;  // mutex_
    std::atomic<bool> cancelled_{false};
};

using DispatchWorkItemPtr = std::shared_ptr<DispatchWorkItem>;

// A named serial queue: blocks run one at a time, in the order they were submitted (delayed
// blocks in deadline order). The production queue owns one thread; the manual queue runs on
// whichever thread the test uses to drive it, on a virtual clock.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    explicit DispatchQueue(std::string label) : label_(std::move(label)) {}
    virtual ~DispatchQueue() = default;
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const { return label_; }

    virtual void async(std::function<void()> block) = 0;
    // Runs the block before every block already waiting (still after the one running and after
    // other blocks queued this way before it). For the few steps that must not wait behind what
    // others queued, such as the last steps of stopping the process. A queue without such a lane
    // queues it like async.
    virtual void asyncAhead(std::function<void()> block) { async(std::move(block)); }
    virtual void asyncAfter(double seconds, DispatchWorkItemPtr item) = 0;
    DispatchWorkItemPtr asyncAfter(double seconds, std::function<void()> block) {
        auto item = std::make_shared<DispatchWorkItem>(std::move(block));
        asyncAfter(seconds, item);
        return item;
    }
    // True while the calling thread is running a block of this queue.
    virtual bool isCurrent() const = 0;
    // The clock this queue's delays are measured on.
    virtual const Clock& clock() const = 0;

    // Runs the block on the queue and waits for its result. Calling it from the queue itself
    // would deadlock, so that is refused; use syncInline when either is possible.
    template <class F>
    auto sync(F&& f) -> std::invoke_result_t<F&> {
        if (isCurrent()) throw std::logic_error("sync called on its own queue: " + label_);
        return runAndWait(std::forward<F>(f));
    }

    // Runs the block directly when already on the queue, else waits for the queue to run it.
    template <class F>
    auto syncInline(F&& f) -> std::invoke_result_t<F&> {
        if (isCurrent()) return f();
        return runAndWait(std::forward<F>(f));
    }

protected:
    // Runs the block on the queue and returns once it has run.
    virtual void runSync(const std::function<void()>& block) = 0;

private:
    template <class F>
    auto runAndWait(F&& f) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            runSync([&] { f(); });
        } else {
            std::optional<R> result;
            runSync([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }

    std::string label_;
};

using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

// A repeating timer on a queue: fires every `interval` seconds until cancelled or destroyed.
class RepeatingTimer : public std::enable_shared_from_this<RepeatingTimer> {
public:
    static std::shared_ptr<RepeatingTimer> schedule(DispatchQueuePtr queue, double interval,
                                                    std::function<void()> block, double initialDelay = -1);
    ~RepeatingTimer() { cancel(); }
    void cancel();
    bool isCancelled() const;

private:
    RepeatingTimer(DispatchQueuePtr queue, double interval, std::function<void()> block)
        : queue_(std::move(queue)), interval_(interval), block_(std::move(block)) {}
    void arm(double delay);

    DispatchQueuePtr queue_;
    double interval_;
    std::function<void()> block_;
    mutable std::mutex mutex_;
    DispatchWorkItemPtr pending_;
    bool cancelled_ = false;
};

// The lock-guarded integer shared between queues (counters, gate flags).
class AtomicInt {
public:
    explicit AtomicInt(std::int64_t value = 0) : value_(value) {}
    std::int64_t load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void store(std::int64_t value) {
        std::lock_guard lock(mutex_);
        value_ = value;
    }
    std::int64_t add(std::int64_t delta) {
        std::lock_guard lock(mutex_);
        value_ += delta;
        return value_;
    }
    // Returns the old value and sets the new one in one step.
    std::int64_t exchange(std::int64_t value) {
        std::lock_guard lock(mutex_);
        auto old = value_;
        value_ = value;
        return old;
    }

private:
    mutable std::mutex mutex_;
    std::int64_t value_;
};

}  // namespace qm
