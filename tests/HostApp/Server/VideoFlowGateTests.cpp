#include <gtest/gtest.h>

#include "HostApp/Server/VideoFlowGate.h"

namespace VideoFlowGateTests {

using namespace qm;

namespace {
struct GateFixture {
    std::unordered_set<UUID> sessions;
    std::unordered_map<UUID, std::int64_t> outstanding;
    std::unordered_map<UUID, std::uint64_t> lastAck;
    std::unordered_map<UUID, std::uint64_t> lastSent;

    UUID add(std::int64_t count, std::optional<std::uint64_t> ackNs = std::nullopt,
             std::optional<std::uint64_t> sentNs = std::nullopt) {
        const auto id = UUID::random();
        sessions.insert(id);
        outstanding[id] = count;
        if (ackNs) lastAck[id] = *ackNs;
        if (sentNs) lastSent[id] = *sentNs;
        return id;
    }
    VideoFlowGateResult evaluate(std::int64_t window, std::uint64_t nowNs) const {
        return evaluateVideoFlowGate({sessions, outstanding, lastAck, lastSent, window, nowNs});
    }
};
constexpr std::uint64_t s = 1'000'000'000ULL;
}  // namespace

TEST(VideoFlowGate, ASlowButStillAcknowledgingViewerHoldsTheEncoderBack) {
    GateFixture gate;
    gate.add(5, 10 * s);
    // 1.0 s since the last acknowledgement: still counted, and 4 x 1 < 5 blocks.
    auto result = gate.evaluate(4, 11 * s);
    EXPECT_TRUE(result.blocked);
    EXPECT_EQ(result.totalOutstanding, 5);
    // 2.0 s of silence: excluded; with nobody else the fallback compares the total, still 4 < 5.
    EXPECT_TRUE(gate.evaluate(4, 12 * s).blocked);
}

TEST(VideoFlowGate, AViewerFarBehindNoLongerStallsTheOthers) {
    GateFixture gate;
    gate.add(2, 10 * s);
    gate.add(20, 10 * s);  // more than twice the window: always excluded
    auto result = gate.evaluate(4, 10 * s);
    EXPECT_FALSE(result.blocked);
    EXPECT_EQ(result.totalOutstanding, 22);
}

TEST(VideoFlowGate, EdgeWindowsAndCounts) {
    {
        GateFixture gate;
        gate.add(9, 10 * s);  // beyond 2 x 4: excluded, fallback 4 x 1 < 9
        EXPECT_TRUE(gate.evaluate(4, 10 * s).blocked);
    }
    {
        GateFixture gate;
        gate.add(3);  // window 0 excludes every positive count; fallback uses a window of 1
        EXPECT_TRUE(gate.evaluate(0, 10 * s).blocked);
    }
    {
        GateFixture gate;
        gate.add(-7);  // a negative count is treated as nothing outstanding
        auto result = gate.evaluate(4, 10 * s);
        EXPECT_FALSE(result.blocked);
        EXPECT_EQ(result.totalOutstanding, 0);
    }
    {
        GateFixture gate;
        gate.add(6, std::nullopt, 10 * s);  // no acknowledgement yet: the last send time decides
        EXPECT_TRUE(gate.evaluate(4, 11 * s).blocked);
        EXPECT_TRUE(gate.evaluate(4, 12 * s).blocked);  // excluded, but the fallback still blocks
        gate.add(0, 12 * s);  // a healthy Viewer: only it counts now
        EXPECT_FALSE(gate.evaluate(4, 12 * s).blocked);
    }
    EXPECT_FALSE(GateFixture{}.evaluate(4, 10 * s).blocked);
}

}  // namespace VideoFlowGateTests
