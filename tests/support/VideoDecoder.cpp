#include "support/VideoDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qm::test {

namespace {

std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

bool toPicture(const AVFrame& frame, DecodedPicture& out) {
    switch (frame.format) {
        case AV_PIX_FMT_YUV420P:
        case AV_PIX_FMT_YUVJ420P:
            out.chromaMode = VideoChromaMode::yuv420;
            break;
        case AV_PIX_FMT_YUV444P:
        case AV_PIX_FMT_YUVJ444P:
            out.chromaMode = VideoChromaMode::yuv444;
            break;
        default:
            return false;
    }
    out.width = frame.width;
    out.height = frame.height;
    out.colorSpace = frame.colorspace;
    out.colorRange = frame.color_range;
    for (int plane = 0; plane < 3; ++plane) {
        const int w = out.planeWidth(plane), h = out.planeHeight(plane);
        auto& bytes = out.planes[static_cast<std::size_t>(plane)];
        bytes.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        for (int y = 0; y < h; ++y) {
            std::memcpy(bytes.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w),
                        frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane],
                        static_cast<std::size_t>(w));
        }
    }
    return true;
}

double planePSNR(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return -1;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(a.size());
    return mse <= 0 ? 99.0 : std::min(99.0, 10.0 * std::log10(255.0 * 255.0 / mse));
}

}  // namespace

int DecodedPicture::planeWidth(int plane) const {
    return plane == 0 || chromaMode == VideoChromaMode::yuv444 ? width : (width + 1) / 2;
}

int DecodedPicture::planeHeight(int plane) const {
    return plane == 0 || chromaMode == VideoChromaMode::yuv444 ? height : (height + 1) / 2;
}

VideoDecoder::VideoDecoder(VideoStreamCodec codec) {
    const AVCodec* decoder = avcodec_find_decoder(codec == VideoStreamCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    context_ = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    if (context_) {
        context_->thread_count = 1;  // no frame threading: every access unit comes out at once
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(context_, decoder, nullptr) < 0) avcodec_free_context(&context_);
    }
    frame_ = av_frame_alloc();
    if (!context_) {
        ++errors_;
        lastError_ = "decoder unavailable";
    }
}

VideoDecoder::~VideoDecoder() {
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
}

std::vector<DecodedPicture> VideoDecoder::decode(std::span<const std::uint8_t> accessUnit) {
    if (!context_ || accessUnit.empty()) return {};
    AVPacket* packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, static_cast<int>(accessUnit.size())) < 0) {
        av_packet_free(&packet);
        ++errors_;
        lastError_ = "out of memory";
        return {};
    }
    std::memcpy(packet->data, accessUnit.data(), accessUnit.size());
    const int r = avcodec_send_packet(context_, packet);
    av_packet_free(&packet);
    if (r < 0) {
        ++errors_;
        lastError_ = averror(r);
        return {};
    }
    return drain();
}

std::vector<DecodedPicture> VideoDecoder::drain() {
    std::vector<DecodedPicture> pictures;
    for (;;) {
        const int r = avcodec_receive_frame(context_, frame_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            ++errors_;
            lastError_ = averror(r);
            break;
        }
        DecodedPicture picture;
        picture.keyFrame = frame_->key_frame != 0;
        if (toPicture(*frame_, picture)) {
            pictures.push_back(std::move(picture));
        } else {
            ++errors_;
            lastError_ = "unexpected pixel format " + std::to_string(frame_->format);
        }
        av_frame_unref(frame_);
    }
    return pictures;
}

StreamDecoder::StreamDecoder(VideoStreamCodec codec, int threads) {
    const AVCodec* decoder = avcodec_find_decoder(codec == VideoStreamCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    context_ = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    if (context_) {
        context_->thread_count = std::max(1, threads);
        context_->thread_type = FF_THREAD_SLICE;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(context_, decoder, nullptr) < 0) avcodec_free_context(&context_);
    }
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!context_ || !frame_ || !packet_) ++errors_;
}

StreamDecoder::~StreamDecoder() {
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_frame_free(&kept_);
    av_packet_free(&packet_);
}

int StreamDecoder::decode(std::span<const std::uint8_t> parameterSets, std::span<const std::uint8_t> accessUnit) {
    if (!context_ || !frame_ || !packet_ || accessUnit.empty()) return 0;
    av_packet_unref(packet_);
    if (av_new_packet(packet_, static_cast<int>(parameterSets.size() + accessUnit.size())) < 0) {
        ++errors_;
        return 0;
    }
    if (!parameterSets.empty()) std::memcpy(packet_->data, parameterSets.data(), parameterSets.size());
    std::memcpy(packet_->data + parameterSets.size(), accessUnit.data(), accessUnit.size());
    if (avcodec_send_packet(context_, packet_) < 0) {
        ++errors_;
        return 0;
    }
    int pictures = 0;
    for (;;) {
        av_frame_unref(frame_);
        const int r = avcodec_receive_frame(context_, frame_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            ++errors_;
            break;
        }
        ++pictures;
        if (keep_ && (kept_ || (kept_ = av_frame_alloc()))) {
            av_frame_unref(kept_);
            av_frame_ref(kept_, frame_);
        }
    }
    return pictures;
}

std::optional<DecodedPicture> StreamDecoder::keptPicture() const {
    DecodedPicture picture;
    if (!kept_ || !toPicture(*kept_, picture)) return std::nullopt;
    return picture;
}

Bytes parameterSetsAnnexB(const std::vector<Bytes>& parameterSets) {
    Bytes out;
    for (const Bytes& set : parameterSets) {
        if (set.empty()) continue;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), set.begin(), set.end());
    }
    return out;
}

Bytes parameterSetsAnnexB(const VideoEncoderConfig& config) {
    return parameterSetsAnnexB(std::vector<Bytes>{config.vps, config.sps, config.pps});
}

DecodedPicture referencePicture(const PixelBuffer& source, const PixelCrop& crop, int width, int height,
                                VideoChromaMode chromaMode) {
    VideoFrameScaler scaler;
    const AVFrame* frame = scaler.scale(source, crop, width, height,
                                        chromaMode == VideoChromaMode::yuv444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P);
    DecodedPicture picture;
    if (frame) toPicture(*frame, picture);
    return picture;
}

PicturePSNR psnr(const DecodedPicture& decoded, const DecodedPicture& reference) {
    if (decoded.width != reference.width || decoded.height != reference.height ||
        decoded.chromaMode != reference.chromaMode) {
        return PicturePSNR{-1, -1, -1};
    }
    return PicturePSNR{planePSNR(decoded.planes[0], reference.planes[0]), planePSNR(decoded.planes[1], reference.planes[1]),
                       planePSNR(decoded.planes[2], reference.planes[2])};
}

}  // namespace qm::test
