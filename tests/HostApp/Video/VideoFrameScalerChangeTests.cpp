// Converting only what changed must give the very pictures a whole conversion gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

#include "HostApp/Video/VideoFrameScaler.h"
#include "Platform/ScreenCapture.h"

namespace VideoFrameScalerChangeTests {

using namespace qm;

namespace {

using FramePtr = std::unique_ptr<AVFrame, void (*)(AVFrame*)>;

FramePtr hold(const AVFrame* picture) {
    return FramePtr(av_frame_clone(picture), [](AVFrame* f) { av_frame_free(&f); });
}

// The rows of every plane that differ between two pictures of one size and format.
int differingRows(const AVFrame& a, const AVFrame& b) {
    const bool nv12 = a.format == AV_PIX_FMT_NV12, half = a.format != AV_PIX_FMT_YUV444P;
    int differing = 0;
    for (int plane = 0; plane < (nv12 ? 2 : 3); ++plane) {
        const int rows = plane > 0 && half ? (a.height + 1) / 2 : a.height;
        const int bytes = plane == 0 || nv12 || !half ? a.width : (a.width + 1) / 2;
        for (int y = 0; y < rows; ++y) {
            differing += std::memcmp(a.data[plane] + y * a.linesize[plane], b.data[plane] + y * b.linesize[plane],
                                     static_cast<std::size_t>(bytes)) != 0;
        }
    }
    return differing;
}

}  // namespace

TEST(VideoFrameScalerChanges, PicturesUpdatedWhereTheScreenChangedEqualWholeConversions) {
    // A moving desktop whose pictures are held for a while the way the encoder holds them, with
    // frames skipped now and then (their changes carried into the next call), and a crop change.
    SyntheticScreenContent content(1280, 720);
    for (auto format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_NV12}) {
        SCOPED_TRACE(format);
        VideoFrameScaler tracked;
        std::deque<FramePtr> held;
        std::optional<std::vector<PixelRect>> changed;  // unknown before the first frame
        std::optional<SyntheticScreenContent::Moment> previous;
        PixelBuffer screen;
        int partial = 0;
        for (std::uint64_t n = 0; n < 40; ++n) {
            const SyntheticScreenContent::Moment moment{n, n < 20 ? n : 19};  // the block stops halfway
            content.render(moment, screen);
            if (previous) {
                const auto delta = content.changedBetween(*previous, moment);
                if (changed) changed->insert(changed->end(), delta.begin(), delta.end());
            }
            previous = moment;
            if (n % 7 == 3) continue;  // dropped: not converted, its change waits for the next
            PixelCrop crop{0, 0, 1280, 720};
            if (n == 30) changed.reset();  // a capture that cannot tell
            const AVFrame* picture = tracked.scale(screen, crop, 1280, 720, format, changed);
            ASSERT_NE(picture, nullptr);
            if (tracked.lastConvertedShare() < 0.5) ++partial;
            if (n == 0 || n == 30) {
                EXPECT_EQ(tracked.lastConvertedShare(), 1.0) << "frame " << n;
            }

            VideoFrameScaler whole;
            const AVFrame* expected = whole.scale(screen, crop, 1280, 720, format);
            ASSERT_NE(expected, nullptr);
            EXPECT_EQ(differingRows(*picture, *expected), 0) << "frame " << n;
            changed.emplace();
            held.push_back(hold(picture));
            // Two at the encoder most of the time; at times more (a slow keyframe) so that fresh
            // planes have to be converted whole.
            while (held.size() > (n > 10 && n < 16 ? 6u : 2u)) held.pop_front();
        }
        EXPECT_GT(partial, 20) << "most pictures were updated in part";
    }
}

TEST(VideoFrameScalerChanges, ACropOrSizeChangeConvertsWhole) {
    SyntheticScreenContent content(640, 360);
    VideoFrameScaler tracked;
    const PixelBuffer first = content.makeFrame(0), second = content.makeFrame(1);
    ASSERT_NE(tracked.scale(first, PixelCrop{0, 0, 640, 360}, 640, 360, AV_PIX_FMT_YUV420P), nullptr);
    const auto delta = content.changedBetween({0, 0}, {1, 1});
    ASSERT_FALSE(delta.empty());
    // Another crop: the change was named for the old one.
    const AVFrame* cropped =
        tracked.scale(second, PixelCrop{2, 2, 320, 180}, 320, 180, AV_PIX_FMT_YUV420P, std::vector<PixelRect>{});
    ASSERT_NE(cropped, nullptr);
    EXPECT_EQ(tracked.lastConvertedShare(), 1.0);
    VideoFrameScaler whole;
    EXPECT_EQ(differingRows(*cropped, *whole.scale(second, PixelCrop{2, 2, 320, 180}, 320, 180, AV_PIX_FMT_YUV420P)), 0);
    // Nothing changed and the crop is the same: once each of the pictures in turn holds it, there
    // is nothing to convert, and the picture is still right.
    for (int i = 0; i < 6; ++i) {
        const AVFrame* again =
            tracked.scale(second, PixelCrop{2, 2, 320, 180}, 320, 180, AV_PIX_FMT_YUV420P, std::vector<PixelRect>{});
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(differingRows(*again, *whole.scale(second, PixelCrop{2, 2, 320, 180}, 320, 180, AV_PIX_FMT_YUV420P)),
                  0);
    }
    EXPECT_EQ(tracked.lastConvertedShare(), 0.0);
    // A changed region outside the crop changes nothing inside it.
    const AVFrame* outside = tracked.scale(second, PixelCrop{2, 2, 320, 180}, 320, 180, AV_PIX_FMT_YUV420P,
                                           std::vector<PixelRect>{{400, 200, 100, 100}});
    ASSERT_NE(outside, nullptr);
    EXPECT_EQ(tracked.lastConvertedShare(), 0.0);
}

TEST(SyntheticScreenContentChanges, TheNamedRegionHoldsEveryPixelThatChanged) {
    SyntheticScreenContent content(640, 360);
    using Moment = SyntheticScreenContent::Moment;
    const std::pair<Moment, Moment> pairs[] = {{{0, 0}, {1, 1}},   {{5, 3}, {6, 3}},   {{5, 3}, {5, 4}},
                                               {{0, 0}, {90, 90}}, {{7, 7}, {7, 7}},   {{300, 10}, {301, 11}}};
    for (const auto& [from, to] : pairs) {
        SCOPED_TRACE(std::to_string(from.scroll) + "," + std::to_string(from.block) + " -> " +
                     std::to_string(to.scroll) + "," + std::to_string(to.block));
        PixelBuffer a, b;
        content.render(from, a);
        content.render(to, b);
        const auto region = content.changedBetween(from, to);
        if (from == to) {
            EXPECT_TRUE(region.empty());
        }
        std::int64_t outside = 0, changedPixels = 0;
        for (std::int64_t y = 0; y < 360; ++y) {
            for (std::int64_t x = 0; x < 640; ++x) {
                if (std::memcmp(a.row(y) + x * 4, b.row(y) + x * 4, 4) == 0) continue;
                ++changedPixels;
                const bool inside = std::any_of(region.begin(), region.end(), [&](const PixelRect& r) {
                    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
                });
                outside += inside ? 0 : 1;
            }
        }
        EXPECT_EQ(outside, 0) << "of " << changedPixels << " changed pixels";
    }
}

TEST(VideoFrameScalerChanges, APictureTheEncoderLetGoIsReusedWithTheFewestChangesToConvert) {
    // As the capture runs behind a busy encoder: the last picture kept for a still screen and
    // queued, the one before it being encoded, older ones let go. Each frame paints another
    // 32 x 32 square; the newest picture let go misses this frame's square and the two held ones',
    // and that is all the scaler should convert (an older one would miss more).
    constexpr std::int64_t width = 640, height = 360, side = 32;
    PixelBuffer screen(width, height);
    std::memset(screen.bytes(), 40, screen.byteCount());
    VideoFrameScaler tracked;
    std::deque<FramePtr> held;
    for (std::int64_t n = 0; n < 24; ++n) {
        const PixelRect square{(n * side * 3) % (width - side), (n / 6) * side * 2, side, side};
        for (std::int64_t y = square.y; y < square.y + square.height; ++y) {
            std::memset(screen.row(y) + square.x * 4, static_cast<int>(60 + 7 * n), static_cast<std::size_t>(side * 4));
        }
        const AVFrame* picture = tracked.scale(screen, PixelCrop{0, 0, width, height}, width, height,
                                               AV_PIX_FMT_YUV420P, n == 0 ? std::nullopt
                                                                          : std::optional(std::vector<PixelRect>{square}));
        ASSERT_NE(picture, nullptr);
        VideoFrameScaler whole;
        EXPECT_EQ(differingRows(*picture, *whole.scale(screen, PixelCrop{0, 0, width, height}, width, height,
                                                       AV_PIX_FMT_YUV420P)),
                  0)
            << "frame " << n;
        // The first three fill fresh pictures whole; from then on a picture let go is reused.
        if (n >= 3) {
            EXPECT_DOUBLE_EQ(tracked.lastConvertedShare(), 3.0 * side * side / (width * height)) << "frame " << n;
        }
        held.push_back(hold(picture));
        if (held.size() > 2) held.pop_front();
    }
}
}  // namespace VideoFrameScalerChangeTests
