#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "HostApp/Server/SessionTables.h"
#include "QuillmereProfiles/AuxProtocol.h"

namespace qm {

class V230HostAudioAuxServer;

// Which connection of a Viewer a packet type may arrive on.
enum class PacketChannels : std::uint8_t { control, video, both };

bool channelAdmits(PacketChannels channels, AuxChannel channel);

// Everything the server knows of one packet type, in one row: its name in log lines, where a
// Viewer may send it (nothing: only the Host sends it), whether a connection that has not signed
// in is answered, the decoder and handler (`handle` decodes the payload, refuses it with
// `badPayload` when it does not decode, and calls the server's handler), and what a packet on the
// wrong channel leaves behind. Dispatch, the names and the sign-in gate all read these rows, and
// the server refuses to start when a type has none.
struct ViewerPacketRow {
    using Handle = void (*)(V230HostAudioAuxServer& server, const ViewerPacketRow& row,
                            std::span<const std::uint8_t> payload, const std::shared_ptr<AuxSession>& session);

    AuxPacketType type{};
    std::string_view name{};
    std::optional<PacketChannels> channels{};
    bool beforeSignIn = false;
    Handle handle = nullptr;
    std::string_view badPayload{};
    // Empty: "<name> rejected on <channel> channel". Sent to the Viewer as a host status too when
    // `tellViewerWrongChannel`.
    std::string_view wrongChannel{};
    bool tellViewerWrongChannel = false;
};

// The row of a raw type value; nothing for a value that is no type.
const ViewerPacketRow* viewerPacketRow(std::uint8_t raw);
inline const ViewerPacketRow* viewerPacketRow(AuxPacketType type) {
    return viewerPacketRow(static_cast<std::uint8_t>(type));
}

// The one rule for where a Viewer's packets belong: input, clipboard, file, audio, viewport and
// picture-in-picture packets act for the Viewer's control session, whose leaving releases what
// they hold, so on the video channel they take no effect; acknowledgements count for the video
// session that received the frames. Nothing for the types only the Host sends.
std::optional<PacketChannels> viewerPacketChannels(AuxPacketType type);
// Types answered while a connection has not signed in (the sign-in itself and the identity challenge).
bool answeredBeforeSignIn(AuxPacketType type);

}  // namespace qm
