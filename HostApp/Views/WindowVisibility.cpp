#include "HostApp/Views/WindowVisibility.h"

#include <QDialog>
#include <QGuiApplication>
#include <QWindow>
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
        // A window showing a sheet comes forward through its sheet, which takes the focus: the
        // window itself takes no input while the sheet is up, and raising it would make the
        // window manager hand it the focus.
        QWidget* front = window;
        for (auto* sheet : window->findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) {
            if (sheet->isVisible() && sheet->windowModality() != Qt::NonModal) front = sheet;
        }
        // A window with the focus is in front already; raising or activating it again would make
        // the window manager hand the focus around anew.
        if (QGuiApplication::focusWindow() == front->windowHandle()) return;
        front->raise();
        if (model.isKey()) front->activateWindow();
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
