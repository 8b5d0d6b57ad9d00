#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "HostApp/Server/SessionTables.h"
#include "QuillmereProfiles/AuxProtocol.h"

namespace qm {

// Which connection of a Viewer a packet type may arrive on.
enum class PacketChannels : std::uint8_t { control, video, both };

// The one rule for where a Viewer's packets belong: input, clipboard, file, audio, viewport and
// picture-in-picture packets act for the Viewer's control session, whose leaving releases what
// they hold, so on the video channel they take no effect; acknowledgements count for the video
// session that received the frames. Nothing for the types only the Host sends.
std::optional<PacketChannels> viewerPacketChannels(AuxPacketType type);
// Types answered while a connection has not signed in (the sign-in itself and the identity challenge).
bool answeredBeforeSignIn(AuxPacketType type);
bool channelAdmits(PacketChannels channels, AuxChannel channel);

// What a packet on the wrong channel leaves behind: a log line, also sent to the Viewer as a
// host status when `tellViewer`. Empty: "<type> rejected on <channel> channel".
struct WrongChannelNotice {
    std::string text;
    bool tellViewer = false;
};

// The handlers of the packets a Viewer sends, by type. The channel column comes from
// viewerPacketChannels(), never from whoever registers a handler, so no handler can widen it.
class ControlDispatchTable {
public:
    using Handler = std::function<void(std::span<const std::uint8_t> payload, const std::shared_ptr<AuxSession>& session)>;

    using WrongChannel = WrongChannelNotice;

    // Sets (or replaces) the handler of a type a Viewer may send; false for a type only the Host sends.
    bool set(AuxPacketType type, Handler handler, WrongChannel wrongChannel);
    bool set(AuxPacketType type, Handler handler) { return set(type, std::move(handler), WrongChannel{}); }

    enum class Verdict { handled, wrongChannel, noHandler };
    struct Outcome {
        Verdict verdict = Verdict::noHandler;
        std::string wrongChannelText;
        bool tellViewer = false;
    };
    // Runs the handler when the session's channel admits the type.
    Outcome dispatch(AuxPacketType type, std::span<const std::uint8_t> payload,
                     const std::shared_ptr<AuxSession>& session) const;
    bool has(AuxPacketType type) const;

private:
    struct Route {
        Handler handler;
        WrongChannel wrongChannel;
    };
    std::array<std::optional<Route>, 256> routes_;
};

}  // namespace qm
