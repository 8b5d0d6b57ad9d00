#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostAudioServerState.h"
#include "Platform/AsioDispatchQueue.h"
#include "Platform/PulseAudio.h"

extern char** environ;

namespace qm {
namespace {

// A private PulseAudio server with one null sink, on a socket of its own.
class PulseServer {
public:
    PulseServer() {
        const std::string socket = (dir_.path() / "native").string();
        const std::string runtime = dir_.path().string();
        setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("HOME", runtime.c_str(), 1);
        std::vector<std::string> args = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                         "--disable-shm=yes", "--log-target=stderr", "--log-level=0",
                                         "-L", "module-null-sink sink_name=qmtest rate=48000",
                                         "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = 0;
            return;
        }
        std::string error;
        test::waitUntil([&] { return (devices_ = PulseAudioOutputDevices::connect(error)) != nullptr; },
                        std::chrono::seconds(10));
    }
    ~PulseServer() {
        devices_.reset();
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    std::shared_ptr<PulseAudioOutputDevices> devices() const { return devices_; }

    // Runs a program with the server's environment and returns its standard output.
    static std::string run(const std::string& command) {
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[256];
            while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
            pclose(pipe);
        }
        return output;
    }

private:
    test::TemporaryDirectory dir_;
    pid_t pid_ = 0;
    std::shared_ptr<PulseAudioOutputDevices> devices_;
};

TEST(PulseAudio, CapturesTheSinkMonitorAndMutesTheSink) {
    PulseServer server;
    if (!server.devices()) GTEST_SKIP() << "no PulseAudio server could be started (Debian package pulseaudio)";

    // Mute and restore through the Host's output controller show in pactl.
    HostOutputMuteController controller(server.devices(), nullptr);
    EXPECT_EQ(controller.muteForExclusiveListening(), "Host output muted");
    EXPECT_EQ(PulseServer::run("pactl get-sink-mute qmtest"), "Mute: yes\n");
    EXPECT_EQ(controller.restoreAfterExclusiveListening(), "Host output restored");
    EXPECT_EQ(PulseServer::run("pactl get-sink-mute qmtest"), "Mute: no\n");

    // Play a tone into the sink and find it in the Opus stream a Viewer receives.
    auto displays = std::make_shared<SimulatedDisplayService>();
    auto queue = std::make_shared<AsioDispatchQueue>("v230.host.audio.aux");
    auto connection = std::make_shared<test::RecordingConnection>();
    const UUID viewer = UUID::random();
    HostAudioEnvironment env;
    env.serverQueue = queue;
    env.makeQueue = [](const std::string& label) { return std::make_shared<AsioDispatchQueue>(label); };
    env.clock = SystemClock::shared();
    env.audioCapture = std::make_shared<PulseAudioCapture>(displays);
    env.outputDevices = server.devices();
    env.publish = [](const std::string&) {};
    env.authorizedAudioSessions = [viewer] { return std::vector<UUID>{viewer}; };
    env.audioConnection = [connection](const UUID&) { return connection; };
    env.audioDisplay = [] { return HostAudioEnvironment::AudioDisplay{1, 1}; };
    auto audio = HostAudioServerState::create(env);
    queue->sync([&] {
        audio->updateAudioSendConnections();
        audio->startAudioCapture();
    });

    const double frequency = 660;
    const std::string command = "pacat --playback --device=qmtest --format=float32le --rate=48000 --channels=2 --raw";
    FILE* player = popen(command.c_str(), "w");
    ASSERT_NE(player, nullptr);
    // The tone plays until it is found: a busy machine may leave gaps early on, which must not
    // decide the test. Writes block on the pipe, so pacat paces them.
    std::atomic<bool> playing{true};
    std::thread writer([&] {
        std::vector<float> tone(4800 * 2);
        std::size_t sample = 0;
        while (playing.load()) {
            for (std::size_t i = 0; i < tone.size() / 2; ++i, ++sample) {
                tone[2 * i] = tone[2 * i + 1] =
                    static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(sample) / 48000));
            }
            if (fwrite(tone.data(), sizeof(float), tone.size(), player) != tone.size()) break;
            fflush(player);
        }
    });

    test::OpusTestDecoder decoder;
    std::size_t decoded = 0;
    double found = 0;
    test::waitUntil([&] {
        const auto frames = connection->audioFrames();
        for (; decoded < frames.size(); ++decoded) {
            const auto& frame = *frames[decoded];
            decoder.decode(frame.data() + AuxPacketHeader::size, frame.size() - AuxPacketHeader::size);
        }
        // The last half second, once the tone fills every 10 ms of it.
        if (decoder.left.size() < 48000) return false;  // past the codec's start-up
        const std::vector<float> tail(decoder.left.end() - 24000, decoder.left.end());
        for (std::size_t chunk = 0; chunk < tail.size(); chunk += 480) {
            float peak = 0;
            for (std::size_t i = chunk; i < chunk + 480; ++i) peak = std::max(peak, std::fabs(tail[i]));
            if (peak < 0.2f) return false;
        }
        found = test::estimateFrequency(tail, 48000);
        return true;
    }, std::chrono::seconds(20));
    playing.store(false);
    writer.join();
    pclose(player);
    queue->sync([&] { audio->stopForTermination(); });
    queue->shutdown();
    EXPECT_NEAR(found, frequency, frequency * 0.01);
}

}  // namespace
}  // namespace qm
