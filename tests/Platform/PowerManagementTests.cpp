#include <gtest/gtest.h>

#include "Platform/PowerManagement.h"
#include "Platform/Linux/LogindPowerService.h"

namespace PowerManagementTests {

using namespace qm;

TEST(SimulatedPowerAssertions, CountsWhatIsHeldAndFailsAsScripted) {
    SimulatedPowerAssertions power;
    PowerAssertionID idle = 0, system = 0;
    EXPECT_EQ(power.createAssertion(PowerAssertionType::preventUserIdleSystemSleep, powerAssertionLevelOn, "a", idle),
              powerReturnSuccess);
    EXPECT_EQ(power.createAssertion(PowerAssertionType::preventSystemSleep, powerAssertionLevelOn, "b", system),
              powerReturnSuccess);
    EXPECT_NE(idle, 0u);
    EXPECT_NE(idle, system);
    ASSERT_EQ(power.held().size(), 2u);
    EXPECT_EQ(power.held()[1].name, "b");

    // A failed creation leaves the id alone; an unknown type and a second release are refused.
    power.failNextCreate(-7);
    PowerAssertionID untouched = 42;
    EXPECT_EQ(power.createAssertion(PowerAssertionType::preventSystemSleep, powerAssertionLevelOn, "c", untouched), -7);
    EXPECT_EQ(untouched, 42u);
    EXPECT_NE(power.createAssertion("NoSuchType", powerAssertionLevelOn, "d", untouched), powerReturnSuccess);
    EXPECT_EQ(power.releaseAssertion(idle), powerReturnSuccess);
    EXPECT_NE(power.releaseAssertion(idle), powerReturnSuccess);
    EXPECT_EQ(power.held().size(), 1u);
    EXPECT_EQ(power.createdCount(), 2);
    EXPECT_EQ(power.releasedCount(), 1);
}

TEST(LogindPowerService, InhibitorsAreTakenAndReleasedWhereLogindAnswers) {
    std::string whyNot;
    auto logind = LogindPowerService::connect(&whyNot);
    if (!logind) {
        EXPECT_FALSE(whyNot.empty()) << "an absent logind is explained";
        GTEST_SKIP() << "no logind on the system bus here: " << whyNot;
    }
    PowerAssertionID id = 0;
    const auto code =
        logind->createAssertion(PowerAssertionType::preventUserIdleSystemSleep, powerAssertionLevelOn, "Quillmere test", id);
    if (code != powerReturnSuccess) GTEST_SKIP() << "logind refused an idle inhibitor (" << code << ")";
    EXPECT_NE(id, 0u);
    EXPECT_EQ(logind->releaseAssertion(id), powerReturnSuccess);
    EXPECT_NE(logind->releaseAssertion(id), powerReturnSuccess);
}

}  // namespace PowerManagementTests
