#include "HostApp/App/HostServiceWiring.h"

#include "HostApp/Server/V230HostAudioAuxServer.h"
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
    server->onClipboardTransfer = [weakClipboard, mainQueue](const ClipboardTransfer& transfer) {
        // The bridge lives on the main queue only.
        mainQueue->async([weakClipboard, transfer] {
            if (auto bridge = weakClipboard.lock()) bridge->handleRemoteTransfer(transfer);
        });
    };
    auto incoming = [weakFiles](const FileTransferPacket& packet, const UUID& sessionID) {
        auto service = weakFiles.lock();
        if (!service) return;
        const std::string peer = sessionID.uuidString();
        if (packet.op == FileTransferOp::peerSendRequest) {
            service->sendPeerSendResponse(packet.batchID, false, peerSendRefusal(packet), peer);
            return;
        }
        service->handleIncomingPacket(packet, peer);
    };
    server->onFileTransferPacket = incoming;
    server->onFileTransferIncomingPacket = incoming;
    // The file channel's packets are written straight from the buffers they arrived in.
    server->onFileTransferChannelPacket = [weakFiles](const FileTransferPacketView& packet, const SharedBytes& storage,
                                                      const UUID& sessionID) {
        auto service = weakFiles.lock();
        if (!service) return;
        const std::string peer = sessionID.uuidString();
        if (packet.op == FileTransferOp::peerSendRequest) {
            service->sendPeerSendResponse(packet.batchID, false, peerSendRefusal(packet.packet()), peer);
            return;
        }
        service->handleIncomingPacket(packet, storage, peer);
    };
    server->onDragPullRequest = [weakServer, weakFiles, hooks](std::uint32_t snapshotID, std::uint32_t index) {
        auto host = weakServer.lock();
        if (!host) return;
        const std::string which = "snapshot=" + std::to_string(snapshotID) + " index=" + std::to_string(index);
        auto service = weakFiles.lock();
        auto url = host->dragSourceURL(snapshotID, index);
        if (!url || !service) {
            logThrough(hooks, host, "drag pull: stale " + which);
            return;
        }
        logThrough(hooks, host, "drag pull: serving " + url->filename().string() + " " + which);
        service->sendURLs({*url}, FileTransferIntent::pullForPromise, std::nullopt, {}, std::nullopt, std::nullopt);
    };
    server->onViewerSessionRemoved = [weakFiles](const UUID& sessionID) {
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
    files->onStatus = [weakServer, hooks](const std::string& text) {
        if (hooks.filesStatus) {
            hooks.filesStatus(text);
        } else if (auto host = weakServer.lock()) {
            host->publish("files: " + text);
        }
    };
}

}  // namespace qm
