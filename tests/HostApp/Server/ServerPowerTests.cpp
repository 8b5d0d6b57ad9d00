// Sleep, wake, reconnect graces and power assertions on virtual time: what the Host publishes,
// where capture goes, and which assertions it holds at each step.
#include <gtest/gtest.h>

#include <algorithm>

#include "HostApp/Video/HostVideoCapture.h"
#include "Platform/PowerManagement.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "support/InMemoryViewer.h"
#include "support/LiveServer.h"
#include "support/ServerInspector.h"

namespace ServerPowerTests {

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
    // Moves time on with an acknowledgement every few seconds: the Viewer stays, the large
    // picture of the virtual display is hardly encoded.
    void keepAlive(double seconds) {
        for (double left = seconds; left > 0; left -= 4.0) {
            host.clock().advance(std::min(left, 4.0) - 0.05);
            pump(0.05);
        }
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
    EXPECT_EQ(h.display().selectedDisplayID(), 1u);
    EXPECT_FALSE(h.display().useHeadlessVirtualDisplay());
    EXPECT_EQ(h.assertionNames(), h.heldAs(sessionName));

    // The sleep handler returns only after capture has moved.
    h.mark();
    h.host.server().noteHostPowerState("system will sleep", true, true);
    EXPECT_TRUE(h.display().useHeadlessVirtualDisplay());
    const auto virtualID = h.display().selectedDisplayID();
    EXPECT_NE(virtualID, 1u);
    EXPECT_EQ(h.host.virtualDisplays().liveDisplayCount(), 1);
    ASSERT_TRUE(h.power().savedPhysicalCapture());
    EXPECT_EQ(h.power().savedPhysicalCapture()->backend, VideoCaptureBackend::physical);
    EXPECT_TRUE(h.power().screensAreSleeping());
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
    EXPECT_EQ(h.inspect().sessions().authorizedVideoSessions().size(), 1u);
    EXPECT_EQ(h.display().selectedDisplayID(), virtualID);
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
    EXPECT_EQ(h.display().selectedDisplayID(), virtualID) << "still settling";

    h.pump(0.2);
    EXPECT_TRUE(h.inOrder({
        "power: wake stabilization complete; rebuilding active media capture",
        "power: system did wake wake; waiting for the physical display to return before releasing the temporary virtual mirror",
        "power: system did wake wake; restored pre-lid physical capture on display 1",
    }));
    EXPECT_EQ(h.display().selectedDisplayID(), 1u);
    EXPECT_FALSE(h.display().useHeadlessVirtualDisplay());
    EXPECT_FALSE(h.power().savedPhysicalCapture());
    EXPECT_FALSE(h.power().isAwaitingPhysicalRecovery());
    h.pump(0.5);
    EXPECT_EQ(h.host.virtualDisplays().liveDisplayCount(), 0);
    h.pump(1.0);
    EXPECT_TRUE(h.inOrder({"power: wake media recovery requested a fresh video keyframe"}));
    EXPECT_GT(h.pump(1.0), 0) << "frames flow from the physical display again";
    EXPECT_EQ(h.assertionNames(), h.heldAs(sessionName));
}

TEST(PowerSleepWake, ATwoHourSleepKeepsTheGraceUntilFifteenMinutesAfterWake) {
    PowerHost h;
    h.pump(1.0);
    const auto baseline = [&] {
        auto counts = h.host.server().resourceCounts();
        return counts;
    }();
    EXPECT_EQ(baseline.powerAssertions, 2u);
    h.host.server().noteHostPowerState("system will sleep", true, true);
    // The Viewer's transport goes down with the sleep.
    h.mark();
    h.leave();
    EXPECT_TRUE(h.inOrder({
        "power: last Viewer transport disconnected during sleep recovery; retaining Host recovery state for 900 seconds while the Viewer reconnects",
        "viewer video idle; retaining headless virtual display for Viewer sleep recovery",
    }));
    EXPECT_EQ(h.assertionNames(), h.heldAs(sessionName)) << "kept, under the name they were taken with";
    EXPECT_EQ(h.countSince("power: released"), 0);

    h.host.clock().advance(2 * 3600);
    EXPECT_TRUE(h.power().sleepRecoveryGrace().isRunning()) << "never expires while asleep";
    EXPECT_EQ(h.countSince("power: Viewer sleep-recovery reconnect grace expired"), 0);
    EXPECT_EQ(h.assertions().held().size(), 2u);
    EXPECT_EQ(h.host.virtualDisplays().liveDisplayCount(), 1);

    h.mark();
    h.host.server().noteHostPowerState("system did wake", false, false);
    h.host.clock().advance(899);
    EXPECT_TRUE(h.inOrder({"power: system did wake wake; retaining Host recovery state for 900 seconds while the Viewer reconnects",
                           "power: wake stabilization complete; rebuilding active media capture"}));
    EXPECT_FALSE(h.power().isAwaitingPhysicalRecovery()) << "nobody watches: recovery waits for a Viewer";
    EXPECT_EQ(h.assertions().held().size(), 2u);
    EXPECT_EQ(h.host.virtualDisplays().liveDisplayCount(), 1);

    h.host.clock().advance(1.5);
    EXPECT_TRUE(h.inOrder({
        "power: Viewer sleep-recovery reconnect grace expired; restoring normal idle teardown",
        "power: released active Viewer idle-sleep assertion",
        "power: released active Viewer system-sleep assertion",
        "viewer video idle; released headless virtual display",
    }));
    h.host.clock().advance(1.0);
    EXPECT_TRUE(h.assertions().held().empty());
    EXPECT_EQ(h.host.virtualDisplays().liveDisplayCount(), 0);
    EXPECT_FALSE(h.power().savedPhysicalCapture());
    EXPECT_EQ(h.display().selectedDisplayID(), 1u);
    const auto counts = h.host.server().resourceCounts();
    EXPECT_EQ(counts.graces, 0u);
    EXPECT_EQ(counts.powerAssertions, 0u);
    EXPECT_EQ(counts.sessionTableEntries, 0u);
}

TEST(PowerSleepWake, TheLastViewerLeavingDuringRecoveryStartsTheGraceAndItsReturnEndsIt) {
    PowerHost h;
    h.pump(1.0);
    h.host.server().noteHostPowerState("system will sleep", true, true);
    h.host.clock().advance(1.0);
    h.host.server().noteHostPowerState("system did wake", false, false);
    h.host.clock().advance(2.0);
    h.mark();
    h.leave();  // 2 s after wake: the wake deadline is still set
    EXPECT_TRUE(h.inOrder({"power: last Viewer transport disconnected during sleep recovery; retaining Host recovery "
                           "state for 900 seconds while the Viewer reconnects"}));
    h.host.clock().advance(5.0);
    EXPECT_EQ(h.host.virtualDisplays().liveDisplayCount(), 1) << "kept for the returning Viewer";
    EXPECT_EQ(h.assertions().held().size(), 2u);

    // The Viewer comes back: the grace ends and capture returns to the physical display.
    h.mark();
    h.control.emplace(h.host, h.host.server().boundPorts().control);
    h.video.emplace(h.host, h.host.server().boundPorts().video);
    h.pump(1.0);
    EXPECT_TRUE(h.inOrder({
        "power: ended Viewer sleep-recovery reconnect grace (Viewer video session reconnected)",
        "power: Viewer video session reconnected; waiting for the physical display to return before releasing the temporary virtual mirror",
        "power: Viewer video session reconnected; restored pre-lid physical capture on display 1",
    }));
    EXPECT_EQ(h.display().selectedDisplayID(), 1u);
    EXPECT_EQ(h.countSince("power: preventing"), 0) << "the assertions never lapsed";

    // Awake with nothing pending, the last Viewer leaving starts no grace and releases everything.
    h.mark();
    h.leave();
    EXPECT_EQ(h.countSince("power: last Viewer"), 0);
    EXPECT_TRUE(h.inOrder({"power: released active Viewer idle-sleep assertion",
                           "power: released active Viewer system-sleep assertion"}));
    EXPECT_TRUE(h.assertions().held().empty());
}

TEST(PowerSleepWake, WhenThePhysicalDisplayStaysAwayTheMirrorIsKeptUntilTheNextDisplayChange) {
    PowerHost h;
    h.pump(1.0);
    h.host.server().noteHostPowerState("system will sleep", true, true);
    const auto builtIn = h.host.displays().onlineDisplays().front();
    ASSERT_EQ(builtIn.displayID, 1u);
    h.host.displays().removeDisplay(1);
    h.mark();
    h.host.server().noteHostPowerState("system did wake", false, false);
    h.host.clock().advance(4.0);
    h.pump(0.5);
    EXPECT_TRUE(h.inOrder({"power: system did wake wake; physical display is not ready yet; preserving the temporary virtual mirror"}));
    // Checks every 0.75 s; a line at the 8th and 16th; the window closes 45 s after it opened.
    h.keepAlive(6.0);
    EXPECT_TRUE(h.inOrder({"power: system did wake wake; still waiting for physical display after 8 checks"}));
    h.keepAlive(40.0);
    EXPECT_TRUE(h.inOrder({"power: system did wake wake; still waiting for physical display after 16 checks",
                           "power: system did wake wake; physical display did not return before the recovery window "
                           "closed; retaining the temporary virtual mirror until the next display change"}));
    EXPECT_TRUE(h.power().isAwaitingPhysicalRecovery());
    EXPECT_NE(h.display().selectedDisplayID(), 1u);

    h.mark();
    h.host.displays().addDisplay(builtIn);
    h.pump(0.6);
    EXPECT_TRUE(h.inOrder({
        "power: display parameters changed; waiting for the physical display to return before releasing the temporary virtual mirror",
        "power: display parameters changed; restored pre-lid physical capture on display 1",
    }));
    EXPECT_EQ(h.display().selectedDisplayID(), 1u);
}

TEST(PowerSleepWake, ABurstOfScreenChangesGivesOneTopologyRecoveryAfterTheLast) {
    PowerHost h;
    h.pump(1.0);
    h.control->takeAll();
    h.mark();
    DisplayMode mode;
    mode.width = 320;
    mode.height = 180;
    mode.refreshRate = 60;
    for (int i = 0; i < 5; ++i) {
        mode.refreshRate = 50 + i;
        h.host.displays().setCurrentMode(1, mode);
        h.host.clock().advance(0.1);
    }
    h.host.clock().advance(0.35);
    EXPECT_EQ(h.countSince("display layout "), 0) << "0.45 s after the last change";
    h.host.clock().advance(0.1);
    EXPECT_EQ(h.countSince("display layout display=1"), 1);
    int layouts = 0;
    for (const auto& frame : h.control->takeAll()) layouts += frame.header.type == AuxPacketType::displayLayout;
    EXPECT_EQ(layouts, 1);

    // In the sleep-preflight state the virtual mirror is kept as it is.
    h.host.server().noteHostPowerState("system will sleep", true, true);
    h.host.clock().advance(1.0);
    h.mark();
    h.host.displays().setCurrentMode(1, mode);
    h.host.clock().advance(0.6);
    EXPECT_TRUE(h.inOrder({"display topology changed during sleep preflight; preserving the temporary virtual mirror "
                           "without desktop promotion"}));
    EXPECT_EQ(h.countSince("headless virtual desktop"), 0) << "no promotion";
}

TEST(PowerSleepWake, AWakeWhilePausedWaitsForResume) {
    PowerHost h;
    h.pump(1.0);
    h.control->send(AuxPacketType::hostShortcut, HostShortcutControlPayload{HostShortcutKind::pauseStream}.encode());
    EXPECT_FALSE(h.inspect().videoCapture());
    h.host.server().noteHostPowerState("screens did sleep", true, false);
    h.mark();
    h.host.server().noteHostPowerState("screens did wake", false, false);
    h.host.clock().advance(10.0);
    EXPECT_TRUE(h.inOrder({"power: screens did wake; waiting 4.0s for WindowServer before rebuilding active media capture"}));
    EXPECT_EQ(h.countSince("power: wake stabilization complete"), 0);
    EXPECT_EQ(h.countSince("power: wake media recovery"), 0);
    EXPECT_TRUE(h.power().wakeStabilizationDeadline()) << "stays until the next sleep";
    EXPECT_FALSE(h.inspect().videoCapture());
    EXPECT_EQ(h.assertions().held().size(), 2u) << "the paused Viewer is still signed in";
}

TEST(PowerGraces, AnIOSViewerInTheBackgroundKeepsTheHostAwakeUntilItComesBack) {
    ManualServer host;
    auto& server = host.server();
    auto& assertions = dynamic_cast<SimulatedPowerAssertions&>(*ServerInspector(server).powerAssertions());
    auto phone = std::make_optional<InMemoryViewer>(host, server.boundPorts().control, "iOS Viewer");
    phone->send(AuxPacketType::iosBackgroundPresence, Bytes{1});
    EXPECT_TRUE(host.sawStatus("power: iOS Viewer backgrounded; keeping Host awake for up to 15 minutes while it reconnects"));
    EXPECT_EQ(server.resourceCounts().backgroundedViewers, 1u);
    phone->send(AuxPacketType::iosBackgroundPresence, Bytes{0});
    EXPECT_TRUE(host.sawStatus("power: ended iOS Viewer reconnect grace (iOS Viewer returned to foreground)"));
    EXPECT_EQ(server.resourceCounts().backgroundedViewers, 0u);

    // Backgrounded, then its connection drops: the grace holds the Host; the Viewer's return ends it.
    phone->send(AuxPacketType::iosBackgroundPresence, Bytes{1});
    phone.reset();
    host.clock().runUntilIdle();
    EXPECT_EQ(assertions.held().size(), 2u);
    EXPECT_EQ(server.resourceCounts().backgroundedViewers, 0u) << "forgotten with its session";
    host.clock().advance(600);
    InMemoryViewer back(host, server.boundPorts().control, "IOS VIEWER");
    EXPECT_TRUE(host.sawStatus("power: ended iOS Viewer reconnect grace (iOS Viewer reconnected)"));
    EXPECT_FALSE(ServerInspector(server).power().iosBackgroundGrace().isRunning());
    EXPECT_EQ(assertions.held().size(), 2u) << "now held for the session";

    // A name that merely starts with "iOS Viewer" is not an iOS Viewer.
    InMemoryViewer other(host, server.boundPorts().control, "iOS Viewer 2");
    other.send(AuxPacketType::iosBackgroundPresence, Bytes{1});
    EXPECT_TRUE(host.sawStatus("iOS background presence rejected for non-iOS Viewer"));
    EXPECT_FALSE(ServerInspector(server).power().iosBackgroundGrace().isRunning());
}

TEST(PowerAssertions, NamedForTheStrongestCauseRetriedAfterAFailureAndReleasedWithTheLastCause) {
    ManualServer host;
    auto& server = host.server();
    auto& assertions = dynamic_cast<SimulatedPowerAssertions&>(*ServerInspector(server).powerAssertions());
    std::vector<std::string> statuses;
    auto since = [&](std::size_t from) {
        const auto all = host.statuses();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
    };
    auto names = [&] {
        std::vector<std::string> out;
        for (const auto& a : assertions.held()) out.push_back(a.name);
        return out;
    };

    // Creation fails while the phone is signed in: reported with the code, retried at each change.
    assertions.failNextCreate(-5, 4);
    auto phone = std::make_optional<InMemoryViewer>(host, server.boundPorts().control, "iOS Viewer");
    auto from = host.statuses().size();
    EXPECT_TRUE(host.sawStatus("power: could not prevent idle system sleep (-5)"));
    EXPECT_TRUE(host.sawStatus("power: could not prevent system sleep (-5)"));
    EXPECT_TRUE(assertions.held().empty());
    phone->send(AuxPacketType::iosBackgroundPresence, Bytes{1});
    EXPECT_TRUE(assertions.held().empty());
    // The session goes; the grace remains and the retry succeeds under the grace's name.
    from = host.statuses().size();
    phone.reset();
    host.clock().runUntilIdle();
    EXPECT_EQ(names(), (std::vector<std::string>{"Corventis iOS Viewer reconnect grace",
                                                 "Corventis iOS Viewer reconnect grace"}));
    EXPECT_EQ(since(from), (std::vector<std::string>{
                               since(from).front(),  // the removal line
                               "power: preventing idle system sleep while a Viewer session is active or reconnecting",
                               "power: preventing system sleep while a Viewer session is active or reconnecting",
                           }));
    EXPECT_EQ(assertions.held()[0].level, powerAssertionLevelOn);

    // A Viewer signing in while they are held changes nothing, not even the name.
    from = host.statuses().size();
    auto desk = std::make_optional<InMemoryViewer>(host, server.boundPorts().control, "Desk");
    EXPECT_EQ(assertions.createdCount(), 2);
    desk.reset();
    host.clock().runUntilIdle();
    EXPECT_EQ(names().front(), "Corventis iOS Viewer reconnect grace");

    // The grace runs out: both released, once.
    host.clock().advance(901);
    const auto released = since(from);
    EXPECT_EQ(std::count(released.begin(), released.end(), "power: released active Viewer idle-sleep assertion"), 1);
    EXPECT_EQ(std::count(released.begin(), released.end(), "power: released active Viewer system-sleep assertion"), 1);
    EXPECT_TRUE(host.sawStatus("power: iOS Viewer reconnect grace expired; restoring normal sleep policy"));
    EXPECT_TRUE(assertions.held().empty());
    EXPECT_EQ(assertions.releasedCount(), 2);
}

TEST(PowerSleepWake, TheSleepNoticeReturnsWhetherItComesFromAnotherThreadOrFromTheServerQueue) {
    std::atomic<bool> done{false};  // outlives the server, whose queue's thread sets it
    LiveServer live;
    auto& server = live.server();
    // From another thread it waits for the server queue; the state has changed when it returns.
    server.noteHostPowerState("system will sleep", true, true);
    EXPECT_TRUE(server.queue->sync([&] { return ServerInspector(server).power().screensAreSleeping(); }));
    // From the server queue itself it runs in place instead of waiting on its own queue.
    server.noteHostPowerState("system did wake", false, false);
    server.queue->async([&] {
        server.noteHostPowerState("system will sleep", true, true);
        done = ServerInspector(server).power().screensAreSleeping();
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }));
    EXPECT_TRUE(server.queue->sync([&] { return ServerInspector(server).power().screensAreSleeping(); }));
}

}  // namespace ServerPowerTests
