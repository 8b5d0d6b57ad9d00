#include "QuillmereProfiles/AuxProtocol.h"

#include <limits>
#include <stdexcept>

namespace qm {

namespace {

// The case name of a known type; nullptr for a value that is no type.
const char* knownTypeName(AuxPacketType type) {
    switch (type) {
        case AuxPacketType::audioFrame: return "audioFrame";
        case AuxPacketType::audioControl: return "audioControl";
        case AuxPacketType::hostStatus: return "hostStatus";
        case AuxPacketType::identityChallenge: return "identityChallenge";
        case AuxPacketType::identityProof: return "identityProof";
        case AuxPacketType::dragSnapshot: return "dragSnapshot";
        case AuxPacketType::clientSessionAuth: return "clientSessionAuth";
        case AuxPacketType::clientSessionAuthResult: return "clientSessionAuthResult";
        case AuxPacketType::videoConfig: return "videoConfig";
        case AuxPacketType::videoFrame: return "videoFrame";
        case AuxPacketType::videoFrameAck: return "videoFrameAck";
        case AuxPacketType::fileTransferEndpoint: return "fileTransferEndpoint";
        case AuxPacketType::captureModeControl: return "captureModeControl";
        case AuxPacketType::displayLayout: return "displayLayout";
        case AuxPacketType::hostDisplayMode: return "hostDisplayMode";
        case AuxPacketType::pointerEvent: return "pointerEvent";
        case AuxPacketType::clipboardTransfer: return "clipboardTransfer";
        case AuxPacketType::gestureEvent: return "gestureEvent";
        case AuxPacketType::hostShortcut: return "hostShortcut";
        case AuxPacketType::keyEvent: return "keyEvent";
        case AuxPacketType::fileTransfer: return "fileTransfer";
        case AuxPacketType::rawKeyEvent: return "rawKeyEvent";
        case AuxPacketType::systemDefinedKeyEvent: return "systemDefinedKeyEvent";
        case AuxPacketType::hostPhysicalDisplay: return "hostPhysicalDisplay";
        case AuxPacketType::hostSessionInfo: return "hostSessionInfo";
        case AuxPacketType::viewportROI: return "viewportROI";
        case AuxPacketType::pipRegionSet: return "pipRegionSet";
        case AuxPacketType::pipRegionRemove: return "pipRegionRemove";
        case AuxPacketType::pipRegionClear: return "pipRegionClear";
        case AuxPacketType::dragPullRequest: return "dragPullRequest";
        case AuxPacketType::iosBackgroundPresence: return "iosBackgroundPresence";
    }
    return nullptr;
}

}  // namespace

std::optional<AuxPacketType> auxPacketTypeFromRaw(std::uint8_t raw) {
    const auto type = static_cast<AuxPacketType>(raw);
    if (!knownTypeName(type)) return std::nullopt;
    return type;
}

std::string auxPacketTypeName(AuxPacketType type) {
    if (const char* name = knownTypeName(type)) return name;
    return "unknown(" + std::to_string(static_cast<unsigned>(type)) + ")";
}

Bytes AuxPacketHeader::encode() const {
    ByteWriter w(size);
    w.u32(magic).u8(static_cast<std::uint8_t>(type)).u8(flags).u16(0).u32(payloadLength).u64(timestampNs);
    return w.take();
}

std::optional<AuxPacketHeader> AuxPacketHeader::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < size) return std::nullopt;
    ByteReader r(bytes.first(size));
    AuxPacketHeader h;
    h.magic = *r.u32();
    if (h.magic != magicValue) return std::nullopt;
    h.type = static_cast<AuxPacketType>(*r.u8());
    h.flags = *r.u8();
    h.reserved = *r.u16();
    h.payloadLength = *r.u32();
    h.timestampNs = *r.u64();
    return h;
}

Bytes makeAuxPacket(AuxPacketType type, std::uint8_t flags, std::span<const std::uint8_t> payload,
                    std::uint64_t timestampNs) {
    return makeAuxPacket(type, flags, {payload}, timestampNs);
}

Bytes makeAuxPacket(AuxPacketType type, std::uint8_t flags,
                    std::initializer_list<std::span<const std::uint8_t>> payloadParts, std::uint64_t timestampNs) {
    std::size_t length = 0;
    for (const auto& part : payloadParts) length += part.size();
    if (length > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("aux payload does not fit a 32-bit length");
    AuxPacketHeader h;
    h.type = type;
    h.flags = flags;
    h.payloadLength = static_cast<std::uint32_t>(length);
    h.timestampNs = timestampNs;
    Bytes out;
    out.reserve(AuxPacketHeader::size + length);
    const auto head = h.encode();
    out.insert(out.end(), head.begin(), head.end());
    for (const auto& part : payloadParts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

const char* auxFrameErrorName(AuxFrameError error) {
    switch (error) {
        case AuxFrameError::badMagic: return "bad magic";
        case AuxFrameError::frameTooLarge: return "frame too large";
        case AuxFrameError::bufferOverflow: return "buffer overflow";
    }
    return "unknown";
}

bool AuxFrameReader::append(std::span<const std::uint8_t> bytes) {
    if (error_) return false;
    if (bytes.size() > maxBuffered_ || bufferedBytes() > maxBuffered_ - bytes.size()) {
        error_ = AuxFrameError::bufferOverflow;
        return false;
    }
    // Drop what earlier frames consumed once per read, not once per frame, so that a read holding
    // many small frames costs one move of the remainder.
    if (readPos_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(readPos_));
        readPos_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return true;
}

AuxFrameReader::Cut AuxFrameReader::cut(std::span<const std::uint8_t> pending, AuxFrameView& view,
                                         std::size_t& frameSize) {
    if (pending.empty()) return Cut::needMore;
    // A wrong magic is reported as soon as its bytes are here, without waiting for a whole header.
    const std::uint8_t magicBytes[4] = {'2', 'Q', '2', 'Q'};
    for (std::size_t i = 0; i < pending.size() && i < 4; ++i) {
        if (pending[i] != magicBytes[i]) {
            error_ = AuxFrameError::badMagic;
            return Cut::failed;
        }
    }
    auto header = AuxPacketHeader::decode(pending);
    if (!header) return Cut::needMore;
    const std::uint64_t size = AuxPacketHeader::size + static_cast<std::uint64_t>(header->payloadLength);
    if (size > maxBuffered_) {
        error_ = AuxFrameError::frameTooLarge;
        return Cut::failed;
    }
    frameSize = static_cast<std::size_t>(size);
    if (pending.size() < size) return Cut::needMore;
    view.header = *header;
    view.payload = pending.subspan(AuxPacketHeader::size, header->payloadLength);
    return Cut::frame;
}

std::optional<AuxFrame> AuxFrameReader::nextFrame() {
    if (error_) return std::nullopt;
    AuxFrameView view;
    std::size_t frameSize = 0;
    const std::span<const std::uint8_t> pending(buffer_.data() + readPos_, bufferedBytes());
    if (cut(pending, view, frameSize) != Cut::frame) return std::nullopt;
    AuxFrame frame{view.header, Bytes(view.payload.begin(), view.payload.end())};
    readPos_ += frameSize;
    if (readPos_ == buffer_.size()) {
        buffer_.clear();
        readPos_ = 0;
    }
    return frame;
}

}  // namespace qm
