#pragma once

#include <QDialog>
#include <map>
#include <memory>
#include <vector>

#include "QuillmereProfiles/UI/SendDestinationPicker.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace qm {

// The destination picker: renders a PickerController (the Viewer list, the presets, the path
// field, the folder tree and the status line) and forwards the user's actions to it. It is
// application-modal while shown and deletes itself once the picker has ended.
class SendDestinationPickerView final : public QDialog {
public:
    explicit SendDestinationPickerView(std::shared_ptr<SendDestinationPicker::PickerController> controller,
                                       QWidget* parent = nullptr);
    ~SendDestinationPickerView() override;

    SendDestinationPicker::PickerController& controller() { return *controller_; }
    QListWidget* deviceList() const { return devices_; }
    QTreeWidget* folderTree() const { return tree_; }
    QLineEdit* pathField() const { return path_; }
    QLabel* statusLabel() const { return status_; }
    QPushButton* sendButton() const { return send_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* loadButton() const { return load_; }
    QCheckBox* rememberCheckbox() const { return remember_; }
    const std::vector<QPushButton*>& presetButtons() const { return presets_; }
    // The tree item that shows a folder node, if it is shown.
    QTreeWidgetItem* itemFor(const SendDestinationPicker::PickerController::FolderNode* node) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void render();
    void addNode(const SendDestinationPicker::PickerController::FolderNodePtr& node, QTreeWidgetItem* parent);
    SendDestinationPicker::PickerController::FolderNodePtr nodeOf(QTreeWidgetItem* item) const;

    std::shared_ptr<SendDestinationPicker::PickerController> controller_;
    bool rendering_ = false;
    QListWidget* devices_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QLineEdit* path_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* send_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* load_ = nullptr;
    QCheckBox* remember_ = nullptr;
    std::vector<QPushButton*> presets_;
    std::map<QTreeWidgetItem*, SendDestinationPicker::PickerController::FolderNodePtr> nodes_;
};

}  // namespace qm
