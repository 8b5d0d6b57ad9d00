#include "Platform/Linux/AsioNetwork.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cerrno>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "Platform/FramedReceive.h"

namespace qm {

namespace {

// The longest frame header frame reading takes.
constexpr std::size_t maximumFrameHeader = 64;

using asio::ip::tcp;

// Standalone Asio reports errno values under a category of its own.
bool isSystemError(const std::error_code& ec) {
    return ec.category() == asio::system_category() || ec.category() == std::system_category();
}

NetworkError makeError(const std::error_code& ec) {
    NetworkError error;
    error.code = isSystemError(ec) ? ec.value() : 0;
    error.description = ec.message();
    return error;
}

NetworkError stoppedError() {
    return NetworkError{ECANCELED, "network service stopped"};
}

NetworkError sendQueueFullError() {
    return NetworkError{ENOBUFS, "send queue full"};
}

// Buffers handed to one gathered write (the system takes at most this many at once anyway).
constexpr std::size_t maximumGatheredWrites = 64;

// Keepalive on an accepted socket, so that a peer whose network vanished is noticed; the user
// timeout makes unacknowledged sends end such a peer within the same time.
void applyKeepAlive(int fd, const ListenerParameters& parameters) {
    if (fd < 0) return;
    if (parameters.keepAliveIdle <= 0 && parameters.keepAliveInterval <= 0 && parameters.keepAliveCount <= 0) return;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    auto set = [fd](int option, int value) {
        if (value > 0) ::setsockopt(fd, IPPROTO_TCP, option, &value, sizeof value);
    };
    set(TCP_KEEPIDLE, parameters.keepAliveIdle);
    set(TCP_KEEPINTVL, parameters.keepAliveInterval);
    set(TCP_KEEPCNT, parameters.keepAliveCount);
    // What is in effect, the system's defaults included for the values not given.
    auto get = [fd](int option) {
        int value = 0;
        socklen_t length = sizeof value;
        return ::getsockopt(fd, IPPROTO_TCP, option, &value, &length) == 0 ? value : 0;
    };
    const std::int64_t idle = get(TCP_KEEPIDLE);
    const std::int64_t interval = get(TCP_KEEPINTVL);
    const std::int64_t count = get(TCP_KEEPCNT);
    if (idle <= 0 || interval <= 0 || count <= 0) return;
    const auto milliseconds =
        static_cast<int>(std::min<std::int64_t>((idle + interval * count) * 1000, std::numeric_limits<int>::max()));
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &milliseconds, sizeof milliseconds);
}

// "a.b.c.d:port" or "[v6]:port"; IPv4 peers of a dual-stack socket are shown as IPv4.
std::string endpointText(const tcp::endpoint& endpoint) {
    auto address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    if (address.is_v6()) return "[" + address.to_string() + "]:" + std::to_string(endpoint.port());
    return address.to_string() + ":" + std::to_string(endpoint.port());
}

// Sockets must not leak into the processes the Host spawns.
void setCloseOnExec(int fd) {
    if (fd < 0) return;
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

bool isTransientAcceptError(const std::error_code& ec) {
    if (!isSystemError(ec)) return false;
    switch (ec.value()) {
        case ECONNABORTED: case EPROTO: case EINTR: case EAGAIN: case ENETDOWN: case ENOPROTOOPT:
        case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        case ECONNRESET: case EPERM:
            return true;
        default:
            return false;
    }
}

// Running out of descriptors or memory passes; retrying at once would only spin.
bool isResourceAcceptError(const std::error_code& ec) {
    if (!isSystemError(ec)) return false;
    const int v = ec.value();
    return v == EMFILE || v == ENFILE || v == ENOBUFS || v == ENOMEM;
}

// A descriptor of our own, closed with its owner.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() { reset(); }
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Something owning a socket that the service closes when it stops.
class IoObject {
public:
    virtual ~IoObject() = default;
    // Runs on the network thread.
    virtual void closeOnIoThread() = 0;
};

}  // namespace

struct AsioNetworkService::Core {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard{asio::make_work_guard(context)};
    std::thread thread;
    std::mutex mutex;
    bool stopping = false;
    std::vector<std::weak_ptr<IoObject>> objects;

    Core() {
        thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "qm.network");
            context.run();
        });
    }

    bool isIoThread() const { return std::this_thread::get_id() == thread.get_id(); }

    // Runs the block on the network thread; false once the service stopped.
    bool post(std::function<void()> block) {
        std::lock_guard lock(mutex);
        if (stopping) return false;
        asio::post(context, std::move(block));
        return true;
    }

    // Remembers an object to close at shutdown; false when the service already stopped.
    bool track(const std::shared_ptr<IoObject>& object) {
        std::lock_guard lock(mutex);
        if (stopping) return false;
        std::erase_if(objects, [](const auto& weak) { return weak.expired(); });
        objects.push_back(object);
        return true;
    }

    // Closes everything still open, lets the aborted operations finish and joins the thread, so
    // no pending handler keeps a socket (and through it this object) alive.
    void shutdown() {
        std::vector<std::shared_ptr<IoObject>> live;
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            stopping = true;
            for (auto& weak : objects) {
                if (auto object = weak.lock()) live.push_back(std::move(object));
            }
            objects.clear();
            asio::post(context, [live = std::move(live)] {
                for (auto& object : live) object->closeOnIoThread();
            });
        }
        guard.reset();
        if (isIoThread()) {
            thread.detach();
        } else if (thread.joinable()) {
            thread.join();
        }
    }
};

namespace {

using Core = AsioNetworkService::Core;

// The shared state of one connection. Handlers on the network thread and blocks on the owner's
// queue hold it, so it outlives the owner's handle while anything is pending; once the handle
// is dropped or cancelled, nothing more reaches the owner.
class ConnectionState final : public IoObject, public std::enable_shared_from_this<ConnectionState> {
public:
    // An accepted connection, holding the place its listener took for it (if any).
    ConnectionState(std::shared_ptr<Core> core, tcp::socket socket, AcceptBudget::Place place)
        : core_(std::move(core)), acceptPlace_(std::move(place)), socket_(std::move(socket)), connected_(true) {
        std::error_code ec;
        auto endpoint = socket_.remote_endpoint(ec);
        if (!ec) remote_ = endpointText(endpoint);
        // Continuous reads read what is waiting without blocking the network thread.
        socket_.non_blocking(true, ec);
    }
    // A client connection, made when started.
    ConnectionState(std::shared_ptr<Core> core, std::string host, std::uint16_t port, bool noDelay)
        : core_(std::move(core)), socket_(core_->context), isClient_(true), host_(std::move(host)), port_(port),
          noDelay_(noDelay) {}

    ~ConnectionState() override { closeTailPipe(); }

    void setStateHandler(Connection::StateHandler handler) {
        std::lock_guard lock(mutex_);
        if (!cancelled_ || pendingCancelReport_) stateHandler_ = std::move(handler);
    }

    void start(DispatchQueuePtr queue) {
        if (!queue) return;
        std::unique_lock lock(mutex_);
        if (started_) return;
        started_ = true;
        if (pendingCancelReport_) {
            pendingCancelReport_ = false;
            auto handler = std::move(stateHandler_);
            stateHandler_ = nullptr;
            queue->async([handler] {
                if (handler) handler(Connection::State::cancelled, std::nullopt);
            });
            return;
        }
        if (cancelled_) return;
        queue_ = queue;
        postStateLocked(isClient_ ? Connection::State::preparing : Connection::State::ready);
        for (auto& block : early_) postLocked(std::move(block));
        early_.clear();
        lock.unlock();
        if (isClient_) {
            auto self = shared_from_this();
            runOnIo([self] { self->beginConnect(); }, [self] { self->fail(stoppedError()); });
        }
    }

    void receive(std::size_t minimum, std::size_t maximum, Connection::ReceiveCompletion completion) {
        if (!completion) return;
        maximum = std::max<std::size_t>(maximum, 1);
        minimum = std::clamp<std::size_t>(minimum, 1, maximum);
        auto self = shared_from_this();
        auto shared = std::make_shared<Connection::ReceiveCompletion>(std::move(completion));
        runOnIo(
            [self, minimum, maximum, shared] {
                self->reads_.push_back({minimum, maximum, std::move(*shared)});
                self->pumpReads();
            },
            [self, shared] {
                self->deliver([shared] { (*shared)({}, false, stoppedError()); });
            });
    }

    void send(Bytes data, Connection::SendCompletion completion) {
        enqueueWrite(PendingWrite{std::move(data), nullptr, std::move(completion)});
    }

    void send(SharedBytes data, Connection::SendCompletion completion) {
        enqueueWrite(PendingWrite{{}, std::move(data), std::move(completion)});
    }

    void startReceiving(std::size_t bufferSize, Connection::ReceiveCompletion handler) {
        if (!handler) return;
        {
            std::lock_guard lock(mutex_);
            receiveBufferSize_ = std::max<std::size_t>(bufferSize, 1);
        }
        auto self = shared_from_this();
        auto shared = std::make_shared<Connection::ReceiveCompletion>(std::move(handler));
        runOnIo(
            [self, shared] {
                if (self->continuousHandler_ || self->frameHandler_ || self->continuousEnded_) return;
                self->continuousHandler_ = shared;
                self->pumpContinuous();
            },
            [self, shared] {
                self->deliver([shared] { (*shared)({}, false, stoppedError()); });
            });
    }

    void startReceivingFrames(FrameFormat format, std::size_t maximumPayload, std::size_t readSize,
                              Connection::FrameHandler handler, Connection::TailedFrameHandler tailedHandler) {
        if (!handler) return;
        {
            std::lock_guard lock(mutex_);
            receiveBufferSize_ = std::max<std::size_t>(readSize, 1);
            maximumFramePayload_ = maximumPayload;
        }
        auto self = shared_from_this();
        auto shared = std::make_shared<Connection::FrameHandler>(std::move(handler));
        auto tailed = tailedHandler && format.headLength
                          ? std::make_shared<Connection::TailedFrameHandler>(std::move(tailedHandler))
                          : nullptr;
        runOnIo(
            [self, shared, tailed, format] {
                if (self->continuousHandler_ || self->frameHandler_ || self->continuousEnded_) return;
                self->frameFormat_ = format;
                self->frameHandler_ = shared;
                self->tailedHandler_ = tailed;
                self->pool_ = std::make_shared<ReceiveBufferPool>();
                self->pumpContinuous();
            },
            [self, shared] {
                self->deliver([shared] { (*shared)({}, nullptr, false, stoppedError()); });
            });
    }

    void setMaximumFramePayload(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        maximumFramePayload_ = bytes;
    }

    void setReceiveBufferSize(std::size_t bytes) {
        bool resume = false;
        {
            std::lock_guard lock(mutex_);
            receiveBufferSize_ = std::max<std::size_t>(bytes, 1);
            resume = resumableLocked();
        }
        if (resume) resumeReading();
    }

    void setReceivingPaused(bool paused) {
        bool resume = false;
        {
            std::lock_guard lock(mutex_);
            ownerPaused_ = paused;
            resume = resumableLocked();
        }
        if (resume) resumeReading();
    }

    void setSendLimit(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        sendLimit_ = bytes;
    }

    std::size_t queuedSendBytes() const {
        std::lock_guard lock(mutex_);
        return queuedSendBytes_;
    }

    void cancel() {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            early_.clear();
            if (queue_) {
                auto handler = std::move(stateHandler_);
                stateHandler_ = nullptr;
                queue_->async([handler] {
                    if (handler) handler(Connection::State::cancelled, std::nullopt);
                });
                // Nothing more goes to the queue: let it go, so that a block still waiting on
                // it does not keep it alive through this state.
                queue_.reset();
            } else {
                pendingCancelReport_ = true;
            }
        }
        closeSoon();
    }

    // The owner let go of its handle: close without telling anyone.
    void abandon() {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            pendingCancelReport_ = false;
            early_.clear();
            stateHandler_ = nullptr;
            queue_.reset();
        }
        closeSoon();
    }

    std::string remoteAddress() const {
        std::lock_guard lock(mutex_);
        return remote_;
    }

    void leaveAcceptBudget() { takeAcceptPlace().release(); }

    // Released by the caller outside the lock: giving a place back wakes a waiting listener.
    AcceptBudget::Place takeAcceptPlace() {
        std::lock_guard lock(mutex_);
        return std::move(acceptPlace_);
    }

    void closeOnIoThread() override {
        if (closed_) return;
        closed_ = true;
        tailStopped_ = true;
        std::error_code ignored;
        if (resolver_) resolver_->cancel();
        socket_.close(ignored);
        reads_.clear();
        writes_.clear();
        continuousHandler_.reset();
        frameHandler_.reset();
        frameBuffer_.reset();
        pending_.reset();
        {
            std::lock_guard lock(mutex_);
            queuedSendBytes_ = 0;
        }
        // The socket is closed: its place is free for the next connection.
        takeAcceptPlace().release();
    }

private:
    struct PendingRead {
        std::size_t minimum;
        std::size_t maximum;
        Connection::ReceiveCompletion completion;
    };
    // A send: bytes of its own or a buffer shared with other connections, written from directly.
    struct PendingWrite {
        Bytes owned;
        SharedBytes shared;
        Connection::SendCompletion completion;

        std::size_t size() const { return shared ? shared->size() : owned.size(); }
        asio::const_buffer buffer() const { return shared ? asio::buffer(*shared) : asio::buffer(owned); }
    };

    // Counts the send against the limit and hands it to the network thread; past the limit the
    // connection fails instead and the bytes are dropped.
    void enqueueWrite(PendingWrite write) {
        const std::size_t size = write.size();
        bool refused = false;
        bool overflowed = false;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            if (sendOverflowed_) {
                refused = true;
            } else if (sendLimit_ != 0 && (queuedSendBytes_ > sendLimit_ || size > sendLimit_ - queuedSendBytes_)) {
                sendOverflowed_ = true;
                refused = overflowed = true;
            } else {
                queuedSendBytes_ += size;
            }
        }
        auto self = shared_from_this();
        if (refused) {
            if (overflowed) runOnIo([self] { self->fail(sendQueueFullError()); }, nullptr);
            if (write.completion) {
                deliver([completion = std::move(write.completion)] { completion(sendQueueFullError()); });
            }
            return;
        }
        auto pending = std::make_shared<PendingWrite>(std::move(write));
        runOnIo(
            [self, pending] {
                self->writes_.push_back(std::move(*pending));
                self->pumpWrites();
            },
            [self, pending, size] {
                self->sendTaken(size);
                if (pending->completion) self->deliver([pending] { pending->completion(stoppedError()); });
            });
    }

    // Bytes that left the send queue (taken by the system, or dropped with the connection).
    void sendTaken(std::size_t size) {
        std::lock_guard lock(mutex_);
        queuedSendBytes_ -= std::min(size, queuedSendBytes_);
    }

    // Whether continuous reads must wait: the owner holds them, a frame over the maximum waits
    // for the owner to let go of every frame before it, or too much is handed on. Called with
    // mutex_ held.
    bool mustWaitLocked() const {
        const std::size_t held = unhandledBytes_ + heldFrameBytes_.load();
        return ownerPaused_ || tailOutstanding_ || held > 2 * receiveBufferSize_ || (heldForLimit_ && held > 0);
    }

    // Reading paused for a busy queue may go on. Called with mutex_ held.
    bool resumableLocked() {
        if (!readPaused_ || mustWaitLocked()) return false;
        heldForLimit_ = false;
        readPaused_ = false;
        return true;
    }

    // Pauses continuous reads; false when a frame let go of meanwhile already allows them again.
    // Called with mutex_ held. readPaused_ is set before heldFrameBytes_ is looked at again, and a
    // frame's release lowers heldFrameBytes_ before it looks at readPaused_: one of the two sees
    // the other, so a release never slips between the check and the pause unnoticed.
    bool pauseReadingLocked() {
        readPaused_ = true;
        if (mustWaitLocked()) return true;
        readPaused_ = false;
        heldForLimit_ = false;
        return false;
    }

    // Any thread, with or without locks held (a frame may be let go of anywhere): the owner let
    // go of a frame of `size` bytes.
    void frameReleased(std::size_t size) {
        heldFrameBytes_.fetch_sub(size);
        if (!readPaused_.load()) return;
        std::weak_ptr<ConnectionState> weak = weak_from_this();
        core_->post([weak] {
            auto self = weak.lock();
            if (!self) return;
            bool resume = false;
            {
                std::lock_guard lock(self->mutex_);
                resume = self->resumableLocked();
            }
            if (resume) self->pumpContinuous();
        });
    }

    void resumeReading() {
        auto self = shared_from_this();
        runOnIo([self] { self->pumpContinuous(); }, nullptr);
    }

    // On the queue, after the handler took a read.
    void readHandled(std::size_t count) {
        bool resume = false;
        {
            std::lock_guard lock(mutex_);
            unhandledBytes_ -= std::min(count, unhandledBytes_);
            resume = resumableLocked();
        }
        if (resume) resumeReading();
    }

    bool isCancelled() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    void runOnIo(std::function<void()> block, const std::function<void()>& whenStopped) {
        if (!core_->post(std::move(block)) && whenStopped) whenStopped();
    }

    void closeSoon() {
        auto self = shared_from_this();
        core_->post([self] { self->closeOnIoThread(); });
    }

    // Hands a block to the owner's queue, in order; dropped once the connection is cancelled,
    // also when the cancel comes while the block waits on the queue.
    void deliver(std::function<void()> block) {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        if (!queue_) {
            early_.push_back(std::move(block));
            return;
        }
        postLocked(std::move(block));
    }

    void postLocked(std::function<void()> block) {
        queue_->async([self = shared_from_this(), block = std::move(block)] {
            if (!self->isCancelled()) block();
        });
    }

    // State changes carry an error only when failed; the error travels by value so that no
    // empty optional is copied into the block.
    void postStateLocked(Connection::State state, NetworkError error = {}) {
        postLocked([self = shared_from_this(), state, error = std::move(error)] { self->reportState(state, error); });
    }

    void reportState(Connection::State state, const NetworkError& error) {
        Connection::StateHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = stateHandler_;
        }
        if (!handler) return;
        if (state == Connection::State::failed) {
            handler(state, error);
        } else {
            handler(state, std::nullopt);
        }
    }

    void deliverState(Connection::State state, NetworkError error = {}) {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        if (!queue_) {
            early_.push_back([self = shared_from_this(), state, error = std::move(error)] { self->reportState(state, error); });
            return;
        }
        postStateLocked(state, std::move(error));
    }

    // Network thread from here on.

    void beginConnect() {
        if (closed_ || failure_) return;
        resolver_ = std::make_unique<tcp::resolver>(core_->context);
        auto self = shared_from_this();
        resolver_->async_resolve(host_, std::to_string(port_), tcp::resolver::numeric_service,
                                 [self](const std::error_code& ec, tcp::resolver::results_type results) {
                                     if (self->closed_) return;
                                     if (ec) return self->fail(makeError(ec));
                                     self->connectTo(results);
                                 });
    }

    void connectTo(const tcp::resolver::results_type& results) {
        auto self = shared_from_this();
        asio::async_connect(socket_, results, [self](const std::error_code& ec, const tcp::endpoint& endpoint) {
            if (self->closed_) return;
            if (ec) return self->fail(makeError(ec));
            setCloseOnExec(self->socket_.native_handle());
            std::error_code ignored;
            if (self->noDelay_) self->socket_.set_option(tcp::no_delay(true), ignored);
            self->socket_.non_blocking(true, ignored);
            {
                std::lock_guard lock(self->mutex_);
                self->remote_ = endpointText(endpoint);
            }
            self->connected_ = true;
            self->deliverState(Connection::State::ready);
            self->pumpReads();
            self->pumpWrites();
            self->pumpContinuous();
        });
    }

    // Reports the failure once and closes the socket; what is pending or comes later completes
    // with the same error.
    void fail(const NetworkError& error) {
        if (failure_) return;
        failure_ = error;
        tailStopped_ = true;
        deliverState(Connection::State::failed, error);
        std::error_code ignored;
        socket_.close(ignored);
        takeAcceptPlace().release();
        pumpReads();
        pumpWrites();
        pumpContinuous();
    }

    void pumpReads() {
        while (!closed_ && !reading_ && !reads_.empty()) {
            if (failure_) {
                auto read = std::move(reads_.front());
                reads_.pop_front();
                deliver([completion = std::move(read.completion), error = *failure_] { completion({}, false, error); });
                continue;
            }
            if (!connected_) return;
            if (peerClosed_) {
                auto read = std::move(reads_.front());
                reads_.pop_front();
                deliver([completion = std::move(read.completion)] { completion({}, true, std::nullopt); });
                continue;
            }
            const auto& read = reads_.front();
            readBuffer_.resize(read.maximum);
            reading_ = true;
            auto self = shared_from_this();
            asio::async_read(socket_, asio::buffer(readBuffer_), asio::transfer_at_least(read.minimum),
                             [self](const std::error_code& ec, std::size_t count) { self->onRead(ec, count); });
        }
    }

    void onRead(const std::error_code& ec, std::size_t count) {
        reading_ = false;
        if (closed_ || reads_.empty()) return;
        auto read = std::move(reads_.front());
        reads_.pop_front();
        Bytes data(readBuffer_.begin(), readBuffer_.begin() + static_cast<std::ptrdiff_t>(count));
        if (!ec) {
            deliver([completion = std::move(read.completion), data = std::move(data)]() mutable {
                completion(std::move(data), false, std::nullopt);
            });
        } else if (ec == asio::error::eof) {
            peerClosed_ = true;
            deliver([completion = std::move(read.completion), data = std::move(data)]() mutable {
                completion(std::move(data), true, std::nullopt);
            });
        } else {
            const NetworkError error = failure_ ? *failure_ : makeError(ec);
            deliver([completion = std::move(read.completion), data = std::move(data), error]() mutable {
                completion(std::move(data), false, error);
            });
            fail(error);
        }
        pumpReads();
        pumpContinuous();
    }

    // Continuous reads: one wait at a time, after any reads armed with receive(); each read
    // takes what is waiting (up to the buffer size) into a buffer of that size, so an idle
    // connection holds no read buffer at all.
    void pumpContinuous() {
        if ((!continuousHandler_ && !frameHandler_) || continuousEnded_ || continuousWaiting_ || closed_) return;
        if (reading_ || !reads_.empty()) return;
        if (failure_) return endContinuous(false, *failure_);
        if (!connected_) return;
        if (peerClosed_) return endContinuous(true, std::nullopt);
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            if (heldForLimit_ || mustWaitLocked()) {
                if (pauseReadingLocked()) return;
            }
        }
        continuousWaiting_ = true;
        auto self = shared_from_this();
        if (moreWaiting_) {
            // The last read left bytes behind: read again without asking the system to wait,
            // behind whatever else the network thread has to do.
            asio::post(core_->context, [self] { self->onReadable({}); });
        } else {
            socket_.async_wait(tcp::socket::wait_read, [self](const std::error_code& ec) { self->onReadable(ec); });
        }
    }

    void onReadable(const std::error_code& ec) {
        continuousWaiting_ = false;
        if (closed_ || continuousEnded_ || (!continuousHandler_ && !frameHandler_)) return;
        if (failure_) return endContinuous(false, *failure_);
        if (ec) {
            const NetworkError error = makeError(ec);
            endContinuous(false, error);
            return fail(error);
        }
        if (frameHandler_) return readFrames();
        std::size_t limit;
        {
            std::lock_guard lock(mutex_);
            limit = receiveBufferSize_;
        }
        std::error_code readError;
        std::size_t available = socket_.available(readError);
        if (readError) available = 0;
        Bytes data(std::clamp<std::size_t>(available, 1, limit));
        const std::size_t count = socket_.read_some(asio::buffer(data), readError);
        if (readError == asio::error::would_block || readError == asio::error::try_again ||
            readError == asio::error::interrupted) {
            moreWaiting_ = false;
            return pumpContinuous();
        }
        if (readError == asio::error::eof) {
            peerClosed_ = true;
            return endContinuous(true, std::nullopt);
        }
        if (readError) {
            const NetworkError error = makeError(readError);
            endContinuous(false, error);
            return fail(error);
        }
        data.resize(count);
        moreWaiting_ = available > count;
        {
            std::lock_guard lock(mutex_);
            unhandledBytes_ += count;
        }
        deliver([self = shared_from_this(), handler = continuousHandler_, data = std::move(data), count]() mutable {
            (*handler)(std::move(data), false, std::nullopt);
            self->readHandled(count);
        });
        pumpContinuous();
    }

    // The last delivery of continuous reads: the close or the error.
    void endContinuous(bool isComplete, std::optional<NetworkError> error) {
        continuousEnded_ = true;
        frameBuffer_.reset();
        pending_.reset();
        if (frameHandler_) {
            auto handler = std::move(frameHandler_);
            frameHandler_.reset();
            deliver([handler, isComplete, error = std::move(error)] { (*handler)({}, nullptr, isComplete, error); });
            return;
        }
        auto handler = std::move(continuousHandler_);
        continuousHandler_.reset();
        deliver([handler, isComplete, error = std::move(error)] { (*handler)({}, isComplete, error); });
    }

    // Frame reading. A frame larger than a small read goes straight into a buffer of its own size,
    // found by peeking at its header, so its bytes are never copied; small frames are read many at
    // a time into one buffer and handed on as views into it. Buffers come from the connection's
    // pool and are reused once the owner let go of them.
    static constexpr std::size_t largestFrameRead = 65536;

    std::size_t frameLengthAt(const std::uint8_t* header) const {
        const std::uint8_t* p = header + frameFormat_.lengthOffset;
        return static_cast<std::size_t>(static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                        static_cast<std::uint32_t>(p[2]) << 16 |
                                        static_cast<std::uint32_t>(p[3]) << 24);
    }

    std::size_t pendingCount() const { return pending_ ? pendingEnd_ - pendingBegin_ : 0; }

    // Handles a read's outcome; false when nothing was read (the caller returns).
    bool frameReadSucceeded(const std::error_code& readError) {
        if (readError == asio::error::would_block || readError == asio::error::try_again ||
            readError == asio::error::interrupted) {
            moreWaiting_ = false;
            pumpContinuous();
            return false;
        }
        if (readError == asio::error::eof) {
            peerClosed_ = true;
            endContinuous(true, std::nullopt);
            return false;
        }
        if (readError) {
            const NetworkError error = makeError(readError);
            endContinuous(false, error);
            fail(error);
            return false;
        }
        return true;
    }

    // A frame counts against the read bound until its last holder lets go of it, not only until
    // the handler returned: an owner that keeps frames for a slower consumer (a disk) holds the
    // reading here, with only a few buffers out, and the kernel's socket buffer and TCP take the
    // rest.
    void deliverFrame(std::shared_ptr<Bytes> buffer, std::size_t offset, std::size_t size) {
        // What the owner keeps for the frame while it waits counts with it.
        const std::size_t counted = size + frameFormat_.costPerFrame;
        heldFrameBytes_.fetch_add(counted);
        std::weak_ptr<ConnectionState> weak = weak_from_this();
        const Bytes* bytes = buffer.get();
        SharedBytes storage(bytes, [buffer = std::move(buffer), weak, counted](const Bytes*) mutable {
            buffer.reset();  // back to the pool before reading may resume
            if (auto self = weak.lock()) self->frameReleased(counted);
        });
        deliver([handler = frameHandler_, storage = std::move(storage), offset, size] {
            (*handler)(std::span(storage->data() + offset, size), storage, false, std::nullopt);
        });
    }

    // ---- Frame tails: a large frame's run of bytes moved from the socket into a file. ----
    //
    // The network thread reads the frame's head and hands it on with a tail; reading then waits
    // until the tail is done. The owner moves the tail on its own queue: the socket's bytes go
    // into a pipe (pages passed on, not copied) and from the pipe into the file, so the bytes are
    // copied once, by the thread that writes the file. When the socket runs dry the network
    // thread waits for it and hands the move back to the owner's queue. What the owner lets go
    // of untaken, and what is left after a failed write, is read and dropped here.
    struct TailMove {
        OwnedFd file;    // a duplicate of the owner's file
        OwnedFd socket;  // a duplicate of the socket, made on the network thread: never a number
                         // the network thread closed and the system gave to something else
        DispatchQueuePtr queue;
        FrameTail::Completion completion;
        std::size_t remaining = 0;  // still in the socket
        std::size_t inPipe = 0;
        std::shared_ptr<Bytes> prefixStorage;
        std::span<const std::uint8_t> prefix;  // read already; written first
        FrameTail::Outcome outcome;
        // While the completion of a whole move runs, the owner may take the frame behind it
        // (takeFollowing); a taken frame's tail then holds the connection instead of the reader.
        bool followable = false;
        bool handedOn = false;
    };

    // The part of the tail that was read with the frames before it.
    static bool writeTailPrefix(TailMove& move) {
        while (!move.prefix.empty()) {
            const ssize_t n = ::write(move.file.get(), move.prefix.data(), move.prefix.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                move.outcome.fileError = n < 0 ? errno : EIO;
                return false;
            }
            move.prefix = move.prefix.subspan(static_cast<std::size_t>(n));
            move.outcome.written += static_cast<std::size_t>(n);
        }
        move.prefixStorage.reset();
        return true;
    }

    class Tail final : public FrameTail {
    public:
        // The tail's first `prefix.size()` bytes were read already (with the frames before it);
        // the rest is in the socket.
        Tail(std::shared_ptr<ConnectionState> state, OwnedFd socket, std::size_t size, std::shared_ptr<Bytes> storage,
             std::span<const std::uint8_t> prefix)
            : state_(std::move(state)),
              socket_(std::move(socket)),
              size_(size),
              storage_(std::move(storage)),
              prefix_(prefix) {}
        ~Tail() override {
            if (!taken_) state_->tailDone(size_ - prefix_.size());
        }
        std::size_t size() const override { return size_; }
        void moveInto(int fd, DispatchQueuePtr queue, Completion completion) override {
            if (!queue || std::exchange(taken_, true)) return;
            // The completion may hold the last reference to this tail: nothing of it is used once
            // the move runs.
            auto state = state_;
            auto move = state->makeTailMove(fd, std::move(socket_), size_ - prefix_.size(), std::move(storage_),
                                            prefix_, std::move(queue), std::move(completion));
            // Known before the move runs: it may complete at once, and its completion may ask for
            // the frame behind it.
            move_ = move;
            state->runTailMove(move);
        }
        std::optional<Following> takeFollowing(const FollowingFilter& accept) override {
            auto move = move_.lock();
            if (!move || !accept) return std::nullopt;
            return state_->takeFollowing(*move, accept);
        }

    private:
        std::shared_ptr<ConnectionState> state_;
        OwnedFd socket_;
        std::size_t size_;
        std::shared_ptr<Bytes> storage_;
        std::span<const std::uint8_t> prefix_;
        bool taken_ = false;
        // Held weakly: the move holds the owner's completion, which may hold this tail.
        std::weak_ptr<TailMove> move_;
    };

    std::shared_ptr<TailMove> makeTailMove(int fd, OwnedFd socket, std::size_t inSocket, std::shared_ptr<Bytes> storage,
                                           std::span<const std::uint8_t> prefix, DispatchQueuePtr queue,
                                           FrameTail::Completion completion) {
        auto move = std::make_shared<TailMove>();
        move->queue = std::move(queue);
        move->completion = std::move(completion);
        move->remaining = inSocket;
        move->socket = std::move(socket);
        move->prefixStorage = std::move(storage);
        move->prefix = prefix;
        move->file = OwnedFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!move->file.valid()) move->outcome.fileError = errno ? errno : EBADF;
        return move;
    }

    bool openTailPipe() {
        if (tailPipe_[0] >= 0) return true;
        if (::pipe2(tailPipe_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        // Room for a whole chunk where the system allows it; the move works with less.
        ::fcntl(tailPipe_[1], F_SETPIPE_SZ, 1 << 20);
        return true;
    }

    void closeTailPipe() {
        for (int& end : tailPipe_) {
            if (end >= 0) ::close(end);
            end = -1;
        }
    }

    // The pipe into the file; false (with the outcome's error) when the file refused.
    bool drainTailPipe(TailMove& move) {
        while (move.inPipe > 0) {
            const ssize_t n = ::splice(tailPipe_[0], nullptr, move.file.get(), nullptr, move.inPipe, SPLICE_F_MOVE);
            if (n > 0) {
                move.inPipe -= static_cast<std::size_t>(n);
                move.outcome.written += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EINVAL && copyTailPipe(move)) continue;  // a file that takes no splice
            move.outcome.fileError = n < 0 ? errno : EIO;
            return false;
        }
        return true;
    }

    // The same through a buffer, for files that cannot be spliced into.
    bool copyTailPipe(TailMove& move) {
        std::array<std::uint8_t, 65536> buffer{};
        const ssize_t got = ::read(tailPipe_[0], buffer.data(), std::min(buffer.size(), move.inPipe));
        if (got <= 0) return false;
        for (ssize_t done = 0; done < got;) {
            const ssize_t n = ::write(move.file.get(), buffer.data() + done, static_cast<std::size_t>(got - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // What the pipe held is out of the socket already and goes with the pipe.
                move.outcome.fileError = n < 0 ? errno : EIO;
                move.inPipe -= static_cast<std::size_t>(got);
                return false;
            }
            done += n;
            move.outcome.written += static_cast<std::size_t>(n);
        }
        move.inPipe -= static_cast<std::size_t>(got);
        return true;
    }

    // On the owner's queue.
    void runTailMove(const std::shared_ptr<TailMove>& move) {
        if (move->outcome.fileError == 0) writeTailPrefix(*move);
        while (move->outcome.fileError == 0) {
            if (move->remaining == 0 && move->inPipe == 0) break;
            if (tailStopped_ || !move->socket.valid()) {
                move->outcome.connectionEnded = true;
                break;
            }
            if (!openTailPipe()) {
                move->outcome.fileError = errno;
                break;
            }
            if (move->remaining > 0) {
                const ssize_t n = ::splice(move->socket.get(), nullptr, tailPipe_[1], nullptr, move->remaining,
                                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
                if (n > 0) {
                    move->remaining -= static_cast<std::size_t>(n);
                    move->inPipe += static_cast<std::size_t>(n);
                } else if (n == 0) {
                    move->outcome.connectionEnded = true;
                    break;
                } else if (errno == EINTR) {
                    continue;
                } else if (errno != EAGAIN || move->inPipe == 0) {
                    if (errno == EAGAIN) return waitForTail(move);
                    move->outcome.connectionEnded = true;
                    break;
                }
            }
            if (!drainTailPipe(*move)) break;
        }
        finishTailMove(move);
    }

    void waitForTail(const std::shared_ptr<TailMove>& move) {
        auto self = shared_from_this();
        auto backToQueue = [self, move] {
            move->queue->async([self, move] { self->runTailMove(move); });
        };
        runOnIo(
            [self, move, backToQueue] {
                if (self->closed_ || self->failure_) return backToQueue();
                self->socket_.async_wait(tcp::socket::wait_read,
                                         [backToQueue](const std::error_code&) { backToQueue(); });
            },
            backToQueue);
    }

    void finishTailMove(const std::shared_ptr<TailMove>& move) {
        if (move->inPipe > 0) closeTailPipe();  // bytes the file did not take go with the pipe
        move->inPipe = 0;
        move->file.reset();
        const std::size_t skip = move->outcome.connectionEnded ? 0 : move->remaining;
        auto completion = std::move(move->completion);
        move->followable = move->outcome.complete() && skip == 0;
        if (completion) completion(move->outcome);
        move->followable = false;
        move->socket.reset();
        // A frame taken behind it holds the connection now; its tail gives it back.
        if (!move->handedOn) tailDone(skip);
    }

    // On the owner's queue, from the completion of a whole move: the next frame, judged as the
    // reader would judge it (readFrames, readHeadWithTail), when it is a tailed frame whose head
    // is all there and `accept` takes it. Nothing of the frame is read otherwise. The reader is
    // waiting for the tail (tailOutstanding_) and left nothing of its own behind it (a tail takes
    // what the reader had read of the stream past its head), so the socket's next byte is the
    // frame's first.
    std::optional<FrameTail::Following> takeFollowing(TailMove& move, const FrameTail::FollowingFilter& accept) {
        if (!move.followable || move.handedOn || !move.socket.valid() || tailStopped_) return std::nullopt;
        std::size_t maximum = 0;
        std::size_t smallRead = 0;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_ || ownerPaused_) return std::nullopt;
            maximum = maximumFramePayload_;
            smallRead = std::min(receiveBufferSize_, largestFrameRead);
        }
        const std::size_t headerSize = frameFormat_.headerSize;
        std::array<std::uint8_t, FrameFormat::maximumHeadProbe> probe;
        const ssize_t got = ::recv(move.socket.get(), probe.data(), probe.size(), MSG_PEEK | MSG_DONTWAIT);
        if (got < static_cast<ssize_t>(headerSize)) return std::nullopt;
        const std::size_t probed = static_cast<std::size_t>(got);
        const std::size_t length = frameLengthAt(probe.data());
        if (!frameFormat_.hasMagic(probe.data()) || length > maximum) return std::nullopt;
        const std::size_t frameTotal = headerSize + length;
        if (frameTotal <= smallRead) return std::nullopt;
        const std::size_t head = tailedHeadLength(probe.data(), std::min(probed, frameTotal), frameTotal);
        if (head == 0) return std::nullopt;
        if (!accept(std::span<const std::uint8_t>(probe.data(), head), frameTotal - head)) return std::nullopt;
        auto buffer = std::make_shared<Bytes>(head);
        if (::recv(move.socket.get(), buffer->data(), head, MSG_DONTWAIT) != static_cast<ssize_t>(head)) {
            // Bytes seen a moment ago cannot vanish from a stream socket; if they did, the
            // stream is out of step and the connection ends.
            const NetworkError error{EIO, "frame head could not be read"};
            auto self = shared_from_this();
            runOnIo([self, error] {
                self->endContinuous(false, error);
                self->fail(error);
            }, nullptr);
            return std::nullopt;
        }
        move.handedOn = true;
        SharedBytes storage = std::move(buffer);
        auto tail = std::make_shared<Tail>(shared_from_this(), std::move(move.socket), frameTotal - head, nullptr,
                                           std::span<const std::uint8_t>());
        return FrameTail::Following{storage, std::span<const std::uint8_t>(storage->data(), head), std::move(tail)};
    }

    // Any thread: the tail is done; `skip` of its bytes are still in the socket, to be dropped.
    void tailDone(std::size_t skip) {
        auto self = shared_from_this();
        runOnIo(
            [self, skip] {
                self->skipBytes_ += skip;
                // The next frame is most likely there already: look before asking the system to wait.
                self->moreWaiting_ = true;
                {
                    std::lock_guard lock(self->mutex_);
                    self->tailOutstanding_ = false;
                    self->resumableLocked();
                }
                self->pumpContinuous();
            },
            nullptr);
    }

    // The length of a frame's head when the frame splits into a head and a tail: the head is
    // whole within the `known` bytes of its start, and what follows it is a tail of at least the
    // format's minimum. 0 when the frame does not split (it is read whole) or its head has not
    // all arrived.
    std::size_t tailedHeadLength(const std::uint8_t* frame, std::size_t known, std::size_t frameTotal) const {
        const std::size_t head = frameFormat_.headLength(frame, known);
        if (head < frameFormat_.headerSize || head > known || head >= frameTotal ||
            frameTotal - head < frameFormat_.minimumTail) {
            return 0;
        }
        return head;
    }

    // A tailed frame: the head, read alone, goes to the owner with the tail; reading waits for it.
    // `probed` bytes of the frame's start are in probe_: what the last small read left, then what
    // the socket holds.
    bool readHeadWithTail(std::size_t frameTotal, std::size_t probed) {
        const std::size_t carried = pendingCount();
        const std::size_t head = tailedHeadLength(probe_.data(), std::min(probed, frameTotal), frameTotal);
        if (head == 0) return false;
        // A head is small and its tail holds the reading anyway: it is not counted against the
        // read bound, so letting go of it wakes nobody.
        auto buffer = std::make_shared<Bytes>(head);
        const std::size_t fromPending = std::min(carried, head);
        if (fromPending > 0) std::copy_n(pending_->data() + pendingBegin_, fromPending, buffer->data());
        if (head > fromPending) {
            const ssize_t got =
                ::recv(socket_.native_handle(), buffer->data() + fromPending, head - fromPending, MSG_DONTWAIT);
            if (got != static_cast<ssize_t>(head - fromPending)) {
                // Bytes seen a moment ago cannot vanish from a stream socket.
                const NetworkError error{EIO, "frame head could not be read"};
                endContinuous(false, error);
                fail(error);
                return true;
            }
        }
        std::shared_ptr<Bytes> prefixStorage;
        std::span<const std::uint8_t> prefix;
        if (carried > head) {
            prefixStorage = pending_;
            prefix = std::span<const std::uint8_t>(pending_->data() + pendingBegin_ + head, carried - head);
        }
        pending_.reset();
        {
            std::lock_guard lock(mutex_);
            tailOutstanding_ = true;
        }
        SharedBytes storage = std::move(buffer);
        auto tail = std::make_shared<Tail>(shared_from_this(),
                                           OwnedFd(::fcntl(socket_.native_handle(), F_DUPFD_CLOEXEC, 0)),
                                           frameTotal - head, std::move(prefixStorage), prefix);
        deliver([handler = tailedHandler_, storage = std::move(storage), head, tail = std::move(tail)]() mutable {
            (*handler)(std::span(storage->data(), head), storage, std::move(tail));
        });
        pumpContinuous();
        return true;
    }

    // Bytes of a tail nobody took, read and dropped before the next frame.
    void skipTailBytes() {
        auto scratch = pool_->acquire(std::min(skipBytes_, largestFrameRead));
        const std::size_t wanted = std::min(skipBytes_, scratch->size());
        std::error_code readError;
        const std::size_t count = socket_.read_some(asio::buffer(scratch->data(), wanted), readError);
        if (!frameReadSucceeded(readError)) return;
        skipBytes_ -= count;
        moreWaiting_ = count == wanted;
        pumpContinuous();
    }

    void readFrames() {
        const std::size_t headerSize = frameFormat_.headerSize;
        if (skipBytes_ > 0) return skipTailBytes();
        std::size_t smallRead;
        {
            std::lock_guard lock(mutex_);
            smallRead = std::min(receiveBufferSize_, largestFrameRead);
        }
        if (!frameBuffer_) {
            // At the start of a frame: its header lies in what the last read left, or is peeked at.
            // Where frames may leave a tail, as much of the frame's start as a head may take is
            // looked at in the same peek.
            std::array<std::uint8_t, maximumFrameHeader> header{};
            const std::size_t wanted = tailedHandler_ ? probe_.size() : headerSize;
            std::uint8_t* into = tailedHandler_ ? probe_.data() : header.data();
            std::size_t probed = std::min(pendingCount(), wanted);
            if (probed > 0) std::copy_n(pending_->data() + pendingBegin_, probed, into);
            bool peeked = false;
            auto peek = [&] {
                if (peeked || probed >= wanted) return;
                peeked = true;
                const ssize_t got =
                    ::recv(socket_.native_handle(), into + probed, wanted - probed, MSG_PEEK | MSG_DONTWAIT);
                if (got > 0) probed += static_cast<std::size_t>(got);
            };
            if (probed < headerSize) peek();
            const std::size_t known = std::min(probed, headerSize);
            if (tailedHandler_) std::copy_n(probe_.data(), known, header.data());
            if (known == headerSize) {
                const std::size_t length = frameLengthAt(header.data());
                bool refused = false;
                {
                    std::lock_guard lock(mutex_);
                    if (length > maximumFramePayload_ && heldFrameBytes_.load() > 0) {
                        // Handling what was handed on may raise the maximum: wait for it.
                        heldForLimit_ = true;
                        if (pauseReadingLocked()) return;
                    }
                    refused = length > maximumFramePayload_ || !frameFormat_.hasMagic(header.data());
                }
                if (refused) {
                    // The header alone tells the owner why; nothing more is read.
                    deliverFrame(std::make_shared<Bytes>(header.begin(), header.begin() + headerSize), 0, headerSize);
                    continuousEnded_ = true;
                    frameHandler_.reset();
                    pending_.reset();
                    return;
                }
                if (headerSize + length > smallRead) {
                    // A frame whose start is still all in the socket may leave its tail there.
                    if (tailedHandler_) peek();
                    if (tailedHandler_ && readHeadWithTail(headerSize + length, probed)) return;
                    frameTotal_ = headerSize + length;
                    frameBuffer_ = pool_->acquire(frameTotal_);
                    frameFilled_ = pendingCount();
                    if (frameFilled_ > 0) {
                        std::copy_n(pending_->data() + pendingBegin_, frameFilled_, frameBuffer_->data());
                    }
                    pending_.reset();
                }
            }
        }
        std::error_code readError;
        if (frameBuffer_) {
            const std::size_t wanted = frameTotal_ - frameFilled_;
            const std::size_t count =
                socket_.read_some(asio::buffer(frameBuffer_->data() + frameFilled_, wanted), readError);
            if (!frameReadSucceeded(readError)) return;
            frameFilled_ += count;
            moreWaiting_ = count == wanted;
            if (frameFilled_ == frameTotal_) {
                deliverFrame(frameBuffer_, 0, frameTotal_);
                frameBuffer_.reset();
            }
            return pumpContinuous();
        }
        // Whole frames the last read left, where handing on stopped at the read bound: on without
        // reading more (the socket may hold nothing to wake a wait).
        if (pendingHoldsWholeFrame()) {
            deliverPendingFrames();
            return pumpContinuous();
        }
        // Small frames, or a header not yet whole: what is waiting, behind what the last read left.
        const std::size_t carried = pendingCount();
        const std::size_t capacity = std::max(smallRead, carried + 1);
        auto staging = pool_->acquire(capacity);
        if (carried > 0) std::copy_n(pending_->data() + pendingBegin_, carried, staging->data());
        std::size_t available = socket_.available(readError);
        if (readError) available = 0;
        const std::size_t count = socket_.read_some(asio::buffer(staging->data() + carried, capacity - carried), readError);
        if (!frameReadSucceeded(readError)) return;
        moreWaiting_ = available > count;
        pending_ = std::move(staging);
        pendingBegin_ = 0;
        pendingEnd_ = carried + count;
        deliverPendingFrames();
        pumpContinuous();
    }

    // The frame at the start of what the last read left, when it is all there; 0 when not (or
    // it is one the reader judges first: too large, or without the magic).
    std::size_t pendingFrameSize(std::size_t maximum) const {
        const std::size_t headerSize = frameFormat_.headerSize;
        if (pendingCount() < headerSize) return 0;
        const std::uint8_t* start = pending_->data() + pendingBegin_;
        const std::size_t length = frameLengthAt(start);
        if (length > maximum || !frameFormat_.hasMagic(start) || pendingCount() - headerSize < length) return 0;
        return headerSize + length;
    }

    bool pendingHoldsWholeFrame() {
        std::lock_guard lock(mutex_);
        return pendingFrameSize(maximumFramePayload_) > 0;
    }

    // Hands on the whole frames of what the last read left, as views into its buffer, until the
    // frames handed on are above the read bound or the owner holds reading: what a read brought
    // beyond that waits here, counted nowhere but in this one buffer, until reading goes on.
    void deliverPendingFrames() {
        for (;;) {
            std::size_t size = 0;
            {
                std::lock_guard lock(mutex_);
                if (mustWaitLocked()) break;
                size = pendingFrameSize(maximumFramePayload_);
            }
            if (size == 0) break;
            deliverFrame(pending_, pendingBegin_, size);
            pendingBegin_ += size;
        }
        const std::size_t left = pendingCount();
        if (left == 0) {
            pending_.reset();
        } else if (left >= frameFormat_.headerSize &&
                   left - frameFormat_.headerSize >= frameLengthAt(pending_->data() + pendingBegin_)) {
            // A whole frame is here: reading goes on with it once it may, without waiting for the
            // socket first (it may hold nothing more).
            moreWaiting_ = true;
        }
    }

    // Writes the queued sends in order, several at a time as one gathered write.
    void pumpWrites() {
        while (!closed_ && writesInFlight_ == 0 && !writes_.empty()) {
            if (failure_) {
                auto write = std::move(writes_.front());
                writes_.pop_front();
                sendTaken(write.size());
                if (write.completion) {
                    deliver([completion = std::move(write.completion), error = *failure_] { completion(error); });
                }
                continue;
            }
            if (!connected_) return;
            std::vector<asio::const_buffer> buffers;
            const std::size_t count = std::min(writes_.size(), maximumGatheredWrites);
            buffers.reserve(count);
            for (std::size_t i = 0; i < count; ++i) buffers.push_back(writes_[i].buffer());
            writesInFlight_ = count;
            auto self = shared_from_this();
            asio::async_write(socket_, buffers, [self](const std::error_code& ec, std::size_t) { self->onWrite(ec); });
        }
    }

    void onWrite(const std::error_code& ec) {
        const std::size_t count = std::min(writesInFlight_, writes_.size());
        writesInFlight_ = 0;
        if (closed_) return;
        std::optional<NetworkError> error;
        if (ec) error = failure_ ? *failure_ : makeError(ec);
        for (std::size_t i = 0; i < count; ++i) {
            auto write = std::move(writes_.front());
            writes_.pop_front();
            sendTaken(write.size());
            if (write.completion) deliver([completion = std::move(write.completion), error] { completion(error); });
        }
        if (error) fail(*error);
        pumpWrites();
    }

    std::shared_ptr<Core> core_;

    // Guarded by mutex_: touched by the owner's threads and the network thread.
    mutable std::mutex mutex_;
    std::size_t receiveBufferSize_ = 65536;
    std::size_t unhandledBytes_ = 0;  // continuous reads handed to the queue, not yet handled
    std::size_t maximumFramePayload_ = 0;
    bool heldForLimit_ = false;  // a frame over the maximum waits for the owner to let go of the others
    // Continuous reads wait for the queue or the owner to catch up. Atomic (and written under
    // mutex_) so that a frame's release, on any thread, can tell whether to resume them.
    std::atomic<bool> readPaused_ = false;
    std::atomic<std::size_t> heldFrameBytes_ = 0;  // frames handed on and not let go of yet
    bool ownerPaused_ = false;        // the owner holds continuous reads (setReceivingPaused)
    bool tailOutstanding_ = false;    // a frame's tail is with the owner: the socket is its until done
    // Set on the network thread once the socket closes or fails; the owner's queue reads it while
    // it moves a tail.
    std::atomic<bool> tailStopped_ = false;
    // The pipe a tail passes through: the owner's queue only, one tail at a time.
    int tailPipe_[2] = {-1, -1};
    std::size_t sendLimit_ = 0;
    std::size_t queuedSendBytes_ = 0;
    bool sendOverflowed_ = false;
    DispatchQueuePtr queue_;  // from start() until cancelled
    Connection::StateHandler stateHandler_;
    std::vector<std::function<void()>> early_;  // deliveries made before start()
    bool started_ = false;
    bool cancelled_ = false;
    bool pendingCancelReport_ = false;  // cancelled before start: report when started
    std::string remote_;
    AcceptBudget::Place acceptPlace_;  // until the socket closes or the owner takes it in

    // Network thread only.
    tcp::socket socket_;
    bool connected_ = false;
    bool isClient_ = false;
    std::string host_;
    std::uint16_t port_ = 0;
    bool noDelay_ = true;
    std::unique_ptr<tcp::resolver> resolver_;
    bool closed_ = false;
    bool peerClosed_ = false;
    std::optional<NetworkError> failure_;
    std::deque<PendingRead> reads_;
    bool reading_ = false;
    Bytes readBuffer_;
    std::shared_ptr<Connection::ReceiveCompletion> continuousHandler_;
    bool continuousWaiting_ = false;
    bool continuousEnded_ = false;
    bool moreWaiting_ = false;  // the last continuous read left bytes in the socket
    std::shared_ptr<Connection::FrameHandler> frameHandler_;
    FrameFormat frameFormat_;
    std::shared_ptr<ReceiveBufferPool> pool_;
    std::shared_ptr<Bytes> frameBuffer_;  // the large frame being read, and how far
    std::size_t frameTotal_ = 0;
    std::size_t frameFilled_ = 0;
    std::shared_ptr<Connection::TailedFrameHandler> tailedHandler_;
    std::size_t skipBytes_ = 0;  // of a tail, to be read and dropped
    std::array<std::uint8_t, FrameFormat::maximumHeadProbe> probe_{};
    std::shared_ptr<Bytes> pending_;  // bytes of the next frame(s) left by the last small read
    std::size_t pendingBegin_ = 0;
    std::size_t pendingEnd_ = 0;
    std::deque<PendingWrite> writes_;
    std::size_t writesInFlight_ = 0;
};

class AsioConnection final : public Connection {
public:
    explicit AsioConnection(std::shared_ptr<ConnectionState> state) : state_(std::move(state)) {}
    ~AsioConnection() override { state_->abandon(); }

    void setStateHandler(StateHandler handler) override { state_->setStateHandler(std::move(handler)); }
    void start(DispatchQueuePtr queue) override { state_->start(std::move(queue)); }
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override {
        state_->receive(minimum, maximum, std::move(completion));
    }
    void send(Bytes data, SendCompletion completion) override { state_->send(std::move(data), std::move(completion)); }
    void send(SharedBytes data, SendCompletion completion) override {
        state_->send(std::move(data), std::move(completion));
    }
    void startReceiving(std::size_t bufferSize, ReceiveCompletion handler) override {
        state_->startReceiving(bufferSize, std::move(handler));
    }
    void setReceiveBufferSize(std::size_t bytes) override { state_->setReceiveBufferSize(bytes); }
    void startReceivingFrames(FrameFormat format, std::size_t maximumPayload, std::size_t readSize,
                              FrameHandler handler) override {
        if (format.headerSize > maximumFrameHeader || format.lengthOffset + 4 > format.headerSize ||
            format.magicSize > std::min(format.magic.size(), format.headerSize)) {
            return;
        }
        state_->startReceivingFrames(format, maximumPayload, readSize, std::move(handler), tailedFrameHandler_);
    }
    void setMaximumFramePayload(std::size_t bytes) override { state_->setMaximumFramePayload(bytes); }
    void setReceivingPaused(bool paused) override { state_->setReceivingPaused(paused); }
    void leaveAcceptBudget() override { state_->leaveAcceptBudget(); }
    void setSendLimit(std::size_t bytes) override { state_->setSendLimit(bytes); }
    std::size_t queuedSendBytes() const override { return state_->queuedSendBytes(); }
    void cancel() override { state_->cancel(); }
    std::string remoteAddress() const override { return state_->remoteAddress(); }

private:
    std::shared_ptr<ConnectionState> state_;
};

class ListenerState final : public IoObject, public std::enable_shared_from_this<ListenerState> {
public:
    ListenerState(std::shared_ptr<Core> core, tcp::acceptor acceptor, std::uint16_t port,
                  const ListenerParameters& parameters)
        : core_(std::move(core)), acceptor_(std::move(acceptor)), backoff_(core_->context), port_(port),
          parameters_(parameters) {}

    std::uint16_t port() const { return port_; }

    void setStateHandler(Listener::StateHandler handler) {
        std::lock_guard lock(mutex_);
        if (!cancelled_) stateHandler_ = std::move(handler);
    }
    void setNewConnectionHandler(Listener::NewConnectionHandler handler) {
        std::lock_guard lock(mutex_);
        if (!cancelled_) connectionHandler_ = std::move(handler);
    }

    void start(DispatchQueuePtr queue) {
        if (!queue) return;
        {
            std::lock_guard lock(mutex_);
            if (queue_ || cancelled_) return;
            queue_ = std::move(queue);
            postLocked([self = shared_from_this()] { self->reportState(Listener::State::ready, std::nullopt); });
        }
        auto self = shared_from_this();
        if (!core_->post([self] { self->acceptNext(); })) {
            deliver([self] { self->reportState(Listener::State::failed, stoppedError()); });
        }
    }

    void cancel() {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            auto handler = std::move(stateHandler_);
            stateHandler_ = nullptr;
            connectionHandler_ = nullptr;
            if (queue_) {
                queue_->async([handler] {
                    if (handler) handler(Listener::State::cancelled, std::nullopt);
                });
            }
            queue_.reset();
        }
        closeSoon();
    }

    void abandon() {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            stateHandler_ = nullptr;
            connectionHandler_ = nullptr;
            queue_.reset();
        }
        closeSoon();
    }

    void closeOnIoThread() override {
        if (closed_) return;
        closed_ = true;
        std::error_code ignored;
        backoff_.cancel();
        acceptor_.close(ignored);
        place_.release();
    }

private:
    bool isCancelled() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    void closeSoon() {
        auto self = shared_from_this();
        core_->post([self] { self->closeOnIoThread(); });
    }

    void postLocked(std::function<void()> block) {
        queue_->async([self = shared_from_this(), block = std::move(block)] {
            if (!self->isCancelled()) block();
        });
    }

    void deliver(std::function<void()> block) {
        std::lock_guard lock(mutex_);
        if (cancelled_ || !queue_) return;
        postLocked(std::move(block));
    }

    void reportState(Listener::State state, const std::optional<NetworkError>& error) {
        Listener::StateHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = stateHandler_;
        }
        if (handler) handler(state, error);
    }

    void acceptNext() {
        if (closed_) return;
        // A connection is counted from its accept: without a free place nothing is accepted, and
        // the kernel's backlog holds the newcomers until a connection is closed or taken in.
        if (parameters_.acceptBudget && !place_) {
            std::weak_ptr<ListenerState> weak = weak_from_this();
            place_ = parameters_.acceptBudget->take([weak, core = std::weak_ptr<Core>(core_)] {
                auto self = weak.lock();
                auto live = core.lock();
                if (self && live) live->post([self] { self->acceptNext(); });
            });
            if (!place_) return;
        }
        auto self = shared_from_this();
        acceptor_.async_accept([self](const std::error_code& ec, tcp::socket socket) {
            self->onAccept(ec, std::move(socket));
        });
    }

    void onAccept(const std::error_code& ec, tcp::socket socket) {
        if (closed_) return;
        if (ec) {
            if (isTransientAcceptError(ec)) return acceptNext();
            if (isResourceAcceptError(ec)) {
                auto self = shared_from_this();
                backoff_.expires_after(std::chrono::milliseconds(100));
                backoff_.async_wait([self](const std::error_code& waitError) {
                    if (!waitError) self->acceptNext();
                });
                return;
            }
            const NetworkError error = makeError(ec);
            deliver([self = shared_from_this(), error] { self->reportState(Listener::State::failed, error); });
            closeOnIoThread();
            return;
        }
        setCloseOnExec(socket.native_handle());
        std::error_code ignored;
        if (parameters_.noDelay) socket.set_option(tcp::no_delay(true), ignored);
        applyKeepAlive(socket.native_handle(), parameters_);
        auto state = std::make_shared<ConnectionState>(core_, std::move(socket), std::move(place_));
        if (!core_->track(state)) {
            state->closeOnIoThread();
            return;
        }
        ConnectionPtr connection = std::make_shared<AsioConnection>(state);
        deliver([self = shared_from_this(), connection] {
            Listener::NewConnectionHandler handler;
            {
                std::lock_guard lock(self->mutex_);
                handler = self->connectionHandler_;
            }
            // Nobody to take it: dropping the handle closes it.
            if (handler) handler(connection);
        });
        acceptNext();
    }

    std::shared_ptr<Core> core_;
    mutable std::mutex mutex_;
    DispatchQueuePtr queue_;
    Listener::StateHandler stateHandler_;
    Listener::NewConnectionHandler connectionHandler_;
    bool cancelled_ = false;

    // Network thread only (after construction).
    tcp::acceptor acceptor_;
    asio::steady_timer backoff_;
    std::uint16_t port_;
    ListenerParameters parameters_;
    bool closed_ = false;
    AcceptBudget::Place place_;  // taken for the next connection before accepting it
};

class AsioListener final : public Listener {
public:
    explicit AsioListener(std::shared_ptr<ListenerState> state) : state_(std::move(state)) {}
    ~AsioListener() override { state_->abandon(); }

    void setStateHandler(StateHandler handler) override { state_->setStateHandler(std::move(handler)); }
    void setNewConnectionHandler(NewConnectionHandler handler) override {
        state_->setNewConnectionHandler(std::move(handler));
    }
    void start(DispatchQueuePtr queue) override { state_->start(std::move(queue)); }
    void cancel() override { state_->cancel(); }
    std::uint16_t port() const override { return state_->port(); }

private:
    std::shared_ptr<ListenerState> state_;
};

}  // namespace

AsioNetworkService::AsioNetworkService() : core_(std::make_shared<Core>()) {}

AsioNetworkService::~AsioNetworkService() {
    core_->shutdown();
}

std::shared_ptr<Listener> AsioNetworkService::makeListener(const ListenerParameters& parameters,
                                                           std::optional<NetworkError>& error) {
    error.reset();
    std::error_code ec;
    tcp::endpoint endpoint;
    bool v6Only = false;
    switch (parameters.family) {
        case ListenerParameters::Family::ipv4: {
            auto address = parameters.host.empty() ? asio::ip::address_v4::any()
                                                   : asio::ip::make_address_v4(parameters.host, ec);
            endpoint = tcp::endpoint(address, parameters.port);
            break;
        }
        case ListenerParameters::Family::ipv6: {
            auto address = parameters.host.empty() ? asio::ip::address_v6::any()
                                                   : asio::ip::make_address_v6(parameters.host, ec);
            endpoint = tcp::endpoint(address, parameters.port);
            v6Only = true;
            break;
        }
        case ListenerParameters::Family::any: {
            auto address = parameters.host.empty() ? asio::ip::address(asio::ip::address_v6::any())
                                                   : asio::ip::make_address(parameters.host, ec);
            endpoint = tcp::endpoint(address, parameters.port);
            break;
        }
    }
    if (ec) {
        error = NetworkError{EINVAL, "not a numeric address: " + parameters.host};
        return nullptr;
    }

    tcp::acceptor acceptor(core_->context);
    acceptor.open(endpoint.protocol(), ec);
    if (ec && parameters.family == ListenerParameters::Family::any && parameters.host.empty()) {
        // No IPv6 on this machine: the unbound listener takes IPv4 alone.
        endpoint = tcp::endpoint(asio::ip::address_v4::any(), parameters.port);
        ec.clear();
        acceptor.open(endpoint.protocol(), ec);
    }
    if (ec) {
        error = makeError(ec);
        return nullptr;
    }
    setCloseOnExec(acceptor.native_handle());
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec && endpoint.protocol() == tcp::v6()) acceptor.set_option(asio::ip::v6_only(v6Only), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    std::uint16_t port = 0;
    if (!ec) port = acceptor.local_endpoint(ec).port();
    if (ec) {
        error = makeError(ec);
        return nullptr;
    }
    auto state = std::make_shared<ListenerState>(core_, std::move(acceptor), port, parameters);
    if (!core_->track(state)) {
        error = stoppedError();
        return nullptr;
    }
    return std::make_shared<AsioListener>(state);
}

std::shared_ptr<PathMonitor> AsioNetworkService::makePathMonitor() {
    return makePollingPathMonitor([] { return networkPathFromInterfaces(currentInterfaceAddresses()); }, 2.0);
}

ConnectionPtr AsioNetworkService::makeConnection(const std::string& host, std::uint16_t port, bool noDelay) {
    auto state = std::make_shared<ConnectionState>(core_, host, port, noDelay);
    core_->track(state);
    return std::make_shared<AsioConnection>(state);
}

}  // namespace qm
