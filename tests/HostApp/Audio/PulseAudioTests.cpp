#include <gtest/gtest.h>

#include <cmath>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostAudioServerState.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/PulseAudio.h"
#include "support/PulseAudioServer.h"

namespace qm {
namespace {

using PulseServer = test::PulseAudioServer;

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
    queue->sync([&] { audio->stopForTermination(); });
    queue->shutdown();
    EXPECT_NEAR(found, frequency, frequency * 0.01);
}

}  // namespace
}  // namespace qm
