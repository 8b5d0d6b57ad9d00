#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Video/VideoEncoder.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "Platform/ScreenCapture.h"

struct AVCodecContext;
struct AVFrame;

namespace qm::test {

// A decoded picture as three tightly packed 8-bit planes (Y, Cb, Cr).
struct DecodedPicture {
    int width = 0;
    int height = 0;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    std::array<std::vector<std::uint8_t>, 3> planes;
    bool keyFrame = false;
    // The colour matrix and range the stream signals (or the scaler tagged the picture with).
    AVColorSpace colorSpace = AVCOL_SPC_UNSPECIFIED;
    AVColorRange colorRange = AVCOL_RANGE_UNSPECIFIED;

    int planeWidth(int plane) const;
    int planeHeight(int plane) const;
};

// Decodes an Annex-B H.264 or HEVC stream (4:2:0 or 4:4:4) with libavcodec, one access unit at a
// time and without frame delay.
class VideoDecoder {
public:
    explicit VideoDecoder(VideoStreamCodec codec);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // The pictures this access unit completed; errors are counted and the last one kept.
    std::vector<DecodedPicture> decode(std::span<const std::uint8_t> accessUnit);

    int errorCount() const { return errors_; }
    const std::string& lastError() const { return lastError_; }

private:
    std::vector<DecodedPicture> drain();

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    int errors_ = 0;
    std::string lastError_;
};

// The configuration's parameter sets as an Annex-B stream (VPS, SPS, PPS).
Bytes parameterSetsAnnexB(const VideoEncoderConfig& config);

// What the encoder was given for `source`: the same crop, scaling and conversion as the capture.
DecodedPicture referencePicture(const PixelBuffer& source, const PixelCrop& crop, int width, int height,
                                VideoChromaMode chromaMode);

struct PicturePSNR {
    double y = 0;
    double cb = 0;
    double cr = 0;
};
// Peak signal-to-noise ratio per plane, in dB (capped at 99 for identical planes); -1 per plane
// when the two pictures differ in shape.
PicturePSNR psnr(const DecodedPicture& decoded, const DecodedPicture& reference);

}  // namespace qm::test
