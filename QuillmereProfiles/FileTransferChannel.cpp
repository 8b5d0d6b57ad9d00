#include "QuillmereProfiles/FileTransferChannel.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

// ---- token ----

bool FileTransferChannelToken::systemRandom(std::uint8_t* buffer, std::size_t count) {
    if (count > static_cast<std::size_t>(INT_MAX)) return false;
    return RAND_bytes(buffer, static_cast<int>(count)) == 1;
}

FileTransferChannelToken::FileTransferChannelToken(RandomSource randomSource) {
    if (randomSource == nullptr || !randomSource(bytes_.data(), bytes_.size())) {
        // Never hand out the zero-filled buffer: anyone could guess it.
        throw std::runtime_error("secure random generator failed; no file channel token");
    }
}

std::optional<FileTransferChannelToken> FileTransferChannelToken::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != FileTransferChannelConstants::tokenSize) return std::nullopt;
    Bytes raw{};
    std::copy(bytes.begin(), bytes.end(), raw.begin());
    return FileTransferChannelToken(FromBytesTag{}, raw);
}

std::string FileTransferChannelToken::shortDescription() const {
    std::string text;
    text.reserve(8);
    char digits[3];
    for (std::size_t i = 0; i < 4; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(bytes_[i]));
        text += digits;
    }
    return text;
}

// ---- connection ----

namespace {

std::string errorText(const std::optional<NetworkError>& error) {
    if (!error) return "unknown error";
    return error->description.empty() ? "error " + std::to_string(error->code) : error->description;
}

std::uint32_t readUInt32LE(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

FileTransferChannelConnection::FileTransferChannelConnection(ConnectionPtr connection, DispatchQueuePtr queue,
                                                             std::string label, Logger logger)
    : connection_(std::move(connection)),
      queue_(std::move(queue)),
      label_(std::move(label)),
      logger_(std::move(logger)) {}

FileTransferChannelConnection::~FileTransferChannelConnection() {
    // An owner that lets go without ending the channel must not leave the socket open; the
    // connection's callbacks hold this object weakly and find nothing.
    if (!didEnd_ && connection_) connection_->cancel();
}

void FileTransferChannelConnection::start() {
    if (started_) return;
    std::weak_ptr<FileTransferChannelConnection> weak = weak_from_this();
    if (weak.expired()) throw std::logic_error("FileTransferChannelConnection must be owned by a shared_ptr");
    started_ = true;
    connection_->setStateHandler([weak](Connection::State state, const std::optional<NetworkError>& error) {
        if (auto self = weak.lock()) self->handleState(state, error);
    });
    connection_->start(queue_);
}

void FileTransferChannelConnection::handleState(Connection::State state, const std::optional<NetworkError>& error) {
    switch (state) {
        case Connection::State::ready: {
            if (logger_) logger_(label_ + " ready");
            // A connection that was cancelled before it became ready is not read from.
            if (didEnd_ || receiving_) break;
            receiving_ = true;
            if (readingPaused_) connection_->setReceivingPaused(true);
            std::weak_ptr<FileTransferChannelConnection> weak = weak_from_this();
            FrameFormat format;
            format.headerSize = FileTransferChannelConstants::headerSize;
            format.lengthOffset = 4;
            std::copy(FileTransferChannelConstants::magic.begin(), FileTransferChannelConstants::magic.end(),
                      format.magic.begin());
            format.magicSize = FileTransferChannelConstants::magic.size();
            // Each frame is a packet the file service keeps with its bookkeeping while it waits:
            // the reader runs ahead by what the frames cost there, not by their few bytes.
            format.costPerFrame = FileTransferService::queuedPacketOverhead;
            if (onFrameTail) {
                format.headLength = &FileTransferChannelConnection::chunkHeadLength;
                connection_->setTailedFrameHandler(
                    [weak](std::span<const std::uint8_t> head, const SharedBytes& storage, FrameTailPtr tail) {
                        if (auto self = weak.lock()) self->handleTailedFrame(head, storage, std::move(tail));
                    });
            }
            connection_->startReceivingFrames(
                format, maximumPayloadSize_, readSize(),
                [weak](std::span<const std::uint8_t> frame, const SharedBytes& storage, bool isComplete,
                       const std::optional<NetworkError>& readError) {
                    if (auto self = weak.lock()) self->handleFrame(frame, storage, isComplete, readError);
                });
            break;
        }
        case Connection::State::failed: {
            if (logger_) logger_(label_ + " failed: " + errorText(error));
            fail(error ? error : std::optional<NetworkError>(NetworkError{0, "unknown error"}));
            break;
        }
        case Connection::State::cancelled:
            if (logger_) logger_(label_ + " cancelled");
            fail(std::nullopt);
            break;
        case Connection::State::setup:
        case Connection::State::preparing:
            break;
    }
}

std::size_t FileTransferChannelConnection::readSize() const {
    // Sized to the largest frame allowed now: a channel that has not shown its token yet reads a
    // few dozen bytes at a time, not a full read buffer.
    return std::min(maxReadSize, maximumPayloadSize_ + FileTransferChannelConstants::headerSize);
}

void FileTransferChannelConnection::handleFrame(std::span<const std::uint8_t> frame, const SharedBytes& storage,
                                                bool isComplete, const std::optional<NetworkError>& error) {
    using namespace FileTransferChannelConstants;
    // Whatever arrives after the end (a frame already on the queue at cancel) is dropped.
    if (didEnd_) return;
    if (error) {
        fail(error);
        return;
    }
    if (!frame.empty()) {
        std::uint32_t length = 0;
        if (frame.size() < headerSize || !acceptHeader(frame.data(), length)) {
            if (!didEnd_) fail(std::nullopt);
            return;
        }
        if (frame.size() != headerSize + length) {
            // A header the reader refused; judged the same way here, so this only guards.
            if (logger_) logger_(label_ + " payload too large (" + std::to_string(length) + "); closing");
            fail(std::nullopt);
            return;
        }
        deliver(frame.subspan(headerSize, length), storage);
    }
    if (isComplete && !didEnd_) fail(std::nullopt);
}

bool FileTransferChannelConnection::acceptHeader(const std::uint8_t* header, std::uint32_t& length) {
    using namespace FileTransferChannelConstants;
    if (!std::equal(magic.begin(), magic.end(), header)) {
        if (logger_) logger_(label_ + " magic mismatch; closing");
        fail(std::nullopt);
        return false;
    }
    length = readUInt32LE(header + 4);
    if (length > maximumPayloadSize_) {
        if (logger_) logger_(label_ + " payload too large (" + std::to_string(length) + "); closing");
        fail(std::nullopt);
        return false;
    }
    return true;
}

std::size_t FileTransferChannelConnection::chunkHeadLength(const std::uint8_t* frame, std::size_t available) {
    using namespace FileTransferChannelConstants;
    // op (1), batch (16), value1 (8), value2 (8), path length (2), path, data length (4), data.
    constexpr std::size_t pathLengthAt = headerSize + 33;
    if (available < pathLengthAt + 2 || !std::equal(magic.begin(), magic.end(), frame)) return 0;
    if (frame[headerSize] != static_cast<std::uint8_t>(FileTransferOp::fileChunk)) return 0;
    const std::size_t pathLength =
        static_cast<std::size_t>(frame[pathLengthAt]) | static_cast<std::size_t>(frame[pathLengthAt + 1]) << 8;
    const std::size_t head = headerSize + FileTransferPacket::fixedSize + pathLength;
    if (available < head) return 0;
    const std::uint64_t payload = readUInt32LE(frame + 4);
    const std::uint64_t data = readUInt32LE(frame + head - 4);
    // Only a chunk whose data ends the frame: bytes after the data would follow the tail.
    if (data == 0 || payload != head - headerSize + data) return 0;
    return head;
}

void FileTransferChannelConnection::handleTailedFrame(std::span<const std::uint8_t> head, const SharedBytes& storage,
                                                      FrameTailPtr tail) {
    if (didEnd_ || head.size() < FileTransferChannelConstants::headerSize) return;
    auto handler = onFrameTail;
    if (handler) handler(head.subspan(FileTransferChannelConstants::headerSize), storage, std::move(tail));
}

void FileTransferChannelConnection::deliver(std::span<const std::uint8_t> payload, const SharedBytes& storage) {
    if (!onFrame) return;
    // A copy, so the handler may replace or clear onFrame while it runs.
    auto handler = onFrame;
    handler(payload, storage);
}

void FileTransferChannelConnection::sendFrame(std::span<const std::uint8_t> payload) {
    if (didEnd_) return;
    Bytes framed;
    framed.reserve(FileTransferChannelConstants::headerSize + payload.size());
    framed.resize(FileTransferChannelConstants::headerSize);
    framed.insert(framed.end(), payload.begin(), payload.end());
    sendFramed(std::move(framed));
}

void FileTransferChannelConnection::sendFramed(Bytes framed) {
    using namespace FileTransferChannelConstants;
    if (didEnd_) return;
    if (framed.size() < headerSize) framed.resize(headerSize);
    const std::size_t payloadSize = framed.size() - headerSize;
    if (payloadSize > std::numeric_limits<std::uint32_t>::max()) {
        // Its length does not fit the header; sending a wrong length would desynchronise the peer.
        if (logger_) logger_(label_ + " frame too large (" + std::to_string(payloadSize) + "); closing");
        fail(NetworkError{EMSGSIZE, "frame payload too large"});
        return;
    }
    const auto length = static_cast<std::uint32_t>(payloadSize);
    std::copy(magic.begin(), magic.end(), framed.begin());
    for (std::size_t i = 0; i < 4; ++i) framed[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    std::weak_ptr<FileTransferChannelConnection> weak = weak_from_this();
    Logger logger = logger_;
    connection_->send(std::move(framed), [weak, logger](const std::optional<NetworkError>& error) {
        if (!error) return;
        auto self = weak.lock();
        if (logger) logger((self ? self->label_ : std::string("channel")) + " send error: " + errorText(error));
        if (self) self->fail(error);
    });
}

void FileTransferChannelConnection::release() {
    didEnd_ = true;
    connection_->cancel();
}

void FileTransferChannelConnection::fail(std::optional<NetworkError> error) {
    if (didEnd_) return;
    auto handler = std::move(onEnded);
    onEnded = nullptr;
    release();
    if (handler) handler(error);
}

void FileTransferChannelConnection::cancel() { fail(std::nullopt); }

void FileTransferChannelConnection::setReadingPaused(bool paused) {
    if (readingPaused_ == paused) return;
    readingPaused_ = paused;
    // Before the connection is ready this is remembered and applied when reading begins.
    if (receiving_ && !didEnd_) connection_->setReceivingPaused(paused);
}

void FileTransferChannelConnection::setMaximumPayloadSize(std::size_t size) {
    maximumPayloadSize_ = std::min(size, FileTransferChannelConstants::maxPayloadSize);
    if (receiving_ && !didEnd_) {
        connection_->setMaximumFramePayload(maximumPayloadSize_);
        connection_->setReceiveBufferSize(readSize());
    }
}

}  // namespace qm

std::size_t std::hash<qm::FileTransferChannelToken>::operator()(const qm::FileTransferChannelToken& token) const noexcept {
    // FNV-1a over the 16 bytes.
    std::uint64_t h = 1469598103934665603ULL;
    for (auto b : token.bytes()) {
        h ^= b;
        h *= 1099511628211ULL;
    }
    return static_cast<std::size_t>(h);
}
