#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "QuillmereProfiles/VideoStreamTypes.h"

namespace qm {

// A Viewer's audio wishes (audioControl). Byte 0 holds the flags; bytes 1...4 a little-endian value
// that only counts when flag 0x02 is set and the payload has at least 5 bytes.
struct AudioControlPayload {
    static constexpr std::uint8_t exclusiveListeningFlag = 0x01;
    static constexpr std::uint8_t valueFlag = 0x02;
    static constexpr std::uint8_t hostOutputMuteFlag = 0x04;

    bool wantsExclusiveListening = false;
    bool hasValue = false;  // flag 0x02; read only when the payload is longer than 1 byte
    bool wantsHostOutputMute = false;
    std::uint32_t value = 0;

    Bytes encode() const;
    // Nothing for an empty payload; every other length decodes.
    static std::optional<AudioControlPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const AudioControlPayload&, const AudioControlPayload&) = default;
};

// The stream's configuration (videoConfig): mode, codec, chroma (u8 each), width, height, fps, bit
// rate (u32 each, clamped), a u16 count of parameter sets, each a u32 length and its bytes.
struct VideoStreamConfigPayload {
    VideoCaptureMode mode = VideoCaptureMode::easy;
    VideoStreamCodec codec = VideoStreamCodec::h264;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t fps = 0;
    std::int64_t bitrate = 0;
    std::vector<Bytes> parameterSets;  // H.264: SPS, PPS; HEVC: VPS, SPS, PPS (without start codes)

    Bytes encode() const;
    // Nothing on an unknown enum value, truncation or trailing bytes.
    static std::optional<VideoStreamConfigPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const VideoStreamConfigPayload&, const VideoStreamConfigPayload&) = default;
};

// One encoded frame (videoFrame): frame number (u64), then one Annex-B access unit to the end.
// The header's flag bit 0 marks a keyframe; the header timestamp is the capture uptime.
struct VideoFramePayload {
    static constexpr std::uint8_t keyframeFlag = 0x01;
    static constexpr std::size_t minimumSize = 9;  // a frame carries at least one byte of data

    std::uint64_t frameNumber = 0;
    Bytes accessUnit;

    Bytes encode() const;
    static std::optional<VideoFramePayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const VideoFramePayload&, const VideoFramePayload&) = default;
};

// A Viewer's acknowledgement of a frame (videoFrameAck): the frame number (u64).
struct VideoFrameAckPayload {
    static constexpr std::size_t encodedSize = 8;
    std::uint64_t frameNumber = 0;

    Bytes encode() const;
    static std::optional<VideoFrameAckPayload> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const VideoFrameAckPayload&, const VideoFrameAckPayload&) = default;
};

}  // namespace qm
