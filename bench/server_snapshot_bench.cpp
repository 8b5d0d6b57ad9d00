// The application's reads of the server (hasConnectedViewer, the Viewers' names, the display
// selection) from another thread while the server queue is held for 6 s, as it is while a
// virtual display is built, against the bare library doing the same work: loading a
// std::atomic<std::shared_ptr> and copying the same vectors.
//
// Counters: longestWaitUs (the slowest single read in the run), meanNs; run with
// --benchmark_repetitions=N for medians, CPU time beside wall time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "support/LiveServer.h"
#include "support/TestViewer.h"

using namespace qm;
using namespace qm::test;
using Wall = std::chrono::steady_clock;

namespace {

constexpr auto queueHold = std::chrono::seconds(6);

struct Host {
    LiveServer live;
    TestViewer viewer{live.ports().control};
    Host() { viewer.signIn(LiveServer::user, LiveServer::password, "Bench Viewer"); }
};

Host& host() {
    static Host shared;
    return shared;
}

// Holds the server queue for `queueHold`, starting now (once per benchmark run).
void holdServerQueue(V230HostAudioAuxServer& server) {
    std::promise<void> started;
    auto began = started.get_future();
    server.queue->async([&started] {
        started.set_value();
        std::this_thread::sleep_for(queueHold);
    });
    began.wait();
}

template <typename Read>
void measure(benchmark::State& state, Read read) {
    std::uint64_t longestNs = 0;
    for (auto _ : state) {
        const auto start = Wall::now();
        benchmark::DoNotOptimize(read());
        longestNs = std::max<std::uint64_t>(longestNs, std::chrono::duration_cast<std::chrono::nanoseconds>(Wall::now() - start).count());
    }
    state.counters["longestWaitUs"] = static_cast<double>(longestNs) / 1000.0;
}

void BM_SnapshotReadsWhileTheQueueBuildsADisplay(benchmark::State& state) {
    auto& server = host().live.server();
    holdServerQueue(server);
    measure(state, [&] {
        return server.hasConnectedViewer() + server.connectedViewerDisplayNames().size() +
               server.connectedViewerConnectionSummaries().size() + server.selectedDisplayIDSnapshot();
    });
}

void BM_BareAtomicSharedPointerReads(benchmark::State& state) {
    struct Same {
        bool connected = true;
        std::vector<std::string> names{"Bench Viewer"};
        std::vector<std::pair<std::string, std::string>> summaries{{"Bench Viewer", "127.0.0.1"}};
        std::uint32_t selected = 1;
    };
    std::atomic<std::shared_ptr<const Same>> published{std::make_shared<const Same>()};
    measure(state, [&] {
        auto a = published.load();
        auto names = a->names;
        auto b = published.load();
        auto summaries = b->summaries;
        return a->connected + names.size() + summaries.size() + published.load()->selected;
    });
}

}  // namespace

// The reads run well within the 6 s hold (a fixed count, so no run outlasts it).
BENCHMARK(BM_SnapshotReadsWhileTheQueueBuildsADisplay)->Iterations(200000)->UseRealTime();
BENCHMARK(BM_BareAtomicSharedPointerReads)->Iterations(200000)->UseRealTime();

BENCHMARK_MAIN();
