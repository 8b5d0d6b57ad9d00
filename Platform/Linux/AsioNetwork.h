#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Network.h"
#include "Platform/NetworkInterfaces.h"

namespace qm {

// The network on real sockets. One thread owned by the service runs every socket; each
// connection and listener hops its completions and state changes to the queue it was started
// on. Destroying the service closes whatever is still open and joins its thread.
class AsioNetworkService final : public NetworkService {
public:
    AsioNetworkService();
    ~AsioNetworkService() override;
    AsioNetworkService(const AsioNetworkService&) = delete;
    AsioNetworkService& operator=(const AsioNetworkService&) = delete;

    // Binds and listens at once; `port()` is known on return. ipv4: 0.0.0.0 or the literal;
    // ipv6: :: (or the literal) accepting IPv6 only; any: one unbound dual-stack socket.
    std::shared_ptr<Listener> makeListener(const ListenerParameters& parameters,
                                           std::optional<NetworkError>& error) override;
    // Polls the interfaces every 2 s.
    std::shared_ptr<PathMonitor> makePathMonitor() override;

    // A client connection to host (a name or a literal) and port. It resolves and connects once
    // started (state `preparing`, then `ready` or `failed`); receives and sends made before that
    // wait for the connection.
    ConnectionPtr makeConnection(const std::string& host, std::uint16_t port, bool noDelay = true);

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace qm
