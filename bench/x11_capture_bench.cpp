// What a frame costs from the screen to the encoder: XShm capture of an Xvfb desktop next to the
// simulated source at the same size, each measured as capture only, capture -> conversion, and
// capture -> conversion -> encode. The desktop shows the simulated source's first frame, so both
// encoders get alike pictures. Starts its own Xvfb; without one the X11 rows report why.
//
// Run: x11_capture_bench --benchmark_min_time=0.5

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <optional>

#include "HostApp/Video/VideoEncoder.h"
#include "HostApp/Video/VideoFrameScaler.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/X11Displays.h"
#include "Platform/Linux/X11ScreenCapture.h"
#include "support/VirtualXServer.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace qm;

namespace {

constexpr std::int64_t kWidth = 1920;
constexpr std::int64_t kHeight = 1080;

// One Xvfb for the whole run, showing the simulated source's first frame.
struct Desktop {
    test::VirtualXServer server{"1920x1080x24"};
    std::shared_ptr<X11DisplayService> displays;

    Desktop() {
        if (!server.running()) return;
        displays = X11DisplayService::open(server.name());
        Display* display = XOpenDisplay(server.name().c_str());
        if (!display) return;
        PixelBuffer picture = SyntheticScreenContent(kWidth, kHeight).makeFrame(0);
        XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                                     reinterpret_cast<char*>(picture.data.data()), kWidth, kHeight, 32,
                                     static_cast<int>(picture.bytesPerRow));
        GC gc = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
        XPutImage(display, DefaultRootWindow(display), gc, image, 0, 0, 0, 0, kWidth, kHeight);
        XFreeGC(display, gc);
        image->data = nullptr;  // the pixels are the buffer's
        XDestroyImage(image);
        XSync(display, False);
        XCloseDisplay(display);
    }
    static Desktop& shared() {
        static Desktop desktop;
        return desktop;
    }
};

// Hands the stream's frames to the benchmark thread one at a time.
class FrameMailbox {
public:
    void put(const CapturedFrame& frame) {
        std::lock_guard lock(mutex_);
        frame_ = frame;
        ready_.notify_one();
    }
    CapturedFrame take() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return frame_.has_value(); });
        CapturedFrame frame = std::move(*frame_);
        frame_.reset();
        return frame;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::optional<CapturedFrame> frame_;
};

enum Stage { captureOnly = 0, convert = 1, encode = 2 };

void runStages(benchmark::State& state, const std::function<std::shared_ptr<const PixelBuffer>()>& next) {
    const auto stage = static_cast<Stage>(state.range(0));
    VideoEncoderSettings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.fps = 60;
    settings.bitrate = 36'000'000;
    auto opened = VideoEncoder::open(settings);
    if (!opened.encoder) {
        state.SkipWithError(("encoder unavailable: " + opened.error).c_str());
        return;
    }
    VideoFrameScaler scaler;
    std::uint64_t uptime = 0;
    for (auto _ : state) {
        auto picture = next();
        if (stage == captureOnly) continue;
        const AVFrame* converted =
            scaler.scale(*picture, PixelCrop{0, 0, kWidth, kHeight}, kWidth, kHeight, opened.encoder->inputPixelFormat());
        if (!converted) {
            state.SkipWithError("conversion failed");
            return;
        }
        picture.reset();
        if (stage == encode) benchmark::DoNotOptimize(opened.encoder->encode(*converted, uptime += 16'666'667, false));
    }
    static const char* names[] = {"capture", "capture+convert", "capture+convert+encode"};
    state.SetLabel(std::string(names[stage]) + " " + std::to_string(kWidth) + "x" + std::to_string(kHeight));
}

void BM_SimulatedSource(benchmark::State& state) {
    // What the simulated capture does per frame: redraw what moved in a recycled buffer.
    SyntheticScreenContent content(kWidth, kHeight);
    auto buffer = std::make_shared<PixelBuffer>();
    std::optional<std::uint64_t> previous;
    std::uint64_t index = 0;
    runStages(state, [&] {
        content.render(index, *buffer, previous);
        previous = index++;
        return buffer;
    });
}

void BM_XShmSource(benchmark::State& state) {
    auto& desktop = Desktop::shared();
    if (!desktop.displays) {
        state.SkipWithError(desktop.server.running() ? "the Xvfb display has no RandR" : desktop.server.reason().c_str());
        return;
    }
    X11ScreenCapture capture(desktop.displays);
    StreamConfiguration configuration;
    configuration.minimumFrameInterval = 1e-4;  // as fast as the benchmark takes them
    auto stream = capture.makeStream(desktop.displays->mainDisplayID(), configuration);
    auto queue = std::make_shared<AsioDispatchQueue>("bench.x11.capture");
    FrameMailbox mailbox;
    stream->addScreenOutput(queue, [&](const CapturedFrame& frame) { mailbox.put(frame); });
    std::optional<std::string> error{"not started"};
    stream->startCapture([&](const std::optional<std::string>& e) { error = e; });
    if (error) {
        state.SkipWithError(error->c_str());
        return;
    }
    runStages(state, [&] { return mailbox.take().pixelBuffer; });
    stream->stopCapture({});
    queue->sync([] {});
}

}  // namespace

BENCHMARK(BM_SimulatedSource)->Arg(captureOnly)->Arg(convert)->Arg(encode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_XShmSource)->Arg(captureOnly)->Arg(convert)->Arg(encode)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
