// The short soak: a few hundred Viewer lifetimes on loopback (scripts/soak runs 10,000). Every cycle
// ends with every resource count at zero; descriptors and memory stay where they were.
#include <gtest/gtest.h>

#include "support/LiveServer.h"
#include "support/Sanitizers.h"
#include "support/Soak.h"

namespace ServerSoakTests {

using namespace qm;
using namespace qm::test;

TEST(ServerSoak, ThreeHundredViewerLifetimesLeaveDescriptorsAndMemoryFlat) {
    LiveServer::Setup setup;
    setup.options.signInTimeout = 2.0;  // see runSoak: memory settles within one sign-in timeout
    LiveServer live(setup);
    live.displays()->addDisplay(SimulatedDisplayService::makeDisplay(1, {0, 0}, 320, 180, 320, 180, 60, true));
    const auto report = runSoak(live, 300, 100, 2.5);
    std::string samples;
    for (const auto& sample : report.samples) {
        samples += std::to_string(sample.cycle) + ": " + std::to_string(sample.descriptors) + " fds, " +
                   std::to_string(sample.residentKB) + " kB resident, " + std::to_string(sample.heapInUseKB) + " kB heap\n";
    }
    EXPECT_EQ(report.cyclesRun, 300u) << report.failure;
    // (AddressSanitizer has its own allocator and keeps freed memory in quarantine.)
    EXPECT_EQ(soakVerdict(report, SoakTolerance{}, !runsUnderAddressSanitizer), "") << samples;
    EXPECT_EQ(live.server().resourceCounts(), V230HostAudioAuxServer::ResourceCounts{});
}

}  // namespace ServerSoakTests
