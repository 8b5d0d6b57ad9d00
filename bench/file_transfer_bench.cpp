// The file road: one file pushed by a Viewer's file service over the file channel into the Host's
// server and file service, which write it to its staging folder, against a plain loopback TCP copy
// of the same file to disk. On both sides the timed region ends once the receiving side wrote the
// last byte and closed the file; neither syncs, and the page cache is flushed (untimed) before
// each iteration so one run's writeback does not slow the next. The size is QM_BENCH_FILE_MIB
// (default 64; 1024 for the full comparison). The two sides take turns: QM_BENCH_ROUNDS rounds
// (default 3) of one plain copy and one file-road transfer per chunk size, so a stretch of load
// from elsewhere falls on both alike. The first file-road transfer of the process (firstInProcess
// = 1) meets a Host whose buffers are all new; run the program afresh to measure more of those.
//
// Counters: MiB/s (wall), cpu% (CPU time of the whole process over wall time: every thread of
// both sides), cpuSecPerGiB, and for the file road ofPlainCopy% against the plain copy's median.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <algorithm>
#include <ctime>
#include <random>
#include <thread>

#include "HostApp/App/HostServiceWiring.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Pasteboard.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/LiveServer.h"
#include "support/TestViewer.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;
using Wall = std::chrono::steady_clock;

namespace {

constexpr std::size_t chunkSize = 256 * 1024;

std::uint64_t transferBytes() {
    const char* text = std::getenv("QM_BENCH_FILE_MIB");
    const long mib = text ? std::strtol(text, nullptr, 10) : 64;
    return static_cast<std::uint64_t>(mib > 0 ? mib : 64) << 20;
}

// The file both benchmarks move, written once.
struct SourceFile {
    TemporaryDirectory folder;
    fs::path path = folder.path() / "payload.bin";
    std::uint64_t size = transferBytes();

    SourceFile() {
        FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        std::mt19937_64 gen(7);
        std::vector<std::uint64_t> block(chunkSize / sizeof(std::uint64_t));
        for (std::uint64_t written = 0; written < size; written += chunkSize) {
            for (auto& word : block) word = gen();
            const auto n = std::min<std::uint64_t>(chunkSize, size - written);
            writeAll(out.get(), {reinterpret_cast<const std::uint8_t*>(block.data()), static_cast<std::size_t>(n)});
        }
    }
    static SourceFile& shared() {
        static SourceFile file;
        return file;
    }
};

// Rates (bytes per second) of every plain-copy repetition, for the file road's ratio.
std::vector<double> plainCopyRates;

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double processCPUSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wall and whole-process CPU time of the timed regions.
struct Spent {
    Wall::duration wall{};
    double cpu = 0;
    Wall::time_point wallBegan;
    double cpuBegan = 0;
    void begin() {
        ::sync();  // the previous iteration's writeback, outside the timed region
        wallBegan = Wall::now();
        cpuBegan = processCPUSeconds();
    }
    void end(benchmark::State& state) {
        const auto took = Wall::now() - wallBegan;
        cpu += processCPUSeconds() - cpuBegan;
        wall += took;
        state.SetIterationTime(std::chrono::duration<double>(took).count());
    }
};

void report(benchmark::State& state, std::uint64_t bytes, const Spent& spent, std::vector<double>* keep) {
    const double seconds = std::chrono::duration<double>(spent.wall).count();
    const double rate = static_cast<double>(bytes) / seconds;
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["MiB/s"] = rate / (1 << 20);
    state.counters["cpu%"] = 100.0 * spent.cpu / seconds;
    state.counters["cpuSecPerGiB"] = spent.cpu / (static_cast<double>(bytes) / (1 << 30));
    if (keep) keep->push_back(rate);
    if (!keep && !plainCopyRates.empty()) state.counters["ofPlainCopy%"] = 100.0 * rate / median(plainCopyRates);
}

void BM_PlainLoopbackCopyToDisk(benchmark::State& state) {
    auto& source = SourceFile::shared();
    TemporaryDirectory out;
    std::uint64_t moved = 0;
    Spent spent;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(out.path() / "copy.bin");  // truncating a full file would be timed
        state.ResumeTiming();
        spent.begin();
        asio::io_context context;
        asio::ip::tcp::acceptor acceptor(context, {asio::ip::address_v4::loopback(), 0});
        std::thread receiver([&] {
            auto socket = acceptor.accept();
            FileDescriptor file(::open((out.path() / "copy.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
            std::vector<std::uint8_t> buffer(chunkSize);
            for (;;) {
                std::error_code error;
                const auto n = socket.read_some(asio::buffer(buffer), error);
                if (error || n == 0) break;
                writeAll(file.get(), {buffer.data(), n});
            }
        });
        asio::ip::tcp::socket socket(context);
        socket.connect(acceptor.local_endpoint());
        FileDescriptor in(::open(source.path.c_str(), O_RDONLY));
        std::vector<std::uint8_t> buffer(chunkSize);
        for (;;) {
            const auto n = ::read(in.get(), buffer.data(), buffer.size());
            if (n <= 0) break;
            asio::write(socket, asio::buffer(buffer.data(), static_cast<std::size_t>(n)));
        }
        socket.shutdown(asio::ip::tcp::socket::shutdown_send);
        receiver.join();
        spent.end(state);
        moved += source.size;
        if (fs::file_size(out.path() / "copy.bin") != source.size) state.SkipWithError("copy incomplete");
    }
    report(state, moved, spent, &plainCopyRates);
}

// range(0): the chunk size the Viewer's service sends (the Host takes any up to the frame limit).
void BM_FileChannelToDisk(benchmark::State& state) {
    auto& source = SourceFile::shared();
    const auto viewerChunkSize = static_cast<std::int64_t>(state.range(0));
    TemporaryDirectory folder;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t completed = 0;
    std::shared_ptr<ClipboardSyncBridge> clipboard;
    std::shared_ptr<FileTransferService> hostFiles;

    LiveServer::Setup setup;
    setup.beforeStart = [&](const std::shared_ptr<V230HostAudioAuxServer>& server, const HostPlatform& platform) {
        clipboard = std::make_shared<ClipboardSyncBridge>(platform, "Viewer", std::make_shared<InMemoryPasteboard>(),
                                                          32 << 20, 48 << 20, folder.path() / "caches");
        hostFiles = std::make_shared<FileTransferService>(
            platform, "Viewer", chunkSize, FileTransferService::Folders{folder.path() / "caches", folder.path()});
        connectHostServices(server, clipboard, hostFiles, platform.mainQueue);
        hostFiles->onBatchCompleted = [&](const UUID&, const std::vector<fs::path>&, FileTransferIntent) {
            std::lock_guard lock(mutex);
            ++completed;
            changed.notify_all();
        };
    };
    LiveServer live(setup);

    TestViewer viewer(live.ports().control);
    auto signedIn = viewer.signIn(LiveServer::user, LiveServer::password);
    auto endpointFrame = viewer.waitFor(AuxPacketType::fileTransferEndpoint);
    auto endpoint = endpointFrame ? FileTransferEndpointPayload::decode(endpointFrame->payload) : std::nullopt;
    if (!signedIn || !signedIn->accepted || !endpoint) {
        state.SkipWithError("the Viewer could not sign in");
        return;
    }
    TestFileChannel channel(endpoint->port);
    channel.sendFrame(Bytes(endpoint->token.begin(), endpoint->token.end()));
    if (!waitUntil([&] { return !live.server().connectedFileTransferPeers().empty(); })) {
        state.SkipWithError("the file channel was not admitted");
        return;
    }

    // The Viewer's side: its own file service on real queues, sending over the channel.
    HostPlatform viewerPlatform;
    viewerPlatform.clock = SystemClock::shared();
    viewerPlatform.makeQueue = [](const std::string& label) -> DispatchQueuePtr {
        return std::make_shared<AsioDispatchQueue>(label);
    };
    viewerPlatform.mainQueue = viewerPlatform.makeQueue("viewer.main");
    auto viewerFiles = std::make_shared<FileTransferService>(
        viewerPlatform, "Host", viewerChunkSize, FileTransferService::Folders{folder.path() / "viewer", folder.path()});
    viewerFiles->sendPacket = [&](const FileTransferPacket& packet) { channel.sendPacket(packet); };

    const auto staging = hostFiles->stagingRoot();
    std::uint64_t moved = 0;
    Spent spent;
    for (auto _ : state) {
        spent.begin();
        const std::size_t target = completed + 1;
        viewerFiles->sendURLs({source.path}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt, std::nullopt);
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::minutes(5), [&] { return completed >= target; })) {
            state.SkipWithError("the batch did not complete");
            break;
        }
        lock.unlock();
        spent.end(state);
        moved += source.size;

        state.PauseTiming();
        std::uint64_t staged = 0;
        for (const auto& entry : fs::recursive_directory_iterator(staging))
            if (entry.is_regular_file()) staged += entry.file_size();
        if (staged != source.size) state.SkipWithError("the staged file is incomplete");
        for (const auto& entry : fs::directory_iterator(staging)) fs::remove_all(entry.path());
        state.ResumeTiming();
    }
    report(state, moved, spent, nullptr);
    static bool firstInProcess = true;
    state.counters["firstInProcess"] = firstInProcess ? 1 : 0;
    firstInProcess = false;
}

}  // namespace

int main(int argc, char** argv) {
    const char* text = std::getenv("QM_BENCH_ROUNDS");
    const long rounds = text ? std::max(1L, std::strtol(text, nullptr, 10)) : 3;
    // Each round: the plain copy first, so the file road can report its share of it.
    for (long round = 0; round < rounds; ++round) {
        benchmark::RegisterBenchmark("BM_PlainLoopbackCopyToDisk", BM_PlainLoopbackCopyToDisk)
            ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
        for (std::int64_t chunk : {256 * 1024, 1024 * 1024}) {
            benchmark::RegisterBenchmark("BM_FileChannelToDisk", BM_FileChannelToDisk)
                ->Arg(chunk)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
