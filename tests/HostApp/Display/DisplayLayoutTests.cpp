#include <gtest/gtest.h>

#include "HostApp/Display/DisplayLayout.h"

namespace qm {
namespace {

DisplayLayoutPayload layoutOf(std::uint32_t id, std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h,
                              std::int64_t ux, std::int64_t uy, std::int64_t uw, std::int64_t uh, std::int64_t pw,
                              std::int64_t ph, bool hiDPI) {
    DisplayLayoutPayload l;
    l.displayID = id;
    l.targetX = x, l.targetY = y, l.targetWidth = w, l.targetHeight = h;
    l.unionX = ux, l.unionY = uy, l.unionWidth = uw, l.unionHeight = uh;
    l.pixelWidth = pw, l.pixelHeight = ph;
    l.flags = hiDPI ? DisplayLayoutPayload::hiDPIFlag : 0;
    return l;
}

TEST(DisplayLayout, TargetUnionPixelsAndHiDPI) {
    SimulatedDisplayService displays;
    ASSERT_TRUE(displays.setCurrentMode(1, DisplayMode{1512, 982, 3024, 1964, 120, 1, 0, true}));
    EXPECT_EQ(displayLayout(displays, 1), layoutOf(1, 0, 0, 1512, 982, 0, 0, 1512, 982, 3024, 1964, true));

    // A second display up and to the right widens the union, not the target. 1.25 pixels per
    // point is not HiDPI.
    displays.addDisplay(SimulatedDisplayService::makeDisplay(2, Point{1512, -100}, 1920, 1080, 2400, 1350));
    EXPECT_EQ(displayLayout(displays, 1), layoutOf(1, 0, 0, 1512, 982, 0, -100, 3432, 1082, 3024, 1964, true));
    auto second = displayLayout(displays, 2);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->flags, 0);
    EXPECT_EQ(second->targetX, 1512);
    EXPECT_EQ(second->targetY, -100);

    // Without a current mode the rounded bounds stand in (halves away from zero).
    auto modeless = SimulatedDisplayService::makeDisplay(3, Point{-640.5, 0}, 640, 480, 640, 480);
    modeless.currentMode.reset();
    modeless.bounds = Rect(-640.5, 0, 640.5, 480);
    displays.addDisplay(modeless);
    auto third = displayLayout(displays, 3);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->targetX, -641);
    EXPECT_EQ(third->targetWidth, 641);
    EXPECT_EQ(third->pixelWidth, 641);
    EXPECT_EQ(third->unionX, -641);

    EXPECT_FALSE(displayLayout(displays, 9));
}

}  // namespace
}  // namespace qm
