// The conflict alert and the folder panel on the offscreen platform: the texts of their models,
// and the answers going back.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTextDocument>
#include <QTreeView>

#include "HostApp/App/TransferCenterRows.h"
#include "HostApp/Delivery/FileTransferConflictResolver.h"
#include "HostApp/Views/QtHostShell.h"
#include "HostApp/Views/WindowVisibility.h"
#include "Platform/UserDefaults.h"
#include "Platform/Views/QtText.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"
#include "QuillmereProfiles/UI/Views/QtTranslations.h"
#include "QuillmereProfiles/UI/Views/TransferProgressWindowView.h"
#include "support/TestPlatform.h"
#include "support/Views/OffscreenApplication.h"

namespace qm::test {
namespace DeliveryViewsTests {
namespace {

// The Host's own string tables in one language, chosen as the user's override; English (no
// tables, and Qt's texts back in English) once it goes.
struct HostLanguage {
    explicit HostLanguage(const std::string& identifier) {
        store->standard()->set(QuillmereL10n::overrideKey, identifier);
        QuillmereL10n::Environment l10n;
        l10n.defaults = store;
        l10n.resources = QM_HOST_RESOURCES_DIR;
        l10n.preferredSystemLanguages = {"en_US"};
        QuillmereL10n::configure(l10n);
    }
    ~HostLanguage() {
        QuillmereL10n::configure({});
        followApplicationLanguageInQtTexts();
    }
    std::shared_ptr<InMemoryUserDefaultsStore> store = std::make_shared<InMemoryUserDefaultsStore>();
};

// Qt's file dialog keeps its column widths and last folder in the user's Qt settings; a test
// starts from none and leaves the user's alone.
struct FreshQtSettings {
    FreshQtSettings() { QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, q(folder.path().string())); }
    ~FreshQtSettings() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    }
    TemporaryDirectory folder;
};

QFileDialog* visibleFolderPanel() {
    QFileDialog* dialog = nullptr;
    for (auto* widget : QApplication::allWidgets())
        if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) dialog = found;
    return dialog;
}


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

// Never the process's working folder: it may be one the user cannot write to, where saving fails.
TEST(DeliveryViews, TheFolderPanelOpensAtItsModelsFolderElseAtHome) {
    offscreenApplication();
    FreshQtSettings settings;
    QtHostShell shell;
    TemporaryDirectory temp;
    std::filesystem::create_directories(temp.path() / "work");
    std::filesystem::create_directories(temp.path() / "Chosen");
    const QString working = QDir::currentPath();
    QDir::setCurrent(q((temp.path() / "work").string()));
    auto openedAt = [&](const std::filesystem::path& directory) {
        FolderPanelModel panel{"Choose Save Location", "Save Here", ""};
        panel.directory = directory;
        auto close = shell.beginFolderPanel(nullptr, panel, [](std::optional<std::filesystem::path>) {});
        QApplication::processEvents();
        auto* dialog = visibleFolderPanel();
        const auto folder = dialog ? dialog->directory().canonicalPath() : QString();
        close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return folder;
    };
    EXPECT_EQ(openedAt({}), QDir::home().canonicalPath());
    EXPECT_EQ(openedAt(temp.path() / "Chosen"), q(std::filesystem::canonical(temp.path() / "Chosen").string()));
    QDir::setCurrent(working);
}

// Qt's own dialog speaks the Host's language, whatever the system's: its labels, columns and
// buttons from Qt's catalogue, the Host's texts kept, and nothing cut. Back in English, so is Qt.
TEST(DeliveryViews, TheFolderPanelShowsQtsOwnTextsInTheHostsLanguageWhole) {
    offscreenApplication();
    FreshQtSettings settings;
    QtHostShell shell;
    TemporaryDirectory temp;
    std::filesystem::create_directories(temp.path() / "Photos");
    struct Expected {
        const char* language;
        const char* cancel;
        const char* lookIn;
        const char* folderKind;  // Qt's own where its catalogue has one (German), else ours
    };
    for (const auto& expected :
         {Expected{"fr", "Annuler", "Voir dans :", "Dossier"}, Expected{"ja", "キャンセル", "アドレス:", "フォルダ"},
          Expected{"de", "Abbrechen", "Suchen in:", "Verzeichnis"}, Expected{"zh-Hans", "取消", "查找范围：", "文件夹"},
          Expected{"en", "Cancel", "Look in:", "Folder"}}) {
        SCOPED_TRACE(expected.language);
        HostLanguage language(expected.language);
        FolderPanelModel panel{QuillmereL10n::text("fileTransfer.chooseSaveLocation", "Choose Save Location"),
                               QuillmereL10n::text("fileTransfer.chooseFolderPrompt", "Save Here"), ""};
        panel.directory = temp.path();
        auto close = shell.beginFolderPanel(nullptr, panel, [](std::optional<std::filesystem::path>) {});
        QApplication::processEvents();
        auto* dialog = visibleFolderPanel();
        ASSERT_TRUE(dialog);
        auto* buttons = dialog->findChild<QDialogButtonBox*>("buttonBox");
        ASSERT_TRUE(buttons && buttons->button(QDialogButtonBox::Cancel) && buttons->button(QDialogButtonBox::Open));
        EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), QString::fromUtf8(expected.cancel));
        EXPECT_EQ(dialog->findChild<QLabel*>("lookInLabel")->text(), QString::fromUtf8(expected.lookIn));
        EXPECT_EQ(buttons->button(QDialogButtonBox::Open)->text().toStdString(), panel.prompt)
            << "Qt's texts do not replace the Host's own";

        // Once the folder is listed: each column holds its texts (the folder's kind, its date) and
        // its title, every column shows, and so do the names of the places on the left.
        auto* tree = dialog->findChild<QTreeView*>("treeView");
        ASSERT_TRUE(tree);
        QElapsedTimer listing;
        listing.start();
        while (tree->model()->rowCount(tree->rootIndex()) == 0 && listing.elapsed() < 20'000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        ASSERT_GT(tree->model()->rowCount(tree->rootIndex()), 0);
        QApplication::processEvents();
        const auto photos = tree->model()->index(0, 2, tree->rootIndex());
        EXPECT_EQ(tree->model()->data(photos).toString(), QString::fromUtf8(expected.folderKind));
        auto* header = tree->header();
        for (int column = 1; column < header->count(); ++column) {
            EXPECT_GE(header->sectionSize(column), static_cast<QAbstractItemView*>(tree)->sizeHintForColumn(column));
            EXPECT_GE(header->sectionSize(column), header->sectionSizeHint(column)) << column;
        }
        const int last = header->count() - 1;
        EXPECT_LE(header->sectionPosition(last) + header->sectionSize(last), tree->viewport()->width());
        auto* places = dialog->findChild<QListView*>("sidebar");
        ASSERT_TRUE(places);
        EXPECT_GE(places->viewport()->width(), static_cast<QAbstractItemView*>(places)->sizeHintForColumn(0));
        close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// At the window's width, in each language: a row's line shows whole where it can (the folder
// the files went to above all); where it cannot, only the name in it is shortened, and the whole
// is in the tooltip. Nothing is drawn past its label.
TEST(DeliveryViews, FileTransfersRowsKeepTheFolderAndWhatTheyAreDoingInEachLanguage) {
    offscreenApplication();
    auto clock = std::make_shared<ManualClock>();
    auto main = clock->makeQueue("main");
    using L10n = QuillmereL10n;
    const std::string longName = "Quarterly report for the board meeting (final, with comments).pdf";
    const std::string longFolder = "Photos from the spring conference in Lyon and the trip after it";
    auto plain = [](const QString& toolTip) {
        QTextDocument document;
        document.setHtml(toolTip);
        return document.toPlainText().toStdString();
    };
    for (const auto* identifier : {"fr", "ja", "de", "es", "ko", "zh-Hans", "zh-Hant", "en"}) {
        SCOPED_TRACE(identifier);
        HostLanguage language(identifier);
        auto center = FileTransferCenter::make(main);
        TransferProgressWindowView view(center);
        // Rows receiving and sending a long name, one counted, and three finished as delivery says.
        auto add = [&](FileTransferDirection direction, std::vector<std::string> names, std::optional<std::string> end) {
            const auto id = UUID::random();
            center->addTask({id, direction, "Viewer", 3, 10, std::move(names)}, {});
            if (end) center->completeTask(id, *end, 60);
            return id;
        };
        const auto savingTo = L10n::format("fileTransfer.center.savingTo", "Saving to %@…", "Downloads");
        const auto savedTo = L10n::format("fileTransfer.center.savedTo", "Saved %d item(s) to %@", 1, "Downloads");
        const auto savedToLong = L10n::format("fileTransfer.center.savedTo", "Saved %d item(s) to %@", 1, longFolder);
        const auto stopped = L10n::format("fileTransfer.center.stopped", "Stopped after saving %d item(s)", 2);
        center->setSubtitle(add(FileTransferDirection::incoming, {longName}, std::nullopt), savingTo);
        add(FileTransferDirection::outgoing, {longName}, std::nullopt);
        add(FileTransferDirection::incoming, {}, savedTo);
        add(FileTransferDirection::incoming, {"a.txt"}, savedToLong);
        center->failTask(add(FileTransferDirection::incoming, {"Photos"}, std::nullopt), stopped);
        main->runUntilIdle();
        QApplication::processEvents();
        const auto rows = view.rowViews();
        ASSERT_EQ(rows.size(), 5u);
        for (auto* row : rows) {
            for (auto* label : {row->titleLabel(), row->statusLabel()}) {
                EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(label->text()), label->contentsRect().width())
                    << label->text().toStdString();
            }
        }
        // A long item name is shortened; the title still says what the row is doing, with whom.
        for (auto* row : {rows[0], rows[1]}) {
            const auto& parts = row->row()->titleParts();
            ASSERT_EQ(parts.name, longName);
            EXPECT_NE((parts.before + parts.after).find("Viewer"), std::string::npos);
            const auto shown = row->titleLabel()->text().toStdString();
            EXPECT_TRUE(shown.starts_with(parts.before) && shown.ends_with(parts.after) && shown.size() < row->row()->title().size())
                << shown;
            EXPECT_EQ(plain(row->titleLabel()->toolTip()), longName);
        }
        // A count, the folder's name, the stopped delivery: whole.
        EXPECT_EQ(rows[0]->statusLabel()->text().toStdString(), savingTo);
        EXPECT_EQ(rows[2]->titleLabel()->text().toStdString(), rows[2]->row()->title());
        EXPECT_EQ(rows[2]->statusLabel()->text().toStdString(), savedTo);
        EXPECT_TRUE(rows[2]->statusLabel()->toolTip().isEmpty()) << "nothing hidden, nothing to add";
        EXPECT_EQ(rows[4]->statusLabel()->text().toStdString(), stopped);
        // A folder's name too long for the row: shortened, the sentence around it kept.
        const auto& parts = rows[3]->row()->statusParts();
        ASSERT_EQ(parts.name, longFolder);
        const auto shown = rows[3]->statusLabel()->text().toStdString();
        EXPECT_TRUE(shown.starts_with(parts.before) && shown.ends_with(parts.after) && shown.size() < savedToLong.size())
            << shown;
        EXPECT_EQ(plain(rows[3]->statusLabel()->toolTip()), savedToLong);
    }
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
    EXPECT_EQ(visibleSheets(transfers), std::vector<QWidget*>{box}) << "a sheet of its window";
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

// Qt's warnings (the offscreen platform's "This plugin does not support raise()" among them), as
// they would reach a Host's log, counted while this is alive.
struct QtWarnings {
    QtWarnings() {
        lines = 0;
        previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { ++lines; });
    }
    ~QtWarnings() { qInstallMessageHandler(previous); }
    static inline int lines = 0;
    QtMessageHandler previous = nullptr;
};

// A Host without a desktop shows no window and raises none, however many batches Viewers send
// (each brings the File Transfers window to the front) and whatever they ask: its log gains
// nothing per batch.
TEST(DeliveryViews, AShellWithoutADesktopShowsAndRaisesNoWindowWhateverTheBatches) {
    offscreenApplication();
    QtWarnings warnings;
    QtHostShell shell(false);
    auto clock = std::make_shared<ManualClock>();
    auto center = FileTransferCenter::make(clock->makeQueue("main"));
    shell.attachTransferCenter(center);
    auto rows = makeTransferCenterRows(center);
    QWidget* transfers = shell.transferCenterWidget();
    ASSERT_TRUE(transfers);
    constexpr int batches = 300;
    int shown = 0;
    for (int batch = 0; batch < batches; ++batch) {
        const auto id = UUID::random();
        rows->addTask(id, FileTransferDirection::incoming, "Viewer", 1, 100, {"report.pdf"}, {});
        rows->orderFront();
        clock->runUntilIdle();
        QApplication::processEvents();
        ASSERT_TRUE(center->window() && center->window()->visible) << "the model has it up";
        if (transfers->isVisible()) ++shown;
        rows->updateProgress(id, 100, 100);
        rows->completeTask(id, "Received 1 item", 0.5);
        clock->advance(1);
        QApplication::processEvents();
    }
    EXPECT_EQ(shown, 0);

    FileTransferConflictAlert::Info info{"report.pdf", 1500, std::nullopt, 2'500'000, std::nullopt, 0};
    FileTransferConflictAlert::present(shell, info, rows->foregroundPresentationWindow(), true,
                                       [](FileTransferConflictChoice, bool) {});
    QApplication::processEvents();
    EXPECT_FALSE(transfers->isVisible());
    EXPECT_FALSE(openBox()) << "the question is not shown either";
    // Whatever Qt may say once, nothing per batch.
    EXPECT_LT(warnings.lines, 10) << "Qt wrote to the log for the batches";
}

}  // namespace
}  // namespace DeliveryViewsTests
}  // namespace qm::test
