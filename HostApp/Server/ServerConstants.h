#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

// Ports and limits of the aux session server.
struct ServerConstants {
    static constexpr std::uint16_t controlPort = 7346;
    static constexpr std::uint16_t videoPort = 7347;
    static constexpr std::uint16_t fileTransferPort = 7348;
    static constexpr const char* queueLabel = "v230.host.audio.aux";
    static constexpr const char* pathMonitorQueueLabel = "v230.host.audio.aux.network-path";
    // The most a Viewer connection may have waiting to be sent. A Viewer that stops reading is
    // closed when it passes this, instead of growing the Host; it is well above the largest
    // packet the Host sends (a keyframe of the largest stream).
    static constexpr std::size_t maxQueuedSendBytes = 32u << 20;
};

// The ports the server listens on; tests replace them with free ones.
struct ServerPorts {
    std::uint16_t control = ServerConstants::controlPort;
    std::uint16_t video = ServerConstants::videoPort;
    std::uint16_t fileTransfer = ServerConstants::fileTransferPort;
};

}  // namespace qm
