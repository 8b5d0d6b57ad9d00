#include "HostApp/Views/QtHostShell.h"
#include "Platform/Views/QtText.h"

#include "HostApp/Views/AlertSheetView.h"
#include "HostApp/Views/HostIcons.h"
#include "HostApp/Views/WindowVisibility.h"
#include "Platform/Views/QtMainQueue.h"

#include <algorithm>

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QGuiApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include "HostApp/App/TransferCenterRows.h"
#include "HostApp/Views/AlertAccessoryView.h"
#include "HostApp/Views/FolderPanelView.h"
#include "QuillmereProfiles/UI/Views/SendDestinationPickerView.h"
#include "QuillmereProfiles/UI/Views/TransferProgressWindowView.h"

namespace qm {

namespace {
QKeySequence shortcutFor(const KeyEquivalent& key) {
    if (key.key.empty()) return {};
    QString text;
    if (key.command) text += "Ctrl+";
    if (key.option) text += "Alt+";
    text += QString::fromStdString(key.key).toUpper();
    return QKeySequence(text);
}

}  // namespace

QtHostShell::QtHostShell(bool showsWindows, std::shared_ptr<QtMainQueue> mainQueue)
    : showsWindows_(showsWindows), mainQueue_(std::move(mainQueue)) {}
QtHostShell::~QtHostShell() {
    for (auto& [model, widget] : windows_) {
        if (widget) widget->deleteLater();
    }
    if (transferCenter_) transferCenter_->deleteLater();
    if (picker_) picker_->deleteLater();
    delete statusMenu_;
}

namespace {
// Set on a submenu whose title follows the item that opens it.
constexpr const char* titleFromItem = "qmTitleFromItem";

void applyItem(QAction* action, const MenuItemModel& item) {
    action->setText(QString::fromStdString(item.title()));
    action->setEnabled(item.enabled());
    action->setChecked(item.checked());
    action->setToolTip(QString::fromStdString(item.toolTip()));
}
}  // namespace

void QtHostShell::bindMenu(QMenu* menu, const std::shared_ptr<MenuModel>& model) {
    std::weak_ptr<MenuModel> weakModel = model;
    // Builds the actions. An item's own change only updates its action, so an action is never
    // deleted while it is being triggered; a change of the menu's structure rebuilds it on the
    // next turn of the loop.
    auto build = [menu, weakModel] {
        auto model = weakModel.lock();
        if (!model) return;
        menu->clear();
        if (!model->title().empty() && !menu->property(titleFromItem).toBool()) menu->setTitle(q(model->title()));
        for (const auto& item : model->items()) {
            if (item->isSeparator()) {
                menu->addSeparator();
                continue;
            }
            if (item->submenu()) {
                auto* sub = menu->addMenu(q(item->title()));
                bindMenu(sub, item->submenu());
                // The item's (translated) title names the submenu, not the submenu's own title.
                sub->setProperty(titleFromItem, true);
                if (!item->title().empty()) sub->setTitle(q(item->title()));
                std::weak_ptr<MenuItemModel> weakItem = item;
                QPointer<QMenu> guardedSub = sub;
                item->onChanged = [guardedSub, weakItem] {
                    auto changed = weakItem.lock();
                    if (guardedSub && changed && !changed->title().empty()) guardedSub->setTitle(q(changed->title()));
                };
                continue;
            }
            auto* action = menu->addAction(q(item->title()));
            action->setCheckable(item->action() == HostAction::toggleLaunchAtLogin ||
                                 item->action() == HostAction::toggleAutoUpdate);
            action->setShortcut(shortcutFor(item->keyEquivalent()));
            applyItem(action, *item);
            std::weak_ptr<MenuItemModel> weakItem = item;
            QPointer<QAction> guarded = action;
            item->onChanged = [guarded, weakItem] {
                auto changed = weakItem.lock();
                if (guarded && changed) applyItem(guarded, *changed);
            };
            QObject::connect(action, &QAction::triggered, menu, [weakItem, guarded] {
                auto chosen = weakItem.lock();
                if (!chosen) return;
                // The model's check mark is the truth; the action flipped its own already.
                if (guarded) guarded->setChecked(chosen->checked());
                chosen->choose();
            });
        }
    };
    QPointer<QMenu> guardedMenu = menu;
    model->onChanged = [guardedMenu, build] {
        if (!guardedMenu) return;
        QTimer::singleShot(0, guardedMenu.data(), build);
    };
    build();
}

void QtHostShell::installMainMenu(const MainMenu& mainMenu) { mainMenu_ = mainMenu; }

void QtHostShell::showStatusItem(const std::shared_ptr<StatusItemModel>& item) {
    statusItem_ = item;
    if (!statusMenu_) statusMenu_ = new QMenu();
    if (item->menu) bindMenu(statusMenu_, item->menu);
    if (!tray_) tray_ = new QSystemTrayIcon(hostStatusIcon(), this);
    tray_->setContextMenu(statusMenu_);
    auto render = [this] {
        if (!statusItem_) return;
        const auto& title = statusItem_->title();
        // Tray icons carry no title text: the name and state lead the tooltip.
        tray_->setToolTip(q(title.hostName + " · " + title.stateText + "\n" + statusItem_->toolTip()));
        tray_->setVisible(statusItem_->enabled());
    };
    item->onChanged = render;
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && statusMenu_) statusMenu_->popup(QCursor::pos());
    });
    render();
}

bool QtHostShell::hasStatusArea() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

void QtHostShell::attachWindow(const std::shared_ptr<WindowModel>& window) {
    if (windows_.count(window.get())) return;
    // A model type without a view stops here, loudly, before the window is recorded.
    QWidget* view = views_.makeView(window);
    view->setAttribute(Qt::WA_QuitOnClose, false);
    if (!showsWindows_) keepOffScreen(view);
    models_.push_back(window);
    windows_[window.get()] = view;
}

void QtHostShell::attachTransferCenter(const std::shared_ptr<FileTransferCenter>& center) {
    if (transferCenter_) return;
    auto* view = new TransferProgressWindowView(center);
    view->setAttribute(Qt::WA_QuitOnClose, false);
    // Every batch brings it to the front: without a desktop that would only fill the log.
    if (!showsWindows_) view->keepOffScreen();
    transferCenter_ = view;
}

void QtHostShell::presentSendDestinationPicker(const std::shared_ptr<SendDestinationPicker::PickerController>& picker) {
    // The view deletes itself once the picker has ended.
    auto* view = new SendDestinationPickerView(picker);
    view->setAttribute(Qt::WA_QuitOnClose, false);
    picker_ = view;
}

QWidget* QtHostShell::transferCenterWidget() const { return transferCenter_.data(); }

QWidget* QtHostShell::sendDestinationPickerWidget() const { return picker_.data(); }

QWidget* QtHostShell::widgetFor(const WindowModel* window) const {
    // The progress window is drawn by its own view; its window model only stands for it.
    if (dynamic_cast<const TransferCenterWindow*>(window)) return transferCenter_.data();
    auto found = windows_.find(window);
    return found == windows_.end() ? nullptr : found->second.data();
}

void QtHostShell::activateIgnoringOtherApps() {
    // An active application stays as it is: activating its windows again would take the focus
    // from the window or sheet the user is in, and cut short a click under way there.
    if (applicationIsActive()) return;
    for (auto& [model, widget] : windows_) {
        if (!widget || !widget->isVisible()) continue;
        // A window showing sheets is activated through its front one.
        const auto sheets = visibleSheets(widget);
        activateWithoutCuttingAClick(sheets.empty() ? widget.data() : sheets.back());
    }
}

void QtHostShell::performStandardAction(HostAction action) {
    QWidget* active = QApplication::activeWindow();
    switch (action) {
        case HostAction::hide:
            for (auto& [model, widget] : windows_) {
                if (widget) widget->hide();
            }
            break;
        case HostAction::performMiniaturize:
            if (active) active->showMinimized();
            break;
        case HostAction::performZoom:
            if (active) active->isMaximized() ? active->showNormal() : active->showMaximized();
            break;
        case HostAction::arrangeInFront:
        case HostAction::unhideAllApplications:
            for (auto& [model, widget] : windows_) {
                if (widget && model->visible() && showsWindows_) {
                    widget->show();
                    widget->raise();
                }
            }
            break;
        default: break;
    }
}

void QtHostShell::beginSheet(const std::shared_ptr<WindowModel>& window, const AlertModel& alert,
                             std::function<void(int)> completion) {
    QWidget* parent = widgetFor(window.get());
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    switch (alert.style) {
        case AlertModel::Style::informational: box->setIcon(QMessageBox::Information); break;
        case AlertModel::Style::warning: box->setIcon(QMessageBox::Warning); break;
        case AlertModel::Style::critical: box->setIcon(QMessageBox::Critical); break;
    }
    // Modal to its window, but not through Qt's window modality: Qt blocks every earlier modal
    // dialog of a window when a later one opens, and several questions (and the folder panel)
    // may be up on the File Transfers window at once. Each takes its own click; the window none.
    makeModalToItsWindow(box);
    // A sheet stays in front of its window: a window that floats above others would otherwise
    // cover its own question, since window managers do not always stack a transient above it.
    // The same for a window whose model floats while the question is open (the conflict alert
    // raises its window so): the question must not hide behind a floating window of the Host's.
    if (parent && ((parent->windowFlags() & Qt::WindowStaysOnTopHint) || window->level() >= WindowModel::floatingLevel)) {
        box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
    }
    // Without a desktop (the offscreen platform) there is no stacking to change.
    const bool stacks = QGuiApplication::platformName() != "offscreen";
    if (parent && stacks) {
        parent->raise();
        parent->activateWindow();
    }
    // Questions quote names from Viewers and files: both texts are shown as they are.
    box->setTextFormat(Qt::PlainText);
    box->setText(q(alert.messageText));
    box->setInformativeText(q(alert.informativeText));
    if (auto* informative = box->findChild<QLabel*>("qt_msgbox_informativelabel")) informative->setTextFormat(Qt::PlainText);
    std::vector<QAbstractButton*> buttons;
    for (const auto& title : alert.buttons) buttons.push_back(box->addButton(q(title), QMessageBox::AcceptRole));
    if (!buttons.empty()) box->setDefaultButton(qobject_cast<QPushButton*>(buttons.front()));
    addAlertAccessory(*box, alert);
    window->setAttachedSheet(alert);
    connect(box, &QMessageBox::buttonClicked, box, [box, buttons, window, completion](QAbstractButton* clicked) {
        int response = 1000;
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            if (buttons[i] == clicked) response = 1000 + static_cast<int>(i);
        }
        window->setAttachedSheet(std::nullopt);
        if (completion) completion(response);
        box->close();
    });
    if (!showsWindows_) return;  // nobody would see it
    bringSheetForward(box);
    box->show();
    if (stacks) {
        box->raise();
        box->activateWindow();
    }
}

std::function<void()> QtHostShell::beginFolderPanel(const std::shared_ptr<WindowModel>& window,
                                                    const FolderPanelModel& panel,
                                                    std::function<void(std::optional<std::filesystem::path>)> completion) {
    auto armed = std::make_shared<bool>(true);
    QPointer<QFileDialog> dialog =
        openFolderPanel(panel, window ? widgetFor(window.get()) : nullptr,
                        [armed, completion = std::move(completion)](std::optional<std::filesystem::path> folder) {
                            if (!*armed) return;
                            *armed = false;
                            completion(std::move(folder));
                        });
    return [armed, dialog] {
        *armed = false;
        if (dialog) dialog->reject();  // deletes it (it deletes itself on close)
    };
}

void QtHostShell::presentSheet(const std::shared_ptr<WindowModel>& window, const std::shared_ptr<AlertSheetModel>& sheet) {
    // The view deletes itself when the model ends.
    auto* view = new AlertSheetView(sheet, widgetFor(window.get()));
    if (!showsWindows_) keepOffScreen(view);
    sheets_.emplace_back(view);
    sheets_.erase(std::remove_if(sheets_.begin(), sheets_.end(), [](const QPointer<AlertSheetView>& view) { return !view; }),
                  sheets_.end());
}

bool QtHostShell::applicationIsActive() const {
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void QtHostShell::openURL(const std::string& url) { QDesktopServices::openUrl(QUrl(q(url))); }

void QtHostShell::terminate() {
    // Quitting closes every window; a sheet still up goes without answering for the user.
    for (auto& sheet : sheets_) {
        if (sheet) sheet->dismissWithoutAnswer();
    }
    // exit(), not quit(): quit() first asks every window to close, and an alert whose buttons
    // have no Escape answer refuses, which would leave the process running with the service stopped.
    // Through the main queue when there is one: the blocks still waiting on it never run.
    if (mainQueue_) {
        mainQueue_->endLoop(0);
    } else {
        QCoreApplication::exit(0);
    }
}

}  // namespace qm
