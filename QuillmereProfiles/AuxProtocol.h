#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "Platform/Core/ByteIO.h"

namespace qm {

// The aux packet types, one byte on the wire. Values not listed here still travel in a header
// (the dispatcher decides what to do with them); `auxPacketTypeFromRaw` tells them apart.
enum class AuxPacketType : std::uint8_t {
    audioFrame = 6,
    audioControl = 7,
    hostStatus = 8,
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
    identityChallenge = 41,
    identityProof = 42,
    dragSnapshot = 43,
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

// A frame whose payload still lies in the bytes it was read from.
struct AuxFrameView {
    AuxPacketHeader header;
    std::span<const std::uint8_t> payload;
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

    // Cuts every whole frame out of the buffered bytes followed by `bytes` and hands each to
    // `handler` without copying its payload (the view is valid during the call only); keeps the
    // trailing part of a frame for the next call. Frames that lie whole in `bytes` are never
    // copied at all. Stops early when `handler` returns false (its owner closed the connection).
    // False when framing failed (see `error()`).
    template <class Handler>
    bool consume(std::span<const std::uint8_t> bytes, Handler&& handler);

    std::optional<AuxFrameError> error() const { return error_; }
    std::size_t bufferedBytes() const { return buffer_.size() - readPos_; }
    std::size_t maxBufferedBytes() const { return maxBuffered_; }
    // Changes the largest frame accepted from now on (a connection that signed in may send more).
    void setMaxBufferedBytes(std::size_t bytes) { maxBuffered_ = bytes; }

private:
    enum class Cut { frame, needMore, failed };
    // Reads one frame at the front of `pending`. Once its header is whole, `frameSize` holds the
    // frame's whole size, also when the rest has not arrived yet.
    Cut cut(std::span<const std::uint8_t> pending, AuxFrameView& view, std::size_t& frameSize);

    Bytes buffer_;
    std::size_t readPos_ = 0;  // consumed bytes at the front, dropped on the next append
    std::size_t maxBuffered_;
    std::optional<AuxFrameError> error_;
};

template <class Handler>
bool AuxFrameReader::consume(std::span<const std::uint8_t> bytes, Handler&& handler) {
    if (error_) return false;
    AuxFrameView view;
    std::size_t frameSize = 0;
    // A frame begun in an earlier read is completed in the buffer with just the bytes it lacks.
    while (bufferedBytes() > 0) {
        std::size_t wanted = AuxPacketHeader::size;
        if (bufferedBytes() >= AuxPacketHeader::size) {
            const std::span<const std::uint8_t> pending(buffer_.data() + readPos_, bufferedBytes());
            if (cut(pending, view, frameSize) == Cut::failed) return false;
            wanted = frameSize;
        }
        if (bufferedBytes() < wanted) {
            const auto take = std::min(bytes.size(), wanted - bufferedBytes());
            if (!append(bytes.first(take))) return false;
            bytes = bytes.subspan(take);
            if (bufferedBytes() < wanted) {
                // Still short: a wrong magic is reported as soon as its bytes are here.
                const std::span<const std::uint8_t> pending(buffer_.data() + readPos_, bufferedBytes());
                return cut(pending, view, frameSize) != Cut::failed;
            }
            continue;  // the header is whole now: learn the frame's size
        }
        const std::span<const std::uint8_t> pending(buffer_.data() + readPos_, bufferedBytes());
        if (cut(pending, view, frameSize) != Cut::frame) return false;
        const bool more = handler(static_cast<const AuxFrameView&>(view));
        buffer_.clear();
        readPos_ = 0;
        if (!more) return true;
    }
    // Then straight from the bytes just read; only a trailing partial frame is kept.
    while (!bytes.empty()) {
        const auto result = cut(bytes, view, frameSize);
        if (result == Cut::failed) return false;
        if (result == Cut::needMore) return append(bytes);
        bytes = bytes.subspan(frameSize);
        if (!handler(static_cast<const AuxFrameView&>(view))) return true;
    }
    return true;
}

}  // namespace qm
