// An outgoing batch of a whole folder, as a Viewer's request for a home folder makes it, against
// bare walks of the same tree in the same run.
//
// The tree (under the system's temporary folder) holds QM_BENCH_WALK_FILES empty files (default
// 100000), 50 to a folder, the folders 20 to a folder above them. Sides:
//   service      the file service sending the folder as a batch confined to the tree's parent
//                (the walk, then every file opened again to be sent; no bytes to read), its
//                queues run on this thread, every packet dropped;
//   nftw         nftw() with FTW_PHYS over the tree, looking at every entry;
//   nftw+open    the same, also opening and closing every file (what sending needs at least).
// Each side runs QM_BENCH_REPETITIONS times (default 5); the summary at the end gives, per side,
// the median wall and CPU time, and service against each bare walk as the ratio of the medians.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "QuillmereProfiles/FileTransferService.h"
#include "support/TestPlatform.h"

namespace {

namespace fs = std::filesystem;
using namespace qm;

std::size_t envCount(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : fallback;
}

struct Tree {
    test::TemporaryDirectory dir;
    fs::path top;
    std::size_t files = 0;
    Tree() : top(dir.path() / "Home") {
        files = envCount("QM_BENCH_WALK_FILES", 100000);
        for (std::size_t i = 0; i < files; ++i) {
            const auto folder = top / ("g" + std::to_string(i / 1000)) / ("d" + std::to_string(i / 50 % 20));
            if (i % 50 == 0) fs::create_directories(folder);
            ::close(::open((folder / ("f" + std::to_string(i % 50))).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        }
    }
};

Tree& tree() {
    static Tree shared;
    return shared;
}

void service(benchmark::State& state) {
    test::ManualPlatform mp;
    auto files = std::make_shared<FileTransferService>(mp.platform, "Viewer", 262144,
                                                       FileTransferService::Folders{tree().dir.path() / "caches",
                                                                                    tree().dir.path()});
    std::size_t fileStarts = 0;
    files->sendPacket = [&](const FileTransferPacket& packet) { fileStarts += packet.op == FileTransferOp::fileStart; };
    for (auto _ : state) {
        fileStarts = 0;
        files->sendURLs({tree().top}, FileTransferIntent::managedCopy, std::nullopt, {}, std::nullopt, std::nullopt,
                        tree().dir.path());
        mp.clock->runUntilIdle();
        if (fileStarts != tree().files) state.SkipWithError("the batch did not hold every file");
    }
}

bool openEach = false;
int visit(const char* path, const struct stat*, int type, FTW*) {
    if (type == FTW_F && openEach) ::close(::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    benchmark::DoNotOptimize(path);
    return 0;
}

void bareWalk(benchmark::State& state, bool open) {
    openEach = open;
    for (auto _ : state) ::nftw(tree().top.c_str(), visit, 64, FTW_PHYS);
}

// Keeps the medians of every side for the ratios at the end.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::pair<double, double>> medians;  // wall, CPU (seconds)
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.aggregate_name != "median") continue;
            const auto name = run.run_name.function_name;
            const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
            medians[name] = {run.GetAdjustedRealTime() / perSecond, run.GetAdjustedCPUTime() / perSecond};
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const auto repetitions = static_cast<int>(envCount("QM_BENCH_REPETITIONS", 5));
    std::fprintf(stderr, "tree: %zu files\n", tree().files);
    for (const auto& [name, run] : std::vector<std::pair<std::string, std::function<void(benchmark::State&)>>>{
             {"service", service},
             {"nftw", [](benchmark::State& state) { bareWalk(state, false); }},
             {"nftw+open", [](benchmark::State& state) { bareWalk(state, true); }}})
        benchmark::RegisterBenchmark(name.c_str(), run)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(repetitions)
            ->ReportAggregatesOnly(true)
            ->UseRealTime();
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto& m = reporter.medians;
    if (m.contains("service"))
        for (const char* bare : {"nftw", "nftw+open"})
            if (m.contains(bare))
                std::printf("service / %-9s  wall %.2fx  CPU %.2fx  (service %.3f s wall, %.3f s CPU)\n", bare,
                            m.at("service").first / m.at(bare).first, m.at("service").second / m.at(bare).second,
                            m.at("service").first, m.at("service").second);
    benchmark::Shutdown();
    return 0;
}
