#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostAudioServerState.h"
#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Linux/PulseAudio.h"
#include "support/PulseAudioServer.h"

namespace qm {
namespace PulseAudioTests {
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

// The Host's audio road from the real sound server's monitor to the packets one Viewer receives.
struct LiveAudioRoad {
    std::shared_ptr<AsioDispatchQueue> queue = std::make_shared<AsioDispatchQueue>("v230.host.audio.aux");
    std::shared_ptr<test::RecordingConnection> connection = std::make_shared<test::RecordingConnection>();
    std::shared_ptr<HostAudioServerState> audio;

    explicit LiveAudioRoad(const PulseServer& server) {
        const UUID viewer = UUID::random();
        HostAudioEnvironment env;
        env.serverQueue = queue;
        env.makeQueue = [](const std::string& label) { return std::make_shared<AsioDispatchQueue>(label); };
        env.clock = SystemClock::shared();
        env.audioCapture = std::make_shared<PulseAudioCapture>(std::make_shared<SimulatedDisplayService>());
        env.outputDevices = server.devices();
        env.publish = [](const std::string&) {};
        env.authorizedAudioSessions = [viewer] { return std::vector<UUID>{viewer}; };
        env.audioConnection = [connection = connection](const UUID&) { return connection; };
        env.audioDisplay = [] { return HostAudioEnvironment::AudioDisplay{1, 1}; };
        audio = HostAudioServerState::create(env);
        queue->sync([&] {
            audio->updateAudioSendConnections();
            audio->startAudioCapture();
        });
    }
    ~LiveAudioRoad() {
        queue->sync([&] { audio->stopForTermination(); });
        queue->shutdown();
    }
};

// A tone played into the sink is found in the Opus stream a Viewer receives, and with every core
// busy the packets stay exactly 20 ms apart: they are stamped from the stream position, not from
// when the capture thread got to run.
TEST(PulseAudio, TheSinkToneReachesTheOpusStreamWithPacketTimesThatFollowTheSound) {
    PulseServer server;
    if (!server.devices()) GTEST_SKIP() << "no PulseAudio server could be started (Debian package pulseaudio)";
    LiveAudioRoad road(server);
    auto connection = road.connection;

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

    // The steps are judged from two seconds on, with every core busy (the start has a test of
    // its own below).
    const std::size_t settled = connection->audioFrames().size() + 100;
    ASSERT_TRUE(test::waitUntil([&] { return connection->audioFrames().size() >= settled; }, std::chrono::seconds(30)));
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
    EXPECT_EQ(steps, 300u);
    EXPECT_EQ(offSteps, 0u) << "packet-time steps off 20 ms";
}

// A click played into the sink is found in the Opus stream in the packet stamped with the time it
// was played (the first latencies a monitor stream reports are far off; the stamps must not
// follow them). When each click plays comes from the sound server's own account of the playback
// stream: what it still held, just after the click was written, before the click's end plays.
TEST(PulseAudio, AClickIsStampedWithTheTimeItWasPlayed) {
    PulseServer server;
    if (!server.devices()) GTEST_SKIP() << "no PulseAudio server could be started (Debian package pulseaudio)";
    LiveAudioRoad road(server);

    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, 48000, 2};
    pa_buffer_attr attr{};
    attr.maxlength = attr.prebuf = attr.minreq = attr.fragsize = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(50'000, &format));
    int error = 0;
    pa_simple* player = pa_simple_new(nullptr, "qm-test-click", PA_STREAM_PLAYBACK, PulseServer::sinkName, "click",
                                      &format, nullptr, &attr, &error);
    ASSERT_TRUE(player) << pa_strerror(error);
    constexpr std::size_t blockFrames = 480;
    std::vector<float> silence(blockFrames * 2, 0.0f), click(blockFrames * 2, 0.0f);
    std::fill(click.begin(), click.begin() + 96, 0.8f);  // 1 ms at the start of the block
    // The server takes blocks at the pace it plays them.
    auto play = [&](const std::vector<float>& block, int times) {
        for (int i = 0; i < times; ++i)
            if (pa_simple_write(player, block.data(), block.size() * sizeof(float), &error) != 0) return false;
        return true;
    };
    ASSERT_TRUE(play(silence, 100));
    ASSERT_TRUE(test::waitUntil([&] { return road.connection->audioFrames().size() >= 25; }, std::chrono::seconds(20)));
    std::vector<std::int64_t> playedNs;
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(play(silence, 100));  // a second apart, and past the capture's first half second
        ASSERT_TRUE(play(click, 1));
        const pa_usec_t heldUs = pa_simple_get_latency(player, &error);
        const auto nowNs = static_cast<std::int64_t>(SystemClock::shared()->uptimeNs());
        ASSERT_NE(heldUs, static_cast<pa_usec_t>(-1)) << pa_strerror(error);
        playedNs.push_back(nowNs + static_cast<std::int64_t>(heldUs) * 1000 - 10'000'000);
    }
    ASSERT_TRUE(play(silence, 50));
    pa_simple_free(player);

    // Each packet decodes to 960 samples: sample n lies in packet n / 960.
    test::OpusTestDecoder decoder;
    std::vector<std::uint64_t> packetTimes;
    std::vector<std::int64_t> heardNs;
    std::size_t scanned = 0;
    test::waitUntil([&] {
        const auto frames = road.connection->audioFrames();
        for (std::size_t i = packetTimes.size(); i < frames.size(); ++i) {
            const auto& frame = *frames[i];
            packetTimes.push_back(AuxPacketHeader::decode(frame)->timestampNs);
            if (decoder.decode(frame.data() + AuxPacketHeader::size, frame.size() - AuxPacketHeader::size) != 960)
                return true;
        }
        for (; scanned < decoder.left.size(); ++scanned) {
            if (std::fabs(decoder.left[scanned]) < 0.3f) continue;
            const auto atNs = static_cast<std::int64_t>(packetTimes[scanned / 960]) +
                              static_cast<std::int64_t>(scanned % 960) * 62'500 / 3;
            if (heardNs.empty() || atNs - heardNs.back() > 500'000'000) heardNs.push_back(atNs);
        }
        return heardNs.size() >= playedNs.size();
    }, std::chrono::seconds(20));
    ASSERT_EQ(decoder.left.size(), packetTimes.size() * 960) << "every packet decoded to 20 ms";
    ASSERT_EQ(heardNs.size(), playedNs.size());
    std::vector<std::int64_t> offsets;
    for (std::size_t k = 0; k < playedNs.size(); ++k) offsets.push_back(heardNs[k] - playedNs[k]);
    std::vector<std::int64_t> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    // The median of three: one click written while this thread was held up cannot decide it.
    EXPECT_LT(std::llabs(sorted[1]), 50'000'000) << "stamps off the played time by " << offsets[0] << ", "
                                                  << offsets[1] << ", " << offsets[2] << " ns";
}

// From the first packet on, the stamps are 20 ms apart and never jump, also when the capture
// starts while nothing plays: the sound server's latency reports for a new stream are then stale
// (0.07-0.7 s against a true 0) for a second or more, and must neither place the first packets
// early nor move the stamps once they settle. Where the first packets are placed is judged
// against this run's own later packets: each is handed over a packet's length and some
// processing after its capture, about as long after its stamp as the later ones.
TEST(PulseAudio, TheFirstPacketsAreStampedWhenCapturedAndNeverJump) {
    PulseServer server;
    if (!server.devices()) GTEST_SKIP() << "no PulseAudio server could be started (Debian package pulseaudio)";
    LiveAudioRoad road(server);
    ASSERT_TRUE(test::waitUntil([&] { return road.connection->audioStampsAndArrivals().size() >= 150; },
                                std::chrono::seconds(30)));
    const auto packets = road.connection->audioStampsAndArrivals();

    std::size_t offSteps = 0;
    for (std::size_t i = 1; i < packets.size(); ++i) {
        const auto step = static_cast<std::int64_t>(packets[i].first - packets[i - 1].first);
        if (std::llabs(step - 20'000'000) > 1'000 && ++offSteps <= 3) ADD_FAILURE() << "step " << i << " is " << step << " ns";
    }
    EXPECT_EQ(offSteps, 0u) << "packet-time steps off 20 ms";

    // The least delay of the first ten packets against the usual delay of packets two and three
    // seconds in: the first ones placed early would seem to arrive late by as much.
    auto delay = [&](std::size_t i) {
        return static_cast<std::int64_t>(packets[i].second) - static_cast<std::int64_t>(packets[i].first);
    };
    std::int64_t firstDelay = delay(0);
    for (std::size_t i = 1; i < 10; ++i) firstDelay = std::min(firstDelay, delay(i));
    std::vector<std::int64_t> later;
    for (std::size_t i = 100; i < 150; ++i) later.push_back(delay(i));
    std::sort(later.begin(), later.end());
    const std::int64_t usualDelay = later[later.size() / 2];
    EXPECT_GT(firstDelay, 0) << "a packet handed over before it was captured";
    EXPECT_LT(firstDelay - usualDelay, 50'000'000)
        << "the first packets are placed " << (firstDelay - usualDelay) / 1'000'000 << " ms earlier than the later ones";
}

}  // namespace
}  // namespace PulseAudioTests
}  // namespace qm
