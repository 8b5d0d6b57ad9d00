#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "Platform/Network.h"

namespace qm {

// Receive buffers that go back to the pool when their last holder lets go, so a busy connection
// reads into the same few pages again instead of allocating (and zero-filling) a buffer per read.
// A buffer comes back with whatever it held: the reader overwrites it. Thread-safe; buffers may
// outlive the pool (they are then simply freed).
class ReceiveBufferPool : public std::enable_shared_from_this<ReceiveBufferPool> {
public:
    // At most this many idle buffers, and this many idle bytes, are kept. The default keeps every
    // buffer a frame reader has out at once (twice its read size of frames, one being filled and
    // the rest of the last read), so a steady stream takes no new pages.
    explicit ReceiveBufferPool(std::size_t maximumIdleBuffers = 16, std::size_t maximumIdleBytes = 24u << 20);

    // A buffer of at least `size` bytes. Create the pool with std::make_shared.
    std::shared_ptr<Bytes> acquire(std::size_t size);

    std::size_t idleBuffers() const;
    std::size_t idleBytes() const;
    // Buffers made since the pool was created (not taken from the idle ones).
    std::size_t buffersMade() const;

private:
    void giveBack(Bytes* buffer);

    const std::size_t maximumIdleBuffers_;
    const std::size_t maximumIdleBytes_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Bytes>> idle_;
    std::size_t idleBytes_ = 0;
    std::size_t made_ = 0;
};

// A frame's tail that has arrived already (the reader's side put the frame together): moving it
// is one plain write of the bytes. Frames behind it do not wait for it.
class BufferedFrameTail final : public FrameTail {
public:
    BufferedFrameTail(SharedBytes storage, std::span<const std::uint8_t> bytes)
        : storage_(std::move(storage)), bytes_(bytes) {}
    std::size_t size() const override { return bytes_.size(); }
    void moveInto(int fd, DispatchQueuePtr queue, Completion completion) override;

private:
    SharedBytes storage_;
    std::span<const std::uint8_t> bytes_;
    bool moved_ = false;
};

// Cuts a byte stream into length-prefixed frames on the reader's side: the default frame reading
// of connections that only offer plain reads. A frame whole inside one read is handed on as a view
// into that read; one cut across reads is put together once, in a buffer of its announced size.
class FrameAssembler {
public:
    FrameAssembler(FrameFormat format, std::size_t maximumPayload, Connection::FrameHandler handler,
                   Connection::TailedFrameHandler tailedHandler = nullptr);

    void setMaximumPayload(std::size_t bytes) { maximumPayload_ = bytes; }
    // One read, in stream order. Nothing is handed on after a refused header.
    void consume(Bytes data);
    // The last call: the peer closed or the read failed.
    void finish(bool isComplete, const std::optional<NetworkError>& error);
    bool refused() const { return refused_; }

private:
    std::size_t lengthAt(const std::uint8_t* header) const;
    void refuse(const std::uint8_t* header);
    // Hands on one whole frame, split into head and tail where the format says so.
    void deliver(std::span<const std::uint8_t> frame, const SharedBytes& storage);

    FrameFormat format_;
    std::size_t maximumPayload_;
    Connection::FrameHandler handler_;
    Connection::TailedFrameHandler tailedHandler_;
    Bytes partial_;  // the start of a frame whose end has not arrived yet
    bool refused_ = false;
    bool finished_ = false;
};

}  // namespace qm
