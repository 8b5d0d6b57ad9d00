// The Host stays reachable: without a status area its window stays, a second start brings the
// window back, and a Host that could not open its ports says so rather than "running".
#include <gtest/gtest.h>

#include "support/AppHarness.h"

namespace qm::test {
namespace ReachabilityTests {
namespace {

using Delegate = HostProbeDelegate;

TEST(Reachability, WithoutAStatusAreaTheSummaryWindowNeverClosesItself) {
    AppHarness app;
    app.shell->statusArea = false;
    app.launch();
    ASSERT_TRUE(app.delegate->status().summaryWindow->visible());
    app.host.clock().advance(StatusMenuController::summaryAutoCloseDelay + 30);
    EXPECT_TRUE(app.delegate->status().summaryWindow->visible()) << "nothing else could bring it back";

    // The user may still close it; a second start of the Host shows it again, and it stays.
    app.delegate->status().summaryWindow->closedByUser();
    app.delegate->handleSecondLaunch();
    EXPECT_TRUE(app.delegate->status().summaryWindow->visible());
    EXPECT_TRUE(app.logged("app: a second start of the Host asked to show it"));
    app.host.clock().advance(30);
    EXPECT_TRUE(app.delegate->status().summaryWindow->visible());
}

TEST(Reachability, ASecondStartShowsTheWindowAndCancelsTheLaunchAutoClose) {
    AppHarness app;
    app.launch();
    auto& window = *app.delegate->status().summaryWindow;
    app.host.clock().advance(1);
    // Within the first seconds: the window is visible; the start only brings the Host forward.
    const auto raisedBefore = window.orderFrontCount();
    app.delegate->handleSecondLaunch();
    EXPECT_GT(window.orderFrontCount(), raisedBefore);
    EXPECT_FALSE(app.delegate->status().summaryAutoCloseWorkItem) << "a window the user asked for stays";
    app.host.clock().advance(10);
    EXPECT_TRUE(window.visible());

    // Miniaturised and then asked for: it comes back from the Dock.
    window.miniaturize();
    app.delegate->handleSecondLaunch();
    EXPECT_TRUE(window.visible());
    EXPECT_FALSE(window.miniaturized());
}

TEST(Reachability, AHostWhoseListenersFailSaysSoInsteadOfRunning) {
    AppHarness app({}, /*withServer=*/false);
    // Another Host holds the ports.
    app.host.network().setBindFilter([](const ListenerParameters&) {
        return std::optional<NetworkError>(NetworkError{98, "Address already in use"});
    });
    app.environment.makeServer = [&app] { return V230HostAudioAuxServer::create(app.host.platform()); };
    app.launch();
    auto& delegate = *app.delegate;
    ASSERT_TRUE(delegate.audioServer());

    EXPECT_EQ(delegate.status().summaryWindow->titleLabel->text(), "Corventis Host cannot accept Viewers");
    const auto status = delegate.status().summaryStatusLabel->text();
    EXPECT_EQ(status.rfind("Not listening: control listener failed: Address already in use", 0), 0u) << status;
    EXPECT_NE(status.find("video listener failed"), std::string::npos) << status;
    EXPECT_NE(status.find("file transfer listener failed"), std::string::npos) << status;
    EXPECT_EQ(delegate.status().statusMenuStatusItem.lock()->title(), "Corventis Host cannot accept Viewers");
    EXPECT_EQ(delegate.status().statusItem->title().stateText, "Unreachable");
    EXPECT_EQ(delegate.status().statusItem->toolTip().rfind("Corventis Host cannot accept Viewers\n", 0), 0u);
    // After a language change too.
    delegate.refreshHostLocalization();
    EXPECT_EQ(delegate.status().summaryWindow->titleLabel->text(), "Corventis Host cannot accept Viewers");

    // Stopping such a Host is an ordinary stop.
    delegate.terminateApplication("signal 15");
    app.host.clock().advance(1);
    EXPECT_EQ(std::count(app.shell->events.begin(), app.shell->events.end(), "terminate"), 1);
}

TEST(Reachability, AListeningHostSaysItIsRunning) {
    AppHarness app;
    app.launch();
    EXPECT_EQ(app.delegate->status().summaryWindow->titleLabel->text(), "Corventis Host is running");
    EXPECT_EQ(app.delegate->status().statusItem->title().stateText, "On");
    EXPECT_EQ(app.delegate->status().summaryStatusLabel->text().rfind("Corventis Host is running \u00B7 ", 0), 0u);
}

}  // namespace
}  // namespace ReachabilityTests
}  // namespace qm::test
