#pragma once

#include <QObject>
#include <QPointer>
#include <map>
#include <memory>
#include <vector>

#include "HostApp/App/HostShell.h"
#include "HostApp/App/ViewModels.h"
#include "HostApp/Views/ViewRegistry.h"

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace qm {

class AlertSheetView;
class QtMainQueue;
class SummaryWindowView;

// The Qt 6 Widgets rendering of the application's models. It keeps no state of its own beyond
// the widgets: every text and flag comes from a model, every click goes back to one.
class QtHostShell final : public QObject, public HostShell {
public:
    // `showsWindows` false: a Host without a desktop, whose windows nobody sees; they stay hidden
    // (and are never raised) whatever their models say. `mainQueue`, when given, is the queue
    // bound to the loop that terminate() ends: no block still waiting on it runs then.
    explicit QtHostShell(bool showsWindows = true, std::shared_ptr<QtMainQueue> mainQueue = nullptr);
    ~QtHostShell() override;

    void installMainMenu(const MainMenu& mainMenu) override;
    const MainMenu& mainMenu() const override { return mainMenu_; }
    void showStatusItem(const std::shared_ptr<StatusItemModel>& item) override;
    bool hasStatusArea() const override;
    void attachWindow(const std::shared_ptr<WindowModel>& window) override;
    void activateIgnoringOtherApps() override;
    void performStandardAction(HostAction action) override;
    void beginSheet(const std::shared_ptr<WindowModel>& window, const AlertModel& alert,
                    std::function<void(int response)> completion) override;
    std::function<void()> beginFolderPanel(const std::shared_ptr<WindowModel>& window, const FolderPanelModel& panel,
                                           std::function<void(std::optional<std::filesystem::path>)> completion) override;
    void presentSheet(const std::shared_ptr<WindowModel>& window, const std::shared_ptr<AlertSheetModel>& sheet) override;
    bool applicationIsActive() const override;
    void openURL(const std::string& url) override;
    void registerServicesProvider() override {}
    void attachTransferCenter(const std::shared_ptr<FileTransferCenter>& center) override;
    void presentSendDestinationPicker(const std::shared_ptr<SendDestinationPicker::PickerController>& picker) override;
    void terminate() override;

    // The views the shell makes for window models, by model type.
    const ViewRegistry& views() const { return views_; }

    // For smoke tests and screenshots.
    QWidget* widgetFor(const WindowModel* window) const;
    QMenu* statusMenuWidget() const { return statusMenu_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    QWidget* transferCenterWidget() const;
    // The picker on screen, if any.
    QWidget* sendDestinationPickerWidget() const;

    // Fills a QMenu from a model and keeps it in step.
    static void bindMenu(QMenu* menu, const std::shared_ptr<MenuModel>& model);

private:
    ViewRegistry views_ = hostViewRegistry();
    MainMenu mainMenu_;
    std::shared_ptr<StatusItemModel> statusItem_;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* statusMenu_ = nullptr;
    std::map<const WindowModel*, QPointer<QWidget>> windows_;
    std::vector<std::shared_ptr<WindowModel>> models_;
    QPointer<QWidget> transferCenter_;
    QPointer<QWidget> picker_;
    std::vector<QPointer<AlertSheetView>> sheets_;  // the alert sheets that may still be up
    bool showsWindows_ = true;
    std::shared_ptr<QtMainQueue> mainQueue_;
};

}  // namespace qm
