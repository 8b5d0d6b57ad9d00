// The first decoded picture of the built `QuillmereHost` as a Viewer gets it: the Host runs as a
// throwaway account on an X display and in a network namespace of its own (tests/support's
// BuiltHost), and a Viewer signs in with that account's password, which the Host checks through
// PAM on the control and on the video channel, asks for the Easy mode, and decodes the stream.
// Each start counts from the Viewer's connection to its first decoded picture; the Viewer leaves
// and the next one comes once the Host has stopped capturing. The benchmarks that start the
// server in-process (live_video_cpu_bench) sign in with a scripted account and leave PAM out.
//
// Needs root (the account, the namespace) and Xvfb; the Host is the one built next to this
// benchmark unless QM_HOST_EXECUTABLE names another. The display is a 1920x1080 Xvfb with no window
// on it, so the first keyframe is much smaller than a busy desktop's.
//
//   built_host_first_picture_bench [--benchmark_filter=...]     QM_HOST_STARTS (7)
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "HostApp/Server/ServerConstants.h"
#include "support/BuiltHost.h"
#include "support/StreamingViewer.h"

namespace {

using namespace qm;

std::uint64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(t.tv_nsec);
}

std::filesystem::path hostExecutable() {
    if (const char* named = std::getenv("QM_HOST_EXECUTABLE"); named && *named) return named;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path{} : self.parent_path().parent_path() / "QuillmereHost";
}

void BM_BuiltHostFirstPicture(benchmark::State& state) {
    const int starts = std::max(1, std::atoi(std::getenv("QM_HOST_STARTS") ? std::getenv("QM_HOST_STARTS") : "7"));
    std::vector<double> firstPictureMs;
    std::vector<double> signedInMs;  // both channels signed in
    for (auto _ : state) {
        std::string whyNot;
        auto host = test::BuiltHost::prepare(hostExecutable(), whyNot, "1920x1080x24");
        if (!host) {
            state.SkipWithError(whyNot.c_str());
            return;
        }
        if (!host->start()) {
            state.SkipWithError(("the Host did not start: " + host->log()).c_str());
            return;
        }
        for (int i = 0; i < starts; ++i) {
            std::atomic<std::uint64_t> firstPictureNs{0};
            const std::uint64_t connectNs = monotonicNs();
            {
                test::StreamingViewer viewer(ServerConstants::controlPort, ServerConstants::videoPort, 2);
                viewer.useAccount(host->user().name(), host->user().password());
                viewer.onFrame = [&](const test::StreamingViewer::Frame& frame, const test::StreamDecoder*) {
                    std::uint64_t none = 0;
                    if (frame.pictures > 0) firstPictureNs.compare_exchange_strong(none, frame.decodedNs);
                };
                if (auto failure = viewer.start()) {
                    state.SkipWithError(failure->c_str());
                    return;
                }
                signedInMs.push_back(static_cast<double>(monotonicNs() - connectNs) / 1e6);
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (firstPictureNs.load() == 0 && std::chrono::steady_clock::now() < deadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                viewer.stop();
            }
            if (firstPictureNs.load() == 0) {
                state.SkipWithError("no picture within 20 s");
                return;
            }
            firstPictureMs.push_back(static_cast<double>(firstPictureNs.load() - connectNs) / 1e6);
            std::printf("start %d: signed in on both channels after %.0f ms, first decoded picture after %.0f ms\n", i + 1,
                        signedInMs.back(), firstPictureMs.back());
            // The Host stops capturing once the last video session has gone; the next Viewer
            // starts a stream of its own.
            std::this_thread::sleep_for(std::chrono::seconds(2));
        }
    }
    if (firstPictureMs.empty()) return;
    auto sorted = firstPictureMs;
    std::sort(sorted.begin(), sorted.end());
    state.counters["first_ms_min"] = sorted.front();
    state.counters["first_ms_median"] = sorted[sorted.size() / 2];
    state.counters["first_ms_max"] = sorted.back();
    std::sort(signedInMs.begin(), signedInMs.end());
    state.counters["signed_in_ms_median"] = signedInMs[signedInMs.size() / 2];
}

}  // namespace

BENCHMARK(BM_BuiltHostFirstPicture)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
