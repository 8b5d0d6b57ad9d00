#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

namespace {

constexpr std::uint64_t fileCountMask = 0x00FF'FFFF'FFFF'FFFFULL;

}  // namespace

void FileTransferService::inboundStatus(std::string text) {
    onMain([text = std::move(text)](FileTransferService& self) { self.onStatus(text); });
}

void FileTransferService::processIncoming(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken) {
    const auto& id = packet.batchID;
    // A batch takes packets only from the peer that opened it (when both are known).
    auto batchOf = [&]() -> InboundBatch* {
        auto it = inbound_.find(id);
        if (it == inbound_.end()) return nullptr;
        if (peerToken && it->second.peerToken && *peerToken != *it->second.peerToken) return nullptr;
        return &it->second;
    };

    switch (packet.op) {
    case FileTransferOp::batchStart:
        handleBatchStart(packet, peerToken);
        return;
    case FileTransferOp::mkdir:
        if (auto* batch = batchOf()) handleMkdir(*batch, packet);
        return;
    case FileTransferOp::fileStart:
        if (auto* batch = batchOf()) handleFileStart(*batch, packet);
        return;
    case FileTransferOp::fileChunk:
        if (auto* batch = batchOf()) handleFileChunk(id, *batch, packet);
        return;
    case FileTransferOp::fileEnd:
        if (auto* batch = batchOf()) handleFileEnd(*batch);
        return;
    case FileTransferOp::batchEnd:
        if (batchOf()) handleBatchEnd(id);
        return;
    case FileTransferOp::batchIntent:
        if (auto* batch = batchOf()) {
            if (auto intent = fileTransferIntentFromRaw(static_cast<std::uint8_t>(packet.value1 & 0xFF)))
                batch->intent = *intent;
        }
        return;
    case FileTransferOp::cancelBatch:
        handlePeerCancel(id);
        return;
    case FileTransferOp::directSave:
        pendingDestinations_[id] = PendingDestination{packet.path, FileTransferDeliveryOptions(packet.value1)};
        return;
    case FileTransferOp::listDir:
        handleListDirRequest(packet);
        return;
    case FileTransferOp::listDirReply:
        handleListDirReply(packet);
        return;
    case FileTransferOp::peerSendRequest:
        return;  // the owner answers these before they reach the service
    case FileTransferOp::peerSendResponse:
        if (auto response = FileTransferPeerSendResponse::decode(packet.data)) {
            onMain([id, response = *response](FileTransferService& self) { self.onPeerSendResponse(id, response); });
        }
        return;
    }
}

void FileTransferService::handleBatchStart(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken) {
    const auto& id = packet.batchID;
    if (auto existing = inbound_.find(id); existing != inbound_.end()) {
        if (peerToken && existing->second.peerToken && *peerToken != *existing->second.peerToken) return;
    }
    const double now = clock_->wallTime();
    const auto seconds = static_cast<std::int64_t>(std::trunc(now));
    InboundBatch batch;
    batch.rootDir = stagingRoot() / (std::to_string(seconds) + "-" + shortBatchID(id));
    std::error_code ec;
    std::filesystem::create_directories(batch.rootDir, ec);
    batch.totalExpectedBytes = packet.value1;
    batch.totalFilesExpected = static_cast<std::int64_t>(packet.value2 & fileCountMask);
    batch.intent = FileTransferPacket::batchStartIntent(packet.value2);
    batch.itemNames = FileTransferDocuments::decodeItemNames(packet.data);
    batch.startedAt = now;
    batch.peerToken = peerToken;
    if (auto pending = pendingDestinations_.find(id); pending != pendingDestinations_.end()) {
        batch.destinationHint = pending->second.path;
        batch.deliveryOptions = pending->second.deliveryOptions;
        pendingDestinations_.erase(pending);
    }
    const auto fileCount = batch.totalFilesExpected;
    const auto totalBytes = batch.totalExpectedBytes;
    const auto intent = batch.intent;
    const auto names = batch.itemNames;
    inbound_.insert_or_assign(id, std::move(batch));
    onMain([id, fileCount, totalBytes, intent, names](FileTransferService& self) {
        self.onStatus("receiving " + std::to_string(fileCount) + " item(s), " + byteString(totalBytes) + " from " +
                      self.peerLabel);
        self.onBatchStarted(id, fileCount, totalBytes, names);
        self.onBatchStartedWithIntent(id, fileCount, totalBytes, intent, names);
    });
}

namespace {

void addTopLevel(std::vector<std::filesystem::path>& entries, const std::filesystem::path& item) {
    if (std::find(entries.begin(), entries.end(), item) == entries.end()) entries.push_back(item);
}

std::filesystem::path joined(const std::filesystem::path& root, const std::vector<std::string>& components) {
    auto out = root;
    for (const auto& component : components) out /= component;
    return out;
}

}  // namespace

void FileTransferService::handleMkdir(InboundBatch& batch, const FileTransferPacketView& packet) {
    auto components = peerPathComponents(packet.path);
    if (!components) return;  // refused: absolute, empty, ".", ".." or NUL component
    if (!openConfinedFolder(batch.rootDir, *components, true)) return;
    if (components->size() == 1) addTopLevel(batch.topLevelEntries, joined(batch.rootDir, *components));
}

void FileTransferService::handleFileStart(InboundBatch& batch, const FileTransferPacketView& packet) {
    // Whatever was open ends here; a refused path must not leave chunks flowing into it.
    batch.currentHandle.reset();
    batch.currentFile.reset();
    batch.currentRelativePath.clear();
    batch.currentExpectedSize = 0;
    batch.currentReceived = 0;
    auto components = peerPathComponents(packet.path);
    if (!components) return;
    auto file = createConfinedFile(batch.rootDir, *components);
    batch.currentFile = joined(batch.rootDir, *components);
    batch.currentRelativePath = packet.path;
    batch.currentExpectedSize = packet.value1;
    if (!file) return;  // chunks of a file that could not be made are dropped
    batch.currentHandle = std::move(*file);
    if (components->size() == 1) addTopLevel(batch.topLevelEntries, *batch.currentFile);
}

void FileTransferService::abandonCurrentFile(InboundBatch& batch, const std::string& reason) {
    batch.currentHandle.reset();
    if (batch.currentFile) {
        std::error_code ec;
        std::filesystem::remove(*batch.currentFile, ec);
        auto& top = batch.topLevelEntries;
        top.erase(std::remove(top.begin(), top.end(), *batch.currentFile), top.end());
    }
    batch.totalReceivedBytes -= batch.currentReceived;
    inboundStatus("dropped " + batch.currentRelativePath + ": " + reason);
    batch.currentFile.reset();
    batch.currentRelativePath.clear();
    batch.currentReceived = 0;
}

void FileTransferService::handleFileChunk(const UUID& batchID, InboundBatch& batch, const FileTransferPacketView& packet) {
    if (!batch.currentHandle.valid()) return;
    const std::uint64_t length = packet.data.size();
    // Data must continue the file where it stands and stay within the size announced for it.
    if (packet.value1 != batch.currentReceived || length > batch.currentExpectedSize - batch.currentReceived) {
        abandonCurrentFile(batch, "data does not match its announced size");
        return;
    }
    if (!writeAll(batch.currentHandle.get(), packet.data)) {
        abandonCurrentFile(batch, std::string("write failed: ") + std::strerror(errno));
        return;
    }
    batch.currentReceived += length;
    batch.totalReceivedBytes += length;
    onMain([batchID, received = batch.totalReceivedBytes, total = batch.totalExpectedBytes](FileTransferService& self) {
        self.onBatchProgress(batchID, received, total);
    });
}

void FileTransferService::handleFileEnd(InboundBatch& batch) {
    if (batch.currentHandle.valid() && batch.currentReceived != batch.currentExpectedSize) {
        abandonCurrentFile(batch, "data does not match its announced size");
        return;
    }
    batch.currentHandle.reset();
    batch.currentFile.reset();
    batch.currentRelativePath.clear();
}

void FileTransferService::handleBatchEnd(const UUID& batchID) {
    auto node = inbound_.extract(batchID);
    auto& batch = node.mapped();
    // A file whose fileEnd never came is kept only when it is whole.
    if (batch.currentHandle.valid()) handleFileEnd(batch);
    onMain([batchID, count = batch.topLevelEntries.size(), root = batch.rootDir, items = batch.topLevelEntries,
            intent = batch.intent](FileTransferService& self) {
        self.onStatus("received " + std::to_string(count) + " item(s) into " + root.string());
        self.onBatchCompleted(batchID, items, intent);
    });
}

void FileTransferService::handlePeerCancel(const UUID& batchID) {
    {
        std::lock_guard lock(outgoingLock_);
        outgoingCancelled_.insert(batchID);
    }
    if (inbound_.contains(batchID)) {
        // Dropped now, not behind the packets already queued: the peer's batchEnd that follows
        // its cancel must not complete the batch.
        discardInbound(batchID);
        inboundStatus("cancelled by peer for batch " + shortBatchID(batchID));
    }
    pendingDestinations_.erase(batchID);
}

}  // namespace qm
