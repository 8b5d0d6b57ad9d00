// The conflict alert and the folder panel on the offscreen platform: the texts of their models,
// and the answers going back.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include "HostApp/App/TransferCenterRows.h"
#include "HostApp/Delivery/FileTransferConflictResolver.h"
#include "HostApp/Views/QtHostShell.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"
#include "support/TestPlatform.h"
#include "support/Views/OffscreenApplication.h"

namespace qm::test {
namespace DeliveryViewsTests {
namespace {


QMessageBox* openBox() {
    for (auto* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
    }
    return nullptr;
}

TEST(DeliveryViews, TheConflictAlertShowsItsRowsAndAnswersWithTheBoxTicked) {
    offscreenApplication();
    QtHostShell shell;
    FileTransferConflictAlert::Info info{"report.pdf", 1500, std::nullopt, 2'500'000, std::nullopt, 2};
    std::optional<std::pair<FileTransferConflictChoice, bool>> answer;
    FileTransferConflictAlert::present(shell, info, std::make_shared<WindowModel>(), false,
                                       [&](FileTransferConflictChoice choice, bool all) { answer = {choice, all}; });
    QApplication::processEvents();
    auto* box = openBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text(), "Copy Conflict");
    QStringList labels;
    for (auto* label : box->findChildren<QLabel*>()) labels << label->text();
    EXPECT_TRUE(labels.contains("Existing file: report.pdf"));
    EXPECT_TRUE(labels.contains("2 KB"));
    EXPECT_TRUE(labels.contains("2.5 MB"));
    EXPECT_TRUE(labels.contains("Backup is not enabled. Replaced files cannot be recovered."));
    auto* applyToAll = box->findChild<QCheckBox*>();
    ASSERT_TRUE(applyToAll);
    EXPECT_EQ(applyToAll->text(), "Apply to all (2 more conflicts)");
    EXPECT_EQ(box->defaultButton()->text(), "Keep Both");
    applyToAll->click();
    for (auto* button : box->buttons()) {
        if (button->text() == "Replace") button->click();
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->first, FileTransferConflictChoice::replace);
    EXPECT_TRUE(answer->second);
}

TEST(DeliveryViews, TheFolderPanelShowsItsTextsAndAnswersTheChosenFolderOrNothing) {
    offscreenApplication();
    QtHostShell shell;
    TemporaryDirectory temp;
    FolderPanelModel panel{"Choose Save Location", "Save Here", "Choose where to save \"a.txt\""};
    std::vector<std::optional<std::filesystem::path>> answers;
    shell.beginFolderPanel(nullptr, panel, [&](std::optional<std::filesystem::path> folder) { answers.push_back(folder); });
    QApplication::processEvents();
    QFileDialog* dialog = nullptr;
    for (auto* widget : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) dialog = found;
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowTitle(), "Choose Save Location");
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Save Here");
    EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
    auto* message = dialog->findChild<QLabel*>("folderPanelMessage");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->text(), "Choose where to save \"a.txt\"");
    // In a folder with nothing selected, the folder itself is the choice.
    dialog->setDirectory(QString::fromStdString(temp.path().string()));
    QApplication::processEvents();
    QMetaObject::invokeMethod(dialog, "accept");
    QApplication::processEvents();
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(std::filesystem::weakly_canonical(*answers[0]), std::filesystem::weakly_canonical(temp.path()));

    shell.beginFolderPanel(nullptr, panel, [&](std::optional<std::filesystem::path> folder) { answers.push_back(folder); });
    QApplication::processEvents();
    for (auto* widget : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) found->reject();
    QApplication::processEvents();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_FALSE(answers[1]);

    // Closed by its owner (nobody waits for the answer any more): it goes, unanswered.
    auto close = shell.beginFolderPanel(nullptr, panel, [&](std::optional<std::filesystem::path> folder) {
        answers.push_back(folder);
    });
    QApplication::processEvents();
    QPointer<QFileDialog> closing;
    for (auto* widget : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) closing = found;
    ASSERT_TRUE(closing);
    ASSERT_TRUE(close);
    close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
    EXPECT_TRUE(!closing || !closing->isVisible());
    EXPECT_EQ(answers.size(), 2u);
    close();  // a second close, after it went, does nothing
}

// Names come from Viewers and from files: markup in one is shown as the characters it is.
TEST(DeliveryViews, NamesInTheConflictQuestionAndTheFolderPanelAreShownAsTheyAre) {
    offscreenApplication();
    QtHostShell shell;
    const std::string name = "<h1>big</h1><img src=\"x.png\">.pdf";
    auto showsPlainly = [&](QWidget* root) {
        int shown = 0;
        for (auto* label : root->findChildren<QLabel*>()) {
            if (!label->text().contains("<h1>big</h1>")) continue;
            ++shown;
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
        }
        return shown;
    };
    FileTransferConflictAlert::Info info{name, 1500, std::nullopt, 2'500'000, std::nullopt, 0};
    FileTransferConflictAlert::present(shell, info, std::make_shared<WindowModel>(), false,
                                       [](FileTransferConflictChoice, bool) {});
    QApplication::processEvents();
    auto* box = openBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(showsPlainly(box), 3) << "the question and the two file rows";
    box->buttons().front()->click();

    FolderPanelModel panel{"Choose Save Location", "Save Here", "Choose where to save \"" + name + "\""};
    auto close = shell.beginFolderPanel(nullptr, panel, [](std::optional<std::filesystem::path>) {});
    QApplication::processEvents();
    QFileDialog* dialog = nullptr;
    for (auto* widget : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) dialog = found;
    ASSERT_TRUE(dialog);
    EXPECT_EQ(showsPlainly(dialog), 1);
    close();
}

TEST(DeliveryViews, SheetsBegunOnTheFileTransfersWindowOpenOverItsView) {
    offscreenApplication();
    QtHostShell shell;
    auto clock = std::make_shared<ManualClock>();
    auto center = FileTransferCenter::make(clock->makeQueue("main"));
    shell.attachTransferCenter(center);
    auto rows = makeTransferCenterRows(center);
    auto window = rows->foregroundPresentationWindow();
    ASSERT_TRUE(window);
    QApplication::processEvents();
    QWidget* transfers = shell.transferCenterWidget();
    ASSERT_TRUE(transfers);
    EXPECT_TRUE(transfers->isVisible());

    FileTransferConflictAlert::Info info{"report.pdf", 1500, std::nullopt, 2'500'000, std::nullopt, 0};
    std::optional<FileTransferConflictChoice> answer;
    FileTransferConflictAlert::present(shell, info, window, true,
                                       [&](FileTransferConflictChoice choice, bool) { answer = choice; });
    QApplication::processEvents();
    auto* box = openBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->parentWidget(), transfers);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint) << "the alert floats its window; it must not hide behind another";
    box->defaultButton()->click();
    EXPECT_EQ(answer, FileTransferConflictChoice::keepBoth);

    FolderPanelModel panel{"Choose Save Location", "Save Here", ""};
    std::vector<std::optional<std::filesystem::path>> answers;
    shell.beginFolderPanel(window, panel, [&](std::optional<std::filesystem::path> folder) { answers.push_back(folder); });
    QApplication::processEvents();
    QFileDialog* dialog = transfers->findChild<QFileDialog*>();
    ASSERT_TRUE(dialog) << "the folder panel is not a sheet of the File Transfers window";
    dialog->reject();
    QApplication::processEvents();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0]);
}

}  // namespace
}  // namespace DeliveryViewsTests
}  // namespace qm::test
