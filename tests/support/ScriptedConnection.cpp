#include "support/ScriptedConnection.h"

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace qm::test {

namespace {
NetworkError cancelledError() { return NetworkError{ECANCELED, "Operation canceled"}; }
}  // namespace

ScriptedConnection::ScriptedConnection(std::string remoteAddress) : remoteAddress_(std::move(remoteAddress)) {}

void ScriptedConnection::setStateHandler(StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void ScriptedConnection::start(DispatchQueuePtr queue) {
    {
        std::lock_guard lock(mutex_);
        queue_ = std::move(queue);
    }
    pump();
}

void ScriptedConnection::post(std::function<void()> block) {
    DispatchQueuePtr queue;
    {
        std::lock_guard lock(mutex_);
        queue = queue_;
    }
    if (!queue) throw std::logic_error("ScriptedConnection used before start()");
    queue->async(std::move(block));
}

void ScriptedConnection::receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
    bool cancelled;
    {
        std::lock_guard lock(mutex_);
        ++receiveCalls_;
        lastBounds_ = {minimum, maximum};
        if (pendingReceive_) throw std::logic_error("a second read armed while one is outstanding");
        cancelled = cancelCount_ > 0;
        if (!cancelled) pendingReceive_ = PendingReceive{maximum, std::move(completion)};
    }
    if (cancelled) {
        post([completion = std::move(completion)] { completion({}, false, cancelledError()); });
        return;
    }
    pump();
}

void ScriptedConnection::send(Bytes data, SendCompletion completion) {
    std::optional<NetworkError> outcome;
    {
        std::lock_guard lock(mutex_);
        sent_.push_back(std::move(data));
        outcome = cancelCount_ > 0 ? std::optional(cancelledError()) : sendError_;
    }
    if (completion) post([completion = std::move(completion), outcome] { completion(outcome); });
}

void ScriptedConnection::cancel() {
    std::optional<PendingReceive> read;
    bool first;
    {
        std::lock_guard lock(mutex_);
        first = ++cancelCount_ == 1;
        if (first) read = std::exchange(pendingReceive_, std::nullopt);
    }
    // A connection cancelled before it was started has nobody to tell.
    if (!first || !started()) return;
    std::weak_ptr<ScriptedConnection> weak = weak_from_this();
    post([weak] {
        auto self = weak.lock();
        if (!self) return;
        StateHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->stateHandler_;
        }
        if (handler) handler(State::cancelled, std::nullopt);
    });
    if (read) post([completion = std::move(read->completion)] { completion({}, false, cancelledError()); });
}

void ScriptedConnection::reportState(State state, std::optional<NetworkError> error) {
    std::weak_ptr<ScriptedConnection> weak = weak_from_this();
    post([weak, state, error] {
        auto self = weak.lock();
        if (!self) return;
        StateHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->stateHandler_;
        }
        if (handler) handler(state, error);
    });
}

void ScriptedConnection::enqueue(ReadEvent event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    pump();
}

void ScriptedConnection::deliver(Bytes chunk) { enqueue(ReadEvent{std::move(chunk), false, std::nullopt}); }

void ScriptedConnection::deliverSplit(const Bytes& data, std::initializer_list<std::size_t> cuts) {
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        if (cut < from || cut > data.size()) throw std::invalid_argument("cuts must ascend within the data");
        deliver(Bytes(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(cut)));
        from = cut;
    }
    deliver(Bytes(data.begin() + static_cast<std::ptrdiff_t>(from), data.end()));
}

void ScriptedConnection::closeFromPeer(Bytes lastChunk) { enqueue(ReadEvent{std::move(lastChunk), true, std::nullopt}); }

void ScriptedConnection::failRead(NetworkError error) { enqueue(ReadEvent{{}, false, std::move(error)}); }

void ScriptedConnection::failSends(NetworkError error) {
    std::lock_guard lock(mutex_);
    sendError_ = std::move(error);
}

void ScriptedConnection::pump() {
    ReceiveCompletion completion;
    ReadEvent event;
    {
        std::lock_guard lock(mutex_);
        if (!queue_ || !pendingReceive_ || events_.empty()) return;
        const std::size_t maximum = pendingReceive_->maximum;
        ReadEvent& next = events_.front();
        if (next.data.size() > maximum) {
            // The read takes what fits; the rest (and any end-of-stream mark) waits for the next read.
            event.data.assign(next.data.begin(), next.data.begin() + static_cast<std::ptrdiff_t>(maximum));
            next.data.erase(next.data.begin(), next.data.begin() + static_cast<std::ptrdiff_t>(maximum));
        } else {
            event = std::move(next);
            events_.pop_front();
        }
        completion = std::move(pendingReceive_->completion);
        pendingReceive_.reset();
    }
    post([completion = std::move(completion), event = std::move(event)]() mutable {
        completion(std::move(event.data), event.isComplete, event.error);
    });
}

bool ScriptedConnection::started() const {
    std::lock_guard lock(mutex_);
    return queue_ != nullptr;
}

std::size_t ScriptedConnection::cancelCount() const {
    std::lock_guard lock(mutex_);
    return cancelCount_;
}

std::size_t ScriptedConnection::receiveCallCount() const {
    std::lock_guard lock(mutex_);
    return receiveCalls_;
}

std::pair<std::size_t, std::size_t> ScriptedConnection::lastReceiveBounds() const {
    std::lock_guard lock(mutex_);
    return lastBounds_;
}

bool ScriptedConnection::hasPendingReceive() const {
    std::lock_guard lock(mutex_);
    return pendingReceive_.has_value();
}

std::vector<Bytes> ScriptedConnection::sentMessages() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

Bytes ScriptedConnection::sentBytes() const {
    std::lock_guard lock(mutex_);
    Bytes all;
    for (const auto& message : sent_) all.insert(all.end(), message.begin(), message.end());
    return all;
}

}  // namespace qm::test
