// The video road over real TCP: capture request, configuration, frames decoded with libavcodec,
// keyframes on request, the acknowledgement gate and recovery.
#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "HostApp/Video/HostVideoCapture.h"
#include "support/ServerInspector.h"
#include "support/LiveServer.h"
#include "support/Sanitizers.h"
#include "support/TestViewer.h"
#include "support/VideoDecoder.h"

namespace ServerVideoTests {

using namespace qm;
using namespace qm::test;

namespace {

constexpr std::int64_t streamWidth = 640;
constexpr std::int64_t streamHeight = 360;

// A Viewer with both channels signed in.
struct VideoViewer {
    TestViewer control;
    TestViewer video;
    explicit VideoViewer(const LiveServer& live) : control(live.ports().control), video(live.ports().video) {}
    bool signIn() {
        auto a = control.signIn(LiveServer::user, LiveServer::password, "Video Viewer");
        auto b = video.signIn(LiveServer::user, LiveServer::password, "Video Viewer");
        return a && a->accepted && b && b->accepted;
    }
    void request(VideoStreamCodec codec, VideoChromaMode chroma) {
        auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, chroma, VideoCaptureBackend::physical);
        request.codec = codec;
        control.send(AuxPacketType::captureModeControl, request.encode());
    }
    std::optional<VideoStreamConfigPayload> config(std::chrono::milliseconds timeout = 20s) {
        auto frame = video.waitFor(AuxPacketType::videoConfig, timeout);
        if (!frame) return std::nullopt;
        return VideoStreamConfigPayload::decode(frame->payload);
    }
    struct Frame {
        VideoFramePayload payload;
        bool keyframe = false;
    };
    std::optional<Frame> frame(std::chrono::milliseconds timeout = 10s) {
        auto raw = video.waitFor(AuxPacketType::videoFrame, timeout);
        if (!raw) return std::nullopt;
        auto payload = VideoFramePayload::decode(raw->payload);
        if (!payload) return std::nullopt;
        return Frame{*payload, (raw->header.flags & VideoFramePayload::keyframeFlag) != 0};
    }
    void ack(std::uint64_t frameNumber) {
        video.send(AuxPacketType::videoFrameAck, VideoFrameAckPayload{frameNumber}.encode());
    }
};

// The small display every video test captures, so encoding stays cheap.
void useSmallDisplay(LiveServer& live, std::int64_t width = streamWidth, std::int64_t height = streamHeight) {
    live.displays()->addDisplay(SimulatedDisplayService::makeDisplay(1, {0, 0}, width, height, width, height, 60, true));
}

Bytes annexB(const std::vector<Bytes>& parameterSets) {
    Bytes out;
    for (const auto& set : parameterSets) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), set.begin(), set.end());
    }
    return out;
}

// The best luma PSNR of a decoded picture against the synthetic source frames from the encoder's
// frame number on (the capture's frame slots run ahead of it by the frames it skipped); the
// content moves every frame, so only the right source frame matches closely.
double bestPSNR(const DecodedPicture& picture, std::uint64_t frameNumber, VideoChromaMode chroma) {
    SyntheticScreenContent content(streamWidth, streamHeight);
    const PixelCrop whole{0, 0, streamWidth, streamHeight};
    double best = 0;
    PixelBuffer source;
    for (std::uint64_t index = frameNumber; index < frameNumber + 400 && best < 30; ++index) {
        content.render(index, source);
        const auto reference = referencePicture(source, whole, static_cast<int>(streamWidth),
                                                static_cast<int>(streamHeight), chroma);
        best = std::max(best, psnr(picture, reference).y);
    }
    return best;
}

}  // namespace

class VideoEndToEnd : public testing::TestWithParam<std::tuple<VideoStreamCodec, VideoChromaMode>> {};

TEST_P(VideoEndToEnd, TheViewerDecodesWhatTheDisplayShows) {
    const auto [codec, chroma] = GetParam();
    LiveServer live;
    useSmallDisplay(live);
    VideoViewer viewer(live);
    ASSERT_TRUE(viewer.signIn());
    viewer.request(codec, chroma);

    auto config = viewer.config();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->codec, codec);
    EXPECT_EQ(config->chromaMode, chroma);
    EXPECT_EQ(config->width, streamWidth);
    EXPECT_EQ(config->height, streamHeight);
    EXPECT_EQ(config->mode, VideoCaptureMode::easy);
    ASSERT_GE(config->parameterSets.size(), codec == VideoStreamCodec::hevc ? 3u : 2u);

    VideoDecoder decoder(codec);
    // The configuration's parameter sets go in front of the first access unit, as a Viewer that
    // joins mid-stream would use them.
    Bytes prefix = annexB(config->parameterSets);
    std::optional<DecodedPicture> last;
    std::uint64_t lastNumber = 0;
    bool sawKeyframeFirst = false;
    for (int i = 0; i < 12; ++i) {
        auto frame = viewer.frame();
        ASSERT_TRUE(frame) << "frame " << i;
        if (i == 0) sawKeyframeFirst = frame->keyframe;
        viewer.ack(frame->payload.frameNumber);
        Bytes unit = std::exchange(prefix, {});
        unit.insert(unit.end(), frame->payload.accessUnit.begin(), frame->payload.accessUnit.end());
        for (auto& picture : decoder.decode(unit)) {
            last = std::move(picture);
            lastNumber = frame->payload.frameNumber;
        }
    }
    EXPECT_TRUE(sawKeyframeFirst);
    EXPECT_EQ(decoder.errorCount(), 0) << decoder.lastError();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->chromaMode, chroma);
    EXPECT_GT(bestPSNR(*last, lastNumber, chroma), 30.0);
}

INSTANTIATE_TEST_SUITE_P(CodecsAndChroma, VideoEndToEnd,
                         testing::Combine(testing::Values(VideoStreamCodec::h264, VideoStreamCodec::hevc),
                                          testing::Values(VideoChromaMode::yuv420, VideoChromaMode::yuv444)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == VideoStreamCodec::h264 ? "H264" : "HEVC") +
                                    (std::get<1>(info.param) == VideoChromaMode::yuv420 ? "_420" : "_444");
                         });

TEST(ServerVideo, StartsTheDefaultModeWhenNoRequestComesAndGivesKeyframesOnRequest) {
    LiveServer live;
    useSmallDisplay(live);
    VideoViewer viewer(live);
    ASSERT_TRUE(viewer.signIn());
    ASSERT_TRUE(viewer.config());
    EXPECT_TRUE(live.waitForStatus("video: no capture request; starting the default Easy mode"));

    // Let the stream settle past its first keyframe, then ask again for the same stream: nothing
    // restarts and a keyframe follows within a few frames.
    for (int i = 0; i < 5; ++i) {
        auto frame = viewer.frame();
        ASSERT_TRUE(frame);
        viewer.ack(frame->payload.frameNumber);
    }
    auto request = live.server().queue->sync([&] { return test::ServerInspector(live.server()).display().currentCaptureRequest(); });
    viewer.control.send(AuxPacketType::captureModeControl, request.encode());
    // Frames already in flight when the request arrived may come first.
    bool keyframe = false;
    for (int i = 0; i < 6 && !keyframe; ++i) {
        auto frame = viewer.frame();
        ASSERT_TRUE(frame);
        viewer.ack(frame->payload.frameNumber);
        keyframe = frame->keyframe;
    }
    EXPECT_TRUE(keyframe);
    EXPECT_TRUE(live.waitForStatus("easy adaptive physical capture unchanged on display 1"));
}

TEST(ServerVideo, AStalledViewerClosesTheGateAndItsAcknowledgementsReopenIt) {
    LiveServer live;
    useSmallDisplay(live);
    VideoViewer viewer(live);
    ASSERT_TRUE(viewer.signIn());
    viewer.request(VideoStreamCodec::h264, VideoChromaMode::yuv420);
    ASSERT_TRUE(viewer.config());
    auto& server = live.server();
    const auto window = server.queue->sync([&] { return test::ServerInspector(server).videoFlow().currentVideoCongestionWindow; });

    // Without acknowledgements the encoder is gated once more than a window is outstanding.
    std::uint64_t newest = 0;
    // The flow state belongs to the server queue: it is read there.
    struct Flow {
        std::int64_t videoEncodeBlocked, videoSendInFlight;
    };
    const auto flow = [&] {
        return server.queue->sync([&] {
            const auto& f = test::ServerInspector(server).videoFlow();
            return Flow{static_cast<std::int64_t>(f.videoEncodeBlocked), static_cast<std::int64_t>(f.videoSendInFlight)};
        });
    };
    ASSERT_TRUE(waitUntil([&] {
        while (auto frame = viewer.frame(0ms)) newest = frame->payload.frameNumber;
        return flow().videoEncodeBlocked == 1;
    }));
    const auto inFlight = flow().videoSendInFlight;
    EXPECT_GT(inFlight, window);
    EXPECT_LE(inFlight, 2 * window + 1);

    // A storm of acknowledgements for a frame never sent changes nothing.
    const WritingLogDetail statistics;  // "video stats" comes once a second
    for (int i = 0; i < 50; ++i) viewer.ack(newest + 1000);
    ASSERT_TRUE(live.waitForStatus("video stats"));
    EXPECT_EQ(flow().videoEncodeBlocked, 1);

    // One cumulative acknowledgement of everything received reopens it.
    while (auto frame = viewer.frame(100ms)) newest = frame->payload.frameNumber;
    viewer.ack(newest);
    EXPECT_TRUE(waitUntil([&] { return flow().videoEncodeBlocked == 0; }));
    EXPECT_TRUE(viewer.frame());
}

TEST(ServerVideo, ASecondViewerKeepsReceivingWhileTheFirstStalls) {
    LiveServer live;
    useSmallDisplay(live);
    VideoViewer stalled(live);
    VideoViewer healthy(live);
    ASSERT_TRUE(stalled.signIn());
    ASSERT_TRUE(healthy.signIn());
    healthy.request(VideoStreamCodec::h264, VideoChromaMode::yuv420);
    ASSERT_TRUE(healthy.config());
    ASSERT_TRUE(stalled.config());

    // The stalled Viewer never acknowledges. Within the gate's 1.5 s grace the healthy Viewer
    // may see a pause; after it, frames flow to the healthy one steadily.
    int received = 0;
    const auto deadline = std::chrono::steady_clock::now() + 4s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto frame = healthy.frame(200ms)) {
            healthy.ack(frame->payload.frameNumber);
            ++received;
        }
    }
    EXPECT_GT(received, 60) << "about 4 s of 60 fps, less the grace";
    // The stalled Viewer was sent no more than about two windows of frames.
    const auto window = live.server().queue->sync([&] { return test::ServerInspector(live.server()).videoFlow().currentVideoCongestionWindow; });
    std::size_t stalledFrames = 0;
    while (stalled.frame(0ms)) ++stalledFrames;
    EXPECT_LE(stalledFrames, static_cast<std::size_t>(2 * window + 2));

    // It leaves in the middle of everything; the healthy Viewer carries on.
    stalled.video.disconnect();
    stalled.control.disconnect();
    ASSERT_TRUE(live.waitForStatus("(video) removed"));
    for (int i = 0; i < 5; ++i) {
        auto frame = healthy.frame();
        ASSERT_TRUE(frame);
        healthy.ack(frame->payload.frameNumber);
    }
}

TEST(ServerVideo, CaptureStopsWithTheLastViewerAndASizeTheEncoderRefusesFallsBack) {
    LiveServer live;
    useSmallDisplay(live, 641, 361);  // odd sizes cannot be carried in 4:2:0
    {
        VideoViewer viewer(live);
        ASSERT_TRUE(viewer.signIn());
        viewer.request(VideoStreamCodec::h264, VideoChromaMode::yuv420);
        auto config = viewer.config();
        ASSERT_TRUE(config);
        EXPECT_EQ(config->width, 640);
        EXPECT_EQ(config->height, 360);
        EXPECT_TRUE(viewer.control.waitForStatus("video: size 641x361 encoded as 640x360 (the encoder needs even dimensions)"));
        EXPECT_TRUE(viewer.frame());
    }
    EXPECT_TRUE(live.waitForStatus("video capture stopped; no Viewer left"));
    EXPECT_TRUE(waitUntil([&] { return live.screenCapture()->runningStreamCount() == 0; }));
    EXPECT_FALSE(live.server().queue->sync([&] { return test::ServerInspector(live.server()).videoCapture() != nullptr; }));
}

TEST(ServerVideo, TheNextViewersCaptureRunsOnTheSameThreadsAndARestartGetsFreshOnes) {
    LiveServer live;
    useSmallDisplay(live);
    auto queuesNow = [&] {
        return live.server().queue->sync([&] {
            auto capture = test::ServerInspector(live.server()).videoCapture();
            return capture ? std::vector<DispatchQueuePtr>{capture->captureQueue, capture->encodeQueue,
                                                           capture->lifecycleQueue}
                           : std::vector<DispatchQueuePtr>{};
        });
    };
    std::vector<DispatchQueuePtr> first;
    {
        VideoViewer viewer(live);
        ASSERT_TRUE(viewer.signIn());
        viewer.request(VideoStreamCodec::h264, VideoChromaMode::yuv420);
        ASSERT_TRUE(viewer.frame());
        first = queuesNow();
        ASSERT_EQ(first.size(), 3u);
    }
    ASSERT_TRUE(live.waitForStatus("video capture stopped; no Viewer left"));
    VideoViewer next(live);
    ASSERT_TRUE(next.signIn());
    ASSERT_TRUE(next.frame());
    EXPECT_EQ(queuesNow(), first);

    // A capture that stops delivering may be stuck on its threads: its replacement gets new ones.
    live.screenCapture()->setBehavior(SimulatedScreenCapture::Behavior::deliversNoFrames);
    next.request(VideoStreamCodec::hevc, VideoChromaMode::yuv420);
    ASSERT_TRUE(live.waitForStatus("video: no frames for 3s on display=1; restarting capture attempt 1/3", 15s));
    live.screenCapture()->setBehavior(SimulatedScreenCapture::Behavior::normal);
    ASSERT_TRUE(waitUntil([&] {
        const auto now = queuesNow();
        return now.size() == 3 && now[0] != first[0] && now[1] != first[1] && now[2] != first[2];
    }, 15s));
}

TEST(ServerVideo, ADisplayThatDeliversNoFramesIsRestarted) {
    LiveServer live;
    useSmallDisplay(live);
    live.screenCapture()->setBehavior(SimulatedScreenCapture::Behavior::deliversNoFrames);
    VideoViewer viewer(live);
    ASSERT_TRUE(viewer.signIn());
    viewer.request(VideoStreamCodec::h264, VideoChromaMode::yuv420);
    ASSERT_TRUE(live.waitForStatus("video: no frames for 3s on display=1; restarting capture attempt 1/3", 15s));
    // Once the display delivers again, the restarted capture streams.
    live.screenCapture()->setBehavior(SimulatedScreenCapture::Behavior::normal);
    EXPECT_TRUE(viewer.config(15s));
    EXPECT_TRUE(viewer.frame());
}

TEST(ServerVideo, HowLongCaptureMayGoWithoutAFrameIsASettingOfTheServer) {
    LiveServer::Setup setup;
    setup.options.zeroFrameWindowsBeforeRecovery = 1;
    LiveServer live(setup);
    useSmallDisplay(live);
    live.screenCapture()->setBehavior(SimulatedScreenCapture::Behavior::deliversNoFrames);
    VideoViewer viewer(live);
    ASSERT_TRUE(viewer.signIn());
    viewer.request(VideoStreamCodec::h264, VideoChromaMode::yuv420);
    ASSERT_TRUE(live.waitForStatus("video: no frames for 1s on display=1; restarting capture attempt 1/3", 15s));
    EXPECT_EQ(live.countStatuses("video: no frames for 3s"), 0u);
}

namespace {

std::int64_t residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) / 1024;
    }
    return 0;
}

// How long the Host takes to sign in a new control connection; none when it does not.
// A sign-in that waited for the hanging encoder or the capture restart would take the whole
// hang (30 s); this bound tells that apart on any machine.
constexpr auto signInHangBound = std::chrono::seconds(15);

std::optional<std::chrono::milliseconds> timeToSignIn(const LiveServer& live) {
    const auto started = std::chrono::steady_clock::now();
    TestViewer newcomer(live.ports().control);
    auto result = newcomer.signIn(LiveServer::user, LiveServer::password, "Newcomer");
    if (!result || !result->accepted) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
}

}  // namespace

TEST(ServerVideo, ARestartNeverWaitsForTheOldCapturesThreads) {
    LiveServer live;
    useSmallDisplay(live);
    VideoViewer viewer(live);
    ASSERT_TRUE(viewer.signIn());
    viewer.request(VideoStreamCodec::h264, VideoChromaMode::yuv420);
    ASSERT_TRUE(viewer.config());
    ASSERT_TRUE(viewer.frame());
    auto capture = live.server().queue->sync([&] { return test::ServerInspector(live.server()).videoCapture(); });
    ASSERT_TRUE(capture);

    // The running capture's encoder hangs on a picture until the test lets it go.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    struct Release {
        std::promise<void>& promise;
        ~Release() { promise.set_value(); }
    } guard{release};
    capture->encodeQueue->async([released] { released.wait_for(30s); });

    // Another codec restarts the stream; the Host keeps answering and the new stream runs.
    viewer.request(VideoStreamCodec::hevc, VideoChromaMode::yuv420);
    const auto signInTime = timeToSignIn(live);
    ASSERT_TRUE(signInTime);
    EXPECT_LT(*signInTime, signInHangBound);
    auto config = viewer.config();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->codec, VideoStreamCodec::hevc);
}

// Bounds: after each request the stream runs again (a config within 20 s, then frames), a new
// Viewer signs in without waiting for the capture, and the whole test process stays below 1.5 GB resident.
TEST(ServerVideo, CaptureRequestExtremesFinishWithinTimeAndMemoryBounds) {
    if (runsUnderThreadSanitizer) GTEST_SKIP() << "its subject is time and memory, which ThreadSanitizer multiplies";
    LiveServer live;
    useSmallDisplay(live);
    VideoViewer viewer(live);
    ASSERT_TRUE(viewer.signIn());

    const auto easy = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                        VideoCaptureBackend::physical);
    auto noRate = easy;
    noRate.fps = 0;
    auto fastest = easy;
    fastest.fps = 4'294'967'295;
    // Easy on a real display sets its own bit rate; the built-in display capture takes the Viewer's.
    auto starved = easy;
    starved.flags |= CaptureModeControlPayload::iosBuiltInDisplayFlag;
    starved.bitrate = 1;
    auto huge = CaptureModeControlPayload::preset(VideoCaptureMode::max, VideoChromaMode::yuv444,
                                                  VideoCaptureBackend::physical);
    huge.pixelWidth = huge.pixelHeight = 8192;
    huge.logicalWidth = huge.logicalHeight = 4096;
    ASSERT_EQ(huge.codec, VideoStreamCodec::hevc);
    // Max needs a display that can show its 3200x1800 points; the request's own pixel size is kept.
    auto modes = live.displays()->display(1)->modes;
    DisplayMode canvas;
    canvas.width = 3200;
    canvas.height = 1800;
    canvas.refreshRate = 60;
    modes.push_back(canvas);
    live.displays()->setModes(1, modes);

    struct Case {
        const char* name;
        CaptureModeControlPayload request;
        std::function<void(const VideoStreamConfigPayload&)> check;
    };
    const std::vector<Case> cases{
        {"fps 0", noRate, [](const auto& config) { EXPECT_EQ(config.fps, 60); }},
        {"fps 2^32-1", fastest, [](const auto& config) { EXPECT_EQ(config.fps, 240); }},
        {"bit rate 1", starved, [](const auto& config) { EXPECT_EQ(config.bitrate, 100'000); }},
        {"8192x8192 HEVC 4:4:4", huge,
         [](const auto& config) {
             EXPECT_EQ(config.chromaMode, VideoChromaMode::yuv444);
             EXPECT_EQ(config.width, config.height);
             EXPECT_LE(config.width * config.height, 4096 * 2304);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        viewer.control.send(AuxPacketType::captureModeControl, c.request.encode());
        auto config = viewer.config(20s);
        ASSERT_TRUE(config);
        c.check(*config);
        for (int i = 0; i < 3; ++i) {
            auto frame = viewer.frame();
            ASSERT_TRUE(frame);
            viewer.ack(frame->payload.frameNumber);
        }
        const auto signInTime = timeToSignIn(live);
        ASSERT_TRUE(signInTime);
        EXPECT_LT(*signInTime, signInHangBound);
        EXPECT_LT(residentMegabytes(), 1536);
    }
    EXPECT_TRUE(viewer.control.waitForStatus("video: size 8192x8192 encoded as 3072x3072 (beyond the HEVC 4:4:4 maximum of 9437184 pixels)"));
}

}  // namespace ServerVideoTests
