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
    auto it = viewerSessionRemoteAddresses.find(id);
    if (it == viewerSessionRemoteAddresses.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> SessionTables::viewerName(const UUID& id) const {
    auto it = viewerSessionNames.find(id);
    if (it == viewerSessionNames.end()) return std::nullopt;
    return escapedForLog(it->second);
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
    viewerSessionRemoteAddresses[session->id] = std::move(remoteAddress);
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
    viewerSessionNames[session.id] = std::move(displayName);
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
    viewerSessionNames.erase(id);
    if (session.channel == AuxChannel::control) {
        fileTransferTokens.erase(id);
        revoked.fileChannel = unbindFileChannel(id);
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
    viewerSessionNames.erase(id);
    viewerSessionRemoteAddresses.erase(id);
    fileTransferTokens.erase(id);
    forgotten.fileChannel = unbindFileChannel(id);
    return forgotten;
}

SessionTables::FileChannelPtr SessionTables::unbindFileChannel(const UUID& sessionID) {
    auto it = fileTransferChannels.find(sessionID);
    if (it == fileTransferChannels.end()) return nullptr;
    auto channel = it->second;
    fileTransferChannels.erase(it);
    fileChannelSessions.erase(channel.get());
    return channel;
}

SessionTables::FileChannelPtr SessionTables::bindFileChannel(const UUID& sessionID, const FileChannelPtr& channel) {
    pendingFileChannels.erase(channel.get());
    auto older = unbindFileChannel(sessionID);
    fileTransferChannels[sessionID] = channel;
    fileChannelSessions[channel.get()] = sessionID;
    return older;
}

std::optional<UUID> SessionTables::fileChannelEnded(FileTransferChannelConnection* channel) {
    pendingFileChannels.erase(channel);
    auto bound = fileChannelSessions.find(channel);
    if (bound == fileChannelSessions.end()) return std::nullopt;
    const UUID sessionID = bound->second;
    fileChannelSessions.erase(bound);
    if (auto it = fileTransferChannels.find(sessionID); it != fileTransferChannels.end() && it->second.get() == channel) {
        fileTransferChannels.erase(it);
    }
    return sessionID;
}

std::optional<UUID> SessionTables::sessionForToken(std::span<const std::uint8_t> token) const {
    std::optional<UUID> match;
    // Every issued token is compared in full, so the time taken says nothing about how close a
    // guess came.
    for (const auto& [sessionID, issued] : fileTransferTokens) {
        const bool equal = crypto::constantTimeEqual(crypto::ByteView(issued.bytes()), token);
        if (equal && authorizedAudioSessions.contains(sessionID)) match = sessionID;
    }
    return match;
}

std::size_t SessionTables::entryCount() const {
    return sessions.size() + audioSessions.size() + authorizedAudioSessions.size() + videoSessions.size() +
           authorizedVideoSessions.size() + viewerSessionNames.size() + viewerSessionRemoteAddresses.size() +
           fileTransferTokens.size() + fileTransferChannels.size() + pendingFileChannels.size() +
           fileChannelSessions.size();
}

}  // namespace qm
