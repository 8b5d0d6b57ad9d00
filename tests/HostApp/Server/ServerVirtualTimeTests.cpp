// Server behaviour that depends on time, on the virtual clock: every delay is exact and nothing sleeps.
#include <gtest/gtest.h>

#include "HostApp/Video/HostVideoCapture.h"
#include "support/ServerInspector.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "support/InMemoryViewer.h"

namespace ServerVirtualTimeTests {

using namespace qm;
using namespace qm::test;

TEST(ServerVirtualTime, TheDefaultModeStartsAfterExactlyTheStartDelayAndStopsWithTheLastViewer) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    auto video = std::make_unique<InMemoryViewer>(host, server.boundPorts().video);

    host.clock().advance(0.44);
    EXPECT_FALSE(test::ServerInspector(server).videoCapture());
    host.clock().advance(0.01);
    EXPECT_TRUE(host.sawStatus("video: no capture request; starting the default Easy mode"));
    // Nothing runs yet, so Easy on the physical display starts its stream as the display is chosen.
    ASSERT_TRUE(test::ServerInspector(server).videoCapture());

    // Frames follow the virtual clock: a config, then a frame per 1/60 s.
    host.clock().advance(0.1);
    video->next(AuxPacketType::videoConfig);
    video->next(AuxPacketType::videoFrame);

    video->disconnect();
    EXPECT_FALSE(test::ServerInspector(server).videoCapture());
    EXPECT_FALSE(test::ServerInspector(server).videoFlow().videoEncodeBlocked);
    EXPECT_EQ(test::ServerInspector(server).videoFlow().videoSendInFlight, 0);
    EXPECT_TRUE(host.sawStatus("video capture stopped; no Viewer left"));
    EXPECT_EQ(host.screenCapture().runningStreamCount(), 0);
}

TEST(ServerVirtualTime, ARequestBeforeTheDelayCancelsTheDefaultStart) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::physical);
    host.clock().advance(0.2);
    control.send(AuxPacketType::captureModeControl, request.encode());
    host.clock().advance(0.1);
    ASSERT_TRUE(test::ServerInspector(server).videoCapture());
    host.clock().advance(1.0);
    EXPECT_FALSE(host.sawStatus("starting the default"));
}

TEST(ServerVirtualTime, ARunningStreamWindsDownForTheRestartDelayBeforeTheNextStarts) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::physical);
    request.flags |= CaptureModeControlPayload::iosBuiltInDisplayFlag;
    control.send(AuxPacketType::captureModeControl, request.encode());
    ASSERT_TRUE(test::ServerInspector(server).videoCapture()) << "nothing ran, so it starts at once";
    const auto first = test::ServerInspector(server).videoCapture();
    host.clock().advance(0.5);

    // Easy replaces the running stream: the old one stops now, the new one opens 0.1 s later.
    control.send(AuxPacketType::captureModeControl,
                 CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                   VideoCaptureBackend::physical)
                     .encode());
    EXPECT_TRUE(host.sawStatus("easy adaptive: capturing physical display 1 at current resolution"));
    EXPECT_FALSE(test::ServerInspector(server).videoCapture());
    host.clock().advance(0.09);
    EXPECT_FALSE(test::ServerInspector(server).videoCapture());
    host.clock().advance(0.01);
    ASSERT_TRUE(test::ServerInspector(server).videoCapture());
    EXPECT_NE(test::ServerInspector(server).videoCapture(), first);
    EXPECT_EQ(host.screenCapture().runningStreamCount(), 1);
}

TEST(ServerVirtualTime, AViewerThatStopsAcknowledgingIsClosedAfterTenSeconds) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);
    host.clock().advance(0.6);
    ASSERT_TRUE(test::ServerInspector(server).videoCapture());
    host.clock().advance(9.0);
    EXPECT_EQ(test::ServerInspector(server).sessions().authorizedVideoSessions().size(), 1u) << "still within its ten seconds";
    host.clock().advance(2.0);
    EXPECT_TRUE(test::ServerInspector(server).sessions().authorizedVideoSessions().empty());
    EXPECT_TRUE(host.sawStatus("closed: video: Viewer stopped acknowledging frames"));
    EXPECT_EQ(test::ServerInspector(server).sessions().authorizedAudioSessions().size(), 1u) << "its control session stays";
}

TEST(ServerVirtualTime, TheIOSBackgroundGraceHoldsTheHostAwakeForFifteenMinutes) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer phone(host, server.boundPorts().control, "iOS Viewer");
    phone.send(AuxPacketType::iosBackgroundPresence, Bytes{1});
    ASSERT_TRUE(test::ServerInspector(server).power().iosBackgroundGrace().isRunning());
    phone.disconnect();
    EXPECT_EQ(test::ServerInspector(server).power().assertionsHeld(), 2u) << "the grace outlives the session";
    host.clock().advance(899);
    EXPECT_EQ(test::ServerInspector(server).power().assertionsHeld(), 2u);
    host.clock().advance(2);
    EXPECT_FALSE(test::ServerInspector(server).power().iosBackgroundGrace().isRunning());
    EXPECT_EQ(test::ServerInspector(server).power().assertionsHeld(), 0u);

    // The same packet from a Viewer that is not an iOS one is refused; a bad state is reported.
    InMemoryViewer desktop(host, server.boundPorts().control, "Desk");
    desktop.send(AuxPacketType::iosBackgroundPresence, Bytes{1});
    EXPECT_TRUE(host.sawStatus("iOS background presence rejected for non-iOS Viewer"));
    InMemoryViewer other(host, server.boundPorts().control, "ios viewer");
    other.send(AuxPacketType::iosBackgroundPresence, Bytes{7});
    EXPECT_TRUE(host.sawStatus("bad iOS background presence state"));
    other.send(AuxPacketType::iosBackgroundPresence, Bytes{0, 1});
    EXPECT_TRUE(host.sawStatus("bad iOS background presence payload"));
}

TEST(ServerVirtualTime, ControlAndVideoSessionsThatComeAndGoLeaveEveryTableAsItWas) {
    ManualServer host;
    auto& server = host.server();
    const auto baseline = server.resourceCounts();
    PointerEventControlPayload press;
    press.buttonMask = 1;
    press.framebufferWidth = 320;
    press.framebufferHeight = 180;
    for (int cycle = 0; cycle < 200; ++cycle) {
        InMemoryViewer control(host, server.boundPorts().control);
        InMemoryViewer video(host, server.boundPorts().video);
        control.send(AuxPacketType::pointerEvent, press.encode());
        if (cycle % 10 == 0) {
            // Let the stream start and frames go out unacknowledged, so the video session has
            // send records, and acknowledge one of them.
            host.clock().advance(0.6);
            auto frame = video.next(AuxPacketType::videoFrame);
            video.send(AuxPacketType::videoFrameAck,
                       VideoFrameAckPayload{VideoFramePayload::decode(frame.payload)->frameNumber}.encode());
            host.clock().advance(0.1);
        }
    }
    host.clock().runUntilIdle();
    EXPECT_EQ(server.resourceCounts(), baseline);
    ServerInspector inspector(server);
    EXPECT_EQ(inspector.sessions().entryCount(), 0u);
    EXPECT_EQ(inspector.videoFlow().entryCount(), 0u);
    EXPECT_FALSE(inspector.videoCapture());
}

}  // namespace ServerVirtualTimeTests
