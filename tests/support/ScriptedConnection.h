#pragma once

#include <cstddef>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Network.h"

namespace qm::test {

// A connection whose far side the test plays. The test scripts what reads return (chunk by
// chunk, so it decides where the stream is cut), when the peer closes, which read or send fails
// and which states are reported; it reads back what was sent and how often cancel() was called.
// Every handler and completion runs on the queue given to start(), never inline, so with a
// manual queue nothing happens until the test runs it.
class ScriptedConnection final : public Connection, public std::enable_shared_from_this<ScriptedConnection> {
public:
    explicit ScriptedConnection(std::string remoteAddress = "192.0.2.10:50123");

    void setStateHandler(StateHandler handler) override;
    void start(DispatchQueuePtr queue) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    void send(Bytes data, SendCompletion completion = nullptr) override;
    // Keeps the shared buffer itself (sentBuffers() shows it is the very same one).
    void send(SharedBytes data, SendCompletion completion = nullptr) override;
    // Scripted reads go to the handler in order, each cut at the buffer size; after a close or
    // an error, and once cancelled, nothing more is handed on.
    void startReceiving(std::size_t bufferSize, ReceiveCompletion handler) override;
    void setReceiveBufferSize(std::size_t bytes) override;
    // While paused, scripted reads wait; they flow again once resumed.
    void setReceivingPaused(bool paused) override;
    // Enforced like a real connection, counting what is held (see holdSends).
    void setSendLimit(std::size_t bytes) override;
    std::size_t queuedSendBytes() const override;
    // Counts every call; the first one reports `cancelled` to the state handler and completes an
    // outstanding read with an error.
    void cancel() override;
    std::string remoteAddress() const override { return remoteAddress_; }

    // ---- the far side (requires start() first) ----
    void reportState(State state, std::optional<NetworkError> error = std::nullopt);
    void becomeReady() { reportState(State::ready); }
    // One read returns these bytes; a chunk larger than the read's maximum is returned over
    // several reads. An empty chunk makes a read that returns no data.
    void deliver(Bytes chunk);
    // The bytes as consecutive reads, cut at the given offsets (ascending, within the data).
    void deliverSplit(const Bytes& data, std::initializer_list<std::size_t> cuts);
    // A read that marks the stream complete, carrying the given last bytes (if any).
    void closeFromPeer(Bytes lastChunk = {});
    // A read that reports the error.
    void failRead(NetworkError error);
    // Every later send completes with this error; nothing clears it.
    void failSends(NetworkError error);
    // A peer that stops reading: later sends count as waiting to be sent until released.
    void holdSends(bool hold);

    // ---- what the near side did ----
    bool started() const;
    std::size_t cancelCount() const;
    std::size_t receiveCallCount() const;
    // Bounds of the last read armed, {0, 0} before the first.
    std::pair<std::size_t, std::size_t> lastReceiveBounds() const;
    bool hasPendingReceive() const;
    std::vector<Bytes> sentMessages() const;
    std::vector<SharedBytes> sentBuffers() const;
    bool isReceivingContinuously() const;
    std::size_t receiveBufferSize() const;  // of continuous reads
    bool receivingPaused() const;
    std::size_t sendLimit() const;
    // Every sent message, concatenated in order.
    Bytes sentBytes() const;

private:
    struct ReadEvent {
        Bytes data;
        bool isComplete = false;
        std::optional<NetworkError> error;
    };
    struct PendingReceive {
        std::size_t maximum = 0;
        ReceiveCompletion completion;
    };

    void enqueue(ReadEvent event);
    void pumpContinuous();
    // Matches an outstanding read with the next scripted event, if both exist.
    void pump();
    void post(std::function<void()> block);

    std::string remoteAddress_;
    mutable std::mutex mutex_;
    DispatchQueuePtr queue_;
    StateHandler stateHandler_;
    std::optional<PendingReceive> pendingReceive_;
    std::deque<ReadEvent> events_;
    std::vector<SharedBytes> sent_;
    std::optional<NetworkError> sendError_;
    std::shared_ptr<ReceiveCompletion> continuous_;
    bool continuousEnded_ = false;
    bool receivingPaused_ = false;
    std::size_t receiveBufferSize_ = 0;
    std::size_t sendLimit_ = 0;
    std::size_t heldBytes_ = 0;
    bool holding_ = false;
    bool sendOverflowed_ = false;
    std::size_t cancelCount_ = 0;
    std::size_t receiveCalls_ = 0;
    std::pair<std::size_t, std::size_t> lastBounds_{0, 0};
};

}  // namespace qm::test
