// Listeners, connection receive loops, framing, the authorisation gate, control dispatch and
// session removal.
#include "HostApp/Input/HostRemoteInput.h"
#include "HostApp/Server/ServerSupport.h"
#include "Platform/Displays.h"
#include "QuillmereProfiles/InputPayloads.h"

namespace qm {

// ---- Listeners ---------------------------------------------------------------------------------

void V230HostAudioAuxServer::listenerFailed(const std::string& text) {
    // In the snapshot before the status line goes out, so whoever reacts to the line sees it.
    listenerFailures_.push_back(text);
    publishSnapshot();
    publish(text);
}

void V230HostAudioAuxServer::startListeners() {
    if (!platform_.network) {
        publish("network unavailable; not listening");
        return;
    }
    struct Port {
        const char* name;
        std::uint16_t port;
        std::optional<AuxChannel> channel;  // none = the file channel
        std::uint16_t* bound;
    };
    const Port ports[] = {
        {"control", options_.ports.control, AuxChannel::control, &boundPorts_.control},
        {"video", options_.ports.video, AuxChannel::video, &boundPorts_.video},
        {"file transfer", options_.ports.fileTransfer, std::nullopt, &boundPorts_.fileTransfer},
    };

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    for (const auto& port : ports) {
        auto handler = [weak, channel = port.channel](ConnectionPtr connection) {
            auto self = weak.lock();
            if (!self) {
                connection->cancel();
                return;
            }
            if (channel) {
                self->acceptAuxConnection(connection, *channel);
            } else {
                self->handleFileTransferConnection(connection);
            }
        };
        auto listen = [&](ListenerParameters::Family family, const std::string& host, std::uint16_t number,
                          std::optional<NetworkError>& error) -> ListenerPtr {
            ListenerParameters parameters;
            parameters.family = family;
            parameters.host = host;
            parameters.port = number;
            parameters.noDelay = true;
            // A Viewer whose network vanished is noticed within about half a minute.
            parameters.keepAliveIdle = 10;
            parameters.keepAliveInterval = 5;
            parameters.keepAliveCount = 3;
            parameters.acceptBudget = acceptBudget_;
            auto listener = platform_.network->makeListener(parameters, error);
            if (!listener) return nullptr;
            listener->setNewConnectionHandler(handler);
            listener->setStateHandler([weak, name = std::string(port.name)](Listener::State state,
                                                                           const std::optional<NetworkError>& e) {
                auto self = weak.lock();
                if (self && state == Listener::State::failed) {
                    self->listenerFailed(name + " listener failed: " + (e ? e->description : std::string("unknown error")));
                }
            });
            listener->start(queue);
            listeners_.push_back(listener);
            return listener;
        };

        std::optional<NetworkError> error;
        if (!options_.listenAddress.empty()) {
            const bool v6 = options_.listenAddress.find(':') != std::string::npos;
            auto listener = listen(v6 ? ListenerParameters::Family::ipv6 : ListenerParameters::Family::ipv4,
                                   options_.listenAddress, port.port, error);
            if (!listener) {
                listenerFailed(std::string(port.name) + " listener failed on " + options_.listenAddress + ": " +
                               (error ? error->description : std::string("unknown error")));
                continue;
            }
            *port.bound = listener->port();
        } else if (auto v4 = listen(ListenerParameters::Family::ipv4, "", port.port, error)) {
            *port.bound = v4->port();
            std::optional<NetworkError> v6Error;
            if (!listen(ListenerParameters::Family::ipv6, "", v4->port(), v6Error)) {
                publish(std::string(port.name) + " IPv6 listener unavailable: " +
                        (v6Error ? v6Error->description : std::string("unknown error")));
            }
        } else {
            publish(std::string(port.name) + " IPv4 listener failed: " +
                    (error ? error->description : std::string("unknown error")) + "; using one unbound listener");
            std::optional<NetworkError> anyError;
            auto any = listen(ListenerParameters::Family::any, "", port.port, anyError);
            if (!any) {
                listenerFailed(std::string(port.name) + " listener failed: " +
                               (anyError ? anyError->description : std::string("unknown error")));
                continue;
            }
            *port.bound = any->port();
        }
        publish(std::string(port.name) + " listening on port " + std::to_string(*port.bound));
    }

    if (boundPorts_.control != 0) {
        pathMonitor_ = platform_.network->makePathMonitor();
        if (pathMonitor_) {
            auto monitorQueue = platform_.makeQueue(ServerConstants::pathMonitorQueueLabel);
            pathMonitor_->start(monitorQueue, [weak](const NetworkPath&) {
                if (auto self = weak.lock()) self->refreshBonjourAdvertisement();
            });
        }
        updateBonjourAdvertisement("start");
    }
}

// ---- Connections -------------------------------------------------------------------------------


void V230HostAudioAuxServer::acceptAuxConnection(const ConnectionPtr& connection, AuxChannel channel) {
    if (stopping_) {
        connection->cancel();
        return;
    }
    const auto remote = hostPart(connection->remoteAddress());
    if (!admitsConnectionFrom(remote)) {
        connection->cancel();
        return;
    }
    connection->setSendLimit(ServerConstants::maxQueuedSendBytes);
    auto session = sessions_.add(channel, connection, remote);
    const auto address = *sessions_.remoteAddress(session->id);

    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    const UUID id = session->id;
    connection->setStateHandler([weak, id, channel](Connection::State state, const std::optional<NetworkError>& error) {
        auto self = weak.lock();
        if (!self) return;
        if (state == Connection::State::ready) {
            if (auto live = self->sessions_.session(id)) self->startReceiving(live);
        } else if (state == Connection::State::failed) {
            if (auto live = self->sessions_.session(id)) {
                self->publishForSession(*live, "aux session " + shortID(id) + " (" + channelName(channel) +
                                                   ") failed: " + (error ? error->description : std::string("unknown error")));
            }
            self->removeSession(id, channel);
        } else if (state == Connection::State::cancelled) {
            self->removeSession(id, channel);
        }
    });
    armSignInDeadline(session);
    publishForSession(*session, "aux session " + shortID(id) + " (" + channelName(channel) + ") connected from " +
                                    (address.empty() ? std::string("unknown address") : address));
    connection->start(queue);
}

void V230HostAudioAuxServer::armSignInDeadline(const std::shared_ptr<AuxSession>& session) {
    if (session->signInDeadline) session->signInDeadline->cancel();
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    std::weak_ptr<AuxSession> weakSession = session;
    session->signInDeadline = queue->asyncAfter(options_.signInTimeout, [weak, weakSession] {
        auto self = weak.lock();
        auto live = weakSession.lock();
        if (!self || !live || !live->isLive || live->authorized) return;
        if (live->signInInFlight) {
            self->armSignInDeadline(live);  // its password is being checked: look again later
            return;
        }
        self->closeSession(live->id, "code=sign-in-timeout");
    });
}

void V230HostAudioAuxServer::startReceiving(const std::shared_ptr<AuxSession>& session) {
    // The connection keeps reading on the network side and hands whole reads to this queue; the
    // session is held weakly, so reads that arrive after it left are dropped.
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    std::weak_ptr<AuxSession> weakSession = session;
    session->connection->startReceiving(
        session->authorized ? ServerConstants::signedInReadSize : ServerConstants::signInReadSize,
        [weak, weakSession](Bytes data, bool isComplete, const std::optional<NetworkError>& error) {
            auto self = weak.lock();
            auto live = weakSession.lock();
            if (self && live) self->handleReceived(live, std::move(data), isComplete, error);
        });
}

void V230HostAudioAuxServer::handleReceived(const std::shared_ptr<AuxSession>& session, Bytes data, bool isComplete,
                                            const std::optional<NetworkError>& error) {
    SnapshotOnExit snapshotOnExit{*this};
    const UUID id = session->id;
    if (!session->isLive) return;
    if (error) {
        publishForSession(*session, "aux session " + shortID(id) + " (" + channelName(session->channel) +
                                        ") receive error: " + error->description);
        session->connection->cancel();
        removeSession(id, session->channel);
        return;
    }
    if (!data.empty()) {
        // Frames are dispatched straight from the bytes read; a handler may close the session,
        // after which nothing more is cut for it.
        const bool framed = session->reader.consume(data, [&](const AuxFrameView& frame) {
            dispatchFrame(session, frame);
            return session->isLive;
        });
        if (!session->isLive) return;
        if (!framed) {
            closeSession(id, std::string("code=frame-error; ") + auxFrameErrorName(*session->reader.error()));
            return;
        }
    }
    if (isComplete) {
        session->connection->cancel();
        removeSession(id, session->channel);
    }
}

void V230HostAudioAuxServer::closeSession(const UUID& id, const std::string& reason) {
    auto session = sessions_.session(id);
    if (!session) return;
    publishForSession(*session, "aux session " + shortID(id) + " (" + channelName(session->channel) + ") closed: " + reason);
    sendHostStatus(reason, session->connection);
    session->connection->cancel();
    removeSession(id, session->channel);
}

void V230HostAudioAuxServer::sendPacket(const ConnectionPtr& connection, AuxPacketType type, const Bytes& payload,
                                        std::uint8_t flags) {
    if (!connection) return;
    connection->send(makeAuxPacket(type, flags, payload, platform_.clock->uptimeNs()));
}

SharedBytes V230HostAudioAuxServer::makeSharedPacket(AuxPacketType type, const Bytes& payload, std::uint8_t flags) const {
    return std::make_shared<const Bytes>(makeAuxPacket(type, flags, payload, platform_.clock->uptimeNs()));
}

void V230HostAudioAuxServer::sendToSignedIn(const SharedBytes& packet, bool control, bool video) {
    // One buffer for every Viewer: a broadcast costs one packet, not one per connection.
    if (control) {
        for (const auto& id : sessions_.authorizedAudioSessions()) {
            if (auto it = sessions_.audioSessions().find(id); it != sessions_.audioSessions().end()) it->second->send(packet);
        }
    }
    if (video) {
        for (const auto& id : sessions_.authorizedVideoSessions()) {
            if (auto it = sessions_.videoSessions().find(id); it != sessions_.videoSessions().end()) it->second->send(packet);
        }
    }
}

bool V230HostAudioAuxServer::signedInViewersAreSeveral() const {
    // A connection that has not signed in counts for nothing in what a Viewer may do alone.
    return sessions_.authorizedAudioSessions().size() > 1 || sessions_.authorizedVideoSessions().size() > 1;
}

void V230HostAudioAuxServer::sendHostStatus(const std::string& text, const ConnectionPtr& on) {
    sendPacket(on, AuxPacketType::hostStatus, Bytes(text.begin(), text.end()));
}

void V230HostAudioAuxServer::broadcastHostError(const std::string& text) {
    // Connections that have not signed in hear nothing but the answers to their sign-in.
    sendToSignedIn(makeSharedPacket(AuxPacketType::hostStatus, Bytes(text.begin(), text.end())), true, true);
}

void V230HostAudioAuxServer::broadcastDisplayLayout(const DisplayLayoutPayload& layout) {
    sendToSignedIn(makeSharedPacket(AuxPacketType::displayLayout, layout.encode()), true, true);
}

void V230HostAudioAuxServer::broadcastHostSessionInfo(bool announce) {
    const auto state = currentConsoleSessionState();
    HostSessionInfoPayload info;
    info.flags = static_cast<std::uint8_t>((state.isLoginWindow ? HostSessionInfoPayload::loginWindowFlag : 0) |
                                           (state.isLocked ? HostSessionInfoPayload::lockedFlag : 0) |
                                           (state.loginDone ? HostSessionInfoPayload::loginDoneFlag : 0));
    info.username = state.username;
    info.displayName = state.displayName;
    info.hostID = discoveryHostID;
    info.viewportROI = currentViewportROIForSessionInfo();
    if (info.viewportROI) info.flags |= HostSessionInfoPayload::viewportROIFlag;
    info.pipRegions = sessions_.pipRegions;
    // The console user's name is only for Viewers that proved they know the password.
    const Bytes payload = info.encode();
    if (AuxPacketHeader::size + payload.size() > AuxFrameReader::defaultMaxBufferedBytes) {
        publish("hostSessionInfo of " + std::to_string(payload.size()) + " bytes not sent: larger than a Viewer accepts");
        return;
    }
    if (announce) {
        publish("broadcast hostSessionInfo to " + std::to_string(sessions_.authorizedAudioSessions().size()) +
                " audio sessions pipRegions=" + std::to_string(sessions_.pipRegions.size()));
    }
    sendToSignedIn(makeSharedPacket(AuxPacketType::hostSessionInfo, payload), true, false);
}

// ---- Dispatch ----------------------------------------------------------------------------------

void V230HostAudioAuxServer::dispatchFrame(const std::shared_ptr<AuxSession>& session, const AuxFrameView& frame) {
    const auto raw = static_cast<std::uint8_t>(frame.header.type);
    const auto* row = viewerPacketRow(raw);
    // While a sign-in is checked, what follows it waits for the answer (a new sign-in attempt
    // and a challenge are answered at once).
    if (session->signInInFlight && !(row && row->beforeSignIn)) {
        holdFrame(session, frame);
        return;
    }
    if (!row) {
        if (!session->authorized) {
            // A stranger learns nothing from the refusal that a known type would not tell it.
            refuseBeforeSignIn(session, "code=not-authorized; packet type " + std::to_string(raw) + " before sign-in");
            return;
        }
        publishForSession(*session, "aux session " + shortID(session->id) + " sent unknown packet type " +
                                        std::to_string(raw) + "; dropped");
        return;
    }
    if (!session->authorized && !row->beforeSignIn) {
        refuseBeforeSignIn(session, "code=not-authorized; " + std::string(row->name) + " before sign-in");
        return;
    }
    dispatchControl(*row, frame.payload, session);
}

void V230HostAudioAuxServer::refuseBeforeSignIn(const std::shared_ptr<AuxSession>& session, const std::string& text) {
    if (++session->refusedFrames >= options_.maxRefusedFramesBeforeSignIn) {
        closeSession(session->id, "code=too-many-refused-frames");
        return;
    }
    publishForSession(*session, "aux session " + shortID(session->id) + " (" + channelName(session->channel) + ") " + text);
    sendHostStatus(text, session->connection);
}

void V230HostAudioAuxServer::publishAboutStranger(const std::string& text) {
    // Connections that never sign in can come and go by the thousand: together they get a
    // small number of lines a second, and a count of what was left out.
    const std::uint64_t now = platform_.clock->uptimeNs();
    if (strangerLogWindowStartNs_ == 0 || now - strangerLogWindowStartNs_ >= 1'000'000'000ULL) {
        if (strangerLinesSuppressed_ > 0) {
            writeStatus("aux: " + std::to_string(strangerLinesSuppressed_) +
                            " log lines about connections not signed in were left out",
                        LogLevel::info);
        }
        strangerLogWindowStartNs_ = now == 0 ? 1 : now;
        strangerLinesInWindow_ = 0;
        strangerLinesSuppressed_ = 0;
    }
    if (++strangerLinesInWindow_ <= ServerConstants::strangerLogLinesPerSecond) {
        writeStatus(text, LogLevel::info);
    } else {
        ++strangerLinesSuppressed_;
    }
}

void V230HostAudioAuxServer::publishForSession(AuxSession& session, const std::string& text) {
    chargeLogLine(session, session.peerLog, ServerConstants::logLinesPerWindow, text);
}

void V230HostAudioAuxServer::publishCausedBy(AuxSession& session, const std::string& text) {
    chargeLogLine(session, session.hostLog, ServerConstants::hostLogLinesPerWindow, text);
}

void V230HostAudioAuxServer::chargeLogLine(AuxSession& session, LogBudget& budget, int linesPerWindow,
                                           const std::string& text,
                                           const std::function<void(const std::string&)>& writeText) {
    // Signed in or not, a Viewer gets a few lines per window; what it causes beyond that is
    // counted, and the count written when the next window opens.
    auto write = [&](const std::string& out) {
        if (session.authorized) {
            writeStatus(out, LogLevel::info);
        } else {
            publishAboutStranger(out);
        }
    };
    const std::uint64_t now = platform_.clock->uptimeNs();
    if (budget.windowStartNs == 0 || now - budget.windowStartNs >= ServerConstants::logWindowNs) {
        budget.windowStartNs = now == 0 ? 1 : now;
        budget.linesInWindow = 0;
        if (budget.leftOut > 0) {
            write("aux session " + shortID(session.id) + ": " + std::to_string(budget.leftOut) + " log lines were left out");
            budget.leftOut = 0;
        }
    }
    const int line = ++budget.linesInWindow;
    if (line <= linesPerWindow) {
        if (writeText) {
            writeText(text);
        } else {
            write(text);
        }
    } else if (line == linesPerWindow + 1) {
        write("aux session " + shortID(session.id) + ": further log lines suppressed for 10 s");
    } else {
        ++budget.leftOut;
    }
}

bool V230HostAudioAuxServer::overLogBudget(const AuxSession& session) {
    return session.peerLog.linesInWindow > ServerConstants::logLinesPerWindow;
}

void V230HostAudioAuxServer::publishFromPeer(const std::string& text) {
    if (queue->isCurrent() && dispatchingSession_) {
        publishForSession(*dispatchingSession_, text);
    } else {
        publish(text);
    }
}

void V230HostAudioAuxServer::publishForSession(const UUID& id, const std::string& text) {
    if (auto session = sessions_.session(id)) {
        publishForSession(*session, text);
    } else {
        publishAboutStranger(text);
    }
}

void V230HostAudioAuxServer::publishForViewer(const UUID& sessionID, const std::string& text,
                                              const std::function<void(const std::string&)>& write) {
    assertOnQueue();
    auto session = sessions_.session(sessionID);
    if (!session) return publishAboutStranger(text);
    chargeLogLine(*session, session->peerLog, ServerConstants::logLinesPerWindow, text, write);
}

void V230HostAudioAuxServer::publishDoneForViewer(const UUID& sessionID, const std::string& text,
                                                  const std::function<void(const std::string&)>& write) {
    assertOnQueue();
    auto session = sessions_.session(sessionID);
    if (!session) return publishAboutStranger(text);
    chargeLogLine(*session, session->hostLog, ServerConstants::hostLogLinesPerWindow, text, write);
}

bool V230HostAudioAuxServer::dispatchingOverLogBudget() const {
    return dispatchingSession_ && overLogBudget(*dispatchingSession_);
}

bool V230HostAudioAuxServer::admitsConnectionFrom(const std::string& address) {
    // Connections that have not signed in: sessions (but a session whose password check is
    // running is never closed to make room; one waiting out its slow-down may be) and file
    // channels still without their token.
    std::vector<PendingAdmission::Pending> pending;
    for (const auto& [id, session] : sessions_.sessions()) {
        if (session->authorized) continue;
        pending.push_back({session->admissionOrder, session->admissionGroup, !session->passwordCheckRunning(),
                           sessions_.closedBeforeSignIn(session->admissionGroup)});
    }
    for (const auto& [raw, waiting] : sessions_.pendingFileChannels()) {
        pending.push_back({waiting.admissionOrder, waiting.admissionGroup, true,
                           sessions_.closedBeforeSignIn(waiting.admissionGroup)});
    }
    const PendingAdmission::Limits limits{options_.maxConnectionsNotSignedIn, options_.maxConnectionsNotSignedInPerAddress};
    const auto decision = PendingAdmission::decide(pending, admissionGroup(address), limits);
    if (decision.admit) {
        if (decision.evict) makeRoomForConnection(*decision.evict, address);
        return true;
    }
    // One line a second at most, however many connections a flood opens.
    const std::uint64_t now = platform_.clock->uptimeNs();
    ++refusedConnectionsSinceLog_;
    if (lastRefusedConnectionLogNs_ == 0 || now - lastRefusedConnectionLogNs_ >= 1'000'000'000ULL) {
        publish("aux: connection from " + (address.empty() ? std::string("unknown address") : address) +
                " refused: too many connections not signed in (" + std::to_string(refusedConnectionsSinceLog_) +
                " refused since the last line)");
        lastRefusedConnectionLogNs_ = now == 0 ? 1 : now;
        refusedConnectionsSinceLog_ = 0;
    }
    return false;
}

void V230HostAudioAuxServer::makeRoomForConnection(std::uint64_t admissionOrder, const std::string& forAddress) {
    const std::string newcomer = forAddress.empty() ? std::string("unknown address") : forAddress;
    for (const auto& [id, session] : sessions_.sessions()) {
        if (session->authorized || session->admissionOrder != admissionOrder) continue;
        const UUID closed = id;
        const AuxChannel channel = session->channel;
        publishAboutStranger("aux session " + shortID(closed) + " (" + channelName(channel) + ") from " +
                             session->remoteAddress + " closed before sign-in to make room for a connection from " +
                             newcomer);
        session->connection->cancel();
        removeSession(closed, channel);
        return;
    }
    for (const auto& [raw, waiting] : sessions_.pendingFileChannels()) {
        if (waiting.admissionOrder != admissionOrder) continue;
        auto channel = waiting.channel;
        publishAboutStranger("file aux: connection from " + waiting.remoteAddress +
                             " closed before its token to make room for a connection from " + newcomer);
        sessions_.dropPendingFileChannel(channel.get());
        channel->cancel();
        return;
    }
}

void V230HostAudioAuxServer::holdFrame(const std::shared_ptr<AuxSession>& session, const AuxFrameView& frame) {
    const auto size = AuxPacketHeader::size + frame.payload.size();
    if (session->heldFrames.size() >= options_.maxHeldFrames || session->heldBytes + size > options_.maxHeldBytes) {
        closeSession(session->id, "code=sign-in-held-frames-exceeded");
        return;
    }
    session->heldFrames.push_back(AuxFrame{frame.header, Bytes(frame.payload.begin(), frame.payload.end())});
    session->heldBytes += size;
}

void V230HostAudioAuxServer::replayHeldFrames(const std::shared_ptr<AuxSession>& session) {
    auto held = std::exchange(session->heldFrames, {});
    session->heldBytes = 0;
    for (const auto& frame : held) {
        if (!session->isLive) return;
        dispatchFrame(session, AuxFrameView{frame.header, frame.payload});
    }
}

void V230HostAudioAuxServer::dispatchControl(const ViewerPacketRow& row, std::span<const std::uint8_t> payload,
                                             const std::shared_ptr<AuxSession>& session) {
    assertOnQueue();
    if (!row.handle) {
        publishForSession(*session, "aux session " + shortID(session->id) + " sent " + std::string(row.name) +
                                        ", which only the Host sends; dropped");
        return;
    }
    if (!channelAdmits(*row.channels, session->channel)) {
        const std::string text = row.wrongChannel.empty()
                                     ? std::string(row.name) + " rejected on " + channelName(session->channel) + " channel"
                                     : std::string(row.wrongChannel);
        publishForSession(*session, text);
        if (row.tellViewerWrongChannel) sendHostStatus(text, session->connection);
        return;
    }
    // Whatever is written to the log while the packet is handled is charged to its sender.
    auto previous = std::exchange(dispatchingSession_, session);
    row.handle(*this, row, payload, session);
    dispatchingSession_ = std::move(previous);
}

// ---- Removal -----------------------------------------------------------------------------------

void V230HostAudioAuxServer::removeSession(const UUID& id, AuxChannel channel) {
    assertOnQueue();
    SnapshotOnExit snapshotOnExit{*this};
    // The tables drop every index entry of the session; everything it held is released below, on
    // one road: its own parts first, then every holder that keeps something for a Viewer.
    auto left = sessions_.forget(id);
    if (!left.session) return;  // already removed: a cancel reports back after the removal
    AuxSession& session = *left.session;
    session.end();
    cancelDelayedSignIn(session);
    if (left.fileChannel) endFileChannel(id, left.fileChannel);
    if (channel == AuxChannel::control && onViewerSessionRemoved) onViewerSessionRemoved(id);
    const std::string removed = "aux session " + shortID(id) + " (" + channelName(channel) + ") removed" +
                                (left.wasAuthorized ? "" : " (never signed in)");
    if (left.wasAuthorized) {
        writeStatus(removed, LogLevel::info);  // whoever's packet is being handled, a Viewer leaving is told
    } else {
        publishAboutStranger(removed);
    }
    // Video flow, display targets, power, input (buttons, keys and modifiers it held are released)
    // and audio: (1) audio send list, (2) per-Viewer output mute, (3) audio capture when no
    // listener is left.
    for (const auto& holder : sessionHolders_) holder.forget(session);

    // (4) sleep-recovery grace, (5) the video gate and idle stop, (6) power assertions.
    // A Host that is stopping keeps nothing for returning Viewers.
    if (!stopping_ && shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect()) {
        beginSleepRecoveryViewerReconnectGrace("last Viewer transport disconnected during sleep recovery");
    }
    updateVideoGateLocked(platform_.clock->uptimeNs());
    stopVideoCaptureIfIdle();
    updateViewerIdleSleepAssertion();
}

}  // namespace qm
