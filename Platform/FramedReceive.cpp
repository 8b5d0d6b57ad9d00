#include "Platform/FramedReceive.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace qm {

namespace {

constexpr std::size_t granule = 65536;

std::size_t roundedSize(std::size_t size) {
    // Large buffers in whole granules, so frames of nearby sizes share them.
    if (size >= granule) return (size + granule - 1) / granule * granule;
    return std::max<std::size_t>(64, (size + 63) / 64 * 64);
}

}  // namespace

ReceiveBufferPool::ReceiveBufferPool(std::size_t maximumIdleBuffers, std::size_t maximumIdleBytes)
    : maximumIdleBuffers_(maximumIdleBuffers), maximumIdleBytes_(maximumIdleBytes) {}

std::shared_ptr<Bytes> ReceiveBufferPool::acquire(std::size_t size) {
    std::unique_ptr<Bytes> buffer;
    {
        std::lock_guard lock(mutex_);
        // The smallest idle buffer that fits and does not waste more than it holds; of equal
        // ones the last given back, whose pages are the likeliest to be in a cache still.
        auto best = idle_.end();
        for (auto it = idle_.begin(); it != idle_.end(); ++it) {
            const std::size_t have = (*it)->size();
            if (have < size || have > 2 * size + granule) continue;
            if (best == idle_.end() || have <= (*best)->size()) best = it;
        }
        if (best != idle_.end()) {
            buffer = std::move(*best);
            idle_.erase(best);
            idleBytes_ -= buffer->size();
        } else {
            ++made_;
        }
    }
    if (!buffer) buffer = std::make_unique<Bytes>(roundedSize(std::max<std::size_t>(size, 1)));
    std::weak_ptr<ReceiveBufferPool> weak = weak_from_this();
    return std::shared_ptr<Bytes>(buffer.release(), [weak](Bytes* returned) {
        if (auto pool = weak.lock()) {
            pool->giveBack(returned);
        } else {
            delete returned;
        }
    });
}

void ReceiveBufferPool::giveBack(Bytes* raw) {
    std::unique_ptr<Bytes> buffer(raw);
    std::lock_guard lock(mutex_);
    if (idle_.size() >= maximumIdleBuffers_ || idleBytes_ + buffer->size() > maximumIdleBytes_) return;
    idleBytes_ += buffer->size();
    idle_.push_back(std::move(buffer));
}

std::size_t ReceiveBufferPool::idleBuffers() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

std::size_t ReceiveBufferPool::idleBytes() const {
    std::lock_guard lock(mutex_);
    return idleBytes_;
}

std::size_t ReceiveBufferPool::buffersMade() const {
    std::lock_guard lock(mutex_);
    return made_;
}

void BufferedFrameTail::moveInto(int fd, DispatchQueuePtr queue, Completion completion) {
    (void)queue;
    if (std::exchange(moved_, true)) return;
    Outcome outcome;
    while (outcome.written < bytes_.size()) {
        const auto n = ::write(fd, bytes_.data() + outcome.written, bytes_.size() - outcome.written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            outcome.fileError = n < 0 ? errno : EIO;
            break;
        }
        outcome.written += static_cast<std::size_t>(n);
    }
    storage_.reset();
    if (completion) completion(outcome);
}

FrameAssembler::FrameAssembler(FrameFormat format, std::size_t maximumPayload, Connection::FrameHandler handler,
                               Connection::TailedFrameHandler tailedHandler)
    : format_(format),
      maximumPayload_(maximumPayload),
      handler_(std::move(handler)),
      tailedHandler_(std::move(tailedHandler)) {}

void FrameAssembler::deliver(std::span<const std::uint8_t> frame, const SharedBytes& storage) {
    if (tailedHandler_ && format_.headLength) {
        const std::size_t head = format_.headLength(frame.data(), frame.size());
        if (head >= format_.headerSize && head < frame.size() && frame.size() - head >= format_.minimumTail) {
            auto tail = std::make_shared<BufferedFrameTail>(storage, frame.subspan(head));
            return tailedHandler_(frame.first(head), storage, std::move(tail));
        }
    }
    handler_(frame, storage, false, std::nullopt);
}

std::size_t FrameAssembler::lengthAt(const std::uint8_t* header) const {
    const std::uint8_t* p = header + format_.lengthOffset;
    return static_cast<std::size_t>(static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                    static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

void FrameAssembler::refuse(const std::uint8_t* header) {
    // The header may lie in partial_: copy it before letting that go.
    auto storage = std::make_shared<const Bytes>(header, header + format_.headerSize);
    refused_ = true;
    partial_ = Bytes();
    handler_(std::span(*storage), storage, false, std::nullopt);
}

void FrameAssembler::consume(Bytes data) {
    const std::size_t headerSize = format_.headerSize;
    const SharedBytes storage = std::make_shared<const Bytes>(std::move(data));
    std::span<const std::uint8_t> rest(*storage);
    auto take = [&](std::size_t count) {
        partial_.insert(partial_.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(count));
        rest = rest.subspan(count);
    };
    // The maximum is read for every header: handling one frame may raise it for the next.
    while (!refused_ && !finished_ && !rest.empty()) {
        if (!partial_.empty()) {
            if (partial_.size() < headerSize) {
                take(std::min(headerSize - partial_.size(), rest.size()));
                if (partial_.size() < headerSize) return;
                if (!format_.hasMagic(partial_.data()) || lengthAt(partial_.data()) > maximumPayload_) {
                    return refuse(partial_.data());
                }
                partial_.reserve(headerSize + lengthAt(partial_.data()));
            }
            const std::size_t total = headerSize + lengthAt(partial_.data());
            take(std::min(total - partial_.size(), rest.size()));
            if (partial_.size() < total) return;
            const SharedBytes whole = std::make_shared<const Bytes>(std::move(partial_));
            partial_ = Bytes();
            deliver(std::span(*whole), whole);
            continue;
        }
        if (rest.size() < headerSize) return take(rest.size());
        const std::size_t length = lengthAt(rest.data());
        if (!format_.hasMagic(rest.data()) || length > maximumPayload_) return refuse(rest.data());
        if (rest.size() - headerSize < length) {
            partial_.reserve(headerSize + length);
            return take(rest.size());
        }
        const auto frame = rest.first(headerSize + length);
        rest = rest.subspan(headerSize + length);
        deliver(frame, storage);
    }
}

void FrameAssembler::finish(bool isComplete, const std::optional<NetworkError>& error) {
    if (refused_ || finished_) return;
    finished_ = true;
    partial_ = Bytes();
    handler_({}, nullptr, isComplete, error);
}

// The default frame reading, for connections that only read plainly.
void Connection::startReceivingFrames(FrameFormat format, std::size_t maximumPayload, std::size_t readSize,
                                      FrameHandler handler) {
    if (frameAssembler_ || !handler) return;
    auto assembler = std::make_shared<FrameAssembler>(format, maximumPayload, std::move(handler), tailedFrameHandler_);
    frameAssembler_ = assembler;
    startReceiving(readSize, [assembler](Bytes data, bool isComplete, const std::optional<NetworkError>& error) {
        if (!data.empty()) assembler->consume(std::move(data));
        if (isComplete || error) assembler->finish(isComplete, error);
    });
}

void Connection::setMaximumFramePayload(std::size_t bytes) {
    if (frameAssembler_) frameAssembler_->setMaximumPayload(bytes);
}

}  // namespace qm
