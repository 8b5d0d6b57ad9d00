#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostAudioServerState.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/PulseAudio.h"
#include "support/PulseAudioServer.h"

namespace qm {
namespace {

using PulseServer = test::PulseAudioServer;

// Busy threads on half the cores, for as long as they live.
class CpuHogs {
public:
    CpuHogs() {
        for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency() / 2); ++i) {
            threads_.emplace_back([this] {
                volatile std::uint64_t x = 0;
                while (!stop_.load(std::memory_order_relaxed)) x = x + 1;
            });
        }
    }
    ~CpuHogs() {
        stop_ = true;
        for (auto& t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

TEST(PulseAudio, WithoutASoundServerMuteIsUnavailableNotDone) {
    const char* previous = std::getenv("PULSE_SERVER");
    const std::string saved = previous ? previous : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/quillmere-test/native", 1);
    auto devices = PulseAudioOutputDevices::connectWhenNeeded(std::make_shared<PulseAudioRouting>());
    ASSERT_TRUE(devices);
    HostOutputMuteController controller(devices, nullptr);
    EXPECT_EQ(controller.muteForExclusiveListening(), "Host output mute unavailable (no default output device)");
    EXPECT_FALSE(controller.lastOperationSucceeded());
    EXPECT_FALSE(devices->setVolumeScalar(1, 0, 0.0f));
    if (previous) {
        setenv("PULSE_SERVER", saved.c_str(), 1);
    } else {
        unsetenv("PULSE_SERVER");
    }
}

// A tone played into the sink is found in the Opus stream a Viewer receives, and with every core
// busy the packets stay exactly 20 ms apart: they are stamped from the stream position, not from
// when the capture thread got to run.
TEST(PulseAudio, TheSinkToneReachesTheOpusStreamWithPacketTimesThatFollowTheSound) {
    PulseServer server;
    if (!server.devices()) GTEST_SKIP() << "no PulseAudio server could be started (Debian package pulseaudio)";

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
    PulseServer::TonePlayer player(frequency, 0.4);
    ASSERT_TRUE(player.started());

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
    }, std::chrono::seconds(15));
    EXPECT_NEAR(found, frequency, frequency * 0.01);

    std::size_t offSteps = 0, steps = 0;
    {
        CpuHogs hogs;
        const std::size_t from = connection->audioFrames().size();
        test::waitUntil([&] { return connection->audioFrames().size() >= from + 301; }, std::chrono::seconds(60));
        const auto frames = connection->audioFrames();
        ASSERT_GE(frames.size(), from + 301);
        std::uint64_t last = 0;
        for (std::size_t i = from; i < from + 301; ++i) {
            const auto header = AuxPacketHeader::decode(*frames[i]);
            ASSERT_TRUE(header);
            if (i > from) {
                ++steps;
                const auto step = static_cast<std::int64_t>(header->timestampNs - last);
                if (std::llabs(step - 20'000'000) > 1'000) {
                    ++offSteps;
                    ADD_FAILURE() << "step " << i - from << " is " << step << " ns";
                }
            }
            last = header->timestampNs;
        }
    }
    queue->sync([&] { audio->stopForTermination(); });
    queue->shutdown();
    EXPECT_EQ(steps, 300u);
    EXPECT_EQ(offSteps, 0u) << "packet-time steps off 20 ms";
}

}  // namespace
}  // namespace qm
