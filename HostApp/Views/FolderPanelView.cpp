#include "HostApp/Views/FolderPanelView.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>

#include "HostApp/Views/WindowVisibility.h"
#include "QuillmereProfiles/UI/Views/FolderChooser.h"

namespace qm {

QFileDialog* openFolderPanel(const FolderPanelModel& panel, QWidget* parent,
                             std::function<void(std::optional<std::filesystem::path>)> completion) {
    auto* dialog = makeFolderChooser(parent, panel.directory);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QString::fromStdString(panel.title));
    dialog->setLabelText(QFileDialog::Accept, QString::fromStdString(panel.prompt));
    if (panel.canChooseDirectories && !panel.canChooseFiles) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly);
    } else {
        dialog->setFileMode(panel.allowsMultipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    dialog->setOption(QFileDialog::ReadOnly, !panel.canCreateDirectories);
    if (!panel.message.empty()) {
        if (auto* grid = qobject_cast<QGridLayout*>(dialog->layout())) {
            auto* message = new QLabel(QString::fromStdString(panel.message), dialog);
            message->setObjectName("folderPanelMessage");
            message->setTextFormat(Qt::PlainText);  // it quotes an item's name
            message->setWordWrap(true);
            grid->addWidget(message, grid->rowCount(), 0, 1, grid->columnCount());
        }
    }
    // A sheet of its window that holds the window's input back itself, not through Qt's window
    // modality: that would block it as soon as a conflict question opens on the same window, and
    // a question would block it the same way. Each of them takes its own click.
    makeModalToItsWindow(dialog);
    auto answer = std::make_shared<std::function<void(std::optional<std::filesystem::path>)>>(std::move(completion));
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, answer](int result) {
        if (!*answer) return;
        auto done = std::move(*answer);
        *answer = nullptr;
        const auto chosen = dialog->selectedFiles();
        if (result == QDialog::Accepted && !chosen.isEmpty()) {
            done(std::filesystem::path(chosen.front().toStdString()));
        } else {
            done(std::nullopt);
        }
    });
    bringSheetForward(dialog);
    // show(), not open(): open() makes it window-modal again.
    dialog->show();
    return dialog;
}

}  // namespace qm
