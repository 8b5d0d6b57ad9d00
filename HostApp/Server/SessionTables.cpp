#include "HostApp/Server/SessionTables.h"

#include <algorithm>

#include "HostApp/Server/ServerConstants.h"
#include "Platform/Core/Crypto.h"
#include "Platform/Core/LogText.h"

namespace qm {

const char* channelName(AuxChannel channel) {
    return channel == AuxChannel::control ? "control" : "video";
}

std::shared_ptr<AuxSession> SessionTables::session(const UUID& id) const {
    auto it = sessions.find(id);
    return it == sessions.end() ? nullptr : it->second;
}

ConnectionPtr SessionTables::connection(const UUID& id) const {
    auto it = sessions.find(id);
    return it == sessions.end() ? nullptr : it->second->connection;
}

std::optional<std::string> SessionTables::remoteAddress(const UUID& id) const {
    auto it = sessions.find(id);
    if (it == sessions.end()) return std::nullopt;
    return it->second->remoteAddress;
}

std::optional<std::string> SessionTables::displayName(const UUID& id) const {
    auto it = sessions.find(id);
    return it == sessions.end() ? std::nullopt : it->second->displayName;
}

std::optional<std::string> SessionTables::viewerName(const UUID& id) const {
    auto name = displayName(id);
    if (!name) return std::nullopt;
    return escapedForLog(*name);
}

SessionTables::FileChannelPtr SessionTables::fileChannel(const UUID& id) const {
    auto it = sessions.find(id);
    return it == sessions.end() ? nullptr : it->second->fileChannel;
}

std::vector<std::pair<UUID, SessionTables::FileChannelPtr>> SessionTables::fileChannels() const {
    std::vector<std::pair<UUID, FileChannelPtr>> bound;
    for (const auto& [channel, id] : fileChannelSessions) {
        if (auto owner = fileChannel(id)) bound.emplace_back(id, std::move(owner));
    }
    return bound;
}

bool SessionTables::setFileTransferToken(const UUID& id, const FileTransferChannelToken& token) {
    auto it = sessions.find(id);
    if (it == sessions.end()) return false;
    it->second->fileTransferToken = token;
    return true;
}

bool SessionTables::isAuthorized(const UUID& id, AuxChannel channel) const {
    return channel == AuxChannel::control ? authorizedAudioSessions.contains(id) : authorizedVideoSessions.contains(id);
}

std::shared_ptr<AuxSession> SessionTables::add(AuxChannel channel, ConnectionPtr connection, std::string remoteAddress) {
    auto session = std::make_shared<AuxSession>();
    session->id = UUID::random();
    session->channel = channel;
    session->connection = std::move(connection);
    session->reader.setMaxBufferedBytes(ServerConstants::signInFrameLimit);
    sessions[session->id] = session;
    (channel == AuxChannel::control ? audioSessions : videoSessions)[session->id] = session->connection;
    session->remoteAddress = std::move(remoteAddress);
    return session;
}

void SessionTables::authorize(AuxSession& session, std::string displayName) {
    (session.channel == AuxChannel::control ? authorizedAudioSessions : authorizedVideoSessions).insert(session.id);
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
        (session.channel == AuxChannel::control ? authorizedAudioSessions : authorizedVideoSessions).erase(id) > 0;
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
    auto it = sessions.find(id);
    if (it == sessions.end()) return forgotten;
    forgotten.session = it->second;
    sessions.erase(it);
    forgotten.session->authorized = false;
    forgotten.session->isLive = false;
    forgotten.wasAuthorized = authorizedAudioSessions.erase(id) + authorizedVideoSessions.erase(id) > 0;
    audioSessions.erase(id);
    videoSessions.erase(id);
    forgotten.session->displayName.reset();
    forgotten.session->fileTransferToken.reset();
    forgotten.fileChannel = unbindFileChannel(*forgotten.session);
    return forgotten;
}

SessionTables::FileChannelPtr SessionTables::unbindFileChannel(AuxSession& session) {
    auto channel = std::move(session.fileChannel);
    session.fileChannel = nullptr;
    if (channel) fileChannelSessions.erase(channel.get());
    return channel;
}

SessionTables::FileChannelPtr SessionTables::bindFileChannel(const UUID& sessionID, const FileChannelPtr& channel) {
    pendingFileChannels.erase(channel.get());
    auto owner = session(sessionID);
    if (!owner) return nullptr;
    auto older = unbindFileChannel(*owner);
    owner->fileChannel = channel;
    fileChannelSessions[channel.get()] = sessionID;
    return older;
}

std::optional<UUID> SessionTables::fileChannelEnded(FileTransferChannelConnection* channel) {
    pendingFileChannels.erase(channel);
    auto bound = fileChannelSessions.find(channel);
    if (bound == fileChannelSessions.end()) return std::nullopt;
    const UUID sessionID = bound->second;
    fileChannelSessions.erase(bound);
    if (auto owner = session(sessionID); owner && owner->fileChannel.get() == channel) owner->fileChannel = nullptr;
    return sessionID;
}

std::optional<UUID> SessionTables::sessionForToken(std::span<const std::uint8_t> token) const {
    std::optional<UUID> match;
    // Every issued token is compared in full, so the time taken says nothing about how close a
    // guess came.
    for (const auto& sessionID : authorizedAudioSessions) {
        const auto owner = session(sessionID);
        if (!owner || !owner->fileTransferToken) continue;
        const bool equal = crypto::constantTimeEqual(crypto::ByteView(owner->fileTransferToken->bytes()), token);
        if (equal) match = sessionID;
    }
    return match;
}

std::size_t SessionTables::entryCount() const {
    // A session's own fields go with it; what could outlive it is the indexes.
    return sessions.size() + audioSessions.size() + authorizedAudioSessions.size() + videoSessions.size() +
           authorizedVideoSessions.size() + pendingFileChannels.size() + fileChannelSessions.size();
}

}  // namespace qm
