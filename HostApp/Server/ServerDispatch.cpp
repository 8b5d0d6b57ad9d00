// The packets a Viewer sends: one row per type (name, channels, sign-in, decoder, handler), and
// the server's handler of each. Dispatch, log names and the sign-in gate all read the rows.
#include <algorithm>
#include <array>
#include <stdexcept>

#include "HostApp/Input/HostRemoteInput.h"
#include "HostApp/Server/ServerSupport.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/InputPayloads.h"

namespace qm {

struct V230HostAudioAuxServer::PacketRows {
    using Server = V230HostAudioAuxServer;
    using Session = std::shared_ptr<AuxSession>;
    using Payload = std::span<const std::uint8_t>;
    using Row = ViewerPacketRow;

    // The handler takes the payload as it came.
    template <void (Server::*handler)(const Session&, Payload)>
    static void raw(Server& server, const Row&, Payload payload, const Session& session) {
        (server.*handler)(session, payload);
    }
    // The handler takes the decoded payload; one that does not decode is refused with the row's text.
    template <auto decode, auto handler>
    static void decoded(Server& server, const Row& row, Payload payload, const Session& session) {
        auto value = decode(payload);
        if (!value) return server.refusePayload(session, std::string(row.badPayload));
        (server.*handler)(session, *value);
    }
    // Input belongs to the control channel: on the video channel it would act for a session
    // whose leaving never releases what it pressed.
    static void input(Server& server, const Row& row, Payload payload, const Session& session) {
        if (auto refusal = server.input_->handleControlPacket(row.type, payload, session->id)) {
            server.refusePayload(session, *refusal);
        }
    }

    static constexpr auto control = PacketChannels::control;
    static constexpr auto video = PacketChannels::video;
    static constexpr auto both = PacketChannels::both;
    static constexpr std::nullopt_t hostOnly = std::nullopt;

    // clang-format off
    static constexpr std::array rows{
        Row{AuxPacketType::audioFrame, "audioFrame", hostOnly},
        Row{AuxPacketType::audioControl, "audioControl", control, false,
            decoded<&AudioControlPayload::decode, &Server::receiveAudioControl>, "bad audio control payload",
            "audio control rejected on video channel"},
        Row{AuxPacketType::hostStatus, "hostStatus", hostOnly},
        Row{AuxPacketType::clientSessionAuth, "clientSessionAuth", both, true, raw<&Server::handleClientSessionAuth>},
        Row{AuxPacketType::clientSessionAuthResult, "clientSessionAuthResult", hostOnly},
        Row{AuxPacketType::videoConfig, "videoConfig", hostOnly},
        Row{AuxPacketType::videoFrame, "videoFrame", hostOnly},
        Row{AuxPacketType::videoFrameAck, "videoFrameAck", video, false,
            decoded<&VideoFrameAckPayload::decode, &Server::receiveVideoFrameAck>, "bad video frame acknowledgement payload"},
        Row{AuxPacketType::fileTransferEndpoint, "fileTransferEndpoint", hostOnly},
        Row{AuxPacketType::captureModeControl, "captureModeControl", both, false,
            decoded<&CaptureModeControlPayload::decode, &Server::receiveCaptureModeControl>, "bad capture mode payload"},
        Row{AuxPacketType::displayLayout, "displayLayout", hostOnly},
        Row{AuxPacketType::hostDisplayMode, "hostDisplayMode", both, false, raw<&Server::receiveHostDisplayMode>},
        Row{AuxPacketType::pointerEvent, "pointerEvent", control, false, input, {},
            "input: pointerEvent rejected on video channel"},
        Row{AuxPacketType::clipboardTransfer, "clipboardTransfer", control, false,
            raw<&Server::receiveClipboardTransfer>, {}, "clipboard transfer rejected on video channel", true},
        Row{AuxPacketType::gestureEvent, "gestureEvent", control, false, input, {},
            "input: gestureEvent rejected on video channel"},
        Row{AuxPacketType::hostShortcut, "hostShortcut", control, false, input, {},
            "input: hostShortcut rejected on video channel"},
        Row{AuxPacketType::keyEvent, "keyEvent", control, false, input, {}, "input: keyEvent rejected on video channel"},
        Row{AuxPacketType::fileTransfer, "fileTransfer", control, false, raw<&Server::receiveFileTransfer>, {},
            "file transfer rejected on video channel", true},
        Row{AuxPacketType::rawKeyEvent, "rawKeyEvent", control, false, input, {},
            "input: rawKeyEvent rejected on video channel"},
        Row{AuxPacketType::systemDefinedKeyEvent, "systemDefinedKeyEvent", control, false, input, {},
            "input: systemDefinedKeyEvent rejected on video channel"},
        Row{AuxPacketType::hostPhysicalDisplay, "hostPhysicalDisplay", both, false, raw<&Server::receiveHostPhysicalDisplay>},
        Row{AuxPacketType::hostSessionInfo, "hostSessionInfo", hostOnly},
        Row{AuxPacketType::viewportROI, "viewportROI", control, false,
            decoded<&ViewportROIPayload::decode, &Server::receiveViewportROI>, "bad viewport region payload"},
        Row{AuxPacketType::pipRegionSet, "pipRegionSet", control, false,
            decoded<&PipRegionSetPayload::decode, &Server::receivePipRegionSet>, "bad picture-in-picture payload"},
        Row{AuxPacketType::pipRegionRemove, "pipRegionRemove", control, false,
            decoded<&PipRegionRemovePayload::decode, &Server::receivePipRegionRemove>, "bad picture-in-picture payload"},
        Row{AuxPacketType::pipRegionClear, "pipRegionClear", control, false, raw<&Server::receivePipRegionClear>},
        Row{AuxPacketType::dragPullRequest, "dragPullRequest", control, false,
            decoded<&DragPullRequestPayload::decode, &Server::receiveDragPullRequest>, "bad drag pull payload"},
        Row{AuxPacketType::identityChallenge, "identityChallenge", both, true, raw<&Server::handleIdentityChallenge>},
        Row{AuxPacketType::identityProof, "identityProof", hostOnly},
        Row{AuxPacketType::dragSnapshot, "dragSnapshot", hostOnly},
        Row{AuxPacketType::iosBackgroundPresence, "iosBackgroundPresence", control, false,
            raw<&Server::receiveIOSBackgroundPresence>},
    };
    // clang-format on

    // At most one row per type, and a handler exactly where a Viewer may send the type.
    static constexpr bool rowsAreWellFormed() {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (i > 0 && static_cast<std::uint8_t>(rows[i - 1].type) >= static_cast<std::uint8_t>(rows[i].type)) {
                return false;
            }
            if (rows[i].channels.has_value() != (rows[i].handle != nullptr) || rows[i].name.empty()) return false;
        }
        return true;
    }
    static const std::array<const Row*, 256>& index() {
        static_assert(rowsAreWellFormed(), "packet rows: one per type, in wire order, and a handler for each type a Viewer sends");
        static const auto table = [] {
            std::array<const Row*, 256> byRaw{};
            for (const auto& row : rows) byRaw[static_cast<std::uint8_t>(row.type)] = &row;
            return byRaw;
        }();
        return table;
    }
};

const ViewerPacketRow* viewerPacketRow(std::uint8_t raw) { return V230HostAudioAuxServer::PacketRows::index()[raw]; }

void V230HostAudioAuxServer::checkPacketRows() {
    // The wire knows every type (auxPacketTypeFromRaw); a type without a row would be dropped
    // unseen, so the server does not start without one.
    for (int raw = 0; raw < 256; ++raw) {
        const auto type = auxPacketTypeFromRaw(static_cast<std::uint8_t>(raw));
        const auto* row = viewerPacketRow(static_cast<std::uint8_t>(raw));
        if (type.has_value() != (row != nullptr) || (row && row->name != auxPacketTypeName(*type))) {
            throw std::logic_error("packet type " + std::to_string(raw) + " has no row, or a row under another name");
        }
    }
}

void V230HostAudioAuxServer::refusePayload(const std::shared_ptr<AuxSession>& session, const std::string& text) {
    // A payload that does not decode is reported to the log and to the Viewer that sent it.
    publishForSession(*session, text);
    sendHostStatus(text, session->connection);
}

// ---- Handlers, in wire order ---------------------------------------------------------------------

void V230HostAudioAuxServer::receiveAudioControl(const std::shared_ptr<AuxSession>& session, const AudioControlPayload& control) {
    applyAudioControl(control, session->id, session->connection);
}

void V230HostAudioAuxServer::receiveVideoFrameAck(const std::shared_ptr<AuxSession>& session, const VideoFrameAckPayload& ack) {
    recordVideoFrameAck(session->id, ack);
}

void V230HostAudioAuxServer::receiveCaptureModeControl(const std::shared_ptr<AuxSession>& session,
                                                  const CaptureModeControlPayload& request) {
    applyVideoCaptureRequest(request, session->id);
}

void V230HostAudioAuxServer::receiveHostDisplayMode(const std::shared_ptr<AuxSession>& session,
                                               std::span<const std::uint8_t> payload) {
    if (payload.size() != 1 || payload[0] > 2) return refusePayload(session, "bad host display mode payload");
    applyHostDisplayMode(payload[0]);
}

void V230HostAudioAuxServer::receiveFileTransfer(const std::shared_ptr<AuxSession>& session,
                                            std::span<const std::uint8_t> payload) {
    auto packet = FileTransferPacket::decode(payload);
    if (!packet) {
        publishForSession(*session, "file transfer: malformed packet from session " + shortID(session->id));
        return;
    }
    if (onFileTransferPacket) onFileTransferPacket(*packet, session->id);
}

void V230HostAudioAuxServer::receiveHostPhysicalDisplay(const std::shared_ptr<AuxSession>& session,
                                                   std::span<const std::uint8_t> payload) {
    if (payload.size() != 1 || (payload[0] != 1 && payload[0] != 2)) {
        return refusePayload(session, "bad host physical display payload");
    }
    applyHostPhysicalDisplayAction(payload[0]);
}

void V230HostAudioAuxServer::receiveViewportROI(const std::shared_ptr<AuxSession>&, const ViewportROIPayload& roi) {
    setViewportROI(roi.rect);
    broadcastHostSessionInfo(false);
}

void V230HostAudioAuxServer::receivePipRegionSet(const std::shared_ptr<AuxSession>& session, const PipRegionSetPayload& region) {
    // Every region goes into each session info packet; a Viewer cannot grow it without end.
    if (!sessions_.pipRegions.contains(region.name) && sessions_.pipRegions.size() >= PipRegionSetPayload::maxRegions) {
        return refusePayload(session, "too many picture-in-picture regions");
    }
    sessions_.pipRegions[region.name] = region.rect;
    broadcastHostSessionInfo(false);
}

void V230HostAudioAuxServer::receivePipRegionRemove(const std::shared_ptr<AuxSession>&, const PipRegionRemovePayload& region) {
    sessions_.pipRegions.erase(region.name);
    broadcastHostSessionInfo(false);
}

void V230HostAudioAuxServer::receivePipRegionClear(const std::shared_ptr<AuxSession>&, std::span<const std::uint8_t>) {
    sessions_.pipRegions.clear();
    broadcastHostSessionInfo(false);
}

void V230HostAudioAuxServer::receiveDragPullRequest(const std::shared_ptr<AuxSession>& session,
                                                    const DragPullRequestPayload& request) {
    if (onDragPullRequest) onDragPullRequest(request.snapshotID, request.index, session->id);
}

void V230HostAudioAuxServer::receiveIOSBackgroundPresence(const std::shared_ptr<AuxSession>& session,
                                                     std::span<const std::uint8_t> payload) {
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
        power_.viewerBackgrounded(sourceID);
        beginIOSViewerBackgroundSleepGrace();
    } else if (payload[0] == 0) {
        power_.viewerForegrounded(sourceID);
        endIOSViewerBackgroundSleepGrace("iOS Viewer returned to foreground");
    } else {
        publishForSession(*session, "bad iOS background presence state");
    }
}

}  // namespace qm
