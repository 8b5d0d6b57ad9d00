// Chunks whose data is still in the connection: moved into the open file on the receive queue.
#include <cstring>

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
    const std::size_t cost = tail->size() + head.path.size() + FileTransferPacket::fixedSize;
    inboundQueued(cost);
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak, head, tail = std::move(tail), peerToken = std::move(peerToken), cost]() mutable {
        auto self = weak.lock();
        if (!self) return;
        self->processIncomingChunk(head, std::move(tail), peerToken, cost);
    });
}

void FileTransferService::processIncomingChunk(const FileTransferPacketView& head, FrameTailPtr tail,
                                               const std::optional<std::string>& peerToken, std::size_t cost) {
    const UUID batchID = head.batchID;
    auto* batch = inboundBatch(batchID, peerToken);
    if (batch && !batch->settled) settle(*batch);
    // Unless the data goes into the file, the tail is let go of here and its bytes are dropped.
    if (!batch || !batch->currentHandle.valid() || !chunkFits(*batch, head.value1, tail->size())) {
        inboundProcessed(cost);
        return;
    }
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    const auto serial = batch->currentSerial;
    // The completion may come at once or, when the data has not all arrived, in a later turn of
    // this queue, after packets of other peers (or this peer's control connection) ran.
    tail->moveInto(batch->currentHandle.get(), inboundQueue_,
                   [weak, batchID, serial, cost](const FrameTail::Outcome& outcome) {
                       auto self = weak.lock();
                       if (!self) return;
                       self->chunkTailMoved(batchID, serial, outcome);
                       self->inboundProcessed(cost);
                   });
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
