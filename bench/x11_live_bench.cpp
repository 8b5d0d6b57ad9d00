// The whole Host on a real X display beside a plain ffmpeg doing the same job. One Xvfb 1920x1080
// with openbox runs for the whole run; a client window (1600x900, the synthetic desktop's document,
// picture, text panel and patterned block) redraws what changed 60 times a second: "scrolling"
// scrolls the panel only, "moving" also moves the block (openbox may leave a new window
// unmapped; the client then maps itself override-redirect, and says which). In interleaved
// rounds, on the same CPUs:
//
//   host    the real server (`LiveServer`: sockets on 127.0.0.1, threaded queues) on the X11
//           backends the Host uses on that display (XShm capture with the pointer, RandR), in a
//           child process, streaming to a Viewer in this process that signs in, asks for Easy
//           H.264 4:2:0 (1080p60), decodes every frame with libavcodec and acknowledges it;
//   ffmpeg  `ffmpeg -f x11grab -framerate 60 ... -c:v libx264 -f h264 /dev/null` with the Host's encoder
//           settings, read from the same `configureSoftwareEncoder()` the Host opens with
//           (preset, tune, crf, quantiser range, bit rate, rate buffer, threads, forced IDR, no
//           B-frames, keyframes only at the start, global header, colour description).
//
// Each side is measured over `--seconds` (default 8) starting 2 s after its first frame: frames
// per second it delivered (the Viewer's received frames; ffmpeg's encoded frames from its progress
// reports), its process CPU time (every thread, from /proc) as a share of its CPUs and per frame,
// and the ratios host/ffmpeg of each round's pair. The measured side runs on `--cpus` (default "6,7");
// this process, Xvfb, openbox, the drawing client and the Viewer's decoder run on the CPUs the
// process may use outside that set (all of them when none is left). `--load N` adds N processes
// spinning on the measured CPUs for the whole round (both sides alike). The drawing client's
// missed ticks are reported: a round where it could not hold 60 Hz says so. To keep CPUs out of
// the whole run, narrow its affinity: `taskset -c 2-7 x11_live_bench` uses only 2-7.
//
//   x11_live_bench [--seconds S] [--rounds R] [--cpus LIST] [--load N] [moving|scrolling ...]
//
// Needs Xvfb, openbox and ffmpeg (`apt-get install -y xvfb openbox ffmpeg`; ffmpeg is a
// measurement tool only, the Host does not use it). A plain program, not a Google Benchmark:
// every figure is a wall-clock stretch of whole processes.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostApp/Video/VideoEncoder.h"
#include "HostApp/Video/VideoThreads.h"
#include "Platform/Core/Clock.h"
#include "Platform/Core/LogSink.h"
#include "Platform/Linux/SystemDisplays.h"
#include "Platform/ScreenCapture.h"
#include "support/LiveServer.h"
#include "support/StreamingViewer.h"
#include "support/VirtualXServer.h"

// Last: it brings Xlib, whose macros (None, Bool, Status) clash with other headers.
#include "bench/RedrawingWindow.h"

using namespace qm;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kScreenWidth = 1920, kScreenHeight = 1080;
constexpr double kWarmupSeconds = 2.0;

using Shape = bench::RedrawShape;
const char* shapeName(Shape shape) { return shape == Shape::moving ? "moving" : "scrolling"; }

double secondsSince(Steady::time_point start) { return std::chrono::duration<double>(Steady::now() - start).count(); }

std::optional<cpu_set_t> parseCPUs(const std::string& text) {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        int first = 0, last = 0;
        if (std::sscanf(item.c_str(), "%d-%d", &first, &last) == 2) {
        } else if (std::sscanf(item.c_str(), "%d", &first) == 1) {
            last = first;
        } else {
            return std::nullopt;
        }
        if (first < 0 || last < first || last >= CPU_SETSIZE) return std::nullopt;
        for (int cpu = first; cpu <= last; ++cpu) CPU_SET(cpu, &set);
    }
    if (CPU_COUNT(&set) == 0) return std::nullopt;
    return set;
}

// CPU seconds of a process's threads by name (user + system), from /proc.
std::map<std::string, double> threadCPU(pid_t pid) {
    std::map<std::string, double> threads;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    const std::string dirName = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(dirName.c_str());
    if (!dir) return threads;
    while (auto* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream file(dirName + "/" + entry->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        std::istringstream rest(stat.substr(close + 2));
        std::vector<std::string> fields;
        for (std::string field; rest >> field;) fields.push_back(field);
        if (fields.size() < 13) continue;  // utime and stime are fields 14 and 15 of stat
        threads[stat.substr(open + 1, close - open - 1)] += (std::stod(fields[11]) + std::stod(fields[12])) / tick;
    }
    closedir(dir);
    return threads;
}

// The process's CPU seconds, threads that ended included (from /proc/PID/stat).
double processCPU(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::vector<std::string> fields;
    for (std::string field; rest >> field;) fields.push_back(field);
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A child on `cpus` running argv, its stdin and stdout as pipes to us.
struct Child {
    pid_t pid = -1;
    int input = -1;   // our end of its stdin
    int output = -1;  // our end of its stdout

    bool spawn(const std::vector<std::string>& args, const cpu_set_t& cpus, bool quiet = true) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            sched_setaffinity(0, sizeof cpus, &cpus);
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            if (quiet) {
                const int null = open("/dev/null", O_WRONLY);
                if (null >= 0) dup2(null, STDERR_FILENO);
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        output = out[0];
        return pid > 0;
    }

    void writeLine(const std::string& text) const {
        const std::string line = text + "\n";
        if (::write(input, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            std::fprintf(stderr, "could not write to a child\n");
        }
    }

    std::optional<std::string> readLine() const {
        std::string line;
        char c = 0;
        for (;;) {
            const auto n = ::read(output, &c, 1);
            if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
            if (c == '\n') return line;
            line.push_back(c);
        }
    }

    // Closes its stdin (the Host child stops then) after sending `signal` if any, and waits for
    // it to end; past `grace` it is killed. Its stdout stays open until the object goes, so a
    // thread still reading it sees end of file rather than a closed descriptor.
    void finish(std::chrono::milliseconds grace = std::chrono::milliseconds(5000), int signal = 0) {
        if (pid <= 0) return;
        if (signal) kill(pid, signal);
        if (input >= 0) ::close(input);
        input = -1;
        const auto deadline = Steady::now() + grace;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Steady::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid = -1;
    }
    ~Child() {
        finish();
        if (output >= 0) ::close(output);
    }
};

// ---- Measurements ----

struct Sample {
    double seconds = 0;
    double fps = 0;
    double cpuShare = 0;     // of the measured CPUs
    double cpuMsPerFrame = 0;
    double mbps = 0;
    std::map<std::string, double> threads;  // CPU seconds within the stretch by thread name
    std::int64_t drawTicks = 0, drawMissed = 0;
    // The Host's capture over the whole seconds within the stretch: frames captured, encoded, and
    // dropped (flow gate or busy encoder); captured - encoded - dropped were left out as unchanged.
    long long statSeconds = 0, captured = 0, encoded = 0, dropped = 0;
};

VideoStreamProfile easyProfile() {
    VideoStreamProfile profile;
    profile.mode = VideoCaptureMode::easy;
    profile.codec = VideoStreamCodec::h264;
    profile.chromaMode = VideoChromaMode::yuv420;
    profile.width = kScreenWidth;
    profile.height = kScreenHeight;
    profile.fps = 60;
    profile.bitrate = 9'000'000;  // the Easy rate at 1080p, as the Viewer's request gets it
    return profile;
}

// ffmpeg's command line for exactly what the Host's encoder opens with on `threads` CPUs.
std::vector<std::string> ffmpegArguments(const std::string& server, int cpuCount) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVDictionary* options = nullptr;
    auto settings = encoderSettingsFor(easyProfile(), kScreenWidth, kScreenHeight);
    settings.threads = encoderThreadCount(cpuCount);  // what videoThreadBudget() gives the Host there
    configureSoftwareEncoder(*ctx, options, settings);
    auto option = [&](const char* key) {
        const AVDictionaryEntry* entry = av_dict_get(options, key, nullptr, 0);
        return std::string(entry ? entry->value : "");
    };
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-nostats",
                                     "-progress", "pipe:1", "-stats_period", "0.1",
                                     "-f", "x11grab", "-framerate", std::to_string(ctx->framerate.num),
                                     "-video_size", std::to_string(ctx->width) + "x" + std::to_string(ctx->height),
                                     "-draw_mouse", "1", "-i", server + "+0,0",
                                     "-fps_mode", "passthrough",
                                     "-c:v", "libx264",
                                     "-preset", option("preset"), "-tune", option("tune"), "-crf", option("crf"),
                                     "-forced-idr", option("forced-idr"),
                                     "-qmin", std::to_string(ctx->qmin), "-qmax", std::to_string(ctx->qmax),
                                     "-b:v", std::to_string(ctx->bit_rate), "-maxrate", std::to_string(ctx->rc_max_rate),
                                     "-bufsize", std::to_string(ctx->rc_buffer_size),
                                     "-threads", std::to_string(ctx->thread_count),
                                     "-g", std::to_string(ctx->gop_size), "-bf", std::to_string(ctx->max_b_frames),
                                     "-flags", "+global_header",
                                     "-pix_fmt", "yuv420p", "-colorspace", "smpte170m", "-color_primaries", "bt709",
                                     "-color_trc", "iec61966-2-1", "-color_range", "tv",
                                     "-y", "-f", "h264", "/dev/null"};
    av_dict_free(&options);
    avcodec_free_context(&ctx);
    return args;
}

std::optional<Sample> measureFFmpeg(const std::string& server, const cpu_set_t& cpus, double seconds) {
    Child ffmpeg;
    if (!ffmpeg.spawn(ffmpegArguments(server, CPU_COUNT(&cpus)), cpus, false)) return std::nullopt;
    // Progress blocks end with "progress=continue"; each is one reading (when, frames, bytes, CPU).
    struct Reading {
        Steady::time_point at;
        std::int64_t frames = 0;
        std::int64_t bytes = 0;
        double cpu = 0;
    };
    std::mutex mutex;
    std::vector<Reading> readings;
    const pid_t pid = ffmpeg.pid;
    std::thread reader([&] {
        Reading current;
        while (auto line = ffmpeg.readLine()) {
            long long value = 0;
            if (std::sscanf(line->c_str(), "frame=%lld", &value) == 1) current.frames = value;
            if (std::sscanf(line->c_str(), "total_size=%lld", &value) == 1) current.bytes = value;
            if (line->rfind("progress=", 0) == 0) {
                current.at = Steady::now();
                current.cpu = processCPU(pid);
                std::lock_guard lock(mutex);
                readings.push_back(current);
            }
        }
    });
    auto firstFrameAt = [&]() -> std::optional<Steady::time_point> {
        std::lock_guard lock(mutex);
        for (const auto& r : readings) {
            if (r.frames > 0) return r.at;
        }
        return std::nullopt;
    };
    const auto started = Steady::now();
    while (!firstFrameAt() && secondsSince(started) < 20) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::optional<Sample> sample;
    if (auto first = firstFrameAt()) {
        std::this_thread::sleep_until(*first + std::chrono::duration<double>(kWarmupSeconds));
        const auto threadsBefore = threadCPU(pid);
        const auto begin = Steady::now();
        std::this_thread::sleep_until(begin + std::chrono::duration<double>(seconds));
        const auto threadsAfter = threadCPU(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // one more report after the end
        std::lock_guard lock(mutex);
        // The readings nearest to the stretch's ends (reports come every 0.1 s).
        auto nearest = [&](Steady::time_point t) {
            const Reading* best = nullptr;
            for (const auto& r : readings) {
                if (!best || std::abs(std::chrono::duration<double>(r.at - t).count()) <
                                 std::abs(std::chrono::duration<double>(best->at - t).count())) {
                    best = &r;
                }
            }
            return best;
        };
        const Reading* a = nearest(begin);
        const Reading* b = nearest(begin + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds)));
        if (a && b && b->at > a->at) {
            Sample s;
            s.seconds = std::chrono::duration<double>(b->at - a->at).count();
            const auto frames = static_cast<double>(b->frames - a->frames);
            s.fps = frames / s.seconds;
            s.cpuShare = (b->cpu - a->cpu) / (s.seconds * CPU_COUNT(&cpus));
            s.cpuMsPerFrame = frames > 0 ? (b->cpu - a->cpu) * 1000 / frames : 0;
            s.mbps = static_cast<double>(b->bytes - a->bytes) * 8 / s.seconds / 1e6;
            for (const auto& [name, used] : threadsAfter) {
                const auto it = threadsBefore.find(name);
                s.threads[name] = used - (it == threadsBefore.end() ? 0.0 : it->second);
            }
            sample = s;
        }
    }
    // Its stdout ends when it does, which ends the reading thread.
    ffmpeg.finish(std::chrono::milliseconds(3000), SIGINT);
    reader.join();
    return sample;
}

// The Host child: the real server on the X11 backends of `server`, its ports on stdout; it stops
// when its stdin closes.
int runHost(const std::string& server) {
    auto backends = makeSystemDisplayBackends(SystemClock::shared(), server);
    if (backends.description.rfind("X11", 0) != 0) {
        std::fprintf(stderr, "host: %s\n", backends.description.c_str());
        return 1;
    }
    LogSink::shared().setWritesDetail(true);  // the capture's statistics of every second
    test::LiveServer::Setup setup;
    setup.displays = backends.displays;
    setup.screenCapture = backends.screenCapture;
    setup.virtualDisplays = backends.virtualDisplays;
    test::LiveServer live(setup);
    std::printf("ports %d %d\n", live.ports().control, live.ports().video);
    std::fflush(stdout);
    // "begin" and "end" bracket the measured stretch; "end" answers what the capture counted in
    // the seconds between (from the server's statistics lines, one a second).
    std::size_t begun = 0;
    std::string line;
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        if (line == "begin") begun = live.statusCount();
        if (line == "end") {
            long long captured = 0, encoded = 0, dropped = 0, seconds = 0;
            const auto statuses = live.statuses();
            const std::size_t count = live.statusCount();
            const std::size_t fresh = std::min(statuses.size(), count - begun);
            for (std::size_t i = statuses.size() - fresh; i < statuses.size(); ++i) {
                long long fps = 0, cap = 0, enc = 0, drop = 0;
                if (std::sscanf(statuses[i].c_str(), "video stats fps=%lld captured=%lld encoded=%lld dropped=%lld", &fps,
                                &cap, &enc, &drop) == 4) {
                    captured += cap;
                    encoded += enc;
                    dropped += drop;
                    ++seconds;
                }
            }
            std::printf("stats %lld %lld %lld %lld\n", seconds, captured, encoded, dropped);
            std::fflush(stdout);
        }
        line.clear();
    }
    return 0;
}

std::optional<Sample> measureHost(const std::string& server, const cpu_set_t& cpus, double seconds) {
    Child host;
    if (!host.spawn({"/proc/self/exe", "--host", server}, cpus, true)) return std::nullopt;
    const auto ports = host.readLine();
    int controlPort = 0, videoPort = 0;
    if (!ports || std::sscanf(ports->c_str(), "ports %d %d", &controlPort, &videoPort) != 2) {
        std::fprintf(stderr, "the Host process did not report its ports\n");
        return std::nullopt;
    }
    // What the Viewer's reading thread writes; declared before the Viewer whose thread writes it.
    std::mutex mutex;
    std::int64_t frames = 0, bytes = 0;
    std::optional<Steady::time_point> firstFrame;
    // One decoding thread: the Viewer shares its CPUs with Xvfb and the drawing client.
    test::StreamingViewer viewer(static_cast<std::uint16_t>(controlPort), static_cast<std::uint16_t>(videoPort), 1);
    viewer.onFrame = [&](const test::StreamingViewer::Frame& frame, const test::StreamDecoder*) {
        std::lock_guard lock(mutex);
        if (!firstFrame) firstFrame = Steady::now();
        ++frames;
        bytes += static_cast<std::int64_t>(frame.packetBytes);
    };
    if (viewer.start()) return std::nullopt;
    auto counts = [&] {
        std::lock_guard lock(mutex);
        return std::make_pair(frames, bytes);
    };
    std::optional<Sample> sample;
    if (test::waitUntil([&] { return counts().first > 0; }, std::chrono::seconds(20))) {
        std::this_thread::sleep_for(std::chrono::duration<double>(kWarmupSeconds));
        const auto threadsBefore = threadCPU(host.pid);
        const double cpuBefore = processCPU(host.pid);
        const auto before = counts();
        const auto begin = Steady::now();
        host.writeLine("begin");
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const auto after = counts();
        const double cpuAfter = processCPU(host.pid);
        const auto threadsAfter = threadCPU(host.pid);
        host.writeLine("end");
        const auto stats = host.readLine();
        Sample s;
        s.seconds = secondsSince(begin);
        const auto n = static_cast<double>(after.first - before.first);
        s.fps = n / s.seconds;
        s.cpuShare = (cpuAfter - cpuBefore) / (s.seconds * CPU_COUNT(&cpus));
        s.cpuMsPerFrame = n > 0 ? (cpuAfter - cpuBefore) * 1000 / n : 0;
        s.mbps = static_cast<double>(after.second - before.second) * 8 / s.seconds / 1e6;
        for (const auto& [name, used] : threadsAfter) {
            const auto it = threadsBefore.find(name);
            s.threads[name] = used - (it == threadsBefore.end() ? 0.0 : it->second);
        }
        if (!stats || std::sscanf(stats->c_str(), "stats %lld %lld %lld %lld", &s.statSeconds, &s.captured, &s.encoded,
                                  &s.dropped) != 4) {
            std::fprintf(stderr, "the Host process did not report its statistics\n");
        }
        sample = s;
    } else {
        std::fprintf(stderr, "no video frames arrived from the Host\n");
    }
    viewer.stop();
    host.finish();
    return sample;
}

// N processes spinning on `cpus` until the object goes.
struct Load {
    std::vector<pid_t> pids;
    Load(int count, const cpu_set_t& cpus) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                sched_setaffinity(0, sizeof cpus, &cpus);
                volatile std::uint64_t x = 0;
                for (;;) x = x + 1;
            }
            if (pid > 0) pids.push_back(pid);
        }
    }
    ~Load() {
        for (pid_t pid : pids) kill(pid, SIGKILL);
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    }
};

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string spread(const std::vector<double>& values, const char* format) {
    if (values.empty()) return "-";
    char text[96];
    const std::string f = std::string(format) + " [" + format + "-" + format + "]";
    std::snprintf(text, sizeof text, f.c_str(), median(values), *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return text;
}

double loadAverage() {
    double load = 0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = 0;
        std::fclose(f);
    }
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--host") == 0) return runHost(argv[2]);
    double seconds = 8;
    int rounds = 3;
    int load = 0;
    std::string cpuText = "6,7";
    std::vector<Shape> shapes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--cpus" && i + 1 < argc) {
            cpuText = argv[++i];
        } else if (arg == "--load" && i + 1 < argc) {
            load = std::atoi(argv[++i]);
        } else if (arg == "moving") {
            shapes.push_back(Shape::moving);
        } else if (arg == "scrolling") {
            shapes.push_back(Shape::scrolling);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--rounds R] [--cpus LIST] [--load N] [moving|scrolling ...]\n",
                         argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0) || rounds < 1 || load < 0) return 2;
    if (shapes.empty()) shapes = {Shape::moving, Shape::scrolling};
    const auto measured = parseCPUs(cpuText);
    if (!measured) {
        std::fprintf(stderr, "--cpus: a list such as 6,7 or 2-7\n");
        return 2;
    }
    // This process and what it starts (Xvfb, openbox, the drawing client, the Viewer) keep off
    // the measured CPUs when others are left.
    cpu_set_t own;
    CPU_ZERO(&own);
    sched_getaffinity(0, sizeof own, &own);
    cpu_set_t rest;
    CPU_ZERO(&rest);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &own) && !CPU_ISSET(cpu, &*measured)) CPU_SET(cpu, &rest);
    }
    if (CPU_COUNT(&rest) > 0) sched_setaffinity(0, sizeof rest, &rest);

    test::VirtualXServer server(std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24");
    if (!server.running()) {
        std::fprintf(stderr, "no Xvfb: %s\n", server.reason().c_str());
        return 1;
    }
    if (!server.startWindowManager()) std::fprintf(stderr, "warning: no window manager (openbox)\n");
    server.movePointer(900, 500);  // over the client window, drawn into both pictures
    bench::RedrawingWindow drawer(server.name(), "x11_live_bench");
    if (!drawer.start()) {
        std::fprintf(stderr, "the drawing client could not start\n");
        return 1;
    }
    std::printf("drawing client: %s\n", drawer.managed() ? "managed by openbox" : "placed itself (override-redirect)");
    {
        Child probe;
        if (!probe.spawn({"ffmpeg", "-hide_banner", "-version"}, own) || !probe.readLine()) {
            std::fprintf(stderr, "no ffmpeg (apt-get install -y ffmpeg)\n");
            return 1;
        }
    }

    struct Row {
        Shape shape;
        std::vector<Sample> host, ffmpeg;
    };
    std::vector<Row> rows;
    const double loadBefore = loadAverage();
    for (const auto shape : shapes) {
        drawer.setShape(shape);
        Row row{shape, {}, {}};
        for (int round = 0; round < rounds; ++round) {
            // Alternate which side goes first, so neither always follows the other.
            for (int turn = 0; turn < 2; ++turn) {
                const bool hostTurn = (turn == 0) == (round % 2 == 0);
                Load spinners(load, *measured);
                drawer.takeTicks();
                auto sample = hostTurn ? measureHost(server.name(), *measured, seconds)
                                       : measureFFmpeg(server.name(), *measured, seconds);
                if (!sample) {
                    std::fprintf(stderr, "%s: the %s run failed\n", shapeName(shape), hostTurn ? "host" : "ffmpeg");
                    return 1;
                }
                const auto [ticks, missed] = drawer.takeTicks();
                sample->drawTicks = ticks;
                sample->drawMissed = missed;
                std::printf("%-9s round %d %-6s  %5.1f fps  CPU %5.1f %%  %6.2f ms/frame  %5.2f Mbit/s  drawer missed %lld/%lld\n",
                            shapeName(shape), round + 1, hostTurn ? "host" : "ffmpeg", sample->fps,
                            sample->cpuShare * 100, sample->cpuMsPerFrame, sample->mbps,
                            static_cast<long long>(missed), static_cast<long long>(ticks));
                if (sample->statSeconds > 0) {
                    std::printf("    host capture over %lld s: %.1f captured/s, %.1f encoded/s, %.1f dropped/s\n",
                                sample->statSeconds, static_cast<double>(sample->captured) / sample->statSeconds,
                                static_cast<double>(sample->encoded) / sample->statSeconds,
                                static_cast<double>(sample->dropped) / sample->statSeconds);
                }
                std::vector<std::pair<double, std::string>> threads;
                for (const auto& [name, used] : sample->threads) threads.emplace_back(used, name);
                std::sort(threads.rbegin(), threads.rend());
                std::string line;
                for (const auto& [used, name] : threads) {
                    if (used < 0.05 * sample->seconds / 10) continue;
                    char part[96];
                    std::snprintf(part, sizeof part, "%s%s %.1f%%", line.empty() ? "" : ", ", name.c_str(),
                                  used / sample->seconds * 100);
                    line += part;
                }
                std::printf("    threads (%% of one CPU): %s\n", line.c_str());
                std::fflush(stdout);
                (hostTurn ? row.host : row.ffmpeg).push_back(*sample);
            }
        }
        rows.push_back(std::move(row));
    }

    const int cpuCount = CPU_COUNT(&*measured);
    std::printf("\nMeasured side on CPUs %s (%d), %d spinning process(es) there; %d rounds of %.0f s from %.0f s after "
                "the first frame; load average %.1f -> %.1f\n",
                cpuText.c_str(), cpuCount, load, rounds, seconds, kWarmupSeconds, loadBefore, loadAverage());
    std::printf("%-10s %-7s %-20s %-20s %-22s %-20s\n", "shape", "side", "fps", "CPU % of CPUs", "CPU ms/frame",
                "Mbit/s");
    for (const auto& row : rows) {
        for (int side = 0; side < 2; ++side) {
            const auto& samples = side == 0 ? row.host : row.ffmpeg;
            std::vector<double> fps, cpu, perFrame, mbps;
            for (const auto& s : samples) {
                fps.push_back(s.fps);
                cpu.push_back(s.cpuShare * 100);
                perFrame.push_back(s.cpuMsPerFrame);
                mbps.push_back(s.mbps);
            }
            std::printf("%-10s %-7s %-20s %-20s %-22s %-20s\n", shapeName(row.shape), side == 0 ? "host" : "ffmpeg",
                        spread(fps, "%.1f").c_str(), spread(cpu, "%.1f").c_str(), spread(perFrame, "%.2f").c_str(),
                        spread(mbps, "%.2f").c_str());
        }
        std::vector<double> cpuRatios, frameRatios;
        for (std::size_t i = 0; i < std::min(row.host.size(), row.ffmpeg.size()); ++i) {
            if (row.ffmpeg[i].cpuShare > 0) cpuRatios.push_back(row.host[i].cpuShare / row.ffmpeg[i].cpuShare);
            if (row.ffmpeg[i].cpuMsPerFrame > 0) frameRatios.push_back(row.host[i].cpuMsPerFrame / row.ffmpeg[i].cpuMsPerFrame);
        }
        std::printf("%-10s host/ffmpeg per round: CPU share %s, CPU per frame %s\n", shapeName(row.shape),
                    spread(cpuRatios, "%.2fx").c_str(), spread(frameRatios, "%.2fx").c_str());
    }
    return 0;
}
