// What a Viewer sees of the Host's video at the rate it asked for, for a moving desktop and a page
// that only scrolls, in the Easy mode on a 1920x1080 display: the first second of the stream apart
// from the rest, and keyframes requested every 1, 3 or 10 s.
//
// Every picture is encoded, decoded and compared with what the encoder was given (luma PSNR, and
// luma PSNR over the text regions). The keyframes follow the Host's own schedule: the stream's
// first picture (a stream that starts for a Viewer gets no second one behind it), and for every
// request the keyframe at once and the one 0.5 s later (as a capture-mode request makes them).
// Two sides encode the same pictures with the same keyframes in the same run:
//   host  the Host's encoder (VideoEncoder) for the stream profile;
//   bare  libx264 / libx265 through libavcodec opened with exactly the Host's context fields and
//         options (configureSoftwareEncoder), with nothing the Host adds per picture.
//
// Per run: the median PSNR after the first second (the stream's level), how far the worst frame
// of the first second and of the rest falls below it, the share of later frames more than 3 dB
// below it, the lowest text PSNR of each part, each requested keyframe against the five frames
// before it (and the request's second keyframe against the five frames before that one), the
// half second after it against the half second before it, the quantisers the first picture and
// the worst requested keyframe were coded with (H.264, read back from the stream: the mean over
// the macroblocks and the share at the quantiser floor), and the frames a
// capture at 60 fps would drop: the Host's capture drops a frame when the encoder still has two
// to do (more while the first picture is encoded and the encoder catches up after it, less the
// frames a Viewer has not acknowledged yet), so the measured encode times are replayed against a
// 60 fps clock with that rule, a Viewer acknowledging each frame one frame time after it was encoded.
// A second family sweeps the quantiser floor of the Host's H.264 settings (how the floors of
// qpRangeFor() were chosen); run it with --benchmark_filter=FloorSweep.
//
// Run on two and on four CPUs: `taskset -c 0,1 video_quality_bench` and `taskset -c 0-3 ...`.
// The PSNR figures are the same on any machine with as many CPUs, nearly always: with slice
// threads x264's rate buffer control of a picture reads how far the other slices have come, so
// a heavily loaded machine now and then codes a keyframe differently. The encode times and the
// drops depend on the machine. The summary at the end gives one row per shape, side and request
// period; QM_VQ_TRACE=1 also prints every frame of the second around the first request.

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/video_enc_params.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HostApp/Server/VideoFlow.h"
#include "HostApp/Video/HostVideoCapture.h"
#include "HostApp/Video/VideoEncoder.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "HostApp/Video/VideoThreads.h"
#include "Platform/ScreenCapture.h"
#include "support/VideoDecoder.h"

using namespace qm;

namespace {

constexpr std::int64_t kFps = 60;
constexpr std::int64_t kFirstSecond = kFps;
// When the Viewer acknowledges a frame, after it was encoded: its transfer and decoding, taken as
// one frame time (the live benchmark measures real ones).
constexpr double kAckMs = 1000.0 / kFps;
// The Host forces a second keyframe this long after every keyframe request.
constexpr std::int64_t kRetryFrames = kFps / 2;
// The Easy rate the Host gives a 1920x1080 display (36 Mbit/s scaled by its area against the
// HiDPI 1080 canvas, 8 Mbit/s at least).
constexpr std::int64_t kEasy1080Bitrate = 9'000'000;
// Frames on either side of a keyframe that it is judged against.
constexpr std::int64_t kBefore = 5;
constexpr std::int64_t kAround = kFps / 2;

enum class Motion { moving = 0, scrolling = 1 };
enum class Side { host = 0, bare = 1 };

const char* sideName(Side side) {
    return side == Side::host ? "host" : "bare";
}

VideoStreamProfile easyProfile(VideoStreamCodec codec) {
    VideoStreamProfile profile;
    profile.mode = VideoCaptureMode::easy;
    profile.codec = codec;
    profile.width = 1920;
    profile.height = 1080;
    profile.fps = kFps;
    profile.bitrate = kEasy1080Bitrate;
    return profile;
}

VideoEncoderSettings hostSettings(const VideoStreamProfile& profile) {
    auto settings = encoderSettingsFor(profile, profile.width, profile.height);
    settings.allowHardware = false;
    return settings;
}

std::string shapeTitle(VideoStreamCodec codec, Motion motion) {
    return std::string(codecTitle(codec)) + " Easy 1920x1080 " + (motion == Motion::moving ? "moving" : "scrolling");
}

double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// libavcodec opened with the Host's software settings and nothing else.
class BareEncoder {
public:
    explicit BareEncoder(const VideoEncoderSettings& settings) {
        const AVCodec* found =
            avcodec_find_encoder_by_name(settings.codec == VideoStreamCodec::hevc ? "libx265" : "libx264");
        if (!found) return;
        ctx_ = avcodec_alloc_context3(found);
        AVDictionary* options = nullptr;
        configureSoftwareEncoder(*ctx_, options, settings);
        if (avcodec_open2(ctx_, found, &options) < 0) avcodec_free_context(&ctx_);
        av_dict_free(&options);
        packet_ = av_packet_alloc();
    }
    ~BareEncoder() {
        av_packet_free(&packet_);
        avcodec_free_context(&ctx_);
    }
    bool ok() const { return ctx_ != nullptr; }

    std::vector<EncodedVideoFrame> encode(AVFrame& picture, std::int64_t number, bool keyFrame) {
        picture.pts = number;
        picture.pict_type = keyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        std::vector<EncodedVideoFrame> out;
        if (avcodec_send_frame(ctx_, &picture) < 0) return out;
        while (avcodec_receive_packet(ctx_, packet_) == 0) {
            EncodedVideoFrame frame;
            frame.isKeyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
            frame.frameNumber = packet_->pts;
            // The parameter sets live in the global header; a keyframe carries them, as the Host's do.
            if (frame.isKeyframe && ctx_->extradata) {
                frame.appendData(std::span<const std::uint8_t>(ctx_->extradata, static_cast<std::size_t>(ctx_->extradata_size)));
            }
            frame.appendData(std::span<const std::uint8_t>(packet_->data, static_cast<std::size_t>(packet_->size)));
            av_packet_unref(packet_);
            out.push_back(std::move(frame));
        }
        picture.pict_type = AV_PICTURE_TYPE_NONE;
        return out;
    }

private:
    AVCodecContext* ctx_ = nullptr;
    AVPacket* packet_ = nullptr;
};

// The quantisers an H.264 picture was actually coded with, read back from the stream: libx264
// reports only its rate control's frame quantiser, not the per-macroblock one after the region of
// interest, the adaptive quantisation and the quantiser floor.
class QuantiserProbe {
public:
    struct Reading {
        double mean = -1;        // mean macroblock quantiser
        int low = 0;             // the finest macroblock quantiser
        std::string bands;       // mean quantiser of each eighth of the rows (QM_VQ_TRACE)
        double atOrBelow = 0;    // share of macroblocks at or under `floor`
    };
    QuantiserProbe() {
        const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
        ctx_ = decoder ? avcodec_alloc_context3(decoder) : nullptr;
        if (!ctx_) return;
        ctx_->thread_count = 1;
        ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        ctx_->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
        if (avcodec_open2(ctx_, decoder, nullptr) < 0) avcodec_free_context(&ctx_);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~QuantiserProbe() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&ctx_);
    }
    QuantiserProbe(const QuantiserProbe&) = delete;
    QuantiserProbe& operator=(const QuantiserProbe&) = delete;

    Reading read(std::span<const std::uint8_t> accessUnit, int floor) {
        Reading out;
        if (!ctx_ || av_new_packet(packet_, static_cast<int>(accessUnit.size())) < 0) return out;
        std::memcpy(packet_->data, accessUnit.data(), accessUnit.size());
        const int sent = avcodec_send_packet(ctx_, packet_);
        av_packet_unref(packet_);
        if (sent < 0) return out;
        while (avcodec_receive_frame(ctx_, frame_) == 0) {
            const AVFrameSideData* data = av_frame_get_side_data(frame_, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
            if (data) {
                auto* params = reinterpret_cast<AVVideoEncParams*>(data->data);
                double sum = 0;
                int low = 99, under = 0;
                double bandSum[8] = {0};
                int bandCount[8] = {0};
                for (unsigned int b = 0; b < params->nb_blocks; ++b) {
                    const auto* block = av_video_enc_params_block(params, b);
                    const int qp = params->qp + block->delta_qp;
                    const int band = std::clamp(block->src_y * 8 / std::max(1, frame_->height), 0, 7);
                    bandSum[band] += qp;
                    ++bandCount[band];
                    sum += qp;
                    low = std::min(low, qp);
                    under += qp <= floor ? 1 : 0;
                }
                for (int band = 0; band < 8; ++band) {
                    char text[16];
                    std::snprintf(text, sizeof text, " %.1f", bandCount[band] ? bandSum[band] / bandCount[band] : 0.0);
                    out.bands += text;
                }
                if (params->nb_blocks > 0) {
                    out.mean = sum / params->nb_blocks;
                    out.low = low;
                    out.atOrBelow = static_cast<double>(under) / params->nb_blocks;
                }
            }
            av_frame_unref(frame_);
        }
        return out;
    }

private:
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

// Luma PSNR over a set of rectangles of two pictures of the same size.
double regionPSNR(const test::DecodedPicture& a, const test::DecodedPicture& b,
                  const std::vector<SyntheticScreenContent::PixelRect>& rects) {
    double sum = 0;
    std::int64_t count = 0;
    for (const auto& r : rects) {
        for (std::int64_t y = r.y; y < r.y + r.height && y < a.height; ++y) {
            const auto row = static_cast<std::size_t>(y) * static_cast<std::size_t>(a.width);
            for (std::int64_t x = r.x; x < r.x + r.width && x < a.width; ++x) {
                const double d = static_cast<double>(a.planes[0][row + static_cast<std::size_t>(x)]) -
                                 static_cast<double>(b.planes[0][row + static_cast<std::size_t>(x)]);
                sum += d * d;
                ++count;
            }
        }
    }
    if (count == 0) return 0;
    const double mse = sum / static_cast<double>(count);
    return mse <= 0 ? 99.0 : std::min(99.0, 10.0 * std::log10(255.0 * 255.0 / mse));
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

double mean(const std::vector<double>& values, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    to = std::min(to, values.size());
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += values[i];
    return to > from ? sum / static_cast<double>(to - from) : 0;
}

double lowest(const std::vector<double>& values, std::size_t from, std::size_t to) {
    double low = 99;
    for (std::size_t i = from; i < std::min(to, values.size()); ++i) low = std::min(low, values[i]);
    return low;
}

// The frames a capture at `fps` drops with the Host's capture rule (HostVideoCapture: a frame is
// handed over only while the encoder has fewer than its backlog to do; a larger one, sized as the
// server sizes it, until the first picture is encoded, and while the encoder catches up after it
// less the frames the Viewer has not acknowledged yet), given how long each frame took to encode
// (ms); index i is the frame of slot i. The Viewer acknowledges each frame `ackMs` after it was
// encoded (its transfer and decoding). Without `catchUp`, the rule before the catch-up existed:
// two from the moment the first picture is encoded.
std::vector<bool> replayCapture(const std::vector<double>& encodeMs, std::int64_t fps, double ackMs, bool catchUp) {
    const int startBacklog = HostVideoCapture::startBacklogFor(VideoFlow::congestionWindowFor(fps));
    std::vector<bool> dropped(encodeMs.size(), false);
    std::deque<double> finishing;  // when the frames handed over will be done, in order
    std::deque<double> acknowledged;  // when the frames encoded will be acknowledged, in order
    double encoderFree = 0;
    const double firstDone = encodeMs.empty() ? 0 : encodeMs[0];
    bool startOver = false;
    for (std::size_t i = 0; i < encodeMs.size(); ++i) {
        const double arrival = static_cast<double>(i) * 1000.0 / static_cast<double>(fps);
        while (!finishing.empty() && finishing.front() <= arrival) {
            acknowledged.push_back(finishing.front() + ackMs);
            finishing.pop_front();
        }
        while (!acknowledged.empty() && acknowledged.front() <= arrival) acknowledged.pop_front();
        auto phase = HostVideoCapture::StartPhase::firstPicture;
        if (startOver) {
            phase = HostVideoCapture::StartPhase::started;
        } else if (i > 0 && firstDone <= arrival) {
            startOver = !catchUp || finishing.size() <= 1 || static_cast<std::int64_t>(i) + 1 > fps;
            phase = startOver ? HostVideoCapture::StartPhase::started : HostVideoCapture::StartPhase::catchingUp;
        }
        const auto backlog = static_cast<std::size_t>(
            HostVideoCapture::encoderBacklog(phase, startBacklog, static_cast<std::int64_t>(acknowledged.size())));
        if (finishing.size() >= backlog) {
            dropped[i] = true;
            continue;
        }
        encoderFree = std::max(encoderFree, arrival) + encodeMs[i];
        finishing.push_back(encoderFree);
    }
    return dropped;
}

struct Sequence {
    VideoStreamCodec codec;
    Motion motion;
    Side side;
    int requestSeconds = 0;  // 0: no requests after the start
    int qpFloor = -1;        // the mode's floor when negative
};

// Where keyframes are asked for: the start, and each request with its retry.
std::set<std::int64_t> keyframeSchedule(const Sequence& seq, std::int64_t frames, std::set<std::int64_t>& requests) {
    std::set<std::int64_t> keys{0};
    if (seq.requestSeconds > 0) {
        for (std::int64_t at = seq.requestSeconds * kFps; at < frames; at += seq.requestSeconds * kFps) {
            requests.insert(at);
            keys.insert(at);
            if (at + kRetryFrames < frames) keys.insert(at + kRetryFrames);
        }
    }
    return keys;
}

// At least four seconds, long enough for two requests and the second after them (one request and
// the two seconds after it for the 10 s period).
std::int64_t framesFor(const Sequence& seq) {
    const std::int64_t period = seq.requestSeconds;
    return (period > 3 ? period + 2 : std::max<std::int64_t>(4, 2 * period + 1)) * kFps;
}

// Encodes, decodes and judges one shape on one side.
void runSequence(benchmark::State& state, const Sequence& seq) {
    const auto profile = easyProfile(seq.codec);
    auto settings = hostSettings(profile);
    if (seq.qpFloor >= 0) settings.qpMin = seq.qpFloor;
    std::shared_ptr<VideoEncoder> encoder;
    std::unique_ptr<BareEncoder> bare;
    if (seq.side == Side::bare) {
        bare = std::make_unique<BareEncoder>(settings);
        if (!bare->ok()) {
            state.SkipWithError("bare encoder did not open");
            return;
        }
    } else {
        auto opened = VideoEncoder::open(settings);
        if (!opened.encoder) {
            state.SkipWithError(opened.error.c_str());
            return;
        }
        encoder = opened.encoder;
    }

    const std::int64_t frames = framesFor(seq);
    std::set<std::int64_t> requests;
    const auto keys = keyframeSchedule(seq, frames, requests);
    SyntheticScreenContent content(profile.width, profile.height);
    const std::vector<SyntheticScreenContent::PixelRect> textRects{content.documentTextRect(),
                                                                   content.scrollingPanelRect()};
    VideoFrameScaler scaler;
    const PixelCrop crop{0, 0, profile.width, profile.height};

    std::vector<double> psnr(static_cast<std::size_t>(frames), 0), text(static_cast<std::size_t>(frames), 0);
    std::vector<double> encodeMs, bytes(static_cast<std::size_t>(frames), 0);
    std::vector<QuantiserProbe::Reading> quantisers(static_cast<std::size_t>(frames));
    int decodeErrors = 0, keyframes = 0;
    for (auto _ : state) {
        test::VideoDecoder decoder(seq.codec);
        std::optional<QuantiserProbe> probe;
        if (seq.codec == VideoStreamCodec::h264) probe.emplace();
        PixelBuffer screen;
        std::optional<SyntheticScreenContent::Moment> previous;
        for (std::int64_t n = 0; n < frames; ++n) {
            const auto slot = static_cast<std::uint64_t>(n);
            const SyntheticScreenContent::Moment moment{slot, seq.motion == Motion::moving ? slot : 0};
            content.render(moment, screen, previous);
            previous = moment;
            const AVFrame* converted = scaler.scale(screen, crop, profile.width, profile.height, AV_PIX_FMT_YUV420P);
            if (!converted) {
                state.SkipWithError("conversion failed");
                return;
            }
            const bool key = keys.contains(n);
            const double started = nowMs();
            std::vector<EncodedVideoFrame> out;
            if (encoder) {
                auto result = encoder->encode(*converted, slot, key);
                if (result.error) {
                    state.SkipWithError(result.error->c_str());
                    return;
                }
                out = std::move(result.frames);
            } else {
                AVFrame* picture = av_frame_clone(converted);
                out = bare->encode(*picture, n, key);
                av_frame_free(&picture);
            }
            encodeMs.push_back(nowMs() - started);
            state.PauseTiming();
            const auto reference =
                test::referencePicture(screen, crop, static_cast<int>(profile.width), static_cast<int>(profile.height),
                                       VideoChromaMode::yuv420);
            for (auto& frame : out) {
                auto pictures = decoder.decode(frame.data());
                if (pictures.size() != 1 || frame.frameNumber != n) {
                    ++decodeErrors;
                    continue;
                }
                const auto i = static_cast<std::size_t>(n);
                bytes[i] = static_cast<double>(frame.data().size());
                psnr[i] = test::psnr(pictures[0], reference).y;
                text[i] = regionPSNR(pictures[0], reference, textRects);
                if (probe) quantisers[i] = probe->read(frame.data(), settings.qpMin);
                if (frame.isKeyframe) ++keyframes;
            }
            state.ResumeTiming();
        }
    }
    if (decodeErrors > 0) {
        state.SkipWithError("frames missing or undecodable");
        return;
    }

    const auto first = static_cast<std::size_t>(kFirstSecond);
    const auto all = static_cast<std::size_t>(frames);
    const std::vector<double> rest(psnr.begin() + static_cast<std::ptrdiff_t>(first), psnr.end());
    const double median = percentile(rest, 0.5);
    const auto dropped = replayCapture(encodeMs, kFps, kAckMs, true);
    const auto droppedWithoutCatchUp = replayCapture(encodeMs, kFps, kAckMs, false);
    auto dropsIn = [&](std::size_t from, std::size_t to, const std::vector<bool>& which = {}) {
        const auto& replay = which.empty() ? dropped : which;
        return static_cast<double>(std::count(replay.begin() + static_cast<std::ptrdiff_t>(from),
                                              replay.begin() + static_cast<std::ptrdiff_t>(to), true));
    };
    double totalBytes = 0;
    for (double b : bytes) totalBytes += b;
    state.counters["Mbit/s"] = totalBytes * 8 / (static_cast<double>(frames) / kFps) / 1e6;
    state.counters["median"] = median;
    state.counters["first_psnr"] = psnr[0];
    state.counters["first_text"] = text[0];
    state.counters["first_kB"] = bytes[0] / 1000;
    state.counters["first_enc_ms"] = encodeMs[0];
    state.counters["s1_worst_below"] = median - lowest(psnr, 0, first);
    state.counters["s1_text_min"] = lowest(text, 0, first);
    state.counters["s1_dropped"] = dropsIn(0, first);
    state.counters["s1_dropped_plain"] = dropsIn(0, first, droppedWithoutCatchUp);
    state.counters["rest_worst_below"] = median - lowest(psnr, first, all);
    state.counters["rest_text_min"] = lowest(text, first, all);
    state.counters["rest_text_mean"] = mean(text, first, all);
    state.counters["rest_dropped"] = dropsIn(first, all);
    std::int64_t deep = 0;
    for (double v : rest) deep += v < median - 3 ? 1 : 0;
    state.counters["rest_over3dB_pct"] = 100.0 * static_cast<double>(deep) / static_cast<double>(rest.size());
    // Each request against the frames just before it, and the half second after it against the half
    // second before: the keyframe should sit among its neighbours and leave the stream where it was.
    double keyWorst = 0, keyAfterWorst = 0, keyKB = 0, keyEncMs = 0, keyQp = -1, keyAtFloor = 0, retryWorst = 0;
    for (const auto at : requests) {
        const auto i = static_cast<std::size_t>(at);
        const double before = mean(psnr, i - kBefore, i);
        const double step = psnr[i] - before;
        if (std::abs(step) > std::abs(keyWorst)) {
            keyWorst = step;
            keyQp = quantisers[i].mean;
            keyAtFloor = quantisers[i].atOrBelow;
        }
        const double after = mean(psnr, i + 1, i + 1 + kAround) - mean(psnr, i - kAround, i);
        if (std::abs(after) > std::abs(keyAfterWorst)) keyAfterWorst = after;
        keyKB = std::max(keyKB, bytes[i] / 1000);
        keyEncMs = std::max(keyEncMs, encodeMs[i]);
        // The second keyframe of the request, against the frames just before it.
        const auto r = i + static_cast<std::size_t>(kRetryFrames);
        if (r < all && keys.contains(static_cast<std::int64_t>(r))) {
            const double retryStep = psnr[r] - mean(psnr, r - kBefore, r);
            if (std::abs(retryStep) > std::abs(retryWorst)) retryWorst = retryStep;
        }
    }
    state.counters["key_vs_before"] = keyWorst;
    state.counters["key_after_shift"] = keyAfterWorst;
    state.counters["retry_vs_before"] = retryWorst;
    state.counters["key_kB_max"] = keyKB;
    state.counters["key_enc_ms_max"] = keyEncMs;
    state.counters["key_qp"] = keyQp;
    state.counters["key_at_floor_pct"] = 100.0 * keyAtFloor;
    state.counters["first_qp"] = quantisers[0].mean;
    // QM_VQ_TRACE=1 prints every frame from a second before the first request to a second after it.
    if (const char* trace = std::getenv("QM_VQ_TRACE"); trace && *trace == '1' && !requests.empty()) {
        const auto at = static_cast<std::size_t>(*requests.begin());
        for (std::size_t i = at - std::min<std::size_t>(at, kFps); i < std::min(all, at + kFps); ++i) {
            if (i == at - std::min<std::size_t>(at, kFps)) {
                std::printf("trace %s frame 0 key psnr %.2f text %.2f kB %.1f qp %.2f bands%s\n", sideName(seq.side), psnr[0],
                            text[0], bytes[0] / 1000, quantisers[0].mean, quantisers[0].bands.c_str());
            }
            std::printf("trace %s frame %zu%s psnr %.2f text %.2f kB %.1f qp %.2f low %d floor %.0f%% bands%s\n",
                        sideName(seq.side), i, keys.contains(static_cast<std::int64_t>(i)) ? " key" : "", psnr[i],
                        text[i], bytes[i] / 1000, quantisers[i].mean, quantisers[i].low,
                        100.0 * quantisers[i].atOrBelow, quantisers[i].bands.c_str());
        }
    }
    std::vector<double> predicted;
    for (std::size_t i = 0; i < all; ++i) {
        if (!keys.contains(static_cast<std::int64_t>(i))) predicted.push_back(encodeMs[i]);
    }
    state.counters["enc_ms_p50"] = percentile(predicted, 0.5);
    state.counters["keyframes"] = keyframes;
    std::string label = shapeTitle(seq.codec, seq.motion) + " | " + sideName(seq.side) + " | " +
                        (seq.requestSeconds > 0 ? std::to_string(seq.requestSeconds) + " s" : "none");
    if (seq.qpFloor >= 0) label += " | floor " + std::to_string(seq.qpFloor);
    state.SetLabel(label);
}

void BM_Quality(benchmark::State& state) {
    runSequence(state, Sequence{state.range(0) == 0 ? VideoStreamCodec::h264 : VideoStreamCodec::hevc,
                                static_cast<Motion>(state.range(1)), static_cast<Side>(state.range(2)),
                                static_cast<int>(state.range(3))});
}

void BM_FloorSweep(benchmark::State& state) {
    runSequence(state, Sequence{VideoStreamCodec::h264, static_cast<Motion>(state.range(0)), Side::host, 3,
                                static_cast<int>(state.range(1))});
}

// The sides of one shape and period run next to each other, so load from elsewhere falls on both.
void qualityShapes(benchmark::internal::Benchmark* b) {
    for (int codec : {0, 1}) {
        for (int motion : {0, 1}) {
            for (int period : {1, 3, 10}) {
                for (int side : {0, 1}) b->Args({codec, motion, side, period});
            }
        }
    }
}

void floorShapes(benchmark::internal::Benchmark* b) {
    for (int motion : {0, 1}) {
        for (int floor : {0, 10, 12, 14, 16, 18}) b->Args({motion, floor});
    }
}

}  // namespace

BENCHMARK(BM_Quality)->Apply(qualityShapes)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FloorSweep)->Apply(floorShapes)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

namespace {

// Prints what the console shows and keeps each run's figures, for the table at the end.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            auto& row = rows_[run.report_label];
            if (row.empty()) order_.push_back(run.report_label);
            for (const auto& [name, counter] : run.counters) row[name] = counter.value;
        }
    }

    void printSummary() const {
        std::printf("\n%d CPUs usable (affinity), encoder threads %d. \"1st s\": the first second; \"rest\": the "
                    "frames after it; \"below\": the median after the first second minus the worst frame; "
                    "\"key\": the largest step of a requested keyframe against the 5 frames before it; "
                    "\"after\": the largest shift of the half second after a request against the half second "
                    "before; dropped: frames a 60 fps capture would drop (in brackets: with two from the first "
                    "picture on, the rule before the encoder was let catch up)\n",
                    videoThreadBudget(), encoderThreadCount(videoThreadBudget()));
        std::printf("| shape | side | requests | Mbit/s | median dB | 1st s below | 1st s text min | 1st s dropped "
                    "| first dB / text / kB / ms | rest below | rest > 3 dB below | rest text min | rest dropped "
                    "| key dB | retry dB | after dB | key kB | key ms | enc ms p50 | first / key QP (at floor) |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
        for (const auto& label : order_) {
            const auto& row = rows_.at(label);
            auto get = [&](const char* key) {
                const auto it = row.find(key);
                return it == row.end() ? 0.0 : it->second;
            };
            std::printf("| %s | %.2f | %.1f | %.1f | %.1f | %.0f (%.0f) | %.1f / %.1f / %.0f / %.0f | %.1f | %.1f %% | %.1f | %.0f "
                        "| %+.1f | %+.1f | %+.1f | %.0f | %.0f | %.1f | %.1f / %.1f (%.0f %%) |\n",
                        label.c_str(), get("Mbit/s"), get("median"), get("s1_worst_below"), get("s1_text_min"),
                        get("s1_dropped"), get("s1_dropped_plain"), get("first_psnr"), get("first_text"), get("first_kB"), get("first_enc_ms"),
                        get("rest_worst_below"), get("rest_over3dB_pct"), get("rest_text_min"), get("rest_dropped"),
                        get("key_vs_before"), get("retry_vs_before"), get("key_after_shift"), get("key_kB_max"), get("key_enc_ms_max"),
                        get("enc_ms_p50"), get("first_qp"), get("key_qp"), get("key_at_floor_pct"));
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> rows_;
    std::vector<std::string> order_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary();
    benchmark::Shutdown();
    return 0;
}
