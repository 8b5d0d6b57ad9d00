#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "Platform/ByteIO.h"

namespace qm {

// The aux packet types, one byte on the wire. Values not listed here still travel in a header
// (the dispatcher decides what to do with them); `auxPacketTypeFromRaw` tells them apart.
enum class AuxPacketType : std::uint8_t {
    audioFrame = 6,
    audioControl = 7,
    hostStatus = 8,
    identityChallenge = 9,
    identityProof = 10,
    clientSessionAuth = 11,
    clientSessionAuthResult = 12,
    videoConfig = 13,
    videoFrame = 14,
    videoFrameAck = 15,
    fileTransferEndpoint = 16,
    captureModeControl = 18,
    displayLayout = 23,
    hostDisplayMode = 24,
    pointerEvent = 25,
    clipboardTransfer = 27,
    gestureEvent = 28,
    hostShortcut = 29,
    keyEvent = 30,
    fileTransfer = 31,
    rawKeyEvent = 32,
    systemDefinedKeyEvent = 33,
    hostPhysicalDisplay = 34,
    hostSessionInfo = 35,
    viewportROI = 36,
    pipRegionSet = 37,
    pipRegionRemove = 38,
    pipRegionClear = 39,
    dragPullRequest = 40,
    iosBackgroundPresence = 49,
};

std::optional<AuxPacketType> auxPacketTypeFromRaw(std::uint8_t raw);
// The case name for log lines ("captureModeControl"); "unknown(N)" for a value that is no type.
std::string auxPacketTypeName(AuxPacketType type);

// The 20-byte little-endian header in front of every aux payload.
struct AuxPacketHeader {
    static constexpr std::size_t size = 20;
    // The four ASCII bytes '2', 'Q', '2', 'Q' in wire order, read as a little-endian u32.
    static constexpr std::uint32_t magicValue = 0x51325132;

    std::uint32_t magic = magicValue;
    AuxPacketType type = AuxPacketType::hostStatus;
    std::uint8_t flags = 0;
    std::uint16_t reserved = 0;  // written as 0 whatever it holds; ignored when read
    std::uint32_t payloadLength = 0;
    std::uint64_t timestampNs = 0;  // uptime in nanoseconds

    Bytes encode() const;
    // Nothing for fewer than 20 bytes or a wrong magic; extra bytes after the header are ignored.
    static std::optional<AuxPacketHeader> decode(std::span<const std::uint8_t> bytes);

    friend bool operator==(const AuxPacketHeader&, const AuxPacketHeader&) = default;
};

// Header plus payload, ready to send. The payload must fit a u32 length; a larger one is a
// programming error and throws std::length_error.
Bytes makeAuxPacket(AuxPacketType type, std::uint8_t flags, std::span<const std::uint8_t> payload,
                    std::uint64_t timestampNs);
// The same with a payload made of consecutive parts, copied once into the packet (large video
// frames go out without an intermediate payload buffer).
Bytes makeAuxPacket(AuxPacketType type, std::uint8_t flags,
                    std::initializer_list<std::span<const std::uint8_t>> payloadParts, std::uint64_t timestampNs);

struct AuxFrame {
    AuxPacketHeader header;
    Bytes payload;
};

enum class AuxFrameError : std::uint8_t {
    badMagic,        // the bytes at a frame boundary are not "2Q2Q"
    frameTooLarge,   // a header announces a frame that cannot fit the buffer limit
    bufferOverflow,  // appended data would grow the buffer past its limit
};

// "bad magic", "frame too large", "buffer overflow".
const char* auxFrameErrorName(AuxFrameError error);

// The receive buffer of one connection: bytes go in as they are read, whole frames come out.
// Framing is never resynchronised: after the first error the reader stays failed, and the owner
// closes the connection.
class AuxFrameReader {
public:
    static constexpr std::size_t maxReadSize = 65536;
    static constexpr std::size_t defaultMaxBufferedBytes = 1 << 20;

    explicit AuxFrameReader(std::size_t maxBufferedBytes = defaultMaxBufferedBytes)
        : maxBuffered_(maxBufferedBytes) {}

    // Adds received bytes. False (and `error()` set) when they would grow the unconsumed data past
    // the limit, or when the reader has already failed.
    bool append(std::span<const std::uint8_t> bytes);

    // The next whole frame, or nothing when more bytes are needed or framing failed (see `error()`).
    std::optional<AuxFrame> nextFrame();

    std::optional<AuxFrameError> error() const { return error_; }
    std::size_t bufferedBytes() const { return buffer_.size() - readPos_; }
    std::size_t maxBufferedBytes() const { return maxBuffered_; }

private:
    Bytes buffer_;
    std::size_t readPos_ = 0;  // consumed bytes at the front, dropped on the next append
    std::size_t maxBuffered_;
    std::optional<AuxFrameError> error_;
};

}  // namespace qm
