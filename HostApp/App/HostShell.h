#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HostApp/App/AlertSheetModel.h"
#include "HostApp/App/ViewModels.h"
#include "QuillmereProfiles/UI/SendDestinationPicker.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"

namespace qm {

// What the application layer asks of the desktop: showing its models, the application-wide
// actions and the sheets. The Qt views implement it; tests use a recording one whose sheets are
// answered from a script. Every call is made on the main queue.
class HostShell {
public:
    virtual ~HostShell() = default;

    // The application's main menu with the submenus that play the standard roles.
    struct MainMenu {
        std::shared_ptr<MenuModel> menu;
        std::shared_ptr<MenuModel> servicesMenu;
        std::shared_ptr<MenuModel> windowsMenu;
        std::shared_ptr<MenuModel> helpMenu;
    };
    virtual void installMainMenu(const MainMenu& mainMenu) = 0;
    virtual const MainMenu& mainMenu() const = 0;
    virtual void showStatusItem(const std::shared_ptr<StatusItemModel>& item) = 0;
    // Whether the desktop shows status items at all (a system tray). Without one the summary
    // window is the only way back to the Host.
    virtual bool hasStatusArea() const = 0;
    // Gives a window model a view; the model's state says whether it is visible.
    virtual void attachWindow(const std::shared_ptr<WindowModel>& window) = 0;

    virtual void activateIgnoringOtherApps() = 0;
    // hide, hideOtherApplications, unhideAllApplications, performMiniaturize, performZoom,
    // arrangeInFront: the standard responders' actions.
    virtual void performStandardAction(HostAction action) = 0;
    // Runs `alert` as a sheet on `window`; `completion` gets 1000, 1001, ... for the buttons in
    // the order they were added.
    virtual void beginSheet(const std::shared_ptr<WindowModel>& window, const AlertModel& alert,
                            std::function<void(int response)> completion) = 0;
    // Asks for one folder, as a sheet on `window` when there is one; `completion` gets the chosen
    // folder, or nothing when the panel was cancelled. Returns what closes the panel while it is
    // still open, without calling `completion` (for a question nobody waits for any more).
    virtual std::function<void()> beginFolderPanel(
        const std::shared_ptr<WindowModel>& window, const FolderPanelModel& panel,
        std::function<void(std::optional<std::filesystem::path>)> completion) = 0;
    // Shows `sheet`, already begun on `window`, as a sheet of that window's view: the view follows
    // the model's texts and visibility and answers through `AlertSheetModel::respond`.
    virtual void presentSheet(const std::shared_ptr<WindowModel>& window, const std::shared_ptr<AlertSheetModel>& sheet) = 0;
    // Whether the application is the active one (one of its windows has the focus).
    virtual bool applicationIsActive() const { return true; }
    virtual void openURL(const std::string& url) = 0;
    // The send-files actions appear in the desktop's services list.
    virtual void registerServicesProvider() = 0;
    // The shared file-transfer windows: the progress window (given once; its state says when it
    // shows) and a destination picker (shown until it ends).
    virtual void attachTransferCenter(const std::shared_ptr<FileTransferCenter>&) {}
    virtual void presentSendDestinationPicker(const std::shared_ptr<SendDestinationPicker::PickerController>&) {}
    // Ends the event loop; the process then returns 0 from main.
    virtual void terminate() = 0;
};

}  // namespace qm
