// A Host -> Viewer file send to a Viewer that reads slowly: the Host's resident memory must stay
// flat (the send waits for the Viewer's queue instead of queueing the file) and the file must
// arrive whole. The same bytes sent over a bare socket to the same slow reader are the baseline,
// so the time ratio shows what the service's pacing costs.
//
// Counters: rss_growth_MiB (the most the process grew over its size before the send),
// identical (1 when the received bytes hash like the source), and seconds of wall and CPU time.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <random>
#include <thread>

#include "HostApp/App/HostServiceWiring.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "support/TestPlatform.h"
#include "support/WiredHost.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t fileSize = 1ull << 30;
// The reader takes 256 KiB, then pauses: about 128 MiB/s at most, well below loopback speed.
constexpr std::size_t readSize = 256 * 1024;
constexpr auto readPause = std::chrono::microseconds(2000);

std::uint64_t fnv(std::uint64_t hash, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

struct Source {
    TemporaryDirectory folder;
    fs::path path = folder.path() / "big.bin";
    std::uint64_t hash = 1469598103934665603ull;
    Source() {
        std::mt19937_64 gen(11);
        std::ofstream out(path, std::ios::binary);
        std::vector<std::uint8_t> block(1 << 20);
        for (std::uint64_t written = 0; written < fileSize; written += block.size()) {
            for (auto& b : block) b = static_cast<std::uint8_t>(gen());
            hash = fnv(hash, block.data(), block.size());
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
        }
    }
    static Source& shared() {
        static Source source;
        return source;
    }
};

std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

double cpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Samples the process's resident size until stopped; keeps the largest.
struct RSSSampler {
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> most{0};
    std::thread thread{[this] {
        while (!stop) {
            most = std::max(most.load(), residentBytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }};
    std::size_t finish() {
        stop = true;
        thread.join();
        return most;
    }
};

// Reads FTRX frames slowly from a socket and hashes the chunk data of one batch.
struct SlowFrameReader {
    asio::ip::tcp::socket& socket;
    std::uint64_t hash = 1469598103934665603ull;
    std::uint64_t bytes = 0;
    bool ended = false;
    void run() {
        std::vector<std::uint8_t> pending, buffer(readSize);
        while (!ended) {
            std::error_code ec;
            const auto n = socket.read_some(asio::buffer(buffer), ec);
            if (ec || n == 0) return;
            pending.insert(pending.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
            std::size_t at = 0;
            while (pending.size() - at >= 8) {
                const std::uint32_t length = pending[at + 4] | pending[at + 5] << 8 | pending[at + 6] << 16 |
                                             static_cast<std::uint32_t>(pending[at + 7]) << 24;
                if (pending.size() - at < 8 + static_cast<std::size_t>(length)) break;
                auto packet = FileTransferPacketView::decode({pending.data() + at + 8, length});
                if (packet && packet->op == FileTransferOp::fileChunk) {
                    hash = fnv(hash, packet->data.data(), packet->data.size());
                    bytes += packet->data.size();
                }
                if (packet && packet->op == FileTransferOp::batchEnd) ended = true;
                at += 8 + length;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
            std::this_thread::sleep_for(readPause);
        }
    }
};

void report(benchmark::State& state, double wall, double cpu, std::size_t growth, bool identical) {
    state.counters["rss_growth_MiB"] = static_cast<double>(growth) / (1 << 20);
    state.counters["identical"] = identical ? 1 : 0;
    state.counters["wall_s"] = wall;
    state.counters["cpu_s"] = cpu;
    state.SetBytesProcessed(static_cast<std::int64_t>(fileSize) * state.iterations());
}

}  // namespace

// The Host's service sends the file to a signed-in Viewer whose file channel reads slowly.
void BM_HostSendToSlowReader(benchmark::State& state) {
    auto& source = Source::shared();
    WiredHost host;
    TestViewer control(host.live->ports().control);
    auto signedIn = control.signIn(LiveServer::user, LiveServer::password);
    auto endpointFrame = control.waitFor(AuxPacketType::fileTransferEndpoint);
    auto endpoint = endpointFrame ? FileTransferEndpointPayload::decode(endpointFrame->payload) : std::nullopt;
    if (!signedIn || !signedIn->accepted || !endpoint) {
        state.SkipWithError("the Viewer could not sign in");
        return;
    }
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    socket.connect({asio::ip::make_address("127.0.0.1"), endpoint->port});
    Bytes token{'F', 'T', 'R', 'X', 16, 0, 0, 0};
    token.insert(token.end(), endpoint->token.begin(), endpoint->token.end());
    asio::write(socket, asio::buffer(token));
    if (!waitUntil([&] { return !host.live->server().connectedFileTransferPeers().empty(); })) {
        state.SkipWithError("the file channel was not admitted");
        return;
    }
    const auto session = host.live->server().connectedFileTransferPeers().front().first;
    for (auto _ : state) {
        const auto before = residentBytes();
        RSSSampler sampler;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        SlowFrameReader reader{socket};
        std::thread reading([&] { reader.run(); });
        host.files->sendURLs({source.path}, FileTransferIntent::copy, std::nullopt, {}, session.uuidString(),
                             std::nullopt);
        reading.join();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpuSeconds() - cpuStart;
        const auto most = sampler.finish();
        state.SetIterationTime(wall);
        report(state, wall, cpu, most > before ? most - before : 0,
               reader.bytes == fileSize && reader.hash == source.hash);
    }
}
BENCHMARK(BM_HostSendToSlowReader)->UseManualTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(false)
    ->Unit(benchmark::kSecond);

// The bare baseline: the same bytes framed the same way, written by a plain blocking loop to a
// socket that the same slow reader drains. Blocking writes need no pacing of their own.
void BM_BareSocketToSlowReader(benchmark::State& state) {
    auto& source = Source::shared();
    for (auto _ : state) {
        asio::io_context context;
        asio::ip::tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), 0});
        asio::ip::tcp::socket writer(context), readerSocket(context);
        readerSocket.connect(acceptor.local_endpoint());
        acceptor.accept(writer);
        const auto before = residentBytes();
        RSSSampler sampler;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        SlowFrameReader reader{readerSocket};
        std::thread reading([&] { reader.run(); });
        std::ifstream in(source.path, std::ios::binary);
        const UUID id = UUID::random();
        std::vector<char> block(static_cast<std::size_t>(WiredHost::chunk));
        for (std::uint64_t offset = 0; offset < fileSize;) {
            in.read(block.data(), static_cast<std::streamsize>(block.size()));
            const auto n = static_cast<std::size_t>(in.gcount());
            if (n == 0) break;
            FileTransferPacket packet{FileTransferOp::fileChunk, id, offset, 0, "big.bin", Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n))};
            auto framed = packet.encode(8);
            const auto length = static_cast<std::uint32_t>(framed.size() - 8);
            std::copy_n("FTRX", 4, framed.begin());
            for (int i = 0; i < 4; ++i) framed[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
            asio::write(writer, asio::buffer(framed));
            offset += n;
        }
        FileTransferPacket end{FileTransferOp::batchEnd, id, 0, 0, {}, {}};
        auto framed = end.encode(8);
        const auto length = static_cast<std::uint32_t>(framed.size() - 8);
        std::copy_n("FTRX", 4, framed.begin());
        for (int i = 0; i < 4; ++i) framed[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
        asio::write(writer, asio::buffer(framed));
        reading.join();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpuSeconds() - cpuStart;
        const auto most = sampler.finish();
        state.SetIterationTime(wall);
        report(state, wall, cpu, most > before ? most - before : 0,
               reader.bytes == fileSize && reader.hash == source.hash);
    }
}
BENCHMARK(BM_BareSocketToSlowReader)->UseManualTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(false)
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
