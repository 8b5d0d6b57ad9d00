#include "HostApp/Views/WindowVisibility.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

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

void applyWindowLevel(QWidget* window, const WindowModel& model, Qt::WindowFlags& applied, Qt::WindowFlags base) {
    Qt::WindowFlags flags = base;
    if (model.level() >= WindowModel::floatingLevel) flags |= Qt::WindowStaysOnTopHint;
    if (applied == flags) return;
    applied = flags;
    if (window->isVisible() && window->windowHandle()) {
        // The platform window takes the new state in place; the widget only records it.
        window->overrideWindowFlags(flags);
        window->windowHandle()->setFlags(flags);
        return;
    }
    window->setWindowFlags(flags);
}

}  // namespace qm
