#include "HostApp/Server/ControlDispatch.h"

namespace qm {

bool channelAdmits(PacketChannels channels, AuxChannel channel) {
    switch (channels) {
        case PacketChannels::both: return true;
        case PacketChannels::control: return channel == AuxChannel::control;
        case PacketChannels::video: return channel == AuxChannel::video;
    }
    return false;
}

std::optional<PacketChannels> viewerPacketChannels(AuxPacketType type) {
    const auto* row = viewerPacketRow(type);
    return row ? row->channels : std::nullopt;
}

bool answeredBeforeSignIn(AuxPacketType type) {
    const auto* row = viewerPacketRow(type);
    return row && row->beforeSignIn;
}

}  // namespace qm
