// The server's state holders on their own: what each keeps per Viewer, and that a Viewer leaving
// takes everything it had with it.
#include <gtest/gtest.h>

#include "HostApp/Server/SessionTables.h"
#include "HostApp/Server/VideoFlow.h"
#include "HostApp/Server/VideoRoadState.h"
#include "HostApp/Video/HostVideoCapture.h"
#include "support/ScriptedConnection.h"
#include "support/TestPlatform.h"

namespace ServerStateHoldersTests {

using namespace qm;
using namespace qm::test;

namespace {

std::shared_ptr<FileTransferChannelConnection> fileChannel(ManualPlatform& manual) {
    return std::make_shared<FileTransferChannelConnection>(std::make_shared<ScriptedConnection>(),
                                                           manual.platform.makeQueue("files"), "file aux",
                                                           [](const std::string&) {});
}

}  // namespace

TEST(SessionTables, SignInRevocationAndLeavingKeepEveryTableInStep) {
    ManualPlatform manual;
    SessionTables tables;
    auto control = tables.add(AuxChannel::control, std::make_shared<ScriptedConnection>(), "192.0.2.7");
    auto video = tables.add(AuxChannel::video, std::make_shared<ScriptedConnection>(), "192.0.2.7");
    EXPECT_FALSE(control->authorized);
    EXPECT_FALSE(tables.hasAuthorizedSession());

    tables.authorize(*control, "Mac Viewer");
    tables.authorize(*video, "Mac Viewer");
    EXPECT_TRUE(control->authorized);
    EXPECT_TRUE(tables.isAuthorized(video->id, AuxChannel::video));
    EXPECT_FALSE(tables.isAuthorized(video->id, AuxChannel::control));
    const FileTransferChannelToken token;
    tables.setFileTransferToken(control->id, token);

    // The token admits a file channel only for its signed-in control session; a second channel
    // replaces the first, and the first one's late end report leaves the second bound.
    EXPECT_EQ(tables.sessionForToken(token.bytes()), control->id);
    EXPECT_EQ(tables.sessionForToken(Bytes(16, 0)), std::nullopt);
    EXPECT_EQ(tables.sessionForToken(Bytes(15, 0)), std::nullopt);
    auto first = fileChannel(manual);
    auto second = fileChannel(manual);
    tables.admitPendingFileChannel(first, "192.0.2.7", nullptr);
    EXPECT_EQ(tables.bindFileChannel(control->id, first), nullptr);
    EXPECT_TRUE(tables.pendingFileChannels().empty());
    EXPECT_EQ(tables.bindFileChannel(control->id, second), first);
    EXPECT_EQ(tables.fileChannelEnded(first.get()), std::nullopt);
    EXPECT_EQ(tables.fileChannel(control->id), second);

    // Losing the sign-in takes the name, the token and the file channel, not the connection.
    const auto revoked = tables.revoke(*control);
    EXPECT_TRUE(revoked.wasAuthorized);
    EXPECT_EQ(revoked.fileChannel, second);
    EXPECT_FALSE(control->authorized);
    EXPECT_EQ(tables.sessionForToken(token.bytes()), std::nullopt);
    EXPECT_EQ(tables.displayName(control->id), std::nullopt);
    EXPECT_TRUE(tables.audioSessions().contains(control->id));
    EXPECT_FALSE(tables.revoke(*control).wasAuthorized) << "a second revocation finds nothing";

    // Leaving hands back what must be released and leaves no entry anywhere.
    const auto left = tables.forget(control->id);
    EXPECT_EQ(left.session, control);
    EXPECT_FALSE(control->isLive);
    const auto videoLeft = tables.forget(video->id);
    EXPECT_TRUE(videoLeft.wasAuthorized);
    EXPECT_EQ(tables.forget(video->id).session, nullptr);
    EXPECT_EQ(tables.entryCount(), 0u);
}

// A session's clipboard waits for the clipboard queue; only the newest waits, and the session's
// end drops it even while a queued decode still holds the slot.
TEST(SessionTables, AClipboardWaitingAtASessionsEndGoesWithIt) {
    SessionTables tables;
    auto control = tables.add(AuxChannel::control, std::make_shared<ScriptedConnection>(), "192.0.2.7");
    const auto slot = control->pendingClipboard;
    EXPECT_TRUE(slot->offer({1, 2, 3})) << "the first one needs a decode queued";
    EXPECT_FALSE(slot->offer({4})) << "a newer one replaces it for the decode already queued";
    EXPECT_EQ(tables.clipboardsWaiting(), 1u);
    EXPECT_EQ(slot->take(), (std::vector<std::uint8_t>{4}));
    EXPECT_EQ(tables.clipboardsWaiting(), 0u);

    EXPECT_TRUE(slot->offer({5}));
    const auto left = tables.forget(control->id);
    ASSERT_EQ(left.session, control);
    EXPECT_EQ(tables.clipboardsWaiting(), 1u) << "leaving the tables is not yet the end";
    left.session->end();
    EXPECT_EQ(tables.clipboardsWaiting(), 0u);
    EXPECT_FALSE(slot->take()) << "the decode queued for it finds nothing";
    EXPECT_FALSE(control->isLive);
}

// The one video stream's state: a capture that goes takes its generation and configuration with
// it, queues are reused only while nothing went wrong, and a zero-frame suspension keeps exactly
// the request it suspended until it ends.
TEST(VideoRoadState, GenerationsQueuesAndTheZeroFrameSuspension) {
    ManualPlatform manual;
    VideoRoadState road;
    const auto first = road.generation();
    road.configSent(VideoStreamConfigPayload{});
    EXPECT_FALSE(road.discardCapture(false)) << "nothing was running";
    EXPECT_FALSE(road.isCurrentGeneration(first));
    EXPECT_FALSE(road.lastConfig()) << "Viewers were told of the stream that went";

    int made = 0;
    const auto make = [&] {
        ++made;
        return HostVideoCaptureQueues{manual.platform.makeQueue("c"), manual.platform.makeQueue("e"),
                                      manual.platform.makeQueue("l"), manual.platform.makeQueue("x")};
    };
    auto* queues = &road.queuesForNextCapture(make);
    EXPECT_EQ(&road.queuesForNextCapture(make), queues);
    EXPECT_EQ(made, 1);
    road.abandonQueues();  // a capture failed: its threads may be stuck
    road.queuesForNextCapture(make);
    EXPECT_EQ(made, 2);

    const auto request = CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv420,
                                                           VideoCaptureBackend::headlessVirtual);
    road.suspendForZeroFrames(request);
    EXPECT_EQ(road.suspendedRequest(), request);
    EXPECT_FALSE(road.silentWindow(3));
    EXPECT_FALSE(road.silentWindow(3));
    EXPECT_TRUE(road.silentWindow(3));
    EXPECT_FALSE(road.silentWindow(3)) << "the count starts over";
    EXPECT_EQ(road.noteRecoveryAttempt(5'000), 1);
    EXPECT_FALSE(road.recoveryDue(4'999));
    EXPECT_TRUE(road.recoveryDue(5'000));
    road.queuesForNextCapture(make);
    EXPECT_EQ(made, 3) << "a recovery never reuses the silent capture's queues";
    EXPECT_TRUE(road.endZeroFrameSuspension());
    EXPECT_FALSE(road.suspendedRequest());
    EXPECT_EQ(road.recoveryAttempts(), 0);
    EXPECT_TRUE(road.recoveryDue(0));
    EXPECT_FALSE(road.endZeroFrameSuspension());

    road.frameSent(100);
    road.frameSent(50);
    road.latencySampled(7);
    const auto second = road.takeSecondFigures();
    EXPECT_EQ(second.framesSent, 2);
    EXPECT_EQ(second.bytesSent, 150);
    EXPECT_EQ(second.latencySamples, 1);
    EXPECT_EQ(road.takeSecondFigures().framesSent, 0);

    // The last Viewer left: nothing of its stream carries over to the next one.
    road.captureModeRequested();
    road.noteStartRetry();
    road.suspendForZeroFrames(request);
    road.resetForIdle();
    EXPECT_FALSE(road.wasCaptureModeRequested());
    EXPECT_EQ(road.startRetryAttempts(), 0);
    EXPECT_FALSE(road.isSuspendedForZeroFrames());
}

TEST(VideoRoadStateDeathTest, ACaptureStartsOnlyOnTheQueuesHandedOutForIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    VideoRoadState road;
    EXPECT_DEATH(road.captureStarted(nullptr), "one capture at a time, on the queues handed out for it");
}

TEST(VideoFlow, FarBehindViewersWaitForAKeyframeAndStaleAcknowledgementsChangeNothing) {
    VideoFlow flow;
    const auto a = UUID::random(), b = UUID::random();
    const std::unordered_set<UUID> sessions{a, b};
    flow.reset(sessions, 30);
    ASSERT_EQ(flow.currentVideoCongestionWindow, 3);

    // Seven unacknowledged frames put a past 2W; the next frame is withheld and it waits for a
    // keyframe, while b, which acknowledges, keeps receiving.
    std::uint64_t now = 1'000'000'000;
    for (std::uint64_t frame = 0; frame < 8; ++frame) {
        for (const auto& id : {a, b}) {
            if (flow.admit(id, frame == 0)) flow.sent(id, frame, now);
        }
        flow.ack(b, frame, now);
        now += 16'000'000;
    }
    EXPECT_EQ(flow.videoSessionOutstandingAcks.at(a), 7);
    EXPECT_TRUE(flow.videoSessionsAwaitingKeyframe.contains(a));
    EXPECT_EQ(flow.videoSessionOutstandingAcks.at(b), 0);

    // Acknowledgements for frames never sent, or already acknowledged, are ignored.
    EXPECT_FALSE(flow.ack(a, 99, now));
    EXPECT_FALSE(flow.ack(b, 3, now));
    EXPECT_EQ(flow.videoSessionOutstandingAcks.at(a), 7);

    // a is excluded from the gate (far behind), so b alone keeps it open.
    EXPECT_FALSE(flow.evaluate(sessions, now).blocked);
    EXPECT_EQ(flow.videoSendInFlight, 7);

    // Catching up to within W asks for a keyframe; only a keyframe lets it in again.
    EXPECT_TRUE(flow.ack(a, 4, now));
    EXPECT_FALSE(flow.admit(a, false));
    EXPECT_TRUE(flow.admit(a, true));

    // Silence is measured from the last acknowledgement, or the last send before any.
    EXPECT_EQ(flow.silentSessions(sessions, now + 10'000'000'001ULL, 10'000'000'000ULL), std::vector<UUID>{a});
    flow.forget(a);
    flow.forget(b);
    EXPECT_EQ(flow.entryCount(), 0u);
}

TEST(VideoFlow, TheOldestUnacknowledgedFrameCountsEverySessionAndFramesNotSentToAny) {
    VideoFlow flow;
    const auto a = UUID::random(), b = UUID::random();
    flow.reset({a, b}, 60);
    EXPECT_EQ(flow.oldestUnacknowledged(), 0u) << "nothing handled yet";

    // Frame 0 reached the server before any session could be sent it: nothing waits for it.
    flow.handled(0);
    EXPECT_EQ(flow.oldestUnacknowledged(), 1u);

    std::uint64_t now = 1'000'000'000;
    for (std::uint64_t frame = 1; frame <= 4; ++frame) {
        flow.handled(frame);
        for (const auto& id : {a, b}) {
            if (flow.admit(id, frame == 1)) flow.sent(id, frame, now);
        }
    }
    EXPECT_EQ(flow.oldestUnacknowledged(), 1u);
    flow.ack(a, 4, now);
    EXPECT_EQ(flow.oldestUnacknowledged(), 1u) << "b still has them all";
    flow.ack(b, 2, now);
    EXPECT_EQ(flow.oldestUnacknowledged(), 3u);
    flow.ack(b, 4, now);
    EXPECT_EQ(flow.oldestUnacknowledged(), 5u) << "everything acknowledged: the next frame";
    flow.handled(2);  // a late report changes nothing
    EXPECT_EQ(flow.oldestUnacknowledged(), 5u);

    // A session that leaves holds nothing back; a new stream counts from 0 again.
    flow.sent(b, 5, now);
    flow.handled(5);
    EXPECT_EQ(flow.oldestUnacknowledged(), 5u);
    flow.forget(b);
    EXPECT_EQ(flow.oldestUnacknowledged(), 6u);
    flow.reset({a}, 60);
    EXPECT_EQ(flow.oldestUnacknowledged(), 0u);
}

}  // namespace ServerStateHoldersTests
