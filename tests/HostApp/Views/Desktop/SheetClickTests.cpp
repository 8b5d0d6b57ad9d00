// The sheets of the File Transfers window on a real X server with a window manager, clicked as a
// user clicks (the pointer moved and the button pressed through the X server): every conflict
// question up takes its click, the earlier of two as well as the later, and so does the folder
// panel with a question opened over it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QWindow>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "HostApp/App/TransferCenterRows.h"
#include "HostApp/Delivery/FileTransferConflictResolver.h"
#include "HostApp/Views/QtHostShell.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"
#include "support/Views/XcbApplication.h"

namespace qm::test {
namespace SheetClickTests {
namespace {

using namespace std::chrono_literals;

struct TransferSheets : ::testing::Test {
    VirtualXServer x{"1280x1024x24"};
    // Qt's file dialog keeps what it last showed in the user's Qt settings: here in the test's own.
    TemporaryDirectory settings;
    std::unique_ptr<QApplication> application;
    Display* display = nullptr;  // the user's own connection: the pointer and its button
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::unique_ptr<QtHostShell> shell;
    std::shared_ptr<FileTransferCenter> center;
    std::shared_ptr<FileTransferRows> rows;
    std::shared_ptr<WindowModel> window;
    QWidget* transfers = nullptr;

    void SetUp() override {
        if (!x.running()) GTEST_SKIP() << x.reason();
        ASSERT_TRUE(x.startWindowManager());
        application = xcbApplicationOn(x.name());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(settings.path().string()));
        display = XOpenDisplay(x.name().c_str());
        ASSERT_TRUE(display);
        shell = std::make_unique<QtHostShell>();
        center = FileTransferCenter::make(clock->makeQueue("main"));
        shell->attachTransferCenter(center);
        rows = makeTransferCenterRows(center);
        rows->addTask(UUID::random(), FileTransferDirection::incoming, "Viewer", 2, 4'000'000,
                      {"Quarterly Report.pdf", "Figures.csv"}, {});
        window = rows->foregroundPresentationWindow();
        transfers = shell->transferCenterWidget();
        ASSERT_TRUE(transfers);
        // A window shown while the window manager is still starting may be left unmapped (seen
        // under load): shown again once, as a user would bring it back.
        if (!settle([&] { return exposed(transfers); }, 10s)) {
            transfers->hide();
            rows->orderFront();
            transfers->show();
        }
        ASSERT_TRUE(settle([&] { return exposed(transfers); }));
    }
    void TearDown() override {
        shell.reset();
        if (display) XCloseDisplay(display);
        if (application) {
            QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                               QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
        }
        application.reset();
    }

    // Runs Qt's loop and the virtual clock until `predicate` holds.
    bool settle(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 20s) {
        return waitUntil([&] {
            clock->runUntilIdle();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return predicate();
        }, timeout);
    }
    static bool exposed(QWidget* widget) {
        return widget->isVisible() && widget->windowHandle() && widget->windowHandle()->isExposed();
    }

    // Where the window manager put a window, in root coordinates, as the X server has it.
    QRect onScreen(QWidget* widget) const {
        int x = 0;
        int y = 0;
        Window child = 0;
        XWindowAttributes attributes{};
        const auto id = static_cast<Window>(widget->winId());
        XTranslateCoordinates(display, id, DefaultRootWindow(display), 0, 0, &x, &y, &child);
        XGetWindowAttributes(display, id, &attributes);
        return {x, y, attributes.width, attributes.height};
    }
    // Moves `sheet` beside `other` (as a user drags a sheet aside to reach the one below), once
    // the window manager placed both; true once they no longer overlap on screen.
    bool moveAside(QWidget* sheet, QWidget* other) {
        const QRect below = onScreen(other);
        sheet->move(below.right() + 40, below.top());
        return settle([&] { return !onScreen(sheet).intersects(onScreen(other)); });
    }
    // The user's click at the middle of `button`.
    void click(QWidget* button) {
        const QRect top = onScreen(button->window());
        const QPoint at = top.topLeft() + button->mapTo(button->window(), button->rect().center());
        XTestFakeMotionEvent(display, -1, at.x(), at.y(), CurrentTime);
        XSync(display, False);
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
        XSync(display, False);
    }
    std::vector<QMessageBox*> questions() const {
        std::vector<QMessageBox*> boxes;
        for (auto* box : transfers->findChildren<QMessageBox*>()) {
            if (box->isVisible()) boxes.push_back(box);
        }
        return boxes;
    }
    QMessageBox* ask(const std::string& name, std::optional<FileTransferConflictChoice>& answer) {
        const auto before = questions();
        FileTransferConflictAlert::Info info{name, 1500, std::nullopt, 2'500'000, std::nullopt, 0};
        FileTransferConflictAlert::present(*shell, info, window, true,
                                           [&answer](FileTransferConflictChoice choice, bool) { answer = choice; });
        QMessageBox* asked = nullptr;
        settle([&] {
            for (auto* box : questions()) {
                if (std::find(before.begin(), before.end(), box) == before.end() && exposed(box)) asked = box;
            }
            return asked != nullptr;
        });
        return asked;
    }
    static QAbstractButton* button(QMessageBox* box, const QString& title) {
        for (auto* found : box->buttons()) {
            if (found->text() == title) return found;
        }
        return nullptr;
    }
};

TEST_F(TransferSheets, EachQuestionAndTheFolderPanelTakeTheirClickWhicheverCameFirst) {
    std::optional<FileTransferConflictChoice> first;
    std::optional<FileTransferConflictChoice> second;
    QMessageBox* earlier = ask("Quarterly Report.pdf", first);
    ASSERT_TRUE(earlier);
    QMessageBox* later = ask("Figures.csv", second);
    ASSERT_TRUE(later);
    ASSERT_TRUE(moveAside(later, earlier)) << "the later question still covers the earlier one";

    auto* replace = button(earlier, "Replace");
    ASSERT_TRUE(replace);
    click(replace);
    EXPECT_TRUE(settle([&] { return first.has_value(); })) << "the click on the earlier question did nothing";
    EXPECT_EQ(first, FileTransferConflictChoice::replace);
    EXPECT_FALSE(second) << "only the question clicked is answered";

    auto* keepBoth = button(later, "Keep Both");
    ASSERT_TRUE(keepBoth);
    click(keepBoth);
    EXPECT_TRUE(settle([&] { return second.has_value(); }));
    EXPECT_EQ(second, FileTransferConflictChoice::keepBoth);
    EXPECT_TRUE(settle([&] { return questions().empty(); }));

    // The folder panel, and a question opened over it: the panel still takes its click. (One
    // application per process: Qt's X platform does not come back for a second one.)
    std::vector<std::optional<std::filesystem::path>> chosen;
    TemporaryDirectory home;
    FolderPanelModel model{"Choose Save Location", "Save Here", ""};
    model.directory = home.path();
    shell->beginFolderPanel(window, model, [&](std::optional<std::filesystem::path> folder) { chosen.push_back(folder); });
    QFileDialog* panel = nullptr;
    ASSERT_TRUE(settle([&] {
        panel = transfers->findChild<QFileDialog*>();
        return panel && exposed(panel);
    }));
    std::optional<FileTransferConflictChoice> answer;
    QMessageBox* question = ask("Summary.key", answer);
    ASSERT_TRUE(question);
    ASSERT_TRUE(moveAside(question, panel)) << "the question still covers the panel";

    QPushButton* cancel = nullptr;
    for (auto* found : panel->findChildren<QPushButton*>()) {
        if (found->isVisible() && found->text().remove('&') == "Cancel") cancel = found;
    }
    ASSERT_TRUE(cancel);
    click(cancel);
    EXPECT_TRUE(settle([&] { return !chosen.empty(); })) << "the click on the panel did nothing";
    ASSERT_EQ(chosen.size(), 1u);
    EXPECT_FALSE(chosen[0]);
    EXPECT_FALSE(answer) << "the question is still up";

    auto* stop = button(question, "Stop");
    ASSERT_TRUE(stop);
    click(stop);
    EXPECT_TRUE(settle([&] { return answer.has_value(); }));
    EXPECT_EQ(answer, FileTransferConflictChoice::stop);
}

}  // namespace
}  // namespace SheetClickTests
}  // namespace qm::test
