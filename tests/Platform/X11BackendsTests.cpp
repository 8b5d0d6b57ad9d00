#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "HostApp/Video/HostVideoCapture.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/X11Displays.h"
#include "Platform/Linux/X11ScreenCapture.h"
#include "support/TestPlatform.h"
#include "support/VideoDecoder.h"
#include "support/VirtualXServer.h"

using namespace qm;

namespace {

struct DrawnRectangle {
    int x, y, width, height;
    unsigned long rgb;
};

// A desktop background and three coloured rectangles, drawn into the root window and into a
// buffer that stands for what the capture should see.
const DrawnRectangle background{0, 0, 640, 360, 0x202830};
const DrawnRectangle drawn[] = {{40, 32, 160, 96, 0xE02020}, {300, 80, 120, 200, 0x20C040}, {480, 240, 128, 96, 0x3050F0}};

void paint(PixelBuffer& buffer, const DrawnRectangle& r) {
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            std::uint8_t* p = buffer.row(y) + x * 4;
            p[0] = r.rgb & 0xFF;
            p[1] = (r.rgb >> 8) & 0xFF;
            p[2] = (r.rgb >> 16) & 0xFF;
            p[3] = 255;
        }
    }
}

// PSNR of one plane inside a rectangle given in luma pixels.
double regionPSNR(const test::DecodedPicture& a, const test::DecodedPicture& b, int plane, const DrawnRectangle& r) {
    const int sx = a.planeWidth(plane) == a.width ? 1 : 2;
    const int sy = a.planeHeight(plane) == a.height ? 1 : 2;
    const int w = a.planeWidth(plane);
    double sum = 0;
    int count = 0;
    // Inset by a few pixels: the edges' chroma is shared with the neighbours.
    for (int y = (r.y + 4) / sy; y < (r.y + r.height - 4) / sy; ++y) {
        for (int x = (r.x + 4) / sx; x < (r.x + r.width - 4) / sx; ++x) {
            const double d = double(a.planes[plane][y * w + x]) - double(b.planes[plane][y * w + x]);
            sum += d * d;
            ++count;
        }
    }
    const double mse = count ? sum / count : 0;
    return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Everything real: threads, the system clock, the X server's displays and capture.
HostPlatform livePlatform(std::shared_ptr<X11DisplayService> displays) {
    HostPlatform platform;
    platform.clock = SystemClock::shared();
    platform.makeQueue = [](const std::string& label) -> DispatchQueuePtr { return std::make_shared<AsioDispatchQueue>(label); };
    platform.screenCapture = std::make_shared<X11ScreenCapture>(displays);
    platform.displays = displays;
    return platform;
}

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, pipe)) output += chunk;
        ::pclose(pipe);
    }
    return output;
}

// A 640 x 360 Xvfb and its display service, for the capture cases; a case skips where Xvfb or its
// shared-memory images are missing.
class X11Capture : public ::testing::Test {
protected:
    struct Seen {
        bool unchanged;
        std::optional<std::vector<PixelRect>> changed;
        std::vector<std::uint8_t> pixels;  // a copy, when asked for: holding the frames would starve the capture
    };

    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << server.reason();
        displays = X11DisplayService::open(server.name());
        ASSERT_TRUE(displays);
        if (!X11ScreenCapture::isSupported(server.name())) GTEST_SKIP() << "Xvfb offers no shared-memory images";
    }

    std::size_t count() {
        std::lock_guard lock(mutex);
        return seen.size();
    }

    // Captures the main display at 60 fps and `configuration`'s size into `seen`, makes `change`
    // once four frames are in, and stops four frames after it.
    void captureAround(StreamConfiguration configuration, bool copyPixels, const std::function<void()>& change) {
        X11ScreenCapture capture(displays);
        configuration.minimumFrameInterval = 1.0 / 60;
        auto stream = capture.makeStream(displays->mainDisplayID(), configuration);
        auto queue = std::make_shared<AsioDispatchQueue>("x11.capture");
        stream->addScreenOutput(queue, [this, copyPixels](const CapturedFrame& frame) {
            std::vector<std::uint8_t> pixels;
            if (copyPixels) {
                const auto& picture = *frame.pixelBuffer;
                for (std::int64_t row = 0; row < picture.height; ++row) {
                    pixels.insert(pixels.end(), picture.row(row), picture.row(row) + picture.width * 4);
                }
            }
            std::lock_guard lock(mutex);
            seen.push_back(Seen{frame.unchanged, frame.changedRegion, std::move(pixels)});
        });
        stream->startCapture({});
        bool complete = test::waitUntil([&] { return count() >= 4; });
        if (complete) {
            change();
            const auto changedBy = count();
            complete = test::waitUntil([&] { return count() >= changedBy + 4; });
        }
        stream->stopCapture({});
        queue->sync([] {});
        ASSERT_TRUE(complete) << "frames stopped coming";
    }

    test::VirtualXServer server{"640x360x24"};
    std::shared_ptr<X11DisplayService> displays;
    // Outlive the streams and the queues whose threads write them.
    std::mutex mutex;
    std::vector<Seen> seen;
};

}  // namespace

TEST(X11DisplayService, ListsTheOutputAndSwitchesItsModeThroughATransaction) {
    test::VirtualXServer server("1600x900x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    ASSERT_TRUE(server.addMode(1280, 720));
    std::atomic<int> notices{0};  // outlives the service and the queue that report into it
    auto displays = X11DisplayService::open(server.name());
    ASSERT_TRUE(displays);

    const auto active = displays->activeDisplayIDs();
    ASSERT_EQ(active.size(), 1u);
    const DisplayID id = active[0];
    EXPECT_EQ(displays->mainDisplayID(), id);
    EXPECT_EQ(displays->bounds(id), Rect(0, 0, 1600, 900));
    auto modes = displays->allDisplayModes(id, false);
    ASSERT_EQ(modes.size(), 2u);  // Xvfb's own size and the one added
    auto hd = std::find_if(modes.begin(), modes.end(), [](const DisplayMode& m) { return m.width == 1280; });
    ASSERT_NE(hd, modes.end());
    EXPECT_NEAR(hd->refreshRate, 60, 0.01);
    EXPECT_FALSE(hd->isHiDPI());

    auto queue = std::make_shared<AsioDispatchQueue>("x11.observer");
    const auto token = displays->addScreenParametersObserver(queue, [&] { ++notices; });

    // A cancelled transaction leaves the display as it was; an unknown mode is refused.
    DisplayConfigurationRef configuration = 0;
    ASSERT_EQ(displays->beginDisplayConfiguration(configuration), displayErrorSuccess);
    ASSERT_EQ(displays->configureDisplayWithDisplayMode(configuration, id, *hd), displayErrorSuccess);
    DisplayMode unknown;
    unknown.width = unknown.pixelWidth = 1111;
    unknown.height = unknown.pixelHeight = 555;
    EXPECT_EQ(displays->configureDisplayWithDisplayMode(configuration, id, unknown), displayErrorIllegalArgument);
    ASSERT_EQ(displays->cancelDisplayConfiguration(configuration), displayErrorSuccess);
    EXPECT_EQ(displays->currentMode(id)->width, 1600);
    EXPECT_EQ(displays->completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession),
              displayErrorIllegalArgument);

    // Completed: the service, the server (as xrandr sees it) and the observer agree.
    ASSERT_EQ(displays->beginDisplayConfiguration(configuration), displayErrorSuccess);
    ASSERT_EQ(displays->configureDisplayWithDisplayMode(configuration, id, *hd), displayErrorSuccess);
    ASSERT_EQ(displays->completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession),
              displayErrorSuccess);
    EXPECT_EQ(displays->currentMode(id)->ioDisplayModeID, hd->ioDisplayModeID);
    EXPECT_EQ(displays->bounds(id), Rect(0, 0, 1280, 720));
    EXPECT_TRUE(test::waitUntil([&] { return notices.load() > 0; }));
    if (::access("/usr/bin/xrandr", X_OK) == 0) {
        const auto listing = run("DISPLAY=" + server.name() + " /usr/bin/xrandr 2>/dev/null");
        EXPECT_NE(listing.find("current 1280 x 720"), std::string::npos) << listing;
    }

    // And back, outside a transaction.
    EXPECT_EQ(displays->setDisplayMode(id, modes.front().width == 1600 ? modes.front() : modes.back()), displayErrorSuccess);
    EXPECT_EQ(displays->bounds(id), Rect(0, 0, 1600, 900));
    displays->removeScreenParametersObserver(token);
    queue->sync([] {});
}

TEST_F(X11Capture, FramesNameTheRowsThatChangedAndMarkTheOthersUnchanged) {
    ASSERT_TRUE(server.movePointer(630, 350));
    // Not the pictures: a consumer holding them would starve the capture.
    ASSERT_NO_FATAL_FAILURE(captureAround(StreamConfiguration{}, false, [&] {
        ASSERT_TRUE(server.fillRectangle(100, 101, 50, 40, 0x3366CC));
    }));

    EXPECT_FALSE(seen[0].unchanged);
    EXPECT_FALSE(seen[0].changed) << "the first frame has nothing to be compared with";
    int changedFrames = 0;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        if (seen[i].unchanged) {
            EXPECT_FALSE(seen[i].changed);
            continue;
        }
        ++changedFrames;
        ASSERT_TRUE(seen[i].changed) << "frame " << i;
        // Full-width bands of rows that cover the rectangle and nothing else.
        ASSERT_EQ(seen[i].changed->size(), 1u);
        EXPECT_EQ(seen[i].changed->front(), (PixelRect{0, 101, 640, 40}));
    }
    EXPECT_EQ(changedFrames, 1) << "only the frame that first shows the rectangle differs";
}

// The pointer is blended into each picture after the server's pixels are compared with the last
// picture's, so its rows need their own look: where it arrives and where it left must be named,
// and a pointer that stays must not make every frame count as changed.
TEST_F(X11Capture, AMovingPointerNamesTheRowsItLeftAndReachedAndAStillOneNone) {
    ASSERT_TRUE(server.movePointer(100, 60));
    ASSERT_NO_FATAL_FAILURE(captureAround(StreamConfiguration{}, true, [&] { ASSERT_TRUE(server.movePointer(400, 250)); }));

    const std::size_t rowBytes = 640 * 4;
    bool namedOld = false, namedNew = false;
    int changedFrames = 0;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        // Every row that differs from the frame before lies in a named band (or the frame is
        // marked unchanged only when none does).
        std::vector<bool> named(360, false);
        if (seen[i].changed) {
            for (const auto& band : *seen[i].changed) {
                EXPECT_EQ(band.x, 0);
                EXPECT_EQ(band.width, 640);
                for (std::int64_t row = band.y; row < band.y + band.height; ++row) named[static_cast<std::size_t>(row)] = true;
                // Only rows the pointer can cover, at either place.
                EXPECT_TRUE((band.y >= 60 - 40 && band.y + band.height <= 60 + 40) ||
                            (band.y >= 250 - 40 && band.y + band.height <= 250 + 40))
                    << "frame " << i << " band " << band.y << "+" << band.height;
                if (band.y <= 60 && band.y + band.height > 60) namedOld = true;
                if (band.y <= 250 && band.y + band.height > 250) namedNew = true;
            }
            ++changedFrames;
        }
        for (std::size_t row = 0; row < 360; ++row) {
            const bool differs = std::memcmp(seen[i].pixels.data() + row * rowBytes,
                                             seen[i - 1].pixels.data() + row * rowBytes, rowBytes) != 0;
            if (differs) {
                EXPECT_FALSE(seen[i].unchanged) << "frame " << i;
                EXPECT_TRUE(named[row]) << "frame " << i << " row " << row << " changed unnamed";
            }
        }
    }
    EXPECT_TRUE(namedOld) << "the rows the pointer left";
    EXPECT_TRUE(namedNew) << "the rows the pointer reached";
    EXPECT_EQ(changedFrames, 1) << "only the frame that first shows the pointer's new place differs";
}

// A stream scaled to another size names the rows of its own pictures: every row that differs
// from the frame before lies in a named band, and the bands stay near the change.
TEST_F(X11Capture, AScaledStreamNamesTheScaledRowsThatChanged) {
    ASSERT_TRUE(server.movePointer(630, 350));
    StreamConfiguration configuration;
    configuration.width = 400;  // rows and columns both scaled, by 0.625
    configuration.height = 225;
    ASSERT_NO_FATAL_FAILURE(captureAround(configuration, true, [&] {
        ASSERT_TRUE(server.fillRectangle(100, 101, 50, 40, 0x3366CC));  // scaled rows 63-88
    }));

    const std::size_t rowBytes = 400 * 4;
    int changedFrames = 0;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i].pixels.size(), rowBytes * 225);
        std::vector<bool> named(225, false);
        if (seen[i].changed) {
            ++changedFrames;
            for (const auto& band : *seen[i].changed) {
                EXPECT_EQ(band.width, 400);
                EXPECT_GE(band.y, 63 - 8);
                EXPECT_LE(band.y + band.height, 88 + 8);
                for (std::int64_t row = band.y; row < band.y + band.height; ++row) named[static_cast<std::size_t>(row)] = true;
            }
        }
        bool any = false;
        for (std::size_t row = 0; row < 225; ++row) {
            if (std::memcmp(seen[i].pixels.data() + row * rowBytes, seen[i - 1].pixels.data() + row * rowBytes, rowBytes) != 0) {
                any = true;
                EXPECT_TRUE(named[row]) << "frame " << i << " row " << row << " changed unnamed";
            }
        }
        EXPECT_EQ(seen[i].unchanged, !any) << "frame " << i;
    }
    EXPECT_EQ(changedFrames, 1);
}

TEST_F(X11Capture, FramesHoldWhatWasDrawnAndSurviveEncodingAndDecoding) {
    PixelBuffer expected(640, 360);
    // The pointer is part of the picture: it is kept out of the rectangles compared below.
    ASSERT_TRUE(server.movePointer(630, 350));
    for (const auto& r : {background, drawn[0], drawn[1], drawn[2]}) {
        ASSERT_TRUE(server.fillRectangle(r.x, r.y, r.width, r.height, r.rgb));
        paint(expected, r);
    }
    const DisplayID id = displays->mainDisplayID();

    // The raw frames: the display's size, BGRA with an opaque alpha, in rising slots.
    {
        // Outlive the stream and the queue whose thread writes them.
        std::mutex mutex;
        std::vector<CapturedFrame> frames;
        std::optional<std::string> startError{"not started"};
        X11ScreenCapture capture(displays);
        auto listing = capture.shareableContent();
        ASSERT_TRUE(listing.content);
        ASSERT_EQ(listing.content->displays.size(), 1u);
        EXPECT_EQ(listing.content->displays[0].width, 640);
        StreamConfiguration configuration;
        configuration.width = 0;
        configuration.minimumFrameInterval = 1.0 / 30;
        auto stream = capture.makeStream(id, configuration);
        auto queue = std::make_shared<AsioDispatchQueue>("x11.capture");
        stream->addScreenOutput(queue, [&](const CapturedFrame& frame) {
            std::lock_guard lock(mutex);
            if (frames.size() < 3) frames.push_back(frame);
        });
        stream->startCapture([&](const std::optional<std::string>& error) { startError = error; });
        ASSERT_FALSE(startError) << *startError;
        ASSERT_TRUE(test::waitUntil([&] {
            std::lock_guard lock(mutex);
            return frames.size() == 3;
        }));
        stream->stopCapture({});
        queue->sync([] {});
        EXPECT_LT(frames[0].frameIndex, frames[1].frameIndex);
        const PixelBuffer& first = *frames[0].pixelBuffer;
        ASSERT_EQ(first.width, 640);
        ASSERT_EQ(first.height, 360);
        EXPECT_GE(first.bytesPerRow, 640 * 4);
        for (const auto& r : drawn) {
            const std::uint8_t* p = first.row(r.y + r.height / 2) + (r.x + r.width / 2) * 4;
            EXPECT_EQ((std::vector<int>{p[0], p[1], p[2], p[3]}),
                      (std::vector<int>{int(r.rgb & 0xFF), int((r.rgb >> 8) & 0xFF), int(r.rgb >> 16), 255}));
        }
        // Frames still held keep their pixels while newer ones are taken.
        EXPECT_NE(frames[0].pixelBuffer->bytes(), frames[1].pixelBuffer->bytes());
    }

    // Through the Host's capture, encoder and a decoder: every rectangle is found.
    auto platform = livePlatform(displays);
    VideoStreamProfile profile;
    profile.displayID = id;
    profile.width = 640;
    profile.height = 360;
    profile.fps = 30;
    profile.bitrate = 6'000'000;
    std::mutex mutex;  // these outlive the capture, whose threads write them
    std::vector<EncodedVideoFrame> encoded;
    std::vector<std::string> errors;
    auto capture = std::make_shared<HostVideoCapture>(platform, profile);
    capture->onFrame = [&](EncodedVideoFrame frame) {
        std::lock_guard lock(mutex);
        encoded.push_back(std::move(frame));
    };
    capture->onError = [&](const std::string& error) {
        std::lock_guard lock(mutex);
        errors.push_back(error);
    };
    capture->start();
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return encoded.size() >= 6 || !errors.empty();
    }));
    capture->stop(true);
    ASSERT_TRUE(errors.empty()) << errors.front();

    test::VideoDecoder decoder(VideoStreamCodec::h264);
    std::optional<test::DecodedPicture> last;
    for (auto& frame : encoded) {
        for (auto& picture : decoder.decode(frame.data())) last = picture;
    }
    ASSERT_TRUE(last) << decoder.lastError();
    const auto reference = test::referencePicture(expected, PixelCrop{0, 0, 640, 360}, 640, 360, VideoChromaMode::yuv420);
    for (const auto& r : drawn) {
        for (int plane = 0; plane < 3; ++plane) {
            EXPECT_GT(regionPSNR(*last, reference, plane, r), 30.0) << "rectangle at " << r.x << "," << r.y << " plane " << plane;
        }
    }
}
