// System audio over real TCP: a Viewer that follows the wire format document enables audio,
// decodes the Opus packets it receives and hears the Host's sound; exclusive listening and the
// Host output mute, on the simulated devices and on a real PulseAudio server.
#include <gtest/gtest.h>

#include "Platform/Linux/PulseAudio.h"
#include "support/AudioAnalysis.h"
#include "support/LiveServer.h"
#include "support/PulseAudioServer.h"
#include "support/TestViewer.h"

namespace ServerLiveAudioTests {

using namespace qm;
using namespace qm::test;

namespace {

constexpr std::uint64_t frameSpacingNs = 20'000'000;

// audioControl as the document lays it out: one flags byte.
Bytes audioControl(std::uint8_t flags) { return Bytes{flags}; }

// A Viewer with both connections signed in: video capture (and with it audio capture) starts
// once a video session is there.
struct ListeningViewer {
    TestViewer control;
    TestViewer video;
    explicit ListeningViewer(LiveServer& live) : control(live.ports().control), video(live.ports().video) {}
    bool signIn(const std::string& name) {
        auto a = control.signIn(LiveServer::user, LiveServer::password, name);
        auto b = video.signIn(LiveServer::user, LiveServer::password, name);
        return a && a->accepted && b && b->accepted;
    }
};

bool signedIn(TestViewer& viewer, const std::string& name) {
    auto result = viewer.signIn(LiveServer::user, LiveServer::password, name);
    return result && result->accepted;
}

// Waits for `count` more packets than the Viewer has had so far and returns what they carried.
ReceivedAudio nextAudio(TestViewer& viewer, std::size_t count) {
    viewer.takeAudio();
    viewer.waitForAudioPackets(viewer.audioPacketCount() + count, std::chrono::seconds(15));
    return viewer.takeAudio();
}

// Header checks every audio packet must pass: type 6 is implied by where the Viewer filed it.
void expectOneRunOfFrames(const ReceivedAudio& audio) {
    ASSERT_GE(audio.headers.size(), 2u);
    for (std::size_t i = 0; i < audio.headers.size(); ++i) {
        EXPECT_EQ(audio.headers[i].flags, 1) << i;
        EXPECT_GE(audio.headers[i].payloadLength, 1u) << i;
        EXPECT_LE(audio.headers[i].payloadLength, 4000u) << i;
        if (i > 0) {
            EXPECT_EQ(audio.headers[i].timestampNs - audio.headers[i - 1].timestampNs, frameSpacingNs) << i;
        }
    }
    EXPECT_EQ(audio.decodeFailures, 0u);
    EXPECT_EQ(audio.left.size(), audio.headers.size() * 960) << "every packet holds 960 samples per channel";
}

std::vector<float> lastSamples(const std::vector<float>& samples, std::size_t count) {
    if (samples.size() < count) return samples;
    return {samples.end() - static_cast<std::ptrdiff_t>(count), samples.end()};
}

}  // namespace

TEST(ServerLiveAudio, AViewerDecodesTheHostToneAndExclusiveListeningMovesItToOneViewerAndBack) {
    LiveServer live;
    SimulatedAudioCapture::Script script;
    script.toneFrequency = 997;
    script.toneAmplitude = 0.3;
    live.simulatedAudio()->setScript(script);

    ListeningViewer first(live);
    ASSERT_TRUE(first.signIn("First Viewer"));
    TestViewer second(live.ports().control);
    ASSERT_TRUE(signedIn(second, "Second Viewer"));

    // Signing in is not enough: a Viewer asks for audio with one audioControl.
    first.control.send(AuxPacketType::audioControl, audioControl(0x00));
    ASSERT_TRUE(first.control.waitForStatus("audio: "));
    second.send(AuxPacketType::audioControl, audioControl(0x00));
    ASSERT_TRUE(second.waitForStatus("audio: "));

    // A second of one unbroken run: 20 ms apart, decodable, the tone within 1 %.
    nextAudio(first.control, 10);  // past the codec's start-up
    const auto heard = nextAudio(first.control, 50);
    expectOneRunOfFrames(heard);
    const auto tail = lastSamples(heard.left, 24000);
    ASSERT_TRUE(peaksEveryChunk(tail, 480, 0.2f)) << "the tone must not drop out";
    EXPECT_NEAR(estimateFrequency(tail, 48000), script.toneFrequency, script.toneFrequency * 0.01);
    EXPECT_NEAR(estimateFrequency(lastSamples(heard.right, 24000), 48000), script.toneFrequency,
                script.toneFrequency * 0.01);
    // Both Viewers hear the same stream.
    EXPECT_TRUE(second.waitForAudioPackets(50));

    // Exclusive listening: only the second Viewer hears, and the Host's output is silenced.
    second.send(AuxPacketType::audioControl, audioControl(0x01));
    ASSERT_TRUE(second.waitForStatus("audio: listening here only enabled"));
    nextAudio(second, 5);  // packets already on their way to the first Viewer land meanwhile
    const auto firstCount = first.control.audioPacketCount();
    expectOneRunOfFrames(nextAudio(second, 25));
    EXPECT_EQ(first.control.audioPacketCount(), firstCount);
    EXPECT_EQ(live.simulatedOutputDevices()->device(40)->elements.at(0).mute, 1u);

    // Clearing the bit gives audio back to everyone and the output its sound.
    second.send(AuxPacketType::audioControl, audioControl(0x00));
    ASSERT_TRUE(second.waitForStatus("audio: listening here only disabled"));
    EXPECT_TRUE(first.control.waitForAudioPackets(firstCount + 25));
    EXPECT_EQ(live.simulatedOutputDevices()->device(40)->elements.at(0).mute, 0u);
    const auto again = nextAudio(first.control, 25);
    expectOneRunOfFrames(again);
    EXPECT_NEAR(estimateFrequency(lastSamples(again.left, 9600), 48000), script.toneFrequency,
                script.toneFrequency * 0.01);
}

TEST(ServerLiveAudio, ANewViewerHearsOnlyAfterAnAudioControlAndTheStatisticsCarryTheAudioFigures) {
    const WritingLogDetail statistics;  // "audio stats" comes once a second
    LiveServer live;
    ListeningViewer first(live);
    ASSERT_TRUE(first.signIn("First Viewer"));
    first.control.send(AuxPacketType::audioControl, audioControl(0x00));
    ASSERT_TRUE(first.control.waitForAudioPackets(5, std::chrono::seconds(15)));

    // Signing in alone does not put the second Viewer on the send list.
    TestViewer second(live.ports().control);
    ASSERT_TRUE(signedIn(second, "Second Viewer"));
    nextAudio(first.control, 25);
    EXPECT_EQ(second.audioPacketCount(), 0u);
    second.send(AuxPacketType::audioControl, audioControl(0x00));
    ASSERT_TRUE(second.waitForStatus("audio: "));
    EXPECT_TRUE(second.waitForAudioPackets(5, std::chrono::seconds(15)));

    // The one-second statistics report what was sent.
    ASSERT_TRUE(live.waitForStatus("audio stats packets=", std::chrono::seconds(15)));
    bool sawPackets = false;
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& line : live.statuses()) {
            if (line.rfind("audio stats packets=", 0) == 0 && line.rfind("audio stats packets=0 ", 0) != 0) sawPackets = true;
        }
        return sawPackets;
    }, std::chrono::seconds(15)));
}

// The tone the speakers play reaches the Viewer; muting the Host's output quiets the speakers and
// not the Viewer; after the sound server restarts, capture and mute work again.
TEST(ServerLiveAudio, MutingQuietsTheSpeakersNotTheViewerAndBothSurviveASoundServerRestart) {
    PulseAudioServer pulse;
    if (!pulse.devices()) GTEST_SKIP() << "no PulseAudio server could be started (Debian package pulseaudio)";

    auto routing = std::make_shared<PulseAudioRouting>();
    LiveServer::Setup setup;
    setup.audioCapture = std::make_shared<PulseAudioCapture>(std::make_shared<SimulatedDisplayService>(), routing);
    setup.audioOutputDevices = PulseAudioOutputDevices::connectWhenNeeded(routing);
    LiveServer live(setup);
    ListeningViewer viewer(live);
    ASSERT_TRUE(viewer.signIn("Pulse Viewer"));
    viewer.control.send(AuxPacketType::audioControl, audioControl(0x00));
    ASSERT_TRUE(viewer.control.waitForStatus("audio: "));

    const double frequency = 660;
    auto player = std::make_unique<PulseAudioServer::TonePlayer>(frequency, 0.4);
    ASSERT_TRUE(player->started());
    // True once half a second of newly received audio holds the tone in every 10 ms.
    const auto hearsTone = [&](std::chrono::seconds timeout) {
        viewer.control.takeAudio();
        std::vector<float> left;
        double found = 0;
        waitUntil([&] {
            auto audio = viewer.control.takeAudio();
            left.insert(left.end(), audio.left.begin(), audio.left.end());
            const auto tail = lastSamples(left, 24000);
            if (left.size() < 24000 || !peaksEveryChunk(tail, 480, 0.2f)) return false;
            found = estimateFrequency(tail, 48000);
            return true;
        }, timeout);
        return std::abs(found - frequency) < frequency * 0.01;
    };
    const auto speakersQuiet = [] {
        return waitUntil([] {
            const double level = PulseAudioServer::speakerLevel();
            return level >= 0 && level < 0.01;
        });
    };
    const auto speakersPlay = [] { return waitUntil([] { return PulseAudioServer::speakerLevel() > 0.1; }); };
    EXPECT_TRUE(hearsTone(std::chrono::seconds(15)));
    EXPECT_TRUE(speakersPlay());

    viewer.control.send(AuxPacketType::audioControl, audioControl(0x04));
    ASSERT_TRUE(viewer.control.waitForStatus("audio: Host output muted for Pulse Viewer"));
    EXPECT_TRUE(speakersQuiet());
    EXPECT_TRUE(hearsTone(std::chrono::seconds(15))) << "the Viewer keeps the sound while the Host is quiet";
    // The sink's own mute switch is left alone.
    EXPECT_EQ(PulseAudioServer::run("pactl get-sink-mute qmtest"), "Mute: no\n");

    viewer.control.send(AuxPacketType::audioControl, audioControl(0x00));
    ASSERT_TRUE(viewer.control.waitForStatus("audio: Host output restored for Pulse Viewer"));
    EXPECT_TRUE(speakersPlay());
    EXPECT_TRUE(hearsTone(std::chrono::seconds(15)));

    // The sound server restarts under the Host.
    player.reset();
    ASSERT_TRUE(pulse.restart());
    player = std::make_unique<PulseAudioServer::TonePlayer>(frequency, 0.4);
    ASSERT_TRUE(player->started());
    EXPECT_TRUE(hearsTone(std::chrono::seconds(40))) << "capture comes back without restarting the Host";
    viewer.control.send(AuxPacketType::audioControl, audioControl(0x04));
    EXPECT_TRUE(speakersQuiet()) << "mute works again";
    EXPECT_TRUE(hearsTone(std::chrono::seconds(15)));

    // A Viewer that leaves while holding the mute gives the speakers their sound back.
    viewer.control.disconnect();
    EXPECT_TRUE(speakersPlay());
}

}  // namespace ServerLiveAudioTests
