#pragma once

#include <QWidget>
#include <memory>

#include "QuillmereProfiles/UI/FileTransferWindowController.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeView;
class QWidget;

namespace qm {

class FileTreeItemModel;

// The browser window: renders a FileTransferWindowController and forwards the user's actions
// to it. It holds no state of its own beyond the widgets.
class FileTransferWindow final : public QWidget {
public:
    explicit FileTransferWindow(std::shared_ptr<FileTransferWindowController> controller, QWidget* parent = nullptr);
    ~FileTransferWindow() override;

    FileTransferWindowController& controller() { return *controller_; }
    QTreeView* leftTree() const { return leftTree_; }
    QTreeView* rightTree() const { return rightTree_; }
    FileTreeItemModel* leftModel() const { return leftModel_; }
    FileTreeItemModel* rightModel() const { return rightModel_; }
    QPushButton* executeButton() const { return executeButton_; }
    QComboBox* hostSelector() const { return hostSelector_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Pane {
        QWidget* container = nullptr;
        QTreeView* tree = nullptr;
        QCheckBox* topCheckbox = nullptr;
        QLabel* status = nullptr;
        QLabel* title = nullptr;
    };
    Pane buildFilePane(FileTransferPane pane, bool showsFolderAccess);
    void render();
    void presentFolderPanel(const FolderAuthorizationRequest& request);
    void selectionChanged(FileTransferPane pane);
    FileTreeItemModel* model(FileTransferPane pane) const;
    QTreeView* tree(FileTransferPane pane) const;

    std::shared_ptr<FileTransferWindowController> controller_;
    bool rendering_ = false;
    QComboBox* hostSelector_ = nullptr;
    QLabel* hostLabel_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
    QPushButton* directionButtons_[2] = {nullptr, nullptr};
    QButtonGroup* directionGroup_ = nullptr;
    QLabel* arrowLabel_ = nullptr;
    QTreeView* leftTree_ = nullptr;
    QTreeView* rightTree_ = nullptr;
    FileTreeItemModel* leftModel_ = nullptr;
    FileTreeItemModel* rightModel_ = nullptr;
    Pane left_, right_;
    QPushButton* grantButton_ = nullptr;
    QCheckBox* backupCheckbox_ = nullptr;
    QLabel* summaryLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QWidget* progressRow_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* executeButton_ = nullptr;
    QFileDialog* folderPanel_ = nullptr;
};

}  // namespace qm
