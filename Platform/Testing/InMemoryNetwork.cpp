#include "Platform/Testing/InMemoryNetwork.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>

#include "Platform/FramedReceive.h"

namespace qm {

struct InMemoryConnection::Pipe {
    // Frame reading (startReceivingFrames): frames are cut from the inbox one at a time and each
    // counts, with the format's cost, until its owner lets go of it, as a connection that reads
    // frames itself counts them.
    struct FrameReading {
        FrameFormat format;
        std::size_t maximumPayload = 0;
        std::shared_ptr<FrameHandler> handler;
        std::shared_ptr<TailedFrameHandler> tailed;
        std::atomic<std::size_t> held = 0;   // handed on and not let go of, with their cost
        std::atomic<bool> waiting = false;  // a frame waits for `held` to go down
        bool ended = false;                 // a header refused, or the last call made
    };
    struct PendingRead {
        std::size_t minimum;
        std::size_t maximum;
        ReceiveCompletion completion;
    };
    struct End {
        DispatchQueuePtr queue;
        StateHandler stateHandler;
        std::vector<std::function<void()>> early;  // deliveries made before start()
        std::deque<std::uint8_t> inbound;
        std::deque<PendingRead> reads;
        bool startCalled = false;
        bool started = false;
        bool cancelled = false;          // cancelled or dropped by its owner: silent from then on
        bool pendingCancelReport = false;
        bool peerClosed = false;         // the other end is gone: reads see isComplete
        std::optional<NetworkError> failure;
        // Continuous reads (startReceiving).
        std::shared_ptr<ReceiveCompletion> continuousHandler;
        bool continuousEnded = false;
        std::size_t receiveBufferSize = 65536;
        std::size_t unhandled = 0;  // bytes handed to the queue, not yet handled
        bool receivingPaused = false;  // the owner holds continuous reads
        std::shared_ptr<FrameReading> frames;
        std::size_t sendLimit = 0;
    };
    std::mutex mutex;
    End ends[2];
};

namespace {

NetworkError refusedError() {
    return NetworkError{ECONNREFUSED, "Connection refused"};
}

std::string hostPort(const std::string& host, std::uint16_t port) {
    if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
    return host + ":" + std::to_string(port);
}

}  // namespace

class InMemoryListener final : public Listener, public std::enable_shared_from_this<InMemoryListener> {
public:
    InMemoryListener(std::weak_ptr<InMemoryNetworkService> service, ListenerParameters::Family family,
                     std::uint16_t port, std::shared_ptr<AcceptBudget> budget)
        : service_(std::move(service)), family_(family), port_(port), budget_(std::move(budget)) {}

    void setStateHandler(StateHandler handler) override {
        std::lock_guard lock(mutex_);
        if (!cancelled_) stateHandler_ = std::move(handler);
    }
    void setNewConnectionHandler(NewConnectionHandler handler) override {
        std::lock_guard lock(mutex_);
        if (!cancelled_) connectionHandler_ = std::move(handler);
    }

    void start(DispatchQueuePtr queue) override {
        if (!queue) return;
        std::lock_guard lock(mutex_);
        if (queue_ || cancelled_) return;
        queue_ = std::move(queue);
        postLocked([](InMemoryListener& self) { self.reportState(State::ready); });
        deliverWaitingLocked();
    }

    void cancel() override {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            waiting_.clear();
            auto handler = std::move(stateHandler_);
            stateHandler_ = nullptr;
            connectionHandler_ = nullptr;
            if (queue_) {
                queue_->async([handler] {
                    if (handler) handler(State::cancelled, std::nullopt);
                });
            }
            queue_.reset();
        }
    }

    std::uint16_t port() const override { return port_; }

    ListenerParameters::Family family() const { return family_; }
    bool isLive() const {
        std::lock_guard lock(mutex_);
        return !cancelled_;
    }

    // The server end of a new pair; false when the listener no longer takes connections. It
    // waits, as in a kernel's backlog, until the listener started and its budget has a place.
    bool accept(std::shared_ptr<InMemoryConnection> connection) {
        std::lock_guard lock(mutex_);
        if (cancelled_) return false;
        waiting_.push_back(std::move(connection));
        deliverWaitingLocked();
        return true;
    }

private:
    void deliverWaitingLocked() {
        while (queue_ && !waiting_.empty()) {
            AcceptBudget::Place place;
            if (budget_) {
                if (waitingForPlace_) return;
                place = budget_->take([weak = weak_from_this()] {
                    auto self = weak.lock();
                    if (!self) return;
                    std::lock_guard lock(self->mutex_);
                    self->waitingForPlace_ = false;
                    if (!self->cancelled_) self->deliverWaitingLocked();
                });
                if (!place) {
                    waitingForPlace_ = true;
                    return;
                }
            }
            auto connection = std::move(waiting_.front());
            waiting_.erase(waiting_.begin());
            connection->adoptAcceptPlace(std::move(place));
            deliverLocked(std::move(connection));
        }
    }

    void postLocked(std::function<void(InMemoryListener&)> block) {
        queue_->async([self = shared_from_this(), block = std::move(block)] {
            {
                std::lock_guard lock(self->mutex_);
                if (self->cancelled_) return;
            }
            block(*self);
        });
    }

    void deliverLocked(ConnectionPtr connection) {
        postLocked([connection](InMemoryListener& self) {
            NewConnectionHandler handler;
            {
                std::lock_guard lock(self.mutex_);
                handler = self.connectionHandler_;
            }
            if (handler) handler(connection);
        });
    }

    void reportState(State state) {
        StateHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = stateHandler_;
        }
        if (handler) handler(state, std::nullopt);
    }

    std::weak_ptr<InMemoryNetworkService> service_;
    ListenerParameters::Family family_;
    std::uint16_t port_;
    mutable std::mutex mutex_;
    DispatchQueuePtr queue_;
    StateHandler stateHandler_;
    NewConnectionHandler connectionHandler_;
    std::shared_ptr<AcceptBudget> budget_;
    std::vector<std::shared_ptr<InMemoryConnection>> waiting_;
    bool waitingForPlace_ = false;
    bool cancelled_ = false;
};

class InMemoryPathMonitor final : public PathMonitor, public std::enable_shared_from_this<InMemoryPathMonitor> {
public:
    explicit InMemoryPathMonitor(std::weak_ptr<InMemoryNetworkService> service) : service_(std::move(service)) {}

    void start(DispatchQueuePtr queue, std::function<void(const NetworkPath&)> handler) override {
        auto service = service_.lock();
        if (!queue || !service) return;
        {
            std::lock_guard lock(mutex_);
            if (queue_ || cancelled_) return;
            queue_ = queue;
            handler_ = std::move(handler);
        }
        offer(service->path(), true);
    }

    void cancel() override {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        handler_ = nullptr;
        queue_.reset();
    }

    // Reports the path on the queue when it differs from the last one reported.
    void offer(const NetworkPath& path, bool first = false) {
        std::lock_guard lock(mutex_);
        if (!queue_ || cancelled_) return;
        queue_->async([weak = weak_from_this(), path, first] {
            auto self = weak.lock();
            if (!self) return;
            std::function<void(const NetworkPath&)> handler;
            {
                std::lock_guard lock(self->mutex_);
                if (self->cancelled_ || (!first && self->reported_ && *self->reported_ == path)) return;
                self->reported_ = path;
                handler = self->handler_;
            }
            if (handler) handler(path);
        });
    }

private:
    std::weak_ptr<InMemoryNetworkService> service_;
    std::mutex mutex_;
    DispatchQueuePtr queue_;
    std::function<void(const NetworkPath&)> handler_;
    std::optional<NetworkPath> reported_;
    bool cancelled_ = false;
};

// MARK: service

std::shared_ptr<Listener> InMemoryNetworkService::makeListener(const ListenerParameters& parameters,
                                                               std::optional<NetworkError>& error) {
    error.reset();
    std::function<std::optional<NetworkError>(const ListenerParameters&)> filter;
    {
        std::lock_guard lock(mutex_);
        filter = bindFilter_;
    }
    if (filter) {
        if (auto refused = filter(parameters)) {
            error = std::move(refused);
            return nullptr;
        }
    }
    std::lock_guard lock(mutex_);
    std::erase_if(listeners_, [](const auto& entry) {
        auto listener = entry.second.lock();
        return !listener || !listener->isLive();
    });
    auto clashes = [&](std::uint16_t port) {
        auto range = listeners_.equal_range(port);
        for (auto it = range.first; it != range.second; ++it) {
            auto listener = it->second.lock();
            if (!listener || !listener->isLive()) continue;
            if (listener->family() == parameters.family || listener->family() == ListenerParameters::Family::any ||
                parameters.family == ListenerParameters::Family::any) {
                return true;
            }
        }
        return false;
    };
    std::uint16_t port = parameters.port;
    if (port == 0) {
        for (int tries = 0; tries < 16384; ++tries) {
            const std::uint16_t candidate = nextEphemeralPort_;
            nextEphemeralPort_ = nextEphemeralPort_ == 65535 ? 49152 : static_cast<std::uint16_t>(nextEphemeralPort_ + 1);
            if (listeners_.count(candidate) == 0) {
                port = candidate;
                break;
            }
        }
        if (port == 0) {
            error = NetworkError{EADDRINUSE, "Address already in use"};
            return nullptr;
        }
    } else if (clashes(port)) {
        error = NetworkError{EADDRINUSE, "Address already in use"};
        return nullptr;
    }
    auto listener = std::make_shared<InMemoryListener>(weak_from_this(), parameters.family, port, parameters.acceptBudget);
    listeners_.emplace(port, listener);
    return listener;
}

std::shared_ptr<PathMonitor> InMemoryNetworkService::makePathMonitor() {
    auto monitor = std::make_shared<InMemoryPathMonitor>(weak_from_this());
    std::lock_guard lock(mutex_);
    std::erase_if(monitors_, [](const auto& weak) { return weak.expired(); });
    monitors_.push_back(monitor);
    return monitor;
}

ConnectionPtr InMemoryNetworkService::connect(std::uint16_t port, const std::string& fromAddress) {
    std::shared_ptr<InMemoryListener> target;
    std::uint16_t clientPort;
    {
        std::lock_guard lock(mutex_);
        clientPort = nextClientPort_;
        nextClientPort_ = nextClientPort_ == 65535 ? 50000 : static_cast<std::uint16_t>(nextClientPort_ + 1);
        auto rank = [](ListenerParameters::Family family) {
            switch (family) {
                case ListenerParameters::Family::ipv4: return 0;
                case ListenerParameters::Family::any: return 1;
                case ListenerParameters::Family::ipv6: return 2;
            }
            return 3;
        };
        auto range = listeners_.equal_range(port);
        for (auto it = range.first; it != range.second; ++it) {
            auto listener = it->second.lock();
            if (!listener || !listener->isLive()) continue;
            if (!target || rank(listener->family()) < rank(target->family())) target = listener;
        }
    }
    auto pipe = std::make_shared<InMemoryConnection::Pipe>();
    auto client = std::make_shared<InMemoryConnection>(pipe, 0, hostPort("127.0.0.1", port));
    auto server = std::make_shared<InMemoryConnection>(pipe, 1, hostPort(fromAddress, clientPort));
    if (!target || !target->accept(server)) client->refuse(refusedError());
    return client;
}

void InMemoryNetworkService::setPath(const NetworkPath& path) {
    std::vector<std::shared_ptr<InMemoryPathMonitor>> live;
    {
        std::lock_guard lock(mutex_);
        path_ = path;
        for (auto& weak : monitors_) {
            if (auto monitor = weak.lock()) live.push_back(std::move(monitor));
        }
    }
    for (auto& monitor : live) monitor->offer(path);
}

NetworkPath InMemoryNetworkService::path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

void InMemoryNetworkService::setBindFilter(std::function<std::optional<NetworkError>(const ListenerParameters&)> filter) {
    std::lock_guard lock(mutex_);
    bindFilter_ = std::move(filter);
}

std::size_t InMemoryNetworkService::listenerCount(std::uint16_t port) const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    auto range = listeners_.equal_range(port);
    for (auto it = range.first; it != range.second; ++it) {
        auto listener = it->second.lock();
        if (listener && listener->isLive()) ++count;
    }
    return count;
}

// MARK: connection

namespace {

using Pipe = InMemoryConnection::Pipe;

// Hands a block to one end's queue (or keeps it until that end starts); dropped once the end is
// cancelled, also while it waits on the queue. Called with the pipe locked.
void postTo(const std::shared_ptr<Pipe>& pipe, int side, std::function<void()> block) {
    auto& end = pipe->ends[side];
    if (end.cancelled) return;
    if (!end.queue) {
        end.early.push_back(std::move(block));
        return;
    }
    end.queue->async([pipe, side, block = std::move(block)] {
        {
            std::lock_guard lock(pipe->mutex);
            if (pipe->ends[side].cancelled) return;
        }
        block();
    });
}

void postStateTo(const std::shared_ptr<Pipe>& pipe, int side, Connection::State state,
                 std::optional<NetworkError> error) {
    postTo(pipe, side, [pipe, side, state, error] {
        Connection::StateHandler handler;
        {
            std::lock_guard lock(pipe->mutex);
            handler = pipe->ends[side].stateHandler;
        }
        if (handler) handler(state, error);
    });
}

void pump(const std::shared_ptr<Pipe>& pipe, int side);
void pumpFrames(const std::shared_ptr<Pipe>& pipe, int side);

// Continuous reads take what the armed reads left, a buffer at a time, while the queue keeps up.
// Called with the pipe locked.
void pumpContinuous(const std::shared_ptr<Pipe>& pipe, int side) {
    auto& end = pipe->ends[side];
    if (end.frames) return pumpFrames(pipe, side);
    if (!end.continuousHandler || end.continuousEnded || !end.reads.empty()) return;
    auto handler = end.continuousHandler;
    auto finish = [&](bool complete, std::optional<NetworkError> error) {
        end.continuousEnded = true;
        end.continuousHandler.reset();
        postTo(pipe, side, [handler, complete, error] { (*handler)({}, complete, error); });
    };
    if (end.failure) return finish(false, end.failure);
    while (!end.inbound.empty() && !end.receivingPaused && end.unhandled <= 2 * end.receiveBufferSize) {
        const std::size_t count = std::min(end.receiveBufferSize, end.inbound.size());
        const auto last = end.inbound.begin() + static_cast<std::ptrdiff_t>(count);
        Bytes data(end.inbound.begin(), last);
        end.inbound.erase(end.inbound.begin(), last);
        end.unhandled += count;
        postTo(pipe, side, [pipe, side, handler, data = std::move(data), count]() mutable {
            (*handler)(std::move(data), false, std::nullopt);
            std::lock_guard lock(pipe->mutex);
            auto& self = pipe->ends[side];
            self.unhandled -= std::min(count, self.unhandled);
            pump(pipe, side);
        });
    }
    if (end.inbound.empty() && end.peerClosed) finish(true, std::nullopt);
}

// A frame's storage that counts against the end's frame reading until its last holder lets go;
// reading that waits for it is taken up again on the end's queue (the holder may let go anywhere,
// with the pipe locked too).
SharedBytes countedFrame(const std::shared_ptr<Pipe>& pipe, int side, Bytes frame) {
    auto& end = pipe->ends[side];
    auto reading = end.frames;
    const std::size_t counted = frame.size() + reading->format.costPerFrame;
    reading->held += counted;
    std::weak_ptr<Pipe> weakPipe = pipe;
    std::weak_ptr<DispatchQueue> queue = end.queue;
    return SharedBytes(new const Bytes(std::move(frame)), [reading, weakPipe, side, queue, counted](const Bytes* bytes) {
        delete bytes;
        reading->held -= counted;
        if (!reading->waiting.exchange(false)) return;
        if (auto owner = queue.lock()) {
            owner->async([weakPipe, side] {
                auto pipe = weakPipe.lock();
                if (!pipe) return;
                std::lock_guard lock(pipe->mutex);
                pump(pipe, side);
            });
        }
    });
}

// Frame reading hands on whole frames while what it handed on and was not let go of stays within
// twice the read size and the owner does not hold it. Called with the pipe locked.
void pumpFrames(const std::shared_ptr<Pipe>& pipe, int side) {
    auto& end = pipe->ends[side];
    auto reading = end.frames;
    if (reading->ended || !end.reads.empty()) return;
    const auto handler = reading->handler;
    if (end.failure) {
        reading->ended = true;
        postTo(pipe, side, [handler, error = *end.failure] { (*handler)({}, nullptr, false, error); });
        return;
    }
    const auto& format = reading->format;
    const std::size_t headerSize = format.headerSize;
    // The next frame's length, once its header is all there.
    auto nextLength = [&]() -> std::optional<std::size_t> {
        if (end.inbound.size() < headerSize) return std::nullopt;
        std::size_t length = 0;
        for (std::size_t i = 0; i < 4; ++i) length |= static_cast<std::size_t>(end.inbound[format.lengthOffset + i]) << (8 * i);
        return length;
    };
    // Waits while `over` holds; a release in between is seen by one of the two sides.
    auto waitsFor = [&](const auto& over) {
        if (!over()) return false;
        reading->waiting = true;
        if (over()) return true;
        reading->waiting = false;
        return false;
    };
    while (!end.receivingPaused) {
        const auto length = nextLength();
        if (!length) break;
        Bytes header(end.inbound.begin(), end.inbound.begin() + static_cast<std::ptrdiff_t>(headerSize));
        const bool magic = format.hasMagic(header.data());
        // Handling the frames handed on may raise the maximum: judged again once they are let go of.
        if (magic && waitsFor([&] { return *length > reading->maximumPayload && reading->held > 0; })) return;
        if (!magic || *length > reading->maximumPayload) {
            reading->ended = true;
            auto storage = std::make_shared<const Bytes>(std::move(header));
            postTo(pipe, side, [handler, storage] { (*handler)(std::span(*storage), storage, false, std::nullopt); });
            return;
        }
        if (waitsFor([&] { return reading->held > 2 * end.receiveBufferSize; })) return;
        const std::size_t total = headerSize + *length;
        if (end.inbound.size() < total) break;
        const auto last = end.inbound.begin() + static_cast<std::ptrdiff_t>(total);
        SharedBytes storage = countedFrame(pipe, side, Bytes(end.inbound.begin(), last));
        end.inbound.erase(end.inbound.begin(), last);
        const std::size_t head = reading->tailed ? format.headLength(storage->data(), total) : 0;
        if (head >= headerSize && head < total && total - head >= format.minimumTail) {
            auto tail = std::make_shared<BufferedFrameTail>(storage, std::span(*storage).subspan(head));
            postTo(pipe, side, [tailed = reading->tailed, storage, head, tail = std::move(tail)]() mutable {
                (*tailed)(std::span(*storage).first(head), storage, std::move(tail));
            });
        } else {
            postTo(pipe, side, [handler, storage] { (*handler)(std::span(*storage), storage, false, std::nullopt); });
        }
    }
    // The last call once nothing whole is left of what the peer sent before it closed.
    const auto length = nextLength();
    if (end.peerClosed && (!length || end.inbound.size() < headerSize + *length)) {
        reading->ended = true;
        postTo(pipe, side, [handler] { (*handler)({}, nullptr, true, std::nullopt); });
    }
}

// Completes the reads of one end that can complete. Called with the pipe locked.
void pump(const std::shared_ptr<Pipe>& pipe, int side) {
    auto& end = pipe->ends[side];
    if (!end.started || end.cancelled) return;
    while (!end.reads.empty()) {
        auto& read = end.reads.front();
        if (end.failure) {
            postTo(pipe, side, [completion = std::move(read.completion), error = *end.failure] {
                completion({}, false, error);
            });
        } else if (end.inbound.size() >= read.minimum || end.peerClosed) {
            const std::size_t count = std::min(read.maximum, end.inbound.size());
            const auto last = end.inbound.begin() + static_cast<std::ptrdiff_t>(count);
            Bytes data(end.inbound.begin(), last);
            end.inbound.erase(end.inbound.begin(), last);
            const bool complete = end.peerClosed && end.inbound.empty();
            postTo(pipe, side, [completion = std::move(read.completion), data = std::move(data), complete]() mutable {
                completion(std::move(data), complete, std::nullopt);
            });
        } else {
            return;
        }
        end.reads.pop_front();
    }
    pumpContinuous(pipe, side);
}

// One end went away: the other reads what is left, then the close.
void closePeerOf(const std::shared_ptr<Pipe>& pipe, int side) {
    pipe->ends[1 - side].peerClosed = true;
    pump(pipe, 1 - side);
}

}  // namespace

InMemoryConnection::InMemoryConnection(std::shared_ptr<Pipe> pipe, int side, std::string remoteAddress)
    : pipe_(std::move(pipe)), side_(side), remote_(std::move(remoteAddress)) {}

InMemoryConnection::~InMemoryConnection() {
    // The owner let go: this end closes silently.
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    end.pendingCancelReport = false;
    end.stateHandler = nullptr;
    end.queue.reset();
    if (end.cancelled) return;
    end.cancelled = true;
    end.reads.clear();
    end.early.clear();
    end.continuousHandler.reset();
    end.frames.reset();
    closePeerOf(pipe_, side_);
}

void InMemoryConnection::refuse(NetworkError error) {
    std::lock_guard lock(pipe_->mutex);
    refusal_ = std::move(error);
}

void InMemoryConnection::setStateHandler(StateHandler handler) {
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    if (!end.cancelled || end.pendingCancelReport) end.stateHandler = std::move(handler);
}

void InMemoryConnection::start(DispatchQueuePtr queue) {
    if (!queue) return;
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    if (end.startCalled) return;
    end.startCalled = true;
    if (end.pendingCancelReport) {
        end.pendingCancelReport = false;
        auto handler = std::move(end.stateHandler);
        end.stateHandler = nullptr;
        queue->async([handler] {
            if (handler) handler(State::cancelled, std::nullopt);
        });
        return;
    }
    if (end.cancelled) return;
    end.queue = queue;
    end.started = true;
    if (refusal_ && !end.failure) {
        end.failure = refusal_;
        postStateTo(pipe_, side_, State::preparing, std::nullopt);
        postStateTo(pipe_, side_, State::failed, refusal_);
    } else {
        postStateTo(pipe_, side_, State::ready, std::nullopt);
    }
    auto early = std::move(end.early);
    end.early.clear();
    for (auto& block : early) postTo(pipe_, side_, std::move(block));
    pump(pipe_, side_);
}

void InMemoryConnection::receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
    if (!completion) return;
    maximum = std::max<std::size_t>(maximum, 1);
    minimum = std::clamp<std::size_t>(minimum, 1, maximum);
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    if (end.cancelled) return;
    end.reads.push_back({minimum, maximum, std::move(completion)});
    pump(pipe_, side_);
}

void InMemoryConnection::send(Bytes data, SendCompletion completion) {
    sendBytes(data, std::move(completion));
}

void InMemoryConnection::send(SharedBytes data, SendCompletion completion) {
    static const Bytes empty;
    sendBytes(data ? *data : empty, std::move(completion));
}

void InMemoryConnection::sendBytes(const Bytes& data, SendCompletion completion) {
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    if (end.cancelled) return;
    std::optional<NetworkError> error = end.failure;
    auto& peer = pipe_->ends[1 - side_];
    if (!error && (peer.cancelled || peer.failure)) error = NetworkError{EPIPE, "Broken pipe"};
    // The peer's inbox is the wire: what it has not read yet is what waits to be sent.
    if (!error && end.sendLimit != 0 && peer.inbound.size() + data.size() > end.sendLimit) {
        error = NetworkError{ENOBUFS, "send queue full"};
        failLocked(*error);
    }
    if (!error) {
        // The copy is the wire's; the sender's buffer stays shared.
        peer.inbound.insert(peer.inbound.end(), data.begin(), data.end());
        pump(pipe_, 1 - side_);
    }
    if (completion) postTo(pipe_, side_, [completion = std::move(completion), error] { completion(error); });
}

void InMemoryConnection::startReceiving(std::size_t bufferSize, ReceiveCompletion handler) {
    if (!handler) return;
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    if (end.cancelled || end.continuousHandler || end.continuousEnded) return;
    end.receiveBufferSize = std::max<std::size_t>(bufferSize, 1);
    end.continuousHandler = std::make_shared<ReceiveCompletion>(std::move(handler));
    pump(pipe_, side_);
}

void InMemoryConnection::startReceivingFrames(FrameFormat format, std::size_t maximumPayload, std::size_t readSize,
                                              FrameHandler handler) {
    if (!handler) return;
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    if (end.cancelled || end.continuousHandler || end.continuousEnded || end.frames) return;
    auto reading = std::make_shared<Pipe::FrameReading>();
    reading->format = format;
    reading->maximumPayload = maximumPayload;
    reading->handler = std::make_shared<FrameHandler>(std::move(handler));
    if (tailedFrameHandler_ && format.headLength)
        reading->tailed = std::make_shared<TailedFrameHandler>(tailedFrameHandler_);
    end.receiveBufferSize = std::max<std::size_t>(readSize, 1);
    end.frames = std::move(reading);
    pump(pipe_, side_);
}

void InMemoryConnection::setMaximumFramePayload(std::size_t bytes) {
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    if (!end.frames) return;
    end.frames->maximumPayload = bytes;
    pump(pipe_, side_);
}

void InMemoryConnection::setReceiveBufferSize(std::size_t bytes) {
    std::lock_guard lock(pipe_->mutex);
    pipe_->ends[side_].receiveBufferSize = std::max<std::size_t>(bytes, 1);
    pump(pipe_, side_);
}

void InMemoryConnection::setReceivingPaused(bool paused) {
    std::lock_guard lock(pipe_->mutex);
    pipe_->ends[side_].receivingPaused = paused;
    pump(pipe_, side_);
}

void InMemoryConnection::setSendLimit(std::size_t bytes) {
    std::lock_guard lock(pipe_->mutex);
    pipe_->ends[side_].sendLimit = bytes;
}

std::size_t InMemoryConnection::queuedSendBytes() const {
    std::lock_guard lock(pipe_->mutex);
    const auto& end = pipe_->ends[side_];
    const auto& peer = pipe_->ends[1 - side_];
    // A closed connection has nothing left to send.
    return end.cancelled || end.failure || peer.cancelled ? 0 : peer.inbound.size();
}

void InMemoryConnection::adoptAcceptPlace(AcceptBudget::Place place) {
    std::lock_guard lock(placeMutex_);
    acceptPlace_ = std::move(place);
}

void InMemoryConnection::leaveAcceptBudget() {
    AcceptBudget::Place place;
    {
        std::lock_guard lock(placeMutex_);
        place = std::move(acceptPlace_);
    }
}

void InMemoryConnection::cancel() {
    cancelPipeEnd();
    leaveAcceptBudget();  // closed: its place is free
}

void InMemoryConnection::cancelPipeEnd() {
    std::lock_guard lock(pipe_->mutex);
    auto& end = pipe_->ends[side_];
    if (end.cancelled) return;
    end.cancelled = true;
    end.reads.clear();
    end.early.clear();
    end.continuousHandler.reset();
    end.frames.reset();
    if (end.queue) {
        auto handler = std::move(end.stateHandler);
        end.stateHandler = nullptr;
        end.queue->async([handler] {
            if (handler) handler(State::cancelled, std::nullopt);
        });
        end.queue.reset();
    } else {
        end.pendingCancelReport = true;
    }
    closePeerOf(pipe_, side_);
}

void InMemoryConnection::simulateFailure(NetworkError error) {
    {
        std::lock_guard lock(pipe_->mutex);
        failLocked(std::move(error));
    }
    leaveAcceptBudget();
}

void InMemoryConnection::failLocked(NetworkError error) {
    auto& end = pipe_->ends[side_];
    if (end.cancelled || end.failure) return;
    end.failure = error;
    postStateTo(pipe_, side_, State::failed, error);
    pump(pipe_, side_);
    closePeerOf(pipe_, side_);
}

std::size_t InMemoryConnection::bufferedByteCount() const {
    std::lock_guard lock(pipe_->mutex);
    return pipe_->ends[side_].inbound.size();
}

std::string InMemoryConnection::remoteAddress() const {
    return remote_;
}

}  // namespace qm
