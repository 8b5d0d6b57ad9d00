#pragma once

#include <QWidget>
#include <memory>

#include "HostApp/App/ViewModels.h"

class QLabel;

namespace qm {

// The About panel: the application's icon, name and version, centred, wide enough for its title.
class AboutPanelView final : public QWidget {
public:
    explicit AboutPanelView(std::shared_ptr<AboutPanelModel> model);
    QLabel* name() const { return name_; }
    QLabel* version() const { return version_; }
    void render();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::shared_ptr<AboutPanelModel> model_;
    QLabel* icon_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* version_ = nullptr;
    Qt::WindowFlags appliedFlags_;
    bool rendering_ = false;
};

}  // namespace qm
