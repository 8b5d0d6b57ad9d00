#include "HostApp/Video/VideoFrameScaler.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "HostApp/Video/VideoThreads.h"

namespace qm {

PixelCrop cropForNormalizedRegion(std::optional<Rect> region, std::int64_t width, std::int64_t height) {
    const PixelCrop whole{0, 0, width, height};
    if (!region || width < 2 || height < 2) return whole;
    const Rect& r = *region;
    if (!std::isfinite(r.minX()) || !std::isfinite(r.minY()) || !std::isfinite(r.width()) ||
        !std::isfinite(r.height()) || r.isEmpty()) {
        return whole;
    }
    const double x0 = std::clamp(r.minX(), 0.0, 1.0), x1 = std::clamp(r.maxX(), 0.0, 1.0);
    const double b0 = std::clamp(r.minY(), 0.0, 1.0), b1 = std::clamp(r.maxY(), 0.0, 1.0);
    if (!(x1 > x0) || !(b1 > b0)) return whole;

    const auto w = static_cast<double>(width), h = static_cast<double>(height);
    std::int64_t left = static_cast<std::int64_t>(std::floor(x0 * w));
    std::int64_t right = static_cast<std::int64_t>(std::ceil(x1 * w));
    std::int64_t top = static_cast<std::int64_t>(std::floor((1.0 - b1) * h));
    std::int64_t bottom = static_cast<std::int64_t>(std::ceil((1.0 - b0) * h));
    // At least 2 x 2 pixels, kept inside the picture.
    if (right - left < 2) {
        right = std::min(width, left + 2);
        left = right - 2;
    }
    if (bottom - top < 2) {
        bottom = std::min(height, top + 2);
        top = bottom - 2;
    }
    return PixelCrop{left, top, right - left, bottom - top};
}

namespace {

void keepSourceBuffer(void*, std::uint8_t*) {}

}  // namespace

// Long-lived helper threads, so that a frame's conversion does not pay for starting threads.
// There are exactly as many as a picture has bands beyond the caller's, so each frame wakes only
// threads that have work.
class VideoFrameScaler::BandWorkers {
public:
    explicit BandWorkers(int helpers) {
        for (int i = 0; i < helpers; ++i) threads_.emplace_back([this, i] { loop(i + 1); });
    }
    int helpers() const { return static_cast<int>(threads_.size()); }
    ~BandWorkers() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& thread : threads_) thread.join();
    }

    // Runs job(0 ..< bands) and returns when every band is done; the calling thread takes band 0
    // and any band without a helper.
    void run(int bands, const std::function<void(int)>& job) {
        const int helped = std::min(bands - 1, static_cast<int>(threads_.size()));
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            bands_ = helped + 1;
            pending_ = static_cast<int>(threads_.size());
            ++generation_;
        }
        wake_.notify_all();
        job(0);
        for (int index = helped + 1; index < bands; ++index) job(index);
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
        job_ = nullptr;
    }

private:
    void loop(int index) {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            const auto* job = job_;
            const bool mine = index < bands_;
            lock.unlock();
            if (mine) (*job)(index);
            lock.lock();
            if (--pending_ == 0) done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(int)>* job_ = nullptr;
    int bands_ = 0;
    int pending_ = 0;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

bool VideoFrameScaler::hasUnscaledConversion(AVPixelFormat format) {
    return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUV444P || format == AV_PIX_FMT_NV12;
}

VideoFrameScaler::VideoFrameScaler() = default;

VideoFrameScaler::~VideoFrameScaler() {
    sws_freeContext(context_);
    for (auto*& output : outputs_) av_frame_free(&output);
    av_frame_free(&input_);
    av_frame_free(&staging_);
}

AVFrame* VideoFrameScaler::nextOutput(std::int64_t width, std::int64_t height, AVPixelFormat format,
                                      std::uint64_t* held) {
    // Of the pictures nobody else references, the one holding the newest conversion: it misses
    // the fewest changes (only those since the encoder let it go, not those of every picture in
    // turn) and was written last. Else the first free one in turn; when all are held, the last
    // one tried gets fresh planes and the holder keeps the old ones.
    int slot = -1, firstFree = -1;
    for (int tried = 0; tried < kOutputs; ++tried) {
        const int candidate = (nextOutput_ + tried) % kOutputs;
        if (outputs_[candidate] && !av_frame_is_writable(outputs_[candidate])) continue;
        if (firstFree < 0) firstFree = candidate;
        if (outputHolds_[candidate] != 0 && (slot < 0 || outputHolds_[candidate] > outputHolds_[slot])) slot = candidate;
    }
    if (slot < 0) slot = firstFree >= 0 ? firstFree : (nextOutput_ + kOutputs - 1) % kOutputs;
    nextOutput_ = (slot + 1) % kOutputs;
    outputSlot_ = slot;
    // What it holds counts only for the caller that brings it up to date; anyone else overwrites it.
    if (held) *held = outputHolds_[slot];
    outputHolds_[slot] = 0;
    AVFrame*& output = outputs_[slot];
    if (output && output->width == width && output->height == height && output->format == format &&
        av_frame_is_writable(output)) {
        return output;
    }
    if (held) *held = 0;
    if (!output) output = av_frame_alloc();
    if (!output) return nullptr;
    // Every pixel is written anew, so old planes are dropped rather than copied.
    av_frame_unref(output);
    output->width = static_cast<int>(width);
    output->height = static_cast<int>(height);
    output->format = format;
    output->colorspace = AVCOL_SPC_SMPTE170M;
    output->color_range = AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(output, 0) < 0) {
        av_frame_free(&output);
        return nullptr;
    }
    return output;
}

bool VideoFrameScaler::prepare(const PixelCrop& crop, std::int64_t width, std::int64_t height, AVPixelFormat format) {
    if (context_ && sourceWidth_ == crop.width && sourceHeight_ == crop.height && width_ == width &&
        height_ == height && format_ == format) {
        return true;
    }
    sws_freeContext(context_);
    context_ = sws_alloc_context();
    if (!context_) return false;
    const bool large = std::max(crop.width * crop.height, width * height) >= 1280 * 720;
    const int threads = large ? std::clamp(videoThreadBudget(), 1, kMaxBands) : 1;
    av_opt_set_int(context_, "srcw", crop.width, 0);
    av_opt_set_int(context_, "srch", crop.height, 0);
    av_opt_set_int(context_, "src_format", AV_PIX_FMT_BGRA, 0);
    av_opt_set_int(context_, "dstw", width, 0);
    av_opt_set_int(context_, "dsth", height, 0);
    av_opt_set_int(context_, "dst_format", format, 0);
    av_opt_set_int(context_, "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(context_, "threads", threads, 0);
    if (sws_init_context(context_, nullptr, nullptr) < 0) {
        sws_freeContext(context_);
        context_ = nullptr;
        return false;
    }
    // Full-range RGB in, BT.601 limited-range YUV out: the same matrix as the unscaled path, and what
    // the encoder signals in the stream.
    sws_setColorspaceDetails(context_, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SWS_CS_ITU601), 0,
                             0, 1 << 16, 1 << 16);
    sourceWidth_ = crop.width;
    sourceHeight_ = crop.height;
    width_ = width;
    height_ = height;
    format_ = format;
    return true;
}

void VideoFrameScaler::noteChange(const PixelBuffer& source, const PixelCrop& crop, std::int64_t width,
                                  std::int64_t height, AVPixelFormat format,
                                  const std::optional<std::vector<PixelRect>>& changed) {
    Change change;
    change.serial = ++serial_;
    change.whole = !changed || crop != changeCrop_ || source.width != changeSourceWidth_ ||
                   source.height != changeSourceHeight_ || width != changeWidth_ || height != changeHeight_ ||
                   format != changeFormat_ || crop.width != width || crop.height != height;
    changeCrop_ = crop;
    changeSourceWidth_ = source.width;
    changeSourceHeight_ = source.height;
    changeWidth_ = width;
    changeHeight_ = height;
    changeFormat_ = format;
    if (!change.whole) {
        // Into the crop's pixels, on even rows and columns so that every chroma sample of 4:2:0 is
        // made from the same four pixels as in a whole pass.
        for (const auto& rect : *changed) {
            const std::int64_t left = std::max(rect.x, crop.x) - crop.x;
            const std::int64_t top = std::max(rect.y, crop.y) - crop.y;
            const std::int64_t right = std::min(rect.x + rect.width, crop.x + crop.width) - crop.x;
            const std::int64_t bottom = std::min(rect.y + rect.height, crop.y + crop.height) - crop.y;
            if (right <= left || bottom <= top) continue;
            const PixelRect aligned{left & ~std::int64_t{1}, top & ~std::int64_t{1},
                                    std::min(width, (right + 1) & ~std::int64_t{1}) - (left & ~std::int64_t{1}),
                                    std::min(height, (bottom + 1) & ~std::int64_t{1}) - (top & ~std::int64_t{1})};
            if (std::find(change.rects.begin(), change.rects.end(), aligned) == change.rects.end()) {
                change.rects.push_back(aligned);
            }
        }
        if (change.rects.size() > kMaxRegionRects) change.whole = true;
    }
    if (change.whole) change.rects.clear();
    history_.push_back(std::move(change));
    while (history_.size() > kHistory) history_.pop_front();
}

std::optional<std::vector<PixelRect>> VideoFrameScaler::missedSince(std::uint64_t held, std::int64_t width,
                                                                    std::int64_t height) const {
    if (held == 0 || history_.empty() || history_.front().serial > held + 1) return std::nullopt;
    std::vector<PixelRect> missed;
    double area = 0;
    for (const auto& change : history_) {
        if (change.serial <= held) continue;
        if (change.whole) return std::nullopt;
        for (const auto& rect : change.rects) {
            if (std::find(missed.begin(), missed.end(), rect) != missed.end()) continue;
            missed.push_back(rect);
            area += static_cast<double>(rect.width * rect.height);
        }
    }
    if (missed.size() > kMaxRegionRects || area > kMaxRegionShare * static_cast<double>(width * height)) {
        return std::nullopt;
    }
    return missed;
}

const AVFrame* VideoFrameScaler::scale(const PixelBuffer& source, const PixelCrop& crop, std::int64_t width,
                                       std::int64_t height, AVPixelFormat format,
                                       const std::optional<std::vector<PixelRect>>& changed) {
    // Noted before anything can fail: the next call's change is counted from this source.
    noteChange(source, crop, width, height, format, changed);
    lastConvertedShare_ = 1;
    const bool sourceFits = source.pixelFormat == CapturePixelFormat::bgra && source.bytesPerRow >= source.width * 4 &&
                            source.byteCount() >= static_cast<std::size_t>(source.bytesPerRow * source.height);
    const bool cropFits = crop.x >= 0 && crop.y >= 0 && crop.width > 0 && crop.height > 0 &&
                          crop.x + crop.width <= source.width && crop.y + crop.height <= source.height;
    if (!sourceFits || !cropFits || width <= 0 || height <= 0) return nullptr;
    const bool sameSize = crop.width == width && crop.height == height;
    const bool planar = hasUnscaledConversion(format);
    if (!planar && !prepare(crop, width, height, format)) return nullptr;

    const std::uint8_t* origin = source.row(crop.y) + crop.x * 4;
    const int stride = static_cast<int>(source.bytesPerRow);
    if (planar && sameSize) {
        std::uint64_t held = 0;
        output_ = nextOutput(width, height, format, &held);
        if (!output_) return nullptr;
        bool converted = false;
        if (const auto missed = missedSince(held, width, height)) {
            converted = true;
            double area = 0;
            for (const auto& rect : *missed) {
                converted = converted && convertRegion(*output_, origin, stride, rect);
                area += static_cast<double>(rect.width * rect.height);
            }
            lastConvertedShare_ = area / static_cast<double>(width * height);
        } else {
            converted = convertUnscaled(*output_, origin, stride);
        }
        if (!converted) return nullptr;
        outputHolds_[outputSlot_] = serial_;
        return output_;
    }
    if (planar) {
        // Converted at the crop's size, then scaled plane by plane: a fraction of what the same
        // scaling costs through swscale.
        if (!staging_ || staging_->width != crop.width || staging_->height != crop.height || staging_->format != format) {
            av_frame_free(&staging_);
            staging_ = av_frame_alloc();
            if (!staging_) return nullptr;
            staging_->width = static_cast<int>(crop.width);
            staging_->height = static_cast<int>(crop.height);
            staging_->format = format;
            if (av_frame_get_buffer(staging_, 0) < 0) {
                av_frame_free(&staging_);
                return nullptr;
            }
        }
        if (!convertUnscaled(*staging_, origin, stride)) return nullptr;
        output_ = nextOutput(width, height, format);
        if (!output_) return nullptr;
        const AVFrame& in = *staging_;
        AVFrame& out = *output_;
        int r = -1;
        switch (format) {
            case AV_PIX_FMT_YUV420P:
                r = libyuv::I420Scale(in.data[0], in.linesize[0], in.data[1], in.linesize[1], in.data[2], in.linesize[2],
                                      in.width, in.height, out.data[0], out.linesize[0], out.data[1], out.linesize[1],
                                      out.data[2], out.linesize[2], out.width, out.height, libyuv::kFilterBilinear);
                break;
            case AV_PIX_FMT_YUV444P:
                r = libyuv::I444Scale(in.data[0], in.linesize[0], in.data[1], in.linesize[1], in.data[2], in.linesize[2],
                                      in.width, in.height, out.data[0], out.linesize[0], out.data[1], out.linesize[1],
                                      out.data[2], out.linesize[2], out.width, out.height, libyuv::kFilterBilinear);
                break;
            case AV_PIX_FMT_NV12:
                r = libyuv::NV12Scale(in.data[0], in.linesize[0], in.data[1], in.linesize[1], in.width, in.height,
                                      out.data[0], out.linesize[0], out.data[1], out.linesize[1], out.width, out.height,
                                      libyuv::kFilterBilinear);
                break;
            default:
                break;
        }
        return r == 0 ? output_ : nullptr;
    }

    output_ = nextOutput(width, height, format);
    if (!output_) return nullptr;

    if (!input_) input_ = av_frame_alloc();
    if (!input_) return nullptr;
    av_frame_unref(input_);
    input_->format = AV_PIX_FMT_BGRA;
    input_->width = static_cast<int>(crop.width);
    input_->height = static_cast<int>(crop.height);
    input_->data[0] = const_cast<std::uint8_t*>(origin);
    input_->linesize[0] = static_cast<int>(source.bytesPerRow);
    // A reference that does not own the pixels, so the scaler reads them in place instead of copying.
    input_->buf[0] = av_buffer_create(const_cast<std::uint8_t*>(source.bytes()), source.byteCount(),
                                      keepSourceBuffer, nullptr, AV_BUFFER_FLAG_READONLY);
    if (!input_->buf[0]) return nullptr;
    const int r = sws_scale_frame(context_, output_, input_);
    av_frame_unref(input_);
    return r < 0 ? nullptr : output_;
}

// libyuv's "ARGB" is the byte order B, G, R, A in memory: the capture's BGRA. Large pictures are
// converted in bands of rows on a few threads; 4:2:0 bands start on even rows so that every
// chroma row comes from the same two luma rows as in one pass.
bool VideoFrameScaler::convertUnscaled(const AVFrame& out, const std::uint8_t* origin, int stride) {
    return convertRegion(out, origin, stride, PixelRect{0, 0, out.width, out.height});
}

// `region` lies inside the picture, on even rows and columns (or ends at the picture's edge).
bool VideoFrameScaler::convertRegion(const AVFrame& out, const std::uint8_t* origin, int stride,
                                     const PixelRect& region) {
    const bool halfHeight = out.format != AV_PIX_FMT_YUV444P;
    const int x = static_cast<int>(region.x), width = static_cast<int>(region.width);
    const int regionTop = static_cast<int>(region.y), height = static_cast<int>(region.height);
    if (width <= 0 || height <= 0) return true;
    // About half a megapixel per band, and no more bands than CPUs to run them.
    const int bands = static_cast<int>(std::clamp<std::int64_t>(region.width * region.height / (512 * 1024), 1,
                                                                std::min(kMaxBands, videoThreadBudget())));
    std::atomic<bool> failed = false;
    auto band = [&](int index) {
        const int top = regionTop + ((height * index / bands) & ~1);
        const int bottom = regionTop + (index + 1 == bands ? height : (height * (index + 1) / bands) & ~1);
        if (bottom <= top) return;
        const std::uint8_t* src = origin + static_cast<std::ptrdiff_t>(top) * stride + static_cast<std::ptrdiff_t>(x) * 4;
        const int chromaTop = halfHeight ? top / 2 : top;
        // Chroma columns: half as many in 4:2:0, interleaved pairs in NV12.
        const int chromaX = out.format == AV_PIX_FMT_YUV420P ? x / 2 : x;
        auto plane = [&](int p, int row, int column) {
            return out.data[p] + static_cast<std::ptrdiff_t>(row) * out.linesize[p] + column;
        };
        int r = -1;
        switch (out.format) {
            case AV_PIX_FMT_YUV420P:
                r = libyuv::ARGBToI420(src, stride, plane(0, top, x), out.linesize[0], plane(1, chromaTop, chromaX),
                                       out.linesize[1], plane(2, chromaTop, chromaX), out.linesize[2], width,
                                       bottom - top);
                break;
            case AV_PIX_FMT_YUV444P:
                r = libyuv::ARGBToI444(src, stride, plane(0, top, x), out.linesize[0], plane(1, chromaTop, x),
                                       out.linesize[1], plane(2, chromaTop, x), out.linesize[2], width, bottom - top);
                break;
            case AV_PIX_FMT_NV12:
                r = libyuv::ARGBToNV12(src, stride, plane(0, top, x), out.linesize[0], plane(1, chromaTop, chromaX),
                                       out.linesize[1], width, bottom - top);
                break;
            default:
                break;
        }
        if (r != 0) failed = true;
    };
    if (bands == 1) {
        band(0);
    } else {
        if (!workers_ || workers_->helpers() != bands - 1) {
            workers_.reset();
            workers_ = std::make_unique<BandWorkers>(bands - 1);
        }
        workers_->run(bands, band);
    }
    return !failed;
}

}  // namespace qm
