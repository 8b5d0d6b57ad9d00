#include "support/ScriptedConnection.h"

#include <algorithm>
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
    send(std::make_shared<const Bytes>(std::move(data)), std::move(completion));
}

void ScriptedConnection::send(SharedBytes data, SendCompletion completion) {
    if (!data) data = std::make_shared<const Bytes>();
    std::optional<NetworkError> outcome;
    bool overflowed = false;
    {
        std::lock_guard lock(mutex_);
        const NetworkError full{ENOBUFS, "send queue full"};
        if (sendOverflowed_) {
            outcome = full;
        } else if (holding_ && sendLimit_ != 0 && heldBytes_ + data->size() > sendLimit_) {
            sendOverflowed_ = overflowed = true;
            outcome = full;
        } else {
            if (holding_) heldBytes_ += data->size();
            sent_.push_back(std::move(data));
            outcome = cancelCount_ > 0 ? std::optional(cancelledError()) : sendError_;
        }
    }
    if (overflowed) reportState(State::failed, NetworkError{ENOBUFS, "send queue full"});
    if (completion) post([completion = std::move(completion), outcome] { completion(outcome); });
}

void ScriptedConnection::startReceiving(std::size_t bufferSize, ReceiveCompletion handler) {
    {
        std::lock_guard lock(mutex_);
        if (continuous_ || continuousEnded_ || cancelCount_ > 0) return;
        receiveBufferSize_ = std::max<std::size_t>(bufferSize, 1);
        continuous_ = std::make_shared<ReceiveCompletion>(std::move(handler));
    }
    pumpContinuous();
}

void ScriptedConnection::setReceiveBufferSize(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    receiveBufferSize_ = std::max<std::size_t>(bytes, 1);
}

void ScriptedConnection::setReceivingPaused(bool paused) {
    {
        std::lock_guard lock(mutex_);
        receivingPaused_ = paused;
    }
    pumpContinuous();
}

bool ScriptedConnection::receivingPaused() const {
    std::lock_guard lock(mutex_);
    return receivingPaused_;
}

void ScriptedConnection::setSendLimit(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    sendLimit_ = bytes;
}

std::size_t ScriptedConnection::queuedSendBytes() const {
    std::lock_guard lock(mutex_);
    return heldBytes_;
}

void ScriptedConnection::holdSends(bool hold) {
    std::lock_guard lock(mutex_);
    holding_ = hold;
    if (!hold) heldBytes_ = 0;
}

void ScriptedConnection::pumpContinuous() {
    std::vector<ReadEvent> ready;
    std::shared_ptr<ReceiveCompletion> handler;
    {
        std::lock_guard lock(mutex_);
        if (!queue_ || !continuous_ || pendingReceive_) return;
        handler = continuous_;
        while (!events_.empty() && !continuousEnded_ && !receivingPaused_) {
            ReadEvent& next = events_.front();
            ReadEvent event;
            if (next.data.size() > receiveBufferSize_) {
                const auto cut = next.data.begin() + static_cast<std::ptrdiff_t>(receiveBufferSize_);
                event.data.assign(next.data.begin(), cut);
                next.data.erase(next.data.begin(), cut);
            } else {
                event = std::move(next);
                events_.pop_front();
            }
            if (event.isComplete || event.error) {
                continuousEnded_ = true;
                continuous_.reset();
            }
            ready.push_back(std::move(event));
        }
    }
    std::weak_ptr<ScriptedConnection> weak = weak_from_this();
    for (auto& event : ready) {
        post([weak, handler, event = std::move(event)]() mutable {
            auto self = weak.lock();
            if (!self || self->cancelCount() > 0) return;
            (*handler)(std::move(event.data), event.isComplete, event.error);
        });
    }
}

void ScriptedConnection::cancel() {
    std::optional<PendingReceive> read;
    bool first;
    {
        std::lock_guard lock(mutex_);
        first = ++cancelCount_ == 1;
        if (first) read = std::exchange(pendingReceive_, std::nullopt);
        continuous_.reset();
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
    pumpContinuous();
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
    std::vector<Bytes> messages;
    messages.reserve(sent_.size());
    for (const auto& message : sent_) messages.push_back(*message);
    return messages;
}

std::vector<SharedBytes> ScriptedConnection::sentBuffers() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

Bytes ScriptedConnection::sentBytes() const {
    std::lock_guard lock(mutex_);
    Bytes all;
    for (const auto& message : sent_) all.insert(all.end(), message->begin(), message->end());
    return all;
}

bool ScriptedConnection::isReceivingContinuously() const {
    std::lock_guard lock(mutex_);
    return continuous_ != nullptr;
}

std::size_t ScriptedConnection::receiveBufferSize() const {
    std::lock_guard lock(mutex_);
    return receiveBufferSize_;
}

std::size_t ScriptedConnection::sendLimit() const {
    std::lock_guard lock(mutex_);
    return sendLimit_;
}

}  // namespace qm::test
