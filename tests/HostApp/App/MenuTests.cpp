// The main menu and the status menu, found by action, in English and German.
#include <gtest/gtest.h>

#include "support/AppHarness.h"

namespace qm::test {
namespace MenuTests {
namespace {

std::shared_ptr<MenuModel> submenu(const HostShell& shell, std::size_t index) {
    return shell.mainMenu().menu->items().at(index)->submenu();
}

std::string title(const std::shared_ptr<MenuModel>& menu, HostAction action) {
    auto item = menu->itemWithAction(action);
    return item ? item->title() : "<missing>";
}

TEST(Menus, EnglishTitlesKeysAndChecksFollowActions) {
    AppHarness app;
    app.defaultsStore->standard()->set("host.launchAtLogin.configured", true);
    app.launch();
    const auto appMenu = submenu(*app.shell, 0);
    EXPECT_EQ(title(appMenu, HostAction::showAboutPanel), "About QuillmereHost");
    EXPECT_EQ(title(appMenu, HostAction::hide), "Hide QuillmereHost");
    EXPECT_EQ(title(appMenu, HostAction::requestQuit), "Quit QuillmereHost...");
    EXPECT_EQ(appMenu->itemWithAction(HostAction::requestQuit)->keyEquivalent().key, "q");
    const auto hideOthers = appMenu->itemWithAction(HostAction::hideOtherApplications)->keyEquivalent();
    EXPECT_TRUE(hideOthers.option && hideOthers.command);
    EXPECT_EQ(app.shell->mainMenu().menu->items()[1]->title(), "Host");
    EXPECT_EQ(title(submenu(*app.shell, 1), HostAction::refreshButtonPressed), "Refresh Status");
    EXPECT_EQ(title(submenu(*app.shell, 3), HostAction::requestOnlineUpdate), "Update Version");

    // Nothing stored: no check marks in either menu.
    EXPECT_FALSE(appMenu->itemWithAction(HostAction::toggleLaunchAtLogin)->checked());
    EXPECT_FALSE(submenu(*app.shell, 1)->itemWithAction(HostAction::toggleAutoUpdate)->checked());
    EXPECT_FALSE(app.delegate->status().statusMenu->itemWithAction(HostAction::toggleLaunchAtLogin)->checked());

    const auto& status = app.delegate->status().statusMenu;
    EXPECT_EQ(status->title(), "Corventis Host");
    EXPECT_EQ(title(status, HostAction::refreshButtonPressed), "Refresh");
    EXPECT_EQ(title(status, HostAction::requestQuit), "Quit Host...");
    // The three information lines are never clickable.
    for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(status->items()[i]->enabled());

    // Configuring again leaves the installed menu alone.
    auto installed = app.shell->mainMenu().menu;
    app.delegate->status().configureMainMenu();
    EXPECT_EQ(app.shell->mainMenu().menu, installed);
}

TEST(Menus, GermanTitlesFollowActionsAfterItemsMoved) {
    AppHarness app;
    app.launch();
    auto appMenu = submenu(*app.shell, 0);
    appMenu->moveItem(0, appMenu->items().size() - 1);
    app.delegate->status().statusMenu->moveItem(4, 9);
    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("de"));
    app.delegate->refreshHostLocalization();

    EXPECT_EQ(title(appMenu, HostAction::showAboutPanel), "Über QuillmereHost");
    EXPECT_EQ(title(appMenu, HostAction::requestQuit), "QuillmereHost beenden …");
    EXPECT_EQ(app.shell->mainMenu().menu->items()[2]->title(), "Fenster");
    EXPECT_EQ(submenu(*app.shell, 2)->title(), "Fenster");
    EXPECT_EQ(title(submenu(*app.shell, 3), HostAction::openPrivacyPolicy), "Datenschutzerklärung");
    const auto& status = app.delegate->status().statusMenu;
    EXPECT_EQ(title(status, HostAction::showSummaryWindow), "Host-Status anzeigen");
    EXPECT_EQ(title(status, HostAction::requestQuit), "Host beenden …");
    EXPECT_EQ(app.delegate->status().summaryWindow->title(), "Corventis Host");
    EXPECT_EQ(app.delegate->status().summaryWindow->titleLabel->text(), "Corventis Host läuft");
}

TEST(Menus, TopMenusAreRetitledOnlyWhereThereAreEnough) {
    MenuModel menu;
    menu.add(std::make_shared<MenuItemModel>("", HostAction::none));
    auto host = menu.add(std::make_shared<MenuItemModel>("Host", HostAction::none));
    host->setSubmenu(std::make_shared<MenuModel>("Host"));
    StatusMenuController::localizeTopMenu(menu, 1, "Gastgeber");
    StatusMenuController::localizeTopMenu(menu, 2, "Fenster");
    EXPECT_EQ(host->title(), "Gastgeber");
    EXPECT_EQ(host->submenu()->title(), "Gastgeber");
    EXPECT_EQ(menu.items().size(), 2u);
}

TEST(Menus, StatusItemShowsNameSymbolAndState) {
    AppHarness app;
    app.hostName = "  \n";
    bool asked = false;
    int lookups = 0;
    app.environment.displaySymbolAvailable = [&] {
        asked = true;
        ++lookups;
        return false;
    };
    app.launch();
    const auto& title = app.shell->statusItem->title();
    EXPECT_EQ(title.hostName, "Host") << "a blank machine name";
    EXPECT_FALSE(title.showsSymbol);
    EXPECT_EQ(title.plainText(), "Host  On");
    app.delegate->updateHostPresentation();
    EXPECT_TRUE(asked);
    EXPECT_EQ(lookups, 1) << "a failed lookup is kept";
    const auto tooltip = app.shell->statusItem->toolTip();
    EXPECT_EQ(tooltip, "Corventis Host is running\nStart at login: on\nHost IPs: none found\nViewer: none connected");
}

TEST(Menus, LaunchAtLoginAndWebsiteActions) {
    AppHarness app;
    app.launch();
    auto item = app.delegate->status().statusMenu->itemWithAction(HostAction::toggleLaunchAtLogin);
    ASSERT_TRUE(item->checked()) << "the first run turns it on";
    item->choose();
    app.host.clock().runUntilIdle();
    EXPECT_FALSE(item->checked());
    EXPECT_FALSE(app.defaultsStore->standard()->boolean("host.launchAtLogin.desired"));
    EXPECT_EQ(app.delegate->status().audioStatusLabel->text(), "Aux: Start at login disabled");
    EXPECT_FALSE(app.delegate->status().summaryWindow->launchAtLoginCheckbox->checked());
    EXPECT_EQ(app.delegate->status().summaryStatusLabel->text(), "Corventis Host is running · Start at login: off");

    app.loginItems->failure = "read-only file system";
    app.delegate->status().summaryWindow->launchAtLoginCheckbox->press();
    app.host.clock().runUntilIdle();
    EXPECT_TRUE(app.logged("launch-at-login: Start at login update failed: read-only file system"));
    EXPECT_TRUE(item->checked()) << "the check mark follows the stored wish";

    submenu(*app.shell, 3)->itemWithAction(HostAction::openReleaseNotes)->choose();
    submenu(*app.shell, 3)->itemWithAction(HostAction::openPrivacyPolicy)->choose();
    EXPECT_EQ(app.shell->openedURLs,
              (std::vector<std::string>{"https://product.test/download#release-notes", "https://maker.test/legal/privacy"}));
    submenu(*app.shell, 2)->itemWithAction(HostAction::performMiniaturize)->choose();
    EXPECT_EQ(app.shell->standardActions, std::vector<HostAction>{HostAction::performMiniaturize});
}

}  // namespace
}  // namespace MenuTests
}  // namespace qm::test
