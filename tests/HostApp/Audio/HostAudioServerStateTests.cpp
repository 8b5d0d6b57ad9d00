#include <gtest/gtest.h>

#include "AudioTestSupport.h"

namespace qm {
namespace HostAudioServerStateTests {
namespace {

using test::AudioHarness;
using Strings = std::vector<std::string>;

TEST(HostAudioControl, RepliesFollowTheRequestedWish) {
    AudioHarness h;
    const UUID a = h.addViewer("Anna");
    const UUID stranger = h.addViewer("Eve", false);

    h.control(stranger, 0x05);
    EXPECT_EQ(h.connections[stranger]->statusTexts(), Strings{"audio: session authorization is required"});
    EXPECT_TRUE(h.takePublished().empty());

    h.control(a, 0x00);
    EXPECT_EQ(h.connections[a]->statusTexts(), Strings{"audio: listening here only is not active for this Viewer"});

    // 0x04 from a non-holder mutes and says nothing about exclusive listening.
    h.control(a, 0x04);
    EXPECT_EQ(h.connections[a]->statusTexts().back(), "audio: Host output muted for Anna; Host output muted");
    EXPECT_EQ(h.connections[a]->statusTexts().size(), 2u);
    EXPECT_EQ(h.mainMute(), 1u);
    // Repeated by the holder: nothing to do, so only the "not active" reply.
    h.control(a, 0x04);
    EXPECT_EQ(h.connections[a]->statusTexts().back(), "audio: listening here only is not active for this Viewer");
    EXPECT_EQ(h.devices->writeLog().size(), 1u);
    h.control(a, 0x00);
    EXPECT_EQ(h.connections[a]->statusTexts().back(), "audio: Host output restored for Anna; Host output restored");
    EXPECT_EQ(h.mainMute(), 0u);
}

TEST(HostAudioControl, ExclusiveListeningMovesTheSendListAndBack) {
    AudioHarness h;
    const UUID a = h.addViewer("Anna");
    const UUID b = h.addViewer("Ben");
    h.onServer([&] { h.audio->updateAudioSendConnections(); });
    EXPECT_EQ(h.audio->audioSendConnectionsSnapshot().size(), 2u);

    h.control(a, 0x01);
    EXPECT_EQ(h.audio->audioSendConnectionsSnapshot(), std::vector<ConnectionPtr>{h.connections[a]});
    EXPECT_EQ(h.connections[a]->statusTexts().back(), "audio: listening here only enabled; Host output muted");
    EXPECT_EQ(h.takePublished(), Strings{"exclusive audio enabled for Anna; Host output muted"});
    h.control(a, 0x01);
    EXPECT_EQ(h.takePublished(), Strings{"exclusive audio refreshed for Anna; Host output remains muted for exclusive listening"});

    // Ben takes over; Anna is told and leaves the list.
    h.control(b, 0x01);
    EXPECT_EQ(h.connections[a]->statusTexts().back(),
              "audio: listening here only disabled because another Viewer became exclusive");
    EXPECT_EQ(h.audio->audioSendConnectionsSnapshot(), std::vector<ConnectionPtr>{h.connections[b]});

    // Ben leaves: everyone hears again and the output comes back.
    h.removeViewer(b);
    h.onServer([&] { h.audio->forget(b, true); });
    EXPECT_EQ(h.takePublished().back(), "exclusive audio released: Viewer disconnected; Host output restored");
    EXPECT_EQ(h.audio->audioSendConnectionsSnapshot(), std::vector<ConnectionPtr>{h.connections[a]});
    EXPECT_EQ(h.mainMute(), 0u);

    // An exclusive listener whose connection is gone does not silence the others.
    h.control(a, 0x01);
    h.connections.erase(a);
    h.addViewer("Cleo");
    h.onServer([&] { h.audio->updateAudioSendConnections(); });
    EXPECT_EQ(h.audio->audioSendConnectionsSnapshot().size(), 1u);
}

TEST(HostOutputMute, EveryReleaseOrderRestoresTheOriginalOutput) {
    for (int order = 0; order < 2; ++order) {
        AudioHarness h;
        const UUID a = h.addViewer("Anna");
        h.control(a, 0x05);
        const auto texts = h.connections[a]->statusTexts();
        ASSERT_EQ(texts.size(), 2u);
        EXPECT_EQ(texts[0], "audio: Host output muted for Anna; Host output muted");
        EXPECT_EQ(texts[1], "audio: listening here only enabled; Host output muted");
        EXPECT_EQ(h.mainMute(), 1u);
        if (order == 0) {
            h.control(a, 0x04);  // exclusive released first: the Viewer's mute still holds
            EXPECT_EQ(h.mainMute(), 1u);
            h.control(a, 0x00);
        } else {
            h.control(a, 0x01);  // the Viewer's mute released first
            EXPECT_EQ(h.mainMute(), 1u);
            h.onServer([&] { h.audio->stopForTermination(); });
        }
        EXPECT_EQ(h.mainMute(), 0u) << "order " << order;
    }
    {
        // Two Viewers interleaving: B takes the mute over, A's exclusive listening ends, then B clears.
        AudioHarness h;
        const UUID a = h.addViewer("Anna");
        const UUID b = h.addViewer("Ben");
        h.control(a, 0x04);
        h.control(b, 0x05);
        EXPECT_EQ(h.connections[b]->statusTexts()[0],
                  "audio: Host output muted for Ben; Host output remains muted for exclusive listening");
        h.removeViewer(b);
        h.onServer([&] { h.audio->forget(b, true); });
        EXPECT_EQ(h.mainMute(), 0u);
        EXPECT_EQ(h.takePublished().back(), "audio: viewer Host-output mute released on disconnect; Host output restored");
    }
}

TEST(HostOutputMute, ElementsVolumesAndFailuresAreHandledSoundly) {
    using Device = SimulatedAudioOutputDevices::Device;
    using Element = SimulatedAudioOutputDevices::Element;
    auto controllerFor = [](const std::shared_ptr<SimulatedAudioOutputDevices>& devices) {
        return HostOutputMuteController(devices, nullptr);
    };
    {
        // Per-channel mutes only: every settable channel is changed and saved, and restored.
        auto devices = std::make_shared<SimulatedAudioOutputDevices>();
        Device d;
        d.elements[1] = Element{0, true, std::nullopt, true};
        d.elements[2] = Element{1, true, std::nullopt, true};
        d.elements[3] = Element{0, false, std::nullopt, true};
        devices->setDevice(40, d);
        auto c = controllerFor(devices);
        EXPECT_EQ(c.muteForExclusiveListening(), "Host output muted");
        EXPECT_EQ(devices->writeLog(), (Strings{"40/mute/1=1", "40/mute/2=1"}));
        EXPECT_EQ(c.restoreAfterExclusiveListening(), "Host output restored");
        EXPECT_EQ(*devices->device(40)->elements[1].mute, 0u);
        EXPECT_EQ(*devices->device(40)->elements[2].mute, 1u);
        EXPECT_EQ(c.restoreAfterExclusiveListening(), std::nullopt);
    }
    {
        // No mute: volume to 0 and back, on the saved device even after the default changed.
        auto devices = std::make_shared<SimulatedAudioOutputDevices>();
        Device d;
        d.elements[0] = Element{std::nullopt, true, 0.75f, true};
        devices->setDevice(40, d);
        auto c = controllerFor(devices);
        EXPECT_EQ(c.muteForExclusiveListening(), "Host output volume muted");
        devices->setDefaultDevice(41);
        EXPECT_EQ(c.restoreAfterExclusiveListening(), "Host output volume restored");
        EXPECT_EQ(*devices->device(40)->elements[0].volume, 0.75f);
    }
    {
        // A volume floor above 0 fails the confirmation: what was written goes back.
        auto devices = std::make_shared<SimulatedAudioOutputDevices>();
        Device d;
        d.elements[0] = Element{std::nullopt, true, 0.6f, true};
        d.volumeFloor = 0.01f;
        devices->setDevice(40, d);
        auto c = controllerFor(devices);
        EXPECT_EQ(c.muteForExclusiveListening(), "Host output mute unavailable on the current output device");
        EXPECT_FALSE(c.lastOperationSucceeded());
        EXPECT_FLOAT_EQ(*devices->device(40)->elements[0].volume, 0.6f);
    }
    {
        // A mute write the device ignores falls back to the volume.
        auto devices = std::make_shared<SimulatedAudioOutputDevices>();
        auto d = *devices->device(40);
        d.muteIgnoresWrites = true;
        devices->setDevice(40, d);
        auto c = controllerFor(devices);
        EXPECT_EQ(c.muteForExclusiveListening(), "Host output volume muted");
        EXPECT_EQ(c.restoreAfterExclusiveListening(), "Host output volume restored");
        EXPECT_FLOAT_EQ(*devices->device(40)->elements[0].volume, 0.5f);
    }
    {
        // One restore write fails: the others are still written back, and the failure is said.
        auto devices = std::make_shared<SimulatedAudioOutputDevices>();
        Device d;
        d.elements[1] = Element{0, true, std::nullopt, true};
        d.elements[2] = Element{0, true, std::nullopt, true};
        devices->setDevice(40, d);
        auto c = controllerFor(devices);
        c.muteForExclusiveListening();
        devices->failNext(40, AudioOutputProperty::mute, 1, SimulatedAudioOutputDevices::Operation::write);
        EXPECT_EQ(c.restoreAfterExclusiveListening(), "Host output mute state could not be restored");
        EXPECT_EQ(*devices->device(40)->elements[2].mute, 0u);
    }
    {
        auto devices = std::make_shared<SimulatedAudioOutputDevices>();
        devices->setDefaultDevice(0);
        auto c = controllerFor(devices);
        EXPECT_EQ(c.muteForExclusiveListening(), "Host output mute unavailable (no default output device)");
    }
}

TEST(HostAudioCaptureControl, StartErrorsRetryThenGiveUp) {
    AudioHarness h;
    auto script = h.capture->script();
    script.startError = "stream refused";
    h.capture->setScript(script);
    h.addViewer("Anna");

    h.onServer([&] { h.audio->startAudioCapture(); });
    EXPECT_EQ(h.takePublished(), (Strings{"audio capture selecting display 1 while video display is 1",
                                          "audio capture error: stream refused", "audio capture retry 1/3 in 0.5s"}));
    h.mp.clock->advance(0.5);
    EXPECT_EQ(h.takePublished().back(), "audio capture retry 2/3 in 1.0s");
    h.mp.clock->advance(1.0);
    EXPECT_EQ(h.takePublished().back(), "audio capture retry 3/3 in 1.5s");
    h.mp.clock->advance(1.5);
    EXPECT_EQ(h.takePublished().back(), "audio capture retry exhausted after 3 attempts");
    EXPECT_FALSE(h.audio->isCapturing());

    // A restart from elsewhere that succeeds resets the count.
    script.startError.reset();
    h.capture->setScript(script);
    h.onServer([&] { h.audio->restartAudioCapture(0); });
    EXPECT_EQ(h.takePublished().back(), "audio capture started");
    EXPECT_EQ(h.audio->startRetryAttempts(), 0);

    // An error from an older generation is dropped; a stream dying is retried.
    const auto old = h.audio->generation() - 1;
    h.onServer([&] { h.audio->handleAudioCaptureStartupMessage("late", old); });
    EXPECT_TRUE(h.takePublished().empty());
    h.capture->failRunningStreams("device gone");
    h.mp.clock->runUntilIdle();
    EXPECT_EQ(h.takePublished(), (Strings{"audio capture error: ScreenCaptureKit stream stopped: device gone",
                                          "audio capture retry 1/3 in 0.5s"}));
    // The retry finds nobody left: it does nothing.
    h.authorized.clear();
    h.mp.clock->advance(1);
    EXPECT_TRUE(h.takePublished().empty());
    EXPECT_FALSE(h.audio->isCapturing());
}

TEST(HostAudioCaptureControl, PermissionWaitAndRestartDuringARetryingStart) {
    AudioHarness h;
    h.access->setGranted(false);
    h.onServer([&] { h.audio->startAudioCapture(); });  // nobody authorised: nothing
    EXPECT_TRUE(h.takePublished().empty());
    h.addViewer("Anna");
    h.onServer([&] { h.audio->startAudioCapture(); });
    EXPECT_EQ(h.takePublished(), (Strings{"requesting Screen/System Audio Recording permission",
                                          "screen/system audio permission pending, will retry in 1s"}));
    h.access->setGranted(true);
    h.audioDisplay = 9;  // not listed: the start keeps looking
    h.mp.clock->advance(1.0);
    EXPECT_TRUE(h.audio->isCapturing());
    h.mp.clock->advance(0.5);
    // The display changes while the start is still retrying.
    h.audioDisplay = 1;
    h.onServer([&] { h.audio->restartAudioCapture(0.2); });
    h.mp.clock->advance(5);
    EXPECT_EQ(h.capture->runningStreamCount(), 1);
    EXPECT_EQ(h.capture->lastStartedDisplayID(), 1u);
    EXPECT_EQ(h.takePublished().back(), "audio capture started");
}

TEST(HostAudioWatchdog, WarmsUpCountsSilenceAndGivesUpOnce) {
    AudioHarness h;
    auto script = h.capture->script();
    script.signal = SimulatedAudioCapture::Signal::noBuffers;
    h.capture->setScript(script);
    h.addViewer("Anna");
    h.onServer([&] { h.audio->startAudioCapture(); });
    h.takePublished();

    std::vector<HostAudioServerState::WatchdogAction> actions;
    auto tick = [&] {
        h.mp.clock->advance(1.0);
        h.onServer([&] { actions.push_back(h.audio->statisticsTick(false).action); });
    };
    // Warm-up: four silent ticks count nothing; then three silent ticks start recovery 1/3.
    for (int i = 0; i < 4; ++i) tick();
    EXPECT_EQ(h.audio->zeroWindows(), 0);
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(actions.back(), HostAudioServerState::WatchdogAction::recoveryStarted);
    auto published = h.takePublished();
    EXPECT_EQ(published.front(), "audio: no valid ScreenCaptureKit samples for 3s on display=1; rebuilding capture attempt 1/3");
    for (int attempt = 2; attempt <= 3; ++attempt) {
        // The rebuilt capture warms up again (it started 0.2 s after the tick), then three silent ticks.
        for (int i = 0; i < 7; ++i) tick();
        EXPECT_EQ(actions.back(), HostAudioServerState::WatchdogAction::none);
        tick();
        EXPECT_EQ(actions.back(), HostAudioServerState::WatchdogAction::recoveryStarted);
        EXPECT_EQ(h.takePublished().back(), "audio: no valid ScreenCaptureKit samples for 3s on display=1; rebuilding capture attempt " +
                                                 std::to_string(attempt) + "/3");
    }
    int exhausted = 0;
    for (int i = 0; i < 30; ++i) {
        tick();
        for (const auto& line : h.takePublished()) exhausted += line.ends_with("; recovery exhausted") ? 1 : 0;
    }
    EXPECT_EQ(exhausted, 1);

    // Samples arriving clear everything; sleeping screens clear it too.
    h.capture->deliver(makeToneBuffer({}, false, 440, 0.1, 0, 480, 1));
    tick();
    EXPECT_EQ(h.audio->zeroFrameRecoveryAttempts(), 0);
    EXPECT_FALSE(h.audio->zeroFrameRecoveryExhausted());
}

TEST(HostAudioFanOut, SendsEachPacketOnceBuiltToEveryListener) {
    AudioHarness h;
    const UUID a = h.addViewer("Anna");
    const UUID b = h.addViewer("Ben");
    h.onServer([&] { h.audio->startAudioCapture(); });
    // Nobody in the send list yet: blocks are counted, nothing is encoded.
    h.mp.clock->advance(0.1);
    auto stats = h.audio->statisticsTick(false);
    EXPECT_EQ(stats.capturePayloads, 10);
    EXPECT_EQ(stats.framesSent, 0);
    EXPECT_EQ(h.audio->encoder().pendingByteCount(), 0u);

    h.onServer([&] { h.audio->updateAudioSendConnections(); });
    h.mp.clock->advance(0.2);
    stats = h.audio->statisticsTick(false);
    EXPECT_EQ(stats.framesSent, 10);
    const auto framesA = h.connections[a]->audioFrames();
    const auto framesB = h.connections[b]->audioFrames();
    ASSERT_EQ(framesA.size(), 10u);
    std::int64_t bytes = 0;
    for (std::size_t i = 0; i < framesA.size(); ++i) {
        EXPECT_EQ(framesA[i].get(), framesB[i].get());  // one immutable buffer for both
        auto header = *AuxPacketHeader::decode(*framesA[i]);
        EXPECT_EQ(header.flags, 1);
        EXPECT_EQ(header.payloadLength, framesA[i]->size() - AuxPacketHeader::size);
        if (i > 0) {
            EXPECT_EQ(header.timestampNs, AuxPacketHeader::decode(*framesA[i - 1])->timestampNs + 20'000'000);
        }
        bytes += header.payloadLength;
    }
    EXPECT_EQ(stats.bytesSent, bytes);

    // The last Viewer leaving stops capture.
    h.removeViewer(a);
    h.onServer([&] { h.audio->forget(a, true); });
    EXPECT_TRUE(h.audio->isCapturing());
    h.removeViewer(b);
    h.onServer([&] { h.audio->forget(b, true); });
    EXPECT_FALSE(h.audio->isCapturing());
    EXPECT_EQ(h.capture->runningStreamCount(), 0);
}

}  // namespace
}  // namespace HostAudioServerStateTests
}  // namespace qm
