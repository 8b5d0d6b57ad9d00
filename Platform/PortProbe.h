#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Core/DispatchQueue.h"

namespace qm {

// One outgoing TCP connection attempt whose only purpose is to learn whether a port answers. It
// reports states on the queue it was started on; nothing is ever sent or read.
class ProbeConnection {
public:
    enum class State { setup, preparing, waiting, ready, failed, cancelled };
    // `error` describes the failure (failed) or what the attempt waits for (waiting).
    using StateHandler = std::function<void(State, const std::string& error)>;
    virtual ~ProbeConnection() = default;
    // An empty handler removes it: no state is reported after that.
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void start(DispatchQueuePtr queue) = 0;
    virtual void cancel() = 0;
};

class PortProber {
public:
    virtual ~PortProber() = default;
    virtual std::shared_ptr<ProbeConnection> makeConnection(const std::string& host, std::uint16_t port) = 0;
};

// Attempts whose outcomes a test delivers.
class ScriptedProbeConnection final : public ProbeConnection {
public:
    ScriptedProbeConnection(std::string host, std::uint16_t port) : host(std::move(host)), port(port) {}
    void setStateHandler(StateHandler handler) override { handler_ = std::move(handler); }
    void start(DispatchQueuePtr queue) override { queue_ = std::move(queue); }
    void cancel() override { cancelled = true; }
    // Delivers `state` on the queue the attempt was started on (to the handler current then).
    void deliver(State state, const std::string& error = {}) {
        if (!queue_) return;
        queue_->async([this, state, error] {
            // A copy: the handler may remove itself while it runs.
            if (auto handler = handler_) handler(state, error);
        });
    }
    bool hasHandler() const { return static_cast<bool>(handler_); }
    const DispatchQueuePtr& queue() const { return queue_; }

    const std::string host;
    const std::uint16_t port;
    bool cancelled = false;

private:
    StateHandler handler_;
    DispatchQueuePtr queue_;
};

class ScriptedPortProber final : public PortProber {
public:
    std::shared_ptr<ProbeConnection> makeConnection(const std::string& host, std::uint16_t port) override {
        auto connection = std::make_shared<ScriptedProbeConnection>(host, port);
        connections.push_back(connection);
        return connection;
    }
    std::vector<std::shared_ptr<ScriptedProbeConnection>> connections;
};

}  // namespace qm
