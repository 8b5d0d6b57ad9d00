// The file-transfer side channel on its own port, its token admission, and file-transfer packets
// on either channel.
#include "HostApp/Server/ServerSupport.h"

namespace qm {

namespace {
constexpr const char* fileChannelLabel = "file aux";
}

void V230HostAudioAuxServer::sendFileTransferEndpoint(const UUID& sessionID, const ConnectionPtr& on) {
    assertOnQueue();
    if (boundPorts_.fileTransfer == 0) return;  // no file listener: files use the control channel
    std::optional<FileTransferChannelToken> made;
    try {
        made.emplace();
    } catch (const std::runtime_error& error) {
        // Without a secret token no side channel is offered; files still travel on the control channel.
        publish(std::string("file aux: no endpoint for session ") + sessionID.uuidString() + ": " + error.what());
        return;
    }
    const FileTransferChannelToken token = *made;
    sessions_.setFileTransferToken(sessionID, token);
    FileTransferEndpointPayload endpoint;
    endpoint.port = boundPorts_.fileTransfer;
    endpoint.token = token.bytes();
    publish("file aux: endpoint advertised session=" + sessionID.uuidString() + " port=" +
            std::to_string(endpoint.port) + " token=" + token.shortDescription());
    sendPacket(on, AuxPacketType::fileTransferEndpoint, endpoint.encode());
}

void V230HostAudioAuxServer::handleFileTransferConnection(const ConnectionPtr& connection) {
    assertOnQueue();
    if (stopping_) {
        connection->cancel();
        return;
    }
    const auto address = hostPart(connection->remoteAddress());
    if (!admitsConnectionFrom(address)) {
        connection->cancel();
        return;
    }
    // Answers are produced only while little waits for the Viewer (FileTransferService waits for
    // room); a channel whose queue still passes the bound is closed rather than grow the Host.
    connection->setSendLimit(ServerConstants::maxQueuedSendBytes);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // The channel's own log lines: until it shows a valid token they come out of the budget for
    // strangers.
    auto logFor = std::make_shared<std::weak_ptr<FileTransferChannelConnection>>();
    auto channel = std::make_shared<FileTransferChannelConnection>(
        connection, queue, fileChannelLabel, [weak, logFor](const std::string& line) {
            auto self = weak.lock();
            if (!self) return;
            auto live = logFor->lock();
            if (!live || self->sessions_.pendingFileChannels().contains(live.get())) {
                self->publishAboutStranger(line);
            } else {
                self->publish(line);
            }
        });
    *logFor = channel;
    // Until the token arrives the only acceptable frame is 16 bytes long: a stranger must not make
    // the Host buffer a large frame.
    channel->setMaximumPayloadSize(FileTransferChannelConstants::tokenSize);
    std::weak_ptr<FileTransferChannelConnection> weakChannel = channel;
    channel->onFrame = [weak, weakChannel](std::span<const std::uint8_t> payload, const SharedBytes& storage) {
        auto self = weak.lock();
        auto live = weakChannel.lock();
        if (self && live) self->handleFileChannelFrame(live, payload, storage);
    };
    if (onFileTransferChannelChunk) {
        channel->onFrameTail = [weak, weakChannel](std::span<const std::uint8_t> head, const SharedBytes&,
                                                   FrameTailPtr tail) {
            auto self = weak.lock();
            auto live = weakChannel.lock();
            if (self && live) self->handleFileChannelChunk(live, head, std::move(tail));
        };
    }
    channel->onEnded = [weak, weakChannel](const std::optional<NetworkError>&) {
        auto self = weak.lock();
        auto live = weakChannel.lock();
        if (self && live) self->handleFileChannelEnded(live);
    };
    std::weak_ptr<FileTransferChannelConnection> forDeadline = channel;
    auto deadline = queue->asyncAfter(options_.signInTimeout, [weak, forDeadline] {
        auto self = weak.lock();
        auto live = forDeadline.lock();
        if (!self || !live || !self->sessions_.pendingFileChannels().contains(live.get())) return;
        self->publishAboutStranger("file aux: no token in time; dropping connection");
        live->cancel();
    });
    sessions_.admitPendingFileChannel(channel, address, std::move(deadline));
    channel->start();
}

void V230HostAudioAuxServer::handleFileChannelFrame(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                                    std::span<const std::uint8_t> payload, const SharedBytes& storage) {
    if (auto bound = sessions_.fileChannelSessions().find(channel.get()); bound != sessions_.fileChannelSessions().end()) {
        const UUID sessionID = bound->second;
        auto packet = FileTransferPacketView::decode(payload);
        if (!packet) {
            // Nothing else comes of a malformed packet: it costs its Viewer's log budget, so a
            // stream of them cannot fill the log.
            publishForSession(sessionID, "file aux: malformed packet from session " + shortID(sessionID));
            return;
        }
        if (onFileTransferChannelPacket) {
            onFileTransferChannelPacket(*packet, storage, sessionID);
        } else if (onFileTransferIncomingPacket) {
            onFileTransferIncomingPacket(packet->packet(), sessionID);
        }
        return;
    }

    // Only admitting (or refusing) a channel changes what the application reads; the packets of
    // a bound channel, thousands a second during a transfer, leave the snapshot as it is.
    SnapshotOnExit snapshotOnExit{*this};
    std::optional<UUID> match = sessions_.sessionForToken(payload);
    if (!match) {
        sessions_.dropPendingFileChannel(channel.get());
        // Anyone may connect and send a wrong token, again and again.
        publishAboutStranger("file aux: token mismatch; dropping connection");
        channel->cancel();
        return;
    }
    // One channel per session: a newer one replaces the older.
    if (auto older = sessions_.bindFileChannel(*match, channel)) endFileChannel(*match, older);
    // From now on it counts with its session in the session bound.
    channel->leaveAcceptBudget();
    channel->setMaximumPayloadSize(FileTransferChannelConstants::maxPayloadSize);
    channel->setReadingPaused(fileReadsHeld(*match));
    publish("file aux: channel authorized for session " + match->uuidString());
}

void V230HostAudioAuxServer::handleFileChannelChunk(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                                    std::span<const std::uint8_t> head, FrameTailPtr tail) {
    assertOnQueue();
    // Only a bound channel reads frames this large; a tail let go of here is read and dropped.
    auto bound = sessions_.fileChannelSessions().find(channel.get());
    if (bound == sessions_.fileChannelSessions().end() || !tail) return;
    const UUID sessionID = bound->second;
    auto packet = FileTransferPacketView::decodeHead(head, tail->size());
    if (!packet) {
        publishForSession(sessionID, "file aux: malformed packet from session " + shortID(sessionID));
        return;
    }
    if (onFileTransferChannelChunk) onFileTransferChannelChunk(*packet, std::move(tail), sessionID);
}

void V230HostAudioAuxServer::endFileChannel(const UUID& sessionID,
                                            const std::shared_ptr<FileTransferChannelConnection>& channel) {
    // The tables no longer know the channel, so its own end report will find nothing to say.
    channel->cancel();
    publish("file aux: channel closed for session " + sessionID.uuidString());
    if (onViewerFileChannelEnded) onViewerFileChannelEnded(sessionID);
}

void V230HostAudioAuxServer::handleFileChannelEnded(const std::shared_ptr<FileTransferChannelConnection>& channel) {
    SnapshotOnExit snapshotOnExit{*this};
    if (auto sessionID = sessions_.fileChannelEnded(channel.get())) {
        publish("file aux: channel closed for session " + sessionID->uuidString());
        if (onViewerFileChannelEnded) onViewerFileChannelEnded(*sessionID);
    }
}

void V230HostAudioAuxServer::deliverFileTransferPacket(const FileTransferPacket& packet, const UUID& sessionID) {
    if (auto channel = sessions_.fileChannel(sessionID)) {
        // Encoded behind room for the frame header, so the frame is not copied again.
        channel->sendFramed(packet.encode(FileTransferChannelConstants::headerSize));
        return;
    }
    // Only a signed-in control session hears file packets.
    if (!sessions_.authorizedAudioSessions().contains(sessionID)) return;
    if (auto connection = sessions_.audioSessions().find(sessionID); connection != sessions_.audioSessions().end()) {
        sendPacket(connection->second, AuxPacketType::fileTransfer, packet.encode());
    }
}

void V230HostAudioAuxServer::setFileChannelReadsPaused(bool paused) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, paused] {
        auto self = weak.lock();
        if (!self || self->fileChannelReadsPaused_ == paused) return;
        self->fileChannelReadsPaused_ = paused;
        for (auto& [id, channel] : self->sessions_.fileChannels()) channel->setReadingPaused(self->fileReadsHeld(id));
        for (auto& [id, session] : self->sessions_.sessions()) {
            if (session->sentFilePackets) session->connection->setReceivingPaused(self->fileReadsHeld(id));
        }
    });
}

void V230HostAudioAuxServer::setFileChannelReadsPaused(const UUID& sessionID, bool paused, std::uint64_t serial) {
    // A hold raised while the Viewer's packet is handled here stops its reads before the next of
    // its frames already read is handled: a hop through the queue would come behind them, and
    // the connection would read on meanwhile.
    if (queue->isCurrent()) return applyFileReadsHold(sessionID, paused, serial);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, sessionID, paused, serial] {
        if (auto self = weak.lock()) self->applyFileReadsHold(sessionID, paused, serial);
    });
}

void V230HostAudioAuxServer::applyFileReadsHold(const UUID& sessionID, bool paused, std::uint64_t serial) {
    // Holds are made inline or hop here, releases always hop: only a release can come after a
    // newer change, behind a hold applied inline meanwhile.
    auto held = fileReadsHeldFor_.find(sessionID);
    if (held != fileReadsHeldFor_.end() && serial < held->second) return;
    // The owner lets go of the mark once the Viewer's packets drained, also after it left.
    if (paused) {
        fileReadsHeldFor_[sessionID] = serial;
    } else if (held != fileReadsHeldFor_.end()) {
        fileReadsHeldFor_.erase(held);
    }
    if (auto channel = sessions_.fileChannel(sessionID)) channel->setReadingPaused(fileReadsHeld(sessionID));
    if (auto session = sessions_.session(sessionID); session && session->sentFilePackets)
        session->connection->setReceivingPaused(fileReadsHeld(sessionID));
}

void V230HostAudioAuxServer::noteControlFileSender(const UUID& sessionID) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    auto note = [weak, sessionID] {
        auto self = weak.lock();
        if (!self) return;
        // The mark goes with the session: a Viewer that leaves takes it along.
        auto session = self->sessions_.session(sessionID);
        if (!session || session->channel != AuxChannel::control || std::exchange(session->sentFilePackets, true)) return;
        if (self->fileReadsHeld(sessionID)) session->connection->setReceivingPaused(true);
    };
    if (queue->isCurrent()) {
        note();
    } else {
        queue->async(note);
    }
}

std::optional<std::size_t> V230HostAudioAuxServer::fileTransferBacklog(const std::optional<UUID>& sessionID) {
    return queue->syncInline([&]() -> std::optional<std::size_t> {
        auto backlogOf = [&](const UUID& id) -> std::optional<std::size_t> {
            if (!sessions_.authorizedAudioSessions().contains(id)) return std::nullopt;
            if (auto channel = sessions_.fileChannel(id)) return channel->queuedSendBytes();
            auto connection = sessions_.audioSessions().find(id);
            if (connection == sessions_.audioSessions().end()) return std::nullopt;
            return connection->second->queuedSendBytes();
        };
        if (sessionID) return backlogOf(*sessionID);
        std::optional<std::size_t> most;
        for (const auto& id : sessions_.authorizedAudioSessions())
            if (auto bytes = backlogOf(id)) most = std::max(most.value_or(0), *bytes);
        return most;
    });
}

void V230HostAudioAuxServer::sendHostStatusToSession(const UUID& sessionID, std::string text) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, sessionID, text = std::move(text)] {
        auto self = weak.lock();
        if (!self || !self->sessions_.authorizedAudioSessions().contains(sessionID)) return;
        if (auto connection = self->sessions_.audioSessions().find(sessionID);
            connection != self->sessions_.audioSessions().end())
            self->sendHostStatus(text, connection->second);
    });
}

void V230HostAudioAuxServer::broadcastFileTransferPacket(FileTransferPacket packet) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, packet = std::move(packet)] {
        auto self = weak.lock();
        if (!self) return;
        for (const auto& id : self->sessions_.authorizedAudioSessions()) self->deliverFileTransferPacket(packet, id);
    });
}

void V230HostAudioAuxServer::sendFileTransferPacket(FileTransferPacket packet, UUID toSessionID) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue->async([weak, packet = std::move(packet), toSessionID] {
        auto self = weak.lock();
        if (!self) return;
        if (!self->sessions_.authorizedAudioSessions().contains(toSessionID)) {
            // Answers to a Viewer that left (its folder listings queued behind it) are many; its
            // lines go where lines about a gone Viewer go.
            self->publishForViewer(toSessionID,
                                   "file transfer: target session " + toSessionID.uuidString() + " is unavailable");
            return;
        }
        self->deliverFileTransferPacket(packet, toSessionID);
    });
}

}  // namespace qm
