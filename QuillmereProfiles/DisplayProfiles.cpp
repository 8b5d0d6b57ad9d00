#include "QuillmereProfiles/DisplayProfiles.h"

#include <algorithm>
#include <cmath>

#include "QuillmereProfiles/DisplayPayloads.h"

namespace qm {

CaptureModeKind captureModeKind(VideoCaptureMode mode) {
    return static_cast<CaptureModeKind>(static_cast<std::uint8_t>(mode));
}

VideoCaptureMode videoCaptureMode(CaptureModeKind kind) {
    return static_cast<VideoCaptureMode>(static_cast<std::uint8_t>(kind));
}

namespace {

bool matchesSize(const ResolutionProfile& r, std::int64_t width, std::int64_t height, std::int64_t refWidth,
                 std::int64_t refHeight) {
    if (width == refWidth && height == refHeight) return true;
    if (r.kind != ResolutionKind::fullHD1080 || r.hiDPI || width != refWidth) return false;
    const std::int64_t shortBy = refHeight - height;
    return shortBy >= 1 && shortBy <= 16;
}

}  // namespace

bool ResolutionProfile::matchesLogicalSize(std::int64_t width, std::int64_t height, CaptureModeKind) const {
    return matchesSize(*this, width, height, logicalWidth, logicalHeight);
}

bool ResolutionProfile::matchesPixelSize(std::int64_t width, std::int64_t height, CaptureModeKind) const {
    return matchesSize(*this, width, height, pixelWidth, pixelHeight);
}

std::string ResolutionProfile::strictGeometrySummary() const {
    const auto size = std::to_string(logicalWidth) + "x" + std::to_string(logicalHeight);
    if (!hiDPI) return "logical " + size + " (HiDPI or non-HiDPI)";
    const std::int64_t scale = std::max<std::int64_t>(1, pixelWidth / std::max<std::int64_t>(1, logicalWidth));
    return size + " @" + std::to_string(scale) + "x (px " + std::to_string(pixelWidth) + "x" +
           std::to_string(pixelHeight) + ") HiDPI";
}

const ResolutionProfile& DisplayProfileCatalog::fullHD1080() {
    static const ResolutionProfile p{ResolutionKind::fullHD1080, "1080p", 1920, 1080, 1920, 1080, false};
    return p;
}

const ResolutionProfile& DisplayProfileCatalog::qhd1440() {
    static const ResolutionProfile p{ResolutionKind::qhd1440, "1440p", 2560, 1440, 2560, 1440, false};
    return p;
}

const ResolutionProfile& DisplayProfileCatalog::hidpi1080() {
    static const ResolutionProfile p{ResolutionKind::hidpi1080, "HiDPI 1080", 1920, 1080, 3840, 2160, true};
    return p;
}

const ResolutionProfile& DisplayProfileCatalog::hidpi1440() {
    static const ResolutionProfile p{ResolutionKind::hidpi1440, "HiDPI 1260", 2240, 1260, 4480, 2520, true};
    return p;
}

const ResolutionProfile& DisplayProfileCatalog::maxCanvas() {
    static const ResolutionProfile p{ResolutionKind::canvas2880, "Max Canvas", 3200, 1800, 6400, 3600, true};
    return p;
}

const std::vector<ResolutionProfile>& DisplayProfileCatalog::resolutions() {
    static const std::vector<ResolutionProfile> list{fullHD1080(), qhd1440(), hidpi1080(), hidpi1440(), maxCanvas()};
    return list;
}

const ResolutionProfile& DisplayProfileCatalog::resolution(ResolutionKind kind) {
    switch (kind) {
        case ResolutionKind::fullHD1080: return fullHD1080();
        case ResolutionKind::qhd1440: return qhd1440();
        case ResolutionKind::hidpi1080: return hidpi1080();
        case ResolutionKind::hidpi1440: return hidpi1440();
        case ResolutionKind::canvas2880: return maxCanvas();
    }
    return fullHD1080();
}

// Frame rates and bit rates are the defaults a preset request carries. Strict geometry holds every
// mode with a fixed pixel target to it; Max is judged on its logical canvas alone. Pro and Max default
// to the headless virtual display because few physical panels offer their HiDPI sizes.
const std::vector<CaptureModeProfileDefinition>& DisplayProfileCatalog::modes() {
    static const std::vector<CaptureModeProfileDefinition> list{
        {CaptureModeKind::physical1080, "1080p", fullHD1080(), 60, 20'000'000, 28'000'000, true, false, false},
        {CaptureModeKind::physical1440, "1440p", qhd1440(), 60, 30'000'000, 40'000'000, true, false, false},
        {CaptureModeKind::easy, "Easy", hidpi1080(), 60, 36'000'000, 48'000'000, true, false, true},
        {CaptureModeKind::pro, "Pro", hidpi1440(), 60, 50'000'000, 65'000'000, true, true, true},
        {CaptureModeKind::max, "Max", maxCanvas(), 60, 80'000'000, 100'000'000, false, true, true},
    };
    return list;
}

const CaptureModeProfileDefinition& DisplayProfileCatalog::easy() {
    return modes()[2];
}

std::optional<CaptureModeProfileDefinition> DisplayProfileCatalog::modeProfile(std::uint8_t forRawValue) {
    for (const auto& m : modes()) {
        if (static_cast<std::uint8_t>(m.kind) == forRawValue) return m;
    }
    return std::nullopt;
}

const CaptureModeProfileDefinition& DisplayProfileCatalog::profile(VideoCaptureMode mode) {
    for (const auto& m : modes()) {
        if (m.kind == captureModeKind(mode)) return m;
    }
    return easy();
}

std::int64_t CaptureRequestLimits::maximumPixelArea(VideoStreamCodec codec, VideoChromaMode chromaMode) {
    if (codec == VideoStreamCodec::h264) return 4096LL * 4096;
    return chromaMode == VideoChromaMode::yuv420 ? 6400LL * 3600 : 4096LL * 2304;
}

namespace {

std::int64_t boundedFps(std::int64_t fps) {
    if (fps <= 0) return 0;
    return std::clamp(fps, CaptureRequestLimits::minimumFps, CaptureRequestLimits::maximumFps);
}

std::int64_t boundedBitrate(std::int64_t bitrate) {
    if (bitrate <= 0) return 0;
    return std::clamp(bitrate, CaptureRequestLimits::minimumBitrate, CaptureRequestLimits::maximumBitrate);
}

}  // namespace

DisplayProfileCatalog::GrantedRequest DisplayProfileCatalog::grantedRequest(const CaptureModeControlPayload& request) {
    GrantedRequest granted{request, {}};
    auto note = [&](const char* field, std::int64_t asked, std::int64_t given) {
        granted.notes.push_back(std::string(field) + " " + std::to_string(asked) + (given < asked ? " lowered" : " raised") +
                                " to " + std::to_string(given));
    };
    granted.request.fps = boundedFps(request.fps);
    if (granted.request.fps != request.fps) note("fps", request.fps, granted.request.fps);
    granted.request.bitrate = boundedBitrate(request.bitrate);
    if (granted.request.bitrate != request.bitrate) note("bitrate", request.bitrate, granted.request.bitrate);
    return granted;
}

VideoStreamProfile DisplayProfileCatalog::streamProfile(const CaptureModeControlPayload& request,
                                                        std::uint32_t displayID) {
    const auto& mode = profile(request.mode);
    VideoStreamProfile out;
    out.displayID = displayID;
    out.mode = request.mode;
    out.codec = request.codec;
    out.chromaMode = request.chromaMode;
    out.fps = request.fps > 0 ? boundedFps(request.fps) : mode.fps;
    out.bitrate = request.bitrate > 0 ? boundedBitrate(request.bitrate) : mode.streamBitrate(request.chromaMode);

    std::int64_t w = request.pixelWidth;
    std::int64_t h = request.pixelHeight;
    if (w <= 0 || h <= 0) {
        w = mode.resolution.pixelWidth;
        h = mode.resolution.pixelHeight;
    }
    const std::int64_t limit = transportMaxDimension(request);
    const std::int64_t longer = std::max(w, h);
    if (longer > limit) {
        // Scale both sides by the same factor, in integers so that the result is exact.
        w = w * limit / longer;
        h = h * limit / longer;
    }
    const std::int64_t area = CaptureRequestLimits::maximumPixelArea(request.codec, request.chromaMode);
    if (w * h > area) {
        // Both sides by the same factor; the integer square root is rounded down, so the product
        // never exceeds the area.
        const double scale = std::sqrt(static_cast<double>(area) / static_cast<double>(w * h));
        w = std::max<std::int64_t>(2, static_cast<std::int64_t>(static_cast<double>(w) * scale));
        h = std::max<std::int64_t>(2, static_cast<std::int64_t>(static_cast<double>(h) * scale));
    }
    const auto even = [](std::int64_t v) { return v < 3 ? std::int64_t{2} : v - (v % 2); };
    out.width = even(w);
    out.height = even(h);
    return out;
}

}  // namespace qm
