#pragma once

#include <cstdint>
#include <memory>
#include <optional>

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
class VideoFrameScaler {
public:
    VideoFrameScaler();
    ~VideoFrameScaler();
    VideoFrameScaler(const VideoFrameScaler&) = delete;
    VideoFrameScaler& operator=(const VideoFrameScaler&) = delete;

    // The converted picture, valid until the next call unless the caller takes a reference to it
    // (av_frame_ref / av_frame_clone), which keeps its planes untouched until released; nullptr
    // when the conversion failed.
    const AVFrame* scale(const PixelBuffer& source, const PixelCrop& crop, std::int64_t width, std::int64_t height,
                         AVPixelFormat format);

private:
    class BandWorkers;
    static constexpr int kMaxBands = 8;

    static bool hasUnscaledConversion(AVPixelFormat format);
    bool convertUnscaled(const AVFrame& out, const std::uint8_t* origin, int stride);
    bool prepare(const PixelCrop& crop, std::int64_t width, std::int64_t height, AVPixelFormat format);
    AVFrame* nextOutput(std::int64_t width, std::int64_t height, AVPixelFormat format);

    SwsContext* context_ = nullptr;
    // Enough for one picture being converted while two earlier ones are in the encoder and the
    // last one is kept for an unchanged screen.
    static constexpr int kOutputs = 4;
    AVFrame* outputs_[kOutputs] = {};
    int nextOutput_ = 0;
    AVFrame* output_ = nullptr;  // the one of outputs_ being converted into
    AVFrame* input_ = nullptr;
    AVFrame* staging_ = nullptr;  // the crop converted at its own size, before scaling
    std::int64_t sourceWidth_ = 0, sourceHeight_ = 0, width_ = 0, height_ = 0;
    AVPixelFormat format_ = AV_PIX_FMT_NONE;
    std::unique_ptr<BandWorkers> workers_;  // started with the first large unscaled picture
};

}  // namespace qm
