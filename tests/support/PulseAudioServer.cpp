#include "support/PulseAudioServer.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <pulse/simple.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

extern char** environ;

namespace qm::test {

PulseAudioServer::PulseAudioServer() {
    const std::string runtime = dir_.path().string();
    setenv("PULSE_SERVER", ("unix:" + (dir_.path() / "native").string()).c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("HOME", runtime.c_str(), 1);
    if (!start()) return;
    std::string error;
    waitUntil([&] { return (devices_ = PulseAudioOutputDevices::connect(error)) != nullptr; }, std::chrono::seconds(10));
}

bool PulseAudioServer::start() {
    const std::string socket = (dir_.path() / "native").string();
    std::vector<std::string> args = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                     "--disable-shm=yes", "--log-target=stderr", "--log-level=0",
                                     "-L", std::string("module-null-sink sink_name=") + sinkName + " rate=48000",
                                     "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), environ) != 0) {
        pid_ = 0;
        return false;
    }
    return true;
}

void PulseAudioServer::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
    }
}

bool PulseAudioServer::restart() {
    stop();
    if (!start()) return false;
    std::string error;
    return waitUntil([&] { return PulseAudioOutputDevices::connect(error) != nullptr; }, std::chrono::seconds(10));
}

PulseAudioServer::~PulseAudioServer() {
    devices_.reset();
    stop();
    unsetenv("PULSE_SERVER");
}

double PulseAudioServer::speakerLevel() {
    pa_sample_spec sampleFormat{};
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = 48000;
    sampleFormat.channels = 2;
    int error = 0;
    const std::string source = std::string(sinkName) + ".monitor";
    pa_simple* simple = pa_simple_new(nullptr, "qm-test-speaker", PA_STREAM_RECORD, source.c_str(), "speaker level",
                                      &sampleFormat, nullptr, nullptr, &error);
    if (!simple) return -1;
    std::vector<float> samples(19200 * 2);
    const bool read = pa_simple_read(simple, samples.data(), samples.size() * sizeof(float), &error) >= 0;
    pa_simple_free(simple);
    if (!read) return -1;
    double sum = 0;
    const std::size_t from = samples.size() / 2;
    for (std::size_t i = from; i < samples.size(); ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(samples.size() - from));
}

std::string PulseAudioServer::run(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
        pclose(pipe);
    }
    return output;
}

PulseAudioServer::TonePlayer::TonePlayer(double frequency, double amplitude) {
    const std::string command = std::string("pacat --playback --device=") + sinkName +
                                " --format=float32le --rate=48000 --channels=2 --raw";
    pipe_ = popen(command.c_str(), "w");
    if (!pipe_) return;
    writer_ = std::thread([this, frequency, amplitude] {
        std::vector<float> tone(4800 * 2);  // 100 ms at a time
        std::size_t sample = 0;
        while (playing_.load()) {
            for (std::size_t i = 0; i < tone.size() / 2; ++i, ++sample) {
                tone[2 * i] = tone[2 * i + 1] = static_cast<float>(
                    amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(sample) / 48000));
            }
            if (fwrite(tone.data(), sizeof(float), tone.size(), pipe_) != tone.size()) break;
            fflush(pipe_);
        }
    });
}

PulseAudioServer::TonePlayer::~TonePlayer() {
    playing_.store(false);
    if (writer_.joinable()) writer_.join();
    if (pipe_) pclose(pipe_);
}

}  // namespace qm::test
