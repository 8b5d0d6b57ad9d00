// What one frame costs on the Host's video road: synthetic capture -> crop/scale to YUV ->
// encode -> aux packet, next to a bare libavcodec encode of the same pictures with the same
// settings, for a moving desktop, a page that only scrolls and a still screen.
//
// Both sides encode with exactly the Host's settings for an Easy stream of the shape: the profile's
// rate buffer, the mode's quantiser range, keyframes only where asked for (the first picture,
// outside the measurement), the bare side opened through configureSoftwareEncoder(), the same
// function the Host's encoder opens with. Every shape runs a fixed number of frames per
// repetition, with the encoder drained inside the measurement, and reports wall time and process
// CPU time (every thread) per frame. The two sides encode the same sequence of screens and take turns, one
// repetition each, which of them goes first alternating, after a short warm-up of each shape;
// the summary at the end sets their medians side by side with the spread of the ratios.
// Neither side counts drawing the screen: the pipeline leaves out the simulated display's
// drawing, the bare side its rendering and conversion made beforehand. The pipeline's conversion
// of the changed rows, which the bare side has no counterpart for, stays counted and is shown.
// Run on all CPUs and on two: `video_pipeline_bench` and `taskset -c 0,1 video_pipeline_bench`;
// `--pipeline_repetitions=N` sets the repetitions of each side (7 by default).

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <libyuv/convert_from_argb.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>

#include "HostApp/Video/HostVideoCapture.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "HostApp/Video/VideoQueues.h"
#include "HostApp/Video/VideoThreads.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "support/ServerInspector.h"
#include "support/InMemoryViewer.h"
#include "support/LiveServer.h"
#include "support/TestViewer.h"
#include "support/VideoDecoder.h"

using namespace qm;

namespace {

constexpr std::int64_t kFps = 60;
constexpr std::int64_t kFrames = 2 * kFps;  // frames measured per repetition
constexpr int kFanOutRepetitions = 3;
// Repetitions of each side of the pipeline against bare libavcodec; single pairs of repetitions
// spread widely on a shared machine, so the median needs more than a few. `--pipeline_repetitions=N`.
int pipelineRepetitions = 7;

double processCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double threadCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

enum class Motion { moving = 0, scrolling = 1, still = 2 };
const char* motionTitle(Motion motion) {
    return motion == Motion::still ? "still" : motion == Motion::scrolling ? "scrolling" : "moving";
}

struct Shape {
    VideoStreamCodec codec;
    std::int64_t width;
    std::int64_t height;
    std::int64_t bitrate;
    Motion motion;
};

Shape shapeFor(const benchmark::State& state) {
    const auto codec = state.range(0) == 0 ? VideoStreamCodec::h264 : VideoStreamCodec::hevc;
    const bool uhd = state.range(1) == 2160;
    // The Easy rates the Host gives displays of these sizes.
    return Shape{codec, uhd ? 3840 : 1920, uhd ? 2160 : 1080, uhd ? 36'000'000 : 9'000'000,
                 static_cast<Motion>(state.range(2))};
}

// The stream the Host makes of the shape's display in Easy mode, as both sides encode it.
VideoStreamProfile profileFor(const Shape& shape) {
    VideoStreamProfile profile;
    profile.displayID = 1;
    profile.mode = VideoCaptureMode::easy;
    profile.codec = shape.codec;
    profile.width = shape.width;
    profile.height = shape.height;
    profile.fps = kFps;
    profile.bitrate = shape.bitrate;
    return profile;
}

std::string shapeTitle(const Shape& shape) {
    return std::string(codecTitle(shape.codec)) + " " + std::to_string(shape.width) + "x" +
           std::to_string(shape.height) + " " + motionTitle(shape.motion);
}

// The screen at capture slot `slot` for a motion, as the simulated capture shows it when it started
// at slot 0 with that motion.
SyntheticScreenContent::Moment momentAt(Motion motion, std::uint64_t slot) {
    switch (motion) {
        case Motion::moving:
            return {slot, slot};
        case Motion::scrolling:
            return {slot, 0};
        case Motion::still:
            break;
    }
    return {0, 0};
}

// Wall and CPU time of one measured stretch, and the per-frame counters every side reports.
struct Measured {
    double wall = 0, cpu = 0;
    std::int64_t frames = 0;  // frames of screen time covered
    std::int64_t bytes = 0;
};

void report(benchmark::State& state, const Shape& shape, const Measured& m, std::int64_t bytesAfterFirstSecond) {
    const auto frames = static_cast<double>(std::max<std::int64_t>(m.frames, 1));
    state.counters["wall_ms"] = m.wall * 1e3 / frames;
    state.counters["cpu_ms"] = m.cpu * 1e3 / frames;
    // CPUs kept busy when the stream runs at its frame rate (1.0 = one whole CPU).
    state.counters["cpus_at_60fps"] = m.cpu / frames * kFps;
    state.counters["Mbit/s"] = static_cast<double>(m.bytes) * 8 / (frames / kFps) / 1e6;
    if (bytesAfterFirstSecond >= 0) {
        state.counters["Mbit/s_after_1s"] =
            static_cast<double>(bytesAfterFirstSecond) * 8 / ((frames - kFps) / kFps) / 1e6;
    }
    state.SetLabel(shapeTitle(shape));
}

// The aux packet the server sends for a frame.
Bytes packetise(const EncodedVideoFrame& frame) {
    VideoFramePayload payload;
    payload.frameNumber = static_cast<std::uint64_t>(frame.frameNumber);
    payload.accessUnit.assign(frame.data().begin(), frame.data().end());
    return makeAuxPacket(AuxPacketType::videoFrame, frame.isKeyframe ? VideoFramePayload::keyframeFlag : 0,
                         payload.encode(), frame.captureUptimeNs);
}

// The simulated display, with the CPU time its output thread spends in the Host's frame handler
// counted, so that the rest of that thread's time (drawing the screen into the capture buffer,
// which a real display server does in its own process) can be taken out of the pipeline's side,
// as the bare side's rendering of the same screens is taken out of its own.
class HandlerTimedCapture final : public ScreenCaptureService {
public:
    explicit HandlerTimedCapture(std::shared_ptr<ScreenCaptureService> inner) : inner_(std::move(inner)) {}

    ShareableContentResult shareableContent() override { return inner_->shareableContent(); }
    std::shared_ptr<ScreenCaptureStream> makeStream(DisplayID displayID, const StreamConfiguration& configuration) override {
        return std::make_shared<Stream>(inner_->makeStream(displayID, configuration), handlerCPU_);
    }
    // Thread CPU seconds spent in the Host's handler so far, on whichever thread delivered.
    double handlerCPUSeconds() const { return handlerCPU_->load(); }

private:
    using Seconds = std::shared_ptr<std::atomic<double>>;
    class Stream final : public ScreenCaptureStream {
    public:
        Stream(std::shared_ptr<ScreenCaptureStream> inner, Seconds spent) : inner_(std::move(inner)), spent_(std::move(spent)) {}
        DisplayID displayID() const override { return inner_->displayID(); }
        const StreamConfiguration& configuration() const override { return inner_->configuration(); }
        void addScreenOutput(DispatchQueuePtr queue, std::function<void(const CapturedFrame&)> handler) override {
            inner_->addScreenOutput(std::move(queue), [spent = spent_, handler = std::move(handler)](const CapturedFrame& frame) {
                const double cpu0 = threadCPUSeconds();
                handler(frame);
                const double cpu = threadCPUSeconds() - cpu0;
                // One writer at a time (frames come one after another), read from the measuring thread.
                spent->store(spent->load() + cpu);
            });
        }
        void setStopHandler(std::function<void(const std::string&)> handler) override {
            inner_->setStopHandler(std::move(handler));
        }
        void startCapture(Completion completion) override { inner_->startCapture(std::move(completion)); }
        void stopCapture(Completion completion) override { inner_->stopCapture(std::move(completion)); }

    private:
        std::shared_ptr<ScreenCaptureStream> inner_;
        Seconds spent_;
    };
    std::shared_ptr<ScreenCaptureService> inner_;
    Seconds handlerCPU_ = std::make_shared<std::atomic<double>>(0.0);
};

void BM_CapturePipeline(benchmark::State& state) {
    const Shape shape = shapeFor(state);
    auto clock = std::make_shared<ManualClock>();
    HostPlatform platform;
    platform.clock = clock;
    // The encoder gets a thread of its own, as in the Host, so that converting the next frame
    // overlaps encoding the last one; capture and everything else stay on the virtual clock.
    platform.makeQueue = [clock](const std::string& label) -> DispatchQueuePtr {
        if (label == VideoQueueLabels::encode) return std::make_shared<AsioDispatchQueue>(label);
        return clock->makeQueue(label);
    };
    auto displays = std::make_shared<SimulatedDisplayService>(
        std::vector<DisplayInfo>{SimulatedDisplayService::makeDisplay(1, Point{0, 0}, shape.width, shape.height,
                                                                     shape.width, shape.height, kFps, true)},
        1);
    platform.displays = displays;
    auto screen = std::make_shared<SimulatedScreenCapture>(displays);
    screen->setMotion(shape.motion == Motion::still       ? SimulatedScreenCapture::Motion::still
                      : shape.motion == Motion::scrolling ? SimulatedScreenCapture::Motion::scrolling
                                                          : SimulatedScreenCapture::Motion::moving);
    auto timed = std::make_shared<HandlerTimedCapture>(screen);
    platform.screenCapture = timed;

    auto capture = std::make_shared<HostVideoCapture>(platform, profileFor(shape));
    std::mutex mutex;
    std::condition_variable encoded;
    std::int64_t frames = 0, bytes = 0, lateBytes = 0;
    std::uint64_t firstSecondEndsNs = UINT64_MAX;
    std::vector<Bytes> units;  // the stream, kept to check its picture afterwards
    std::string error;
    capture->onFrame = [&](EncodedVideoFrame frame) {
        auto packet = packetise(frame);
        benchmark::DoNotOptimize(packet.data());
        std::lock_guard lock(mutex);
        ++frames;
        bytes += static_cast<std::int64_t>(packet.size());
        if (frame.captureUptimeNs >= firstSecondEndsNs) lateBytes += static_cast<std::int64_t>(packet.size());
        units.emplace_back(frame.data().begin(), frame.data().end());
        encoded.notify_one();
    };
    capture->onError = [&](const std::string& text) {
        std::lock_guard lock(mutex);
        error = text;
        encoded.notify_one();
    };
    // Waits until at most `behind` pictures handed to the encoder are still to come out of it.
    std::int64_t handedBefore = 0;  // the first keyframe's, outside the measurement
    auto handedOver = [&] {
        const auto figures = capture->statistics();
        return figures.captured - figures.dropped - figures.unchanged - handedBefore;
    };
    auto awaitEncoder = [&](std::int64_t behind) {
        const auto submitted = handedOver();
        std::unique_lock lock(mutex);
        return encoded.wait_for(lock, std::chrono::seconds(30),
                                [&] { return !error.empty() || frames >= submitted - behind; });
    };
    capture->start();
    clock->runUntilIdle();
    clock->advance(1.0 / kFps);  // slot 0: the first keyframe, outside the measurement
    if (!awaitEncoder(0) || !error.empty() || frames != 1) {
        state.SkipWithError(error.empty() ? "capture produced no frame" : error.c_str());
        capture->stop(true);
        return;
    }
    handedBefore = 1;
    {
        std::lock_guard lock(mutex);
        frames = 0;
        bytes = 0;
        firstSecondEndsNs = clock->uptimeNs() + 1'000'000'000ULL;
    }
    // A frame is captured once the encoder has at most one left to do, as a capture that keeps
    // up with the encoder runs; the capture would drop the frame otherwise. The last iteration
    // waits for the encoder to finish, so no work is left outside the measurement.
    // The display's drawing runs on this thread inside advance(), around the Host's handler: this
    // thread's CPU time there, less the handler's, is taken out (the virtual clock's own
    // bookkeeping with it, a few microseconds a frame). Wall time keeps it: it overlaps the
    // encoding of the frame before.
    Measured m;
    std::int64_t iteration = 0;
    double displayCPU = 0;
    const double handlerCPU0 = timed->handlerCPUSeconds();
    const double wall0 = wallSeconds(), cpu0 = processCPUSeconds();
    for (auto _ : state) {
        awaitEncoder(1);
        const double advanceCPU0 = threadCPUSeconds(), advanceHandlerCPU0 = timed->handlerCPUSeconds();
        clock->advance(1.0 / kFps);
        displayCPU += threadCPUSeconds() - advanceCPU0 - (timed->handlerCPUSeconds() - advanceHandlerCPU0);
        if (++iteration == static_cast<std::int64_t>(state.max_iterations)) awaitEncoder(0);
    }
    m.wall = wallSeconds() - wall0;
    m.cpu = processCPUSeconds() - cpu0 - displayCPU;
    capture->stop(true);
    const auto figures = capture->statistics();
    std::lock_guard lock(mutex);
    m.frames = iteration;
    m.bytes = bytes;
    if (figures.dropped != 0) state.SkipWithError("the capture dropped frames");
    if (frames != handedOver()) state.SkipWithError("a picture handed over produced no frame");
    report(state, shape, m, lateBytes);
    state.counters["encoded"] = static_cast<double>(frames);
    // Per frame: the display's drawing, taken out above, and the Host's work on the capture side
    // (converting the changed rows, handing the picture over), which the pipeline's CPU includes
    // and the bare side does not do in its measurement.
    const auto measuredFrames = static_cast<double>(std::max<std::int64_t>(iteration, 1));
    state.counters["display_cpu_ms"] = displayCPU * 1e3 / measuredFrames;
    state.counters["capture_cpu_ms"] = (timed->handlerCPUSeconds() - handlerCPU0) * 1e3 / measuredFrames;

    // The last picture a Viewer shows against the screen it stands for.
    test::VideoDecoder decoder(shape.codec);
    std::optional<test::DecodedPicture> last;
    for (auto& unit : units) {
        for (auto& picture : decoder.decode(unit)) last = std::move(picture);
    }
    if (last) {
        SyntheticScreenContent content(shape.width, shape.height);
        PixelBuffer source;
        content.render(momentAt(shape.motion, static_cast<std::uint64_t>(iteration)), source);
        const auto reference = test::referencePicture(source, PixelCrop{0, 0, shape.width, shape.height},
                                                      static_cast<int>(shape.width), static_cast<int>(shape.height),
                                                      VideoChromaMode::yuv420);
        state.counters["psnr_y_dB"] = test::psnr(*last, reference).y;
    }
}

// The same pictures (converted up front) through libavcodec alone, opened with the Host's software
// settings for the same profile: every frame goes to the encoder, as it would without the
// capture's still-screen care; no keyframe but the first, outside the measurement.
void BM_BareEncode(benchmark::State& state) {
    const Shape shape = shapeFor(state);
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name(shape.codec == VideoStreamCodec::hevc ? "libx265" : "libx264");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVDictionary* options = nullptr;
    configureSoftwareEncoder(*ctx, options, encoderSettingsFor(profileFor(shape), shape.width, shape.height));
    if (avcodec_open2(ctx, codec, &options) < 0) {
        av_dict_free(&options);
        avcodec_free_context(&ctx);
        state.SkipWithError("encoder did not open");
        return;
    }
    av_dict_free(&options);

    // The same screens the pipeline encodes, slot after slot (no shorter cycle, which would make
    // the bare side's work easier than the pipeline's); each is rendered and converted before its
    // encode, on this thread alone, and that thread's CPU time for it is taken out of the
    // measurement. Only this thread's, and the process's CPU over the whole stretch otherwise:
    // libx264 codes each picture in slices on threads of its own and returns once all are done,
    // but the kernel adds the run time of the slice thread that finished last to the process's
    // clock only once that thread sleeps, a moment after the call returned; the stretch counts it.
    SyntheticScreenContent content(shape.width, shape.height);
    PixelBuffer source;
    AVFrame* picture = av_frame_alloc();
    picture->width = static_cast<int>(shape.width);
    picture->height = static_cast<int>(shape.height);
    picture->format = AV_PIX_FMT_YUV420P;
    picture->colorspace = AVCOL_SPC_SMPTE170M;
    picture->color_range = AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(picture, 0) < 0) {
        av_frame_free(&picture);
        avcodec_free_context(&ctx);
        state.SkipWithError("no picture");
        return;
    }
    auto prepare = [&](std::int64_t slot) {
        content.render(momentAt(shape.motion, static_cast<std::uint64_t>(slot)), source);
        // The conversion the Host's scaler makes (libyuv, BT.601 limited range), in one band.
        libyuv::ARGBToI420(source.bytes(), static_cast<int>(source.bytesPerRow), picture->data[0], picture->linesize[0],
                           picture->data[1], picture->linesize[1], picture->data[2], picture->linesize[2],
                           static_cast<int>(shape.width), static_cast<int>(shape.height));
    };
    AVPacket* packet = av_packet_alloc();
    std::int64_t pts = 0, frames = 0, bytes = 0, lateBytes = 0;
    auto take = [&] {
        while (avcodec_receive_packet(ctx, packet) == 0) {
            ++frames;
            bytes += packet->size;
            if (packet->pts > kFps) lateBytes += packet->size;
            av_packet_unref(packet);
        }
    };
    auto encodeOne = [&] {
        picture->pict_type = pts == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        picture->pts = pts++;
        avcodec_send_frame(ctx, picture);
        take();
    };
    prepare(0);
    encodeOne();  // slot 0: the first keyframe, outside the measurement
    frames = 0;
    bytes = 0;
    Measured m;
    std::int64_t iteration = 0;
    double preparedWall = 0, preparedCPU = 0;
    double callsCPU = 0;  // only while encodeOne runs: what leaving the encoder threads' overlap out would give
    const double wall0 = wallSeconds(), cpu0 = processCPUSeconds();
    for (auto _ : state) {
        const double prepareWall0 = wallSeconds(), prepareCPU0 = threadCPUSeconds();
        prepare(pts);
        preparedWall += wallSeconds() - prepareWall0;
        preparedCPU += threadCPUSeconds() - prepareCPU0;
        const double callCPU0 = processCPUSeconds();
        encodeOne();
        callsCPU += processCPUSeconds() - callCPU0;
        if (++iteration == static_cast<std::int64_t>(state.max_iterations)) {
            avcodec_send_frame(ctx, nullptr);  // drain: every picture given is encoded inside the measurement
            take();
        }
    }
    // Wall time: the stretch without the preparing (no encoder thread works meanwhile).
    m.wall = wallSeconds() - wall0 - preparedWall;
    m.cpu = processCPUSeconds() - cpu0 - preparedCPU;
    m.frames = iteration;
    m.bytes = bytes;
    if (frames != iteration) state.SkipWithError("the encoder kept pictures back");
    report(state, shape, m, lateBytes);
    state.counters["cpu_ms_in_calls"] = callsCPU * 1e3 / static_cast<double>(std::max<std::int64_t>(iteration, 1));
    av_packet_free(&packet);
    av_frame_free(&picture);
    avcodec_free_context(&ctx);
}

std::vector<std::vector<std::int64_t>> shapeArgs() {
    std::vector<std::vector<std::int64_t>> all;
    for (int codec : {0, 1}) {
        for (int height : {1080, 2160}) all.push_back({codec, height, 0});
    }
    // A scrolling page and a still screen, at 1080p.
    for (int codec : {0, 1}) {
        for (int motion : {1, 2}) all.push_back({codec, 1080, motion});
    }
    return all;
}

// The server's fan-out of one encoded frame to 1, 4 or 16 signed-in video sessions, each of which
// acknowledges it, against copying the same packet once per Viewer.
constexpr std::size_t kFrameBytes = 75'000;  // a 1080p frame at 36 Mbit/s and 60 fps
constexpr std::int64_t kFanOutFrames = 2000;  // every fan-out side runs exactly these frames

// The whole loop on the virtual clock: the Host's side plus the in-memory Viewers copying and
// parsing every frame and acknowledging it. Most of the time is the Viewers'.
void BM_VideoFanOutWholeLoop(benchmark::State& state) {
    const auto viewers = static_cast<std::size_t>(state.range(0));
    test::ManualServer host;
    auto& server = host.server();
    std::vector<std::unique_ptr<test::InMemoryViewer>> sessions;
    for (std::size_t i = 0; i < viewers; ++i) {
        sessions.push_back(std::make_unique<test::InMemoryViewer>(host, server.boundPorts().video));
    }
    const auto generation = server.queue->sync([&] {
        // No capture runs here: the frames below stand for what it would hand over.
        test::ServerInspector(server).video().cancelInitialStart();
        server.broadcastVideoConfig(VideoStreamConfigPayload{});
        return test::ServerInspector(server).video().generation();
    });
    host.clock().runUntilIdle();
    for (auto& session : sessions) session->takeAll();

    EncodedVideoFrame frame;
    frame.buffer.assign(EncodedVideoFrame::headroom + kFrameBytes, 0x5A);
    std::int64_t number = 0;
    for (auto _ : state) {
        frame.frameNumber = number;
        server.queue->sync([&] { test::ServerInspector(server).handleEncodedVideoFrame(generation, frame); });
        host.clock().runUntilIdle();
        for (auto& session : sessions) {
            if (session->takeAll().size() != 1) state.SkipWithError("a Viewer missed the frame");
            session->send(AuxPacketType::videoFrameAck, VideoFrameAckPayload{static_cast<std::uint64_t>(number)}.encode());
        }
        ++number;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(viewers) + " Viewers");
}

// The Host's own work on its queue for one frame and N Viewers over real sockets: building the
// packet once, handing the same buffer to every connection, the flow bookkeeping and each
// Viewer's acknowledgement. Timed manually around exactly that work; the Viewers read and parse
// on their own threads, and the kernel's copies run on the network thread. The cost of one more
// Viewer is the difference between the Viewer counts divided by the difference in Viewers.
void BM_VideoFanOutHostSide(benchmark::State& state) {
    const auto viewers = static_cast<std::size_t>(state.range(0));
    test::LiveServer live;
    std::vector<std::unique_ptr<test::TestViewer>> sessions;
    for (std::size_t i = 0; i < viewers; ++i) {
        sessions.push_back(std::make_unique<test::TestViewer>(live.ports().video));
        if (!sessions.back()->signIn(test::LiveServer::user, test::LiveServer::password)) {
            state.SkipWithError("sign-in failed");
            return;
        }
    }
    auto& server = live.server();
    std::vector<UUID> ids;
    const auto generation = server.queue->sync([&] {
        test::ServerInspector inspector(server);
        inspector.video().cancelInitialStart();
        server.broadcastVideoConfig(VideoStreamConfigPayload{});
        ids.assign(inspector.sessions().authorizedVideoSessions().begin(), inspector.sessions().authorizedVideoSessions().end());
        return inspector.video().generation();
    });
    if (ids.size() != viewers) {
        state.SkipWithError("not every Viewer signed in");
        return;
    }
    std::uint64_t number = 0;
    for (auto _ : state) {
        EncodedVideoFrame frame;  // what the encoder hands over, made outside the timed work
        frame.buffer.assign(EncodedVideoFrame::headroom + kFrameBytes, 0x5A);
        frame.frameNumber = static_cast<std::int64_t>(number);
        const double seconds = server.queue->sync([&] {
            test::ServerInspector inspector(server);
            const auto start = std::chrono::steady_clock::now();
            inspector.handleEncodedVideoFrame(generation, std::move(frame));
            for (const auto& id : ids) inspector.recordVideoFrameAck(id, VideoFrameAckPayload{number});
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
        state.SetIterationTime(seconds);
        ++number;
    }
    const auto sent = server.queue->sync([&] { return test::ServerInspector(server).videoFlow().videoSendInFlight; });
    if (sent != 0) state.SkipWithError("frames were withheld from a Viewer");
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(viewers) + " Viewers");
}

// What the Host's side would cost if it copied the packet once per Viewer instead of sharing it.
void BM_BareFanOutCopy(benchmark::State& state) {
    const auto viewers = static_cast<std::size_t>(state.range(0));
    const Bytes packet(kFrameBytes + 28, 0x5A);
    std::vector<Bytes> outboxes(viewers);
    for (auto _ : state) {
        for (auto& outbox : outboxes) {
            outbox.assign(packet.begin(), packet.end());
            benchmark::DoNotOptimize(outbox.data());
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(viewers) + " Viewers");
}

// Host processing latency at 1080p60 over real TCP on loopback: from the capture timestamp a frame
// carries to the moment the Viewer reads it (the same monotonic clock), as p50 and p99.
void BM_HostLatency1080p60(benchmark::State& state) {
    test::LiveServer live;
    live.displays()->addDisplay(SimulatedDisplayService::makeDisplay(1, {0, 0}, 1920, 1080, 1920, 1080, 60, true));
    test::TestViewer control(live.ports().control);
    test::TestViewer video(live.ports().video);
    if (!control.signIn(test::LiveServer::user, test::LiveServer::password) ||
        !video.signIn(test::LiveServer::user, test::LiveServer::password)) {
        state.SkipWithError("sign-in failed");
        return;
    }
    std::mutex mutex;
    std::vector<double> latenciesMs;
    video.setObserver([&](const AuxFrame& frame, std::uint64_t receivedNs) {
        if (frame.header.type != AuxPacketType::videoFrame || receivedNs < frame.header.timestampNs) return;
        {
            std::lock_guard lock(mutex);
            latenciesMs.push_back(static_cast<double>(receivedNs - frame.header.timestampNs) / 1e6);
        }
        // Acknowledge at once, as a Viewer that keeps up does.
        if (auto payload = VideoFramePayload::decode(frame.payload)) {
            const auto ack = makeAuxPacket(AuxPacketType::videoFrameAck, 0,
                                           VideoFrameAckPayload{payload->frameNumber}.encode(), 0);
            video.sendRaw(ack);
        }
    });
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::physical);
    control.send(AuxPacketType::captureModeControl, request.encode());
    for (auto _ : state) {
        {
            std::lock_guard lock(mutex);
            latenciesMs.clear();
        }
        test::waitUntil([&] {
            std::lock_guard lock(mutex);
            return latenciesMs.size() >= 240;  // four seconds of frames
        }, std::chrono::seconds(30));
    }
    video.setObserver(nullptr);
    std::lock_guard lock(mutex);
    if (latenciesMs.empty()) {
        state.SkipWithError("no frames");
        return;
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    auto percentile = [&](double p) { return latenciesMs[static_cast<std::size_t>(p * (latenciesMs.size() - 1))]; };
    state.counters["p50_ms"] = percentile(0.50);
    state.counters["p99_ms"] = percentile(0.99);
    state.counters["frames"] = static_cast<double>(latenciesMs.size());
}

}  // namespace

BENCHMARK(BM_VideoFanOutWholeLoop)->Arg(1)->Arg(4)->Arg(16)->Iterations(kFanOutFrames)->Repetitions(kFanOutRepetitions)
    ->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VideoFanOutHostSide)->Arg(1)->Arg(4)->Arg(16)->Iterations(kFanOutFrames)->Repetitions(kFanOutRepetitions)
    ->ReportAggregatesOnly(true)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareFanOutCopy)->Arg(1)->Arg(4)->Arg(16)->Iterations(kFanOutFrames)->Repetitions(kFanOutRepetitions)
    ->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HostLatency1080p60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The pipeline and the bare encoder take turns, repetition by repetition, so that a stretch of
// load from elsewhere on the machine falls on both sides alike, and which of them goes first
// alternates too. Each shape starts with a short pipeline run outside the summary: the first
// encoder of a size in the process gets fresh memory, and the kernel zeroing x264's huge pages
// for it cost that repetition (whichever side it was) up to a fifth more CPU.
void registerPipelineAgainstBare() {
    for (const auto& args : shapeArgs()) {
        benchmark::RegisterBenchmark("BM_CapturePipeline_warm_up", BM_CapturePipeline)
            ->Args(args)->Iterations(kFps / 6)->Unit(benchmark::kMillisecond)->UseRealTime();
        for (int repetition = 0; repetition < pipelineRepetitions; ++repetition) {
            for (int side = 0; side < 2; ++side) {
                if ((side == 0) == (repetition % 2 == 0)) {
                    benchmark::RegisterBenchmark("BM_CapturePipeline", BM_CapturePipeline)
                        ->Args(args)->Iterations(kFrames)->Unit(benchmark::kMillisecond)->UseRealTime();
                } else {
                    benchmark::RegisterBenchmark("BM_BareEncode", BM_BareEncode)
                        ->Args(args)->Iterations(kFrames)->Unit(benchmark::kMillisecond)->UseRealTime();
                }
            }
        }
    }
}

namespace {

// Prints what the console shows and keeps every repetition of the two sides, for the table at the
// end: medians, and the spread (lowest to highest) of the ratio of each repetition to the bare
// repetition that ran right beside it.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const bool pipeline = run.run_name.function_name == "BM_CapturePipeline";
            if (!pipeline && run.run_name.function_name != "BM_BareEncode") continue;
            auto& side = pipeline ? pipeline_[run.report_label] : bare_[run.report_label];
            for (const auto& [name, counter] : run.counters) side[name].push_back(counter.value);
            if (pipeline && std::find(order_.begin(), order_.end(), run.report_label) == order_.end()) {
                order_.push_back(run.report_label);
            }
        }
    }

    void printSummary() const {
        std::printf("\nMedians of %d alternating repetitions of %lld frames each, %d CPUs usable (affinity), "
                    "encoder threads %d; ratios as median [lowest-highest] over the repetition pairs.\n"
                    "CPU: every thread of the process per frame, less the display's drawing (pipeline) or the "
                    "rendering and whole-frame conversion made beforehand (bare); \"conv\": the pipeline's "
                    "conversion of the changed rows and hand-over, counted in its CPU, none on the bare side\n",
                    pipelineRepetitions, static_cast<long long>(kFrames), videoThreadBudget(),
                    encoderThreadCount(videoThreadBudget()));
        std::printf("%-26s %8s %8s %18s %8s %8s %18s %6s %8s %8s %9s %6s\n", "shape", "wall ms", "bare", "ratio",
                    "CPU ms", "bare", "ratio", "conv", "Mbit/s", "bare", "after 1 s", "PSNR");
        for (const auto& label : order_) {
            const auto p = pipeline_.find(label);
            const auto b = bare_.find(label);
            if (p == pipeline_.end() || b == bare_.end()) continue;
            auto values = [](const Series& m, const char* key) {
                const auto it = m.find(key);
                return it == m.end() ? std::vector<double>{} : it->second;
            };
            auto ratio = [&](const char* key) {
                const auto top = values(p->second, key), bottom = values(b->second, key);
                std::vector<double> ratios;
                for (std::size_t i = 0; i < std::min(top.size(), bottom.size()); ++i) {
                    if (bottom[i] > 0) ratios.push_back(top[i] / bottom[i]);
                }
                char text[40];
                if (ratios.empty()) return std::string("-");
                const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
                std::snprintf(text, sizeof text, "%.2fx [%.2f-%.2f]", median(ratios), *low, *high);
                return std::string(text);
            };
            std::printf("%-26s %8.2f %8.2f %18s %8.2f %8.2f %18s %6.2f %8.2f %8.2f %9.2f %6.1f\n", label.c_str(),
                        median(values(p->second, "wall_ms")), median(values(b->second, "wall_ms")),
                        ratio("wall_ms").c_str(), median(values(p->second, "cpu_ms")),
                        median(values(b->second, "cpu_ms")), ratio("cpu_ms").c_str(),
                        median(values(p->second, "capture_cpu_ms")),
                        median(values(p->second, "Mbit/s")), median(values(b->second, "Mbit/s")),
                        median(values(p->second, "Mbit/s_after_1s")), median(values(p->second, "psnr_y_dB")));
        }
    }

private:
    using Series = std::map<std::string, std::vector<double>>;
    static double median(std::vector<double> v) {
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        const auto mid = v.size() / 2;
        return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
    }
    std::map<std::string, Series> pipeline_, bare_;
    std::vector<std::string> order_;
};

}  // namespace

// Takes `--pipeline_repetitions=N` (1-99) out of the arguments before the library reads them.
bool takeRepetitions(int& argc, char** argv) {
    static constexpr std::string_view flag = "--pipeline_repetitions=";
    int kept = 1;
    bool valid = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.substr(0, flag.size()) != flag) {
            argv[kept++] = argv[i];
            continue;
        }
        const std::string value(argument.substr(flag.size()));
        char* end = nullptr;
        const long count = std::strtol(value.c_str(), &end, 10);
        valid = valid && !value.empty() && *end == '\0' && count >= 1 && count <= 99;
        if (valid) pipelineRepetitions = static_cast<int>(count);
    }
    argc = kept;
    argv[argc] = nullptr;
    return valid;
}

int main(int argc, char** argv) {
    if (!takeRepetitions(argc, argv)) {
        std::fprintf(stderr, "--pipeline_repetitions takes a number from 1 to 99\n");
        return 1;
    }
    registerPipelineAgainstBare();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary();
    benchmark::Shutdown();
    return 0;
}
