#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Platform/Core/LogText.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

namespace {

FileTransferService::StatusSource sentBy(const std::optional<std::string>& peerToken) {
    return {peerToken, FileTransferService::StatusSource::Kind::sentByPeer};
}

FileTransferService::StatusSource doneFor(const std::optional<std::string>& peerToken) {
    return {peerToken, FileTransferService::StatusSource::Kind::doneForPeer};
}

}  // namespace

void FileTransferService::inboundStatus(std::string text, StatusSource source) {
    onMain([text = std::move(text), source = std::move(source)](FileTransferService& self) {
        self.onStatus(text, source);
    });
}

FileTransferService::InboundBatch* FileTransferService::inboundBatch(const UUID& batchID,
                                                                     const std::optional<std::string>& peerToken) {
    // A batch takes packets only from the peer that opened it (when both are known).
    auto it = inbound_.find(batchID);
    if (it == inbound_.end()) return nullptr;
    if (peerToken && it->second.peerToken && *peerToken != *it->second.peerToken) return nullptr;
    return &it->second;
}

void FileTransferService::reportRefusedBatch(const UUID& batchID, FileTransferIntent intent,
                                             const std::optional<std::string>& peerToken) {
    onMain([batchID, intent, peerToken](FileTransferService& self) { self.onInboundBatchRefused(batchID, intent, peerToken); });
}

bool FileTransferService::refusedBatchIntent(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken) {
    auto refused = refusedAwaitingIntent_.find(peerToken);
    if (refused == refusedAwaitingIntent_.end()) return false;
    const UUID id = refused->second;
    refusedAwaitingIntent_.erase(refused);
    // Its batchIntent, right after its batchStart, says what it is; anything else leaves it a copy.
    std::optional<FileTransferIntent> intent;
    if (packet.op == FileTransferOp::batchIntent && packet.batchID == id)
        intent = fileTransferIntentFromRaw(static_cast<std::uint8_t>(packet.value1 & 0xFF));
    reportRefusedBatch(id, intent.value_or(FileTransferIntent::copy), peerToken);
    return packet.op == FileTransferOp::batchIntent && packet.batchID == id;
}

void FileTransferService::processIncoming(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken) {
    const auto& id = packet.batchID;
    auto batchOf = [&] { return inboundBatch(id, peerToken); };
    if (refusedBatchIntent(packet, peerToken)) return;  // the refused batch's own intent

    // The intent travels in batchStart or in the batchIntent right after it; any other packet of
    // the batch settles it as it stands.
    switch (packet.op) {
    case FileTransferOp::mkdir:
    case FileTransferOp::fileStart:
    case FileTransferOp::fileChunk:
    case FileTransferOp::fileEnd:
    case FileTransferOp::batchEnd:
        if (auto* batch = batchOf(); batch && !batch->settled) settle(*batch, packet.op == FileTransferOp::batchEnd);
        break;
    default:
        break;
    }

    switch (packet.op) {
    case FileTransferOp::batchStart:
        handleBatchStart(packet, peerToken);
        return;
    case FileTransferOp::mkdir:
        if (auto* batch = batchOf(); batch && acceptablePeerPath(*batch, id, packet.path)) handleMkdir(*batch, packet);
        return;
    case FileTransferOp::fileStart:
        if (auto* batch = batchOf(); batch && acceptablePeerPath(*batch, id, packet.path))
            handleFileStart(*batch, packet);
        return;
    case FileTransferOp::fileChunk:
        if (auto* batch = batchOf()) handleFileChunk(id, *batch, packet);
        return;
    case FileTransferOp::fileEnd:
        if (auto* batch = batchOf()) handleFileEnd(*batch, packet.path);
        return;
    case FileTransferOp::batchEnd:
        if (batchOf()) handleBatchEnd(id);
        return;
    case FileTransferOp::batchIntent:
        if (auto* batch = batchOf(); batch && !batch->settled) {
            if (auto intent = fileTransferIntentFromRaw(static_cast<std::uint8_t>(packet.value1 & 0xFF)))
                batch->intent = *intent;
            settle(*batch);
        }
        return;
    case FileTransferOp::cancelBatch:
        handlePeerCancel(id, peerToken);
        return;
    case FileTransferOp::directSave:
        handleDirectSave(packet, peerToken);
        return;
    case FileTransferOp::listDir:
        handleListDirRequest(packet, peerToken);
        return;
    case FileTransferOp::listDirReply:
        handleListDirReply(packet, peerToken);
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

void FileTransferService::notifyPeer(const std::optional<std::string>& peerToken, const std::string& text) {
    if (peerToken) onPeerNotice(*peerToken, text);
}

void FileTransferService::handleBatchStart(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken) {
    const auto& id = packet.batchID;
    if (auto existing = inbound_.find(id); existing != inbound_.end()) {
        if (peerToken && existing->second.peerToken && *peerToken != *existing->second.peerToken) return;
        // The same batch started afresh: the unfinished one goes, with its folder and partial file.
        dropInbound(existing, false);
    }
    auto refuse = [&](const std::string& reason, bool toOwner = true) {
        inboundStatus("refused batch " + shortBatchID(id) + ": " + reason, sentBy(peerToken));
        notifyPeer(peerToken, "files: batch " + id.uuidString() + " refused: " + reason);
        if (!toOwner) return;
        // The batch never settles: its owner hears of it here, to answer what waits for an answer.
        // A plain copy may still name its intent in the packet right after (see refusedBatchIntent).
        const auto intent = FileTransferPacket::batchStartIntent(packet.value2);
        if (intent == FileTransferIntent::copy) {
            refusedAwaitingIntent_[peerToken] = id;
        } else {
            reportRefusedBatch(id, intent, peerToken);
        }
    };
    // A finished batch keeps its id until the owner is done with it: its items may still wait for
    // a destination, and everything about it (its folder, the owner's state) is found by that id,
    // its answer too: the owner is not told of this refusal.
    if (completedFolders_.contains(id))
        return refuse("its id belongs to a batch that is still being delivered", false);
    const auto open = std::count_if(inbound_.begin(), inbound_.end(),
                                    [&](const auto& entry) { return entry.second.peerToken == peerToken; });
    if (static_cast<std::size_t>(open) >= maxInboundBatchesPerPeer) {
        return refuse("too many unfinished batches (at most " + std::to_string(maxInboundBatchesPerPeer) + ")");
    }
    std::string error;
    auto staging = batchStagingRoot(error);
    if (!staging) return refuse("the staging folder is unavailable: " + error);

    const double now = clock_->wallTime();
    const auto seconds = static_cast<std::int64_t>(std::trunc(now));
    // Every batch gets a folder of its own, made here and never taken over: a name that exists
    // already (a link planted in advance, or another batch's folder) is passed by.
    const std::string base = std::to_string(seconds) + "-" + shortBatchID(id);
    std::string name = base;
    bool made = false;
    for (int attempt = 1; attempt <= 1000 && !made; ++attempt) {
        if (attempt > 1) name = base + "-" + std::to_string(attempt);
        if (::mkdirat(staging->get(), name.c_str(), 0700) == 0) {
            made = true;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (!made) return refuse(std::string("no batch folder could be made: ") + std::strerror(errno ? errno : EEXIST));
    auto staged = holdBatchFolder(std::move(staging), name);
    if (!staged) return refuse(std::string("no batch folder could be made: ") + std::strerror(errno));
    staged->share = stagingShare(peerToken);
    staged->share->held.fetch_add(1);

    InboundBatch batch;
    batch.rootDir = folders_.caches / "QuillmereFileInbox" / peerLabel / name;
    batch.staged = std::move(staged);
    batch.totalExpectedBytes = packet.value1;
    batch.totalFilesExpected = static_cast<std::int64_t>(FileTransferPacket::batchStartFileCount(packet.value2));
    batch.intent = FileTransferPacket::batchStartIntent(packet.value2);
    // A name list past the bound is not kept: the names only label the batch.
    if (packet.data.size() <= maxItemNamesBytes) batch.itemNames = FileTransferDocuments::decodeItemNames(packet.data);
    batch.startedAt = now;
    batch.peerToken = peerToken;
    batch.batchID = id;
    if (auto pending = pendingDestinations_.find(id);
        pending != pendingDestinations_.end() && pending->second.peerToken == peerToken) {
        batch.destinationHint = pending->second.path;
        batch.deliveryOptions = pending->second.deliveryOptions;
        pendingDestinations_.erase(pending);
    }
    const auto fileCount = batch.totalFilesExpected;
    const auto totalBytes = batch.totalExpectedBytes;
    const auto intent = batch.intent;
    const auto names = batch.itemNames;
    inbound_.insert_or_assign(id, std::move(batch));
    onMain([id, fileCount, totalBytes, intent, names, source = doneFor(peerToken)](FileTransferService& self) {
        self.onStatus("receiving " + std::to_string(fileCount) + " item(s), " + byteString(totalBytes) + " from " +
                          self.peerLabel,
                      source);
        self.onBatchStarted(id, fileCount, totalBytes, names);
        self.onBatchStartedWithIntent(id, fileCount, totalBytes, intent, names);
    });
}

void FileTransferService::refusePeerItem(InboundBatch& batch, const std::string& path, const std::string& reason) {
    batch.droppedFiles += 1;
    inboundStatus("dropped " + escapedForLog(path) + ": " + reason, sentBy(batch.peerToken));
    notifyPeer(batch.peerToken,
               "files: batch " + batch.batchID.uuidString() + " dropped " + escapedForLog(path) + ": " + reason);
}

bool FileTransferService::acceptablePeerPath(InboundBatch& batch, const UUID&, const std::string& path) {
    auto endCurrentFile = [&] {
        // A refused fileStart must not leave chunks flowing into the previous file.
        batch.currentHandle.reset();
        batch.currentFile.reset();
        batch.currentRelativePath.clear();
        batch.currentFileDropped = true;
    };
    auto refuse = [&](const std::string& reason) {
        endCurrentFile();
        refusePeerItem(batch, path, reason);
        return false;
    };
    if (path.size() > maxPeerPathBytes) return refuse("the path is longer than " + std::to_string(maxPeerPathBytes) + " bytes");
    if (static_cast<std::size_t>(std::count(path.begin(), path.end(), '/')) >= maxPeerPathDepth)
        return refuse("the path is deeper than " + std::to_string(maxPeerPathDepth) + " levels");
    const bool topLevel = path.find('/') == std::string::npos;
    if (topLevel && !batch.topLevelNames.contains(path) && batch.topLevelNames.size() >= maxTopLevelEntriesPerBatch) {
        if (batch.itemLimitReported) {
            endCurrentFile();
            batch.droppedFiles += 1;
            return false;
        }
        batch.itemLimitReported = true;
        return refuse("the batch has " + std::to_string(maxTopLevelEntriesPerBatch) + " items already");
    }
    return true;
}

void FileTransferService::handleDirectSave(const FileTransferPacketView& packet, const std::optional<std::string>& peerToken) {
    const auto& id = packet.batchID;
    auto existing = pendingDestinations_.find(id);
    if (existing != pendingDestinations_.end() && existing->second.peerToken != peerToken) return;
    if (packet.path.size() > maxPeerPathBytes) return;
    if (existing == pendingDestinations_.end()) {
        const auto held = std::count_if(pendingDestinations_.begin(), pendingDestinations_.end(),
                                        [&](const auto& entry) { return entry.second.peerToken == peerToken; });
        if (static_cast<std::size_t>(held) >= maxPendingDestinationsPerPeer) return;
    }
    pendingDestinations_[id] = PendingDestination{packet.path, FileTransferDeliveryOptions(packet.value1), peerToken};
}

namespace {

void addTopLevel(FileTransferService::InboundBatch& batch, const std::string& name, const std::filesystem::path& item) {
    if (batch.topLevelNames.insert(name).second) batch.topLevelEntries.push_back(item);
}

std::filesystem::path joined(const std::filesystem::path& root, const std::vector<std::string>& components) {
    auto out = root;
    for (const auto& component : components) out /= component;
    return out;
}

}  // namespace

std::optional<std::vector<std::string>> FileTransferService::stageablePath(InboundBatch& batch, const std::string& path) {
    // Only top-level items are delivered, so an item below a folder the batch never announced
    // (by its mkdir or a file of that name) would stay in staging unseen: it is refused and
    // counted like any other item that is not kept.
    auto components = peerPathComponents(path);
    if (!components) {
        refusePeerItem(batch, path, "the path is not allowed");
        return std::nullopt;
    }
    if (components->size() > 1 && !batch.topLevelNames.contains(components->front())) {
        refusePeerItem(batch, path, "its folder was not announced");
        return std::nullopt;
    }
    return components;
}

void FileTransferService::handleMkdir(InboundBatch& batch, const FileTransferPacketView& packet) {
    auto components = stageablePath(batch, packet.path);
    if (!components) return;
    if (!openConfinedFolder(batch.rootDir, *components, true)) {
        refusePeerItem(batch, packet.path, "the folder could not be made");
        return;
    }
    if (components->size() == 1) addTopLevel(batch, components->front(), joined(batch.rootDir, *components));
}

void FileTransferService::handleFileStart(InboundBatch& batch, const FileTransferPacketView& packet) {
    // Whatever was open ends here; a refused path must not leave chunks flowing into it.
    batch.currentHandle.reset();
    batch.currentFile.reset();
    batch.currentRelativePath.clear();
    batch.currentExpectedSize = 0;
    batch.currentReceived = 0;
    // Until it is open, the chunks that follow are those of a dropped file.
    batch.currentFileDropped = true;
    auto components = stageablePath(batch, packet.path);
    if (!components) return;
    auto file = createConfinedFile(batch.rootDir, *components);
    if (!file) {
        refusePeerItem(batch, packet.path, "the file could not be made");
        return;
    }
    batch.currentFileDropped = false;
    batch.currentFile = joined(batch.rootDir, *components);
    batch.currentRelativePath = packet.path;
    batch.currentExpectedSize = packet.value1;
    batch.currentHandle = std::move(*file);
    batch.currentSerial = ++lastFileSerial_;
    if (components->size() == 1) addTopLevel(batch, components->front(), *batch.currentFile);
}

void FileTransferService::abandonCurrentFile(InboundBatch& batch, const std::string& reason) {
    batch.currentHandle.reset();
    if (batch.currentFile) {
        std::error_code ec;
        std::filesystem::remove(*batch.currentFile, ec);
        auto& top = batch.topLevelEntries;
        if (batch.topLevelNames.erase(batch.currentRelativePath) > 0)
            top.erase(std::remove(top.begin(), top.end(), *batch.currentFile), top.end());
    }
    batch.totalReceivedBytes -= batch.currentReceived;
    batch.currentFileDropped = true;
    refusePeerItem(batch, batch.currentRelativePath, reason);
    batch.currentFile.reset();
    batch.currentRelativePath.clear();
    batch.currentReceived = 0;
}

bool FileTransferService::chunkContinuesFile(const InboundBatch& batch, std::uint64_t offset, std::uint64_t length) {
    // Data must continue the file where it stands and stay within the size announced for it.
    return offset == batch.currentReceived && length <= batch.currentExpectedSize - batch.currentReceived;
}

bool FileTransferService::chunkFits(InboundBatch& batch, std::uint64_t offset, std::uint64_t length) {
    if (chunkContinuesFile(batch, offset, length)) return true;
    abandonCurrentFile(batch, "data does not match its announced size");
    return false;
}

void FileTransferService::chunkWritten(const UUID& batchID, InboundBatch& batch, std::uint64_t length) {
    batch.currentReceived += length;
    batch.totalReceivedBytes += length;
    batch.progress->received.store(batch.totalReceivedBytes);
    // A report at most once per interval, however many files and chunks arrive meanwhile: the
    // latest figure follows when the interval ends, and the last before completion.
    const auto now = clock_->uptimeNs();
    if (now >= batch.nextReportNs) return reportInboundProgress(batchID, batch);
    if (std::exchange(batch.reportFollows, true)) return;
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->asyncAfter(static_cast<double>(batch.nextReportNs - now) / 1e9, [weak, batchID] {
        auto self = weak.lock();
        if (!self) return;
        auto it = self->inbound_.find(batchID);
        if (it == self->inbound_.end()) return;
        it->second.reportFollows = false;
        if (it->second.totalReceivedBytes != it->second.reportedBytes) self->reportInboundProgress(batchID, it->second);
    });
}

void FileTransferService::reportInboundProgress(const UUID& batchID, InboundBatch& batch) {
    batch.reportedBytes = batch.totalReceivedBytes;
    batch.nextReportNs = clock_->uptimeNs() + static_cast<std::uint64_t>(progressReportInterval * 1e9);
    // One report waits for the main queue at a time, and tells the latest figure when it runs.
    auto progress = batch.progress;
    if (progress->reportWaiting.exchange(true)) return;
    onMain([batchID, progress, total = batch.totalExpectedBytes](FileTransferService& self) {
        progress->reportWaiting.store(false);
        self.onBatchProgress(batchID, progress->received.load(), total);
    });
}

void FileTransferService::noteDataWithoutFile(InboundBatch& batch, const std::string& path) {
    // Data for a file that was never started (its fileStart did not arrive whole): the file is
    // lost, and counted once. The rest of a file dropped already is not counted again.
    if (batch.currentFileDropped) return;
    batch.currentFileDropped = true;
    refusePeerItem(batch, path, "no file was started for it");
}

void FileTransferService::handleFileChunk(const UUID& batchID, InboundBatch& batch, const FileTransferPacketView& packet) {
    if (!batch.currentHandle.valid()) return noteDataWithoutFile(batch, packet.path);
    if (!chunkFits(batch, packet.value1, packet.data.size())) return;
    if (!writeAll(batch.currentHandle.get(), packet.data)) {
        abandonCurrentFile(batch, std::string("write failed: ") + std::strerror(errno));
        return;
    }
    chunkWritten(batchID, batch, packet.data.size());
}

void FileTransferService::handleFileEnd(InboundBatch& batch, const std::string& path) {
    if (batch.currentHandle.valid()) {
        handleFileEnd(batch);
    } else {
        noteDataWithoutFile(batch, path);
    }
    // Whatever came of it, that file has ended: data after this is another file's.
    batch.currentFileDropped = false;
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

void FileTransferService::settle(InboundBatch& batch, bool atItsEnd) {
    batch.settled = true;
    // Every item packet settles a batch, so one settled by its end has staged nothing.
    InboundBatchInfo info{batch.batchID,         batch.totalFilesExpected, batch.totalExpectedBytes, batch.itemNames,
                          batch.intent,          batch.destinationHint,    batch.deliveryOptions,    batch.peerToken,
                          atItsEnd};
    auto kept = info;
    kept.itemNames.clear();  // what a stop needs of it is small; the names may not be
    settledInfo_.insert_or_assign(batch.batchID, std::move(kept));
    onMain([info = std::move(info)](FileTransferService& self) { self.onInboundBatchSettled(info); });
}

void FileTransferService::handleBatchEnd(const UUID& batchID) {
    auto node = inbound_.extract(batchID);
    auto& batch = node.mapped();
    completedFolders_.insert_or_assign(batchID, batch.staged);
    // A file whose fileEnd never came is kept only when it is whole.
    if (batch.currentHandle.valid()) handleFileEnd(batch);
    if (batch.totalReceivedBytes != batch.reportedBytes) reportInboundProgress(batchID, batch);
    notifyPeer(batch.peerToken, "files: batch " + batchID.uuidString() + " received " +
                                    std::to_string(batch.topLevelEntries.size()) + " item(s), dropped " +
                                    std::to_string(batch.droppedFiles) + " file(s)");
    onMain([batchID, count = batch.topLevelEntries.size(), root = batch.rootDir, items = batch.topLevelEntries,
            intent = batch.intent, dropped = batch.droppedFiles,
            source = doneFor(batch.peerToken)](FileTransferService& self) {
        self.onStatus("received " + std::to_string(count) + " item(s) into " + root.string(), source);
        if (dropped > 0) self.onBatchItemsDropped(batchID, dropped);
        self.onBatchCompleted(batchID, items, intent);
    });
}

void FileTransferService::handlePeerCancel(const UUID& batchID, const std::optional<std::string>& peerToken) {
    {
        // Only the destination of an outgoing batch stops it (any peer, for one sent to all),
        // and only a batch that is queued or running is marked, so marks never pile up.
        std::lock_guard lock(outgoingLock_);
        auto active = outgoingActive_.find(batchID);
        if (active != outgoingActive_.end() && (!active->second || !peerToken || active->second == peerToken))
            outgoingCancelled_.insert(batchID);
    }
    auto mine = [&](const std::optional<std::string>& owner) { return !peerToken || !owner || owner == peerToken; };
    if (auto pending = pendingDestinations_.find(batchID);
        pending != pendingDestinations_.end() && mine(pending->second.peerToken))
        pendingDestinations_.erase(pending);
    if (auto batch = inbound_.find(batchID); batch != inbound_.end() && mine(batch->second.peerToken)) {
        // Dropped now, not behind the packets already queued: the peer's batchEnd that follows
        // its cancel must not complete the batch.
        discardInbound(batchID);
        inboundStatus("cancelled by peer for batch " + shortBatchID(batchID), doneFor(peerToken));
    }
}

}  // namespace qm
