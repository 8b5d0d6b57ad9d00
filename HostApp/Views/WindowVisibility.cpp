#include "HostApp/Views/WindowVisibility.h"

#include <QGuiApplication>
#include <QWidget>

#include "HostApp/App/ViewModels.h"

namespace qm {

void followModelVisibility(QWidget* window, const WindowModel& model) {
    if (!model.visible()) {
        if (window->isVisible()) window->hide();
        return;
    }
    if (!window->isVisible() || window->isMinimized()) window->showNormal();
    if (QGuiApplication::platformName() != "offscreen") {
        window->raise();
        if (model.isKey()) window->activateWindow();
    }
}

}  // namespace qm
