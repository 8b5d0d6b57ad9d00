#include <gtest/gtest.h>

#include <array>

#include "Platform/Displays.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "Platform/ScreenCapture.h"

namespace DisplaysAndScreenCaptureTests {

using namespace qm;

TEST(SimulatedDisplayService, DefaultTopologyAndScriptedChanges) {
    auto displays = std::make_shared<SimulatedDisplayService>();
    ASSERT_EQ(displays->activeDisplayIDs(), std::vector<DisplayID>{1});
    EXPECT_EQ(displays->mainDisplayID(), 1u);
    auto builtIn = displays->display(1);
    ASSERT_TRUE(builtIn);
    EXPECT_TRUE(builtIn->isBuiltin);
    EXPECT_EQ(builtIn->bounds, Rect(0, 0, 1920, 1080));
    EXPECT_EQ(builtIn->currentMode->effectivePixelWidth(), 1920);
    EXPECT_EQ(builtIn->currentMode->refreshRate, 60);
    EXPECT_FALSE(builtIn->currentMode->isHiDPI());

    // A HiDPI external display to the right; an inactive one is listed online but not active.
    displays->addDisplay(SimulatedDisplayService::makeDisplay(2, Point{1920, 0}, 1512, 982, 3024, 1964));
    auto inactive = SimulatedDisplayService::makeDisplay(3, Point{-800, 0}, 800, 600, 800, 600);
    inactive.isActive = false;
    displays->addDisplay(inactive);
    EXPECT_EQ(displays->activeDisplayIDs(), (std::vector<DisplayID>{1, 2}));
    EXPECT_EQ(displays->onlineDisplays().size(), 3u);
    EXPECT_TRUE(displays->currentMode(2)->isHiDPI());

    // A mode change moves the bounds with it; 1.25 pixels per point is not HiDPI.
    ASSERT_TRUE(displays->setCurrentMode(1, DisplayMode{1280, 720, 1600, 900, 60, 7, 0, true}));
    EXPECT_EQ(displays->bounds(1), Rect(0, 0, 1280, 720));
    EXPECT_FALSE(displays->currentMode(1)->isHiDPI());
    EXPECT_FALSE(displays->setCurrentMode(9, DisplayMode{}));

    // Unplugging the main display hands the menu bar to the first remaining one.
    EXPECT_TRUE(displays->removeDisplay(1));
    EXPECT_FALSE(displays->removeDisplay(1));
    EXPECT_EQ(displays->mainDisplayID(), 2u);
    EXPECT_TRUE(displays->bounds(1).isEmpty());
    EXPECT_FALSE(displays->currentMode(1));
}

TEST(ScreenCapture, SelectTargetDisplayRule) {
    const ShareableDisplay a{4, 100, 100, {}}, b{7, 100, 100, {}}, main{9, 100, 100, {}};
    const std::vector<ShareableDisplay> listed{a, b, main};

    EXPECT_FALSE(selectTargetDisplay({}, 0, false, 9));
    EXPECT_FALSE(selectTargetDisplay({}, 4, true, 9));
    EXPECT_EQ(selectTargetDisplay(listed, 7, true, 9), b);
    EXPECT_EQ(selectTargetDisplay(listed, 7, false, 9), b);
    EXPECT_FALSE(selectTargetDisplay(listed, 5, true, 9));
    EXPECT_EQ(selectTargetDisplay(listed, 5, false, 9), main);
    EXPECT_EQ(selectTargetDisplay(listed, 0, false, 9), main);
    // The main display is not listed: the first display.
    EXPECT_EQ(selectTargetDisplay(listed, 5, false, 1), a);
}

TEST(SyntheticScreenContent, DeterministicMovingAndRedrawnIncrementally) {
    SyntheticScreenContent content(320, 180);
    const PixelBuffer first = content.makeFrame(0);
    ASSERT_EQ(first.width, 320);
    ASSERT_EQ(first.height, 180);
    EXPECT_EQ(first.data, content.makeFrame(0).data);
    EXPECT_EQ(first.data, SyntheticScreenContent(320, 180).makeFrame(0).data);

    // Consecutive frames differ (block and panel move) but most of the desktop stays put.
    const PixelBuffer second = content.makeFrame(1);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < first.data.size(); i += 4) changed += first.data[i] != second.data[i] || first.data[i + 1] != second.data[i + 1];
    EXPECT_GT(changed, 100u);
    EXPECT_LT(changed, first.data.size() / 4 / 2);

    // Redrawing a buffer that holds frame n-1 gives exactly what a full render of frame n gives.
    PixelBuffer reused = content.makeFrame(0);
    for (std::uint64_t n = 1; n < 400; n += 7) {
        content.render(n, reused, n == 1 ? std::optional<std::uint64_t>(0) : std::optional<std::uint64_t>(n - 7));
        ASSERT_EQ(reused.data, content.makeFrame(n).data) << "frame " << n;
        const auto block = content.movingBlockRect(n);
        ASSERT_GE(block.x, 0);
        ASSERT_GE(block.y, 0);
        ASSERT_LE(block.x + block.width, 320);
        ASSERT_LE(block.y + block.height, 180);
    }

    // The desktop and the picture are smooth gradients whose pixels the PSNR references and the
    // benchmarks' figures were made from: (desktop) red by x + y, green by x, blue by y; (picture)
    // red by x, green by y, blue by x + y.
    const SyntheticScreenContent full(1920, 1080);
    const PixelBuffer desktop = full.makeFrame(0);
    auto bgra = [&](std::int64_t x, std::int64_t y) {
        const std::uint8_t* p = desktop.row(y) + x * 4;
        return std::array<int, 4>{p[0], p[1], p[2], p[3]};
    };
    EXPECT_EQ(bgra(0, 500), (std::array<int, 4>{90 + 100 * 500 / 1080, 50, 30 + 40 * 500 / 3000, 255}));
    EXPECT_EQ(bgra(1919, 1079), (std::array<int, 4>{90 + 100 * 1079 / 1080, 50 + 60 * 1919 / 1920, 30 + 40 * 2998 / 3000, 255}));
    EXPECT_EQ(bgra(1113 + 100, 64 + 50), (std::array<int, 4>{200 - 150 * 150 / 1139, 255 * 50 / 410, 255 * 100 / 729, 255}));

    // Degenerate sizes still render inside their buffer.
    for (auto [w, h] : {std::pair<int, int>{1, 1}, {3, 2}, {2, 9}}) {
        SyntheticScreenContent tiny(w, h);
        PixelBuffer out = tiny.makeFrame(5);
        tiny.render(6, out, 5);
        EXPECT_EQ(out.data.size(), static_cast<std::size_t>(w * h * 4));
    }
}

namespace {

struct CaptureRig {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> queue = clock->makeQueue("frames");
    std::shared_ptr<SimulatedDisplayService> displays = std::make_shared<SimulatedDisplayService>(
        std::vector<DisplayInfo>{SimulatedDisplayService::makeDisplay(1, Point{0, 0}, 320, 180, 640, 360)}, 1);
    SimulatedScreenCapture capture{displays};
    std::vector<CapturedFrame> frames;
    std::vector<std::string> stops;

    std::shared_ptr<ScreenCaptureStream> stream(double interval, std::optional<std::string>* startError = nullptr) {
        StreamConfiguration configuration;
        configuration.minimumFrameInterval = interval;
        auto stream = capture.makeStream(1, configuration);
        stream->addScreenOutput(queue, [this](const CapturedFrame& frame) { frames.push_back(frame); });
        stream->setStopHandler([this](const std::string& error) { stops.push_back(error); });
        std::optional<std::string> error = std::string("completion not called");
        stream->startCapture([&](const std::optional<std::string>& e) { error = e; });
        if (startError) *startError = error;
        return stream;
    }
};

}  // namespace

TEST(SimulatedScreenCapture, DeliversOneFramePerIntervalOnTheVirtualClock) {
    CaptureRig rig;
    auto content = rig.capture.shareableContent();
    ASSERT_TRUE(content.content);
    ASSERT_EQ(content.content->displays.size(), 1u);
    EXPECT_EQ(content.content->displays[0].width, 320);

    const auto start = rig.clock->uptimeNs();
    std::optional<std::string> error;
    auto stream = rig.stream(0.02, &error);
    ASSERT_FALSE(error);
    EXPECT_EQ(rig.capture.runningStreamCount(), 1);
    rig.clock->advance(0.019);
    EXPECT_TRUE(rig.frames.empty());
    rig.clock->advance(0.181);  // 0.2 s in all: ten intervals
    ASSERT_EQ(rig.frames.size(), 10u);
    for (std::size_t i = 0; i < rig.frames.size(); ++i) {
        EXPECT_EQ(rig.frames[i].frameIndex, i);
        EXPECT_EQ(rig.frames[i].uptimeNs - start, (i + 1) * 20'000'000ull);
        EXPECT_EQ(rig.frames[i].displayID, 1u);
        // Unset output size: the display's pixel size, not its point size.
        EXPECT_EQ(rig.frames[i].pixelBuffer->width, 640);
        EXPECT_EQ(rig.frames[i].pixelBuffer->height, 360);
    }
    // Frames carry the deterministic content of their slot.
    EXPECT_EQ(rig.frames[3].pixelBuffer->data, SyntheticScreenContent(640, 360).makeFrame(3).data);

    // Stopping completes without error and ends delivery; a second stop reports that nothing runs.
    std::optional<std::string> stopResult = std::string("not called");
    stream->stopCapture([&](const std::optional<std::string>& e) { stopResult = e; });
    EXPECT_FALSE(stopResult);
    EXPECT_EQ(rig.capture.runningStreamCount(), 0);
    rig.clock->advance(1.0);
    EXPECT_EQ(rig.frames.size(), 10u);
    stream->stopCapture([&](const std::optional<std::string>& e) { stopResult = e; });
    EXPECT_TRUE(stopResult);
}

TEST(SimulatedScreenCapture, ScriptedFailuresSilenceAndUnpluggedDisplay) {
    CaptureRig rig;
    std::optional<std::string> error;

    rig.capture.setBehavior(SimulatedScreenCapture::Behavior::failsToStart);
    auto failed = rig.stream(0.02, &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(rig.capture.runningStreamCount(), 0);

    rig.capture.setBehavior(SimulatedScreenCapture::Behavior::deliversNoFrames);
    auto silent = rig.stream(0.02, &error);
    EXPECT_FALSE(error);
    rig.clock->advance(1.0);
    EXPECT_TRUE(rig.frames.empty());
    EXPECT_EQ(rig.capture.runningStreamCount(), 1);
    silent.reset();  // a dropped stream no longer counts as running
    EXPECT_EQ(rig.capture.runningStreamCount(), 0);

    rig.capture.setShareableContentError("permission denied");
    auto listing = rig.capture.shareableContent();
    EXPECT_FALSE(listing.content);
    EXPECT_EQ(listing.error, "permission denied");
    rig.capture.setShareableContentError(std::nullopt);

    // A stream on a display that is unplugged stops and says why.
    rig.capture.setBehavior(SimulatedScreenCapture::Behavior::normal);
    auto live = rig.stream(0.02, &error);
    rig.clock->advance(0.04);
    EXPECT_EQ(rig.frames.size(), 2u);
    rig.displays->removeDisplay(1);
    rig.clock->advance(0.2);
    EXPECT_EQ(rig.frames.size(), 2u);
    EXPECT_EQ(rig.stops, std::vector<std::string>{"display 1 is no longer available"});
    EXPECT_EQ(rig.capture.runningStreamCount(), 0);

    // Starting on a display that is not there fails.
    auto absent = rig.stream(0.02, &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, "display 1 is not available for capture");
}

namespace {

// A paced stream whose captures take as long as the test says, on the virtual clock.
class TimedCaptureStream final : public PacedScreenCaptureStream {
public:
    TimedCaptureStream(std::shared_ptr<ManualClock> clock, bool catchUpLateSlot, double intervalSeconds)
        : PacedScreenCaptureStream(1, StreamConfiguration{}), clock_(std::move(clock)), catchUp_(catchUpLateSlot),
          interval_(intervalSeconds) {}

    // Seconds the capture of the n-th delivery takes (the last entry for all later ones).
    std::vector<double> captureSeconds{0};
    struct Delivery {
        std::uint64_t slot;
        std::uint64_t startedNs;
    };
    std::vector<Delivery> deliveries;

private:
    std::optional<std::string> begin() override {
        std::lock_guard lock(mutex_);
        startPacingLocked(interval_, true, catchUp_);
        return std::nullopt;
    }
    void deliver(std::uint64_t slot) override {
        auto handler = takeSlot();
        if (!handler) return;
        const auto n = std::min(deliveries.size(), captureSeconds.size() - 1);
        deliveries.push_back(Delivery{slot, clock_->uptimeNs()});
        clock_->sleep(captureSeconds[n]);
        CapturedFrame frame;
        frame.frameIndex = slot;
        handler(frame);
        scheduleNext(slot);
    }

    std::shared_ptr<ManualClock> clock_;
    bool catchUp_;
    double interval_;
};

}  // namespace

// A capture that runs late loses the slot it overran, unless the stream catches up: then the
// next picture is taken at once, so one slow grab costs no frame, and a grab that is always slow
// runs back to back at its own pace, never ahead of a slot's time.
TEST(PacedScreenCaptureStream, ALateCaptureTakesTheNextSlotAtOnceOnlyWhenTheStreamCatchesUp) {
    constexpr double interval = 0.02;
    constexpr std::uint64_t intervalNs = 20'000'000;
    for (const bool catchUp : {false, true}) {
        SCOPED_TRACE(catchUp ? "catching up" : "skipping");
        auto clock = std::make_shared<ManualClock>();
        auto queue = clock->makeQueue("capture");
        auto stream = std::make_shared<TimedCaptureStream>(clock, catchUp, interval);
        // The third grab takes 1.5 intervals, the others a fifth of one.
        stream->captureSeconds = {0.2 * interval, 0.2 * interval, 1.5 * interval, 0.2 * interval};
        int frames = 0;
        stream->addScreenOutput(queue, [&](const CapturedFrame&) { ++frames; });
        const auto start = clock->uptimeNs();
        stream->startCapture({});
        clock->advance(10.5 * interval);
        std::vector<std::uint64_t> slots;
        for (const auto& delivery : stream->deliveries) {
            slots.push_back(delivery.slot);
            EXPECT_GE(delivery.startedNs, start + (delivery.slot + 1) * intervalNs) << "slot " << delivery.slot;
        }
        if (catchUp) {
            EXPECT_EQ(slots, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
            // Slot 3 was due at 4 intervals; the grab before ran until 4.5.
            EXPECT_EQ(stream->deliveries[3].startedNs, start + 9 * intervalNs / 2);
        } else {
            EXPECT_EQ(slots, (std::vector<std::uint64_t>{0, 1, 2, 4, 5, 6, 7, 8, 9}));
        }
        EXPECT_EQ(frames, static_cast<int>(slots.size()));

        // Every grab slow: back to back when catching up (2 of every 3 slots), every other slot
        // when not.
        stream->stopCapture({});
        auto slow = std::make_shared<TimedCaptureStream>(clock, catchUp, interval);
        slow->captureSeconds = {1.5 * interval};
        slow->addScreenOutput(queue, [](const CapturedFrame&) {});
        const auto slowStart = clock->uptimeNs();
        slow->startCapture({});
        clock->advance(30.5 * interval);
        for (std::size_t i = 0; i < slow->deliveries.size(); ++i) {
            EXPECT_GE(slow->deliveries[i].startedNs, slowStart + (slow->deliveries[i].slot + 1) * intervalNs);
            if (catchUp && i > 0) {
                EXPECT_EQ(slow->deliveries[i].startedNs - slow->deliveries[i - 1].startedNs, 3 * intervalNs / 2)
                    << "delivery " << i;
            }
        }
        EXPECT_EQ(slow->deliveries.size(), catchUp ? 20u : 15u);
        slow->stopCapture({});
    }
}

}  // namespace DisplaysAndScreenCaptureTests
