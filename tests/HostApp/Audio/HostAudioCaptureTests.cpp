#include <gtest/gtest.h>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostAudioCapture.h"

namespace qm {
namespace HostAudioCaptureTests {
namespace {

using test::ManualPlatform;

struct CaptureHarness {
    ManualPlatform mp;
    std::shared_ptr<SimulatedDisplayService> displays = std::make_shared<SimulatedDisplayService>(
        std::vector<DisplayInfo>{SimulatedDisplayService::defaultBuiltInDisplay(),
                                 SimulatedDisplayService::makeDisplay(7, {1920, 0}, 1920, 1080, 1920, 1080)},
        1);
    std::shared_ptr<SimulatedAudioCapture> service = std::make_shared<SimulatedAudioCapture>(displays);
    std::vector<std::string> errors;
    int started = 0;
    int sampleBuffers = 0;
    std::vector<std::uint64_t> frameTimes;

    std::shared_ptr<HostAudioCapture> make(DisplayID display) {
        HostAudioCapture::Callbacks callbacks;
        callbacks.onStarted = [this] { ++started; };
        callbacks.onSampleBuffer = [this] { ++sampleBuffers; };
        callbacks.onFrame = [this](const Bytes&, std::uint64_t ts) { frameTimes.push_back(ts); };
        callbacks.onError = [this](const std::string& m) { errors.push_back(m); };
        return HostAudioCapture::make(service, display, display != 0, mp.platform.makeQueue("v230.host.audio.capture"),
                                      mp.platform.makeQueue("v230.host.audio.lifecycle"), callbacks);
    }
};

TEST(HostAudioCapture, ChoosesTheDisplayAndWaitsForALateOne) {
    {
        // Display 0 is nobody's id: the main display carries the stream, after a notice.
        CaptureHarness h;
        auto capture = h.make(0);
        capture->start();
        h.mp.clock->runUntilIdle();
        EXPECT_EQ(h.started, 1);
        ASSERT_EQ(h.errors.size(), 1u);
        EXPECT_EQ(h.errors[0], "audio target display 0 unavailable; using ScreenCaptureKit display 1. available=1,7");
        EXPECT_EQ(h.service->lastStartedDisplayID(), 1u);
        auto configuration = *h.service->lastStartedConfiguration();
        EXPECT_TRUE(configuration.capturesAudio);
        EXPECT_FALSE(configuration.excludesCurrentProcessAudio);
        EXPECT_EQ(configuration.sampleRate, 48000);
        EXPECT_EQ(configuration.channelCount, 2);
        capture->stop(true);
    }
    {
        // An exact display listed on the fourth query is used without a word.
        CaptureHarness h;
        h.service->hideDisplay(7, 3);
        auto capture = h.make(7);
        capture->start();
        h.mp.clock->runUntilIdle();
        EXPECT_EQ(h.started, 0);
        h.mp.clock->advance(0.75);
        EXPECT_EQ(h.started, 1);
        EXPECT_TRUE(h.errors.empty());
        EXPECT_EQ(h.service->contentQueryCount(), 4);
        capture->stop(true);
    }
    {
        // Never listed: 12 waits, 13 queries, one failure naming the last listing.
        CaptureHarness h;
        h.service->hideDisplay(7, 100);
        auto capture = h.make(7);
        capture->start();
        h.mp.clock->runUntilIdle();
        h.mp.clock->advance(2.9);
        EXPECT_TRUE(h.errors.empty());
        h.mp.clock->advance(0.2);
        EXPECT_EQ(h.service->contentQueryCount(), 13);
        ASSERT_EQ(h.errors.size(), 1u);
        EXPECT_EQ(h.errors[0], "audio target display 7 unavailable for ScreenCaptureKit. available=1");
        EXPECT_EQ(h.started, 0);
    }
    {
        // No displays at all and a fallback allowed: immediate failure ending in "available=".
        CaptureHarness h;
        h.displays = std::make_shared<SimulatedDisplayService>(std::vector<DisplayInfo>{}, 0);
        h.service = std::make_shared<SimulatedAudioCapture>(h.displays);
        auto capture = h.make(0);
        capture->start();
        h.mp.clock->runUntilIdle();
        ASSERT_EQ(h.errors.size(), 1u);
        EXPECT_EQ(h.errors[0], "audio target display 0 unavailable for ScreenCaptureKit. available=");
    }
}

TEST(HostAudioCapture, StopDuringARetryingOrStartingStartLeavesNothingRunning) {
    {
        CaptureHarness h;
        h.service->hideDisplay(7, 100);
        auto capture = h.make(7);
        capture->start();
        h.mp.clock->runUntilIdle();
        h.mp.clock->advance(0.6);
        capture->stop(true);
        h.mp.clock->advance(5);
        EXPECT_EQ(h.started, 0);
        EXPECT_EQ(h.service->runningStreamCount(), 0);
        ASSERT_EQ(h.errors.size(), 1u);  // the cancelled wait is reported once
        EXPECT_EQ(h.service->contentQueryCount(), 3);
        capture->stop(true);  // a second stop finds nothing
    }
    {
        // The stream's start is in flight when the stop comes: it must never run.
        CaptureHarness h;
        auto script = h.service->script();
        script.startDelaySeconds = 0.5;
        h.service->setScript(script);
        auto capture = h.make(1);
        capture->start();
        h.mp.clock->runUntilIdle();
        capture->stop(true);
        h.mp.clock->advance(2);
        EXPECT_EQ(h.started, 0);
        EXPECT_EQ(h.service->runningStreamCount(), 0);
        EXPECT_TRUE(h.frameTimes.empty());
    }
    {
        // A running stream delivers until stopped, and nothing after.
        CaptureHarness h;
        auto capture = h.make(1);
        capture->start();
        h.mp.clock->runUntilIdle();
        h.mp.clock->advance(0.1);
        EXPECT_EQ(h.frameTimes.size(), 10u);
        h.service->deliver(makeToneBuffer({}, false, 440, 0.1, 0, 480, 1));  // queued before the stop
        capture->stop(true);
        h.mp.clock->advance(0.1);
        EXPECT_EQ(h.frameTimes.size(), 10u);
        EXPECT_EQ(h.service->runningStreamCount(), 0);
    }
}

TEST(HostAudioCapture, SamplePathFiltersAndStampsBuffers) {
    CaptureHarness h;
    auto script = h.service->script();
    script.signal = SimulatedAudioCapture::Signal::noBuffers;
    h.service->setScript(script);
    auto capture = h.make(1);
    capture->start();
    h.mp.clock->runUntilIdle();

    testing::internal::CaptureStderr();
    const AudioStreamBasicDescription format{};
    h.service->deliver(makeToneBuffer(format, false, 440, 0.1, 0, 480, 2.0), StreamOutputType::screen);
    auto invalid = makeToneBuffer(format, false, 440, 0.1, 0, 480, 2.0);
    invalid.dataIsReady = false;
    h.service->deliver(invalid);
    h.service->deliver(makeToneBuffer(format, false, 440, 0.1, 0, 480, -3.0));
    h.service->deliver(makeToneBuffer(format, false, 440, 0.1, 0, 480, std::numeric_limits<double>::infinity()));
    auto unconvertible = makeToneBuffer(format, false, 440, 0.1, 0, 480, 4.0);
    unconvertible.format->mBitsPerChannel = 24;
    h.service->deliver(unconvertible);
    h.service->deliver(makeToneBuffer(format, false, 440, 0.1, 0, 480, 5.0));
    h.mp.clock->runUntilIdle();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(h.sampleBuffers, 4);  // not the screen buffer, not the unready one
    EXPECT_EQ(h.frameTimes, (std::vector<std::uint64_t>{0, 0, 5'000'000'000}));
    EXPECT_NE(err.find("[QuillmereHost] [AUDIO] Invalid or not ready sampleBuffer\n"), std::string::npos);
    EXPECT_NE(err.find("[QuillmereHost] [AUDIO] drop frame: cannot convert sampleBuffer at ts=4000000000\n"),
              std::string::npos);
    // The format line once per capture object.
    const auto first = err.find("[QuillmereHost] ASBD rate=48000.0");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(err.find("ASBD", first + 20), std::string::npos);
    capture->stop(true);
}

}  // namespace
}  // namespace HostAudioCaptureTests
}  // namespace qm
