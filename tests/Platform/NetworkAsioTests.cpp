#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/AsioNetwork.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "support/TestPlatform.h"

namespace NetworkAsioTests {

using namespace qm;
using qm::test::TemporaryDirectory;
using qm::test::waitUntil;

namespace {

// Collects what the network reports, from whichever thread reports it.
struct Log {
    std::mutex mutex;
    std::vector<std::string> events;
    Bytes received;
    bool complete = false;

    void add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    bool has(const std::string& event) {
        std::lock_guard lock(mutex);
        return std::find(events.begin(), events.end(), event) != events.end();
    }
    bool isComplete() {
        std::lock_guard lock(mutex);
        return complete;
    }
    std::size_t count(const std::string& event) {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
    }
};

const char* stateName(Connection::State state) {
    switch (state) {
        case Connection::State::setup: return "setup";
        case Connection::State::preparing: return "preparing";
        case Connection::State::ready: return "ready";
        case Connection::State::failed: return "failed";
        case Connection::State::cancelled: return "cancelled";
    }
    return "?";
}

void watchState(const ConnectionPtr& connection, const std::shared_ptr<Log>& log, const std::string& who) {
    connection->setStateHandler([log, who](Connection::State state, const std::optional<NetworkError>& error) {
        log->add(who + ":" + stateName(state) + (error ? ":" + std::to_string(error->code) : ""));
    });
}

// Echoes every byte back until the peer closes.
void echo(const ConnectionPtr& connection) {
    connection->receive(1, 65536, [connection](Bytes data, bool complete, const std::optional<NetworkError>& error) {
        if (!data.empty()) connection->send(std::move(data));
        if (complete || error) {
            connection->cancel();
            return;
        }
        echo(connection);
    });
}

// Reads into the log until the peer closes or the read fails.
void drain(const ConnectionPtr& connection, const std::shared_ptr<Log>& log) {
    connection->receive(1, 1000, [connection, log](Bytes data, bool complete, const std::optional<NetworkError>& error) {
        std::lock_guard lock(log->mutex);
        log->received.insert(log->received.end(), data.begin(), data.end());
        if (complete || error) {
            log->complete = true;
            return;
        }
        drain(connection, log);
    });
}

struct Server {
    std::shared_ptr<Listener> listener;
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<ConnectionPtr>> accepted = std::make_shared<std::vector<ConnectionPtr>>();

    std::size_t acceptedCount() const {
        std::lock_guard lock(*mutex);
        return accepted->size();
    }
    ConnectionPtr connection(std::size_t i) const {
        std::lock_guard lock(*mutex);
        return accepted->at(i);
    }
};

// A listener that keeps every connection and starts it on `queue`, echoing when asked to.
Server listen(AsioNetworkService& network, ListenerParameters parameters, const DispatchQueuePtr& queue,
              bool echoing) {
    Server server;
    std::optional<NetworkError> error;
    server.listener = network.makeListener(parameters, error);
    if (!server.listener) return server;
    auto mutex = server.mutex;
    auto accepted = server.accepted;
    server.listener->setNewConnectionHandler([queue, mutex, accepted, echoing](ConnectionPtr connection) {
        {
            std::lock_guard lock(*mutex);
            accepted->push_back(connection);
        }
        connection->start(queue);
        if (echoing) echo(connection);
    });
    server.listener->start(queue);
    return server;
}

// A manual queue that counts what is handed to it, so a test can tell that a completion is
// already waiting on the queue.
class CountingQueue final : public DispatchQueue {
public:
    explicit CountingQueue(std::shared_ptr<ManualClock> clock)
        : DispatchQueue("counting"), inner_(clock->makeQueue("counting.inner")) {}
    void async(std::function<void()> block) override {
        ++count;
        inner_->async(std::move(block));
    }
    void asyncAfter(double seconds, DispatchWorkItemPtr item) override { inner_->asyncAfter(seconds, std::move(item)); }
    bool isCurrent() const override { return inner_->isCurrent(); }
    const Clock& clock() const override { return inner_->clock(); }
    std::size_t runUntilIdle() { return inner_->runUntilIdle(); }
    std::atomic<int> count{0};

protected:
    void runSync(const std::function<void()>& block) override { inner_->sync(block); }

private:
    std::shared_ptr<ManualDispatchQueue> inner_;
};

ListenerParameters loopbackV4() {
    ListenerParameters parameters;
    parameters.family = ListenerParameters::Family::ipv4;
    parameters.host = "127.0.0.1";
    return parameters;
}

}  // namespace

TEST(AsioNetwork, EchoKeepsTheOrderOfManySendsAndReportsCompletionsInOrder) {
    AsioNetworkService network;
    auto serverQueue = std::make_shared<AsioDispatchQueue>("test.server");
    auto clientQueue = std::make_shared<AsioDispatchQueue>("test.client");
    auto server = listen(network, loopbackV4(), serverQueue, true);
    ASSERT_TRUE(server.listener);
    ASSERT_NE(server.listener->port(), 0);

    auto log = std::make_shared<Log>();
    auto client = network.makeConnection("127.0.0.1", server.listener->port());
    watchState(client, log, "client");
    // Sends made before the connection is up wait for it.
    Bytes expected;
    for (int i = 0; i < 200; ++i) {
        Bytes message(static_cast<std::size_t>(1 + (i * 37) % 3000), static_cast<std::uint8_t>(i));
        expected.insert(expected.end(), message.begin(), message.end());
        client->send(std::move(message), [log, i](const std::optional<NetworkError>& error) {
            log->add("sent:" + std::to_string(i) + (error ? " error" : ""));
        });
    }
    client->start(clientQueue);
    drain(client, log);

    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(log->mutex);
        return log->received.size() == expected.size();
    }));
    {
        std::lock_guard lock(log->mutex);
        EXPECT_EQ(log->received, expected);
    }
    ASSERT_TRUE(waitUntil([&] { return log->has("sent:199"); }));
    auto events = log->snapshot();
    ASSERT_GE(events.size(), 202u);
    EXPECT_EQ(events[0], "client:preparing");
    EXPECT_EQ(events[1], "client:ready");
    for (int i = 0; i < 200; ++i) EXPECT_EQ(events[static_cast<std::size_t>(2 + i)], "sent:" + std::to_string(i));

    EXPECT_EQ(client->remoteAddress(), "127.0.0.1:" + std::to_string(server.listener->port()));
    ASSERT_EQ(server.acceptedCount(), 1u);
    EXPECT_TRUE(server.connection(0)->remoteAddress().starts_with("127.0.0.1:"));
}

TEST(AsioNetwork, ReceiveHonoursMinimumAndMaximumAndSeesThePeerClose) {
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    auto server = listen(network, loopbackV4(), queue, false);
    ASSERT_TRUE(server.listener);
    auto client = network.makeConnection("localhost", server.listener->port());
    client->start(queue);
    client->send(Bytes{1, 2, 3});
    ASSERT_TRUE(waitUntil([&] { return server.acceptedCount() == 1; }));
    auto peer = server.connection(0);

    auto log = std::make_shared<Log>();
    // At least 5 bytes: the first three alone do not complete the read.
    peer->receive(5, 6, [log, peer](Bytes data, bool complete, const std::optional<NetworkError>& error) {
        log->add("read:" + std::to_string(data.size()) + (complete ? ":complete" : "") + (error ? ":error" : ""));
        // After the close: the rest, then an empty completion that still says complete.
        peer->receive(1, 100, [log, peer](Bytes rest, bool complete, const std::optional<NetworkError>&) {
            log->add("rest:" + std::to_string(rest.size()) + (complete ? ":complete" : ""));
            peer->receive(1, 100, [log](Bytes more, bool complete, const std::optional<NetworkError>&) {
                log->add("after:" + std::to_string(more.size()) + (complete ? ":complete" : ""));
            });
        });
    });
    queue->sync([] {});  // let the read start before the rest arrives
    EXPECT_TRUE(log->snapshot().empty());
    client->send(Bytes{4, 5, 6, 7, 8, 9, 10}, [client](const std::optional<NetworkError>&) { client->cancel(); });

    ASSERT_TRUE(waitUntil([&] { return log->snapshot().size() == 3; }));
    EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"read:6", "rest:4", "after:0:complete"}));
}

TEST(AsioNetwork, CancelWithAPendingReadReportsCancelledOnceAndNothingElse) {
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    auto server = listen(network, loopbackV4(), queue, false);
    ASSERT_TRUE(server.listener);
    auto log = std::make_shared<Log>();
    auto client = network.makeConnection("127.0.0.1", server.listener->port());
    watchState(client, log, "client");
    client->start(queue);
    ASSERT_TRUE(waitUntil([&] { return log->has("client:ready") && server.acceptedCount() == 1; }));
    auto peer = server.connection(0);
    auto peerLog = std::make_shared<Log>();
    drain(peer, peerLog);

    client->receive(1, 100, [log](Bytes, bool, const std::optional<NetworkError>&) { log->add("client:read"); });
    // Data that arrives after the cancel must not reach the cancelled read.
    queue->sync([&] {
        peer->send(Bytes{42});
        client->cancel();
        client->cancel();
    });
    ASSERT_TRUE(waitUntil([&] { return log->has("client:cancelled"); }));
    ASSERT_TRUE(waitUntil([&] { return peerLog->isComplete(); }));
    queue->sync([] {});
    EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"client:preparing", "client:ready", "client:cancelled"}));

    // A completion already waiting on the queue when the cancel comes is dropped too.
    auto clock = std::make_shared<ManualClock>();
    auto counting = std::make_shared<CountingQueue>(clock);
    auto second = network.makeConnection("127.0.0.1", server.listener->port());
    watchState(second, log, "second");
    second->start(counting);
    ASSERT_TRUE(waitUntil([&] {
        counting->runUntilIdle();
        return log->has("second:ready") && server.acceptedCount() == 2;
    }));
    const int before = counting->count.load();
    second->receive(1, 100, [log](Bytes, bool, const std::optional<NetworkError>&) { log->add("second:read"); });
    server.connection(1)->send(Bytes{1});
    ASSERT_TRUE(waitUntil([&] { return counting->count.load() == before + 1; }));
    second->cancel();
    counting->runUntilIdle();
    EXPECT_TRUE(log->has("second:cancelled"));
    EXPECT_FALSE(log->has("second:read"));

    // Operations on a cancelled connection stay silent.
    client->receive(1, 1, [log](Bytes, bool, const std::optional<NetworkError>&) { log->add("late read"); });
    client->send(Bytes{1}, [log](const std::optional<NetworkError>&) { log->add("late send"); });
    queue->sync([] {});
    EXPECT_FALSE(log->has("late read"));
    EXPECT_FALSE(log->has("late send"));
}

TEST(AsioNetwork, DroppingAConnectionOrTheServiceWithPendingWorkIsSafe) {
    auto log = std::make_shared<Log>();
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    std::uint16_t port = 0;
    ConnectionPtr survivor;
    {
        AsioNetworkService network;
        auto server = listen(network, loopbackV4(), queue, false);
        ASSERT_TRUE(server.listener);
        port = server.listener->port();
        {
            auto client = network.makeConnection("127.0.0.1", port);
            watchState(client, log, "dropped");
            client->start(queue);
            client->receive(1, 10, [log](Bytes, bool, const std::optional<NetworkError>&) { log->add("dropped:read"); });
            client->send(Bytes(100000, 7));
            ASSERT_TRUE(waitUntil([&] { return server.acceptedCount() == 1; }));
        }
        // The owner let go: the peer reads the close; the dropped end reports nothing more.
        auto peerLog = std::make_shared<Log>();
        drain(server.connection(0), peerLog);
        ASSERT_TRUE(waitUntil([&] { return peerLog->isComplete(); }));

        // A connection still open with a read pending when the service goes away.
        survivor = network.makeConnection("127.0.0.1", port);
        survivor->start(queue);
        survivor->receive(1, 10, [](Bytes, bool, const std::optional<NetworkError>&) {});
        ASSERT_TRUE(waitUntil([&] { return server.acceptedCount() == 2; }));
    }
    queue->sync([] {});
    for (const auto& event : log->snapshot()) EXPECT_NE(event, "dropped:read");
    survivor->receive(1, 1, [](Bytes, bool, const std::optional<NetworkError>&) {});
    survivor->cancel();
    survivor.reset();
    queue->sync([] {});
}

TEST(AsioNetwork, RefusedConnectionFailsAndItsPendingOperationsGetTheError) {
    std::uint16_t port;
    {
        // A port that was free a moment ago and has no listener now: stopping the service
        // closes the probe before it returns.
        AsioNetworkService probing;
        std::optional<NetworkError> error;
        auto probe = probing.makeListener(loopbackV4(), error);
        ASSERT_TRUE(probe);
        port = probe->port();
    }
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    auto log = std::make_shared<Log>();
    ConnectionPtr client;
    queue->sync([&] {
        client = network.makeConnection("127.0.0.1", port);
        watchState(client, log, "client");
        client->receive(1, 1, [log](Bytes, bool, const std::optional<NetworkError>& error) {
            log->add(error ? "read:" + std::to_string(error->code) : "read:ok");
        });
        client->send(Bytes{1}, [log](const std::optional<NetworkError>& error) {
            log->add(error ? "send:" + std::to_string(error->code) : "send:ok");
        });
        client->start(queue);
    });
    ASSERT_TRUE(waitUntil([&] { return log->snapshot().size() == 4; }));
    const auto refused = std::to_string(ECONNREFUSED);
    EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"client:preparing", "client:failed:" + refused,
                                                         "read:" + refused, "send:" + refused}));
}

TEST(AsioNetwork, ListenerFamiliesShareAPortButNotTheSameFamily) {
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    ListenerParameters v4;
    v4.family = ListenerParameters::Family::ipv4;
    auto first = listen(network, v4, queue, true);
    ASSERT_TRUE(first.listener);
    const auto port = first.listener->port();

    std::optional<NetworkError> error;
    v4.port = port;
    EXPECT_FALSE(network.makeListener(v4, error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EADDRINUSE);

    ListenerParameters bad;
    bad.family = ListenerParameters::Family::ipv4;
    bad.host = "not-an-address";
    EXPECT_FALSE(network.makeListener(bad, error));
    EXPECT_EQ(error->code, EINVAL);

    ListenerParameters v6;
    v6.family = ListenerParameters::Family::ipv6;
    v6.port = port;
    auto second = listen(network, v6, queue, true);
    if (!second.listener) GTEST_SKIP() << "no IPv6 on this machine";
    auto log = std::make_shared<Log>();
    auto client = network.makeConnection("::1", port);
    client->start(queue);
    client->send(Bytes{9, 8, 7});
    drain(client, log);
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(log->mutex);
        return log->received.size() == 3;
    }));
    EXPECT_EQ(client->remoteAddress(), "[::1]:" + std::to_string(port));
    EXPECT_EQ(first.acceptedCount(), 0u);
    ASSERT_EQ(second.acceptedCount(), 1u);
    EXPECT_TRUE(second.connection(0)->remoteAddress().starts_with("[::1]:"));
}

TEST(AsioNetwork, UnboundListenerTakesIPv4AndShowsPeersAsIPv4) {
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    auto server = listen(network, ListenerParameters{}, queue, true);
    ASSERT_TRUE(server.listener);
    auto client = network.makeConnection("127.0.0.1", server.listener->port());
    client->start(queue);
    ASSERT_TRUE(waitUntil([&] { return server.acceptedCount() == 1; }));
    EXPECT_TRUE(server.connection(0)->remoteAddress().starts_with("127.0.0.1:"));
}

TEST(AsioNetwork, CancelledListenerReportsOnceAndTakesNoMoreConnections) {
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    auto log = std::make_shared<Log>();
    auto server = listen(network, loopbackV4(), queue, false);
    ASSERT_TRUE(server.listener);
    server.listener->setStateHandler([log](Listener::State state, const std::optional<NetworkError>&) {
        log->add(state == Listener::State::ready ? "ready" : state == Listener::State::cancelled ? "cancelled" : "other");
    });
    queue->sync([] {});
    server.listener->cancel();
    server.listener->cancel();
    ASSERT_TRUE(waitUntil([&] { return log->has("cancelled"); }));

    auto client = network.makeConnection("127.0.0.1", server.listener->port());
    watchState(client, log, "client");
    client->start(queue);
    ASSERT_TRUE(waitUntil([&] { return log->has("client:failed:" + std::to_string(ECONNREFUSED)); }));
    EXPECT_EQ(log->count("cancelled"), 1u);
    EXPECT_EQ(server.acceptedCount(), 0u);
}

// Two listeners share three places: each holds one while it waits for a connection and hands it to
// the connection it accepts, which gives it back once it is closed or taken in by its owner. So
// with the other listener waiting, one accepts two connections however many connect; the rest
// wait in the kernel's backlog and are accepted, in turn, as places come back.
TEST(AsioNetwork, ListenersSharingAnAcceptBudgetAcceptNoMoreThanItsPlacesUntilOneComesBack) {
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    auto budget = AcceptBudget::make(3);
    auto parameters = loopbackV4();
    parameters.acceptBudget = budget;
    auto busy = listen(network, parameters, queue, false);
    auto idle = listen(network, parameters, queue, false);
    ASSERT_TRUE(busy.listener && idle.listener);

    auto log = std::make_shared<Log>();
    std::vector<ConnectionPtr> clients;
    auto connect = [&](const Server& to) {
        auto client = network.makeConnection("127.0.0.1", to.listener->port());
        watchState(client, log, "client");
        client->start(queue);
        clients.push_back(client);
    };
    for (int i = 0; i < 4; ++i) connect(busy);
    ASSERT_TRUE(waitUntil([&] { return log->count("client:ready") == 4 && busy.acceptedCount() == 2; }));
    // A connection made after them to a listener without a budget is accepted: the network has
    // looked at theirs by then.
    auto probe = listen(network, loopbackV4(), queue, false);
    connect(probe);
    ASSERT_TRUE(waitUntil([&] { return probe.acceptedCount() == 1; }));
    EXPECT_EQ(busy.acceptedCount(), 2u);
    EXPECT_EQ(budget->held(), 3u);

    // One taken in by its owner, then one closed: one more is accepted for each.
    busy.connection(0)->leaveAcceptBudget();
    ASSERT_TRUE(waitUntil([&] { return busy.acceptedCount() == 3; }));
    busy.connection(1)->cancel();
    ASSERT_TRUE(waitUntil([&] { return busy.acceptedCount() == 4; }));
    EXPECT_EQ(budget->held(), 3u);

    // Closed listeners give their places back, and connections theirs once closed.
    busy.listener->cancel();
    idle.listener->cancel();
    for (std::size_t i = 2; i < busy.acceptedCount(); ++i) busy.connection(i)->cancel();
    EXPECT_TRUE(waitUntil([&] { return budget->held() == 0; }));
}

TEST(PathMonitor, ReportsTheFirstPathThenOnlyChangesEveryTwoSeconds) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("v230.host.audio.aux.network-path");
    NetworkPath current{true, {"eth0"}};
    int reads = 0;
    auto monitor = makePollingPathMonitor([&] {
        ++reads;
        return current;
    });
    std::vector<NetworkPath> reported;
    monitor->start(queue, [&](const NetworkPath& path) { reported.push_back(path); });
    queue->runUntilIdle();
    ASSERT_EQ(reported.size(), 1u);

    clock->advance(4.0);
    EXPECT_EQ(reads, 3);
    EXPECT_EQ(reported.size(), 1u);
    current = NetworkPath{true, {"eth0", "wlan0"}};
    clock->advance(1.9);
    EXPECT_EQ(reported.size(), 1u);
    clock->advance(0.1);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[1], current);

    monitor->cancel();
    current = NetworkPath{};
    clock->advance(10);
    EXPECT_EQ(reported.size(), 2u);
}

TEST(PathMonitor, PathCountsUpNonLoopbackInterfacesOnce) {
    std::vector<InterfaceAddress> addresses = {
        {"lo", false, "127.0.0.1", true, true, false},
        {"eth0", false, "192.168.1.20", true, false, false},
        {"eth0", true, "fe80::1", true, false, true},
        {"wlan0", false, "10.0.0.5", false, false, false},  // down
        {"bridge0", false, "169.254.3.9", true, false, true},
    };
    auto path = networkPathFromInterfaces(addresses);
    EXPECT_TRUE(path.satisfied);
    EXPECT_EQ(path.interfaceNames, (std::vector<std::string>{"bridge0", "eth0"}));
    EXPECT_FALSE(networkPathFromInterfaces({addresses[0], addresses[3]}).satisfied);
}

namespace {

// A real queue that, when its last reference goes, first lets `released` through and then
// joins its thread, as a real queue's destruction does.
class ReleasingQueue final : public DispatchQueue {
public:
    explicit ReleasingQueue(std::shared_ptr<std::atomic<bool>> released)
        : DispatchQueue("test.releasing"), inner_(std::make_shared<AsioDispatchQueue>("test.releasing")),
          released_(std::move(released)) {}
    ~ReleasingQueue() override {
        released_->store(true);
        inner_.reset();  // joins the thread: the block running there has to finish
    }
    void async(std::function<void()> block) override { inner_->async(std::move(block)); }
    void asyncAfter(double seconds, DispatchWorkItemPtr item) override { inner_->asyncAfter(seconds, std::move(item)); }
    bool isCurrent() const override { return inner_->isCurrent(); }
    const Clock& clock() const override { return inner_->clock(); }

protected:
    void runSync(const std::function<void()>& block) override { inner_->sync(block); }

private:
    std::shared_ptr<AsioDispatchQueue> inner_;
    std::shared_ptr<std::atomic<bool>> released_;
};

}  // namespace

TEST(PathMonitor, CancelFromAnotherThreadWhileAPollRunsDoesNotDeadlock) {
    auto released = std::make_shared<std::atomic<bool>>(false);
    auto polling = std::make_shared<std::atomic<bool>>(false);
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    // The poll blocks in the source until the queue is being torn down, then asks for the handler.
    auto monitor = makePollingPathMonitor([released, polling] {
        polling->store(true);
        waitUntil([&] { return released->load(); });
        return NetworkPath{true, {"eth0"}};
    });
    {
        auto queue = std::make_shared<ReleasingQueue>(released);
        monitor->start(queue, [](const NetworkPath&) {});
    }
    ASSERT_TRUE(waitUntil([&] { return polling->load(); }));
    // The monitor now holds the only reference to the queue; cancelling drops it.
    std::thread([monitor, cancelled] {
        monitor->cancel();
        cancelled->store(true);
    }).detach();
    EXPECT_TRUE(waitUntil([&] { return cancelled->load(); }, std::chrono::seconds(5)))
        << "cancel() is stuck behind the poll it waits for";
}

// ---- continuous reads, shared buffers, the send bound and keepalive over loopback ----

namespace {

Bytes pattern(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + i / 251) & 0xFF);
    return bytes;
}

// What a continuous reader was handed, from whichever thread hands it.
struct Reads {
    std::mutex mutex;
    Bytes data;
    std::vector<std::size_t> sizes;
    int ends = 0;                  // calls with isComplete or an error
    int callsAfterEnd = 0;
    std::optional<NetworkError> error;

    Connection::ReceiveCompletion handler() {
        return [this](Bytes bytes, bool complete, const std::optional<NetworkError>& failure) {
            std::lock_guard lock(mutex);
            if (ends > 0) ++callsAfterEnd;
            data.insert(data.end(), bytes.begin(), bytes.end());
            sizes.push_back(bytes.size());
            if (complete || failure) ++ends;
            if (failure) error = failure;
        };
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return data.size();
    }
    int endCount() {
        std::lock_guard lock(mutex);
        return ends;
    }
};

// The descriptor of the accepted end of a loopback connection (its own port and its peer's).
int acceptedDescriptor(std::uint16_t localPort, const std::string& remoteAddress) {
    const auto colon = remoteAddress.rfind(':');
    if (colon == std::string::npos) return -1;
    const int peerPort = std::stoi(remoteAddress.substr(colon + 1));
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
        if (local.ss_family != AF_INET || peer.ss_family != AF_INET) continue;
        if (ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port) == localPort &&
            ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port) == peerPort) {
            return fd;
        }
    }
    return -1;
}

int intOption(int fd, int level, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, option, &value, &length) == 0 ? value : -1;
}

// A listener whose connections are kept unstarted for the test to start where it likes.
struct Pending {
    std::shared_ptr<Listener> listener;
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<ConnectionPtr>> accepted = std::make_shared<std::vector<ConnectionPtr>>();

    Pending(AsioNetworkService& network, const DispatchQueuePtr& queue, ListenerParameters parameters = loopbackV4()) {
        std::optional<NetworkError> error;
        listener = network.makeListener(parameters, error);
        if (!listener) return;
        listener->setNewConnectionHandler([mutex = mutex, accepted = accepted](ConnectionPtr connection) {
            std::lock_guard lock(*mutex);
            accepted->push_back(std::move(connection));
        });
        listener->start(queue);
    }
    std::size_t count() const {
        std::lock_guard lock(*mutex);
        return accepted->size();
    }
    ConnectionPtr at(std::size_t i) const {
        std::lock_guard lock(*mutex);
        return accepted->at(i);
    }
};

}  // namespace

TEST(AsioContinuousReads, DeliverEveryByteInOrderWithinTheBufferSizeThenTheCloseLast) {
    // What the reader's handler writes outlives the connections whose queue thread calls it.
    Reads reads;
    std::atomic<bool> shrunk{false};
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    Pending server(network, queue);
    ASSERT_TRUE(server.listener);
    auto client = network.makeConnection("127.0.0.1", server.listener->port());
    client->start(queue);
    ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));
    auto peer = server.at(0);
    peer->start(queue);

    const Bytes expected = pattern(3'000'000, 1);
    // After the first megabyte the reads shrink; what was already read keeps its size.
    auto inner = reads.handler();
    peer->startReceiving(8192, [&](Bytes data, bool complete, const std::optional<NetworkError>& error) {
        inner(std::move(data), complete, error);
        if (!shrunk && reads.size() > 1'000'000) {
            shrunk = true;
            peer->setReceiveBufferSize(700);
        }
    });
    // Bytes of its own and shared buffers, interleaved.
    for (std::size_t offset = 0; offset < expected.size(); offset += 30'000) {
        const auto end = std::min(expected.size(), offset + 30'000);
        Bytes part(expected.begin() + static_cast<std::ptrdiff_t>(offset), expected.begin() + static_cast<std::ptrdiff_t>(end));
        if ((offset / 30'000) % 2) {
            client->send(std::make_shared<const Bytes>(std::move(part)));
        } else {
            client->send(std::move(part));
        }
    }
    client->send(Bytes{}, [client](const std::optional<NetworkError>&) { client->cancel(); });

    ASSERT_TRUE(waitUntil([&] { return reads.endCount() == 1; }));
    queue->sync([] {});
    std::lock_guard lock(reads.mutex);
    EXPECT_EQ(reads.data, expected);
    EXPECT_FALSE(reads.error);
    EXPECT_EQ(reads.sizes.back(), 0u);  // the close comes alone, last
    EXPECT_EQ(reads.callsAfterEnd, 0);
    for (std::size_t i = 0; i + 1 < reads.sizes.size(); ++i) {
        EXPECT_GE(reads.sizes[i], 1u);
        EXPECT_LE(reads.sizes[i], 8192u);
    }
    // The last reads came after the change had long taken effect.
    ASSERT_GT(reads.sizes.size(), 40u);
    for (std::size_t i = reads.sizes.size() - 20; i < reads.sizes.size(); ++i) EXPECT_LE(reads.sizes[i], 700u);
}

TEST(AsioContinuousReads, ABlockedQueueStopsTheReadingAndReadingResumesWhenItRuns) {
    Reads reads;  // outlives the connections that report into it
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    Pending server(network, queue);
    ASSERT_TRUE(server.listener);
    auto client = network.makeConnection("127.0.0.1", server.listener->port());
    client->start(queue);
    ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));
    auto peer = server.at(0);
    const int fd = acceptedDescriptor(server.listener->port(), peer->remoteAddress());
    ASSERT_GE(fd, 0);

    // The reader's queue runs only when the test says so.
    auto clock = std::make_shared<ManualClock>();
    auto blocked = std::make_shared<CountingQueue>(clock);
    peer->start(blocked);
    blocked->runUntilIdle();
    const int before = blocked->count.load();
    constexpr std::size_t buffer = 4096;
    peer->startReceiving(buffer, reads.handler());

    const Bytes expected = pattern(2'000'000, 2);
    for (std::size_t offset = 0; offset < expected.size(); offset += 100'000) {
        client->send(Bytes(expected.begin() + static_cast<std::ptrdiff_t>(offset),
                           expected.begin() + static_cast<std::ptrdiff_t>(offset + 100'000)));
    }
    // A reader that kept reading would leave the socket empty; this one lets it fill once it has
    // handed its first reads over (on a busy machine the bytes may arrive before it reads at all).
    ASSERT_TRUE(waitUntil([&] {
        int waiting = 0;
        return blocked->count.load() > before && ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= 64 * 1024;
    }));
    const int handedOver = blocked->count.load() - before;
    ASSERT_GT(handedOver, 0);

    ASSERT_TRUE(waitUntil([&] {
        blocked->runUntilIdle();
        return reads.size() == expected.size();
    }, std::chrono::seconds(20)));
    std::lock_guard lock(reads.mutex);
    EXPECT_EQ(reads.data, expected);
    std::size_t unhandled = 0;
    for (int i = 0; i < handedOver; ++i) unhandled += reads.sizes.at(static_cast<std::size_t>(i));
    EXPECT_LE(unhandled, 2 * buffer + buffer);
    client->cancel();
}

TEST(AsioContinuousReads, NothingReachesTheHandlerAfterCancel) {
    Reads reads;  // outlives the connections that report into it
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    Pending server(network, queue);
    ASSERT_TRUE(server.listener);
    auto client = network.makeConnection("127.0.0.1", server.listener->port());
    client->start(queue);
    ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));

    // Reads already waiting on the queue when the cancel comes are dropped.
    auto clock = std::make_shared<ManualClock>();
    auto manual = std::make_shared<CountingQueue>(clock);
    auto peer = server.at(0);
    auto log = std::make_shared<Log>();
    watchState(peer, log, "peer");
    peer->start(manual);
    manual->runUntilIdle();
    const int before = manual->count.load();
    peer->startReceiving(16, reads.handler());
    client->send(pattern(40, 3));
    ASSERT_TRUE(waitUntil([&] { return manual->count.load() >= before + 3; }));
    peer->cancel();
    client->send(pattern(40, 4));
    manual->runUntilIdle();
    EXPECT_EQ(reads.size(), 0u);
    EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"peer:ready", "peer:cancelled"}));
}

TEST(AsioSendLimit, APeerThatNeverReadsFailsTheConnectionOnceWithENOBUFS) {
    // What the completions and the reader write outlives the connections that call them.
    std::atomic<int> refusedSends{0};
    std::optional<NetworkError> late;
    Reads reads;
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    Pending server(network, queue);
    ASSERT_TRUE(server.listener);
    auto client = network.makeConnection("127.0.0.1", server.listener->port());
    client->start(queue);  // never reads until the end
    ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));
    auto peer = server.at(0);
    auto log = std::make_shared<Log>();
    watchState(peer, log, "peer");
    peer->start(queue);
    constexpr std::size_t limit = 256 * 1024;
    peer->setSendLimit(limit);

    const auto chunk = std::make_shared<const Bytes>(pattern(64 * 1024, 6));
    std::size_t mostQueued = 0;
    queue->sync([&] {
        // Far more than loopback buffers hold: the bound has to trip.
        for (int i = 0; i < 2000; ++i) {
            peer->send(chunk, [&refusedSends](const std::optional<NetworkError>& error) {
                if (error && error->code == ENOBUFS) ++refusedSends;
            });
            mostQueued = std::max(mostQueued, peer->queuedSendBytes());
        }
    });
    const std::string failed = "peer:failed:" + std::to_string(ENOBUFS);
    ASSERT_TRUE(waitUntil([&] { return log->has(failed); }));
    EXPECT_LE(mostQueued, limit);
    EXPECT_GT(refusedSends.load(), 0);
    ASSERT_TRUE(waitUntil([&] { return peer->queuedSendBytes() == 0; }));

    // The socket is closed: the client reads what got through, then the end.
    client->startReceiving(65536, reads.handler());
    ASSERT_TRUE(waitUntil([&] { return reads.endCount() == 1; }));

    // Later sends are refused without queueing and without a second report.
    queue->sync([&] { peer->send(Bytes(10, 1), [&late](const std::optional<NetworkError>& error) { late = error; }); });
    queue->sync([] {});
    ASSERT_TRUE(late);
    EXPECT_EQ(late->code, ENOBUFS);
    EXPECT_EQ(peer->queuedSendBytes(), 0u);
    EXPECT_EQ(log->count(failed), 1u);
    EXPECT_EQ(log->snapshot().size(), 2u);  // ready, failed
}

TEST(AsioSharedSend, OneBufferSentToManyConnectionsArrivesIntactAtEach) {
    std::vector<std::unique_ptr<Reads>> reads;  // outlives the connections that report into it
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    Pending server(network, queue);
    ASSERT_TRUE(server.listener);
    constexpr std::size_t viewers = 5;
    std::vector<ConnectionPtr> clients;
    for (std::size_t i = 0; i < viewers; ++i) {
        clients.push_back(network.makeConnection("127.0.0.1", server.listener->port()));
        clients.back()->start(queue);
        reads.push_back(std::make_unique<Reads>());
        clients.back()->startReceiving(32768, reads.back()->handler());
    }
    ASSERT_TRUE(waitUntil([&] { return server.count() == viewers; }));
    const auto frame = std::make_shared<const Bytes>(pattern(750'000, 7));
    queue->sync([&] {
        for (std::size_t i = 0; i < viewers; ++i) {
            server.at(i)->start(queue);
            for (int repeat = 0; repeat < 3; ++repeat) server.at(i)->send(frame);
        }
    });
    Bytes expected;
    for (int repeat = 0; repeat < 3; ++repeat) expected.insert(expected.end(), frame->begin(), frame->end());
    for (std::size_t i = 0; i < viewers; ++i) {
        ASSERT_TRUE(waitUntil([&] { return reads[i]->size() >= expected.size(); }));
        std::lock_guard lock(reads[i]->mutex);
        EXPECT_EQ(reads[i]->data, expected) << "viewer " << i;
    }
    EXPECT_EQ(*frame, pattern(750'000, 7));  // the sender's buffer is left as it was
    // Once written, no connection holds the buffer any more.
    EXPECT_TRUE(waitUntil([&] { return frame.use_count() == 1; }));
    for (auto& client : clients) client->cancel();
}

TEST(AsioKeepAlive, AcceptedSocketsCarryTheKeepAliveAndUserTimeoutOptions) {
    AsioNetworkService network;
    auto queue = std::make_shared<AsioDispatchQueue>("test.net");
    ListenerParameters parameters = loopbackV4();
    parameters.keepAliveIdle = 7;
    parameters.keepAliveInterval = 3;
    parameters.keepAliveCount = 4;
    Pending withKeepAlive(network, queue, parameters);
    Pending plain(network, queue);
    ASSERT_TRUE(withKeepAlive.listener && plain.listener);
    auto first = network.makeConnection("127.0.0.1", withKeepAlive.listener->port());
    auto second = network.makeConnection("127.0.0.1", plain.listener->port());
    first->start(queue);
    second->start(queue);
    ASSERT_TRUE(waitUntil([&] { return withKeepAlive.count() == 1 && plain.count() == 1; }));

    const int fd = acceptedDescriptor(withKeepAlive.listener->port(), withKeepAlive.at(0)->remoteAddress());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), (7 + 3 * 4) * 1000);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);

    // Without the parameters the system's behaviour stays: no keepalive, no user timeout.
    const int plainFd = acceptedDescriptor(plain.listener->port(), plain.at(0)->remoteAddress());
    ASSERT_GE(plainFd, 0);
    EXPECT_EQ(intOption(plainFd, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(intOption(plainFd, IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
}

// ---- frame reading over loopback ----

namespace {

FrameFormat testFrameFormat() {
    FrameFormat format;
    format.headerSize = 8;
    format.lengthOffset = 4;
    format.magic = {'T', 'E', 'S', 'T'};
    format.magicSize = 4;
    return format;
}

Bytes testFrame(const Bytes& payload, const char* magic = "TEST") {
    Bytes out(magic, magic + 4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(payload.size() >> (8 * i)));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// What a frame reader was handed.
struct Frames {
    std::mutex mutex;
    std::vector<Bytes> frames;
    std::vector<bool> startsItsBuffer;  // the frame is the start of its storage
    int ends = 0;
    std::function<void(const Bytes&)> also;  // runs on the queue after each frame is noted

    Connection::FrameHandler handler() {
        return [this](std::span<const std::uint8_t> frame, const SharedBytes& storage, bool complete,
                      const std::optional<NetworkError>& error) {
            Bytes copy(frame.begin(), frame.end());
            {
                std::lock_guard lock(mutex);
                if (!frame.empty()) {
                    EXPECT_TRUE(storage && frame.data() >= storage->data() &&
                                frame.data() + frame.size() <= storage->data() + storage->size());
                    frames.push_back(copy);
                    startsItsBuffer.push_back(storage && frame.data() == storage->data());
                }
                if (complete || error) ++ends;
            }
            if (!frame.empty() && also) also(copy);
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return frames.size();
    }
};

struct FramePair {
    AsioNetworkService network;
    std::shared_ptr<AsioDispatchQueue> queue = std::make_shared<AsioDispatchQueue>("test.frames");
    Pending server{network, queue};
    ConnectionPtr client;
    ConnectionPtr peer;

    FramePair() {
        client = network.makeConnection("127.0.0.1", server.listener->port());
        client->start(queue);
        EXPECT_TRUE(waitUntil([&] { return server.count() == 1; }));
        peer = server.at(0);
        peer->start(queue);
    }
};

}  // namespace

TEST(AsioFrameReads, FramesOfEverySizeArriveWholeInOrderTheLargeOnesInBuffersOfTheirOwn) {
    Frames got;  // outlives the connections whose reads it is handed
    FramePair pair;
    pair.peer->startReceivingFrames(testFrameFormat(), 8u << 20, 1u << 20, got.handler());

    std::vector<Bytes> expected;
    Bytes stream;
    const std::size_t sizes[] = {0, 5, 70'000, 3, 1'500'000, 65'528, 65'529, 40'000, 4'000'000, 17};
    for (std::uint32_t round = 0; round < 3; ++round) {
        for (std::size_t size : sizes) {
            expected.push_back(testFrame(pattern(size, round * 31 + static_cast<std::uint32_t>(size % 97))));
            stream.insert(stream.end(), expected.back().begin(), expected.back().end());
        }
    }
    // Cut where the frames are not, so headers and payloads straddle sends.
    for (std::size_t offset = 0; offset < stream.size(); offset += 30'001) {
        const auto end = std::min(stream.size(), offset + 30'001);
        pair.client->send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                                stream.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    pair.client->send(Bytes{}, [client = pair.client](const std::optional<NetworkError>&) { client->cancel(); });

    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(got.mutex);
        return got.ends == 1;
    }, std::chrono::seconds(30)));
    pair.queue->sync([] {});
    std::lock_guard lock(got.mutex);
    ASSERT_EQ(got.frames.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got.frames[i], expected[i]) << "frame " << i;
        // Larger than one small read: read straight into a buffer of its own, never copied.
        if (expected[i].size() > 65536) {
            EXPECT_TRUE(got.startsItsBuffer[i]) << "frame " << i;
        }
    }
}

TEST(AsioFrameReads, AFrameOverTheMaximumWaitsForTheOnesBeforeItThenIsRefusedAlone) {
    const Bytes token = pattern(16, 1);
    const Bytes large = pattern(100'000, 2);
    const Bytes small = pattern(10, 3);
    const Bytes stream = [&] {
        Bytes out;
        for (const auto& payload : {token, large, small}) {
            const auto framed = testFrame(payload);
            out.insert(out.end(), framed.begin(), framed.end());
        }
        return out;
    }();

    // The owner raises the maximum while handling the first frame: the rest then arrives.
    {
        Frames got;  // outlives the connections whose reads it is handed
        FramePair pair;
        got.also = [weakPeer = std::weak_ptr<Connection>(pair.peer)](const Bytes& frame) {
            auto peer = weakPeer.lock();
            if (peer && frame.size() == 8 + 16) {
                peer->setMaximumFramePayload(8u << 20);
                peer->setReceiveBufferSize(1u << 20);
            }
        };
        pair.peer->startReceivingFrames(testFrameFormat(), 16, 24, got.handler());
        pair.client->send(stream);
        ASSERT_TRUE(waitUntil([&] { return got.count() == 3; }));
        // The third frame is counted before its handler has returned.
        pair.queue->sync([] {});
        std::lock_guard lock(got.mutex);
        EXPECT_EQ(got.frames[1], testFrame(large));
        EXPECT_EQ(got.frames[2], testFrame(small));
    }
    // It does not: the large frame's header comes alone, and nothing after it.
    {
        Frames got;  // outlives the connections whose reads it is handed
        FramePair pair;
        pair.peer->startReceivingFrames(testFrameFormat(), 16, 24, got.handler());
        pair.client->send(stream);
        ASSERT_TRUE(waitUntil([&] { return got.count() == 2; }));
        pair.client->send(testFrame(small), [client = pair.client](const std::optional<NetworkError>&) {
            client->cancel();
        });
        pair.queue->sync([] {});
        std::lock_guard lock(got.mutex);
        EXPECT_EQ(got.frames[1], Bytes(stream.begin() + 24, stream.begin() + 32));
        EXPECT_EQ(got.frames.size(), 2u);
    }
    // A header without the magic is refused alone too, whatever length it announces.
    {
        Frames got;  // outlives the connections whose reads it is handed
        FramePair pair;
        pair.peer->startReceivingFrames(testFrameFormat(), 8u << 20, 1u << 20, got.handler());
        Bytes bad = testFrame(pattern(5, 4));
        const Bytes wrong = testFrame(pattern(300'000, 5), "TESX");
        bad.insert(bad.end(), wrong.begin(), wrong.end());
        pair.client->send(bad);
        ASSERT_TRUE(waitUntil([&] { return got.count() == 2; }));
        pair.queue->sync([] {});
        std::lock_guard lock(got.mutex);
        EXPECT_EQ(got.frames[1], Bytes(wrong.begin(), wrong.begin() + 8));
    }
}

TEST(AsioFrameReads, FramesTheOwnerKeepsHoldTheReadingUntilItLetsGoOfThem) {
    // An owner that keeps frames for a slower consumer (the file service writing to disk): the
    // reader stops at twice its read size of frames held, however idle the queue is, and goes on
    // as the owner lets go of them, from whichever thread lets go.
    constexpr std::size_t readSize = 1u << 20;
    constexpr std::size_t payloadSize = 256 * 1024;
    constexpr std::size_t frameCount = 48;  // 12 MiB, six times what may be held
    constexpr std::size_t frameSize = 8 + payloadSize;
    // What the handler writes outlives the pair, whose reader may report until it is gone.
    std::mutex mutex;
    std::vector<SharedBytes> kept;
    std::vector<Bytes> arrived;
    std::size_t heldBytes = 0;
    std::size_t mostHeld = 0;
    FramePair pair;
    pair.peer->startReceivingFrames(
        testFrameFormat(), 8u << 20, readSize,
        [&](std::span<const std::uint8_t> frame, const SharedBytes& storage, bool, const std::optional<NetworkError>&) {
            if (frame.empty()) return;
            std::lock_guard lock(mutex);
            arrived.emplace_back(frame.begin(), frame.end());
            kept.push_back(storage);
            heldBytes += frame.size();
            mostHeld = std::max(mostHeld, heldBytes);
        });
    for (std::size_t i = 0; i < frameCount; ++i) pair.client->send(testFrame(pattern(payloadSize, static_cast<std::uint32_t>(i))));

    auto arrivedCount = [&] {
        std::lock_guard lock(mutex);
        return arrived.size();
    };
    // The reader may take one frame past the bound before it looks again.
    const std::size_t boundFrames = 2 * readSize / frameSize + 1;
    ASSERT_TRUE(waitUntil([&] { return arrivedCount() >= boundFrames; }));
    std::size_t released = 0;
    while (released < frameCount) {
        // Let go of what is held, here on the test's thread, and wait for the next stretch.
        std::size_t had;
        {
            std::lock_guard lock(mutex);
            kept.clear();
            heldBytes = 0;
            had = arrived.size();
        }
        released = had;
        if (released == frameCount) break;
        ASSERT_TRUE(waitUntil([&] { return arrivedCount() > had; })) << "reading did not resume after " << had;
        pair.queue->sync([] {});
    }
    std::lock_guard lock(mutex);
    EXPECT_LE(mostHeld, 2 * readSize + frameSize) << "the reader went on while the owner held its frames";
    ASSERT_EQ(arrived.size(), frameCount);
    for (std::size_t i = 0; i < frameCount; ++i)
        EXPECT_EQ(arrived[i], testFrame(pattern(payloadSize, static_cast<std::uint32_t>(i)))) << "frame " << i;
}

namespace {

// Test frames whose payload starts with the length of the rest of its head: what follows the
// head is the tail.
FrameFormat tailedFrameFormat() {
    FrameFormat format = testFrameFormat();
    format.headLength = [](const std::uint8_t* frame, std::size_t available) -> std::size_t {
        return available < 9 ? 0 : 9 + frame[8];
    };
    return format;
}

Bytes tailedFrame(const Bytes& headRest, const Bytes& tail) {
    Bytes payload{static_cast<std::uint8_t>(headRest.size())};
    payload.insert(payload.end(), headRest.begin(), headRest.end());
    payload.insert(payload.end(), tail.begin(), tail.end());
    return testFrame(payload);
}

Bytes fileContents(int fd) {
    Bytes out;
    std::uint8_t buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n <= 0) return out;
        out.insert(out.end(), buffer, buffer + n);
        at += n;
    }
}

// What a tailed reader saw, in order: frames, heads, and the moves' outcomes.
struct TailEvents {
    std::mutex mutex;
    std::vector<std::string> order;
    std::vector<Bytes> frames;
    std::vector<FrameTail::Outcome> outcomes;
    int ends = 0;

    void note(std::string what) {
        std::lock_guard lock(mutex);
        order.push_back(std::move(what));
    }
    std::size_t outcomeCount() {
        std::lock_guard lock(mutex);
        return outcomes.size();
    }
    std::size_t frameCount() {
        std::lock_guard lock(mutex);
        return frames.size();
    }
};

// Starts tailed frame reading: every tail is moved into `fd` unless `keep(head)` says no.
void readTailed(const ConnectionPtr& peer, const DispatchQueuePtr& queue, TailEvents& events, int fd,
                std::function<bool(const Bytes& head)> keep = nullptr) {
    peer->setTailedFrameHandler([&events, queue, fd, keep](std::span<const std::uint8_t> head, const SharedBytes&,
                                                             FrameTailPtr tail) {
        const Bytes copy(head.begin(), head.end());
        events.note("head " + std::to_string(tail->size()));
        if (keep && !keep(copy)) return;  // let go of: skipped
        tail->moveInto(fd, queue, [&events](const FrameTail::Outcome& outcome) {
            events.note("moved " + std::to_string(outcome.written));
            std::lock_guard lock(events.mutex);
            events.outcomes.push_back(outcome);
        });
    });
    peer->startReceivingFrames(tailedFrameFormat(), 8u << 20, 1u << 20,
                               [&events](std::span<const std::uint8_t> frame, const SharedBytes&, bool complete,
                                         const std::optional<NetworkError>& error) {
                                   if (!frame.empty()) {
                                       events.note("frame " + std::to_string(frame.size()));
                                       std::lock_guard lock(events.mutex);
                                       events.frames.emplace_back(frame.begin(), frame.end());
                                   }
                                   if (complete || error) {
                                       std::lock_guard lock(events.mutex);
                                       ++events.ends;
                                   }
                               });
}

// A file in a folder of its own, and tailed readers over fresh loopback pairs that move into it.
class AsioFrameTails : public ::testing::Test {
protected:
    // Its events outlive its pair: the pair's reader may report until the pair is gone.
    struct Reader {
        TailEvents events;
        FramePair pair;
    };

    void TearDown() override {
        for (int fd : descriptors_) ::close(fd);
    }
    std::filesystem::path file() const { return folder_.path() / "out.bin"; }
    // The file opened with `flags`, closed when the test ends (after its readers are gone).
    int open(int flags) {
        const int fd = ::open(file().c_str(), flags | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0) << file();
        if (fd >= 0) descriptors_.push_back(fd);
        return fd;
    }
    // A reader that moves every tail into `fd` unless `keep(head)` says no.
    static std::unique_ptr<Reader> readInto(int fd, std::function<bool(const Bytes& head)> keep = nullptr) {
        auto reader = std::make_unique<Reader>();
        readTailed(reader->pair.peer, reader->pair.queue, reader->events, fd, std::move(keep));
        return reader;
    }
    static bool waitForEnd(TailEvents& events) {
        return waitUntil([&] {
            std::lock_guard lock(events.mutex);
            return events.ends == 1;
        });
    }

private:
    TemporaryDirectory folder_;
    std::vector<int> descriptors_;
};

}  // namespace

TEST_F(AsioFrameTails, TailsGoIntoTheFileInStreamOrderAndOnesLetGoOfAreSkipped) {
    const int fd = open(O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_GE(fd, 0);
    // The third tail is let go of: its bytes are read and dropped, the frame after it is whole.
    auto reader = readInto(fd, [](const Bytes& head) { return head.size() < 9 || head[9] != 3; });
    auto& events = reader->events;
    auto& pair = reader->pair;

    const Bytes one = pattern(300'000, 1), two = pattern(1'500'000, 2), three = pattern(200'000, 3),
                four = pattern(70'000, 4);
    const Bytes small = testFrame(pattern(10, 5));
    // A chunk under the smallest tail stays whole.
    const Bytes shortTail = tailedFrame({9}, pattern(1000, 6));
    Bytes stream;
    for (const auto& part : {small, tailedFrame({1, 0, 0}, one), small, tailedFrame({2}, two), tailedFrame({3}, three),
                             small, shortTail, tailedFrame({4, 4, 4, 4}, four), small})
        stream.insert(stream.end(), part.begin(), part.end());
    // Cut where the frames are not, so heads and tails straddle sends and the moves wait for data.
    for (std::size_t offset = 0; offset < stream.size(); offset += 30'001) {
        const auto end = std::min(stream.size(), offset + 30'001);
        pair.client->send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                                stream.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    ASSERT_TRUE(waitUntil([&] { return events.frameCount() == 5 && events.outcomeCount() == 3; }, std::chrono::seconds(30)));
    pair.queue->sync([] {});

    Bytes expected = one;
    expected.insert(expected.end(), two.begin(), two.end());
    expected.insert(expected.end(), four.begin(), four.end());
    EXPECT_EQ(fileContents(fd), expected);
    std::lock_guard lock(events.mutex);
    for (const auto& outcome : events.outcomes) EXPECT_TRUE(outcome.complete());
    const std::string frame = "frame " + std::to_string(small.size());
    EXPECT_EQ(events.order, (std::vector<std::string>{frame, "head 300000", "moved 300000", frame, "head 1500000",
                                                      "moved 1500000", "head 200000", frame,
                                                      "frame " + std::to_string(shortTail.size()), "head 70000",
                                                      "moved 70000", frame}))
        << "nothing is read past a tail until it is done";
    EXPECT_EQ(events.frames[3], shortTail);
}

TEST_F(AsioFrameTails, AFileThatRefusesDropsTheRestAndAPeerLeavingMidTailEndsTheMove) {
    ASSERT_GE(open(O_WRONLY | O_CREAT | O_TRUNC), 0);
    const Bytes small = testFrame(pattern(10, 5));
    {
        // Opened for reading only: the write fails, the stream stays in step.
        auto reader = readInto(open(O_RDONLY));
        auto& events = reader->events;
        Bytes stream = tailedFrame({}, pattern(500'000, 7));
        stream.insert(stream.end(), small.begin(), small.end());
        reader->pair.client->send(stream);
        ASSERT_TRUE(waitUntil([&] { return events.frameCount() == 1 && events.outcomeCount() == 1; }));
        std::lock_guard lock(events.mutex);
        EXPECT_EQ(events.outcomes[0].fileError, EBADF);
        EXPECT_FALSE(events.outcomes[0].connectionEnded);
        EXPECT_EQ(events.frames[0], small) << "the frame after the refused tail arrives whole";
    }
    {
        // The peer sends half a tail and leaves.
        auto reader = readInto(open(O_WRONLY | O_TRUNC));
        auto& events = reader->events;
        const Bytes whole = tailedFrame({}, pattern(400'000, 8));
        reader->pair.client->send(Bytes(whole.begin(), whole.begin() + 200'000),
                                  [client = reader->pair.client](const std::optional<NetworkError>&) { client->cancel(); });
        ASSERT_TRUE(waitUntil([&] { return events.outcomeCount() == 1; }));
        ASSERT_TRUE(waitForEnd(events)) << "the reader hears the end once the tail is done";
        std::lock_guard lock(events.mutex);
        EXPECT_TRUE(events.outcomes[0].connectionEnded);
        EXPECT_LT(events.outcomes[0].written, 400'000u);
    }
    {
        // Its owner ends the connection while the move waits for data.
        auto reader = readInto(open(O_WRONLY | O_TRUNC));
        auto& events = reader->events;
        const Bytes whole = tailedFrame({}, pattern(400'000, 9));
        reader->pair.client->send(Bytes(whole.begin(), whole.begin() + 100'000));
        ASSERT_TRUE(waitUntil([&] {
            std::lock_guard lock(events.mutex);
            return !events.order.empty();
        }));
        reader->pair.peer->cancel();
        ASSERT_TRUE(waitUntil([&] { return events.outcomeCount() == 1; })) << "the move ends with the connection";
        std::lock_guard lock(events.mutex);
        EXPECT_TRUE(events.outcomes[0].connectionEnded);
    }
}

namespace {

// An owner that moves every tail into `fd` and, from each whole move's completion, takes the
// frame right behind it when `accept` says so, moving that one on its queue in turn.
struct TailFollower : std::enable_shared_from_this<TailFollower> {
    TailFollower(TailEvents& into, DispatchQueuePtr on, int file, FrameTail::FollowingFilter filter)
        : events(into), queue(std::move(on)), fd(file), accept(std::move(filter)) {}

    void move(FrameTailPtr tail) {
        FrameTail& moving = *tail;
        moving.moveInto(fd, queue, [self = shared_from_this(), tail](const FrameTail::Outcome& outcome) {
            self->events.note("moved " + std::to_string(outcome.written));
            {
                std::lock_guard lock(self->events.mutex);
                self->events.outcomes.push_back(outcome);
            }
            if (self->whileCompleting) self->whileCompleting(outcome);
            if (!outcome.complete()) return;
            auto next = tail->takeFollowing(self->accept);
            if (!next) return;
            self->events.note("followed " + std::to_string(next->tail->size()) + " behind head " +
                              std::to_string(next->head.size()));
            self->queue->async([self, following = next->tail] { self->move(following); });
        });
    }

    TailEvents& events;
    DispatchQueuePtr queue;
    int fd;
    FrameTail::FollowingFilter accept;
    std::function<void(const FrameTail::Outcome&)> whileCompleting;
};

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace

TEST_F(AsioFrameTails, TheOwnerTakesTailedFramesRightBehindAndTheReaderKeepsTheRestInOrder) {
    const int fd = open(O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_GE(fd, 0);
    TailEvents events;  // outlives the pair: its reader may report until the pair is gone
    bool pauseBehindD = true;  // read by the owner's completions: outlives the pair too
    FramePair pair;
    // Frames whose head says 3 are for nobody: the owner does not take them, the reader lets go.
    auto wanted = [](std::span<const std::uint8_t> head) { return head.size() < 10 || head[9] != 3; };
    auto follower = std::make_shared<TailFollower>(events, pair.queue, fd, [wanted](std::span<const std::uint8_t> head,
                                                                                    std::size_t) { return wanted(head); });
    follower->whileCompleting = [&](const FrameTail::Outcome& outcome) {
        // Reading held by the owner: nothing is taken behind, whatever is there.
        if (outcome.written == 80'000 && std::exchange(pauseBehindD, false)) pair.peer->setReceivingPaused(true);
    };
    pair.peer->setTailedFrameHandler([&events, follower, wanted](std::span<const std::uint8_t> head, const SharedBytes&,
                                                                  FrameTailPtr tail) {
        events.note("head " + std::to_string(tail->size()));
        if (wanted(head)) follower->move(std::move(tail));
    });
    pair.peer->startReceivingFrames(tailedFrameFormat(), 8u << 20, 1u << 20,
                                    [&events](std::span<const std::uint8_t> frame, const SharedBytes&, bool complete,
                                              const std::optional<NetworkError>& error) {
                                        if (!frame.empty()) events.note("frame " + std::to_string(frame.size()));
                                        if (complete || error) {
                                            std::lock_guard lock(events.mutex);
                                            ++events.ends;
                                        }
                                    });
    auto saw = [&](const std::string& what) {
        return waitUntil([&] {
            std::lock_guard lock(events.mutex);
            return std::find(events.order.begin(), events.order.end(), what) != events.order.end();
        });
    };
    const Bytes a = pattern(100'000, 1), b = pattern(120'000, 2), c = pattern(90'000, 3), d = pattern(80'000, 4),
                e = pattern(70'000, 5);
    const Bytes frameA = tailedFrame({1}, a), frameB = tailedFrame({2, 2}, b), frameC = tailedFrame({3}, c),
                frameD = tailedFrame({4}, d), frameE = tailedFrame({5}, e), small = testFrame(pattern(10, 6));
    // Each send ends one byte short of a tail, so the move waits for it, and the next send
    // carries that byte with the next frame's head: the head is there when the move completes.
    pair.client->send(slice(frameA, 0, frameA.size() - 1));
    ASSERT_TRUE(saw("head 100000"));
    Bytes next = {frameA.back()};
    next.insert(next.end(), frameB.begin(), frameB.end() - 1);
    pair.client->send(next);
    ASSERT_TRUE(saw("followed 120000 behind head 11"));
    // B's last byte alone: nothing is behind B when it completes, the reader has the stream again.
    pair.client->send({frameB.back()});
    ASSERT_TRUE(saw("moved 120000"));
    // Behind B: C, which the owner does not take, so the reader hands it on (and drops it), a
    // small frame, and D.
    next = frameC;
    next.insert(next.end(), small.begin(), small.end());
    next.insert(next.end(), frameD.begin(), frameD.end() - 1);
    pair.client->send(next);
    ASSERT_TRUE(saw("head 80000"));
    next = {frameD.back()};
    next.insert(next.end(), frameE.begin(), frameE.end());
    pair.client->send(next);
    ASSERT_TRUE(saw("moved 80000"));
    // Held reading holds the frame behind too: E's head comes only after the reading is let go.
    pair.queue->sync([&] {
        events.note("reading let go");
        pair.peer->setReceivingPaused(false);
    });
    ASSERT_TRUE(saw("moved 70000"));
    // The peer leaves right behind a tail: the reader hears the end.
    const Bytes frameF = tailedFrame({6}, pattern(66'000, 7));
    pair.client->send(frameF, [client = pair.client](const std::optional<NetworkError>&) { client->cancel(); });
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(events.mutex);
        return events.ends == 1;
    }));
    pair.queue->sync([] {});

    Bytes expected = a;
    for (const Bytes* part : {&b, &d, &e}) expected.insert(expected.end(), part->begin(), part->end());
    const Bytes written = fileContents(fd);
    ASSERT_GE(written.size(), expected.size());
    EXPECT_EQ(slice(written, 0, expected.size()), expected);
    std::lock_guard lock(events.mutex);
    const std::vector<std::string> firstSteps(events.order.begin(),
                                              events.order.begin() + std::min<std::ptrdiff_t>(11, std::ssize(events.order)));
    EXPECT_EQ(firstSteps, (std::vector<std::string>{"head 100000", "moved 100000", "followed 120000 behind head 11",
                                                    "moved 120000", "head 90000", "frame " + std::to_string(small.size()),
                                                    "head 80000", "moved 80000", "reading let go", "head 70000",
                                                    "moved 70000"}));
    for (std::size_t i = 0; i < 5; ++i) EXPECT_TRUE(events.outcomes.at(i).complete()) << i;
}

}  // namespace NetworkAsioTests
