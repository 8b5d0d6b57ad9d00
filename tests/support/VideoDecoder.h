#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Video/VideoEncoder.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "Platform/ScreenCapture.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

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

// Decodes a live stream as a Viewer does: slice threads (the Host's encoder cuts each picture into
// as many slices as it has threads, so they decode at once), no frame delay, and the picture left
// in the decoder's own frame rather than copied out, unless asked to keep it.
class StreamDecoder {
public:
    StreamDecoder(VideoStreamCodec codec, int threads);
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // Decodes one access unit, with `parameterSets` (Annex B, may be empty) in front of it; the
    // number of pictures it completed. The packet is the one copy a Viewer makes anyway (the
    // decoder wants padded input).
    int decode(std::span<const std::uint8_t> parameterSets, std::span<const std::uint8_t> accessUnit);
    // Keeps a reference to the last picture decoded, for keptPicture().
    void keepPictures(bool keep) { keep_ = keep; }
    // The last picture kept, as tightly packed planes.
    std::optional<DecodedPicture> keptPicture() const;
    int errorCount() const { return errors_; }

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVFrame* kept_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool keep_ = false;
    int errors_ = 0;
};

// The configuration's parameter sets as an Annex-B stream (VPS, SPS, PPS).
Bytes parameterSetsAnnexB(const VideoEncoderConfig& config);
// The same for the parameter sets a stream configuration packet carries, in their order.
Bytes parameterSetsAnnexB(const std::vector<Bytes>& parameterSets);

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
