#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "HostApp/Server/V230HostAudioAuxServer.h"

namespace qm {

// One Viewer connection on the control or the video port.
struct V230HostAudioAuxServer::AuxSession {
    UUID id;
    AuxChannel channel = AuxChannel::control;
    ConnectionPtr connection;
    AuxFrameReader reader;
    std::string remoteAddress;
    // Issued with an identity proof and used up by the next sign-in attempt; sealed credentials
    // are bound to it, so a credential captured elsewhere, or sent twice, does not open.
    std::optional<std::array<std::uint8_t, 32>> sessionNonce;
    bool signInInFlight = false;
    // Advanced whenever a pending sign-in stops counting (refused, revoked), so a late answer of
    // the password check is ignored.
    std::uint64_t signInEpoch = 0;
    // Closes the connection when it has not signed in in time.
    DispatchWorkItemPtr signInDeadline;
};

inline const char* channelName(V230HostAudioAuxServer::AuxChannel channel) {
    return channel == V230HostAudioAuxServer::AuxChannel::control ? "control" : "video";
}

// ASCII case-insensitive equality ("iOS Viewer" names).
inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The first 8 characters of a session id, for log lines.
inline std::string shortID(const UUID& id) {
    return id.uuidString().substr(0, 8);
}

}  // namespace qm
