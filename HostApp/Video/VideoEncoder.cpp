#include "HostApp/Video/VideoEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <utility>

#include <pthread.h>

#include "HostApp/Video/VideoThreads.h"
#include "Platform/Core/ProcessMemory.h"

namespace qm {

namespace {

std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

void quietLibraries() {
    // libavcodec and its encoders report every option they pick at info level; only errors matter here.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

// libx264 and libx265 start their worker threads while the encoder opens, and a new thread takes
// its creator's name: without this, a per-thread CPU breakdown would charge the codec's work to
// whichever queue opened it. The opening thread has its own name back when this goes.
class CodecThreadNaming {
public:
    explicit CodecThreadNaming(const char* name) {
        named_ = pthread_getname_np(pthread_self(), saved_, sizeof saved_) == 0 &&
                 pthread_setname_np(pthread_self(), name) == 0;
    }
    ~CodecThreadNaming() {
        if (named_) pthread_setname_np(pthread_self(), saved_);
    }
    CodecThreadNaming(const CodecThreadNaming&) = delete;
    CodecThreadNaming& operator=(const CodecThreadNaming&) = delete;

private:
    char saved_[16] = {};  // the kernel keeps 15 characters and the terminator
    bool named_ = false;
};

std::uint64_t steadyNs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

std::vector<std::string> renderNodes() {
    std::vector<std::string> nodes;
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator("/dev/dri", ec)) {
        const auto name = entry.path().filename().string();
        if (name.rfind("renderD", 0) == 0) nodes.push_back(entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

const char* softwareEncoderName(VideoStreamCodec codec) {
    return codec == VideoStreamCodec::hevc ? "libx265" : "libx264";
}

const char* hardwareEncoderName(VideoStreamCodec codec) {
    return codec == VideoStreamCodec::hevc ? "hevc_vaapi" : "h264_vaapi";
}

std::int64_t defaultBitrate(std::int64_t width, std::int64_t height, std::int64_t fps) {
    return std::max<std::int64_t>(500'000, width * height * fps / 10);
}

void applyRateBuffer(AVCodecContext* ctx, const VideoEncoderSettings& settings) {
    const auto buffer = rateBufferFor(settings.bitrate, settings.fps, settings.burstRatio, settings.burstWindow);
    ctx->bit_rate = settings.bitrate;
    ctx->rc_max_rate = buffer.maxRate;
    ctx->rc_buffer_size = static_cast<int>(buffer.bufferBits);
}

bool isParameterSet(VideoStreamCodec codec, int type) {
    return codec == VideoStreamCodec::hevc ? (type >= 32 && type <= 34) : (type == 7 || type == 8);
}

void appendWithStartCode(Bytes& out, std::span<const std::uint8_t> nal) {
    static constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
    out.insert(out.end(), std::begin(startCode), std::end(startCode));
    out.insert(out.end(), nal.begin(), nal.end());
}

std::string join(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (auto& part : parts) {
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

// The size a codec can carry: within its maximum (scaled down, aspect kept) and even.
std::pair<std::int64_t, std::int64_t> carriableSize(VideoStreamCodec codec, std::int64_t width, std::int64_t height,
                                                    std::string& note) {
    const std::int64_t maximum = VideoEncoder::maximumDimension(codec);
    std::int64_t w = width, h = height;
    std::vector<std::string> reasons;
    if (w > maximum || h > maximum) {
        const double scale = std::min(static_cast<double>(maximum) / static_cast<double>(w),
                                      static_cast<double>(maximum) / static_cast<double>(h));
        w = static_cast<std::int64_t>(std::floor(static_cast<double>(w) * scale));
        h = static_cast<std::int64_t>(std::floor(static_cast<double>(h) * scale));
        reasons.push_back(std::string("beyond the ") + codecTitle(codec) + " maximum of " + std::to_string(maximum));
    }
    if (w % 2 || h % 2) reasons.push_back("the encoder needs even dimensions");
    w = std::max<std::int64_t>(2, w - w % 2);
    h = std::max<std::int64_t>(2, h - h % 2);
    note.clear();
    if (w != width || h != height) {
        note = "size " + std::to_string(width) + "x" + std::to_string(height) + " encoded as " + std::to_string(w) +
               "x" + std::to_string(h) + " (" + join(reasons, ", ") + ")";
    }
    return {w, h};
}

// Codes one flat keyframe and drains the session: what libx265 needs before it closes to free
// its SAO buffers (VideoEncoder::closingKeyframeNeeded). A flat picture is the cheapest to code.
void codeClosingKeyframe(AVCodecContext& ctx, std::int64_t pts) {
    const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(ctx.pix_fmt);
    AVFrame* flat = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    if (format && !(format->flags & AV_PIX_FMT_FLAG_HWACCEL) && flat && packet) {
        flat->format = ctx.pix_fmt;
        flat->width = ctx.width;
        flat->height = ctx.height;
        if (av_frame_get_buffer(flat, 0) >= 0) {
            for (int plane = 0; plane < format->nb_components && flat->data[plane]; ++plane) {
                const int rows = plane == 0 ? ctx.height : AV_CEIL_RSHIFT(ctx.height, format->log2_chroma_h);
                std::memset(flat->data[plane], 128, static_cast<std::size_t>(flat->linesize[plane]) * rows);
            }
            flat->pict_type = AV_PICTURE_TYPE_I;
            flat->pts = pts;
            if (avcodec_send_frame(&ctx, flat) >= 0) avcodec_send_frame(&ctx, nullptr);
            while (avcodec_receive_packet(&ctx, packet) >= 0) av_packet_unref(packet);
        }
    }
    av_packet_free(&packet);
    av_frame_free(&flat);
}

}  // namespace

// An open codec session on its way out, closed once: by finish(), or when it goes (a close queue
// that is torn down without running its blocks still closes what they held).
class VideoEncoder::ClosingSession {
public:
    ClosingSession(AVCodecContext* context, AVBufferRef* frames, AVBufferRef* device,
                   std::optional<std::int64_t> closingKeyframePts)
        : context_(context), frames_(frames), device_(device), closingKeyframePts_(closingKeyframePts) {}
    ~ClosingSession() { finish(); }
    ClosingSession(const ClosingSession&) = delete;
    ClosingSession& operator=(const ClosingSession&) = delete;

    void finish() {
        if (context_ && closingKeyframePts_) codeClosingKeyframe(*context_, *closingKeyframePts_);
        closingKeyframePts_.reset();
        avcodec_free_context(&context_);
        av_buffer_unref(&frames_);
        av_buffer_unref(&device_);
    }

private:
    AVCodecContext* context_;
    AVBufferRef* frames_;
    AVBufferRef* device_;
    std::optional<std::int64_t> closingKeyframePts_;
};

VideoQPRange qpRangeFor(VideoCaptureMode mode) {
    switch (mode) {
        // At Max's rate the floor binds: 16 already decodes above 50 dB, text included, and each
        // step below costs bits and encoder time at 4K without a visible gain.
        case VideoCaptureMode::max:
            return {16, 36, 16};
        // Between the two in bits per pixel.
        case VideoCaptureMode::pro:
            return {14, 38, 18};
        // At the Easy rate the rate control, not the floor, should decide: 12 is within a few
        // tenths of a dB of no floor and stops a still screen's repeats once they are sharp. Rate
        // factor 20 holds about 47 dB on a moving 1080p desktop at 7-8 of the 9 Mbit/s, so that
        // a keyframe request (two keyframes half a second apart) still fits the rate buffer.
        case VideoCaptureMode::physical1080:
        case VideoCaptureMode::physical1440:
        case VideoCaptureMode::easy:
            break;
    }
    return {12, 40, 20};
}

VideoRateBuffer rateBufferFor(std::int64_t bitrate, std::int64_t fps, double burstRatio, double burstWindow) {
    const double rate = static_cast<double>(std::max<std::int64_t>(bitrate, 1000));
    const double frame = 1.0 / static_cast<double>(std::clamp<std::int64_t>(fps, 1, 240));
    // std::clamp keeps a NaN; the comparisons below send it to the low end.
    const double ratio = burstRatio >= 1.0 ? std::min(burstRatio, 8.0) : 1.0;
    const double window = burstWindow >= frame ? std::min(burstWindow, 10.0) : frame;
    VideoRateBuffer out;
    out.maxRate = static_cast<std::int64_t>(rate * ratio);
    out.bufferBits = static_cast<std::int64_t>(std::min(rate * ratio * window, static_cast<double>(INT32_MAX)));
    out.bufferBits = std::max<std::int64_t>(out.bufferBits, 1000);
    return out;
}

VideoEncoderSettings encoderSettingsFor(const VideoStreamProfile& profile, std::int64_t width, std::int64_t height) {
    VideoEncoderSettings settings;
    settings.codec = profile.codec;
    settings.chromaMode = profile.chromaMode;
    settings.width = width;
    settings.height = height;
    settings.fps = profile.fps > 0 ? profile.fps : 60;
    settings.bitrate = profile.bitrate;
    settings.keyframeInterval = profile.keyframeInterval;
    settings.burstRatio = profile.burstRatio;
    settings.burstWindow = profile.burstWindow;
    const auto qp = qpRangeFor(profile.mode);
    settings.qpMin = qp.min;
    settings.qpMax = qp.max;
    settings.rateFactor = qp.rateFactor;
    return settings;
}

namespace {

// superfast costs about twice ultrafast and is clearly sharper; keep it up to 1080p60.
bool x264Superfast(const VideoEncoderSettings& settings) {
    return settings.width * settings.height * settings.fps <= 1920LL * 1080 * 60;
}

// What every encoder of the chain opens with: size, timing, no B-frames, keyframes only when
// asked for, the rate buffer and the colour description.
void configureCommon(AVCodecContext& ctx, const VideoEncoderSettings& settings) {
    const int fps = static_cast<int>(settings.fps);
    ctx.width = static_cast<int>(settings.width);
    ctx.height = static_cast<int>(settings.height);
    ctx.time_base = AVRational{1, fps};
    ctx.framerate = AVRational{fps, 1};
    // The encoder forces its keyframes itself (see encode()); the codec makes none of its own.
    ctx.gop_size = 1 << 20;
    ctx.max_b_frames = 0;
    applyRateBuffer(&ctx, settings);
    ctx.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ctx.thread_count = settings.threads > 0 ? settings.threads : encoderThreadCount(videoThreadBudget());
    // The scaler converts sRGB pixels with BT.601 coefficients into limited range; say so in the stream.
    ctx.colorspace = AVCOL_SPC_SMPTE170M;
    ctx.color_primaries = AVCOL_PRI_BT709;
    ctx.color_trc = AVCOL_TRC_IEC61966_2_1;
    ctx.color_range = AVCOL_RANGE_MPEG;
}

}  // namespace

void configureSoftwareEncoder(AVCodecContext& ctx, AVDictionary*& options, const VideoEncoderSettings& settings) {
    configureCommon(ctx, settings);
    ctx.pix_fmt = settings.chromaMode == VideoChromaMode::yuv444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
    av_dict_set(&options, "tune", "zerolatency", 0);
    av_dict_set(&options, "forced-idr", "1", 0);
    if (settings.rateFactor > 0) av_dict_set(&options, "crf", std::to_string(settings.rateFactor).c_str(), 0);
    if (settings.codec == VideoStreamCodec::hevc) {
        av_dict_set(&options, "preset", "ultrafast", 0);
        // x265 sizes its own pool from the machine, not from thread_count: name its size.
        std::string params = "log-level=none:bframes=0:frame-threads=1:pools=" + std::to_string(ctx.thread_count);
        // SAO on keyframes only. libx265 frees its SAO buffers at close only after a picture that
        // applied SAO, and with SAO off (ultrafast) none does: every encoder closed kept about
        // 200 kB at 1080p. With it on keyframes the encoder can end on one (closeSession), and they
        // come out sharper for about a fifth more time; on every picture it would cost the
        // predicted ones about a third more CPU, which 1080p60 on two CPUs does not have.
        params += ":selective-sao=1";
        if (settings.qpMin > 0) params += ":qpmin=" + std::to_string(settings.qpMin);
        if (settings.qpMax > 0) params += ":qpmax=" + std::to_string(settings.qpMax);
        // Named here too, in x265's kbit/s units, so the rate buffer does not depend on which
        // fields this libavcodec's wrapper forwards.
        const auto buffer = rateBufferFor(settings.bitrate, settings.fps, settings.burstRatio, settings.burstWindow);
        params += ":vbv-maxrate=" + std::to_string(std::max<std::int64_t>(1, buffer.maxRate / 1000)) +
                  ":vbv-bufsize=" + std::to_string(std::max<std::int64_t>(1, buffer.bufferBits / 1000));
        av_dict_set(&options, "x265-params", params.c_str(), 0);
    } else {
        if (settings.qpMin > 0) ctx.qmin = settings.qpMin;
        if (settings.qpMax > 0) ctx.qmax = settings.qpMax;
        av_dict_set(&options, "preset", x264Superfast(settings) ? "superfast" : "ultrafast", 0);
    }
}

const char* codecTitle(VideoStreamCodec codec) {
    return codec == VideoStreamCodec::hevc ? "HEVC" : "H.264";
}

const char* chromaTitle(VideoChromaMode chroma) {
    return chroma == VideoChromaMode::yuv444 ? "4:4:4" : "4:2:0";
}

std::vector<std::span<const std::uint8_t>> splitAnnexB(std::span<const std::uint8_t> stream) {
    std::vector<std::span<const std::uint8_t>> units;
    const std::size_t n = stream.size();
    // Finds the next 00 00 01 at or after `from`; n when there is none.
    auto nextStart = [&](std::size_t from) {
        for (std::size_t i = from; i + 2 < n; ++i) {
            if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) return i;
        }
        return n;
    };
    std::size_t start = nextStart(0);
    while (start < n) {
        const std::size_t payload = start + 3;
        std::size_t next = nextStart(payload);
        std::size_t end = next;
        // Zero bytes before the next start code belong to it (a four-byte start code or padding).
        while (end > payload && stream[end - 1] == 0) --end;
        if (end > payload) units.push_back(stream.subspan(payload, end - payload));
        start = next;
    }
    return units;
}

int nalUnitType(VideoStreamCodec codec, std::span<const std::uint8_t> nal) {
    if (nal.empty()) return -1;
    return codec == VideoStreamCodec::hevc ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F;
}

std::int64_t VideoEncoder::maximumDimension(VideoStreamCodec codec) {
    return codec == VideoStreamCodec::hevc ? 8192 : 4096;
}

std::vector<VideoEncoder::Attempt> VideoEncoder::fallbackChain(const VideoEncoderSettings& settings) {
    std::vector<VideoChromaMode> chromas{settings.chromaMode};
    if (settings.chromaMode == VideoChromaMode::yuv444) chromas.push_back(VideoChromaMode::yuv420);
    std::vector<VideoStreamCodec> codecs{settings.codec};
    if (settings.codec == VideoStreamCodec::hevc) codecs.push_back(VideoStreamCodec::h264);
    const auto nodes = settings.allowHardware ? renderNodes() : std::vector<std::string>{};

    std::vector<Attempt> chain;
    // Chroma first: a Viewer that asked for 4:4:4 wants sharp coloured text more than a codec.
    for (auto chroma : chromas) {
        for (auto codec : codecs) {
            // VAAPI encoders take 4:2:0 surfaces only.
            if (chroma == VideoChromaMode::yuv420) {
                for (auto& node : nodes) chain.push_back(Attempt{hardwareEncoderName(codec), codec, chroma, true, node});
            }
            chain.push_back(Attempt{softwareEncoderName(codec), codec, chroma, false, {}});
        }
    }
    return chain;
}

VideoEncoder::OpenResult VideoEncoder::open(const VideoEncoderSettings& requested) {
    quietLibraries();
    if (requested.width <= 0 || requested.height <= 0) {
        return {nullptr, "invalid video size " + std::to_string(requested.width) + "x" + std::to_string(requested.height)};
    }
    VideoEncoderSettings settings = requested;
    settings.fps = std::clamp<std::int64_t>(settings.fps > 0 ? settings.fps : 60, 1, 240);
    if (settings.bitrate <= 0) settings.bitrate = defaultBitrate(settings.width, settings.height, settings.fps);
    if (settings.keyframeInterval < 0) settings.keyframeInterval = 0;

    std::shared_ptr<VideoEncoder> encoder(new VideoEncoder());
    std::vector<std::string> failures;
    for (auto& attempt : fallbackChain(settings)) {
        std::string sizeNote;
        auto [width, height] = carriableSize(attempt.codec, settings.width, settings.height, sizeNote);
        auto failure = encoder->openAttempt(attempt, settings, width, height);
        if (failure) {
            failures.push_back(attempt.encoderName + (attempt.hardware ? " on " + attempt.renderNode : "") + ": " +
                               *failure);
            continue;
        }
        std::vector<std::string> notes;
        if (!sizeNote.empty()) notes.push_back(sizeNote);
        if (!failures.empty() || attempt.codec != requested.codec || attempt.chromaMode != requested.chromaMode) {
            std::string note = std::string("using ") + attempt.encoderName + " (" + codecTitle(attempt.codec) + " " +
                               chromaTitle(attempt.chromaMode) + ") for " + codecTitle(requested.codec) + " " +
                               chromaTitle(requested.chromaMode);
            if (!failures.empty()) note += " after " + join(failures, "; ");
            notes.push_back(note);
        }
        std::lock_guard lock(encoder->mutex_);
        encoder->config_.fallback = join(notes, "; ");
        return {encoder, {}};
    }
    return {nullptr, "no video encoder could open: " + join(failures, "; ")};
}

std::optional<std::string> VideoEncoder::openAttempt(const Attempt& attempt, const VideoEncoderSettings& settings,
                                                     std::int64_t width, std::int64_t height) {
    const AVCodec* codec = avcodec_find_encoder_by_name(attempt.encoderName.c_str());
    if (!codec) return std::string("not available in this libavcodec");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return std::string("out of memory");
    AVBufferRef* device = nullptr;
    AVBufferRef* frames = nullptr;
    AVDictionary* options = nullptr;
    auto fail = [&](std::string reason) -> std::optional<std::string> {
        av_dict_free(&options);
        avcodec_free_context(&ctx);
        av_buffer_unref(&frames);
        av_buffer_unref(&device);
        return reason;
    };

    VideoEncoderSettings session = settings;
    session.codec = attempt.codec;
    session.chromaMode = attempt.chromaMode;
    session.width = width;
    session.height = height;
    if (attempt.hardware) {
        configureCommon(*ctx, session);
        int r = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, attempt.renderNode.c_str(), nullptr, 0);
        if (r < 0) return fail("no VAAPI device: " + averror(r));
        frames = av_hwframe_ctx_alloc(device);
        if (!frames) return fail("out of memory");
        auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
        framesContext->format = AV_PIX_FMT_VAAPI;
        framesContext->sw_format = AV_PIX_FMT_NV12;
        framesContext->width = ctx->width;
        framesContext->height = ctx->height;
        framesContext->initial_pool_size = 8;
        if ((r = av_hwframe_ctx_init(frames)) < 0) return fail("no VAAPI surfaces: " + averror(r));
        ctx->pix_fmt = AV_PIX_FMT_VAAPI;
        ctx->hw_frames_ctx = av_buffer_ref(frames);
        av_dict_set(&options, "async_depth", "1", 0);  // hand each frame back before the next
    } else {
        configureSoftwareEncoder(*ctx, options, session);
    }

    int r = 0;
    {
        CodecThreadNaming naming(codecThreadName);
        r = avcodec_open2(ctx, codec, &options);
    }
    if (r < 0) return fail(averror(r));

    // The parameter sets go into the stream configuration; the encoder's global header has them.
    std::span<const std::uint8_t> header(ctx->extradata, ctx->extradata ? static_cast<std::size_t>(ctx->extradata_size) : 0);
    if (header.size() < 4 || !(header[0] == 0 && header[1] == 0 && (header[2] == 1 || (header[2] == 0 && header[3] == 1)))) {
        return fail("the encoder's header is not an Annex-B stream");
    }
    VideoEncoderConfig config;
    for (auto nal : splitAnnexB(header)) {
        const int type = nalUnitType(attempt.codec, nal);
        Bytes* target = nullptr;
        if (attempt.codec == VideoStreamCodec::hevc) {
            target = type == 32 ? &config.vps : type == 33 ? &config.sps : type == 34 ? &config.pps : nullptr;
        } else {
            target = type == 7 ? &config.sps : type == 8 ? &config.pps : nullptr;
        }
        if (target && target->empty()) target->assign(nal.begin(), nal.end());
    }
    if (config.sps.empty() || config.pps.empty() || (attempt.codec == VideoStreamCodec::hevc && config.vps.empty())) {
        return fail("the encoder's header lacks parameter sets");
    }
    av_dict_free(&options);

    if (!work_) work_ = av_frame_alloc();
    sessionPictures_ = 0;
    lastKeyframePicture_ = 0;
    lastPictureWasKeyframe_ = false;
    context_ = ctx;
    hardwareDevice_ = device;
    hardwareFrames_ = frames;
    attempt_ = attempt;
    settings_ = settings;
    settings_.width = width;
    settings_.height = height;
    settings_.codec = attempt.codec;
    settings_.chromaMode = attempt.chromaMode;

    config.codec = attempt.codec;
    config.chromaMode = attempt.chromaMode;
    config.width = width;
    config.height = height;
    config.fps = settings.fps;
    config.bitrate = settings.bitrate;
    config.keyframeInterval = settings.keyframeInterval;
    config.encoderName = attempt.encoderName;
    config.hardware = attempt.hardware;
    std::lock_guard lock(mutex_);
    config.fallback = config_.fallback;
    config_ = std::move(config);
    ++generation_;
    return std::nullopt;
}

bool VideoEncoder::honoursKeyframeRegion(const Attempt& attempt, const VideoEncoderSettings& settings) {
    // A region of interest needs the encoder's adaptive quantisation: libx264 has it at superfast
    // and not at ultrafast; libx265 at ultrafast has none, and turning it on (aq-mode=1) leaves
    // its keyframes byte for byte as they were. Elsewhere the rate factor alone holds the keyframe.
    return !attempt.hardware && attempt.codec == VideoStreamCodec::h264 && x264Superfast(settings);
}

AVRational VideoEncoder::startQuantiserOffset(std::int64_t picture, std::int64_t fps) {
    const auto span = std::max<std::int64_t>(1, std::lround(startQuantiserSeconds * static_cast<double>(fps)));
    if (picture <= 0 || picture >= span) return AVRational{0, startQuantiserSteps.den};
    const double left = 1.0 - static_cast<double>(picture) / static_cast<double>(span);
    return AVRational{static_cast<int>(std::lround(startQuantiserSteps.num * left)), startQuantiserSteps.den};
}

void VideoEncoder::sharpenKeyframe(AVFrame& frame, AVRational offset) {
    // The rate control quantises a keyframe about as finely as the predicted frames around it,
    // but on a desktop those have refined the unchanged text over many frames, so the keyframe
    // would be a visible dip (and the first picture, with nothing refined before it, a blur).
    // The rate buffer holds a finer keyframe: ask for one with a region of interest covering the
    // picture; the quantiser floor still bounds it. A held quality has no average to pay back,
    // so the pictures after it keep their quality.
    AVFrameSideData* data = av_frame_new_side_data(&frame, AV_FRAME_DATA_REGIONS_OF_INTEREST, sizeof(AVRegionOfInterest));
    if (!data) return;
    auto* region = reinterpret_cast<AVRegionOfInterest*>(data->data);
    region->self_size = sizeof(AVRegionOfInterest);
    region->top = 0;
    region->left = 0;
    region->bottom = frame.height;
    region->right = frame.width;
    region->qoffset = offset;
}

bool VideoEncoder::closingKeyframeNeeded() const {
    return context_ && !attempt_.hardware && attempt_.encoderName == "libx265" && sessionPictures_ > 0 &&
           !lastPictureWasKeyframe_;
}

void VideoEncoder::closeSession() {
    inFlight_.clear();
    if (!context_ && !hardwareFrames_ && !hardwareDevice_) return;
    std::optional<std::int64_t> closingKeyframePts;
    if (closingKeyframeNeeded()) closingKeyframePts = nextFrameNumber_;
    auto closing = std::make_shared<ClosingSession>(std::exchange(context_, nullptr), std::exchange(hardwareFrames_, nullptr),
                                                    std::exchange(hardwareDevice_, nullptr), closingKeyframePts);
    // Without a queue it closes here, as `closing` goes.
    if (closeQueue_) closing_.push_back(std::move(closing));
}

void VideoEncoder::handOverClosingSessions() {
    for (auto& closing : closing_) {
        closeQueue_->async([closing] {
            closing->finish();
            // The session's successor took its memory while this one still held its own, so what
            // this one gave back lies free among the successor's blocks, where no trim of the
            // arenas' tops reaches: handed back now, the Host's size does not wander with every
            // reopen.
            releaseFreeMemory();
        });
    }
    closing_.clear();
}

VideoEncoder::~VideoEncoder() {
    closeSession();
    handOverClosingSessions();
    av_frame_free(&work_);
}

VideoEncoderConfig VideoEncoder::config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

std::uint64_t VideoEncoder::configGeneration() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

AVPixelFormat VideoEncoder::inputPixelFormat() const {
    if (attempt_.hardware) return AV_PIX_FMT_NV12;
    return attempt_.chromaMode == VideoChromaMode::yuv444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
}

void VideoEncoder::updateRateControl(std::int64_t fps, std::int64_t bitrate) {
    std::lock_guard lock(mutex_);
    pendingRate_ = std::make_pair(fps, bitrate);
}

std::optional<std::string> VideoEncoder::reopen(const VideoEncoderSettings& settings, const std::string& reason) {
    closeSession();
    // The same encoder first, then the rest of the chain at the same size.
    std::vector<Attempt> chain{attempt_};
    for (auto& attempt : fallbackChain(settings)) {
        if (attempt.encoderName != attempt_.encoderName || attempt.renderNode != attempt_.renderNode) chain.push_back(attempt);
    }
    std::vector<std::string> failures;
    for (auto& attempt : chain) {
        if (attempt.hardware && !settings.allowHardware) continue;
        std::string sizeNote;
        auto [width, height] = carriableSize(attempt.codec, settings.width, settings.height, sizeNote);
        if (auto failure = openAttempt(attempt, settings, width, height)) {
            failures.push_back(attempt.encoderName + ": " + *failure);
            continue;
        }
        if (onStatus) {
            onStatus("encoder reopened (" + reason + "): " + attempt.encoderName + " " + std::to_string(width) +
                     "x" + std::to_string(height) + " " + std::to_string(settings.fps) + " fps " +
                     std::to_string(settings.bitrate) + " bps");
        }
        return std::nullopt;
    }
    return "encoder could not reopen (" + reason + "): " + join(failures, "; ");
}

void VideoEncoder::applyPendingRateChange(std::uint64_t captureUptimeNs) {
    std::optional<std::pair<std::int64_t, std::int64_t>> pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(pendingRate_);
    }
    if (!pending || !context_) return;
    const std::int64_t fps = std::clamp<std::int64_t>(pending->first > 0 ? pending->first : settings_.fps, 1, 240);
    const std::int64_t bitrate = pending->second > 0 ? pending->second : defaultBitrate(settings_.width, settings_.height, fps);
    if (fps == settings_.fps && bitrate == settings_.bitrate) return;

    if (fps == settings_.fps && !attempt_.hardware && attempt_.codec == VideoStreamCodec::h264) {
        // libx264 picks up new rate-control values at its next picture.
        settings_.bitrate = bitrate;
        applyRateBuffer(context_, settings_);
        {
            std::lock_guard lock(mutex_);
            config_.bitrate = bitrate;
        }
        if (onStatus) onStatus("encoder bit rate now " + std::to_string(bitrate) + " bps on the live session");
        return;
    }
    const bool rateOnly = fps == settings_.fps;
    if (rateOnly && lastRateReopenNs_ && captureUptimeNs >= *lastRateReopenNs_ &&
        captureUptimeNs - *lastRateReopenNs_ < rateReopenSpacingNs) {
        // Too soon after the last one: kept for a later picture, unless a newer request came meanwhile.
        std::lock_guard lock(mutex_);
        if (!pendingRate_) pendingRate_ = pending;
        return;
    }
    VideoEncoderSettings changed = settings_;
    changed.fps = fps;
    changed.bitrate = bitrate;
    if (rateOnly) lastRateReopenNs_ = captureUptimeNs;
    if (auto failure = reopen(changed, "rate change")) {
        if (onStatus) onStatus(*failure);
    }
}

VideoEncoder::EncodeResult VideoEncoder::encode(const AVFrame& picture, std::uint64_t captureUptimeNs,
                                                bool forceKeyFrame) {
    auto result = encodePicture(picture, captureUptimeNs, forceKeyFrame);
    // A session this picture replaced closes only now: its closing keyframe would otherwise take
    // CPU from the new session's first keyframe, the stream's longest picture.
    handOverClosingSessions();
    return result;
}

VideoEncoder::EncodeResult VideoEncoder::encodePicture(const AVFrame& picture, std::uint64_t captureUptimeNs,
                                                       bool forceKeyFrame) {
    applyPendingRateChange(captureUptimeNs);
    EncodeResult result;
    if (!context_) {
        result.error = "encoder is closed";
        return result;
    }
    const AVPixelFormat expected = inputPixelFormat();
    if (picture.width != context_->width || picture.height != context_->height || picture.format != expected ||
        !picture.data[0]) {
        // Handing the codec a smaller picture than it was opened for would make it read past the planes.
        result.error = "picture " + std::to_string(picture.width) + "x" + std::to_string(picture.height) + " format " +
                       std::to_string(picture.format) + " does not fit the encoder's " +
                       std::to_string(context_->width) + "x" + std::to_string(context_->height) + " format " +
                       std::to_string(static_cast<int>(expected));
        return result;
    }

    av_frame_unref(work_);
    int r;
    if (attempt_.hardware) {
        r = av_hwframe_get_buffer(hardwareFrames_, work_, 0);
        if (r >= 0) r = av_hwframe_transfer_data(work_, &picture, 0);
    } else {
        r = av_frame_ref(work_, &picture);
    }
    const std::int64_t frameNumber = nextFrameNumber_;
    // Keyframes come from here: a session's first picture, requests, and the interval when one is
    // set (the codec's own interval is off so that every keyframe is one the encoder asked for).
    const bool intervalDue = settings_.keyframeInterval > 0 && sessionPictures_ - lastKeyframePicture_ >= settings_.keyframeInterval;
    const bool keyframe = sessionPictures_ == 0 || forceKeyFrame || intervalDue;
    if (r >= 0 && keyframe) {
        lastKeyframePicture_ = sessionPictures_;
        if (honoursKeyframeRegion(attempt_, settings_)) {
            sharpenKeyframe(*work_, sessionPictures_ == 0 ? firstKeyframeQuantiserOffset : keyframeQuantiserOffset);
        }
    } else if (r >= 0 && honoursKeyframeRegion(attempt_, settings_)) {
        const AVRational offset = startQuantiserOffset(sessionPictures_, settings_.fps);
        if (offset.num != 0) sharpenKeyframe(*work_, offset);
    }
    if (r >= 0) {
        work_->pts = frameNumber;
        work_->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        inFlight_[frameNumber] = Pending{captureUptimeNs, steadyNs()};
        r = avcodec_send_frame(context_, work_);
    }
    av_frame_unref(work_);
    if (r < 0) {
        inFlight_.erase(frameNumber);
        if (attempt_.hardware) {
            // A hardware session that fails at run time is replaced by software; the next picture is a keyframe.
            VideoEncoderSettings software = settings_;
            software.allowHardware = false;
            auto failure = reopen(software, "hardware encoder failed: " + averror(r));
            if (failure) result.error = *failure;
            return result;
        }
        result.error = "encode failed: " + averror(r);
        return result;
    }
    ++nextFrameNumber_;
    ++sessionPictures_;
    lastPictureWasKeyframe_ = keyframe;

    AVPacket* packet = av_packet_alloc();
    for (;;) {
        r = avcodec_receive_packet(context_, packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            result.error = "encode failed: " + averror(r);
            break;
        }
        EncodedVideoFrame frame;
        frame.isKeyframe = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        frame.frameNumber = packet->pts;
        if (auto it = inFlight_.find(packet->pts); it != inFlight_.end()) {
            frame.captureUptimeNs = it->second.captureUptimeNs;
            frame.encodeDurationNs = steadyNs() - it->second.submittedSteadyNs;
        }
        inFlight_.erase(inFlight_.begin(), inFlight_.upper_bound(packet->pts));

        std::span<const std::uint8_t> bytes(packet->data, static_cast<std::size_t>(packet->size));
        bool hasParameterSets = false;
        if (frame.isKeyframe) {
            for (auto nal : splitAnnexB(bytes)) {
                if (isParameterSet(attempt_.codec, nalUnitType(attempt_.codec, nal))) hasParameterSets = true;
            }
        }
        if (frame.isKeyframe && !hasParameterSets) {
            const auto config = this->config();
            frame.buffer.reserve(EncodedVideoFrame::headroom + bytes.size() + config.vps.size() + config.sps.size() +
                                 config.pps.size() + 12);
            if (!config.vps.empty()) appendWithStartCode(frame.buffer, config.vps);
            appendWithStartCode(frame.buffer, config.sps);
            appendWithStartCode(frame.buffer, config.pps);
        } else {
            frame.buffer.reserve(EncodedVideoFrame::headroom + bytes.size());
        }
        frame.appendData(bytes);
        av_packet_unref(packet);
        result.frames.push_back(std::move(frame));
    }
    av_packet_free(&packet);
    return result;
}

}  // namespace qm
