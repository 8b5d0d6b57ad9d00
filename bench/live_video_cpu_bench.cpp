// What the Host costs while it streams 1080p60 H.264 to a real Viewer, measured over wall-clock
// seconds rather than per frame: the Host (the real server on loopback sockets, with a simulated
// 1920x1080 60 Hz display) runs in a child process pinned to two CPUs (4 and 5 unless
// --host-cpus says otherwise); the Viewer (real TCP, signs in on control and video, decodes every
// frame as a Viewer does, with slice threads and without copying the pictures out, and
// acknowledges it once decoded) runs in this process on the CPUs this process may use apart from
// the Host's, so its decoding is neither counted as the Host's nor competes with it.
//
// For a still screen, a scrolling page and full motion it reports, over the measured stretch
// (which starts one second after the first frame): the frames the Viewer received per second,
// the Host's process CPU as a share of its two CPUs, the stream's bit rate, for the still screen
// the PSNR of every decoded picture against the screen it shows, and the frames the Host dropped.
// For the start it reports the time from the Viewer's connection to: both channels signed in, the
// Host starting its capture and encoding the first picture (from the Host's log lines, on the same
// monotonic clock), the first frame's arrival, and the first decoded picture (the Viewer's own
// decoding of that keyframe apart); and how many of the first second's frames (by capture time)
// reached the Viewer. The Host's CPU is also broken down per thread name.
//
//   live_video_cpu_bench [--seconds N] [--host-cpus A,B] [--timeline] [still|scrolling|moving ...]
//
// --timeline prints the Host's log lines up to its first picture, with their times.
// A plain program, not a Google Benchmark: each shape is one long wall-clock run.

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HostApp/Video/VideoFrameScaler.h"
#include "Platform/Core/LogSink.h"
#include "Platform/ScreenCapture.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "support/LiveServer.h"
#include "support/StreamingViewer.h"
#include "support/VideoDecoder.h"

extern char** environ;

using namespace qm;
using Motion = SimulatedScreenCapture::Motion;

namespace {

constexpr int kCommandFd = 3;  // in the Host child: requests from the Viewer process
constexpr int kAnswerFd = 4;   // in the Host child: answers to it
// The Host's two CPUs (--host-cpus).
std::vector<int> hostCPUs = {4, 5};
constexpr std::int64_t kWidth = 1920, kHeight = 1080;

const char* motionName(Motion motion) {
    return motion == Motion::still ? "still" : motion == Motion::scrolling ? "scrolling" : "moving";
}

std::optional<Motion> motionNamed(const std::string& name) {
    if (name == "still") return Motion::still;
    if (name == "scrolling") return Motion::scrolling;
    if (name == "moving") return Motion::moving;
    return std::nullopt;
}

std::uint64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(t.tv_nsec);
}

std::string cpuList(const std::vector<int>& cpus) {
    std::string out;
    for (int cpu : cpus) out += (out.empty() ? "" : ",") + std::to_string(cpu);
    return out;
}

double processCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const auto n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// One line from a pipe, without the newline; nothing at end of file.
std::optional<std::string> readLine(int fd) {
    std::string line;
    char c = 0;
    for (;;) {
        const auto n = ::read(fd, &c, 1);
        if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
        if (c == '\n') return line;
        line.push_back(c);
    }
}

// ---- The Host child ----

// CPU seconds of every thread of this process now, by thread id, with the thread's name.
std::map<int, std::pair<std::string, double>> threadCPU() {
    std::map<int, std::pair<std::string, double>> threads;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return threads;
    while (auto* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream file(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        std::istringstream rest(stat.substr(close + 2));
        std::vector<std::string> fields;
        for (std::string field; rest >> field;) fields.push_back(field);
        if (fields.size() < 13) continue;  // state is field 3 of stat; utime and stime are 14 and 15
        const double seconds = (std::stod(fields[11]) + std::stod(fields[12])) / tick;
        threads[std::atoi(entry->d_name)] = {stat.substr(open + 1, close - open - 1), seconds};
    }
    closedir(dir);
    return threads;
}

// The Host's log lines with the monotonic time they were written, kept from before the server
// starts (the first few hundred: the start and the statistics of a run's seconds).
struct HostLog {
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::string>> lines;
    LogSink::Subscription subscription;

    void start() {
        LogSink::shared().setWritesStandardError(false);
        LogSink::shared().setWritesDetail(true);  // the statistics of every second (dropped frames)
        subscription = LogSink::shared().subscribe([this](std::string_view line) {
            const auto now = monotonicNs();
            std::lock_guard lock(mutex);
            if (lines.size() < 2000) lines.emplace_back(now, std::string(line));
        });
    }
};

// Serves the Viewer process: "cpu" answers the process CPU seconds; "begin" and "end" bracket the
// measured stretch, and "end" answers the CPU seconds each thread name used within it, then "done";
// "log" answers the Host's log lines ("line <monotonic ns> <text>"), then "done".
int runHost(Motion motion) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    for (int cpu : hostCPUs) CPU_SET(cpu, &cpus);
    if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) {
        std::fprintf(stderr, "host: could not pin to CPUs %s\n", cpuList(hostCPUs).c_str());
    }

    HostLog log;  // before the server, whose threads write into it
    log.start();
    test::LiveServer live;  // the simulated display is 1920x1080 at 60 Hz
    live.screenCapture()->setMotion(motion);
    writeAll(kAnswerFd, "ports " + std::to_string(live.ports().control) + " " + std::to_string(live.ports().video) + "\n");

    std::map<int, std::pair<std::string, double>> before;
    double cpuBefore = 0;
    while (auto command = readLine(kCommandFd)) {
        if (*command == "cpu") {
            writeAll(kAnswerFd, std::to_string(processCPUSeconds()) + "\n");
        } else if (*command == "begin") {
            before = threadCPU();
            cpuBefore = processCPUSeconds();
            writeAll(kAnswerFd, "ok\n");
        } else if (*command == "end") {
            const double total = processCPUSeconds() - cpuBefore;
            std::map<std::string, double> byName;
            double counted = 0;
            for (const auto& [tid, thread] : threadCPU()) {
                const auto it = before.find(tid);
                const double used = thread.second - (it == before.end() ? 0.0 : it->second.second);
                byName[thread.first] += used;
                counted += used;
            }
            std::string answer = "total " + std::to_string(total) + "\n";
            for (const auto& [name, seconds] : byName) answer += "thread " + std::to_string(seconds) + " " + name + "\n";
            // Threads that ended within the stretch, and tick rounding.
            answer += "thread " + std::to_string(std::max(0.0, total - counted)) + " (ended or rounding)\n";
            writeAll(kAnswerFd, answer + "done\n");
        } else if (*command == "log") {
            std::string answer;
            {
                std::lock_guard lock(log.mutex);
                for (const auto& [ns, text] : log.lines) {
                    std::string oneLine = text;
                    std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
                    answer += "line " + std::to_string(ns) + " " + oneLine + "\n";
                }
            }
            writeAll(kAnswerFd, answer + "done\n");
        }
    }
    return 0;
}

// ---- The Viewer side ----

struct HostProcess {
    pid_t pid = -1;
    int commands = -1;  // our end of the child's command pipe
    int answers = -1;   // our end of its answer pipe

    bool spawn(Motion motion) {
        std::string cpus = cpuList(hostCPUs), cpusFlag = "--host-cpus";
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], kCommandFd);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], kAnswerFd);
        std::string self = "/proc/self/exe", flag = "--host", name = motionName(motion);
        char* argv[] = {self.data(), flag.data(), name.data(), cpusFlag.data(), cpus.data(), nullptr};
        const int r = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        commands = toChild[1];
        answers = fromChild[0];
        return r == 0;
    }

    std::optional<std::string> ask(const std::string& command) {
        if (!writeAll(commands, command + "\n")) return std::nullopt;
        return readLine(answers);
    }

    ~HostProcess() {
        if (commands >= 0) ::close(commands);  // end of file: the child stops its server and exits
        if (pid > 0) waitpid(pid, nullptr, 0);
        if (answers >= 0) ::close(answers);
    }
};

// What the Viewer saw, updated on its reading thread.
struct ViewerCounters {
    std::mutex mutex;
    std::optional<VideoStreamConfigPayload> config;
    int configs = 0;
    std::int64_t frames = 0;
    std::int64_t keyframes = 0;
    std::int64_t bytes = 0;  // whole aux packets, header included
    std::int64_t decoded = 0;
    std::uint64_t firstFrameNs = 0;        // monotonic: the first frame's arrival
    std::uint64_t firstPictureNs = 0;      // ... its decoded picture
    std::uint64_t firstCaptureNs = 0;      // the Host's capture time of the first frame
    double firstDecodeMs = 0;              // the Viewer's decoding of the first frame
    std::int64_t firstSecondFrames = 0;    // frames captured within 1 s of the first
    // PSNR of the pictures decoded while `judging` (still screen only).
    bool judging = false;
    double psnrMin = 1e9, psnrSum = 0, psnrLast = 0;
    std::int64_t psnrCount = 0;
};

struct Snapshot {
    std::int64_t frames = 0, keyframes = 0, bytes = 0, decoded = 0;
    int configs = 0;
};

Snapshot snapshot(ViewerCounters& c) {
    std::lock_guard lock(c.mutex);
    return {c.frames, c.keyframes, c.bytes, c.decoded, c.configs};
}

struct Result {
    Motion motion;
    double seconds = 0;
    double fps = 0, hostCPUPercent = 0, mbps = 0;
    std::int64_t keyframes = 0;
    int restarts = 0;
    int decodeErrors = 0;
    std::optional<VideoStreamConfigPayload> config;
    std::int64_t psnrCount = 0;
    double psnrMin = 0, psnrMean = 0;
    // From the Viewer's connection, ms.
    double signedInMs = 0, requestMs = -1, captureStartMs = -1, firstEncodedMs = -1, firstFrameMs = 0, firstPictureMs = 0;
    double firstDecodeMs = 0;
    std::string firstPictureLine;  // the Host's own account of it
    std::int64_t firstSecondFrames = 0;
    std::int64_t droppedTotal = 0, capturedTotal = 0;  // the Host's statistics over the whole run
    std::vector<std::pair<double, std::string>> timeline;  // the Host's lines up to its first picture
    std::vector<std::pair<double, std::string>> threads;  // CPU seconds, name
};

int viewerDecodeThreads() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 2;
    return std::clamp(CPU_COUNT(&cpus), 1, 4);
}

// Reads the Host's log lines: when the start's steps happened, and the frames it captured and dropped.
void readHostLog(HostProcess& host, std::uint64_t connectNs, Result& result) {
    if (!writeAll(host.commands, "log\n")) return;
    bool firstPictureSeen = false;
    while (auto line = readLine(host.answers)) {
        if (*line == "done") break;
        unsigned long long ns = 0;
        int consumed = 0;
        if (std::sscanf(line->c_str(), "line %llu %n", &ns, &consumed) != 1) continue;
        const std::string text = line->substr(static_cast<std::size_t>(consumed));
        const double ms = (static_cast<double>(ns) - static_cast<double>(connectNs)) / 1e6;
        auto has = [&](const char* needle) { return text.find(needle) != std::string::npos; };
        if (!firstPictureSeen && ms >= 0) result.timeline.emplace_back(ms, text);
        if (result.requestMs < 0 && has("video request from session")) result.requestMs = ms;
        if (result.captureStartMs < 0 && has("video capture starting")) result.captureStartMs = ms;
        if (result.firstEncodedMs < 0 && has("video: first picture after")) {
            result.firstEncodedMs = ms;
            result.firstPictureLine = text.substr(text.find("first picture"));
            firstPictureSeen = true;
        }
        long long captured = 0, encoded = 0, dropped = 0;
        if (const auto at = text.find("video stats "); at != std::string::npos) {
            const auto fields = text.substr(at);
            const auto c = fields.find("captured="), d = fields.find("dropped="), e = fields.find("encoded=");
            if (c != std::string::npos && d != std::string::npos && e != std::string::npos &&
                std::sscanf(fields.c_str() + c, "captured=%lld", &captured) == 1 &&
                std::sscanf(fields.c_str() + e, "encoded=%lld", &encoded) == 1 &&
                std::sscanf(fields.c_str() + d, "dropped=%lld", &dropped) == 1) {
                result.capturedTotal += captured;
                result.droppedTotal += dropped;
            }
        }
    }
}

std::optional<Result> measure(Motion motion, double seconds) {
    HostProcess host;
    if (!host.spawn(motion)) {
        std::fprintf(stderr, "could not start the Host process\n");
        return std::nullopt;
    }
    const auto ports = readLine(host.answers);
    int controlPort = 0, videoPort = 0;
    if (!ports || std::sscanf(ports->c_str(), "ports %d %d", &controlPort, &videoPort) != 2) {
        std::fprintf(stderr, "the Host process did not report its ports\n");
        return std::nullopt;
    }

    // What the still screen shows: the synthetic desktop's first frame, as the encoder was given it.
    test::DecodedPicture reference;
    if (motion == Motion::still) {
        const SyntheticScreenContent content(kWidth, kHeight);
        reference = test::referencePicture(content.makeFrame(0), PixelCrop{0, 0, kWidth, kHeight}, static_cast<int>(kWidth),
                                           static_cast<int>(kHeight), VideoChromaMode::yuv420);
    }

    ViewerCounters counters;
    // The Viewer connects, signs in on both channels and asks for its mode, as a Viewer does; the
    // time to its first decoded picture counts from here.
    const std::uint64_t connectNs = monotonicNs();
    auto sinceConnect = [connectNs](std::uint64_t ns) { return (static_cast<double>(ns) - static_cast<double>(connectNs)) / 1e6; };
    // After the state its reading thread uses, so that the thread ends before it goes.
    test::StreamingViewer viewer(static_cast<std::uint16_t>(controlPort), static_cast<std::uint16_t>(videoPort),
                                 viewerDecodeThreads(), motion == Motion::still);
    viewer.onConfig = [&](const VideoStreamConfigPayload& config) {
        std::lock_guard lock(counters.mutex);
        counters.config = config;
        ++counters.configs;
    };
    viewer.onFrame = [&](const test::StreamingViewer::Frame& frame, const test::StreamDecoder* decoder) {
        bool judge = false;
        {
            std::lock_guard lock(counters.mutex);
            if (counters.firstFrameNs == 0) {
                counters.firstFrameNs = frame.arrivedNs;
                counters.firstCaptureNs = frame.captureNs;
            }
            // The capture times count from the Host's first frame: a frame captured within the
            // stream's first second reached the Viewer.
            if (frame.captureNs >= counters.firstCaptureNs && frame.captureNs - counters.firstCaptureNs < 1'000'000'000ULL) {
                ++counters.firstSecondFrames;
            }
            ++counters.frames;
            if (frame.keyframe) ++counters.keyframes;
            counters.bytes += static_cast<std::int64_t>(frame.packetBytes);
            counters.decoded += frame.pictures;
            if (counters.firstPictureNs == 0 && frame.pictures > 0) {
                counters.firstPictureNs = frame.decodedNs;
                counters.firstDecodeMs = static_cast<double>(frame.decodedNs - frame.arrivedNs) / 1e6;
            }
            judge = counters.judging;
        }
        if (!judge || reference.width == 0 || frame.pictures == 0 || !decoder) return;
        const auto picture = decoder->keptPicture();
        if (!picture) return;
        const double y = test::psnr(*picture, reference).y;
        std::lock_guard lock(counters.mutex);
        counters.psnrMin = std::min(counters.psnrMin, y);
        counters.psnrSum += y;
        counters.psnrLast = y;
        ++counters.psnrCount;
    };
    if (auto failure = viewer.start()) {
        std::fprintf(stderr, "%s\n", failure->c_str());
        return std::nullopt;
    }
    const double signedInMs = sinceConnect(monotonicNs());

    // The measured stretch starts one second after the first frame.
    if (!test::waitUntil([&] { return snapshot(counters).frames > 0; }, std::chrono::seconds(30))) {
        std::fprintf(stderr, "no video frames arrived\n");
        return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    {
        std::lock_guard lock(counters.mutex);
        counters.judging = true;
    }
    const Snapshot start = snapshot(counters);
    const auto startTime = std::chrono::steady_clock::now();
    if (host.ask("begin") != "ok") return std::nullopt;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto answer = host.ask("end");
    const auto endTime = std::chrono::steady_clock::now();
    const Snapshot end = snapshot(counters);
    viewer.stop();

    Result result;
    result.motion = motion;
    result.seconds = std::chrono::duration<double>(endTime - startTime).count();
    double hostCPU = 0;
    if (!answer || std::sscanf(answer->c_str(), "total %lf", &hostCPU) != 1) return std::nullopt;
    while (auto line = readLine(host.answers)) {
        if (*line == "done") break;
        double used = 0;
        int consumed = 0;
        if (std::sscanf(line->c_str(), "thread %lf %n", &used, &consumed) == 1) {
            result.threads.emplace_back(used, line->substr(static_cast<std::size_t>(consumed)));
        }
    }
    std::sort(result.threads.rbegin(), result.threads.rend());
    readHostLog(host, connectNs, result);
    result.fps = static_cast<double>(end.frames - start.frames) / result.seconds;
    result.hostCPUPercent = hostCPU / (result.seconds * static_cast<double>(hostCPUs.size())) * 100;
    result.mbps = static_cast<double>(end.bytes - start.bytes) * 8 / result.seconds / 1e6;
    result.keyframes = end.keyframes - start.keyframes;
    result.restarts = end.configs - start.configs;
    std::lock_guard lock(counters.mutex);
    result.config = counters.config;
    result.decodeErrors = viewer.decodeErrors();
    result.psnrCount = counters.psnrCount;
    result.psnrMin = counters.psnrCount ? counters.psnrMin : 0;
    result.psnrMean = counters.psnrCount ? counters.psnrSum / static_cast<double>(counters.psnrCount) : 0;
    result.signedInMs = signedInMs;
    result.firstFrameMs = sinceConnect(counters.firstFrameNs);
    result.firstPictureMs = counters.firstPictureNs ? sinceConnect(counters.firstPictureNs) : 0;
    result.firstDecodeMs = counters.firstDecodeMs;
    result.firstSecondFrames = counters.firstSecondFrames;
    return result;
}

// Keeps the Viewer off the Host's CPUs when the machine has others.
void pinViewer() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return;
    for (int cpu : hostCPUs) CPU_CLR(cpu, &cpus);
    if (CPU_COUNT(&cpus) == 0) {
        std::fprintf(stderr, "warning: no CPU left for the Viewer beside the Host's; it shares them\n");
        return;
    }
    sched_setaffinity(0, sizeof cpus, &cpus);
}

std::vector<int> viewerCPUs() {
    std::vector<int> out;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return out;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &cpus)) out.push_back(cpu);
    }
    return out;
}

std::optional<std::vector<int>> parseCPUs(const std::string& text) {
    std::vector<int> cpus;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        char* end = nullptr;
        const long cpu = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || cpu < 0 || cpu >= CPU_SETSIZE) return std::nullopt;
        cpus.push_back(static_cast<int>(cpu));
    }
    if (cpus.empty()) return std::nullopt;
    return cpus;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--host") == 0) {
        if (argc == 5 && std::strcmp(argv[3], "--host-cpus") == 0) {
            if (auto cpus = parseCPUs(argv[4])) hostCPUs = *cpus;
        }
        const auto motion = motionNamed(argv[2]);
        return motion ? runHost(*motion) : 2;
    }
    double seconds = 20;
    bool timeline = false;
    std::vector<Motion> motions;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::optional<std::vector<int>> cpus;
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--host-cpus" && i + 1 < argc && (cpus = parseCPUs(argv[i + 1]))) {
            hostCPUs = *cpus;
            ++i;
        } else if (arg == "--timeline") {
            timeline = true;
        } else if (auto motion = motionNamed(arg)) {
            motions.push_back(*motion);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--host-cpus A,B] [--timeline] [still|scrolling|moving ...]\n",
                         argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0)) seconds = 20;
    if (motions.empty()) motions = {Motion::still, Motion::scrolling, Motion::moving};
    pinViewer();
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("load average %.1f %.1f %.1f; Host on CPUs %s, Viewer on CPUs %s (%d decoding threads)\n", load[0],
                load[1], load[2], cpuList(hostCPUs).c_str(), cpuList(viewerCPUs()).c_str(), viewerDecodeThreads());

    std::vector<Result> results;
    for (const auto motion : motions) {
        std::printf("%s: measuring %.0f s...\n", motionName(motion), seconds);
        std::fflush(stdout);
        auto result = measure(motion, seconds);
        if (!result) {
            std::fprintf(stderr, "%s: the run failed\n", motionName(motion));
            return 1;
        }
        results.push_back(std::move(*result));
        const auto& r = results.back();
        std::printf("  Host CPU by thread (s of CPU over %.1f s):\n", r.seconds);
        for (const auto& [used, name] : r.threads) {
            if (used >= 0.005) std::printf("    %-24s %7.2f  %5.1f %% of 2 CPUs\n", name.c_str(), used, used / r.seconds / 2 * 100);
        }
        std::printf("  Host: %s\n", r.firstPictureLine.c_str());
        if (timeline) {
            std::printf("  Host log up to its first picture (ms from the Viewer's connection):\n");
            for (const auto& [ms, text] : r.timeline) std::printf("    %7.1f  %s\n", ms, text.c_str());
        }
    }

    getloadavg(load, 3);
    std::printf("\nHost on CPUs %s (child process), Viewer on CPUs %s; %.0f s from 1.1 s after the first frame; load "
                "average now %.1f\n",
                cpuList(hostCPUs).c_str(), cpuList(viewerCPUs()).c_str(), seconds, load[0]);
    std::printf("%-10s %-22s %6s %8s %7s %6s %7s %7s %13s %6s %6s %6s %6s %6s %6s %6s %8s %8s\n", "screen", "stream", "fps",
                "Host CPU", "Mbit/s", "keyfr", "restart", "dec.err", "PSNR min/mean", "signed", "start", "encoded", "frame",
                "decode", "1st pic", "1st s", "dropped", "captured");
    for (const auto& r : results) {
        std::string stream = "?";
        if (r.config) {
            stream = std::string(codecTitle(r.config->codec)) + " " + std::to_string(r.config->width) + "x" +
                     std::to_string(r.config->height) + "@" + std::to_string(r.config->fps) + " " +
                     std::to_string(r.config->bitrate / 1'000'000) + "M";
        }
        char psnr[40] = "-";
        if (r.psnrCount > 0) std::snprintf(psnr, sizeof psnr, "%.1f/%.1f dB", r.psnrMin, r.psnrMean);
        std::printf("%-10s %-22s %6.1f %7.1f%% %7.2f %6lld %7d %7d %13s %6.0f %6.0f %6.0f %6.0f %6.0f %6.0f %6lld %8lld %8lld\n",
                    motionName(r.motion), stream.c_str(), r.fps, r.hostCPUPercent, r.mbps,
                    static_cast<long long>(r.keyframes), r.restarts, r.decodeErrors, psnr, r.signedInMs,
                    r.captureStartMs, r.firstEncodedMs, r.firstFrameMs, r.firstDecodeMs, r.firstPictureMs,
                    static_cast<long long>(r.firstSecondFrames), static_cast<long long>(r.droppedTotal),
                    static_cast<long long>(r.capturedTotal));
    }
    std::printf("(ms from the Viewer's connection: both channels signed in; the Host's capture start; its first "
                "picture encoded; that frame at the Viewer; the Viewer's decoding of it; the decoded picture. \"1st s\": "
                "frames captured within the stream's first second that reached the Viewer (60 at 60 fps unless the Host "
                "dropped some; the still screen leaves unchanged frames out); dropped / captured: the Host's count over "
                "the run)\n");
    return 0;
}
