#include "QuillmereProfiles/FileTransferChannel.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <limits>
#include <stdexcept>

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

// Payload to frame bytes, reserved at the final size before anything is appended.
Bytes encodeFrame(std::span<const std::uint8_t> payload) {
    const auto length = static_cast<std::uint32_t>(payload.size());
    ByteWriter writer(FileTransferChannelConstants::headerSize + payload.size());
    writer.bytes(FileTransferChannelConstants::magic).u32(length).bytes(payload);
    return writer.take();
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
        case Connection::State::ready:
            if (logger_) logger_(label_ + " ready");
            // A connection that was cancelled before it became ready is not read from.
            if (!didEnd_) receiveLoop();
            break;
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

void FileTransferChannelConnection::receiveLoop() {
    std::weak_ptr<FileTransferChannelConnection> weak = weak_from_this();
    // Reads are sized to the largest frame allowed now: a channel that has not shown its token
    // yet holds a few dozen bytes, not a full read buffer.
    const std::size_t readSize = std::min(maxReadSize, maximumPayloadSize_ + FileTransferChannelConstants::headerSize);
    connection_->receive(1, readSize, [weak](Bytes data, bool isComplete, const std::optional<NetworkError>& error) {
        auto self = weak.lock();
        if (!self) return;
        // Whatever arrives after the end (a read that was outstanding at cancel) is dropped.
        if (self->didEnd_) return;
        if (error) {
            self->fail(error);
            return;
        }
        if (!data.empty()) {
            if (self->pendingBuffer_.empty()) {
                self->pendingBuffer_ = std::move(data);
            } else {
                self->pendingBuffer_.insert(self->pendingBuffer_.end(), data.begin(), data.end());
            }
            self->drainBuffer();
        }
        if (isComplete) {
            self->fail(std::nullopt);
        } else if (!self->didEnd_) {
            self->receiveLoop();
        }
    });
}

void FileTransferChannelConnection::drainBuffer() {
    using namespace FileTransferChannelConstants;
    while (!didEnd_ && pendingBuffer_.size() - pendingOffset_ >= headerSize) {
        const std::uint8_t* head = pendingBuffer_.data() + pendingOffset_;
        if (!std::equal(magic.begin(), magic.end(), head)) {
            if (logger_) logger_(label_ + " magic mismatch; closing");
            fail(std::nullopt);
            return;
        }
        const std::uint32_t length = readUInt32LE(head + 4);
        if (length > maximumPayloadSize_) {
            if (logger_) logger_(label_ + " payload too large (" + std::to_string(length) + "); closing");
            fail(std::nullopt);
            return;
        }
        if (pendingBuffer_.size() - pendingOffset_ < headerSize + length) break;
        Bytes payload(head + headerSize, head + headerSize + length);
        pendingOffset_ += headerSize + length;
        if (onFrame) {
            // A copy, so the handler may replace or clear onFrame while it runs.
            auto handler = onFrame;
            handler(std::move(payload));
        }
    }
    if (didEnd_) return;
    if (pendingOffset_ == pendingBuffer_.size()) {
        // Everything consumed: let go of the storage (a large frame may have grown it to megabytes).
        pendingBuffer_ = Bytes();
    } else if (pendingOffset_ > 0) {
        pendingBuffer_.erase(pendingBuffer_.begin(), pendingBuffer_.begin() + static_cast<std::ptrdiff_t>(pendingOffset_));
    }
    pendingOffset_ = 0;
}

void FileTransferChannelConnection::sendFrame(std::span<const std::uint8_t> payload) {
    if (didEnd_) return;
    if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
        // Its length does not fit the header; sending a wrong length would desynchronise the peer.
        if (logger_) logger_(label_ + " frame too large (" + std::to_string(payload.size()) + "); closing");
        fail(NetworkError{EMSGSIZE, "frame payload too large"});
        return;
    }
    std::weak_ptr<FileTransferChannelConnection> weak = weak_from_this();
    Logger logger = logger_;
    connection_->send(encodeFrame(payload), [weak, logger](const std::optional<NetworkError>& error) {
        if (!error) return;
        auto self = weak.lock();
        if (logger) logger((self ? self->label_ : std::string("channel")) + " send error: " + errorText(error));
        if (self) self->fail(error);
    });
}

void FileTransferChannelConnection::fail(std::optional<NetworkError> error) {
    if (didEnd_) return;
    didEnd_ = true;
    pendingBuffer_ = Bytes();
    pendingOffset_ = 0;
    auto handler = std::move(onEnded);
    onEnded = nullptr;
    connection_->cancel();
    if (handler) handler(error);
}

void FileTransferChannelConnection::cancel() {
    if (didEnd_) return;
    didEnd_ = true;
    pendingBuffer_ = Bytes();
    pendingOffset_ = 0;
    connection_->cancel();
    if (onEnded) {
        auto handler = std::move(onEnded);
        onEnded = nullptr;
        handler(std::nullopt);
    }
}

void FileTransferChannelConnection::setMaximumPayloadSize(std::size_t size) {
    maximumPayloadSize_ = std::min(size, FileTransferChannelConstants::maxPayloadSize);
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
