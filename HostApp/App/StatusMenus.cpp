// The status menu and summary, its menus: the main menu, the status item and its menu, and their texts (found by action, never by
// position, so a language change retitles whatever order the items are in).
#include "HostApp/App/StatusMenuController.h"

#include "HostApp/App/HostProbeDelegate.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

using L10n = QuillmereL10n;

namespace {
std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n\v\f");
    return text.substr(first, last - first + 1);
}
}  // namespace

void StatusMenuController::wireMenuItem(const std::shared_ptr<MenuItemModel>& item) {
    item->onChoose = [weak = weak()](MenuItemModel& chosen) {
        if (auto self = weak.lock()) self->app_.perform(chosen.action(), ActionSender::menuItem, &chosen);
    };
}

void StatusMenuController::configureMainMenu() {
    if (!env().shell) return;
    const auto& installed = env().shell->mainMenu();
    if (installed.menu && installed.menu->identifier() == mainMenuIdentifier) return;
    const std::string& name = env().processName;
    auto item = [this](const std::string& title, HostAction action, KeyEquivalent key = {}) {
        auto made = std::make_shared<MenuItemModel>(title, action, std::move(key));
        wireMenuItem(made);
        return made;
    };
    auto mainMenu = std::make_shared<MenuModel>("", mainMenuIdentifier);

    auto appMenu = std::make_shared<MenuModel>();
    appMenu->add(item("About " + name, HostAction::showAboutPanel));
    appMenu->add(MenuItemModel::separator());
    auto startAtLogin = appMenu->add(item("Start at Login", HostAction::toggleLaunchAtLogin));
    startAtLogin->setChecked(env().defaults->boolean(HostLaunchAtLogin::desiredKey));
    launchAtLoginMenuItem = startAtLogin;
    appMenu->add(MenuItemModel::separator());
    auto services = appMenu->add(item("Services", HostAction::none));
    auto servicesMenu = std::make_shared<MenuModel>("Services");
    services->setSubmenu(servicesMenu);
    appMenu->add(MenuItemModel::separator());
    appMenu->add(item("Hide " + name, HostAction::hide, {"h"}));
    appMenu->add(item("Hide Others", HostAction::hideOtherApplications, {"h", true, true}));
    appMenu->add(item("Show All", HostAction::unhideAllApplications));
    appMenu->add(MenuItemModel::separator());
    appMenu->add(item("Quit " + name + "...", HostAction::requestQuit, {"q"}));
    mainMenu->add(item("", HostAction::none))->setSubmenu(appMenu);

    auto hostMenu = std::make_shared<MenuModel>("Host");
    hostMenu->add(item("Show Host Status", HostAction::showSummaryWindow, {"1"}));
    hostMenu->add(item("Refresh Status", HostAction::refreshButtonPressed, {"r"}));
    hostMenu->add(item(L10n::text("host.updateVersionButton", "Update Version"), HostAction::requestOnlineUpdate));
    auto autoUpdate = hostMenu->add(
        item(L10n::text("host.autoUpdateMenuTitle", "Automatically Install Updates"), HostAction::toggleAutoUpdate));
    autoUpdate->setChecked(env().defaults->boolean("host.autoUpdate.enabled"));
    hostMenu->add(MenuItemModel::separator());
    hostMenu->add(item("Use Selected Physical Display", HostAction::useDisplayButtonPressed));
    mainMenu->add(item("Host", HostAction::none))->setSubmenu(hostMenu);

    auto windowMenu = std::make_shared<MenuModel>("Window");
    windowMenu->add(item("Minimize", HostAction::performMiniaturize, {"m"}));
    windowMenu->add(item("Zoom", HostAction::performZoom));
    windowMenu->add(MenuItemModel::separator());
    windowMenu->add(item("Bring All to Front", HostAction::arrangeInFront));
    mainMenu->add(item("Window", HostAction::none))->setSubmenu(windowMenu);

    auto helpMenu = std::make_shared<MenuModel>("Help");
    helpMenu->add(item("User Guide", HostAction::openUserGuide, {""}));
    helpMenu->add(item("Official Website", HostAction::openWebsite, {""}));
    helpMenu->add(item("Privacy Policy", HostAction::openPrivacyPolicy, {""}));
    helpMenu->add(item("Terms of Service", HostAction::openTermsOfService, {""}));
    helpMenu->add(item("Release Notes", HostAction::openReleaseNotes, {""}));
    helpMenu->add(item(L10n::text("menu.downloadLatestVersion", "Update Version"), HostAction::requestOnlineUpdate));
    mainMenu->add(item("Help", HostAction::none))->setSubmenu(helpMenu);

    env().shell->installMainMenu({mainMenu, servicesMenu, windowMenu, helpMenu});
    refreshHostMainMenuLocalization();
}

void StatusMenuController::configureStatusItem() {
    statusItem = std::make_shared<StatusItemModel>();
    updateStatusItemButtonTitle();
    statusItem->setToolTip(runningText());
    statusItem->setEnabled(true);
    auto menu = std::make_shared<MenuModel>(L10n::text("host.windowTitle", "Corventis Host"));
    auto info = [&](const std::string& title) {
        auto line = menu->add(std::make_shared<MenuItemModel>(title, HostAction::none));
        line->setEnabled(false);
        return line;
    };
    auto item = [&](const std::string& title, HostAction action) {
        auto made = menu->add(std::make_shared<MenuItemModel>(title, action, KeyEquivalent{""}));
        wireMenuItem(made);
        return made;
    };
    statusMenuStatusItem = info(runningText());
    statusMenuAddressItem = info(L10n::text("host.ipsChecking", "Host IPs: checking..."));
    statusMenuViewerItem = info(L10n::text("host.viewerNone", "Viewer: none connected"));
    menu->add(MenuItemModel::separator());
    item("Show Host Status", HostAction::showSummaryWindow);
    item("Refresh", HostAction::refreshButtonPressed);
    item(L10n::text("host.updateVersionButton", "Update Version"), HostAction::requestOnlineUpdate);
    item(L10n::text("host.autoUpdateMenuTitle", "Automatically Install Updates"), HostAction::toggleAutoUpdate)
        ->setChecked(env().defaults->boolean("host.autoUpdate.enabled"));
    auto startAtLogin = item("Start at Login", HostAction::toggleLaunchAtLogin);
    startAtLogin->setChecked(env().defaults->boolean(HostLaunchAtLogin::desiredKey));
    statusLaunchAtLoginMenuItem = startAtLogin;
    menu->add(MenuItemModel::separator());
    item("Quit Host...", HostAction::requestQuit);
    statusMenu = menu;
    statusItem->menu = menu;
    if (env().shell) env().shell->showStatusItem(statusItem);
    refreshHostStatusMenuLocalization();
    updateHostPresentation();
}

bool StatusMenuController::statusItemDisplaySymbol() {
    if (!displaySymbolAvailable_) {
        displaySymbolAvailable_ = env().displaySymbolAvailable ? env().displaySymbolAvailable() : true;
    }
    return *displaySymbolAvailable_;
}

void StatusMenuController::setMenuItemTitle(MenuModel* menu, HostAction action, const std::string& title) {
    if (!menu) return;
    if (auto item = menu->itemWithAction(action)) item->setTitle(title);
}

void StatusMenuController::localizeTopMenu(MenuModel& mainMenu, std::size_t index, const std::string& title) {
    if (mainMenu.items().size() <= index) return;
    auto& item = mainMenu.items()[index];
    item->setTitle(title);
    if (item->submenu()) item->submenu()->setTitle(title);
}

void StatusMenuController::refreshHostMainMenuLocalization() {
    if (!env().shell) return;
    const auto& installed = env().shell->mainMenu();
    if (!installed.menu) return;
    auto& mainMenu = *installed.menu;
    const std::string& name = env().processName;
    if (!mainMenu.items().empty() && mainMenu.items()[0]->submenu()) {
        auto* appMenu = mainMenu.items()[0]->submenu().get();
        setMenuItemTitle(appMenu, HostAction::showAboutPanel, L10n::format("menu.aboutFormat", "About %@", name));
        setMenuItemTitle(appMenu, HostAction::toggleLaunchAtLogin, L10n::text("host.startAtLoginMenu", "Start at Login"));
        for (const auto& item : appMenu->items()) {
            if (item->submenu() && item->submenu() == installed.servicesMenu) {
                item->setTitle(L10n::text("menu.services", "Services"));
                break;
            }
        }
        setMenuItemTitle(appMenu, HostAction::hide, L10n::format("menu.hideFormat", "Hide %@", name));
        setMenuItemTitle(appMenu, HostAction::hideOtherApplications, L10n::text("menu.hideOthers", "Hide Others"));
        setMenuItemTitle(appMenu, HostAction::unhideAllApplications, L10n::text("menu.showAll", "Show All"));
        setMenuItemTitle(appMenu, HostAction::requestQuit, L10n::format("host.quitMenuFormat", "Quit %@...", name));
    }
    localizeTopMenu(mainMenu, 1, L10n::text("host.menu", "Host"));
    if (mainMenu.items().size() >= 2) {
        auto* hostMenu = mainMenu.items()[1]->submenu().get();
        setMenuItemTitle(hostMenu, HostAction::showSummaryWindow, L10n::text("host.showStatusMenu", "Show Host Status"));
        setMenuItemTitle(hostMenu, HostAction::refreshButtonPressed,
                         L10n::text("host.refreshStatusMenu", "Refresh Status"));
        setMenuItemTitle(hostMenu, HostAction::useDisplayButtonPressed,
                         L10n::text("host.useSelectedPhysicalDisplayMenu", "Use Selected Physical Display"));
    }
    localizeTopMenu(mainMenu, 2, L10n::text("menu.window", "Window"));
    if (mainMenu.items().size() >= 3) {
        auto* windowMenu = mainMenu.items()[2]->submenu().get();
        setMenuItemTitle(windowMenu, HostAction::performMiniaturize, L10n::text("menu.minimize", "Minimize"));
        setMenuItemTitle(windowMenu, HostAction::performZoom, L10n::text("menu.zoom", "Zoom"));
        setMenuItemTitle(windowMenu, HostAction::arrangeInFront, L10n::text("menu.bringAllToFront", "Bring All to Front"));
    }
    localizeTopMenu(mainMenu, 3, L10n::text("menu.help", "Help"));
    if (mainMenu.items().size() >= 4) {
        auto* helpMenu = mainMenu.items()[3]->submenu().get();
        setMenuItemTitle(helpMenu, HostAction::openUserGuide, L10n::text("menu.userGuide", "User Guide"));
        setMenuItemTitle(helpMenu, HostAction::openWebsite, L10n::text("menu.officialWebsite", "Official Website"));
        setMenuItemTitle(helpMenu, HostAction::openPrivacyPolicy, L10n::text("menu.privacyPolicy", "Privacy Policy"));
        setMenuItemTitle(helpMenu, HostAction::openTermsOfService, L10n::text("menu.termsOfService", "Terms of Service"));
        setMenuItemTitle(helpMenu, HostAction::openReleaseNotes, L10n::text("menu.releaseNotes", "Release Notes"));
        setMenuItemTitle(helpMenu, HostAction::requestOnlineUpdate,
                         L10n::text("menu.downloadLatestVersion", "Update Version"));
    }
}

void StatusMenuController::refreshHostStatusMenuLocalization() {
    if (!statusMenu) return;
    statusMenu->setTitle(L10n::text("host.windowTitle", "Corventis Host"));
    auto* menu = statusMenu.get();
    setMenuItemTitle(menu, HostAction::showSummaryWindow, L10n::text("host.showStatusMenu", "Show Host Status"));
    setMenuItemTitle(menu, HostAction::refreshButtonPressed, L10n::text("host.refreshButton", "Refresh"));
    setMenuItemTitle(menu, HostAction::requestOnlineUpdate, L10n::text("host.updateVersionButton", "Update Version"));
    setMenuItemTitle(menu, HostAction::toggleLaunchAtLogin, L10n::text("host.startAtLoginMenu", "Start at Login"));
    setMenuItemTitle(menu, HostAction::requestQuit, L10n::text("host.quitHostMenu", "Quit Host..."));
}

std::string StatusMenuController::hostStatusItemHostName() const {
    const std::string name = trimmed(env().hostName ? env().hostName() : std::string());
    return name.empty() ? L10n::text("host.statusButtonIdle", "Host") : name;
}

void StatusMenuController::updateStatusItemButtonTitle() {
    if (!statusItem) return;
    const auto state = listenerFailures().empty() ? L10n::text("host.statusButtonEnabled", "On")
                                                  : L10n::text("host.statusButtonNotListening", "Unreachable");
    statusItem->setTitle({hostStatusItemHostName(), statusItemDisplaySymbol(), state});
}

void StatusMenuController::showAutoUpdateChecked(bool enabled) {
    // The status menu and the main menu each have the item; both show the stored preference.
    for (const auto& menu : {statusMenu, env().shell ? env().shell->mainMenu().menu : nullptr}) {
        if (!menu) continue;
        for (const auto& top : menu->items()) {
            if (top->action() == HostAction::toggleAutoUpdate) top->setChecked(enabled);
            if (top->submenu()) {
                if (auto inner = top->submenu()->itemWithAction(HostAction::toggleAutoUpdate)) inner->setChecked(enabled);
            }
        }
    }
}

}  // namespace qm
