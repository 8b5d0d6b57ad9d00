#include <gtest/gtest.h>

#include "support/AppHarness.h"

namespace qm::test {
namespace UpdateCheckTests {
namespace {

using Feed = QuillmereReleaseFeed;

Feed feedWithHost(const std::string& version, const std::string& build) { return Feed{{"9.0", "900"}, {version, build}}; }

struct UpdateApp : AppHarness {
    explicit UpdateApp(bool autoUpdate = true) {
        defaults()->set("host.autoUpdate.enabled", autoUpdate);
        // The first-run permission prompts are another feature; keep them out of these runs.
        launch();
    }
    std::shared_ptr<UserDefaults> defaults() { return defaultsStore->standard(); }
    std::optional<std::string> lastPrompted() { return defaults()->string("host.updateFeed.lastPromptedAvailableBuild"); }
    bool checkTimeStored() { return defaults()->value("host.updateCheck.lastCheckTimestamp").has_value(); }
    void advance(double seconds) { host.clock().advance(seconds); }
    std::optional<AlertModel> sheet() { return delegate->status().summaryWindow ? delegate->status().summaryWindow->attachedSheet() : std::nullopt; }
    void answerSheet(int response) {
        auto answer = shell->pendingSheets.front();
        shell->pendingSheets.erase(shell->pendingSheets.begin());
        answer(response);
    }
};

TEST(UpdateChecks, LaunchCheckAnnouncesANewBuildOnceAndForgetsItWhenNoLongerNewer) {
    UpdateApp off(false);
    EXPECT_TRUE(off.feedRequests.empty());

    UpdateApp app;
    ASSERT_EQ(app.feedRequests.size(), 1u);
    app.answerFeed(feedWithHost("1.5", "150"));
    ASSERT_TRUE(app.delegate->updates().autoUpdateCountdownWindow);
    EXPECT_TRUE(app.delegate->updates().autoUpdateCountdownWindow->visible());
    EXPECT_EQ(app.delegate->updates().autoUpdateCountdownWindow->titleLabel->text(), "Corventis Host V1.5 Available");
    EXPECT_TRUE(app.logged("auto-update countdown presented for build 150"));
    EXPECT_EQ(app.lastPrompted(), "150");
    EXPECT_TRUE(app.checkTimeStored());

    app.delegate->updates().autoUpdateCountdownWindow->skipButton->press();
    EXPECT_FALSE(app.delegate->updates().autoUpdateCountdownWindow);
    EXPECT_TRUE(app.logged("auto-update skipped by user"));

    // A later launch sees the same build: nothing; then no update: the build is forgotten.
    app.defaults()->remove("host.updateCheck.lastCheckTimestamp");
    app.delegate->checkForHostUpdateOnLaunch();
    app.answerFeed(feedWithHost("1.5", "150"));
    EXPECT_FALSE(app.delegate->updates().autoUpdateCountdownWindow);
    EXPECT_FALSE(app.checkTimeStored());
    app.delegate->checkForHostUpdateOnLaunch();
    app.answerFeed(feedWithHost("1.4.9", "149"));
    EXPECT_FALSE(app.lastPrompted());
    app.delegate->checkForHostUpdateOnLaunch();
    app.answerFeed(std::nullopt);
    EXPECT_FALSE(app.sheet()) << "a failed launch check shows nothing";
}

TEST(UpdateChecks, HourlyCheckRunsOnlyWhenNothingElseIsUnderWay) {
    UpdateApp app;
    app.answerFeed(feedWithHost("1.4.9", "149"));
    app.defaults()->set("host.updateFeed.lastPromptedAvailableBuild", std::string("150"));
    app.advance(3600);
    ASSERT_EQ(app.feedRequests.size(), 1u);
    app.answerFeed(feedWithHost("1.4.9", "149"));
    EXPECT_TRUE(app.checkTimeStored()) << "the hourly check stores its time even without an update";
    EXPECT_EQ(app.lastPrompted(), "150") << "and keeps the last announced build";

    app.advance(3600);
    app.answerFeed(feedWithHost("1.6", "160"));
    ASSERT_TRUE(app.delegate->updates().autoUpdateCountdownWindow);
    app.advance(3600 - 5);  // the countdown is on screen for the next hour: the hour passes quietly
    // (its 5 s ran out meanwhile and started a manual check, which is now in progress)
    EXPECT_TRUE(app.delegate->updates().onlineUpdateRequestInProgress);
    const auto pending = app.feedRequests.size();
    app.advance(5);
    EXPECT_EQ(app.feedRequests.size(), pending);

    UpdateApp off(false);
    off.advance(3600);
    EXPECT_TRUE(off.feedRequests.empty());
}

TEST(UpdateChecks, ManualCheckShowsItsAlertsAndStartsOneCheckAtATime) {
    UpdateApp app(false);
    app.delegate->showSummaryWindowAction(HostProbeDelegate::Sender::none);
    app.delegate->requestOnlineUpdateAction();
    app.delegate->requestOnlineUpdateAction();
    ASSERT_EQ(app.feedRequests.size(), 1u);
    EXPECT_EQ(app.delegate->status().summaryWindow->updateButton->title(), "Checking for Update…");
    EXPECT_FALSE(app.delegate->status().summaryWindow->updateButton->enabled());

    app.answerFeed(std::nullopt);
    ASSERT_TRUE(app.sheet());
    EXPECT_EQ(app.sheet()->messageText, "Unable to Check for Update");
    EXPECT_EQ(app.sheet()->style, AlertModel::Style::warning);
    // Automatic updates are off here: nothing will try again by itself, and the text says so.
    EXPECT_EQ(app.sheet()->informativeText,
              "Corventis Host could not reach the update service. Check the network connection and try again.");
    EXPECT_EQ(app.sheet()->buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(app.delegate->status().summaryWindow->updateButton->title(), "Update Version");
    EXPECT_TRUE(app.delegate->status().summaryWindow->updateButton->enabled());
    app.answerSheet(1000);

    app.delegate->requestOnlineUpdateAction();
    app.answerFeed(feedWithHost("1.4.9", "149"));
    EXPECT_EQ(app.sheet()->messageText, "Corventis Host Is Up to Date");
    EXPECT_EQ(app.sheet()->informativeText, "V1.4.9 is already the latest version.");
    EXPECT_EQ(app.sheet()->style, AlertModel::Style::informational);
    app.answerSheet(1000);

    std::filesystem::remove(app.updater.locations().requestServicePlistURL);
    app.delegate->requestOnlineUpdateAction();
    app.answerFeed(feedWithHost("1.6", "160"));
    EXPECT_EQ(app.sheet()->messageText, "Automatic Update Is Not Ready");
    EXPECT_EQ(app.sheet()->style, AlertModel::Style::warning);
    EXPECT_EQ(app.sheet()->buttons, (std::vector<std::string>{"Open Download Page", "Cancel"}));
    app.answerSheet(1000);
    EXPECT_EQ(app.shell->openedURLs, std::vector<std::string>{"https://product.test/download"});
    EXPECT_FALSE(app.defaults()->value("host.updateFeed.lastPromptedAvailableBuild"));
}

TEST(UpdateChecks, CountdownLeadsToARequestFollowedToAVerifiedInstallAndHourlyChecksResume) {
    UpdateApp app;
    app.answerFeed(feedWithHost("1.6", "160"));
    auto countdown = app.delegate->updates().autoUpdateCountdownWindow;
    ASSERT_TRUE(countdown);
    app.advance(4);
    EXPECT_EQ(countdown->statusLabel->text(), "Starting update in 1 seconds…");
    app.advance(1);
    EXPECT_FALSE(app.delegate->updates().autoUpdateCountdownWindow);
    EXPECT_FALSE(countdown->visible());
    EXPECT_TRUE(app.delegate->updates().onlineUpdateRequestInProgress);
    app.answerFeed(feedWithHost("1.6", "160"));

    auto window = app.delegate->updates().onlineUpdateProgressWindow;
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->visible());
    EXPECT_FALSE(app.delegate->updates().onlineUpdateRequestInProgress);
    const auto id = app.updater.onlyRequestIdentifier();
    ASSERT_EQ(id, window->request.identifier);
    const std::map<std::string, std::string> target{{"targetVersion", "1.6"}, {"targetBuild", "160"}};
    std::vector<std::string> texts;
    for (const char* state : {"queued", "downloading", "installing"}) {
        app.updater.report(id, state, target);
        app.advance(0.5);
        texts.push_back(window->statusLabel->text());
    }
    auto done = target;
    done["installedVersion"] = "1.6";
    done["installedBuild"] = "160";
    app.updater.report(id, "completed", done);
    app.advance(0.5);
    texts.push_back(window->statusLabel->text());
    EXPECT_EQ(texts, (std::vector<std::string>{"Waiting for the system updater service…", "Downloading update…",
                                               "Installing update…", "Installed version verified. Restarting Host…"}));
    app.advance(5);
    EXPECT_FALSE(window->visible());
    EXPECT_FALSE(app.delegate->updates().onlineUpdateProgressWindow) << "a closed progress window is let go";
    EXPECT_TRUE(app.updater.cancelFiles().empty());

    const auto before = app.feedRequests.size();
    app.advance(3600);
    EXPECT_EQ(app.feedRequests.size(), before + 1) << "hourly checks resume after the window closed";
}

TEST(UpdateChecks, ANewRequestClosesTheEarlierWindowWithoutCancellingIt) {
    UpdateApp app(false);
    app.delegate->requestOnlineUpdateAction();
    app.answerFeed(feedWithHost("1.6", "160"));
    auto first = app.delegate->updates().onlineUpdateProgressWindow;
    app.delegate->requestOnlineUpdateAction();
    app.answerFeed(feedWithHost("1.6", "160"));
    EXPECT_FALSE(first->visible());
    EXPECT_NE(app.delegate->updates().onlineUpdateProgressWindow, first);
    EXPECT_TRUE(app.delegate->updates().onlineUpdateProgressWindow->visible());
    EXPECT_TRUE(app.updater.cancelFiles().empty());
    EXPECT_EQ(app.updater.requests().size(), 2u);

    // The running request times out after 30 s without a status.
    app.advance(30.5);
    EXPECT_EQ(app.delegate->updates().onlineUpdateProgressWindow->statusLabel->text(),
              "The system updater could not complete this update.");

    auto item = app.delegate->status().statusMenu->itemWithAction(HostAction::toggleAutoUpdate);
    ASSERT_TRUE(item);
    item->choose();
    EXPECT_TRUE(app.defaults()->boolean("host.autoUpdate.enabled"));
    EXPECT_TRUE(app.logged("auto-update preference set to enabled"));
}

TEST(UpdateChecks, WithAutomaticUpdatesOnAFailedManualCheckPromisesTheRetryThatWillCome) {
    UpdateApp app(true);
    app.answerFeed(std::nullopt);  // the launch check: silent
    EXPECT_FALSE(app.sheet());
    app.delegate->requestOnlineUpdateAction();
    app.answerFeed(std::nullopt);
    ASSERT_TRUE(app.sheet());
    EXPECT_EQ(app.sheet()->style, AlertModel::Style::warning);
    EXPECT_EQ(app.sheet()->informativeText,
              "Corventis Host could not reach the update service. It will try again automatically.");
}

}  // namespace
}  // namespace UpdateCheckTests
}  // namespace qm::test
