#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Network.h"

namespace qm {

// Framing of the file-transfer side channel: "FTRX", a 32-bit little-endian payload length,
// then the payload. Frames follow one another with nothing between them.
namespace FileTransferChannelConstants {
inline constexpr std::array<std::uint8_t, 4> magic{0x46, 0x54, 0x52, 0x58};  // "FTRX"
inline constexpr std::size_t tokenSize = 16;
inline constexpr std::size_t headerSize = 8;
inline constexpr std::size_t maxPayloadSize = 8388608;  // 8 MiB, inclusive
}  // namespace FileTransferChannelConstants

// The secret a Viewer presents as the first frame of a file channel to bind it to its session.
class FileTransferChannelToken {
public:
    using Bytes = std::array<std::uint8_t, FileTransferChannelConstants::tokenSize>;
    // Fills the buffer with cryptographically secure random bytes; false when it could not.
    using RandomSource = bool (*)(std::uint8_t* buffer, std::size_t count);

    // A fresh token from the system's secure generator. A generator that fails throws
    // std::runtime_error: a predictable (all-zero) token would admit anyone to the channel.
    explicit FileTransferChannelToken(RandomSource randomSource = systemRandom);

    // A token from exactly 16 bytes, else nothing.
    static std::optional<FileTransferChannelToken> fromBytes(std::span<const std::uint8_t> bytes);

    const Bytes& bytes() const { return bytes_; }
    // The first four bytes as eight lower-case hex digits: enough to tell tokens apart in a log
    // line without revealing the token.
    std::string shortDescription() const;

    static bool systemRandom(std::uint8_t* buffer, std::size_t count);

    friend bool operator==(const FileTransferChannelToken&, const FileTransferChannelToken&) = default;

private:
    struct FromBytesTag {};
    FileTransferChannelToken(FromBytesTag, const Bytes& bytes) : bytes_(bytes) {}
    Bytes bytes_{};
};

// Wraps one accepted file-channel connection: cuts the incoming stream into frames, sends frames,
// and reports the end of the connection exactly once. Payloads are opaque bytes here.
//
// The connection cuts the stream into frames as it reads (Connection::startReceivingFrames): a
// large frame is read straight into a buffer of its announced size, small ones are handed on as
// views into the read that holds them, and the buffers are reused once let go. The owner may
// pause reading while whatever consumes the frames is behind: TCP then slows the peer.
//
// Everything runs on `queue`: the connection's callbacks, `onFrame` and `onEnded`; the owner calls
// `start`, `sendFrame`, `cancel`, `setReadingPaused` and `setMaximumPayloadSize` only from that
// queue. Create it with std::make_shared: the closures handed to the connection hold the object
// weakly, so releasing the last owner stops every further callback.
class FileTransferChannelConnection final : public std::enable_shared_from_this<FileTransferChannelConnection> {
public:
    using Logger = std::function<void(const std::string&)>;
    // `payload` lies inside `storage`; keep `storage` to use the bytes after the call returns.
    using FrameHandler = std::function<void(std::span<const std::uint8_t> payload, const SharedBytes& storage)>;
    using EndedHandler = std::function<void(const std::optional<NetworkError>& error)>;
    // A fileChunk frame handed on without its data: `payloadHead` is the packet up to and
    // including its data length (in `storage`), `tail` the data, still in the connection.
    using TailHandler = std::function<void(std::span<const std::uint8_t> payloadHead, const SharedBytes& storage,
                                           FrameTailPtr tail)>;

    // Largest number of bytes taken in one read of small frames (a chunk frame is read straight
    // into a buffer of its own size, whatever this is). Reading pauses while about twice this is
    // handed on and not yet let go of (on the queue, or waiting for the disk), each frame counted
    // with what the file service keeps for a waiting packet (FileTransferService::
    // queuedPacketOverhead), so the reader keeps only a few buffers out and never runs far ahead
    // of the disk, however small the frames.
    static constexpr std::size_t maxReadSize = 262144;

    FileTransferChannelConnection(ConnectionPtr connection, DispatchQueuePtr queue, std::string label, Logger logger);
    ~FileTransferChannelConnection();
    FileTransferChannelConnection(const FileTransferChannelConnection&) = delete;
    FileTransferChannelConnection& operator=(const FileTransferChannelConnection&) = delete;

    // Installs the state handler and starts the connection; reading begins once it is ready.
    void start();
    // Sends one frame carrying the payload; dropped once the connection has ended.
    void sendFrame(std::span<const std::uint8_t> payload);
    // The same without copying: `framed` starts with headerSize bytes of room for the header,
    // which is written in place, followed by the payload.
    void sendFramed(Bytes framed);
    // Ends the connection from this side; `onEnded` is told (no error) unless it already was.
    void cancel();

    // Holds (true) or resumes (false) reading. Reads already taken are still delivered.
    void setReadingPaused(bool paused);
    bool isReadingPaused() const { return readingPaused_; }

    // Caps the payload length a frame may announce, at most maxPayloadSize (the default). An owner
    // lowers it while the channel is unauthorised so a stranger cannot make it buffer megabytes;
    // reads are sized to it, so such a channel also never reads more than one small frame at once.
    void setMaximumPayloadSize(std::size_t size);
    std::size_t maximumPayloadSize() const { return maximumPayloadSize_; }

    // The channel is taken in (its token matched): it no longer holds a place among the
    // connections its listener accepted and nobody took in yet.
    void leaveAcceptBudget() { connection_->leaveAcceptBudget(); }

    bool didEnd() const { return didEnd_; }
    // Bytes handed to the connection and not yet sent.
    std::size_t queuedSendBytes() const { return connection_->queuedSendBytes(); }
    const std::string& label() const { return label_; }

    // Each complete payload, in stream order; nothing is delivered once the connection ended.
    FrameHandler onFrame;
    // Told once when the connection ends: no error for a clean end.
    EndedHandler onEnded;
    // Set before start(): large fileChunk frames then come here, their data left in the
    // connection to be moved into the file (FrameTail), instead of through onFrame. Frames the
    // owner of such a tail takes from it (FrameTail::takeFollowing) come neither here nor there.
    TailHandler onFrameTail;

    // How many bytes of a frame's start (its header included) come before the data of a fileChunk
    // packet that fills the frame; 0 when the frame is no such chunk or `available` bytes do not
    // tell.
    static std::size_t chunkHeadLength(const std::uint8_t* frame, std::size_t available);

private:
    void handleState(Connection::State state, const std::optional<NetworkError>& error);
    void handleFrame(std::span<const std::uint8_t> frame, const SharedBytes& storage, bool isComplete,
                     const std::optional<NetworkError>& error);
    // Judges a complete header; false (and the channel ended) when it is refused.
    bool acceptHeader(const std::uint8_t* header, std::uint32_t& length);
    void deliver(std::span<const std::uint8_t> payload, const SharedBytes& storage);
    void handleTailedFrame(std::span<const std::uint8_t> head, const SharedBytes& storage, FrameTailPtr tail);
    std::size_t readSize() const;
    void fail(std::optional<NetworkError> error);
    void release();

    ConnectionPtr connection_;
    DispatchQueuePtr queue_;
    std::string label_;
    Logger logger_;
    bool didEnd_ = false;
    bool started_ = false;
    bool receiving_ = false;
    bool readingPaused_ = false;
    std::size_t maximumPayloadSize_ = FileTransferChannelConstants::maxPayloadSize;
};

}  // namespace qm

template <>
struct std::hash<qm::FileTransferChannelToken> {
    std::size_t operator()(const qm::FileTransferChannelToken& token) const noexcept;
};
