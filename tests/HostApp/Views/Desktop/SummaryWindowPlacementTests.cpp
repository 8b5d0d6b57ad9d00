// The summary window on a real X server with a window manager: it is mapped at launch and stays
// mapped while its level changes, grows for a longer address list without moving, and comes back
// where it was after being closed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QWindow>

#include "HostApp/Views/QtHostShell.h"
#include "HostApp/Views/SummaryWindowView.h"
#include "support/AppHarness.h"
#include "support/VirtualXServer.h"
#include "support/Views/XcbApplication.h"

namespace qm::test {
namespace SummaryWindowPlacementTests {
namespace {

using namespace std::chrono_literals;

struct PlacedSummaryWindow : ::testing::Test {
    VirtualXServer x{"1280x1024x24"};
    std::unique_ptr<QApplication> application;

    void SetUp() override {
        if (!x.running()) GTEST_SKIP() << x.reason();
        ASSERT_TRUE(x.startWindowManager());
        application = xcbApplicationOn(x.name());
    }
    // Runs Qt's loop and the harness's virtual clock until `predicate` holds.
    bool settle(AppHarness& app, const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 20s) {
        return waitUntil([&] {
            app.host.clock().runUntilIdle();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return predicate();
        }, timeout);
    }
    // Keeps the loop turning for a number of rounds, so that late window-manager events arrive.
    void turn(AppHarness& app, int rounds) {
        for (int i = 0; i < rounds; ++i) {
            app.host.clock().runUntilIdle();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
    }
};

TEST_F(PlacedSummaryWindow, OpensAtLaunchGrowsInPlaceAndComesBackWhereItWas) {
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.routes = {{"wifi", "en0", "192.0.2.10"}};
    app.launch();
    auto* view = dynamic_cast<SummaryWindowView*>(shell->widgetFor(app.delegate->status().summaryWindow.get()));
    ASSERT_TRUE(view);
    ASSERT_TRUE(settle(app, [&] { return view->isVisible() && view->windowHandle() && view->windowHandle()->isExposed(); }));
    // It floats (stays on top) and is still on screen after the window manager had its say.
    turn(app, 25);
    EXPECT_TRUE(view->isVisible());
    EXPECT_TRUE(view->windowHandle()->isExposed()) << "the window was withdrawn after it was mapped";
    EXPECT_TRUE(view->windowFlags() & Qt::WindowStaysOnTopHint);

    // Move it somewhere of the user's choosing.
    view->move(300, 200);
    ASSERT_TRUE(settle(app, [&] { return view->pos() == QPoint(300, 200); }));
    const QPoint place = view->pos();
    const int height = view->height();

    // Five addresses: it grows downwards, its top left stays.
    app.routes = {{"wifi", "en0", "192.0.2.10"},        {"ethernet", "en1", "198.51.100.24"},
                  {"thunderbolt", "bridge0", "169.254.3.9"}, {"wifi", "en2", "203.0.113.77"},
                  {"ethernet", "en3", "fd00:1234:5678::42"}};
    app.delegate->details().refresh(false, false);
    ASSERT_TRUE(settle(app, [&] { return view->height() > height; }));
    turn(app, 10);
    EXPECT_EQ(view->pos(), place);
    EXPECT_GE(view->height(), view->neededHeight());

    // Closed from its title bar and shown again from the menu: the same place.
    view->close();
    ASSERT_TRUE(settle(app, [&] { return !view->isVisible(); }));
    app.delegate->showSummaryWindowAction(HostProbeDelegate::Sender::menuItem);
    ASSERT_TRUE(settle(app, [&] { return view->isVisible() && view->windowHandle()->isExposed(); }));
    turn(app, 10);
    EXPECT_EQ(view->pos(), place);

    // Minimised and restored: the same place again.
    app.delegate->status().summaryWindow->miniaturize();
    // The window manager has iconified it before it is asked back.
    ASSERT_TRUE(settle(app, [&] { return !view->windowHandle()->isExposed(); }));
    turn(app, 10);
    app.delegate->status().summaryWindow->deminiaturize();
    ASSERT_TRUE(settle(app, [&] { return view->isVisible() && view->windowHandle()->isExposed(); }));
    turn(app, 10);
    EXPECT_EQ(view->pos(), place);
}

}  // namespace
}  // namespace SummaryWindowPlacementTests
}  // namespace qm::test
