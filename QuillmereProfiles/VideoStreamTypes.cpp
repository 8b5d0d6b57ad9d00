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

}  // namespace qm
