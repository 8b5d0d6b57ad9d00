#include "HostApp/Server/SessionTables.h"

#include <algorithm>

#include "HostApp/Server/ServerConstants.h"
#include "Platform/Core/Crypto.h"
#include "Platform/Core/LogText.h"

namespace qm {

const char* channelName(AuxChannel channel) {
    return channel == AuxChannel::control ? "control" : "video";
}

bool PendingClipboard::offer(std::vector<std::uint8_t> payload) {
    std::lock_guard lock(lock_);
    const bool wasWaiting = payload_.has_value();
    payload_ = std::move(payload);
    if (!wasWaiting) waiting_->fetch_add(1);
    return !wasWaiting;
}

std::optional<std::vector<std::uint8_t>> PendingClipboard::take() {
    std::lock_guard lock(lock_);
    if (payload_) waiting_->fetch_sub(1);
    return std::exchange(payload_, std::nullopt);
}

void AuxSession::end() {
    isLive = false;
    if (signInDeadline) signInDeadline->cancel();
    signInDeadline.reset();
    if (connection) connection->cancel();
    pendingClipboard->take();
    heldFrames.clear();
    heldBytes = 0;
}

std::shared_ptr<AuxSession> SessionTables::session(const UUID& id) const {
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
}

ConnectionPtr SessionTables::connection(const UUID& id) const {
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second->connection;
}

std::optional<std::string> SessionTables::remoteAddress(const UUID& id) const {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return std::nullopt;
    return it->second->remoteAddress;
}

std::optional<std::string> SessionTables::displayName(const UUID& id) const {
    auto it = sessions_.find(id);
    return it == sessions_.end() ? std::nullopt : it->second->displayName;
}

std::optional<std::string> SessionTables::viewerName(const UUID& id) const {
    auto name = displayName(id);
    if (!name) return std::nullopt;
    return escapedForLog(*name);
}

SessionTables::FileChannelPtr SessionTables::fileChannel(const UUID& id) const {
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second->fileChannel;
}

std::vector<std::pair<UUID, SessionTables::FileChannelPtr>> SessionTables::fileChannels() const {
    std::vector<std::pair<UUID, FileChannelPtr>> bound;
    for (const auto& [channel, id] : fileChannelSessions_) {
        if (auto owner = fileChannel(id)) bound.emplace_back(id, std::move(owner));
    }
    return bound;
}

bool SessionTables::setFileTransferToken(const UUID& id, const FileTransferChannelToken& token) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return false;
    it->second->fileTransferToken = token;
    return true;
}

bool SessionTables::isAuthorized(const UUID& id, AuxChannel channel) const {
    return channel == AuxChannel::control ? authorizedAudioSessions_.contains(id) : authorizedVideoSessions_.contains(id);
}

std::shared_ptr<AuxSession> SessionTables::add(AuxChannel channel, ConnectionPtr connection, std::string remoteAddress) {
    auto session = std::make_shared<AuxSession>();
    session->id = UUID::random();
    session->channel = channel;
    session->connection = std::move(connection);
    session->reader.setMaxBufferedBytes(ServerConstants::signInFrameLimit);
    session->pendingClipboard = std::make_shared<PendingClipboard>(clipboardsWaiting_);
    sessions_[session->id] = session;
    (channel == AuxChannel::control ? audioSessions_ : videoSessions_)[session->id] = session->connection;
    session->admissionGroup = qm::admissionGroup(remoteAddress);
    session->remoteAddress = std::move(remoteAddress);
    session->admissionOrder = nextAdmissionOrder_++;
    return session;
}

void SessionTables::authorize(AuxSession& session, std::string displayName) {
    (session.channel == AuxChannel::control ? authorizedAudioSessions_ : authorizedVideoSessions_).insert(session.id);
    signedInControlCount_->store(authorizedAudioSessions_.size());
    session.authorized = true;
    session.refusedFrames = 0;
    // A signed-in Viewer may send large frames (file-transfer packets, clipboards) and reads more
    // at a time.
    session.reader.setMaxBufferedBytes(ServerConstants::signedInFrameLimit);
    if (session.connection) session.connection->setReceiveBufferSize(ServerConstants::signedInReadSize);
    session.displayName = std::move(displayName);
}

SessionTables::Revoked SessionTables::revoke(AuxSession& session) {
    Revoked revoked;
    const UUID& id = session.id;
    session.authorized = false;
    // Back to what a sign-in needs; a frame already half received may still complete.
    session.reader.setMaxBufferedBytes(std::max(ServerConstants::signInFrameLimit, session.reader.bufferedBytes()));
    if (session.connection) session.connection->setReceiveBufferSize(ServerConstants::signInReadSize);
    revoked.wasAuthorized =
        (session.channel == AuxChannel::control ? authorizedAudioSessions_ : authorizedVideoSessions_).erase(id) > 0;
    signedInControlCount_->store(authorizedAudioSessions_.size());
    if (!revoked.wasAuthorized) return revoked;
    session.displayName.reset();
    if (session.channel == AuxChannel::control) {
        session.fileTransferToken.reset();
        revoked.fileChannel = unbindFileChannel(session);
    }
    return revoked;
}

SessionTables::Forgotten SessionTables::forget(const UUID& id) {
    Forgotten forgotten;
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return forgotten;
    forgotten.session = it->second;
    sessions_.erase(it);
    forgotten.session->authorized = false;
    forgotten.session->isLive = false;
    forgotten.wasAuthorized = authorizedAudioSessions_.erase(id) + authorizedVideoSessions_.erase(id) > 0;
    if (!forgotten.wasAuthorized) closedBeforeSignIn_.record(forgotten.session->admissionGroup, nowNs());
    signedInControlCount_->store(authorizedAudioSessions_.size());
    audioSessions_.erase(id);
    videoSessions_.erase(id);
    forgotten.session->displayName.reset();
    forgotten.session->fileTransferToken.reset();
    forgotten.fileChannel = unbindFileChannel(*forgotten.session);
    return forgotten;
}

SessionTables::FileChannelPtr SessionTables::unbindFileChannel(AuxSession& session) {
    auto channel = std::move(session.fileChannel);
    session.fileChannel = nullptr;
    if (channel) fileChannelSessions_.erase(channel.get());
    return channel;
}

SessionTables::FileChannelPtr SessionTables::bindFileChannel(const UUID& sessionID, const FileChannelPtr& channel) {
    if (auto waiting = pendingFileChannels_.find(channel.get()); waiting != pendingFileChannels_.end()) {
        if (waiting->second.deadline) waiting->second.deadline->cancel();
        pendingFileChannels_.erase(waiting);
    }
    auto owner = session(sessionID);
    if (!owner) return nullptr;
    auto older = unbindFileChannel(*owner);
    owner->fileChannel = channel;
    fileChannelSessions_[channel.get()] = sessionID;
    return older;
}

std::optional<UUID> SessionTables::fileChannelEnded(FileTransferChannelConnection* channel) {
    dropPendingFileChannel(channel);
    auto bound = fileChannelSessions_.find(channel);
    if (bound == fileChannelSessions_.end()) return std::nullopt;
    const UUID sessionID = bound->second;
    fileChannelSessions_.erase(bound);
    if (auto owner = session(sessionID); owner && owner->fileChannel.get() == channel) owner->fileChannel = nullptr;
    return sessionID;
}

void SessionTables::admitPendingFileChannel(const FileChannelPtr& channel, std::string remoteAddress,
                                            DispatchWorkItemPtr deadline) {
    auto group = admissionGroup(remoteAddress);
    pendingFileChannels_[channel.get()] = {channel, std::move(remoteAddress), nextAdmissionOrder_++, std::move(group),
                                           std::move(deadline)};
}

bool SessionTables::dropPendingFileChannel(FileTransferChannelConnection* channel) {
    auto waiting = pendingFileChannels_.find(channel);
    if (waiting == pendingFileChannels_.end()) return false;
    closedBeforeSignIn_.record(waiting->second.admissionGroup, nowNs());
    if (waiting->second.deadline) waiting->second.deadline->cancel();
    pendingFileChannels_.erase(waiting);
    return true;
}

std::uint32_t SessionTables::closedBeforeSignIn(const std::string& admissionGroup) const {
    return closedBeforeSignIn_.count(admissionGroup, nowNs());
}

std::vector<SessionTables::FileChannelPtr> SessionTables::takePendingFileChannels() {
    std::vector<FileChannelPtr> pending;
    for (auto& [raw, entry] : pendingFileChannels_) {
        if (entry.deadline) entry.deadline->cancel();
        pending.push_back(std::move(entry.channel));
    }
    pendingFileChannels_.clear();
    return pending;
}

std::optional<UUID> SessionTables::sessionForToken(std::span<const std::uint8_t> token) const {
    std::optional<UUID> match;
    // Every issued token is compared in full, so the time taken says nothing about how close a
    // guess came.
    for (const auto& sessionID : authorizedAudioSessions_) {
        const auto owner = session(sessionID);
        if (!owner || !owner->fileTransferToken) continue;
        const bool equal = crypto::constantTimeEqual(crypto::ByteView(owner->fileTransferToken->bytes()), token);
        if (equal) match = sessionID;
    }
    return match;
}

std::size_t SessionTables::entryCount() const {
    // A session's own fields go with it; what could outlive it is the indexes.
    return sessions_.size() + audioSessions_.size() + authorizedAudioSessions_.size() + videoSessions_.size() +
           authorizedVideoSessions_.size() + pendingFileChannels_.size() + fileChannelSessions_.size();
}

}  // namespace qm
