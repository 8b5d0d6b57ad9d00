// The launch sequence on virtual time: what a user and the log see, and in which order.
#include <gtest/gtest.h>

#include <fstream>

#include "support/AppHarness.h"
#include "Platform/AudioCapture.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm::test {
namespace StartupTests {
namespace {

TEST(Startup, OrdinaryLaunchRunsTheStepsInOrderAndSchedulesItsTimers) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;

    // Build marker first, then launch at login, then the server's first lines, then the refresh.
    const auto marker = app.indexOf(
        "build marker: V1.4.9 build=149 version=1.4.9 bundle=/opt/quillmere exec=/opt/quillmere/bin/QuillmereHost");
    const auto login = app.indexOf("launch-at-login: Start at login enabled");
    const auto firstRefresh = app.indexOf("refresh generation=1");
    ASSERT_GE(marker, 0);
    EXPECT_GT(login, marker);
    EXPECT_GT(firstRefresh, login);
    for (const auto& line : app.log()) EXPECT_EQ(line.find("verifier:"), std::string::npos) << line;

    // Menus and the status item before the window; services provider last.
    const auto& events = app.shell->events;
    auto at = [&](const std::string& name) { return std::find(events.begin(), events.end(), name) - events.begin(); };
    EXPECT_LT(at("installMainMenu"), at("showStatusItem"));
    EXPECT_LT(at("showStatusItem"), at("attachWindow"));
    EXPECT_EQ(events.back(), "registerServicesProvider");

    // The summary window floats, shows, and closes by itself after 5 s.
    ASSERT_TRUE(delegate.status().summaryWindow);
    EXPECT_TRUE(delegate.status().summaryWindow->visible());
    EXPECT_EQ(delegate.status().summaryWindow->level(), WindowModel::floatingLevel);
    EXPECT_EQ(delegate.status().summaryWindow->collectionBehavior() & 0x102u, 0x102u);
    app.host.clock().advance(4.9);
    EXPECT_TRUE(delegate.status().summaryWindow->visible());
    app.host.clock().advance(0.2);
    EXPECT_FALSE(delegate.status().summaryWindow->visible());

    // The 2 s refresh: one generation per tick.
    EXPECT_EQ(delegate.details().checkGeneration, 3) << "launch plus the ticks at 2 s and 4 s";
    app.host.clock().advance(60);
    EXPECT_EQ(delegate.details().checkGeneration, 33);
    EXPECT_EQ(app.count("refresh generation="), 33u);

    // The hourly update check comes one hour after launch, not before.
    app.defaultsStore->standard()->set("host.autoUpdate.enabled", true);
    app.host.clock().advance(3600 - 65.1 - 0.2);
    EXPECT_TRUE(app.feedRequests.empty());
    app.host.clock().advance(0.4);
    EXPECT_EQ(app.feedRequests.size(), 1u);
}

TEST(Startup, FirstRunPromptComesAfterAThirdOfASecondAndTheUpgradeNoticeOnce) {
    AppHarness app;
    app.environment.platform.screenCaptureAccess = std::make_shared<SimulatedScreenCaptureAccess>(false);
    app.launch();
    EXPECT_TRUE(app.logged("host updated to build 149"));
    EXPECT_GT(app.indexOf("host updated to build 149"), app.indexOf("refresh generation=1"))
        << "the notice runs on the next turn of the main queue, after start-up returned";
    app.host.clock().advance(0.3);
    EXPECT_FALSE(app.logged("permissions: requesting Screen Recording on first launch"));
    app.host.clock().advance(0.1);
    EXPECT_TRUE(app.logged("permissions: requesting Screen Recording on first launch"));
    EXPECT_TRUE(app.defaultsStore->standard()->boolean("host.firstRun.screenCapturePrompted.149"));

    // The next launch of the same build: no notice and no second prompt.
    app.delegate.reset();
    app.launch();
    app.host.clock().advance(1);
    EXPECT_EQ(app.count("host updated to build"), 0u);
    EXPECT_EQ(app.count("permissions: requesting"), 0u);
}

TEST(Startup, UnattendedUpgradeShowsNothingButStillServesAndRefreshes) {
    HostLaunchFlags flags;
    flags.unattendedUpgrade = true;
    AppHarness app(flags);
    app.launch();
    EXPECT_FALSE(app.delegate->status().summaryWindow);
    const auto upgrade = app.indexOf("upgrade: unattended installer relaunch");
    const auto deferred = app.indexOf("permissions: deferred interactive prompts for unattended upgrade launch");
    ASSERT_GE(upgrade, 0);
    EXPECT_GT(deferred, upgrade);
    EXPECT_TRUE(app.delegate->audioServer());
    app.host.clock().advance(2.0);
    EXPECT_EQ(app.delegate->details().checkGeneration, 2);
    app.delegate->applicationDidBecomeActive();
    app.host.clock().advance(10);
    EXPECT_FALSE(app.delegate->status().summaryWindow) << "reactivation does nothing on this launch";
}

TEST(Startup, InstallerLaunchesWithAndWithoutAMatchingMarker) {
    HostLaunchFlags flags;
    flags.initialInstall = true;
    {
        AppHarness app(flags);
        app.launch();
        EXPECT_TRUE(app.logged("permissions: ignored initial-install launch without matching marker"));
        EXPECT_TRUE(app.delegate->status().summaryWindow && app.delegate->status().summaryWindow->visible());
    }
    {
        AppHarness app(flags);
        std::ofstream(app.environment.installerMarker) << "149\n";
        app.launch();
        EXPECT_FALSE(app.logged("permissions: ignored initial-install launch without matching marker"));
        EXPECT_EQ(app.defaultsStore->standard()->string("host.upgradeNotice.lastPresentedBuild"), "149");
    }
}

TEST(Startup, SummaryWindowAutoCloseYieldsToSheetsAndExplicitShows) {
    {
        AppHarness app;
        app.launch();
        app.shell->beginSheet(app.delegate->status().summaryWindow, {"Quit?", "", {"Quit", "Cancel"}}, [](int) {});
        app.host.clock().advance(6);
        EXPECT_TRUE(app.delegate->status().summaryWindow->visible()) << "a window showing a sheet stays open";
    }
    {
        AppHarness app;
        app.launch();
        app.host.clock().advance(2);
        auto item = app.delegate->status().statusMenu->itemWithAction(HostAction::showSummaryWindow);
        item->choose();
        EXPECT_TRUE(app.logged("ui: show Host status requested source=menu"));
        app.host.clock().advance(10);
        EXPECT_TRUE(app.delegate->status().summaryWindow->visible()) << "an explicit show cancels the launch auto-close";
        app.delegate->showSummaryWindowAction(HostProbeDelegate::Sender::none);
        EXPECT_TRUE(app.logged("ui: show Host status requested source=unknown"));
    }
}

TEST(Startup, StatusLinesOfTheThreeEnginesReachTheLabelAndLog) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    delegate.audioServer()->publish("control listening again");
    app.host.clock().runUntilIdle();
    EXPECT_EQ(delegate.status().audioStatusLabel->text(), "Aux: control listening again");
    EXPECT_TRUE(app.logged("aux: control listening again"));

    delegate.clipboardBridge()->onStatus("clipboard paused");
    app.host.clock().runUntilIdle();
    EXPECT_EQ(delegate.status().audioStatusLabel->text(), "Aux: clipboard paused") << "the bridge uses the Aux format";
    EXPECT_TRUE(app.logged("clipboard paused"));

    delegate.fileTransferService()->onStatus("received 2 items", FileTransferService::StatusSource{});
    app.host.clock().runUntilIdle();
    EXPECT_EQ(delegate.status().audioStatusLabel->text(), "Files: received 2 items");
    EXPECT_TRUE(app.logged("files: received 2 items"));

    // A Host clipboard change with no Viewer signed in is not delivered and not logged as sent.
    ClipboardTransfer transfer;
    transfer.sequence = 7;
    EXPECT_FALSE(delegate.clipboardBridge()->onOutgoingTransfer(transfer));
    EXPECT_EQ(app.count("clipboard sent"), 0u);
}

TEST(Startup, QuitStopsInOrderAndEndsTheLoop) {
    AppHarness app;
    app.launch();
    auto* item = app.shell->mainMenu().menu->items()[0]->submenu()->itemWithAction(HostAction::requestQuit).get();
    ASSERT_TRUE(item);
    app.shell->scriptedResponses.push_back(1000);  // "Quit Host"
    item->choose();
    app.host.clock().advance(1);
    EXPECT_EQ(app.shell->events.back(), "terminate");
    const auto generation = app.delegate->details().checkGeneration;
    app.host.clock().advance(10);
    EXPECT_EQ(app.delegate->details().checkGeneration, generation) << "the refresh timer stopped";
    EXPECT_TRUE(app.logged("terminating: quit menu"));
}

TEST(Startup, LanguageNotificationRetextsEvenWithoutAnIdentifier) {
    AppHarness app;
    app.launch();
    app.delegate->status().summaryWindow->detailsButton->setHidden(false);
    app.notifications->post(QuillmereL10n::languageChangedDistributedNotification, {{"languageIdentifier", std::int64_t(3)}});
    app.host.clock().runUntilIdle();
    EXPECT_TRUE(app.delegate->status().summaryWindow->detailsButton->hidden());
    EXPECT_EQ(QuillmereL10n::languageOverride(), "system");

    app.notifications->post(QuillmereL10n::languageChangedDistributedNotification, {{"languageIdentifier", std::string("de")}});
    app.host.clock().runUntilIdle();
    EXPECT_EQ(QuillmereL10n::languageOverride(), "de");
    EXPECT_EQ(app.delegate->status().summaryWindow->refreshButton->title(), "Aktualisieren");
}

}  // namespace
}  // namespace StartupTests
}  // namespace qm::test
