#include <gtest/gtest.h>

#include "HostApp/Display/PowerGraces.h"
#include "support/TestPlatform.h"

using namespace qm;
using namespace qm::test;

TEST(ReconnectGrace, RestartingKeepsOneDeadlineAndEndingOrLosingTheOwnerSilencesIt) {
    ManualPlatform manual;
    auto queue = manual.platform.makeQueue("grace");
    auto owner = std::make_shared<int>(0);
    ReconnectGrace grace;
    int expired = 0;

    grace.begin(*queue, *manual.clock, 900, owner, [&] { ++expired; });
    manual.clock->advance(600);
    grace.begin(*queue, *manual.clock, 900, owner, [&] { ++expired; });
    EXPECT_TRUE(grace.isActive(manual.clock->wallTime()));
    manual.clock->advance(600);
    EXPECT_EQ(expired, 0) << "the first deadline no longer counts";
    manual.clock->advance(300);
    EXPECT_EQ(expired, 1);
    EXPECT_FALSE(grace.isRunning());

    grace.begin(*queue, *manual.clock, 900, owner, [&] { ++expired; });
    EXPECT_TRUE(grace.end());
    EXPECT_FALSE(grace.end());
    manual.clock->advance(1000);
    EXPECT_EQ(expired, 1);

    grace.begin(*queue, *manual.clock, 900, owner, [&] { ++expired; });
    owner.reset();
    manual.clock->advance(1000);
    EXPECT_EQ(expired, 1) << "a grace whose owner is gone does nothing";
}
