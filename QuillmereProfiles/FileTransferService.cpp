#include "QuillmereProfiles/FileTransferService.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cstdlib>

#include "QuillmereProfiles/ClipboardSyncBridge.h"

namespace qm {

namespace {

constexpr std::size_t maxPeerSendPaths = 256;
constexpr std::size_t maxPeerSendRequestBytes = 1'000'000;
constexpr std::size_t maxPeerSendMessageCharacters = 1024;

}  // namespace

std::string shortBatchID(const UUID& batchID) { return batchID.uuidString().substr(0, 8); }

FileTransferService::Folders FileTransferService::Folders::current() {
    Folders folders;
    folders.caches = defaultCachesDirectory();
    if (const char* home = std::getenv("HOME"); home && *home == '/') {
        folders.home = home;
    } else if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir) {
        folders.home = entry->pw_dir;
    } else {
        folders.home = "/";
    }
    return folders;
}

FileTransferService::FileTransferService(const HostPlatform& platform, std::string peerLabel_, std::int64_t chunkSize_,
                                         Folders folders)
    : peerLabel(std::move(peerLabel_)),
      chunkSize(chunkSize_),
      mainQueue_(platform.mainQueue),
      sendQueue_(platform.makeQueue("quillmere.filetransfer.send")),
      inboundQueue_(platform.makeQueue("quillmere.filetransfer.recv")),
      cleanupQueue_(platform.makeQueue("quillmere.filetransfer.cleanup")),
      clock_(platform.clock),
      folders_(std::move(folders)) {}

FileTransferService::~FileTransferService() = default;

void FileTransferService::onMain(std::function<void(FileTransferService&)> block) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    mainQueue_->async([weak, block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

void FileTransferService::send(const FileTransferPacket& packet, const std::optional<std::string>& routingToken) const {
    if (auto routed = routedSendPacket.get()) {
        routed(packet, routingToken);
    } else if (auto plain = sendPacket.get()) {
        plain(packet);
    }
}

bool FileTransferService::isOutgoingCancelled(const UUID& batchID) const {
    std::lock_guard lock(outgoingLock_);
    return outgoingCancelled_.contains(batchID);
}

std::size_t FileTransferService::outgoingBatchCount(const std::string& routingToken) const {
    std::lock_guard lock(outgoingLock_);
    std::size_t count = 0;
    for (const auto& [id, token] : outgoingActive_) count += token == routingToken;
    return count;
}

bool FileTransferService::outgoingBatchActive(const UUID& batchID) const {
    std::lock_guard lock(outgoingLock_);
    return outgoingActive_.contains(batchID);
}

void FileTransferService::cancelOutgoingBatch(const UUID& batchID) {
    std::lock_guard lock(outgoingLock_);
    // Only a batch that is queued or running is marked: a mark for anything else would stay.
    if (outgoingActive_.contains(batchID)) outgoingCancelled_.insert(batchID);
}

namespace {

// What a queued packet counts against the backlog: what it really holds while it waits.
std::size_t backlogCost(const FileTransferPacketView& packet) {
    return packet.data.size() + packet.path.size() + FileTransferPacket::fixedSize +
           FileTransferService::queuedPacketOverhead;
}

}  // namespace

void FileTransferService::handleIncomingPacket(const FileTransferPacket& packet, std::optional<std::string> peerToken) {
    auto owned = std::make_shared<const Bytes>(packet.data);
    auto view = packet.view();
    view.data = *owned;
    handleIncomingPacket(view, std::move(owned), std::move(peerToken));
}

void FileTransferService::handleIncomingPacket(const FileTransferPacketView& packet, SharedBytes storage,
                                               std::optional<std::string> peerToken) {
    {
        std::lock_guard lock(outgoingLock_);
        if (stopped_) return;
    }
    const std::size_t cost = backlogCost(packet);
    auto gate = InboundGate::none;
    if (packet.op == FileTransferOp::listDir) gate = InboundGate::answerRoom;
    if (packet.op == FileTransferOp::batchStart) gate = InboundGate::stagingRoom;
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    auto run = [weak, packet, storage = std::move(storage), peerToken, cost] {
        auto self = weak.lock();
        if (!self) return;
        self->processIncoming(packet, peerToken);
        self->inboundProcessed(cost);
    };
    queueInbound(peerToken, {std::move(run), cost, gate, true});
}

void FileTransferService::queueInbound(const std::optional<std::string>& peerToken, InboundJob job) {
    InboundJob refused;  // let go of outside the lock: it may hold a connection's data
    std::lock_guard lock(backlogLock_);
    if (inboundStopped_) {
        refused = std::move(job);
        return;
    }
    if (peerToken && job.fromPeer) peersWithPackets_.insert(*peerToken);
    queuedInboundBytes_ += job.cost;
    auto [it, made] = inboundLanes_.try_emplace(peerToken);
    auto& lane = it->second;
    if (made) readyLanes_.push_back(peerToken);
    lane.bytes += job.cost;
    if (lane.parked) parkedLaneBytes_ += job.cost;
    lane.jobs.push_back(std::move(job));
    // Told before the caller hands in the peer's next packet: an owner that stops reading the
    // peer here keeps the rest of a burst in the peer's socket.
    updateReadsHeld(peerToken, lane);
    updateInboundCongestion();
    scheduleInboundTurn();
}

void FileTransferService::updateReadsHeld(const std::optional<std::string>& peerToken, InboundLane& lane) {
    if (!peerToken) return;
    if (!lane.readsHeld && (lane.parked || lane.bytes > maxQueuedBytesPerPeer) &&
        peersWithPackets_.contains(*peerToken)) {
        lane.readsHeld = true;
        onPeerReadsHeld(*peerToken, true);
    } else if (lane.readsHeld && !lane.parked && lane.bytes <= maxQueuedBytesPerPeer / 2) {
        lane.readsHeld = false;
        onPeerReadsHeld(*peerToken, false);
    }
}

void FileTransferService::scheduleInboundTurn() {
    if (readyLanes_.empty() || std::exchange(turnQueued_, true)) return;
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak] {
        if (auto self = weak.lock()) self->serveInboundTurn();
    });
}

void FileTransferService::serveInboundTurn() {
    std::unique_lock lock(backlogLock_);
    turnQueued_ = false;
    while (!inboundStopped_ && !readyLanes_.empty()) {
        auto peer = std::move(readyLanes_.front());
        readyLanes_.pop_front();
        const auto gate = inboundLanes_.at(peer).jobs.front().gate;
        bool room = true;
        if (gate == InboundGate::stagingRoom) {
            // Looked at under the lock, so a folder let go of meanwhile finds the lane waiting.
            room = hasStagingRoom(peer);
        } else if (gate == InboundGate::answerRoom) {
            // Asking the server waits for its queue: not under the lock. Only this queue takes
            // jobs out of a lane, so its first job is still the one looked at (unless a stop
            // cleared everything).
            lock.unlock();
            room = hasRoomToAnswer(peer);
            lock.lock();
            if (inboundStopped_) return;
        }
        if (!room) {
            parkInboundLane(peer, gate);
            continue;
        }
        auto& lane = inboundLanes_.at(peer);
        InboundJob job = std::move(lane.jobs.front());
        lane.jobs.pop_front();
        lane.bytes -= std::min(job.cost, lane.bytes);
        if (std::exchange(lane.parked, false)) {
            parkedLaneBytes_ -= std::min(lane.bytes + job.cost, parkedLaneBytes_);
            updateInboundCongestion();
        }
        updateReadsHeld(peer, lane);
        if (lane.jobs.empty()) {
            inboundLanes_.erase(peer);
        } else {
            readyLanes_.push_back(std::move(peer));
        }
        // The next job runs in a block of its own, after whatever else waits on this queue.
        scheduleInboundTurn();
        lock.unlock();
        job.run();
        return;
    }
}

void FileTransferService::parkInboundLane(const std::optional<std::string>& peerToken, InboundGate gate) {
    waitingLanes_[peerToken] = gate;
    auto& lane = inboundLanes_.at(peerToken);
    if (!std::exchange(lane.parked, true)) {
        parkedLaneBytes_ += lane.bytes;
        updateInboundCongestion();
    }
    // The peer's reads stop: what it sends meanwhile waits in its socket, not here.
    updateReadsHeld(peerToken, lane);
    // Room to answer is not announced: it is looked for shortly. Room to stage is announced when
    // a folder is let go of (stagingShareFreed).
    if (gate == InboundGate::answerRoom) armAnswerRoomRetry();
}

void FileTransferService::armAnswerRoomRetry() {
    if (std::exchange(retryArmed_, true)) return;
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->asyncAfter(answerRoomRetrySeconds, [weak] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->backlogLock_);
            self->retryArmed_ = false;
        }
        self->recheckWaitingLanes();
    });
}

void FileTransferService::recheckWaitingLanes() {
    std::vector<std::optional<std::string>> answering;
    std::vector<std::optional<std::string>> ready;
    {
        std::lock_guard lock(backlogLock_);
        recheckQueued_ = false;
        if (inboundStopped_) return;
        for (const auto& [peer, gate] : waitingLanes_) {
            if (gate == InboundGate::answerRoom) {
                answering.push_back(peer);
            } else if (hasStagingRoom(peer)) {
                ready.push_back(peer);
            }
        }
    }
    for (const auto& peer : answering)
        if (hasRoomToAnswer(peer)) ready.push_back(peer);
    std::lock_guard lock(backlogLock_);
    if (inboundStopped_) return;
    for (auto& peer : ready) {
        if (waitingLanes_.erase(peer) > 0) readyLanes_.push_back(std::move(peer));
    }
    scheduleInboundTurn();
    const bool answersWait = std::any_of(waitingLanes_.begin(), waitingLanes_.end(), [](const auto& waiting) {
        return waiting.second == InboundGate::answerRoom;
    });
    if (answersWait) armAnswerRoomRetry();
}

bool FileTransferService::hasRoomToAnswer(const std::optional<std::string>& peerToken) const {
    {
        std::lock_guard lock(outgoingLock_);
        if (stopped_) return true;
    }
    auto backlog = outgoingBacklog.get();
    if (!backlog) return true;
    const auto queued = backlog(peerToken);
    // A peer that is gone is answered into the void at once (its listings go when it is forgotten).
    return !queued || *queued <= maxOutgoingBacklogBytes;
}

bool FileTransferService::hasStagingRoom(const std::optional<std::string>& peerToken) const {
    auto share = stagingShares_.find(peerToken);
    if (share == stagingShares_.end() || share->second->held.load() < maxStagedBatchesPerPeer) return true;
    // With every unfinished batch it may have open, its next batchStart is refused, not held: the
    // packets that would finish those batches wait behind it.
    const auto open = std::count_if(inbound_.begin(), inbound_.end(),
                                    [&](const auto& entry) { return entry.second.peerToken == peerToken; });
    return static_cast<std::size_t>(open) >= maxInboundBatchesPerPeer;
}

void FileTransferService::stagingShareFreed() {
    std::lock_guard lock(backlogLock_);
    const bool stagingWaits = std::any_of(waitingLanes_.begin(), waitingLanes_.end(), [](const auto& waiting) {
        return waiting.second == InboundGate::stagingRoom;
    });
    if (inboundStopped_ || !stagingWaits || std::exchange(recheckQueued_, true)) return;
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak] {
        if (auto self = weak.lock()) self->recheckWaitingLanes();
    });
}

FileTransferService::StagedFolder::~StagedFolder() {
    // Counted down once the descriptor is closed, so the count is what is really held.
    folder.reset();
    if (!share) return;
    share->held.fetch_sub(1);
    if (auto service = share->service.lock()) service->stagingShareFreed();
}

std::shared_ptr<FileTransferService::StagingShare> FileTransferService::stagingShare(
    const std::optional<std::string>& peerToken) {
    auto& share = stagingShares_[peerToken];
    if (!share) {
        share = std::make_shared<StagingShare>();
        share->service = weak_from_this();
    }
    return share;
}

std::size_t FileTransferService::stagedBatchCount(const std::optional<std::string>& peerToken) {
    return inboundQueue_->sync([&]() -> std::size_t {
        auto share = stagingShares_.find(peerToken);
        return share == stagingShares_.end() ? 0 : share->second->held.load();
    });
}

void FileTransferService::inboundProcessed(std::size_t bytes) {
    std::lock_guard lock(backlogLock_);
    queuedInboundBytes_ -= std::min(bytes, queuedInboundBytes_);
    updateInboundCongestion();
}

void FileTransferService::updateInboundCongestion() {
    const auto counted = queuedInboundBytes_ - std::min(parkedLaneBytes_, queuedInboundBytes_);
    if (!inboundCongested_ && counted > maxQueuedInboundBytes) {
        inboundCongested_ = true;
        onInboundCongestion(true);
    } else if (inboundCongested_ && counted <= maxQueuedInboundBytes / 2) {
        inboundCongested_ = false;
        onInboundCongestion(false);
    }
}

std::size_t FileTransferService::queuedInboundBytes() const {
    std::lock_guard lock(backlogLock_);
    return queuedInboundBytes_;
}

FileTransferService::InboundJob FileTransferService::cancelJob(const std::string& peerToken, bool forgetShare) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    std::optional<std::string> peer = peerToken;
    return {[weak, peer, forgetShare] {
                auto self = weak.lock();
                if (!self) return;
                std::vector<UUID> batches;
                for (const auto& [id, batch] : self->inbound_)
                    if (batch.peerToken == peer) batches.push_back(id);
                for (const auto& id : batches) self->discardInbound(id);
                std::erase_if(self->pendingDestinations_,
                              [&](const auto& entry) { return entry.second.peerToken == peer; });
                self->refusedAwaitingIntent_.erase(peer);
                // Its folders still held count in the share they keep, not in this table.
                if (forgetShare) self->stagingShares_.erase(peer);
            },
            0, InboundGate::none, false};
}

void FileTransferService::cancelInboundBatches(const std::string& peerToken) {
    {
        std::lock_guard lock(backlogLock_);
        if (inboundStopped_ || !peersWithPackets_.contains(peerToken)) return;  // nothing of it here
    }
    // In the peer's lane, behind what it sent before.
    queueInbound(peerToken, cancelJob(peerToken, false));
}

void FileTransferService::forgetPeer(const std::string& peerToken) {
    {
        std::lock_guard lock(backlogLock_);
        // A peer that never handed in a packet (a connection that never signed in) holds nothing.
        if (inboundStopped_ || peersWithPackets_.erase(peerToken) == 0) return;
    }
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak, peerToken] {
        if (auto self = weak.lock()) self->dropPeer(peerToken);
    });
}

void FileTransferService::dropPeer(const std::string& peerToken) {
    const std::optional<std::string> peer = peerToken;
    std::deque<InboundJob> unanswered;  // let go of outside the lock
    bool behindOthers = false;
    {
        std::lock_guard lock(backlogLock_);
        if (inboundStopped_) return;
        if (auto it = inboundLanes_.find(peer); it != inboundLanes_.end()) {
            auto& lane = it->second;
            // Nothing is produced for a peer that is gone. What it sent stays in order: a batch it
            // finished before it left is still delivered.
            std::deque<InboundJob> kept;
            std::size_t dropped = 0;
            for (auto& job : lane.jobs) {
                if (job.gate == InboundGate::answerRoom) {
                    dropped += job.cost;
                    unanswered.push_back(std::move(job));
                } else {
                    kept.push_back(std::move(job));
                }
            }
            lane.jobs = std::move(kept);
            lane.bytes -= std::min(dropped, lane.bytes);
            queuedInboundBytes_ -= std::min(dropped, queuedInboundBytes_);
            if (lane.parked) parkedLaneBytes_ -= std::min(dropped, parkedLaneBytes_);
            // The server lets go of its mark; a peer that was forgotten is not held again.
            if (std::exchange(lane.readsHeld, false)) onPeerReadsHeld(peerToken, false);
            // It sat out for a listing: it goes back in turn. For room to stage, it still waits.
            if (auto waiting = waitingLanes_.find(peer);
                waiting != waitingLanes_.end() && (lane.jobs.empty() || lane.jobs.front().gate != waiting->second)) {
                waitingLanes_.erase(waiting);
                if (std::exchange(lane.parked, false)) parkedLaneBytes_ -= std::min(lane.bytes, parkedLaneBytes_);
                if (!lane.jobs.empty()) readyLanes_.push_back(peer);
            }
            if (lane.jobs.empty()) {
                std::erase(readyLanes_, peer);
                inboundLanes_.erase(it);
            } else {
                behindOthers = true;
            }
            updateInboundCongestion();
            scheduleInboundTurn();
        }
    }
    auto cancel = cancelJob(peerToken, true);
    if (behindOthers) {
        queueInbound(peer, std::move(cancel));
    } else {
        cancel.run();
    }
}

void FileTransferService::stop() {
    {
        std::lock_guard lock(outgoingLock_);
        if (stopped_) return;
        stopped_ = true;
        for (const auto& [id, token] : outgoingActive_) outgoingCancelled_.insert(id);
    }
    stopReceiving();
    // Every unfinished batch goes, its folder removed before this returns (the process may end
    // right after).
    inboundQueue_->sync([this] {
        while (!inbound_.empty()) dropInbound(inbound_.begin(), true);
        pendingDestinations_.clear();
        refusedAwaitingIntent_.clear();
        // Finished batches nobody will deliver now (still waiting for their owner, or their
        // completion not yet taken): a stop leaves nothing staged.
        for (const auto& [id, folder] : completedFolders_)
            if (!removeStagedFolder(folder)) keepLeft(folder);
        completedFolders_.clear();
        settledInfo_.clear();
    });
    sendQueue_->sync([] {});
    cleanupQueue_->sync([] {});
    // What a removal could not take on the way (the process short of descriptors when a batch was
    // done with) may go now that the batches above let go of theirs.
    removeLeftFolders();
}

void FileTransferService::stopReceiving() {
    // Nothing queued runs any more, and nothing new is queued: a stop does not wait for what
    // peers sent before it, and nothing of it runs after.
    std::map<std::optional<std::string>, InboundLane> dropped;
    {
        std::lock_guard lock(backlogLock_);
        inboundStopped_ = true;
        dropped.swap(inboundLanes_);
        readyLanes_.clear();
        waitingLanes_.clear();
        peersWithPackets_.clear();
        queuedInboundBytes_ = 0;
        parkedLaneBytes_ = 0;
    }
    dropped.clear();
    // The job running now finishes first.
    inboundQueue_->sync([] {});
}

std::size_t FileTransferService::tableEntryCount() {
    std::size_t outgoing = 0;
    {
        std::lock_guard lock(outgoingLock_);
        outgoing = outgoingCancelled_.size() + outgoingActive_.size();
    }
    return outgoing + inboundQueue_->sync(
                          [this] { return inbound_.size() + pendingDestinations_.size() + refusedAwaitingIntent_.size(); });
}

// Peer send requests and responses.

std::optional<UUID> FileTransferService::requestPeerSend(const std::vector<std::string>& paths,
                                                         const std::string& destination,
                                                         FileTransferDeliveryOptions deliveryOptions) {
    std::vector<std::string> kept;
    for (const auto& path : paths) {
        auto trimmed = FileTransferDocuments::trimmed(path);
        if (!trimmed.empty()) kept.push_back(std::move(trimmed));
    }
    const auto trimmedDestination = FileTransferDocuments::trimmed(destination);
    if (kept.empty() || trimmedDestination.empty()) return std::nullopt;
    if (kept.size() > maxPeerSendPaths) kept.resize(maxPeerSendPaths);
    auto body = FileTransferPeerSendRequest(std::move(kept), trimmedDestination, deliveryOptions).encoded();
    if (body.size() > maxPeerSendRequestBytes) return std::nullopt;
    const auto requestID = UUID::random();
    send(FileTransferPacket{FileTransferOp::peerSendRequest, requestID, 0, 0, {}, std::move(body)}, std::nullopt);
    return requestID;
}

void FileTransferService::sendPeerSendResponse(const UUID& batchID, bool accepted,
                                               const std::optional<std::string>& message,
                                               const std::optional<std::string>& routingToken) {
    FileTransferPeerSendResponse response{accepted, std::nullopt};
    if (message) {
        auto trimmed = FileTransferDocuments::trimmed(*message);
        if (!trimmed.empty())
            response.message = FileTransferDocuments::prefixCharacters(trimmed, maxPeerSendMessageCharacters);
    }
    send(FileTransferPacket{FileTransferOp::peerSendResponse, batchID, 0, 0, {}, response.encoded()}, routingToken);
}

std::optional<FileTransferPeerSendRequest> FileTransferService::peerSendRequest(const FileTransferPacket& packet) {
    if (packet.op != FileTransferOp::peerSendRequest) return std::nullopt;
    return FileTransferPeerSendRequest::decode(packet.data);
}

std::optional<FileTransferPeerSendResponse> FileTransferService::peerSendResponse(const FileTransferPacket& packet) {
    if (packet.op != FileTransferOp::peerSendResponse) return std::nullopt;
    return FileTransferPeerSendResponse::decode(packet.data);
}

// Cancellation and lookups.

void FileTransferService::cancelBatch(const UUID& batchID) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak, batchID] {
        if (auto self = weak.lock()) {
            self->discardInbound(batchID);
            self->releaseFolder(batchID);
        }
    });
}

void FileTransferService::releaseCompletedBatch(const UUID& batchID) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak, batchID] {
        if (auto self = weak.lock()) self->releaseFolder(batchID);
    });
}

void FileTransferService::releaseFolder(const UUID& batchID) {
    if (!inbound_.contains(batchID)) settledInfo_.erase(batchID);
    auto node = completedFolders_.extract(batchID);
    if (node.empty()) return;
    cleanupQueue_->async([weak = weak_from_this(), folder = node.mapped()] {
        if (removeStagedFolder(folder)) return;
        if (auto self = weak.lock()) self->keepLeft(folder);
    });
}

std::size_t FileTransferService::unreleasedBatchCount() {
    return inboundQueue_->sync([this] { return completedFolders_.size(); });
}

void FileTransferService::discardInbound(const UUID& batchID) {
    auto it = inbound_.find(batchID);
    if (it == inbound_.end()) return;
    dropInbound(it, false);
}

void FileTransferService::dropInbound(std::map<UUID, InboundBatch>::iterator it, bool waitForRemoval) {
    auto staged = std::move(it->second.staged);
    if (it->second.settled) {
        settledInfo_.erase(it->first);
        onMain([id = it->first](FileTransferService& self) { self.onInboundBatchDropped(id); });
    }
    inbound_.erase(it);  // closes the open file
    // The folder was made for this batch alone, so removing it later cannot touch another batch.
    auto remove = [weak = weak_from_this(), staged] {
        if (removeStagedFolder(staged)) return;
        if (auto self = weak.lock()) self->keepLeft(staged);
    };
    if (waitForRemoval) {
        remove();
    } else {
        cleanupQueue_->async(remove);
    }
}

void FileTransferService::notifyPeerCancel(const UUID& batchID) {
    send(FileTransferPacket{FileTransferOp::cancelBatch, batchID, 0, 0, {}, {}}, std::nullopt);
}

std::optional<std::string> FileTransferService::destinationHint(const UUID& batchID) {
    return inboundQueue_->sync([&]() -> std::optional<std::string> {
        auto it = inbound_.find(batchID);
        return it == inbound_.end() ? std::nullopt : it->second.destinationHint;
    });
}

FileTransferDeliveryOptions FileTransferService::deliveryOptions(const UUID& batchID) {
    return inboundQueue_->sync([&] {
        auto it = inbound_.find(batchID);
        return it == inbound_.end() ? FileTransferDeliveryOptions() : it->second.deliveryOptions;
    });
}

std::optional<FileTransferIntent> FileTransferService::intent(const UUID& batchID) {
    return inboundQueue_->sync([&]() -> std::optional<FileTransferIntent> {
        auto it = inbound_.find(batchID);
        if (it == inbound_.end()) return std::nullopt;
        return it->second.intent;
    });
}

std::vector<FileTransferService::InboundBatchInfo> FileTransferService::settledInboundBatches() {
    return inboundQueue_->sync([this] {
        std::vector<InboundBatchInfo> batches;
        for (const auto& [id, info] : settledInfo_) batches.push_back(info);
        return batches;
    });
}

std::filesystem::path FileTransferService::stagingRoot() const {
    std::string error;
    openStagingRoot(error);
    return folders_.caches / "QuillmereFileInbox" / peerLabel;
}

std::optional<FileDescriptor> FileTransferService::openStagingRoot(std::string& error) const {
    std::error_code ec;
    std::filesystem::create_directories(folders_.caches, ec);
    FileDescriptor folder(::open(folders_.caches.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        error = std::string("cannot open the caches folder: ") + std::strerror(errno);
        return std::nullopt;
    }
    // Received files are the user's alone: both levels are made 0700, and a level that another
    // user made first (to read what arrives) is refused rather than used.
    for (const std::string& name : {std::string("QuillmereFileInbox"), peerLabel}) {
        if (::mkdirat(folder.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + name + ": " + std::strerror(errno);
            return std::nullopt;
        }
        FileDescriptor next(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (!next.valid() || ::fstat(next.get(), &info) != 0) {
            error = "cannot open " + name + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (info.st_uid != ::geteuid()) {
            error = name + " belongs to another user";
            return std::nullopt;
        }
        if ((info.st_mode & 077) != 0 && ::fchmod(next.get(), 0700) != 0) {
            error = name + " cannot be made private: " + std::strerror(errno);
            return std::nullopt;
        }
        folder = std::move(next);
    }
    return folder;
}

}  // namespace qm
