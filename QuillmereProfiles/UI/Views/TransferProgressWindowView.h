#pragma once

#include <QPointer>
#include <QWidget>
#include <map>
#include <memory>

#include "QuillmereProfiles/UI/TransferProgressWindow.h"

class QFileDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace qm {

// One row of the "File Transfers" window, laid out at the row's fixed frames.
class TransferProgressRowView final : public QWidget {
public:
    explicit TransferProgressRowView(std::shared_ptr<FileTransferCenter::TaskRow> row, QWidget* parent = nullptr);
    ~TransferProgressRowView() override;

    const std::shared_ptr<FileTransferCenter::TaskRow>& row() const { return row_; }
    QLabel* iconLabel() const { return icon_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* statusLabel() const { return status_; }
    QProgressBar* bar() const { return bar_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    void render();

    std::shared_ptr<FileTransferCenter::TaskRow> row_;
    QLabel* icon_ = nullptr;
    QLabel* title_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// The "File Transfers" window: renders a FileTransferCenter (its window state and its rows) and
// the folder chooser it asks for. It holds no state of its own beyond the widgets.
class TransferProgressWindowView final : public QWidget {
public:
    explicit TransferProgressWindowView(std::shared_ptr<FileTransferCenter> center, QWidget* parent = nullptr);
    ~TransferProgressWindowView() override;

    std::vector<TransferProgressRowView*> rowViews() const;
    QFileDialog* folderPanel() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void render();
    void presentFolderPanel(FileTransferCenter::FolderPanelRequest request);

    std::shared_ptr<FileTransferCenter> center_;
    QVBoxLayout* stack_ = nullptr;
    std::map<const FileTransferCenter::TaskRow*, QPointer<TransferProgressRowView>> rows_;
    int shownOrderFrontCount_ = 0;
    QPointer<QFileDialog> folderPanel_;
};

}  // namespace qm
