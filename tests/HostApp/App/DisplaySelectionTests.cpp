// The display controls: the pop-up follows what the server captures, and the user's choices reach
// the server and come back through a refresh.
#include <gtest/gtest.h>

#include "support/AppHarness.h"
#include "support/ServerInspector.h"

namespace qm::test {
namespace DisplaySelectionTests {
namespace {

std::optional<std::uint32_t> selectedID(const PopUpButtonModel& popup) {
    const auto* item = popup.selectedItem();
    return item ? item->representedObject : std::nullopt;
}

TEST(DisplaySelection, ChoicesReachTheServerAndThePopUpFollowsIt) {
    AppHarness app;
    app.host.displays().addDisplay(SimulatedDisplayService::makeDisplay(2, {320, 0}, 1920, 1080, 1920, 1080));
    app.launch();
    auto& delegate = *app.delegate;
    auto& popup = *delegate.details().displayPopup;

    // The first refresh fills the controls: larger display first, the captured one selected.
    ASSERT_EQ(popup.items().size(), 2u);
    EXPECT_EQ(popup.items()[0].representedObject, 2u);
    EXPECT_EQ(selectedID(popup), 1u);
    EXPECT_TRUE(popup.enabled());
    EXPECT_TRUE(delegate.details().useDisplayButton->enabled());
    EXPECT_TRUE(delegate.details().virtualDisplayCheckbox->enabled());
    EXPECT_FALSE(delegate.details().virtualDisplayCheckbox->checked());
    EXPECT_TRUE(app.logged("display diagnostics updated headless=false selected=1"));

    // Using display 2: the server captures it after the 0.2 s refresh.
    popup.selectItem(0);
    delegate.details().useDisplayButton->press();
    EXPECT_TRUE(app.logged("UI selected physical display 2"));
    app.host.clock().advance(0.25);
    EXPECT_EQ(ServerInspector(app.host.server()).display().selectedDisplayID(), 2u);
    EXPECT_EQ(selectedID(popup), 2u);
    EXPECT_TRUE(app.logged("display diagnostics updated headless=false selected=2"));

    // The headless display on: the pop-up shows the physical display, not the virtual one.
    delegate.details().virtualDisplayCheckbox->press();
    EXPECT_TRUE(app.logged("UI headless virtual display enabled"));
    app.host.clock().advance(1.0);
    EXPECT_TRUE(delegate.details().virtualDisplayCheckbox->checked());
    EXPECT_TRUE(app.logged("display diagnostics updated headless=true selected=2"));
    EXPECT_EQ(selectedID(popup), 2u);

    delegate.details().virtualDisplayCheckbox->press();
    app.host.clock().advance(1.0);
    EXPECT_TRUE(app.logged("UI headless virtual display disabled"));
    EXPECT_FALSE(delegate.details().virtualDisplayCheckbox->checked());
}

TEST(DisplaySelection, PopUpKeepsOneItemPerTitleAndItsDefaultWhenTheIdIsUnknown) {
    AppHarness app({}, /*withServer=*/false);
    app.launch();
    auto& delegate = *app.delegate;
    // Without a server the controls still fill from the displays and show their description.
    EXPECT_EQ(delegate.details().displayPopup->items().size(), 1u);
    EXPECT_NE(delegate.details().detailLabel->text().find("Displays:"), std::string::npos) << delegate.details().detailLabel->text();

    delegate.details().updateDisplayPopup({{5, "Studio"}, {6, "Side"}, {7, "Studio"}}, 42);
    const auto& items = delegate.details().displayPopup->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].title, "Side");
    EXPECT_EQ(items[1].representedObject, 7u);
    EXPECT_EQ(selectedID(*delegate.details().displayPopup), 6u) << "the default item stays selected";

    // A stale refresh's result is dropped.
    delegate.details().updateDisplayPopup({{5, "Studio"}}, 5);
    delegate.details().refresh(true, false);
    delegate.details().refresh(false, false);
    const auto generation = delegate.details().checkGeneration;
    app.host.clock().runUntilIdle();
    EXPECT_EQ(app.count("display diagnostics updated"), 2u) << "launch and generation " << generation << " only";
}

}  // namespace
}  // namespace DisplaySelectionTests
}  // namespace qm::test
