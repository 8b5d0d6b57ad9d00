#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/AcceptBudget.h"
#include "Platform/Core/ByteIO.h"
#include "Platform/Core/DispatchQueue.h"

namespace qm {

// One immutable buffer that many connections send without copying it (a broadcast packet).
using SharedBytes = std::shared_ptr<const Bytes>;

// The shape of a length-prefixed stream: frames of `headerSize` bytes of header, holding the
// payload's length as a 32-bit little-endian integer at `lengthOffset`, then the payload. A
// header that does not start with the first `magicSize` bytes of `magic` is refused.
struct FrameFormat {
    std::size_t headerSize = 8;
    std::size_t lengthOffset = 4;
    std::array<std::uint8_t, 8> magic{};
    std::size_t magicSize = 0;

    bool hasMagic(const std::uint8_t* header) const {
        return std::equal(magic.begin(), magic.begin() + static_cast<std::ptrdiff_t>(magicSize), header);
    }

    // Frames whose payload ends in a long run of opaque bytes (a file's data) may be handed on as
    // their head alone, the run left in the connection to be moved into a file without passing
    // through a buffer (FrameTail). `headLength` reads the start of a frame (its header included;
    // `available` bytes of it) and answers how many bytes of the frame form its head, or 0 when
    // the frame is not one to split (or those bytes do not tell yet). Only runs of at least
    // `minimumTail` bytes are left behind.
    std::size_t (*headLength)(const std::uint8_t* frame, std::size_t available) = nullptr;
    std::size_t minimumTail = 65536;
    // The most bytes of a frame's start read to find its head.
    static constexpr std::size_t maximumHeadProbe = 4096;
    // What a frame costs its owner besides its own bytes while it waits to be handled (the
    // owner's bookkeeping for it): counted with the frame against the read bound, so a stream of
    // tiny frames is read no further ahead, in what it costs, than one of large frames.
    std::size_t costPerFrame = 0;
};

// The rest of a frame, still in the connection, behind the head that was handed on. The owner
// moves it into a file (moveInto) or lets go of it: then its bytes are read and dropped. Nothing
// more is read from the connection until that is done, so the tail holds the stream in order.
class FrameTail {
public:
    // `written` bytes went into the file. An error from the file leaves the rest of the tail
    // read and dropped, so the stream stays in step; an error from the connection (it ended)
    // comes with `connectionEnded`.
    struct Outcome {
        std::size_t written = 0;
        int fileError = 0;  // errno of a failed write, 0 when none
        bool connectionEnded = false;
        bool complete() const { return fileError == 0 && !connectionEnded; }
    };
    using Completion = std::function<void(const Outcome& outcome)>;

    // The frame right behind a tail, taken by the tail's owner instead of the reader: its head
    // (header included) lies in `storage`, its tail holds the connection as the first one did.
    struct Following {
        SharedBytes storage;
        std::span<const std::uint8_t> head;
        std::shared_ptr<FrameTail> tail;
    };
    // Judges a following frame by its head (header included) and its tail's length.
    using FollowingFilter = std::function<bool(std::span<const std::uint8_t> head, std::size_t tailSize)>;

    virtual ~FrameTail() = default;
    // The tail's length in bytes.
    virtual std::size_t size() const = 0;
    // Writes the tail at the file's current position, on `queue` (the caller's: the writes may
    // wait for the disk, never on the network's thread), and calls `completion` there, once,
    // before the connection reads on. May be called once; call it from `queue`.
    virtual void moveInto(int fd, DispatchQueuePtr queue, Completion completion) = 0;
    // Only from inside this tail's completion, after a whole move (Outcome::complete): the frame
    // right behind it, without handing the connection back to the reader, when the reader would
    // split that frame too, its head is all in the connection already, reading is neither held
    // (the owner's pause) nor ended, and `accept` takes it. Otherwise nothing, and nothing of that
    // frame is read: the connection goes back to the reader when the completion returns, at the
    // frame's start, and the frame takes the reader's road. Owners that keep a tail for this hold
    // it through its completion. Tails that did not come from a connection of their own have no
    // frame behind them.
    virtual std::optional<Following> takeFollowing(const FollowingFilter& accept) {
        (void)accept;
        return std::nullopt;
    }
};

using FrameTailPtr = std::shared_ptr<FrameTail>;

class FrameAssembler;

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
    // Arms one read of at least `minimum` and at most `maximum` bytes. Reads armed this way come
    // before continuous reads (startReceiving), which begin once none is outstanding.
    virtual void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) = 0;
    // Sends the bytes as one message; the completion (if any) runs on the queue once they
    // were handed to the system or the send failed. Sends keep their order.
    virtual void send(Bytes data, SendCompletion completion = nullptr) = 0;
    // The same for a buffer shared with other connections; it is never copied per connection.
    virtual void send(SharedBytes data, SendCompletion completion = nullptr) = 0;

    // Keeps reading on the network side and hands every read (1 to `bufferSize` bytes) to the
    // handler on the queue, in order, until the peer closes (a last call with isComplete), an
    // error occurs (a last call with the error) or the connection is cancelled (no call after
    // cancel() returned on the queue). Reading pauses while reads handed to the queue and not
    // yet handled exceed twice the buffer size, so a busy queue bounds what a fast peer can
    // make the Host hold. A second call is ignored.
    virtual void startReceiving(std::size_t bufferSize, ReceiveCompletion handler) = 0;
    // Changes the size of later continuous reads (a session that signed in may read more).
    virtual void setReceiveBufferSize(std::size_t bytes) = 0;

    // `frame` (header and payload) lies inside `storage`, which may be larger and is reused once
    // every holder let go; data is empty on the last call (isComplete or error). A frame shorter
    // than its header announces is a refused header: reading has stopped.
    using FrameHandler = std::function<void(std::span<const std::uint8_t> frame, const SharedBytes& storage,
                                            bool isComplete, const std::optional<NetworkError>& error)>;
    // Continuous reads cut into whole frames before they reach the queue, under the same
    // back-pressure as startReceiving (`readSize` plays the buffer size); connections that read
    // frames themselves count a frame, with the format's costPerFrame, until the owner lets go of
    // its storage, so an owner that keeps frames for a slower consumer holds the reading too, and
    // hand on no further frame, not even one read already, while that count is above the bound
    // or the owner holds reading. A header without the format's magic is handed on alone and
    // reading stops. A frame announcing more than the current maximum payload is judged again
    // once every frame handed on was handled (the owner may raise the maximum while handling
    // one); if it is still too large, its header alone is handed on and reading stops.
    // Connections that can read straight into a frame's own buffer do so; the default puts frames
    // together on the queue from startReceiving's reads (counting each read until its frames
    // were handed on, not the frames after). Use either this or startReceiving, once.
    virtual void startReceivingFrames(FrameFormat format, std::size_t maximumPayload, std::size_t readSize,
                                      FrameHandler handler);
    // A frame split by the format's `headLength`: `head` (the frame's start, header included)
    // lies in `storage`; `tail` holds the rest. Given before startReceivingFrames, it receives the
    // frames the format splits, in stream order with the others; without it nothing is split.
    using TailedFrameHandler =
        std::function<void(std::span<const std::uint8_t> head, const SharedBytes& storage, FrameTailPtr tail)>;
    void setTailedFrameHandler(TailedFrameHandler handler) { tailedFrameHandler_ = std::move(handler); }
    // Changes the maximum payload of frames not yet judged.
    virtual void setMaximumFramePayload(std::size_t bytes);
    // Holds continuous reads while true, however idle the queue is: an owner whose consumer
    // falls behind (a disk slower than the network) lets TCP slow the peer instead of holding
    // what it sends. Reads go on once it is false again. A read already handed to the queue is
    // still delivered. Connections without flow control ignore it.
    virtual void setReceivingPaused(bool paused) { (void)paused; }
    // The most bytes that may wait to be sent (0 = no bound). A send that would take them past
    // it (also a single send larger than the bound) fails the connection instead: the state
    // handler reports `failed` with ENOBUFS ("send queue full") once, the socket closes, that
    // send and later ones complete with the same error and nothing more is queued. A peer that
    // stops reading cannot grow the Host.
    virtual void setSendLimit(std::size_t bytes) = 0;
    // Bytes handed to send() and not yet taken by the system (shared buffers by their size).
    virtual std::size_t queuedSendBytes() const = 0;
    // Closes the connection; the state handler then reports `cancelled` once.
    virtual void cancel() = 0;
    // An accepted connection holds a place of its listener's AcceptBudget until its socket is
    // closed; its owner gives the place back earlier once it counts the connection elsewhere (a
    // Viewer that signed in). Connections without a budget ignore it.
    virtual void leaveAcceptBudget() {}
    // "address:port" of the peer, or empty when unknown.
    virtual std::string remoteAddress() const = 0;

protected:
    TailedFrameHandler tailedFrameHandler_;

private:
    // The default frame reading's state (queue side).
    std::shared_ptr<FrameAssembler> frameAssembler_;
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
    // Places shared with other listeners for the connections accepted and not yet taken in (see
    // AcceptBudget): without a free place the listener does not accept. None: no bound.
    std::shared_ptr<AcceptBudget> acceptBudget;
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
