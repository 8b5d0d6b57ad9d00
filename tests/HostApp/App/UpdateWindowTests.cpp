#include <gtest/gtest.h>

#include "HostApp/App/HostUpdateWindows.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "support/TestUpdater.h"

namespace qm {
namespace UpdateWindowTests {
namespace {

using State = HostOnlineUpdateRequest::Status::State;

struct Recorder {
    std::vector<std::string> calls;
    void attach(HostAutoUpdateCountdownWindow& window) {
        window.onUpdateTriggered = [this] { calls.push_back("triggered"); };
        window.onSkipped = [this] { calls.push_back("skipped"); };
        window.onWindowClosed = [this] { calls.push_back("closed"); };
    }
};

class CountdownWindow : public ::testing::Test {
protected:
    void SetUp() override { QuillmereL10n::configure({}); }
    std::shared_ptr<HostAutoUpdateCountdownWindow> make(int seconds = 5) {
        auto window = HostAutoUpdateCountdownWindow::create(queue, "1.4.9", "149", "1.6", "160", seconds);
        recorder.attach(*window);
        return window;
    }
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> queue = clock->makeQueue("main");
    Recorder recorder;
};

TEST_F(CountdownWindow, CountsDownFiveSecondsThenTriggersOnce) {
    auto window = make();
    EXPECT_EQ(window->title(), "Automatic Update");
    EXPECT_EQ(window->level(), WindowModel::floatingLevel);
    EXPECT_EQ(window->collectionBehavior(), 0x102u);
    EXPECT_EQ(window->titleLabel->text(), "Corventis Host V1.6 Available");
    EXPECT_EQ(window->infoLabel->text(), "You're using V1.4.9. The update will be installed automatically.");
    EXPECT_EQ(window->statusLabel->text(), "Starting update in 5 seconds…");
    std::vector<std::string> seen;
    for (int i = 0; i < 4; ++i) {
        clock->advance(1.0);
        seen.push_back(window->statusLabel->text());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Starting update in 4 seconds…", "Starting update in 3 seconds…",
                                              "Starting update in 2 seconds…", "Starting update in 1 seconds…"}));
    EXPECT_TRUE(recorder.calls.empty());
    clock->advance(1.0);
    EXPECT_EQ(window->statusLabel->text(), "Starting update…");
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"triggered"}));
    EXPECT_FALSE(window->updateButton->enabled());
    clock->advance(10.0);
    window->updateButton->press();
    window->close();  // closing after the trigger reports nothing
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"triggered"}));
}

TEST_F(CountdownWindow, UpdateNowSkipAndCloseReportTheirCallbacksInOrder) {
    auto now = make();
    now->updateButton->press();
    now->updateButton->press();
    clock->advance(10.0);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"triggered"}));
    EXPECT_EQ(now->progressBar->value(), 0);

    recorder.calls.clear();
    auto skipped = make();
    skipped->skipButton->press();
    clock->advance(10.0);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"skipped", "closed"}));
    EXPECT_FALSE(skipped->visible());

    recorder.calls.clear();
    auto closed = make();
    closed->closedByUser();
    clock->advance(10.0);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"closed"}));

    auto silent = HostAutoUpdateCountdownWindow::create(queue, "1", "1", "2", "2", 1);
    silent->skipButton->press();  // no callbacks set: nothing to call
}

TEST_F(CountdownWindow, ZeroLengthTriggersOnTheFirstTickWithoutANegativeCount) {
    auto window = make(0);
    EXPECT_EQ(window->statusLabel->text(), "Starting update in 0 seconds…");
    clock->advance(1.0);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"triggered"}));
}

TEST_F(CountdownWindow, AnOwnerMayReleaseTheWindowFromInsideItsCallbacks) {
    for (const char* which : {"trigger", "skip"}) {
        auto held = make();
        std::weak_ptr<HostAutoUpdateCountdownWindow> weak = held;
        bool aliveInside = false;
        held->onUpdateTriggered = [&] {
            held.reset();
            aliveInside = !weak.expired();
        };
        held->onSkipped = held->onUpdateTriggered;
        held->onWindowClosed = [&] { held.reset(); };
        auto* raw = held.get();
        if (std::string(which) == "trigger") raw->triggerNow();
        else raw->skipUpdate();
        EXPECT_TRUE(aliveInside) << which;
        EXPECT_TRUE(weak.expired()) << which;
    }
}

class ProgressWindow : public ::testing::Test {
protected:
    void SetUp() override { QuillmereL10n::configure({}); }
    std::shared_ptr<HostUpdateProgressWindow> make() {
        request = HostOnlineUpdateRequest::requestImmediateCheck("1.6", "160", updater.locations());
        auto window = HostUpdateProgressWindow::create(request, {queue, clock, updater.locations()});
        window->onClosed = [this] { ++closedCount; };
        return window;
    }
    void report(const std::string& state, std::map<std::string, std::string> extra = {}) {
        updater.report(request.identifier, state, std::move(extra));
        clock->advance(0.5);
    }
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> queue = clock->makeQueue("main");
    test::TestUpdater updater;
    HostOnlineUpdateRequest::Request request;
    int closedCount = 0;
};

TEST_F(ProgressWindow, FollowsARequestThroughToAVerifiedInstallAndDismissesItself) {
    auto window = make();
    EXPECT_EQ(window->title(), "Updating Host");
    EXPECT_EQ(window->titleLabel->text(), "Updating to V1.6");
    EXPECT_EQ(window->statusLabel->text(), "Waiting for the system updater service…");
    EXPECT_EQ(window->cancelButton->title(), "Cancel");
    EXPECT_TRUE(window->progressBar->animating());

    const std::map<std::string, std::string> target{{"targetVersion", "1.6.1"}, {"targetBuild", "161"}};
    report("queued", target);
    EXPECT_EQ(window->titleLabel->text(), "Updating to V1.6.1");
    report("downloading", target);
    EXPECT_EQ(window->statusLabel->text(), "Downloading update…");
    EXPECT_EQ(window->cancelButton->title(), "Cancel");
    report("installing", target);
    EXPECT_EQ(window->statusLabel->text(), "Installing update…");
    EXPECT_EQ(window->cancelButton->title(), "Close");

    auto unverified = target;
    unverified["installedVersion"] = "1.6.1";
    unverified["installedBuild"] = "160";
    report("completed", unverified);
    EXPECT_EQ(window->statusLabel->text(), "The system updater could not complete this update.");
    EXPECT_FALSE(window->cancelButton->hidden());
    clock->advance(10.0);
    EXPECT_EQ(closedCount, 0);

    auto verified = target;
    verified["installedVersion"] = "1.6.1";
    verified["installedBuild"] = "161";
    report("completed", verified);
    EXPECT_EQ(window->statusLabel->text(), "Installed version verified. Restarting Host…");
    EXPECT_TRUE(window->cancelButton->hidden());
    EXPECT_FALSE(window->progressBar->animating());
    clock->advance(4.0);
    EXPECT_EQ(closedCount, 0);
    clock->advance(1.0);
    EXPECT_EQ(closedCount, 1);
    EXPECT_FALSE(window->visible());
    EXPECT_TRUE(updater.cancelFiles().empty());
}

TEST_F(ProgressWindow, ACompletionWithoutATargetIsNeverVerified) {
    auto window = make();
    report("completed", {{"installedVersion", ""}, {"installedBuild", ""}});
    EXPECT_EQ(window->statusLabel->text(), "The system updater could not complete this update.");
    clock->advance(10.0);
    EXPECT_EQ(closedCount, 0);
}

TEST_F(ProgressWindow, FinalStatesShowTheirTexts) {
    const std::vector<std::pair<std::map<std::string, std::string>, std::string>> cases{
        {{{"state", "no-update"}}, "Corventis Host Is Up to Date"},
        {{{"state", "deferred"}}, "A recent installation is still in its safety cooldown."},
        {{{"state", "cancelled"}}, "Update cancelled."},
        {{{"state", "failed"}, {"failureReason", "manifest-url-rejected"}},
         "This Host version does not support the update download address."},
        {{{"state", "failed"}, {"failureReason", "package-download-failed"}},
         "Corventis Host could not reach the update service. It will try again automatically."},
        {{{"state", "failed"}}, "The system updater could not complete this update."},
    };
    for (auto [fields, text] : cases) {
        auto window = make();
        const auto state = fields["state"];
        fields.erase("state");
        report(state, fields);
        EXPECT_EQ(window->statusLabel->text(), text) << state;
        EXPECT_TRUE(window->cancelButton->hidden());
        clock->advance(5.0);
        EXPECT_FALSE(window->visible()) << state;
    }
}

TEST_F(ProgressWindow, CancelWritesOneCancelFileOnlyWhileCancellable) {
    auto window = make();
    report("downloading");
    window->cancelButton->press();
    EXPECT_EQ(window->statusLabel->text(), "Cancelling update…");
    EXPECT_EQ(window->cancelButton->title(), "Close");
    window->cancelButton->press();  // now Close
    EXPECT_FALSE(window->visible());
    EXPECT_EQ(updater.cancelFiles().size(), 1u);

    auto checking = make();
    report("checking");
    checking->closedByUser();
    EXPECT_EQ(updater.cancelFiles().size(), 2u);

    auto installing = make();
    report("installing");
    installing->closedByUser();
    auto quitting = make();
    quitting->applicationWillTerminate();
    EXPECT_FALSE(quitting->visible());
    EXPECT_EQ(updater.cancelFiles().size(), 2u);
}

TEST_F(ProgressWindow, NoStatusWithinThirtySecondsIsAFailureAndLaterStatusesAreIgnored) {
    auto window = make();
    clock->advance(30.0);
    EXPECT_FALSE(window->timedOut);
    clock->advance(0.5);
    EXPECT_TRUE(window->timedOut);
    EXPECT_EQ(window->statusLabel->text(), "The system updater could not complete this update.");
    EXPECT_FALSE(window->progressBar->animating());
    EXPECT_TRUE(window->cancelButton->hidden());
    updater.report(request.identifier, "downloading");
    clock->advance(4.5);
    EXPECT_EQ(window->statusLabel->text(), "The system updater could not complete this update.");
    EXPECT_FALSE(window->visible());
}

TEST_F(ProgressWindow, AClosedWindowStopsPolling) {
    auto window = make();
    window->applicationWillTerminate();
    report("downloading");
    EXPECT_FALSE(window->currentState);
    EXPECT_EQ(window->statusLabel->text(), "Waiting for the system updater service…");
}

}  // namespace
}  // namespace UpdateWindowTests
}  // namespace qm
