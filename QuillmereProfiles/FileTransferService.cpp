#include "QuillmereProfiles/FileTransferService.h"

#include <pwd.h>
#include <unistd.h>

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

void FileTransferService::cancelOutgoingBatch(const UUID& batchID) {
    std::lock_guard lock(outgoingLock_);
    outgoingCancelled_.insert(batchID);
}

namespace {

// What a queued packet counts against the backlog: its data and a little for the rest.
std::size_t backlogCost(const FileTransferPacketView& packet) {
    return packet.data.size() + packet.path.size() + FileTransferPacket::fixedSize;
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
    const std::size_t cost = backlogCost(packet);
    {
        std::lock_guard lock(backlogLock_);
        queuedInboundBytes_ += cost;
        if (!inboundCongested_ && queuedInboundBytes_ > maxQueuedInboundBytes) {
            inboundCongested_ = true;
            onInboundCongestion(true);
        }
    }
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak, packet, storage = std::move(storage), peerToken = std::move(peerToken), cost] {
        auto self = weak.lock();
        if (!self) return;
        self->processIncoming(packet, peerToken);
        self->inboundProcessed(cost);
    });
}

void FileTransferService::inboundProcessed(std::size_t bytes) {
    std::lock_guard lock(backlogLock_);
    queuedInboundBytes_ -= std::min(bytes, queuedInboundBytes_);
    if (inboundCongested_ && queuedInboundBytes_ <= maxQueuedInboundBytes / 2) {
        inboundCongested_ = false;
        onInboundCongestion(false);
    }
}

std::size_t FileTransferService::queuedInboundBytes() const {
    std::lock_guard lock(backlogLock_);
    return queuedInboundBytes_;
}

void FileTransferService::cancelInboundBatches(const std::string& peerToken) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak, peerToken] {
        auto self = weak.lock();
        if (!self) return;
        std::vector<UUID> batches;
        for (const auto& [id, batch] : self->inbound_)
            if (batch.peerToken == peerToken) batches.push_back(id);
        for (const auto& id : batches) self->discardInbound(id);
    });
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
        if (auto self = weak.lock()) self->discardInbound(batchID);
    });
}

void FileTransferService::discardInbound(const UUID& batchID) {
    auto it = inbound_.find(batchID);
    if (it == inbound_.end()) return;
    auto rootDir = it->second.rootDir;
    inbound_.erase(it);  // closes the open file
    cleanupQueue_->async([rootDir] {
        std::error_code ec;
        std::filesystem::remove_all(rootDir, ec);  // removes links, never what they point to
    });
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

std::filesystem::path FileTransferService::stagingRoot() const {
    auto root = folders_.caches / "QuillmereFileInbox" / peerLabel;
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    return root;
}

}  // namespace qm
