#include "Platform/Core/AsioDispatchQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <set>

#include "Platform/Core/Crypto.h"

namespace qm {

namespace {

// Threads of queues whose last owner let go of them from one of their own blocks. A thread
// cannot join itself, so each finishes its last blocks alone, possibly while the process exits.
// One still running when OpenSSL cleans up at exit would end with its OpenSSL state (random
// generators, error queue) out of that clean-up's reach, lost; so the process waits for them
// first, and each frees that state before it says it is done.
class QueueThreadsFinishingAlone {
public:
    // Used while the process exits: never destroyed.
    static QueueThreadsFinishingAlone& shared() {
        static auto* threads = new QueueThreadsFinishingAlone;
        return *threads;
    }

    void add(std::thread::id id) {
        std::call_once(registered_, [] { crypto::runAtExitBeforeOpenSSLCleanup(&QueueThreadsFinishingAlone::atExit); });
        std::lock_guard lock(mutex_);
        running_.insert(id);
    }
    void finished(std::thread::id id) {
        std::lock_guard lock(mutex_);
        running_.erase(id);
        changed_.notify_all();
    }

private:
    // A block stuck for good must not hold the exit up for good.
    static constexpr auto longestWait = std::chrono::seconds(2);

    static void atExit() {
        auto& self = shared();
        std::unique_lock lock(self.mutex_);
        self.changed_.wait_for(lock, longestWait, [&self] {
            // The exit may come from one of those threads itself.
            const auto& running = self.running_;
            return running.empty() || (running.size() == 1 && running.count(std::this_thread::get_id()) == 1);
        });
    }

    std::once_flag registered_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::thread::id> running_;
};

}  // namespace

AsioDispatchQueue::AsioDispatchQueue(std::string label, std::shared_ptr<const Clock> clock)
    : DispatchQueue(std::move(label)), clock_(std::move(clock)), state_(std::make_shared<State>()) {
    std::promise<std::thread::id> started;
    auto startedFuture = started.get_future();
    // Thread names are limited to 15 characters; keep the most specific end of the label.
    const auto& name = this->label();
    thread_ = std::thread([state = state_, &started, name = name.substr(name.size() > 15 ? name.size() - 15 : 0)] {
        pthread_setname_np(pthread_self(), name.c_str());
        started.set_value(std::this_thread::get_id());
        state->context.run();
        decltype(state->timers) left;
        {
            std::lock_guard lock(state->timersMutex);
            state->closed = true;
            left.swap(state->timers);
        }
        left.clear();
        if (state->finishingAlone) {
            crypto::releaseThreadState();
            QueueThreadsFinishingAlone::shared().finished(std::this_thread::get_id());
        }
    });
    threadID_ = startedFuture.get();
}

AsioDispatchQueue::~AsioDispatchQueue() {
    shutdown();
}

void AsioDispatchQueue::shutdown() {
    std::call_once(shutdownOnce_, [this] {
        // The stop goes behind the blocks already queued; pending timers would otherwise keep the
        // context alive for their full delay. It is posted before the guard goes, so an idle
        // context cannot return from run() and leave the block (and the state it holds) unrun.
        asio::post(state_->context, [state = state_.get()] { state->context.stop(); });
        state_->guard.reset();
        if (std::this_thread::get_id() == threadID_) {
            // Read by this same thread once its context stops.
            state_->finishingAlone = true;
            QueueThreadsFinishingAlone::shared().add(threadID_);
            thread_.detach();
        } else if (thread_.joinable()) {
            thread_.join();
        }
    });
}

void AsioDispatchQueue::async(std::function<void()> block) {
    asio::post(state_->context, std::move(block));
}

void AsioDispatchQueue::asyncAfter(double seconds, DispatchWorkItemPtr item) {
    auto timer = std::make_unique<asio::steady_timer>(state_->context);
    timer->expires_after(std::chrono::nanoseconds(nsFromSeconds(seconds)));
    auto* raw = timer.get();
    std::uint64_t id = 0;
    {
        std::lock_guard lock(state_->timersMutex);
        if (state_->closed) return;  // the queue has stopped: the block would never run
        id = ++state_->lastTimer;
        state_->timers.emplace(id, std::make_pair(std::move(timer), item));
        // The completion owns nothing: the state's table does, so nothing is left for the
        // context's destructor to release.
        raw->async_wait([weak = std::weak_ptr<State>(state_), id](const std::error_code& error) {
            auto state = weak.lock();
            if (!state) return;
            std::unique_ptr<asio::steady_timer> done;
            DispatchWorkItemPtr due;
            {
                std::lock_guard lock(state->timersMutex);
                auto entry = state->timers.find(id);
                if (entry == state->timers.end()) return;
                done = std::move(entry->second.first);
                due = std::move(entry->second.second);
                state->timers.erase(entry);
            }
            if (!error) due->perform();
        });
    }
    // A cancelled block's timer and entry go at once, not at its deadline: a peer that makes the
    // Host arm and cancel timers (a connection's sign-in deadline) cannot pile them up. The timer
    // is only touched on the queue's own thread.
    item->onCancel([weak = std::weak_ptr<State>(state_), id] {
        auto state = weak.lock();
        if (!state) return;
        asio::post(state->context, [weak, id] {
            auto state = weak.lock();
            if (!state) return;
            std::lock_guard lock(state->timersMutex);
            auto entry = state->timers.find(id);
            if (entry != state->timers.end()) entry->second.first->cancel();
        });
    });
}

bool AsioDispatchQueue::isCurrent() const {
    return std::this_thread::get_id() == threadID_;
}

void AsioDispatchQueue::runSync(const std::function<void()>& block) {
    std::promise<void> done;
    auto future = done.get_future();
    asio::post(state_->context, [&] {
        try {
            block();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    future.get();
}

}  // namespace qm
