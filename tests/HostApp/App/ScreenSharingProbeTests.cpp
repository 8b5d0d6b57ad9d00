// The Screen Sharing port probe: one attempt at a time, one final outcome each, and only the
// current refresh's result reaches the status line. Scripted attempts on virtual time, then real
// loopback sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Platform/Linux/SocketPortProber.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace ScreenSharingProbeTests {
namespace {

using State = ProbeConnection::State;

struct ProbeHarness {
    ProbeHarness() {
        app.environment.portProber = prober;
        app.launch();
        app.delegate->timer()->cancel();  // refreshes come only from the test
    }
    // A refresh that probes, like the Refresh button.
    std::shared_ptr<ScriptedProbeConnection> probe() {
        app.delegate->refreshButtonPressed();
        return prober->connections.back();
    }
    const std::string& status() const { return app.delegate->details().statusLabel->text(); }

    AppHarness app;
    std::shared_ptr<ScriptedPortProber> prober = std::make_shared<ScriptedPortProber>();
};

TEST(ScreenSharingProbe, EachAttemptEndsOnceAndTheTimeOutNamesTheFix) {
    ProbeHarness h;
    auto first = h.probe();
    EXPECT_EQ(first->host, "127.0.0.1");
    EXPECT_EQ(first->port, 5900);
    EXPECT_EQ(h.status(), "Screen Sharing port 5900: checking...");

    // Waiting updates the line but does not end the attempt; the time-out then does.
    first->deliver(State::waiting, "Connection refused");
    h.app.host.clock().runUntilIdle();
    EXPECT_EQ(h.status(), "Screen Sharing port 5900: waiting (Connection refused)");
    EXPECT_TRUE(h.app.logged("Screen Sharing port 5900 waiting: Connection refused"));
    h.app.host.clock().advance(1.5);
    EXPECT_EQ(h.status(), "Screen Sharing port 5900: not reachable (timeout). Enable macOS Screen Sharing.");
    EXPECT_TRUE(first->cancelled);
    EXPECT_FALSE(first->hasHandler());
    EXPECT_FALSE(h.app.delegate->details().activeVNCProbe);

    // A late outcome after the time-out changes nothing.
    auto second = h.probe();
    second->deliver(State::failed, "Connection refused");
    second->deliver(State::ready);
    h.app.host.clock().runUntilIdle();
    EXPECT_EQ(h.status(), "Screen Sharing port 5900: not reachable (Connection refused)");
    h.app.host.clock().advance(1.5);
    EXPECT_EQ(h.status(), "Screen Sharing port 5900: not reachable (Connection refused)");
    EXPECT_EQ(h.app.count("Screen Sharing port 5900: not reachable"), 2u);

    auto third = h.probe();
    third->deliver(State::ready);
    h.app.host.clock().runUntilIdle();
    EXPECT_EQ(h.status(), "Screen Sharing port 5900: reachable on this Host");
    EXPECT_EQ(third->queue()->label(), "v230.hostprobe.check." + std::to_string(h.app.delegate->details().checkGeneration));
}

TEST(ScreenSharingProbe, AReplacedOrStaleAttemptReportsNothing) {
    ProbeHarness h;
    // Two refreshes in quick succession: the first attempt is cancelled and never reports.
    auto first = h.probe();
    auto second = h.probe();
    EXPECT_TRUE(first->cancelled);
    EXPECT_FALSE(first->hasHandler());
    EXPECT_EQ(h.app.delegate->details().activeVNCProbe, second);

    // A refresh without a probe makes the current attempt stale: it still clears the field,
    // but logs and shows nothing.
    h.app.delegate->details().refresh(false, false);
    const auto line = h.status();
    second->deliver(State::ready);
    h.app.host.clock().runUntilIdle();
    EXPECT_FALSE(h.app.delegate->details().activeVNCProbe);
    EXPECT_EQ(h.status(), line);
    EXPECT_EQ(h.app.count("Screen Sharing port 5900: reachable"), 0u);
}

// A loopback listener on a free port; `backlog` 0 with its queue filled makes new connects hang.
struct LoopbackListener {
    explicit LoopbackListener(int backlog) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, backlog);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~LoopbackListener() {
        for (int client : clients) ::close(client);
        ::close(fd);
    }
    // Connects clients until one no longer completes at once: the accept queue is then full.
    void fillBacklog() {
        for (int i = 0; i < 8; ++i) {
            const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
            clients.push_back(client);
        }
    }
    int fd = -1;
    std::uint16_t port = 0;
    std::vector<int> clients;
};

TEST(ScreenSharingProbe, RealLoopbackPortsAnswerReadyRefusedOrNothing) {
    AppHarness app;
    app.environment.portProber = std::make_shared<SocketPortProber>();
    auto finalLine = [&] {
        app.host.clock().runUntilIdle();
        return !app.delegate->details().activeVNCProbe;
    };
    {
        LoopbackListener listener(4);
        app.environment.screenSharingPort = listener.port;
        app.launch();
        app.delegate->refreshButtonPressed();
        ASSERT_TRUE(waitUntil(finalLine));
        EXPECT_EQ(app.delegate->details().statusLabel->text(),
                  "Screen Sharing port " + std::to_string(listener.port) + ": reachable on this Host");
    }
    {
        // The listener is gone: the port refuses.
        app.delegate->refreshButtonPressed();
        ASSERT_TRUE(waitUntil(finalLine));
        EXPECT_EQ(app.delegate->details().statusLabel->text(),
                  "Screen Sharing port " + std::to_string(app.environment.screenSharingPort) +
                      ": not reachable (Connection refused)");
    }
    {
        // A listener that never accepts, its queue full: nothing answers, the time-out decides.
        LoopbackListener listener(0);
        listener.fillBacklog();
        app.delegate.reset();
        app.environment.screenSharingPort = listener.port;
        app.launch();
        app.delegate->refreshButtonPressed();
        app.host.clock().runUntilIdle();
        EXPECT_TRUE(app.delegate->details().activeVNCProbe) << "still connecting";
        app.host.clock().advance(1.5);
        EXPECT_EQ(app.delegate->details().statusLabel->text(), "Screen Sharing port " + std::to_string(listener.port) +
                                                         ": not reachable (timeout). Enable macOS Screen Sharing.");
    }
}

}  // namespace
}  // namespace ScreenSharingProbeTests
}  // namespace qm::test
