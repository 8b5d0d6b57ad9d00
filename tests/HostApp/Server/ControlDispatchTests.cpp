// Where each packet a Viewer sends may take effect, what strangers hear, and how much a
// signed-in Viewer can make the Host write to its log.
#include <gtest/gtest.h>

#include <algorithm>

#include "HostApp/Server/ControlDispatch.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "support/InMemoryViewer.h"
#include "support/ServerInspector.h"

namespace ControlDispatchTests {

using namespace qm;
using namespace qm::test;

namespace {

std::vector<AuxPacketType> everyPacketType() {
    std::vector<AuxPacketType> types;
    for (int raw = 0; raw < 256; ++raw) {
        if (auto type = auxPacketTypeFromRaw(static_cast<std::uint8_t>(raw))) types.push_back(*type);
    }
    return types;
}

std::size_t linesContaining(const std::vector<std::string>& lines, const std::string& needle) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(needle) != std::string::npos; }));
}

}  // namespace

TEST(ControlDispatch, InputFileClipboardAndViewportPacketsBelongToTheControlChannel) {
    const std::vector<AuxPacketType> controlOnly = {
        AuxPacketType::audioControl, AuxPacketType::pointerEvent, AuxPacketType::clipboardTransfer,
        AuxPacketType::gestureEvent, AuxPacketType::hostShortcut, AuxPacketType::keyEvent,
        AuxPacketType::fileTransfer, AuxPacketType::rawKeyEvent, AuxPacketType::systemDefinedKeyEvent,
        AuxPacketType::viewportROI, AuxPacketType::pipRegionSet, AuxPacketType::pipRegionRemove,
        AuxPacketType::pipRegionClear, AuxPacketType::dragPullRequest, AuxPacketType::iosBackgroundPresence};
    for (auto type : everyPacketType()) {
        const auto channels = viewerPacketChannels(type);
        const bool listed = std::find(controlOnly.begin(), controlOnly.end(), type) != controlOnly.end();
        EXPECT_EQ(listed, channels == PacketChannels::control) << auxPacketTypeName(type);
    }
    EXPECT_EQ(viewerPacketChannels(AuxPacketType::videoFrameAck), PacketChannels::video);
    EXPECT_EQ(viewerPacketChannels(AuxPacketType::videoFrame), std::nullopt);
    EXPECT_EQ(viewerPacketChannels(AuxPacketType::hostSessionInfo), std::nullopt);
}

// Every type the column keeps to the control channel, sent by a signed-in video session: the
// server rejects it by name and nothing it would change changes.
TEST(ControlDispatch, EveryControlOnlyTypeOnTheVideoChannelIsRejectedWithoutEffect) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer control(host, server.boundPorts().control);
    for (auto type : everyPacketType()) {
        if (viewerPacketChannels(type) != PacketChannels::control) continue;
        // A fresh video session per type, so no session's log budget hides a line.
        InMemoryViewer video(host, server.boundPorts().video);
        Bytes payload;
        if (type == AuxPacketType::pipRegionSet) payload = PipRegionSetPayload{"corner", Rect(1, 2, 30, 40)}.encode();
        if (type == AuxPacketType::viewportROI) payload = ViewportROIPayload{Rect(5, 5, 50, 50)}.encode();
        if (type == AuxPacketType::keyEvent) payload = KeyEventControlPayload{'a', true}.encode();
        const auto before = host.statuses().size();
        const auto postedBefore = host.events().posted().size();
        video.send(type, payload);
        const auto all = host.statuses();
        const std::vector<std::string> lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        EXPECT_EQ(linesContaining(lines, "rejected on video channel"), 1u) << auxPacketTypeName(type);
        EXPECT_EQ(host.events().posted().size(), postedBefore) << auxPacketTypeName(type);
        EXPECT_TRUE(ServerInspector(server).sessions().pipRegions.empty()) << auxPacketTypeName(type);
    }
    // On the control channel the same picture-in-picture region takes effect.
    control.send(AuxPacketType::pipRegionSet, PipRegionSetPayload{"corner", Rect(1, 2, 30, 40)}.encode());
    EXPECT_EQ(ServerInspector(server).sessions().pipRegions.size(), 1u);
}

TEST(ControlDispatch, AConnectionNotSignedInHearsOnlyAnswersAndCountsForNothing) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer viewer(host, server.boundPorts().control);
    InMemoryViewer stranger(host, server.boundPorts().control, InMemoryViewer::NotSignedIn{});
    InMemoryViewer strangerVideo(host, server.boundPorts().video, InMemoryViewer::NotSignedIn{});
    stranger.takeAll();
    strangerVideo.takeAll();

    // The one signed-in Viewer is alone: its display request is not refused for the strangers.
    viewer.send(AuxPacketType::hostPhysicalDisplay, Bytes{2});
    EXPECT_FALSE(host.sawStatus("while multiple viewers are active"));
    // A display notice meant for Viewers reaches the signed-in one only.
    server.queue->sync([&] { server.broadcastHostError("display: notice"); });
    host.clock().runUntilIdle();
    for (auto* quiet : {&stranger, &strangerVideo}) {
        for (const auto& frame : quiet->takeAll()) {
            EXPECT_TRUE(frame.header.type == AuxPacketType::hostStatus || frame.header.type == AuxPacketType::identityProof)
                << auxPacketTypeName(frame.header.type);
        }
        EXPECT_TRUE(quiet->statusTexts().empty() ||
                    std::none_of(quiet->statusTexts().begin(), quiet->statusTexts().end(),
                                 [](const std::string& text) { return text.find("display:") != std::string::npos; }));
    }
}

TEST(ControlDispatch, ASignedInViewerCannotFloodTheLogAndWhatIsLeftOutIsCounted) {
    ManualServer host;
    auto& server = host.server();
    InMemoryViewer viewer(host, server.boundPorts().control);
    const auto before = host.statuses().size();
    for (int i = 0; i < 2000; ++i) viewer.send(AuxPacketType::keyEvent, KeyEventControlPayload{0x2000'0000u + 1, true}.encode());
    const auto during = host.statuses().size() - before;
    EXPECT_GE(during, 1u);
    EXPECT_LE(during, 12u);
    // The next window opens with a count of what the last one left out.
    host.clock().advance(10.0);
    viewer.send(AuxPacketType::keyEvent, KeyEventControlPayload{0x2000'0000u + 2, true}.encode());
    EXPECT_TRUE(host.sawStatus("log lines were left out"));
}

}  // namespace ControlDispatchTests
