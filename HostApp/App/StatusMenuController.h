#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "HostApp/App/AlertSheetModel.h"
#include "HostApp/App/HostController.h"
#include "HostApp/App/HostLaunchAtLogin.h"
#include "HostApp/App/ViewModels.h"
#include "Platform/Core/DispatchQueue.h"
#include "QuillmereProfiles/QuillmereDiscovery.h"

namespace qm {

// The sender of an action: menu items log as "menu".
enum class ActionSender { none, menuItem, button };

// The status menu and the summary: the main menu, the status item and its menu, the summary
// window and the About panel, the lines they show (status, addresses, Viewers, start at login)
// and the sheets every alert of the Host runs through. Owns those models; the texts it shows
// come from the server's snapshot and the routes of the last refresh.
class StatusMenuController : public HostControllerOf<StatusMenuController> {
public:
    static inline const std::string mainMenuIdentifier = "com.dravon.quillmere.host.main-menu";
    static constexpr double summaryAutoCloseDelay = 5.0;
    static constexpr double foregroundSheetSecondRaiseDelay = 0.15;

    static std::shared_ptr<StatusMenuController> create(HostProbeDelegate& app);
    ~StatusMenuController();

    // ---- Menus and status item -------------------------------------------------------------
    void configureMainMenu();
    void configureStatusItem();
    void refreshHostMainMenuLocalization();
    void refreshHostStatusMenuLocalization();
    void updateStatusItemButtonTitle();
    std::string hostStatusItemHostName() const;
    static void setMenuItemTitle(MenuModel* menu, HostAction action, const std::string& title);
    static void localizeTopMenu(MenuModel& mainMenu, std::size_t index, const std::string& title);
    // Whether the desktop offers the display symbol; computed once (a failed lookup included).
    bool statusItemDisplaySymbol();
    // Both menus' automatic-update items show `enabled`.
    void showAutoUpdateChecked(bool enabled);

    // ---- Presentation ------------------------------------------------------------------------
    // Any thread: off the main queue it schedules itself there and returns.
    void updateHostPresentation();
    // The summary window's and the menus' texts in the current language.
    void refreshSummaryLocalization();
    // The latest status line of the server, the clipboard bridge or the file service.
    void setAudioStatus(const std::string& labelText);
    // The routes a refresh found; the address lines show them.
    void setLatestRouteRecords(std::vector<QuillmereRouteRecord> routes);
    std::string runningText() const;
    // What the server could not open; empty without a server.
    std::vector<std::string> listenerFailures() const;

    // ---- Summary window and About panel ---------------------------------------------------------
    std::shared_ptr<SummaryWindowModel> makeSummaryWindow();
    // The summary window, made when there is none yet.
    const std::shared_ptr<SummaryWindowModel>& ensureSummaryWindow();
    void showSummaryWindowAction(ActionSender sender);
    // Shows the summary window as reopening the application does.
    void reopenSummaryWindow();
    void raiseSummaryWindow(bool deminiaturizeFirst);
    void scheduleSummaryWindowAutoClose(double seconds);
    void showAboutPanelAction();
    // The summary or detail window on screen, if any.
    std::shared_ptr<WindowModel> visibleWindow() const;

    // ---- Foreground sheets ---------------------------------------------------------------------------
    std::shared_ptr<AlertSheetModel> beginHostForegroundSheet(const AlertModel& alert,
                                                              const std::shared_ptr<WindowModel>& window,
                                                              std::function<void(int response)> completion);
    // A sheet on the summary window (made when needed).
    void runHostModalAlert(const AlertModel& alert, std::function<void(int)> completion);
    // The application became active: the sheets that are up come back in front.
    void raiseForegroundSheets();

    // ---- Start at login --------------------------------------------------------------------
    void launchAtLoginCheckboxChanged(ButtonModel& checkbox);
    void toggleLaunchAtLoginMenuAction(MenuItemModel& item);
    void updateLaunchAtLoginCheckbox();
    HostLaunchAtLogin& launchAtLogin() { return launchAtLogin_; }

    // ---- Address and Viewer texts ----------------------------------------------------------
    static std::optional<std::vector<int>> ipv4Octets(const std::string& text);
    static bool viewerAddressLikelyUsesRoute(const std::string& viewerAddress, const std::string& hostAddress);
    static std::string routeAddressText(const QuillmereRouteRecord& route,
                                        const std::vector<std::string>& currentViewerAddresses);
    static std::string summaryAddressText(const std::vector<QuillmereRouteRecord>& routes,
                                          const std::vector<std::string>& currentViewerAddresses);
    static std::string menuAddressText(const std::vector<QuillmereRouteRecord>& routes,
                                       const std::vector<std::string>& currentViewerAddresses);
    static std::string viewerDisplayNameSummary(const std::vector<std::string>& names);
    // The Viewer line for (name, address) summaries.
    static std::string viewerTextFor(const std::vector<std::pair<std::string, std::string>>& summaries);
    std::vector<std::string> connectedViewerAddresses() const;
    std::string connectedViewerText() const;

    // ---- The models (read by the views and tests) -------------------------------------------
    std::shared_ptr<SummaryWindowModel> summaryWindow;
    std::shared_ptr<LabelModel> audioStatusLabel;
    std::shared_ptr<LabelModel> summaryStatusLabel;
    std::shared_ptr<LabelModel> summaryAddressLabel;
    std::shared_ptr<LabelModel> summaryViewerLabel;
    std::shared_ptr<AboutPanelModel> aboutPanel;
    std::weak_ptr<MenuItemModel> launchAtLoginMenuItem;
    std::weak_ptr<MenuItemModel> statusLaunchAtLoginMenuItem;
    std::weak_ptr<MenuItemModel> statusMenuStatusItem;
    std::weak_ptr<MenuItemModel> statusMenuAddressItem;
    std::weak_ptr<MenuItemModel> statusMenuViewerItem;
    std::shared_ptr<StatusItemModel> statusItem;
    std::shared_ptr<MenuModel> statusMenu;
    std::vector<QuillmereRouteRecord> latestRouteRecords;
    DispatchWorkItemPtr summaryAutoCloseWorkItem;

private:
    explicit StatusMenuController(HostProbeDelegate& app);
    void wireMenuItem(const std::shared_ptr<MenuItemModel>& item);

    HostLaunchAtLogin launchAtLogin_;
    std::optional<bool> displaySymbolAvailable_;
    // The raise actions of the foreground sheets that are up, run when the application becomes
    // active, in the order the sheets were last key (the one the user was in ends on top); each
    // sheet removes its own when it ends.
    std::vector<std::pair<std::uint64_t, std::function<void()>>> foregroundSheetActivationRaises_;
    std::uint64_t nextForegroundSheetID_ = 0;
};

}  // namespace qm
