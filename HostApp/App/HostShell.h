#pragma once

#include <functional>
#include <memory>
#include <string>

#include "HostApp/App/ViewModels.h"

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
    virtual void openURL(const std::string& url) = 0;
    // The send-files actions appear in the desktop's services list.
    virtual void registerServicesProvider() = 0;
    // Ends the event loop; the process then returns 0 from main.
    virtual void terminate() = 0;
};

}  // namespace qm
