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
class QScrollArea;

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
//
// The rows sit one below the other in a scrolling area. Only the rows in sight have a view: a
// row's view is made when the row comes into sight and let go when it leaves, so what a change
// costs (a row added, one taken out, the window) does not grow with the rows the window holds. A
// row's own changes redraw that row alone.
class TransferProgressWindowView final : public QWidget {
public:
    explicit TransferProgressWindowView(std::shared_ptr<FileTransferCenter> center, QWidget* parent = nullptr);
    ~TransferProgressWindowView() override;

    // The views of the rows in sight, top to bottom.
    std::vector<TransferProgressRowView*> rowViews() const;
    QFileDialog* folderPanel() const;
    QScrollArea* scrollArea() const { return scroll_; }
    // For a Host without a desktop: the window is never shown, raised or activated, whatever the
    // center says (its rows are still kept and laid out). Every batch brings it to the front, and
    // on a platform without windows each raise would only add a line to the log.
    void keepOffScreen();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void apply(const FileTransferCenter::Change& change);
    void renderWindow();
    // Sizes the stack to the rows, gives each row in sight a view at its place and lets the
    // views of the others go.
    void placeRows();
    void presentFolderPanel(FileTransferCenter::FolderPanelRequest request);

    std::shared_ptr<FileTransferCenter> center_;
    QScrollArea* scroll_ = nullptr;
    QWidget* canvas_ = nullptr;
    // Views of the rows in sight, by row.
    std::map<const FileTransferCenter::TaskRow*, QPointer<TransferProgressRowView>> rows_;
    bool scrolls_ = false;
    int shownOrderFrontCount_ = 0;
    bool offScreen_ = false;
    QPointer<QFileDialog> folderPanel_;
};

}  // namespace qm
