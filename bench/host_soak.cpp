// Runs the Host on loopback through many Viewer lifetimes (control, video and file channel: connect,
// sign in, leave) and prints the process's descriptors and memory every 1,000 cycles. Exits
// non-zero when a cycle fails or the samples are not flat. Then it streams 1920x1080 video to a
// Viewer in a few sessions (each signs in, takes and acknowledges frames for a while, and leaves)
// and exits non-zero when resident memory, once the last Viewer left, does not come back within
// 20 MB of what the idle Host held before the first session. The Host's status lines go to stderr.
//
//   host_soak [cycles (10000)] [sample every (1000)] [video sessions (10)]
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "Platform/Core/ProcessMemory.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "support/LiveServer.h"
#include "support/Soak.h"
#include "support/TestPlatform.h"
#include "support/TestViewer.h"

namespace {

using namespace qm;
using namespace qm::test;

constexpr std::int64_t allowedOverIdleKB = 20 * 1024;

// One video session: signs in on control and video, takes `frames` frames (acknowledging each, as
// a Viewer does), then leaves. Empty when it went through.
std::string streamOnce(LiveServer& live, int frames) {
    auto control = std::make_unique<TestViewer>(live.ports().control);
    auto signedIn = control->signIn(LiveServer::user, LiveServer::password, "Soak Viewer");
    if (!signedIn || !signedIn->accepted) return "control sign-in failed";
    auto video = std::make_unique<TestViewer>(live.ports().video);
    auto* raw = video.get();
    std::atomic<int> received{0};
    video->setObserver([raw, &received](const AuxFrame& frame, std::uint64_t) {
        if (frame.header.type != AuxPacketType::videoFrame) return;
        if (auto payload = VideoFramePayload::decode(frame.payload)) {
            raw->sendRaw(makeAuxPacket(AuxPacketType::videoFrameAck, 0,
                                       VideoFrameAckPayload{payload->frameNumber}.encode(), 0));
            received.fetch_add(1);
        }
    });
    signedIn = video->signIn(LiveServer::user, LiveServer::password, "Soak Viewer");
    if (!signedIn || !signedIn->accepted) return "video sign-in failed";
    if (!waitUntil([&] { return received.load() >= frames; }, std::chrono::seconds(60))) {
        return "only " + std::to_string(received.load()) + " video frames arrived";
    }
    video.reset();
    control.reset();
    if (!waitUntil([&] { return live.server().resourceCounts() == V230HostAudioAuxServer::ResourceCounts{}; })) {
        return "resource counts did not return to zero";
    }
    return {};
}

// Video sessions against a 1920x1080 display; false when memory did not come back.
bool videoMemoryReturns(int sessions) {
    LiveServer live;
    live.displays()->addDisplay(SimulatedDisplayService::makeDisplay(1, {0, 0}, 1920, 1080, 1920, 1080, 60, true));
    // The idle figure: the Host started, listening, no Viewer yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto idle = residentKilobytes();
    std::printf("\nvideo sessions at 1920x1080; idle resident %lld kB, allowed after the last Viewer left: +%lld kB\n",
                static_cast<long long>(idle), static_cast<long long>(allowedOverIdleKB));
    std::printf("%8s %16s %16s %14s\n", "session", "peak kB", "after leave kB", "heap kB");
    bool ok = true;
    for (int i = 1; i <= sessions; ++i) {
        std::atomic<std::int64_t> peak{0};
        std::atomic<bool> streaming{true};
        std::thread watcher([&] {
            while (streaming.load()) {
                peak.store(std::max(peak.load(), residentKilobytes()));
                waitUntil([&] { return !streaming.load(); }, std::chrono::milliseconds(100));
            }
        });
        const auto failure = streamOnce(live, 120);
        streaming.store(false);
        watcher.join();
        if (!failure.empty()) {
            std::printf("session %d: %s\n", i, failure.c_str());
            return false;
        }
        // The Host gives memory back a moment after the capture stopped: the lowest figure over
        // the next three seconds.
        std::int64_t after = residentKilobytes();
        for (int tick = 0; tick < 30; ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            after = std::min(after, residentKilobytes());
        }
        std::printf("%8d %16lld %16lld %14lld\n", i, static_cast<long long>(peak.load()),
                    static_cast<long long>(after), static_cast<long long>(heapInUseKilobytes()));
        std::fflush(stdout);
        if (after > idle + allowedOverIdleKB) ok = false;
    }
    std::printf(ok ? "memory returned after every session\n" : "MEMORY NOT RETURNED\n");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    // As the Host process does, before any thread starts.
    configureAllocatorForLongRuns();
    const std::size_t cycles = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    const std::size_t every = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
    const int sessions = argc > 3 ? std::atoi(argv[3]) : 10;
    const SoakTolerance tolerance;

    bool flat = true;
    {
        // A departed session's memory is held until its sign-in deadline would have fired; a short
        // deadline lets memory reach its steady level within the warm-up.
        LiveServer::Setup setup;
        setup.options.signInTimeout = 2.0;
        LiveServer live(setup);
        live.displays()->addDisplay(SimulatedDisplayService::makeDisplay(1, {0, 0}, 320, 180, 320, 180, 60, true));
        std::printf("%8s %12s %14s %14s\n", "cycle", "descriptors", "resident kB", "heap kB");
        const auto report = runSoak(live, cycles, every, 3.0, [](const SoakSample& sample) {
            std::printf("%8zu %12zu %14lld %14lld\n", sample.cycle, sample.descriptors,
                        static_cast<long long>(sample.residentKB), static_cast<long long>(sample.heapInUseKB));
            std::fflush(stdout);
        });
        const auto verdict = soakVerdict(report, tolerance);
        std::printf("%zu cycles; tolerance over the first sample: descriptors +%zu, heap +%lld kB, resident +%lld kB\n",
                    report.cyclesRun, tolerance.descriptors, static_cast<long long>(tolerance.heapInUseKB),
                    static_cast<long long>(tolerance.residentKB));
        if (!verdict.empty()) {
            std::printf("NOT FLAT: %s\n", verdict.c_str());
            flat = false;
        } else {
            std::printf("flat\n");
        }
    }
    releaseFreeMemory();  // what the first server left, so the video phase starts from its own idle figure
    const bool returned = sessions <= 0 || videoMemoryReturns(sessions);
    return flat && returned ? 0 : 1;
}
