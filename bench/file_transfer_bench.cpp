// The file road's receiving side against plain copies of the same bytes into the same folder.
//
// Sides, each receiving one file of QM_BENCH_FILE_MIB MiB (default 1024) over loopback TCP into
// a file on the same filesystem (a folder under the system's temporary folder):
//   host   the Host's server and file service (real sockets, threaded queues, the allocator
//          settings the Host's main sets) staging the file that arrives over the file channel as
//          the Viewer's file service frames it: batchStart, fileStart, 256 KiB fileChunk packets,
//          fileEnd, batchEnd;
//   plain  a bare read() -> write() loop with a 256 KiB buffer;
//   socat  `socat -u TCP-LISTEN:... OPEN:...` with its defaults, when socat is installed.
// Every receiver is a fresh process, so every transfer is the first its process makes: nothing
// warmed by an earlier transfer (buffers, pools, heap) helps it. The sender is this process, the
// same loop for every side (read the source file, write the socket; for host with the frame and
// packet headers in front of each chunk). It moves to the CPUs outside the affinity this program
// was started with (`taskset -c 0,1`: the receiver has CPUs 0-1, the sender the others); with
// every CPU allowed the two share them. QM_BENCH_SENDER_CPUS (e.g. "4-7") names the sender's CPUs
// instead, so CPUs that are not this run's stay untouched.
//
// Memory state: once the receiver is ready, right before the first byte is sent, the previous
// output is deleted, `sync` runs and a file as large as the transfer is written into the
// destination folder and deleted, so every receiver starts from the same page-cache state, the
// same moment after it (this VM returns free pages to its host, which makes the
// first touch of a page costly; the spread that shows comes from that, a plain loop sees it too).
// Nobody syncs the received file. The timed region runs from the sender's first byte until the
// receiver closed the file (host: until the batch completed). Each received file is compared byte
// for byte with the source afterwards; a transfer that differs fails the run.
//
// Measured per transfer, in the receiving process only (getrusage over the timed region; socat:
// over its whole life, start-up included): wall MiB/s, CPU seconds per GiB, CPU % of wall and
// minor page faults. QM_BENCH_ROUNDS rounds (default 5); each round runs every side once, the
// order rotating from round to round. The summary at the end gives per side the median and the
// spread, and host against plain (and socat): the ratio of the medians and the spread of the ratio
// within each round.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "HostApp/App/HostServiceWiring.h"
#include "Platform/Core/ProcessMemory.h"
#include "Platform/Pasteboard.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/ConfinedFiles.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "support/LiveServer.h"
#include "support/TestViewer.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunkSize = 256 * 1024;

std::uint64_t transferBytes() {
    const char* text = std::getenv("QM_BENCH_FILE_MIB");
    const long mib = text ? std::strtol(text, nullptr, 10) : 1024;
    return static_cast<std::uint64_t>(mib > 0 ? mib : 1024) << 20;
}

std::int64_t monotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

double seconds(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) * 1e-6;
}

// CPU seconds and minor faults of this process so far.
struct Usage {
    double cpu = 0;
    long minorFaults = 0;
    static Usage of(const rusage& usage) {
        return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_minflt};
    }
    static Usage now() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return of(usage);
    }
};

bool writeFully(int fd, const void* data, std::size_t size) {
    return writeAll(fd, {static_cast<const std::uint8_t*>(data), size});
}

// Reads exactly `size` bytes, waiting at most five minutes in all.
bool readFully(int fd, void* data, std::size_t size) {
    auto* p = static_cast<std::uint8_t*>(data);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

template <typename T>
bool sendValue(int fd, const T& value) {
    return writeFully(fd, &value, sizeof value);
}
template <typename T>
bool receiveValue(int fd, T& value) {
    return readFully(fd, &value, sizeof value);
}

// The file every side receives, written once, before any receiver exists.
struct SourceFile {
    fs::path folder = [] {
        const char* base = std::getenv("TMPDIR");
        fs::path made = fs::path(base && *base ? base : "/tmp") / ("qm-file-bench-" + std::to_string(::getpid()));
        fs::create_directories(made / "source");
        fs::create_directories(made / "out");
        return made;
    }();
    fs::path path = folder / "source" / "payload.bin";
    fs::path out = folder / "out";
    std::uint64_t size = transferBytes();

    SourceFile() {
        FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        std::mt19937_64 gen(7);
        std::vector<std::uint64_t> block(chunkSize / sizeof(std::uint64_t));
        for (std::uint64_t written = 0; written < size; written += chunkSize) {
            for (auto& word : block) word = gen();
            writeFully(file.get(), block.data(), static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, size - written)));
        }
    }
    ~SourceFile() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    static SourceFile& shared() {
        static SourceFile file;
        return file;
    }
};

// Syncs, then writes and deletes a file of the transfer's size in the destination folder: every
// receiver meets the same page-cache state (what the last transfer left is deleted before).
void equaliseMemory(const SourceFile& source) {
    std::error_code ignored;
    ::sync();
    const auto ballast = source.out / "ballast.bin";
    {
        FileDescriptor file(::open(ballast.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        std::vector<std::uint8_t> block(1 << 20, 0x5a);
        for (std::uint64_t written = 0; written < source.size; written += block.size()) {
            writeFully(file.get(), block.data(), static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), source.size - written)));
        }
    }
    fs::remove(ballast, ignored);
}

bool sameContents(const fs::path& a, const fs::path& b) {
    FileDescriptor left(::open(a.c_str(), O_RDONLY));
    FileDescriptor right(::open(b.c_str(), O_RDONLY));
    if (!left.valid() || !right.valid()) return false;
    std::vector<std::uint8_t> x(1 << 20), y(1 << 20);
    for (;;) {
        const ssize_t n = ::read(left.get(), x.data(), x.size());
        if (n < 0) return false;
        if (!readFully(right.get(), y.data(), static_cast<std::size_t>(n))) return n == 0 && ::read(right.get(), y.data(), 1) == 0;
        if (n == 0) return ::read(right.get(), y.data(), 1) == 0;
        if (std::memcmp(x.data(), y.data(), static_cast<std::size_t>(n)) != 0) return false;
    }
}

// ---- receivers (each in a fresh child process) --------------------------------------------

// What a receiver reports once the file is closed.
struct Outcome {
    std::int64_t endedAt = 0;  // CLOCK_MONOTONIC, ns
    double cpu = 0;
    long minorFaults = 0;
    double idleCPUPerSecond = 0;  // host: CPU the idle, signed-in Host spends per second
    char file[512] = {};          // the received file
};

// The bare side: accept one connection, read() into one buffer, write() it to the file.
[[noreturn]] void runPlainReceiver(int toParent, int fromParent, const fs::path& out) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::_exit(2);
    }
    const std::uint16_t port = ntohs(address.sin_port);
    sendValue(toParent, port);
    const int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const auto path = out / "plain.bin";
    std::vector<std::uint8_t> buffer(chunkSize);
    const Usage began = Usage::now();
    sendValue(toParent, began.cpu);
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    for (;;) {
        const ssize_t n = ::read(socket, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!writeFully(file, buffer.data(), static_cast<std::size_t>(n))) ::_exit(3);
    }
    ::close(file);
    Outcome outcome;
    outcome.endedAt = monotonicNanoseconds();
    const Usage ended = Usage::now();
    outcome.cpu = ended.cpu - began.cpu;
    outcome.minorFaults = ended.minorFaults - began.minorFaults;
    std::snprintf(outcome.file, sizeof outcome.file, "%s", path.c_str());
    sendValue(toParent, outcome);
    char done = 0;
    receiveValue(fromParent, done);
    ::_exit(0);
}

// The Host: its server and file service, as the Host's main sets them up, staging what arrives
// over the file channel.
[[noreturn]] void runHostReceiver(int toParent, int fromParent, const fs::path& out) {
    configureAllocatorForLongRuns();
    int status = 0;
    {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<fs::path> items;
        bool completed = false;
        double idleCPUPerSecond = 0;
        std::int64_t completedAt = 0;
        Usage completedUsage;
        std::shared_ptr<ClipboardSyncBridge> clipboard;
        std::shared_ptr<FileTransferService> files;
        LiveServer::Setup setup;
        setup.beforeStart = [&](const std::shared_ptr<V230HostAudioAuxServer>& server, const HostPlatform& platform) {
            clipboard = std::make_shared<ClipboardSyncBridge>(platform, "Viewer", std::make_shared<InMemoryPasteboard>(),
                                                              32 << 20, 48 << 20, out / "caches");
            files = std::make_shared<FileTransferService>(platform, "Viewer", chunkSize,
                                                          FileTransferService::Folders{out / "caches", out});
            connectHostServices(server, clipboard, files, platform.mainQueue);
            files->onBatchCompleted = [&](const UUID&, const std::vector<fs::path>& batchItems, FileTransferIntent) {
                const auto at = monotonicNanoseconds();
                const auto usage = Usage::now();
                std::lock_guard lock(mutex);
                completedAt = at;
                completedUsage = usage;
                items = batchItems;
                completed = true;
                changed.notify_all();
            };
        };
        LiveServer live(setup);
        TestViewer viewer(live.ports().control);
        auto signedIn = viewer.signIn(LiveServer::user, LiveServer::password);
        auto endpointFrame = viewer.waitFor(AuxPacketType::fileTransferEndpoint);
        auto endpoint = endpointFrame ? FileTransferEndpointPayload::decode(endpointFrame->payload) : std::nullopt;
        if (!signedIn || !signedIn->accepted || !endpoint) ::_exit(2);
        // The stream paused, as a Viewer that only moves files: the simulated audio (and this
        // process's test Viewer decoding it) would otherwise run beside the transfer.
        viewer.send(AuxPacketType::hostShortcut, HostShortcutControlPayload{HostShortcutKind::pauseStream}.encode());
        for (int settle = 0; settle < 15; ++settle) {
            const auto heard = viewer.audioPacketCount();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // setup, never timed
            if (viewer.audioPacketCount() == heard) break;
        }
        // What the idle Host spends meanwhile, to read the transfer's CPU against.
        const Usage idleFrom = Usage::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        idleCPUPerSecond = (Usage::now().cpu - idleFrom.cpu) / 0.5;
        sendValue(toParent, endpoint->port);
        sendValue(toParent, endpoint->token);
        if (!waitUntil([&] { return !live.server().connectedFileTransferPeers().empty(); }, std::chrono::seconds(30)))
            ::_exit(4);
        const Usage began = Usage::now();
        sendValue(toParent, began.cpu);
        Outcome outcome;
        {
            std::unique_lock lock(mutex);
            if (!changed.wait_for(lock, std::chrono::minutes(5), [&] { return completed; })) ::_exit(5);
            outcome.endedAt = completedAt;
            outcome.cpu = completedUsage.cpu - began.cpu;
            outcome.minorFaults = completedUsage.minorFaults - began.minorFaults;
            if (items.size() == 1) std::snprintf(outcome.file, sizeof outcome.file, "%s", items.front().c_str());
            outcome.idleCPUPerSecond = idleCPUPerSecond;
        }
        sendValue(toParent, outcome);
        char done = 0;
        receiveValue(fromParent, done);  // the sender keeps the channel open until here
        files->stop();
    }
    ::_exit(status);
}

// ---- the sender (this process) -------------------------------------------------------------

int connectTo(std::uint16_t port) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        ::close(fd);
        ::usleep(10'000);  // a listener (socat) still starting; setup, never timed
    }
    return -1;
}

// CPUs named as "2-3,6" (QM_BENCH_SENDER_CPUS); false when the text names none.
bool parseCPUList(const char* text, cpu_set_t& into) {
    CPU_ZERO(&into);
    for (const char* p = text; *p;) {
        char* end = nullptr;
        const long first = std::strtol(p, &end, 10);
        if (end == p || first < 0) return false;
        long last = first;
        p = end;
        if (*p == '-') {
            last = std::strtol(p + 1, &end, 10);
            if (end == p + 1 || last < first) return false;
            p = end;
        }
        for (long cpu = first; cpu <= last && cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &into);
        if (*p == ',') ++p;
        else if (*p) return false;
    }
    return CPU_COUNT(&into) > 0;
}

// Moves the sender off the receiver's CPUs while it sends (or onto QM_BENCH_SENDER_CPUS, when
// CPUs outside this program's affinity are not to be used); restores the mask afterwards.
class SenderCPUs {
public:
    SenderCPUs() {
        CPU_ZERO(&original_);
        if (::sched_getaffinity(0, sizeof original_, &original_) != 0) return;
        cpu_set_t others;
        CPU_ZERO(&others);
        if (const char* named = std::getenv("QM_BENCH_SENDER_CPUS"); named && *named) {
            if (!parseCPUList(named, others)) CPU_ZERO(&others);
        } else {
            const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
            for (long cpu = 0; cpu < online && cpu < CPU_SETSIZE; ++cpu)
                if (!CPU_ISSET(cpu, &original_)) CPU_SET(cpu, &others);
        }
        if (CPU_COUNT(&others) > 0 && ::sched_setaffinity(0, sizeof others, &others) == 0) moved_ = true;
    }
    ~SenderCPUs() {
        if (moved_) ::sched_setaffinity(0, sizeof original_, &original_);
    }
    static int receiverCPUs() {
        cpu_set_t mask;
        CPU_ZERO(&mask);
        ::sched_getaffinity(0, sizeof mask, &mask);
        return CPU_COUNT(&mask);
    }

private:
    cpu_set_t original_;
    bool moved_ = false;
};

bool sendPlain(int socket, const SourceFile& source) {
    FileDescriptor in(::open(source.path.c_str(), O_RDONLY));
    std::vector<std::uint8_t> buffer(chunkSize);
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) return true;
        if (!writeFully(socket, buffer.data(), static_cast<std::size_t>(n))) return false;
    }
}

bool sendFrame(int socket, const Bytes& payload) {
    std::uint8_t header[FileTransferChannelConstants::headerSize];
    std::copy(FileTransferChannelConstants::magic.begin(), FileTransferChannelConstants::magic.end(), header);
    const auto length = static_cast<std::uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    return writeFully(socket, header, sizeof header) && writeFully(socket, payload.data(), payload.size());
}

// What the Viewer's file service sends for one file, each chunk read from the file and written
// behind its headers in one gathered write.
bool sendBatch(int socket, const SourceFile& source) {
    const UUID batch = UUID::random();
    auto control = [&](FileTransferOp op, std::uint64_t value1, std::uint64_t value2, std::string path, Bytes data) {
        FileTransferPacket packet{op, batch, value1, value2, std::move(path), std::move(data)};
        return sendFrame(socket, packet.encode());
    };
    const std::string name = source.path.filename().string();
    if (!control(FileTransferOp::batchStart, source.size, FileTransferPacket::batchStartValue2(FileTransferIntent::copy, 1),
                 "", FileTransferDocuments::encodeItemNames({name})) ||
        !control(FileTransferOp::fileStart, source.size, 0, name, {})) {
        return false;
    }
    FileDescriptor in(::open(source.path.c_str(), O_RDONLY));
    std::vector<std::uint8_t> buffer(chunkSize);
    // The chunk's headers: the frame's, then the packet's up to its data length; data follows.
    // Like the Viewer's service, each chunk names its file.
    FileTransferPacket chunk{FileTransferOp::fileChunk, batch, 0, 0, name, {}};
    for (std::uint64_t offset = 0;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) break;
        chunk.value1 = offset;
        Bytes header = chunk.encode(FileTransferChannelConstants::headerSize);
        const auto dataLength = static_cast<std::uint32_t>(n);
        for (int i = 0; i < 4; ++i) header[header.size() - 4 + i] = static_cast<std::uint8_t>(dataLength >> (8 * i));
        const auto frameLength = static_cast<std::uint32_t>(header.size() - FileTransferChannelConstants::headerSize + dataLength);
        std::copy(FileTransferChannelConstants::magic.begin(), FileTransferChannelConstants::magic.end(), header.begin());
        for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<std::uint8_t>(frameLength >> (8 * i));
        iovec parts[2] = {{header.data(), header.size()}, {buffer.data(), static_cast<std::size_t>(n)}};
        std::size_t left = header.size() + static_cast<std::size_t>(n);
        int first = 0;
        while (left > 0) {
            const ssize_t sent = ::writev(socket, parts + first, 2 - first);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            left -= static_cast<std::size_t>(sent);
            auto done = static_cast<std::size_t>(sent);
            while (first < 2 && done >= parts[first].iov_len) done -= parts[first++].iov_len;
            if (first < 2) {
                parts[first].iov_base = static_cast<std::uint8_t*>(parts[first].iov_base) + done;
                parts[first].iov_len -= done;
            }
        }
        offset += static_cast<std::uint64_t>(n);
    }
    return control(FileTransferOp::fileEnd, source.size, 0, name, {}) && control(FileTransferOp::batchEnd, 0, 0, "", {});
}

// ---- one transfer --------------------------------------------------------------------------

enum class Side { host, plain, socat };

const char* sideName(Side side) {
    switch (side) {
        case Side::host: return "host";
        case Side::plain: return "plain";
        case Side::socat: return "socat";
    }
    return "";
}

struct Measured {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds, receiving process
    long minorFaults = 0;
    double idleCPUPerSecond = 0;
};

std::map<Side, std::vector<Measured>> results;
// Per round, the measurements of every side, for the ratios within a round.
std::map<long, std::map<Side, Measured>> byRound;

bool haveSocat() {
    return ::access("/usr/bin/socat", X_OK) == 0;
}

std::optional<Measured> transferOnce(Side side, std::string& error) {
    auto& source = SourceFile::shared();
    // What the last transfer left goes now; the page cache is set up once the receiver is ready.
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(source.out, ignored)) fs::remove_all(entry.path(), ignored);
    int up[2], down[2];  // child -> parent, parent -> child
    if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(down, O_CLOEXEC) != 0) {
        error = "no pipe";
        return std::nullopt;
    }
    std::fflush(nullptr);

    std::uint16_t port = 0;
    std::optional<FileTransferChannelToken::Bytes> token;
    pid_t child = -1;
    const auto socatOut = source.out / "socat.bin";
    if (side == Side::socat) {
        // A port that was free a moment ago; socat listens on it.
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        ::close(probe);
        const std::string listen = "TCP4-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr";
        const std::string open = "OPEN:" + socatOut.string() + ",creat,trunc,wronly";
        child = ::fork();
        if (child == 0) {
            ::execl("/usr/bin/socat", "socat", "-u", listen.c_str(), open.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    } else {
        child = ::fork();
        if (child == 0) {
            ::close(up[0]);
            ::close(down[1]);
            if (side == Side::plain) runPlainReceiver(up[1], down[0], source.out);
            runHostReceiver(up[1], down[0], source.out);
        }
    }
    ::close(up[1]);
    ::close(down[0]);
    FileDescriptor fromChild(up[0]);
    FileDescriptor toChild(down[1]);
    if (child < 0) {
        error = "fork failed";
        return std::nullopt;
    }
    auto fail = [&](const std::string& why) -> std::optional<Measured> {
        error = why;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return std::nullopt;
    };

    double readyCPU = 0;
    if (side != Side::socat) {
        if (!receiveValue(fromChild.get(), port)) return fail("the receiver did not start");
        if (side == Side::host) {
            FileTransferChannelToken::Bytes bytes{};
            if (!receiveValue(fromChild.get(), bytes)) return fail("the Host gave no file channel");
            token = bytes;
        }
    }
    FileDescriptor socket(connectTo(port));
    if (!socket.valid()) return fail("could not connect");
    if (token && !sendFrame(socket.get(), Bytes(token->begin(), token->end()))) return fail("token not sent");
    if (side != Side::socat && !receiveValue(fromChild.get(), readyCPU)) return fail("the receiver is not ready");
    // Right before the first byte, whatever the side: a receiver that takes longer to start (the
    // Host signs a Viewer in) gives the machine no more time to settle its memory than a plain one.
    equaliseMemory(source);

    std::int64_t began = 0;
    bool sent = false;
    {
        SenderCPUs elsewhere;
        began = monotonicNanoseconds();
        sent = side == Side::host ? sendBatch(socket.get(), source) : sendPlain(socket.get(), source);
    }
    if (!sent) return fail("the send failed");
    Measured measured;
    std::string received;
    if (side == Side::socat) {
        ::shutdown(socket.get(), SHUT_WR);
        int status = 0;
        rusage usage{};
        if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return fail("socat failed");
        measured.wall = static_cast<double>(monotonicNanoseconds() - began) * 1e-9;
        const Usage used = Usage::of(usage);
        measured.cpu = used.cpu;
        measured.minorFaults = used.minorFaults;
        received = socatOut.string();
    } else {
        if (side == Side::plain) ::shutdown(socket.get(), SHUT_WR);
        Outcome outcome;
        if (!receiveValue(fromChild.get(), outcome)) return fail("the receiver did not finish");
        measured.wall = static_cast<double>(outcome.endedAt - began) * 1e-9;
        measured.cpu = outcome.cpu;
        measured.minorFaults = outcome.minorFaults;
        measured.idleCPUPerSecond = outcome.idleCPUPerSecond;
        received = outcome.file;
        const char done = 1;
        sendValue(toChild.get(), done);
        int status = 0;
        if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return fail("the receiver did not end cleanly");
    }
    if (received.empty() || !sameContents(source.path, received)) {
        error = "the received file differs from the source";
        return std::nullopt;
    }
    return measured;
}

void BM_Receive(benchmark::State& state, Side side, long round) {
    for (auto _ : state) {
        std::string error;
        auto measured = transferOnce(side, error);
        if (!measured) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(measured->wall);
        const double gib = static_cast<double>(SourceFile::shared().size) / (1 << 30);
        state.SetBytesProcessed(static_cast<std::int64_t>(SourceFile::shared().size));
        state.counters["MiB/s"] = gib * 1024 / measured->wall;
        state.counters["cpuSecPerGiB"] = measured->cpu / gib;
        state.counters["cpu%"] = 100 * measured->cpu / measured->wall;
        state.counters["minorFaults"] = static_cast<double>(measured->minorFaults);
        results[side].push_back(*measured);
        byRound[round][side] = *measured;
    }
}

struct Spread {
    double median = 0, low = 0, high = 0;
};

Spread spreadOf(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    const auto mid = values.size() / 2;
    const double median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
    return {median, values.front(), values.back()};
}

void printSummary() {
    const double gib = static_cast<double>(SourceFile::shared().size) / (1 << 30);
    double load[3] = {};
    ::getloadavg(load, 3);
    std::printf("\nSummary: %.0f MiB per transfer, receiver on %d CPU(s), load average %.2f %.2f %.2f at the end\n",
                gib * 1024, SenderCPUs::receiverCPUs(), load[0], load[1], load[2]);
    std::printf("%-6s %3s  %-26s %-26s %-22s\n", "side", "n", "MiB/s median [min-max]", "CPU s/GiB median [min-max]",
                "minor faults median [min-max]");
    for (auto& [side, list] : results) {
        std::vector<double> rate, cpu, faults;
        for (const auto& m : list) {
            rate.push_back(gib * 1024 / m.wall);
            cpu.push_back(m.cpu / gib);
            faults.push_back(static_cast<double>(m.minorFaults));
        }
        const auto r = spreadOf(rate), c = spreadOf(cpu), f = spreadOf(faults);
        std::printf("%-6s %3zu  %7.0f [%5.0f-%5.0f]       %5.3f [%5.3f-%5.3f]        %7.0f [%.0f-%.0f]\n", sideName(side),
                    list.size(), r.median, r.low, r.high, c.median, c.low, c.high, f.median, f.low, f.high);
    }
    std::vector<double> idle;
    for (const auto& m : results[Side::host]) idle.push_back(100 * m.idleCPUPerSecond);
    if (!idle.empty()) {
        const auto i = spreadOf(idle);
        std::printf("host, idle and signed in before the transfer: %.1f %% of one CPU (median; %.1f-%.1f %%), "
                    "included in its figures\n", i.median, i.low, i.high);
    }
    for (Side anchor : {Side::plain, Side::socat}) {
        std::vector<double> rateRatio, cpuRatio;
        for (auto& [round, sides] : byRound) {
            if (!sides.contains(Side::host) || !sides.contains(anchor)) continue;
            const auto& h = sides[Side::host];
            const auto& a = sides[anchor];
            rateRatio.push_back(100 * a.wall / h.wall);
            cpuRatio.push_back(h.cpu / a.cpu);
        }
        if (rateRatio.empty()) continue;
        auto median = [&](Side side, bool wall) {
            std::vector<double> values;
            for (const auto& m : results[side]) values.push_back(wall ? gib * 1024 / m.wall : m.cpu / gib);
            return spreadOf(values).median;
        };
        const auto r = spreadOf(rateRatio), c = spreadOf(cpuRatio);
        std::printf("host against %-5s: throughput %.0f %% of it (ratio of medians; per round median %.0f %%, %.0f-%.0f %%), "
                    "CPU per GiB %.2fx (ratio of medians; per round median %.2fx, %.2f-%.2fx)\n",
                    sideName(anchor), 100 * median(Side::host, true) / median(anchor, true), r.median, r.low, r.high,
                    median(Side::host, false) / median(anchor, false), c.median, c.low, c.high);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* text = std::getenv("QM_BENCH_ROUNDS");
    const long rounds = text ? std::max(1L, std::strtol(text, nullptr, 10)) : 5;
    std::vector<Side> sides{Side::host, Side::plain};
    if (haveSocat()) sides.push_back(Side::socat);
    for (long round = 0; round < rounds; ++round) {
        // The order rotates, so no side always runs first (or right after another).
        for (std::size_t i = 0; i < sides.size(); ++i) {
            const Side side = sides[(i + static_cast<std::size_t>(round)) % sides.size()];
            benchmark::RegisterBenchmark((std::string("BM_Receive/") + sideName(side)).c_str(),
                                         [side, round](benchmark::State& state) { BM_Receive(state, side, round); })
                ->Unit(benchmark::kMillisecond)
                ->UseManualTime()
                ->Iterations(1);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    double load[3] = {};
    ::getloadavg(load, 3);
    SourceFile::shared();
    std::printf("load average %.2f %.2f %.2f at the start\n", load[0], load[1], load[2]);
    benchmark::RunSpecifiedBenchmarks();
    printSummary();
    benchmark::Shutdown();
    return 0;
}
