#include "Platform/Core/AsioDispatchQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <pthread.h>

namespace qm {

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
    auto timer = std::make_shared<asio::steady_timer>(state_->context);
    timer->expires_after(std::chrono::nanoseconds(nsFromSeconds(seconds)));
    timer->async_wait([timer, item](const std::error_code& error) {
        if (!error) item->perform();
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
