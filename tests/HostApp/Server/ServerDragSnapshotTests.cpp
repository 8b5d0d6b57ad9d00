// The Host user's drag as Viewers see it: announced when it changes, pulled by the id they were
// told, and gone with the drag or with the last Viewer.
#include <gtest/gtest.h>

#include "QuillmereProfiles/SessionPayloads.h"
#include "support/InMemoryViewer.h"

namespace ServerDragSnapshotTests {

using namespace qm;
using namespace qm::test;

namespace {

// The drag announcements among what the Viewer received since it last looked.
std::vector<DragSnapshotPayload> announcements(InMemoryViewer& viewer) {
    std::vector<DragSnapshotPayload> out;
    for (const auto& frame : viewer.takeAll()) {
        if (frame.header.type != AuxPacketType::dragSnapshot) continue;
        auto payload = DragSnapshotPayload::decode(frame.payload);
        EXPECT_TRUE(payload) << "an announcement that does not decode";
        if (payload) out.push_back(*payload);
    }
    return out;
}

constexpr double pollInterval = 0.5;

}  // namespace

TEST(ServerDragSnapshot, EachNewListGetsANewIdAndPullsOfAnOlderOneFindNothing) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer viewer(host, server.boundPorts().control, "Drag Viewer");
    announcements(viewer);

    host.drag().beginDrag({"/home/alice/report.pdf", "/home/alice/photo 1.jpg"});
    host.clock().advance(pollInterval);
    auto first = announcements(viewer);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].itemNames, (std::vector<std::string>{"report.pdf", "photo 1.jpg"}));
    const auto firstID = first[0].snapshotID;
    EXPECT_EQ(server.dragSourceURL(firstID, 1), std::filesystem::path("/home/alice/photo 1.jpg"));
    EXPECT_EQ(server.dragSourceURL(firstID, 2), std::nullopt) << "an index past the end";
    EXPECT_EQ(server.dragSourceURL(firstID + 1, 0), std::nullopt) << "an id not yet given";

    // The same list on the next polls is no news.
    host.clock().advance(3 * pollInterval);
    EXPECT_TRUE(announcements(viewer).empty());

    // Another list: another id, and the old one is stale.
    host.drag().beginDrag({"/home/alice/notes.txt"});
    host.clock().advance(pollInterval);
    auto second = announcements(viewer);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0].snapshotID, firstID);
    EXPECT_EQ(server.dragSourceURL(firstID, 0), std::nullopt);
    EXPECT_EQ(server.dragSourceURL(second[0].snapshotID, 0), std::filesystem::path("/home/alice/notes.txt"));

    // The drop ends it: one announcement without items, and nothing left to pull.
    host.drag().endDrag();
    host.clock().advance(pollInterval);
    auto ended = announcements(viewer);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_TRUE(ended[0].itemNames.empty());
    EXPECT_EQ(server.dragSourceURL(second[0].snapshotID, 0), std::nullopt);
    host.clock().advance(3 * pollInterval);
    EXPECT_TRUE(announcements(viewer).empty());
}

TEST(ServerDragSnapshot, AViewerSigningInMidDragHearsOfItAndTheLastViewerLeavingClearsIt) {
    ManualServer host;
    auto& server = host.server();
    host.drag().beginDrag({"/home/alice/a.txt"});
    host.clock().advance(4 * pollInterval);
    EXPECT_EQ(host.drag().readCount(), 0u) << "nothing is read while no Viewer could pull";

    InMemoryViewer first(host, server.boundPorts().control, "First");
    host.clock().advance(pollInterval);
    auto told = announcements(first);
    ASSERT_EQ(told.size(), 1u);
    const auto id = told[0].snapshotID;

    InMemoryViewer second(host, server.boundPorts().control, "Second");
    host.clock().advance(pollInterval);
    auto late = announcements(second);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].snapshotID, id) << "the same drag under the same id";
    EXPECT_TRUE(announcements(first).empty()) << "the first Viewer was told already";

    first.disconnect();
    second.disconnect();
    host.clock().advance(pollInterval);
    EXPECT_EQ(server.dragSourceURL(id, 0), std::nullopt) << "no snapshot outlives the Viewers";
    const auto reads = host.drag().readCount();
    host.clock().advance(4 * pollInterval);
    EXPECT_EQ(host.drag().readCount(), reads);
}

}  // namespace ServerDragSnapshotTests
