// The detail window as the menu reaches it, its texts in every language, the About panel, and the
// diagnostic log keeping each server line once.
#include <gtest/gtest.h>

#include "support/AppHarness.h"
#include "support/ServerInspector.h"

namespace qm::test {
namespace DetailAndAboutTests {
namespace {

using Delegate = HostProbeDelegate;

TEST(DetailWindow, TheHostMenuItemBringsItForwardAndShowsWhatWasSelected) {
    AppHarness app;
    app.host.displays().addDisplay(SimulatedDisplayService::makeDisplay(2, {320, 0}, 1920, 1080, 1920, 1080));
    app.launch();
    auto& delegate = *app.delegate;
    EXPECT_FALSE(delegate.details().detailWindow);

    const auto& menu = *app.shell->mainMenu().menu;
    auto use = menu.items()[1]->submenu()->itemWithAction(HostAction::useDisplayButtonPressed);
    ASSERT_TRUE(use);
    use->choose();
    ASSERT_TRUE(delegate.details().detailWindow);
    EXPECT_TRUE(delegate.details().detailWindow->visible());
    EXPECT_TRUE(delegate.details().detailWindow->isKey());
    EXPECT_EQ(delegate.details().detailWindow->title(), "Corventis Host V1.4.9");
    EXPECT_EQ(delegate.details().detailWindow->titleLabel->text(), "Corventis Host V1.4.9");
    EXPECT_TRUE(delegate.details().detailWindow->copyLogsButton->hidden());
    // The captured display was selected; using it again says so and waits for the refresh.
    EXPECT_EQ(delegate.status().audioStatusLabel->text().rfind("Selected display: ", 0), 0u) << delegate.status().audioStatusLabel->text();
    EXPECT_FALSE(delegate.details().useDisplayButton->enabled());
    app.host.clock().advance(0.5);
    EXPECT_TRUE(delegate.details().useDisplayButton->enabled()) << "the refresh that shows the selection enables it again";

    // Picking the other display in the window and pressing its button reaches the server.
    delegate.details().displayPopup->selectItem(0);
    const auto title = delegate.details().displayPopup->selectedItem()->title;
    delegate.details().useDisplayButton->press();
    EXPECT_EQ(delegate.status().audioStatusLabel->text(), "Selected display: " + title);
    app.host.clock().advance(0.5);
    EXPECT_EQ(ServerInspector(app.host.server()).display().selectedDisplayID(), 2u);

    // Its start-at-login box follows the wish like the others, and a failure shows in the window.
    ASSERT_TRUE(delegate.details().launchAtLoginCheckbox);
    EXPECT_EQ(delegate.details().detailWindow->launchAtLoginCheckbox, delegate.details().launchAtLoginCheckbox);
    EXPECT_TRUE(delegate.details().launchAtLoginCheckbox->checked());
    app.loginItems->failure = "permission denied";
    delegate.details().launchAtLoginCheckbox->press();
    EXPECT_EQ(delegate.details().detailWindow->audioStatusLabel->text(), "Aux: Start at login update failed: permission denied");
}

TEST(DetailWindow, ALanguageChangeRetextsItsControls) {
    AppHarness app;
    app.launch();
    app.delegate->showDetailWindowAction();
    auto& window = *app.delegate->details().detailWindow;
    EXPECT_EQ(app.delegate->details().useDisplayButton->title(), "Use Physical");
    EXPECT_EQ(app.delegate->details().virtualDisplayCheckbox->title(), "Headless Virtual Display");

    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("de"));
    app.delegate->refreshHostLocalization();
    EXPECT_EQ(app.delegate->details().useDisplayButton->title(), "Physischen verwenden");
    EXPECT_EQ(app.delegate->details().virtualDisplayCheckbox->title(), "Virtueller Headless-Bildschirm");
    EXPECT_EQ(window.physicalDisplayLabel->text(), "Physischer Bildschirm");
    EXPECT_EQ(window.copyLogsButton->title(), "Protokolle kopieren");
    EXPECT_TRUE(window.copyLogsButton->hidden());
    EXPECT_EQ(window.launchAtLoginCheckbox->title(), "Corventis Host bei der Anmeldung starten");
    EXPECT_EQ(window.subtitleLabel->text().rfind("Host-Dienst", 0), 0u);
}

TEST(AboutPanel, ItFloatsAboveOthersAfterItIsUpAndKeepsTheSummaryWindowsLevel) {
    AppHarness app;
    app.launch();
    const auto& menu = *app.shell->mainMenu().menu;
    menu.items()[0]->submenu()->itemWithAction(HostAction::showAboutPanel)->choose();
    auto panel = app.delegate->status().aboutPanel;
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->title(), "About QuillmereHost");
    EXPECT_EQ(panel->applicationName, "QuillmereHost");
    EXPECT_EQ(panel->versionText, "Version 1.4.9 (149)");
    EXPECT_TRUE(panel->visible());
    EXPECT_EQ(panel->level(), WindowModel::normalLevel) << "floated on the next turn, once it is up";
    app.host.clock().runUntilIdle();
    EXPECT_EQ(panel->level(), WindowModel::modalPanelLevel);
    EXPECT_EQ(panel->collectionBehavior() & 0x102u, 0x102u);
    EXPECT_FALSE(panel->hidesOnDeactivate());
    EXPECT_EQ(app.delegate->status().summaryWindow->level(), WindowModel::floatingLevel);

    // Shown again: the same panel.
    panel->closedByUser();
    app.delegate->showAboutPanelAction();
    EXPECT_EQ(app.delegate->status().aboutPanel, panel);
    EXPECT_TRUE(panel->visible());
}

TEST(DiagnosticLog, AServerLineIsKeptOnceUnderItsTopic) {
    AppHarness app;
    app.launch();
    app.delegate->audioServer()->publish("video listening on port 7347");
    app.host.clock().runUntilIdle();
    EXPECT_EQ(app.count("aux: video listening on port 7347"), 1u);
    EXPECT_FALSE(app.logged("video listening on port 7347")) << "the plain copy became the aux line";

    // A line that only the status callback reports (the sink copy aged out) is still logged once.
    app.delegate->diagnosticLog()->relabelLatest("never written", "aux: never written");
    EXPECT_EQ(app.count("aux: never written"), 1u);
}

}  // namespace
}  // namespace DetailAndAboutTests
}  // namespace qm::test
