// The built `QuillmereHost`'s memory while a Viewer keeps changing its bit rate. The Host runs as
// a throwaway account on a 1920x1080 Xvfb and in a network namespace of its own (tests/support's
// BuiltHost); a client window redraws the synthetic desktop 60 times a second with a moving block
// on that display (none with QM_SOAK_STILL=1: the empty display); a Viewer signs in, asks for Easy HEVC 4:2:0, decodes and acknowledges every
// frame, and after a quiet first stretch asks for a new bit rate every half second (8 and
// 9 Mbit/s in turn), as a Viewer adapting its rate does. Each such request also forces keyframes
// (at once and 0.5 s later), and the Host reopens libx265 for the new rate at most every 10 s.
//
// Every sample (10 s) prints the Host's resident memory (VmRSS, all its threads; read at every
// request, the median and the highest reading of the sample), the frames the Viewer got in it and
// the longest gap between two of them, the keyframes, and the reopens so far (the Host's "encoder
// reopened (rate change)" lines). At the end: the resident memory when the changes began, once
// settled (QM_SOAK_SETTLE_MINUTES, 3, after that) and at the end, and the slope of a least-squares
// line through the samples' medians from the settled point on, per hour.
//
// Needs root (the account, the namespace) and Xvfb; the Host is the one built next to this
// benchmark unless QM_HOST_EXECUTABLE names another (so a build of other code can be soaked
// alike). QM_HOST_CPUS (e.g. "4,5") pins the Host's threads; run the benchmark itself elsewhere
// (`taskset -c 0-3 ...`).
//
//   built_host_rate_soak_bench    QM_SOAK_MINUTES (15), QM_SOAK_SETTLE_MINUTES (3), QM_SOAK_STILL,
//                                 QM_HOST_CPUS,
//                                 QM_SOAK_LOG (a file to keep the Host's log in),
//                                 QM_SOAK_READINGS (a file for every reading: seconds, MB)

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HostApp/Server/ServerConstants.h"
#include "support/BuiltHost.h"
#include "support/StreamingViewer.h"

// Last: it brings Xlib, whose macros clash with other headers.
#include "bench/RedrawingWindow.h"

namespace {

using namespace qm;
using Steady = std::chrono::steady_clock;

double fromEnvironment(const char* name, double fallback) {
    const char* text = std::getenv(name);
    const double value = text ? std::atof(text) : 0;
    return value > 0 ? value : fallback;
}

std::filesystem::path hostExecutable() {
    if (const char* named = std::getenv("QM_HOST_EXECUTABLE"); named && *named) return named;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path{} : self.parent_path().parent_path() / "QuillmereHost";
}

// The Host: this process's child running QuillmereHost.
pid_t findHost() {
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    pid_t found = -1;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == getpid() && stat.substr(open + 1, close - open - 1) == "QuillmereHost") found = pid;
    }
    closedir(proc);
    return found;
}

// Pins every thread the process has now (the ones it makes later inherit it from their makers).
bool pinThreads(pid_t pid, const std::string& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::stringstream list(cpus);
    for (std::string item; std::getline(list, item, ',');) {
        int first = 0, last = 0;
        if (std::sscanf(item.c_str(), "%d-%d", &first, &last) != 2) last = first = std::atoi(item.c_str());
        for (int cpu = first; cpu <= last && cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
    }
    if (CPU_COUNT(&set) == 0) return false;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return false;
    bool pinned = true;
    while (const dirent* entry = readdir(dir)) {
        const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (tid > 0) pinned = sched_setaffinity(tid, sizeof set, &set) == 0 && pinned;
    }
    closedir(dir);
    return pinned;
}

double residentMB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

int countOccurrences(const std::string& text, const std::string& needle) {
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

// What the Viewer saw since the last take.
struct Seen {
    std::int64_t frames = 0;
    std::int64_t keyframes = 0;
    std::uint64_t longestGapNs = 0;
};

// The Host's resident memory over one sample, read at every request: the median reading (what it
// holds with one encoder: a replaced encoder and its successor are alive together only for a
// moment, and a new one's pages come in as it codes) and the highest.
struct Sample {
    double minutes = 0;  // since the rate changes began
    double residentMB = 0;
    double peakMB = 0;
};

double medianOf(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The least-squares slope of resident memory over time, in MB per hour.
double slopePerHour(const std::vector<Sample>& samples) {
    if (samples.size() < 2) return 0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& s : samples) {
        sx += s.minutes;
        sy += s.residentMB;
        sxx += s.minutes * s.minutes;
        sxy += s.minutes * s.residentMB;
    }
    const double n = static_cast<double>(samples.size());
    const double denominator = n * sxx - sx * sx;
    return denominator > 0 ? (n * sxy - sx * sy) / denominator * 60 : 0;
}

void BM_BuiltHostRateChangeSoak(benchmark::State& state) {
    const double minutes = fromEnvironment("QM_SOAK_MINUTES", 15);
    const double settleMinutes = fromEnvironment("QM_SOAK_SETTLE_MINUTES", 3);
    const bool still = fromEnvironment("QM_SOAK_STILL", 0) > 0;
    constexpr double sampleSeconds = 10;
    constexpr double quietSeconds = 20;
    constexpr auto changeEvery = std::chrono::milliseconds(500);

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
        const pid_t hostPid = findHost();
        if (hostPid <= 0) {
            state.SkipWithError("the Host's process was not found");
            return;
        }
        if (const char* cpus = std::getenv("QM_HOST_CPUS"); cpus && *cpus && !pinThreads(hostPid, cpus)) {
            state.SkipWithError("could not pin the Host to QM_HOST_CPUS");
            return;
        }
        // Xvfb blanks its screen after 10 minutes without input, and the Host moves its capture
        // when the screens sleep: the soak resets the screen saver as a user's input would.
        std::unique_ptr<Display, int (*)(Display*)> input(XOpenDisplay(host->displayName().c_str()), XCloseDisplay);
        if (!input) {
            state.SkipWithError("could not open the Host's display");
            return;
        }
        bench::RedrawingWindow window(host->displayName(), "rate soak");
        if (!still && !window.start()) {
            state.SkipWithError("the drawing client could not show its window");
            return;
        }

        std::mutex lock;
        Seen seen;
        std::uint64_t lastArrivalNs = 0;
        test::StreamingViewer viewer(ServerConstants::controlPort, ServerConstants::videoPort, 2);
        viewer.useAccount(host->user().name(), host->user().password());
        // Easy on a physical display picks its rate from the display, whatever the Viewer asks;
        // the 1080p physical mode streams the display at its size and at the rate asked for.
        viewer.request = CaptureModeControlPayload::preset(VideoCaptureMode::physical1080, VideoChromaMode::yuv420,
                                                           VideoCaptureBackend::physical);
        viewer.request.codec = VideoStreamCodec::hevc;
        viewer.request.bitrate = 9'000'000;
        viewer.onFrame = [&](const test::StreamingViewer::Frame& frame, const test::StreamDecoder*) {
            std::lock_guard guard(lock);
            ++seen.frames;
            seen.keyframes += frame.keyframe ? 1 : 0;
            if (lastArrivalNs) seen.longestGapNs = std::max(seen.longestGapNs, frame.arrivedNs - lastArrivalNs);
            lastArrivalNs = frame.arrivedNs;
        };
        auto take = [&] {
            std::lock_guard guard(lock);
            return std::exchange(seen, Seen{});
        };
        if (auto failure = viewer.start()) {
            state.SkipWithError(failure->c_str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(quietSeconds));
        const Seen quiet = take();
        std::printf("quiet %.0f s: %.1f fps, longest gap %.0f ms, %lld keyframes, resident %.1f MB\n", quietSeconds,
                    static_cast<double>(quiet.frames) / quietSeconds, static_cast<double>(quiet.longestGapNs) / 1e6,
                    static_cast<long long>(quiet.keyframes), residentMB(hostPid));
        if (quiet.frames == 0) {
            state.SkipWithError("no frame in the quiet stretch");
            return;
        }

        const double startMB = residentMB(hostPid);
        std::vector<Sample> samples{{0, startMB, startMB}};
        std::vector<double> readings;
        std::ofstream readingsFile;
        if (const char* path = std::getenv("QM_SOAK_READINGS"); path && *path) readingsFile.open(path);
        double framesTotal = 0, longestGapMs = 0;
        std::int64_t requests = 0;
        const auto began = Steady::now();
        auto nextChange = began;
        auto nextSample = began + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(sampleSeconds));
        const auto end = began + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(minutes * 60));
        while (Steady::now() < end) {
            const auto now = Steady::now();
            if (now >= nextChange) {
                auto next = viewer.request;
                next.bitrate = requests % 2 ? 9'000'000 : 8'000'000;
                viewer.ask(next);
                ++requests;
                readings.push_back(residentMB(hostPid));
                if (readingsFile) {
                    readingsFile << std::chrono::duration<double>(now - began).count() << ' ' << readings.back() << '\n';
                }
                nextChange += changeEvery;
            }
            if (now >= nextSample) {
                XResetScreenSaver(input.get());
                XFlush(input.get());
                const Seen stretch = take();
                const double at = std::chrono::duration<double>(now - began).count() / 60;
                samples.push_back({at, medianOf(readings), *std::max_element(readings.begin(), readings.end())});
                readings.clear();
                const int reopens = countOccurrences(host->log(), "encoder reopened (rate change)");
                framesTotal += static_cast<double>(stretch.frames);
                longestGapMs = std::max(longestGapMs, static_cast<double>(stretch.longestGapNs) / 1e6);
                std::printf("%6.2f min  resident %7.1f MB (up to %6.1f)  %5.1f fps  longest gap %5.0f ms  %3lld keyframes  %4d reopens  %d decode errors\n",
                            at, samples.back().residentMB, samples.back().peakMB, static_cast<double>(stretch.frames) / sampleSeconds,
                            static_cast<double>(stretch.longestGapNs) / 1e6, static_cast<long long>(stretch.keyframes),
                            reopens, viewer.decodeErrors());
                std::fflush(stdout);
                nextSample += std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(sampleSeconds));
            }
            std::this_thread::sleep_until(std::min(nextChange, nextSample));
        }
        viewer.stop();
        const std::string log = host->log();
        const int reopens = countOccurrences(log, "encoder reopened (rate change)");
        if (const char* keep = std::getenv("QM_SOAK_LOG"); keep && *keep) std::ofstream(keep) << log;

        std::vector<Sample> settled;
        for (const auto& s : samples) {
            if (s.minutes >= settleMinutes) settled.push_back(s);
        }
        const double settledMB = settled.empty() ? 0 : settled.front().residentMB;
        const double slope = slopePerHour(settled);
        const double elapsed = samples.back().minutes;
        std::printf("\n%lld rate requests, %d reopens (%.1f a minute), %.1f fps, longest gap %.0f ms, %d decode errors\n",
                    static_cast<long long>(requests), reopens, reopens / std::max(elapsed, 1e-9),
                    framesTotal / (elapsed * 60), longestGapMs, viewer.decodeErrors());
        std::printf("resident: %.1f MB when the changes began, %.1f MB at %.0f min, %.1f MB at %.1f min; "
                    "slope from %.0f min on: %+.2f MB/hour (%+.1f kB per reopen)\n",
                    samples.front().residentMB, settledMB, settleMinutes, samples.back().residentMB, elapsed,
                    settleMinutes, slope, reopens > 0 ? slope / (reopens / elapsed * 60) * 1024 : 0.0);
        state.counters["reopens"] = reopens;
        state.counters["resident_start_MB"] = samples.front().residentMB;
        state.counters["resident_settled_MB"] = settledMB;
        state.counters["resident_end_MB"] = samples.back().residentMB;
        state.counters["slope_MB_per_hour"] = slope;
        state.counters["fps"] = framesTotal / (elapsed * 60);
        state.counters["longest_gap_ms"] = longestGapMs;
        state.counters["decode_errors"] = viewer.decodeErrors();
    }
}

}  // namespace

BENCHMARK(BM_BuiltHostRateChangeSoak)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
