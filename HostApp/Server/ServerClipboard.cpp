// Clipboard snapshots on the control channel: the Host's out to every signed-in Viewer (encoded
// by the caller, sent on the server queue), a Viewer's in to the owner's callback (decoded on the
// clipboard queue, never on the server queue).
#include "HostApp/Server/ServerSupport.h"
#include "QuillmereProfiles/ClipboardTransfer.h"

namespace qm {

namespace {

// The bytes a transfer's items carry: its encoding is at least this long.
std::size_t contentBytes(const ClipboardTransfer& transfer) {
    std::size_t total = transfer.sourceID.size();
    for (const auto& item : transfer.items) {
        total += item.text ? item.text->size() : 0;
        total += item.imageData ? item.imageData->size() : 0;
        for (const auto& file : item.files) total += file.filename.size() + file.data.size();
    }
    return total;
}

}  // namespace

bool V230HostAudioAuxServer::broadcastClipboardTransfer(const ClipboardTransfer& transfer) {
    // The bridge polls on the main queue, which never waits for the server queue (busy for
    // seconds while a display mode settles), so the answer comes from what is known here: the
    // count of signed-in control sessions, which drops in the same step that lets a Viewer go
    // (the snapshot would still show one that left until its next rebuild), and the encoding.
    // A false answer keeps the snapshot pending in the bridge until a Viewer is back.
    if (sessions_.signedInControlCount() == 0) return false;
    const auto key = std::make_pair(transfer.sourceID, transfer.sequence);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    if (const auto content = contentBytes(transfer); content > options_.maxClipboardPayloadBytes) {
        // Never encoded: what it carries alone exceeds what a Viewer takes.
        queue->async([weak, content, key] {
            if (auto self = weak.lock()) self->refuseOversizedClipboard(content, key);
        });
        return true;
    }
    // At most one aux frame's worth, so encoding here costs the caller little.
    std::string error;
    auto data = transfer.encodedData(&error);
    if (!data) {
        queue->async([weak, error = std::move(error)] {
            if (auto self = weak.lock()) self->publish("clipboard encode failed: " + error);
        });
        return false;
    }
    queue->async([weak, data = std::move(*data), key] {
        if (auto self = weak.lock()) self->sendEncodedClipboard(data, key);
    });
    return true;
}

void V230HostAudioAuxServer::refuseOversizedClipboard(std::size_t bytes, const std::pair<std::string, std::uint64_t>& key) {
    assertOnQueue();
    // Not sent: a Viewer would drop the oversized frame and its session with it. Said once per
    // snapshot; the next copy on the Host is offered afresh.
    if (refusedClipboardTransfer_ == key) return;
    refusedClipboardTransfer_ = key;
    publish("clipboard transfer too large to send: " + std::to_string(bytes) + " bytes (limit " +
            std::to_string(options_.maxClipboardPayloadBytes) + ")");
}

void V230HostAudioAuxServer::sendEncodedClipboard(const Bytes& data, const std::pair<std::string, std::uint64_t>& key) {
    assertOnQueue();
    if (data.size() > options_.maxClipboardPayloadBytes) return refuseOversizedClipboard(data.size(), key);
    sendToSignedIn(makeSharedPacket(AuxPacketType::clipboardTransfer, data), true, false);
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
