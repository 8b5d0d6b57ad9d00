// What ending a libx265 session costs and what it leaves behind, at 1920x1080 with the Host's
// settings for the Easy mode (the moving synthetic desktop, as the capture converts it).
//
// BM_HEVCSessionEnds: sessions of 30 pictures (a keyframe, then predicted ones) on bare libavcodec
// opened with exactly the Host's context fields and options (configureSoftwareEncoder) but for SAO,
// ended three ways, in interleaved rounds in the same process:
//   before  no SAO (the Host's settings until SAO on keyframes), closed at once;
//   host    SAO on keyframes only (the Host's settings), a flat keyframe coded before the close
//           (what VideoEncoder does when the last picture was predicted);
//   sao     SAO on every picture, closed at once.
// Per way, the median over the rounds: the keyframe's and the predicted pictures' encode time
// (wall, and the process's CPU over the call: the codec's threads), their PSNR (luma, decoded
// against what the encoder was given), their size, the end (closing keyframe and close: wall and
// CPU) and the heap the session left in use (glibc's count, mallinfo2; the first rounds warm up
// libx265's caches that fill once per quantiser for the process). Ratios against "before".
//
// BM_HEVCRateReopens: one stream with a new bit rate at every cycle (8 pictures, 10 s of capture
// time apart, so each cycle's first picture reopens), two sides in interleaved cycles:
//   host  the Host's VideoEncoder, closing replaced sessions on a queue of their own;
//   bare  libavcodec reopened in place with the Host's settings before SAO on keyframes: closed
//         (at once), opened with the new rate, on the encoding thread.
// Per side: the reopening picture's time on the encoding thread (close, open and keyframe), the
// pictures after it (mean and slowest: the host's closing keyframe runs beside them), the process
// CPU of a cycle and the heap a reopen left in use; ratios host/bare.
//
// Run on two CPUs and on all: `taskset -c 6,7 hevc_close_bench` and `hevc_close_bench`;
// QM_HEVC_ROUNDS (7) and QM_HEVC_REOPENS (10) set the measured rounds and reopens.

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HostApp/Video/VideoEncoder.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/ScreenCapture.h"
#include "support/VideoDecoder.h"

using namespace qm;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr std::int64_t kFps = 60;
constexpr std::int64_t kEasy1080Bitrate = 9'000'000;
constexpr int kSessionPictures = 30;
constexpr int kCyclePictures = 8;
constexpr int kWarmUp = 2;

int fromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const int value = text ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

double wallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::int64_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

VideoEncoderSettings hostSettings() {
    VideoStreamProfile profile;
    profile.mode = VideoCaptureMode::easy;
    profile.codec = VideoStreamCodec::hevc;
    profile.width = kWidth;
    profile.height = kHeight;
    profile.fps = kFps;
    profile.bitrate = kEasy1080Bitrate;
    auto settings = encoderSettingsFor(profile, kWidth, kHeight);
    settings.allowHardware = false;
    return settings;
}

using FramePtr = std::unique_ptr<AVFrame, void (*)(AVFrame*)>;

// The moving desktop's first `count` pictures, converted as the capture does.
std::vector<FramePtr> desktopPictures(int count) {
    SyntheticScreenContent content(kWidth, kHeight);
    VideoFrameScaler scaler;
    std::vector<FramePtr> pictures;
    for (int i = 0; i < count; ++i) {
        const AVFrame* scaled = scaler.scale(content.makeFrame(static_cast<std::uint64_t>(i)),
                                             PixelCrop{0, 0, kWidth, kHeight}, kWidth, kHeight, AV_PIX_FMT_YUV420P);
        pictures.emplace_back(scaled ? av_frame_clone(scaled) : nullptr, [](AVFrame* f) { av_frame_free(&f); });
    }
    return pictures;
}

double lumaPsnr(const test::DecodedPicture& decoded, const AVFrame& given) {
    double squared = 0;
    for (int y = 0; y < kHeight; ++y) {
        const std::uint8_t* a = decoded.planes[0].data() + static_cast<std::size_t>(y) * kWidth;
        const std::uint8_t* b = given.data[0] + static_cast<std::ptrdiff_t>(y) * given.linesize[0];
        for (int x = 0; x < kWidth; ++x) {
            const double d = static_cast<double>(a[x]) - static_cast<double>(b[x]);
            squared += d * d;
        }
    }
    const double mse = squared / (static_cast<double>(kWidth) * kHeight);
    return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99.0;
}

enum class Way { before = 0, host = 1, sao = 2 };
const char* wayName(Way way) {
    return way == Way::before ? "before" : way == Way::host ? "host" : "sao";
}

// libavcodec's libx265 with the Host's settings, SAO as `way` has it.
AVCodecContext* openBare(const VideoEncoderSettings& settings, Way way) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx265");
    if (!codec) return nullptr;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVDictionary* options = nullptr;
    configureSoftwareEncoder(*ctx, options, settings);
    std::string params = av_dict_get(options, "x265-params", nullptr, 0)->value;
    const std::string selective = ":selective-sao=1";
    if (const auto at = params.find(selective); at != std::string::npos) {
        params.replace(at, selective.size(), way == Way::before ? "" : way == Way::sao ? ":sao=1" : selective);
    }
    av_dict_set(&options, "x265-params", params.c_str(), 0);
    if (avcodec_open2(ctx, codec, &options) < 0) avcodec_free_context(&ctx);
    av_dict_free(&options);
    return ctx;
}

// Sends one picture and takes what comes out; the access units in Annex B, parameter sets in
// front of a keyframe.
std::vector<Bytes> encodeBare(AVCodecContext* ctx, AVFrame& picture, std::int64_t pts, bool keyframe) {
    std::vector<Bytes> units;
    picture.pts = pts;
    picture.pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    AVPacket* packet = av_packet_alloc();
    if (avcodec_send_frame(ctx, &picture) >= 0) {
        while (avcodec_receive_packet(ctx, packet) == 0) {
            Bytes unit;
            if ((packet->flags & AV_PKT_FLAG_KEY) && ctx->extradata) unit.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
            unit.insert(unit.end(), packet->data, packet->data + packet->size);
            units.push_back(std::move(unit));
            av_packet_unref(packet);
        }
    }
    av_packet_free(&packet);
    picture.pict_type = AV_PICTURE_TYPE_NONE;
    return units;
}

// The flat keyframe the Host codes before closing a session whose last picture was predicted.
void codeFlatKeyframe(AVCodecContext* ctx, std::int64_t pts) {
    FramePtr flat(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    flat->format = AV_PIX_FMT_YUV420P;
    flat->width = kWidth;
    flat->height = kHeight;
    if (av_frame_get_buffer(flat.get(), 0) < 0) return;
    for (int plane = 0; plane < 3; ++plane) {
        std::memset(flat->data[plane], 128, static_cast<std::size_t>(flat->linesize[plane]) * (plane ? kHeight / 2 : kHeight));
    }
    encodeBare(ctx, *flat, pts, true);
    avcodec_send_frame(ctx, nullptr);
    AVPacket* packet = av_packet_alloc();
    while (avcodec_receive_packet(ctx, packet) == 0) av_packet_unref(packet);
    av_packet_free(&packet);
}

struct SessionFigures {
    double keyMs = 0, keyCpuMs = 0, predictedMs = 0, predictedCpuMs = 0;
    double keyDb = 0, predictedDb = 0, keyKB = 0, predictedKB = 0;
    double endMs = 0, endCpuMs = 0;
    double keptKB = 0;
};

SessionFigures runSession(Way way, const std::vector<FramePtr>& pictures) {
    SessionFigures figures;
    const std::int64_t heapBefore = heapInUse();
    {
        AVCodecContext* ctx = openBare(hostSettings(), way);
        if (!ctx) return figures;
        test::VideoDecoder decoder(VideoStreamCodec::hevc);
        std::vector<double> ms, cpu, db, kb;
        for (int i = 0; i < kSessionPictures; ++i) {
            const double wall0 = wallMs(), cpu0 = processCpuMs();
            const auto units = encodeBare(ctx, *pictures[static_cast<std::size_t>(i)], i, i == 0);
            const double wall1 = wallMs(), cpu1 = processCpuMs();
            double bytes = 0, quality = 0;
            for (const auto& unit : units) {
                bytes += static_cast<double>(unit.size());
                for (const auto& decoded : decoder.decode(unit)) quality = lumaPsnr(decoded, *pictures[static_cast<std::size_t>(i)]);
            }
            if (i == 0) {
                figures.keyMs = wall1 - wall0;
                figures.keyCpuMs = cpu1 - cpu0;
                figures.keyDb = quality;
                figures.keyKB = bytes / 1000;
            } else {
                ms.push_back(wall1 - wall0);
                cpu.push_back(cpu1 - cpu0);
                db.push_back(quality);
                kb.push_back(bytes / 1000);
            }
        }
        figures.predictedMs = median(ms);
        figures.predictedCpuMs = median(cpu);
        figures.predictedDb = median(db);
        figures.predictedKB = median(kb);
        const double wall0 = wallMs(), cpu0 = processCpuMs();
        if (way == Way::host) codeFlatKeyframe(ctx, kSessionPictures);
        avcodec_free_context(&ctx);
        figures.endMs = wallMs() - wall0;
        figures.endCpuMs = processCpuMs() - cpu0;
    }
    figures.keptKB = static_cast<double>(heapInUse() - heapBefore) / 1024;
    return figures;
}

void BM_HEVCSessionEnds(benchmark::State& state) {
    const int rounds = fromEnvironment("QM_HEVC_ROUNDS", 7);
    const auto pictures = desktopPictures(kSessionPictures);
    constexpr Way ways[] = {Way::before, Way::host, Way::sao};
    std::vector<SessionFigures> figures[3];
    for (auto _ : state) {
        for (int round = 0; round < kWarmUp + rounds; ++round) {
            for (Way way : ways) {
                auto session = runSession(way, pictures);
                if (round >= kWarmUp) figures[static_cast<int>(way)].push_back(session);
            }
        }
    }
    auto pick = [&](Way way, double SessionFigures::*field) {
        std::vector<double> values;
        for (const auto& f : figures[static_cast<int>(way)]) values.push_back(f.*field);
        return median(values);
    };
    std::printf("\n%-7s %9s %9s %8s %8s %8s %8s %8s %8s %8s %8s %9s\n", "way", "key ms", "key cpu", "P ms", "P cpu",
                "key dB", "P dB", "key kB", "P kB", "end ms", "end cpu", "kept kB");
    for (Way way : ways) {
        std::printf("%-7s %9.1f %9.1f %8.2f %8.2f %8.2f %8.2f %8.1f %8.1f %8.1f %8.1f %9.1f\n", wayName(way),
                    pick(way, &SessionFigures::keyMs), pick(way, &SessionFigures::keyCpuMs),
                    pick(way, &SessionFigures::predictedMs), pick(way, &SessionFigures::predictedCpuMs),
                    pick(way, &SessionFigures::keyDb), pick(way, &SessionFigures::predictedDb),
                    pick(way, &SessionFigures::keyKB), pick(way, &SessionFigures::predictedKB),
                    pick(way, &SessionFigures::endMs), pick(way, &SessionFigures::endCpuMs),
                    pick(way, &SessionFigures::keptKB));
        const std::string prefix = wayName(way);
        state.counters[prefix + "_key_ms"] = pick(way, &SessionFigures::keyMs);
        state.counters[prefix + "_p_ms"] = pick(way, &SessionFigures::predictedMs);
        state.counters[prefix + "_end_cpu_ms"] = pick(way, &SessionFigures::endCpuMs);
        state.counters[prefix + "_kept_kB"] = pick(way, &SessionFigures::keptKB);
        if (way != Way::before) {
            state.counters[prefix + "/before_key_cpu"] = pick(way, &SessionFigures::keyCpuMs) / pick(Way::before, &SessionFigures::keyCpuMs);
            state.counters[prefix + "/before_p_cpu"] =
                pick(way, &SessionFigures::predictedCpuMs) / pick(Way::before, &SessionFigures::predictedCpuMs);
        }
    }
    std::printf("(medians of %d interleaved rounds after %d warm-up rounds; cpu: the process's CPU over the call)\n",
                rounds, kWarmUp);
}

struct CycleFigures {
    double reopenMs = 0;     // the cycle's first picture on the encoding thread
    double afterMeanMs = 0;  // the pictures after it
    double afterMaxMs = 0;
    double cpuMs = 0;        // the process's CPU over the cycle, the close included
    double keptKB = 0;       // heap left in use by the cycle's reopen
};

void BM_HEVCRateReopens(benchmark::State& state) {
    const int reopens = fromEnvironment("QM_HEVC_REOPENS", 10);
    const auto pictures = desktopPictures(kCyclePictures);
    const auto settings = hostSettings();
    const std::uint64_t pictureSpacingNs = VideoEncoder::rateReopenSpacingNs / kCyclePictures + 1;
    std::vector<CycleFigures> host, bare;

    for (auto _ : state) {
        auto closeQueue = std::make_shared<AsioDispatchQueue>("v230.host.video.close");
        auto opened = VideoEncoder::open(settings);
        if (!opened.encoder) {
            state.SkipWithError(opened.error.c_str());
            return;
        }
        VideoEncoder& encoder = *opened.encoder;
        encoder.setCloseQueue(closeQueue);
        std::uint64_t captureNs = 1'000'000'000;
        AVCodecContext* bareContext = openBare(settings, Way::before);
        std::int64_t barePts = 0;

        for (int cycle = 0; cycle < kWarmUp + reopens; ++cycle) {
            const std::int64_t rate = cycle % 2 ? kEasy1080Bitrate : kEasy1080Bitrate * 8 / 9;
            for (int side = 0; side < 2; ++side) {
                CycleFigures figures;
                const std::int64_t heapBefore = heapInUse();
                const double cycleCpu0 = processCpuMs();
                std::vector<double> after;
                if (side == 0) encoder.updateRateControl(kFps, rate);
                for (int i = 0; i < kCyclePictures; ++i) {
                    AVFrame& picture = *pictures[static_cast<std::size_t>(i)];
                    const double wall0 = wallMs();
                    if (side == 0) {
                        benchmark::DoNotOptimize(encoder.encode(picture, captureNs, false));
                        captureNs += pictureSpacingNs;
                    } else {
                        if (i == 0) {
                            avcodec_free_context(&bareContext);
                            auto changed = settings;
                            changed.bitrate = rate;
                            bareContext = openBare(changed, Way::before);
                        }
                        benchmark::DoNotOptimize(encodeBare(bareContext, picture, barePts++, i == 0));
                    }
                    const double took = wallMs() - wall0;
                    if (i == 0) {
                        figures.reopenMs = took;
                    } else {
                        after.push_back(took);
                    }
                }
                // The host's replaced session has closed by now, or closes before the figures are taken.
                if (side == 0) closeQueue->sync([] {});
                figures.cpuMs = processCpuMs() - cycleCpu0;
                figures.afterMaxMs = *std::max_element(after.begin(), after.end());
                double sum = 0;
                for (double ms : after) sum += ms;
                figures.afterMeanMs = sum / static_cast<double>(after.size());
                figures.keptKB = static_cast<double>(heapInUse() - heapBefore) / 1024;
                if (cycle >= kWarmUp) (side == 0 ? host : bare).push_back(figures);
            }
        }
        if (encoder.configGeneration() < static_cast<std::uint64_t>(kWarmUp + reopens)) {
            state.SkipWithError("the encoder did not reopen at every cycle");
        }
        avcodec_free_context(&bareContext);
    }
    auto pick = [](const std::vector<CycleFigures>& side, double CycleFigures::*field) {
        std::vector<double> values;
        for (const auto& f : side) values.push_back(f.*field);
        return median(values);
    };
    auto total = [](const std::vector<CycleFigures>& side, double CycleFigures::*field) {
        double sum = 0;
        for (const auto& f : side) sum += f.*field;
        return sum;
    };
    std::printf("\n%-5s %10s %12s %11s %11s %16s\n", "side", "reopen ms", "after mean", "after max", "cycle cpu",
                "kept kB/reopen");
    for (const auto* side : {&host, &bare}) {
        std::printf("%-5s %10.1f %12.2f %11.2f %11.1f %16.1f\n", side == &host ? "host" : "bare",
                    pick(*side, &CycleFigures::reopenMs), pick(*side, &CycleFigures::afterMeanMs),
                    pick(*side, &CycleFigures::afterMaxMs), pick(*side, &CycleFigures::cpuMs),
                    total(*side, &CycleFigures::keptKB) / static_cast<double>(side->size()));
    }
    std::printf("(medians of %d reopens a side after %d warm-up ones, interleaved; kept: mean over them)\n", reopens,
                kWarmUp);
    state.counters["host/bare_reopen_ms"] = pick(host, &CycleFigures::reopenMs) / pick(bare, &CycleFigures::reopenMs);
    state.counters["host/bare_after_mean"] = pick(host, &CycleFigures::afterMeanMs) / pick(bare, &CycleFigures::afterMeanMs);
    state.counters["host/bare_after_max"] = pick(host, &CycleFigures::afterMaxMs) / pick(bare, &CycleFigures::afterMaxMs);
    state.counters["host/bare_cycle_cpu"] = pick(host, &CycleFigures::cpuMs) / pick(bare, &CycleFigures::cpuMs);
    state.counters["host_kept_kB_per_reopen"] = total(host, &CycleFigures::keptKB) / static_cast<double>(host.size());
    state.counters["bare_kept_kB_per_reopen"] = total(bare, &CycleFigures::keptKB) / static_cast<double>(bare.size());
}

}  // namespace

BENCHMARK(BM_HEVCSessionEnds)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HEVCRateReopens)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
