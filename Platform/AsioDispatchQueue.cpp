#include "Platform/AsioDispatchQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <pthread.h>

namespace qm {

AsioDispatchQueue::AsioDispatchQueue(std::string label, std::shared_ptr<const Clock> clock)
    : DispatchQueue(std::move(label)), clock_(std::move(clock)), guard_(asio::make_work_guard(context_)) {
    std::promise<std::thread::id> started;
    auto startedFuture = started.get_future();
    thread_ = std::thread([this, &started] {
        // Thread names are limited to 15 characters; keep the most specific end of the label.
        const auto& name = this->label();
        pthread_setname_np(pthread_self(), name.substr(name.size() > 15 ? name.size() - 15 : 0).c_str());
        started.set_value(std::this_thread::get_id());
        context_.run();
    });
    threadID_ = startedFuture.get();
}

AsioDispatchQueue::~AsioDispatchQueue() {
    shutdown();
}

void AsioDispatchQueue::shutdown() {
    std::call_once(shutdownOnce_, [this] {
        guard_.reset();
        // Pending timers would keep the context alive for their full delay.
        asio::post(context_, [this] { context_.stop(); });
        if (std::this_thread::get_id() == threadID_) {
            thread_.detach();
        } else if (thread_.joinable()) {
            thread_.join();
        }
    });
}

void AsioDispatchQueue::async(std::function<void()> block) {
    asio::post(context_, std::move(block));
}

void AsioDispatchQueue::asyncAfter(double seconds, DispatchWorkItemPtr item) {
    auto timer = std::make_shared<asio::steady_timer>(context_);
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
    asio::post(context_, [&] {
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
