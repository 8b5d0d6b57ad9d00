#pragma once

#include <cstdint>
#include <optional>

namespace qm {

// Capture modes as Viewers name them on the wire.
enum class VideoCaptureMode : std::uint8_t {
    physical1080 = 0,
    physical1440 = 1,
    easy = 3,
    pro = 4,
    max = 6,
};

enum class VideoStreamCodec : std::uint8_t { h264 = 0, hevc = 1 };
enum class VideoChromaMode : std::uint8_t { yuv420 = 0, yuv444 = 1 };
enum class VideoCaptureBackend : std::uint8_t { physical = 0, headlessVirtual = 1 };

std::optional<VideoCaptureMode> videoCaptureModeFromRaw(std::uint8_t raw);
std::optional<VideoStreamCodec> videoStreamCodecFromRaw(std::uint8_t raw);
std::optional<VideoChromaMode> videoChromaModeFromRaw(std::uint8_t raw);
std::optional<VideoCaptureBackend> videoCaptureBackendFromRaw(std::uint8_t raw);

// Case names for log lines ("easy", "hevc", "yuv444", "headlessVirtual").
const char* videoCaptureModeName(VideoCaptureMode mode);
const char* videoStreamCodecName(VideoStreamCodec codec);
const char* videoChromaModeName(VideoChromaMode chroma);
const char* videoCaptureBackendName(VideoCaptureBackend backend);

// The encoder's working profile: what is captured and how it is encoded.
struct VideoStreamProfile {
    std::uint32_t displayID = 0;
    VideoCaptureMode mode = VideoCaptureMode::easy;
    VideoStreamCodec codec = VideoStreamCodec::h264;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    std::int64_t width = 0;   // encoded size in pixels
    std::int64_t height = 0;
    bool strictSize = false;  // the encoded size must be exactly width x height
    std::int64_t fps = 60;
    std::int64_t bitrate = 0;  // bits per second
    double quality = 0.0;      // 0...1, 0 = let the rate control decide
    std::int64_t keyframeInterval = 0;  // frames between forced keyframes
    double burstRatio = 1.0;   // peak rate over average rate allowed within the burst window
    double burstWindow = 1.0;  // seconds

    friend bool operator==(const VideoStreamProfile&, const VideoStreamProfile&) = default;
};

}  // namespace qm
