// Capture requests on the virtual clock: what a request may ask for, what each kind of change does
// to the running stream, and what the next Viewer starts with.
#include <gtest/gtest.h>

#include <algorithm>

#include "HostApp/Video/HostVideoCapture.h"
#include "QuillmereProfiles/DisplayProfiles.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

namespace ServerCaptureRequestTests {

using namespace qm;
using namespace qm::test;

namespace {

CaptureModeControlPayload easyRequest() {
    return CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                             VideoCaptureBackend::physical);
}

// The display as it is, at the Viewer's own rates (Easy on a real display sets its own bit rate).
CaptureModeControlPayload builtInDisplayRequest() {
    auto request = easyRequest();
    request.flags |= CaptureModeControlPayload::iosBuiltInDisplayFlag;
    return request;
}

std::vector<std::string> statusTexts(const std::vector<AuxFrame>& frames) {
    std::vector<std::string> out;
    for (const auto& frame : frames) {
        if (frame.header.type == AuxPacketType::hostStatus) out.emplace_back(frame.payload.begin(), frame.payload.end());
    }
    return out;
}

// Acknowledges everything it receives, as a healthy Viewer does, and counts the frames that arrive
// within `seconds` of virtual time.
struct AckingViewer {
    ManualServer& host;
    InMemoryViewer& video;
    std::optional<VideoStreamConfigPayload> lastConfig;

    int framesOver(double seconds) {
        int frames = 0;
        const int steps = static_cast<int>(seconds / 0.01 + 0.5);
        for (int i = 0; i < steps; ++i) {
            host.clock().advance(0.01);
            std::optional<std::uint64_t> newest;
            for (auto& frame : video.takeAll()) {
                if (frame.header.type == AuxPacketType::videoConfig) lastConfig = VideoStreamConfigPayload::decode(frame.payload);
                if (frame.header.type != AuxPacketType::videoFrame) continue;
                ++frames;
                newest = VideoFramePayload::decode(frame.payload)->frameNumber;
            }
            if (newest) video.send(AuxPacketType::videoFrameAck, VideoFrameAckPayload{*newest}.encode());
        }
        return frames;
    }
};

}  // namespace

TEST(CaptureRequest, AFrameRateChangeRestartsTheStreamAndTheDeliveredRateFollows) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);
    AckingViewer viewer{host, video, std::nullopt};
    auto request = easyRequest();
    control.send(AuxPacketType::captureModeControl, request.encode());
    viewer.framesOver(0.2);  // the stream starts as the display is chosen: its config and keyframe
    EXPECT_NEAR(viewer.framesOver(1.0), 60, 2);

    request.fps = 30;
    control.send(AuxPacketType::captureModeControl, request.encode());
    EXPECT_TRUE(host.sawStatus("easy adaptive: capturing physical display 1 at current resolution"));
    viewer.framesOver(0.5);  // the restart after 0.1 s, a new config and keyframe
    EXPECT_NEAR(viewer.framesOver(1.0), 30, 1);
    ASSERT_TRUE(viewer.lastConfig);
    EXPECT_EQ(viewer.lastConfig->fps, 30);
    EXPECT_NEAR(host.screenCapture().lastStartedConfiguration()->minimumFrameInterval, 1.0 / 30, 1e-9);

    // Easy on a real display carries the rate its pixels need, whatever the Viewer asked for; the
    // built-in display capture carries the Viewer's rate.
    EXPECT_EQ(viewer.lastConfig->bitrate, 8'000'000);
    request = builtInDisplayRequest();
    request.fps = 30;
    request.bitrate = 5'000'000;
    control.send(AuxPacketType::captureModeControl, request.encode());
    EXPECT_NEAR(viewer.framesOver(1.5), 40, 12);  // 0.1 s restart, then 30 fps
    ASSERT_TRUE(viewer.lastConfig);
    EXPECT_EQ(viewer.lastConfig->bitrate, 5'000'000);

    // The same request again changes nothing.
    const auto running = ServerInspector(server).videoCapture();
    control.send(AuxPacketType::captureModeControl, request.encode());
    EXPECT_EQ(ServerInspector(server).videoCapture(), running);
    EXPECT_TRUE(host.sawStatus("iOS built-in display capture unchanged"));
}

TEST(CaptureRequest, RatesOutsideTheLimitsAreBroughtWithinThemAndTheViewerIsTold) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);
    AckingViewer viewer{host, video, std::nullopt};
    auto request = builtInDisplayRequest();
    request.fps = 4'294'967'295;
    request.bitrate = 1;
    control.send(AuxPacketType::captureModeControl, request.encode());

    auto adjustments = [&] {
        std::vector<std::string> out;
        for (auto& text : statusTexts(control.takeAll()))
            if (text.rfind("video: request adjusted", 0) == 0) out.push_back(text);
        return out;
    };
    const auto told = adjustments();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("fps 4294967295 lowered to 240;"), std::string::npos) << told[0];
    EXPECT_NE(told[0].find("bitrate 1 raised to 100000;"), std::string::npos) << told[0];
    EXPECT_NE(told[0].find("fps=240 bitrate=100000"), std::string::npos) << told[0];
    EXPECT_EQ(ServerInspector(server).display().currentCaptureRequest().fps, 240);

    // The capture interval is that of 240 fps, not a spin, and the encoder runs at the floor rate.
    EXPECT_GT(viewer.framesOver(0.5), 0);
    EXPECT_NEAR(host.screenCapture().lastStartedConfiguration()->minimumFrameInterval, 1.0 / 240, 1e-9);
    ASSERT_TRUE(viewer.lastConfig);
    EXPECT_EQ(viewer.lastConfig->fps, 240);
    EXPECT_EQ(viewer.lastConfig->bitrate, CaptureRequestLimits::minimumBitrate);

    // Zero asks for the mode's defaults and is not an adjustment.
    request.fps = 0;
    request.bitrate = 0;
    control.send(AuxPacketType::captureModeControl, request.encode());
    EXPECT_TRUE(adjustments().empty());
    viewer.framesOver(0.5);
    EXPECT_NEAR(host.screenCapture().lastStartedConfiguration()->minimumFrameInterval, 1.0 / 60, 1e-9);
}

TEST(CaptureRequest, TheNextViewerAfterTheLastLeftStartsInTheDefaultMode) {
    ManualServer host;
    auto& server = host.server();
    {
        InMemoryViewer control(host, server.boundPorts().control);
        InMemoryViewer video(host, server.boundPorts().video);
        // The display as it is, in another format: the iOS built-in capture keeps the Viewer's format.
        auto request = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv444,
                                                         VideoCaptureBackend::physical);
        request.flags |= CaptureModeControlPayload::iosBuiltInDisplayFlag;
        control.send(AuxPacketType::captureModeControl, request.encode());
        host.clock().advance(0.1);
        ASSERT_TRUE(ServerInspector(server).videoCapture());
        EXPECT_EQ(ServerInspector(server).videoCapture()->requestedProfile.codec, VideoStreamCodec::hevc);
        video.disconnect();
        control.disconnect();
    }
    EXPECT_FALSE(ServerInspector(server).videoCapture());

    InMemoryViewer control(host, server.boundPorts().control);
    InMemoryViewer video(host, server.boundPorts().video);
    host.clock().advance(0.56);
    const auto capture = ServerInspector(server).videoCapture();
    ASSERT_TRUE(capture);
    EXPECT_TRUE(host.sawStatus("video: no capture request; starting the default Easy mode"));
    EXPECT_EQ(capture->requestedProfile.mode, VideoCaptureMode::easy);
    EXPECT_EQ(capture->requestedProfile.codec, VideoStreamCodec::h264);
    EXPECT_EQ(capture->requestedProfile.chromaMode, VideoChromaMode::yuv420);
    EXPECT_EQ(ServerInspector(server).display().currentCaptureRequest().mode, VideoCaptureMode::easy);
    EXPECT_FALSE(ServerInspector(server).display().currentCaptureRequest().flags & CaptureModeControlPayload::iosBuiltInDisplayFlag);
}

TEST(CaptureRequest, PictureInPictureRegionsAreBoundedAndQuiet) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    control.takeAll();
    const auto linesBefore = host.statuses().size();

    // The most a Viewer may set: 32 regions, each with a name of the longest length, and a viewport.
    for (std::size_t i = 0; i < PipRegionSetPayload::maxRegions; ++i) {
        std::string name(PipRegionSetPayload::maxNameBytes, 'a');
        name.replace(0, 2, std::to_string(10 + i));
        control.send(AuxPacketType::pipRegionSet, PipRegionSetPayload{name, Rect(0.1, 0.1, 0.2, 0.2)}.encode());
    }
    control.send(AuxPacketType::viewportROI, ViewportROIPayload{Rect(0, 0, 0.5, 0.5)}.encode());
    EXPECT_EQ(host.statuses().size(), linesBefore) << "no log line per region or viewport packet";

    std::size_t largest = 0;
    for (auto& frame : control.takeAll()) {
        ASSERT_EQ(frame.header.type, AuxPacketType::hostSessionInfo);
        largest = std::max(largest, frame.payload.size());
    }
    EXPECT_EQ(ServerInspector(server).sessions().pipRegions.size(), PipRegionSetPayload::maxRegions);
    EXPECT_LT(largest, 4096u);

    // A longer name is refused; it never reaches the table or the packets.
    control.send(AuxPacketType::pipRegionSet,
                 PipRegionSetPayload{std::string(PipRegionSetPayload::maxNameBytes + 1, 'z'), Rect(0, 0, 1, 1)}.encode());
    EXPECT_EQ(statusTexts(control.takeAll()), std::vector<std::string>{"bad picture-in-picture payload"});
    EXPECT_EQ(ServerInspector(server).sessions().pipRegions.size(), PipRegionSetPayload::maxRegions);
}

TEST(CaptureRequest, ARequestSentBeforeTheVideoChannelSignsInIsAppliedOnceAndTheStreamStartsWithIt) {
    ManualServer host;
    auto& server = host.server();
    auto count = [&](const std::string& needle) {
        const auto lines = host.statuses();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.find(needle) != std::string::npos; });
    };
    InMemoryViewer control(host, server.boundPorts().control);
    control.send(AuxPacketType::captureModeControl, easyRequest().encode());
    host.clock().runUntilIdle();
    EXPECT_EQ(count("easy adaptive: capturing physical display 1"), 1);

    InMemoryViewer video(host, server.boundPorts().video);
    AckingViewer viewer{host, video, std::nullopt};
    EXPECT_GT(viewer.framesOver(0.05), 0) << "the first picture follows the sign-in without a pause";
    EXPECT_EQ(count("easy adaptive: capturing physical display 1"), 1) << "applied once";
    EXPECT_EQ(count("video capture starting"), 1);
    EXPECT_EQ(host.screenCapture().startedStreamCount(), 1);
    viewer.framesOver(0.5);
    EXPECT_EQ(count("display layout "), 2) << "at the request, and once more when the display settled";
}

TEST(CaptureRequest, ALaterRequestBeforeTheVideoChannelSignsInReplacesTheOneThatWasApplied) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    control.send(AuxPacketType::captureModeControl, easyRequest().encode());
    host.clock().runUntilIdle();
    // Pro's display is prepared only once a video channel is there to watch it.
    control.send(AuxPacketType::captureModeControl,
                 CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv420,
                                                   VideoCaptureBackend::headlessVirtual)
                     .encode());
    host.clock().runUntilIdle();
    EXPECT_TRUE(host.sawStatus("capture display preparation deferred until an authorized Viewer connects"));

    InMemoryViewer video(host, server.boundPorts().video);
    host.clock().advance(1.0);  // the virtual display is made, then the stream starts on it
    const auto capture = ServerInspector(server).videoCapture();
    ASSERT_TRUE(capture);
    EXPECT_EQ(capture->requestedProfile.mode, VideoCaptureMode::pro);
    EXPECT_FALSE(host.sawStatus("video: starting the stream the request prepared"));
}

}  // namespace ServerCaptureRequestTests
