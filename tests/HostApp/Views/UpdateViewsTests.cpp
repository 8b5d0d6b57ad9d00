// The update windows' views on the offscreen platform: they show their models and clicks reach
// the models.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "HostApp/Views/QtHostShell.h"
#include "HostApp/Views/UpdateWindowViews.h"
#include "support/Views/OffscreenApplication.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace UpdateViewsTests {
namespace {

TEST(UpdateViews, CountdownAndProgressWindowsFollowTheirModels) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.environment.defaults->set("host.autoUpdate.enabled", true);
    app.launch();
    app.answerFeed(QuillmereReleaseFeed{{"9", "9"}, {"1.6", "160"}});

    auto countdown = app.delegate->updates().autoUpdateCountdownWindow;
    ASSERT_TRUE(countdown);
    auto* countdownView = dynamic_cast<CountdownWindowView*>(shell->widgetFor(countdown.get()));
    ASSERT_TRUE(countdownView);
    EXPECT_TRUE(countdownView->isVisible());
    EXPECT_EQ(countdownView->windowTitle(), "Automatic Update");
    EXPECT_EQ(countdownView->status()->text(), "Starting update in 5 seconds…");
    app.host.clock().advance(2);
    EXPECT_EQ(countdownView->status()->text(), "Starting update in 3 seconds…");
    EXPECT_EQ(countdownView->bar()->value(), 3);

    countdownView->updateNow()->click();
    EXPECT_FALSE(countdownView->isVisible());
    ASSERT_EQ(app.feedRequests.size(), 1u);
    app.answerFeed(QuillmereReleaseFeed{{"9", "9"}, {"1.6", "160"}});

    auto progress = app.delegate->updates().onlineUpdateProgressWindow;
    ASSERT_TRUE(progress);
    auto* progressView = dynamic_cast<UpdateProgressWindowView*>(shell->widgetFor(progress.get()));
    ASSERT_TRUE(progressView);
    EXPECT_TRUE(progressView->isVisible());
    EXPECT_EQ(progressView->status()->text(), "Waiting for the system updater service…");
    EXPECT_EQ(progressView->button()->text(), "Cancel");
    progressView->button()->click();
    EXPECT_EQ(progressView->status()->text(), "Cancelling update…");
    EXPECT_EQ(progressView->button()->text(), "Close");
    EXPECT_EQ(app.updater.cancelFiles().size(), 1u);
    progressView->close();
    EXPECT_FALSE(progress->visible());
}

}  // namespace
}  // namespace UpdateViewsTests
}  // namespace qm::test
