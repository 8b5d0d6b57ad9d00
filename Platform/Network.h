#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/ByteIO.h"
#include "Platform/DispatchQueue.h"

namespace qm {

// One immutable buffer that many connections send without copying it (a broadcast packet).
using SharedBytes = std::shared_ptr<const Bytes>;

struct NetworkError {
    int code = 0;             // errno-style code where there is one
    std::string description;  // human-readable, goes into log lines
};

// One TCP connection, in the shape the server needs: started on a queue, on which every
// handler and completion then runs; reads of a bounded size; whole-message sends.
class Connection {
public:
    enum class State { setup, preparing, ready, failed, cancelled };
    using StateHandler = std::function<void(State, const std::optional<NetworkError>&)>;
    // data may be empty; isComplete means the peer closed its side.
    using ReceiveCompletion =
        std::function<void(Bytes data, bool isComplete, const std::optional<NetworkError>& error)>;
    using SendCompletion = std::function<void(const std::optional<NetworkError>& error)>;

    virtual ~Connection() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void start(DispatchQueuePtr queue) = 0;
    // Arms one read of at least `minimum` and at most `maximum` bytes.
    virtual void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) = 0;
    // Sends the bytes as one message; the completion (if any) runs on the queue once they
    // were handed to the system or the send failed. Sends keep their order.
    virtual void send(Bytes data, SendCompletion completion = nullptr) = 0;
    // The same for a buffer shared with other connections; it is never copied per connection.
    virtual void send(SharedBytes data, SendCompletion completion = nullptr);

    // Keeps reading on the network side and hands every read (1 to `bufferSize` bytes) to the
    // queue, in order, until the peer closes, an error occurs or the connection is cancelled.
    // Reading pauses while reads handed to the queue and not yet handled exceed twice the
    // buffer size, so a busy queue bounds what a fast peer can make the Host hold.
    virtual void startReceiving(std::size_t bufferSize, ReceiveCompletion handler);
    // Changes the size of later reads (a session that signed in may read more at a time).
    virtual void setReceiveBufferSize(std::size_t bytes);
    // The most bytes that may wait to be sent (0 = no bound). A send that would pass it fails
    // the connection instead: the state handler reports `failed` with ENOBUFS ("send queue
    // full"), and nothing more is queued. A peer that stops reading cannot grow the Host.
    virtual void setSendLimit(std::size_t bytes);
    // Bytes handed to send() and not yet taken by the system.
    virtual std::size_t queuedSendBytes() const;
    // Closes the connection; the state handler then reports `cancelled` once.
    virtual void cancel() = 0;
    // "address:port" of the peer, or empty when unknown.
    virtual std::string remoteAddress() const = 0;

private:
    // State of the portable startReceiving/send(SharedBytes) built on receive()/send(Bytes);
    // implementations that read and send natively override those instead.
    void armPortableReceive(std::shared_ptr<ReceiveCompletion> handler);
    std::size_t portableReceiveSize_ = 65536;
};

using ConnectionPtr = std::shared_ptr<Connection>;

struct ListenerParameters {
    enum class Family { ipv4, ipv6, any };
    Family family = Family::any;  // any = one unbound (dual-stack) listener
    std::string host;             // empty = every address of the family; else a literal address
    std::uint16_t port = 0;       // 0 = let the system choose
    bool noDelay = true;          // TCP_NODELAY on accepted connections
    // TCP keepalive on accepted connections, so a peer whose network vanished is noticed:
    // probes after `keepAliveIdle` seconds of silence, every `keepAliveInterval` seconds, and
    // the connection fails after `keepAliveCount` unanswered probes. 0 = the system's default.
    int keepAliveIdle = 0;
    int keepAliveInterval = 0;
    int keepAliveCount = 0;
};

class Listener {
public:
    enum class State { setup, ready, failed, cancelled };
    using StateHandler = std::function<void(State, const std::optional<NetworkError>&)>;
    using NewConnectionHandler = std::function<void(ConnectionPtr)>;

    virtual ~Listener() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
    virtual void start(DispatchQueuePtr queue) = 0;
    virtual void cancel() = 0;
    // The bound port once ready (useful when 0 was asked for).
    virtual std::uint16_t port() const = 0;
};

using ListenerPtr = std::shared_ptr<Listener>;

// A description of the machine's network as the path monitor sees it.
struct NetworkPath {
    bool satisfied = false;
    std::vector<std::string> interfaceNames;  // up, non-loopback interfaces with an address
    friend bool operator==(const NetworkPath&, const NetworkPath&) = default;
};

class PathMonitor {
public:
    virtual ~PathMonitor() = default;
    // The handler runs on the queue at start and whenever the path changes.
    virtual void start(DispatchQueuePtr queue, std::function<void(const NetworkPath&)> handler) = 0;
    virtual void cancel() = 0;
};

class NetworkService {
public:
    virtual ~NetworkService() = default;
    // Fails (returns the error) when the parameters cannot be bound.
    virtual std::shared_ptr<Listener> makeListener(const ListenerParameters& parameters,
                                                   std::optional<NetworkError>& error) = 0;
    virtual std::shared_ptr<PathMonitor> makePathMonitor() = 0;
};

}  // namespace qm
