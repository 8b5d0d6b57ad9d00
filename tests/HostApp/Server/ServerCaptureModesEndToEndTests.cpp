// Every capture mode over real TCP, on a display with a typical panel's modes: the layout and the
// stream a Viewer receives have the catalogue's size, and the frames decode.
#include <gtest/gtest.h>

#include "QuillmereProfiles/DisplayProfiles.h"
#include "support/LiveServer.h"
#include "support/Sanitizers.h"
#include "support/TestViewer.h"
#include "support/VideoDecoder.h"

namespace ServerCaptureModesEndToEndTests {

using namespace qm;
using namespace qm::test;

namespace {

struct ModeCase {
    VideoCaptureMode mode;
    VideoCaptureBackend backend;
    // What the Viewer is told the display shows (points) and the stream's size (pixels).
    std::int64_t logicalWidth, logicalHeight, pixelWidth, pixelHeight;
};

// The newest frame of a type that satisfies `accept`, waiting for more until one does.
template <typename Decoded, typename Accept>
std::optional<Decoded> waitForMatching(TestViewer& viewer, AuxPacketType type, Accept accept) {
    for (int i = 0; i < 12; ++i) {
        auto frame = viewer.waitFor(type, 30s);
        if (!frame) return std::nullopt;
        auto decoded = Decoded::decode(frame->payload);
        if (decoded && accept(*decoded)) return decoded;
    }
    return std::nullopt;
}

}  // namespace

TEST(CaptureModesEndToEnd, EachModeGivesTheCatalogueLayoutAndAStreamThatDecodes) {
    // Max's first HEVC picture of a 23-megapixel virtual display can take longer than the Host's
    // usual three seconds without a frame on a loaded machine; the fallback to the physical
    // display would then rightly replace the stream this test waits for.
    LiveServer::Setup setup;
    setup.options.zeroFrameWindowsBeforeRecovery = 30;
    LiveServer live(setup);
    auto panel = SimulatedDisplayService::makeDisplay(1, {0, 0}, 1280, 720, 1280, 720, 60, true);
    panel.modes = SimulatedDisplayService::typicalExternalModes();
    live.displays()->addDisplay(panel);
    TestViewer control(live.ports().control);
    TestViewer video(live.ports().video);
    auto a = control.signIn(LiveServer::user, LiveServer::password, "Modes Viewer");
    auto b = video.signIn(LiveServer::user, LiveServer::password, "Modes Viewer");
    ASSERT_TRUE(a && a->accepted && b && b->accepted);

    const auto& catalogue = DisplayProfileCatalog::profile;
    const auto size = [&](VideoCaptureMode m, VideoCaptureBackend backend) {
        const auto& r = catalogue(m).resolution;
        return ModeCase{m, backend, r.logicalWidth, r.logicalHeight, r.pixelWidth, r.pixelHeight};
    };
    // 1080p and 1440p switch the panel; Easy streams it as it then is (1440p); Pro and Max are
    // made on the virtual display at their presets.
    std::vector<ModeCase> cases{
        size(VideoCaptureMode::physical1080, VideoCaptureBackend::physical),
        size(VideoCaptureMode::physical1440, VideoCaptureBackend::physical),
        {VideoCaptureMode::easy, VideoCaptureBackend::physical, 2560, 1440, 2560, 1440},
        size(VideoCaptureMode::pro, VideoCaptureBackend::headlessVirtual),
        size(VideoCaptureMode::max, VideoCaptureBackend::headlessVirtual),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(catalogue(c.mode).title);
        // Under the sanitizers the synthetic screen and the conversion of a 11-23 megapixel
        // picture take several seconds a frame: too long for the suite.
        if ((runsUnderAddressSanitizer || runsUnderThreadSanitizer) &&
            c.backend == VideoCaptureBackend::headlessVirtual) {
            continue;
        }
        auto request = CaptureModeControlPayload::preset(c.mode, VideoChromaMode::yuv420, c.backend);
        control.send(AuxPacketType::captureModeControl, request.encode());

        const auto layout = waitForMatching<DisplayLayoutPayload>(control, AuxPacketType::displayLayout, [&](const auto& l) {
            return l.targetWidth == c.logicalWidth && l.targetHeight == c.logicalHeight;
        });
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->pixelWidth, c.pixelWidth);
        EXPECT_EQ(layout->pixelHeight, c.pixelHeight);
        EXPECT_EQ((layout->flags & DisplayLayoutPayload::hiDPIFlag) != 0, c.pixelWidth > c.logicalWidth);

        const auto config = waitForMatching<VideoStreamConfigPayload>(video, AuxPacketType::videoConfig, [&](const auto& v) {
            return v.mode == c.mode;
        });
        ASSERT_TRUE(config);
        EXPECT_EQ(config->width, c.pixelWidth);
        EXPECT_EQ(config->height, c.pixelHeight);

        // The new stream decodes at that size from its keyframe on (frames of the previous stream
        // may still be queued in front of it).
        VideoDecoder decoder(config->codec);
        Bytes unit;
        for (const auto& set : config->parameterSets) {
            unit.insert(unit.end(), {0, 0, 0, 1});
            unit.insert(unit.end(), set.begin(), set.end());
        }
        std::optional<DecodedPicture> picture;
        bool keyframeSeen = false;
        for (int i = 0; i < 60 && !(picture && picture->width == c.pixelWidth); ++i) {
            auto raw = video.waitFor(AuxPacketType::videoFrame, 30s);
            ASSERT_TRUE(raw);
            auto frame = VideoFramePayload::decode(raw->payload);
            ASSERT_TRUE(frame);
            video.send(AuxPacketType::videoFrameAck, VideoFrameAckPayload{frame->frameNumber}.encode());
            keyframeSeen = keyframeSeen || (raw->header.flags & VideoFramePayload::keyframeFlag);
            if (!keyframeSeen) continue;
            unit.insert(unit.end(), frame->accessUnit.begin(), frame->accessUnit.end());
            for (auto& p : decoder.decode(std::exchange(unit, {}))) picture = std::move(p);
        }
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->width, c.pixelWidth);
        EXPECT_EQ(picture->height, c.pixelHeight);
    }
}

}  // namespace ServerCaptureModesEndToEndTests
