// Runs the Host on loopback through many Viewer lifetimes (control, video and file channel: connect,
// sign in, leave) and prints the process's descriptors and memory every 1,000 cycles. Exits
// non-zero when a cycle fails or the samples are not flat. The Host's status lines go to stderr.
//
//   host_soak [cycles (10000)] [sample every (1000)]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/LiveServer.h"
#include "support/Soak.h"

int main(int argc, char** argv) {
    using namespace qm;
    using namespace qm::test;
    const std::size_t cycles = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    const std::size_t every = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
    const SoakTolerance tolerance;

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
        return 1;
    }
    std::printf("flat\n");
    return 0;
}
