// The Qt views on the offscreen platform: each shows its model's texts, and clicks reach the
// model. The logic is tested on the models; these only check the binding.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>

#include "HostApp/Views/DetailWindowView.h"
#include "HostApp/Views/QtHostShell.h"
#include "Platform/Views/QtMainQueue.h"
#include "HostApp/Views/SummaryWindowView.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "views_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

QAction* actionTitled(QMenu* menu, const QString& title) {
    for (auto* action : menu->actions()) {
        if (action->text() == title) return action;
    }
    return nullptr;
}

TEST(Views, SummaryWindowShowsTheModelAndForwardsClicks) {
    application();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.routes = {{"wifi", "en0", "192.168.1.20"}};
    app.launch();
    auto* view = dynamic_cast<SummaryWindowView*>(shell->widgetFor(app.delegate->summaryWindow.get()));
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(view->windowTitle(), "Corventis Host");
    EXPECT_EQ(view->title()->text(), "Corventis Host is running");
    EXPECT_EQ(view->address()->text(), "Host IPs:\n  Wi-Fi en0: 192.168.1.20");
    EXPECT_EQ(view->viewers()->text(), "Viewer: none connected");
    EXPECT_FALSE(view->details()->isVisibleTo(view));
    EXPECT_TRUE(view->windowFlags() & Qt::WindowStaysOnTopHint) << "the floating level";

    const auto before = app.delegate->checkGeneration;
    view->refresh()->click();
    EXPECT_EQ(app.delegate->checkGeneration, before + 1);
    EXPECT_TRUE(app.logged("UI refresh requested"));

    view->launchAtLogin()->click();
    app.host.clock().runUntilIdle();
    EXPECT_FALSE(app.defaultsStore->standard()->boolean("host.launchAtLogin.desired"));
    EXPECT_FALSE(view->launchAtLogin()->isChecked());

    // The model's auto-close hides the widget.
    app.host.clock().advance(5.1);
    EXPECT_FALSE(view->isVisible());
    // The menu bar carries the main menu; choosing Show Host Status brings the window back.
    auto* bar = view->findChild<QMenuBar*>();
    ASSERT_TRUE(bar);
    ASSERT_GE(bar->actions().size(), 4);
    EXPECT_EQ(bar->actions()[1]->text(), "Host");
    auto* hostMenu = bar->actions()[1]->menu();
    auto* show = actionTitled(hostMenu, "Show Host Status");
    ASSERT_TRUE(show);
    show->trigger();
    EXPECT_TRUE(view->isVisible());
    EXPECT_TRUE(app.logged("ui: show Host status requested source=menu"));
}

TEST(Views, QuitQuestionIsAWarningSheetWhoseButtonsAnswerTheDelegate) {
    application();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.launch();
    app.delegate->requestQuitMenuAction();
    auto* view = shell->widgetFor(app.delegate->summaryWindow.get());
    ASSERT_TRUE(view);
    auto* box = view->findChild<QMessageBox*>();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->text(), "Quit Corventis Host?");
    ASSERT_EQ(box->buttons().size(), 2);
    QAbstractButton* keep = nullptr;
    for (auto* button : box->buttons()) {
        if (button->text() == "Keep Running") keep = button;
    }
    ASSERT_TRUE(keep);
    keep->click();
    app.host.clock().runUntilIdle();
    EXPECT_FALSE(app.delegate->terminationConfirmationInProgress);
    EXPECT_FALSE(app.delegate->terminationConfirmed);
    EXPECT_FALSE(app.delegate->summaryWindow->attachedSheet());
}

TEST(Views, DisplayControlsShowTheDisplaysAndSendTheUsersChoices) {
    application();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.host.displays().addDisplay(SimulatedDisplayService::makeDisplay(2, {320, 0}, 1920, 1080, 1920, 1080));
    app.launch();
    app.delegate->showDetailWindowAction();
    app.host.clock().runUntilIdle();
    auto* view = dynamic_cast<DetailWindowView*>(shell->widgetFor(app.delegate->detailWindow.get()));
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->isVisible());
    ASSERT_EQ(view->displayPopup()->count(), 2);
    EXPECT_EQ(view->displayPopup()->currentIndex(), 1) << "display 1, the captured one";
    EXPECT_NE(view->diagnostics()->text().indexOf("Displays:"), -1);

    view->displayPopup()->activated(0);
    view->useDisplay()->click();
    EXPECT_TRUE(app.logged("UI selected physical display 2"));
    view->virtualDisplay()->click();
    EXPECT_TRUE(app.logged("UI headless virtual display enabled"));
    app.host.clock().advance(1.0);
    EXPECT_TRUE(view->virtualDisplay()->isChecked());
}

TEST(Views, StatusMenuFollowsItsModel) {
    application();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.launch();
    QMenu* menu = shell->statusMenuWidget();
    ASSERT_TRUE(menu);
    EXPECT_TRUE(actionTitled(menu, "Corventis Host is running"));
    EXPECT_FALSE(actionTitled(menu, "Corventis Host is running")->isEnabled());
    EXPECT_TRUE(actionTitled(menu, "Viewer: none connected"));

    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("fr"));
    app.delegate->refreshHostLocalization();
    auto* quit = actionTitled(menu, "Quitter l’hôte…");
    ASSERT_TRUE(quit);
    quit->trigger();
    app.host.clock().advance(1);
    EXPECT_TRUE(app.delegate->terminationConfirmationInProgress) << "the quit question is up";
}

TEST(Views, MainQueueRunsBlocksOnTheLoopAndHonoursCancel) {
    application();
    auto queue = std::make_shared<QtMainQueue>(SystemClock::shared());
    std::vector<int> order;
    bool cancelledRan = false;
    auto cancelled = queue->asyncAfter(0.0, [&] { cancelledRan = true; });
    cancelled->cancel();
    queue->async([&] { order.push_back(1); });
    std::thread([&] { queue->async([&] { order.push_back(2); }); }).join();
    queue->asyncAfter(0.001, [&] { order.push_back(3); });
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(waitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return order.size() == 3;
    }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(cancelledRan);
    EXPECT_TRUE(queue->isCurrent());
    bool offLoop = true;
    std::thread([&] { offLoop = !queue->isCurrent(); }).join();
    EXPECT_TRUE(offLoop);
}

}  // namespace
}  // namespace qm::test
