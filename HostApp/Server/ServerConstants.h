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
    // Before sign-in a connection may send frames no larger than a sign-in needs, read in
    // small pieces; after it, frames up to 1 MiB read 64 KiB at a time.
    static constexpr std::size_t signInFrameLimit = 8192;
    static constexpr std::size_t signInReadSize = 4096;
    static constexpr std::size_t signedInFrameLimit = 1 << 20;
    static constexpr std::size_t signedInReadSize = 65536;
    // Log lines a connection may cause per window.
    static constexpr int logLinesPerWindow = 8;
    // Lines the Host writes about what it did for a session's packets (a stream restarting, a
    // mode applied): enough for a Viewer's ordinary requests, bounded against a flood of them.
    static constexpr int hostLogLinesPerWindow = 32;
    // Log lines a second about connections that have not signed in, all of them together.
    static constexpr int strangerLogLinesPerSecond = 20;
    static constexpr std::uint64_t logWindowNs = 10'000'000'000ULL;
};

// The ports the server listens on; tests replace them with free ones.
struct ServerPorts {
    std::uint16_t control = ServerConstants::controlPort;
    std::uint16_t video = ServerConstants::videoPort;
    std::uint16_t fileTransfer = ServerConstants::fileTransferPort;
};

}  // namespace qm
