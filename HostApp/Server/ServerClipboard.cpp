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
    std::string error;
    auto transfer = ClipboardTransfer::decode(payload, &error);
    if (!transfer) return refuse("bad clipboard payload: " + error);
    if (onClipboardTransfer) onClipboardTransfer(*transfer);
}

}  // namespace qm
