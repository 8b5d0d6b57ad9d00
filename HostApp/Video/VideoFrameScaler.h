#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "Platform/Core/Geometry.h"
#include "Platform/ScreenCapture.h"

struct AVFrame;
struct SwsContext;

namespace qm {

// A rectangle of pixels inside a captured picture.
struct PixelCrop {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    friend bool operator==(const PixelCrop&, const PixelCrop&) = default;
};

// The pixels of a `width` x `height` picture that a normalised region covers. The region's y is
// measured from the bottom edge (as Viewers send it); the result is clamped to the picture and
// at least 2 x 2 pixels. No region, or one that misses the picture, gives the whole picture.
PixelCrop cropForNormalizedRegion(std::optional<Rect> region, std::int64_t width, std::int64_t height);

// Crops a captured BGRA picture and converts it to the encoder's YUV at the stream size, always
// with BT.601 coefficients into limited range, all with libyuv: a crop that already has the stream
// size (the usual case) is converted directly, in bands of rows on a few threads for large
// pictures; one of another size is converted at its own size and then scaled plane by plane.
// libswscale remains for any other output format. One scaler serves one thread.
//
// It converts into a few pictures in turn and never into one that someone else still holds a
// reference to (av_frame_ref), so a caller can hand a converted picture to another thread and
// convert the next frame while that one is being encoded.
//
// A caller that knows where the screen changed since its previous call says so, and a picture
// converted at the stream size is then brought up to date only there: the pictures in turn keep
// what they were converted from, and the scaler remembers what changed since each of them, so
// it converts the rows and columns that differ and leaves the rest as it is. Of the pictures
// free to convert into it takes the one converted last, which misses the fewest changes.
class VideoFrameScaler {
public:
    VideoFrameScaler();
    ~VideoFrameScaler();
    VideoFrameScaler(const VideoFrameScaler&) = delete;
    VideoFrameScaler& operator=(const VideoFrameScaler&) = delete;

    // The converted picture, valid until the next call unless the caller takes a reference to it
    // (av_frame_ref / av_frame_clone), which keeps its planes untouched until released; nullptr
    // when the conversion failed.
    // `changed`: where `source` may differ from the source of the previous call, in its pixels
    // (none: anywhere).
    const AVFrame* scale(const PixelBuffer& source, const PixelCrop& crop, std::int64_t width, std::int64_t height,
                         AVPixelFormat format, const std::optional<std::vector<PixelRect>>& changed = std::nullopt);

    // The share of pixels the last call converted (0 when it reused everything, 1 for all).
    double lastConvertedShare() const { return lastConvertedShare_; }

private:
    class BandWorkers;
    static constexpr int kMaxBands = 8;
    // Past this many rectangles, or this share of the picture, one pass over the whole picture
    // is cheaper than many small ones.
    static constexpr std::size_t kMaxRegionRects = 24;
    static constexpr double kMaxRegionShare = 0.6;

    static bool hasUnscaledConversion(AVPixelFormat format);
    bool convertUnscaled(const AVFrame& out, const std::uint8_t* origin, int stride);
    bool convertRegion(const AVFrame& out, const std::uint8_t* origin, int stride, const PixelRect& region);
    bool prepare(const PixelCrop& crop, std::int64_t width, std::int64_t height, AVPixelFormat format);
    // `held`: the conversion the returned picture's planes still hold (0: none usable).
    AVFrame* nextOutput(std::int64_t width, std::int64_t height, AVPixelFormat format, std::uint64_t* held = nullptr);
    // Notes what changed for this call, in the output's pixels; whole when unknown or when the
    // crop or the output differ from the previous call's.
    void noteChange(const PixelBuffer& source, const PixelCrop& crop, std::int64_t width, std::int64_t height,
                    AVPixelFormat format, const std::optional<std::vector<PixelRect>>& changed);
    // What a picture that holds conversion `held` misses of the current one; none: everything.
    std::optional<std::vector<PixelRect>> missedSince(std::uint64_t held, std::int64_t width, std::int64_t height) const;

    SwsContext* context_ = nullptr;
    // Enough for one picture being converted while two earlier ones are in the encoder and the
    // last one is kept for an unchanged screen.
    static constexpr int kOutputs = 4;
    AVFrame* outputs_[kOutputs] = {};
    int nextOutput_ = 0;
    AVFrame* output_ = nullptr;  // the one of outputs_ being converted into
    int outputSlot_ = 0;
    // Which conversion each of outputs_ holds whole (0: none), and what each recent conversion
    // changed against the one before.
    std::uint64_t outputHolds_[kOutputs] = {};
    struct Change {
        std::uint64_t serial = 0;
        bool whole = true;
        std::vector<PixelRect> rects;  // in the output's pixels
    };
    static constexpr std::size_t kHistory = 16;
    std::deque<Change> history_;
    std::uint64_t serial_ = 0;
    PixelCrop changeCrop_;
    std::int64_t changeSourceWidth_ = 0, changeSourceHeight_ = 0, changeWidth_ = 0, changeHeight_ = 0;
    AVPixelFormat changeFormat_ = AV_PIX_FMT_NONE;
    double lastConvertedShare_ = 1;
    AVFrame* input_ = nullptr;
    AVFrame* staging_ = nullptr;  // the crop converted at its own size, before scaling
    std::int64_t sourceWidth_ = 0, sourceHeight_ = 0, width_ = 0, height_ = 0;
    AVPixelFormat format_ = AV_PIX_FMT_NONE;
    std::unique_ptr<BandWorkers> workers_;  // started with the first large unscaled picture
};

}  // namespace qm
