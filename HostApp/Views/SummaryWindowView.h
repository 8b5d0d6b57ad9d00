#pragma once

#include <QWidget>
#include <memory>

#include "HostApp/App/ViewModels.h"

class QLabel;
class QCheckBox;
class QPushButton;
class QMenuBar;

namespace qm {

// The summary window: a vertical stack (spacing 10; insets 22 top, 24 left and right, 20
// bottom) of the title, subtitle, status, address and Viewer lines, the start-at-login check
// box, the button row and the version, at 460 by 315 points.
class SummaryWindowView final : public QWidget {
public:
    explicit SummaryWindowView(std::shared_ptr<SummaryWindowModel> model);
    QLabel* title() const { return title_; }
    QLabel* status() const { return status_; }
    QLabel* address() const { return address_; }
    QLabel* viewers() const { return viewers_; }
    QCheckBox* launchAtLogin() const { return launchAtLogin_; }
    QPushButton* refresh() const { return refresh_; }
    QPushButton* update() const { return update_; }
    QPushButton* details() const { return details_; }
    void render();
    // The height that shows every line at the fixed width (never less than 315 points).
    int neededHeight() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void fitHeightToContents();

    std::shared_ptr<SummaryWindowModel> model_;
    QMenuBar* menuBar_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* address_ = nullptr;
    QLabel* viewers_ = nullptr;
    QCheckBox* launchAtLogin_ = nullptr;
    QPushButton* details_ = nullptr;
    QPushButton* refresh_ = nullptr;
    QPushButton* update_ = nullptr;
    QLabel* version_ = nullptr;
    Qt::WindowFlags appliedFlags_;
    bool rendering_ = false;
};

}  // namespace qm
