// The handlers of the packets a Viewer sends, registered by type. Where a type may arrive is the
// table's column (viewerPacketChannels), not the handler's business.
#include "HostApp/Input/HostRemoteInput.h"
#include "HostApp/Server/ServerSupport.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/InputPayloads.h"

namespace qm {

void V230HostAudioAuxServer::registerControlHandlers() {
    using Session = std::shared_ptr<AuxSession>;
    using Payload = std::span<const std::uint8_t>;
    auto& table = controlDispatch_;
    // A payload that does not decode is reported to the log and to the Viewer that sent it.
    auto refuse = [this](const Session& session, const std::string& text) {
        publishForSession(*session, text);
        sendHostStatus(text, session->connection);
    };

    table.set(AuxPacketType::identityChallenge,
              [this](Payload payload, const Session& session) { handleIdentityChallenge(session, payload); });
    table.set(AuxPacketType::clientSessionAuth,
              [this](Payload payload, const Session& session) { handleClientSessionAuth(session, payload); });

    table.set(AuxPacketType::audioControl, [this, refuse](Payload payload, const Session& session) {
        auto control = AudioControlPayload::decode(payload);
        if (!control) return refuse(session, "bad audio control payload");
        applyAudioControl(*control, session->id, session->connection);
    }, {"audio control rejected on video channel", false});
    table.set(AuxPacketType::captureModeControl, [this, refuse](Payload payload, const Session& session) {
        auto request = CaptureModeControlPayload::decode(payload);
        if (!request) return refuse(session, "bad capture mode payload");
        applyVideoCaptureRequest(*request, session->id);
    });
    table.set(AuxPacketType::videoFrameAck, [this, refuse](Payload payload, const Session& session) {
        auto ack = VideoFrameAckPayload::decode(payload);
        if (!ack) return refuse(session, "bad video frame acknowledgement payload");
        recordVideoFrameAck(session->id, *ack);
    });
    table.set(AuxPacketType::hostDisplayMode, [this, refuse](Payload payload, const Session& session) {
        if (payload.size() != 1 || payload[0] > 2) return refuse(session, "bad host display mode payload");
        applyHostDisplayMode(payload[0]);
    });
    table.set(AuxPacketType::hostPhysicalDisplay, [this, refuse](Payload payload, const Session& session) {
        if (payload.size() != 1 || (payload[0] != 1 && payload[0] != 2)) {
            return refuse(session, "bad host physical display payload");
        }
        applyHostPhysicalDisplayAction(payload[0]);
    });
    table.set(AuxPacketType::viewportROI, [this, refuse](Payload payload, const Session& session) {
        auto roi = ViewportROIPayload::decode(payload);
        if (!roi) return refuse(session, "bad viewport region payload");
        setViewportROI(roi->rect);
        broadcastHostSessionInfo(false);
    });
    table.set(AuxPacketType::pipRegionSet, [this, refuse](Payload payload, const Session& session) {
        auto region = PipRegionSetPayload::decode(payload);
        if (!region) return refuse(session, "bad picture-in-picture payload");
        // Every region goes into each session info packet; a Viewer cannot grow it without end.
        if (!sessions_.pipRegions.contains(region->name) && sessions_.pipRegions.size() >= PipRegionSetPayload::maxRegions) {
            return refuse(session, "too many picture-in-picture regions");
        }
        sessions_.pipRegions[region->name] = region->rect;
        broadcastHostSessionInfo(false);
    });
    table.set(AuxPacketType::pipRegionRemove, [this, refuse](Payload payload, const Session& session) {
        auto region = PipRegionRemovePayload::decode(payload);
        if (!region) return refuse(session, "bad picture-in-picture payload");
        sessions_.pipRegions.erase(region->name);
        broadcastHostSessionInfo(false);
    });
    table.set(AuxPacketType::pipRegionClear, [this](Payload, const Session&) {
        sessions_.pipRegions.clear();
        broadcastHostSessionInfo(false);
    });

    // Input belongs to the control channel: on the video channel it would act for a session
    // whose leaving never releases what it pressed.
    for (auto type : {AuxPacketType::pointerEvent, AuxPacketType::gestureEvent, AuxPacketType::hostShortcut,
                      AuxPacketType::keyEvent, AuxPacketType::rawKeyEvent, AuxPacketType::systemDefinedKeyEvent}) {
        table.set(type, [this, refuse, type](Payload payload, const Session& session) {
            if (auto refusal = input_->handleControlPacket(type, payload, session->id)) refuse(session, *refusal);
        }, {"input: " + auxPacketTypeName(type) + " rejected on video channel", false});
    }

    table.set(AuxPacketType::clipboardTransfer,
              [this](Payload payload, const Session& session) { receiveClipboardTransfer(payload, *session); },
              {"clipboard transfer rejected on video channel", true});
    table.set(AuxPacketType::fileTransfer, [this](Payload payload, const Session& session) {
        auto packet = FileTransferPacket::decode(payload);
        if (!packet) {
            publishForSession(*session, "file transfer: malformed packet from session " + shortID(session->id));
            return;
        }
        if (onFileTransferPacket) onFileTransferPacket(*packet, session->id);
    });
    table.set(AuxPacketType::dragPullRequest, [this, refuse](Payload payload, const Session& session) {
        auto request = DragPullRequestPayload::decode(payload);
        if (!request) return refuse(session, "bad drag pull payload");
        if (onDragPullRequest) onDragPullRequest(request->snapshotID, request->index);
    });
    table.set(AuxPacketType::iosBackgroundPresence, [this](Payload payload, const Session& session) {
        const UUID& sourceID = session->id;
        if (!isIOSViewerSession(sourceID)) {
            publishForSession(*session, "iOS background presence rejected for non-iOS Viewer");
            return;
        }
        if (payload.size() != 1) {
            publishForSession(*session, "bad iOS background presence payload");
            return;
        }
        if (payload[0] == 1) {
            power_.iosBackgroundSessionIDs.insert(sourceID);
            beginIOSViewerBackgroundSleepGrace();
        } else if (payload[0] == 0) {
            power_.iosBackgroundSessionIDs.erase(sourceID);
            endIOSViewerBackgroundSleepGrace("iOS Viewer returned to foreground");
        } else {
            publishForSession(*session, "bad iOS background presence state");
        }
    });
}

bool V230HostAudioAuxServer::setControlHandler(AuxPacketType type, ControlDispatchTable::Handler handler) {
    assertOnQueue();
    return controlDispatch_.set(type, std::move(handler));
}

}  // namespace qm
