#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/Geometry.h"
#include "QuillmereProfiles/VideoStreamTypes.h"

namespace qm {

// A Viewer's capture request (captureModeControl). 29 bytes: mode, backend, codec, chroma (u8 each),
// logical width and height, pixel width and height, fps, bit rate (u32 each), flags (u8).
struct CaptureModeControlPayload {
    static constexpr std::size_t encodedSize = 29;
    static constexpr std::uint8_t hiDPIFlag = 0x01;
    // Encoder options whose meaning the video pipeline defines.
    static constexpr std::uint8_t encoderOption20Flag = 0x20;
    static constexpr std::uint8_t encoderOption40Flag = 0x40;
    static constexpr std::uint8_t iosBuiltInDisplayFlag = 0x80;

    VideoCaptureMode mode = VideoCaptureMode::easy;
    VideoCaptureBackend backend = VideoCaptureBackend::physical;
    VideoStreamCodec codec = VideoStreamCodec::h264;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    std::int64_t logicalWidth = 0;
    std::int64_t logicalHeight = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    std::int64_t fps = 0;
    std::int64_t bitrate = 0;
    std::uint8_t flags = 0;

    // Integer fields are clamped to 0...4294967295 on the wire.
    Bytes encode() const;
    // Nothing when shorter than 29 bytes or when mode, backend, codec or chroma is no known value.
    static std::optional<CaptureModeControlPayload> decode(std::span<const std::uint8_t> bytes);

    // The request moved to another mode: sizes of that mode's resolution, flag 0x01 following its
    // HiDPI-ness, everything else kept. The same mode gives an unchanged copy.
    CaptureModeControlPayload withMode(VideoCaptureMode newMode) const;
    // The default request of a mode: HEVC for pro, max and 4:4:4 (else H.264), the mode's sizes and
    // fps, its bit rate for that chroma mode, flag 0x01 when its resolution is HiDPI.
    static CaptureModeControlPayload preset(VideoCaptureMode mode, VideoChromaMode chromaMode,
                                            VideoCaptureBackend backend);
    // "mode=Easy backend=physical codec=hevc chroma=yuv420 logical=1920x1080 px=3840x2160 fps=60
    // bitrate=36000000 flags=0x01"
    std::string summary() const;

    friend bool operator==(const CaptureModeControlPayload&, const CaptureModeControlPayload&) = default;
};

// The largest encoded width or height a request may produce: 4096 for H.264, 8192 for HEVC.
std::int64_t transportMaxDimension(const CaptureModeControlPayload& request);

// The captured display's layout (displayLayout). 45 bytes: display id (u32), then target x, y,
// width, height, union x, y, width, height, pixel width, pixel height (int32 each, clamped), flags (u8).
struct DisplayLayoutPayload {
    static constexpr std::size_t encodedSize = 45;
    static constexpr std::uint8_t hiDPIFlag = 0x01;

    std::uint32_t displayID = 0;
    std::int64_t targetX = 0;
    std::int64_t targetY = 0;
    std::int64_t targetWidth = 0;
    std::int64_t targetHeight = 0;
    std::int64_t unionX = 0;
    std::int64_t unionY = 0;
    std::int64_t unionWidth = 0;
    std::int64_t unionHeight = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    std::uint8_t flags = 0;

    Bytes encode() const;
    static std::optional<DisplayLayoutPayload> decode(std::span<const std::uint8_t> bytes);
    // Appends the value as 4 little-endian bytes, clamped to -2147483648...2147483647 (never wrapped).
    static void appendInt32LE(std::int64_t value, Bytes& to);
    // "display=1 target=0,0 1512x982 union=0,0 1512x982 px=3024x1964 HiDPI"
    std::string summary() const;

    friend bool operator==(const DisplayLayoutPayload&, const DisplayLayoutPayload&) = default;
};

// A display's current geometry.
struct HostDisplayGeometry {
    std::uint32_t displayID = 0;
    std::int64_t logicalWidth = 0;
    std::int64_t logicalHeight = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    double refreshRate = 0;  // Hz, 0 when unknown
    bool isHiDPI = false;

    // "display=1 1512x982 px=3024x1964 scale=2.0x 120Hz HiDPI"
    std::string summary() const;

    friend bool operator==(const HostDisplayGeometry&, const HostDisplayGeometry&) = default;
};

// Console state, Host id, viewport region and picture-in-picture regions (hostSessionInfo).
// flags (u8), user name, display name, Host id (u16-prefixed UTF-8 each), the viewport rectangle
// (4 x float64) only when flag 8 is set, a u16 region count and per region its name and rectangle.
struct HostSessionInfoPayload {
    static constexpr std::uint8_t loginWindowFlag = 1;
    static constexpr std::uint8_t lockedFlag = 2;
    static constexpr std::uint8_t loginDoneFlag = 4;
    static constexpr std::uint8_t viewportROIFlag = 8;

    std::uint8_t flags = 0;
    std::string username;
    std::string displayName;
    std::string hostID;
    std::optional<Rect> viewportROI;  // normalised 0...1
    std::map<std::string, Rect> pipRegions;

    // Flag 8 on the wire always follows the presence of `viewportROI`, whatever `flags` holds, so that
    // the rectangle and its flag cannot disagree.
    Bytes encode() const;
    // Nothing on truncation, invalid UTF-8, a non-finite rectangle, a repeated region name or
    // trailing bytes.
    static std::optional<HostSessionInfoPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const HostSessionInfoPayload&, const HostSessionInfoPayload&) = default;
};

// A Viewer's viewport region of interest (viewportROI): 4 x float64 (x, y, width, height), normalised,
// y from the bottom edge; an empty payload withdraws the region.
struct ViewportROIPayload {
    std::optional<Rect> rect;

    Bytes encode() const;
    static std::optional<ViewportROIPayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const ViewportROIPayload&, const ViewportROIPayload&) = default;
};

// Sets one named picture-in-picture region (pipRegionSet): name (u16-prefixed UTF-8), rectangle.
// Every region goes into each hostSessionInfo packet, so both their number and their names are
// small: the largest session info stays a few KiB.
struct PipRegionSetPayload {
    static constexpr std::size_t maxNameBytes = 64;
    static constexpr std::size_t maxRegions = 32;

    std::string name;
    Rect rect;

    Bytes encode() const;
    static std::optional<PipRegionSetPayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const PipRegionSetPayload&, const PipRegionSetPayload&) = default;
};

// Removes one named region (pipRegionRemove): name (u16-prefixed UTF-8). pipRegionClear has no payload.
// Both decoders refuse a name longer than `PipRegionSetPayload::maxNameBytes`.
struct PipRegionRemovePayload {
    std::string name;

    Bytes encode() const;
    static std::optional<PipRegionRemovePayload> decode(std::span<const std::uint8_t> bytes);
    friend bool operator==(const PipRegionRemovePayload&, const PipRegionRemovePayload&) = default;
};

}  // namespace qm
