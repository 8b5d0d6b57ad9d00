#pragma once

#include <QWidget>
#include <memory>

#include "HostApp/App/HostUpdateWindows.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace qm {

// The countdown that announces a new Host build: icon, title, information, the count, a bar that
// runs down, the disclaimer, and Skip / Update Now along the bottom, at 420 by 280 points.
class CountdownWindowView final : public QWidget {
public:
    explicit CountdownWindowView(std::shared_ptr<HostAutoUpdateCountdownWindow> model);
    QLabel* status() const { return status_; }
    QPushButton* skip() const { return skip_; }
    QPushButton* updateNow() const { return update_; }
    QProgressBar* bar() const { return bar_; }
    void render();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::shared_ptr<HostAutoUpdateCountdownWindow> model_;
    QLabel* title_ = nullptr;
    QLabel* info_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* disclaimer_ = nullptr;
    QPushButton* skip_ = nullptr;
    QPushButton* update_ = nullptr;
};

// The window that follows one update request: icon, title, status, an indeterminate bar, the
// note and the Cancel / Close button, at 400 by 244 points.
class UpdateProgressWindowView final : public QWidget {
public:
    explicit UpdateProgressWindowView(std::shared_ptr<HostUpdateProgressWindow> model);
    QLabel* status() const { return status_; }
    QPushButton* button() const { return button_; }
    void render();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::shared_ptr<HostUpdateProgressWindow> model_;
    QLabel* title_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* note_ = nullptr;
    QPushButton* button_ = nullptr;
};

}  // namespace qm
