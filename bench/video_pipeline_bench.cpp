// What one frame costs on the Host's video road: synthetic capture -> crop/scale to YUV ->
// encode -> aux packet, next to a bare libavcodec encode of the same pictures with the same
// settings. The difference is what the pipeline adds around the encoder.
//
// Run: video_pipeline_bench --benchmark_min_time=0.5

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "HostApp/Video/HostVideoCapture.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "HostApp/Video/VideoQueues.h"
#include "Platform/AsioDispatchQueue.h"
#include "Platform/ManualDispatchQueue.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "support/ServerInspector.h"
#include "support/InMemoryViewer.h"
#include "support/LiveServer.h"
#include "support/TestViewer.h"

using namespace qm;

namespace {

constexpr std::int64_t kFps = 60;

struct Shape {
    VideoStreamCodec codec;
    std::int64_t width;
    std::int64_t height;
    std::int64_t bitrate;
};

Shape shapeFor(const benchmark::State& state) {
    const auto codec = state.range(0) == 0 ? VideoStreamCodec::h264 : VideoStreamCodec::hevc;
    const bool uhd = state.range(1) == 2160;
    return Shape{codec, uhd ? 3840 : 1920, uhd ? 2160 : 1080, uhd ? 48'000'000 : 36'000'000};
}

void label(benchmark::State& state, const Shape& shape) {
    state.SetLabel(std::string(codecTitle(shape.codec)) + " " + std::to_string(shape.width) + "x" +
                   std::to_string(shape.height));
}

// The aux packet the server sends for a frame.
Bytes packetise(const EncodedVideoFrame& frame) {
    VideoFramePayload payload;
    payload.frameNumber = static_cast<std::uint64_t>(frame.frameNumber);
    payload.accessUnit.assign(frame.data().begin(), frame.data().end());
    return makeAuxPacket(AuxPacketType::videoFrame, frame.isKeyframe ? VideoFramePayload::keyframeFlag : 0,
                         payload.encode(), frame.captureUptimeNs);
}

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
    platform.screenCapture = std::make_shared<SimulatedScreenCapture>(displays);

    VideoStreamProfile profile;
    profile.displayID = 1;
    profile.codec = shape.codec;
    profile.width = shape.width;
    profile.height = shape.height;
    profile.fps = kFps;
    profile.bitrate = shape.bitrate;
    profile.keyframeInterval = kFps * 4;
    auto capture = std::make_shared<HostVideoCapture>(platform, profile);
    std::mutex mutex;
    std::condition_variable encoded;
    std::int64_t frames = 0, bytes = 0;
    std::string error;
    capture->onFrame = [&](EncodedVideoFrame frame) {
        auto packet = packetise(frame);
        benchmark::DoNotOptimize(packet.data());
        std::lock_guard lock(mutex);
        ++frames;
        bytes += static_cast<std::int64_t>(packet.size());
        encoded.notify_one();
    };
    capture->onError = [&](const std::string& text) {
        std::lock_guard lock(mutex);
        error = text;
        encoded.notify_one();
    };
    // Waits until at most `behind` captured frames are still to come out of the encoder.
    std::int64_t submitted = 0;
    auto awaitEncoder = [&](std::int64_t behind) {
        std::unique_lock lock(mutex);
        return encoded.wait_for(lock, std::chrono::seconds(10),
                                [&] { return !error.empty() || frames >= submitted - behind; });
    };
    capture->start();
    clock->runUntilIdle();
    clock->advance(1.0 / kFps);  // the first keyframe, outside the measurement
    ++submitted;
    if (!awaitEncoder(0) || !error.empty() || frames != 1) {
        state.SkipWithError(error.empty() ? "capture produced no frame" : error.c_str());
        capture->stop(true);
        return;
    }
    {
        std::lock_guard lock(mutex);
        frames = 0;
        bytes = 0;
        submitted = 0;
    }
    // A frame is captured once the encoder has at most one left to do, as a capture that keeps
    // up with the encoder runs; the capture would drop the frame otherwise.
    for (auto _ : state) {
        awaitEncoder(1);
        clock->advance(1.0 / kFps);
        ++submitted;
    }
    awaitEncoder(0);
    capture->stop(true);
    std::lock_guard lock(mutex);
    if (frames != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("a frame interval produced no frame");
    state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["kB/frame"] = frames ? static_cast<double>(bytes) / 1000.0 / static_cast<double>(frames) : 0;
    label(state, shape);
}

// The same pictures (converted once, up front) through libavcodec alone, with the encoder's
// software settings.
void BM_BareEncode(benchmark::State& state) {
    const Shape shape = shapeFor(state);
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name(shape.codec == VideoStreamCodec::hevc ? "libx265" : "libx264");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = static_cast<int>(shape.width);
    ctx->height = static_cast<int>(shape.height);
    ctx->time_base = AVRational{1, kFps};
    ctx->framerate = AVRational{kFps, 1};
    ctx->gop_size = kFps * 4;
    ctx->max_b_frames = 0;
    ctx->bit_rate = shape.bitrate;
    ctx->rc_max_rate = shape.bitrate;
    ctx->rc_buffer_size = static_cast<int>(shape.bitrate / kFps);
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ctx->thread_count = 0;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "tune", "zerolatency", 0);
    av_dict_set(&options, "forced-idr", "1", 0);
    if (shape.codec == VideoStreamCodec::hevc) {
        av_dict_set(&options, "preset", "ultrafast", 0);
        av_dict_set(&options, "x265-params", "log-level=none:bframes=0:frame-threads=1", 0);
    } else {
        av_dict_set(&options, "preset", shape.width * shape.height * kFps > 1920LL * 1080 * 60 ? "ultrafast" : "superfast", 0);
    }
    if (avcodec_open2(ctx, codec, &options) < 0) {
        av_dict_free(&options);
        avcodec_free_context(&ctx);
        state.SkipWithError("encoder did not open");
        return;
    }
    av_dict_free(&options);

    constexpr int kPictures = 30;
    std::vector<AVFrame*> pictures;
    {
        SyntheticScreenContent content(shape.width, shape.height);
        VideoFrameScaler scaler;
        for (int i = 0; i < kPictures; ++i) {
            const PixelBuffer source = content.makeFrame(static_cast<std::uint64_t>(i));
            const AVFrame* yuv = scaler.scale(source, PixelCrop{0, 0, shape.width, shape.height}, shape.width,
                                              shape.height, AV_PIX_FMT_YUV420P);
            pictures.push_back(av_frame_clone(yuv));
            av_frame_make_writable(pictures.back());  // its own planes, not the scaler's
        }
    }
    AVPacket* packet = av_packet_alloc();
    std::int64_t pts = 0, frames = 0, bytes = 0;
    auto encodeOne = [&] {
        AVFrame* picture = pictures[static_cast<std::size_t>(pts % kPictures)];
        picture->pts = pts++;
        picture->pict_type = AV_PICTURE_TYPE_NONE;
        avcodec_send_frame(ctx, picture);
        while (avcodec_receive_packet(ctx, packet) == 0) {
            ++frames;
            bytes += packet->size;
            av_packet_unref(packet);
        }
    };
    encodeOne();  // the first keyframe, outside the measurement
    frames = 0;
    bytes = 0;
    for (auto _ : state) encodeOne();
    state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["kB/frame"] = frames ? static_cast<double>(bytes) / 1000.0 / static_cast<double>(frames) : 0;
    label(state, shape);
    av_packet_free(&packet);
    for (auto* picture : pictures) av_frame_free(&picture);
    avcodec_free_context(&ctx);
}

void shapes(benchmark::internal::Benchmark* b) {
    for (int codec : {0, 1}) {
        for (int height : {1080, 2160}) b->Args({codec, height});
    }
}

// The server's fan-out of one encoded frame to 1, 4 or 16 signed-in video sessions, each of which
// acknowledges it, against copying the same packet once per Viewer.
constexpr std::size_t kFrameBytes = 75'000;  // a 1080p frame at 36 Mbit/s and 60 fps

void BM_VideoFanOut(benchmark::State& state) {
    const auto viewers = static_cast<std::size_t>(state.range(0));
    test::ManualServer host;
    auto& server = host.server();
    std::vector<std::unique_ptr<test::InMemoryViewer>> sessions;
    for (std::size_t i = 0; i < viewers; ++i) {
        sessions.push_back(std::make_unique<test::InMemoryViewer>(host, server.boundPorts().video));
    }
    const auto generation = server.queue->sync([&] {
        // No capture runs here: the frames below stand for what it would hand over.
        if (test::ServerInspector(server).video().initialVideoCaptureStartTask) test::ServerInspector(server).video().initialVideoCaptureStartTask->cancel();
        server.broadcastVideoConfig(VideoStreamConfigPayload{});
        return test::ServerInspector(server).video().videoCaptureGeneration;
    });
    host.clock().runUntilIdle();
    for (auto& session : sessions) session->takeAll();

    EncodedVideoFrame frame;
    frame.buffer.assign(EncodedVideoFrame::headroom + kFrameBytes, 0x5A);
    std::int64_t number = 0;
    for (auto _ : state) {
        frame.frameNumber = number;
        server.queue->sync([&] { server.handleEncodedVideoFrame(generation, frame); });
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
        if (inspector.video().initialVideoCaptureStartTask) inspector.video().initialVideoCaptureStartTask->cancel();
        server.broadcastVideoConfig(VideoStreamConfigPayload{});
        ids.assign(inspector.sessions().authorizedVideoSessions.begin(), inspector.sessions().authorizedVideoSessions.end());
        return inspector.video().videoCaptureGeneration;
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
            const auto start = std::chrono::steady_clock::now();
            server.handleEncodedVideoFrame(generation, std::move(frame));
            for (const auto& id : ids) server.recordVideoFrameAck(id, VideoFrameAckPayload{number});
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

BENCHMARK(BM_VideoFanOut)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VideoFanOutHostSide)->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareFanOutCopy)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HostLatency1080p60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_CapturePipeline)->Apply(shapes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareEncode)->Apply(shapes)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
