#include "QuillmereProfiles/DisplayPayloads.h"

#include <cstdio>

#include "QuillmereProfiles/DisplayProfiles.h"
#include "QuillmereProfiles/WireFields.h"

namespace qm {

// ---- CaptureModeControlPayload

Bytes CaptureModeControlPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u8(static_cast<std::uint8_t>(mode))
        .u8(static_cast<std::uint8_t>(backend))
        .u8(static_cast<std::uint8_t>(codec))
        .u8(static_cast<std::uint8_t>(chromaMode));
    for (std::int64_t v : {logicalWidth, logicalHeight, pixelWidth, pixelHeight, fps, bitrate})
        w.u32(wire::clampUInt32(v));
    w.u8(flags);
    return w.take();
}

std::optional<CaptureModeControlPayload> CaptureModeControlPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    const auto mode = videoCaptureModeFromRaw(*r.u8());
    const auto backend = videoCaptureBackendFromRaw(*r.u8());
    const auto codec = videoStreamCodecFromRaw(*r.u8());
    const auto chroma = videoChromaModeFromRaw(*r.u8());
    if (!mode || !backend || !codec || !chroma) return std::nullopt;
    CaptureModeControlPayload p;
    p.mode = *mode;
    p.backend = *backend;
    p.codec = *codec;
    p.chromaMode = *chroma;
    for (std::int64_t* field : {&p.logicalWidth, &p.logicalHeight, &p.pixelWidth, &p.pixelHeight, &p.fps, &p.bitrate})
        *field = *r.u32();
    p.flags = *r.u8();
    return p;
}

CaptureModeControlPayload CaptureModeControlPayload::withMode(VideoCaptureMode newMode) const {
    if (newMode == mode) return *this;
    CaptureModeControlPayload copy = *this;
    const auto& res = DisplayProfileCatalog::profile(newMode).resolution;
    copy.mode = newMode;
    copy.logicalWidth = res.logicalWidth;
    copy.logicalHeight = res.logicalHeight;
    copy.pixelWidth = res.pixelWidth;
    copy.pixelHeight = res.pixelHeight;
    copy.flags = res.hiDPI ? static_cast<std::uint8_t>(flags | hiDPIFlag) : static_cast<std::uint8_t>(flags & ~hiDPIFlag);
    return copy;
}

CaptureModeControlPayload CaptureModeControlPayload::preset(VideoCaptureMode mode, VideoChromaMode chromaMode,
                                                            VideoCaptureBackend backend) {
    const auto& profile = DisplayProfileCatalog::profile(mode);
    CaptureModeControlPayload p;
    p.mode = mode;
    p.backend = backend;
    p.codec = (mode == VideoCaptureMode::pro || mode == VideoCaptureMode::max || chromaMode == VideoChromaMode::yuv444)
                  ? VideoStreamCodec::hevc
                  : VideoStreamCodec::h264;
    p.chromaMode = chromaMode;
    p.logicalWidth = profile.resolution.logicalWidth;
    p.logicalHeight = profile.resolution.logicalHeight;
    p.pixelWidth = profile.resolution.pixelWidth;
    p.pixelHeight = profile.resolution.pixelHeight;
    p.fps = profile.fps;
    p.bitrate = profile.streamBitrate(chromaMode);
    p.flags = profile.resolution.hiDPI ? hiDPIFlag : 0;
    return p;
}

std::string CaptureModeControlPayload::summary() const {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "mode=%s backend=%s codec=%s chroma=%s logical=%lldx%lld px=%lldx%lld fps=%lld bitrate=%lld "
                  "flags=0x%02X",
                  DisplayProfileCatalog::profile(mode).title.c_str(), videoCaptureBackendName(backend),
                  videoStreamCodecName(codec), videoChromaModeName(chromaMode), static_cast<long long>(logicalWidth),
                  static_cast<long long>(logicalHeight), static_cast<long long>(pixelWidth),
                  static_cast<long long>(pixelHeight), static_cast<long long>(fps), static_cast<long long>(bitrate),
                  static_cast<unsigned>(flags));
    return buf;
}

std::int64_t transportMaxDimension(const CaptureModeControlPayload& request) {
    // The largest frame side the common decoders of each codec accept at the levels we encode.
    return request.codec == VideoStreamCodec::hevc ? 8192 : 4096;
}

// ---- DisplayLayoutPayload

void DisplayLayoutPayload::appendInt32LE(std::int64_t value, Bytes& to) {
    const auto v = static_cast<std::uint32_t>(wire::clampInt32(value));
    for (int i = 0; i < 4; ++i) to.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes DisplayLayoutPayload::encode() const {
    Bytes out;
    out.reserve(encodedSize);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(displayID >> (8 * i)));
    for (std::int64_t v : {targetX, targetY, targetWidth, targetHeight, unionX, unionY, unionWidth, unionHeight,
                           pixelWidth, pixelHeight})
        appendInt32LE(v, out);
    out.push_back(flags);
    return out;
}

std::optional<DisplayLayoutPayload> DisplayLayoutPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    DisplayLayoutPayload p;
    p.displayID = *r.u32();
    for (std::int64_t* field : {&p.targetX, &p.targetY, &p.targetWidth, &p.targetHeight, &p.unionX, &p.unionY,
                                &p.unionWidth, &p.unionHeight, &p.pixelWidth, &p.pixelHeight})
        *field = *r.i32();
    p.flags = *r.u8();
    return p;
}

std::string DisplayLayoutPayload::summary() const {
    char buf[256];
    std::snprintf(buf, sizeof buf, "display=%u target=%lld,%lld %lldx%lld union=%lld,%lld %lldx%lld px=%lldx%lld%s",
                  displayID, static_cast<long long>(targetX), static_cast<long long>(targetY),
                  static_cast<long long>(targetWidth), static_cast<long long>(targetHeight),
                  static_cast<long long>(unionX), static_cast<long long>(unionY), static_cast<long long>(unionWidth),
                  static_cast<long long>(unionHeight), static_cast<long long>(pixelWidth),
                  static_cast<long long>(pixelHeight), (flags & hiDPIFlag) ? " HiDPI" : "");
    return buf;
}

// ---- HostDisplayGeometry

std::string HostDisplayGeometry::summary() const {
    const double scale = logicalWidth < 1 ? 1.0 : static_cast<double>(pixelWidth) / static_cast<double>(logicalWidth);
    char buf[256];
    std::snprintf(buf, sizeof buf, "display=%u %lldx%lld px=%lldx%lld scale=%.1fx %.0fHz%s", displayID,
                  static_cast<long long>(logicalWidth), static_cast<long long>(logicalHeight),
                  static_cast<long long>(pixelWidth), static_cast<long long>(pixelHeight), scale, refreshRate,
                  isHiDPI ? " HiDPI" : "");
    return buf;
}

// ---- HostSessionInfoPayload

Bytes HostSessionInfoPayload::encode() const {
    ByteWriter w;
    const std::uint8_t wireFlags =
        static_cast<std::uint8_t>((flags & ~viewportROIFlag) | (viewportROI ? viewportROIFlag : 0));
    w.u8(wireFlags);
    wire::appendString16(w, username);
    wire::appendString16(w, displayName);
    wire::appendString16(w, hostID);
    if (viewportROI) wire::appendRect(w, *viewportROI);
    const std::size_t count = std::min<std::size_t>(pipRegions.size(), 0xFFFF);
    w.u16(static_cast<std::uint16_t>(count));
    std::size_t written = 0;
    for (const auto& [name, rect] : pipRegions) {
        if (written++ == count) break;
        wire::appendString16(w, name);
        wire::appendRect(w, rect);
    }
    return w.take();
}

std::optional<HostSessionInfoPayload> HostSessionInfoPayload::decode(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    HostSessionInfoPayload p;
    const auto flags = r.u8();
    if (!flags) return std::nullopt;
    p.flags = *flags;
    auto user = wire::readString16(r);
    auto display = user ? wire::readString16(r) : std::nullopt;
    auto host = display ? wire::readString16(r) : std::nullopt;
    if (!host) return std::nullopt;
    p.username = std::move(*user);
    p.displayName = std::move(*display);
    p.hostID = std::move(*host);
    if (p.flags & viewportROIFlag) {
        p.viewportROI = wire::readRect(r);
        if (!p.viewportROI) return std::nullopt;
    }
    const auto count = r.u16();
    if (!count) return std::nullopt;
    for (unsigned i = 0; i < *count; ++i) {
        auto name = wire::readString16(r);
        if (!name) return std::nullopt;
        auto rect = wire::readRect(r);
        if (!rect) return std::nullopt;
        if (!p.pipRegions.emplace(std::move(*name), *rect).second) return std::nullopt;
    }
    if (!r.atEnd()) return std::nullopt;
    return p;
}

// ---- Viewport and picture-in-picture requests

Bytes ViewportROIPayload::encode() const {
    ByteWriter w;
    if (rect) wire::appendRect(w, *rect);
    return w.take();
}

std::optional<ViewportROIPayload> ViewportROIPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return ViewportROIPayload{};
    ByteReader r(bytes);
    auto rect = wire::readRect(r);
    if (!rect) return std::nullopt;
    return ViewportROIPayload{*rect};
}

Bytes PipRegionSetPayload::encode() const {
    ByteWriter w;
    wire::appendString16(w, name);
    wire::appendRect(w, rect);
    return w.take();
}

std::optional<PipRegionSetPayload> PipRegionSetPayload::decode(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    auto name = wire::readString16(r);
    if (!name || name->size() > maxNameBytes) return std::nullopt;
    auto rect = wire::readRect(r);
    if (!rect || !r.atEnd()) return std::nullopt;
    return PipRegionSetPayload{std::move(*name), *rect};
}

Bytes PipRegionRemovePayload::encode() const {
    ByteWriter w;
    wire::appendString16(w, name);
    return w.take();
}

std::optional<PipRegionRemovePayload> PipRegionRemovePayload::decode(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    auto name = wire::readString16(r);
    if (!name || name->size() > PipRegionSetPayload::maxNameBytes || !r.atEnd()) return std::nullopt;
    return PipRegionRemovePayload{std::move(*name)};
}

}  // namespace qm
