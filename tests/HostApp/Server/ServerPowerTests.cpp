// Sleep, wake, reconnect graces and power assertions on virtual time: what the Host publishes,
// where capture goes, and which assertions it holds at each step.
#include <gtest/gtest.h>

#include <algorithm>

#include "HostApp/Video/HostVideoCapture.h"
#include "Platform/PowerManagement.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

using namespace qm;
using namespace qm::test;

namespace {

constexpr const char* sessionName = "Corventis active Viewer session";

// A Host with one signed-in Viewer (control and video) that acknowledges its frames.
struct PowerHost {
    ManualServer host;
    std::optional<InMemoryViewer> control{std::in_place, host, host.server().boundPorts().control};
    std::optional<InMemoryViewer> video{std::in_place, host, host.server().boundPorts().video};
    std::size_t mark_ = 0;

    ServerInspector inspect() { return ServerInspector(host.server()); }
    PowerGraceState& power() { return inspect().power(); }
    DisplayTargetState& display() { return inspect().display(); }
    SimulatedPowerAssertions& assertions() {
        return dynamic_cast<SimulatedPowerAssertions&>(*inspect().powerAssertions());
    }
    std::vector<std::string> assertionNames() {
        std::vector<std::string> names;
        for (const auto& a : assertions().held()) names.push_back(a.type + "/" + a.name);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> heldAs(const std::string& name) {
        return {std::string(PowerAssertionType::preventSystemSleep) + "/" + name,
                std::string(PowerAssertionType::preventUserIdleSystemSleep) + "/" + name};
    }
    // Moves time on in small steps, acknowledging the newest frame each time; the frames seen.
    int pump(double seconds) {
        int frames = 0;
        const int steps = static_cast<int>(seconds / 0.05 + 0.5);
        for (int i = 0; i < steps; ++i) {
            host.clock().advance(0.05);
            if (!video) continue;
            std::optional<std::uint64_t> newest;
            for (auto& frame : video->takeAll()) {
                if (frame.header.type != AuxPacketType::videoFrame) continue;
                ++frames;
                newest = VideoFramePayload::decode(frame.payload)->frameNumber;
            }
            if (newest) video->send(AuxPacketType::videoFrameAck, VideoFrameAckPayload{*newest}.encode());
        }
        return frames;
    }
    void mark() { mark_ = host.statuses().size(); }
    // The status lines published since mark().
    std::vector<std::string> since() {
        const auto all = host.statuses();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, all.size())), all.end()};
    }
    // Whether `lines` appear, in this order, among the lines since mark().
    bool inOrder(const std::vector<std::string>& lines) {
        const auto texts = since();
        auto at = texts.begin();
        for (const auto& line : lines) {
            at = std::find(at, texts.end(), line);
            if (at == texts.end()) return false;
            ++at;
        }
        return true;
    }
    int countSince(const std::string& prefix) {
        const auto texts = since();
        return static_cast<int>(std::count_if(texts.begin(), texts.end(), [&](const auto& t) { return t.rfind(prefix, 0) == 0; }));
    }
    void leave() {
        video.reset();
        control.reset();
        host.clock().runUntilIdle();
    }
};

}  // namespace

TEST(PowerSleepWake, LidClosedWithAViewerMovesCaptureToTheVirtualDisplayAndBackAfterWake) {
    PowerHost h;
    h.mark();
    h.pump(1.0);
    ASSERT_TRUE(h.inspect().videoCapture());
    EXPECT_EQ(h.display().selectedDisplayID, 1u);
    EXPECT_FALSE(h.display().useHeadlessVirtualDisplay);
    EXPECT_EQ(h.assertionNames(), h.heldAs(sessionName));

    // The sleep handler returns only after capture has moved.
    h.mark();
    h.host.server().noteHostPowerState("system will sleep", true, true);
    EXPECT_TRUE(h.display().useHeadlessVirtualDisplay);
    const auto virtualID = h.display().selectedDisplayID;
    EXPECT_NE(virtualID, 1u);
    EXPECT_EQ(h.host.virtualDisplays().liveDisplayCount(), 1);
    ASSERT_TRUE(h.power().sleepPreflightPhysicalCaptureRequest);
    EXPECT_EQ(h.power().sleepPreflightPhysicalCaptureRequest->backend, VideoCaptureBackend::physical);
    EXPECT_TRUE(h.power().screensAreSleeping);
    EXPECT_TRUE(h.inOrder({
        "power: system will sleep preflight; retaining Host recovery state for 900 seconds while the Viewer reconnects",
        "power: system will sleep; preflighting headless virtual capture before screens sleep",
        "power: system will sleep preflight; moving active physical capture to headless virtual display so lid-close streaming continues",
        "power: system will sleep; keeping viewer sessions connected",
    }));
    EXPECT_EQ(h.countSince("power: headless virtual display creation deferred"), 0) << "built before the sleep";
    EXPECT_EQ(h.countSince("power: preventing"), 0) << "the session's assertions were already held";

    // Asleep: the session stays and the virtual display streams (a large picture: only briefly).
    h.host.server().noteHostPowerState("screens did sleep", true, false);
    h.host.clock().advance(1.0);
    EXPECT_GT(h.pump(0.3), 0);
    h.host.clock().advance(1.0);
    EXPECT_EQ(h.inspect().sessions().authorizedVideoSessions.size(), 1u);
    EXPECT_EQ(h.display().selectedDisplayID, virtualID);
    EXPECT_EQ(h.assertionNames(), h.heldAs(sessionName));

    h.mark();
    h.host.server().noteHostPowerState("system did wake", false, false);
    h.host.server().noteHostPowerState("screens did wake", false, false);
    h.host.clock().advance(3.9);
    EXPECT_TRUE(h.inOrder({
        "power: system did wake wake; retaining Host recovery state for 900 seconds while the Viewer reconnects",
        "power: system did wake; waiting 4.0s for WindowServer before rebuilding active media capture",
    }));
    EXPECT_EQ(h.countSince("power: screens did wake"), 0) << "a second wake changes nothing";
    EXPECT_EQ(h.display().selectedDisplayID, virtualID) << "still settling";

    h.pump(0.2);
    EXPECT_TRUE(h.inOrder({
        "power: wake stabilization complete; rebuilding active media capture",
        "power: system did wake wake; waiting for the physical display to return before releasing the temporary virtual mirror",
        "power: system did wake wake; restored pre-lid physical capture on display 1",
    }));
    EXPECT_EQ(h.display().selectedDisplayID, 1u);
    EXPECT_FALSE(h.display().useHeadlessVirtualDisplay);
    EXPECT_FALSE(h.power().sleepPreflightPhysicalCaptureRequest);
    EXPECT_FALSE(h.power().isAwaitingSleepPreflightPhysicalRecovery);
    h.pump(0.5);
    EXPECT_EQ(h.host.virtualDisplays().liveDisplayCount(), 0);
    h.pump(1.0);
    EXPECT_TRUE(h.inOrder({"power: wake media recovery requested a fresh video keyframe"}));
    EXPECT_GT(h.pump(1.0), 0) << "frames flow from the physical display again";
    EXPECT_EQ(h.assertionNames(), h.heldAs(sessionName));
}
