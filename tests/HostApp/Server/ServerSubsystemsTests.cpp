// The server with its audio and input subsystems, over in-memory connections on virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "QuillmereProfiles/InputPayloads.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

namespace ServerSubsystemsTests {

using namespace qm;
using namespace qm::test;

namespace {

std::size_t countOf(const std::vector<RecordingEventPoster::Posted>& posted, EventType type) {
    return static_cast<std::size_t>(
        std::count_if(posted.begin(), posted.end(), [&](const auto& p) { return p.event.type == type; }));
}

PointerEventControlPayload pointerAt(std::uint16_t x, std::uint16_t y, std::uint8_t buttons) {
    PointerEventControlPayload event;
    event.buttonMask = buttons;
    event.x = x;
    event.y = y;
    event.framebufferWidth = 320;
    event.framebufferHeight = 180;
    return event;
}

}  // namespace

TEST(ServerInput, PointerEventsReachTheHostOnlyFromTheControlChannelAndLeavingReleasesThem) {
    ManualServer host;
    auto& server = host.server();
    auto control = std::make_unique<InMemoryViewer>(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);

    control->send(AuxPacketType::pointerEvent, pointerAt(100, 50, 1).encode());
    auto posted = host.events().posted();
    EXPECT_EQ(countOf(posted, EventType::leftMouseDown), 1u);

    // The same packet on the video channel does nothing and holds nothing.
    video.send(AuxPacketType::pointerEvent, pointerAt(10, 10, 2).encode());
    EXPECT_EQ(host.events().posted().size(), posted.size());
    EXPECT_TRUE(host.sawStatus("input: pointerEvent rejected on video channel"));

    // A malformed payload is refused to its sender.
    control->send(AuxPacketType::pointerEvent, Bytes{1, 2});
    EXPECT_TRUE(host.sawStatus("bad pointer event payload"));

    // The Viewer leaves with the left button down: the Host lets go of it.
    control.reset();
    host.clock().runUntilIdle();
    EXPECT_EQ(countOf(host.events().posted(), EventType::leftMouseUp), 1u);
    EXPECT_EQ(server.resourceCounts().inputSessions, 0u);
}

TEST(ServerAudio, AnAudioRequestStartsTheToneAndEveryViewerGetsTheSamePackets) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer first(host, server.boundPorts().control);
    auto second = std::make_unique<InMemoryViewer>(host, server.boundPorts().control);
    // Audio capture starts with the stream's capture target, chosen once a video Viewer is there.
    InMemoryViewer video(host, server.boundPorts().video);
    host.clock().advance(0.5);
    first.takeAll();
    second->takeAll();

    first.send(AuxPacketType::audioControl, AudioControlPayload{}.encode());
    host.clock().advance(1.0);
    const auto firstFrames = first.takeAll();
    const auto secondFrames = second->takeAll();
    auto audioOf = [](const std::vector<AuxFrame>& frames) {
        std::vector<AuxFrame> audio;
        for (const auto& frame : frames) {
            if (frame.header.type == AuxPacketType::audioFrame) audio.push_back(frame);
        }
        return audio;
    };
    const auto a = audioOf(firstFrames), b = audioOf(secondFrames);
    ASSERT_GE(a.size(), 40u) << "about fifty 20 ms packets in a second";
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(a.front().payload, b.front().payload);

    // Exclusive listening narrows the stream to the one Viewer that asked.
    AudioControlPayload exclusive;
    exclusive.wantsExclusiveListening = true;
    second->send(AuxPacketType::audioControl, exclusive.encode());
    first.takeAll();
    second->takeAll();
    host.clock().advance(0.5);
    EXPECT_TRUE(audioOf(first.takeAll()).empty());
    EXPECT_FALSE(audioOf(second->takeAll()).empty());

    // It ends with that Viewer: the other one hears again.
    second.reset();
    host.clock().advance(0.5);
    EXPECT_FALSE(audioOf(first.takeAll()).empty());
    EXPECT_EQ(server.resourceCounts().audioRoles, 0u);
}

TEST(ServerDisplay, StoppingTheHostPutsEveryDisplayBackInTheModeItHadBeforeTheFirstSwitch) {
    ManualServer host;
    auto panel = SimulatedDisplayService::makeDisplay(2, Point{320, 0}, 2560, 1440, 2560, 1440);
    panel.modes = SimulatedDisplayService::typicalExternalModes();
    panel.currentMode = panel.modes[4];  // 2560x1440 at 60 Hz
    host.displays().addDisplay(panel);
    const auto original = host.displays().currentMode(2);

    auto& switcher = ServerInspector(host.server()).modeSwitcher();
    ASSERT_TRUE(switcher.switchDisplayMode(1920, 1080, 1920, 1080, false, false, 2, false).geometry);
    ASSERT_TRUE(switcher.switchDisplayMode(1280, 720, 1280, 720, false, false, 2, false).geometry);
    EXPECT_NE(host.displays().currentMode(2), original);

    bool stopped = false;
    host.server().beginTermination([&] { stopped = true; });
    for (int i = 0; i < 40 && !stopped; ++i) host.clock().advance(0.05);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(host.displays().currentMode(2), original);
    EXPECT_TRUE(host.sawStatus("shutdown restored display=2 2560x1440"));
}

}  // namespace ServerSubsystemsTests
