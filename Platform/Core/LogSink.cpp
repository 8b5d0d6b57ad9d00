#include "Platform/Core/LogSink.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace qm {

struct LogSink::State {
    std::mutex mutex;  // guards subscribers and keeps each stderr write whole
    std::vector<std::pair<std::uint64_t, Subscriber>> subscribers;
    std::uint64_t nextID = 1;
    std::atomic<bool> writesStandardError{true};
    std::atomic<bool> writesDetail{false};
};

LogSink::LogSink() : state_(std::make_shared<State>()) {
    const char* detail = std::getenv("QM_LOG_DETAIL");
    state_->writesDetail.store(detail && *detail && std::strcmp(detail, "0") != 0);
}

LogSink& LogSink::shared() {
    // Never destroyed: threads may still log while static destructors run at exit.
    static LogSink* sink = new LogSink();
    return *sink;
}

void LogSink::write(std::string_view line, LogLevel level) {
    const bool detail = writesDetail();
    if (level == LogLevel::detail && !detail) return;
    const bool toTerminal = level != LogLevel::diagnostic || detail;
    std::string text(line);
    text.push_back('\n');
    std::vector<Subscriber> subscribers;
    {
        std::lock_guard lock(state_->mutex);
        if (toTerminal && state_->writesStandardError.load(std::memory_order_relaxed)) {
            const char* data = text.data();
            std::size_t left = text.size();
            while (left > 0) {
                const ssize_t n = ::write(STDERR_FILENO, data, left);
                if (n <= 0) break;
                data += n;
                left -= static_cast<std::size_t>(n);
            }
        }
        subscribers.reserve(state_->subscribers.size());
        for (const auto& entry : state_->subscribers) subscribers.push_back(entry.second);
    }
    for (const auto& subscriber : subscribers) subscriber(line);
}

LogSink::Subscription LogSink::subscribe(Subscriber subscriber) {
    std::uint64_t id;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextID++;
        state_->subscribers.emplace_back(id, std::move(subscriber));
    }
    struct Unsubscriber {
        std::weak_ptr<State> state;
        std::uint64_t id = 0;
        ~Unsubscriber() {
            auto locked = state.lock();
            if (!locked) return;
            std::lock_guard lock(locked->mutex);
            std::erase_if(locked->subscribers, [this](const auto& entry) { return entry.first == id; });
        }
    };
    auto token = std::make_shared<Unsubscriber>();
    token->state = state_;
    token->id = id;
    return Subscription(std::move(token));
}

void LogSink::setWritesStandardError(bool enabled) { state_->writesStandardError.store(enabled); }

void LogSink::setWritesDetail(bool enabled) { state_->writesDetail.store(enabled); }

bool LogSink::writesDetail() const { return state_->writesDetail.load(std::memory_order_relaxed); }

void RepeatingLogLine::write(std::string_view line, LogLevel level) {
    const auto n = count_.fetch_add(1) + 1;
    if ((n & (n - 1)) != 0) return;
    if (n == 1) return logLine(line, level);
    logLine(std::string(line) + " (" + std::to_string(n) + " times)", level);
}

void logLine(std::string_view line, LogLevel level) { LogSink::shared().write(line, level); }

}  // namespace qm
