// Clipboard snapshots on the control channel: the Host's out to every signed-in Viewer, a
// Viewer's in to the owner's callback. Both are encoded or decoded on the clipboard queue, never
// on the server queue or the caller's.
#include "HostApp/Server/ServerSupport.h"
#include "QuillmereProfiles/ClipboardTransfer.h"

namespace qm {

bool V230HostAudioAuxServer::broadcastClipboardTransfer(const ClipboardTransfer& transfer) {
    // The bridge polls on the main queue, which never waits for the server queue (busy for
    // seconds while a display mode settles) and never encodes a large image: whether a Viewer
    // would take it comes from the snapshot, the encoding runs on the clipboard queue and only the
    // send on the server queue.
    if (!snapshot()->hasSignedInControlViewer) return false;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    clipboardQueue()->async([weak, transfer] {
        auto self = weak.lock();
        if (!self) return;
        std::string error;
        auto data = transfer.encodedData(&error);
        self->queue->async([weak, data = std::move(data), error = std::move(error),
                            key = std::make_pair(transfer.sourceID, transfer.sequence)] {
            if (auto self = weak.lock()) self->sendEncodedClipboard(data, error, key);
        });
    });
    return true;
}

void V230HostAudioAuxServer::sendEncodedClipboard(const std::optional<Bytes>& data, const std::string& error,
                                                  const std::pair<std::string, std::uint64_t>& key) {
    assertOnQueue();
    if (!data) {
        publish("clipboard encode failed: " + error);
        return;
    }
    if (data->size() > options_.maxClipboardPayloadBytes) {
        // Not sent: a Viewer would drop the oversized frame and its session with it. Said once
        // per snapshot; the next copy on the Host is offered afresh.
        if (refusedClipboardTransfer_ != key) {
            refusedClipboardTransfer_ = key;
            publish("clipboard transfer too large to send: " + std::to_string(data->size()) + " bytes (limit " +
                    std::to_string(options_.maxClipboardPayloadBytes) + ")");
        }
        return;
    }
    sendToSignedIn(makeSharedPacket(AuxPacketType::clipboardTransfer, *data), true, false);
}

DispatchQueuePtr V230HostAudioAuxServer::clipboardQueue() {
    std::lock_guard lock(clipboardLock_);
    if (!clipboardQueue_) clipboardQueue_ = platform_.makeQueue("v230.host.audio.aux.clipboard");
    return clipboardQueue_;
}

void V230HostAudioAuxServer::receiveClipboardTransfer(const std::shared_ptr<AuxSession>& viewer,
                                                      std::span<const std::uint8_t> payload) {
    AuxSession& session = *viewer;
    auto refuse = [&](const std::string& text) {
        publish(text);
        sendHostStatus(text, session.connection);
    };
    if (session.channel == AuxChannel::video) return refuse("clipboard transfer rejected on video channel");
    // Checked before the property list is parsed: decoding is where a large payload costs.
    if (payload.size() > options_.maxClipboardPayloadBytes) {
        return refuse("bad clipboard payload: " + std::to_string(payload.size()) + " bytes exceed the limit of " +
                      std::to_string(options_.maxClipboardPayloadBytes));
    }
    // A snapshot already waiting means a decode for this Viewer is queued and takes the newest.
    if (!session.pendingClipboard->offer({payload.begin(), payload.end()})) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    clipboardQueue()->async([weak, id = session.id, pending = session.pendingClipboard] {
        if (auto self = weak.lock()) self->decodePendingClipboard(id, *pending);
    });
}

void V230HostAudioAuxServer::decodePendingClipboard(const UUID& sessionID, PendingClipboard& pending) {
    // Nothing when the session ended meanwhile: what it left waiting went with it.
    const auto payload = pending.take();
    if (!payload) return;
    std::string error;
    auto transfer = ClipboardTransfer::decode(*payload, &error);
    if (!transfer) {
        std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
        queue->async([weak, sessionID, text = "bad clipboard payload: " + error] {
            auto self = weak.lock();
            if (!self) return;
            self->publishForSession(sessionID, text);
            self->sendHostStatus(text, self->sessions_.connection(sessionID));
        });
        return;
    }
    if (onClipboardTransfer) onClipboardTransfer(*transfer);
}

}  // namespace qm
