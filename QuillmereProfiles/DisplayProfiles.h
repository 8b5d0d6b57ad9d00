#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/VideoStreamTypes.h"

namespace qm {

// The catalogue's preset resolutions, in catalogue order.
enum class ResolutionKind : std::uint8_t { fullHD1080 = 0, qhd1440 = 1, hidpi1080 = 2, hidpi1440 = 3, canvas2880 = 4 };

// The catalogue's capture modes, in catalogue order; the values are the modes' wire values.
enum class CaptureModeKind : std::uint8_t { physical1080 = 0, physical1440 = 1, easy = 3, pro = 4, max = 6 };

CaptureModeKind captureModeKind(VideoCaptureMode mode);
VideoCaptureMode videoCaptureMode(CaptureModeKind kind);

struct ResolutionProfile {
    ResolutionKind kind = ResolutionKind::fullHD1080;
    std::string title;
    std::int64_t logicalWidth = 0;
    std::int64_t logicalHeight = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    bool hiDPI = false;

    // The exact logical size; for the non-HiDPI 1080p entry also the same width with a height 1 to 16
    // short (a display that reports a few rows fewer still counts). The mode is not used.
    bool matchesLogicalSize(std::int64_t width, std::int64_t height, CaptureModeKind mode) const;
    // The same rule on the pixel size.
    bool matchesPixelSize(std::int64_t width, std::int64_t height, CaptureModeKind mode) const;
    // "logical 1920x1080 (HiDPI or non-HiDPI)" or "1920x1080 @2x (px 3840x2160) HiDPI".
    std::string strictGeometrySummary() const;

    friend bool operator==(const ResolutionProfile&, const ResolutionProfile&) = default;
};

struct CaptureModeProfileDefinition {
    CaptureModeKind kind = CaptureModeKind::easy;
    std::string title;
    ResolutionProfile resolution;
    std::int64_t fps = 60;
    std::int64_t bitrate420 = 0;  // default stream bit rate (bits per second) for 4:2:0
    std::int64_t bitrate444 = 0;  // and for 4:4:4
    bool requireStrictGeometry = false;
    bool defaultUsesHeadlessVirtualDisplay = false;
    bool preferHiDPIPhysicalSwitch = false;

    std::int64_t streamBitrate(VideoChromaMode chromaMode) const {
        return chromaMode == VideoChromaMode::yuv444 ? bitrate444 : bitrate420;
    }

    friend bool operator==(const CaptureModeProfileDefinition&, const CaptureModeProfileDefinition&) = default;
};

// What the Host grants of a capture request. A frame rate or bit rate of 0 asks for the mode's
// default; other values outside these ranges are brought to the nearest bound.
struct CaptureRequestLimits {
    // Frames per second: the range the encoders take and a capture interval that stays sane.
    static constexpr std::int64_t minimumFps = 1;
    static constexpr std::int64_t maximumFps = 240;
    // Bits per second: below 100 kbit/s the encoders refuse to open or produce nothing usable;
    // above 500 Mbit/s no local network carries the stream.
    static constexpr std::int64_t minimumBitrate = 100'000;
    static constexpr std::int64_t maximumBitrate = 500'000'000;

    // The largest encoded picture, in pixels, for a codec and chroma mode. An encoder keeps some
    // dozens of pictures of its input size (references, rows per thread), so the area bounds the
    // Host's memory. Measured with our encoder settings, resident memory per stream:
    //   H.264 either chroma: 4096 x 4096, the side limit (at most about 0.45 GB)
    //   HEVC 4:2:0:          6400 x 3600, the Max canvas (about 1.3 GB)
    //   HEVC 4:4:4:          4096 x 2304 (about 0.85 GB; the Max canvas would take 2 GB and
    //                        8192 x 8192 5.5 GB)
    static std::int64_t maximumPixelArea(VideoStreamCodec codec, VideoChromaMode chromaMode);
};

// The fixed tables of resolutions and capture modes. Entries are built once, on first use.
struct DisplayProfileCatalog {
    static const ResolutionProfile& fullHD1080();
    static const ResolutionProfile& qhd1440();
    static const ResolutionProfile& hidpi1080();
    static const ResolutionProfile& hidpi1440();
    static const ResolutionProfile& maxCanvas();
    // The five resolutions in catalogue order.
    static const std::vector<ResolutionProfile>& resolutions();
    static const ResolutionProfile& resolution(ResolutionKind kind);

    // The five capture modes in catalogue order.
    static const std::vector<CaptureModeProfileDefinition>& modes();
    static const CaptureModeProfileDefinition& easy();
    // The mode with this wire value (0, 1, 3, 4, 6); nothing for any other value.
    static std::optional<CaptureModeProfileDefinition> modeProfile(std::uint8_t forRawValue);
    // The profile of a mode; every `VideoCaptureMode` has one.
    static const CaptureModeProfileDefinition& profile(VideoCaptureMode mode);

    // The encoder's working profile for a capture request on a display: the request's mode, codec,
    // chroma, frame rate and bit rate (the mode's defaults where the request gives 0 or less, else
    // held to `CaptureRequestLimits`) and its pixel size, scaled down to `transportMaxDimension`
    // and to the codec's `maximumPixelArea`, and made even.
    static VideoStreamProfile streamProfile(const CaptureModeControlPayload& request, std::uint32_t displayID);

    // The request as the Host grants it: frame rate and bit rate held to `CaptureRequestLimits`
    // (0 stays 0: the mode's default). `notes` says what was changed, one text per field, e.g.
    // "fps 4294967295 lowered to 240".
    struct GrantedRequest {
        CaptureModeControlPayload request;
        std::vector<std::string> notes;
    };
    static GrantedRequest grantedRequest(const CaptureModeControlPayload& request);
};

}  // namespace qm
