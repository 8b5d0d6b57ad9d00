// Chunks whose data is still in the connection: moved into the open file on the receive queue.
#include <cstring>

#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

void FileTransferService::handleIncomingChunk(const FileTransferPacketView& head, FrameTailPtr tail,
                                              std::optional<std::string> peerToken) {
    if (!tail) return;
    {
        std::lock_guard lock(outgoingLock_);
        if (stopped_) return;
    }
    // The data counts against the backlog until it is in the file, as a buffered chunk's does.
    const std::size_t cost = tail->size() + head.path.size() + FileTransferPacket::fixedSize + queuedPacketOverhead;
    queueInboundChunk(head, std::move(tail), peerToken, cost, true);
}

void FileTransferService::queueInboundChunk(const FileTransferPacketView& head, FrameTailPtr tail,
                                            const std::optional<std::string>& peerToken, std::size_t cost,
                                            bool fromPeer) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    queueInbound(peerToken, {[weak, head, tail = std::move(tail), peerToken, cost]() mutable {
                                 auto self = weak.lock();
                                 if (!self) return;
                                 self->processIncomingChunk(head, std::move(tail), peerToken, cost);
                             },
                             cost, InboundGate::none, fromPeer});
}

void FileTransferService::processIncomingChunk(const FileTransferPacketView& head, FrameTailPtr tail,
                                               const std::optional<std::string>& peerToken, std::size_t cost) {
    const UUID batchID = head.batchID;
    auto* batch = inboundBatch(batchID, peerToken);
    if (batch && !batch->settled) settle(*batch);
    if (batch && !batch->currentHandle.valid()) noteDataWithoutFile(*batch, head.path);
    // Unless the data goes into the file, the tail is let go of here and its bytes are dropped.
    if (!batch || !batch->currentHandle.valid() || !chunkFits(*batch, head.value1, tail->size())) {
        inboundProcessed(cost);
        return;
    }
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    const auto serial = batch->currentSerial;
    const int fd = batch->currentHandle.get();
    // The completion may come at once or, when the data has not all arrived, in a later turn of
    // this queue, after packets of other peers (or this peer's control connection) ran. It keeps
    // the tail: the chunk behind it is taken through it.
    FrameTail& moving = *tail;
    moving.moveInto(fd, inboundQueue_,
                    [weak, batchID, serial, cost, peerToken, tail = std::move(tail)](const FrameTail::Outcome& outcome) {
                        auto self = weak.lock();
                        if (!self) return;
                        self->chunkTailMoved(batchID, serial, outcome);
                        self->inboundProcessed(cost);
                        if (outcome.complete()) self->followChunk(*tail, batchID, serial, peerToken);
                    });
}

void FileTransferService::followChunk(FrameTail& moved, const UUID& batchID, std::uint64_t serial,
                                      const std::optional<std::string>& peerToken) {
    using FileTransferChannelConstants::headerSize;
    // The next chunk of the same file, right behind on the same channel, is taken here instead
    // of going back through the network thread and the server queue: nothing but that file's
    // chunks comes between them, so the order holds. Only a chunk that the road through the
    // server would take into the file too is taken (the service running, its batch and file
    // still open, the peer's own, at the file's end and within its size); anything else (another
    // packet, another file's chunk, a chunk that does not fit, a malformed head) stays in the
    // connection for the reader, and takes that road with whatever it reports.
    std::optional<FileTransferPacketView> next;
    auto following = moved.takeFollowing([&](std::span<const std::uint8_t> head, std::size_t tailSize) {
        if (head.size() < headerSize) return false;
        {
            std::lock_guard lock(outgoingLock_);
            if (stopped_) return false;
        }
        auto packet = FileTransferPacketView::decodeHead(head.subspan(headerSize), tailSize);
        if (!packet || packet->op != FileTransferOp::fileChunk || packet->batchID != batchID) return false;
        auto* batch = inboundBatch(batchID, peerToken);
        if (!batch || !batch->currentHandle.valid() || batch->currentSerial != serial ||
            !chunkContinuesFile(*batch, packet->value1, tailSize)) {
            return false;
        }
        next = std::move(packet);
        return true;
    });
    if (!following || !next || !following->tail) return;
    const std::size_t cost =
        following->tail->size() + next->path.size() + FileTransferPacket::fixedSize + queuedPacketOverhead;
    // Behind whatever waits in the peer's lane already (a cancel), and in turn with other
    // Viewers' packets, which processIncomingChunk then sees as the road through the server would.
    queueInboundChunk(*next, std::move(following->tail), peerToken, cost, false);
}

void FileTransferService::chunkTailMoved(const UUID& batchID, std::uint64_t serial, const FrameTail::Outcome& outcome) {
    auto it = inbound_.find(batchID);
    // The file was closed or dropped meanwhile (a cancel, its Viewer gone): nothing to account.
    if (it == inbound_.end()) return;
    auto& batch = it->second;
    if (!batch.currentHandle.valid() || batch.currentSerial != serial) return;
    if (outcome.fileError != 0) {
        abandonCurrentFile(batch, std::string("write failed: ") + std::strerror(outcome.fileError));
        return;
    }
    if (outcome.connectionEnded) {
        abandonCurrentFile(batch, "the connection ended within a chunk");
        return;
    }
    chunkWritten(batchID, batch, outcome.written);
}

}  // namespace qm
