// Capture targets on virtual time: what each capture mode does to the displays, what a Viewer is
// told and sent, and the host display control requests.
#include <gtest/gtest.h>

#include <algorithm>

#include "HostApp/Video/HostVideoCapture.h"
#include "QuillmereProfiles/DisplayProfiles.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

namespace ServerDisplayTargetsTests {

using namespace qm;
using namespace qm::test;

namespace {

using P = CaptureModeControlPayload;

P request(VideoCaptureMode mode, VideoCaptureBackend backend = VideoCaptureBackend::physical) {
    return P::preset(mode, VideoChromaMode::yuv420, backend);
}

std::vector<std::string> statusTexts(InMemoryViewer& viewer) {
    std::vector<std::string> out;
    for (const auto& frame : viewer.takeAll()) {
        if (frame.header.type == AuxPacketType::hostStatus) out.emplace_back(frame.payload.begin(), frame.payload.end());
    }
    return out;
}

bool contains(const std::vector<std::string>& texts, const std::string& needle) {
    return std::any_of(texts.begin(), texts.end(), [&](const auto& t) { return t.find(needle) != std::string::npos; });
}

// The index of the first status line containing the text, after `from`.
std::ptrdiff_t indexOf(const ManualServer& host, const std::string& needle, std::ptrdiff_t from = 0) {
    const auto texts = host.statuses();
    for (auto i = static_cast<std::size_t>(from); i < texts.size(); ++i)
        if (texts[i].find(needle) != std::string::npos) return static_cast<std::ptrdiff_t>(i);
    return -1;
}

// A host whose display offers the modes of a typical external panel.
struct PanelHost {
    ManualServer host;
    InMemoryViewer control{host, host.server().boundPorts().control};
    InMemoryViewer video{host, host.server().boundPorts().video};
    explicit PanelHost(std::int64_t width = 1280, std::int64_t height = 720) {
        host.displays().setModes(1, SimulatedDisplayService::typicalExternalModes());
        DisplayMode current;
        current.width = width;
        current.height = height;
        current.refreshRate = 60;
        host.displays().setCurrentMode(1, current);
    }
    DisplayTargetState& display() { return ServerInspector(host.server()).display(); }
    std::shared_ptr<HostVideoCapture> capture() { return ServerInspector(host.server()).videoCapture(); }
    void ask(const P& r) { control.send(AuxPacketType::captureModeControl, r.encode()); }
};

}  // namespace

TEST(CaptureTargets, ASwitchedModeRestartsLayoutAudioAndVideoInThatOrderAfterTheDelay) {
    PanelHost h;
    h.control.send(AuxPacketType::audioControl, AudioControlPayload{}.encode());
    const auto mark = static_cast<std::ptrdiff_t>(h.host.statuses().size());
    h.ask(request(VideoCaptureMode::physical1080));
    EXPECT_GE(indexOf(h.host, "host display switched mode=1080p display=1 1920x1080", mark), 0);
    EXPECT_GE(indexOf(h.host, "video mode requested 1080p on display 1; restarting encoder with", mark), 0);
    EXPECT_EQ(h.display().currentVideoMode(), VideoCaptureMode::physical1080);
    EXPECT_TRUE(contains(statusTexts(h.control), "display: switched mode=1080p"));

    const auto restartMark = static_cast<std::ptrdiff_t>(h.host.statuses().size());
    h.host.clock().advance(0.64);
    EXPECT_FALSE(h.capture());
    h.host.clock().advance(0.02);
    ASSERT_TRUE(h.capture());
    const auto layout = indexOf(h.host, "display layout display=1", restartMark);
    const auto audio = indexOf(h.host, "audio capture", restartMark);
    const auto video = indexOf(h.host, "video capture starting", restartMark);
    ASSERT_GE(layout, 0);
    ASSERT_GE(audio, 0);
    EXPECT_LT(layout, audio);
    EXPECT_LT(audio, video);
    // The Viewer is told the display now shows 1080p, and the stream is that size.
    const auto sent = DisplayLayoutPayload::decode(h.video.next(AuxPacketType::displayLayout).payload);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->targetWidth, 1920);
    EXPECT_EQ(sent->pixelHeight, 1080);
    EXPECT_EQ(h.capture()->requestedProfile.width, 1920);

    // The same mode applied again is "verified"; 1440p switches the display again.
    h.ask(request(VideoCaptureMode::physical1440));
    EXPECT_TRUE(h.host.sawStatus("video mode requested 1440p on display 1"));
    EXPECT_EQ(h.host.displays().currentMode(1)->width, 2560);
}

TEST(CaptureTargets, FailedAndMismatchedSwitchesEndInTheFallbackOutcome) {
    {
        // Pro needs a HiDPI 2240x1260 mode the panel lacks: the strict check fails, 1440p follows.
        PanelHost h;
        h.ask(request(VideoCaptureMode::pro));
        EXPECT_TRUE(h.host.sawStatus("host display strict-mode mismatch: mode=Pro expected 2240x1260 @2x (px 4480x2520) HiDPI, got"));
        EXPECT_TRUE(h.host.sawStatus("video mode fallback 1440p on display 1"));
        EXPECT_EQ(h.display().currentVideoMode(), VideoCaptureMode::physical1440);
        EXPECT_EQ(h.display().currentCaptureRequest().mode, VideoCaptureMode::physical1440);
        EXPECT_TRUE(contains(statusTexts(h.control), "; using physical fallback 1440p"));
    }
    {
        // A display with one small mode: 1080p has no fallback, nothing restarts, the previous
        // mode stays and the layout is sent as it is.
        ManualServer host;
        InMemoryViewer control(host, host.server().boundPorts().control);
        InMemoryViewer video(host, host.server().boundPorts().video);
        control.send(AuxPacketType::captureModeControl, request(VideoCaptureMode::easy).encode());
        host.clock().advance(0.2);
        const auto running = ServerInspector(host.server()).videoCapture();
        ASSERT_TRUE(running);
        control.send(AuxPacketType::captureModeControl, request(VideoCaptureMode::physical1080).encode());
        EXPECT_TRUE(host.sawStatus("video mode kept Easy on display 1; preset not applied; mode=Easy"));
        EXPECT_EQ(ServerInspector(host.server()).videoCapture(), running);
        EXPECT_EQ(ServerInspector(host.server()).display().currentCaptureRequest().mode, VideoCaptureMode::easy);
        EXPECT_TRUE(contains(statusTexts(control), "display switch warning: "));
        EXPECT_TRUE(running->isKeyframeRequested());
    }
}

TEST(CaptureTargets, ARefusedRequestLeavesTheRequestInForceAsTheStreamRuns) {
    // The panel reaches 1080p but not 1440p: an HEVC 4:4:4 1080p stream runs, a 1440p request for
    // H.264 is refused and the stream stays; a following H.264 1080p request is a format change.
    ManualServer host;
    auto panelMode = [](std::int64_t w, std::int64_t h, std::int32_t id) {
        DisplayMode m;
        m.width = m.pixelWidth = w;
        m.height = m.pixelHeight = h;
        m.refreshRate = 60;
        m.ioDisplayModeID = id;
        return m;
    };
    host.displays().setModes(1, {panelMode(1920, 1080, 7), panelMode(1280, 720, 8)});
    InMemoryViewer control(host, host.server().boundPorts().control);
    InMemoryViewer video(host, host.server().boundPorts().video);
    auto hevc = P::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv444, VideoCaptureBackend::physical);
    hevc.codec = VideoStreamCodec::hevc;
    hevc.bitrate = 28'000'000;
    control.send(AuxPacketType::captureModeControl, hevc.encode());
    host.clock().advance(1.0);
    ASSERT_TRUE(ServerInspector(host.server()).videoCapture());

    auto refused = request(VideoCaptureMode::physical1440);
    refused.codec = VideoStreamCodec::h264;
    control.send(AuxPacketType::captureModeControl, refused.encode());
    EXPECT_TRUE(host.sawStatus("video mode kept 1080p on display 1; preset not applied"));
    EXPECT_EQ(ServerInspector(host.server()).display().currentCaptureRequest(), hevc);
    EXPECT_EQ(ServerInspector(host.server()).display().currentVideoChromaMode(), VideoChromaMode::yuv444);

    auto h264 = request(VideoCaptureMode::physical1080);
    h264.bitrate = 28'000'000;
    const auto mark = host.statuses().size();
    control.send(AuxPacketType::captureModeControl, h264.encode());
    const auto texts = host.statuses();
    EXPECT_TRUE(std::any_of(texts.begin() + static_cast<std::ptrdiff_t>(mark), texts.end(), [](const std::string& t) {
        return t.find("capture format changed; restarting stream with mode=1080p") != std::string::npos;
    }));
    EXPECT_FALSE(host.sawStatus("capture mode unchanged; resending video config"));
}

TEST(CaptureTargets, EasyStreamsTheDisplayAsItIsAtTheScaledRate) {
    PanelHost h(1920, 1080);
    h.ask(request(VideoCaptureMode::easy));
    h.host.clock().advance(0.15);
    EXPECT_TRUE(h.host.sawStatus("easy adaptive: capturing physical display 1 at current resolution"));
    EXPECT_EQ(h.host.displays().currentMode(1)->width, 1920) << "no mode switch";
    const auto config = VideoStreamConfigPayload::decode(h.video.next(AuxPacketType::videoConfig).payload);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->width, 1920);
    EXPECT_EQ(config->height, 1080);
    EXPECT_EQ(config->bitrate, 9'000'000) << "a quarter of the HiDPI 1080 area at 36 Mbit/s";

    // The same request again restarts nothing.
    const auto running = h.capture();
    h.ask(request(VideoCaptureMode::easy));
    EXPECT_TRUE(h.host.sawStatus("easy adaptive physical capture unchanged on display 1"));
    EXPECT_EQ(h.capture(), running);
}

TEST(CaptureTargets, EasyRequestFollowsTheLayoutAndWhatTheEncodersCanCarry) {
    DisplayLayoutPayload layout;
    layout.targetWidth = 1512;
    layout.targetHeight = 982;
    layout.pixelWidth = 3024;
    layout.pixelHeight = 1964;
    layout.flags = DisplayLayoutPayload::hiDPIFlag;
    auto base = P::preset(VideoCaptureMode::pro, VideoChromaMode::yuv444, VideoCaptureBackend::headlessVirtual);
    base.flags |= P::iosBuiltInDisplayFlag | P::encoderOption40Flag;
    auto rate = [](std::int64_t w, std::int64_t h, bool is444) { return w * 1000 + h + (is444 ? 1 : 0); };

    const auto full = DisplayTargetState::easyAdaptiveRequest(base, layout, true, rate);
    EXPECT_EQ(full.mode, VideoCaptureMode::easy);
    EXPECT_EQ(full.backend, VideoCaptureBackend::physical);
    EXPECT_EQ(full.chromaMode, VideoChromaMode::yuv444);
    EXPECT_EQ(full.flags, P::hiDPIFlag | P::encoderOption40Flag);
    EXPECT_EQ(full.pixelWidth, 3024);
    EXPECT_EQ(full.bitrate, 3024 * 1000 + 1964 + 1);

    // Without 4:4:4 encoding: 4:2:0 and option 0x20; without a layout the preset's size, no HiDPI bit.
    const auto reduced = DisplayTargetState::easyAdaptiveRequest(base, std::nullopt, false, rate);
    EXPECT_EQ(reduced.chromaMode, VideoChromaMode::yuv420);
    EXPECT_EQ(reduced.flags, P::encoderOption20Flag | P::encoderOption40Flag);
    EXPECT_EQ(reduced.pixelWidth, 3840);

    // A side beyond the transport limit is scaled before the rate is worked out.
    layout.pixelWidth = 10000;
    layout.pixelHeight = 5001;
    auto h264 = base;
    h264.codec = VideoStreamCodec::h264;
    const auto wide = DisplayTargetState::easyAdaptiveRequest(h264, layout, true, rate);
    EXPECT_EQ(wide.bitrate, 4096 * 1000 + 2048 + 1);
}

TEST(CaptureTargets, RequestBranchesEachEndWithAKeyframeRequest) {
    PanelHost h;
    h.ask(request(VideoCaptureMode::physical1080));
    h.host.clock().advance(0.7);
    auto running = h.capture();
    ASSERT_TRUE(running);

    auto r = h.display().currentCaptureRequest();
    r.bitrate = 7'000'000;
    h.ask(r);
    EXPECT_TRUE(h.host.sawStatus("dynamic bitrate update: bitrate=7000000"));
    EXPECT_EQ(h.capture(), running);
    EXPECT_TRUE(running->isKeyframeRequested());

    h.ask(r);
    EXPECT_TRUE(h.host.sawStatus("capture mode unchanged; resending video config"));
    EXPECT_EQ(h.capture(), running);

    // The display left the mode behind the Host's back: the same request is applied again.
    DisplayMode other;
    other.width = 1280;
    other.height = 720;
    other.refreshRate = 60;
    h.host.displays().setCurrentMode(1, other);
    h.ask(r);
    EXPECT_TRUE(h.host.sawStatus("capture mode unchanged but display state drifted; reapplying "));
    EXPECT_EQ(h.host.displays().currentMode(1)->width, 1920);
    h.host.clock().advance(0.7);
    running = h.capture();

    r.codec = VideoStreamCodec::hevc;
    h.ask(r);
    EXPECT_TRUE(h.host.sawStatus("capture format changed; restarting stream with "));
    EXPECT_NE(h.capture(), running);
    EXPECT_EQ(h.host.displays().currentMode(1)->width, 1920);
}

TEST(CaptureTargets, BuiltInDisplayRequestsAreRefusedWithSeveralViewersAndTheConsoleForcesPhysical) {
    PanelHost h;
    InMemoryViewer second(h.host, h.host.server().boundPorts().control);
    auto ios = request(VideoCaptureMode::easy);
    ios.flags |= P::iosBuiltInDisplayFlag;
    h.ask(ios);
    const auto told = statusTexts(second);
    const auto sender = ServerInspector(h.host.server()).sessions().audioSessions();
    ASSERT_TRUE(contains(told, "display: ignored iOS built-in display request from "));
    ASSERT_TRUE(contains(told, " while multiple viewers are active"));
    EXPECT_FALSE(h.display().iosBuiltInCaptureSessionID());
    second.disconnect();

    // Alone, the Viewer gets the display at its current mode.
    h.ask(ios);
    EXPECT_TRUE(h.display().iosBuiltInCaptureSessionID());
    EXPECT_TRUE(h.host.sawStatus("iOS built-in display capture using physical display 1; keeping current display mode"));
    EXPECT_EQ(h.display().currentCaptureRequest().pixelWidth, 1280);

    // At the login window a virtual-display request is captured from the real display.
    h.host.accounts().setConsoleSessionState({ManualServer::user, "Bench", true, false, false});
    h.ask(request(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual));
    EXPECT_TRUE(h.host.sawStatus("capture request backend virtual overridden to physical for loginwindow/locked session"));
    EXPECT_TRUE(contains(statusTexts(h.control), "display: loginwindow/locked session forcing physical display capture"));
    EXPECT_EQ(h.display().currentCaptureRequest().backend, VideoCaptureBackend::physical);
    EXPECT_FALSE(h.display().useHeadlessVirtualDisplay());
    EXPECT_EQ(h.host.virtualDisplays().createdDisplayCount(), 0);

    // Leaving gives up the built-in capture ownership.
    h.control.disconnect();
    EXPECT_FALSE(h.display().iosBuiltInCaptureSessionID());
}

TEST(CaptureTargets, TheVirtualDisplayIsMadeAtThePresetAndAnUnrealizedOneFallsBackAfterOneRetry) {
    {
        PanelHost h;
        h.ask(request(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual));
        EXPECT_TRUE(h.host.sawStatus("capture preset backend requested virtual display"));
        EXPECT_TRUE(h.host.sawStatus("headless virtual display active "));
        EXPECT_TRUE(h.host.sawStatus("video mode requested Pro on display "));
        EXPECT_TRUE(h.display().useHeadlessVirtualDisplay());
        EXPECT_NE(h.display().selectedDisplayID(), 1u);
        // The layout after the 0.8 s start delay describes the virtual display at Pro's size.
        h.host.clock().advance(0.8);
        const auto layout = DisplayLayoutPayload::decode(h.video.next(AuxPacketType::displayLayout).payload);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->displayID, h.display().selectedDisplayID());
        EXPECT_EQ(layout->targetWidth, 2240);
        EXPECT_EQ(layout->pixelWidth, 4480);
        EXPECT_TRUE(layout->flags & DisplayLayoutPayload::hiDPIFlag);
    }
    {
        PanelHost h;
        h.host.virtualDisplays().setFailure(SimulatedVirtualDisplayFactory::Failure::displayInitFails);
        h.ask(request(VideoCaptureMode::max, VideoCaptureBackend::headlessVirtual));
        EXPECT_TRUE(h.host.sawStatus("aux video: headless virtual display retry 1/1 for Max in 1.60s"));
        EXPECT_TRUE(h.host.sawStatus("video mode kept Easy on display 1; preset not applied; "));
        EXPECT_TRUE(contains(statusTexts(h.control), "display: headless request Max unavailable; preserving current display=1"));
        h.host.clock().advance(1.6);
        EXPECT_TRUE(h.host.sawStatus("headless physical fallback capturing current physical mode for display 1 (headless Max unrealized)"));
        EXPECT_FALSE(h.display().useHeadlessVirtualDisplay());
        // The mode in force was Easy: its physical fallback describes the display.
        EXPECT_EQ(h.display().currentVideoMode(), VideoCaptureMode::physical1080);
        EXPECT_EQ(h.display().currentCaptureRequest().backend, VideoCaptureBackend::physical);
    }
}

TEST(HostDisplayControl, TargetsRefusalsAndNoRestartAfterAFailureWithoutAMove) {
    PanelHost h;
    h.ask(request(VideoCaptureMode::physical1080));
    h.host.clock().advance(0.7);
    const auto running = h.capture();
    ASSERT_TRUE(running);

    // next on a one-display Host: already the target.
    h.control.send(AuxPacketType::hostPhysicalDisplay, {2});
    EXPECT_TRUE(contains(statusTexts(h.control), "display: physical next already selected display=1"));
    // main while only the selected display was known: already in use.
    ServerInspector(h.host.server()).forgetPhysicalDisplay();
    h.control.send(AuxPacketType::hostPhysicalDisplay, {1});
    EXPECT_TRUE(contains(statusTexts(h.control), "display: physical main already using display=1"));
    EXPECT_EQ(h.capture(), running);

    // A switch that fails on the display already captured: reported, nothing restarts.
    h.host.displays().failNextBegin(displayErrorFailure, 1000);
    h.control.send(AuxPacketType::hostDisplayMode, {1});
    h.host.displays().failNextBegin(displayErrorFailure, 0);
    EXPECT_TRUE(contains(statusTexts(h.control), "display: physical 1440 switch failed: "));
    h.host.clock().advance(0.5);
    EXPECT_EQ(h.capture(), running);
    // Saved-mode restore: the mode before the first switch comes back and capture restarts.
    h.control.send(AuxPacketType::hostDisplayMode, {2});
    EXPECT_TRUE(contains(statusTexts(h.control), "display: restored original display=1 1280x720"));
    EXPECT_TRUE(h.host.sawStatus("host display request Host Native using capture 1080p; restarting encoder"));

    // A second video connection: the physical display action is refused.
    InMemoryViewer secondVideo(h.host, h.host.server().boundPorts().video);
    h.control.send(AuxPacketType::hostPhysicalDisplay, {1});
    EXPECT_TRUE(contains(statusTexts(h.control),
                         "display: ignored remote physical display action main while multiple viewers are active"));
}

TEST(CaptureTargets, MainAndNextPhysicalDisplayChooseOnlyRealDisplaysWhileTheVirtualOneIsMain) {
    // Two real displays and the promoted virtual display (the main one while it lives).
    PanelHost h;
    h.host.displays().addDisplay(SimulatedDisplayService::makeDisplay(2, {1280, 0}, 1920, 1080, 1920, 1080));
    h.ask(request(VideoCaptureMode::physical1080, VideoCaptureBackend::headlessVirtual));
    h.host.clock().advance(1.0);
    const DisplayID virtualID = h.display().selectedDisplayID();
    ASSERT_TRUE(h.display().useHeadlessVirtualDisplay());
    ASSERT_NE(virtualID, 1u);
    ASSERT_NE(virtualID, 2u);
    ASSERT_TRUE(h.capture());

    // "next" from the virtual display goes to a real display and capture runs there.
    h.control.send(AuxPacketType::hostPhysicalDisplay, {2});
    EXPECT_FALSE(h.display().useHeadlessVirtualDisplay());
    const DisplayID first = h.display().selectedDisplayID();
    EXPECT_TRUE(first == 1u || first == 2u) << first;
    EXPECT_EQ(h.display().physicalDisplayID(), first);
    h.host.clock().advance(1.0);
    ASSERT_TRUE(h.capture());
    EXPECT_EQ(h.capture()->requestedProfile.displayID, first);
    EXPECT_FALSE(h.host.sawStatus("Host has no active displays"));

    // "next" again: the other real display, never the virtual one; and back round.
    h.control.send(AuxPacketType::hostPhysicalDisplay, {2});
    const DisplayID second = h.display().selectedDisplayID();
    EXPECT_NE(second, first);
    EXPECT_TRUE(second == 1u || second == 2u) << second;
    h.control.send(AuxPacketType::hostPhysicalDisplay, {2});
    EXPECT_EQ(h.display().selectedDisplayID(), first);

    // "main" picks a real display too.
    h.control.send(AuxPacketType::hostPhysicalDisplay, {1});
    EXPECT_TRUE(h.display().selectedDisplayID() == 1u || h.display().selectedDisplayID() == 2u);
    EXPECT_FALSE(h.display().useHeadlessVirtualDisplay());
}

}  // namespace ServerDisplayTargetsTests
