// What the Host costs while it streams 1080p60 H.264 to a real Viewer, measured over wall-clock
// seconds rather than per frame: the Host (the real server on loopback sockets, with a simulated
// 1920x1080 60 Hz display) runs in a child process pinned to CPUs 0 and 1; the Viewer (real TCP,
// signs in on control and video, decodes every frame and acknowledges it once decoded) runs in
// this process on the other CPUs, so its decoding is not counted as the Host's.
//
// For a still screen, a scrolling page and full motion it reports, over the measured stretch
// (which starts one second after the first frame): the frames the Viewer received per second,
// the Host's process CPU as a share of its two CPUs, the stream's bit rate, for the still screen
// the PSNR of every decoded picture against the screen it shows, and the time from the Viewer's
// connection to its first decoded picture (and, on the way, to both channels signed in and to
// the first frame's arrival). The Host's CPU is also
// broken down per thread name.
//
//   live_video_cpu_bench [--seconds N] [still|scrolling|moving ...]
//
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
#include "Platform/ScreenCapture.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "support/LiveServer.h"
#include "support/TestViewer.h"
#include "support/VideoDecoder.h"

extern char** environ;

using namespace qm;
using Motion = SimulatedScreenCapture::Motion;

namespace {

constexpr int kCommandFd = 3;  // in the Host child: requests from the Viewer process
constexpr int kAnswerFd = 4;   // in the Host child: answers to it
constexpr int kHostCPUs[] = {0, 1};
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

// Serves the Viewer process: "cpu" answers the process CPU seconds; "begin" and "end" bracket the
// measured stretch, and "end" answers the CPU seconds each thread name used within it, then "done".
int runHost(Motion motion) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    for (int cpu : kHostCPUs) CPU_SET(cpu, &cpus);
    if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) std::fprintf(stderr, "host: could not pin to CPUs 0,1\n");

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
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], kCommandFd);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], kAnswerFd);
        std::string self = "/proc/self/exe", flag = "--host", name = motionName(motion);
        char* argv[] = {self.data(), flag.data(), name.data(), nullptr};
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
    std::uint64_t firstFrameNs = 0;
    double firstPictureMs = 0;  // from the control connection's start to the first decoded picture
    double firstFrameMs = 0;    // ... to the first video frame's arrival
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
    double firstPictureMs = 0;
    double firstFrameMs = 0;
    double signedInMs = 0;
    std::vector<std::pair<double, std::string>> threads;  // CPU seconds, name
};

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
    std::optional<test::VideoDecoder> decoder;
    Bytes parameterSets;
    bool waitingForKeyframe = true;
    int decodeErrors = 0;
    // The Viewer connects, signs in on both channels and asks for its mode, as a Viewer does; the
    // time to its first decoded picture counts from here.
    const auto connectStart = std::chrono::steady_clock::now();
    // After the state their reading threads use, so that those threads end before it goes.
    test::TestViewer control(static_cast<std::uint16_t>(controlPort));
    test::TestViewer video(static_cast<std::uint16_t>(videoPort));
    if (!control.signIn(test::LiveServer::user, test::LiveServer::password)) {
        std::fprintf(stderr, "control sign-in failed\n");
        return std::nullopt;
    }
    // The default mode, asked for explicitly: Easy, H.264, 4:2:0, the catalogue's rate.
    control.send(AuxPacketType::captureModeControl,
                 CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                   VideoCaptureBackend::physical)
                     .encode());
    video.setObserver([&](const AuxFrame& frame, std::uint64_t receivedNs) {
        if (frame.header.type == AuxPacketType::videoConfig) {
            auto config = VideoStreamConfigPayload::decode(frame.payload);
            if (!config) return;
            // A new stream may start here: a fresh decoder, from the next keyframe on.
            if (decoder) decodeErrors += decoder->errorCount();
            decoder.emplace(config->codec);
            parameterSets.clear();
            for (const auto& set : config->parameterSets) {
                parameterSets.insert(parameterSets.end(), {0, 0, 0, 1});
                parameterSets.insert(parameterSets.end(), set.begin(), set.end());
            }
            waitingForKeyframe = true;
            std::lock_guard lock(counters.mutex);
            counters.config = std::move(config);
            ++counters.configs;
            return;
        }
        if (frame.header.type != AuxPacketType::videoFrame) return;
        const auto arrived = std::chrono::steady_clock::now();  // before it is decoded
        auto payload = VideoFramePayload::decode(frame.payload);
        if (!payload) return;
        const bool keyframe = (frame.header.flags & VideoFramePayload::keyframeFlag) != 0;
        std::vector<test::DecodedPicture> pictures;
        if (decoder && (keyframe || !waitingForKeyframe)) {
            if (waitingForKeyframe) {
                Bytes unit = parameterSets;
                unit.insert(unit.end(), payload->accessUnit.begin(), payload->accessUnit.end());
                pictures = decoder->decode(unit);
                waitingForKeyframe = false;
            } else {
                pictures = decoder->decode(payload->accessUnit);
            }
        }
        // Acknowledged once decoded, as a Viewer does.
        video.sendRaw(makeAuxPacket(AuxPacketType::videoFrameAck, 0, VideoFrameAckPayload{payload->frameNumber}.encode(), 0));

        bool judge = false;
        {
            std::lock_guard lock(counters.mutex);
            if (counters.firstFrameNs == 0) {
                counters.firstFrameNs = receivedNs;
                counters.firstFrameMs = std::chrono::duration<double, std::milli>(arrived - connectStart).count();
            }
            ++counters.frames;
            if (keyframe) ++counters.keyframes;
            counters.bytes += static_cast<std::int64_t>(AuxPacketHeader::size + frame.payload.size());
            counters.decoded += static_cast<std::int64_t>(pictures.size());
            if (counters.firstPictureMs == 0 && !pictures.empty()) {
                counters.firstPictureMs =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - connectStart).count();
            }
            judge = counters.judging;
        }
        if (!judge || reference.width == 0) return;
        for (const auto& picture : pictures) {
            const double y = test::psnr(picture, reference).y;
            std::lock_guard lock(counters.mutex);
            counters.psnrMin = std::min(counters.psnrMin, y);
            counters.psnrSum += y;
            counters.psnrLast = y;
            ++counters.psnrCount;
        }
    });
    if (!video.signIn(test::LiveServer::user, test::LiveServer::password)) {
        std::fprintf(stderr, "video sign-in failed\n");
        return std::nullopt;
    }
    const double signedInMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - connectStart).count();

    // The measured stretch starts one second after the first frame.
    if (!test::waitUntil([&] { return snapshot(counters).frames > 0; }, std::chrono::seconds(30))) {
        std::fprintf(stderr, "no video frames arrived\n");
        video.setObserver(nullptr);
        return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
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
    video.setObserver(nullptr);

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
    result.fps = static_cast<double>(end.frames - start.frames) / result.seconds;
    result.hostCPUPercent = hostCPU / (result.seconds * static_cast<double>(std::size(kHostCPUs))) * 100;
    result.mbps = static_cast<double>(end.bytes - start.bytes) * 8 / result.seconds / 1e6;
    result.keyframes = end.keyframes - start.keyframes;
    result.restarts = end.configs - start.configs;
    std::lock_guard lock(counters.mutex);
    result.config = counters.config;
    result.decodeErrors = decodeErrors + (decoder ? decoder->errorCount() : 0);
    result.psnrCount = counters.psnrCount;
    result.psnrMin = counters.psnrCount ? counters.psnrMin : 0;
    result.psnrMean = counters.psnrCount ? counters.psnrSum / static_cast<double>(counters.psnrCount) : 0;
    result.firstPictureMs = counters.firstPictureMs;
    result.firstFrameMs = counters.firstFrameMs;
    result.signedInMs = signedInMs;
    return result;
}

// Keeps the Viewer off the Host's CPUs when the machine has others.
void pinViewer() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return;
    for (int cpu : kHostCPUs) CPU_CLR(cpu, &cpus);
    if (CPU_COUNT(&cpus) == 0) {
        std::fprintf(stderr, "warning: no CPU left for the Viewer beside the Host's; it shares them\n");
        return;
    }
    sched_setaffinity(0, sizeof cpus, &cpus);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--host") == 0) {
        const auto motion = motionNamed(argv[2]);
        return motion ? runHost(*motion) : 2;
    }
    double seconds = 20;
    std::vector<Motion> motions;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (auto motion = motionNamed(arg)) {
            motions.push_back(*motion);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [still|scrolling|moving ...]\n", argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0)) seconds = 20;
    if (motions.empty()) motions = {Motion::still, Motion::scrolling, Motion::moving};
    pinViewer();

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
    }

    std::printf("\nHost on CPUs 0,1 (child process), Viewer on the others; %.0f s from 1 s after the first frame\n",
                seconds);
    std::printf("%-10s %-22s %9s %9s %9s %7s %7s %8s %14s %12s %22s\n", "screen", "stream", "fps", "Host CPU", "Mbit/s",
                "keyfr.", "restart", "dec.err", "PSNR min/mean", "1st pic ms", "signed in / 1st frame");
    for (const auto& r : results) {
        std::string stream = "?";
        if (r.config) {
            stream = std::string(codecTitle(r.config->codec)) + " " + std::to_string(r.config->width) + "x" +
                     std::to_string(r.config->height) + "@" + std::to_string(r.config->fps) + " " +
                     std::to_string(r.config->bitrate / 1'000'000) + "M";
        }
        char psnr[40] = "-";
        if (r.psnrCount > 0) std::snprintf(psnr, sizeof psnr, "%.1f/%.1f dB", r.psnrMin, r.psnrMean);
        std::printf("%-10s %-22s %9.1f %8.1f%% %9.2f %7lld %7d %8d %14s %12.0f %11.0f / %8.0f\n", motionName(r.motion),
                    stream.c_str(), r.fps, r.hostCPUPercent, r.mbps, static_cast<long long>(r.keyframes), r.restarts,
                    r.decodeErrors, psnr, r.firstPictureMs, r.signedInMs, r.firstFrameMs);
    }
    return 0;
}
