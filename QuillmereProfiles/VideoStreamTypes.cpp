#include "QuillmereProfiles/VideoStreamTypes.h"

namespace qm {

std::optional<VideoCaptureMode> videoCaptureModeFromRaw(std::uint8_t raw) {
    switch (raw) {
        case 0: return VideoCaptureMode::physical1080;
        case 1: return VideoCaptureMode::physical1440;
        case 3: return VideoCaptureMode::easy;
        case 4: return VideoCaptureMode::pro;
        case 6: return VideoCaptureMode::max;
        default: return std::nullopt;
    }
}

std::optional<VideoStreamCodec> videoStreamCodecFromRaw(std::uint8_t raw) {
    if (raw > 1) return std::nullopt;
    return static_cast<VideoStreamCodec>(raw);
}

std::optional<VideoChromaMode> videoChromaModeFromRaw(std::uint8_t raw) {
    if (raw > 1) return std::nullopt;
    return static_cast<VideoChromaMode>(raw);
}

std::optional<VideoCaptureBackend> videoCaptureBackendFromRaw(std::uint8_t raw) {
    if (raw > 1) return std::nullopt;
    return static_cast<VideoCaptureBackend>(raw);
}

const char* videoCaptureModeName(VideoCaptureMode mode) {
    switch (mode) {
        case VideoCaptureMode::physical1080: return "physical1080";
        case VideoCaptureMode::physical1440: return "physical1440";
        case VideoCaptureMode::easy: return "easy";
        case VideoCaptureMode::pro: return "pro";
        case VideoCaptureMode::max: return "max";
    }
    return "unknown";
}

const char* videoStreamCodecName(VideoStreamCodec codec) {
    return codec == VideoStreamCodec::hevc ? "hevc" : "h264";
}

const char* videoChromaModeName(VideoChromaMode chroma) {
    return chroma == VideoChromaMode::yuv444 ? "yuv444" : "yuv420";
}

const char* videoCaptureBackendName(VideoCaptureBackend backend) {
    return backend == VideoCaptureBackend::headlessVirtual ? "headlessVirtual" : "physical";
}

}  // namespace qm
