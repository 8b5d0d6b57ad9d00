// What the application reads about the server answers from the published snapshot, even while
// the server queue is busy for a long time.
#include <gtest/gtest.h>

#include <future>

#include "support/InMemoryViewer.h"
#include "support/LiveServer.h"
#include "support/ServerInspector.h"
#include "support/TestViewer.h"

namespace ServerSnapshotTests {

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;

TEST(ServerSnapshot, ReadsAnswerWhileTheServerQueueIsHeld) {
    LiveServer live;
    TestViewer viewer(live.ports().control);
    auto result = viewer.signIn(LiveServer::user, LiveServer::password, "Studio Mac");
    ASSERT_TRUE(result && result->accepted);
    auto& server = live.server();
    ASSERT_TRUE(waitUntil([&] { return server.hasConnectedViewer(); }));

    // The queue is held (as by a virtual display being built) until the reads are done.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> holding;
    server.queue->async([released, &holding] {
        holding.set_value();
        released.wait();
    });
    holding.get_future().wait();
    auto reads = std::async(std::launch::async, [&] {
        return std::make_tuple(server.hasConnectedViewer(), server.connectedViewerDisplayNames(),
                               server.connectedViewerConnectionSummaries().size(), server.selectedDisplayIDSnapshot(),
                               server.currentDisplayLayout().displayID);
    });
    const bool answered = reads.wait_for(60s) == std::future_status::ready;
    release.set_value();
    ASSERT_TRUE(answered) << "a snapshot read waited for the server queue";
    auto [connected, names, summaries, selected, layoutDisplay] = reads.get();
    EXPECT_TRUE(connected);
    EXPECT_EQ(names, std::vector<std::string>{"Studio Mac"});
    EXPECT_EQ(summaries, 1u);
    EXPECT_EQ(selected, server.snapshot()->selectedDisplayID);
    EXPECT_EQ(layoutDisplay, server.snapshot()->displayLayout.value_or(DisplayLayoutPayload{}).displayID);

    // Leaving is published too.
    viewer.disconnect();
    EXPECT_TRUE(waitUntil([&] { return !server.hasConnectedViewer(); }));
    EXPECT_TRUE(server.connectedViewerDisplayNames().empty());
}

TEST(ServerSnapshot, DisplayDiagnosticsArriveOnTheQueueAskedFor) {
    ManualServer host;
    auto reply = host.clock().makeQueue("reply");
    std::optional<std::string> text;
    host.server().requestDisplayDiagnostics(reply, [&](std::string diagnostics) { text = std::move(diagnostics); });
    EXPECT_FALSE(text);
    host.clock().runUntilIdle();
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, host.server().displayDiagnosticsSnapshot());
}

TEST(ServerSnapshot, ABurstOfReadsPublishesOnceAndAChangeIsPublished) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer viewer(host, server.boundPorts().control, "Burst Viewer");
    ASSERT_TRUE(server.hasConnectedViewer());

    // A hundred reads waiting on the queue at once: one rebuild after them, not one per read.
    const auto before = ServerInspector(server).snapshotsPublished();
    const auto ack = makeAuxPacket(AuxPacketType::pipRegionClear, 0, {}, 0);
    for (int i = 0; i < 100; ++i) viewer.connection()->send(ack);
    host.clock().runUntilIdle();
    EXPECT_EQ(ServerInspector(server).snapshotsPublished() - before, 1u);

    // What changed is there once the queue has turned.
    viewer.disconnect();
    host.clock().runUntilIdle();
    EXPECT_FALSE(server.hasConnectedViewer());
    EXPECT_TRUE(server.connectedViewerDisplayNames().empty());
}

}  // namespace ServerSnapshotTests
