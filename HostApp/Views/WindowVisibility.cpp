#include "HostApp/Views/WindowVisibility.h"

#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>
#include <QVariant>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <memory>

#include "HostApp/App/ViewModels.h"

namespace qm {

namespace {

constexpr const char* sheetProperty = "qmSheet";
constexpr const char* sheetOrderProperty = "qmSheetOrder";
constexpr const char* activationPendingProperty = "qmActivationPending";
constexpr const char* offScreenProperty = "qmOffScreen";
// How often a waiting activation looks at the mouse buttons, and for how many looks at most (a
// release that never reached the application must not hold the activation back for good).
constexpr int buttonPollMilliseconds = 20;
constexpr int buttonPollLimit = 250;

bool isSheet(const QWidget* widget) { return widget->property(sheetProperty).toBool(); }

bool hasFocus(const QWidget* widget) {
    return widget->windowHandle() && QGuiApplication::focusWindow() == widget->windowHandle();
}

// The window itself, or (unless `overSiblingSheets`) another sheet of the window it is a sheet of,
// has the focus: the user is working there.
bool focusIsAtOrBeside(QWidget* window, bool overSiblingSheets) {
    if (hasFocus(window)) return true;
    if (overSiblingSheets || !isSheet(window) || !window->parentWidget()) return false;
    const auto siblings = visibleSheets(window->parentWidget());
    return std::any_of(siblings.begin(), siblings.end(), [](QWidget* sheet) { return hasFocus(sheet); });
}

// What a user does to a window, which its sheet holds back while it is up.
bool isUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
        case QEvent::ContextMenu: return true;
        default: return false;
    }
}

// Watches the whole application on behalf of one sheet (it goes with the sheet): the input
// reaches the window's platform window before any of its widgets, and is held back there.
class WindowInputHold final : public QObject {
public:
    explicit WindowInputHold(QWidget* sheet) : QObject(sheet), sheet_(sheet) {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The user (or the window manager) focused the sheet: it is its window's front one now.
        if (watched == sheet_ && event->type() == QEvent::ActivationChange && sheet_->isActiveWindow()) {
            bringSheetForward(sheet_);
        }
        QWidget* window = sheet_->parentWidget();
        if (!window || !sheet_->isVisible()) return false;
        if (watched == window->windowHandle()) {
            if (isUserInput(event->type())) return true;
            // The window manager's close button: the window stays while its sheet is up.
            if (event->type() == QEvent::Close && event->spontaneous()) {
                event->ignore();
                return true;
            }
        }
        // The window was given the focus: its front sheet takes it, once the window still has it
        // on the next turn. Only the front one: two sheets each taking the focus from the window
        // would hand it back and forth between them and the window.
        // (Qt may also tell the window it is active when a sheet is: only the window system's
        // focus on the window itself counts.)
        if (watched == window && event->type() == QEvent::WindowActivate) {
            QPointer<QWidget> guarded = sheet_;
            QTimer::singleShot(0, sheet_, [guarded] {
                if (!guarded || !guarded->isVisible() || !guarded->parentWidget()) return;
                const auto sheets = visibleSheets(guarded->parentWidget());
                if (sheets.empty() || sheets.back() != guarded) return;
                if (QGuiApplication::focusWindow() == guarded->parentWidget()->windowHandle()) {
                    activateWithoutCuttingAClick(guarded);
                }
            });
        }
        return false;
    }

private:
    QWidget* sheet_;
};

}  // namespace

void markAsSheet(QWidget* sheet) { sheet->setProperty(sheetProperty, true); }

void holdWindowInputWhileUp(QWidget* sheet) {
    if (sheet->parentWidget()) new WindowInputHold(sheet);
}

void makeModalToItsWindow(QWidget* dialog) {
    if (!dialog->parentWidget()) {
        dialog->setWindowModality(Qt::ApplicationModal);
        return;
    }
    dialog->setWindowModality(Qt::NonModal);
    markAsSheet(dialog);
    holdWindowInputWhileUp(dialog);
}

void keepOffScreen(QWidget* window) {
    window->setProperty(offScreenProperty, true);
    window->hide();
}

void bringSheetForward(QWidget* sheet) {
    static qulonglong order = 0;
    sheet->setProperty(sheetOrderProperty, ++order);
}

std::vector<QWidget*> visibleSheets(QWidget* window) {
    std::vector<QWidget*> sheets;
    for (auto* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!child->isWindow() || !child->isVisible()) continue;
        const auto* dialog = qobject_cast<QDialog*>(child);
        if (isSheet(child) || (dialog && dialog->windowModality() != Qt::NonModal)) sheets.push_back(child);
    }
    std::stable_sort(sheets.begin(), sheets.end(), [](QWidget* a, QWidget* b) {
        return a->property(sheetOrderProperty).toULongLong() < b->property(sheetOrderProperty).toULongLong();
    });
    return sheets;
}

void activateWithoutCuttingAClick(QWidget* window, bool overSiblingSheets) {
    if (hasFocus(window)) return;
    if (QGuiApplication::mouseButtons() == Qt::NoButton) {
        window->activateWindow();
        return;
    }
    // One wait per window, however often it is asked for meanwhile.
    if (window->property(activationPendingProperty).toBool()) return;
    window->setProperty(activationPendingProperty, true);
    auto* poll = new QTimer(window);
    poll->setInterval(buttonPollMilliseconds);
    QPointer<QWidget> guarded = window;
    auto looks = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, window, [guarded, poll, looks, overSiblingSheets] {
        if (!guarded) return;
        if (QGuiApplication::mouseButtons() != Qt::NoButton && ++*looks < buttonPollLimit) return;
        poll->deleteLater();
        guarded->setProperty(activationPendingProperty, false);
        if (!guarded->isVisible() || focusIsAtOrBeside(guarded, overSiblingSheets)) return;
        guarded->activateWindow();
    });
    poll->start();
}

void followModelVisibility(QWidget* window, const WindowModel& model) {
    if (!model.visible() || window->property(offScreenProperty).toBool()) {
        if (window->isVisible()) window->hide();
        return;
    }
    if (!window->isVisible() || window->isMinimized()) window->showNormal();
    if (QGuiApplication::platformName() == "offscreen") return;
    // Where the user has the focus, it stays: a window with the focus is in front already, and
    // raising or activating another would make the window manager hand the focus around, and cut
    // short a click under way in the focused one. So a sheet whose sibling sheet has the focus
    // stays where it is too.
    if (isSheet(window) && window->parentWidget()) {
        if (focusIsAtOrBeside(window, false)) return;
        window->raise();
        if (model.isKey()) activateWithoutCuttingAClick(window);
        return;
    }
    // A window showing sheets comes forward through them, the front one on top; that one takes the
    // focus: the window itself takes no input while they are up, and raising it would make the
    // window manager hand it the focus.
    const auto sheets = visibleSheets(window);
    if (!sheets.empty()) {
        if (std::any_of(sheets.begin(), sheets.end(), [](QWidget* sheet) { return hasFocus(sheet); })) return;
        for (auto* sheet : sheets) sheet->raise();
        if (model.isKey()) activateWithoutCuttingAClick(sheets.back());
        return;
    }
    if (hasFocus(window)) return;
    window->raise();
    if (model.isKey()) activateWithoutCuttingAClick(window);
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
