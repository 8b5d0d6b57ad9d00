// Clipboard snapshots on the control channel: the Host's out to every signed-in Viewer, a
// Viewer's in to the owner's callback.
#include "HostApp/Server/ServerSupport.h"
#include "QuillmereProfiles/ClipboardTransfer.h"

namespace qm {

bool V230HostAudioAuxServer::broadcastClipboardTransfer(const ClipboardTransfer& transfer) {
    // Encoded on the caller's thread (the bridge's poll queue), so the server queue only sends.
    std::string error;
    auto data = transfer.encodedData(&error);
    if (!data) {
        publish("clipboard encode failed: " + error);
        return false;
    }
    return queue->syncInline([&] {
        if (sessions_.authorizedAudioSessions.empty()) return false;
        if (data->size() > options_.maxClipboardPayloadBytes) {
            // Not sent: a Viewer would drop the oversized frame and its session with it. The bridge
            // keeps it pending until the pasteboard changes; say so once, not on every poll.
            const auto key = std::make_pair(transfer.sourceID, transfer.sequence);
            if (refusedClipboardTransfer_ != key) {
                refusedClipboardTransfer_ = key;
                publish("clipboard transfer too large to send: " + std::to_string(data->size()) +
                        " bytes (limit " + std::to_string(options_.maxClipboardPayloadBytes) + ")");
            }
            return false;
        }
        sendToSignedIn(makeSharedPacket(AuxPacketType::clipboardTransfer, *data), true, false);
        return true;
    });
}

void V230HostAudioAuxServer::receiveClipboardTransfer(std::span<const std::uint8_t> payload, AuxSession& session) {
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
    bool schedule = false;
    {
        std::lock_guard lock(clipboardLock_);
        auto [entry, inserted] = pendingClipboard_.insert_or_assign(
            session.id, PendingClipboard{{payload.begin(), payload.end()}, session.connection});
        // An entry already waiting means a decode for this Viewer is queued and takes the newest.
        schedule = inserted;
        if (!clipboardQueue_) clipboardQueue_ = platform_.makeQueue("v230.host.audio.aux.clipboard");
    }
    if (!schedule) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    const UUID id = session.id;
    clipboardQueue_->async([weak, id] {
        if (auto self = weak.lock()) self->decodePendingClipboard(id);
    });
}

void V230HostAudioAuxServer::decodePendingClipboard(const UUID& sessionID) {
    PendingClipboard pending;
    {
        std::lock_guard lock(clipboardLock_);
        auto node = pendingClipboard_.extract(sessionID);
        if (node.empty()) return;
        pending = std::move(node.mapped());
    }
    std::string error;
    auto transfer = ClipboardTransfer::decode(pending.payload, &error);
    if (!transfer) {
        std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
        queue->async([weak, connection = pending.connection, text = "bad clipboard payload: " + error] {
            auto self = weak.lock();
            if (!self) return;
            self->publish(text);
            self->sendHostStatus(text, connection);
        });
        return;
    }
    if (onClipboardTransfer) onClipboardTransfer(*transfer);
}

}  // namespace qm
