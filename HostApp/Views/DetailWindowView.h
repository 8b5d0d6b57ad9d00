#pragma once

#include <QWidget>
#include <memory>

#include "HostApp/App/DisplayControlsModel.h"

class QLabel;
class QCheckBox;
class QComboBox;
class QPushButton;

namespace qm {

// The detail window: the status lines, the display pop-up with its button, the headless virtual
// display check box and the display diagnostics text.
class DetailWindowView final : public QWidget {
public:
    explicit DetailWindowView(std::shared_ptr<DetailWindowModel> model);
    QComboBox* displayPopup() const { return popup_; }
    QPushButton* useDisplay() const { return useDisplay_; }
    QCheckBox* virtualDisplay() const { return virtualDisplay_; }
    QLabel* status() const { return status_; }
    QLabel* audioStatus() const { return audioStatus_; }
    QPushButton* copyLogs() const { return copyLogs_; }
    QLabel* diagnostics() const { return diagnostics_; }
    void render();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::shared_ptr<DetailWindowModel> model_;
    QLabel* title_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QPushButton* refresh_ = nullptr;
    QPushButton* copyLogs_ = nullptr;
    QCheckBox* launchAtLogin_ = nullptr;
    QLabel* physicalDisplay_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* audioStatus_ = nullptr;
    QLabel* address_ = nullptr;
    QComboBox* popup_ = nullptr;
    QPushButton* useDisplay_ = nullptr;
    QCheckBox* virtualDisplay_ = nullptr;
    QLabel* diagnostics_ = nullptr;
    bool rendering_ = false;
};

}  // namespace qm
