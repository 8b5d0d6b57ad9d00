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
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <pthread.h>
#include <signal.h>

#include "HostApp/Views/AlertSheetView.h"
#include <cmath>

#include "HostApp/Views/AboutPanelView.h"
#include "HostApp/Views/DetailWindowView.h"
#include "HostApp/Views/HostIcons.h"
#include "HostApp/Views/QtHostShell.h"
#include "HostApp/Views/SignalWatcher.h"
#include "Platform/Views/QtMainQueue.h"
#include "HostApp/Views/SummaryWindowView.h"
#include "support/Views/OffscreenApplication.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace ViewsSmokeTests {
namespace {

QAction* actionTitled(QMenu* menu, const QString& title) {
    for (auto* action : menu->actions()) {
        if (action->text() == title) return action;
    }
    return nullptr;
}

TEST(Views, SummaryWindowShowsTheModelAndForwardsClicks) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.routes = {{"wifi", "en0", "192.168.1.20"}};
    app.launch();
    auto* view = dynamic_cast<SummaryWindowView*>(shell->widgetFor(app.delegate->status().summaryWindow.get()));
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(view->windowTitle(), "Corventis Host");
    EXPECT_EQ(view->title()->text(), "Corventis Host is running");
    EXPECT_EQ(view->address()->text(), "Host IPs:\n  Wi-Fi en0: 192.168.1.20");
    EXPECT_EQ(view->viewers()->text(), "Viewer: none connected");
    EXPECT_FALSE(view->details()->isVisibleTo(view));
    EXPECT_TRUE(view->windowFlags() & Qt::WindowStaysOnTopHint) << "the floating level";

    const auto before = app.delegate->details().checkGeneration;
    view->refresh()->click();
    EXPECT_EQ(app.delegate->details().checkGeneration, before + 1);
    EXPECT_TRUE(app.logged("UI refresh requested"));

    view->launchAtLogin()->click();
    app.host.clock().runUntilIdle();
    EXPECT_FALSE(app.defaultsStore->standard()->boolean("host.launchAtLogin.desired"));
    EXPECT_FALSE(view->launchAtLogin()->isChecked());

    // Qt's offscreen platform has no system tray: the launch auto-close leaves the window, the
    // only way back to the Host, on screen. A model that closes hides the widget.
    ASSERT_FALSE(shell->hasStatusArea());
    app.host.clock().advance(5.1);
    EXPECT_TRUE(view->isVisible());
    app.delegate->status().summaryWindow->close();
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

    // A Viewer names itself: the line shows its name as it is, markup and all.
    app.delegate->status().summaryWindow->viewerLabel->setText("Viewer: <h1>Eve</h1><img src=\"x.png\">");
    EXPECT_EQ(view->viewers()->textFormat(), Qt::PlainText);
    EXPECT_EQ(view->viewers()->text(), "Viewer: <h1>Eve</h1><img src=\"x.png\">");
}

// The sheet of a window that is up (an ended one may wait for its deferred deletion).
AlertSheetView* upSheet(QWidget* window) {
    for (auto* sheet : window->findChildren<AlertSheetView*>()) {
        if (sheet->isVisible()) return sheet;
    }
    return nullptr;
}

TEST(Views, QuitQuestionIsAWarningSheetWhoseButtonsAnswerTheDelegate) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.launch();
    app.delegate->requestQuitMenuAction();
    auto* view = shell->widgetFor(app.delegate->status().summaryWindow.get());
    ASSERT_TRUE(view);
    auto* box = upSheet(view);
    ASSERT_TRUE(box);
    ASSERT_TRUE(app.delegate->status().summaryWindow->attachedSheet());
    EXPECT_EQ(app.delegate->status().summaryWindow->attachedSheet()->style, AlertModel::Style::warning);
    EXPECT_EQ(box->title()->text(), "Quit Corventis Host?");
    EXPECT_EQ(box->parentWidget(), view) << "a sheet of its window only";
    ASSERT_EQ(box->buttons().size(), 2u);
    QAbstractButton* keep = nullptr;
    for (auto* button : box->buttons()) {
        if (button->text() == "Keep Running") keep = button;
    }
    ASSERT_TRUE(keep);
    keep->click();
    app.host.clock().runUntilIdle();
    EXPECT_FALSE(app.delegate->terminationConfirmationInProgress());
    EXPECT_FALSE(app.delegate->terminationConfirmed());
    EXPECT_FALSE(app.delegate->status().summaryWindow->attachedSheet());
    EXPECT_FALSE(box->isVisible());
}

// A click as the platform delivers it: to the widget's window first, which passes it on to the
// widget under it (unless the window is blocked or holds its input back).
void platformClick(QWidget* widget) {
    QWidget* top = widget->window();
    ASSERT_TRUE(top->windowHandle());
    const QPointF local = widget->mapTo(top, QPointF(widget->rect().center()));
    const QPointF global = widget->mapToGlobal(QPointF(widget->rect().center()));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(top->windowHandle(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(top->windowHandle(), &release);
}

// The permission walk-through and the quit question up together on the summary window, in both
// orders they come in: a click answers the sheet it lands on, the one that came first included,
// and the window under them takes none while one is up.
TEST(Views, TwoSheetsOnOneWindowEachTakeTheirOwnClicks) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.launch();
    auto& delegate = *app.delegate;
    auto* window = dynamic_cast<SummaryWindowView*>(shell->widgetFor(delegate.status().summaryWindow.get()));
    ASSERT_TRUE(window);
    auto showWalkThrough = [&] {
        delegate.permissions().initialInstallOnboardingStep = HostProbeDelegate::InitialInstallOnboardingStep::confirmation;
        delegate.permissions().presentInitialInstallOnboardingStep();
    };
    auto buttonOf = [&](const QString& title, const QString& text) -> QPushButton* {
        for (auto* sheet : window->findChildren<AlertSheetView*>()) {
            if (!sheet->isVisible() || sheet->title()->text() != title) continue;
            for (auto* button : sheet->buttons()) {
                if (button->text() == text) return button;
            }
        }
        return nullptr;
    };
    for (const bool walkThroughFirst : {true, false}) {
        SCOPED_TRACE(walkThroughFirst ? "the walk-through first" : "the question first");
        if (walkThroughFirst) showWalkThrough();
        delegate.requestQuitMenuAction();
        if (!walkThroughFirst) showWalkThrough();
        auto* keepRunning = buttonOf("Quit Corventis Host?", "Keep Running");
        auto* openSettings = buttonOf("Confirm Both Permissions", "Open Accessibility Settings");
        ASSERT_TRUE(keepRunning && openSettings);

        const auto generation = delegate.details().checkGeneration;
        platformClick(window->refresh());
        EXPECT_EQ(delegate.details().checkGeneration, generation) << "the window takes no click under its sheets";

        const auto kept = app.count("quit cancelled: Host keeps running");
        auto answerQuestion = [&] {
            platformClick(keepRunning);
            app.host.clock().runUntilIdle();
            EXPECT_FALSE(delegate.terminationConfirmationInProgress());
            EXPECT_EQ(app.count("quit cancelled: Host keeps running"), kept + 1);
        };
        auto answerWalkThrough = [&] {
            platformClick(openSettings);
            app.host.clock().runUntilIdle();
            EXPECT_FALSE(delegate.permissions().initialInstallOnboardingSheetVisible);
        };
        // The sheet that came first, under the other, then the other.
        if (walkThroughFirst) {
            answerWalkThrough();
            answerQuestion();
        } else {
            answerQuestion();
            answerWalkThrough();
        }
        EXPECT_FALSE(delegate.terminationConfirmed());
        EXPECT_FALSE(delegate.status().summaryWindow->attachedSheet());
    }
    // With its sheets gone the window takes its clicks again.
    const auto generation = delegate.details().checkGeneration;
    platformClick(window->refresh());
    EXPECT_EQ(delegate.details().checkGeneration, generation + 1);
}

TEST(Views, OnboardingSheetsShowTheirStepAndTheNoticeCountsDownInPlace) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.launch();
    auto& delegate = *app.delegate;
    auto* window = shell->widgetFor(delegate.status().summaryWindow.get());
    ASSERT_TRUE(window);

    delegate.permissions().initialInstallOnboardingStep = HostProbeDelegate::InitialInstallOnboardingStep::confirmation;
    delegate.permissions().presentInitialInstallOnboardingStep();
    auto* confirm = upSheet(window);
    ASSERT_TRUE(confirm);
    EXPECT_EQ(confirm->title()->text(), "Confirm Both Permissions");
    ASSERT_EQ(confirm->buttons().size(), 3u);
    EXPECT_EQ(confirm->buttons()[0]->text(), "I Have Enabled Both");
    EXPECT_TRUE(confirm->buttons()[0]->isDefault());
    confirm->reject();  // Escape: no button's answer, so only a deferral
    app.host.clock().runUntilIdle();
    EXPECT_TRUE(app.logged("permissions: initial install onboarding permission confirmation deferred by user"));
    EXPECT_FALSE(delegate.permissions().initialInstallOnboardingSheetVisible);

    delegate.permissions().presentInitialInstallCompletionCountdown();
    auto* notice = upSheet(window);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->message()->text(), "Installation is complete. This window will close in 5 seconds.");
    app.host.clock().advance(1);
    EXPECT_EQ(notice->message()->text(), "Installation is complete. This window will close in 4 seconds.");
    app.host.clock().advance(4);
    EXPECT_FALSE(notice->isVisible()) << "the fifth second closes it";
    EXPECT_FALSE(window->isVisible());

    // Quitting closes every window: a sheet still up goes without answering.
    delegate.permissions().initialInstallOnboardingStep = HostProbeDelegate::InitialInstallOnboardingStep::accessibility;
    delegate.permissions().presentInitialInstallOnboardingStep();
    auto* step = upSheet(window);
    ASSERT_TRUE(step);
    step->dismissWithoutAnswer();
    step->close();
    app.host.clock().runUntilIdle();
    EXPECT_FALSE(step->isVisible());
    EXPECT_EQ(app.count("permissions: initial install onboarding Accessibility step deferred by user"), 0u);
}

TEST(Views, DisplayControlsShowTheDisplaysAndSendTheUsersChoices) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.host.displays().addDisplay(SimulatedDisplayService::makeDisplay(2, {320, 0}, 1920, 1080, 1920, 1080));
    app.launch();
    app.delegate->showDetailWindowAction();
    app.host.clock().runUntilIdle();
    auto* view = dynamic_cast<DetailWindowView*>(shell->widgetFor(app.delegate->details().detailWindow.get()));
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
    offscreenApplication();
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
    EXPECT_TRUE(app.delegate->terminationConfirmationInProgress()) << "the quit question is up";
}

TEST(Views, MainQueueRunsBlocksOnTheLoopAndHonoursCancel) {
    offscreenApplication();
    std::vector<int> order;  // these outlive the queue, which may still hold blocks that write them
    bool cancelledRan = false;
    auto queue = std::make_shared<QtMainQueue>(SystemClock::shared());
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

// However many blocks wait on the main queue, the loop looks at the stop signal within a turn,
// and a block queued ahead (the stop's last step) runs before the blocks still waiting.
TEST(Views, AStopSignalIsSeenAndTheStepAheadRunsWhateverWaitsOnTheMainQueue) {
    offscreenApplication();
    auto queue = std::make_shared<QtMainQueue>(SystemClock::shared());
    int ran = 0;
    int signalled = 0;
    int ranBeforeSignal = -1;
    SignalWatcher watcher([&](int number) {
        signalled = number;
        ranBeforeSignal = ran;
    });
    ASSERT_TRUE(watcher.valid());
    constexpr int waiting = 10000;
    for (int i = 0; i < waiting; ++i) queue->async([&] { ++ran; });
    // To this thread, which blocks the signal since the watcher began: it waits for the loop.
    ::pthread_kill(::pthread_self(), SIGTERM);
    ASSERT_TRUE(waitUntil([&] {
        QCoreApplication::processEvents();
        return signalled != 0;
    }));
    EXPECT_EQ(signalled, SIGTERM);
    EXPECT_LE(ranBeforeSignal, 2 * QtMainQueue::blocksPerTurn) << "seen within a turn";

    int ranBeforeAhead = -1;
    const int ranBeforePost = ran;
    std::thread([&] { queue->asyncAhead([&] { ranBeforeAhead = ran; }); }).join();
    ASSERT_TRUE(waitUntil([&] {
        QCoreApplication::processEvents();
        return ranBeforeAhead >= 0;
    }));
    EXPECT_EQ(ranBeforeAhead, ranBeforePost) << "nothing that waited ran before it";
    EXPECT_LT(ranBeforeAhead, waiting);
    EXPECT_TRUE(waitUntil([&] {
        QCoreApplication::processEvents();
        return ran == waiting;
    }));
}

// The stop's last step ends the loop through the main queue: once that block returns, none of
// the blocks still waiting runs (however many a turn could still take), nor one queued later,
// and a thread waiting in `sync` on one of them is let go.
TEST(Views, NoBlockWaitingOnTheMainQueueRunsOnceTheLoopEnds) {
    offscreenApplication();
    auto queue = std::make_shared<QtMainQueue>(SystemClock::shared());
    // Shared with the blocks and the waiting thread, which may outlive this test should they run.
    auto ran = std::make_shared<int>(0);
    auto letGo = std::make_shared<std::atomic<bool>>(false);
    constexpr int waiting = 1000;
    queue->async([ran] { ++*ran; });
    queue->async([ran, queue] {
        ++*ran;
        queue->endLoop(0);
    });
    for (int i = 0; i < waiting; ++i) queue->async([ran] { ++*ran; });
    std::thread waiter([ran, letGo, queue] {
        queue->sync([ran] { ++*ran; });
        *letGo = true;
    });
    ASSERT_TRUE(waitUntil([&] { return queue->waitingCount() == waiting + 3; }));
    // Only for liveness, should the loop never end.
    QTimer liveness;
    liveness.setSingleShot(true);
    QObject::connect(&liveness, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    liveness.start(60'000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(*ran, 2) << "blocks ran after the one that ended the loop";
    EXPECT_EQ(queue->waitingCount(), 0u);
    const bool returned = waitUntil([&] { return letGo->load(); }, std::chrono::seconds(30));
    returned ? waiter.join() : waiter.detach();
    EXPECT_TRUE(returned) << "a thread waiting in sync was never let go";
    queue->async([ran] { ++*ran; });
    QCoreApplication::processEvents();
    EXPECT_EQ(*ran, 2);
}

TEST(Views, SummaryWindowGrowsForEveryAddressLineInEveryLanguage) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.routes = {{"wifi", "en0", "192.0.2.10"},        {"ethernet", "en1", "198.51.100.24"},
                  {"thunderbolt", "bridge0", "169.254.3.9"}, {"wifi", "en2", "203.0.113.77"},
                  {"ethernet", "en3", "fd00:1234:5678::42"}};
    app.launch();
    auto* view = dynamic_cast<SummaryWindowView*>(shell->widgetFor(app.delegate->status().summaryWindow.get()));
    ASSERT_TRUE(view);
    for (const auto* language : {"en", "de", "ja"}) {
        SCOPED_TRACE(language);
        app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string(language));
        app.delegate->refreshHostLocalization();
        app.delegate->details().refresh(false, false);
        QCoreApplication::processEvents();
        const QStringList lines = view->address()->text().split('\n');
        ASSERT_EQ(lines.size(), 6) << "the header and five addresses";
        EXPECT_EQ(view->width(), SummaryWindowModel::width);
        EXPECT_GE(view->height(), view->neededHeight());
        EXPECT_GE(view->height(), SummaryWindowModel::height);
        // Every line of the address label fits inside the label, and the label inside the window,
        // above the version at the bottom.
        const QFontMetrics metrics(view->address()->font());
        EXPECT_GE(view->address()->height(), metrics.lineSpacing() * lines.size());
        const QRect address = view->address()->geometry();
        EXPECT_LE(address.bottom(), view->height());
        EXPECT_LT(address.bottom(), view->update()->geometry().top());
    }
    // Fewer lines again: the window shrinks back to its own height.
    app.routes = {{"wifi", "en0", "192.0.2.10"}};
    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("en"));
    app.delegate->refreshHostLocalization();
    app.delegate->details().refresh(false, false);
    EXPECT_EQ(view->height(), view->neededHeight());
}

TEST(Views, MenuBarKeepsTheTranslatedServicesTitle) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.launch();
    auto* view = shell->widgetFor(app.delegate->status().summaryWindow.get());
    auto* bar = view->findChild<QMenuBar*>();
    ASSERT_TRUE(bar);
    auto servicesTitle = [&] {
        for (auto* action : bar->actions()[0]->menu()->actions()) {
            if (action->menu() && action->menu()->actions().isEmpty()) return action->menu()->title();
        }
        return QString();
    };
    EXPECT_EQ(servicesTitle(), "Services");
    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("de"));
    app.delegate->refreshHostLocalization();
    QCoreApplication::processEvents();
    EXPECT_EQ(servicesTitle(), "Dienste");
}

TEST(Views, AboutPanelAndDetailWindowShowTheirModels) {
    offscreenApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.launch();
    app.delegate->showAboutPanelAction();
    app.host.clock().runUntilIdle();
    auto* about = dynamic_cast<AboutPanelView*>(shell->widgetFor(app.delegate->status().aboutPanel.get()));
    ASSERT_TRUE(about);
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->windowTitle(), "About QuillmereHost");
    EXPECT_EQ(about->name()->text(), "QuillmereHost");
    EXPECT_EQ(about->version()->text(), "Version 1.4.9 (149)");
    EXPECT_TRUE(about->windowFlags() & Qt::WindowStaysOnTopHint);
    // The whole title fits: the panel is wider than its title text.
    EXPECT_GT(about->width(), QFontMetrics(about->font()).horizontalAdvance(about->windowTitle()));

    app.delegate->showDetailWindowAction();
    app.host.clock().runUntilIdle();
    auto* detail = dynamic_cast<DetailWindowView*>(shell->widgetFor(app.delegate->details().detailWindow.get()));
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->windowTitle(), "Corventis Host V1.4.9");
    EXPECT_FALSE(detail->copyLogs()->isVisibleTo(detail));
    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("ja"));
    app.delegate->refreshHostLocalization();
    EXPECT_EQ(detail->useDisplay()->text(), QString::fromStdString(app.delegate->details().useDisplayButton->title()));
    EXPECT_NE(detail->useDisplay()->text(), "Use Physical");
}

// Relative luminance of a colour, as the contrast formula of the web's accessibility rules uses it.
double luminance(QColor colour) {
    auto channel = [](double value) {
        value /= 255.0;
        return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.red()) + 0.7152 * channel(colour.green()) + 0.0722 * channel(colour.blue());
}

TEST(Views, DrawnStatusIconIsSharpAtEverySizeAndStandsOutOnLightAndDarkPanels) {
    offscreenApplication();
    const QIcon icon = drawnHostIcon();
    for (int size : {16, 22, 24, 32, 44, 48}) {
        SCOPED_TRACE(size);
        // A pixmap drawn for that very size: nothing is scaled (blurred) on a 1x or 2x panel.
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size)));
        const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(image.size(), QSize(size, size));
        for (const QColor panel : {QColor(0x20, 0x20, 0x20), QColor(0xf2, 0xf2, 0xf2)}) {
            // Some of the icon's opaque pixels contrast with the panel at least 4.5:1.
            int contrasting = 0;
            const double panelLuminance = luminance(panel);
            for (int y = 0; y < size; ++y) {
                for (int x = 0; x < size; ++x) {
                    const QColor pixel = image.pixelColor(x, y);
                    if (pixel.alpha() < 200) continue;
                    const double l = luminance(pixel);
                    const double ratio = (std::max(l, panelLuminance) + 0.05) / (std::min(l, panelLuminance) + 0.05);
                    if (ratio >= 4.5) ++contrasting;
                }
            }
            EXPECT_GE(contrasting, size * size / 8) << "panel " << panel.name().toStdString();
        }
    }
    EXPECT_FALSE(hostApplicationIcon().isNull());
}

}  // namespace
}  // namespace ViewsSmokeTests
}  // namespace qm::test
