// What a Viewer sees of the Host's video at the rate it asked for: for a moving desktop and a
// page that only scrolls, in the Easy mode on a 1920x1080 display and in the Max mode, the
// delivered rate, the mean, median and lowest PSNR of every decoded picture, the PSNR of the text
// regions, and the size, PSNR and encode time of a keyframe requested in mid-stream. Three sides
// encode the same pictures in the same run:
//   host      the Host's encoder settings for the stream profile (VideoEncoder);
//   oneframe  the same, with a rate buffer of one frame (what the Host used before the buffer
//             followed the profile's burst window);
//   bare      libx264 / libx265 through libavcodec at the same preset, tuning and rate, keyframes
//             at the same frames, everything else left to the library (no rate buffer, no
//             quantiser range, no finer keyframes).
// A second family sweeps the quantiser floor of the Host's H.264 settings, which is how the
// floors of qpRangeFor() were chosen.
//
// Run on two CPUs: `taskset -c 0,1 video_quality_bench`. The summary at the end gives the medians
// of the repetitions side by side.

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/Video/VideoEncoder.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "HostApp/Video/VideoThreads.h"
#include "Platform/ScreenCapture.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/DisplayProfiles.h"
#include "support/VideoDecoder.h"

using namespace qm;

namespace {

constexpr std::int64_t kFps = 60;
constexpr std::int64_t kFrames = 240;             // four seconds of screen
constexpr std::int64_t kRequestedKeyframe = 180;  // a keyframe request after three seconds
constexpr std::int64_t kSettled = 60;             // the rate control has settled after a second
constexpr int kRepetitions = 3;
// The Easy rate the Host gives a 1920x1080 display (36 Mbit/s scaled by its area against the
// HiDPI 1080 canvas, 8 Mbit/s at least).
constexpr std::int64_t kEasy1080Bitrate = 9'000'000;

enum class Motion { moving = 0, scrolling = 1 };
enum class Mode { easy1080 = 0, max = 1 };
enum class Side { host = 0, oneFrame = 1, bare = 2 };

const char* sideName(Side side) {
    return side == Side::host ? "host" : side == Side::oneFrame ? "oneframe" : "bare";
}

VideoStreamProfile profileFor(VideoStreamCodec codec, Mode mode) {
    if (mode == Mode::easy1080) {
        VideoStreamProfile profile;
        profile.mode = VideoCaptureMode::easy;
        profile.codec = codec;
        profile.width = 1920;
        profile.height = 1080;
        profile.fps = kFps;
        profile.bitrate = kEasy1080Bitrate;
        return profile;
    }
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::max, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::headlessVirtual);
    request.codec = codec;
    return DisplayProfileCatalog::streamProfile(request, 1);
}

std::string shapeTitle(VideoStreamCodec codec, Mode mode, Motion motion, const VideoStreamProfile& profile) {
    return std::string(codecTitle(codec)) + " " + (mode == Mode::max ? "Max " : "Easy ") +
           std::to_string(profile.width) + "x" + std::to_string(profile.height) + " " +
           (motion == Motion::moving ? "moving" : "scrolling");
}

double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The preset the Host's software encoder uses for a stream (see VideoEncoder::openAttempt).
const char* hostPreset(VideoStreamCodec codec, const VideoStreamProfile& profile) {
    if (codec == VideoStreamCodec::hevc) return "ultrafast";
    return profile.width * profile.height * profile.fps > 1920LL * 1080 * 60 ? "ultrafast" : "superfast";
}

// libavcodec with the library's own rate control, for the bare side.
class BareEncoder {
public:
    BareEncoder(VideoStreamCodec codec, const VideoStreamProfile& profile) {
        const AVCodec* found = avcodec_find_encoder_by_name(codec == VideoStreamCodec::hevc ? "libx265" : "libx264");
        if (!found) return;
        ctx_ = avcodec_alloc_context3(found);
        ctx_->width = static_cast<int>(profile.width);
        ctx_->height = static_cast<int>(profile.height);
        ctx_->time_base = AVRational{1, static_cast<int>(profile.fps)};
        ctx_->framerate = AVRational{static_cast<int>(profile.fps), 1};
        ctx_->gop_size = 1 << 20;  // keyframes at the start and when asked for, as the Host makes them
        ctx_->max_b_frames = 0;
        ctx_->bit_rate = profile.bitrate;
        ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
        const int threads = encoderThreadCount(videoThreadBudget());
        ctx_->thread_count = threads;
        AVDictionary* options = nullptr;
        av_dict_set(&options, "preset", hostPreset(codec, profile), 0);
        av_dict_set(&options, "tune", "zerolatency", 0);
        av_dict_set(&options, "forced-idr", "1", 0);
        if (codec == VideoStreamCodec::hevc) {
            const std::string params = "log-level=none:bframes=0:frame-threads=1:pools=" + std::to_string(threads);
            av_dict_set(&options, "x265-params", params.c_str(), 0);
        }
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

double mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

struct Sequence {
    VideoStreamCodec codec;
    Mode mode;
    Motion motion;
    Side side;
    int qpFloor = -1;  // the mode's floor when negative (host sides only)
};

// Encodes, decodes and judges kFrames pictures of one shape on one side.
void runSequence(benchmark::State& state, const Sequence& seq) {
    const auto profile = profileFor(seq.codec, seq.mode);
    std::shared_ptr<VideoEncoder> encoder;
    std::unique_ptr<BareEncoder> bare;
    if (seq.side == Side::bare) {
        bare = std::make_unique<BareEncoder>(seq.codec, profile);
        if (!bare->ok()) {
            state.SkipWithError("bare encoder did not open");
            return;
        }
    } else {
        auto settings = encoderSettingsFor(profile, profile.width, profile.height);
        settings.allowHardware = false;
        if (seq.side == Side::oneFrame) settings.burstWindow = 1.0 / static_cast<double>(kFps);
        if (seq.qpFloor >= 0) settings.qpMin = seq.qpFloor;
        auto opened = VideoEncoder::open(settings);
        if (!opened.encoder) {
            state.SkipWithError(opened.error.c_str());
            return;
        }
        encoder = opened.encoder;
    }

    SyntheticScreenContent content(profile.width, profile.height);
    const std::vector<SyntheticScreenContent::PixelRect> textRects{content.documentTextRect(),
                                                                   content.scrollingPanelRect()};
    VideoFrameScaler scaler;
    const PixelCrop crop{0, 0, profile.width, profile.height};

    std::vector<double> psnr, textPsnr, encodeMs, otherBytes, settledPsnr, settledText;
    double firstSecondMin = 99;
    double bytes = 0, keyBytes = 0, keyPsnr = 0, keyText = 0, keyEncodeMs = 0, firstBytes = 0, firstPsnr = 0;
    int keyframes = 0, decodeErrors = 0;
    for (auto _ : state) {
        psnr.clear();
        textPsnr.clear();
        encodeMs.clear();
        otherBytes.clear();
        settledPsnr.clear();
        settledText.clear();
        firstSecondMin = 99;
        bytes = 0;
        keyframes = 0;
        test::VideoDecoder decoder(seq.codec);
        PixelBuffer screen;
        std::optional<SyntheticScreenContent::Moment> previous;
        for (std::int64_t n = 0; n < kFrames; ++n) {
            const auto slot = static_cast<std::uint64_t>(n);
            const SyntheticScreenContent::Moment moment{slot, seq.motion == Motion::moving ? slot : 0};
            content.render(moment, screen, previous);
            previous = moment;
            const AVFrame* converted =
                scaler.scale(screen, crop, profile.width, profile.height,
                             encoder ? encoder->inputPixelFormat() : AV_PIX_FMT_YUV420P);
            if (!converted) {
                state.SkipWithError("conversion failed");
                return;
            }
            const bool request = n == kRequestedKeyframe;
            const double started = nowMs();
            std::vector<EncodedVideoFrame> frames;
            if (encoder) {
                auto result = encoder->encode(*converted, slot, request);
                if (result.error) {
                    state.SkipWithError(result.error->c_str());
                    return;
                }
                frames = std::move(result.frames);
            } else {
                AVFrame* picture = av_frame_clone(converted);
                frames = bare->encode(*picture, n, request);
                av_frame_free(&picture);
            }
            const double took = nowMs() - started;
            encodeMs.push_back(took);
            state.PauseTiming();
            const auto reference =
                test::referencePicture(screen, crop, static_cast<int>(profile.width), static_cast<int>(profile.height),
                                       VideoChromaMode::yuv420);
            for (auto& frame : frames) {
                const double size = static_cast<double>(frame.data().size());
                bytes += size;
                auto pictures = decoder.decode(frame.data());
                if (pictures.size() != 1) {
                    ++decodeErrors;
                    continue;
                }
                const double y = test::psnr(pictures[0], reference).y;
                const double text = regionPSNR(pictures[0], reference, textRects);
                psnr.push_back(y);
                if (frame.frameNumber >= kSettled) {
                    settledPsnr.push_back(y);
                    settledText.push_back(text);
                } else {
                    firstSecondMin = std::min(firstSecondMin, y);
                }
                textPsnr.push_back(text);
                if (frame.isKeyframe) ++keyframes;
                if (frame.frameNumber == 0) {
                    firstBytes = size;
                    firstPsnr = y;
                } else if (frame.frameNumber == kRequestedKeyframe) {
                    keyBytes = size;
                    keyPsnr = y;
                    keyText = text;
                    keyEncodeMs = took;
                } else {
                    otherBytes.push_back(size);
                }
            }
            state.ResumeTiming();
        }
    }
    if (decodeErrors > 0 || psnr.size() != static_cast<std::size_t>(kFrames)) {
        state.SkipWithError("frames missing or undecodable");
        return;
    }
    // The stream's figures after its first second (the rate control's start is reported apart, as
    // the lowest PSNR of the first second).
    const double median = percentile(settledPsnr, 0.5);
    const double lowest = *std::min_element(settledPsnr.begin(), settledPsnr.end());
    state.counters["Mbit/s"] = bytes * 8 / (static_cast<double>(kFrames) / kFps) / 1e6;
    state.counters["psnr_mean"] = mean(settledPsnr);
    state.counters["psnr_median"] = median;
    state.counters["psnr_min"] = lowest;
    state.counters["worst_dip_dB"] = median - lowest;
    state.counters["first_second_min"] = firstSecondMin;
    state.counters["text_mean"] = mean(settledText);
    state.counters["text_min"] = *std::min_element(settledText.begin(), settledText.end());
    state.counters["key_kB"] = keyBytes / 1000;
    state.counters["key_psnr"] = keyPsnr;
    state.counters["key_text"] = keyText;
    state.counters["first_kB"] = firstBytes / 1000;
    state.counters["first_psnr"] = firstPsnr;
    state.counters["frame_kB_median"] = percentile(otherBytes, 0.5) / 1000;
    state.counters["keyframes"] = keyframes;
    state.counters["enc_ms_p50"] = percentile(encodeMs, 0.5);
    state.counters["enc_ms_p99"] = percentile(encodeMs, 0.99);
    state.counters["key_enc_ms"] = keyEncodeMs;
    // The keyframe's time on a 1 Gbit/s link, added to its encode time: how much later than its
    // capture its last byte can leave the Host.
    state.counters["key_out_ms"] = keyEncodeMs + keyBytes * 8 / 1e9 * 1e3;
    std::string label = shapeTitle(seq.codec, seq.mode, seq.motion, profile) + " " + sideName(seq.side);
    if (seq.qpFloor >= 0) label += " floor " + std::to_string(seq.qpFloor);
    state.SetLabel(label);
}

void BM_Quality(benchmark::State& state) {
    runSequence(state, Sequence{state.range(0) == 0 ? VideoStreamCodec::h264 : VideoStreamCodec::hevc,
                                static_cast<Mode>(state.range(1)), static_cast<Motion>(state.range(2)),
                                static_cast<Side>(state.range(3))});
}

void BM_FloorSweep(benchmark::State& state) {
    runSequence(state, Sequence{VideoStreamCodec::h264, static_cast<Mode>(state.range(0)),
                                static_cast<Motion>(state.range(1)), Side::host, static_cast<int>(state.range(2))});
}

void qualityShapes(benchmark::internal::Benchmark* b) {
    // HEVC at Max's 6400x3600 runs at about one frame a second on two CPUs: not measured here.
    for (int codec : {0, 1}) {
        for (int mode : codec == 0 ? std::vector<int>{0, 1} : std::vector<int>{0}) {
            for (int motion : {0, 1}) {
                for (int side : {0, 1, 2}) b->Args({codec, mode, motion, side});
            }
        }
    }
}

void floorShapes(benchmark::internal::Benchmark* b) {
    for (int mode : {0, 1}) {
        for (int motion : {0, 1}) {
            for (int floor : {0, 10, 12, 14, 16, 18}) b->Args({mode, motion, floor});
        }
    }
}

}  // namespace

BENCHMARK(BM_Quality)->Apply(qualityShapes)->Iterations(1)->Repetitions(kRepetitions)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FloorSweep)->Apply(floorShapes)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

namespace {

// Prints what the console shows and keeps the medians (or the single runs), for the tables at the end.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            if (!aggregate && run.repetitions > 1) continue;
            auto& row = rows_[run.report_label];
            if (row.empty()) order_.push_back(run.report_label);
            for (const auto& [name, counter] : run.counters) row[name] = counter.value;
        }
    }

    void printSummary() const {
        std::printf("\nMedians of %d repetitions (floor sweep: one run) of %lld frames at %lld fps; keyframe requested "
                    "at frame %lld; %d CPUs usable (affinity), encoder threads %d\n",
                    kRepetitions, static_cast<long long>(kFrames), static_cast<long long>(kFps),
                    static_cast<long long>(kRequestedKeyframe), videoThreadBudget(),
                    encoderThreadCount(videoThreadBudget()));
        std::printf("| shape | side | Mbit/s | PSNR mean | median | min | text mean | text min | keyframe kB | key PSNR "
                    "| key text | first kB | first PSNR | 1st s min | P-frame kB | enc ms p50 | p99 | key enc ms | key out ms |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
        for (const auto& label : order_) {
            const auto& row = rows_.at(label);
            auto get = [&](const char* key) {
                const auto it = row.find(key);
                return it == row.end() ? 0.0 : it->second;
            };
            const auto split = label.rfind(' ', label.find(" floor") != std::string::npos ? label.find(" floor") - 1
                                                                                          : std::string::npos);
            std::printf("| %s | %s | %.2f | %.1f | %.1f | %.1f | %.1f | %.1f | %.0f | %.1f | %.1f | %.0f | %.1f | %.1f | %.1f "
                        "| %.2f | %.2f | %.2f | %.2f |\n",
                        label.substr(0, split).c_str(), label.substr(split + 1).c_str(), get("Mbit/s"),
                        get("psnr_mean"), get("psnr_median"), get("psnr_min"), get("text_mean"), get("text_min"),
                        get("key_kB"), get("key_psnr"), get("key_text"), get("first_kB"), get("first_psnr"),
                        get("first_second_min"), get("frame_kB_median"), get("enc_ms_p50"), get("enc_ms_p99"), get("key_enc_ms"),
                        get("key_out_ms"));
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
