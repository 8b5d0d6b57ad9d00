#include "QuillmereProfiles/MediaPayloads.h"

#include <algorithm>

#include "QuillmereProfiles/WireFields.h"

namespace qm {

// ---- AudioControlPayload

Bytes AudioControlPayload::encode() const {
    ByteWriter w(5);
    std::uint8_t flags = 0;
    if (wantsExclusiveListening) flags |= exclusiveListeningFlag;
    if (hasValue) flags |= valueFlag;
    if (wantsHostOutputMute) flags |= hostOutputMuteFlag;
    w.u8(flags);
    if (hasValue) w.u32(value);
    return w.take();
}

std::optional<AudioControlPayload> AudioControlPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    AudioControlPayload p;
    const std::uint8_t flags = bytes[0];
    p.wantsExclusiveListening = (flags & exclusiveListeningFlag) != 0;
    p.wantsHostOutputMute = (flags & hostOutputMuteFlag) != 0;
    p.hasValue = bytes.size() > 1 && (flags & valueFlag) != 0;
    if (p.hasValue && bytes.size() >= 5) {
        ByteReader r(bytes.subspan(1));
        p.value = *r.u32();
    }
    return p;
}

// ---- VideoStreamConfigPayload

Bytes VideoStreamConfigPayload::encode() const {
    ByteWriter w;
    w.u8(static_cast<std::uint8_t>(mode)).u8(static_cast<std::uint8_t>(codec)).u8(static_cast<std::uint8_t>(chromaMode));
    for (std::int64_t v : {width, height, fps, bitrate}) w.u32(wire::clampUInt32(v));
    const std::size_t count = std::min<std::size_t>(parameterSets.size(), 0xFFFF);
    w.u16(static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i) wire::appendBytes32(w, parameterSets[i]);
    return w.take();
}

std::optional<VideoStreamConfigPayload> VideoStreamConfigPayload::decode(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    const auto rawMode = r.u8();
    const auto rawCodec = r.u8();
    const auto rawChroma = r.u8();
    if (!rawChroma) return std::nullopt;
    const auto mode = videoCaptureModeFromRaw(*rawMode);
    const auto codec = videoStreamCodecFromRaw(*rawCodec);
    const auto chroma = videoChromaModeFromRaw(*rawChroma);
    if (!mode || !codec || !chroma) return std::nullopt;
    VideoStreamConfigPayload p;
    p.mode = *mode;
    p.codec = *codec;
    p.chromaMode = *chroma;
    for (std::int64_t* field : {&p.width, &p.height, &p.fps, &p.bitrate}) {
        const auto v = r.u32();
        if (!v) return std::nullopt;
        *field = *v;
    }
    const auto count = r.u16();
    if (!count) return std::nullopt;
    for (unsigned i = 0; i < *count; ++i) {
        auto set = wire::readBytes32(r);
        if (!set) return std::nullopt;
        p.parameterSets.push_back(std::move(*set));
    }
    if (!r.atEnd()) return std::nullopt;
    return p;
}

// ---- VideoFramePayload, VideoFrameAckPayload

Bytes VideoFramePayload::encode() const {
    ByteWriter w(8 + accessUnit.size());
    w.u64(frameNumber).bytes(accessUnit);
    return w.take();
}

std::optional<VideoFramePayload> VideoFramePayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < minimumSize) return std::nullopt;
    ByteReader r(bytes);
    VideoFramePayload p;
    p.frameNumber = *r.u64();
    p.accessUnit.assign(bytes.begin() + 8, bytes.end());
    return p;
}

Bytes VideoFrameAckPayload::encode() const {
    ByteWriter w(encodedSize);
    w.u64(frameNumber);
    return w.take();
}

std::optional<VideoFrameAckPayload> VideoFrameAckPayload::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < encodedSize) return std::nullopt;
    ByteReader r(bytes);
    return VideoFrameAckPayload{*r.u64()};
}

}  // namespace qm
