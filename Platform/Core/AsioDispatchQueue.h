#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Platform/Core/DispatchQueue.h"

namespace qm {

// The production serial queue: one thread running an io_context. Sockets that belong to the
// queue's owner can be bound to `context()` so their completions run on the queue directly.
class AsioDispatchQueue final : public DispatchQueue {
public:
    explicit AsioDispatchQueue(std::string label, std::shared_ptr<const Clock> clock = SystemClock::shared());
    ~AsioDispatchQueue() override;

    void async(std::function<void()> block) override;
    void asyncAfter(double seconds, DispatchWorkItemPtr item) override;
    using DispatchQueue::asyncAfter;
    bool isCurrent() const override;
    const Clock& clock() const override { return *clock_; }

    asio::io_context& context() { return state_->context; }
    // Stops the thread after the blocks already queued have run. Idempotent.
    void shutdown();

protected:
    void runSync(const std::function<void()>& block) override;

private:
    // Shared with the thread, so that dropping the last reference to the queue from one of its
    // own blocks cannot pull the io_context out from under the running thread.
    struct State {
        asio::io_context context;
        asio::executor_work_guard<asio::io_context::executor_type> guard{asio::make_work_guard(context)};
        // Delayed blocks not yet due, with their timers. The thread lets go of whatever is left
        // once it stops, while the context is still whole: released from inside the context's
        // destructor, a block's captures (timers, queues) would reach into a half-destroyed context.
        std::mutex timersMutex;
        std::map<std::uint64_t, std::pair<std::unique_ptr<asio::steady_timer>, DispatchWorkItemPtr>> timers;
        std::uint64_t lastTimer = 0;  // timersMutex: names each timer once
        bool closed = false;
        // The last owner let go from one of the queue's blocks: the thread ends unjoined.
        bool finishingAlone = false;
    };
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::thread::id threadID_;
    std::once_flag shutdownOnce_;
};

}  // namespace qm
