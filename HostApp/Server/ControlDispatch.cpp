#include "HostApp/Server/ControlDispatch.h"

namespace qm {

std::optional<PacketChannels> viewerPacketChannels(AuxPacketType type) {
    switch (type) {
        case AuxPacketType::clientSessionAuth:
        case AuxPacketType::identityChallenge:
        case AuxPacketType::captureModeControl:
        case AuxPacketType::hostDisplayMode:
        case AuxPacketType::hostPhysicalDisplay:
            return PacketChannels::both;
        case AuxPacketType::videoFrameAck:
            return PacketChannels::video;
        case AuxPacketType::audioControl:
        case AuxPacketType::pointerEvent:
        case AuxPacketType::clipboardTransfer:
        case AuxPacketType::gestureEvent:
        case AuxPacketType::hostShortcut:
        case AuxPacketType::keyEvent:
        case AuxPacketType::fileTransfer:
        case AuxPacketType::rawKeyEvent:
        case AuxPacketType::systemDefinedKeyEvent:
        case AuxPacketType::viewportROI:
        case AuxPacketType::pipRegionSet:
        case AuxPacketType::pipRegionRemove:
        case AuxPacketType::pipRegionClear:
        case AuxPacketType::dragPullRequest:
        case AuxPacketType::iosBackgroundPresence:
            return PacketChannels::control;
        case AuxPacketType::audioFrame:
        case AuxPacketType::hostStatus:
        case AuxPacketType::clientSessionAuthResult:
        case AuxPacketType::videoConfig:
        case AuxPacketType::videoFrame:
        case AuxPacketType::fileTransferEndpoint:
        case AuxPacketType::displayLayout:
        case AuxPacketType::hostSessionInfo:
        case AuxPacketType::identityProof:
            return std::nullopt;
    }
    return std::nullopt;
}

bool answeredBeforeSignIn(AuxPacketType type) {
    return type == AuxPacketType::clientSessionAuth || type == AuxPacketType::identityChallenge;
}

bool channelAdmits(PacketChannels channels, AuxChannel channel) {
    switch (channels) {
        case PacketChannels::both: return true;
        case PacketChannels::control: return channel == AuxChannel::control;
        case PacketChannels::video: return channel == AuxChannel::video;
    }
    return false;
}

bool ControlDispatchTable::set(AuxPacketType type, Handler handler, WrongChannel wrongChannel) {
    if (!viewerPacketChannels(type) || !handler) return false;
    routes_[static_cast<std::uint8_t>(type)] = Route{std::move(handler), std::move(wrongChannel)};
    return true;
}

bool ControlDispatchTable::has(AuxPacketType type) const {
    return routes_[static_cast<std::uint8_t>(type)].has_value();
}

ControlDispatchTable::Outcome ControlDispatchTable::dispatch(AuxPacketType type, std::span<const std::uint8_t> payload,
                                                             const std::shared_ptr<AuxSession>& session) const {
    const auto channels = viewerPacketChannels(type);
    const auto& route = routes_[static_cast<std::uint8_t>(type)];
    if (!channels || !route) return {};
    if (!channelAdmits(*channels, session->channel)) {
        Outcome outcome{Verdict::wrongChannel, route->wrongChannel.text, route->wrongChannel.tellViewer};
        if (outcome.wrongChannelText.empty()) {
            outcome.wrongChannelText = auxPacketTypeName(type) + " rejected on " + channelName(session->channel) + " channel";
        }
        return outcome;
    }
    route->handler(payload, session);
    return {Verdict::handled, {}, false};
}

}  // namespace qm
