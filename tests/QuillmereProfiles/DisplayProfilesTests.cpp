#include <gtest/gtest.h>

#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace DisplayProfilesTests {

using namespace qm;

TEST(DisplayProfileCatalog, ModesLookUpByWireValueOnly) {
    const std::pair<std::uint8_t, const char*> expected[] = {{0, "1080p"}, {1, "1440p"}, {3, "Easy"}, {4, "Pro"}, {6, "Max"}};
    for (auto [raw, title] : expected) {
        auto p = DisplayProfileCatalog::modeProfile(raw);
        ASSERT_TRUE(p) << int(raw);
        EXPECT_EQ(p->title, title);
        EXPECT_EQ(DisplayProfileCatalog::profile(static_cast<VideoCaptureMode>(raw)), *p);
    }
    for (std::uint8_t raw : {2, 5, 7, 255}) EXPECT_FALSE(DisplayProfileCatalog::modeProfile(raw));
    // Physical switches prefer HiDPI modes exactly for the HiDPI resolutions.
    for (const auto& m : DisplayProfileCatalog::modes())
        EXPECT_EQ(m.preferHiDPIPhysicalSwitch, m.resolution.hiDPI) << m.title;
}

TEST(ResolutionProfile, SizeMatchingAllowsAShortHeightOnlyForPlain1080) {
    const auto& fhd = DisplayProfileCatalog::fullHD1080();
    const auto mode = CaptureModeKind::physical1080;
    EXPECT_TRUE(fhd.matchesLogicalSize(1920, 1080, mode));
    EXPECT_TRUE(fhd.matchesLogicalSize(1920, 1079, mode));
    EXPECT_TRUE(fhd.matchesLogicalSize(1920, 1064, mode));
    EXPECT_FALSE(fhd.matchesLogicalSize(1920, 1063, mode));
    EXPECT_FALSE(fhd.matchesLogicalSize(1920, 1081, mode));
    EXPECT_FALSE(fhd.matchesLogicalSize(1919, 1079, mode));
    EXPECT_TRUE(fhd.matchesPixelSize(1920, 1070, mode));
    EXPECT_FALSE(DisplayProfileCatalog::qhd1440().matchesLogicalSize(2560, 1439, CaptureModeKind::physical1440));
    const auto& hidpi = DisplayProfileCatalog::hidpi1080();
    EXPECT_FALSE(hidpi.matchesLogicalSize(1920, 1079, CaptureModeKind::easy));
    EXPECT_TRUE(hidpi.matchesPixelSize(3840, 2160, CaptureModeKind::easy));
    EXPECT_FALSE(hidpi.matchesPixelSize(3840, 2159, CaptureModeKind::easy));
}

TEST(ResolutionProfile, StrictGeometrySummaryTexts) {
    EXPECT_EQ(DisplayProfileCatalog::fullHD1080().strictGeometrySummary(), "logical 1920x1080 (HiDPI or non-HiDPI)");
    EXPECT_EQ(DisplayProfileCatalog::hidpi1080().strictGeometrySummary(), "1920x1080 @2x (px 3840x2160) HiDPI");
    EXPECT_EQ(DisplayProfileCatalog::hidpi1440().strictGeometrySummary(), "2240x1260 @2x (px 4480x2520) HiDPI");
    ResolutionProfile odd{ResolutionKind::hidpi1080, "odd", 0, 10, 5, 10, true};  // no division by zero
    EXPECT_EQ(odd.strictGeometrySummary(), "0x10 @5x (px 5x10) HiDPI");
}

TEST(CaptureModeControlPayload, PresetAndWithModeFollowTheCatalogue) {
    auto easy = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                  VideoCaptureBackend::physical);
    EXPECT_EQ(easy.codec, VideoStreamCodec::h264);
    EXPECT_EQ(easy.logicalWidth, 1920);
    EXPECT_EQ(easy.pixelWidth, 3840);
    EXPECT_EQ(easy.fps, 60);
    EXPECT_EQ(easy.bitrate, 36'000'000);
    EXPECT_EQ(easy.flags, CaptureModeControlPayload::hiDPIFlag);

    auto easy444 = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv444,
                                                     VideoCaptureBackend::headlessVirtual);
    EXPECT_EQ(easy444.codec, VideoStreamCodec::hevc);
    EXPECT_EQ(easy444.bitrate, 48'000'000);
    EXPECT_EQ(easy444.backend, VideoCaptureBackend::headlessVirtual);
    EXPECT_EQ(CaptureModeControlPayload::preset(VideoCaptureMode::pro, VideoChromaMode::yuv420,
                                                VideoCaptureBackend::physical).codec,
              VideoStreamCodec::hevc);

    // withMode keeps codec, chroma, backend, rates and the other flags; only sizes and 0x01 follow the mode.
    auto request = easy444;
    request.fps = 30;
    request.bitrate = 12345;
    request.flags |= CaptureModeControlPayload::encoderOption40Flag | CaptureModeControlPayload::iosBuiltInDisplayFlag;
    EXPECT_EQ(request.withMode(VideoCaptureMode::easy), request);
    auto moved = request.withMode(VideoCaptureMode::physical1440);
    EXPECT_EQ(moved.mode, VideoCaptureMode::physical1440);
    EXPECT_EQ(moved.logicalWidth, 2560);
    EXPECT_EQ(moved.pixelHeight, 1440);
    EXPECT_EQ(moved.flags, CaptureModeControlPayload::encoderOption40Flag | CaptureModeControlPayload::iosBuiltInDisplayFlag);
    EXPECT_EQ(moved.codec, VideoStreamCodec::hevc);
    EXPECT_EQ(moved.fps, 30);
    EXPECT_EQ(moved.bitrate, 12345);
    EXPECT_EQ(moved.withMode(VideoCaptureMode::max).flags & CaptureModeControlPayload::hiDPIFlag,
              CaptureModeControlPayload::hiDPIFlag);
}

TEST(DisplayProfileCatalog, StreamProfileFitsTheCodecsLargestDimension) {
    auto maxRequest = CaptureModeControlPayload::preset(VideoCaptureMode::max, VideoChromaMode::yuv420,
                                                        VideoCaptureBackend::headlessVirtual);
    EXPECT_EQ(transportMaxDimension(maxRequest), 8192);
    auto profile = DisplayProfileCatalog::streamProfile(maxRequest, 9);
    EXPECT_EQ(profile.displayID, 9u);
    EXPECT_EQ(profile.width, 6400);
    EXPECT_EQ(profile.height, 3600);
    EXPECT_EQ(profile.bitrate, maxRequest.bitrate);

    // The same canvas in H.264 is scaled to 4096 wide, keeping the aspect and even sides.
    auto h264 = maxRequest;
    h264.codec = VideoStreamCodec::h264;
    h264.fps = 0;
    h264.bitrate = 0;
    EXPECT_EQ(transportMaxDimension(h264), 4096);
    profile = DisplayProfileCatalog::streamProfile(h264, 1);
    EXPECT_EQ(profile.width, 4096);
    EXPECT_EQ(profile.height, 2304);
    EXPECT_EQ(profile.fps, 60);
    EXPECT_EQ(profile.bitrate, DisplayProfileCatalog::profile(VideoCaptureMode::max).bitrate420);

    auto odd = h264;
    odd.pixelWidth = 1511;
    odd.pixelHeight = 1;
    profile = DisplayProfileCatalog::streamProfile(odd, 1);
    EXPECT_EQ(profile.width, 1510);
    EXPECT_EQ(profile.height, 2);
}

TEST(DisplayProfileCatalog, RequestsAreHeldToTheRateAndAreaLimits) {
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::max, VideoChromaMode::yuv444,
                                                     VideoCaptureBackend::physical);
    request.fps = 4'294'967'295;
    request.bitrate = 999;
    auto granted = DisplayProfileCatalog::grantedRequest(request);
    EXPECT_EQ(granted.request.fps, 240);
    EXPECT_EQ(granted.request.bitrate, 100'000);
    EXPECT_EQ(granted.notes, (std::vector<std::string>{"fps 4294967295 lowered to 240", "bitrate 999 raised to 100000"}));
    request.bitrate = 4'294'967'295;
    EXPECT_EQ(DisplayProfileCatalog::grantedRequest(request).request.bitrate, 500'000'000);
    // 0 asks for the mode's default; within the limits nothing changes.
    request.fps = 0;
    request.bitrate = 0;
    EXPECT_TRUE(DisplayProfileCatalog::grantedRequest(request).notes.empty());
    request.fps = 240;
    request.bitrate = 100'000;
    EXPECT_EQ(DisplayProfileCatalog::grantedRequest(request).request, request);

    // The stream profile holds the same limits whatever reaches it.
    request.fps = 100'000;
    request.bitrate = 1;
    auto profile = DisplayProfileCatalog::streamProfile(request, 1);
    EXPECT_EQ(profile.fps, 240);
    EXPECT_EQ(profile.bitrate, 100'000);

    // HEVC 4:4:4: the Max canvas comes down to 4096x2304, a square to the same area.
    request.fps = 0;
    profile = DisplayProfileCatalog::streamProfile(request, 1);
    EXPECT_EQ(profile.width, 4096);
    EXPECT_EQ(profile.height, 2304);
    request.pixelWidth = request.pixelHeight = 8192;
    profile = DisplayProfileCatalog::streamProfile(request, 1);
    EXPECT_EQ(profile.width, 3072);
    EXPECT_EQ(profile.height, 3072);
    // HEVC 4:2:0 keeps the Max canvas and takes a square to its area; H.264 stops at its side limit.
    request.chromaMode = VideoChromaMode::yuv420;
    profile = DisplayProfileCatalog::streamProfile(request, 1);
    EXPECT_LE(profile.width * profile.height, 6400 * 3600);
    EXPECT_GT(profile.width * profile.height, 6300 * 3600);
    request.codec = VideoStreamCodec::h264;
    request.chromaMode = VideoChromaMode::yuv444;
    profile = DisplayProfileCatalog::streamProfile(request, 1);
    EXPECT_EQ(profile.width, 4096);
    EXPECT_EQ(profile.height, 4096);
}

}  // namespace DisplayProfilesTests
