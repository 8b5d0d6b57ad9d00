// The delegate's controllers live exactly as long as the delegate: nothing they hand out keeps
// them (or it) alive, and work still in flight when the delegate goes finds nothing to act on.
#include <gtest/gtest.h>

#include "HostApp/Delivery/SendFilesService.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace ControllerLifetimeTests {
namespace {

std::size_t linesStartingWith(const DiagnosticLogBuffer& buffer, const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& line : buffer.lines()) n += line.find(prefix) != std::string::npos;
    return n;
}

TEST(Controllers, ReleasingTheDelegateWithWorkInFlightOnEverySurfaceReleasesItAndEndsThatWork) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    // Work on each surface that outlives this turn: a display-state read queued off the main
    // queue and a delayed refresh (details), the summary's auto-close (status), a manual update
    // check waiting for the feed (updates), the first-run prompt's delay (permissions) and the
    // transfer window (file delivery).
    delegate.refreshButtonPressed();
    delegate.showDetailWindowAction();
    delegate.details().virtualDisplayCheckbox->press();
    delegate.requestOnlineUpdateAction();
    ASSERT_EQ(app.feedRequests.size(), 1u);
    ASSERT_TRUE(delegate.status().summaryAutoCloseWorkItem);
    ASSERT_TRUE(delegate.files().fileTransferCenter);

    auto watcher = std::make_shared<DiagnosticLogBuffer>(app.host.platform().clock);
    auto subscription = DiagnosticLogBuffer::attach(LogSink::shared(), watcher);
    std::weak_ptr<HostProbeDelegate> released = app.delegate;
    std::weak_ptr<SummaryWindowModel> summary = delegate.status().summaryWindow;
    // Held by their controllers alone (the desktop keeps the windows it was given).
    std::weak_ptr<RepeatingTimer> hourly = delegate.updates().hourlyUpdateTimer;
    std::weak_ptr<SendFilesService> sendFiles = delegate.files().sendFilesService;
    app.delegate.reset();
    EXPECT_TRUE(released.expired()) << "something the controllers handed out holds the delegate";
    EXPECT_TRUE(hourly.expired()) << "the update controller outlived the delegate";
    EXPECT_TRUE(sendFiles.expired()) << "the file delivery controller outlived the delegate";

    // The feed's answer, the timers and the queued reads find nothing.
    app.answerFeed(std::nullopt);
    app.host.clock().advance(UpdateController::hourlyUpdateInterval + 10);
    EXPECT_EQ(linesStartingWith(*watcher, "refresh generation="), 0u);
    EXPECT_EQ(linesStartingWith(*watcher, "display diagnostics updated"), 0u);
    EXPECT_EQ(linesStartingWith(*watcher, "permissions:"), 0u);
    if (auto window = summary.lock()) {
        EXPECT_FALSE(window->attachedSheet()) << "no update alert after release";
    }
}

TEST(Controllers, EachSurfaceActsThroughTheDelegateOnTheOthersModels) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    // The menu's display choice is the details surface's; it brings the detail window forward.
    auto hostMenu = app.shell->mainMenu().menu->items()[1]->submenu();
    hostMenu->itemWithAction(HostAction::useDisplayButtonPressed)->choose();
    ASSERT_TRUE(delegate.details().detailWindow);
    EXPECT_TRUE(delegate.details().detailWindow->visible());
    // Its status line is the summary's: the detail window shows the one label.
    EXPECT_EQ(delegate.details().detailWindow->audioStatusLabel, delegate.status().audioStatusLabel);
    // The update check's state shows on the summary window's button.
    delegate.requestOnlineUpdateAction();
    EXPECT_TRUE(delegate.updates().onlineUpdateRequestInProgress);
    EXPECT_FALSE(delegate.status().summaryWindow->updateButton->enabled());
    app.answerFeed(std::nullopt);
    EXPECT_TRUE(delegate.status().summaryWindow->updateButton->enabled());
    ASSERT_FALSE(app.shell->pendingSheets.empty()) << "the failed check's alert is a sheet of the summary window";
}

}  // namespace
}  // namespace ControllerLifetimeTests
}  // namespace qm::test
