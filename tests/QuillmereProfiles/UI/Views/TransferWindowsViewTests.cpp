// Offscreen smoke tests of the progress window and the destination picker: the Qt layer shows
// what the models hold and forwards the buttons to them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <map>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>
#include <QTreeWidget>

#include "Platform/Core/ManualDispatchQueue.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/UI/Views/SendDestinationPickerView.h"
#include "QuillmereProfiles/UI/Views/TransferProgressWindowView.h"
#include "support/Views/OffscreenApplication.h"

namespace TransferWindowsViewTests {

using namespace qm;
using qm::test::offscreenApplication;

namespace {

void processEvents() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

// Paint events of each row view (its own widgets' count for it) and moves of the row views.
struct RowEvents : QObject {
    std::map<const QObject*, int> paints, moves;
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QObject* row = watched;
        while (row && !dynamic_cast<const TransferProgressRowView*>(row)) row = row->parent();
        if (row && event->type() == QEvent::Paint) ++paints[row];
        if (row == watched && event->type() == QEvent::Move) ++moves[row];
        return false;
    }
};

class TransferWindowsView : public ::testing::Test {
protected:
    void SetUp() override {
        offscreenApplication();
        QuillmereL10n::configure({});
    }
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> main = clock->makeQueue("main");
};

TEST_F(TransferWindowsView, TheProgressWindowShowsItsRowsAndForwardsCancel) {
    auto center = FileTransferCenter::make(main);
    TransferProgressWindowView view(center);
    int cancels = 0;
    const UUID first = UUID::random();
    center->addTask({first, FileTransferDirection::outgoing, "Viewer", 1, 4096, {"report.pdf"}}, [&] { ++cancels; });
    center->addTask({UUID::random(), FileTransferDirection::incoming, "Viewer", 2, 0, {}}, {});
    center->updateProgress(first, 1024, 4096);
    main->runUntilIdle();
    processEvents();
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(view.windowTitle(), "File Transfers");
    EXPECT_EQ(view.height(), 64 * 2 + 8 + 28);
    auto rows = view.rowViews();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]->iconLabel()->text(), QString::fromUtf8("\u2191"));
    EXPECT_EQ(rows[0]->titleLabel()->text(), "Sending report.pdf to Viewer");
    EXPECT_EQ(rows[0]->statusLabel()->text(), "1 KB / 4 KB");
    EXPECT_EQ(rows[0]->bar()->value(), 2500);
    EXPECT_EQ(rows[0]->bar()->geometry(), QRect(40, 28, 320, 10));
    EXPECT_EQ(rows[1]->bar()->maximum(), 0) << "a busy bar while the total is unknown";
    EXPECT_EQ(rows[1]->statusLabel()->text(), "Waiting…");

    rows[0]->cancelButton()->click();
    main->runUntilIdle();
    processEvents();
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(rows[0]->statusLabel()->text(), "Cancelled");
    EXPECT_EQ(rows[0]->cancelButton()->text(), "Dismiss");
    rows[0]->cancelButton()->click();  // Dismiss
    main->runUntilIdle();
    processEvents();
    EXPECT_EQ(view.rowViews().size(), 1u);

    // The folder chooser is a sheet on the window; closing it answers cancel.
    bool cancelled = false;
    center->pickSaveLocation(UUID::random(), std::string("Photos"), [](const std::filesystem::path&) {},
                             [&] { cancelled = true; });
    main->runUntilIdle();
    processEvents();
    ASSERT_TRUE(view.folderPanel());
    EXPECT_EQ(view.folderPanel()->windowTitle(), "Choose Save Location");
    EXPECT_EQ(view.folderPanel()->directory().canonicalPath(), QDir::home().canonicalPath())
        << "nothing chosen yet: home, never the working folder";
    view.folderPanel()->reject();
    processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(view.folderPanel()) << "the panel goes once answered";

    view.close();
    processEvents();
    EXPECT_FALSE(center->window()->visible);
}

// Many rows: the window shows eight and scrolls, only the rows in sight have views, and a change
// touches its own row's view alone: the other views stay the same objects, unpainted, and move
// only when a row above them leaves.
TEST_F(TransferWindowsView, AChangeToOneRowLeavesTheOtherRowsAlone) {
    auto center = FileTransferCenter::make(main);
    TransferProgressWindowView view(center);
    std::vector<UUID> ids;
    auto add = [&](const std::string& name) {
        ids.push_back(UUID::random());
        center->addTask({ids.back(), FileTransferDirection::incoming, "Viewer", 1, 1000, {name}}, {});
    };
    for (int i = 0; i < 30; ++i) add("file " + std::to_string(i));
    main->runUntilIdle();
    processEvents();
    const int eightRows = 64 * 8 + 8 * 7 + 28;
    EXPECT_EQ(view.height(), eightRows);
    const auto shown = view.rowViews();
    ASSERT_GE(shown.size(), 8u);
    ASSERT_LE(shown.size(), 9u) << "views for the rows in sight only";
    EXPECT_EQ(shown[0]->titleLabel()->text(), "Receiving file 0 from Viewer");
    EXPECT_EQ(shown[7]->titleLabel()->text(), "Receiving file 7 from Viewer");
    RowEvents events;
    qApp->installEventFilter(&events);

    center->updateProgress(ids[2], 500, 1000);
    main->runUntilIdle();
    processEvents();
    EXPECT_EQ(shown[2]->statusLabel()->text(), "500 B / 1000 B");
    EXPECT_GE(events.paints[shown[2]], 1);
    EXPECT_EQ(events.paints.size(), 1u) << "no other row was painted";
    EXPECT_TRUE(events.moves.empty());
    EXPECT_EQ(view.rowViews(), shown);

    // A row added below, out of sight: nothing in sight is touched.
    events.paints.clear();
    add("last");
    main->runUntilIdle();
    processEvents();
    EXPECT_EQ(view.rowViews(), shown);
    EXPECT_TRUE(events.paints.empty());
    EXPECT_TRUE(events.moves.empty());
    EXPECT_EQ(view.height(), eightRows);
    qApp->removeEventFilter(&events);

    // The top row leaves: the views below move up one place, the same objects.
    const int top = shown[0]->y();
    center->completeTask(ids[0], "Saved", -1);
    main->runUntilIdle();
    processEvents();
    const auto after = view.rowViews();
    ASSERT_GE(after.size(), 8u);
    for (std::size_t i = 0; i + 1 < 8; ++i) EXPECT_EQ(after[i], shown[i + 1]) << "row " << i;
    EXPECT_EQ(after[0]->y(), top);
    EXPECT_EQ(after[7]->titleLabel()->text(), "Receiving file 8 from Viewer");

    // Scrolled to the bottom: the last row has a view, the first ones none.
    auto* bar = view.scrollArea()->verticalScrollBar();
    bar->setValue(bar->maximum());
    processEvents();
    const auto bottom = view.rowViews();
    ASSERT_FALSE(bottom.empty());
    EXPECT_LE(bottom.size(), 9u);
    EXPECT_EQ(bottom.back()->titleLabel()->text(), "Receiving last from Viewer");
}

// Item names and Viewer names come from the other side: markup in them is shown, never obeyed.
TEST_F(TransferWindowsView, NamesFromTheOtherSideAreShownAsTheyAreInRowsAndThePicker) {
    const std::string markup = "<h1>big</h1><img src=\"x.png\">";
    auto center = FileTransferCenter::make(main);
    TransferProgressWindowView view(center);
    const UUID id = UUID::random();
    center->addTask({id, FileTransferDirection::incoming, "Viewer", 2, 10, {markup, "b & <b>c</b>"}}, {});
    center->setSubtitle(id, "Saving to " + markup + "…");
    main->runUntilIdle();
    processEvents();
    auto rows = view.rowViews();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]->titleLabel()->textFormat(), Qt::PlainText);
    EXPECT_TRUE(rows[0]->titleLabel()->text().startsWith("Receiving <h1>big</h1>"));
    EXPECT_EQ(rows[0]->statusLabel()->textFormat(), Qt::PlainText);
    EXPECT_TRUE(rows[0]->statusLabel()->text().startsWith("Saving to <h1>big</h1>"))
        << rows[0]->statusLabel()->text().toStdString();
    // The tooltip lists every name, one a line, as the characters they are.
    QTextDocument tip;
    tip.setHtml(rows[0]->titleLabel()->toolTip());
    EXPECT_EQ(tip.toPlainText().toStdString(), markup + "\nb & <b>c</b>");

    SendDestinationPicker::Environment environment;
    environment.mainQueue = main;
    QPointer<SendDestinationPickerView> picker;
    environment.present = [&](const std::shared_ptr<SendDestinationPicker::PickerController>& controller) {
        picker = new SendDestinationPickerView(controller);
    };
    SendDestinationPicker::present("Send to Quillmere Viewer", "Sending 1 item via Quillmere.",
                                   {{"A", markup, "<i>detail</i>"}}, SendDestinationPicker::defaultPresets(),
                                   std::nullopt, nullptr, environment, [](std::optional<SendDestinationResult>) {});
    processEvents();
    ASSERT_TRUE(picker);
    int shown = 0;
    for (auto* label : picker->findChildren<QLabel*>()) {
        if (!label->text().contains("<h1>") && !label->text().contains("<i>")) continue;
        ++shown;
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
    }
    EXPECT_EQ(shown, 2) << "the entry's name and its detail";
    picker->cancelButton()->click();
    processEvents();
}

TEST_F(TransferWindowsView, ThePickerShowsTheModelAndItsButtonsAnswer) {
    std::optional<SendDestinationResult> answer;
    bool answered = false;
    SendDestinationPicker::Environment environment;
    environment.mainQueue = main;
    QPointer<SendDestinationPickerView> view;
    environment.present = [&](const std::shared_ptr<SendDestinationPicker::PickerController>& picker) {
        view = new SendDestinationPickerView(picker);
    };
    auto picker = SendDestinationPicker::present(
        "Send to Quillmere Viewer", "Sending 2 items via Quillmere.",
        {{"A", "Ada's Mac", "Connected Viewer"}, {"B", "Bob's iPad", std::nullopt}}, SendDestinationPicker::defaultPresets(),
        std::nullopt, nullptr, environment, [&](std::optional<SendDestinationResult> result) {
            answer = result;
            answered = true;
        });
    processEvents();
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(view->windowTitle(), "Send to Quillmere Viewer");
    EXPECT_EQ(view->deviceList()->count(), 2);
    EXPECT_EQ(view->folderTree()->topLevelItemCount(), 4);
    EXPECT_EQ(view->folderTree()->topLevelItem(0)->text(0), "Home");
    EXPECT_EQ(view->pathField()->text(), "~/Desktop");
    EXPECT_FALSE(view->loadButton()->isEnabled());
    EXPECT_EQ(view->statusLabel()->text(), "Remote browsing unavailable; use a preset or type a folder path.");
    ASSERT_EQ(view->presetButtons().size(), 3u);

    view->deviceList()->setCurrentRow(1);
    view->presetButtons()[1]->click();
    processEvents();
    EXPECT_EQ(view->pathField()->text(), "~/Downloads");
    view->rememberCheckbox()->setChecked(true);
    view->sendButton()->click();
    processEvents();
    ASSERT_TRUE(answered);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->peer.id, "B");
    EXPECT_EQ(answer->destination, "~/Downloads");
    EXPECT_TRUE(answer->remember);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(view) << "the view goes once the picker ended";
}

}  // namespace

}  // namespace TransferWindowsViewTests
