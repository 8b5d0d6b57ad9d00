#include <gtest/gtest.h>

#include <deque>

#include "HostApp/Video/HostVideoCapture.h"
#include "HostApp/Video/VideoQueues.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "support/TestPlatform.h"
#include "support/VideoDecoder.h"

namespace HostVideoCaptureTests {

using namespace qm;

namespace {

// A Host with one 640 x 360 pixel display (320 x 180 points, HiDPI) and synthetic capture, all on
// the virtual clock.
struct CaptureRig {
    test::ManualPlatform manual;
    std::shared_ptr<SimulatedDisplayService> displays = std::make_shared<SimulatedDisplayService>(
        std::vector<DisplayInfo>{SimulatedDisplayService::makeDisplay(1, Point{0, 0}, 320, 180, 640, 360, 50, true)}, 1);
    std::shared_ptr<SimulatedScreenCapture> screen = std::make_shared<SimulatedScreenCapture>(displays);

    std::vector<VideoEncoderConfig> configs;
    std::vector<EncodedVideoFrame> frames;
    std::vector<std::string> errors;
    std::vector<std::string> statuses;
    std::vector<std::string> order;  // "config" / "frame" / "key"

    CaptureRig() {
        manual.platform.displays = displays;
        manual.platform.screenCapture = screen;
    }

    static VideoStreamProfile profile(VideoCaptureMode mode = VideoCaptureMode::easy) {
        VideoStreamProfile p;
        p.displayID = 1;
        p.mode = mode;
        p.codec = VideoStreamCodec::h264;
        p.chromaMode = VideoChromaMode::yuv420;
        p.width = 320;
        p.height = 180;
        p.fps = 50;
        p.bitrate = 4'000'000;
        p.keyframeInterval = 1000;
        return p;
    }

    std::shared_ptr<HostVideoCapture> make(VideoStreamProfile p = profile()) {
        auto capture = std::make_shared<HostVideoCapture>(manual.platform, p);
        capture->onConfig = [this](const VideoEncoderConfig& c) {
            configs.push_back(c);
            order.push_back("config");
        };
        capture->onFrame = [this](EncodedVideoFrame f) {
            frames.push_back(f);
            order.push_back(f.isKeyframe ? "key" : "frame");
        };
        capture->onError = [this](const std::string& e) { errors.push_back(e); };
        capture->onStatus = [this](const std::string& s) { statuses.push_back(s); };
        return capture;
    }

    void advanceFrames(int count) { manual.clock->advance(0.02 * count); }
};

// An encode queue that runs nothing until the test lets it: an encoder that is still busy.
class HeldQueue final : public DispatchQueue {
public:
    HeldQueue(std::string label, std::shared_ptr<ManualClock> clock) : DispatchQueue(std::move(label)), clock_(std::move(clock)) {}
    void async(std::function<void()> block) override { blocks_.push_back(std::move(block)); }
    void asyncAfter(double, DispatchWorkItemPtr item) override {
        async([item] { item->perform(); });
    }
    bool isCurrent() const override { return running_; }
    const Clock& clock() const override { return *clock_; }
    std::size_t pending() const { return blocks_.size(); }
    // Runs the oldest block held, if any.
    void releaseOne() {
        if (blocks_.empty()) return;
        auto block = std::move(blocks_.front());
        blocks_.pop_front();
        runSync(block);
    }
    // Runs what is held, in order.
    void release() {
        while (!blocks_.empty()) {
            auto block = std::move(blocks_.front());
            blocks_.pop_front();
            runSync(block);
        }
    }

protected:
    void runSync(const std::function<void()>& block) override {
        running_ = true;
        block();
        running_ = false;
    }

private:
    std::shared_ptr<ManualClock> clock_;
    std::deque<std::function<void()>> blocks_;
    bool running_ = false;
};

// Every case starts from one rig; a case that needs a second, or a fresh one, makes its own.
class HostVideoCaptureTest : public ::testing::Test {
protected:
    // Captures made after this run the queue of that label only when the test releases it.
    std::shared_ptr<HeldQueue> holdQueue(const std::string& heldLabel) {
        auto held = std::make_shared<HeldQueue>(heldLabel, rig.manual.clock);
        auto makeQueue = rig.manual.platform.makeQueue;
        rig.manual.platform.makeQueue = [makeQueue, held, heldLabel](const std::string& label) -> DispatchQueuePtr {
            if (label == heldLabel) return held;
            return makeQueue(label);
        };
        return held;
    }
    std::shared_ptr<HeldQueue> holdEncodeQueue() { return holdQueue(VideoQueueLabels::encode); }

    CaptureRig rig;
};

}  // namespace

TEST_F(HostVideoCaptureTest, CapturesScalesAndEncodesOneFramePerInterval) {
    auto capture = rig.make();
    capture->start();
    rig.manual.clock->runUntilIdle();
    ASSERT_TRUE(rig.errors.empty()) << rig.errors[0];
    ASSERT_TRUE(capture->encoder());
    EXPECT_EQ(capture->capturedDisplayID(), 1u);
    EXPECT_EQ(rig.statuses, std::vector<std::string>{
                                "capture started display=1 source=640x360 stream=320x180 H.264 4:2:0 50 fps 4000000 bps (libx264)"});
    // Capture runs at the display's pixel size and the profile's rate.
    EXPECT_EQ(rig.screen->lastStartedConfiguration()->width, 640);
    EXPECT_DOUBLE_EQ(rig.screen->lastStartedConfiguration()->minimumFrameInterval, 0.02);

    rig.advanceFrames(8);
    ASSERT_EQ(rig.frames.size(), 8u);
    EXPECT_EQ(capture->statistics().captured, 8);
    EXPECT_EQ(capture->statistics().encoded, 8);
    // The configuration comes once, before the first keyframe.
    EXPECT_EQ(rig.order, (std::vector<std::string>{"config", "key", "frame", "frame", "frame", "frame", "frame", "frame", "frame"}));
    ASSERT_EQ(rig.configs.size(), 1u);
    EXPECT_EQ(rig.configs[0].width, 320);

    // Each decoded frame matches the synthetic source of its slot, scaled down.
    test::VideoDecoder decoder(VideoStreamCodec::h264);
    SyntheticScreenContent source(640, 360);
    for (std::size_t i = 0; i < rig.frames.size(); ++i) {
        EXPECT_EQ(rig.frames[i].frameNumber, static_cast<std::int64_t>(i));
        auto pictures = decoder.decode(rig.frames[i].data());
        ASSERT_EQ(pictures.size(), 1u) << decoder.lastError();
        auto reference = test::referencePicture(source.makeFrame(i), PixelCrop{0, 0, 640, 360}, 320, 180,
                                                VideoChromaMode::yuv420);
        // The first keyframe fits one frame's budget and may be soft; the frames after it sharpen.
        EXPECT_GT(test::psnr(pictures[0], reference).y, i == 0 ? 22.0 : 30.0) << "frame " << i;
    }
    capture->stop(true);
}

TEST_F(HostVideoCaptureTest, CongestionDropsFramesAndKeyframeRequestsAreServed) {
    auto capture = rig.make();
    capture->start();
    rig.advanceFrames(3);
    ASSERT_EQ(rig.frames.size(), 3u);

    capture->setEncodeBlocked(true);
    capture->requestKeyframe();
    rig.advanceFrames(4);
    EXPECT_EQ(rig.frames.size(), 3u) << "dropped before encoding";
    EXPECT_EQ(capture->statistics().captured, 7);
    EXPECT_EQ(capture->statistics().dropped, 4);
    EXPECT_TRUE(capture->isKeyframeRequested()) << "a request waits for a frame that is encoded";

    capture->setEncodeBlocked(false);
    rig.advanceFrames(3);
    ASSERT_EQ(rig.frames.size(), 6u);
    EXPECT_TRUE(rig.frames[3].isKeyframe);
    EXPECT_FALSE(rig.frames[4].isKeyframe);
    EXPECT_FALSE(capture->isKeyframeRequested());
    EXPECT_EQ(capture->statistics().encoded, 6);

    // A Viewer joining at the requested keyframe decodes from there on.
    test::VideoDecoder late(VideoStreamCodec::h264);
    for (std::size_t i = 3; i < 6; ++i) EXPECT_EQ(late.decode(rig.frames[i].data()).size(), 1u);
    EXPECT_EQ(late.errorCount(), 0);
    capture->stop(true);
}

TEST_F(HostVideoCaptureTest, ABusyEncoderGetsTwoFramesAtMostAndEachKeepsItsOwnPicture) {
    auto held = holdEncodeQueue();
    auto capture = rig.make();
    capture->start();
    rig.advanceFrames(4);
    EXPECT_EQ(held->pending(), 2u);
    EXPECT_EQ(capture->statistics().captured, 4);
    EXPECT_EQ(capture->statistics().dropped, 2);
    EXPECT_TRUE(rig.frames.empty());
    held->release();
    EXPECT_EQ(rig.order, (std::vector<std::string>{"config", "key", "frame"}));

    // A keyframe request waits for a picture the encoder takes, not one that is converted.
    capture->requestKeyframe();
    rig.advanceFrames(3);
    EXPECT_EQ(capture->statistics().dropped, 3);
    EXPECT_TRUE(capture->isKeyframeRequested());
    held->release();
    ASSERT_EQ(rig.frames.size(), 4u);
    EXPECT_TRUE(rig.frames[2].isKeyframe);
    EXPECT_FALSE(rig.frames[3].isKeyframe);
    EXPECT_FALSE(capture->isKeyframeRequested());

    // Both pictures were converted before either was encoded: each still shows its own frame.
    test::VideoDecoder decoder(VideoStreamCodec::h264);
    SyntheticScreenContent source(640, 360);
    const std::uint64_t slots[] = {0, 1, 4, 5};
    for (std::size_t i = 0; i < rig.frames.size(); ++i) {
        auto pictures = decoder.decode(rig.frames[i].data());
        ASSERT_EQ(pictures.size(), 1u) << decoder.lastError();
        auto own = test::referencePicture(source.makeFrame(slots[i]), PixelCrop{0, 0, 640, 360}, 320, 180,
                                          VideoChromaMode::yuv420);
        const double ownPSNR = test::psnr(pictures[0], own).y;
        EXPECT_GT(ownPSNR, i == 0 ? 22.0 : 25.0) << "frame " << i;
        if (i >= 2) {
            // The two held pictures are close: each must resemble its own frame clearly more.
            auto other = test::referencePicture(source.makeFrame(slots[5 - i]), PixelCrop{0, 0, 640, 360}, 320, 180,
                                                VideoChromaMode::yuv420);
            EXPECT_GT(ownPSNR, test::psnr(pictures[0], other).y + 3.0) << "frame " << i;
        }
    }

    // Pictures handed over before a stop are never encoded nor reported.
    rig.advanceFrames(2);
    ASSERT_EQ(held->pending(), 2u);
    capture->stop(true);
    held->release();
    EXPECT_EQ(rig.frames.size(), 4u);
    EXPECT_EQ(capture->statistics().encoded, 4);
}

TEST_F(HostVideoCaptureTest, MaxModeEncodesTheViewportRegionOnly) {
    auto capture = rig.make(CaptureRig::profile(VideoCaptureMode::max));
    // The upper right quarter (y from the bottom edge).
    capture->setViewportROI(Rect(0.5, 0.5, 0.5, 0.5));
    capture->start();
    rig.advanceFrames(2);
    ASSERT_EQ(rig.frames.size(), 2u);

    test::VideoDecoder decoder(VideoStreamCodec::h264);
    decoder.decode(rig.frames[0].data());
    auto pictures = decoder.decode(rig.frames[1].data());
    ASSERT_EQ(pictures.size(), 1u);
    SyntheticScreenContent source(640, 360);
    const PixelBuffer frame1 = source.makeFrame(1);
    auto region = test::referencePicture(frame1, PixelCrop{320, 0, 320, 180}, 320, 180, VideoChromaMode::yuv420);
    auto whole = test::referencePicture(frame1, PixelCrop{0, 0, 640, 360}, 320, 180, VideoChromaMode::yuv420);
    EXPECT_GT(test::psnr(pictures[0], region).y, 30.0);
    EXPECT_LT(test::psnr(pictures[0], whole).y, 20.0);

    // Outside mode max the region is kept for the owner but capture shows the whole display.
    CaptureRig easyRig;
    auto easy = easyRig.make();
    easy->setViewportROI(Rect(0.5, 0.5, 0.5, 0.5));
    easy->start();
    easyRig.advanceFrames(2);
    ASSERT_EQ(easyRig.frames.size(), 2u);
    test::VideoDecoder easyDecoder(VideoStreamCodec::h264);
    easyDecoder.decode(easyRig.frames[0].data());
    auto easyPictures = easyDecoder.decode(easyRig.frames[1].data());
    ASSERT_EQ(easyPictures.size(), 1u);
    EXPECT_GT(test::psnr(easyPictures[0], whole).y, 30.0);
    capture->stop(true);
    easy->stop(true);
}

TEST_F(HostVideoCaptureTest, ViewportRegionIsClampedOrCleared) {
    auto capture = rig.make();
    auto stored = [&] { return capture->viewportROI(); };
    capture->setViewportROI(Rect(0.25, 0.25, 0.5, 0.5));
    EXPECT_EQ(stored(), Rect(0.25, 0.25, 0.5, 0.5));
    capture->setViewportROI(Rect(-0.5, 0.5, 1.0, 1.0));
    EXPECT_EQ(stored(), Rect(0, 0.5, 0.5, 0.5));
    capture->setViewportROI(Rect(0.2, 0.2, std::numeric_limits<double>::infinity(), 0.1));
    EXPECT_FALSE(stored());
    capture->setViewportROI(Rect(0.2, 0.2, 0.5, 0.5));
    capture->setViewportROI(Rect(1.5, 0.2, 0.5, 0.5));
    EXPECT_FALSE(stored());
    capture->setViewportROI(Rect(0.2, 0.2, 0.5, 0.5));
    capture->setViewportROI(std::nullopt);
    EXPECT_FALSE(stored());
}

TEST_F(HostVideoCaptureTest, StartFailuresAreReportedClearly) {
    {
        rig.screen->setBehavior(SimulatedScreenCapture::Behavior::failsToStart);
        auto capture = rig.make();
        capture->start();
        rig.advanceFrames(5);
        ASSERT_EQ(rig.errors.size(), 1u);
        EXPECT_EQ(rig.errors[0], "capture failed to start: simulated capture failure: the stream could not start");
        EXPECT_FALSE(capture->encoder());
        EXPECT_TRUE(rig.frames.empty());
        capture->stop(true);
    }
    {
        CaptureRig fresh;
        auto p = CaptureRig::profile();
        p.displayID = 7;
        auto capture = fresh.make(p);
        capture->start();
        fresh.manual.clock->runUntilIdle();
        EXPECT_EQ(fresh.errors, std::vector<std::string>{"target display 7 unavailable for capture. available=1"});
        EXPECT_EQ(fresh.screen->startedStreamCount(), 0);
    }
    {
        CaptureRig fresh;
        fresh.screen->setShareableContentError("screen recording not permitted");
        auto capture = fresh.make();
        capture->start();
        fresh.manual.clock->runUntilIdle();
        EXPECT_EQ(fresh.errors, std::vector<std::string>{"capture: shareable content unavailable: screen recording not permitted"});
    }
    {
        // Display 0 means "the main display".
        CaptureRig fresh;
        auto p = CaptureRig::profile();
        p.displayID = 0;
        auto capture = fresh.make(p);
        capture->start();
        fresh.advanceFrames(1);
        EXPECT_TRUE(fresh.errors.empty());
        EXPECT_EQ(capture->capturedDisplayID(), 1u);
        EXPECT_EQ(fresh.frames.size(), 1u);
        capture->stop(true);
    }
}

TEST_F(HostVideoCaptureTest, SilentStreamAndUnpluggedDisplay) {
    rig.screen->setBehavior(SimulatedScreenCapture::Behavior::deliversNoFrames);
    auto silent = rig.make();
    silent->start();
    rig.advanceFrames(50);
    EXPECT_TRUE(rig.errors.empty());
    EXPECT_EQ(silent->statistics().captured, 0) << "what the owner's zero-frame watchdog sees";
    EXPECT_TRUE(rig.frames.empty());
    silent->stop(true);

    rig.screen->setBehavior(SimulatedScreenCapture::Behavior::normal);
    auto capture = rig.make();
    capture->start();
    rig.advanceFrames(2);
    rig.displays->removeDisplay(1);
    rig.advanceFrames(2);
    EXPECT_EQ(rig.errors, std::vector<std::string>{"capture stream stopped: display 1 is no longer available"});
    EXPECT_EQ(rig.frames.size(), 2u);
    capture->stop(true);
}

TEST_F(HostVideoCaptureTest, StopEndsEverythingAndNoCallbackFollows) {
    auto capture = rig.make();
    capture->start();
    rig.advanceFrames(2);
    ASSERT_EQ(rig.screen->runningStreamCount(), 1);

    capture->stop(true);
    EXPECT_EQ(rig.screen->runningStreamCount(), 0);
    EXPECT_FALSE(capture->encoder());
    rig.advanceFrames(5);
    EXPECT_EQ(rig.frames.size(), 2u);
    capture->stop(true);  // a second stop finds nothing to do

    // Stop without waiting, then let go at once: the stop still completes.
    auto dropped = rig.make();
    dropped->start();
    rig.advanceFrames(1);
    std::weak_ptr<HostVideoCapture> weak = dropped;
    dropped->stop(false);
    dropped.reset();
    EXPECT_EQ(rig.screen->runningStreamCount(), 1) << "the stop runs on the lifecycle queue";
    rig.manual.clock->runUntilIdle();
    EXPECT_EQ(rig.screen->runningStreamCount(), 0);
    EXPECT_TRUE(weak.expired());

    // A stop before the start ran: nothing starts and nothing is reported.
    auto early = rig.make();
    const auto started = rig.screen->startedStreamCount();
    const auto errorsBefore = rig.errors.size();
    early->start();
    early->stop(true);
    rig.advanceFrames(3);
    EXPECT_EQ(rig.screen->startedStreamCount(), started);
    EXPECT_EQ(rig.errors.size(), errorsBefore);
}

TEST_F(HostVideoCaptureTest, RateChangesHopToTheLifecycleQueueAndReconfigure) {
    auto capture = rig.make();
    capture->start();
    rig.advanceFrames(3);
    ASSERT_EQ(rig.configs.size(), 1u);

    capture->updateRateControl(25, 2'000'000);
    EXPECT_EQ(rig.manual.queue(VideoQueueLabels::lifecycle)->runUntilIdle(), 1u);
    EXPECT_EQ(capture->encoder()->config().fps, 50) << "applied by the encoder at its next picture";
    rig.advanceFrames(2);
    ASSERT_EQ(rig.configs.size(), 2u);
    EXPECT_EQ(rig.configs[1].fps, 25);
    EXPECT_EQ(rig.configs[1].bitrate, 2'000'000);
    EXPECT_EQ(rig.order[4], "config");
    EXPECT_EQ(rig.order[5], "key");

    test::VideoDecoder decoder(VideoStreamCodec::h264);
    for (auto& frame : rig.frames) EXPECT_EQ(decoder.decode(frame.data()).size(), 1u);
    EXPECT_EQ(decoder.errorCount(), 0) << decoder.lastError();

    // A change for a capture that has gone does nothing.
    capture->stop(true);
    capture->updateRateControl(10, 1'000'000);
    rig.manual.clock->runUntilIdle();
    EXPECT_EQ(rig.configs.size(), 2u);
}

TEST_F(HostVideoCaptureTest, ReplacedHEVCSessionsCloseOffTheEncodeQueueAndNoFrameWaitsForThem) {
    // Closing a libx265 session codes one more picture first; a Viewer adapting its rate must not
    // see its stream wait for that. The close queue runs nothing here until the test lets it, so
    // every frame that came out before that did not wait for any close.
    auto closing = holdQueue(VideoQueueLabels::close);
    auto profile = CaptureRig::profile();
    profile.codec = VideoStreamCodec::hevc;
    profile.fps = 2;  // few pictures for the 10 s between rate reopens
    auto capture = rig.make(profile);
    capture->start();
    rig.manual.clock->advance(1.0);
    ASSERT_EQ(rig.configs.size(), 1u);

    constexpr int reopens = 20;
    for (int i = 0; i < reopens; ++i) {
        capture->updateRateControl(profile.fps, i % 2 ? 3'000'000 : 2'000'000);
        rig.manual.clock->advance(static_cast<double>(VideoEncoder::rateReopenSpacingNs) / 1e9 + 0.5);
    }
    ASSERT_TRUE(rig.errors.empty()) << rig.errors[0];
    EXPECT_EQ(rig.configs.size(), reopens + 1u) << "every change reopened the encoder";
    EXPECT_EQ(closing->pending(), static_cast<std::size_t>(reopens)) << "each replaced session waits to be closed";

    const auto statistics = capture->statistics();
    EXPECT_EQ(statistics.dropped, 0);
    EXPECT_EQ(statistics.encoded, statistics.captured);
    ASSERT_EQ(rig.frames.size(), static_cast<std::size_t>(statistics.captured));
    test::VideoDecoder decoder(VideoStreamCodec::hevc);
    int keyframes = 0;
    for (std::size_t i = 0; i < rig.frames.size(); ++i) {
        EXPECT_EQ(rig.frames[i].frameNumber, static_cast<std::int64_t>(i)) << "every frame, in order";
        EXPECT_EQ(decoder.decode(rig.frames[i].data()).size(), 1u) << "frame " << i;
        keyframes += rig.frames[i].isKeyframe ? 1 : 0;
    }
    EXPECT_EQ(keyframes, reopens + 1) << "the closing pictures stay out of the stream";
    EXPECT_EQ(decoder.errorCount(), 0) << decoder.lastError();

    // The stream's own session goes the same way when it stops; closing codes nothing more for it.
    capture->stop(true);
    EXPECT_EQ(closing->pending(), reopens + 1u);
    const auto framesBefore = rig.frames.size();
    closing->release();
    EXPECT_EQ(closing->pending(), 0u);
    EXPECT_EQ(rig.frames.size(), framesBefore);
    EXPECT_TRUE(rig.errors.empty());
}

TEST_F(HostVideoCaptureTest, RunsOnRealQueuesAndStopsCleanly) {
    HostPlatform platform;
    platform.clock = SystemClock::shared();
    platform.makeQueue = [](const std::string& label) -> DispatchQueuePtr {
        return std::make_shared<AsioDispatchQueue>(label);
    };
    auto displays = std::make_shared<SimulatedDisplayService>(
        std::vector<DisplayInfo>{SimulatedDisplayService::makeDisplay(1, Point{0, 0}, 320, 180, 320, 180)}, 1);
    auto screen = std::make_shared<SimulatedScreenCapture>(displays);
    platform.displays = displays;
    platform.screenCapture = screen;

    std::mutex mutex;  // these outlive the capture, whose threads write them
    std::vector<EncodedVideoFrame> frames;
    int configs = 0;
    auto capture = std::make_shared<HostVideoCapture>(platform, CaptureRig::profile());
    capture->onConfig = [&](const VideoEncoderConfig&) {
        std::lock_guard lock(mutex);
        ++configs;
    };
    capture->onFrame = [&](EncodedVideoFrame frame) {
        std::lock_guard lock(mutex);
        frames.push_back(frame);
    };
    capture->start();
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return frames.size() >= 3;
    }));
    capture->stop(true);
    EXPECT_EQ(screen->runningStreamCount(), 0);
    std::size_t count;
    {
        std::lock_guard lock(mutex);
        count = frames.size();
        EXPECT_EQ(configs, 1);
        EXPECT_TRUE(frames[0].isKeyframe);
        EXPECT_LT(frames[0].captureUptimeNs, frames[1].captureUptimeNs);
    }
    capture->captureQueue->sync([] {});
    std::lock_guard lock(mutex);
    EXPECT_EQ(frames.size(), count);
}

TEST_F(HostVideoCaptureTest, SimulatedCaptureMarksFramesThatShowNothingNew) {
    StreamConfiguration fiftyHertz;
    fiftyHertz.minimumFrameInterval = 0.02;
    auto stream = rig.screen->makeStream(1, fiftyHertz);
    std::vector<CapturedFrame> frames;
    stream->addScreenOutput(rig.manual.platform.makeQueue("frames"), [&](const CapturedFrame& frame) { frames.push_back(frame); });
    rig.screen->setMotion(SimulatedScreenCapture::Motion::scrolling);
    stream->startCapture(nullptr);
    rig.advanceFrames(3);
    rig.screen->setMotion(SimulatedScreenCapture::Motion::still);
    rig.advanceFrames(3);
    rig.screen->setMotion(SimulatedScreenCapture::Motion::moving);
    rig.advanceFrames(2);
    stream->stopCapture(nullptr);
    ASSERT_EQ(frames.size(), 8u);
    const std::vector<bool> unchanged{false, false, false, true, true, true, false, false};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].unchanged, unchanged[i]) << "frame " << i;
        // What changed is named for every frame that changed after the first.
        EXPECT_EQ(frames[i].changedRegion.has_value(), i > 0 && !unchanged[i]) << "frame " << i;
    }

    // Scrolling leaves the block where it was; standing still keeps the last picture exactly.
    SyntheticScreenContent content(640, 360);
    PixelBuffer scrolled;
    content.render(SyntheticScreenContent::Moment{2, 0}, scrolled);
    EXPECT_EQ(frames[2].pixelBuffer->data, scrolled.data);
    EXPECT_NE(frames[2].pixelBuffer->data, content.makeFrame(2).data);
    EXPECT_EQ(frames[5].pixelBuffer->data, scrolled.data);
    EXPECT_EQ(frames[7].pixelBuffer->data, content.makeFrame(7).data);
}

TEST_F(HostVideoCaptureTest, AStillScreenIsEncodedRarelyYetStaysSharpAndServesKeyframes) {
    rig.screen->setMotion(SimulatedScreenCapture::Motion::still);
    auto capture = rig.make();
    capture->start();
    // 50 fps: the first frame, 25 repeats while it settles, then one in every 5.
    rig.advanceFrames(50);
    auto first = capture->takeStatistics();
    EXPECT_EQ(first.captured, 50);
    EXPECT_EQ(first.encoded, 1 + 25 + 4);
    EXPECT_EQ(first.dropped, 0);
    const std::size_t settled = rig.frames.size();
    rig.advanceFrames(50);
    auto second = capture->takeStatistics();
    EXPECT_EQ(second.captured, 50) << "capture goes on, so zero-frame recovery still sees frames";
    EXPECT_EQ(second.encoded, 10);
    EXPECT_EQ(second.unchanged, 40);
    std::size_t stillBytes = 0;
    for (std::size_t i = settled; i < rig.frames.size(); ++i) stillBytes += rig.frames[i].data().size();
    EXPECT_LT(stillBytes * 8, 20'000u) << "a settled still screen costs next to no bits";

    // What a Viewer decodes is the screen, sharp (text of 3 x 5 pixel glyphs, halved: about 40 dB).
    SyntheticScreenContent source(640, 360);
    const auto reference = test::referencePicture(source.makeFrame(0), PixelCrop{0, 0, 640, 360}, 320, 180,
                                                  VideoChromaMode::yuv420);
    test::VideoDecoder decoder(VideoStreamCodec::h264);
    std::vector<test::DecodedPicture> decoded;
    for (auto& frame : rig.frames) {
        for (auto& picture : decoder.decode(frame.data())) decoded.push_back(std::move(picture));
    }
    ASSERT_EQ(decoded.size(), rig.frames.size()) << decoder.lastError();
    EXPECT_GT(test::psnr(decoded.back(), reference).y, 38.0);

    // A keyframe request is served by the next frame, not the next repeat.
    capture->requestKeyframe();
    const std::size_t before = rig.frames.size();
    rig.advanceFrames(1);
    ASSERT_EQ(rig.frames.size(), before + 1);
    EXPECT_TRUE(rig.frames.back().isKeyframe);
    test::VideoDecoder joining(VideoStreamCodec::h264);
    auto joined = joining.decode(rig.frames.back().data());
    ASSERT_EQ(joined.size(), 1u);
    EXPECT_GT(test::psnr(joined[0], reference).y, 25.0);

    // Motion again: every frame is converted and encoded.
    rig.screen->setMotion(SimulatedScreenCapture::Motion::moving);
    rig.advanceFrames(5);
    EXPECT_EQ(rig.frames.size(), before + 6);
    capture->stop(true);
}

TEST_F(HostVideoCaptureTest, AChangeDroppedWhileBlockedIsNotReplacedByTheOldPicture) {
    auto capture = rig.make();
    capture->start();
    rig.advanceFrames(2);  // slots 0 and 1
    capture->setEncodeBlocked(true);
    rig.advanceFrames(3);  // slots 2 to 4 move on and are dropped
    rig.screen->setMotion(SimulatedScreenCapture::Motion::still);
    rig.advanceFrames(1);  // slot 5 shows slot 4's picture, unchanged, dropped too
    capture->setEncodeBlocked(false);
    rig.advanceFrames(1);  // unchanged, but the Viewers never had this picture
    ASSERT_EQ(rig.frames.size(), 3u);

    test::VideoDecoder decoder(VideoStreamCodec::h264);
    std::vector<test::DecodedPicture> decoded;
    for (auto& frame : rig.frames) {
        for (auto& picture : decoder.decode(frame.data())) decoded.push_back(std::move(picture));
    }
    ASSERT_EQ(decoded.size(), 3u);
    SyntheticScreenContent source(640, 360);
    auto shown = [&](std::uint64_t slot) {
        return test::psnr(decoded.back(), test::referencePicture(source.makeFrame(slot), PixelCrop{0, 0, 640, 360}, 320,
                                                                 180, VideoChromaMode::yuv420))
            .y;
    };
    EXPECT_GT(shown(4), shown(1) + 3.0);
    capture->stop(true);
}

TEST_F(HostVideoCaptureTest, FramesCapturedWhileTheFirstKeyframeIsEncodedWaitAndEachShowsItsOwnPicture) {
    auto held = holdEncodeQueue();
    // At the display's own size, so that each picture is converted only where the screen changed.
    auto profile = CaptureRig::profile();
    profile.width = 640;
    profile.height = 360;
    auto capture = rig.make(profile);
    capture->setStartBacklog(HostVideoCapture::startBacklogFor(3));
    // What goes out past a closed gate stays within W + 4 and 2 W (past which a Viewer counts as
    // fallen behind): the backlog and the picture being converted.
    EXPECT_EQ(HostVideoCapture::startBacklogFor(3), 5);
    EXPECT_EQ(HostVideoCapture::startBacklogFor(6), 9);
    EXPECT_EQ(HostVideoCapture::startBacklogFor(8), 11);
    capture->start();
    rig.advanceFrames(7);
    EXPECT_FALSE(capture->hasEncodedFirstPicture());
    EXPECT_EQ(held->pending(), 5u) << "the first keyframe's backlog";
    EXPECT_EQ(capture->statistics().dropped, 2);
    held->release();
    EXPECT_TRUE(capture->hasEncodedFirstPicture());

    // Then the usual two.
    rig.advanceFrames(4);
    EXPECT_EQ(held->pending(), 2u);
    EXPECT_EQ(capture->statistics().dropped, 4);
    held->release();
    rig.advanceFrames(3);
    held->release();
    ASSERT_EQ(rig.frames.size(), 5u + 2u + 2u);

    // Pictures converted in part from the ones before them, across frames that were dropped,
    // still show their own frame.
    const std::uint64_t slots[] = {0, 1, 2, 3, 4, 7, 8, 11, 12};
    test::VideoDecoder decoder(VideoStreamCodec::h264);
    SyntheticScreenContent source(640, 360);
    for (std::size_t i = 0; i < rig.frames.size(); ++i) {
        auto pictures = decoder.decode(rig.frames[i].data());
        ASSERT_EQ(pictures.size(), 1u) << decoder.lastError();
        const auto own = test::referencePicture(source.makeFrame(slots[i]), PixelCrop{0, 0, 640, 360}, 640, 360,
                                                VideoChromaMode::yuv420);
        const auto before = test::referencePicture(source.makeFrame(slots[i] - (i > 0 ? 1 : 0)),
                                                   PixelCrop{0, 0, 640, 360}, 640, 360, VideoChromaMode::yuv420);
        const double ownPSNR = test::psnr(pictures[0], own).y;
        EXPECT_GT(ownPSNR, 28.0) << "frame " << i;
        if (i > 0) {
            EXPECT_GT(ownPSNR, test::psnr(pictures[0], before).y + 1.0) << "frame " << i;
        }
    }
    capture->stop(true);
}

TEST_F(HostVideoCaptureTest, WhileTheEncoderCatchesUpAfterTheFirstKeyframeOnlyUnacknowledgedFramesShrinkTheBacklog) {
    auto held = holdEncodeQueue();
    auto capture = rig.make();
    const int startBacklog = HostVideoCapture::startBacklogFor(3);  // 5
    capture->setStartBacklog(startBacklog);
    capture->start();
    rig.advanceFrames(5);
    ASSERT_EQ(held->pending(), 5u) << "the first keyframe's backlog";

    // The keyframe is done and sent; until the Viewer acknowledges it, it takes a place.
    held->releaseOne();
    ASSERT_EQ(rig.frames.size(), 1u);
    EXPECT_TRUE(capture->hasEncodedFirstPicture());
    rig.advanceFrames(1);
    EXPECT_EQ(held->pending(), 4u);
    EXPECT_EQ(capture->statistics().dropped, 1);
    capture->setOldestUnacknowledged(1);  // acknowledged
    rig.advanceFrames(1);
    EXPECT_EQ(held->pending(), 5u) << "the frames captured meanwhile are kept, not dropped";
    rig.advanceFrames(1);
    EXPECT_EQ(held->pending(), 5u);
    EXPECT_EQ(capture->statistics().dropped, 2);

    // What a Viewer that stops acknowledging still receives stays within the start backlog and
    // the picture being converted: each frame sent and not acknowledged takes a place.
    held->releaseOne();
    held->releaseOne();
    ASSERT_EQ(rig.frames.size(), 3u);
    rig.advanceFrames(1);
    EXPECT_EQ(held->pending(), 3u) << "two unacknowledged: three may wait";
    EXPECT_EQ(capture->statistics().dropped, 3);
    for (std::int64_t unacknowledged = 0; unacknowledged <= 10; ++unacknowledged) {
        const int backlog =
            HostVideoCapture::encoderBacklog(HostVideoCapture::StartPhase::catchingUp, startBacklog, unacknowledged);
        if (backlog > 2) {
            EXPECT_LE(backlog + unacknowledged, startBacklog);
        }
        EXPECT_GE(backlog, 2);
    }

    // Caught up: the usual two from then on, acknowledged or not.
    capture->setOldestUnacknowledged(3);
    held->release();
    rig.advanceFrames(1);
    held->releaseOne();
    capture->setOldestUnacknowledged(static_cast<std::int64_t>(rig.frames.size()));
    rig.advanceFrames(4);
    EXPECT_EQ(held->pending(), 2u);
    held->release();
    capture->stop(true);
}

TEST_F(HostVideoCaptureTest, AnEncoderThatDoesNotCatchUpWithinTheFirstSecondGetsTheUsualBacklog) {
    auto held = holdEncodeQueue();
    auto capture = rig.make();  // 50 fps
    capture->setStartBacklog(HostVideoCapture::startBacklogFor(3));
    capture->start();
    rig.advanceFrames(5);
    held->releaseOne();
    // An encoder that takes as long as a frame interval: it stays four behind, and the Viewer
    // acknowledges at once.
    for (int frame = 5; frame < 50; ++frame) {
        capture->setOldestUnacknowledged(static_cast<std::int64_t>(rig.frames.size()));
        rig.advanceFrames(1);
        held->releaseOne();
        EXPECT_GE(held->pending(), 4u) << "frame " << frame;
    }
    EXPECT_EQ(capture->statistics().dropped, 0) << "every frame of the first second kept";
    capture->setOldestUnacknowledged(static_cast<std::int64_t>(rig.frames.size()));
    rig.advanceFrames(2);
    EXPECT_LE(held->pending(), 4u);
    EXPECT_GT(capture->statistics().dropped, 0) << "after it, no more than two wait";
    held->release();
    capture->stop(true);
}

}  // namespace HostVideoCaptureTests
