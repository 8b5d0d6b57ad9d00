// Quitting behind the quit question, reopening, and the sleep and wake notices, on virtual time.
#include <gtest/gtest.h>

#include <map>

#include "support/AppHarness.h"
#include "support/ServerInspector.h"

namespace qm::test {
namespace QuitAndPowerTests {
namespace {

using Delegate = HostProbeDelegate;

std::size_t terminations(const RecordingHostShell& shell) {
    return static_cast<std::size_t>(std::count(shell.events.begin(), shell.events.end(), "terminate"));
}

TEST(Quit, TheQuestionGuardsEveryQuitUntilConfirmed) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;

    // Two quick requests: one sheet, the application waits.
    delegate.requestQuitMenuAction();
    delegate.requestQuitMenuAction();
    app.host.clock().runUntilIdle();
    ASSERT_EQ(app.shell->pendingSheets.size(), 1u);
    ASSERT_TRUE(delegate.status().summaryWindow->attachedSheet());
    const auto& sheet = *delegate.status().summaryWindow->attachedSheet();
    EXPECT_EQ(sheet.style, AlertModel::Style::warning);
    EXPECT_EQ(sheet.messageText, "Quit Corventis Host?");
    EXPECT_EQ(sheet.buttons, (std::vector<std::string>{"Quit Host", "Keep Running"}));
    EXPECT_TRUE(delegate.terminationConfirmationInProgress());

    // "Keep Running" answers both requests: nothing stops, the timers go on.
    app.shell->pendingSheets.front()(1001);
    app.shell->pendingSheets.clear();
    app.host.clock().runUntilIdle();
    EXPECT_FALSE(delegate.terminationConfirmationInProgress());
    EXPECT_FALSE(delegate.terminationConfirmed());
    EXPECT_EQ(terminations(*app.shell), 0u);
    const auto generation = delegate.details().checkGeneration;
    app.host.clock().advance(2.1);
    EXPECT_GT(delegate.details().checkGeneration, generation) << "the refresh timer still runs";

    // The next request asks again; "Quit Host" terminates once, and later requests do not ask.
    delegate.requestQuitMenuAction();
    ASSERT_EQ(app.shell->pendingSheets.size(), 1u);
    app.shell->pendingSheets.front()(1000);
    app.host.clock().advance(1);
    EXPECT_TRUE(delegate.terminationConfirmed());
    EXPECT_EQ(terminations(*app.shell), 1u);
    EXPECT_TRUE(app.logged("terminating: quit menu"));
    delegate.requestQuitMenuAction();
    app.host.clock().runUntilIdle();
    EXPECT_EQ(app.shell->pendingSheets.size(), 1u) << "no second question";
    EXPECT_EQ(terminations(*app.shell), 1u);
}

TEST(Quit, APreConfirmedQuitTerminatesWithoutTheQuestionAndTearsDownOnce) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    delegate.confirmTermination();  // the installer's restart link
    delegate.requestTermination("restart");
    app.host.clock().advance(1);
    EXPECT_TRUE(app.shell->pendingSheets.empty());
    EXPECT_EQ(terminations(*app.shell), 1u);
    EXPECT_FALSE(delegate.timer());
    EXPECT_FALSE(delegate.hasWorkspacePowerObservers());
    const auto generation = delegate.details().checkGeneration;
    app.host.clock().advance(10);
    EXPECT_EQ(delegate.details().checkGeneration, generation) << "no refresh after the teardown";
}

// The quit question over the permission walk-through, both sheets of the summary window: when
// the Host becomes active again, the sheet the user was in last is raised last, on top of the
// other, and an answered one is no longer raised.
TEST(Quit, WithTheWalkThroughUpTheSheetLastKeyComesBackOnTop) {
    std::vector<std::string> raised;  // the sheets brought to the front, in order (outlives the Host)
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    delegate.permissions().initialInstallOnboardingStep = Delegate::InitialInstallOnboardingStep::confirmation;
    delegate.permissions().presentInitialInstallOnboardingStep();
    delegate.requestQuitMenuAction();
    app.host.clock().runUntilIdle();
    ASSERT_EQ(app.shell->sheets.size(), 2u);
    const auto walkThrough = app.shell->sheets[0];
    const auto question = app.shell->sheets[1];
    ASSERT_EQ(question->alert().messageText, "Quit Corventis Host?");
    for (const auto& sheet : {walkThrough, question}) {
        std::weak_ptr<AlertSheetModel> weak = sheet;
        sheet->onChanged = [&raised, weak, fronts = sheet->orderFrontCount()]() mutable {
            auto up = weak.lock();
            if (!up || up->orderFrontCount() == fronts) return;
            fronts = up->orderFrontCount();
            raised.push_back(up->alert().messageText);
        };
    }
    auto becomeActive = [&] {
        app.host.clock().runUntilIdle();
        raised.clear();
        app.shell->active = true;
        delegate.applicationDidBecomeActive();
        app.host.clock().runUntilIdle();
    };

    // The user clicked into the walk-through (which came first), then another application.
    walkThrough->didBecomeKey();
    becomeActive();
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(raised.back(), "Confirm Both Permissions");
    // Then into the question.
    question->didBecomeKey();
    becomeActive();
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(raised.back(), "Quit Corventis Host?");

    // "Keep Running": only the walk-through is left to raise.
    question->respond(1001);
    becomeActive();
    EXPECT_EQ(raised, std::vector<std::string>{"Confirm Both Permissions"});
    EXPECT_TRUE(app.logged("quit cancelled: Host keeps running"));
    EXPECT_EQ(terminations(*app.shell), 0u);
}

TEST(Reopen, ShowsTheSummaryWindowOnlyWhenNoneIsVisibleAndKeepsItOpen) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    EXPECT_FALSE(delegate.applicationShouldTerminateAfterLastWindowClosed());
    app.host.clock().advance(6);
    ASSERT_FALSE(delegate.status().summaryWindow->visible()) << "closed by itself after launch";

    const int fronts = delegate.status().summaryWindow->orderFrontCount();
    EXPECT_TRUE(delegate.applicationShouldHandleReopen(true));
    EXPECT_EQ(delegate.status().summaryWindow->orderFrontCount(), fronts) << "a visible window changes nothing";

    // A reopen during a pending auto-close cancels it: the reopened window stays.
    delegate.status().scheduleSummaryWindowAutoClose(5);
    EXPECT_TRUE(delegate.applicationShouldHandleReopen(false));
    EXPECT_TRUE(delegate.status().summaryWindow->visible());
    EXPECT_EQ(delegate.status().summaryWindow->level(), WindowModel::floatingLevel);
    app.host.clock().advance(30);
    EXPECT_TRUE(delegate.status().summaryWindow->visible());
}

TEST(Power, SleepAndWakeReachTheServerInOrderAndDisconnectNobody) {
    AppHarness app;
    std::map<Delegate::WorkspacePowerEvent, Delegate::Environment::PowerHandler> handlers;
    app.environment.observeWorkspacePower = [&](Delegate::WorkspacePowerEvent event,
                                                Delegate::Environment::PowerHandler handler) {
        handlers[event] = std::move(handler);
        return std::shared_ptr<void>(nullptr, [&handlers, event](void*) { handlers.erase(event); });
    };
    app.launch();
    ASSERT_EQ(handlers.size(), 4u);
    ServerInspector inspector(app.host.server());

    // The system may sleep once the Host says it is ready: only after the server took the notice.
    bool readyForSleep = false;
    handlers.at(Delegate::WorkspacePowerEvent::willSleep)([&] {
        EXPECT_TRUE(inspector.power().screensAreSleeping()) << "ready before the server prepared";
        readyForSleep = true;
    });
    EXPECT_FALSE(readyForSleep) << "the preparation runs on the background queue, not inside the notice";
    app.host.clock().runUntilIdle();
    EXPECT_TRUE(readyForSleep);
    EXPECT_TRUE(app.logged("power: system will sleep; keeping Host Aux viewer sessions connected"));
    EXPECT_TRUE(inspector.power().screensAreSleeping());

    const auto generation = app.delegate->details().checkGeneration;
    handlers.at(Delegate::WorkspacePowerEvent::didWake)({});
    app.host.clock().runUntilIdle();
    EXPECT_GT(app.indexOf("power: system did wake"),
              app.indexOf("power: system will sleep; keeping Host Aux viewer sessions connected"));
    EXPECT_FALSE(inspector.power().screensAreSleeping());
    EXPECT_EQ(app.delegate->details().checkGeneration, generation + 1) << "waking refreshes with fresh diagnostics";

    handlers.at(Delegate::WorkspacePowerEvent::screensDidSleep)({});
    app.host.clock().runUntilIdle();
    EXPECT_TRUE(app.logged("power: screens did sleep; keeping Host Aux viewer sessions connected"));
    EXPECT_TRUE(inspector.power().screensAreSleeping());

    // Termination removes the four observers.
    app.delegate->terminateApplication("test");
    app.host.clock().advance(1);
    EXPECT_TRUE(handlers.empty());
}

TEST(Power, WithoutAServerTheHandlersOnlyLogAndRefresh) {
    AppHarness app({}, /*withServer=*/false);
    app.launch();
    const auto generation = app.delegate->details().checkGeneration;
    app.delegate->handleWorkspacePowerEvent(Delegate::WorkspacePowerEvent::screensDidWake);
    app.host.clock().runUntilIdle();
    EXPECT_TRUE(app.logged("power: screens did wake"));
    EXPECT_EQ(app.delegate->details().checkGeneration, generation + 1);

    // No inbound batch recorded: forgetting the claim writes nothing.
    app.delegate->invalidateInboundFileClipboardClaim("host clipboard changed");
    EXPECT_EQ(app.count("files: invalidated"), 0u);
    app.delegate->files().latestInboundFileBatchID = UUID::random();
    app.delegate->invalidateInboundFileClipboardClaim("host clipboard changed");
    EXPECT_TRUE(app.logged("files: invalidated inbound clipboard claim (host clipboard changed)"));
    EXPECT_FALSE(app.delegate->files().latestInboundFileBatchID);
}

}  // namespace
}  // namespace QuitAndPowerTests
}  // namespace qm::test
