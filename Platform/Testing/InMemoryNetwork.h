#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Network.h"

namespace qm {

class InMemoryListener;
class InMemoryPathMonitor;

// A network inside the process for tests: listeners are found by port, `connect` makes a pair
// of connected ends, and the path monitors report whatever path the test sets. Every handler
// and completion is delivered with queue->async, so a test on manual queues pumps it with
// runUntilIdle().
class InMemoryNetworkService final : public NetworkService,
                                     public std::enable_shared_from_this<InMemoryNetworkService> {
public:
    InMemoryNetworkService() = default;

    // Port 0 takes the next free port from 49152 up. A port is taken by a live listener of the
    // same family or of family `any`; IPv4 and IPv6 listeners may share one.
    std::shared_ptr<Listener> makeListener(const ListenerParameters& parameters,
                                           std::optional<NetworkError>& error) override;
    std::shared_ptr<PathMonitor> makePathMonitor() override;

    // The client end of a new pair whose other end goes to the listener on `port` (IPv4 first,
    // then any, then IPv6) once that listener has started. With no such listener the client
    // fails with ECONNREFUSED when started. The server end reports `fromAddress` and a fresh
    // port as its remote address.
    ConnectionPtr connect(std::uint16_t port, const std::string& fromAddress = "127.0.0.1");

    // Sets the path every monitor reports; monitors that were started report it when it differs
    // from what they reported last.
    void setPath(const NetworkPath& path);
    NetworkPath path() const;

    // Asked before every bind; an error returned here makes makeListener fail with it.
    void setBindFilter(std::function<std::optional<NetworkError>(const ListenerParameters&)> filter);

    // Live listeners on a port (started or not, not cancelled).
    std::size_t listenerCount(std::uint16_t port) const;

private:
    friend class InMemoryListener;
    friend class InMemoryPathMonitor;

    mutable std::mutex mutex_;
    std::multimap<std::uint16_t, std::weak_ptr<InMemoryListener>> listeners_;
    std::vector<std::weak_ptr<InMemoryPathMonitor>> monitors_;
    std::function<std::optional<NetworkError>(const ListenerParameters&)> bindFilter_;
    NetworkPath path_{true, {"sim0"}};  // until a test sets another
    std::uint16_t nextEphemeralPort_ = 49152;
    std::uint16_t nextClientPort_ = 50000;
};

// One end of an in-memory pair. Bytes sent on one end become readable on the other in order;
// cancelling one end is a close the other end reads as isComplete.
class InMemoryConnection final : public Connection, public std::enable_shared_from_this<InMemoryConnection> {
public:
    struct Pipe;
    InMemoryConnection(std::shared_ptr<Pipe> pipe, int side, std::string remoteAddress);
    ~InMemoryConnection() override;

    void setStateHandler(StateHandler handler) override;
    void start(DispatchQueuePtr queue) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    void send(Bytes data, SendCompletion completion) override;
    // Copies into the peer's inbox (the wire); the shared buffer itself is not copied or kept.
    void send(SharedBytes data, SendCompletion completion) override;
    void startReceiving(std::size_t bufferSize, ReceiveCompletion handler) override;
    // Cuts frames from what arrived one at a time and counts each, with the format's
    // costPerFrame, until its storage is let go of, as a socket connection reading frames does.
    void startReceivingFrames(FrameFormat format, std::size_t maximumPayload, std::size_t readSize,
                              FrameHandler handler) override;
    void setMaximumFramePayload(std::size_t bytes) override;
    void setReceiveBufferSize(std::size_t bytes) override;
    void setReceivingPaused(bool paused) override;
    // A peer that does not read leaves the bytes in its inbox; those count as waiting to be sent
    // (there is no system buffer in between), so the limit trips as soon as they pass it.
    void setSendLimit(std::size_t bytes) override;
    std::size_t queuedSendBytes() const override;
    void cancel() override;
    void leaveAcceptBudget() override;
    std::string remoteAddress() const override;

    // Makes this end fail as a broken connection would: it reports `failed` with the error and
    // its pending and later operations complete with it; the other end reads a close.
    void simulateFailure(NetworkError error);
    // Bytes sent to this end that no receive has taken yet.
    std::size_t bufferedByteCount() const;

private:
    friend class InMemoryNetworkService;
    friend class InMemoryListener;
    void refuse(NetworkError error);
    // A server end takes the place its listener held for it, until it is closed or taken in.
    void adoptAcceptPlace(AcceptBudget::Place place);
    void cancelPipeEnd();
    void sendBytes(const Bytes& data, SendCompletion completion);
    // Fails this end (pipe locked): reports `failed`, fails its reads, closes the other end.
    void failLocked(NetworkError error);

    std::shared_ptr<Pipe> pipe_;
    int side_;
    std::string remote_;
    std::optional<NetworkError> refusal_;  // set on a client end that has nobody to talk to
    std::mutex placeMutex_;
    AcceptBudget::Place acceptPlace_;
};

}  // namespace qm
