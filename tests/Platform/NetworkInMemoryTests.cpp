#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "Platform/Testing/InMemoryNetwork.h"
#include "Platform/Core/ManualDispatchQueue.h"

namespace NetworkInMemoryTests {

using namespace qm;

namespace {

std::string describe(const Bytes& data, bool complete, const std::optional<NetworkError>& error) {
    std::string text = "[";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) text += ',';
        text += std::to_string(data[i]);
    }
    text += "]";
    if (complete) text += " complete";
    if (error) text += " error " + std::to_string(error->code);
    return text;
}

struct Fixture {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> serverQueue = clock->makeQueue("server");
    std::shared_ptr<ManualDispatchQueue> clientQueue = clock->makeQueue("client");
    std::shared_ptr<InMemoryNetworkService> network = std::make_shared<InMemoryNetworkService>();
    std::shared_ptr<Listener> listener;
    std::vector<ConnectionPtr> accepted;
    std::vector<std::string> log;

    explicit Fixture(std::uint16_t port = 7346) {
        std::optional<NetworkError> error;
        ListenerParameters parameters;
        parameters.family = ListenerParameters::Family::ipv4;
        parameters.port = port;
        listener = network->makeListener(parameters, error);
        listener->setNewConnectionHandler([this](ConnectionPtr connection) {
            connection->start(serverQueue);
            accepted.push_back(std::move(connection));
        });
        listener->start(serverQueue);
    }

    void watch(const ConnectionPtr& connection, const std::string& who) {
        connection->setStateHandler([this, who](Connection::State state, const std::optional<NetworkError>& error) {
            static const char* names[] = {"setup", "preparing", "ready", "failed", "cancelled"};
            std::string line = who + ":" + names[static_cast<int>(state)];
            if (error) {
                // Appended in two steps: `":" + std::string` prepends into a temporary, which GCC 12's
                // -Wrestrict misreads as an overlapping copy in optimised builds.
                line += ':';
                line += std::to_string(error->code);
            }
            log.push_back(line);
        });
    }
    void read(const ConnectionPtr& connection, const std::string& who, std::size_t minimum, std::size_t maximum) {
        connection->receive(minimum, maximum, [this, who](Bytes data, bool complete, const std::optional<NetworkError>& error) {
            log.push_back(who + " read " + describe(data, complete, error));
        });
    }
};

}  // namespace

TEST(InMemoryNetwork, PairCarriesBytesBothWaysWithReadBounds) {
    Fixture f;
    auto client = f.network->connect(7346, "192.168.1.30");
    f.watch(client, "client");
    client->send(Bytes{1, 2, 3});  // before start: kept for the peer
    client->start(f.clientQueue);
    f.clock->runUntilIdle();
    ASSERT_EQ(f.accepted.size(), 1u);
    auto server = f.accepted[0];
    EXPECT_EQ(server->remoteAddress().substr(0, 13), "192.168.1.30:");
    EXPECT_EQ(client->remoteAddress(), "127.0.0.1:7346");

    f.read(server, "server", 4, 5);
    f.clock->runUntilIdle();
    EXPECT_EQ(f.log, (std::vector<std::string>{"client:ready"}));  // three bytes are not four
    client->send(Bytes{4, 5, 6, 7});
    f.read(server, "server", 1, 10);
    f.clock->runUntilIdle();
    EXPECT_EQ(f.log, (std::vector<std::string>{"client:ready", "server read [1,2,3,4,5]", "server read [6,7]"}));

    f.log.clear();
    std::vector<std::string> sent;
    server->send(Bytes{9}, [&](const std::optional<NetworkError>& error) { sent.push_back(error ? "error" : "ok"); });
    f.read(client, "client", 1, 1);
    // Nothing moves until the queues run.
    EXPECT_TRUE(f.log.empty());
    EXPECT_TRUE(sent.empty());
    f.clock->runUntilIdle();
    EXPECT_EQ(f.log, (std::vector<std::string>{"client read [9]"}));
    EXPECT_EQ(sent, (std::vector<std::string>{"ok"}));
}

TEST(InMemoryNetwork, CancelClosesThePeerAndSilencesTheCancelledEnd) {
    Fixture f;
    auto client = f.network->connect(7346);
    f.watch(client, "client");
    client->start(f.clientQueue);
    f.clock->runUntilIdle();
    auto server = f.accepted.at(0);
    f.watch(server, "server");

    client->send(Bytes{1, 2});
    f.read(client, "client", 1, 10);  // pending when cancelled: never completes
    client->cancel();
    client->cancel();
    f.read(server, "server", 1, 1);
    f.read(server, "server", 1, 10);
    f.read(server, "server", 1, 10);
    f.clock->runUntilIdle();
    // What was sent before the close is still read, then the close (the server queue runs first).
    EXPECT_EQ(f.log, (std::vector<std::string>{"client:ready", "server read [1]", "server read [2] complete",
                                               "server read [] complete", "client:cancelled"}));

    f.log.clear();
    server->send(Bytes{5}, [&](const std::optional<NetworkError>& error) {
        f.log.push_back("server send " + std::to_string(error ? error->code : 0));
    });
    client->send(Bytes{6}, [&](const std::optional<NetworkError>&) { f.log.push_back("client send"); });
    f.clock->runUntilIdle();
    EXPECT_EQ(f.log, (std::vector<std::string>{"server send " + std::to_string(EPIPE)}));
}

TEST(InMemoryNetwork, DroppedEndClosesAndFailuresReachPendingReads) {
    Fixture f;
    auto client = f.network->connect(7346);
    client->start(f.clientQueue);
    f.clock->runUntilIdle();
    auto server = f.accepted.at(0);
    f.accepted.clear();
    f.read(client, "client", 1, 10);
    server.reset();  // the owner let go without cancelling
    f.clock->runUntilIdle();
    EXPECT_EQ(f.log, (std::vector<std::string>{"client read [] complete"}));

    Fixture g(7400);
    auto other = g.network->connect(7400);
    auto inMemory = std::dynamic_pointer_cast<InMemoryConnection>(other);
    ASSERT_TRUE(inMemory);
    g.watch(other, "client");
    other->start(g.clientQueue);
    g.clock->runUntilIdle();
    g.read(other, "client", 1, 10);
    g.read(g.accepted.at(0), "server", 1, 10);
    inMemory->simulateFailure(NetworkError{ECONNRESET, "reset"});
    other->send(Bytes{1}, [&](const std::optional<NetworkError>& error) {
        g.log.push_back("send " + std::to_string(error ? error->code : 0));
    });
    g.clock->runUntilIdle();
    const auto reset = std::to_string(ECONNRESET);
    EXPECT_EQ(g.log, (std::vector<std::string>{"client:ready", "server read [] complete", "client:failed:" + reset,
                                               "client read [] error " + reset, "send " + reset}));
}

TEST(InMemoryNetwork, ConnectWithoutListenerIsRefused) {
    Fixture f;
    auto client = f.network->connect(9999);
    f.watch(client, "client");
    f.read(client, "client", 1, 1);
    client->start(f.clientQueue);
    f.clock->runUntilIdle();
    const auto refused = std::to_string(ECONNREFUSED);
    EXPECT_EQ(f.log, (std::vector<std::string>{"client:preparing", "client:failed:" + refused,
                                               "client read [] error " + refused}));

    // A cancelled listener refuses too, and reports its cancel once.
    std::vector<std::string> states;
    f.listener->setStateHandler([&](Listener::State state, const std::optional<NetworkError>&) {
        states.push_back(state == Listener::State::cancelled ? "cancelled" : "other");
    });
    f.listener->cancel();
    f.listener->cancel();
    f.log.clear();
    auto late = f.network->connect(7346);
    f.watch(late, "late");
    late->start(f.clientQueue);
    f.clock->runUntilIdle();
    EXPECT_EQ(states, (std::vector<std::string>{"cancelled"}));
    EXPECT_EQ(f.log, (std::vector<std::string>{"late:preparing", "late:failed:" + refused}));
    EXPECT_EQ(f.network->listenerCount(7346), 0u);
}

TEST(InMemoryNetwork, PortsFollowFamilyRulesAndTheBindFilter) {
    InMemoryNetworkService network;
    auto make = [&](ListenerParameters::Family family, std::uint16_t port, std::optional<NetworkError>& error) {
        ListenerParameters parameters;
        parameters.family = family;
        parameters.port = port;
        return network.makeListener(parameters, error);
    };
    std::optional<NetworkError> error;
    auto v4 = make(ListenerParameters::Family::ipv4, 7346, error);
    ASSERT_TRUE(v4);
    EXPECT_FALSE(make(ListenerParameters::Family::ipv4, 7346, error));
    EXPECT_EQ(error->code, EADDRINUSE);
    EXPECT_FALSE(make(ListenerParameters::Family::any, 7346, error));
    auto v6 = make(ListenerParameters::Family::ipv6, 7346, error);
    EXPECT_TRUE(v6);
    EXPECT_EQ(network.listenerCount(7346), 2u);
    v4.reset();  // a dropped listener frees its port
    EXPECT_TRUE(make(ListenerParameters::Family::ipv4, 7346, error));

    auto first = make(ListenerParameters::Family::any, 0, error);
    auto second = make(ListenerParameters::Family::any, 0, error);
    ASSERT_TRUE(first && second);
    EXPECT_GE(first->port(), 49152);
    EXPECT_NE(first->port(), second->port());

    network.setBindFilter([](const ListenerParameters& p) -> std::optional<NetworkError> {
        if (p.family == ListenerParameters::Family::ipv4) return NetworkError{EACCES, "refused by test"};
        return std::nullopt;
    });
    EXPECT_FALSE(make(ListenerParameters::Family::ipv4, 8000, error));
    EXPECT_EQ(error->code, EACCES);
    EXPECT_TRUE(make(ListenerParameters::Family::any, 8000, error));
    EXPECT_FALSE(error);
}

TEST(InMemoryNetwork, ConnectionsWaitForTheListenerToStartAndPreferIPv4) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("server");
    InMemoryNetworkService network;
    std::optional<NetworkError> error;
    ListenerParameters parameters;
    parameters.port = 7347;
    parameters.family = ListenerParameters::Family::ipv6;
    auto v6 = network.makeListener(parameters, error);
    parameters.family = ListenerParameters::Family::ipv4;
    auto v4 = network.makeListener(parameters, error);
    std::vector<std::string> accepted;
    v6->setNewConnectionHandler([&](ConnectionPtr) { accepted.push_back("v6"); });
    v4->setNewConnectionHandler([&](ConnectionPtr) { accepted.push_back("v4"); });
    auto client = network.connect(7347);
    clock->runUntilIdle();
    EXPECT_TRUE(accepted.empty());
    v4->start(queue);
    v6->start(queue);
    clock->runUntilIdle();
    EXPECT_EQ(accepted, (std::vector<std::string>{"v4"}));
}

TEST(InMemoryNetwork, PathMonitorReportsTheStartPathAndChangesOnly) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("v230.host.audio.aux.network-path");
    auto network = std::make_shared<InMemoryNetworkService>();
    network->setPath(NetworkPath{true, {"eth0"}});
    auto monitor = network->makePathMonitor();
    std::vector<NetworkPath> paths;
    monitor->start(queue, [&](const NetworkPath& path) { paths.push_back(path); });
    queue->runUntilIdle();
    network->setPath(NetworkPath{true, {"eth0"}});
    queue->runUntilIdle();
    network->setPath(NetworkPath{false, {}});
    queue->runUntilIdle();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0], (NetworkPath{true, {"eth0"}}));
    EXPECT_FALSE(paths[1].satisfied);
    monitor->cancel();
    network->setPath(NetworkPath{true, {"wlan0"}});
    queue->runUntilIdle();
    EXPECT_EQ(paths.size(), 2u);
}

// ---- continuous reads, the send bound and shared buffers in memory ----

namespace {

Bytes numbered(std::size_t size, std::uint8_t seed = 0) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return bytes;
}

struct ContinuousReads {
    Bytes data;
    std::vector<std::size_t> sizes;
    std::vector<std::string> ends;
    std::size_t callsAfterEnd = 0;

    Connection::ReceiveCompletion handler() {
        return [this](Bytes bytes, bool complete, const std::optional<NetworkError>& error) {
            if (!ends.empty()) ++callsAfterEnd;
            data.insert(data.end(), bytes.begin(), bytes.end());
            sizes.push_back(bytes.size());
            if (complete) ends.push_back("complete");
            if (error) ends.push_back("error " + std::to_string(error->code));
        };
    }
};

}  // namespace

TEST(InMemoryContinuousReads, DeliverInOrderAfterArmedReadsWithinTheBoundThenTheClose) {
    Fixture f;
    auto client = f.network->connect(7346);
    client->start(f.clientQueue);
    f.clock->runUntilIdle();
    auto server = f.accepted.at(0);
    auto inMemory = std::dynamic_pointer_cast<InMemoryConnection>(server);
    ASSERT_TRUE(inMemory);

    // An armed read is served first; continuous reads take the rest.
    client->send(numbered(5));
    f.read(server, "server", 1, 2);
    ContinuousReads reads;
    constexpr std::size_t buffer = 100;
    server->startReceiving(buffer, reads.handler());
    server->startReceiving(buffer, [](Bytes, bool, const std::optional<NetworkError>&) { FAIL() << "second handler"; });
    const Bytes big = numbered(10'000, 1);
    client->send(big);
    // Nothing ran on the server queue yet: what it holds is bounded, the rest waits in the pipe.
    EXPECT_LE(big.size() + 3 - inMemory->bufferedByteCount(), 2 * buffer + buffer);
    f.clock->runUntilIdle();
    EXPECT_EQ(f.log, (std::vector<std::string>{"server read [0,7]"}));
    Bytes expected{14, 21, 28};
    expected.insert(expected.end(), big.begin(), big.end());
    EXPECT_EQ(reads.data, expected);
    for (auto size : reads.sizes) EXPECT_LE(size, buffer);

    server->setReceiveBufferSize(7);
    client->send(numbered(50, 2));
    client->cancel();
    f.clock->runUntilIdle();
    expected = numbered(50, 2);
    EXPECT_EQ(Bytes(reads.data.end() - 50, reads.data.end()), expected);
    EXPECT_EQ(reads.sizes[reads.sizes.size() - 2], 50u % 7u);
    EXPECT_EQ(reads.ends, (std::vector<std::string>{"complete"}));
    EXPECT_EQ(reads.sizes.back(), 0u);
    EXPECT_EQ(reads.callsAfterEnd, 0u);
}

TEST(InMemoryContinuousReads, CancelAndFailureEndDelivery) {
    Fixture f;
    auto client = f.network->connect(7346);
    client->start(f.clientQueue);
    f.clock->runUntilIdle();
    auto server = f.accepted.at(0);
    ContinuousReads reads;
    server->startReceiving(4, reads.handler());
    client->send(numbered(20));  // five reads wait on the server queue
    server->cancel();
    f.clock->runUntilIdle();
    EXPECT_TRUE(reads.sizes.empty());

    Fixture g(7400);
    auto other = g.network->connect(7400);
    other->start(g.clientQueue);
    g.clock->runUntilIdle();
    ContinuousReads failing;
    g.accepted.at(0)->startReceiving(4, failing.handler());
    std::dynamic_pointer_cast<InMemoryConnection>(g.accepted.at(0))->simulateFailure(NetworkError{ECONNRESET, "reset"});
    other->send(numbered(8));
    g.clock->runUntilIdle();
    EXPECT_EQ(failing.ends, (std::vector<std::string>{"error " + std::to_string(ECONNRESET)}));
    EXPECT_EQ(failing.callsAfterEnd, 0u);
}

TEST(InMemorySendLimit, APeerThatNeverReadsFailsTheSenderOnceAndSharedBuffersArriveWhole) {
    Fixture f;
    auto client = f.network->connect(7346);
    client->start(f.clientQueue);
    f.clock->runUntilIdle();
    auto server = f.accepted.at(0);
    f.watch(server, "server");
    server->setSendLimit(1000);
    const auto packet = std::make_shared<const Bytes>(numbered(300, 3));
    std::vector<int> outcomes;
    for (int i = 0; i < 5; ++i) {
        server->send(packet, [&](const std::optional<NetworkError>& error) { outcomes.push_back(error ? error->code : 0); });
        EXPECT_EQ(server->queuedSendBytes(), i < 3 ? 300u * static_cast<std::size_t>(i + 1) : 0u);
    }
    f.clock->runUntilIdle();
    EXPECT_EQ(outcomes, (std::vector<int>{0, 0, 0, ENOBUFS, ENOBUFS}));
    EXPECT_EQ(f.log, (std::vector<std::string>{"server:failed:" + std::to_string(ENOBUFS)}));

    // The client reads what got through, whole, then the close.
    ContinuousReads reads;
    client->startReceiving(256, reads.handler());
    f.clock->runUntilIdle();
    Bytes expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), packet->begin(), packet->end());
    EXPECT_EQ(reads.data, expected);
    EXPECT_EQ(reads.ends, (std::vector<std::string>{"complete"}));
    EXPECT_EQ(*packet, numbered(300, 3));
    EXPECT_EQ(packet.use_count(), 1);
}

}  // namespace NetworkInMemoryTests
