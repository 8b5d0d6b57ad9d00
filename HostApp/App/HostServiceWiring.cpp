#include "HostApp/App/HostServiceWiring.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/Core/LogText.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

std::string clipboardSentLine(const ClipboardTransfer& transfer) {
    const std::string kind = transfer.items.empty() ? "unknown" : std::string(rawValue(transfer.items.front().kind));
    return "clipboard sent seq=" + std::to_string(transfer.sequence) + " kind=" + kind;
}

std::string peerSendRefusal(const FileTransferPacket& request) {
    if (!FileTransferService::peerSendRequest(request)) return "The Host could not read the requested transfer.";
    return "The Host could not prepare the requested transfer.";
}

void connectHostServices(const std::shared_ptr<V230HostAudioAuxServer>& server,
                         const std::shared_ptr<ClipboardSyncBridge>& clipboard,
                         const std::shared_ptr<FileTransferService>& files, const DispatchQueuePtr& mainQueue,
                         const HostServiceHooks& hooks) {
    connectServerCallbacks(server, clipboard, files, mainQueue, hooks);
    connectServiceCallbacks(server, clipboard, files, hooks);
}

void logForViewer(const std::shared_ptr<V230HostAudioAuxServer>& server, const UUID& viewerSession,
                  FileTransferService::StatusSource::Kind kind, std::string line,
                  std::function<void(const std::string&)> write) {
    if (!server) return;
    auto charge = [viewerSession, kind, line = std::move(line),
                   write = std::move(write)](V230HostAudioAuxServer& host) {
        if (kind == FileTransferService::StatusSource::Kind::sentByPeer) {
            host.publishForViewer(viewerSession, line, write);
        } else {
            host.publishDoneForViewer(viewerSession, line, write);
        }
    };
    if (server->queue->isCurrent()) return charge(*server);
    std::weak_ptr<V230HostAudioAuxServer> weak = server;
    server->queue->async([weak, charge = std::move(charge)] {
        if (auto host = weak.lock()) charge(*host);
    });
}

namespace {
// A diagnostic line: to the hook when there is one, else out through the server.
void logThrough(const HostServiceHooks& hooks, const std::shared_ptr<V230HostAudioAuxServer>& host,
                const std::string& line) {
    if (hooks.log) {
        hooks.log(line);
    } else if (host) {
        host->publish(line);
    }
}
}  // namespace

void connectServerCallbacks(const std::shared_ptr<V230HostAudioAuxServer>& server,
                            const std::shared_ptr<ClipboardSyncBridge>& clipboard,
                            const std::shared_ptr<FileTransferService>& files, const DispatchQueuePtr& mainQueue,
                            const HostServiceHooks& hooks) {
    std::weak_ptr<V230HostAudioAuxServer> weakServer = server;
    std::weak_ptr<ClipboardSyncBridge> weakClipboard = clipboard;
    std::weak_ptr<FileTransferService> weakFiles = files;
    if (hooks.serverStatus) server->onStatus = hooks.serverStatus;

    // ---- Server -> bridge and service (on the server queue) ----------------------------------
    // The bridge lives on the main queue only. One received snapshot waits for it at a time: the
    // pasteboard holds one value, so a newer snapshot replaces one the main queue has not applied.
    struct ClipboardHandOff {
        std::mutex lock;
        std::optional<ClipboardTransfer> latest;
    };
    auto handOff = std::make_shared<ClipboardHandOff>();
    server->onClipboardTransfer = [weakClipboard, mainQueue, handOff](const ClipboardTransfer& transfer) {
        bool schedule = false;
        {
            std::lock_guard lock(handOff->lock);
            schedule = !handOff->latest.has_value();
            handOff->latest = transfer;
        }
        if (!schedule) return;
        mainQueue->async([weakClipboard, handOff] {
            std::optional<ClipboardTransfer> transfer;
            {
                std::lock_guard lock(handOff->lock);
                transfer.swap(handOff->latest);
            }
            if (auto bridge = weakClipboard.lock(); bridge && transfer) bridge->handleRemoteTransfer(*transfer);
        });
    };
    auto application = hooks.fileTransferPacket;
    auto incoming = [weakFiles, application](const FileTransferPacket& packet, const UUID& sessionID) {
        if (application && application(packet, sessionID)) return;
        auto service = weakFiles.lock();
        if (!service) return;
        const std::string peer = sessionID.uuidString();
        if (packet.op == FileTransferOp::peerSendRequest) {
            service->sendPeerSendResponse(packet.batchID, false, peerSendRefusal(packet), peer);
            return;
        }
        service->handleIncomingPacket(packet, peer);
    };
    // On the control road the same backlog mark holds that Viewer's control connection.
    server->onFileTransferPacket = [incoming, weakServer](const FileTransferPacket& packet, const UUID& sessionID) {
        if (auto host = weakServer.lock()) host->noteControlFileSender(sessionID);
        incoming(packet, sessionID);
    };
    // The file channel's chunks are written straight from the buffers they arrived in; the other
    // packets are small and pass the application like those of the control channel.
    server->onFileTransferChannelPacket = [weakFiles, incoming](const FileTransferPacketView& packet,
                                                                const SharedBytes& storage, const UUID& sessionID) {
        // A small chunk shares the read buffer it came in with the frames around it: kept while
        // it waits, it would hold the whole buffer, far more than it counts for in its Viewer's
        // bound. It is copied like every other packet; a chunk read into a buffer of its own keeps it.
        const bool ownBuffer = storage && storage->size() <= 2 * packet.data.size();
        if (packet.op != FileTransferOp::fileChunk || !ownBuffer) return incoming(packet.packet(), sessionID);
        if (auto service = weakFiles.lock()) service->handleIncomingPacket(packet, storage, sessionID.uuidString());
    };
    // Large chunks leave their data in the connection until the service moves it into the file.
    server->onFileTransferChannelChunk = [weakFiles](const FileTransferPacketView& head, FrameTailPtr tail,
                                                     const UUID& sessionID) {
        if (auto service = weakFiles.lock()) service->handleIncomingChunk(head, std::move(tail), sessionID.uuidString());
    };
    // The pull batches each Viewer has on their way. A pull is eight bytes from the Viewer and a
    // whole batch to every Viewer from the Host, so a Viewer has each item of a drag on its way
    // once at a time, and never more pull batches at once than a drag offers items.
    struct DragPulls {
        struct Pull {
            std::uint32_t snapshotID = 0;
            std::uint32_t index = 0;
            UUID batchID;
        };
        std::mutex lock;
        std::map<UUID, std::vector<Pull>> byViewer;
    };
    auto pulls = std::make_shared<DragPulls>();
    server->onDragPullRequest = [weakServer, weakFiles, hooks, pulls](std::uint32_t snapshotID, std::uint32_t index,
                                                                      const UUID& sessionID) {
        auto host = weakServer.lock();
        if (!host) return;
        const std::string which = "snapshot=" + std::to_string(snapshotID) + " index=" + std::to_string(index);
        auto service = weakFiles.lock();
        auto url = host->dragSourceURL(snapshotID, index);
        if (!url || !service) {
            // Costs the Viewer's log budget: pulls of a gone snapshot cost the Host nothing else.
            host->publishForViewer(sessionID, "drag pull: stale " + which, hooks.log);
            return;
        }
        std::lock_guard lock(pulls->lock);
        auto& mine = pulls->byViewer[sessionID];
        std::erase_if(mine, [&](const DragPulls::Pull& pull) { return !service->outgoingBatchActive(pull.batchID); });
        const bool repeated = std::ranges::any_of(mine, [&](const DragPulls::Pull& pull) {
            return pull.snapshotID == snapshotID && pull.index == index;
        });
        if (repeated || mine.size() >= maxDragPullsInFlight) {
            // The batch it asks for, or enough others, are still on their way to it (and to every
            // Viewer): the pull is not served again.
            host->publishForViewer(sessionID,
                                   "drag pull: refused " + which + ": " +
                                       (repeated ? std::string("that item is on its way")
                                                 : std::to_string(mine.size()) + " pulls on their way"),
                                   hooks.log);
            if (mine.empty()) pulls->byViewer.erase(sessionID);
            return;
        }
        // The item may carry a name a Viewer gave it when it sent it.
        host->publishDoneForViewer(sessionID, "drag pull: serving " + escapedForLog(url->filename().string()) + " " + which,
                                   hooks.log);
        auto batch = service->sendURLs({*url}, FileTransferIntent::pullForPromise, std::nullopt, {}, std::nullopt,
                                       std::nullopt, std::nullopt, sessionID.uuidString());
        if (batch) mine.push_back({snapshotID, index, *batch});
        if (mine.empty()) pulls->byViewer.erase(sessionID);
    };
    server->onViewerSessionRemoved = [weakFiles, pulls](const UUID& sessionID) {
        {
            std::lock_guard lock(pulls->lock);
            pulls->byViewer.erase(sessionID);
        }
        // What waits to answer it goes; a connection that never signed in sent the service nothing.
        if (auto service = weakFiles.lock()) service->forgetPeer(sessionID.uuidString());
    };
    // A batch cannot finish without its road: the Viewer sends it again on a new channel.
    server->onViewerFileChannelEnded = [weakFiles](const UUID& sessionID) {
        if (auto service = weakFiles.lock()) service->cancelInboundBatches(sessionID.uuidString());
    };

}

void connectServiceCallbacks(const std::shared_ptr<V230HostAudioAuxServer>& server,
                             const std::shared_ptr<ClipboardSyncBridge>& clipboard,
                             const std::shared_ptr<FileTransferService>& files, const HostServiceHooks& hooks) {
    std::weak_ptr<V230HostAudioAuxServer> weakServer = server;

    // ---- Bridge -> server (on the main queue) --------------------------------------------------
    clipboard->onOutgoingTransfer = [weakServer, hooks](const ClipboardTransfer& transfer) {
        if (hooks.hostClipboardChanged) hooks.hostClipboardChanged("host clipboard changed");
        auto host = weakServer.lock();
        if (!host || !host->broadcastClipboardTransfer(transfer)) return false;
        logThrough(hooks, host, clipboardSentLine(transfer));
        return true;
    };
    clipboard->onStatus = [weakServer, hooks](const std::string& text) {
        if (hooks.clipboardStatus) {
            hooks.clipboardStatus(text);
        } else if (auto host = weakServer.lock()) {
            host->publish(text);
        }
    };

    // ---- Service -> server (on the service's queues or the caller's thread) --------------------
    files->sendPacket = [weakServer](const FileTransferPacket& packet) {
        if (auto host = weakServer.lock()) host->broadcastFileTransferPacket(packet);
    };
    files->routedSendPacket = [weakServer](const FileTransferPacket& packet, const std::optional<std::string>& token) {
        auto host = weakServer.lock();
        if (!host) return;
        if (auto sessionID = token ? UUID::parse(*token) : std::nullopt) {
            host->sendFileTransferPacket(packet, *sessionID);
        } else {
            host->broadcastFileTransferPacket(packet);
        }
    };
    // A disk slower than the network: the file channels stop reading until the writes catch up,
    // and TCP slows the Viewers instead of the Host queueing what they send.
    files->onInboundCongestion = [weakServer](bool congested) {
        if (auto host = weakServer.lock()) host->setFileChannelReadsPaused(congested);
    };
    // A Viewer whose packets wait (too many of them, or it does not read its answers): the rest of
    // what it sends waits in its socket, TCP slows it. The service tells the changes in order
    // under its lock, so the serials rise in that order.
    auto holdSerial = std::make_shared<std::atomic<std::uint64_t>>(0);
    files->onPeerReadsHeld = [weakServer, holdSerial](const std::string& peer, bool held) {
        auto host = weakServer.lock();
        if (auto sessionID = UUID::parse(peer); host && sessionID)
            host->setFileChannelReadsPaused(*sessionID, held, ++*holdSerial);
    };
    // The Viewer that sent a batch hears its outcome, each file dropped, and a refusal.
    files->onPeerNotice = [weakServer](const std::string& peer, const std::string& text) {
        auto host = weakServer.lock();
        if (auto sessionID = UUID::parse(peer); host && sessionID) host->sendHostStatusToSession(*sessionID, text);
    };
    // Reads for a Host -> Viewer send wait while that Viewer's queue is above the mark.
    files->outgoingBacklog = [weakServer](const std::optional<std::string>& token) -> std::optional<std::size_t> {
        auto host = weakServer.lock();
        if (!host) return std::nullopt;
        std::optional<UUID> sessionID = token ? UUID::parse(*token) : std::nullopt;
        return host->fileTransferBacklog(sessionID);
    };
    // The application's batch events (the progress window and delivery), when it has them.
    if (hooks.incomingBatchSettled) files->onInboundBatchSettled = hooks.incomingBatchSettled;
    if (hooks.incomingBatchDropped) files->onInboundBatchDropped = hooks.incomingBatchDropped;
    if (hooks.incomingBatchRefused) files->onInboundBatchRefused = hooks.incomingBatchRefused;
    if (hooks.incomingBatchProgress) files->onBatchProgress = hooks.incomingBatchProgress;
    if (hooks.incomingBatchItemsDropped) files->onBatchItemsDropped = hooks.incomingBatchItemsDropped;
    if (hooks.incomingBatchCompleted) files->onBatchCompleted = hooks.incomingBatchCompleted;
    if (hooks.outgoingBatchStarted) files->onOutgoingBatchStarted = hooks.outgoingBatchStarted;
    if (hooks.outgoingBatchProgress) files->onOutgoingBatchProgress = hooks.outgoingBatchProgress;
    if (hooks.outgoingBatchStopped) files->onOutgoingBatchStopped = hooks.outgoingBatchStopped;
    if (hooks.outgoingBatchCompleted) files->onOutgoingBatchCompleted = hooks.outgoingBatchCompleted;
    files->onStatus = [weakServer, hooks](const std::string& text, const FileTransferService::StatusSource& source) {
        if (hooks.filesStatus) hooks.filesStatus(text);
        auto host = weakServer.lock();
        // A Viewer's items, batches and requests cost its own log budget, however many it sends.
        auto viewer = source.peerToken ? UUID::parse(*source.peerToken) : std::nullopt;
        if (host && viewer) return logForViewer(host, *viewer, source.kind, "files: " + text, hooks.log);
        logThrough(hooks, host, "files: " + text);
    };
}

}  // namespace qm
